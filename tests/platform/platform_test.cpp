// The framework layer and the device map on their own: the stored window
// description, the gauge, the error display, the memory stream and the
// terminal front-end.
#include <vcl.h>

#include <platform/devmap.h>
#include <platform/frontend.h>
#include <platform/interrupt.h>

#include "../../app/Unit1.h"
#include "../support/pty.h"
#include "../support/recording_frontend.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

class Framework : public ::testing::Test {
protected:
    void SetUp() override {
        Platform::ResetInterrupt();
        auto screen = std::make_unique<TRecordingFrontEnd>();
        screen_ = screen.get();
        Platform::SetFrontEnd(std::move(screen));
        application_ = std::make_unique<TApplication>(nullptr);
        application_->Title = "fwdownload";
        Application = application_.get();
    }
    void TearDown() override {
        application_.reset();
        Application = nullptr;
        Platform::SetFrontEnd(nullptr);
    }
    TRecordingFrontEnd *screen_ = nullptr;
    std::unique_ptr<TApplication> application_;
};

TEST_F(Framework, StoredDescriptionBuildsTheWindow) {
    TForm1 *form = nullptr;
    Application->CreateForm(__classid(TForm1), &form);
    ASSERT_NE(form, nullptr);
    EXPECT_EQ(Application->MainForm, form);
    EXPECT_EQ(form->Caption, "Download Software V1.0");
    EXPECT_EQ(form->Width, 496);
    EXPECT_EQ(form->Height, 173);
    EXPECT_EQ(form->ClientWidth(), 488);
    EXPECT_EQ(form->ClientHeight(), 139);
    EXPECT_EQ(form->Position, poScreenCenter);
    EXPECT_EQ(form->Color, clBtnFace);
    EXPECT_EQ(form->Font.Name, "Arial");
    EXPECT_EQ(form->Font.Height, -13);
    EXPECT_EQ(form->Font.Charset, ANSI_CHARSET);
    EXPECT_TRUE(form->Font.Style.empty());
    EXPECT_FALSE(form->Visible) << "shown by the application, not by the description";
    EXPECT_TRUE(bool(form->OnActivate));

    EXPECT_EQ(form->PageControl1->Align, alClient);
    EXPECT_EQ(form->PageControl1->ActivePage, form->TabSheet2);
    EXPECT_FALSE(form->TabSheet2->TabVisible);
    EXPECT_EQ(form->Gauge->Parent(), form->TabSheet2);
    EXPECT_EQ(std::vector<int>(
                  {form->Gauge->Left, form->Gauge->Top, form->Gauge->Width, form->Gauge->Height}),
              std::vector<int>({24, 56, 425, 33}));
    EXPECT_EQ(form->Gauge->ForeColor, clBlue);
    EXPECT_EQ(form->Gauge->BackColor, clWhite);
    EXPECT_EQ(int(form->Gauge->MaxValue), 100);
    EXPECT_EQ(form->rdPort->Caption, "Output Port");
    EXPECT_FALSE(form->rdPort->Visible);
    EXPECT_EQ(form->rdPort->ItemIndex, 0);
    std::vector<std::string> items;
    for (int i = 0; i < form->rdPort->Items.Count(); ++i)
        items.push_back(form->rdPort->Items[i]);
    EXPECT_EQ(items, (std::vector<std::string>{"LPT1", "COM1", "COM2", "COM3", "COM4", "LPT2"}));
}

