// A front-end that remembers what the user would have seen.
#pragma once

#include <CGauges.h>
#include <platform/frontend.h>

#include <string>
#include <vector>

struct TRecordingFrontEnd : Platform::TFrontEnd {
    std::vector<std::string> Messages, Errors, Interruptions;
    std::vector<int> Percents; // each gauge redraw
    int FormsShown = 0;

    void ShowForm(TForm &) override { ++FormsShown; }
    void HideForm(TForm &) override {}
    void GaugeChanged(TCGauge &Gauge) override { Percents.push_back(Gauge.PercentDone); }
    void ShowMessage(const AnsiString &Text, const AnsiString &) override {
        Messages.push_back(Text);
    }
    void ShowError(const AnsiString &Text, const AnsiString &) override { Errors.push_back(Text); }
    void ShowInterrupted(const AnsiString &Text, const AnsiString &) override {
        Interruptions.push_back(Text);
    }
    void RunLoop(TApplication &) override {}
};
