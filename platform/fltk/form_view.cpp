#include "form_view.h"

#include "x11_window.h"

#include <CGauges.h>
#include <ComCtrls.hpp>
#include <ExtCtrls.hpp>

#include <FL/Fl.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Round_Button.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <deque>

namespace Platform {
namespace {

// The system colours the framework names, as the original platform's classic
// scheme shows them.
const Fl_Color kButtonFace = fl_rgb_color(212, 208, 200);
const Fl_Color kWindowText = FL_BLACK;
const Fl_Color kBorder = FL_BLACK;

// FLTK reads '@' in a label as the start of a symbol; "@@" is a plain '@'.
std::string Literal(const std::string &text) {
    std::string plain;
    for (char c : text) {
        plain += c;
        if (c == '@')
            plain += '@';
    }
    return plain;
}

bool HasStyle(const TFont &font, const char *style) {
    return std::find(font.Style.begin(), font.Style.end(), style) != font.Style.end();
}

// A group that takes no input: what the front-end shows is for looking at only.
class TInertGroup : public Fl_Group {
public:
    using Fl_Group::Fl_Group;
    int handle(int) override { return 0; }
};

} // namespace

Fl_Color ToFlColor(TColor Color) {
    if (Color & 0x80000000) {
        switch (Color) {
        case clWindowText:
            return kWindowText;
        case clBtnFace:
        default:
            return kButtonFace;
        }
    }
    return fl_rgb_color(Color & 0xFF, (Color >> 8) & 0xFF, (Color >> 16) & 0xFF);
}

Fl_Font ToFlFont(const TFont &Font) {
    // FLTK keeps the name's pointer, so the names live as long as the program.
    static std::deque<std::string> names;
    static std::map<std::string, Fl_Font> fonts;
    bool bold = HasStyle(Font, "fsBold"), italic = HasStyle(Font, "fsItalic");
    // The first character is FLTK's style code: ' ' plain, B bold, I italic, P both.
    std::string name = std::string(1, bold ? (italic ? 'P' : 'B') : (italic ? 'I' : ' ')) +
                       (Font.Name.empty() ? std::string("sans") : Font.Name);
    auto found = fonts.find(name);
    if (found != fonts.end())
        return found->second;
    Fl_Font font = static_cast<Fl_Font>(FL_FREE_FONT + static_cast<int>(fonts.size()));
    names.push_back(name);
    Fl::set_font(font, names.back().c_str());
    fonts.emplace(name, font);
    return font;
}

int ToFlFontSize(const TFont &Font) {
    if (Font.Height < 0)
        return -Font.Height;
    if (Font.Height > 0)
        return std::max(1, Font.Height * 8 / 10); // the cell holds about 20 % leading
    return 13;
}

std::vector<std::pair<TControl *, TRect>> LayOut(const TWinControl &Parent, int W, int H) {
    std::vector<std::pair<TControl *, TRect>> placed;
    TRect free = {0, 0, W, H};
    for (TAlign align : {alTop, alBottom, alLeft, alRight, alClient, alNone}) {
        for (int i = 0; i < Parent.ControlCount(); ++i) {
            TControl *c = Parent.Controls(i);
            if (!c->Visible || c->Align != align)
                continue;
            TRect r;
            switch (align) {
            case alTop:
                r = {free.X, free.Y, free.W, std::min(c->Height, free.H)};
                free.Y += r.H;
                free.H -= r.H;
                break;
            case alBottom:
                r = {free.X, free.Y + free.H - std::min(c->Height, free.H), free.W,
                     std::min(c->Height, free.H)};
                free.H -= r.H;
                break;
            case alLeft:
                r = {free.X, free.Y, std::min(c->Width, free.W), free.H};
                free.X += r.W;
                free.W -= r.W;
                break;
            case alRight:
                r = {free.X + free.W - std::min(c->Width, free.W), free.Y,
                     std::min(c->Width, free.W), free.H};
                free.W -= r.W;
                break;
            case alClient:
                r = free;
                break;
            case alNone:
                r = {c->Left, c->Top, c->Width, c->Height};
                break;
            }
            placed.emplace_back(c, r);
        }
    }
    return placed;
}

TGaugeView::TGaugeView(int X, int Y, int W, int H, const TCGauge &Gauge, Fl_Font Face, int Size,
                       Fl_Color TextColor)
    : Fl_Progress(X, Y, W, H), showText_(Gauge.ShowText), fore_(ToFlColor(Gauge.ForeColor)),
      back_(ToFlColor(Gauge.BackColor)), text_(TextColor) {
    box(Gauge.BorderStyle == bsSingle ? FL_BORDER_BOX : FL_FLAT_BOX);
    color(back_, fore_);
    labelfont(Face);
    labelsize(Size);
    labelcolor(TextColor);
    minimum(0);
    maximum(100);
    Update(Gauge);
}

bool TGaugeView::Update(const TCGauge &Gauge) {
    int percent = std::clamp(static_cast<int>(Gauge.PercentDone), 0, 100);
    bool changed = percent != percent_;
    percent_ = percent;
    value(static_cast<float>(percent));
    return changed;
}

void TGaugeView::draw() {
    int X = x(), Y = y(), W = w(), H = h();
    if (box() == FL_BORDER_BOX) {
        fl_color(kBorder);
        fl_rect(X, Y, W, H);
        X += 1, Y += 1, W -= 2, H -= 2;
    }
    if (W <= 0 || H <= 0)
        return;
    int filled = W * percent_ / 100;
    fl_color(fore_);
    fl_rectf(X, Y, filled, H);
    fl_color(back_);
    fl_rectf(X + filled, Y, W - filled, H);
    if (!showText_)
        return;
    std::string text = std::to_string(percent_) + "%";
    fl_font(labelfont(), labelsize());
    fl_push_clip(X, Y, filled, H);
    fl_color(back_);
    fl_draw(text.c_str(), X, Y, W, H, FL_ALIGN_CENTER, nullptr, 0);
    fl_pop_clip();
    fl_push_clip(X + filled, Y, W - filled, H);
    fl_color(text_);
    fl_draw(text.c_str(), X, Y, W, H, FL_ALIGN_CENTER, nullptr, 0);
    fl_pop_clip();
}

TFormView::TFormView(TForm &Form)
    : Fl_Double_Window(Form.ClientWidth(), Form.ClientHeight()), caption_(ToUtf8(Form.Caption)),
      font_(ToFlFont(Form.Font)), fontSize_(ToFlFontSize(Form.Font)),
      textColor_(ToFlColor(Form.Font.Color)) {
    label(caption_.c_str());
    color(ToFlColor(Form.Color));
    labelfont(font_);
    labelsize(fontSize_);
    Build(Form, 0, 0, w(), h());
    end();
}

TGaugeView *TFormView::FindGauge(const TCGauge &Gauge) const {
    auto found = gauges_.find(&Gauge);
    return found == gauges_.end() ? nullptr : found->second;
}

// FLTK places every widget in window coordinates, so children are offset by
// their container's position.
void TFormView::Build(const TWinControl &Parent, int X, int Y, int W, int H) {
    for (auto [control, r] : LayOut(Parent, W, H)) {
        int cx = X + r.X, cy = Y + r.Y;
        if (auto *gauge = dynamic_cast<TCGauge *>(control)) {
            gauges_[gauge] = new TGaugeView(cx, cy, r.W, r.H, *gauge, font_, fontSize_, textColor_);
        } else if (auto *pages = dynamic_cast<TPageControl *>(control)) {
            TTabSheet *page = pages->ActivePage;
            for (int n = 0; page == nullptr && n < pages->ControlCount(); ++n)
                page = dynamic_cast<TTabSheet *>(pages->Controls(n));
            if (page && page->Visible)
                Build(*page, cx, cy, r.W, r.H);
        } else if (auto *choice = dynamic_cast<TRadioGroup *>(control)) {
            auto *group = new TInertGroup(cx, cy, r.W, r.H);
            group->box(FL_ENGRAVED_FRAME);
            group->copy_label(Literal(choice->Caption).c_str());
            group->align(FL_ALIGN_TOP_LEFT | FL_ALIGN_INSIDE);
            group->labelfont(font_);
            group->labelsize(fontSize_);
            int columns = std::max(1, static_cast<int>(choice->Columns));
            int count = choice->Items.Count();
            int rows = std::max(1, (count + columns - 1) / columns);
            int top = fontSize_ + 4, cellW = (r.W - 16) / columns,
                cellH = std::max(1, (r.H - top - 4) / rows);
            for (int n = 0; n < count; ++n) {
                auto *button = new Fl_Round_Button(cx + 8 + n % columns * cellW,
                                                   cy + top + n / columns * cellH, cellW, cellH);
                button->copy_label(Literal(choice->Items[n]).c_str());
                button->labelfont(font_);
                button->labelsize(fontSize_);
                button->value(n == choice->ItemIndex);
            }
            group->end();
        } else if (auto *container = dynamic_cast<TWinControl *>(control)) {
            Build(*container, cx, cy, r.W, r.H);
        }
    }
}

} // namespace Platform
