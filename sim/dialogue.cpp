#include "dialogue.h"

#include <string>

namespace {

const char kMenu[] =
    "\r\n"
    "ZQ-418 boot menu\r\n"
    "  1  Firmware update\r\n"
    "  2  Device information\r\n"
    "  3  Restart\r\n"
    "Press 1 to load New firmware\r\n";

const char kFlashMode[] = "Flash mode: waiting for the file, any other key will abort\r\n";
const char kFlashModeInWord[] = "Flash mode: waiting for the file (press a key: aborting)\r\n";
const char kCapitalAbort[] = "Flash mode: waiting for the file, any other key will Abort\r\n";
const char kNewAndAbort[] = "New firmware? Press 1, any other key to abort\r\n";
const char kNulLine[] = "ZQ-418\0bootloader v2.1\r\n";
const char kChatter[] = "status: sensor 0x5A ok, battery 97%, uptime 000123 s\r\n";

// Reads until a '1' arrives; other bytes are ignored as the device's menu would.
void WaitForOne(Line& line) {
    for (;;) {
        if (line.ReadByte(1000) == '1') return;
    }
}

[[noreturn]] void IgnoreForever(Line& line) {
    for (;;) line.ReadByte(1000);  // ends with the idle limit
}

}  // namespace

bool PlayDialogue(Line& line, Scenario scenario) {
    if (scenario == Scenario::Silent) IgnoreForever(line);
    WaitForOne(line);
    switch (scenario) {
        case Scenario::Chatter:
            // Lines back to back, never a gap of 100 ms, never "abort".
            for (;;) {
                line.WriteText(kChatter);
                line.Drain(50);
                line.ReadByte(5);
            }
        case Scenario::LongLine:
            line.WriteText(std::string(600, '#'));
            break;
        case Scenario::NulInLine:
            line.Write(reinterpret_cast<const uint8_t*>(kNulLine), sizeof kNulLine - 1);
            break;
        case Scenario::NewAndAbort:
            line.WriteText(kNewAndAbort);
            break;
        default:
            break;
    }
    line.WriteText(kMenu);
    WaitForOne(line);
    if (scenario == Scenario::CapitalAbort) {
        line.WriteText(kCapitalAbort);
        IgnoreForever(line);
    }
    line.WriteText(scenario == Scenario::AbortInWord ? kFlashModeInWord : kFlashMode);
    line.Drain(1000);
    line.AllowReopen();  // the tool now closes the port and opens it for the transfer
    return true;
}
