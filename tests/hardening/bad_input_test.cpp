// Images and paths a technician can get wrong: each ends with its message and
// exit status, sends the printer nothing past the prelude when the image cannot
// be loaded, and leaves the image file as it was. The table of what happened
// is written to docs/bad-input.md.
#include "harness.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <sys/inotify.h>

namespace hardening {
namespace {

constexpr long long kLimit = 32767LL * 5120 + 5119;
const std::string kTooLarge = "Image too large: the transfer header describes at most 167772159 "
                              "bytes, that is 32767 blocks of 5120 and a 5119-byte tail.";
const std::string kProgram = "fwdownload-nopause: ";

enum class Sent { PreludeOnly, Image, Either };

struct TCase {
    std::string name;
    std::vector<std::string> args; // the program's arguments
    std::string watched;           // the image file that must not change ("": none)
    std::string expectImage;       // the bytes the printer must get, for Sent::Image
    int status = 1;
    std::string message; // stderr's last line, or "" for a completed download
    Sent sent = Sent::PreludeOnly;
    bool asNobody = false;
    std::function<void(std::atomic<bool> &)> helper = {}; // runs beside the download
    // Extra checks, given the exit status, stderr's last line and the image bytes
    // the printer got; "" when they pass.
    std::function<std::string(int, const std::string &, const std::string &)> judge = {};
};

struct TResult {
    int status = -1;
    std::string lastLine, out, report, problems;
    bool skipped = false, unchanged = true;
};

struct TFileState {
    std::int64_t mtime = 0, size = -1;
    std::uint64_t hash = 0;
    bool operator==(const TFileState &) const = default;
};

TFileState StateOf(const std::string &path) {
    struct stat st = {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    return {std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec, st.st_size,
            S_ISREG(st.st_mode) ? HashFile(path) : 0};
}

Bytes Pattern(size_t size, unsigned seed) {
    Bytes bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<unsigned char>(x);
    }
    return bytes;
}

class BadInput : public ::testing::Test {
protected:
    TResult Run(const TCase &c, const std::string &id) {
        TResult r;
        if (c.asNobody && (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)) {
            r.skipped = true;
            return r;
        }
        TFileState before = c.watched.empty() ? TFileState() : StateOf(c.watched);
        std::string link = dir_ / ("lp-" + id);
        std::vector<std::string> simArgs = {"--link", link, "--min-pause", "0", "--linger", "0"};
        if (!c.expectImage.empty())
            simArgs.insert(simArgs.end(), {"--expect-image", c.expectImage});
        std::string saved = dir_ / ("saved-" + id);
        if (c.judge)
            simArgs.insert(simArgs.end(), {"--save-image", saved});
        TSim sim(simArgs);
        std::string device = sim.Ready();
        if (device.empty()) {
            r.problems = "the sim did not start";
            return r;
        }
        std::vector<std::string> argv = {FWDOWNLOAD_NOPAUSE};
        if (c.asNobody) {
            // The program as an ordinary user who may use the port.
            chmod(device.c_str(), 0666);
            argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                    FWDOWNLOAD_NOPAUSE};
        }
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto env = DownloadEnv(link);
        env["FWD_TEST_PAUSE_MS"] = kTestPause;
        std::atomic<bool> stop{false};
        std::thread helper;
        if (c.helper)
            helper = std::thread(c.helper, std::ref(stop));
        {
            TChild run(argv, env);
            r.status = run.Wait(120);
            stop = true;
            if (helper.joinable())
                helper.join();
            if (r.status == 0)
                sim.Finish(60);
            else
                sim.Stop();
            r.lastLine = LastLine(run.Err());
            r.out = run.Out();
            r.report = sim.Report();
            if (c.judge)
                r.problems += c.judge(r.status, r.lastLine, saved);
        }
        if (!c.watched.empty() && !(StateOf(c.watched) == before)) {
            r.unchanged = false;
            r.problems += " the image file was modified;";
        }
        std::error_code ignored;
        fs::remove(saved, ignored);

        if (r.status != c.status && c.sent != Sent::Either)
            r.problems += " exit " + std::to_string(r.status) + ";";
        if (!c.message.empty() && r.lastLine != kProgram + c.message)
            r.problems += " message [" + r.lastLine + "];";
        bool prelude = JsonNumber(r.report, "connections") == 1 &&
                       JsonNumber(r.report, "prelude.bytes") == 5 &&
                       JsonNumber(r.report, "transfer.bytes") == 0;
        bool verified = JsonField(r.report, "verdict") == "verified";
        if (c.sent == Sent::PreludeOnly && !prelude)
            r.problems += " the printer got more or less than the prelude: " + r.report + ";";
        if (c.sent == Sent::Image && !verified)
            r.problems += " the image did not verify: " + r.report + ";";
        if (c.sent == Sent::Either && !(r.status == 0 ? verified : prelude))
            r.problems += " the printer's record does not match the outcome: " + r.report + ";";
        return r;
    }

