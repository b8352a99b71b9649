#include <platform/frontend.h>

#include <unistd.h>

namespace Platform {
namespace {

std::unique_ptr<TFrontEnd> &Current() {
    static std::unique_ptr<TFrontEnd> current;
    return current;
}

} // namespace

TFrontEnd &FrontEnd() {
    if (!Current())
        Current() = CreateTerminalFrontEnd(STDOUT_FILENO, STDERR_FILENO);
    return *Current();
}

void SetFrontEnd(std::unique_ptr<TFrontEnd> FrontEnd) {
    Current() = std::move(FrontEnd);
}

} // namespace Platform
