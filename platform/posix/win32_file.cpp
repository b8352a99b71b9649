// CreateFileA, WriteFile, CloseHandle and the comm calls over POSIX file
// descriptors. See windows.h for each call's contract.
#include <windows.h>

#include <platform/devmap.h>
#include <platform/interrupt.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <linux/lp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

thread_local DWORD lastError = ERROR_SUCCESS;

constexpr Milliseconds kMaxBackoff{16};
constexpr unsigned kLinePrinterMajor = 6;

enum class Kind { File, Tty, Fifo, LinePrinter, Device };

struct Port {
    int fd = -1;
    Kind kind = Kind::Device;
    bool locked = false;
    bool exclusiveTty = false;
    bool restoreTermios = false;
    termios saved = {};
    DWORD mask = 0;
    COMMTIMEOUTS timeouts = {};
    DWORD lastWrite = 0;
    bool purged = false;
};

Port *PortOf(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return static_cast<Port *>(handle);
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENXIO: // a device without hardware behind it, a FIFO nobody reads
    case ENODEV:
        return ERROR_DEVICE_NOT_CONNECTED;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case EWOULDBLOCK:
    case EBUSY: // TIOCEXCL, or a driver that takes one opener
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_DISK_FULL;
    case EIO:
        return ERROR_IO_DEVICE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// The deadline a transfer of `bytes` gets from the handle's write time-outs.
bool WriteDeadline(const Port &port, DWORD bytes, Clock::time_point start, Clock::time_point &end) {
    const COMMTIMEOUTS &t = port.timeouts;
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0)
        return false;
    auto total = std::uint64_t(t.WriteTotalTimeoutMultiplier) * bytes + t.WriteTotalTimeoutConstant;
    end = start + Milliseconds(total);
    return true;
}

// How a writer waits for a device that is not taking data.
struct Waiter {
    bool pollSaidReady = false; // the last poll answered "ready", yet the write would block
    Milliseconds backoff{1};
};

// Waits until `fd` may take more data, the deadline passes or an interrupt
// arrives, whichever is first. A driver whose poll answers "ready" while its
// write would still block (lp) is met with a growing back-off, never a spin.
void WaitWritable(int fd, bool hasDeadline, Clock::time_point deadline, Waiter &waiter) {
    Milliseconds left{-1}; // no deadline: until the device or an interrupt
    if (hasDeadline)
        left = std::max(std::chrono::ceil<Milliseconds>(deadline - Clock::now()), Milliseconds(0));
    if (waiter.pollSaidReady) {
        auto pause = hasDeadline ? std::min(waiter.backoff, left) : waiter.backoff;
        pollfd none = {-1, 0, 0};
        Platform::InterruptiblePoll(&none, 1, static_cast<int>(pause.count()));
        waiter.backoff = std::min(waiter.backoff * 2, kMaxBackoff);
        return;
    }
    pollfd p = {fd, POLLOUT, 0};
    waiter.pollSaidReady = Platform::InterruptiblePoll(&p, 1, static_cast<int>(left.count())) > 0;
}

bool SetUpTty(Port &port) {
    if (tcgetattr(port.fd, &port.saved) != 0)
        return false;
    termios raw = port.saved;
    raw.c_oflag &= ~tcflag_t(OPOST);
    raw.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    if (tcsetattr(port.fd, TCSANOW, &raw) != 0)
        return false;
    port.restoreTermios = true;
    termios check = {};
    if (tcgetattr(port.fd, &check) != 0 || (check.c_oflag & OPOST) || (check.c_lflag & ECHO))
        return false; // output would not be byte-exact
    return true;
}

bool Writable(int fd) {
    pollfd p = {fd, POLLOUT, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLOUT);
}

