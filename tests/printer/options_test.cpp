#include "options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace printer {
namespace {

ParsedOptions parse(std::vector<std::string_view> args) {
    return parse_options(args);
}

TEST(Options, PlacesStallsAndHangups) {
    auto p = parse({"--fifo", "/tmp/f", "--stall-after=1000", "--stall-for", "0.5",
                    "--hangup-after", "4000", "--rate", "11520", "--timeout", "2"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->mode, Mode::fifo);
    EXPECT_EQ(p.options->stall->transfer_offset, 1000u);
    EXPECT_EQ(p.options->stall_for, 0.5);
    EXPECT_EQ(p.options->hangup->transfer_offset, 4000u);
    EXPECT_EQ(p.options->rate, 11520.0);

    p = parse({"--link", "/tmp/l", "--hangup", "--stage", "checksum"});
    ASSERT_TRUE(p.options) << p.error;
    EXPECT_EQ(p.options->mode, Mode::pty);
    EXPECT_FALSE(p.options->stall);
    EXPECT_EQ(p.options->hangup->stage, Stage::checksum);
}

TEST(Options, RejectsWhatCannotWork) {
    const std::vector<std::vector<std::string_view>> bad = {
        {"--stage", "blocks"},                      // neither stall nor hang-up
        {"--stall", "--hangup", "--stage", "tail"}, // both
        {"--stall", "--stage", "middle"},           // no such stage
        {"--stall-after", "10", "--stall", "--stage", "tail"},
        {"--stall-for", "1"}, // no stall to end
        {"--stall-after", "12abc"},
        {"--stall-after", "-1"},
        {"--rate", "0"},
        {"--timeout", "soon"},
        {"--min-pause", "-1"},
        {"--fifo", "a", "--decode", "b"},
        {"--link", "l", "--fifo", "f"},
        {"--decode", "c", "--rate", "100"},
        {"--decode", "c", "--hangup-after", "1"},
        {"--json=yes"},
        {"--timeout"},
        {"--fast"},
    };
    for (const auto &args : bad) {
        const auto p = parse(args);
        std::string joined;
        for (auto a : args)
            joined += std::string(a) + " ";
        EXPECT_FALSE(p.options) << joined;
        EXPECT_FALSE(p.error.empty()) << joined;
    }
}

} // namespace
} // namespace printer
