// printer-sim: receives a firmware download as the printer does and says whether it is right.
#include "decoder.hpp"
#include "line.hpp"
#include "options.hpp"
#include "report.hpp"
#include "session.hpp"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

namespace {

using namespace printer;

constexpr int exit_verified = 0;
constexpr int exit_wrong = 1;
constexpr int exit_cannot_start = 2;

std::chrono::nanoseconds to_ns(double seconds) {
    return std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * 1e9));
}

int run(const Options &options) {
    std::vector<std::uint8_t> expected;
    DecoderOptions decoder_options;
    decoder_options.min_pause = to_ns(options.min_pause);
    decoder_options.check_pause = options.mode != Mode::decode;
    if (!options.expect_image.empty()) {
        std::ifstream in(options.expect_image, std::ios::binary);
        if (!in) {
            std::cerr << "printer-sim: cannot read " << options.expect_image << "\n";
            return exit_cannot_start;
        }
        expected.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        decoder_options.expected_image = std::span<const std::uint8_t>(expected);
    }
    std::ofstream image_out;
    if (!options.save_image.empty()) {
        image_out.open(options.save_image, std::ios::binary | std::ios::trunc);
        if (!image_out) {
            std::cerr << "printer-sim: cannot write " << options.save_image << "\n";
            return exit_cannot_start;
        }
        decoder_options.image_sink = [&image_out](std::span<const std::uint8_t> bytes) {
            image_out.write(reinterpret_cast<const char *>(bytes.data()),
                            static_cast<std::streamsize>(bytes.size()));
        };
    }
    StreamDecoder decoder(decoder_options);
    ReportContext context;
    context.min_pause_seconds = options.min_pause;
    context.pause_checked = decoder_options.check_pause;

    if (options.mode == Mode::decode) {
        std::ifstream in(options.decode, std::ios::binary);
        if (!in) {
            std::cerr << "printer-sim: cannot read " << options.decode << "\n";
            return exit_cannot_start;
        }
        if (!decode_capture(in, decoder)) {
            std::cerr << "printer-sim: error reading " << options.decode << "\n";
            return exit_cannot_start;
        }
        context.ending = decoder.failed() ? Ending::failed : Ending::complete;
    } else {
        std::unique_ptr<Line> line;
        try {
            line = options.mode == Mode::pty ? open_pty_line(options.link)
                                             : open_fifo_line(options.fifo);
        } catch (const LineError &e) {
            std::cerr << "printer-sim: " << e.what() << "\n";
            return exit_cannot_start;
        }
        SessionSettings settings;
        if (options.timeout)
            settings.timeout = to_ns(*options.timeout);
        settings.linger = to_ns(options.linger);
        settings.rate = options.rate;
        settings.stall = options.stall;
        if (options.stall_for)
            settings.stall_for = to_ns(*options.stall_for);
        settings.hangup = options.hangup;
        settings.on_ready = [&line] { std::cout << "ready: " << line->device() << std::endl; };
        context.ending = run_line(*line, decoder, settings);
    }

    if (image_out.is_open()) {
        image_out.close();
        if (!image_out)
            std::cerr << "printer-sim: error writing " << options.save_image << "\n";
    }
    const Report report = decoder.report();
    std::cout << (options.json ? format_json(report, context) : format_text(report, context));
    std::cout.flush();
    return report.verified ? exit_verified : exit_wrong;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    const ParsedOptions parsed = parse_options(args);
    if (!parsed.options) {
        std::cerr << "printer-sim: " << parsed.error << "\n" << usage_text();
        return exit_cannot_start;
    }
    if (parsed.options->help) {
        std::cout << usage_text();
        return exit_verified;
    }
    return run(*parsed.options);
}
