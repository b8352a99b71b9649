#include "decoder.hpp"

#include <algorithm>
#include <cstdio>

namespace printer {

namespace {

std::string hex(std::uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(b));
    return text;
}

std::string seconds_text(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", s);
    return text;
}

const char *header_byte_name(std::uint64_t offset) {
    static const char *const names[13] = {"CR 1 of 6",
                                          "CR 2 of 6",
                                          "CR 3 of 6",
                                          "CR 4 of 6",
                                          "CR 5 of 6",
                                          "CR 6 of 6",
                                          "'~' of the start command",
                                          "'N' of the start command",
                                          "CR of the start command",
                                          "LF of the start command",
                                          "'G' of the start command",
                                          "'O' of the start command",
                                          "blank of the start command"};
    return names[offset];
}

const char *count_byte_name(std::uint64_t offset) {
    switch (offset) {
    case 13:
        return "block count, low byte";
    case 14:
        return "block count, high byte";
    case 15:
        return "tail length, low byte";
    default:
        return "tail length, high byte";
    }
}

} // namespace

const char *stage_name(Stage stage) {
    switch (stage) {
    case Stage::prelude:
        return "prelude";
    case Stage::header:
        return "header";
    case Stage::blocks:
        return "blocks";
    case Stage::tail:
        return "tail";
    case Stage::checksum:
        return "checksum";
    case Stage::end:
        return "end";
    case Stage::done:
        return "done";
    }
    return "?";
}

