// The real program over a pseudo-terminal left at the kernel's cooked
// settings, as a user runs it.
#include "../support/process.h"
#include "../support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numeric>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

namespace {

// Collects everything the program sends to the pty, with the time it came.
class TLine {
public:
    TLine() {
        keep_ =
            open(pty_.slave.c_str(), O_RDWR | O_NOCTTY); // the pty outlives the program's closes
        reader_ = std::thread([this] {
            while (!stop_) {
                if (hold_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                Bytes got = pty_.Read(1, 20);
                std::lock_guard<std::mutex> lock(mutex_);
                for (unsigned char c : got) {
                    bytes_.push_back(c);
                    times_.push_back(Clock::now());
                }
            }
        });
    }
    ~TLine() {
        stop_ = true;
        reader_.join();
        close(keep_);
    }
    const std::string &Path() const { return pty_.slave; }
    Bytes Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }
    // Waits until `count` bytes have arrived.
    bool WaitFor(size_t count, double seconds) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            if (Received().size() >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    double Gap(size_t before, size_t after) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::chrono::duration<double>(times_.at(after) - times_.at(before)).count();
    }
    TPty &Pty() { return pty_; }
    // Stops reading (the kernel's buffers fill and the program's writes wait), or goes on.
    void Hold(bool hold) { hold_ = hold; }

private:
    TPty pty_;
    int keep_ = -1;
    std::atomic<bool> stop_{false}, hold_{false};
    std::mutex mutex_;
    Bytes bytes_;
    std::vector<Clock::time_point> times_;
    std::thread reader_;
};

const Bytes kPrelude = {0x0D, 0x0D, 0x7E, 0x4F, 0x0D};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("fwd-e2e-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Image(size_t size) {
        image_.resize(size);
        for (size_t i = 0; i < size; ++i)
            image_[i] = static_cast<unsigned char>(i * 7 + i / 251); // LF and CR included
        std::string path = (dir_ / "fw image.bin").string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(image_.data()), std::streamsize(size));
        return path;
    }

    fs::path dir_;
    Bytes image_;
};

TEST_F(EndToEnd, DownloadsExactlyAndIgnoresHangUpOfTheSession) {
    TLine line;
    std::string path = Image(2 * 5120 + 1000);
    // The blank in the path arrives as two arguments, joined again.
    std::string first = path.substr(0, path.find(' ')), second = path.substr(path.find(' ') + 1);
    TProcess run({FWDOWNLOAD, first, second},
                 {{"DOSDEV_LPT1", line.Path().c_str()}, {"FWDOWNLOAD_FRONTEND", "terminal"}});
    ASSERT_TRUE(line.WaitFor(5, 5));
    run.Signal(SIGHUP); // a dropped SSH session must not cut the transfer
    ASSERT_EQ(run.Wait(), 0) << run.Err();

    Bytes expected = kPrelude;
    expected.insert(expected.end(), 6, 0x0D);
    expected.insert(expected.end(), {0x7E, 0x4E, 0x0D, 0x0A, 0x47, 0x4F, 0x20, 2, 0, 0xE8, 0x03});
    expected.insert(expected.end(), image_.begin(), image_.end());
    unsigned sum = std::accumulate(image_.begin(), image_.end(), 0u) & 0xFFFF;
    expected.insert(expected.end(),
                    {static_cast<unsigned char>(sum), static_cast<unsigned char>(sum >> 8)});
    ASSERT_TRUE(line.WaitFor(expected.size(), 2));
    EXPECT_EQ(line.Received(), expected);
    EXPECT_GE(line.Gap(4, 5), 3.0) << "the pause between the prelude and the transfer";

    char text[64];
    std::snprintf(text, sizeof text, "Checksum: %04X\nFinish\n", sum);
    EXPECT_EQ(run.Out(), text);
    EXPECT_NE(run.Err().find("progress: 100%"), std::string::npos) << run.Err();
}

TEST_F(EndToEnd, FailuresSayWhyAndExitOne) {
    TLine line;
    struct Case {
        std::string device, image, message;
        size_t bytesSent;
    } cases[] = {
        {"/nonexistent/lp0", Image(10), "fwdownload: Open LPT1 fault.\n", 0},
        {line.Path(), (dir_ / "missing.bin").string(),
         "fwdownload: Cannot open file " + (dir_ / "missing.bin").string() + ".\n", 5},
    };
    size_t before = 0;
    for (const Case &c : cases) {
        TProcess run({FWDOWNLOAD, c.image},
                     {{"DOSDEV_LPT1", c.device.c_str()}, {"FWDOWNLOAD_FRONTEND", "terminal"}});
        EXPECT_EQ(run.Wait(), 1);
        EXPECT_EQ(run.Out(), "");
        ASSERT_GE(run.Err().size(), c.message.size());
        EXPECT_EQ(run.Err().substr(run.Err().size() - c.message.size()), c.message);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(line.Received().size() - before, c.bytesSent);
        before = line.Received().size();
    }
}

TEST_F(EndToEnd, SignalsStopPromptlyAndSendNothingMore) {
    struct Case {
        int signal, status;
        bool stalled; // stop while a write waits on a printer that sent XOFF
    } cases[] = {{SIGINT, 130, false}, {SIGTERM, 143, true}};
    for (const Case &c : cases) {
        TLine line;
        TProcess run({FWDOWNLOAD, Image(20 * 5120)},
                     {{"DOSDEV_LPT1", line.Path().c_str()}, {"FWDOWNLOAD_FRONTEND", "terminal"}});
        ASSERT_TRUE(line.WaitFor(5, 5));
        if (c.stalled) {
            // Let the transfer fill the line, stop it with XOFF mid-block, then
            // take everything the kernel still buffers.
            line.Hold(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(3600));
            line.Pty().Xoff();
            line.Hold(false);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ASSERT_GT(line.Received().size(), 5u + 17u) << "the transfer had started";
            ASSERT_LT(line.Received().size(), 5u + 17u + 20 * 5120) << "and not ended";
        }
        size_t sent = line.Received().size();
        auto start = Clock::now();
        run.Signal(c.signal);
        EXPECT_EQ(run.Wait(5), c.status) << run.Err();
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5);
        EXPECT_NE(run.Err().find("interrupted by"), std::string::npos) << run.Err();
        EXPECT_EQ(run.Out(), "");
        line.Pty().Xon();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(line.Received().size(), sent) << "nothing after the signal";
    }
}

} // namespace
