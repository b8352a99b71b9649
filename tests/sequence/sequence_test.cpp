// The download sequence against scripted Win32 calls: the exact bytes, the
// write calls that carry them, the pause, the messages and every failure.
#include "fake_win32.h"
#include "../support/recording_frontend.h"

#include <Forms.hpp>
#include <platform/interrupt.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

namespace {

const Bytes kPrelude = {0x0D, 0x0D, 0x7E, 0x4F, 0x0D};

Bytes Image(size_t size, unsigned seed = 1) {
    Bytes image(size);
    std::mt19937 random(seed);
    for (auto &b : image)
        b = static_cast<unsigned char>(random());
    return image;
}

// What the printer must receive on the second connection, written out plainly.
Bytes Transfer(const Bytes &image) {
    Bytes s(6, 0x0D);
    for (unsigned char c : {0x7E, 0x4E, 0x0D, 0x0A, 0x47, 0x4F, 0x20})
        s.push_back(c);
    size_t blocks = image.size() / 5120, tail = image.size() % 5120;
    for (size_t v : {blocks, tail}) {
        s.push_back(static_cast<unsigned char>(v & 0xFF));
        s.push_back(static_cast<unsigned char>(v >> 8));
    }
    s.insert(s.end(), image.begin(), image.end());
    unsigned sum = std::accumulate(image.begin(), image.end(), 0u) & 0xFFFF;
    s.push_back(static_cast<unsigned char>(sum & 0xFF));
    s.push_back(static_cast<unsigned char>(sum >> 8));
    return s;
}

// Write calls of the second connection: 6 single bytes, the 7-byte command,
// 4 count bytes, ten 512-byte pieces per block, one call per tail byte, and
// the two checksum bytes.
std::vector<size_t> TransferCalls(size_t size) {
    std::vector<size_t> calls(6, 1);
    calls.push_back(7);
    calls.insert(calls.end(), 4, 1);
    calls.insert(calls.end(), size / 5120 * 10, 512);
    calls.insert(calls.end(), size % 5120, 1);
    calls.insert(calls.end(), 2, 1);
    return calls;
}

class Sequence : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFake();
        Platform::ResetInterrupt();
        dir_ = fs::temp_directory_path() /
               ("fwd-seq-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        auto screen = std::make_unique<TRecordingFrontEnd>();
        screen_ = screen.get();
        Platform::SetFrontEnd(std::move(screen));
    }
    void TearDown() override {
        Platform::SetFrontEnd(nullptr);
        Platform::ResetInterrupt();
        fs::remove_all(dir_);
    }

    std::string Write(const Bytes &image, const std::string &name = "fw.bin") {
        std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
        return path;
    }

    // Runs the program's entry routine with this command-line tail.
    int Run(std::string tail) {
        TApplication application(nullptr);
        application.Title = "fwdownload";
        Application = &application;
        int status = WinMain(nullptr, nullptr, tail.data(), SW_SHOWNORMAL);
        Application = nullptr;
        return status;
    }

    fs::path dir_;
    TRecordingFrontEnd *screen_ = nullptr;
};

struct SizeCase {
    size_t size;
    const char *why;
};

class SequenceSizes : public Sequence, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SequenceSizes, SendsTheExactStreamWithTheRightCalls) {
    Bytes image = Image(GetParam().size);
    ASSERT_EQ(Run(Write(image)), 0);

    TFakeWin32 &f = Fake();
    EXPECT_EQ(f.Opened, (std::vector<std::string>{"LPT1", "LPT1"}));
    EXPECT_EQ(f.Stream(1), kPrelude);
    EXPECT_EQ(f.CallSizes(1), std::vector<size_t>(5, 1));
    EXPECT_EQ(f.Stream(2), Transfer(image));
    EXPECT_EQ(f.CallSizes(2), TransferCalls(image.size()));
    EXPECT_EQ(f.OpenHandles, 0);
    EXPECT_EQ(std::count(f.Log.begin(), f.Log.end(), "purge"), 0)
        << "a good run drains, never purges";

    // The pause falls between the first connection's close and the second's open.
    auto at = [&](const std::string &entry) {
        return std::find(f.Log.begin(), f.Log.end(), entry) - f.Log.begin();
    };
    EXPECT_EQ(f.Sleeps, std::vector<DWORD>{3000});
    EXPECT_EQ(at("sleep 3000"), at("close") + 1);

