// Fuzz target for the simulated printer's capture decoder: the path `printer-sim --decode FILE`
// takes. The input is a capture file (both connections appended). The decoder must never crash
// and must call a capture good exactly when the bytes are a correct download; it must reach
// the same verdict however the bytes are split into reads, and with the image it was sent as
// the expected image.
//
// An input that starts with 'S' is also read as the shape of a download to build and check:
// block count and tail length (LE16 each, any value), a change to make (byte 5: 0 none,
// 1 a checksum off by one or more, 2 a byte added at the end, 3 the last byte left off) and
// the image's bytes (repeated to the size the counts give). It reaches counts near their
// limits with a right checksum, which mutating raw captures seldom does.
//
// The same entry point runs under libFuzzer (fuzz/, built with clang) and under a plain driver
// over the committed corpus (tests/fuzz/).
#include "decoder.hpp"
#include "report.hpp"
#include "session.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::span<const std::uint8_t>;

[[noreturn]] void fault(const char *what, const printer::Report &report) {
    std::fprintf(stderr, "decoder_fuzz: %s (verdict: %s)\n", what,
                 printer::verdict_text(report).c_str());
    std::abort();
}

void check(bool ok, const char *what, const printer::Report &report) {
    if (!ok)
        fault(what, report);
}

unsigned le16(const std::uint8_t *p) {
    return unsigned{p[0]} | unsigned{p[1]} << 8;
}

// The wire format, written out again from its description rather than from the decoder:
//   connection 1: 0D 0D 7E 4F 0D
//   connection 2: 0D x6, 7E 4E 0D 0A 47 4F 20, blocks (LE16, <= 32767), tail (LE16, <= 5119),
//                 blocks * 5120 + tail image bytes, LE16 sum of the image bytes, nothing more.
struct Wire {
    bool has_prelude = false;
    bool good = false;
    std::optional<std::uint64_t> declared_size; // from the counts, when all 17 header bytes came
};

Wire read_wire(Bytes in) {
    static const std::uint8_t prelude[] = {0x0D, 0x0D, 0x7E, 0x4F, 0x0D};
    static const std::uint8_t start[] = {0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x7E,
                                         0x4E, 0x0D, 0x0A, 0x47, 0x4F, 0x20};
    Wire w;
    w.has_prelude = in.size() >= 5 && std::memcmp(in.data(), prelude, 5) == 0;
    if (!w.has_prelude)
        return w;
    const Bytes t = in.subspan(5);
    if (t.size() < 17)
        return w;
    const unsigned blocks = le16(&t[13]);
    const unsigned tail = le16(&t[15]);
    w.declared_size = std::uint64_t{blocks} * 5120 + tail;
    if (std::memcmp(t.data(), start, sizeof start) != 0 || blocks > 32767 || tail > 5119)
        return w;
    const std::uint64_t n = *w.declared_size;
    if (t.size() != 17 + n + 2)
        return w;
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < n; ++i)
        sum = (sum + t[17 + i]) & 0xFFFF;
    w.good = le16(&t[17 + n]) == sum;
    return w;
}

// A small generator for the read sizes, seeded from the input so that runs repeat.
struct Splitter {
    std::uint64_t state;
    explicit Splitter(Bytes in) : state(0x9E3779B97F4A7C15ull ^ in.size()) {
        for (std::uint8_t b : in.first(std::min<std::size_t>(in.size(), 64)))
            state = (state ^ b) * 0x100000001B3ull;
    }
    std::size_t next(std::size_t left) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const std::uint64_t r = state >> 33;
        // Mostly short reads, now and then a long one, sometimes an empty one.
        const std::size_t most = (r & 7) == 0 ? 8192 : 24;
        return std::min<std::size_t>(left, r % (most + 1));
    }
};

printer::DecoderOptions capture_options() {
    printer::DecoderOptions options;
    options.check_pause = false; // as for --decode: captures carry no times
    return options;
}

// The connections as decode_capture splits a capture, fed in reads of varying size.
printer::Report decode_in_pieces(Bytes in, const Wire &wire, printer::DecoderOptions options) {
    printer::StreamDecoder decoder(std::move(options));
    Splitter split(in);
    auto feed = [&](Bytes part) {
        while (!part.empty()) {
            const std::size_t n = split.next(part.size());
            decoder.receive(part.first(n));
            part = part.subspan(n);
        }
    };
    decoder.open_connection();
    if (wire.has_prelude) {
        feed(in.first(5));
        decoder.close_connection();
        decoder.open_connection();
        feed(in.subspan(5));
    } else {
        feed(in);
    }
    decoder.close_connection();
    return decoder.report();
}

void same_report(const printer::Report &a, const printer::Report &b) {
    check(a.verified == b.verified, "the verdict depends on how the bytes were read", b);
    check(a.stage == b.stage && a.connections == b.connections &&
              a.prelude.bytes == b.prelude.bytes && a.transfer.bytes == b.transfer.bytes &&
              a.block_count == b.block_count && a.tail_length == b.tail_length &&
              a.image_received == b.image_received && a.checksum_received == b.checksum_received &&
              a.checksum_computed == b.checksum_computed,
          "the report depends on how the bytes were read", b);
    check(a.fault.has_value() == b.fault.has_value(), "a fault depends on how the bytes were read",
          b);
    if (a.fault)
        check(a.fault->kind == b.fault->kind && a.fault->connection == b.fault->connection &&
                  a.fault->offset == b.fault->offset &&
                  a.fault->image_offset == b.fault->image_offset && a.fault->got == b.fault->got &&
                  a.fault->message == b.fault->message,
              "the fault's place depends on how the bytes were read", b);
}

