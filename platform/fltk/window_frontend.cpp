// The windowed front-end.
//
// The download runs synchronously inside OnActivate, so the main thread is in
// FLTK only when the framework calls in: a form shown, a gauge redrawn, a box,
// the loop after a failure. While the run is between those calls (the pause,
// a stalled printer), a watcher thread takes FLTK's turn: it dispatches what
// the X server sends, so that closing the window is noticed and an uncovered
// window is redrawn. One mutex makes the two threads take turns; FLTK and Xlib
// are never used by both at once.
//
// Input does nothing: the window holds no control that takes it, Escape does
// not close it, and while a box is up the other windows ignore it. Closing the
// window during the run stops the run as SIGTERM does; after a failure it ends
// the program.
#include "window_frontend.h"

#include "form_view.h"
#include "message_box.h"
#include "x11_window.h"

#include <CGauges.h>
#include <platform/console.h>
#include <platform/interrupt.h>

#include <FL/Fl.H>
#include <FL/x.H>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace Platform {
namespace {

using namespace std::chrono_literals;

// How often the watcher looks at the X connection when nothing arrives.
constexpr auto kWatchTick = 50ms;

void WriteLine(int fd, const std::string &line) {
    WriteAll(fd, Printable(line) + "\n");
}

class TWindowFrontEnd : public TFrontEnd {
public:
    ~TWindowFrontEnd() override {
        StopWatcher();
        std::lock_guard lock(ui_);
        views_.clear();
        Fl::flush();
    }

    void ShowForm(TForm &Form) override {
        running_ = true; // OnActivate follows, and the run in it: closing the window stops it
        {
            std::lock_guard lock(ui_);
            auto &view = views_[&Form];
            bool centred = false;
            if (!view) {
                view = std::make_unique<TFormView>(Form);
                view->callback(OnClose, this);
                switch (Form.Position) {
                case poDesigned:
                case poDefaultSizeOnly:
                    view->position(Form.Left, Form.Top);
                    break;
                case poDefault:
                case poDefaultPosOnly:
                    break; // where the window manager puts it
                default:
                    PlaceCentred(*view);
                    centred = true;
                }
            }
            view->show();
            WaitUntilViewable(*view);
            if (centred)
                centring_.emplace_back(*view);
            TendFrames();
        }
        StartWatcher();
    }

    void HideForm(TForm &Form) override {
        if (Application && &Form == Application->MainForm) {
            running_ = false;
            StopWatcher();
        }
        std::lock_guard lock(ui_);
        if (TFormView *view = Find(Form)) {
            view->hide();
            Fl::flush();
        }
    }

    void GaugeChanged(TCGauge &Gauge) override {
        std::lock_guard lock(ui_);
        for (auto &[form, view] : views_) {
            if (TGaugeView *gauge = view->FindGauge(Gauge)) {
                gauge->Update(Gauge);
                gauge->redraw();
            }
        }
        Fl::flush(); // drawn now, not when a loop next runs
        Fl::check(); // and a close request since the last redraw is seen
        TendFrames();
    }

    void ShowMessage(const AnsiString &Text, const AnsiString &Caption) override {
        WriteLine(STDOUT_FILENO, Text);
        bool dismissed;
        {
            std::lock_guard lock(ui_);
            dismissed = Box(Text, Caption, TBoxKind::Message);
        }
        if (!dismissed)
            throw EAbort(); // interrupted while the box was up
    }

    void ShowError(const AnsiString &Text, const AnsiString &Caption) override {
        WriteLine(STDERR_FILENO, Caption + ": " + Text);
        std::lock_guard lock(ui_);
        Box(Text, Caption, TBoxKind::Error);
    }

    // An interruption is reported on stderr only: a box would hold up the exit
    // that SIGTERM, or closing the window, asked for.
    void ShowInterrupted(const AnsiString &Text, const AnsiString &Caption) override {
        WriteLine(STDERR_FILENO, Caption + ": " + Text);
    }

