// Random images through the whole program to the simulated printer: every one
// must arrive byte for byte. Sizes cluster at the block boundaries; contents
// mix random bytes with the ones a line could translate or act on.
#include "harness.h"

#include <atomic>
#include <mutex>

namespace hardening {
namespace {

constexpr size_t kBlock = 5120;

struct TImageCase {
    size_t index;
    size_t size;
    const char *content;
    Bytes bytes;
};

// Image `index` of the run seeded with `seed`: the same pair gives the same image.
TImageCase MakeImage(std::uint64_t seed, size_t index) {
    std::mt19937_64 rng(seed ^ (0x9E3779B97F4A7C15ull * (index + 1)));
    auto below = [&rng](size_t n) { return size_t(rng() % n); };
    TImageCase c{index, 0, "", {}};
    switch (below(10)) {
    case 0: // a few bytes
        c.size = below(64);
        break;
    case 1:
    case 2: // anywhere up to 300 KiB
        c.size = below(300 * 1024);
        break;
    default: { // a block boundary, give or take a few bytes
        long blocks = long(below(61)), delta = long(below(9)) - 4;
        c.size = size_t(std::max(0L, blocks * long(kBlock) + delta));
    }
    }
    // CR, LF, XON, XOFF, the control characters a cooked line acts on, and the
    // prelude's own bytes.
    static const unsigned char special[] = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x1A, 0x1C,
                                            0x7F, 0x7E, 0x4E, 0x4F, 0x00, 0xFF, 0x08, 0x15};
    c.bytes.resize(c.size);
    switch (below(4)) {
    case 0:
        c.content = "special bytes";
        for (auto &b : c.bytes)
            b = special[below(sizeof special)];
        break;
    case 1: {
        c.content = "one byte repeated";
        unsigned char value = below(2) ? 0xFF : special[below(sizeof special)];
        std::fill(c.bytes.begin(), c.bytes.end(), value);
        break;
    }
    default:
        c.content = "random bytes";
        for (auto &b : c.bytes)
            b = static_cast<unsigned char>(rng());
    }
    return c;
}

std::string Describe(const TImageCase &c) {
    return "image " + std::to_string(c.index) + " (" + std::to_string(c.size) + " bytes, " +
           c.content + ")";
}

// Sends one image with `program` to a fresh sim; "" when it verified, else why not.
std::string SendOne(const TTempDir &dir, const std::string &program, const TImageCase &c,
                    const std::vector<std::string> &simOptions,
                    const std::map<std::string, std::string> &extraEnv = {}) {
    std::string stem = "img" + std::to_string(c.index);
    std::string image = dir / (stem + ".bin"), link = dir / (stem + ".lp");
    WriteFile(image, c.bytes);
    std::vector<std::string> args = {"--link", link, "--expect-image", image};
    args.insert(args.end(), simOptions.begin(), simOptions.end());
    std::string failure;
    {
        TSim sim(args);
        if (sim.Ready().empty())
            return Describe(c) + ": the sim did not start: " + sim.Child().Out();
        auto env = DownloadEnv(link);
        env.insert(extraEnv.begin(), extraEnv.end());
        TChild run({program, image}, env);
        int status = run.Wait(60);
        int simStatus = sim.Finish(30);
        std::string report = sim.Report();
        if (status != 0 || run.Out() != FinishText(Checksum(c.bytes)))
            failure += " program exit " + std::to_string(status) + ", stdout [" + run.Out() +
                       "], stderr [" + LastLine(run.Err()) + "];";
        if (simStatus != 0 || JsonField(report, "verdict") != "verified" ||
            JsonNumber(report, "image_received") != static_cast<long long>(c.size))
            failure += " sim exit " + std::to_string(simStatus) + ": " + report;
    }
    fs::remove(image);
    return failure.empty() ? "" : Describe(c) + ":" + failure;
}

// Runs `count` images from `first` on `workers` threads; the failures.
std::vector<std::string> SendMany(std::uint64_t seed, size_t first, size_t count, int workers,
                                  const std::string &program,
                                  const std::vector<std::string> &simOptions,
                                  const std::map<std::string, std::string> &extraEnv = {}) {
    TTempDir dir;
    std::atomic<size_t> next{first};
    std::mutex mutex;
    std::vector<std::string> failures;
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w)
        threads.emplace_back([&] {
            for (size_t i; (i = next++) < first + count;) {
                std::string failure =
                    SendOne(dir, program, MakeImage(seed, i), simOptions, extraEnv);
                if (!failure.empty()) {
                    std::lock_guard<std::mutex> lock(mutex);
                    failures.push_back(failure);
                }
            }
        });
    for (auto &t : threads)
        t.join();
    return failures;
}

std::string Join(const std::vector<std::string> &lines) {
    std::string text;
    for (const auto &l : lines)
        text += l + "\n";
    return text;
}

TEST(RandomStreams, TwoHundredImagesArriveByteForByte) {
    std::uint64_t seed = TestSeed();
    // Three at a time: each mostly waits out the test build's short pause.
    auto failures =
        SendMany(seed, 0, 200, 3, FWDOWNLOAD_NOPAUSE, {"--min-pause", "0", "--linger", "0"},
                 {{"FWD_TEST_PAUSE_MS", kTestPause}});
    EXPECT_TRUE(failures.empty()) << failures.size() << " of 200 failed; replay with "
                                  << "FWD_HARDENING_SEED=" << seed << "\n"
                                  << Join(failures);
}

TEST(RandomStreams, TheRealProgramWithItsPause) {
    std::uint64_t seed = TestSeed();
    // Four images in parallel, each with the real three-second pause, which the
    // sim checks (its default minimum).
    auto failures = SendMany(seed, 1000, 4, 4, FWDOWNLOAD, {"--linger", "0"});
    EXPECT_TRUE(failures.empty()) << "replay with FWD_HARDENING_SEED=" << seed << "\n"
                                  << Join(failures);
}

} // namespace
} // namespace hardening
