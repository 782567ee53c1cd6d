#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// What the device does wrong on purpose. Data blocks count from 1 in sending order (block
// numbers on the wire wrap at 256, these do not).
struct Faults {
    std::map<long, int> nak;  // data block -> how many of its transmissions to NAK
    std::set<long> canOnce;
    std::set<long> canTwice;
    std::set<long> corrupt;
    std::set<long> drop;
    std::set<long> hangup;
    bool silenceAfterHeader = false;
    bool wrongStart = false;
};

enum class Scenario {
    Normal,
    Silent,
    Chatter,
    CapitalAbort,
    AbortInWord,
    LongLine,
    NulInLine,
    NewAndAbort,
};

struct Options {
    std::string link;
    std::string out;
    Scenario scenario = Scenario::Normal;
    bool dialogue = true;
    unsigned char startChar = 'C';  // 'C', 'G' or NAK (0x15)
    Faults faults;
    long baud = 0;  // 0: unpaced
    double timeoutSeconds = 60;
    bool lenientHeader = false;
    bool help = false;
};

// Parses the arguments after the program name. On failure returns false and says why.
bool ParseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
bool ParseFault(const std::string& fault, Faults& faults, std::string& error);
bool ParseScenario(const std::string& name, Scenario& scenario);

extern const char kUsage[];
