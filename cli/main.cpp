#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"

namespace {

const char kUsage[] =
    "Usage: zq418-flash [--port NAME] FIRMWARE\n"
    "       zq418-flash --port NAME --transfer-only FIRMWARE\n"
    "       zq418-flash --list\n"
    "\n"
    "Writes FIRMWARE into a ZQ-418 device attached as a serial port.\n"
    "\n"
    "  --port NAME      the device's port: a name as listed (ttyACM0, COM5) or a path\n"
    "                   (/dev/ttyACM0); without it the first device found is used\n"
    "  --transfer-only  skip the flash-mode dialogue and only send the file, for a device\n"
    "                   that is already waiting in flash mode\n"
    "  --list           list the devices found and exit\n"
    "  --help           show this help\n"
    "\n"
    "Standard output carries the update's log; progress goes to standard error.\n"
    "Exit status: 0 when the update went through, 1 otherwise.\n";

int UsageError(const std::string& message) {
    std::fprintf(stderr, "zq418-flash: %s\nTry 'zq418-flash --help' for more information.\n",
                 message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    CliOptions options;
    bool haveFirmware = false;
    bool endOfOptions = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (!endOfOptions && arg == "--") {
            endOfOptions = true;
        } else if (!endOfOptions && (arg == "--help" || arg == "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (!endOfOptions && arg == "--port") {
            if (i + 1 >= argc) return UsageError("--port needs a port name");
            options.port = argv[++i];
            if (options.port->empty()) return UsageError("--port needs a port name");
        } else if (!endOfOptions && arg.rfind("--port=", 0) == 0) {
            options.port = arg.substr(7);
            if (options.port->empty()) return UsageError("--port needs a port name");
        } else if (!endOfOptions && arg == "--transfer-only") {
            options.transferOnly = true;
        } else if (!endOfOptions && arg == "--list") {
            options.list = true;
        } else if (!endOfOptions && arg.size() > 1 && arg[0] == '-') {
            return UsageError("unknown option '" + arg + "'");
        } else if (haveFirmware) {
            return UsageError("only one firmware file can be given");
        } else {
            options.firmware = arg;
            haveFirmware = true;
        }
    }

    if (options.list) {
        if (haveFirmware || options.transferOnly || options.port)
            return UsageError("--list takes no other arguments");
        return RunList(options);
    }
    if (!haveFirmware) return UsageError("no firmware file given");
    if (options.firmware.empty()) return UsageError("the firmware file name is empty");
    if (options.transferOnly) {
        if (!options.port) return UsageError("--transfer-only needs --port NAME");
        return RunTransferOnly(options);
    }
    return RunUpdate(options);
}
