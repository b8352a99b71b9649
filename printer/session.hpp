// Running the printer: receiving from a line (with the behaviours asked for) or from a capture
// file, into a decoder.
#pragma once

#include "decoder.hpp"
#include "line.hpp"
#include "options.hpp"
#include "report.hpp"

#include <chrono>
#include <functional>
#include <istream>
#include <optional>

namespace printer {

struct SessionSettings {
    std::optional<std::chrono::nanoseconds> timeout;
    std::chrono::nanoseconds linger = std::chrono::milliseconds(250);
    std::optional<double> rate; // bytes per second
    std::optional<Place> stall;
    std::optional<std::chrono::nanoseconds> stall_for;
    std::optional<Place> hangup;
    // Stop on SIGINT and SIGTERM (the handlers are in place while the session runs).
    bool handle_signals = true;
    // Called once the sim listens and the signal handlers are in place.
    std::function<void()> on_ready;
};

// Receives until one download is done, the time-out, a signal, a hang-up, or the close of a
// connection that failed. Leaves the decoder's verdict in place and says why it ended.
Ending run_line(Line &line, StreamDecoder &decoder, const SessionSettings &settings);

// Feeds a capture: connection 1 is the first five bytes if they are the prelude; everything
// else is connection 2. Without a prelude, everything is connection 1 (and fails there).
// Returns false if the stream could not be read.
bool decode_capture(std::istream &in, StreamDecoder &decoder);

} // namespace printer
