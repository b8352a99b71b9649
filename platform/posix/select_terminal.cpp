// A build without the window: the terminal is the only front-end.
#include <platform/frontend.h>

#include <unistd.h>

std::unique_ptr<Platform::TFrontEnd> Platform::ChooseFrontEnd() {
    return CreateTerminalFrontEnd(STDOUT_FILENO, STDERR_FILENO);
}
