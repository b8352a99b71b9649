// The command line of printer-sim.
#pragma once

#include "decoder.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace printer {

enum class Mode { pty, fifo, decode };

// Where a stall or a hang-up happens: after a number of bytes of connection 2, or at the start
// of a stage of the stream (whose offset is known once the header is in).
struct Place {
    std::optional<std::uint64_t> transfer_offset; // bytes of connection 2
    std::optional<Stage> stage;
};

struct Options {
    Mode mode = Mode::pty;
    std::string link;   // pty: symbolic link to the slave (optional)
    std::string fifo;   // fifo: the FIFO to create
    std::string decode; // decode: the capture file
    bool json = false;
    std::string save_image;
    std::string expect_image;
    std::optional<double> timeout; // seconds
    double min_pause = 3.0;        // seconds
    double linger = 0.25;          // seconds to watch for a third connection
    std::optional<double> rate;    // bytes per second
    std::optional<Place> stall;
    std::optional<double> stall_for; // seconds
    std::optional<Place> hangup;
    bool help = false;
};

struct ParsedOptions {
    std::optional<Options> options; // empty on error
    std::string error;
};

ParsedOptions parse_options(std::span<const std::string_view> args);
std::string usage_text();

} // namespace printer
