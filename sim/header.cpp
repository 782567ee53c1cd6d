#include "header.h"

namespace {

bool AllZero(const uint8_t* p, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

}  // namespace

HeaderInfo ParseHeader(const uint8_t* p, size_t length, bool lenient) {
    HeaderInfo h;
    if (length == 0 || p[0] == 0) {
        h.endOfBatch = true;
        if (!lenient && !AllZero(p, 0, length)) {
            h.problems.push_back("end-of-batch block is not all zeros");
        }
        return h;
    }
    size_t i = 0;
    while (i < length && p[i] != 0) ++i;
    h.name.assign(reinterpret_cast<const char*>(p), i);
    if (i == length) {
        h.problems.push_back("header name is not terminated by NUL");
        return h;
    }
    if (h.name.find('\\') != std::string::npos) {
        h.problems.push_back("header name contains a backslash");
    }
    ++i;
    size_t digitsStart = i;
    while (i < length && p[i] >= '0' && p[i] <= '9') ++i;
    size_t digits = i - digitsStart;
    if (digits == 0) {
        h.problems.push_back("header carries no size");
    } else if (digits > 19) {
        h.problems.push_back("header size has too many digits");
    } else {
        if (digits > 1 && p[digitsStart] == '0') {
            h.problems.push_back("header size has leading zeros");
        }
        h.hasSize = true;
        for (size_t k = digitsStart; k < i; ++k) h.size = h.size * 10 + (p[k] - '0');
    }
    if (i < length && p[i] == ' ' && digits > 0) {
        size_t fieldsStart = i;
        while (i < length && p[i] != 0) ++i;
        std::string fields(reinterpret_cast<const char*>(p) + fieldsStart, i - fieldsStart);
        bool wellFormed = true;
        for (char c : fields) {
            if (c != ' ' && (c < '0' || c > '9')) wellFormed = false;
        }
        if (!lenient) {
            h.problems.push_back("header carries more than name and size: \"" + fields + "\"");
        } else if (!wellFormed) {
            h.problems.push_back("header fields after the size are malformed: \"" + fields + "\"");
        } else {
            h.fields = fields.substr(1);
        }
    }
    if (i < length && p[i] != 0) {
        h.problems.push_back("header size is not followed by NUL");
        return h;
    }
    if (!lenient && !AllZero(p, i, length)) {
        h.problems.push_back("header has bytes after its terminator");
    }
    return h;
}