    for (DWORD mask : f.MasksSet)
        EXPECT_EQ(mask, 0xDEu);
    ASSERT_EQ(f.TimeoutsSet.size(), 2u);
    const COMMTIMEOUTS &t = f.TimeoutsSet[0];
    EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                  t.WriteTotalTimeoutConstant}),
              std::vector<DWORD>({200, 100, 200, 100, 200}));

    unsigned sum = std::accumulate(image.begin(), image.end(), 0u) & 0xFFFF;
    char checksum[32];
    std::snprintf(checksum, sizeof checksum, "Checksum: %04X", sum);
    EXPECT_EQ(screen_->Messages, (std::vector<std::string>{checksum, "Finish"}));
    EXPECT_TRUE(screen_->Errors.empty());
    if (!image.empty()) {
        EXPECT_EQ(screen_->Percents.back(), 100);
    }
    EXPECT_TRUE(std::is_sorted(screen_->Percents.begin(), screen_->Percents.end()));
}

INSTANTIATE_TEST_SUITE_P(Images, SequenceSizes,
                         ::testing::Values(SizeCase{0, "empty"}, SizeCase{100, "tail only"},
                                           SizeCase{5120, "one block"},
                                           SizeCase{5121, "block and a byte"},
                                           SizeCase{3 * 5120 + 4000, "blocks and a tail"}),
                         [](const auto &c) { return std::to_string(c.param.size); });

TEST_F(Sequence, ChecksumWrapsAndShowsFourUpperCaseDigits) {
    Bytes image(300, 0xFF); // 76500 = 0x12AD4, sent as D4 2A
    ASSERT_EQ(Run(Write(image)), 0);
    Bytes stream = Fake().Stream(2);
    EXPECT_EQ(Bytes(stream.end() - 2, stream.end()), (Bytes{0xD4, 0x2A}));
    EXPECT_EQ(screen_->Messages.front(), "Checksum: 2AD4");

    ResetFake();
    screen_->Messages.clear();
    ASSERT_EQ(Run(Write(Bytes(1, 0x0A))), 0);
    EXPECT_EQ(screen_->Messages.front(), "Checksum: 000A");
}

TEST_F(Sequence, HeaderAtTheLargestImage) {
    const size_t largest = 32767u * 5120 + 5119;
    std::string path = (dir_ / "largest.bin").string();
    fs::resize_file(Write({}, "largest.bin"), largest); // sparse: zeros
    ASSERT_EQ(Run(path), 0) << (screen_->Errors.empty() ? "" : screen_->Errors[0]);
    Bytes stream = Fake().Stream(2);
    ASSERT_EQ(stream.size(), 6 + 7 + 4 + largest + 2);
    EXPECT_EQ(Bytes(stream.begin() + 13, stream.begin() + 17), (Bytes{0xFF, 0x7F, 0xFF, 0x13}));
}

TEST_F(Sequence, RefusesAnImageTheHeaderCannotDescribe) {
    std::string path = Write({}, "huge.bin");
    fs::resize_file(path, 32768u * 5120);
    EXPECT_EQ(Run(path), 1);
    ASSERT_EQ(screen_->Errors.size(), 1u);
    EXPECT_EQ(screen_->Errors[0],
              "Image too large: the transfer header describes at most "
              "167772159 bytes, that is 32767 blocks of 5120 and a 5119-byte tail.");
    EXPECT_EQ(Fake().Opened.size(), 1u) << "the transfer must not start";
    EXPECT_EQ(Fake().Stream(1), kPrelude);
}

TEST_F(Sequence, OpenFaultSendsNothingAndLoadsNothing) {
    Fake().FailOpen = 1;
    EXPECT_EQ(Run(Write(Image(10))), 1);
    EXPECT_EQ(screen_->Errors, std::vector<std::string>{"Open LPT1 fault."});
    EXPECT_TRUE(Fake().Writes.empty());
    EXPECT_TRUE(Fake().Sleeps.empty());
    EXPECT_TRUE(screen_->Messages.empty());
}

