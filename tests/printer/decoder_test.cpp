#include "decoder.hpp"
#include "report.hpp"
#include "streams.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace printer::test {
namespace {

using namespace std::chrono_literals;

Timestamp at(double seconds) {
    return std::chrono::duration_cast<Timestamp>(std::chrono::duration<double>(seconds));
}

struct Connection {
    Bytes bytes;
    double time = 0; // when its bytes arrive, in seconds
    bool close = true;
};

struct Feed {
    std::vector<Connection> connections;
    std::optional<Bytes> expected_image;
    bool timed = true;
    std::size_t chunk = 0; // 0: each connection in one piece
};

Report decode(const Feed &feed, Bytes *image_out = nullptr, bool stop = false) {
    DecoderOptions options;
    options.check_pause = feed.timed;
    if (feed.expected_image)
        options.expected_image = std::span<const std::uint8_t>(*feed.expected_image);
    if (image_out)
        options.image_sink = [image_out](std::span<const std::uint8_t> b) {
            image_out->insert(image_out->end(), b.begin(), b.end());
        };
    StreamDecoder decoder(options);
    for (const Connection &c : feed.connections) {
        decoder.open_connection();
        const std::size_t step = feed.chunk ? feed.chunk : std::max<std::size_t>(1, c.bytes.size());
        for (std::size_t i = 0; i < c.bytes.size(); i += step) {
            const std::size_t n = std::min(step, c.bytes.size() - i);
            decoder.receive(std::span(c.bytes).subspan(i, n),
                            feed.timed ? std::optional(at(c.time)) : std::nullopt);
        }
        if (c.close)
            decoder.close_connection();
    }
    if (stop)
        decoder.stop("the time-out");
    return decoder.report();
}

Feed feed_of(std::vector<Connection> connections) {
    Feed f;
    f.connections = std::move(connections);
    return f;
}

Feed good_feed(const Stream &s) {
    return feed_of({{s.prelude, 0.0}, {s.transfer, 3.5}});
}

struct GoodCase {
    const char *name;
    Bytes image;
    std::uint16_t blocks;
    std::uint16_t tail;
    std::uint16_t checksum;
};

class GoodStreams : public ::testing::TestWithParam<GoodCase> {};

TEST_P(GoodStreams, VerifyInOnePieceAndByteByByte) {
    const GoodCase &c = GetParam();
    const Stream s = make_stream(c.image);
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{511}}) {
        Feed feed = good_feed(s);
        feed.chunk = chunk;
        Bytes saved;
        const Report r = decode(feed, &saved);
        ASSERT_TRUE(r.verified) << "chunk " << chunk << ": " << verdict_text(r);
        EXPECT_EQ(r.block_count, c.blocks);
        EXPECT_EQ(r.tail_length, c.tail);
        EXPECT_EQ(r.checksum_received, c.checksum);
        EXPECT_EQ(r.checksum_computed, c.checksum);
        EXPECT_EQ(r.image_received, c.image.size());
        EXPECT_EQ(saved, c.image);
        ASSERT_TRUE(r.pause_seconds);
        EXPECT_NEAR(*r.pause_seconds, 3.5, 1e-6);
    }
    // The same bytes must also match the image they were made from.
    Feed feed = good_feed(s);
    feed.expected_image = c.image;
    EXPECT_TRUE(decode(feed).verified);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GoodStreams,
                         ::testing::Values(GoodCase{"empty", {}, 0, 0, 0x0000},
                                           GoodCase{"hundred_ones", Bytes(100, 1), 0, 100, 100},
                                           GoodCase{"one_block", Bytes(5120, 2), 1, 0, 10240},
                                           GoodCase{"block_and_byte", Bytes(5121, 3), 1, 1, 15363},
                                           // 0xFF * 300 = 76500: the checksum wraps past 65535.
                                           GoodCase{"checksum_wraps", Bytes(300, 0xFF), 0, 300,
                                                    76500 - 65536},
                                           GoodCase{"two_blocks_and_tail", Bytes(12345, 0x0A), 2,
                                                    2105, (12345 * 10) % 65536}),
                         [](const auto &p) { return std::string(p.param.name); });

// A corrupted stream and the fault it must be reported with.
struct BadCase {
    const char *name;
    Feed feed;
    FaultKind kind;
    int connection;
    std::uint64_t offset;
    std::optional<std::uint64_t> image_offset;
    std::string expected; // contained in the expectation
    std::optional<std::uint8_t> got;
};

void PrintTo(const BadCase &c, std::ostream *os) {
    *os << c.name;
}

class BadStreams : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadStreams, FailAtTheFirstWrongByte) {
    const BadCase &c = GetParam();
    for (std::size_t chunk : {std::size_t{0}, std::size_t{1}, std::size_t{777}}) {
        Feed feed = c.feed;
        feed.chunk = chunk;
        const Report r = decode(feed);
        ASSERT_FALSE(r.verified);
        ASSERT_TRUE(r.fault);
        const Fault &f = *r.fault;
        EXPECT_EQ(f.kind, c.kind) << f.message;
        EXPECT_EQ(f.connection, c.connection) << f.message;
        EXPECT_EQ(f.offset, c.offset) << f.message;
        EXPECT_EQ(f.image_offset, c.image_offset) << f.message;
        EXPECT_NE(f.expected.find(c.expected), std::string::npos) << f.message;
        EXPECT_EQ(f.got, c.got) << f.message;
        const std::string verdict = verdict_text(r);
        EXPECT_EQ(verdict.rfind("FAILED: ", 0), 0u) << verdict;
    }
}

