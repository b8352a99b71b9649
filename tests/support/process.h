// Runs a program as a user would, with its own environment, capturing stdout
// and stderr.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

class TProcess {
public:
    // Starts `argv` with the current environment plus `env` (a value of
    // nullptr removes the variable).
    TProcess(const std::vector<std::string> &argv,
             const std::map<std::string, const char *> &env = {}) {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

        std::vector<std::string> environment;
        for (char **e = environ; *e; ++e) {
            std::string entry = *e;
            if (!env.count(entry.substr(0, entry.find('='))))
                environment.push_back(entry);
        }
        for (const auto &[name, value] : env)
            if (value)
                environment.push_back(name + "=" + value);
        std::vector<char *> args, envp;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        for (auto &e : environment)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
            throw std::runtime_error("spawn " + argv[0]);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        fcntl(out_, F_SETFL, O_NONBLOCK); // reading one never waits on the other
        fcntl(err_, F_SETFL, O_NONBLOCK);
        started_ = std::chrono::steady_clock::now();
    }
    ~TProcess() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            Wait();
        }
        close(out_);
        close(err_);
    }
    TProcess(const TProcess &) = delete;
    TProcess &operator=(const TProcess &) = delete;

    void Signal(int signal) { kill(pid_, signal); }

    // Collects output until the process ends; returns its exit status
    // (128 + signal when killed), or -1 after `timeoutSeconds`.
    int Wait(double timeoutSeconds = 30) {
        if (status_ >= 0)
            return status_;
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
        for (;;) {
            Pump(20);
            int raw = 0;
            pid_t done = waitpid(pid_, &raw, WNOHANG);
            if (done == pid_) {
                Pump(0);
                ended_ = std::chrono::steady_clock::now();
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return status_;
            }
            if (std::chrono::steady_clock::now() > end)
                return -1;
        }
    }

    double Seconds() const { return std::chrono::duration<double>(ended_ - started_).count(); }
    const std::string &Out() const { return outText_; }
    const std::string &Err() const { return errText_; }

private:
    void Pump(int ms) {
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(p, 2, ms) <= 0)
            return;
        char buf[4096];
        for (auto [fd, text] : {std::pair{out_, &outText_}, std::pair{err_, &errText_}}) {
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                text->append(buf, size_t(n));
        }
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    int status_ = -1;
    std::string outText_, errText_;
    std::chrono::steady_clock::time_point started_, ended_;
};