    // After a failure: the window stays, with the gauge where the transfer
    // stopped, until it is closed.
    void RunLoop(TApplication &App) override {
        running_ = false;
        StopWatcher();
        std::lock_guard lock(ui_);
        TFormView *main = App.MainForm ? Find(*App.MainForm) : nullptr;
        // A signal cuts the wait short; the timeout covers one that arrives just before it.
        while (main && main->shown() && !App.Terminated && !Interrupted()) {
            TendFrames();
            Fl::wait(0.1);
        }
        App.Terminate();
    }

private:
    TFormView *Find(const TForm &Form) const {
        auto found = views_.find(&Form);
        return found == views_.end() ? nullptr : found->second.get();
    }

    // With the lock held.
    void TendFrames() {
        std::erase_if(centring_, [](TFrameCentring &c) { return c.Tend(); });
    }

    bool Box(const std::string &text, const std::string &caption, TBoxKind kind) {
        Fl_Font font = FL_HELVETICA;
        int size = 13;
        if (TFormView *main =
                Application && Application->MainForm ? Find(*Application->MainForm) : nullptr) {
            font = main->FormFont();
            size = main->FormFontSize();
        }
        // The main window's frame may still need centring while the box is up.
        return RunMessageBox(text, caption, kind, font, size, [this] { TendFrames(); });
    }

    // The window callback: the window manager's close, or Escape.
    static void OnClose(Fl_Widget *window, void *self) {
        if (Fl::event() != FL_CLOSE)
            return; // Escape is input, and input does nothing here
        if (static_cast<TWindowFrontEnd *>(self)->running_)
            Interrupt(SIGTERM); // the platform stops, closes the port and the run reports it
        else
            window->hide();
    }

    void StartWatcher() {
        if (watcher_.joinable())
            return;
        stop_ = false;
        // Signals stay with the main thread, whose blocking calls they cut short.
        sigset_t signals, previous;
        sigemptyset(&signals);
        sigaddset(&signals, SIGINT);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals, &previous);
        watcher_ = std::thread(&TWindowFrontEnd::Watch, this);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void StopWatcher() {
        stop_ = true;
        if (watcher_.joinable())
            watcher_.join();
    }

    void Watch() {
        pollfd connection = {ConnectionNumber(fl_display), POLLIN, 0};
        while (!stop_) {
            poll(&connection, 1, static_cast<int>(kWatchTick.count()));
            std::unique_lock lock(ui_, std::try_to_lock);
            if (!lock) {
                // The main thread is in FLTK (a redraw, a box) and reads the events itself.
                std::this_thread::sleep_for(20ms);
                continue;
            }
            if (running_ && !stop_) {
                Fl::check();
                TendFrames();
            }
        }
    }

    std::mutex ui_; // held by whichever thread is in FLTK
    std::map<const TForm *, std::unique_ptr<TFormView>> views_;
    std::vector<TFrameCentring> centring_; // windows whose frame may still need centring
    std::atomic<bool> running_{false};     // between showing the form and its loop or close
    std::atomic<bool> stop_{false};
    std::thread watcher_;
};

} // namespace

std::unique_ptr<TFrontEnd> CreateWindowFrontEnd() {
    const char *name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        return nullptr;
    Display *display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return nullptr;
    fl_open_display(display);
    Fl_Window::default_xclass("fwdownload");
    uchar r, g, b;
    Fl::get_color(ToFlColor(clBtnFace), r, g, b);
    Fl::background(r, g, b);
    return std::make_unique<TWindowFrontEnd>();
}

} // namespace Platform

// The module's one entry: the program loads this library only when it wants
// the window, so a terminal run never maps FLTK or X11.
extern "C" __attribute__((visibility("default"))) Platform::TFrontEnd *FwdCreateWindowFrontEnd() {
    return Platform::CreateWindowFrontEnd().release();
}
