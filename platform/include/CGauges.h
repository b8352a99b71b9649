// The gauge: a bar with the percentage done written across it.
#pragma once

#include <Controls.hpp>

enum TCGaugeKind { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum TBorderStyle { bsNone, bsSingle };

class TCGauge : public TGraphicControl {
    int GetMinValue() const { return min_; }
    int GetMaxValue() const { return max_; }
    int GetProgress() const { return progress_; }
    int GetPercentDone() const;
    void SetMinValue(int Value);
    void SetMaxValue(int Value);
    void SetProgress(int Value);

public:
    explicit __fastcall TCGauge(TComponent *AOwner) : TGraphicControl(AOwner) {}
    bool SetProperty(const AnsiString &PropName, const TStoredValue &Value) override;

    // Setting a value clamps Progress into [MinValue, MaxValue] and redraws the
    // gauge at once, without the message loop, when PercentDone changes.
    // MinValue above MaxValue, or MaxValue below MinValue, raises.
    TProperty<TCGauge, int, &TCGauge::GetMinValue, &TCGauge::SetMinValue> MinValue{this};
    TProperty<TCGauge, int, &TCGauge::GetMaxValue, &TCGauge::SetMaxValue> MaxValue{this};
    TProperty<TCGauge, int, &TCGauge::GetProgress, &TCGauge::SetProgress> Progress{this};
    // (Progress - MinValue) * 100 / (MaxValue - MinValue), whole; 0 for an empty range.
    TReadOnlyProperty<TCGauge, int, &TCGauge::GetPercentDone> PercentDone{this};

    TCGaugeKind Kind = gkHorizontalBar;
    TColor ForeColor = clBlack;
    TColor BackColor = clWhite;
    bool ShowText = true;
    TBorderStyle BorderStyle = bsSingle;

private:
    void Changed();
    int min_ = 0, max_ = 100, progress_ = 0;
    int drawnPercent_ = 0;
};
