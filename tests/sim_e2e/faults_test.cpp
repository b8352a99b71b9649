// A printer that stalls or hangs up: what the user sees, the exit status, how
// soon the run ends against the write time-outs, and what the printer got.
//
// The time-outs: 100 ms per byte plus 200 ms per write, so 300 ms for a single
// byte (header, tail and checksum bytes) and 51.4 s for a 512-byte block piece;
// a close gives up when the queue has not moved for 300 ms.
//
// The line's own buffer lets the program run ahead of a stalled printer: about
// 20 KiB on a pty, one page on the FIFO. A stall less than that before the end
// is out of the program's sight on a pty (the bytes sit in the pty's master
// side, which the slave cannot query), so stalls near the end use the FIFO,
// with sizes where what follows the stall point does or does not fill the page.
#include "harness.h"

#include <gtest/gtest.h>

using namespace sim_e2e;
using Offset = long long;

namespace {

constexpr double kByteTimeOut = 0.3;
constexpr double kPause = 3.0; // between the prelude and the transfer

struct TFaultCase {
    const char *name;
    TLink link;
    size_t size;
    std::vector<std::string> options;
    std::string message; // the last line on stderr
    Offset offset;       // connection 2 bytes the printer took
    std::string stage;
};

std::vector<TOutcome> RunCases(const std::vector<TFaultCase> &cases) {
    return RunAll(cases, [](const TFaultCase &c) {
        return RunDownload({c.link, c.size, c.options, uint32_t(c.size)});
    });
}

// When the printer stopped taking data: its last byte, or for a stall at the
// start of connection 2 the end of the program's pause.
double StoppedAt(const TOutcome &o) {
    if (o.report.Int("transfer.bytes") == 0)
        return o.report.Number("prelude.last_byte") + kPause;
    return o.report.Number("transfer.last_byte");
}

void ExpectFailedAt(const TFaultCase &c, const TOutcome &o) {
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_EQ(o.out, "") << "no checksum and no Finish after a failure";
    EXPECT_EQ(o.LastError(), c.message) << o.err;
    EXPECT_EQ(o.simStatus, 1) << o.json;
    EXPECT_NE(o.report.Text("verdict"), "verified") << o.json;
    EXPECT_EQ(o.report.Text("stage"), c.stage) << o.json;
    EXPECT_EQ(o.report.Int("transfer.bytes"), c.offset) << o.json;
}

// Stalls that last: each part of the stream where a single byte waits its
// 300 ms. The blocks' pieces would wait 51.4 s; a stall there is covered by
// the brief stall and the hang-up below.
TEST(Stall, EndsTheRunAfterTheTimeOutWithTheMessage) {
    std::vector<TFaultCase> cases = {
        // Exact on a pty: the printer takes no byte of connection 2.
        {"header, pty",
         TLink::Pty,
         3 * kBlock + 100,
         {"--stall", "--stage", "header"},
         "fwdownload: Printer not ready.",
         0,
         "header"},
        // No blocks: the header and the tail's first bytes fill the page, the
        // next tail byte times out.
        {"header, FIFO",
         TLink::Fifo,
         kBlock - 1,
         {"--stall", "--stage", "header"},
         "fwdownload: Printer not ready.",
         0,
         "header"},
        {"tail, FIFO",
         TLink::Fifo,
         kBlock + kBlock - 1,
         {"--stall", "--stage", "tail"},
         "fwdownload: Printer not ready.",
         Offset(kHeader + kBlock),
         "tail"},
        // The checksum fits in the page: the close finds it never taken.
        {"checksum, FIFO",
         TLink::Fifo,
         2 * kBlock + 7,
         {"--stall", "--stage", "checksum"},
         "fwdownload: Time Out.   Printer not ready.",
         Offset(kHeader + 2 * kBlock + 7),
         "checksum"},
    };
    auto outcomes = RunCases(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const TFaultCase &c = cases[i];
        const TOutcome &o = outcomes[i];
        SCOPED_TRACE(c.name);
        ASSERT_EQ(o.failure, "");
        ExpectFailedAt(c, o);
        EXPECT_EQ(o.report.Text("fault.kind"), "ended_early") << o.json;
        double waited = o.EndedAfter(StoppedAt(o));
        EXPECT_GE(waited, kByteTimeOut - 0.05) << "gave up before the time-out";
        // The write's time-out and slack for a busy machine.
        EXPECT_LE(waited, kByteTimeOut + 0.3);
    }
}

// Brief stalls end before the time-out: the download completes, every byte
// once. A block piece may wait long; a tail byte waits at most 300 ms.
TEST(Stall, BriefStallRecoversWithNoByteLostOrDoubled) {
    struct Case {
        const char *name;
        TLink link;
        size_t size;
        std::vector<std::string> options;
        double stall;
    };
    std::vector<Case> cases = {
        {"blocks, pty",
         TLink::Pty,
         60 * kBlock + 77,
         {"--stall-after", "100000", "--stall-for", "1"},
         1},
        {"blocks, FIFO",
         TLink::Fifo,
         60 * kBlock + 77,
         {"--stall-after", "100000", "--stall-for", "1"},
         1},
        {"tail, FIFO",
         TLink::Fifo,
         kBlock + kBlock - 1,
         {"--stall", "--stage", "tail", "--stall-for", "0.1"},
         0.1},
    };
    auto outcomes = RunAll(cases, [](const Case &c) {
        return RunDownload({c.link, c.size, c.options, uint32_t(c.size)});
    });
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case &c = cases[i];
        const TOutcome &o = outcomes[i];
        SCOPED_TRACE(c.name);
        ASSERT_EQ(o.failure, "");
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, Checksum(MakeImage(c.size, uint32_t(c.size))));
        EXPECT_EQ(o.simStatus, 0) << o.json;
        EXPECT_EQ(o.report.Text("verdict"), "verified") << o.json;
        EXPECT_EQ(o.report.Int("transfer.bytes"), Offset(kHeader + c.size + 2)) << o.json;
        EXPECT_GE(o.report.Number("transfer_seconds"), c.stall - 0.02) << "the stall happened";
    }
}

