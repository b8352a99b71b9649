// What the front-end asks of the X server beyond FLTK: centring a window with
// its frame, and the text a window shows, as a property a test can read.
#pragma once

#include <FL/Fl_Window.H>

#include <chrono>
#include <string>

namespace Platform {

// Before Window is shown: puts its client area in the middle of the screen.
void PlaceCentred(Fl_Window &Window);

// After Window is shown: waits until it is on the screen (at most a couple of
// seconds, less when the run is interrupted: a window manager may keep it
// off the screen) and draws it.
void WaitUntilViewable(Fl_Window &Window);

// After a window placed by PlaceCentred is shown: where a window manager
// frames it and says how (_NET_FRAME_EXTENTS), moves it so that the frame is
// centred instead. The extents may come a while after the window is mapped, so
// Tend() looks again each time it is called, until it has moved the window,
// or finds no manager running, or a few seconds have passed.
class TFrameCentring {
public:
    explicit TFrameCentring(Fl_Window &Target);
    // True once there is nothing more to do.
    bool Tend();

private:
    Fl_Window *window_;
    std::chrono::steady_clock::time_point deadline_;
    bool done_ = false;
};

// Sets the window's _FWDOWNLOAD_TEXT property (UTF8_STRING) to Text; bytes
// that are not UTF-8 are taken as Latin-1.
void SetTextProperty(Fl_Window &Window, const std::string &Text);

// Text as UTF-8: unchanged when it is UTF-8 already, else taken as Latin-1.
std::string ToUtf8(const std::string &Text);

} // namespace Platform
