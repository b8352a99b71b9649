// What the reliability tests share: child processes with their output, the
// simulated printer and its JSON report, private folders and image files.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace hardening {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A folder of its own under the system's temporary folder, removed with all it holds.
class TTempDir {
public:
    explicit TTempDir(const std::string &stem = "fwd-hard") {
        std::string pattern = (fs::temp_directory_path() / (stem + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TTempDir(const TTempDir &) = delete;
    TTempDir &operator=(const TTempDir &) = delete;
    const fs::path &Path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// A child process with stdout and stderr collected. Killed and reaped on
// destruction if it is still running.
class TChild {
public:
    // `env` adds to (or, with nullptr, removes from) the current environment.
    TChild(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {},
           const std::vector<std::string> &unset = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        if (pipe2(err, O_CLOEXEC) != 0) {
            close(out[0]);
            close(out[1]);
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        // The children start with default signal dispositions and no blocked signals,
        // whatever the test runner has.
        sigset_t all, none;
        sigfillset(&all);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

        std::vector<std::string> environment;
        for (char **e = environ; *e; ++e) {
            std::string entry = *e, name = entry.substr(0, entry.find('='));
            if (!env.count(name) && std::find(unset.begin(), unset.end(), name) == unset.end())
                environment.push_back(entry);
        }
        for (const auto &[name, value] : env)
            environment.push_back(name + "=" + value);
        std::vector<char *> args, envp;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (auto &e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        int rc = posix_spawn(&pid_, args[0], &actions, &attr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0) {
            pid_ = -1;
            close(out_);
            close(err_);
            throw std::runtime_error("spawn " + argv[0] + ": " + std::strerror(rc));
        }
        started_ = Clock::now();
    }
    ~TChild() {
        if (status_ < 0) {
            kill(pid_, SIGKILL);
            Wait(10);
        }
        close(out_);
        close(err_);
    }
    TChild(const TChild &) = delete;
    TChild &operator=(const TChild &) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const {
        if (status_ < 0)
            kill(pid_, signal);
    }
    bool Running() { return Wait(0) < 0; }

    // The exit status (128 + the signal when killed), or -1 if it has not ended
    // within `seconds`.
    int Wait(double seconds = 60) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (status_ < 0) {
            int raw = 0;
            pid_t done = waitpid(pid_, &raw, WNOHANG);
            if (done == pid_) {
                while (Pump(0))
                    ;
                ended_ = Clock::now();
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            if (Clock::now() >= end)
                return -1;
            Pump(10);
        }
        return status_;
    }

    // Waits until stdout (or stderr) holds `text`; false after `seconds` or when
    // the child ended without it.
    bool WaitFor(const std::string &text, bool onStderr, double seconds) {
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        const std::string &where = onStderr ? errText_ : outText_;
        while (where.find(text) == std::string::npos) {
            if (Clock::now() >= end || !Running())
                return where.find(text) != std::string::npos;
            Pump(5);
        }
        return true;
    }

    const std::string &Out() const { return outText_; }
    const std::string &Err() const { return errText_; }
    Clock::time_point Ended() const { return ended_; }

private:
    // Reads what is there; true if anything came.
    bool Pump(int ms) {
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(p, 2, ms) <= 0)
            return false;
        bool any = false;
        char buf[65536];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP)))
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? outText_ : errText_).append(buf, size_t(n));
                any = true;
            }
        }
        return any;
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -1;
    std::string outText_, errText_;
    Clock::time_point started_, ended_;
};

// One field of the simulated printer's JSON report: "verdict", or "transfer.bytes"
// for a field of an object. The value's text, strings without their quotes; ""
// when absent.
inline std::string JsonField(const std::string &json, const std::string &key) {
    size_t from = 0;
    std::string name = key;
    if (auto dot = key.find('.'); dot != std::string::npos) {
        from = json.find("\"" + key.substr(0, dot) + "\":{");
        if (from == std::string::npos)
            return "";
        name = key.substr(dot + 1);
    }
    size_t at = json.find("\"" + name + "\":", from);
    if (at == std::string::npos)
        return "";
    at += name.size() + 3;
    if (at < json.size() && json[at] == '"') {
        size_t end = json.find('"', at + 1);
        return json.substr(at + 1, end - at - 1);
    }
    size_t end = json.find_first_of(",}", at);
    return json.substr(at, end - at);
}

