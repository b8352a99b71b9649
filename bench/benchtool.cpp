// benchtool: the measuring helper of bench/run.
//
//   benchtool run [--out FILE] [--tty-stderr FILE] [--pid-file FILE] -- COMMAND [ARGS...]
//       Runs COMMAND and writes one line of key=value pairs to FILE (stdout by
//       default): start and end on CLOCK_MONOTONIC (the clock printer-sim's
//       report uses), wall, user and sys seconds, peak RSS in KiB, the exit
//       status (128 + N for a signal). With --tty-stderr the command's stderr
//       is the slave of a fresh 80x24 pseudo-terminal, and everything written
//       to it is copied to FILE, byte for byte (output processing is off, so a
//       "\n" does not become "\r\n"). --pid-file gets the command's process id.
//   benchtool now                 CLOCK_MONOTONIC in seconds
//   benchtool image SIZE FILE     SIZE pseudo-random bytes (fixed seed)
//   benchtool sum FILE            the transfer checksum: the bytes summed
//                                 modulo 65536, as "\xLL\xHH" for printf
//   benchtool header FILE         the transfer header for FILE's size: six CRs,
//                                 the start command, blocks and tail, as printf
//                                 escapes
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double Seconds(const timeval &t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

[[noreturn]] void Die(const std::string &what) {
    std::fprintf(stderr, "benchtool: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

int Usage() {
    std::fprintf(stderr, "usage: benchtool run [--out FILE] [--tty-stderr FILE] -- COMMAND...\n"
                         "       benchtool now | image SIZE FILE | sum FILE | header FILE\n");
    return 2;
}

int Run(int argc, char **argv) {
    const char *out = nullptr, *ttyCopy = nullptr, *pidFile = nullptr;
    int i = 0;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--out" && i + 1 < argc)
            out = argv[++i];
        else if (a == "--tty-stderr" && i + 1 < argc)
            ttyCopy = argv[++i];
        else if (a == "--pid-file" && i + 1 < argc)
            pidFile = argv[++i];
        else
            return Usage();
    }
    if (i >= argc)
        return Usage();

    int master = -1, slave = -1, copy = -1;
    if (ttyCopy) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            Die("posix_openpt");
        slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0)
            Die("open pty slave");
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        ioctl(slave, TIOCSWINSZ, &size);
        termios mode{};
        if (tcgetattr(slave, &mode) == 0) {
            mode.c_oflag &= ~tcflag_t(OPOST);
            tcsetattr(slave, TCSANOW, &mode);
        }
        copy = open(ttyCopy, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (copy < 0)
            Die(ttyCopy);
    }

    double start = Now();
    pid_t child = fork();
    if (child < 0)
        Die("fork");
    if (child == 0) {
        if (slave >= 0)
            dup2(slave, 2);
        execvp(argv[i], argv + i);
        std::fprintf(stderr, "benchtool: %s: %s\n", argv[i], std::strerror(errno));
        _exit(127);
    }
    if (pidFile) {
        FILE *p = std::fopen(pidFile, "w");
        if (p == nullptr)
            Die(pidFile);
        std::fprintf(p, "%d\n", int(child));
        std::fclose(p);
    }
    if (slave >= 0) {
        // Keep no slave descriptor here, so the master reads EIO once the
        // command (and whatever inherited its stderr) has gone.
        close(slave);
        char buffer[4096];
        for (;;) {
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            if (write(copy, buffer, size_t(n)) != n)
                Die("write copy");
        }
    }
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0)
        if (errno != EINTR)
            Die("wait4");
    double end = Now();
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

    FILE *f = out ? std::fopen(out, "w") : stdout;
    if (f == nullptr)
        Die(out);
    std::fprintf(
        f, "start=%.6f end=%.6f wall=%.6f user=%.6f sys=%.6f cpu=%.6f maxrss_kib=%ld status=%d\n",
        start, end, end - start, Seconds(usage.ru_utime), Seconds(usage.ru_stime),
        Seconds(usage.ru_utime) + Seconds(usage.ru_stime), usage.ru_maxrss, code);
    if (f != stdout)
        std::fclose(f);
    return 0;
}

int Image(const char *sizeText, const char *path) {
    char *end = nullptr;
    unsigned long long size = std::strtoull(sizeText, &end, 10);
    if (end == sizeText || *end)
        return Usage();
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Die(path);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    std::vector<std::uint64_t> buffer(1 << 17);
    while (size > 0) {
        for (auto &w : buffer) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        size_t n = size_t(std::min<unsigned long long>(size, buffer.size() * 8));
        const char *p = reinterpret_cast<const char *>(buffer.data());
        size_t done = 0;
        while (done < n) {
            ssize_t w = write(fd, p + done, n - done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                Die(path);
            done += size_t(w);
        }
        size -= n;
    }
    if (close(fd) != 0)
        Die(path);
    return 0;
}

int Sum(const char *path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Die(path);
    std::vector<unsigned char> buffer(1 << 20);
    unsigned sum = 0;
    for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            Die(path);
        if (n == 0)
            break;
        for (ssize_t k = 0; k < n; ++k)
            sum += buffer[size_t(k)];
    }
    close(fd);
    std::printf("\\x%02X\\x%02X\n", sum & 0xFF, (sum >> 8) & 0xFF);
    return 0;
}

int Header(const char *path) {
    struct stat st {};
    if (stat(path, &st) != 0)
        Die(path);
    unsigned blocks = unsigned(st.st_size / 5120), tail = unsigned(st.st_size % 5120);
    std::printf("\\r\\r\\r\\r\\r\\r~N\\r\\nGO \\x%02X\\x%02X\\x%02X\\x%02X\n", blocks & 0xFF,
                blocks >> 8, tail & 0xFF, tail >> 8);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    if (command == "run")
        return Run(argc - 2, argv + 2);
    if (command == "now" && argc == 2) {
        std::printf("%.6f\n", Now());
        return 0;
    }
    if (command == "image" && argc == 4)
        return Image(argv[2], argv[3]);
    if (command == "sum" && argc == 3)
        return Sum(argv[2]);
    if (command == "header" && argc == 3)
        return Header(argv[2]);
    return Usage();
}