std::optional<Stage> stage_from_name(std::string_view name) {
    for (Stage s : {Stage::prelude, Stage::header, Stage::blocks, Stage::tail, Stage::checksum}) {
        if (name == stage_name(s))
            return s;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Report::image_size() const {
    if (!block_count || !tail_length)
        return std::nullopt;
    return std::uint64_t{*block_count} * block_size + *tail_length;
}

StreamDecoder::StreamDecoder(DecoderOptions options) : options_(std::move(options)) {
    if (options_.expected_image) {
        // The counts the expected image needs; an image too large for the format cannot be
        // matched, so no count can be right.
        const std::uint64_t size = options_.expected_image->size();
        expected_counts_ok_ = size <= std::uint64_t{max_block_count} * block_size + max_tail_length;
        const std::uint64_t blocks = size / block_size;
        const std::uint64_t tail = size % block_size;
        expected_counts_[0] = static_cast<std::uint8_t>(blocks & 0xFF);
        expected_counts_[1] = static_cast<std::uint8_t>((blocks >> 8) & 0xFF);
        expected_counts_[2] = static_cast<std::uint8_t>(tail & 0xFF);
        expected_counts_[3] = static_cast<std::uint8_t>((tail >> 8) & 0xFF);
    }
}

void StreamDecoder::fail(FaultKind kind, std::uint64_t offset, std::string expected,
                         std::optional<std::uint8_t> got,
                         std::optional<std::uint64_t> image_offset) {
    if (fault_)
        return;
    Fault f;
    f.kind = kind;
    f.connection = std::max(connections_, 1);
    f.offset = offset;
    f.image_offset = image_offset;
    f.expected = std::move(expected);
    f.got = got;
    std::string where = "connection " + std::to_string(f.connection);
    if (kind != FaultKind::extra_connection)
        where += " offset " + std::to_string(offset);
    if (image_offset)
        where += " (image offset " + std::to_string(*image_offset) + ")";
    std::string got_text;
    if (got)
        got_text = hex(*got);
    else if (kind == FaultKind::ended_early)
        got_text = "the end of the connection";
    f.message = where + ": expected " + f.expected;
    if (!got_text.empty())
        f.message += ", got " + got_text;
    fault_ = std::move(f);
}

void StreamDecoder::open_connection() {
    if (open_)
        close_connection();
    ++connections_;
    open_ = true;
    offset_ = 0;
    if (connections_ >= 3) {
        fail(FaultKind::extra_connection, 0, "no further connection after the transfer",
             std::nullopt);
        parsing_ = false;
    }
}

void StreamDecoder::receive(std::span<const std::uint8_t> bytes, std::optional<Timestamp> at) {
    if (bytes.empty())
        return;
    if (!open_)
        open_connection();
    if (connections_ <= 2) {
        ConnectionSummary &c = conn_[connections_ - 1];
        c.bytes += bytes.size();
        if (at) {
            if (!c.first_byte)
                c.first_byte = at;
            c.last_byte = at;
        }
    }
    if (connections_ == 2 && offset_ == 0 && at && conn_[0].last_byte) {
        const auto pause = *at - *conn_[0].last_byte;
        pause_seconds_ = std::chrono::duration<double>(pause).count();
        if (options_.check_pause && pause + options_.pause_tolerance < options_.min_pause &&
            parsing_) {
            fail(FaultKind::pause, 0,
                 "a pause of at least " +
                     seconds_text(std::chrono::duration<double>(options_.min_pause).count()) +
                     " after connection 1, got " + seconds_text(*pause_seconds_),
                 std::nullopt);
        }
    }
    if (!parsing_ || connections_ > 2) {
        offset_ += bytes.size();
        return;
    }
    if (connections_ == 1)
        receive_prelude(bytes);
    else
        receive_transfer(bytes);
}

void StreamDecoder::receive_prelude(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) {
        if (!parsing_) {
            ++offset_;
            continue;
        }
        if (offset_ >= prelude_size) {
            fail(FaultKind::extra_byte, offset_, "the end of connection 1", b);
            parsing_ = false;
        } else if (b != prelude_bytes[offset_]) {
            std::string expected = expectation_here();
            if (offset_ == 2 && b == 0x0D)
                expected += " (connection 1 looks like a transfer: the prelude connection may be "
                            "missing)";
            fail(FaultKind::wrong_byte, offset_, expected, b);
            parsing_ = false;
        }
        ++offset_;
    }
}

void StreamDecoder::receive_transfer(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        if (!parsing_) {
            offset_ += bytes.size() - i;
            return;
        }
        const std::uint8_t b = bytes[i];
        switch (stage_) {
        case Stage::header:
            if (offset_ < 13) {
                if (b != header_bytes[offset_]) {
                    fail(FaultKind::wrong_byte, offset_, expectation_here(), b);
                    parsing_ = false;
                }
            } else {
                if (options_.expected_image &&
                    (!expected_counts_ok_ || b != expected_counts_[offset_ - 13])) {
                    fail(FaultKind::wrong_byte, offset_, expectation_here(), b);
                }
                if (offset_ == 14 && b > 0x7F) {
                    fail(FaultKind::wrong_byte, offset_,
                         "0x00..0x7F (block count, high byte: at most 32767 blocks)", b);
                    parsing_ = false;
                }
                if (offset_ == 16 && b > (max_tail_length >> 8)) {
                    fail(FaultKind::wrong_byte, offset_,
                         "0x00..0x13 (tail length, high byte: at most 5119 bytes)", b);
                    parsing_ = false;
                }
            }
            header_[offset_] = b;
            ++offset_;
            ++i;
            if (offset_ == 15)
                block_count_ = static_cast<std::uint16_t>(header_[13] | header_[14] << 8);
            if (offset_ == header_size) {
                tail_length_ = static_cast<std::uint16_t>(header_[15] | header_[16] << 8);
                if (parsing_)
                    update_stage();
            }
            break;
        case Stage::blocks:
        case Stage::tail:
            i += receive_image(bytes.subspan(i));
            break;
        case Stage::checksum: {
            const std::uint64_t k = offset_ - *stage_offset(Stage::checksum);
            const auto want = static_cast<std::uint8_t>((sum_ >> (8 * k)) & 0xFF);
            if (b != want)
                fail(FaultKind::wrong_byte, offset_, expectation_here(), b);
            checksum_bytes_[k] = b;
            ++offset_;
            ++i;
            if (k == 1) {
                checksum_received_ =
                    static_cast<std::uint16_t>(checksum_bytes_[0] | checksum_bytes_[1] << 8);
                stage_ = Stage::end;
            }
            break;
        }
        case Stage::end:
        case Stage::done:
        case Stage::prelude:
            fail(FaultKind::extra_byte, offset_, "the end of connection 2", b);
            parsing_ = false;
            break;
        }
    }
}

