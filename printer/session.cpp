#include "session.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <poll.h>

namespace printer {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

volatile std::sig_atomic_t stop_signal = 0;

extern "C" void on_stop_signal(int sig) {
    stop_signal = sig;
}

// Installs the SIGINT and SIGTERM handlers and blocks both except while polling.
class SignalWatch {
public:
    explicit SignalWatch(bool active) : active_(active) {
        sigemptyset(&poll_mask_);
        if (!active_)
            return;
        stop_signal = 0;
        struct sigaction sa {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        sigprocmask(SIG_BLOCK, &block, &old_mask_);
        poll_mask_ = old_mask_;
        sigdelset(&poll_mask_, SIGINT);
        sigdelset(&poll_mask_, SIGTERM);
    }
    ~SignalWatch() {
        if (!active_)
            return;
        sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

    const sigset_t *poll_mask() const { return active_ ? &poll_mask_ : nullptr; }
    bool stopped() const { return active_ && stop_signal != 0; }

private:
    bool active_;
    sigset_t poll_mask_;
    sigset_t old_mask_;
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// Paces reading: tokens accrue at `rate` per second up to a small burst.
class TokenBucket {
public:
    TokenBucket(std::optional<double> rate, Clock::time_point now) : rate_(rate), last_(now) {
        if (rate_) {
            // Enough to ride over a late wake-up of a few tens of milliseconds without losing
            // pace, small enough to keep the pace smooth.
            burst_ = std::max(64.0, *rate_ * 0.02);
            tokens_ = burst_;
        }
    }
    bool limited() const { return rate_.has_value(); }
    void refill(Clock::time_point now) {
        if (!rate_)
            return;
        const double dt = std::chrono::duration<double>(now - last_).count();
        tokens_ = std::min(burst_, tokens_ + dt * *rate_);
        last_ = now;
    }
    std::size_t available() const { return rate_ ? static_cast<std::size_t>(tokens_) : SIZE_MAX; }
    void take(std::size_t n) {
        if (rate_)
            tokens_ -= static_cast<double>(n);
    }
    // How many bytes to wait for before reading again, and how long that takes.
    std::size_t wake_threshold() const {
        return static_cast<std::size_t>(std::clamp(burst_ / 4, 1.0, 512.0));
    }
    nanoseconds time_until(std::size_t n) const {
        const double missing = static_cast<double>(n) - tokens_;
        if (!rate_ || missing <= 0)
            return nanoseconds(0);
        return nanoseconds(static_cast<std::int64_t>(std::ceil(missing / *rate_ * 1e9)));
    }

private:
    std::optional<double> rate_;
    double burst_ = 0;
    double tokens_ = 0;
    Clock::time_point last_;
};

// A stall or hang-up point: connection and offset, once known.
struct Point {
    int connection;
    std::uint64_t offset;
};

std::optional<Point> resolve(const Place &place, const StreamDecoder &decoder) {
    if (place.transfer_offset)
        return Point{2, *place.transfer_offset};
    if (*place.stage == Stage::prelude)
        return Point{1, 0};
    if (const auto at = decoder.stage_offset(*place.stage))
        return Point{2, *at};
    return std::nullopt;
}

// The connection and offset the next byte read will have.
Point next_position(const StreamDecoder &decoder) {
    if (decoder.connection_open())
        return Point{decoder.connection(), decoder.connection_offset()};
    return Point{decoder.connection() + 1, 0};
}

// How many bytes may be read before `place` (SIZE_MAX if it is not ahead); 0 when there.
std::size_t room_before(const Place &place, const StreamDecoder &decoder) {
    const Point next = next_position(decoder);
    const auto point = resolve(place, decoder);
    if (!point) {
        // Tail and checksum are placed by the counts: read no further than the header first.
        if (next.connection != 2)
            return SIZE_MAX;
        return next.offset < header_size ? static_cast<std::size_t>(header_size - next.offset)
                                         : SIZE_MAX;
    }
    if (next.connection != point->connection || next.offset > point->offset)
        return SIZE_MAX;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(point->offset - next.offset, SIZE_MAX - 1));
}

bool at_place(const Place &place, const StreamDecoder &decoder) {
    const auto point = resolve(place, decoder);
    if (!point)
        return false;
    const Point next = next_position(decoder);
    return next.connection == point->connection && next.offset == point->offset;
}

Timestamp stamp(Clock::time_point t) {
    return t.time_since_epoch();
}

// Whether the events to come hold a close followed by an open.
bool reopened(const std::deque<LineEvent> &events) {
    const auto close = std::find(events.begin(), events.end(), LineEvent::closed);
    return close != events.end() &&
           std::find(close, events.end(), LineEvent::opened) != events.end();
}

} // namespace

Ending run_line(Line &line, StreamDecoder &decoder, const SessionSettings &settings) {
    SignalWatch signals(settings.handle_signals);
    if (settings.on_ready)
        settings.on_ready();
    const auto start = Clock::now();
    const std::optional<Clock::time_point> deadline =
        settings.timeout ? std::optional(start + *settings.timeout) : std::nullopt;
    TokenBucket bucket(settings.rate, start);
    std::deque<LineEvent> events;
    std::array<std::uint8_t, 16384> buffer{};

    enum class StallState { waiting, active, over };
    StallState stall = settings.stall ? StallState::waiting : StallState::over;
    std::optional<Clock::time_point> stall_until;
    std::optional<Clock::time_point> linger_until;
    bool hangup_pending = settings.hangup.has_value();

    // Returns an ending once the session is over.
    auto after_close = [&]() -> std::optional<Ending> {
        line.after_close();
        if (decoder.failed())
            return Ending::failed;
        if (decoder.done()) {
            if (settings.linger <= nanoseconds(0))
                return Ending::complete;
            linger_until = Clock::now() + settings.linger;
        }
        return std::nullopt;
    };

    for (;;) {
        const auto now = Clock::now();
        if (signals.stopped()) {
            decoder.stop("a signal");
            return Ending::signal;
        }
        if (deadline && now >= *deadline) {
            decoder.stop("the time-out");
            return Ending::timeout;
        }
        if (linger_until && now >= *linger_until)
            return decoder.failed() ? Ending::failed : Ending::complete;
        if (stall == StallState::active && stall_until && now >= *stall_until) {
            stall = StallState::over;
            line.release_sender();
        }

        line.take_events(events);
        while (!events.empty() && events.front() == LineEvent::opened) {
            events.pop_front();
            decoder.open_connection();
            if (decoder.connection() >= 3)
                linger_until.reset(); // wait for the extra connection to close
        }

        // Stall and hang-up at the point reached; the stall holds the sender at once.
        if (stall == StallState::waiting && at_place(*settings.stall, decoder)) {
            stall = StallState::active;
            line.hold_sender();
            if (settings.stall_for)
                stall_until = Clock::now() + *settings.stall_for;
        }
        if (hangup_pending && at_place(*settings.hangup, decoder) && decoder.connection_open()) {
            line.hang_up();
            decoder.stop("the hang-up");
            return Ending::hangup;
        }

        bucket.refill(now);
        std::size_t room = buffer.size();
        bool held = false; // by a stall or hang-up point rather than by the pace
        if (stall == StallState::active) {
            room = 0;
            held = true;
        }
        if (stall == StallState::waiting)
            room = std::min(room, room_before(*settings.stall, decoder));
        if (hangup_pending)
            room = std::min(room, room_before(*settings.hangup, decoder));
        if (room == 0)
            held = true;
        const std::size_t paced = std::min(room, bucket.available());

        if (paced > 0) {
            const std::size_t n = line.read(std::span(buffer).first(paced));
            if (n > 0) {
                const auto read_at = Clock::now();
                bucket.take(n);
                // Bytes read once the sender has closed and opened again may be of either
                // connection (opens are seen before the writes that follow them).
                line.take_events(events);
                if (reopened(events))
                    decoder.unclear_boundary();
                decoder.receive(std::span(buffer).first(n), stamp(read_at));
                continue;
            }
        }
        // A close is handled once the data before it has been taken, or will never be: a
        // stall that ends lets the sim take what the sender wrote before it closed, as a
        // serial port's close waits for its output to drain.
        const bool stall_ends = stall == StallState::active && stall_until.has_value();
        if (!events.empty() && events.front() == LineEvent::closed &&
            (paced > 0 || (held && !stall_ends))) {
            events.pop_front();
            if (!decoder.connection_open())
                decoder.open_connection(); // a connection that sent nothing
            decoder.close_connection();
            if (const auto ending = after_close())
                return *ending;
            continue;
        }

        // Wait for data, events, or the next deadline.
        std::optional<Clock::time_point> wake = deadline;
        auto earliest = [&wake](Clock::time_point t) {
            if (!wake || t < *wake)
                wake = t;
        };
        if (linger_until)
            earliest(*linger_until);
        if (stall_until && stall == StallState::active)
            earliest(*stall_until);
        const bool want_data = room > 0 && paced > 0;
        if (room > 0 && paced == 0)
            earliest(now + bucket.time_until(std::min(room, bucket.wake_threshold())));

        pollfd fds[2] = {{line.event_fd(), POLLIN, 0}, {-1, POLLIN, 0}};
        if (want_data)
            fds[1].fd = line.data_fd();
        timespec ts{};
        timespec *timeout = nullptr;
        if (wake) {
            const auto left = std::max(nanoseconds(0), *wake - Clock::now());
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            timeout = &ts;
        }
        const int r = ::ppoll(fds, 2, timeout, signals.poll_mask());
        if (r < 0 && errno != EINTR)
            return Ending::failed;
        if (r > 0 && want_data && (fds[1].revents & POLLHUP) && !(fds[1].revents & POLLIN)) {
            // A FIFO whose writer has gone; its close event follows (or has come). Make sure
            // the hang-up state does not keep waking us.
            line.take_events(events);
            if (events.empty())
                line.after_close();
        }
    }
}

bool decode_capture(std::istream &in, StreamDecoder &decoder) {
    std::array<char, 65536> buffer{};
    auto bytes = [&buffer](std::streamsize n) {
        return std::span(reinterpret_cast<const std::uint8_t *>(buffer.data()),
                         static_cast<std::size_t>(n));
    };
    decoder.open_connection();
    in.read(buffer.data(), prelude_size);
    std::streamsize n = in.gcount();
    if (in.bad())
        return false;
    const bool prelude = n == static_cast<std::streamsize>(prelude_size) &&
                         std::memcmp(buffer.data(), prelude_bytes, prelude_size) == 0;
    decoder.receive(bytes(n));
    if (prelude) {
        decoder.close_connection();
        decoder.open_connection();
    }
    while (in) {
        in.read(buffer.data(), buffer.size());
        n = in.gcount();
        if (in.bad())
            return false;
        decoder.receive(bytes(n));
    }
    decoder.close_connection();
    return true;
}

} // namespace printer