// The progress last shown, in percent.
int LastProgress(const std::string &err) {
    size_t at = err.rfind("progress: ");
    return at == std::string::npos ? -1 : std::stoi(err.substr(at + 10));
}

// A printer that hangs up mid-transfer: the write that meets it fails, and the
// program stops there.
TEST(HangUp, MidTransferFailsAndSendsNothingMore) {
    std::vector<TFaultCase> cases = {
        {"blocks, pty",
         TLink::Pty,
         60 * kBlock + 77,
         {"--hangup-after", "100000"},
         "fwdownload: Time Out.   Printer not ready.",
         100000,
         "blocks"},
        {"blocks, FIFO",
         TLink::Fifo,
         60 * kBlock + 77,
         {"--hangup-after", "100000"},
         "fwdownload: Time Out.   Printer not ready.",
         100000,
         "blocks"},
        // The program is at most a page ahead: a tail byte's write fails.
        {"tail, FIFO",
         TLink::Fifo,
         kBlock + kBlock - 1,
         {"--hangup", "--stage", "tail"},
         "fwdownload: Time Out.  Printer not ready.",
         Offset(kHeader + kBlock),
         "tail"},
    };
    auto outcomes = RunCases(cases);
    for (size_t i = 0; i < cases.size(); ++i) {
        const TFaultCase &c = cases[i];
        const TOutcome &o = outcomes[i];
        SCOPED_TRACE(c.name);
        ASSERT_EQ(o.failure, "");
        ExpectFailedAt(c, o);
        EXPECT_EQ(o.report.Text("ended_by"), "hangup") << o.json;
        // No further sending: the progress stops within the line's buffer
        // (20 KiB at most) of where the printer hung up.
        int hungUpAt = int((c.offset - Offset(kHeader)) * 100 / Offset(c.size));
        EXPECT_LE(LastProgress(o.err), hungUpAt + int((20 * 1024 + kBlock) * 100 / c.size))
            << o.err;
        // A failed write needs no time-out; slack for a busy machine.
        EXPECT_LE(o.EndedAfter(o.report.Number("transfer.last_byte")), 0.3);
    }
}

// After a failed or timed-out write the port is let go at once: what it still
// holds is discarded, not drained, so the run ends with the write's own
// time-out (a stall) or at once (a hang-up).
TEST(Failure, FailedWriteLetsGoOfThePortAtOnce) {
    std::vector<TFaultCase> cases = {
        {"stall at the header, FIFO",
         TLink::Fifo,
         kBlock - 1,
         {"--stall", "--stage", "header"},
         "fwdownload: Printer not ready.",
         0,
         "header"},
        {"hang-up in the blocks, FIFO",
         TLink::Fifo,
         60 * kBlock + 77,
         {"--hangup-after", "100000"},
         "fwdownload: Time Out.   Printer not ready.",
         100000,
         "blocks"},
    };
    auto outcomes = RunCases(cases);
    const double bound[] = {kByteTimeOut + 0.15, 0.15};
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        ASSERT_EQ(outcomes[i].failure, "");
        ExpectFailedAt(cases[i], outcomes[i]);
        EXPECT_LE(outcomes[i].EndedAfter(StoppedAt(outcomes[i])), bound[i]);
    }
}

} // namespace
