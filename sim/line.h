#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Why the device stopped listening: the idle limit passed, it was told to stop, or the line
// was closed. Thrown out of Line::ReadByte so that every wait in the dialogue and the
// receiver ends the same way.
struct LineEnded {
    std::string reason;
};

// The device's end of the serial line.
class Line {
  public:
    static constexpr int kNothing = -1;

    virtual ~Line() = default;
    // The next byte, or kNothing when none came within timeoutMs.
    virtual int ReadByte(int timeoutMs) = 0;
    virtual void Write(const uint8_t* data, size_t length) = 0;
    // Waits (up to maxMs) until everything written has left, as far as pacing goes.
    virtual void Drain(int maxMs) = 0;
    // Lets time pass without taking input (what arrives stays queued for later reads).
    virtual void Pause(int ms) = 0;
    // Drops the line as an unplugged device would; every later read ends the session.
    virtual void Hangup() = 0;
    // Lets the tool open the port again after it closed it (see the pty implementation).
    virtual void AllowReopen() {}
    virtual int64_t NowMs() = 0;

    void WriteByte(uint8_t b) { Write(&b, 1); }
    void WriteText(const std::string& text) {
        Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    // Reads and drops bytes until the line has been quiet for quietMs.
    void Purge(int quietMs) {
        while (ReadByte(quietMs) != kNothing) {
        }
    }
};