// What the device has still to take: the kernel's count where it keeps one;
// else, while the device does not take more (a tty held by flow control, whose
// pty keeps no count; a USB printer with a write in flight), the last write.
int Pending(const Port &port) {
    int count = 0;
    switch (port.kind) {
    case Kind::Tty:
        if (ioctl(port.fd, TIOCOUTQ, &count) != 0)
            count = 0;
        return count > 0 ? count : Writable(port.fd) ? 0 : 1;
    case Kind::Fifo:
        return ioctl(port.fd, FIONREAD, &count) == 0 ? count : 0;
    case Kind::Device:
        return Writable(port.fd) ? 0 : static_cast<int>(std::max<DWORD>(port.lastWrite, 1));
    default:
        return 0; // a file, or a parallel port whose writes return once the printer took them
    }
}

// Waits until the device has taken what is pending. Gives up when nothing has
// moved for as long as one byte may take (the multiplier and the constant), or
// when the time-outs for the whole amount have run out.
bool Drain(const Port &port) {
    if (port.purged)
        return true; // what was left is meant to be lost
    int pending = Pending(port);
    if (pending == 0)
        return true;
    Clock::time_point deadline, stallDeadline;
    auto now = Clock::now();
    bool hasDeadline = WriteDeadline(port, static_cast<DWORD>(pending), now, deadline);
    WriteDeadline(port, 1, now, stallDeadline);
    Milliseconds pause{1};
    for (;;) {
        if (Platform::Interrupted()) {
            lastError = ERROR_OPERATION_ABORTED;
            return false;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, kMaxBackoff);
        int left = Pending(port);
        if (left == 0)
            return true;
        now = Clock::now();
        if (left < pending) {
            pending = left;
            WriteDeadline(port, 1, now, stallDeadline);
        }
        if (hasDeadline && (now >= deadline || now >= stallDeadline)) {
            lastError = ERROR_TIMEOUT;
            return false;
        }
    }
}

void Release(Port *port) {
    if (port->kind == Kind::Tty) {
        if (Platform::Interrupted() || port->purged)
            tcflush(port->fd, TCOFLUSH); // send nothing more
        if (port->restoreTermios)
            tcsetattr(port->fd, TCSANOW, &port->saved);
        if (port->exclusiveTty)
            ioctl(port->fd, TIOCNXCL);
    }
    if (port->kind == Kind::LinePrinter)
        ioctl(port->fd, LPABORT, 0);
    if (port->locked)
        flock(port->fd, LOCK_UN);
    close(port->fd);
    delete port;
}

// A reader that goes away must fail the write (EPIPE), never kill the program.
void IgnoreBrokenPipes() {
    static const bool done = [] {
        struct sigaction current = {};
        sigaction(SIGPIPE, nullptr, &current);
        if (current.sa_handler == SIG_DFL) {
            current.sa_handler = SIG_IGN;
            sigaction(SIGPIPE, &current, nullptr);
        }
        return true;
    }();
    (void)done;
}

HANDLE Fail(Port *port, DWORD error) {
    if (port)
        Release(port);
    lastError = error;
    return INVALID_HANDLE_VALUE;
}

} // namespace

