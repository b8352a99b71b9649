// A pseudo-terminal pair for tests: the program writes to the slave as it
// would to a serial port, the test reads the master. The slave starts at the
// kernel's default (cooked) settings.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

struct TPty {
    int master = -1;
    std::string slave;

    TPty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            throw std::runtime_error("no pty");
        slave = ptsname(master);
    }
    ~TPty() {
        if (master >= 0)
            close(master);
    }
    TPty(const TPty &) = delete;
    TPty &operator=(const TPty &) = delete;

    // Reads what is there within `ms`, returning early once `want` bytes came.
    std::vector<unsigned char> Read(size_t want, int ms = 2000) {
        std::vector<unsigned char> got;
        while (got.size() < want) {
            pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, ms) <= 0 || !(p.revents & POLLIN))
                break;
            unsigned char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // Flow control, as a printer sends it: XOFF stops the slave's output, XON resumes it.
    void Xoff() { (void)!write(master, "\x13", 1); }
    void Xon() { (void)!write(master, "\x11", 1); }
};
