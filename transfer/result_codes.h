#pragma once

// Result codes of the transfer engine: 0 or a positive count on success, one of these on
// failure. They travel upward unchanged; only the entry point collapses them to 0 / 1.
enum TransferResult : int {
    PortError = -100,
    PortNotFound = -101,
    PortAccessDenied = -102,
    PortBadSettings = -103,
    PortWriteFailed = -104,
    PortReadFailed = -105,
    Timeout = -200,
    TooManyRetries = -201,
    FileReadError = -300,
    UnexpectedResponse = -301,
    CancelledByReceiver = -302,
    FileNameTooLong = -303,
};