DWORD WINAPI GetLastError() {
    return lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD,
                          HANDLE hTemplateFile) {
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING || hTemplateFile != nullptr)
        return Fail(nullptr, ERROR_INVALID_PARAMETER);
    if (Platform::Interrupted())
        return Fail(nullptr, ERROR_OPERATION_ABORTED);

    IgnoreBrokenPipes();
    Platform::TDevicePath device = Platform::ResolveDevice(lpFileName);
    if (device.Path.empty())
        return Fail(nullptr, ERROR_PATH_NOT_FOUND);

    int access = O_RDONLY;
    bool reads = dwDesiredAccess & GENERIC_READ, writes = dwDesiredAccess & GENERIC_WRITE;
    if (reads && writes)
        access = O_RDWR;
    else if (writes)
        access = O_WRONLY;
    // A FIFO is opened for writing only: with no reader the open fails, and a
    // reader that goes away is a broken pipe, not a buffer that fills silently.
    struct stat target = {};
    if (writes && stat(device.Path.c_str(), &target) == 0 && S_ISFIFO(target.st_mode))
        access = O_WRONLY;
    int fd = open(device.Path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Fail(nullptr, ErrorFromErrno(errno));

    auto *port = new Port;
    port->fd = fd;
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return Fail(port, ErrorFromErrno(errno));
    if (S_ISREG(st.st_mode))
        port->kind = Kind::File;
    else if (S_ISFIFO(st.st_mode))
        port->kind = Kind::Fifo;
    else if (S_ISCHR(st.st_mode) && isatty(fd))
        port->kind = Kind::Tty;
    else if (S_ISCHR(st.st_mode) && major(st.st_rdev) == kLinePrinterMajor)
        port->kind = Kind::LinePrinter;

    if (dwShareMode == 0) {
        if (flock(fd, LOCK_EX | LOCK_NB) != 0)
            return Fail(port, errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
        port->locked = true;
    }
    switch (port->kind) {
    case Kind::File:
        if (fcntl(fd, F_SETFL, O_APPEND | O_NONBLOCK) != 0)
            return Fail(port, ErrorFromErrno(errno));
        break;
    case Kind::Tty:
        if (dwShareMode == 0) {
            if (ioctl(fd, TIOCEXCL) != 0)
                return Fail(port, ErrorFromErrno(errno));
            port->exclusiveTty = true;
        }
        if (!SetUpTty(*port))
            return Fail(port, ERROR_GEN_FAILURE);
        break;
    case Kind::LinePrinter:
        ioctl(fd, LPABORT, 1); // an offline printer fails a write instead of hanging it
        break;
    default:
        break;
    }
    lastError = ERROR_SUCCESS;
    return port;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    DWORD ignored = 0;
    DWORD &written = lpNumberOfBytesWritten ? *lpNumberOfBytesWritten : ignored;
    written = 0;
    Port *port = PortOf(hFile);
    if (port == nullptr)
        return FALSE;
    if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite > 0)) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    port->lastWrite = nNumberOfBytesToWrite;
    const auto *bytes = static_cast<const unsigned char *>(lpBuffer);
    Clock::time_point deadline;
    bool hasDeadline = WriteDeadline(*port, nNumberOfBytesToWrite, Clock::now(), deadline);
    Waiter waiter;
    while (written < nNumberOfBytesToWrite) {
        if (Platform::Interrupted()) {
            lastError = ERROR_OPERATION_ABORTED;
            return FALSE;
        }
        ssize_t n = write(port->fd, bytes + written, nNumberOfBytesToWrite - written);
        if (n > 0) {
            written += static_cast<DWORD>(n);
            waiter = Waiter();
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            lastError = ErrorFromErrno(errno);
            return FALSE;
        }
        if (hasDeadline && Clock::now() >= deadline) {
            lastError = ERROR_TIMEOUT; // a time-out is not an error: the count tells
            return TRUE;
        }
        WaitWritable(port->fd, hasDeadline, deadline, waiter);
    }
    lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    Port *port = PortOf(hObject);
    if (port == nullptr)
        return FALSE;
    bool drained = Drain(*port);
    DWORD error = lastError;
    Release(port);
    lastError = drained ? ERROR_SUCCESS : error;
    return drained ? TRUE : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    Port *port = PortOf(hFile);
    if (port == nullptr)
        return FALSE;
    if (dwFlags & (PURGE_TXABORT | PURGE_TXCLEAR)) {
        if (port->kind == Kind::Tty)
            tcflush(port->fd, TCOFLUSH);
        port->purged = true;
    }
    return TRUE;
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    Port *port = PortOf(hFile);
    if (port == nullptr)
        return FALSE;
    port->mask = dwEvtMask;
    return TRUE;
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    Port *port = PortOf(hFile);
    if (port == nullptr)
        return FALSE;
    if (lpCommTimeouts == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *lpCommTimeouts = port->timeouts;
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    Port *port = PortOf(hFile);
    if (port == nullptr)
        return FALSE;
    if (lpCommTimeouts == nullptr) {
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    port->timeouts = *lpCommTimeouts;
    return TRUE;
}