TEST_F(Sequence, MissingImageFailsOnlyAfterThePreludeAndThePause) {
    struct Case {
        std::string tail, shown;
    } cases[] = {
        {"", "Cannot open file "},
        {"\"" + (dir_ / "fw.bin").string() + "\"",
         "Cannot open file \"" + (dir_ / "fw.bin").string() + "\""}, // '"' sorts before '.'

        {(dir_ / "100%s %n.bin").string(),
         "Cannot open file " + (dir_ / "100%s %n.bin").string() + "."},
        {(dir_ / std::string(4000, 'x')).string(),
         "Cannot open file " + (dir_ / std::string(4000, 'x')).string() + "."},
        {dir_.string() + "/", "Cannot open file " + dir_.string() + "/."}, // a directory
    };
    Write(Image(10)); // fw.bin exists, but not with the quotes around it
    for (const Case &c : cases) {
        ResetFake();
        screen_->Errors.clear();
        EXPECT_EQ(Run(c.tail), 1) << c.tail;
        EXPECT_EQ(screen_->Errors, std::vector<std::string>{c.shown});
        EXPECT_EQ(Fake().Stream(1), kPrelude);
        EXPECT_EQ(Fake().Sleeps, std::vector<DWORD>{3000});
        EXPECT_EQ(Fake().Opened.size(), 1u);
        EXPECT_EQ(Fake().OpenHandles, 0);
    }
}

// Which call fails decides the text: single bytes and buffers differ, and a
// short count is "Printer not ready." for both.
TEST_F(Sequence, WriteFailuresShowTheirOwnText) {
    const Bytes image = Image(5121);
    const int transferStart = 5;           // the five prelude calls come first
    const int command = transferStart + 7; // after six CRs
    const int firstPiece = command + 5;    // after the four count bytes
    const int tailByte = firstPiece + 10;
    const int checksumLow = tailByte + 1;
    struct Case {
        int call;
        decltype(TFakeWin32::WriteEffect) effect;
        DWORD shortCount;
        std::string shown;
    } cases[] = {
        {1, TFakeWin32::Fails, 0, "Time Out.  Printer not ready."},
        {transferStart + 1, TFakeWin32::Fails, 0, "Time Out.  Printer not ready."},
        {command, TFakeWin32::Fails, 0, "Time Out.   Printer not ready."},
        {command, TFakeWin32::Short, 3, "Printer not ready."},
        {firstPiece, TFakeWin32::Short, 511, "Printer not ready."},
        {tailByte, TFakeWin32::Fails, 0, "Time Out.  Printer not ready."},
        {tailByte, TFakeWin32::Short, 0, "Printer not ready."}, // a byte the printer never took
        {checksumLow, TFakeWin32::Fails, 0, "Time Out.   Printer not ready."},
    };
    std::string path = Write(image);
    for (const Case &c : cases) {
        ResetFake();
        screen_->Errors.clear();
        screen_->Messages.clear();
        Fake().WriteCall = c.call;
        Fake().WriteEffect = c.effect;
        Fake().ShortCount = c.shortCount;
        EXPECT_EQ(Run(path), 1) << "call " << c.call;
        EXPECT_EQ(screen_->Errors, std::vector<std::string>{c.shown}) << "call " << c.call;
        EXPECT_TRUE(screen_->Messages.empty());
        EXPECT_EQ(Fake().OpenHandles, 0) << "the port is released in every case";
        // Nothing is written after the failing call.
        EXPECT_EQ(Fake().Writes.size(), size_t(c.call));
        // A failing call closes the port itself; after a short one the channel's
        // destructor does, so no write call comes between.
        EXPECT_EQ(Fake().Log.back(), "close");
        // and what the port still holds is discarded first: nothing more goes out.
        EXPECT_EQ(Fake().Log.end()[-2], "purge");
    }
}

TEST_F(Sequence, UndrainedCloseIsAFailureNotAFinish) {
    Fake().CloseResult = FALSE;
    EXPECT_EQ(Run(Write(Image(10))), 1);
    EXPECT_EQ(screen_->Errors, std::vector<std::string>{"Time Out.   Printer not ready."});
    EXPECT_TRUE(screen_->Messages.empty());
    EXPECT_EQ(Fake().Opened.size(), 1u);
}

TEST_F(Sequence, InterruptionStopsTheTransferAndSaysHowFarItGot) {
    Bytes image = Image(4 * 5120);
    Fake().WriteCall = 5 + 12 + 25; // inside the third block
    Fake().OnWrite = [] { Platform::Interrupt(SIGINT); };
    EXPECT_EQ(Run(Write(image)), 130);
    EXPECT_TRUE(screen_->Errors.empty());
    ASSERT_EQ(screen_->Interruptions.size(), 1u);
    EXPECT_EQ(screen_->Interruptions[0], "interrupted by SIGINT at 50% (10240 of 20480 bytes); "
                                         "the port is closed and nothing more was sent");
    EXPECT_EQ(Fake().Writes.size(), size_t(5 + 12 + 25));
    EXPECT_EQ(Fake().OpenHandles, 0);
    EXPECT_TRUE(screen_->Messages.empty());
}

} // namespace