TEST_F(Framework, BrokenDescriptionsSayWhatIsWrong) {
    struct Case {
        const char *text, *error;
    } cases[] = {
        {"object F: TForm\n  Colour = clRed\nend",
         "Error reading F.Colour: Property Colour does not exist"},
        {"object F: TForm\n  object G: TNoSuchThing\n  end\nend", "Class TNoSuchThing not found"},
        {"object F: TForm\n  OnActivate = Missing\nend",
         "Error reading F.OnActivate: method Missing not found"},
        {"object F: TForm\n  Width = 'wide'\nend",
         "Error reading F.Width: Invalid property value: integer expected"},
        {"object F: TForm\n  Caption = 'open\nend",
         "Error reading form description, line 2: unterminated string"},
        {"object F: TForm\n  Left = 1\n",
         "Error reading form description, line 3: identifier expected"},
    };
    for (const Case &c : cases) {
        TForm form(nullptr);
        try {
            form.ReadDescription(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const EReadError &e) {
            EXPECT_EQ(e.Message, c.error);
        }
    }
}

TEST_F(Framework, GaugeClampsAndRedrawsOnlyWhenThePercentageChanges) {
    TForm form(nullptr);
    form.ReadDescription("object F: TForm\n  object G: TCGauge\n  end\nend");
    auto *gauge = dynamic_cast<TCGauge *>(form.FindComponent("G"));
    ASSERT_NE(gauge, nullptr);
    form.Visible = true;

    gauge->MaxValue = 167772159; // wide enough to overflow 32-bit percentage arithmetic
    gauge->MinValue = 0;
    gauge->Progress = 0;
    for (int p = 0; p < 167772159; p += 5120)
        gauge->Progress = gauge->Progress + 5120;
    EXPECT_EQ(int(gauge->Progress), 167772159) << "clamped to MaxValue";
    ASSERT_EQ(screen_->Percents.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(screen_->Percents[i], i + 1);

    gauge->Progress = -5;
    EXPECT_EQ(int(gauge->Progress), 0);
    gauge->MaxValue = 0;
    EXPECT_EQ(int(gauge->PercentDone), 0) << "an empty range shows 0 %";
    EXPECT_THROW(gauge->MinValue = 1, Exception);
}

TEST_F(Framework, ErrorDisplayAppendsAFullStopAfterLaterCharacters) {
    struct Case {
        std::string message, shown;
    } cases[] = {
        {"Open LPT1 fault", "Open LPT1 fault."},
        {"Printer not ready.", "Printer not ready."},
        {"Cannot open file ", "Cannot open file "},
        {"Cannot open file /tmp/", "Cannot open file /tmp/."},
        {"Cannot open file a-", "Cannot open file a-"},
        {"Cannot open file caf\xC3\xA9", "Cannot open file caf\xC3\xA9."},
        {"", ""},
    };
    for (const Case &c : cases) {
        Exception e(c.message);
        Application->ShowException(&e);
    }
    ASSERT_EQ(screen_->Errors.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(screen_->Errors[i], cases[i].shown);
    EXPECT_EQ(Application->ExitCode, 1);
}

TEST_F(Framework, InterruptedRunsReportOnceWithTheSignal) {
    Platform::Interrupt(SIGTERM);
    EXPECT_THROW(ShowMessage("Finish"), EAbort);
    Exception e("Time Out.  Printer not ready.");
    Application->ShowException(&e);
    Application->ShowException(&e);
    EXPECT_TRUE(screen_->Errors.empty());
    ASSERT_EQ(screen_->Interruptions.size(), 1u);
    EXPECT_EQ(screen_->Interruptions[0].rfind("interrupted by SIGTERM", 0), 0u);
    EXPECT_EQ(Application->ExitCode, 143);
    Platform::ResetInterrupt();
}

class MemoryStream : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("fwd-mem-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

TEST_F(MemoryStream, LoadsFilesAndPipesWholeUpToTheLimit) {
    std::string path = (dir_ / "image").string();
    std::ofstream(path) << "0123456789";
    TMemoryStream s;
    ASSERT_TRUE(s.LoadFromFile(path, 10));
    EXPECT_EQ(__int64(s.Size), 10);
    EXPECT_EQ(std::string(static_cast<char *>(static_cast<void *>(s.Memory)), 10), "0123456789");
    EXPECT_FALSE(s.LoadFromFile(path, 9));
    EXPECT_EQ(__int64(s.Size), 0);

    // A pipe has no size: it is read to its end, or refused at the limit.
    std::string fifo = (dir_ / "pipe").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        std::ofstream out(fifo, std::ios::binary);
        std::string chunk(100000, 'x');
        for (int i = 0; i < 30; ++i)
            out << chunk;
    });
    ASSERT_TRUE(s.LoadFromFile(fifo, 3000000));
    writer.join();
    EXPECT_EQ(__int64(s.Size), 3000000);
    EXPECT_FALSE(s.LoadFromFile("/dev/zero", 1 << 20)) << "an endless source stops at the limit";
}

TEST_F(MemoryStream, UnreadableSourcesCannotBeOpened) {
    TMemoryStream s;
    for (std::string bad : {(dir_ / "missing").string(), dir_.string(), std::string()}) {
        try {
            s.LoadFromFile(bad);
            ADD_FAILURE() << bad;
        } catch (const Exception &e) {
            EXPECT_EQ(e.Message, "Cannot open file " + bad);
        }
    }
}

TEST(DeviceMap, DosNamesMapToDevicesAndOverrides) {
    unsetenv("DOSDEV_LPT1");
    unsetenv("DOSDEV_COM12");
    struct Case {
        const char *name, *path, *dos;
    } cases[] = {
        {"LPT1", "/dev/lp0", "LPT1"},
        {"lpt2:", "/dev/lp1", "LPT2"},
        {"\\\\.\\COM3", "/dev/ttyS2", "COM3"},
        {"com12", "/dev/ttyS11", "COM12"},
        {"COM-1", "COM-1", ""},
        {"LPT0", "LPT0", ""},
        {"COM1x", "COM1x", ""},
        {"/dev/usb/lp0", "/dev/usb/lp0", ""},
    };
    for (const Case &c : cases) {
        Platform::TDevicePath d = Platform::ResolveDevice(c.name);
        EXPECT_EQ(d.Path, c.path) << c.name;
        EXPECT_EQ(d.DosName, c.dos) << c.name;
    }
    setenv("DOSDEV_LPT1", "/dev/usb/lp0", 1);
    EXPECT_EQ(Platform::ResolveDevice("Lpt1").Path, "/dev/usb/lp0");
    setenv("DOSDEV_LPT1", "", 1);
    EXPECT_EQ(Platform::ResolveDevice("LPT1").Path, "") << "an empty mapping opens nothing";
    unsetenv("DOSDEV_LPT1");
}

// The terminal front-end, with its stderr a file (a log) or a terminal.
TEST(TerminalFrontEnd, LogsGetPlainLinesTerminalsOneLineRedrawn) {
    Platform::SetFrontEnd(std::make_unique<TRecordingFrontEnd>()); // the gauge's own redraws
    auto run = [](int err) {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        auto screen = Platform::CreateTerminalFrontEnd(out[1], err);
        TForm form(nullptr);
        form.ReadDescription(
            "object F: TForm\n  Caption = 'Download'\n  object G: TCGauge\n  end\nend");
        auto *gauge = dynamic_cast<TCGauge *>(form.FindComponent("G"));
        form.Visible = true;
        gauge->MaxValue = 1000;
        screen->ShowForm(form);
        for (int p = 1; p <= 1000; ++p) {
            gauge->Progress = p;
            if (p % 10 == 0)
                screen->GaugeChanged(*gauge);
        }
        screen->ShowMessage("Checksum: 1A2B", "t");
        screen->ShowError("Cannot open file a\nb\x1b[2J.", "fwdownload");
        close(out[1]);
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        close(out[0]);
        return std::string(buf, n > 0 ? size_t(n) : 0);
    };

    FILE *log = tmpfile();
    EXPECT_EQ(run(fileno(log)), "Checksum: 1A2B\n");
    std::string text(4096, '\0');
    text.resize(pread(fileno(log), text.data(), text.size(), 0));
    fclose(log);
    std::string expected = "Download\n";
    for (int p = 0; p <= 100; p += 10)
        expected += "progress: " + std::to_string(p) + "%\n";
    expected += "fwdownload: Cannot open file a\\x0Ab\\x1B[2J.\n";
    EXPECT_EQ(text, expected);

    TPty pty;
    int slave = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
    run(slave);
    auto bytes = pty.Read(1 << 20, 200);
    std::string shown(bytes.begin(), bytes.end());
    close(slave);
    EXPECT_NE(shown.find("\r[########################################] 100%"), std::string::npos);
    EXPECT_NE(shown.find(" left\x1b[K"), std::string::npos);
    EXPECT_EQ(shown.find("progress:"), std::string::npos);
    EXPECT_NE(shown.find("fwdownload: Cannot open file"), std::string::npos);
    Platform::SetFrontEnd(nullptr);
}

} // namespace
