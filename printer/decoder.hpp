// The printer's side of a firmware download: a decoder and verifier of the byte stream.
//
// The decoder does no I/O. A receiver tells it when a connection opens and closes and feeds it
// the bytes of each connection as they arrive, with the time they were read. At any moment it
// can say how far the stream got and whether it is still good; report() sums it up.
//
// The stream it accepts:
//   connection 1: 0x0D 0x0D 0x7E 0x4F 0x0D, nothing else.
//   connection 2: six 0x0D, "~N" CR LF "GO ", block count (u16 LE, 0..32767),
//                 tail length (u16 LE, 0..5119), block count * 5120 + tail length image bytes,
//                 checksum (u16 LE: sum of the image bytes modulo 65536), nothing else.
//   no connection 3.
// Connection 2 may start only after a pause (minimum given in the options) after connection 1's
// last byte.
//
// It never allocates in proportion to its input: image bytes are passed on to an optional sink
// and compared against an optional expected image owned by the caller.

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace printer {

using Timestamp = std::chrono::nanoseconds; // on a monotonic clock; the epoch does not matter

inline constexpr std::size_t block_size = 5120;
inline constexpr std::uint16_t max_block_count = 32767;
inline constexpr std::uint16_t max_tail_length = 5119;
inline constexpr std::size_t prelude_size = 5;
inline constexpr std::size_t header_size = 17; // six CRs, start command, two counts
inline constexpr std::uint8_t prelude_bytes[prelude_size] = {0x0D, 0x0D, 0x7E, 0x4F, 0x0D};
inline constexpr std::uint8_t header_bytes[13] = {0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x7E,
                                                  0x4E, 0x0D, 0x0A, 0x47, 0x4F, 0x20};

// The parts of the stream, in order. The stage of a stream is the part its next byte belongs to.
enum class Stage {
    prelude,  // connection 1
    header,   // connection 2 offsets 0..16: six CRs, the start command, the two counts
    blocks,   // the full blocks of the image
    tail,     // the image bytes after the full blocks
    checksum, // two bytes
    end,      // all received; connection 2 should close now
    done,     // connection 2 closed after a complete stream
};

const char *stage_name(Stage stage);
std::optional<Stage> stage_from_name(std::string_view name);

enum class FaultKind {
    wrong_byte,  // a byte differs from the one expected (or is out of range)
    ended_early, // a connection closed before its part of the stream was complete
    extra_byte,  // a byte after the end of a connection's part of the stream
    pause,       // connection 2 started too soon after connection 1
    extra_connection,
    stopped,          // the receiving stopped (time-out, signal, hang-up) before the end
    unclear_boundary, // the receiver could not tell one connection's bytes from the next's
};

struct Fault {
    FaultKind kind = FaultKind::wrong_byte;
    int connection = 0;                        // 1-based
    std::uint64_t offset = 0;                  // in that connection
    std::optional<std::uint64_t> image_offset; // when the offset falls in the image
    std::string expected;                      // e.g. "0x0A (LF of the start command)"
    std::optional<std::uint8_t> got;           // the byte received; none at the end of the data
    std::string message;                       // the whole sentence for the verdict line
};

struct ConnectionSummary {
    std::uint64_t bytes = 0;
    std::optional<Timestamp> first_byte;
    std::optional<Timestamp> last_byte;
    bool closed = false;
};

struct Report {
    bool verified = false; // the whole download arrived and is right
    Stage stage = Stage::prelude;
    int connections = 0;
    ConnectionSummary prelude;  // connection 1
    ConnectionSummary transfer; // connection 2
    std::optional<std::uint16_t> block_count;
    std::optional<std::uint16_t> tail_length;
    std::uint64_t image_received = 0;
    std::optional<std::uint16_t> checksum_received;
    std::uint16_t checksum_computed = 0; // over the image bytes received
    std::optional<double> pause_seconds;
    std::optional<double> transfer_seconds; // connection 2's first byte to its last
    std::optional<double> transfer_rate;    // bytes per second over that time
    std::optional<Fault> fault;

    std::optional<std::uint64_t> image_size() const;
};

struct DecoderOptions {
    // The shortest pause allowed between connection 1's last byte and connection 2's first.
    std::chrono::nanoseconds min_pause = std::chrono::seconds(3);
    // Bytes are timed when they are read, which can be late by the reader's
    // own scheduling; a pause measured this much short still passes.
    std::chrono::nanoseconds pause_tolerance = std::chrono::milliseconds(50);
    // Off for captures, which carry no times.
    bool check_pause = true;
    // When set, the image must be exactly these bytes; a difference is reported at its offset.
    std::optional<std::span<const std::uint8_t>> expected_image;
    // Receives the image bytes as they arrive (even after a fault).
    std::function<void(std::span<const std::uint8_t>)> image_sink;
};

class StreamDecoder {
public:
    explicit StreamDecoder(DecoderOptions options = {});

    void open_connection();
    // `at` is when the bytes were read; without it the pause is not checked.
    void receive(std::span<const std::uint8_t> bytes, std::optional<Timestamp> at = {});
    void close_connection();
    // No more data will come (time-out, signal, hang-up): a stream not done is incomplete.
    void stop(const std::string &why);
    // The receiver read bytes that may belong to this connection or to the next one: the port
    // was closed and opened again before it had taken them. Call before passing them on.
    void unclear_boundary();

    // 0 before the first connection.
    int connection() const { return connections_; }
    bool connection_open() const { return open_; }
    // Bytes received so far on the current (or last) connection.
    std::uint64_t connection_offset() const { return offset_; }
    Stage stage() const { return stage_; }
    bool failed() const { return fault_.has_value(); }
    // Connection 2 has closed after a complete, correct stream (a later fault may still come).
    bool done() const { return stage_ == Stage::done && !fault_; }
    // The connection 2 offset where a stage starts, once the counts that place it are known.
    std::optional<std::uint64_t> stage_offset(Stage stage) const;

    Report report() const;

private:
    void fail(FaultKind kind, std::uint64_t offset, std::string expected,
              std::optional<std::uint8_t> got, std::optional<std::uint64_t> image_offset = {});
    void receive_prelude(std::span<const std::uint8_t> bytes);
    void receive_transfer(std::span<const std::uint8_t> bytes);
    std::size_t receive_image(std::span<const std::uint8_t> bytes);
    std::string expectation_here() const;
    void update_stage();

    DecoderOptions options_;
    int connections_ = 0;
    bool open_ = false;
    std::uint64_t offset_ = 0; // in the current connection
    Stage stage_ = Stage::prelude;
    ConnectionSummary conn_[2];
    std::uint8_t header_[header_size] = {};
    std::optional<std::uint16_t> block_count_;
    std::optional<std::uint16_t> tail_length_;
    std::uint64_t image_received_ = 0;
    std::uint64_t sum_ = 0; // modulo 65536
    std::uint8_t checksum_bytes_[2] = {};
    std::optional<std::uint16_t> checksum_received_;
    std::optional<double> pause_seconds_;
    std::optional<Fault> fault_;
    bool parsing_ = true; // false after a fault that leaves the layout unknown
    bool expected_counts_ok_ = false;
    std::uint8_t expected_counts_[4] = {};
};

} // namespace printer
