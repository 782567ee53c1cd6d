#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Block 0 of the batch: the file's name, NUL, its size in decimal, zeros.
struct HeaderInfo {
    bool endOfBatch = false;  // an empty name: no (more) files
    std::string name;
    bool hasSize = false;
    uint64_t size = 0;
    std::string fields;                 // optional fields after the size (lenient only)
    std::vector<std::string> problems;  // each one a protocol violation
};

// lenient: also accept what other senders put there: optional fields after the size
// (modification time, mode, ...) and any bytes after the terminating NUL; an end-of-batch
// block then only needs its first byte zero.
HeaderInfo ParseHeader(const uint8_t* payload, size_t length, bool lenient);