    TTempDir dir_{"fwd-bad"};
};

// How a path shows in the table: the test's folder as $DIR, a long run of one
// character shortened, bytes outside ASCII as \xNN.
std::string Shown(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find(dir)) != std::string::npos;)
        text.replace(at, dir.size(), "$DIR");
    std::string shown;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t run = 1;
        while (i + run < text.size() && text[i + run] == text[i])
            ++run;
        if (run > 12) {
            shown += std::string(3, char(c)) + "…(" + std::to_string(run) + "×)";
            i += run - 1;
        } else if (c >= 0x80 || c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            shown += esc;
        } else if (c == '|' || c == '`') {
            shown += std::string("\\") + char(c);
        } else {
            shown += char(c);
        }
    }
    return shown;
}

std::string RecordOf(const TResult &r) {
    if (r.skipped)
        return "—";
    std::string verdict = JsonField(r.report, "verdict");
    if (verdict == "verified")
        return "the whole image, verified (" + JsonField(r.report, "image_size") + " bytes)";
    return std::to_string(JsonNumber(r.report, "connections")) + " connection(s), prelude " +
           std::to_string(JsonNumber(r.report, "prelude.bytes")) + " bytes, transfer " +
           std::to_string(JsonNumber(r.report, "transfer.bytes")) + " bytes";
}

