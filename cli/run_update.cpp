#include <cstdio>
#include <string>
#include <vector>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli.h"
#include "cli_window.h"
#include "firmware_file.h"
#include "port_scan.h"
#include "transfer.h"
#include "update_procedure.h"

// zq418-flash [--port NAME] FIRMWARE: one whole update, as the window's "Update" runs it.
// Standard output carries exactly the window's log; hints and progress go to standard error.

namespace {

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(::fileno(stderr)) != 0;
#endif
}

std::string Narrow(const std::wstring& text) {
    std::string bytes(text.size() * 4 + 1, '\0');
    WideToAnsi(text, bytes.data(), bytes.size());
    return bytes.c_str();
}

// Explains on standard error why the dialogue's port did not open; the log says only that
// it did not.
void HintOpenFailure(const std::wstring& name, HandshakeOpenError why) {
    std::string port = Narrow(name);
    while (!port.empty() && port.back() == ' ') port.pop_back();
    switch (why) {
        case HandshakeOpenError::AccessDenied:
            std::fprintf(stderr,
                         "zq418-flash: permission denied opening port '%s': add your user to "
                         "the dialout group (then log in again)\n",
                         port.c_str());
            break;
        case HandshakeOpenError::Busy:
            std::fprintf(stderr, "zq418-flash: port '%s' is busy: another program holds it\n",
                         port.c_str());
            break;
        case HandshakeOpenError::NotFound:
            std::fprintf(stderr, "zq418-flash: no such port '%s'\n", port.c_str());
            break;
        case HandshakeOpenError::NameTooLong:
            std::fprintf(stderr, "zq418-flash: port name '%s' is too long\n", port.c_str());
            break;
        case HandshakeOpenError::Other:
        case HandshakeOpenError::None:
            std::fprintf(stderr, "zq418-flash: cannot open port '%s'\n", port.c_str());
            break;
    }
}

}  // namespace

int RunUpdate(const CliOptions& options) {
#ifdef _WIN32
    // The log's "\r\n" go out as they are.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::wstring> entries;
    if (options.port) {
        entries.push_back(PortListEntry(AnsiToWide(options.port->c_str())));
    } else {
        entries = ScanPortList();
    }
    int selection = entries.empty() ? -1 : 0;

    // A file that cannot be sent is named before the device is talked into flash mode.
    uint64_t size = 0;
    std::string problem;
    if (!CheckFirmware(options.firmware, &size, &problem)) return Fail(problem);

    bool terminal = StderrIsTerminal();
    CliWindow window(entries, selection, AnsiToWide(options.firmware.c_str()), size, stdout, stderr,
                     terminal);

    // The engine's trace goes to standard error; on a terminal the bar takes the place of its
    // carriage-return progress lines.
    SetTransferTrace(terminal ? nullptr : stderr);
    UpdateSeams& seams = UpdatePlatform();
    seams.openHandshakePort = [](const std::wstring& name) {
        HandshakeOpenError why = HandshakeOpenError::None;
        std::unique_ptr<HandshakeLine> line = OpenHandshakePort(name, &why);
        if (!line) HintOpenFailure(name, why);
        return line;
    };
    seams.sendFirmwareFile = [size](ProgressWindow* progress, const char* path, const char* port) {
        WatchedPort watched(CreatePlatformSerialPort());
        TransferReport report =
            SendFirmwareFileReport(progress, path, port, watched, SystemClock());
        if (report.status != 0) {
            std::string name = port;
            while (!name.empty() && name.back() == ' ') name.pop_back();
            Fail(TransferFailureMessage(report, path, name, size, watched.Written()));
        }
        return report.status;
    };

    OnUpdateClicked(window);
    // The log's window must outlive both threads.
    WaitForUpdateThreads();
    return window.Succeeded() ? 0 : 1;
}