std::size_t StreamDecoder::receive_image(std::span<const std::uint8_t> bytes) {
    const std::uint64_t size = std::uint64_t{*block_count_} * block_size + *tail_length_;
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(size - image_received_, bytes.size()));
    const auto chunk = bytes.first(take);
    if (options_.expected_image && !fault_) {
        const auto &want = *options_.expected_image;
        for (std::size_t j = 0; j < take; ++j) {
            const std::uint64_t at = image_received_ + j;
            if (at >= want.size() || chunk[j] != want[at]) {
                const std::uint64_t saved_received = image_received_;
                const std::uint64_t saved_offset = offset_;
                image_received_ = at;
                offset_ += j;
                fail(FaultKind::wrong_byte, offset_, expectation_here(), chunk[j], at);
                image_received_ = saved_received;
                offset_ = saved_offset;
                break;
            }
        }
    }
    std::uint64_t sum = sum_;
    for (std::uint8_t b : chunk)
        sum += b;
    sum_ = sum & 0xFFFF;
    if (options_.image_sink && take > 0)
        options_.image_sink(chunk);
    image_received_ += take;
    offset_ += take;
    update_stage();
    return take;
}

void StreamDecoder::update_stage() {
    const std::uint64_t full = std::uint64_t{*block_count_} * block_size;
    if (image_received_ < full)
        stage_ = Stage::blocks;
    else if (image_received_ < full + *tail_length_)
        stage_ = Stage::tail;
    else
        stage_ = Stage::checksum;
}

std::string StreamDecoder::expectation_here() const {
    const std::uint64_t o = offset_;
    if (connections_ <= 1 && stage_ == Stage::prelude) {
        if (o >= prelude_size)
            return "the end of connection 1";
        return hex(prelude_bytes[o]) + " (prelude byte " + std::to_string(o + 1) + " of 5)";
    }
    switch (stage_) {
    case Stage::prelude:
        return "the transfer connection";
    case Stage::header:
        if (o < 13)
            return hex(header_bytes[o]) + " (" + header_byte_name(o) + ")";
        if (options_.expected_image && expected_counts_ok_)
            return hex(expected_counts_[o - 13]) + " (" + count_byte_name(o) + ")";
        if (options_.expected_image)
            return std::string("no count: the expected image is too large (") + count_byte_name(o) +
                   ")";
        return std::string("the ") + count_byte_name(o);
    case Stage::blocks:
    case Stage::tail: {
        const std::string where = stage_ == Stage::blocks ? "a block" : "the tail";
        const std::string of = " of " + std::to_string(*block_count_ * block_size + *tail_length_);
        if (options_.expected_image && image_received_ < options_.expected_image->size())
            return hex((*options_.expected_image)[image_received_]) + " (image byte " +
                   std::to_string(image_received_) + of + ", in " + where + ")";
        return "image byte " + std::to_string(image_received_) + of + " (in " + where + ")";
    }
    case Stage::checksum: {
        const std::uint64_t k = o - *stage_offset(Stage::checksum);
        return hex(static_cast<std::uint8_t>((sum_ >> (8 * k)) & 0xFF)) +
               (k == 0 ? " (checksum, low byte)" : " (checksum, high byte)");
    }
    case Stage::end:
    case Stage::done:
        return "the end of connection 2";
    }
    return "?";
}

