// The start-up's choice in a build with the window: the window where a display
// can be opened, else the terminal. FWDOWNLOAD_FRONTEND=terminal keeps the
// terminal; FWDOWNLOAD_FRONTEND=window insists on the window.
#include "window_frontend.h"

#include <cerrno>
#include <dlfcn.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The window module lies beside the program in a build tree, and in
// FWD_WINDOW_MODULE_DIR (relative to the program's folder) once installed.
std::unique_ptr<Platform::TFrontEnd> LoadWindowFrontEnd(std::string &error) {
    const char *display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0')
        return nullptr; // nothing to load the window libraries for
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = n > 0 ? std::string(self, size_t(n)) : std::string();
    folder = folder.substr(0, folder.rfind('/') + 1);
    for (std::string path :
         {folder + FWD_WINDOW_MODULE, folder + FWD_WINDOW_MODULE_DIR "/" FWD_WINDOW_MODULE}) {
        void *module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            if (access(path.c_str(), F_OK) == 0)
                error = dlerror();
            continue;
        }
        auto create =
            reinterpret_cast<Platform::TFrontEnd *(*)()>(dlsym(module, "FwdCreateWindowFrontEnd"));
        if (create == nullptr) {
            error = dlerror();
            continue;
        }
        // The module stays loaded for the program's life: its code draws until exit.
        return std::unique_ptr<Platform::TFrontEnd>(create());
    }
    if (error.empty())
        error = "the window module " FWD_WINDOW_MODULE " is not installed";
    return nullptr;
}

} // namespace

std::unique_ptr<Platform::TFrontEnd> Platform::ChooseFrontEnd() {
    const char *name = program_invocation_short_name;
    const char *set = std::getenv("FWDOWNLOAD_FRONTEND");
    std::string choice = set ? set : "";
    if (choice == "terminal")
        return CreateTerminalFrontEnd(STDOUT_FILENO, STDERR_FILENO);
    if (!choice.empty() && choice != "window" && choice != "auto")
        std::fprintf(stderr,
                     "%s: FWDOWNLOAD_FRONTEND=%s is neither terminal nor window; choosing by "
                     "the display\n",
                     name, choice.c_str());
    std::string error;
    if (auto window = LoadWindowFrontEnd(error))
        return window;
    if (!error.empty())
        std::fprintf(stderr, "%s: no window: %s\n", name, error.c_str());
    if (choice == "window") {
        const char *display = std::getenv("DISPLAY");
        if (display == nullptr || *display == '\0')
            std::fprintf(stderr, "%s: FWDOWNLOAD_FRONTEND=window, but DISPLAY is not set\n", name);
        else
            std::fprintf(stderr,
                         "%s: FWDOWNLOAD_FRONTEND=window, but display %s cannot be opened\n", name,
                         display);
        std::exit(1);
    }
    return CreateTerminalFrontEnd(STDOUT_FILENO, STDERR_FILENO);
}
