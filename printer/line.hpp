// The receiving ends of the printer's line: a pseudo-terminal and a FIFO.
//
// A line hands the session its bytes and tells it when the sender opens and closes the port.
// Opens and closes are watched with inotify on the device node (or the FIFO), so a close
// followed at once by a new open is still seen as two connections, which a hang-up alone would
// not show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

namespace printer {

enum class LineEvent { opened, closed };

// Setting a line up failed (the sim cannot start).
struct LineError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Line {
public:
    virtual ~Line() = default;

    // The path a sender opens (the pty's slave device, or the FIFO).
    virtual const std::string &device() const = 0;
    // Readable when there is data; -1 after a hang-up.
    virtual int data_fd() const = 0;
    // Readable when there are opens or closes to take.
    virtual int event_fd() const = 0;

    // Appends the opens and closes seen so far, in order. Never blocks.
    virtual void take_events(std::deque<LineEvent> &out) = 0;
    // Reads what is there, up to buffer.size(); 0 when nothing is there now. Never blocks.
    virtual std::size_t read(std::span<std::uint8_t> buffer) = 0;
    // Called once a close has been handled.
    virtual void after_close() {}
    // Asks the sender to stop (XOFF on a pty) and to go on (XON).
    virtual void hold_sender() = 0;
    virtual void release_sender() = 0;
    // Drops the line: the sender's writes fail from now on.
    virtual void hang_up() = 0;
};

// A pseudo-terminal pair with the slave at the kernel's default settings. `link` may be empty.
std::unique_ptr<Line> open_pty_line(const std::string &link);

// A FIFO created at `path`.
std::unique_ptr<Line> open_fifo_line(const std::string &path);

} // namespace printer