void check_rendering(const printer::Report &report) {
    printer::ReportContext context;
    context.ending = report.fault ? printer::Ending::failed : printer::Ending::complete;
    context.pause_checked = false;
    const std::string text = printer::format_text(report, context);
    const std::string json = printer::format_json(report, context);
    const std::string verdict = printer::verdict_text(report);
    check(verdict.starts_with("OK: ") == report.verified, "the verdict line disagrees", report);
    check(text.find("verdict: " + verdict) != std::string::npos,
          "the text report lacks the verdict", report);
    check(!json.empty() && json.back() == '\n' && json.find('\n') == json.size() - 1,
          "the JSON report is not one line", report);
    check(json.find(report.verified ? "\"verified\":true" : "\"verified\":false") !=
              std::string::npos,
          "the JSON report's verified field disagrees", report);
}

void check_capture(Bytes in) {
    const std::uint8_t *data = in.data();
    const std::size_t size = in.size();
    const Wire wire = read_wire(in);

    // The --decode path, with the image going to a sink as --save-image takes it.
    std::vector<std::uint8_t> saved;
    printer::DecoderOptions options = capture_options();
    options.image_sink = [&saved](Bytes bytes) {
        saved.insert(saved.end(), bytes.begin(), bytes.end());
    };
    printer::StreamDecoder decoder(std::move(options));
    std::istringstream capture(std::string(reinterpret_cast<const char *>(data), size));
    const bool read = printer::decode_capture(capture, decoder);
    const printer::Report report = decoder.report();
    check(read, "a capture in memory could not be read", report);

    if (report.verified && !wire.good)
        fault("a wrong stream was called good", report);
    if (!report.verified && wire.good)
        fault("a correct stream was called wrong", report);
    check(report.verified == !report.fault.has_value(), "verified with a fault, or neither",
          report);
    if (report.verified)
        check(report.stage == printer::Stage::done && report.image_size() == *wire.declared_size &&
                  report.image_received == *wire.declared_size,
              "a verified report with the wrong counts", report);
    // Whatever reached the sink is the capture's image bytes, in order.
    check(saved.empty() || (wire.has_prelude && size >= 22 + saved.size() &&
                            std::memcmp(saved.data(), data + 22, saved.size()) == 0),
          "the sink got bytes that are not the image's", report);
    if (report.verified)
        check(saved.size() == *wire.declared_size, "the sink missed image bytes", report);
    check_rendering(report);

    same_report(report, decode_in_pieces(in, wire, capture_options()));

    // Against an expected image: the bytes sent as the image, as far as the capture has them.
    if (wire.declared_size) {
        const std::size_t available = size - 22;
        const Bytes image = in.subspan(22, std::min<std::uint64_t>(available, *wire.declared_size));
        printer::DecoderOptions expect = capture_options();
        expect.expected_image = image;
        const printer::Report matched = decode_in_pieces(in, wire, expect);
        check(matched.verified == wire.good, "the expected image changed the verdict", matched);

        if (wire.good && !image.empty()) {
            // One byte changed in the expected image: the download no longer matches, there.
            std::vector<std::uint8_t> other(image.begin(), image.end());
            const std::size_t at = Splitter(in).next(other.size() - 1);
            other[at] ^= 0x01;
            printer::DecoderOptions differ = capture_options();
            differ.expected_image = std::span<const std::uint8_t>(other);
            const printer::Report mismatch = decode_in_pieces(in, wire, differ);
            check(!mismatch.verified && mismatch.fault && mismatch.fault->image_offset == at,
                  "a difference from the expected image was missed or misplaced", mismatch);
        }
    }
}

// The capture a sender would make of a download of this shape, changed as asked.
std::optional<std::vector<std::uint8_t>> build_capture(Bytes in) {
    if (in.size() < 6 || in[0] != 'S')
        return std::nullopt;
    const unsigned blocks = le16(&in[1]);
    const unsigned tail = le16(&in[3]);
    const unsigned change = in[5];
    const Bytes pattern = in.subspan(6);
    const std::uint64_t n = std::uint64_t{blocks} * 5120 + tail;
    if (n > 3 * 5120 + 65535)
        return std::nullopt; // keep the runs fast; larger counts are covered as raw captures
    std::vector<std::uint8_t> out = {0x0D, 0x0D, 0x7E, 0x4F, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D,
                                     0x0D, 0x0D, 0x7E, 0x4E, 0x0D, 0x0A, 0x47, 0x4F, 0x20};
    for (unsigned v : {blocks, tail}) {
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    unsigned sum = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint8_t b = pattern.empty() ? 0x5A : pattern[i % pattern.size()];
        out.push_back(b);
        sum = (sum + b) & 0xFFFF;
    }
    if ((change & 3) == 1)
        sum = (sum + 1 + (change >> 2)) & 0xFFFF;
    out.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    out.push_back(static_cast<std::uint8_t>(sum >> 8));
    if ((change & 3) == 2)
        out.push_back(static_cast<std::uint8_t>(change >> 2));
    if ((change & 3) == 3)
        out.pop_back();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const Bytes in(data, size);
    check_capture(in);
    if (const auto built = build_capture(in))
        check_capture(*built);
    return 0;
}
