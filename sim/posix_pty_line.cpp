#include "posix_pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Output that the tool does not read piles up here; beyond this it is lost, as a device's
// UART output is when nobody listens.
constexpr size_t kOutputLimit = 64 * 1024;

}  // namespace

void RequestStop() {
    stopRequested.store(true);
}

std::unique_ptr<PtyLine> PtyLine::Open(long baud, double idleSeconds, std::string& error) {
    std::unique_ptr<PtyLine> line(new PtyLine());
    line->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->master_ < 0 || grantpt(line->master_) != 0 || unlockpt(line->master_) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return nullptr;
    }
    char name[128];
    if (ptsname_r(line->master_, name, sizeof name) != 0) {
        error = std::string("cannot name the pseudo-terminal: ") + std::strerror(errno);
        return nullptr;
    }
    line->slavePath_ = name;
    // Holding the slave open ourselves keeps the master from reading EIO (and output from
    // being thrown away) while the tool closes the port and opens it again.
    line->hold_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->hold_ >= 0) {
        termios t{};
        if (tcgetattr(line->hold_, &t) == 0) {
            cfmakeraw(&t);
            cfsetspeed(&t, B115200);
            tcsetattr(line->hold_, TCSANOW, &t);
        }
    }
    line->byteUs_ = baud > 0 ? 10'000'000 / baud : 0;
    line->idleLimitUs_ = static_cast<int64_t>(idleSeconds * 1e6);
    line->lastInputUs_ = NowUs();
    return line;
}

PtyLine::~PtyLine() {
    if (hold_ >= 0) close(hold_);
    if (master_ >= 0) close(master_);
}

int64_t PtyLine::NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t PtyLine::NowMs() {
    return NowUs() / 1000;
}

void PtyLine::CheckEnded(int64_t now) {
    if (stopRequested.load()) throw LineEnded{"interrupted"};
    if (hungUp_) throw LineEnded{"line closed"};
    if (now - lastInputUs_ >= idleLimitUs_) throw LineEnded{"timeout"};
}

void PtyLine::FlushOut(int64_t now) {
    uint8_t chunk[1024];
    while (!out_.empty() && out_.front().first <= now && master_ >= 0) {
        size_t n = 0;
        while (n < sizeof chunk && n < out_.size() && out_[n].first <= now) {
            chunk[n] = out_[n].second;
            ++n;
        }
        ssize_t written = write(master_, chunk, n);
        if (written <= 0) return;  // full, or nobody there: try again later
        out_.erase(out_.begin(), out_.begin() + written);
    }
}

// One wait on the master until wakeUs at the latest: takes what arrives, sends what is due.
void PtyLine::Pump(int64_t now, int64_t wakeUs) {
    int64_t waitMs = (std::max<int64_t>(wakeUs - now, 0) + 999) / 1000;
    pollfd p{master_, POLLIN, 0};
    if (!out_.empty() && out_.front().first <= now) p.events |= POLLOUT;
    int r = poll(&p, 1, static_cast<int>(std::min<int64_t>(waitMs, 100)));
    if (r <= 0) return;
    if (p.revents & POLLIN) {
        uint8_t buffer[4096];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n > 0) {
            int64_t arrived = NowUs();
            for (ssize_t i = 0; i < n; ++i) {
                // At a baud rate a byte has fully arrived one character time after the last.
                int64_t at = byteUs_ ? std::max(inFreeUs_, arrived) + byteUs_ : arrived;
                inFreeUs_ = at;
                in_.emplace_back(at, buffer[i]);
            }
            return;
        }
    }
    if (p.revents & (POLLHUP | POLLERR)) {
        // Nobody has the slave open (only without our own descriptor): wait for a reopen
        // without spinning.
        usleep(static_cast<useconds_t>(std::min<int64_t>(waitMs, 20) * 1000));
    }
}

int PtyLine::ReadByte(int timeoutMs) {
    const int64_t deadline = NowUs() + int64_t{timeoutMs} * 1000;
    bool lookedAgain = false;
    for (;;) {
        int64_t now = NowUs();
        if (stopRequested.load()) throw LineEnded{"interrupted"};
        if (hungUp_) throw LineEnded{"line closed"};
        FlushOut(now);
        if (!in_.empty() && in_.front().first <= now) {
            int b = in_.front().second;
            in_.pop_front();
            lastInputUs_ = now;
            return b;
        }
        CheckEnded(now);
        if (now >= deadline) {
            // Out of time, but what the kernel already holds still counts as there.
            if (lookedAgain) return kNothing;
            lookedAgain = true;
            Pump(now, now);
            continue;
        }
        int64_t wake = std::min(deadline, lastInputUs_ + idleLimitUs_);
        if (!in_.empty()) wake = std::min(wake, in_.front().first);
        if (!out_.empty() && out_.front().first > now) wake = std::min(wake, out_.front().first);
        Pump(now, wake);
    }
}

void PtyLine::Write(const uint8_t* data, size_t length) {
    if (hungUp_) return;
    int64_t now = NowUs();
    for (size_t i = 0; i < length && out_.size() < kOutputLimit; ++i) {
        int64_t at = 0;
        if (byteUs_) {
            at = std::max(outFreeUs_, now) + byteUs_;
            outFreeUs_ = at;
        }
        out_.emplace_back(at, data[i]);
    }
    FlushOut(now);
}

void PtyLine::Drain(int maxMs) {
    const int64_t end = NowUs() + int64_t{maxMs} * 1000;
    for (;;) {
        int64_t now = NowUs();
        if (stopRequested.load()) throw LineEnded{"interrupted"};
        FlushOut(now);
        if (out_.empty() || hungUp_ || now >= end) return;
        int64_t wake = out_.front().first > now ? std::min(end, out_.front().first)
                                                : std::min(end, now + 10'000);
        Pump(now, wake);
    }
}

void PtyLine::Pause(int ms) {
    const int64_t end = NowUs() + int64_t{ms} * 1000;
    for (;;) {
        int64_t now = NowUs();
        if (stopRequested.load()) throw LineEnded{"interrupted"};
        FlushOut(now);
        if (hungUp_ || now >= end) return;
        int64_t wake = end;
        if (!out_.empty() && out_.front().first > now) wake = std::min(wake, out_.front().first);
        Pump(now, wake);
    }
}

void PtyLine::Hangup() {
    if (hold_ >= 0) close(hold_);
    if (master_ >= 0) close(master_);
    hold_ = master_ = -1;
    hungUp_ = true;
    out_.clear();
    in_.clear();
}

void PtyLine::AllowReopen() {
    // On a pty the exclusive-use flag outlives the tool's close; a USB device node's would
    // not. Clearing it lets a tool without privileges open the port again.
    if (hold_ >= 0) ioctl(hold_, TIOCNXCL);
}
