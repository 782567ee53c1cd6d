// Transfer benchmark: sends a 256 KiB file through a pseudo-terminal line paced at 115200
// baud 8N1 (11,520 bytes/s each way) to lrzsz `rb`, once with zq418-flash --transfer-only
// and once with `sz --ymodem -k`, and prints the times next to the wire's floor. Then it
// measures the peak resident memory of zq418-flash with a 64 MiB and a 1 KiB file.
//
// Usage: transfer_bench [--tool PATH] [--size BYTES] [--skip-sz] [--skip-memory]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kBytesPerSecond = 11520.0;  // 115200 baud, 10 bits per byte
constexpr double kQuietBeforeFrame = 0.030;  // the sender's drain before every transmission

double Now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "transfer_bench: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void WriteRandomFile(const std::string& path, size_t size) {
    std::mt19937_64 random(418);
    std::vector<char> data(size);
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
}

bool SameFiles(const std::string& a, const std::string& b) {
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    if (!fa || !fb) return false;
    return std::string(std::istreambuf_iterator<char>(fa), {}) ==
           std::string(std::istreambuf_iterator<char>(fb), {});
}

// One direction of the line: bytes leave at the wire's rate, each no earlier than it
// arrived and one byte time after the previous one.
struct PacedDirection {
    struct Byte {
        uint8_t value;
        double due;
    };
    std::deque<Byte> queue;
    double lastDue = 0;
    uint64_t delivered = 0;
    double firstIn = -1, lastOut = -1;
    double pace = kBytesPerSecond;  // 0: unpaced

    void Take(const uint8_t* data, size_t n, double now) {
        if (firstIn < 0 && n > 0) firstIn = now;
        for (size_t i = 0; i < n; ++i) {
            const double start = lastDue > now ? lastDue : now;
            lastDue = pace > 0 ? start + 1.0 / pace : now;
            queue.push_back({data[i], lastDue});
        }
    }
    // Writes what is due; returns false when the destination is gone.
    bool Deliver(int fd, double now) {
        uint8_t buffer[4096];
        size_t n = 0;
        while (n < queue.size() && n < sizeof buffer && queue[n].due <= now) {
            buffer[n] = queue[n].value;
            ++n;
        }
        if (n == 0) return true;
        const ssize_t w = write(fd, buffer, n);
        if (w < 0) return errno == EAGAIN || errno == EINTR;
        queue.erase(queue.begin(), queue.begin() + w);
        delivered += static_cast<uint64_t>(w);
        lastOut = now;
        return true;
    }
    double NextDue() const { return queue.empty() ? -1 : queue.front().due; }
};

// Counts the block frames (CRC mode) and EOTs that the sender put on the line.
struct FrameCounter {
    uint64_t frames = 0;
    size_t skip = 0;
    void Feed(const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (skip > 0) {
                --skip;
                continue;
            }
            if (data[i] == 0x02) {
                skip = 1028;
                ++frames;
            } else if (data[i] == 0x01) {
                skip = 132;
                ++frames;
            } else if (data[i] == 0x04) {
                ++frames;
            }
        }
    }
};

struct Run {
    bool ok = false;
    double elapsed = 0;  // first byte of block 0 to the last answer delivered to the sender
    uint64_t toReceiver = 0, toSender = 0, frames = 0;
    int senderStatus = -1, receiverStatus = -1;
    // Time the line stood idle waiting for either side to answer what it had been given.
    double senderGaps = 0, receiverGaps = 0, longestReceiverGap = 0;
};

