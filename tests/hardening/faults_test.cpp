// Faults around a download: signals at each stage, SIGHUP throughout, the
// device gone between the two connections, the port held by another process,
// and a printer that stops. Each must end with its message and status, send
// nothing after the fault (the sim's record), and leave the port free for the
// next download. Independent cases run side by side.
#include "harness.h"

#include <atomic>
#include <functional>
#include <sys/file.h>

namespace hardening {
namespace {

constexpr size_t kBlock = 5120;

Bytes Image(size_t size, unsigned seed) {
    Bytes bytes(size);
    std::mt19937 rng(seed);
    for (auto &b : bytes)
        b = static_cast<unsigned char>(rng());
    return bytes;
}

// Runs the cases on `workers` threads.
void RunSideBySide(const std::vector<std::function<void()>> &cases, int workers) {
    std::atomic<size_t> next{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < cases.size();)
                cases[i]();
        });
    for (auto &t : threads)
        t.join();
}

class Faults : public ::testing::Test {
protected:
    // A fresh sim at `link` takes a whole download: the port was left free.
    void ExpectNextDownloadSucceeds(const std::string &link) {
        std::string image = link + ".next.bin";
        WriteFile(image, Image(2 * kBlock + 9, 99));
        TSim sim({"--link", link, "--min-pause", "0", "--linger", "0", "--expect-image", image});
        ASSERT_FALSE(sim.Ready().empty()) << "the link could not be made again";
        auto env = DownloadEnv(link);
        env["FWD_TEST_PAUSE_MS"] = kTestPause;
        TChild run({FWDOWNLOAD_NOPAUSE, image}, env);
        EXPECT_EQ(run.Wait(), 0) << run.Err();
        EXPECT_EQ(sim.Finish(), 0) << sim.Report();
        fs::remove(image);
    }

    TTempDir dir_{"fwd-faults"};
};

struct TSignalCase {
    const char *stage;
    int signal;
};

