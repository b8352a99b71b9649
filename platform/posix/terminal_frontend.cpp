// The terminal front-end: messages on stdout, progress and errors on stderr.
//
// On a terminal the gauge is one line redrawn in place, with a bar, the
// percentage, the rate and the time left. Elsewhere (logs, pipes) it is a plain
// line at 0 % and at each further 10 points. Write errors are ignored: a
// vanished terminal must not stop a transfer.
#include <platform/console.h>
#include <platform/frontend.h>

#include <CGauges.h>

#include <chrono>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Platform {
namespace {

using Clock = std::chrono::steady_clock;

AnsiString Rate(double bytesPerSecond) {
    char text[32];
    if (bytesPerSecond >= 1e6)
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    else
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1e3);
    return text;
}

AnsiString Duration(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

class TTerminalFrontEnd : public TFrontEnd {
public:
    TTerminalFrontEnd(int outFd, int errFd)
        : out_(outFd), err_(errFd), errIsTerminal_(isatty(errFd) == 1) {}

    void ShowForm(TForm &Form) override {
        WriteAll(err_, Printable(Form.Caption) + "\n");
        for (int i = 0; i < Form.ComponentCount(); ++i)
            if (auto *gauge = dynamic_cast<TCGauge *>(Form.Components(i));
                gauge && gauge->Showing())
                GaugeChanged(*gauge);
    }

    void HideForm(TForm &) override { EndLine(); }

    void GaugeChanged(TCGauge &Gauge) override {
        int percent = Gauge.PercentDone;
        if (!errIsTerminal_) {
            if (lastPlain_ < 0 || percent >= lastPlain_ + 10 || percent < lastPlain_) {
                lastPlain_ = percent - percent % 10;
                WriteAll(err_, "progress: " + std::to_string(lastPlain_) + "%\n");
            }
            return;
        }
        AnsiString line = ProgressLine(Gauge);
        line.insert(line.begin(), '\r');
        WriteAll(err_, line.append("\x1b[K"));
        lineOpen_ = true;
    }

    void ShowMessage(const AnsiString &Text, const AnsiString &) override {
        EndLine();
        WriteAll(out_, Printable(Text) + "\n");
    }

    void ShowError(const AnsiString &Text, const AnsiString &Caption) override {
        EndLine();
        WriteAll(err_, Printable(Caption) + ": " + Printable(Text) + "\n");
    }

    void RunLoop(TApplication &) override { EndLine(); } // no window to keep open

private:
    void EndLine() {
        if (lineOpen_)
            WriteAll(err_, "\n");
        lineOpen_ = false;
    }

    AnsiString ProgressLine(TCGauge &gauge) {
        int percent = gauge.PercentDone;
        int done = gauge.Progress - gauge.MinValue, total = gauge.MaxValue - gauge.MinValue;
        auto now = Clock::now();
        if (percent == 0 || done < firstDone_) {
            firstDone_ = -1; // a new range, or the start: measure afresh
        }
        if (firstDone_ < 0 && percent > 0) {
            firstDone_ = done;
            firstTime_ = now;
        }
        AnsiString speed = "--", left = "--:--";
        double seconds = std::chrono::duration<double>(now - firstTime_).count();
        if (firstDone_ >= 0 && done > firstDone_ && seconds > 0) {
            double rate = (done - firstDone_) / seconds;
            speed = Rate(rate);
            left = Duration((total - done) / rate);
        }

        winsize size = {};
        int columns = ioctl(err_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
        char tail[96];
        std::snprintf(tail, sizeof tail, " %3d%%  %s  %s left", percent, speed.c_str(),
                      left.c_str());
        int width =
            std::min(40, columns - 3 - static_cast<int>(std::char_traits<char>::length(tail)));
        AnsiString line;
        if (width >= 10) {
            int filled = width * percent / 100;
            line.reserve(width + 2 + sizeof tail);
            line.push_back('[');
            line.append(filled, '#').append(width - filled, '-').push_back(']');
        }
        return line.append(tail);
    }

    int out_, err_;
    bool errIsTerminal_;
    bool lineOpen_ = false;
    int lastPlain_ = -1;
    int firstDone_ = -1;
    Clock::time_point firstTime_;
};

} // namespace

std::unique_ptr<TFrontEnd> CreateTerminalFrontEnd(int outFd, int errFd) {
    return std::make_unique<TTerminalFrontEnd>(outFd, errFd);
}

} // namespace Platform
