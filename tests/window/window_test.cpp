// The windowed front-end under a real X server: the real program, the
// simulated printer, and what a user sees and does.
//
// Each test starts its own Xvfb. Every run of the program includes its real
// 3-second pause before the transfer, so the runs are few and each checks much.
// gtest first: Xlib defines macros (None, Status) that gtest's headers use as names.
#include <gtest/gtest.h>

#include "x_session.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

namespace WindowTest {
namespace {

const std::string kCaption = "Download Software V1.0";
const std::string kTitle = "fwdownload"; // the program's name: the boxes' caption
constexpr int kClientW = 488, kClientH = 139;
// The gauge, from the tab sheet, which fills the client area.
constexpr int kGaugeX = 24, kGaugeY = 56, kGaugeW = 425, kGaugeH = 33;

bool IsBlue(TRgb p) {
    return p.B > 200 && p.R < 60 && p.G < 60;
}
bool IsWhite(TRgb p) {
    return p.R > 245 && p.G > 245 && p.B > 245;
}
bool IsRed(TRgb p) {
    return p.R > 150 && p.G < 60 && p.B < 60;
}
bool IsDark(TRgb p) {
    return p.R < 60 && p.G < 60 && p.B < 60;
}

// The bar's filled width, from the inner row through the gauge's upper part
// (above the text).
int BarWidth(const TImage &image) {
    int y = kGaugeY + 3, filled = 0;
    for (int x = kGaugeX + 1; x < kGaugeX + kGaugeW - 1; ++x)
        filled += IsBlue(image.At(x, y)) ? 1 : 0;
    return filled;
}

class WindowFrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef FWD_HAVE_WINDOW
        GTEST_SKIP() << "fwdownload was built without the window (FLTK 1.3 not found)";
#endif
        std::string xvfb = FindOnPath("Xvfb");
        if (xvfb.empty())
            GTEST_SKIP() << "Xvfb is not installed (tools/install-deps installs it)";
        xdotool_ = FindOnPath("xdotool");
        server_ = std::make_unique<TXvfb>(xvfb);
        ASSERT_FALSE(server_->Display().empty()) << "Xvfb did not start";
        x_ = std::make_unique<TXClient>(server_->Display());
        char dir[] = "/tmp/fwd-window-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
    }

