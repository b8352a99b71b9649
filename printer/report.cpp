#include "report.hpp"

#include <cstdio>

namespace printer {

namespace {

std::string printf_text(const char *format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string hex16(std::uint16_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(v));
    return text;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

template <typename T> std::string json_number(const std::optional<T> &v) {
    return v ? std::to_string(*v) : "null";
}

std::string json_double(const std::optional<double> &v) {
    return v ? printf_text("%.6f", *v) : "null";
}

const char *fault_kind_name(FaultKind kind) {
    switch (kind) {
    case FaultKind::wrong_byte:
        return "wrong_byte";
    case FaultKind::ended_early:
        return "ended_early";
    case FaultKind::extra_byte:
        return "extra_byte";
    case FaultKind::pause:
        return "pause";
    case FaultKind::extra_connection:
        return "extra_connection";
    case FaultKind::stopped:
        return "stopped";
    case FaultKind::unclear_boundary:
        return "unclear_boundary";
    }
    return "?";
}

std::string verdict_word(const Report &r) {
    if (r.verified)
        return "verified";
    if (r.fault && r.fault->kind == FaultKind::stopped)
        return "incomplete";
    return "failed";
}

} // namespace

const char *ending_name(Ending ending) {
    switch (ending) {
    case Ending::complete:
        return "complete";
    case Ending::failed:
        return "failed";
    case Ending::timeout:
        return "timeout";
    case Ending::signal:
        return "signal";
    case Ending::hangup:
        return "hangup";
    }
    return "?";
}

std::string verdict_text(const Report &r) {
    if (r.verified) {
        return "OK: download verified (" + std::to_string(*r.image_size()) + " image bytes)";
    }
    if (!r.fault)
        return "INCOMPLETE: no verdict yet";
    if (r.fault->kind == FaultKind::stopped)
        return "INCOMPLETE: " + r.fault->message;
    return "FAILED: " + r.fault->message;
}

std::string format_text(const Report &r, const ReportContext &context) {
    std::string out;
    auto line = [&out](const char *label, const std::string &value) {
        out += label;
        out += value;
        out += '\n';
    };
    line("connections:   ", std::to_string(r.connections));
    line("prelude:       ",
         std::to_string(r.prelude.bytes) + " bytes" +
             (r.connections >= 1 && !r.prelude.closed ? " (connection still open)" : ""));
    std::string transfer = std::to_string(r.transfer.bytes) + " bytes";
    if (r.connections >= 2 && !r.transfer.closed)
        transfer += " (connection still open)";
    transfer += r.stage == Stage::done ? std::string(", complete")
                                       : ", got as far as the " + std::string(stage_name(r.stage));
    line("transfer:      ", transfer);
    if (r.block_count && r.tail_length) {
        line("image:         ", std::to_string(*r.image_size()) +
                                    " bytes = " + std::to_string(*r.block_count) +
                                    " blocks of 5120 + tail of " + std::to_string(*r.tail_length) +
                                    ", received " + std::to_string(r.image_received));
    } else {
        line("image:         ",
             "size unknown (header incomplete), received " + std::to_string(r.image_received));
    }
    line("checksum:      ", "received " +
                                (r.checksum_received ? hex16(*r.checksum_received) : "none") +
                                ", computed " + hex16(r.checksum_computed));
    if (!context.pause_checked)
        line("pause:         ", "not checked (no times in a capture)");
    else if (r.pause_seconds)
        line("pause:         ",
             printf_text("%.3f s", *r.pause_seconds) +
                 printf_text(" (at least %.3f s needed)", context.min_pause_seconds));
    else
        line("pause:         ", "none measured");
    if (r.transfer_seconds) {
        std::string t = printf_text("%.3f s", *r.transfer_seconds);
        if (r.transfer_rate)
            t += printf_text(", %.0f bytes/s", *r.transfer_rate);
        line("transfer time: ", t);
    }
    line("ended by:      ", ending_name(context.ending));
    line("verdict: ", verdict_text(r));
    return out;
}

std::string format_json(const Report &r, const ReportContext &context) {
    std::string out = "{";
    auto field = [&out](const char *name, const std::string &value) {
        if (out.size() > 1)
            out += ',';
        out += json_string(name);
        out += ':';
        out += value;
    };
    auto connection = [](const ConnectionSummary &c) {
        auto t = [](const std::optional<Timestamp> &ts) {
            return ts ? printf_text("%.6f", std::chrono::duration<double>(*ts).count())
                      : std::string("null");
        };
        return "{\"bytes\":" + std::to_string(c.bytes) +
               ",\"closed\":" + (c.closed ? "true" : "false") +
               ",\"first_byte\":" + t(c.first_byte) + ",\"last_byte\":" + t(c.last_byte) + "}";
    };
    field("verdict", json_string(verdict_word(r)));
    field("verified", r.verified ? "true" : "false");
    field("message", json_string(verdict_text(r)));
    field("ended_by", json_string(ending_name(context.ending)));
    field("stage", json_string(stage_name(r.stage)));
    field("connections", std::to_string(r.connections));
    field("prelude", connection(r.prelude));
    field("transfer", connection(r.transfer));
    field("block_count", json_number(r.block_count));
    field("tail_length", json_number(r.tail_length));
    field("image_size", json_number(r.image_size()));
    field("image_received", std::to_string(r.image_received));
    field("checksum_received", json_number(r.checksum_received));
    field("checksum_computed", std::to_string(r.checksum_computed));
    field("pause_checked", context.pause_checked ? "true" : "false");
    field("min_pause_seconds", printf_text("%.6f", context.min_pause_seconds));
    field("pause_seconds", json_double(r.pause_seconds));
    field("transfer_seconds", json_double(r.transfer_seconds));
    field("transfer_rate", json_double(r.transfer_rate));
    if (r.fault) {
        const Fault &f = *r.fault;
        std::string fo = "{\"kind\":" + json_string(fault_kind_name(f.kind)) +
                         ",\"connection\":" + std::to_string(f.connection) +
                         ",\"offset\":" + std::to_string(f.offset) +
                         ",\"image_offset\":" + json_number(f.image_offset) +
                         ",\"expected\":" + json_string(f.expected) +
                         ",\"got\":" + json_number(f.got) + "}";
        field("fault", fo);
    } else {
        field("fault", "null");
    }
    out += "}\n";
    return out;
}

} // namespace printer
