#include "options.h"

#include <cerrno>
#include <cstdlib>

const char kUsage[] =
    "Usage: zq418-sim [--link PATH] [--out FILE] [--scenario NAME] [--no-dialogue]\n"
    "                 [--mode C|G|NAK] [--fault FAULT]... [--baud N] [--timeout SECONDS]\n"
    "\n"
    "Plays a ZQ-418 device on a new pseudo-terminal. The first line of standard output is\n"
    "\"PTY <slave path>\"; the last is the verdict:\n"
    "  VERDICT OK name=<announced name> size=<bytes> sha256=<hex>     (exit status 0)\n"
    "  VERDICT FAIL <reason>[; <reason>...]                           (exit status 1)\n"
    "\n"
    "  --link PATH        also make PATH a symbolic link to the slave (removed at exit)\n"
    "  --out FILE         write the received file there once it is complete\n"
    "  --scenario NAME    flash-mode dialogue (default normal):\n"
    "                       normal         first '1': menu, last line has \"New\";\n"
    "                                      next '1': a line with \"abort\", then receive\n"
    "                       silent         never answers\n"
    "                       chatter        sends lines without gaps, never \"abort\"\n"
    "                       capital-abort  \"Abort\" instead of \"abort\": no flash mode\n"
    "                       abort-in-word  \"abort\" inside a longer word (counts)\n"
    "                       long-line      a 600-byte line without line feed, then normal\n"
    "                       nul-in-line    a line with a NUL byte inside, then normal\n"
    "                       new-and-abort  a line with both \"New\" and \"abort\", then normal\n"
    "  --no-dialogue      skip the dialogue and receive at once\n"
    "  --mode C|G|NAK     start character: CRC with ACKs (default), streaming, checksum.\n"
    "                     It is repeated every second until the header block arrives.\n"
    "                     In G mode only EOT and the end-of-batch block get an ACK; the\n"
    "                     header is answered with 'G' alone.\n"
    "  --fault FAULT      (repeatable; BLOCK counts data blocks from 1)\n"
    "                       nak=BLOCK:COUNT       NAK the first COUNT transmissions of BLOCK\n"
    "                       can-once=BLOCK        answer BLOCK once with one CAN\n"
    "                       can-twice=BLOCK       answer BLOCK and its resend with CAN\n"
    "                       silence-after-header  never answer after block 0\n"
    "                       wrong-start           after block 0, a wrong byte (NAK; 'C' in\n"
    "                                             NAK mode) instead of the start character\n"
    "                       corrupt=BLOCK         take BLOCK's check as corrupted once: NAK\n"
    "                       drop=BLOCK            lose one byte of BLOCK once: NAK after 1 s\n"
    "                       hangup=BLOCK          close the line in the middle of BLOCK\n"
    "  --baud N           pace both directions at N baud 8N1 (N/10 bytes/s); default unpaced\n"
    "  --timeout SECONDS  give up when nothing arrives for that long (default 60)\n"
    "  --lenient-header   accept optional fields after the size in block 0 (modification\n"
    "                     time, mode, ...) and bytes after its terminator, as lrzsz sends;\n"
    "                     by default block 0 must be name, NUL, size and zeros only\n"
    "  --help             this text\n";

namespace {

bool ParseCount(const std::string& text, long minimum, long& value) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < minimum) return false;
    value = v;
    return true;
}

}  // namespace

bool ParseScenario(const std::string& name, Scenario& scenario) {
    static const std::map<std::string, Scenario> names = {
        {"normal", Scenario::Normal},
        {"silent", Scenario::Silent},
        {"chatter", Scenario::Chatter},
        {"capital-abort", Scenario::CapitalAbort},
        {"abort-in-word", Scenario::AbortInWord},
        {"long-line", Scenario::LongLine},
        {"nul-in-line", Scenario::NulInLine},
        {"new-and-abort", Scenario::NewAndAbort},
    };
    auto it = names.find(name);
    if (it == names.end()) return false;
    scenario = it->second;
    return true;
}

bool ParseFault(const std::string& fault, Faults& faults, std::string& error) {
    if (fault == "silence-after-header") {
        faults.silenceAfterHeader = true;
        return true;
    }
    if (fault == "wrong-start") {
        faults.wrongStart = true;
        return true;
    }
    size_t eq = fault.find('=');
    std::string kind = fault.substr(0, eq);
    std::string arg = eq == std::string::npos ? "" : fault.substr(eq + 1);
    long block = 0;
    if (kind == "nak") {
        size_t colon = arg.find(':');
        long count = 0;
        if (colon == std::string::npos || !ParseCount(arg.substr(0, colon), 1, block) ||
            !ParseCount(arg.substr(colon + 1), 1, count)) {
            error = "--fault nak wants BLOCK:COUNT, both from 1: " + fault;
            return false;
        }
        faults.nak[block] = static_cast<int>(count);
        return true;
    }
    static const std::map<std::string, std::set<long> Faults::*> perBlock = {
        {"can-once", &Faults::canOnce}, {"can-twice", &Faults::canTwice},
        {"corrupt", &Faults::corrupt},  {"drop", &Faults::drop},
        {"hangup", &Faults::hangup},
    };
    auto it = perBlock.find(kind);
    if (it == perBlock.end()) {
        error = "unknown fault: " + fault;
        return false;
    }
    if (!ParseCount(arg, 1, block)) {
        error = "--fault " + kind + " wants a data block number from 1: " + fault;
        return false;
    }
    (faults.*(it->second)).insert(block);
    return true;
}

bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            options.help = true;
        } else if (a == "--link") {
            if (!value(options.link)) return false;
        } else if (a == "--out") {
            if (!value(options.out)) return false;
        } else if (a == "--scenario") {
            if (!value(v)) return false;
            if (!ParseScenario(v, options.scenario)) {
                error = "unknown scenario: " + v;
                return false;
            }
        } else if (a == "--no-dialogue") {
            options.dialogue = false;
        } else if (a == "--mode") {
            if (!value(v)) return false;
            if (v == "C") {
                options.startChar = 'C';
            } else if (v == "G") {
                options.startChar = 'G';
            } else if (v == "NAK") {
                options.startChar = 0x15;
            } else {
                error = "--mode wants C, G or NAK: " + v;
                return false;
            }
        } else if (a == "--fault") {
            if (!value(v) || !ParseFault(v, options.faults, error)) return false;
        } else if (a == "--baud") {
            if (!value(v)) return false;
            if (!ParseCount(v, 10, options.baud)) {
                error = "--baud wants a rate of at least 10: " + v;
                return false;
            }
        } else if (a == "--timeout") {
            if (!value(v)) return false;
            char* end = nullptr;
            double t = std::strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(t > 0) || t > 86400) {
                error = "--timeout wants seconds above 0: " + v;
                return false;
            }
            options.timeoutSeconds = t;
        } else if (a == "--lenient-header") {
            options.lenientHeader = true;
        } else {
            error = "unknown argument: " + a;
            return false;
        }
    }
    return true;
}
