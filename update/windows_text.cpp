#include <windows.h>

#include "update_procedure.h"

bool WideToAnsi(const std::wstring& text, char* buffer, std::size_t size) {
    if (size == 0) return false;
    // The terminator is converted with the text, so a text that fills the buffer exactly
    // without it fails instead of losing it.
    int written = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, buffer, static_cast<int>(size),
                                      nullptr, nullptr);
    if (written == 0) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

std::wstring AnsiToWide(const char* text) {
    int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (units <= 1) return std::wstring();
    std::wstring result(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, result.data(), units);
    result.resize(static_cast<std::size_t>(units) - 1);
    return result;
}

std::wstring FileNameOfPath(const std::wstring& path) {
    return FileNameAfterLast(path, L'\\');
}
