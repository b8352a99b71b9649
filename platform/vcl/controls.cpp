#include <ComCtrls.hpp>
#include <Controls.hpp>
#include <ExtCtrls.hpp>

#include <algorithm>
#include <map>

bool ColorFromIdent(const AnsiString &Ident, TColor &Color) {
    static const std::map<AnsiString, TColor> colors = {
        {"clBlack", clBlack},           {"clBlue", clBlue},       {"clWhite", clWhite},
        {"clWindowText", clWindowText}, {"clBtnFace", clBtnFace},
    };
    auto found = colors.find(Ident);
    if (found == colors.end())
        return false;
    Color = found->second;
    return true;
}

bool TFont::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    if (PropName == "Name")
        Name = StoredString(Value);
    else if (PropName == "Height")
        Height = StoredInteger(Value);
    else if (PropName == "Charset")
        Charset = StoredIdent(Value) == "ANSI_CHARSET" ? 0 : 1;
    else if (PropName == "Color")
        return ColorFromIdent(StoredIdent(Value), Color);
    else if (PropName == "Style" && Value.Kind == TStoredValue::vaSet)
        Style = Value.Items;
    else
        return false;
    return true;
}

TControl::~TControl() {
    SetParent(nullptr);
}

void TControl::SetParent(TWinControl *AParent) {
    if (parent_) {
        auto &siblings = parent_->controls_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
    parent_ = AParent;
    if (parent_)
        parent_->controls_.push_back(this);
}

bool TControl::Showing() const {
    for (const TControl *c = this; c; c = c->parent_)
        if (!c->Visible)
            return false;
    return true;
}

bool TControl::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    static const std::map<AnsiString, TAlign> aligns = {
        {"alNone", alNone}, {"alTop", alTop},     {"alBottom", alBottom},
        {"alLeft", alLeft}, {"alRight", alRight}, {"alClient", alClient},
    };
    if (PropName == "Left")
        Left = StoredInteger(Value);
    else if (PropName == "Top")
        Top = StoredInteger(Value);
    else if (PropName == "Width")
        Width = StoredInteger(Value);
    else if (PropName == "Height")
        Height = StoredInteger(Value);
    else if (PropName == "Visible")
        Visible = StoredBoolean(Value);
    else if (PropName == "TabOrder")
        TabOrder = StoredInteger(Value);
    else if (PropName == "Align") {
        auto found = aligns.find(StoredIdent(Value));
        if (found == aligns.end())
            return false;
        Align = found->second;
    } else
        return TComponent::SetProperty(PropName, Value);
    return true;
}

TWinControl::~TWinControl() {
    while (!controls_.empty())
        controls_.back()->SetParent(nullptr);
}

bool TTabSheet::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    if (PropName == "TabVisible") {
        TabVisible = StoredBoolean(Value);
        return true;
    }
    return TWinControl::SetProperty(PropName, Value);
}

bool TPageControl::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    if (PropName == "ActivePage") {
        activePageName_ = StoredIdent(Value);
        return true;
    }
    return TWinControl::SetProperty(PropName, Value);
}

void TPageControl::Loaded() {
    if (activePageName_.empty() || Owner == nullptr)
        return;
    ActivePage = dynamic_cast<TTabSheet *>(Owner->FindComponent(activePageName_));
    if (ActivePage == nullptr)
        throw EReadError("Invalid property value: no page " + activePageName_ + " for " + Name);
}

bool TRadioGroup::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    if (PropName == "Caption")
        Caption = StoredString(Value);
    else if (PropName == "ItemIndex")
        ItemIndex = StoredInteger(Value);
    else if (PropName == "Columns")
        Columns = StoredInteger(Value);
    else if (PropName == "Items.Strings" && Value.Kind == TStoredValue::vaList) {
        Items.Clear();
        for (const AnsiString &item : Value.Items)
            Items.Add(item);
    } else
        return TWinControl::SetProperty(PropName, Value);
    return true;
}
