// Rendering a decoder's report for people (text) and for programs (one line of JSON).
#pragma once

#include "decoder.hpp"

#include <string>

namespace printer {

// Why the receiving ended, as the report states it.
enum class Ending {
    complete, // connection 2 closed (after the stream's end, or early: see the fault)
    failed,   // a connection with a fault closed
    timeout,
    signal,
    hangup, // the sim hung up on purpose
};

const char *ending_name(Ending ending);

struct ReportContext {
    Ending ending = Ending::complete;
    double min_pause_seconds = 3.0;
    bool pause_checked = true;
};

// "OK: ..." / "FAILED: ..." / "INCOMPLETE: ...", without the "verdict: " label.
std::string verdict_text(const Report &report);

// Several "label: value" lines; the last one is "verdict: ...".
std::string format_text(const Report &report, const ReportContext &context);

// One JSON object on one line, with a trailing newline. Fields are listed in printer/README.md.
std::string format_json(const Report &report, const ReportContext &context);

} // namespace printer
