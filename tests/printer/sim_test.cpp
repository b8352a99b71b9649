// printer-sim as users and other tests run it: a process with a pty or a FIFO, and a small
// writer here that opens the port the way the download program does.
#include "streams.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace printer::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A running printer-sim with its stdout in a pipe.
class Sim {
public:
    explicit Sim(std::vector<std::string> args) {
        args.insert(args.begin(), PRINTER_SIM_PATH);
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            std::abort();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_fd_ = out[0];
        ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    }
    ~Sim() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_fd_);
    }

    // The device named by the "ready:" line, or "" if it did not come in time.
    std::string wait_ready() {
        const auto until = Clock::now() + 5s;
        while (out_.find('\n') == std::string::npos && Clock::now() < until && pump(50))
            ;
        const auto nl = out_.find('\n');
        if (nl == std::string::npos || out_.rfind("ready: ", 0) != 0)
            return "";
        return out_.substr(7, nl - 7);
    }

    // The exit status, or -1 if it did not end in time.
    int finish(std::chrono::milliseconds patience = 10s) {
        const auto until = Clock::now() + patience;
        int status = 0;
        while (Clock::now() < until) {
            pump(20);
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                while (pump(0))
                    ;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }

    void signal(int sig) { ::kill(pid_, sig); }
    const std::string &output() const { return out_; }

private:
    bool pump(int timeout_ms) {
        pollfd p{out_fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return true;
        char buf[4096];
        const ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n > 0)
            out_.append(buf, static_cast<std::size_t>(n));
        return n > 0;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1;
    bool exited_ = false;
    std::string out_;
};

// The port as the download program opens it: non-blocking, locked, exclusive, raw output.
class Port {
public:
    explicit Port(const std::string &path, int flags = O_RDWR | O_NOCTTY | O_NONBLOCK,
                  bool raw = true) {
        fd_ = ::open(path.c_str(), flags | O_CLOEXEC);
        if (fd_ < 0)
            return;
        ::flock(fd_, LOCK_EX | LOCK_NB);
        if (::isatty(fd_)) {
            ::ioctl(fd_, TIOCEXCL);
            if (::tcgetattr(fd_, &saved_) == 0)
                restore_ = true;
            termios t = saved_;
            if (raw) {
                t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
                t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
                t.c_iflag |= IXON;
                ::tcsetattr(fd_, TCSANOW, &t);
            }
        }
    }
    ~Port() { close(); }
    bool ok() const { return fd_ >= 0; }

    // Writes all of `bytes` in 512-byte pieces. Returns 0, or the errno that stopped it
    // (EAGAIN when the line took nothing for `patience`).
    int write(std::span<const std::uint8_t> bytes, std::chrono::milliseconds patience = 3s,
              std::chrono::microseconds between = 0us) {
        written_ = 0;
        while (written_ < bytes.size()) {
            const std::size_t n = std::min<std::size_t>(512, bytes.size() - written_);
            const ssize_t w = ::write(fd_, bytes.data() + written_, n);
            if (w > 0) {
                written_ += static_cast<std::size_t>(w);
                if (between > 0us)
                    std::this_thread::sleep_for(between);
                continue;
            }
            if (w < 0 && errno != EAGAIN)
                return errno;
            ++eagain_;
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, static_cast<int>(patience.count())) == 0)
                return EAGAIN;
        }
        return 0;
    }
    std::size_t written() const { return written_; }
    int eagain_count() const { return eagain_; }

    void close() {
        if (fd_ < 0)
            return;
        if (restore_)
            ::tcsetattr(fd_, TCSANOW, &saved_);
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    termios saved_{};
    bool restore_ = false;
    std::size_t written_ = 0;
    int eagain_ = 0;
};

// A number in the JSON report, found by the text before it.
long long json_number(const std::string &out, const std::string &before) {
    const auto at = out.find(before);
    if (at == std::string::npos)
        return -1;
    return std::atoll(out.c_str() + at + before.size());
}

Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string &path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        char tmpl[] = "/tmp/printer-sim-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
    std::string path(const char *name) const { return dir_ + "/" + name; }

    // Sends connection 1. The sim tells the connections apart by the opens and closes it sees;
    // bytes written just before a close or just after the next open could be of either
    // connection until it has seen the close, so leave it a moment on both sides.
    static void send_prelude(const std::string &port, const Stream &s) {
        {
            Port p(port);
            ASSERT_TRUE(p.ok()) << std::strerror(errno);
            ASSERT_EQ(p.write(s.prelude), 0);
            std::this_thread::sleep_for(30ms);
        }
        std::this_thread::sleep_for(30ms);
    }

    // Sends a whole download: the prelude, a pause, the transfer; each on its own opening.
    static void send(const std::string &port, const Stream &s, std::chrono::milliseconds pause,
                     bool raw_transfer = true) {
        send_prelude(port, s);
        std::this_thread::sleep_for(pause);
        Port p(port, O_RDWR | O_NOCTTY | O_NONBLOCK, raw_transfer);
        ASSERT_TRUE(p.ok()) << std::strerror(errno);
        ASSERT_EQ(p.write(s.transfer), 0);
    }

    std::string dir_;
};

