#include "line.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace printer {

namespace {

constexpr std::uint8_t xoff = 0x13;
constexpr std::uint8_t xon = 0x11;

std::string errno_text(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Reads the inotify events there are now; calls `on` with each mask.
template <typename F> void drain_inotify(int fd, F on) {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            on(event->mask);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

std::size_t read_some(int fd, std::span<std::uint8_t> buffer) {
    if (fd < 0 || buffer.empty())
        return 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0)
            return static_cast<std::size_t>(n);
        if (n < 0 && errno == EINTR)
            continue;
        return 0; // nothing now (EAGAIN), no writer (0), or an error that shows as silence
    }
}

// Turns inotify's opens and closes into connections. Opens may nest (a sender holding two
// descriptors): a connection lasts from the first open to the last close. The sim's own opens
// of the node, announced beforehand, are not the sender's.
class OpenTracker {
public:
    void expect_own_open() { ++own_opens_; }
    void take(std::uint32_t mask, std::deque<LineEvent> &out) {
        if (mask & IN_OPEN) {
            if (own_opens_ > 0)
                --own_opens_;
            else if (depth_++ == 0)
                out.push_back(LineEvent::opened);
        }
        if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            if (depth_ > 0 && --depth_ == 0)
                out.push_back(LineEvent::closed);
        }
    }

private:
    int depth_ = 0;
    int own_opens_ = 0;
};

// Whether a symbolic link at `path` may be replaced: it is one of ours left behind (it points
// into /dev/pts/ or nowhere).
bool stale_link(const std::string &path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    struct stat dest {};
    return std::strncmp(target, "/dev/pts/", 9) == 0 || ::stat(path.c_str(), &dest) != 0;
}

class PtyLine final : public Line {
public:
    explicit PtyLine(const std::string &link) {
        master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (master_.get() < 0)
            throw LineError(errno_text("cannot open a pseudo-terminal"));
        if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0)
            throw LineError(errno_text("cannot unlock the pseudo-terminal"));
        char name[PATH_MAX];
        if (::ptsname_r(master_.get(), name, sizeof name) != 0)
            throw LineError(errno_text("cannot name the pseudo-terminal"));
        device_ = name;
        // Holding the slave open keeps the master from reading EIO while no sender has it
        // open, and lets XOFF take effect before the sender opens. Closes are still seen: they
        // come from inotify, not from hang-ups. The slave's settings are left as they are.
        slave_.reset(::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (slave_.get() < 0)
            throw LineError(errno_text("cannot open " + device_));
        // Watch after our own open, so only the sender's opens and closes are seen.
        inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (inotify_.get() < 0 ||
            ::inotify_add_watch(inotify_.get(), device_.c_str(),
                                IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
            throw LineError(errno_text("cannot watch " + device_));
        if (!link.empty()) {
            if (stale_link(link))
                ::unlink(link.c_str());
            if (::symlink(device_.c_str(), link.c_str()) != 0)
                throw LineError(errno_text("cannot make the link " + link));
            link_ = link;
        }
    }

    ~PtyLine() override {
        inotify_.reset();
        remove_link();
    }

    const std::string &device() const override { return device_; }
    int data_fd() const override { return master_.get(); }
    int event_fd() const override { return inotify_.get(); }

    void take_events(std::deque<LineEvent> &out) override {
        if (inotify_.get() >= 0)
            drain_inotify(inotify_.get(), [&](std::uint32_t mask) { opens_.take(mask, out); });
    }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        return read_some(master_.get(), buffer);
    }

    void hold_sender() override { send(xoff); }
    void release_sender() override { send(xon); }

    void hang_up() override {
        inotify_.reset();
        slave_.reset();
        master_.reset(); // the slave is hung up: the sender's writes fail with EIO
        remove_link();
    }

private:
    void send(std::uint8_t c) {
        if (master_.get() >= 0)
            while (::write(master_.get(), &c, 1) < 0 && errno == EINTR) {
            }
    }

    void remove_link() {
        if (link_.empty())
            return;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(link_.c_str(), target, sizeof target - 1);
        if (n >= 0 && std::string(target, static_cast<std::size_t>(n)) == device_)
            ::unlink(link_.c_str());
        link_.clear();
    }

    Fd master_;
    Fd slave_;
    Fd inotify_;
    std::string device_;
    std::string link_;
    OpenTracker opens_;
};

class FifoLine final : public Line {
public:
    explicit FifoLine(const std::string &path) : device_(path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISFIFO(st.st_mode))
                throw LineError(path + " exists and is not a FIFO");
            ::unlink(path.c_str()); // a FIFO left behind holds no data
        }
        if (::mkfifo(path.c_str(), 0600) != 0)
            throw LineError(errno_text("cannot make the FIFO " + path));
        created_ = true;
        try {
            watch();
        } catch (...) {
            ::unlink(path.c_str());
            throw;
        }
    }

    ~FifoLine() override {
        inotify_.reset();
        reader_.reset();
        if (created_)
            ::unlink(device_.c_str());
    }

    const std::string &device() const override { return device_; }
    int data_fd() const override { return reader_.get(); }
    int event_fd() const override { return inotify_.get(); }

    void take_events(std::deque<LineEvent> &out) override {
        if (inotify_.get() >= 0)
            drain_inotify(inotify_.get(), [&](std::uint32_t mask) { opens_.take(mask, out); });
    }

    std::size_t read(std::span<std::uint8_t> buffer) override {
        return read_some(reader_.get(), buffer);
    }

    // Once the last writer has gone, poll reports a hang-up on the read end until it is opened
    // anew; the data of a writer that has already opened again stays in the pipe.
    void after_close() override {
        if (reader_.get() >= 0) {
            opens_.expect_own_open();
            reopen();
        }
    }

    void hold_sender() override {} // not reading is all a FIFO can do
    void release_sender() override {}

    void hang_up() override {
        inotify_.reset();
        reader_.reset(); // a write-only writer gets EPIPE; a read-write one is its own reader
    }

private:
    void watch() {
        reopen();
        if (reader_.get() < 0)
            throw LineError(errno_text("cannot open the FIFO " + device_));
        // Our own read-only closes are not watched (IN_CLOSE_NOWRITE); our own reopens are
        // announced to the tracker.
        inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (inotify_.get() < 0 ||
            ::inotify_add_watch(inotify_.get(), device_.c_str(), IN_OPEN | IN_CLOSE_WRITE) < 0)
            throw LineError(errno_text("cannot watch " + device_));
    }

    void reopen() {
        reader_.reset(::open(device_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        // The smallest pipe lets a writer run the least ahead of what the sim has taken.
        if (reader_.get() >= 0)
            ::fcntl(reader_.get(), F_SETPIPE_SZ, 4096);
    }

    std::string device_;
    bool created_ = false;
    Fd reader_;
    Fd inotify_;
    OpenTracker opens_;
};

} // namespace

std::unique_ptr<Line> open_pty_line(const std::string &link) {
    return std::make_unique<PtyLine>(link);
}

std::unique_ptr<Line> open_fifo_line(const std::string &path) {
    return std::make_unique<FifoLine>(path);
}

} // namespace printer
