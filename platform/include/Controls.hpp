// Controls: position, size, visibility and the parent that contains them.
#pragma once

#include <Classes.hpp>

// 0x00BBGGRR, or a system colour (0x80000000 | index) that front-ends map.
typedef int TColor;
const TColor clBlack = 0x000000;
const TColor clBlue = 0xFF0000;
const TColor clWhite = 0xFFFFFF;
const TColor clWindowText = int(0x80000008);
const TColor clBtnFace = int(0x8000000F);

// The colour a name in a stored description stands for; false when unknown.
bool ColorFromIdent(const AnsiString &Ident, TColor &Color);

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

class TFont : public TPersistent {
public:
    AnsiString Name = "MS Sans Serif";
    int Height = -11; // negative: the character height in pixels
    int Charset = 1;  // DEFAULT_CHARSET
    TColor Color = clWindowText;
    std::vector<AnsiString> Style;
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value);
};

class TWinControl;

class TControl : public TComponent {
public:
    explicit __fastcall TControl(TComponent *AOwner) : TComponent(AOwner) {}
    ~TControl() override;
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value) override;

    void SetParent(TWinControl *AParent);
    TWinControl *Parent() const { return parent_; }
    // Visible, and every parent up to the form visible too.
    bool Showing() const;

    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool Visible = true;
    TAlign Align = alNone;
    int TabOrder = -1;

private:
    TWinControl *parent_ = nullptr;
};

class TWinControl : public TControl {
public:
    explicit __fastcall TWinControl(TComponent *AOwner) : TControl(AOwner) {}
    ~TWinControl() override;
    int ControlCount() const { return static_cast<int>(controls_.size()); }
    TControl *Controls(int Index) const { return controls_.at(Index); }

private:
    friend class TControl;
    std::vector<TControl *> controls_;
};

class TGraphicControl : public TControl {
public:
    explicit __fastcall TGraphicControl(TComponent *AOwner) : TControl(AOwner) {}
};