TEST_F(SimTest, PtyReceivesADownloadAndCleansUp) {
    const Bytes image = make_image(12345);
    const std::string link = path("port");
    Sim sim({"--link", link, "--min-pause", "0.2", "--timeout", "10", "--json", "--save-image",
             path("saved")});
    const std::string device = sim.wait_ready();
    ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << sim.output();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(device, target);

    send(link, make_stream(image), 250ms);
    ASSERT_EQ(sim.finish(), 0) << sim.output();
    const std::string &out = sim.output();
    EXPECT_NE(out.find("\"verified\":true"), std::string::npos) << out;
    EXPECT_EQ(json_number(out, "\"connections\":"), 2);
    EXPECT_EQ(json_number(out, "\"image_size\":"), 12345);
    EXPECT_GE(json_number(out, "\"pause_seconds\":"), 0); // present, measured
    EXPECT_EQ(read_file(path("saved")), image);
    EXPECT_FALSE(exists(link));
}

// A sender that leaves the terminal cooked sends CR LF for LF: the start command shows it.
TEST_F(SimTest, PtyCatchesCookedOutput) {
    const std::string link = path("port");
    Sim sim({"--link", link, "--min-pause", "0", "--timeout", "10"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send(link, make_stream(make_image(300)), 20ms, /*raw_transfer=*/false);
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_NE(
        sim.output().find("verdict: FAILED: connection 2 offset 9: expected 0x0A (LF of the start "
                          "command), got 0x0D"),
        std::string::npos)
        << sim.output();
}

// Close and open again at once: no hang-up is seen in between, the two openings still are.
TEST_F(SimTest, PtyAndFifoTellAFastReopenApart) {
    const Stream s = make_stream(make_image(5121));
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "fifo" : "pty");
        const std::string port = path(fifo ? "fifo" : "port");
        Sim sim({fifo ? "--fifo" : "--link", port, "--min-pause", "0", "--timeout", "10"});
        ASSERT_FALSE(sim.wait_ready().empty());
        {
            Port first(port);
            ASSERT_TRUE(first.ok());
            ASSERT_EQ(first.write(s.prelude), 0);
            std::this_thread::sleep_for(30ms);
            first.close();
            Port second(port);
            ASSERT_TRUE(second.ok());
            std::this_thread::sleep_for(30ms);
            ASSERT_EQ(second.write(s.transfer), 0);
        }
        ASSERT_EQ(sim.finish(), 0) << sim.output();
        EXPECT_NE(sim.output().find("connections:   2"), std::string::npos) << sim.output();
        EXPECT_FALSE(exists(port));
    }
}

// With no moment at all between writing, closing, opening and writing, the sim may not have
// read connection 1 before connection 2's bytes follow. It must then say so; it must never put
// bytes in the wrong connection and call the result anything else.
TEST_F(SimTest, BytesOfAnInstantReopenAreNeverMisplaced) {
    const Stream s = make_stream(make_image(3000));
    for (int round = 0; round < 4; ++round) {
        const std::string port = path("port");
        Sim sim({"--link", port, "--min-pause", "0", "--timeout", "10"});
        ASSERT_FALSE(sim.wait_ready().empty());
        {
            Port first(port);
            ASSERT_EQ(first.write(s.prelude), 0);
            first.close();
            Port second(port);
            ASSERT_EQ(second.write(s.transfer), 0);
        }
        const int status = sim.finish();
        const std::string &out = sim.output();
        if (status != 0) {
            EXPECT_EQ(status, 1);
            EXPECT_NE(out.find("verdict: FAILED: connection 1 offset "), std::string::npos) << out;
            EXPECT_NE(out.find("closed and opened again before"), std::string::npos) << out;
        }
    }
}

