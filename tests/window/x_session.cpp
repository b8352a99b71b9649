#include "x_session.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace WindowTest {
namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int DecodeStatus(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Windows come and go while the tests look at them; a vanished one is not an error.
int IgnoreXError(Display *, XErrorEvent *) {
    return 0;
}

} // namespace

std::string FindOnPath(const std::string &Name) {
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + Name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

bool WaitFor(const std::function<bool()> &Ready, Clock::duration Timeout) {
    auto deadline = Clock::now() + Timeout;
    for (;;) {
        if (Ready())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

TProcess::TProcess(const std::vector<std::string> &Argv,
                   const std::map<std::string, std::string> &Env, const std::string &OutputStem)
    : outPath_(OutputStem + ".out"), errPath_(OutputStem + ".err") {
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto &[name, value] : Env) {
        if (value.empty())
            env.erase(name);
        else
            env[name] = value;
    }
    std::vector<std::string> entries;
    for (const auto &[name, value] : env)
        entries.push_back(name + "=" + value);
    std::vector<char *> envp, argv;
    for (auto &entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = Argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        setpgid(0, 0); // a group of its own: the test's terminal signals stay with the test
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
}

TProcess::~TProcess() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Wait(5s);
    }
}

bool TProcess::Running() {
    if (status_ || pid_ <= 0)
        return false;
    int status;
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_)
        status_ = DecodeStatus(status);
    return !status_;
}

std::optional<int> TProcess::Wait(Clock::duration Timeout) {
    WaitFor([this] { return !Running(); }, Timeout);
    return status_;
}

std::string TProcess::Stdout() const {
    return ReadFile(outPath_);
}

std::string TProcess::Stderr() const {
    return ReadFile(errPath_);
}

TXvfb::TXvfb(const std::string &Xvfb) {
    int fds[2];
    if (pipe(fds) != 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        setpgid(0, 0);
        std::string fd = std::to_string(fds[1]);
        std::string screen = std::to_string(ScreenW) + "x" + std::to_string(ScreenH) + "x24";
        execl(Xvfb.c_str(), Xvfb.c_str(), "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
              "-nolisten", "tcp", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    // Xvfb writes the display number it took once it accepts connections.
    std::string number;
    auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char c;
        ssize_t n = read(fds[0], &c, 1);
        if (n <= 0 || c == '\n')
            break;
        number += c;
    }
    close(fds[0]);
    if (!number.empty())
        display_ = ":" + number;
}

TXvfb::~TXvfb() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status;
        if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 5s)) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
}

int TImage::Count(int X, int Y, int W_, int H_, const std::function<bool(TRgb)> &Test) const {
    int n = 0;
    for (int y = std::max(0, Y); y < std::min(H, Y + H_); ++y)
        for (int x = std::max(0, X); x < std::min(W, X + W_); ++x)
            n += Test(At(x, y)) ? 1 : 0;
    return n;
}

TXClient::TXClient(const std::string &Name_) {
    XSetErrorHandler(IgnoreXError);
    display_ = XOpenDisplay(Name_.c_str());
    if (display_ == nullptr)
        throw std::runtime_error("cannot open display " + Name_);
}

TXClient::~TXClient() {
    XCloseDisplay(display_);
}

std::string TXClient::Name(Window W) {
    char *name = nullptr;
    std::string text;
    if (XFetchName(display_, W, &name) && name)
        text = name;
    if (name)
        XFree(name);
    return text;
}

std::pair<std::string, std::string> TXClient::Class(Window W) {
    XClassHint hint = {};
    std::pair<std::string, std::string> names;
    if (XGetClassHint(display_, W, &hint)) {
        names = {hint.res_name ? hint.res_name : "", hint.res_class ? hint.res_class : ""};
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return names;
}

bool TXClient::Viewable(Window W) {
    XWindowAttributes attributes;
    return XGetWindowAttributes(display_, W, &attributes) && attributes.map_state == IsViewable;
}

void TXClient::Collect(Window Parent, const std::string &Name_, int Depth,
                       std::vector<Window> &Found) {
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, Parent, &root, &parent, &children, &count))
        return;
    for (unsigned i = 0; i < count; ++i) {
        if (Name(children[i]) == Name_ && Viewable(children[i]))
            Found.push_back(children[i]);
        else if (Depth > 0)
            Collect(children[i], Name_, Depth - 1, Found); // inside a manager's frame
    }
    if (children)
        XFree(children);
}

std::vector<Window> TXClient::FindWindows(const std::string &Name_) {
    std::vector<Window> found;
    Collect(DefaultRootWindow(display_), Name_, 2, found);
    return found;
}

Window TXClient::WaitForWindow(const std::string &Name_, Clock::duration Timeout) {
    Window window = 0;
    WaitFor(
        [&] {
            auto found = FindWindows(Name_);
            window = found.size() == 1 ? found[0] : 0;
            return window != 0;
        },
        Timeout);
    return window;
}

TGeometry TXClient::Geometry(Window W) {
    XWindowAttributes attributes = {};
    XGetWindowAttributes(display_, W, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display_, W, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y, attributes.width, attributes.height};
}

std::optional<std::string> TXClient::TextProperty(Window W, const char *Property) {
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display_, W, XInternAtom(display_, Property, False), 0, 65536, False,
                           AnyPropertyType, &type, &format, &items, &after, &data) != Success ||
        data == nullptr || type == None) {
        if (data)
            XFree(data);
        return std::nullopt;
    }
    std::string text(reinterpret_cast<char *>(data), items);
    XFree(data);
    return text;
}

std::vector<long> TXClient::LongsProperty(Window W, const char *Property) {
    Atom type;
    int format;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    std::vector<long> values;
    if (XGetWindowProperty(display_, W, XInternAtom(display_, Property, False), 0, 64, False,
                           AnyPropertyType, &type, &format, &items, &after, &data) == Success &&
        data && format == 32)
        values.assign(reinterpret_cast<long *>(data), reinterpret_cast<long *>(data) + items);
    if (data)
        XFree(data);
    return values;
}

void TXClient::RequestClose(Window W) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = W;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, W, False, NoEventMask, &event);
    XFlush(display_);
}

TImage TXClient::Grab(Window W) {
    TGeometry g = Geometry(W);
    TImage image;
    XImage *pixels =
        XGetImage(display_, DefaultRootWindow(display_), g.X, g.Y, static_cast<unsigned>(g.W),
                  static_cast<unsigned>(g.H), AllPlanes, ZPixmap);
    if (pixels == nullptr)
        return image;
    image.W = g.W;
    image.H = g.H;
    image.Pixels.reserve(static_cast<size_t>(g.W) * g.H);
    for (int y = 0; y < g.H; ++y) {
        for (int x = 0; x < g.W; ++x) {
            unsigned long p = XGetPixel(pixels, x, y);
            image.Pixels.push_back({static_cast<int>((p >> 16) & 0xFF),
                                    static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)});
        }
    }
    XDestroyImage(pixels);
    return image;
}

} // namespace WindowTest
