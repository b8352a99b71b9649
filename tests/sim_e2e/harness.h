// The real program against the simulated printer, each pair in a temporary
// folder of its own that goes with everything in it, children included.
#pragma once

#include "../support/process.h"
#include "report.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim_e2e {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = 5120;
constexpr size_t kHeader = 17; // connection 2 offset of the first image byte

// The simulated printer stamps its report with CLOCK_MONOTONIC seconds, the
// clock steady_clock reads.
inline double Monotonic(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

class TTempDir {
public:
    TTempDir() {
        std::string pattern = (fs::temp_directory_path() / "fwd-sim-e2e-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TTempDir(const TTempDir &) = delete;
    TTempDir &operator=(const TTempDir &) = delete;
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// Image bytes from a seed: every byte value, LF, CR, XON and XOFF included.
inline Bytes MakeImage(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes image(size);
    for (auto &b : image)
        b = static_cast<unsigned char>(random());
    return image;
}

inline void WriteFile(const std::string &path, const Bytes &bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!file.flush())
        throw std::runtime_error("cannot write " + path);
}

inline Bytes ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Pumps `process`'s output until `done()` holds or it ends; false when it
// ended (or the time ran out) first.
inline bool WaitUntil(TProcess &process, const std::function<bool()> &done, double seconds) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (process.Wait(0.01) >= 0 || Clock::now() > end)
            return done();
    }
    return true;
}

enum class TLink { Pty, Fifo };
inline const char *Name(TLink link) {
    return link == TLink::Pty ? "pty" : "fifo";
}

// printer-sim listening on a pty link or a FIFO in `dir`.
class TPrinter {
public:
    TPrinter(const TTempDir &dir, TLink link, const std::vector<std::string> &options)
        : device_(dir / "printer") {
        std::vector<std::string> argv = {PRINTER_SIM, link == TLink::Pty ? "--link" : "--fifo",
                                         device_,     "--json",
                                         "--timeout", "40"};
        argv.insert(argv.end(), options.begin(), options.end());
        sim_ = std::make_unique<TProcess>(argv);
        if (!WaitUntil(
                *sim_, [&] { return sim_->Out().find('\n') != std::string::npos; }, 10) ||
            sim_->Out().rfind("ready: ", 0) != 0)
            throw std::runtime_error("printer-sim did not start: " + sim_->Out() + sim_->Err());
    }
    const std::string &Device() const { return device_; }

    // Waits for the end of the run; the report is the last line of stdout.
    void Finish(double seconds = 15) {
        status_ = sim_->Wait(seconds);
        std::string out = sim_->Out();
        while (!out.empty() && out.back() == '\n')
            out.pop_back();
        std::string last = out.substr(out.rfind('\n') + 1);
        if (status_ < 0 || last.empty() || last[0] != '{')
            throw std::runtime_error("no report from printer-sim (status " +
                                     std::to_string(status_) + "): " + sim_->Out() + sim_->Err());
        report_ = TReport(last);
        json_ = last;
    }
    int Status() const { return status_; }
    const TReport &Report() const { return report_; }
    const std::string &Json() const { return json_; }
    TProcess &Process() { return *sim_; }

private:
    std::string device_;
    std::unique_ptr<TProcess> sim_;
    int status_ = -1;
    TReport report_;
    std::string json_;
};

inline std::unique_ptr<TProcess> StartDownload(const std::string &device,
                                               const std::string &image) {
    return std::make_unique<TProcess>(
        std::vector<std::string>{FWDOWNLOAD, image},
        std::map<std::string, const char *>{{"DOSDEV_LPT1", device.c_str()},
                                            {"FWDOWNLOAD_FRONTEND", "terminal"}});
}

// One download from start to end, and what both sides said.
struct TOutcome {
    int status = -1;
    std::string out, err;
    Clock::time_point ended;
    int simStatus = -1;
    TReport report;
    std::string json;
    std::string failure; // set when the run itself could not be made

    // Seconds from a report time (monotonic seconds) to the program's end.
    double EndedAfter(double monotonic) const { return Monotonic(ended) - monotonic; }
    // What the program said last on stderr.
    std::string LastError() const {
        std::string text = err;
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text.substr(text.rfind('\n') + 1);
    }
};

struct TDownload {
    TLink link = TLink::Pty;
    size_t size = 0;
    std::vector<std::string> options; // for printer-sim, besides --expect-image
    uint32_t seed = 1;
};

inline TOutcome RunDownload(const TDownload &d) {
    TOutcome o;
    try {
        TTempDir dir;
        std::string image = dir / "image.bin";
        WriteFile(image, MakeImage(d.size, d.seed));
        std::vector<std::string> options = {"--expect-image", image};
        options.insert(options.end(), d.options.begin(), d.options.end());
        TPrinter printer(dir, d.link, options);
        auto program = StartDownload(printer.Device(), image);
        o.status = program->Wait(90);
        o.ended = Clock::now();
        o.out = program->Out();
        o.err = program->Err();
        program.reset();
        printer.Finish();
        o.simStatus = printer.Status();
        o.report = printer.Report();
        o.json = printer.Json();
    } catch (const std::exception &e) {
        o.failure = e.what();
    }
    return o;
}

// Runs every case at once (each run spends three seconds in the program's
// pause) and returns the outcomes in order.
template <typename Case, typename Run> auto RunAll(const std::vector<Case> &cases, Run run) {
    std::vector<std::future<decltype(run(cases.front()))>> pending;
    for (const Case &c : cases)
        pending.push_back(std::async(std::launch::async, run, std::cref(c)));
    std::vector<decltype(run(cases.front()))> outcomes;
    for (auto &p : pending)
        outcomes.push_back(p.get());
    return outcomes;
}

inline std::string Checksum(const Bytes &image) {
    unsigned sum = 0;
    for (unsigned char b : image)
        sum += b;
    char text[32];
    std::snprintf(text, sizeof text, "Checksum: %04X\nFinish\n", sum & 0xFFFF);
    return text;
}

} // namespace sim_e2e
