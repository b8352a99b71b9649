// The radio group: a captioned choice of one item.
#pragma once

#include <Controls.hpp>

class TRadioGroup : public TWinControl {
public:
    explicit __fastcall TRadioGroup(TComponent *AOwner) : TWinControl(AOwner) {}
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value) override;
    AnsiString Caption;
    TStringList Items;
    int ItemIndex = -1;
    int Columns = 1;
};
