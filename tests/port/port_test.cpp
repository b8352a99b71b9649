// TCom over the real platform layer: pseudo-terminals (cooked, to prove the
// output is byte-exact), FIFOs and capture files.
#include <TCom.h>

#include <SysUtils.hpp>

#include <platform/interrupt.h>

#include "../support/pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <termios.h>
#include <thread>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

namespace {

std::string Message(const std::function<void()> &f) {
    try {
        f();
    } catch (const Exception &e) {
        return e.Message;
    }
    return "(no exception)";
}

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// A pty as the printer on LPT1, kept open by the test between the program's opens.
struct TPtyPrinter {
    TPty pty;
    int keep = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    TPtyPrinter() { setenv("DOSDEV_LPT1", pty.slave.c_str(), 1); }
    ~TPtyPrinter() { close(keep); }
    TPtyPrinter(const TPtyPrinter &) = delete;
    TPtyPrinter &operator=(const TPtyPrinter &) = delete;
};

class Port : public ::testing::Test {
protected:
    void SetUp() override {
        Platform::ResetInterrupt();
        dir_ = fs::temp_directory_path() /
               ("fwd-port-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        for (const char *name : {"DOSDEV_LPT1", "DOSDEV_LPT2", "DOSDEV_COM1", "DOSDEV_COM3"})
            unsetenv(name);
        Platform::ResetInterrupt();
        fs::remove_all(dir_);
    }
    std::string Capture(const char *name) {
        std::string path = (dir_ / name).string();
        std::ofstream(path).close();
        return path;
    }
    static Bytes Contents(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    fs::path dir_;
};

TEST_F(Port, IndexNamesTheDevice) {
    struct Case {
        int index;
        const char *name;
    } cases[] = {{0, "LPT1"}, {5, "LPT2"}, {1, "COM1"}, {3, "COM3"}};
    for (const Case &c : cases)
        setenv(("DOSDEV_" + std::string(c.name)).c_str(), Capture(c.name).c_str(), 1);
    for (const Case &c : cases) {
        TCom com;
        com.OpenPort(c.index);
        com.WriteByte(static_cast<unsigned char>('0' + c.index));
        com.Close();
    }
    for (const Case &c : cases)
        EXPECT_EQ(Contents((dir_ / c.name).string()),
                  Bytes{static_cast<unsigned char>('0' + c.index)})
            << c.name;

    fs::current_path(dir_); // no file named COM-1 here
    EXPECT_EQ(Message([] { TCom().OpenPort(-1); }), "Open COM-1 fault");
}

TEST_F(Port, MissingDeviceLeavesTheChannelClosed) {
    struct Case {
        const char *mapping; // nullptr: unset
        const char *name;
    } cases[] = {{"/nonexistent/lp0", "LPT1"}, {"", "LPT1"}, {nullptr, "COM3"}};
    setenv("DOSDEV_COM3", "/nonexistent/ttyS2", 1);
    for (const Case &c : cases) {
        if (c.mapping)
            setenv("DOSDEV_LPT1", c.mapping, 1);
        TCom com;
        EXPECT_EQ(Message([&] { com.Open(c.name); }), std::string("Open ") + c.name + " fault");
        com.Close();
        com.Close();
        EXPECT_EQ(Message([&] { com.WriteByte(1); }), "Time Out.  Printer not ready.");
        EXPECT_EQ(Message([&] { com.Write("x", 1); }), "Time Out.   Printer not ready.");
    }
}

TEST_F(Port, CapturesBothConnectionsInOrder) {
    setenv("DOSDEV_LPT1", Capture("capture.bin").c_str(), 1);
    TCom com;
    com.OpenPort(0);
    com.Write("ab", 2);
    com.Open("lpt1:"); // reopening releases the first handle
    com.WriteByte('c');
    com.Close();
    EXPECT_EQ(Contents((dir_ / "capture.bin").string()), (Bytes{'a', 'b', 'c'}));
}

TEST_F(Port, CookedPtyReceivesEveryByteUnchanged) {
    TPty pty;
    termios before = {};
    int slave = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    tcgetattr(slave, &before);
    ASSERT_TRUE(before.c_oflag & ONLCR) << "the kernel's default should be cooked";
    // A line setting that must survive untouched.
    termios slow = before;
    cfsetospeed(&slow, B9600);
    slow.c_iflag |= IXON;
    tcsetattr(slave, TCSANOW, &slow);

    setenv("DOSDEV_COM1", pty.slave.c_str(), 1);
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<unsigned char>(i);
    {
        TCom com;
        com.OpenPort(1);
        termios during = {};
        tcgetattr(slave, &during);
        EXPECT_EQ(cfgetospeed(&during), B9600);
        EXPECT_EQ(during.c_cflag, slow.c_cflag);
        EXPECT_TRUE(during.c_iflag & IXON);
        com.Write(all.data(), 256);
        for (unsigned char c : {0x0A, 0x0D, 0x7F, 0x04})
            com.WriteByte(c);
        Bytes expected = all;
        expected.insert(expected.end(), {0x0A, 0x0D, 0x7F, 0x04});
        EXPECT_EQ(pty.Read(260), expected);
    }
    termios after = {};
    tcgetattr(slave, &after);
    EXPECT_EQ(after.c_oflag, slow.c_oflag) << "settings are restored on close";
    EXPECT_EQ(after.c_lflag, slow.c_lflag);
    close(slave);
}

TEST_F(Port, SecondOpenerIsRefusedUntilTheFirstCloses) {
    TPtyPrinter printer;
    TPty &pty = printer.pty;
    TCom first, second;
    first.OpenPort(0);
    EXPECT_EQ(Message([&] { second.OpenPort(0); }), "Open LPT1 fault");
    first.Close();
    second.OpenPort(0);
    second.WriteByte('x');
    EXPECT_EQ(pty.Read(1), Bytes{'x'});
}

TEST_F(Port, StalledLineTimesOutAndLeavesThePortOpen) {
    TPtyPrinter printer;
    TPty &pty = printer.pty;
    TCom com;
    com.OpenPort(0);
    pty.Xoff();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    auto start = Clock::now();
    EXPECT_EQ(Message([&] { com.WriteByte('a'); }), "Printer not ready.");
    double byteTime = Seconds(start); // 100 ms per byte + 200 ms
    start = Clock::now();
    EXPECT_EQ(Message([&] { com.Write("0123456", 7); }), "Printer not ready.");
    double commandTime = Seconds(start); // 7 * 100 + 200 ms
    EXPECT_GE(byteTime, 0.28);
    EXPECT_LT(byteTime, 1.0);
    EXPECT_GE(commandTime, 0.88);
    EXPECT_LT(commandTime, 1.6);

    pty.Xon(); // the printer goes on: the port is still usable
    com.WriteByte('b');
    com.Close();
    EXPECT_EQ(pty.Read(1), Bytes{'b'});
}

TEST_F(Port, CloseWaitsForAPrinterThatSaidStop) {
    TPtyPrinter printer;
    TPty &pty = printer.pty;
    TCom com;
    com.OpenPort(0);
    com.WriteByte('a');
    pty.Xoff(); // after the last byte was taken, before the close
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto start = Clock::now();
    EXPECT_EQ(Message([&] { com.Close(); }), "Time Out.   Printer not ready.");
    EXPECT_GE(Seconds(start), 0.25);
    EXPECT_LT(Seconds(start), 1.0);
    com.Close(); // released all the same

    pty.Xon();
    com.OpenPort(0);
    com.WriteByte('b');
    std::thread resume([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Xon();
    });
    pty.Xoff();
    com.Close(); // the printer goes on within the time-out: a clean close
    resume.join();
}

TEST_F(Port, FullFifoTimesOutThenAHangUpClosesThePort) {
    std::string fifo = (dir_ / "printer").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    setenv("DOSDEV_LPT1", fifo.c_str(), 1);
    TCom com;
    com.OpenPort(0);
    // The printer has stopped reading and its buffer is full.
    int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    char junk[4096] = {};
    while (write(filler, junk, sizeof junk) > 0 || write(filler, junk, 1) > 0) {
    }
    close(filler);
    auto start = Clock::now();
    EXPECT_EQ(Message([&] { com.WriteByte('a'); }), "Printer not ready.");
    EXPECT_EQ(Message([&] { com.Write("0123456", 7); }), "Printer not ready.");
    EXPECT_LT(Seconds(start), 2.0);

    close(reader); // the printer hangs up
    start = Clock::now();
    EXPECT_EQ(Message([&] { com.Write(junk, 512); }), "Time Out.   Printer not ready.");
    EXPECT_LT(Seconds(start), 0.5) << "a hang-up is an error at once, not a time-out";
    // The failing write closed the port: the lock is gone and a new opener succeeds.
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    TCom again;
    again.OpenPort(0);
    again.WriteByte('z');
    char got = 0;
    EXPECT_EQ(read(reader, &got, 1), 1);
    EXPECT_EQ(got, 'z');
    close(reader);
    EXPECT_EQ(Message([&] { again.WriteByte('z'); }), "Time Out.  Printer not ready.");
}

TEST_F(Port, InterruptEndsAStalledWriteAtOnce) {
    TPtyPrinter printer;
    TPty &pty = printer.pty;
    TCom com;
    com.OpenPort(0);
    pty.Xoff();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Platform::Interrupt(SIGINT);
    });
    Bytes piece(512, 1);
    auto start = Clock::now();
    EXPECT_EQ(Message([&] { com.Write(piece.data(), 512); }), "Time Out.   Printer not ready.");
    stopper.join();
    EXPECT_LT(Seconds(start), 0.5) << "a 512-byte write would otherwise wait 51.4 s";
    EXPECT_EQ(Message([] { TCom().OpenPort(0); }), "Open LPT1 fault") << "nothing more is opened";
}

} // namespace