    void TearDown() override {
        processes_.clear();
        x_.reset();
        server_.reset();
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    // An image of Size bytes; returns its path and sets checksum_ to the
    // "Checksum: XXXX" text the program shows for it.
    std::string MakeImage(int Size) {
        std::string path = dir_ + "/image.bin";
        std::ofstream out(path, std::ios::binary);
        unsigned short sum = 0;
        for (int i = 0; i < Size; ++i) {
            unsigned char byte = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
            out.put(static_cast<char>(byte));
            sum = static_cast<unsigned short>(sum + byte);
        }
        char text[32];
        std::snprintf(text, sizeof text, "Checksum: %04X", unsigned(sum));
        checksum_ = text;
        return path;
    }

    TProcess &Start(const std::vector<std::string> &Argv,
                    const std::map<std::string, std::string> &Env, const std::string &Stem) {
        processes_.push_back(std::make_unique<TProcess>(Argv, Env, dir_ + "/" + Stem));
        return *processes_.back();
    }

    // The simulated printer on a pseudo-terminal linked at the returned path.
    std::string StartPrinter(std::vector<std::string> Options, TProcess **Printer) {
#ifdef FWD_PRINTER_SIM
        std::string link = dir_ + "/lpt1";
        // The pause is for other tests to measure; a loaded machine may shorten
        // what the simulator sees of it by a few milliseconds.
        std::vector<std::string> argv = {FWD_PRINTER_SIM, "--link", link, "--timeout", "60",
                                         "--min-pause",   "2.9"};
        argv.insert(argv.end(), Options.begin(), Options.end());
        TProcess &printer = Start(argv, {}, "printer");
        EXPECT_TRUE(
            WaitFor([&] { return printer.Stdout().find("ready:") != std::string::npos; }, 10s))
            << printer.Stderr();
        *Printer = &printer;
        return link;
#else
        (void)Options;
        *Printer = nullptr;
        return "";
#endif
    }

    TProcess &StartProgram(const std::string &Image, std::map<std::string, std::string> Env) {
        Env.emplace("DISPLAY", server_->Display());
        Env.emplace("FWDOWNLOAD_FRONTEND", "");
        return Start({FWD_PROGRAM, Image}, Env, "fwdownload");
    }

    // A real key press (XTEST) into the window, as a user would type it.
    void PressKey(Window W, const char *Key) {
        ASSERT_FALSE(xdotool_.empty());
        TProcess &press = Start({xdotool_, "windowfocus", "--sync", std::to_string(W), "key", Key},
                                {{"DISPLAY", server_->Display()}}, "xdotool");
        ASSERT_EQ(press.Wait(10s), 0) << press.Stderr();
    }

    // The box showing Text; 0 when none appears in time.
    Window WaitForBox(const std::string &Text, Clock::duration Timeout = 15s) {
        Window box = 0;
        WaitFor(
            [&] {
                for (Window w : x_->FindWindows(kTitle))
                    if (x_->TextProperty(w, "_FWDOWNLOAD_TEXT") == Text)
                        box = w;
                return box != 0;
            },
            Timeout);
        return box;
    }

    void ExpectCentred(Window W) {
        TGeometry g = x_->Geometry(W);
        EXPECT_NEAR(g.X, (TXvfb::ScreenW - g.W) / 2, 1);
        EXPECT_NEAR(g.Y, (TXvfb::ScreenH - g.H) / 2, 1);
    }

    std::unique_ptr<TXvfb> server_;
    std::unique_ptr<TXClient> x_;
    std::vector<std::unique_ptr<TProcess>> processes_;
    std::string dir_, xdotool_, checksum_;
};

#ifdef FWD_PRINTER_SIM
constexpr bool kHavePrinter = true;
#else
constexpr bool kHavePrinter = false;
#endif

// A whole download: the window, its face and gauge while the transfer runs,
// then the two boxes, each dismissed with Return, and a verified download.
TEST_F(WindowFrontEnd, DownloadShowsTheGaugeThenTheChecksumAndFinishBoxes) {
    if (!kHavePrinter || xdotool_.empty())
        GTEST_SKIP() << "needs printer-sim and xdotool";
    std::string image = MakeImage(150000);
    TProcess *printer;
    std::string link = StartPrinter({"--rate", "30000"}, &printer); // about 5 s of transfer
    TProcess &program = StartProgram(image, {{"DOSDEV_LPT1", link}});

    Window main = x_->WaitForWindow(kCaption);
    ASSERT_NE(main, 0u) << program.Stderr();
    TGeometry g = x_->Geometry(main);
    EXPECT_EQ(g.W, kClientW);
    EXPECT_EQ(g.H, kClientH);
    ExpectCentred(main);
    EXPECT_EQ(x_->Class(main),
              std::make_pair(std::string("fwdownload"), std::string("Fwdownload")));

    // Mid-transfer: the bar partly filled. The framework never returns to a
    // message loop during the transfer, so what shows was flushed at once.
    TImage shot;
    ASSERT_TRUE(WaitFor(
        [&] {
            shot = x_->Grab(main);
            int bar = shot.W == kClientW ? BarWidth(shot) : 0;
            return bar > 20 && bar < kGaugeW - 60;
        },
        20s))
        << "the gauge never showed a partly filled bar";

    // The face: button-face grey, and nothing above the gauge (no tab strip,
    // no port choice).
    TRgb face = shot.At(2, 2);
    EXPECT_FALSE(IsWhite(face));
    EXPECT_TRUE(face.R > 180 && std::abs(face.R - face.B) < 30) << face.R << "," << face.B;
    EXPECT_EQ(shot.Count(0, 0, kClientW, kGaugeY, [&](TRgb p) { return !(p == face); }), 0);
    EXPECT_EQ(shot.Count(0, kGaugeY + kGaugeH, kClientW, kClientH - kGaugeY - kGaugeH,
                         [&](TRgb p) { return !(p == face); }),
              0);

    // The gauge: a single dark border, blue from the left, white to the right.
    EXPECT_EQ(shot.Count(kGaugeX, kGaugeY, kGaugeW, 1, IsDark), kGaugeW);
    EXPECT_EQ(shot.Count(kGaugeX, kGaugeY + kGaugeH - 1, kGaugeW, 1, IsDark), kGaugeW);
    EXPECT_EQ(shot.Count(kGaugeX, kGaugeY, 1, kGaugeH, IsDark), kGaugeH);
    EXPECT_EQ(shot.Count(kGaugeX + 1, kGaugeY + 1, 1, kGaugeH - 2, IsBlue), kGaugeH - 2);
    EXPECT_EQ(shot.Count(kGaugeX + kGaugeW - 2, kGaugeY + 1, 1, kGaugeH - 2, IsWhite), kGaugeH - 2);
    EXPECT_EQ(shot.Count(kGaugeX - 1, kGaugeY - 1, kGaugeW + 2, 1, IsDark), 0)
        << "the gauge is not where the form puts it";

    // The percentage: drawn in the middle of the bar, and nowhere else.
    auto isText = [](TRgb p) { return !IsBlue(p) && !IsWhite(p); };
    int middleX = kGaugeX + kGaugeW / 2;
    EXPECT_GT(shot.Count(middleX - 25, kGaugeY + 6, 50, kGaugeH - 12, isText), 20);
    EXPECT_EQ(shot.Count(kGaugeX + 1, kGaugeY + 1, 100, kGaugeH - 2, isText), 0);
    EXPECT_EQ(shot.Count(kGaugeX + kGaugeW - 101, kGaugeY + 1, 100, kGaugeH - 2, isText), 0);

    // It keeps redrawing as the transfer goes on.
    int before = BarWidth(shot);
    EXPECT_TRUE(WaitFor([&] { return BarWidth(x_->Grab(main)) > before; }, 5s));

    Window box = WaitForBox(checksum_, 30s);
    ASSERT_NE(box, 0u) << "no box with \"" << checksum_ << "\"; " << program.Stderr();
    ExpectCentred(box);
    EXPECT_EQ(x_->Class(box).first, "fwdownload");
    TImage boxShot = x_->Grab(box);
    EXPECT_EQ(boxShot.Count(0, 0, boxShot.W, boxShot.H, IsRed), 0) << "a message has no icon";
    PressKey(box, "Return");

    Window finish = WaitForBox("Finish");
    ASSERT_NE(finish, 0u) << program.Stderr();
    EXPECT_TRUE(WaitForBox(checksum_, 0s) == 0) << "the checksum box is still up";
    PressKey(finish, "Return");

    EXPECT_EQ(program.Wait(10s), 0) << program.Stderr();
    EXPECT_TRUE(x_->FindWindows(kCaption).empty()) << "the window closes itself after success";
    EXPECT_EQ(printer->Wait(10s), 0);
    EXPECT_NE(printer->Stdout().find("verdict: OK"), std::string::npos) << printer->Stdout();
}

// A failure: the stop box, then the window stays, with the gauge where it was,
// until it is closed; input in the meantime does nothing; exit status 1.
TEST_F(WindowFrontEnd, FailureShowsTheStopBoxAndKeepsTheWindowUntilClosed) {
    if (xdotool_.empty())
        GTEST_SKIP() << "needs xdotool";
    TProcess &program = StartProgram(MakeImage(1000), {{"DOSDEV_LPT1", dir_ + "/missing/lpt1"}});

    Window box = WaitForBox("Open LPT1 fault.");
    ASSERT_NE(box, 0u) << program.Stderr();
    ExpectCentred(box);
    TImage shot = x_->Grab(box);
    int red = shot.Count(0, 0, shot.W, shot.H, IsRed);
    EXPECT_GT(red, 300) << "no stop icon";
    // The icon's cross: white inside the red disc's bounds.
    int left = shot.W, top = shot.H, right = 0, bottom = 0;
    for (int y = 0; y < shot.H; ++y)
        for (int x = 0; x < shot.W; ++x)
            if (IsRed(shot.At(x, y))) {
                left = std::min(left, x), right = std::max(right, x);
                top = std::min(top, y), bottom = std::max(bottom, y);
            }
    EXPECT_GT(shot.Count(left, top, right - left, bottom - top, IsWhite), 20);
    PressKey(box, "Return");
    EXPECT_TRUE(WaitFor([&] { return !x_->Viewable(box); }, 5s)) << "Return did not dismiss it";

    Window main = x_->WaitForWindow(kCaption, 1s);
    ASSERT_NE(main, 0u);
    PressKey(main, "Escape");
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(program.Running()) << "the window must stay open after a failure";
    EXPECT_TRUE(x_->Viewable(main));
    TImage face = x_->Grab(main);
    EXPECT_EQ(BarWidth(face), 0) << "the gauge stays where the transfer stopped";

    x_->RequestClose(main);
    EXPECT_EQ(program.Wait(5s), 1);
    EXPECT_NE(program.Stderr().find("Open LPT1 fault."), std::string::npos);
}

// Closing the window while the printer stalls (no redraw, the main thread in
// a blocking write) stops the run as SIGTERM does: the port is closed at once.
TEST_F(WindowFrontEnd, ClosingTheWindowDuringAStalledTransferStopsTheRun) {
    if (!kHavePrinter)
        GTEST_SKIP() << "needs printer-sim";
    TProcess *printer;
    std::string link = StartPrinter({"--stall-after", "40000"}, &printer);
    TProcess &program = StartProgram(MakeImage(150000), {{"DOSDEV_LPT1", link}});
    Window main = x_->WaitForWindow(kCaption);
    ASSERT_NE(main, 0u) << program.Stderr();
    ASSERT_TRUE(WaitFor([&] { return BarWidth(x_->Grab(main)) > 0; }, 15s));
    std::this_thread::sleep_for(1s); // well into the stall

    auto closed = Clock::now();
    x_->RequestClose(main);
    EXPECT_EQ(program.Wait(5s), 143) << program.Stderr();
    EXPECT_LT(Clock::now() - closed, 2s);
    std::string err = program.Stderr();
    EXPECT_NE(err.find("fwdownload: interrupted by SIGTERM at "), std::string::npos) << err;
    EXPECT_NE(err.find("the port is closed and nothing more was sent"), std::string::npos) << err;
    // The printer sees the connection end at once (it would wait for its
    // 60-second time-out otherwise): the port was released.
    EXPECT_EQ(printer->Wait(5s), 1);
    EXPECT_NE(printer->Stdout().find("got the end of the connection"), std::string::npos)
        << printer->Stdout();
}

// With a window manager that frames windows, the frame is centred, not the
// client area. Runs where openbox is installed.
TEST_F(WindowFrontEnd, WithAWindowManagerTheFrameIsCentred) {
    std::string openbox = FindOnPath("openbox");
    if (openbox.empty())
        GTEST_SKIP() << "openbox is not installed";
    Start({openbox}, {{"DISPLAY", server_->Display()}}, "openbox");
    ASSERT_TRUE(WaitFor(
        // The program asks the manager's check window, which comes last.
        [&] {
            return !x_->LongsProperty(DefaultRootWindow(x_->Raw()), "_NET_SUPPORTED").empty() &&
                   !x_->LongsProperty(DefaultRootWindow(x_->Raw()), "_NET_SUPPORTING_WM_CHECK")
                        .empty();
        },
        10s));
    TProcess &program = StartProgram(MakeImage(1000), {{"DOSDEV_LPT1", dir_ + "/missing/lpt1"}});
    Window box = WaitForBox("Open LPT1 fault.");
    ASSERT_NE(box, 0u) << program.Stderr();
    for (Window w : {x_->WaitForWindow(kCaption, 1s), box}) {
        ASSERT_NE(w, 0u);
        std::vector<long> frame; // left, right, top, bottom
        ASSERT_TRUE(WaitFor(
            [&] { return (frame = x_->LongsProperty(w, "_NET_FRAME_EXTENTS")).size() == 4; }, 5s));
        // The program moves a window once it knows the frame; allow for that.
        TGeometry g;
        auto centred = [&] {
            g = x_->Geometry(w);
            int frameW = g.W + int(frame[0] + frame[1]), frameH = g.H + int(frame[2] + frame[3]);
            return std::abs(g.X - frame[0] - (TXvfb::ScreenW - frameW) / 2) <= 1 &&
                   std::abs(g.Y - frame[2] - (TXvfb::ScreenH - frameH) / 2) <= 1;
        };
        EXPECT_TRUE(WaitFor(centred, 3s))
            << x_->Name(w) << " at " << g.X << "," << g.Y << " frame " << frame[0] << ","
            << frame[1] << "," << frame[2] << "," << frame[3];
        if (w != box) {
            EXPECT_EQ(g.W, kClientW);
        }
    }
    x_->RequestClose(box);
    EXPECT_TRUE(WaitFor([&] { return !x_->Viewable(box); }, 5s));
    x_->RequestClose(x_->WaitForWindow(kCaption, 1s));
    EXPECT_EQ(program.Wait(5s), 1);
}

// Where the window cannot be had, or is not wanted, the terminal is used.
class FrontEndChoice : public WindowFrontEnd {};

TEST_F(FrontEndChoice, WithoutADisplayTheTerminalShowsTheMessages) {
    std::string capture = dir_ + "/capture";
    { std::ofstream touch(capture); }
    TProcess &program = Start(
        {FWD_PROGRAM, MakeImage(12000)},
        {{"DISPLAY", ""}, {"FWDOWNLOAD_FRONTEND", ""}, {"DOSDEV_LPT1", capture}}, "fwdownload");
    EXPECT_EQ(program.Wait(20s), 0) << program.Stderr();
    EXPECT_EQ(program.Stdout(), checksum_ + "\nFinish\n");
    EXPECT_NE(program.Stderr().find(kCaption + "\n"), std::string::npos) << program.Stderr();
    EXPECT_NE(program.Stderr().find("progress: 100%"), std::string::npos) << program.Stderr();
}

// The failure path ends at once in the terminal but waits for the user in the
// window, so a quick exit 1 tells which front-end ran.
struct TChoiceCase {
    const char *Name;
    const char *Display; // "xvfb": the test's server; "": unset
    const char *Forced;  // FWDOWNLOAD_FRONTEND, "" unset
    int ExitStatus;
    const char *Stderr;
};

void PrintTo(const TChoiceCase &c, std::ostream *out) {
    *out << c.Name;
}

class FrontEndChoiceTable : public WindowFrontEnd,
                            public ::testing::WithParamInterface<TChoiceCase> {};

TEST_P(FrontEndChoiceTable, ExitsAtOnceWithTheMessageOnStderr) {
    const TChoiceCase &c = GetParam();
    std::string display = std::string(c.Display) == "xvfb" ? server_->Display() : c.Display;
    TProcess &program = Start({FWD_PROGRAM, MakeImage(1000)},
                              {{"DISPLAY", display},
                               {"FWDOWNLOAD_FRONTEND", c.Forced},
                               {"DOSDEV_LPT1", dir_ + "/missing/lpt1"}},
                              "fwdownload");
    EXPECT_EQ(program.Wait(5s), c.ExitStatus) << program.Stderr();
    EXPECT_NE(program.Stderr().find(c.Stderr), std::string::npos) << program.Stderr();
    EXPECT_TRUE(x_->FindWindows(kCaption).empty());
}

INSTANTIATE_TEST_SUITE_P(
    , FrontEndChoiceTable,
    ::testing::Values(
        TChoiceCase{"ForcedTerminalWithADisplay", "xvfb", "terminal", 1,
                    "fwdownload: Open LPT1 fault.\n"},
        TChoiceCase{"DisplayThatCannotBeOpened", ":4093", "", 1, "fwdownload: Open LPT1 fault.\n"},
        TChoiceCase{"ForcedWindowWithoutADisplay", "", "window", 1,
                    "FWDOWNLOAD_FRONTEND=window, but DISPLAY is not set"},
        TChoiceCase{"ForcedWindowOnADisplayThatCannotBeOpened", ":4093", "window", 1,
                    "FWDOWNLOAD_FRONTEND=window, but display :4093 cannot be opened"}),
    [](const auto &test) { return std::string(test.param.Name); });

} // namespace
} // namespace WindowTest
