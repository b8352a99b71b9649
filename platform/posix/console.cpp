#include <platform/console.h>

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace Platform {

std::string Printable(const std::string &text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            shown += escaped;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

void WriteAll(int fd, const std::string &text) {
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

} // namespace Platform
