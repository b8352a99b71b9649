// Downloads that must succeed, checked on both sides: what the program says
// and the simulated printer's verdict on every byte.
#include "harness.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace sim_e2e;
using Offset = long long;

namespace {

// The progress lines a non-tty stderr got, as percentages.
std::vector<int> ProgressLines(const std::string &err) {
    std::vector<int> percents;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("progress: ", 0) == 0)
            percents.push_back(std::stoi(line.substr(10)));
    return percents;
}

const std::vector<int> kEveryTenPoints = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};

void ExpectVerified(const TPrinter &printer, size_t size) {
    const TReport &r = printer.Report();
    EXPECT_EQ(printer.Status(), 0) << printer.Json();
    EXPECT_EQ(r.Text("verdict"), "verified") << printer.Json();
    EXPECT_EQ(r.Int("connections"), 2) << printer.Json();
    EXPECT_EQ(r.Int("image_received"), (long long)size);
    EXPECT_EQ(r.Int("transfer.bytes"), (long long)(kHeader + size + 2));
}

TEST(Download, EveryByteArrivesForEverySizeOnBothLinks) {
    // Empty, one byte, the tail's edges, sizes from a fixed seed, and several
    // MiB (hundreds of blocks).
    std::vector<size_t> sizes = {0, 1, kBlock - 1, kBlock, kBlock + 1, 3 * 1048576 + 1234};
    std::mt19937 random(20240611);
    for (int i = 0; i < 3; ++i)
        sizes.push_back(std::uniform_int_distribution<size_t>(2, 40 * kBlock)(random));

    std::vector<TDownload> cases;
    for (TLink link : {TLink::Pty, TLink::Fifo})
        for (size_t size : sizes)
            cases.push_back({link, size, {}, uint32_t(size + 7)});
    auto outcomes = RunAll(cases, RunDownload);

    for (size_t i = 0; i < cases.size(); ++i) {
        const TDownload &c = cases[i];
        const TOutcome &o = outcomes[i];
        SCOPED_TRACE(std::string(Name(c.link)) + ", " + std::to_string(c.size) + " bytes");
        ASSERT_EQ(o.failure, "");
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, Checksum(MakeImage(c.size, c.seed)));
        if (c.size > 0) { // an empty image's gauge has no range and stays at 0 %
            EXPECT_EQ(o.LastError(), "progress: 100%") << o.err;
        }
        EXPECT_EQ(o.simStatus, 0) << o.json;
        EXPECT_EQ(o.report.Text("verdict"), "verified") << o.json;
        EXPECT_EQ(o.report.Int("connections"), 2) << o.json;
        EXPECT_EQ(o.report.Int("transfer.bytes"), (long long)(kHeader + c.size + 2)) << o.json;
    }
}

// A second program on the port while the first is sending fails at its first
// open, before its pause, and the first goes on untouched.
TEST(Download, SecondProgramOnABusyPortFailsAndTheFirstCompletes) {
    struct Outcome {
        std::string failure;
        int firstStatus = -1, secondStatus = -1;
        std::string firstOut, secondOut, secondErr;
        double secondSeconds = 0;
        bool firstRunning = false; // still sending when the second had ended
        std::unique_ptr<TPrinter> printer;
        Bytes image;
    };
    auto run = [](const TLink &link) {
        Outcome o;
        try {
            TTempDir dir;
            o.image = MakeImage(8 * kBlock + 123, 5);
            std::string image = dir / "image.bin";
            WriteFile(image, o.image);
            // Paced so that the first is still sending a second or more after it started.
            o.printer = std::make_unique<TPrinter>(
                dir, link, std::vector<std::string>{"--expect-image", image, "--rate", "20000"});
            auto first = StartDownload(o.printer->Device(), image);
            if (!WaitUntil(
                    *first, [&] { return first->Err().find("progress: 10%") != std::string::npos; },
                    20))
                throw std::runtime_error("the first never got into the transfer: " + first->Err());
            auto second = StartDownload(o.printer->Device(), image);
            o.secondStatus = second->Wait(10);
            o.secondSeconds = second->Seconds();
            o.secondOut = second->Out();
            o.secondErr = second->Err();
            o.firstRunning = first->Wait(0) < 0;
            o.firstStatus = first->Wait(30);
            o.firstOut = first->Out();
            o.printer->Finish();
        } catch (const std::exception &e) {
            o.failure = e.what();
        }
        return o;
    };
    std::vector<TLink> links = {TLink::Pty, TLink::Fifo};
    auto outcomes = RunAll(links, run);
    for (size_t i = 0; i < links.size(); ++i) {
        Outcome &o = outcomes[i];
        SCOPED_TRACE(Name(links[i]));
        ASSERT_EQ(o.failure, "");
        EXPECT_EQ(o.secondStatus, 1);
        EXPECT_EQ(o.secondOut, "");
        EXPECT_NE(o.secondErr.find("fwdownload: Open LPT1 fault.\n"), std::string::npos)
            << o.secondErr;
        EXPECT_LT(o.secondSeconds, 2.5)
            << "the second must fail at its first open, not after its pause";
        EXPECT_TRUE(o.firstRunning) << "the second ended while the first was sending";
        EXPECT_EQ(o.firstStatus, 0);
        EXPECT_EQ(o.firstOut, Checksum(o.image));
        ExpectVerified(*o.printer, o.image.size());
    }
}

