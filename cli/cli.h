#pragma once

#include <optional>
#include <string>
#include <vector>

// What the command line asked for. Each mode lives in its own file.
struct CliOptions {
    std::optional<std::string> port;  // --port NAME: kernel name (ttyACM0), COM name or path
    std::string firmware;             // FIRMWARE
    bool transferOnly = false;        // --transfer-only
    bool list = false;                // --list
};

// Each returns the process exit status: 0 on success, 1 on any failure.
int RunTransferOnly(const CliOptions& options);
int RunUpdate(const CliOptions& options);
int RunList(const CliOptions& options);

// Runs a port scan as the window does when it opens, printing the scan's log lines to
// standard output; returns the port-list entries in list order (the window selects the
// first one).
std::vector<std::wstring> ScanPortList();