inline long long JsonNumber(const std::string &json, const std::string &key) {
    std::string text = JsonField(json, key);
    return text.empty() || text == "null" ? -1 : std::atoll(text.c_str());
}

// A running printer-sim with a JSON report, on a pty behind a link or on a FIFO.
class TSim {
public:
    TSim(std::vector<std::string> args, const std::map<std::string, std::string> &env = {})
        : child_(Args(std::move(args)), env) {}

    // The device of the "ready:" line, or "" if it did not come.
    std::string Ready(double seconds = 10) {
        if (!child_.WaitFor("\n", false, seconds) || child_.Out().rfind("ready: ", 0) != 0)
            return "";
        return child_.Out().substr(7, child_.Out().find('\n') - 7);
    }
    // Waits for the sim to end by itself; its exit status or -1.
    int Finish(double seconds = 30) { return child_.Wait(seconds); }
    // Ends a sim that waits for a connection that will not come: SIGTERM after a
    // moment for anything still on its way; its exit status.
    int Stop() {
        if (child_.Wait(0.15) >= 0)
            return child_.Wait(0);
        child_.Signal(SIGTERM);
        return child_.Wait(10);
    }
    // The report's JSON object (the last line of its output).
    std::string Report() const {
        const std::string &out = child_.Out();
        size_t start = out.rfind("{\"verdict\"");
        return start == std::string::npos ? "" : out.substr(start);
    }
    TChild &Child() { return child_; }

private:
    static std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), {PRINTER_SIM, "--json", "--timeout", "60"});
        return args;
    }
    TChild child_;
};

inline Bytes ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string &path, const Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// FNV-1a over a file's content, read in chunks (sparse files of 160 MiB included).
inline std::uint64_t HashFile(const std::string &path) {
    std::uint64_t h = 1469598103934665603ull;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::vector<unsigned char> buf(1 << 20);
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0)
        for (ssize_t i = 0; i < n; ++i)
            h = (h ^ buf[size_t(i)]) * 1099511628211ull;
    close(fd);
    return h;
}

inline unsigned Checksum(const Bytes &image) {
    unsigned sum = 0;
    for (unsigned char c : image)
        sum += c;
    return sum & 0xFFFF;
}

inline std::string FinishText(unsigned sum) {
    char text[64];
    std::snprintf(text, sizeof text, "Checksum: %04X\nFinish\n", sum);
    return text;
}

// The pause of the test build, in milliseconds. The sim must have read the
// prelude before the transfer's connection opens, or it cannot tell the two
// apart and fails the run; 30 ms was not enough on a loaded machine.
inline const std::string kTestPause = "100";

// The environment every download in these tests runs with.
inline std::map<std::string, std::string> DownloadEnv(const std::string &device,
                                                      const std::string &tmpdir = "") {
    std::map<std::string, std::string> env = {{"DOSDEV_LPT1", device},
                                              {"FWDOWNLOAD_FRONTEND", "terminal"}};
    if (!tmpdir.empty())
        env["TMPDIR"] = tmpdir;
    return env;
}

// The last line of stderr, the one a failure or an interruption ends with.
inline std::string LastLine(const std::string &text) {
    std::string t = text;
    while (!t.empty() && t.back() == '\n')
        t.pop_back();
    size_t nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

// The seed of a randomised test: FWD_HARDENING_SEED if set, else a fresh one,
// printed either way so that a failure can be replayed.
inline std::uint64_t TestSeed() {
    std::uint64_t seed;
    if (const char *given = std::getenv("FWD_HARDENING_SEED"); given && *given)
        seed = std::strtoull(given, nullptr, 0);
    else
        seed = (std::uint64_t(std::random_device()()) << 32) ^ std::random_device()();
    std::printf("seed: FWD_HARDENING_SEED=%llu\n", static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    ::testing::Test::RecordProperty("seed", std::to_string(seed));
    return seed;
}

} // namespace hardening