TEST_F(BadInput, EachEndsAsDocumentedAndSendsNothingItShouldNot) {
    const std::string d = dir_.Path().string();
    chmod(d.c_str(), 0755); // the unprivileged case walks through it to the link

    std::string small = dir_ / "small.bin";
    WriteFile(small, Pattern(2 * 5120 + 33, 1));
    std::string secret = dir_ / "secret.bin";
    WriteFile(secret, Pattern(100, 2));
    chmod(secret.c_str(), 0600);
    std::string empty = dir_ / "empty.bin";
    WriteFile(empty, {});
    std::string odd = dir_ / "fw %s%n%x \xC3\xBC\xFF.bin";
    WriteFile(odd, Pattern(5120, 3));
    std::string atLimit = dir_ / "at-limit.bin", overLimit = dir_ / "over-limit.bin";
    WriteFile(atLimit, {});
    fs::resize_file(atLimit, kLimit);
    WriteFile(overLimit, {});
    fs::resize_file(overLimit, kLimit + 1);
    // 4000 characters: folders of 200 under the test's folder, then the file.
    std::string longPath = d;
    while (longPath.size() + 201 < 4000 - 10)
        longPath += "/" + std::string(200, 'd');
    longPath += "/" + std::string(4000 - longPath.size() - 5, 'f') + ".bin";
    fs::create_directories(fs::path(longPath).parent_path());
    WriteFile(longPath, Pattern(5120 + 1, 4));
    EXPECT_EQ(longPath.size(), 4000u);

    // A FIFO fed by a writer once the program opens it.
    std::string fifo = dir_ / "fifo.bin", fifoBytes = dir_ / "fifo-content.bin";
    mkfifo(fifo.c_str(), 0600);
    WriteFile(fifoBytes, Pattern(3 * 5120 + 777, 5));
    auto feedFifo = [fifo, fifoBytes](std::atomic<bool> &stop) {
        Bytes bytes = ReadFile(fifoBytes);
        int fd = -1;
        while (!stop && (fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
            std::this_thread::sleep_for(1ms);
        if (fd < 0)
            return;
        fcntl(fd, F_SETFL, 0);
        for (size_t at = 0; at < bytes.size();) {
            ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
            if (n <= 0)
                break;
            at += size_t(n);
        }
        close(fd);
    };

    // A large image cut short as soon as the program opens it.
    std::string shrinking = dir_ / "shrinking.bin";
    const size_t fullSize = 120u << 20, cutSize = (1u << 20) + 17;
    WriteFile(shrinking, Pattern(fullSize, 6));
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    inotify_add_watch(watch, shrinking.c_str(), IN_OPEN);
    auto truncateOnOpen = [watch, shrinking, cutSize](std::atomic<bool> &stop) {
        char event[4096];
        while (!stop) {
            pollfd p = {watch, POLLIN, 0};
            if (poll(&p, 1, 5) > 0 && read(watch, event, sizeof event) > 0) {
                truncate(shrinking.c_str(), off_t(cutSize));
                return;
            }
        }
    };
    // Whichever way it went, it must hold together: the change reported and
    // nothing sent, or the shorter file sent as it then was.
    auto consistentCut = [shrinking, cutSize](int status, const std::string &lastLine,
                                              const std::string &saved) {
        if (status == 0) {
            Bytes got = ReadFile(saved), now = ReadFile(shrinking);
            return got.size() == cutSize && got == now
                       ? std::string()
                       : std::string(" a mismatched stream was sent;");
        }
        return status == 1 && lastLine == kProgram + "File " + shrinking +
                                              " changed while it was being read."
                   ? std::string()
                   : std::string(" an unexpected message;");
    };

    std::vector<TCase> cases = {
        {"missing file",
         {d + "/missing.bin"},
         "",
         "",
         1,
         "Cannot open file " + d + "/missing.bin."},
        {"a directory", {d}, "", "", 1, "Cannot open file " + d + "."},
        {"no read permission (run as nobody)",
         {secret},
         secret,
         "",
         1,
         "Cannot open file " + secret + ".",
         Sent::PreludeOnly,
         true},
        {"empty path", {""}, "", "", 1, "Cannot open file "},
        {"no argument", {}, "", "", 1, "Cannot open file "},
        {"quoted path (quotes are part of the name)",
         {"\"" + small + "\""},
         small,
         "",
         1,
         "Cannot open file \"" + small + "\""},
        {"path of 4000 characters", {longPath}, longPath, longPath, 0, "", Sent::Image},
        {"path with % and non-ASCII bytes", {odd}, odd, odd, 0, "", Sent::Image},
        {"missing path with % and non-ASCII bytes",
         {odd + ".missing"},
         "",
         "",
         1,
         "Cannot open file " + odd + ".missing."},
        {"zero-byte image", {empty}, empty, empty, 0, "", Sent::Image},
        {"image at the size limit (sparse)", {atLimit}, atLimit, atLimit, 0, "", Sent::Image},
        {"image one byte over the limit", {overLimit}, overLimit, "", 1, kTooLarge},
        {"/dev/zero", {"/dev/zero"}, "", "", 1, kTooLarge},
        {"a FIFO fed by a writer", {fifo}, "", fifoBytes, 0, "", Sent::Image, false, feedFifo},
        {"image truncated while it loads",
         {shrinking},
         "",
         "",
         1,
         "",
         Sent::Either,
         false,
         truncateOnOpen,
         consistentCut},
    };

    std::vector<TResult> results(cases.size());
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w)
        workers.emplace_back([&] {
            for (size_t i; (i = next++) < cases.size();)
                results[i] = Run(cases[i], std::to_string(i));
        });
    for (auto &t : workers)
        t.join();
    close(watch);

    std::string table =
        "# Bad input\n\n"
        "What `fwdownload IMAGE` does with images and paths that are wrong or odd, "
        "as observed by the last run of `tests/hardening/bad_input_test` (generated; "
        "do not edit). `$DIR` is the test's temporary folder. Each run sends the "
        "prelude to the simulated printer first; \"printer got\" is its record.\n\n"
        "| case | argument | exit | last line of stderr / stdout | printer got | "
        "image file |\n|---|---|---|---|---|---|\n";
    for (size_t i = 0; i < cases.size(); ++i) {
        const TCase &c = cases[i];
        TResult &r = results[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(r.problems, "") << c.name;
        std::string argument = c.args.empty() ? "(none)" : "`" + Shown(c.args[0], d) + "`";
        std::string said = r.skipped       ? "skipped: needs root and setpriv"
                           : r.status == 0 ? Shown(r.out, d)
                                           : "`" + Shown(r.lastLine, d) + "`";
        for (size_t at; (at = said.find("\\x0A")) != std::string::npos;)
            said.replace(at, 4, " ");
        table += "| " + c.name + " | " + argument + " | " +
                 (r.skipped ? "—" : std::to_string(r.status)) + " | " + said + " | " + RecordOf(r) +
                 " | " +
                 (c.watched.empty() ? "—"
                  : r.unchanged     ? "unchanged"
                                    : "MODIFIED") +
                 " |\n";
    }
    std::ofstream(std::string(SOURCE_DIR) + "/docs/bad-input.md") << table;
}

} // namespace
} // namespace hardening
