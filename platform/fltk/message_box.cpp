#include "message_box.h"

#include "x11_window.h"

#include <platform/interrupt.h>

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>

namespace Platform {
namespace {

constexpr int kMargin = 16;
constexpr int kIconSize = 32;
constexpr int kGap = 12;
constexpr int kButtonW = 75, kButtonH = 25;
constexpr int kMaxTextWidth = 420;
constexpr int kMinWidth = 240; // room for the caption on a frame with buttons

// The stop icon: a red disc with a white cross.
class TStopIcon : public Fl_Widget {
public:
    TStopIcon(int X, int Y, int Size) : Fl_Widget(X, Y, Size, Size) {}

protected:
    void draw() override {
        fl_color(fl_rgb_color(204, 0, 0));
        fl_pie(x(), y(), w(), h(), 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID | FL_CAP_ROUND, std::max(2, w() / 10));
        int inset = w() * 3 / 10;
        fl_line(x() + inset, y() + inset, x() + w() - 1 - inset, y() + h() - 1 - inset);
        fl_line(x() + w() - 1 - inset, y() + inset, x() + inset, y() + h() - 1 - inset);
        fl_line_style(0);
    }
};

// Text drawn as it is: no '@' symbols, wrapped at the widget's width.
class TTextView : public Fl_Widget {
public:
    TTextView(int X, int Y, int W, int H, std::string Text, Fl_Font Face, int Size)
        : Fl_Widget(X, Y, W, H), text_(std::move(Text)), font_(Face), size_(Size) {}

protected:
    void draw() override {
        fl_font(font_, size_);
        fl_color(FL_BLACK);
        fl_draw(text_.c_str(), x(), y(), w(), h(), FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP,
                nullptr, 0);
    }

private:
    std::string text_;
    Fl_Font font_;
    int size_;
};

// OK: a click, Space while it has the focus, or Return anywhere in the box.
class TOkButton : public Fl_Button {
public:
    TOkButton(int X, int Y, int W, int H) : Fl_Button(X, Y, W, H, "OK") {}
    int handle(int event) override {
        if (event == FL_SHORTCUT &&
            (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter)) {
            do_callback();
            return 1;
        }
        return Fl_Button::handle(event);
    }
};

void Dismiss(Fl_Widget *, void *window) {
    static_cast<Fl_Window *>(window)->hide();
}

} // namespace

bool RunMessageBox(const std::string &Text, const std::string &Caption, TBoxKind Kind, Fl_Font Face,
                   int FontSize, const std::function<void()> &Idle) {
    std::string text = ToUtf8(Text);
    fl_font(Face, FontSize);
    int textW = 0, textH = 0;
    fl_measure(text.c_str(), textW, textH, 0);
    if (textW > kMaxTextWidth) {
        textW = kMaxTextWidth;
        textH = 0;
        fl_measure(text.c_str(), textW, textH, 0);
    }
    bool icon = Kind == TBoxKind::Error;
    int textX = kMargin + (icon ? kIconSize + kGap : 0);
    int bodyH = std::max(textH, icon ? kIconSize : 0);
    int W = std::max({textX + textW + kMargin, kButtonW + 2 * kMargin, kMinWidth});
    int H = kMargin + bodyH + kGap + kButtonH + kGap;

    std::string caption = ToUtf8(Caption);
    Fl_Window window(W, H, caption.c_str());
    window.color(FL_BACKGROUND_COLOR);
    if (icon)
        new TStopIcon(kMargin, kMargin, kIconSize);
    // Text shorter than the icon sits level with its middle.
    int textY = kMargin + (bodyH - textH) / 2;
    new TTextView(textX, textY, W - textX - kMargin, textH, text, Face, FontSize);
    auto *ok = new TOkButton((W - kButtonW) / 2, H - kGap - kButtonH, kButtonW, kButtonH);
    ok->labelfont(Face);
    ok->labelsize(FontSize);
    ok->callback(Dismiss, &window);
    window.end();
    window.set_modal();
    window.callback(Dismiss, &window); // Escape or the window manager's close

    PlaceCentred(window);
    window.show();
    SetTextProperty(window, text);
    WaitUntilViewable(window);
    TFrameCentring centring(window);
    while (window.shown() && !Interrupted()) {
        centring.Tend();
        if (Idle)
            Idle();
        Fl::wait(0.05);
    }
    bool dismissed = !window.shown();
    window.hide();
    Fl::flush();
    return dismissed;
}

} // namespace Platform