void StreamDecoder::close_connection() {
    if (!open_)
        return;
    open_ = false;
    if (connections_ <= 2)
        conn_[connections_ - 1].closed = true;
    if (!parsing_)
        return;
    if (connections_ == 1) {
        if (offset_ < prelude_size) {
            fail(FaultKind::ended_early, offset_, expectation_here(), std::nullopt);
            parsing_ = false;
        } else {
            stage_ = Stage::header;
        }
    } else if (connections_ == 2) {
        if (stage_ == Stage::end) {
            stage_ = Stage::done;
        } else {
            std::optional<std::uint64_t> image_offset;
            if (stage_ == Stage::blocks || stage_ == Stage::tail)
                image_offset = image_received_;
            fail(FaultKind::ended_early, offset_, expectation_here(), std::nullopt, image_offset);
            parsing_ = false;
        }
    }
}

void StreamDecoder::stop(const std::string &why) {
    if (fault_ || stage_ == Stage::done)
        return;
    Fault f;
    f.kind = FaultKind::stopped;
    if (!open_ && connections_ == 0) {
        f.connection = 1;
        f.expected = "connection 1";
    } else if (!open_ && connections_ == 1) {
        f.connection = 2;
        f.expected = "connection 2";
    } else {
        f.connection = connections_;
        f.offset = offset_;
        f.expected = expectation_here();
        if (stage_ == Stage::blocks || stage_ == Stage::tail)
            f.image_offset = image_received_;
    }
    std::string where = "connection " + std::to_string(f.connection);
    if (open_)
        where += " offset " + std::to_string(f.offset);
    if (f.image_offset)
        where += " (image offset " + std::to_string(*f.image_offset) + ")";
    f.message = "stopped by " + why + " at " + where + " (" + stage_name(stage_) +
                "), waiting for " + f.expected;
    if (!open_)
        f.message = "stopped by " + why + " while waiting for " + f.expected;
    fault_ = std::move(f);
    parsing_ = false;
}

void StreamDecoder::unclear_boundary() {
    if (fault_)
        return;
    Fault f;
    f.kind = FaultKind::unclear_boundary;
    f.connection = std::max(connections_, 1);
    f.offset = offset_;
    f.expected = "connection " + std::to_string(f.connection) +
                 "'s last bytes before the port "
                 "was opened again";
    f.message = "connection " + std::to_string(f.connection) + " offset " +
                std::to_string(offset_) +
                ": the port was closed and opened again before the "
                "bytes sent before the close had been read, so they cannot be told apart from "
                "the next connection's (leave a moment between closing and writing again)";
    fault_ = std::move(f);
    parsing_ = false;
}

std::optional<std::uint64_t> StreamDecoder::stage_offset(Stage stage) const {
    switch (stage) {
    case Stage::prelude:
    case Stage::header:
        return 0;
    case Stage::blocks:
        return header_size;
    case Stage::tail:
        if (!block_count_ || !tail_length_)
            return std::nullopt;
        return header_size + std::uint64_t{*block_count_} * block_size;
    case Stage::checksum:
    case Stage::end:
    case Stage::done:
        if (!block_count_ || !tail_length_)
            return std::nullopt;
        return header_size + std::uint64_t{*block_count_} * block_size + *tail_length_ +
               (stage == Stage::checksum ? 0 : 2);
    }
    return std::nullopt;
}

Report StreamDecoder::report() const {
    Report r;
    r.verified = stage_ == Stage::done && !fault_;
    r.stage = stage_;
    r.connections = connections_;
    r.prelude = conn_[0];
    r.transfer = conn_[1];
    r.block_count = block_count_;
    r.tail_length = tail_length_;
    r.image_received = image_received_;
    r.checksum_received = checksum_received_;
    r.checksum_computed = static_cast<std::uint16_t>(sum_ & 0xFFFF);
    r.pause_seconds = pause_seconds_;
    if (conn_[1].first_byte && conn_[1].last_byte) {
        const double s =
            std::chrono::duration<double>(*conn_[1].last_byte - *conn_[1].first_byte).count();
        r.transfer_seconds = s;
        if (s > 0)
            r.transfer_rate = static_cast<double>(conn_[1].bytes) / s;
    }
    r.fault = fault_;
    return r;
}

} // namespace printer
