#include "x11_window.h"

#include <platform/interrupt.h>

#include <FL/Fl.H>
#include <FL/fl_utf8.h>
#include <FL/x.H>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <chrono>

namespace Platform {
namespace {

// How long after showing a window its manager may still say how wide the frame is.
constexpr std::chrono::milliseconds kExtentsWait{5000};
// The longest a window waits to be mapped.
constexpr std::chrono::milliseconds kMapWait{2000};

bool ReadLongs(Display *display, Window window, const char *name, Atom type, long *values,
               unsigned long count) {
    Atom actualType;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    Atom property = XInternAtom(display, name, False);
    if (XGetWindowProperty(display, window, property, 0, static_cast<long>(count), False, type,
                           &actualType, &format, &items, &after, &data) != Success)
        return false;
    bool found = data != nullptr && actualType == type && format == 32 && items >= count;
    if (found)
        for (unsigned long i = 0; i < count; ++i)
            values[i] = reinterpret_cast<long *>(data)[i];
    if (data)
        XFree(data);
    return found;
}

// An EWMH window manager announces itself on the root window.
bool ManagerRunning(Display *display) {
    long check = 0;
    return ReadLongs(display, DefaultRootWindow(display), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW,
                     &check, 1) &&
           check != 0;
}

} // namespace

void PlaceCentred(Fl_Window &Window) {
    int X, Y, W, H;
    Fl::screen_xywh(X, Y, W, H, 0);
    Window.position(X + (W - Window.w()) / 2, Y + (H - Window.h()) / 2);
}

void WaitUntilViewable(Fl_Window &Window) {
    ::Window xid = fl_xid(&Window);
    auto deadline = std::chrono::steady_clock::now() + kMapWait;
    while (xid != 0 && !Interrupted() && std::chrono::steady_clock::now() < deadline) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(fl_display, xid, &attributes) &&
            attributes.map_state == IsViewable)
            break;
        Fl::wait(0.02);
    }
    Fl::check(); // the first Expose, if it is in
    Fl::flush();
}

TFrameCentring::TFrameCentring(Fl_Window &Target)
    : window_(&Target), deadline_(std::chrono::steady_clock::now() + kExtentsWait) {}

bool TFrameCentring::Tend() {
    if (done_)
        return true;
    Display *display = fl_display;
    ::Window xid = fl_xid(window_);
    long extents[4]; // left, right, top, bottom
    if (display == nullptr || xid == 0 || !ManagerRunning(display) ||
        std::chrono::steady_clock::now() >= deadline_)
        return done_ = true;
    if (!ReadLongs(display, xid, "_NET_FRAME_EXTENTS", XA_CARDINAL, extents, 4))
        return false;
    done_ = true;
    int left = static_cast<int>(extents[0]), right = static_cast<int>(extents[1]),
        top = static_cast<int>(extents[2]), bottom = static_cast<int>(extents[3]);
    int X, Y, W, H;
    Fl::screen_xywh(X, Y, W, H, 0);
    int clientX = X + (W - (window_->w() + left + right)) / 2 + left;
    int clientY = Y + (H - (window_->h() + top + bottom)) / 2 + top;

    // A window manager reads a move by the window's gravity (ICCCM 4.1.2.3):
    // StaticGravity places the client area, the default NorthWestGravity the
    // frame's outer corner.
    XSizeHints hints = {};
    long supplied = 0;
    int gravity = NorthWestGravity;
    if (XGetWMNormalHints(display, xid, &hints, &supplied) && (hints.flags & PWinGravity))
        gravity = hints.win_gravity;
    if (gravity == StaticGravity)
        XMoveWindow(display, xid, clientX, clientY);
    else
        XMoveWindow(display, xid, clientX - left, clientY - top);
    XFlush(display);
    return true;
}

std::string ToUtf8(const std::string &Text) {
    if (fl_utf8test(Text.data(), static_cast<unsigned>(Text.size())) != 0)
        return Text;
    std::string utf8;
    for (unsigned char c : Text) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return utf8;
}

void SetTextProperty(Fl_Window &Window, const std::string &Text) {
    ::Window xid = fl_xid(&Window);
    if (fl_display == nullptr || xid == 0)
        return;
    std::string utf8 = ToUtf8(Text);
    XChangeProperty(fl_display, xid, XInternAtom(fl_display, "_FWDOWNLOAD_TEXT", False),
                    XInternAtom(fl_display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char *>(utf8.data()),
                    static_cast<int>(utf8.size()));
    XFlush(fl_display);
}

} // namespace Platform
