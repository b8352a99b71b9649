// What the framework asks of the screen. A front-end draws forms, gauges and
// boxes; the terminal one and the windowed one each live in files of their
// own, and the start-up chooses one.
#pragma once

#include <Forms.hpp>

#include <memory>

class TCGauge;

namespace Platform {

class TFrontEnd {
public:
    virtual ~TFrontEnd() = default;
    // The form becomes visible with its visible controls drawn.
    virtual void ShowForm(TForm &Form) = 0;
    virtual void HideForm(TForm &Form) = 0;
    // Redraw the gauge now, without the message loop; called only when its
    // whole percentage changed.
    virtual void GaugeChanged(TCGauge &Gauge) = 0;
    // Modal boxes; they return when dismissed. An error's text already carries
    // its full stop.
    virtual void ShowMessage(const AnsiString &Text, const AnsiString &Caption) = 0;
    virtual void ShowError(const AnsiString &Text, const AnsiString &Caption) = 0;
    // The run was interrupted (signal or window closed); Text says how far it got.
    virtual void ShowInterrupted(const AnsiString &Text, const AnsiString &Caption) {
        ShowError(Text, Caption);
    }
    // Dispatches until the application terminates, or returns at once where
    // there is nothing left to show.
    virtual void RunLoop(TApplication &App) = 0;
};

// The front-end in use; the terminal one on stdout/stderr until one is set.
TFrontEnd &FrontEnd();
void SetFrontEnd(std::unique_ptr<TFrontEnd> FrontEnd);

// Messages on outFd, progress and errors on errFd.
std::unique_ptr<TFrontEnd> CreateTerminalFrontEnd(int outFd, int errFd);

// The start-up's choice for this build and session.
std::unique_ptr<TFrontEnd> ChooseFrontEnd();

} // namespace Platform
