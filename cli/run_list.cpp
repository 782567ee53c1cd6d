#include <cstdio>

#include "cli.h"

// Not built yet: this mode arrives with its subsystem.
int RunList(const CliOptions&) {
    std::fputs("zq418-flash: this mode is not available yet\n", stderr);
    return 1;
}

std::vector<std::wstring> ScanPortList() {
    return {};
}
