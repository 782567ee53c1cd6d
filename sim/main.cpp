// zq418-sim: plays a ZQ-418 device on a pseudo-terminal for tests and demonstrations.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "dialogue.h"
#include "options.h"
#include "posix_pty_line.h"
#include "receiver.h"

namespace {

void OnSignal(int) {
    RequestStop();
}

// One line of output whatever the announced name holds.
std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int Verdict(const ReceiveResult& result) {
    if (result.complete && result.failures.empty()) {
        Sha256 sha;
        sha.Update(result.data.data(), result.data.size());
        auto digest = sha.Finish();
        std::printf("VERDICT OK name=%s size=%llu sha256=%s\n", Printable(result.name).c_str(),
                    static_cast<unsigned long long>(result.data.size()),
                    Sha256::Hex(digest.data(), digest.size()).c_str());
        std::fflush(stdout);
        return 0;
    }
    std::string reasons;
    for (const auto& r : result.failures) {
        if (!reasons.empty()) reasons += "; ";
        reasons += Printable(r);
    }
    if (reasons.empty()) reasons = "incomplete";
    std::printf("VERDICT FAIL %s\n", reasons.c_str());
    std::fflush(stdout);
    return 1;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "zq418-sim: %s\nTry 'zq418-sim --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ReceiveResult result;
    auto line = PtyLine::Open(options.baud, options.timeoutSeconds, error);
    if (!line) {
        result.failures.push_back(error);
        return Verdict(result);
    }
    if (!options.link.empty()) {
        struct stat st {};
        if (lstat(options.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            unlink(options.link.c_str());
        }
        if (symlink(line->SlavePath().c_str(), options.link.c_str()) != 0) {
            result.failures.push_back("cannot make the link " + options.link + ": " +
                                      std::strerror(errno));
            return Verdict(result);
        }
    }
    std::printf("PTY %s\n", line->SlavePath().c_str());
    std::fflush(stdout);

    bool flashMode = !options.dialogue;
    if (options.dialogue) {
        try {
            flashMode = PlayDialogue(*line, options.scenario);
        } catch (const LineEnded& ended) {
            result.failures.push_back(ended.reason);
            result.failures.push_back("no transfer");
        }
    }
    if (flashMode) {
        Receiver receiver(*line, options);
        result = receiver.Run();
        if (result.complete && !options.out.empty() && !WriteFile(options.out, result.data)) {
            result.failures.push_back("cannot write " + options.out);
        }
    }
    if (!options.link.empty()) unlink(options.link.c_str());
    line.reset();
    return Verdict(result);
}
