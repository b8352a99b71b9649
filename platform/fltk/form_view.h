// A form drawn with FLTK: a window built from the form's control tree.
#pragma once

#include <Forms.hpp>

#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Progress.H>

#include <map>
#include <string>
#include <vector>

class TCGauge;

namespace Platform {

Fl_Color ToFlColor(TColor Color);
// The FLTK font for a framework font (family and style; the family is found by
// fontconfig, so "Arial" gives the closest installed face).
Fl_Font ToFlFont(const TFont &Font);
// The pixel size for a font height: negative is the character height itself,
// positive the cell height with its leading.
int ToFlFontSize(const TFont &Font);

struct TRect {
    int X = 0, Y = 0, W = 0, H = 0;
    bool operator==(const TRect &) const = default;
};

// Where a container's visible children go inside its client area of W x H, by
// their Align (top, bottom, left, right, client, in that order) or their own
// Left/Top/Width/Height.
std::vector<std::pair<TControl *, TRect>> LayOut(const TWinControl &Parent, int W, int H);

// The gauge: a bar in ForeColor over BackColor, the percentage centred on it
// (in BackColor over the bar, in the font colour elsewhere), a single-line
// border for bsSingle. It shows what it was last given, never the live gauge.
class TGaugeView : public Fl_Progress {
public:
    TGaugeView(int X, int Y, int W, int H, const TCGauge &Gauge, Fl_Font Face, int Size,
               Fl_Color TextColor);
    // Takes the gauge's current percentage; true when it differs from the shown one.
    bool Update(const TCGauge &Gauge);
    int Percent() const { return percent_; }

protected:
    void draw() override;

private:
    int percent_ = 0;
    bool showText_;
    Fl_Color fore_, back_, text_;
};

// The window for one form, sized to its client area. Controls that are not
// visible are not built; a page control shows its active page without tabs.
class TFormView : public Fl_Double_Window {
public:
    explicit TFormView(TForm &Form);
    TGaugeView *FindGauge(const TCGauge &Gauge) const;
    const std::string &Caption() const { return caption_; }
    Fl_Font FormFont() const { return font_; }
    int FormFontSize() const { return fontSize_; }

private:
    void Build(const TWinControl &Parent, int X, int Y, int W, int H);
    std::string caption_;
    Fl_Font font_;
    int fontSize_;
    Fl_Color textColor_;
    std::map<const TCGauge *, TGaugeView *> gauges_;
};

} // namespace Platform
