#include <cstring>

#include "update_procedure.h"

// The 8-bit text of this platform is UTF-8. Bytes that are not valid UTF-8 map to
// U+DC80..U+DCFF and back, so device lines and file names pass through unchanged.

namespace {

constexpr wchar_t kEscapeBase = 0xDC00;

bool IsEscapedByte(uint32_t c) {
    return c >= 0xDC80 && c <= 0xDCFF;
}

}  // namespace

bool WideToAnsi(const std::wstring& text, char* buffer, std::size_t size) {
    if (size == 0) return false;
    std::size_t out = 0;
    auto put = [&](uint32_t byte) {
        if (out + 1 >= size) return false;  // keep room for the terminator
        buffer[out++] = static_cast<char>(byte);
        return true;
    };
    bool ok = true;
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c == 0) break;
        if (IsEscapedByte(c)) {
            ok = put(c - kEscapeBase);
        } else if (c < 0x80) {
            ok = put(c);
        } else if (c < 0x800) {
            ok = put(0xC0 | (c >> 6)) && put(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                ok = false;
            } else {
                ok = put(0xE0 | (c >> 12)) && put(0x80 | ((c >> 6) & 0x3F)) &&
                     put(0x80 | (c & 0x3F));
            }
        } else if (c <= 0x10FFFF) {
            ok = put(0xF0 | (c >> 18)) && put(0x80 | ((c >> 12) & 0x3F)) &&
                 put(0x80 | ((c >> 6) & 0x3F)) && put(0x80 | (c & 0x3F));
        } else {
            ok = false;
        }
        if (!ok) {
            buffer[0] = '\0';
            return false;
        }
    }
    buffer[out] = '\0';
    return true;
}

std::wstring AnsiToWide(const char* text) {
    std::wstring result;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::size_t length = std::strlen(text);
    std::size_t i = 0;
    while (i < length) {
        unsigned char lead = p[i];
        uint32_t c = 0;
        std::size_t extra = 0;
        uint32_t minimum = 0;
        if (lead < 0x80) {
            result.push_back(static_cast<wchar_t>(lead));
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            c = lead & 0x1F;
            extra = 1;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            c = lead & 0x0F;
            extra = 2;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            c = lead & 0x07;
            extra = 3;
            minimum = 0x10000;
        }
        bool valid = extra > 0;
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            if (i + k >= length || (p[i + k] & 0xC0) != 0x80) {
                valid = false;
            } else {
                c = (c << 6) | (p[i + k] & 0x3F);
            }
        }
        if (valid && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = false;
        if (valid) {
            result.push_back(static_cast<wchar_t>(c));
            i += extra + 1;
        } else {
            result.push_back(static_cast<wchar_t>(kEscapeBase + lead));
            ++i;
        }
    }
    return result;
}

std::wstring FileNameOfPath(const std::wstring& path) {
    return FileNameAfterLast(path, L'/');
}
