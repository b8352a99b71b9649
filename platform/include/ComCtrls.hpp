// Page controls and their pages.
#pragma once

#include <Controls.hpp>

class TTabSheet : public TWinControl {
public:
    explicit __fastcall TTabSheet(TComponent *AOwner) : TWinControl(AOwner) {}
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value) override;
    bool TabVisible = true;
};

class TPageControl : public TWinControl {
public:
    explicit __fastcall TPageControl(TComponent *AOwner) : TWinControl(AOwner) {}
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value) override;
    void Loaded() override;
    TTabSheet *ActivePage = nullptr;

private:
    AnsiString activePageName_;
};
