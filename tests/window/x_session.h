// An X server of the tests' own (Xvfb), a client connection to it, and the
// processes the tests start: the program, the printer simulator, xdotool.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace WindowTest {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Where an executable is on PATH; empty when it is not there.
std::string FindOnPath(const std::string &Name);

// Polls Ready every 20 ms until it is true or Timeout passes; returns its last answer.
bool WaitFor(const std::function<bool()> &Ready, Clock::duration Timeout);

// A child process with its output in files. Killed (by its own pid) and
// reaped on destruction if it is still running.
class TProcess {
public:
    // Env entries replace or add to the test's environment; an empty value
    // removes the variable.
    TProcess(const std::vector<std::string> &Argv, const std::map<std::string, std::string> &Env,
             const std::string &OutputStem);
    ~TProcess();
    TProcess(const TProcess &) = delete;
    TProcess &operator=(const TProcess &) = delete;

    pid_t Pid() const { return pid_; }
    bool Running();
    // The exit status (128 + signal when killed), or nullopt on time-out.
    std::optional<int> Wait(Clock::duration Timeout);
    std::string Stdout() const;
    std::string Stderr() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_, errPath_;
};

// Xvfb on a free display, 1280 x 1024 x 24, for as long as the object lives.
class TXvfb {
public:
    static constexpr int ScreenW = 1280, ScreenH = 1024;
    // Starts it; Display() is empty when it could not be started.
    explicit TXvfb(const std::string &Xvfb);
    ~TXvfb();
    TXvfb(const TXvfb &) = delete;
    TXvfb &operator=(const TXvfb &) = delete;
    const std::string &Display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

struct TRgb {
    int R = 0, G = 0, B = 0;
    bool operator==(const TRgb &) const = default;
};

// The pixels of a window's client area.
struct TImage {
    int W = 0, H = 0;
    std::vector<TRgb> Pixels;
    TRgb At(int X, int Y) const { return Pixels[static_cast<size_t>(Y) * W + X]; }
    // How many pixels in the rectangle satisfy Test.
    int Count(int X, int Y, int W, int H, const std::function<bool(TRgb)> &Test) const;
};

struct TGeometry {
    int X = 0, Y = 0, W = 0, H = 0; // client area, in root coordinates
};

// A connection to the test's X server.
class TXClient {
public:
    explicit TXClient(const std::string &DisplayName);
    ~TXClient();
    TXClient(const TXClient &) = delete;
    TXClient &operator=(const TXClient &) = delete;
    ::Display *Raw() const { return display_; }

    // Viewable client windows (WM_STATE, or top-level without a manager) named Name.
    std::vector<Window> FindWindows(const std::string &Name);
    // Waits for exactly one such window; 0 on time-out.
    Window WaitForWindow(const std::string &Name, Clock::duration Timeout = 10s);
    bool Viewable(Window W);
    TGeometry Geometry(Window W);
    std::string Name(Window W);
    std::pair<std::string, std::string> Class(Window W);
    // A text property (UTF8_STRING or STRING); nullopt when absent.
    std::optional<std::string> TextProperty(Window W, const char *Property);
    // A property of 32-bit items (CARDINAL, ATOM, WINDOW); empty when absent.
    std::vector<long> LongsProperty(Window W, const char *Property);
    // Asks the window to close, as a window manager does (WM_DELETE_WINDOW).
    void RequestClose(Window W);
    TImage Grab(Window W);

private:
    void Collect(Window Parent, const std::string &Name, int Depth, std::vector<Window> &Found);
    ::Display *display_ = nullptr;
};

} // namespace WindowTest