// Where the program is stopped: in the pause (the real program, its three
// seconds); blocked on a printer that stalls at the start of the header or the
// blocks (XOFF) and takes data again 1.5 s later; or in the tail, sent byte by
// byte to a slow printer (8000 bytes/s) on a FIFO, whose one-page buffer is
// full by then. (A pty's buffers take up to some 64 KiB when the reader is
// slow, more than the whole tail, so the tail runs on the FIFO.) The signal comes while the
// program's write waits; a single-byte write waits 300 ms, so a signal that comes too late meets
// "Printer not ready." or a finished download instead, and the case is tried again.
TEST_F(Faults, SignalsStopAtEachStageAndNothingMoreIsSent) {
    std::vector<TSignalCase> table;
    for (const char *stage : {"pause", "header", "blocks", "tail"})
        for (int signal : {SIGINT, SIGTERM})
            table.push_back({stage, signal});
    std::vector<std::function<void()>> cases;
    for (const TSignalCase &c : table)
        cases.push_back([this, c] {
            const std::string stage = c.stage, name = stage + "-" + std::to_string(c.signal);
            SCOPED_TRACE("signal " + std::to_string(c.signal) + " at the " + stage);
            const bool pause = stage == "pause";
            // Tail: more blocks than the line buffers, then a tail the program
            // sends byte by byte.
            Bytes bytes = Image(stage == "tail" ? 8 * kBlock + 5119 : 20 * kBlock + 100, c.signal);
            std::string image = dir_ / (name + ".bin"), link = dir_ / (name + ".lp");
            WriteFile(image, bytes);
            // What the program prints just before it reaches the stage.
            std::string marker = pause             ? "Download Software"
                                 : stage == "tail" ? "progress: 80%"
                                                   : "progress: 0%";
            double delay = pause ? 1.0 : stage == "blocks" ? 0.2 : stage == "tail" ? 0.15 : 0.08;
            for (int attempt = 0; attempt < 3; ++attempt) {
                std::vector<std::string> options = {stage == "tail" ? "--fifo" : "--link",
                                                    link,
                                                    "--linger",
                                                    "0",
                                                    "--expect-image",
                                                    image};
                if (pause)
                    options.insert(options.end(), {"--min-pause", "3"});
                else if (stage == "tail")
                    options.insert(options.end(), {"--min-pause", "0", "--rate", "8000"});
                else
                    options.insert(options.end(), {"--min-pause", "0", "--stall", "--stage", stage,
                                                   "--stall-for", "1.5"});
                TSim sim(options);
                ASSERT_FALSE(sim.Ready().empty());
                auto env = DownloadEnv(link);
                env["FWD_TEST_PAUSE_MS"] = kTestPause;
                TChild run({pause ? FWDOWNLOAD : FWDOWNLOAD_NOPAUSE, image}, env);
                ASSERT_TRUE(run.WaitFor(marker, true, 10)) << run.Err();
                std::this_thread::sleep_for(std::chrono::duration<double>(delay));
                auto sent = Clock::now();
                run.Signal(c.signal);
                int status = run.Wait(10);
                double took = std::chrono::duration<double>(run.Ended() - sent).count();
                bool late = status == 0 ||
                            (status == 1 && LastLine(run.Err()).ends_with("Printer not ready."));
                if (late && attempt < 2) {
                    std::printf("%s: the signal came after the stage; again\n", name.c_str());
                    continue;
                }
                EXPECT_EQ(status, 128 + c.signal) << run.Err();
                EXPECT_LT(took, 0.5) << "the program must stop within half a second";
                EXPECT_NE(LastLine(run.Err()).find(std::string("interrupted by ") +
                                                   (c.signal == SIGINT ? "SIGINT" : "SIGTERM")),
                          std::string::npos)
                    << run.Err();
                EXPECT_EQ(run.Out(), "");
                // The stall ends after 1.5 s (or the slow printer goes on) and the
                // sim takes what the line still holds: never more than was sent
                // before the signal.
                // A signal just before the transfer's opening leaves the sim waiting
                // for a connection that never comes.
                if (pause || sim.Finish(6) < 0)
                    sim.Stop();
                std::string report = sim.Report();
                EXPECT_NE(JsonField(report, "verdict"), "verified") << report;
                EXPECT_NE(JsonField(report, "fault.kind"), "wrong_byte") << report;
                if (pause || stage == "header") {
                    // A stall at the header is exact on a pty: not a byte of it went out.
                    EXPECT_EQ(JsonNumber(report, "prelude.bytes"), 5) << report;
                    EXPECT_EQ(JsonNumber(report, "transfer.bytes"), 0) << report;
                } else {
                    // What the line held when the signal came is discarded, so the
                    // printer may have got less than the program had written: a
                    // stream that stops in the image, never its end.
                    std::string got = JsonField(report, "stage");
                    EXPECT_TRUE(got == "blocks" || got == "tail") << report;
                    EXPECT_LT(JsonNumber(report, "image_received"), (long long)bytes.size());
                }
                break;
            }
            ExpectNextDownloadSucceeds(link);
            fs::remove(image);
        });
    RunSideBySide(cases, 4);
}

// A dropped SSH session must not cut a transfer in half: a SIGHUP every few
// milliseconds from the caption to the end, through the real pause, the header,
// the blocks and the tail of a paced transfer, changes nothing.
TEST_F(Faults, HangUpSignalsThroughoutAreIgnored) {
    Bytes bytes = Image(40 * kBlock + 4000, 3);
    std::string image = dir_ / "hup.bin", link = dir_ / "hup.lp";
    WriteFile(image, bytes);
    TSim sim({"--link", link, "--linger", "0", "--expect-image", image, "--rate", "300000"});
    ASSERT_FALSE(sim.Ready().empty());
    TChild run({FWDOWNLOAD, image}, DownloadEnv(link));
    // From the window's caption on: the handlers are in place by then (before,
    // SIGHUP would end it as it would end any process).
    ASSERT_TRUE(run.WaitFor("Download Software", true, 10));
    std::atomic<bool> done{false};
    std::atomic<int> sent{0};
    std::thread storm([&] {
        while (!done) {
            run.Signal(SIGHUP);
            ++sent;
            std::this_thread::sleep_for(2ms);
        }
    });
    int status = run.Wait(30);
    done = true;
    storm.join();
    EXPECT_GT(sent.load(), 1000);
    EXPECT_EQ(status, 0) << run.Err();
    EXPECT_EQ(run.Out(), FinishText(Checksum(bytes)));
    EXPECT_EQ(sim.Finish(), 0);
    // Verified includes the pause: at least the sim's default three seconds.
    EXPECT_EQ(JsonField(sim.Report(), "verdict"), "verified") << sim.Report();
}