Stream with(const Bytes &image, void (*change)(Stream &)) {
    Stream s = make_stream(image);
    change(s);
    return s;
}

const Bytes image5121 = make_image(5121, 7);
const Stream good5121 = make_stream(image5121);
const std::uint64_t end5121 = good5121.transfer.size(); // 5140

BadCase bad(const char *name, const Stream &s, FaultKind kind, int connection, std::uint64_t offset,
            std::optional<std::uint64_t> image_offset, std::string expected,
            std::optional<std::uint8_t> got) {
    return BadCase{name,         good_feed(s),        kind, connection, offset,
                   image_offset, std::move(expected), got};
}

std::vector<BadCase> bad_cases() {
    using K = FaultKind;
    std::vector<BadCase> cases;
    cases.push_back(bad("wrong_prelude_byte",
                        with(image5121, [](Stream &s) { s.prelude[3] = 0x4E; }), K::wrong_byte, 1,
                        3, {}, "0x4F", 0x4E));
    cases.push_back(bad("short_prelude", with(image5121, [](Stream &s) { s.prelude.pop_back(); }),
                        K::ended_early, 1, 4, {}, "0x0D", {}));
    cases.push_back(bad("byte_after_prelude",
                        with(image5121, [](Stream &s) { s.prelude.push_back(0x0D); }),
                        K::extra_byte, 1, 5, {}, "end of connection 1", 0x0D));
    cases.push_back(bad("missing_cr",
                        with(image5121, [](Stream &s) { s.transfer.erase(s.transfer.begin()); }),
                        K::wrong_byte, 2, 5, {}, "0x0D (CR 6 of 6)", 0x7E));
    cases.push_back(bad("cooked_lf_to_crlf",
                        with(image5121, [](Stream &s) { s.transfer = cooked(s.transfer); }),
                        K::wrong_byte, 2, 9, {}, "0x0A (LF of the start command)", 0x0D));
    cases.push_back(bad("negative_block_count",
                        with(image5121, [](Stream &s) { s.transfer[14] = 0x80; }), K::wrong_byte, 2,
                        14, {}, "0x00..0x7F", 0x80));
    cases.push_back(bad("tail_length_5120",
                        with(image5121,
                             [](Stream &s) {
                                 s.transfer[15] = 0x00;
                                 s.transfer[16] = 0x14;
                             }),
                        K::wrong_byte, 2, 16, {}, "0x00..0x13", 0x14));
    // Two blocks announced, one sent: the rest of the stream is taken as image, then it ends.
    cases.push_back(bad("block_count_too_high",
                        with(image5121, [](Stream &s) { s.transfer[13] = 2; }), K::ended_early, 2,
                        end5121, 5123, "image byte 5123 of 10241", {}));
    // One byte fewer announced: the last image byte is read as the checksum's low byte.
    cases.push_back(bad("tail_length_too_low",
                        with(image5121, [](Stream &s) { s.transfer[15] = 0; }), K::wrong_byte, 2,
                        end5121 - 3, {}, "checksum, low byte", image5121.back()));
    {
        Stream s = good5121;
        s.transfer[end5121 - 2] ^= 0x01;
        cases.push_back(bad("wrong_checksum_low", s, K::wrong_byte, 2, end5121 - 2, {},
                            "checksum, low byte", s.transfer[end5121 - 2]));
    }
    {
        Stream s = good5121;
        s.transfer[end5121 - 1] ^= 0x80;
        cases.push_back(bad("wrong_checksum_high", s, K::wrong_byte, 2, end5121 - 1, {},
                            "checksum, high byte", s.transfer[end5121 - 1]));
    }
    {
        // A changed image byte shows in the checksum.
        Stream s = good5121;
        s.transfer[17 + 4000] ^= 0x10;
        cases.push_back(bad("image_byte_changed", s, K::wrong_byte, 2, end5121 - 2, {},
                            "checksum, low byte", s.transfer[end5121 - 2]));
        // Against the expected image it shows where it is.
        BadCase c = bad("image_byte_differs_from_file", s, K::wrong_byte, 2, 17 + 4000, 4000, {},
                        s.transfer[17 + 4000]);
        c.feed.expected_image = image5121;
        char want[8];
        std::snprintf(want, sizeof want, "0x%02X", image5121[4000]);
        c.expected = want;
        cases.push_back(c);
    }
    {
        // A stream that is right in itself but for another image than the file.
        BadCase c = bad("counts_differ_from_file", make_stream(make_image(5120)), K::wrong_byte, 2,
                        15, {}, "0x01 (tail length, low byte)", 0x00);
        c.feed.expected_image = image5121;
        cases.push_back(c);
    }
    {
        Stream s = good5121;
        s.transfer.resize(17 + 3000);
        cases.push_back(bad("ends_in_the_image", s, K::ended_early, 2, 17 + 3000, 3000,
                            "image byte 3000 of 5121", {}));
    }
    {
        Stream s = good5121;
        s.transfer.pop_back();
        cases.push_back(
            bad("ends_in_the_checksum", s, K::ended_early, 2, end5121 - 1, {}, "high byte", {}));
    }
    {
        Stream s = good5121;
        s.transfer.push_back(0x00);
        cases.push_back(bad("byte_after_checksum", s, K::extra_byte, 2, end5121, {},
                            "end of connection 2", 0x00));
    }
    {
        BadCase c = bad("pause_too_short", good5121, K::pause, 2, 0, {}, "at least 3.000 s", {});
        c.feed.connections[1].time = 2.9;
        cases.push_back(c);
    }
    {
        BadCase c = bad("third_connection", good5121, K::extra_connection, 3, 0, {},
                        "no further connection", {});
        c.feed.connections.push_back({{}, 4.0});
        cases.push_back(c);
    }
    {
        // A sender that skips the prelude: its transfer comes first and fails as a prelude.
        BadCase c = bad("no_prelude_connection", good5121, K::wrong_byte, 1, 2, {},
                        "prelude connection may be missing", 0x0D);
        c.feed.connections.erase(c.feed.connections.begin());
        cases.push_back(c);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Corruptions, BadStreams, ::testing::ValuesIn(bad_cases()),
                         [](const auto &p) { return std::string(p.param.name); });

TEST(Decoder, StopSaysHowFarTheStreamGot) {
    Stream s = make_stream(make_image(9000));
    s.transfer.resize(17 + 6000); // into the tail
    Feed feed = good_feed(s);
    feed.connections[1].close = false;
    const Report r = decode(feed, nullptr, /*stop=*/true);
    ASSERT_TRUE(r.fault);
    EXPECT_EQ(r.fault->kind, FaultKind::stopped);
    EXPECT_EQ(r.stage, Stage::tail);
    EXPECT_EQ(r.transfer.bytes, 17u + 6000u);
    EXPECT_EQ(r.image_received, 6000u);
    EXPECT_EQ(verdict_text(r), "INCOMPLETE: stopped by the time-out at connection 2 offset 6017 "
                               "(image offset 6000) (tail), waiting for image byte 6000 of 9000 "
                               "(in the tail)");

    // Stopped between the connections, and before any.
    const Feed only_prelude = feed_of({{s.prelude, 0.0}});
    EXPECT_EQ(verdict_text(decode(only_prelude, nullptr, true)),
              "INCOMPLETE: stopped by the time-out while waiting for connection 2");
    EXPECT_EQ(verdict_text(decode(Feed{}, nullptr, true)),
              "INCOMPLETE: stopped by the time-out while waiting for connection 1");
}

TEST(Decoder, CapturesWithoutTimesSkipThePause) {
    Feed feed = good_feed(good5121);
    feed.timed = false;
    const Report r = decode(feed);
    EXPECT_TRUE(r.verified);
    EXPECT_FALSE(r.pause_seconds);
}

TEST(Decoder, PlacesTheStagesOnceTheCountsAreIn) {
    StreamDecoder decoder;
    decoder.open_connection();
    decoder.receive(good5121.prelude);
    decoder.close_connection();
    decoder.open_connection();
    EXPECT_EQ(decoder.stage_offset(Stage::blocks), 17u);
    EXPECT_FALSE(decoder.stage_offset(Stage::tail));
    decoder.receive(std::span(good5121.transfer).first(17));
    EXPECT_EQ(decoder.stage(), Stage::blocks);
    EXPECT_EQ(decoder.stage_offset(Stage::tail), 17u + 5120u);
    EXPECT_EQ(decoder.stage_offset(Stage::checksum), 17u + 5121u);
}

// Any single changed, added or dropped byte anywhere, however the bytes are split up, must fail.
TEST(Decoder, NoSingleByteMutationPasses) {
    std::mt19937 rng(12345);
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{5121}}) {
        const Stream s = make_stream(make_image(size, 3));
        for (int round = 0; round < 600; ++round) {
            Stream m = s;
            Bytes &target = rng() % 8 == 0 ? m.prelude : m.transfer;
            const std::size_t pos = rng() % (target.size() + 1);
            const auto value = static_cast<std::uint8_t>(rng());
            switch (rng() % 3) {
            case 0:
                if (pos == target.size())
                    continue;
                target[pos] ^= static_cast<std::uint8_t>(value | 1);
                break;
            case 1:
                target.insert(target.begin() + static_cast<std::ptrdiff_t>(pos), value);
                break;
            default:
                if (pos == target.size())
                    continue;
                target.erase(target.begin() + static_cast<std::ptrdiff_t>(pos));
                break;
            }
            Feed feed = good_feed(m);
            feed.chunk = 1 + rng() % 600;
            const Report r = decode(feed);
            ASSERT_FALSE(r.verified) << "size " << size << " round " << round;
            ASSERT_TRUE(r.fault);
        }
    }
}

} // namespace
} // namespace printer::test