TEST_F(SimTest, PauseBelowTheMinimumFails) {
    const std::string fifo = path("fifo");
    Sim sim({"--fifo", fifo, "--min-pause", "5", "--timeout", "10"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send(fifo, make_stream(make_image(100)), 10ms);
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_NE(sim.output().find("verdict: FAILED: connection 2 offset 0: expected a pause of at "
                                "least 5.000 s after connection 1"),
              std::string::npos)
        << sim.output();
}

// XOFF stops the writer long before the pty's buffers (about 20 KiB) would, and the sim takes
// exactly the bytes it was told to.
TEST_F(SimTest, PtyStallHoldsTheWriterWithXoff) {
    const Stream s = make_stream(make_image(60000));
    const std::string link = path("port");
    Sim sim(
        {"--link", link, "--min-pause", "0", "--timeout", "10", "--stall-after", "1000", "--json"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send_prelude(link, s);
    {
        Port p(link);
        EXPECT_EQ(p.write(s.transfer, 300ms, 1ms), EAGAIN);
        EXPECT_GE(p.written(), 1000u);
        EXPECT_LT(p.written(), 1000u + 4096u);
    }
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_EQ(json_number(sim.output(), "\"transfer\":{\"bytes\":"), 1000) << sim.output();
    EXPECT_NE(sim.output().find("\"stage\":\"blocks\""), std::string::npos);
}

// A stall with an end: the writer waits, then the download completes. A sender that has
// written everything into the line's buffer and closed before the stall ends still has its
// bytes taken afterwards, as a serial port's close waits for its output to drain.
TEST_F(SimTest, StallForLetsTheDownloadGoOn) {
    for (const bool fifo : {false, true}) {
        for (const std::size_t size : {std::size_t{60000}, std::size_t{2000}}) {
            SCOPED_TRACE(std::string(fifo ? "fifo " : "pty ") + std::to_string(size));
            const Stream s = make_stream(make_image(size));
            const std::string port = path(fifo ? "fifo" : "port");
            Sim sim({fifo ? "--fifo" : "--link", port, "--min-pause", "0", "--timeout", "10",
                     "--stall-after", "1000", "--stall-for", "0.3"});
            ASSERT_FALSE(sim.wait_ready().empty());
            send_prelude(port, s);
            Port p(port);
            const auto t0 = Clock::now();
            ASSERT_EQ(p.write(s.transfer, 3s), 0);
            if (size > 30000) { // more than the pty's or the pipe's buffers hold
                EXPECT_GT(p.eagain_count(), 0);
                EXPECT_GE(Clock::now() - t0, 250ms);
            }
            p.close();
            EXPECT_EQ(sim.finish(), 0) << sim.output();
        }
    }
}

TEST_F(SimTest, StallAtAStageTakesTheBytesBeforeIt) {
    const Bytes image = make_image(7000);
    const Stream s = make_stream(image);
    const std::string fifo = path("fifo");
    Sim sim({"--fifo", fifo, "--min-pause", "0", "--timeout", "10", "--stall", "--stage",
             "checksum", "--json"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send_prelude(fifo, s);
    {
        Port p(fifo);
        p.write(s.transfer, 300ms); // all of it fits in the pipe; the sim takes all but two
    }
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_EQ(json_number(sim.output(), "\"transfer\":{\"bytes\":"), 17 + 7000) << sim.output();
    EXPECT_NE(sim.output().find("\"stage\":\"checksum\""), std::string::npos);
}

// The writer sees the hang-up as the failed write a real port gives: EIO on a terminal, EPIPE
// on a FIFO opened for writing only. (A FIFO opened read-write is its own reader: the kernel
// gives it no EPIPE, only a full pipe.)
TEST_F(SimTest, HangupFailsTheWritersWrites) {
    const Stream s = make_stream(make_image(30000));
    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "fifo" : "pty");
        const std::string port = path(fifo ? "fifo" : "port");
        Sim sim({fifo ? "--fifo" : "--link", port, "--min-pause", "0", "--timeout", "10",
                 "--hangup-after", "2000", "--json"});
        ASSERT_FALSE(sim.wait_ready().empty());
        send_prelude(port, s);
        Port p(port, fifo ? O_WRONLY | O_NONBLOCK : O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_TRUE(p.ok());
        EXPECT_EQ(p.write(s.transfer, 3s, 1ms), fifo ? EPIPE : EIO);
        EXPECT_EQ(sim.finish(), 1);
        const std::string &out = sim.output();
        EXPECT_EQ(json_number(out, "\"transfer\":{\"bytes\":"), 2000) << out;
        EXPECT_NE(out.find("\"ended_by\":\"hangup\""), std::string::npos) << out;
        EXPECT_NE(out.find("\"verdict\":\"incomplete\""), std::string::npos) << out;
        EXPECT_FALSE(exists(port));
    }
}

// A hang-up at the start of the transfer connection: its very first write fails.
TEST_F(SimTest, HangupAtTheHeaderFailsTheFirstWrite) {
    const Stream s = make_stream(make_image(100));
    const std::string link = path("port");
    Sim sim(
        {"--link", link, "--min-pause", "0", "--timeout", "10", "--hangup", "--stage", "header"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send_prelude(link, s);
    Port p(link);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_EQ(p.write(s.transfer), EIO);
    EXPECT_EQ(p.written(), 0u);
}

// Taking data at a set pace: never faster than the rate (beyond the small burst it allows).
TEST_F(SimTest, RateLimitsHowFastDataIsTaken) {
    const Stream s = make_stream(make_image(100000));
    const std::string fifo = path("fifo");
    Sim sim({"--fifo", fifo, "--min-pause", "0", "--timeout", "10", "--rate", "400000", "--json"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send(fifo, s, 10ms);
    ASSERT_EQ(sim.finish(), 0) << sim.output();
    const auto at = sim.output().find("\"transfer_rate\":");
    ASSERT_NE(at, std::string::npos);
    const double rate = std::atof(sim.output().c_str() + at + 16);
    EXPECT_LT(rate, 400000 * 1.1) << sim.output();
}

TEST_F(SimTest, TimeoutReportsHowFarTheStreamGot) {
    const Stream s = make_stream(make_image(9000));
    const std::string link = path("port");
    Sim sim({"--link", link, "--min-pause", "0", "--timeout", "0.5"});
    ASSERT_FALSE(sim.wait_ready().empty());
    send_prelude(link, s);
    Port p(link);
    ASSERT_EQ(p.write(std::span(s.transfer).first(17 + 6000)), 0);
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_NE(sim.output().find("verdict: INCOMPLETE: stopped by the time-out at connection 2 "
                                "offset 6017 (image offset 6000) (tail)"),
              std::string::npos)
        << sim.output();
    EXPECT_FALSE(exists(link));
}

TEST_F(SimTest, SignalEndsTheRunAndRemovesTheFifo) {
    const std::string fifo = path("fifo");
    Sim sim({"--fifo", fifo, "--timeout", "10"});
    ASSERT_FALSE(sim.wait_ready().empty());
    ASSERT_TRUE(exists(fifo));
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.finish(), 1);
    EXPECT_NE(sim.output().find("verdict: INCOMPLETE: stopped by a signal while waiting for "
                                "connection 1"),
              std::string::npos)
        << sim.output();
    EXPECT_FALSE(exists(fifo));
}

// A capture holds both connections back to back; the exit status says what it holds.
TEST_F(SimTest, DecodesCaptureFiles) {
    const Stream good = make_stream(make_image(5121));
    Stream bad = good;
    bad.transfer[17 + 10] ^= 1;
    struct Case {
        const char *name;
        Bytes bytes;
        int status;
        const char *verdict;
    };
    const Case cases[] = {
        {"good", capture(good), 0, "verdict: OK: download verified (5121 image bytes)"},
        {"bad", capture(bad), 1, "verdict: FAILED: connection 2 offset 5138"},
        {"no_prelude", good.transfer, 1, "verdict: FAILED: connection 1 offset 2"},
        {"empty", {}, 1, "verdict: FAILED: connection 1 offset 0"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = path(c.name);
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char *>(c.bytes.data()),
                   static_cast<std::streamsize>(c.bytes.size()));
        Sim sim({"--decode", file});
        EXPECT_EQ(sim.finish(), c.status);
        EXPECT_NE(sim.output().find(c.verdict), std::string::npos) << sim.output();
    }
}

TEST_F(SimTest, CannotStartExitsTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--stall-after", "x"},
        {"--link", path("no/such/dir/port")},
        {"--decode", path("missing")},
        {"--fifo", dir_}, // exists and is not a FIFO
    };
    for (const auto &args : cases) {
        Sim sim(args);
        EXPECT_EQ(sim.finish(), 2) << args.back();
    }
}

} // namespace
} // namespace printer::test