// The device goes away during the pause: the second opening fails, and the
// printer got the prelude and nothing else.
TEST_F(Faults, DeviceGoneBetweenTheConnections) {
    std::string image = dir_ / "gone.bin", link = dir_ / "gone.lp";
    WriteFile(image, Image(3 * kBlock, 4));
    TSim sim({"--link", link, "--linger", "0"});
    ASSERT_FALSE(sim.Ready().empty());
    TChild run({FWDOWNLOAD, image}, DownloadEnv(link));
    ASSERT_TRUE(run.WaitFor("Download Software", true, 10));
    std::this_thread::sleep_for(1s); // inside the three seconds
    fs::remove(link);
    EXPECT_EQ(run.Wait(10), 1);
    EXPECT_EQ(LastLine(run.Err()), "fwdownload: Open LPT1 fault.");
    EXPECT_EQ(run.Out(), "");
    sim.Stop();
    EXPECT_EQ(JsonNumber(sim.Report(), "connections"), 1) << sim.Report();
    EXPECT_EQ(JsonNumber(sim.Report(), "prelude.bytes"), 5) << sim.Report();
    EXPECT_EQ(JsonNumber(sim.Report(), "transfer.bytes"), 0) << sim.Report();
    ExpectNextDownloadSucceeds(link);
}

// Another process holds the device's lock: the program fails at once without
// writing a byte, and once the holder lets go the port works.
TEST_F(Faults, PortHeldByAnotherProcess) {
    std::string image = dir_ / "held.bin", link = dir_ / "held.lp";
    WriteFile(image, Image(3 * kBlock, 5));
    TSim sim({"--link", link, "--linger", "0", "--min-pause", "0"});
    std::string device = sim.Ready();
    ASSERT_FALSE(device.empty());
    int ready[2];
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0 && flock(fd, LOCK_EX) == 0 && write(ready[1], "L", 1) == 1)
            pause(); // until killed
        _exit(1);
    }
    ASSERT_GT(holder, 0);
    close(ready[1]);
    char c = 0;
    bool locked = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (locked) {
        auto env = DownloadEnv(link);
        env["FWD_TEST_PAUSE_MS"] = kTestPause;
        TChild run({FWDOWNLOAD_NOPAUSE, image}, env);
        EXPECT_EQ(run.Wait(10), 1);
        EXPECT_EQ(LastLine(run.Err()), "fwdownload-nopause: Open LPT1 fault.");
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    ASSERT_TRUE(locked) << "the holder could not lock " << device;
    // The holder's own opening was the sim's only connection, and it carried nothing.
    sim.Finish(10);
    EXPECT_EQ(JsonNumber(sim.Report(), "prelude.bytes"), 0) << sim.Report();
    ExpectNextDownloadSucceeds(link);
}

// A printer that stops taking data for longer than a write may wait: the
// program gives up with "Printer not ready." and sends nothing after the byte
// that timed out, so when the printer takes data again it gets nothing more.
// (At the header, where a stall is exact on a pty; later on, the line may
// already hold the rest of a short image when the XOFF comes.)
TEST_F(Faults, NothingIsSentAfterAWriteTimesOut) {
    Bytes bytes = Image(4 * kBlock + 5119, 6);
    std::string image = dir_ / "stall.bin", link = dir_ / "stall.lp";
    WriteFile(image, bytes);
    TSim sim({"--link", link, "--linger", "0", "--min-pause", "0", "--expect-image", image,
              "--stall", "--stage", "header", "--stall-for", "1.2"});
    ASSERT_FALSE(sim.Ready().empty());
    auto env = DownloadEnv(link);
    env["FWD_TEST_PAUSE_MS"] = kTestPause;
    TChild run({FWDOWNLOAD_NOPAUSE, image}, env);
    EXPECT_EQ(run.Wait(10), 1);
    EXPECT_EQ(LastLine(run.Err()), "fwdownload-nopause: Printer not ready.");
    EXPECT_EQ(sim.Finish(10), 1);
    std::string report = sim.Report();
    EXPECT_EQ(JsonField(report, "fault.kind"), "ended_early") << report;
    EXPECT_EQ(JsonNumber(report, "transfer.bytes"), 0) << report;
    ExpectNextDownloadSucceeds(link);
}

} // namespace
} // namespace hardening