// A link paced like a slow serial line: the download completes and a non-tty
// stderr gets one line per 10 points, shown while the transfer runs.
TEST(Download, PacedLinkCompletesWithProgressInTenPointSteps) {
    struct Outcome {
        std::string failure;
        int status = -1;
        std::string out, err;
        bool halfwayWhileRunning = false;
        std::unique_ptr<TPrinter> printer;
        Bytes image;
    };
    auto run = [](const TLink &link) {
        Outcome o;
        try {
            TTempDir dir;
            o.image = MakeImage(12 * kBlock + 3000, 9); // each block under 10 points
            std::string image = dir / "image.bin";
            WriteFile(image, o.image);
            o.printer = std::make_unique<TPrinter>(
                dir, link, std::vector<std::string>{"--expect-image", image, "--rate", "30000"});
            auto program = StartDownload(o.printer->Device(), image);
            o.halfwayWhileRunning =
                WaitUntil(
                    *program,
                    [&] { return program->Err().find("progress: 50%") != std::string::npos; },
                    30) &&
                program->Wait(0) < 0;
            o.status = program->Wait(30);
            o.out = program->Out();
            o.err = program->Err();
            o.printer->Finish();
        } catch (const std::exception &e) {
            o.failure = e.what();
        }
        return o;
    };
    std::vector<TLink> links = {TLink::Pty, TLink::Fifo};
    auto outcomes = RunAll(links, run);
    for (size_t i = 0; i < links.size(); ++i) {
        Outcome &o = outcomes[i];
        SCOPED_TRACE(Name(links[i]));
        ASSERT_EQ(o.failure, "");
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, Checksum(o.image));
        EXPECT_EQ(ProgressLines(o.err), kEveryTenPoints) << o.err;
        EXPECT_TRUE(o.halfwayWhileRunning) << "progress must show while the transfer runs";
        ExpectVerified(*o.printer, o.image.size());
    }
}

// A capture made through a regular file decodes as the download it is; a
// damaged copy fails at the first wrong byte.
TEST(Capture, DecodeFindsTheFirstWrongByte) {
    TTempDir dir;
    const Bytes image = MakeImage(3 * kBlock + 100, 11);
    const std::string imagePath = dir / "image.bin", capturePath = dir / "capture.bin";
    WriteFile(imagePath, image);
    WriteFile(capturePath, {});
    auto program = StartDownload(capturePath, imagePath);
    ASSERT_EQ(program->Wait(30), 0) << program->Err();
    EXPECT_EQ(program->Out(), Checksum(image));
    const Bytes capture = ReadFile(capturePath);
    ASSERT_EQ(capture.size(), 5 + kHeader + image.size() + 2);

    const size_t imageOffset = 7000, checksumOffset = kHeader + image.size();
    struct Case {
        const char *name;
        std::function<void(Bytes &)> damage;
        bool expectImage;
        // What the report says; offsets are in connection 2.
        const char *verdict, *kind;
        long long offset, got; // got -1: none
    } cases[] = {
        {"intact", [](Bytes &) {}, true, "verified", "", 0, 0},
        {"image byte changed", [&](Bytes &c) { c[5 + kHeader + imageOffset] ^= 0x01; }, true,
         "failed", "wrong_byte", Offset(kHeader + imageOffset), image[imageOffset] ^ 0x01},
        // Without the image only the checksum shows the change.
        {"image byte changed, no image", [&](Bytes &c) { c[5 + kHeader + imageOffset] ^= 0x01; },
         false, "failed", "wrong_byte", Offset(checksumOffset), capture[5 + checksumOffset]},
        // What a line left cooked does to the start command's LF.
        {"CR before LF", [](Bytes &c) { c.insert(c.begin() + 5 + 9, 0x0D); }, true, "failed",
         "wrong_byte", 9, 0x0D},
        {"last byte cut", [](Bytes &c) { c.pop_back(); }, true, "failed", "ended_early",
         Offset(checksumOffset + 1), -1},
        {"byte after the checksum", [](Bytes &c) { c.push_back(0x0D); }, true, "failed",
         "extra_byte", Offset(checksumOffset + 2), 0x0D},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes copy = capture;
        c.damage(copy);
        std::string path = dir / "copy.bin";
        WriteFile(path, copy);
        std::vector<std::string> argv = {PRINTER_SIM, "--decode", path, "--json"};
        if (c.expectImage)
            argv.insert(argv.end(), {"--expect-image", imagePath});
        TProcess sim(argv);
        int status = sim.Wait(20);
        std::string json = sim.Out().substr(0, sim.Out().find_last_not_of('\n') + 1);
        json = json.substr(json.rfind('\n') + 1);
        TReport r(json);
        EXPECT_EQ(r.Text("verdict"), c.verdict) << json;
        if (std::string(c.verdict) == "verified") {
            EXPECT_EQ(status, 0) << json;
            EXPECT_TRUE(r.IsNull("fault")) << json;
            continue;
        }
        EXPECT_EQ(status, 1) << json;
        EXPECT_EQ(r.Text("fault.kind"), c.kind) << json;
        EXPECT_EQ(r.Int("fault.connection"), 2) << json;
        EXPECT_EQ(r.Int("fault.offset"), c.offset) << json;
        if (c.got < 0) {
            EXPECT_TRUE(r.IsNull("fault.got")) << json;
        } else {
            EXPECT_EQ(r.Int("fault.got"), c.got) << json;
        }
        if (std::string(c.name) == "image byte changed") {
            EXPECT_EQ(r.Int("fault.image_offset"), Offset(imageOffset)) << json;
        }
    }
}

} // namespace
