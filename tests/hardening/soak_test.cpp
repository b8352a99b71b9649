// A hundred downloads in a row, successes and every kind of failure in turn:
// afterwards nothing may be left behind, neither descriptors in this process,
// nor children, nor a lock on the device, nor files in the temporary folder.
#include "harness.h"

#include <dirent.h>
#include <set>

namespace hardening {
namespace {

// This process's open descriptors, each with what it refers to.
std::set<std::string> OpenDescriptors() {
    std::set<std::string> open;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return open;
    int own = dirfd(dir);
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own)
            continue;
        std::error_code error;
        auto target = fs::read_symlink(fs::path("/proc/self/fd") / entry->d_name, error);
        open.insert(std::string(entry->d_name) + " -> " + target.string());
    }
    closedir(dir);
    return open;
}

enum class Kind { Success, OpenFault, MissingImage, Stall, HangUp };

struct TOutcome {
    int status;
    std::string lastLine, out, report;
};

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        // Larger than what a pty buffers, so that a hang-up in the blocks is met
        // by a write, not absorbed by the line.
        image_.resize(40 * 5120 + 100);
        std::mt19937 rng(7);
        for (auto &b : image_)
            b = static_cast<unsigned char>(rng());
        imagePath_ = work_ / "fw.bin";
        WriteFile(imagePath_, image_);
    }

    // One download of `kind` to a fresh sim at the same link, as a technician
    // retrying on one port would.
    TOutcome Run(Kind kind, int round) {
        std::string link = work_ / "lp";
        std::vector<std::string> options = {"--link", link, "--min-pause", "0", "--linger", "0"};
        std::string image = imagePath_;
        if (kind == Kind::MissingImage)
            image = work_ / "missing.bin";
        // A stall at the header is exact on a pty (nothing gets through); later
        // ones leave what the line buffered before the XOFF, see printer/README.md.
        if (kind == Kind::Stall)
            options.insert(options.end(), {"--stall", "--stage", "header"});
        // In the blocks: a hang-up that the sim sees at the opening races the
        // header's first writes, so which message comes would depend on timing.
        if (kind == Kind::HangUp && round % 2)
            options.insert(options.end(), {"--hangup", "--stage", "blocks"});
        else if (kind == Kind::HangUp)
            options.insert(options.end(), {"--hangup-after", std::to_string(17 + 7 * 5120 + 100)});
        auto env = DownloadEnv(link, tmp_.Path().string());
        env["FWD_TEST_PAUSE_MS"] = kTestPause;
        if (kind == Kind::OpenFault) {
            env["DOSDEV_LPT1"] = work_ / "absent";
            TChild run({FWDOWNLOAD_NOPAUSE, image}, env);
            int status = run.Wait();
            return {status, LastLine(run.Err()), run.Out(), ""};
        }
        TSim sim(options, {{"TMPDIR", tmp_.Path().string()}});
        EXPECT_FALSE(sim.Ready().empty()) << sim.Child().Out();
        TChild run({FWDOWNLOAD_NOPAUSE, image}, env);
        int status = run.Wait();
        if (kind == Kind::MissingImage)
            sim.Stop(); // it waits for a transfer that will not come
        else
            sim.Finish();
        return {status, LastLine(run.Err()), run.Out(), sim.Report()};
    }

    TTempDir work_{"fwd-soak"}, tmp_{"fwd-soak-tmp"};
    Bytes image_;
    std::string imagePath_;
};

TEST_F(Soak, HundredDownloadsLeaveNothingBehind) {
    const auto before = OpenDescriptors();
    const std::string program = "fwdownload-nopause: ";
    for (int round = 0; round < 100; ++round) {
        Kind kind = static_cast<Kind>(round % 5);
        TOutcome o = Run(kind, round / 5);
        SCOPED_TRACE("download " + std::to_string(round) + ": " + o.lastLine + " " + o.report);
        switch (kind) {
        case Kind::Success:
            EXPECT_EQ(o.status, 0);
            EXPECT_EQ(o.out, FinishText(Checksum(image_)));
            EXPECT_EQ(JsonField(o.report, "verdict"), "verified");
            break;
        case Kind::OpenFault:
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.lastLine, program + "Open LPT1 fault.");
            break;
        case Kind::MissingImage:
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.lastLine, program + "Cannot open file " + (work_ / "missing.bin") + ".");
            EXPECT_EQ(JsonNumber(o.report, "prelude.bytes"), 5);
            EXPECT_EQ(JsonNumber(o.report, "connections"), 1);
            break;
        case Kind::Stall:
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.lastLine, program + "Printer not ready.");
            EXPECT_EQ(JsonNumber(o.report, "transfer.bytes"), 0);
            EXPECT_EQ(JsonField(o.report, "fault.kind"), "ended_early");
            break;
        case Kind::HangUp:
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.lastLine, program + "Time Out.   Printer not ready.");
            EXPECT_EQ(JsonField(o.report, "ended_by"), "hangup");
            break;
        }
        if (HasFailure())
            break; // the first failing download says enough
    }
    // The port is free: one more download goes through.
    TOutcome last = Run(Kind::Success, 0);
    EXPECT_EQ(last.status, 0) << last.lastLine << last.report;
    EXPECT_EQ(JsonField(last.report, "verdict"), "verified") << last.report;

    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left running";
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(tmp_.Path()))
        left.push_back(entry.path().filename().string());
    EXPECT_TRUE(left.empty()) << "left in the temporary folder: " << left.front();
    EXPECT_FALSE(fs::exists(fs::symlink_status(work_ / "lp"))) << "the sim's link is gone";
}

} // namespace
} // namespace hardening