pid_t Spawn(const std::vector<std::string>& argv, const std::string& dir, int in, int out,
            int err) {
    const pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (in >= 0) dup2(in, 0);
        if (out >= 0) dup2(out, 1);
        if (err >= 0) dup2(err, 2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

long MaxRssFromTimeLog(const std::string& log) {
    std::ifstream in(log);
    std::string line;
    const std::string key = "Maximum resident set size (kbytes): ";
    while (std::getline(in, line)) {
        const size_t at = line.find(key);
        if (at != std::string::npos) return std::stol(line.substr(at + key.size()));
    }
    return -1;
}

// Sends file (relative to work) with the given sender through a pty paced at pace bytes/s
// (0: unpaced) to rb; the sender either opens the pty itself (%PORT% in its arguments) or
// gets it as standard input and output. cutAfter > 0: hang the line up after that many
// seconds.
Run Transfer(const std::string& work, std::vector<std::string> sender, double pace,
             double cutAfter = 0) {
    Run run;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) Die("pty");
    const std::string slave = ptsname(master);
    const int keeper = open(slave.c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    tcgetattr(keeper, &raw);
    cfmakeraw(&raw);
    tcsetattr(keeper, TCSANOW, &raw);
    SetNonBlocking(master);

    const std::string rx = work + "/rx";
    system(("rm -rf '" + rx + "' && mkdir '" + rx + "'").c_str());
    int toRb[2], fromRb[2];
    if (pipe(toRb) != 0 || pipe(fromRb) != 0) Die("pipe");
    const int rbLog = open((work + "/rb.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t rb = Spawn({"rb", "--ymodem", "--restricted"}, rx, toRb[0], fromRb[1], rbLog);
    close(toRb[0]);
    close(fromRb[1]);
    SetNonBlocking(toRb[1]);
    SetNonBlocking(fromRb[0]);

    bool usesStdio = true;
    for (std::string& a : sender) {
        if (a == "%PORT%") {
            a = slave;
            usesStdio = false;
        }
    }
    const int senderLog = open((work + "/sender.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int devNull = open("/dev/null", O_RDWR);
    // Give rb a moment to send its first 'C' so both senders start alike.
    usleep(200 * 1000);
    int lineFd = -1;
    if (usesStdio) lineFd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    const pid_t tx =
        Spawn(sender, work, usesStdio ? lineFd : devNull, usesStdio ? lineFd : devNull, senderLog);
    if (lineFd >= 0) close(lineFd);
    close(devNull);
    close(senderLog);
    close(rbLog);

    PacedDirection forward, backward;  // sender -> rb, rb -> sender
    forward.pace = backward.pace = pace;
    FrameCounter counter;
    double lastFromSender = -1, lastFromRb = -1;
    const double start = Now();
    bool senderDone = false, rbDone = false, masterOpen = true;
    while (!(senderDone && rbDone)) {
        const double now = Now();
        if (now - start > 600) break;
        if (cutAfter > 0 && masterOpen && now - start > cutAfter) {
            close(master);
            close(keeper);
            masterOpen = false;
            kill(rb, SIGTERM);
        }
        double next = -1;
        for (double due : {forward.NextDue(), backward.NextDue()})
            if (due >= 0 && (next < 0 || due < next)) next = due;
        double wait = 0.01;
        if (next >= 0) wait = next - now < 0 ? 0 : (next - now < wait ? next - now : wait);
        pollfd fds[2] = {{masterOpen ? master : -1, POLLIN, 0}, {fromRb[0], POLLIN, 0}};
        const timespec timeout{0, static_cast<long>(wait * 1e9)};
        ppoll(fds, 2, &timeout, nullptr);
        uint8_t buffer[4096];
        const double t = Now();
        if (masterOpen && (fds[0].revents & POLLIN)) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0) {
                // Line idle since the sender's last input or its own last output.
                if (backward.queue.empty() && backward.lastOut >= 0) {
                    const double since =
                        backward.lastOut > lastFromSender ? backward.lastOut : lastFromSender;
                    run.senderGaps += t - since;
                }
                lastFromSender = t;
                forward.Take(buffer, static_cast<size_t>(n), t);
                counter.Feed(buffer, static_cast<size_t>(n));
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = read(fromRb[0], buffer, sizeof buffer);
            if (n > 0) {
                if (forward.queue.empty() && forward.firstIn >= 0) {
                    const double since =
                        forward.lastOut > lastFromRb ? forward.lastOut : lastFromRb;
                    run.receiverGaps += t - since;
                    if (t - since > run.longestReceiverGap) run.longestReceiverGap = t - since;
                    if (t - since > 0.5)
                        std::printf(
                            "  (rb idle %.3f s after %llu bytes from the sender, then "
                            "sent 0x%02x)\n",
                            t - since, static_cast<unsigned long long>(forward.delivered),
                            buffer[0]);
                }
                lastFromRb = t;
                backward.Take(buffer, static_cast<size_t>(n), t);
            }
        }
        forward.Deliver(toRb[1], t);
        if (masterOpen) {
            // Answers before block 0 ('C' polls) are not part of the measured window.
            const uint64_t before = backward.delivered;
            backward.Deliver(master, t);
            if (forward.firstIn < 0) {
                backward.delivered = before;
                backward.lastOut = -1;
            }
        }
        int status;
        if (!senderDone && waitpid(tx, &status, WNOHANG) == tx) {
            senderDone = true;
            run.senderStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (!rbDone && waitpid(rb, &status, WNOHANG) == rb) {
            rbDone = true;
            run.receiverStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    if (!senderDone) kill(tx, SIGKILL), waitpid(tx, nullptr, 0);
    if (!rbDone) kill(rb, SIGKILL), waitpid(rb, nullptr, 0);
    close(toRb[1]);
    close(fromRb[0]);
    if (masterOpen) {
        close(master);
        close(keeper);
    }
    run.elapsed = backward.lastOut - forward.firstIn;
    run.toReceiver = forward.delivered;
    run.toSender = backward.delivered;
    run.frames = counter.frames;
    run.ok = run.senderStatus == 0 && run.receiverStatus == 0;
    return run;
}

void Report(const char* name, const Run& run, bool withWaits) {
    const double floor = static_cast<double>(run.toReceiver + run.toSender) / kBytesPerSecond;
    const double waits = withWaits ? static_cast<double>(run.frames) * kQuietBeforeFrame : 0;
    std::printf("%-22s %s  sender exit %d, rb exit %d\n", name, run.ok ? "ok " : "FAILED",
                run.senderStatus, run.receiverStatus);
    std::printf("  time, block 0 to the last answer: %8.3f s\n", run.elapsed);
    std::printf("  wire bytes: %llu to rb, %llu back; frames %llu\n",
                static_cast<unsigned long long>(run.toReceiver),
                static_cast<unsigned long long>(run.toSender),
                static_cast<unsigned long long>(run.frames));
    std::printf("  wire floor:                      %8.3f s\n", floor);
    std::printf("  idle line, waiting for sender:   %8.3f s (%.1f ms per frame)\n", run.senderGaps,
                run.frames ? run.senderGaps * 1000 / run.frames : 0.0);
    std::printf("  idle line, waiting for rb:       %8.3f s (longest %.3f s)\n", run.receiverGaps,
                run.longestReceiverGap);
    if (withWaits) {
        std::printf("  floor + 30 ms quiet per frame:   %8.3f s\n", floor + waits);
        std::printf("  over (floor + waits):            %+7.2f %%  (target: within 5 %%)\n",
                    (run.elapsed / (floor + waits) - 1) * 100);
        // rb's own pauses are no part of the sender's cost; sz meets them too.
        std::printf("  the same without rb's idle time: %+7.2f %%\n",
                    ((run.elapsed - run.receiverGaps) / (floor + waits) - 1) * 100);
        std::printf("  sender's time beyond the waits:  %8.1f ms per frame\n",
                    run.frames ? (run.senderGaps - waits) * 1000 / run.frames : 0.0);
    } else {
        std::printf("  over floor:                      %+7.2f %%\n",
                    (run.elapsed / floor - 1) * 100);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string tool = ZQ418_FLASH_PATH;
    size_t size = 256 * 1024;
    bool runSz = true, runMemory = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--tool" && i + 1 < argc)
            tool = argv[++i];
        else if (a == "--size" && i + 1 < argc)
            size = std::stoul(argv[++i]);
        else if (a == "--skip-sz")
            runSz = false;
        else if (a == "--skip-memory")
            runMemory = false;
        else {
            std::fprintf(stderr,
                         "usage: transfer_bench [--tool PATH] [--size BYTES] "
                         "[--skip-sz] [--skip-memory]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    char dirTemplate[] = "/tmp/zq418-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) Die("mkdtemp");
    const std::string work = dirTemplate;
    WriteRandomFile(work + "/fw.bin", size);

    std::printf("Line: pseudo-terminal paced at %.0f bytes/s each way (115200 baud 8N1)\n",
                kBytesPerSecond);
    std::printf("File: %zu bytes of random data\n\n", size);
    int failures = 0;

    const Run ours =
        Transfer(work, {tool, "--port", "%PORT%", "--transfer-only", "fw.bin"}, kBytesPerSecond);
    const bool oursSame = SameFiles(work + "/fw.bin", work + "/rx/fw.bin");
    Report("zq418-flash", ours, true);
    std::printf("  received file identical: %s\n\n", oursSame ? "yes" : "NO");
    failures += !(ours.ok && oursSame);

    if (runSz) {
        const Run sz = Transfer(work, {"sz", "--ymodem", "-k", "fw.bin"}, kBytesPerSecond);
        const bool szSame = SameFiles(work + "/fw.bin", work + "/rx/fw.bin");
        Report("sz --ymodem -k", sz, false);
        std::printf("  received file identical: %s\n", szSame ? "yes" : "NO");
        if (sz.elapsed > 0) std::printf("  zq418-flash / sz: %.3f\n\n", ours.elapsed / sz.elapsed);
        failures += !(sz.ok && szSame);
    }

    if (runMemory) {
        // Peak resident memory, unpaced. The 64 MiB transfer would take over half an hour
        // (30 ms of quiet before each of its 65,539 frames), so that line is hung up after
        // 20 s; by then the file has been opened, measured and read for a while, which is
        // where a program that held it whole would have grown.
        WriteRandomFile(work + "/small.bin", 1024);
        if (system(("truncate -s 64M '" + work + "/large.bin'").c_str()) != 0) Die("truncate");
        const Run small = Transfer(work,
                                   {"/usr/bin/time", "-v", "-o", work + "/time-small.log", tool,
                                    "--port", "%PORT%", "--transfer-only", "small.bin"},
                                   0);
        const Run large = Transfer(work,
                                   {"/usr/bin/time", "-v", "-o", work + "/time-large.log", tool,
                                    "--port", "%PORT%", "--transfer-only", "large.bin"},
                                   0, 20);
        const long rssSmall = MaxRssFromTimeLog(work + "/time-small.log");
        const long rssLarge = MaxRssFromTimeLog(work + "/time-large.log");
        std::printf("Peak RSS of zq418-flash --transfer-only (/usr/bin/time -v):\n");
        std::printf("  1 KiB file:  %ld KiB (transfer %s)\n", rssSmall,
                    small.ok ? "complete" : "FAILED");
        std::printf("  64 MiB file: %ld KiB (%llu KiB of data sent before the 20 s cut)\n",
                    rssLarge, static_cast<unsigned long long>(large.toReceiver / 1029));
        std::printf("  difference:  %ld KiB (target: within 1024 KiB)\n", rssLarge - rssSmall);
        failures += !small.ok || rssSmall < 0 || rssLarge < 0;
    }
    system(("rm -rf '" + work + "'").c_str());
    return failures == 0 ? 0 : 1;
}
