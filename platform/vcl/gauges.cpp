#include <CGauges.h>

#include <platform/frontend.h>

#include <algorithm>

int TCGauge::GetPercentDone() const {
    long long range = static_cast<long long>(max_) - min_;
    if (range <= 0)
        return 0;
    return static_cast<int>((static_cast<long long>(progress_) - min_) * 100 / range);
}

void TCGauge::SetMinValue(int Value) {
    if (Value > max_)
        throw Exception("Gauge value out of range: MinValue above MaxValue");
    min_ = Value;
    progress_ = std::max(progress_, min_);
    Changed();
}

void TCGauge::SetMaxValue(int Value) {
    if (Value < min_)
        throw Exception("Gauge value out of range: MaxValue below MinValue");
    max_ = Value;
    progress_ = std::min(progress_, max_);
    Changed();
}

void TCGauge::SetProgress(int Value) {
    progress_ = std::clamp(Value, min_, max_);
    Changed();
}

void TCGauge::Changed() {
    int percent = GetPercentDone();
    if (percent == drawnPercent_)
        return;
    drawnPercent_ = percent;
    if (Showing())
        Platform::FrontEnd().GaugeChanged(*this);
}

bool TCGauge::SetProperty(const AnsiString &PropName, const TStoredValue &Value) {
    if (PropName == "ForeColor")
        return ColorFromIdent(StoredIdent(Value), ForeColor);
    if (PropName == "BackColor")
        return ColorFromIdent(StoredIdent(Value), BackColor);
    if (PropName == "MinValue")
        MinValue = StoredInteger(Value);
    else if (PropName == "MaxValue")
        MaxValue = StoredInteger(Value);
    else if (PropName == "Progress")
        Progress = StoredInteger(Value);
    else if (PropName == "ShowText")
        ShowText = StoredBoolean(Value);
    else if (PropName == "Kind" && StoredIdent(Value) == "gkHorizontalBar")
        Kind = gkHorizontalBar;
    else
        return TGraphicControl::SetProperty(PropName, Value);
    return true;
}
