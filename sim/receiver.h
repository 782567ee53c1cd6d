#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "line.h"
#include "options.h"

struct ReceiveResult {
    bool headerSeen = false;
    bool complete = false;  // the whole announced file and the end of the batch arrived
    std::string name;
    uint64_t size = 0;
    std::vector<uint8_t> data;
    std::vector<std::string> failures;  // empty when the transfer was clean
};

// A strict receiver of a one-file batch, with the faults of the options injected.
class Receiver {
  public:
    static constexpr int kStartRepeatMs = 1000;  // like a receiver that waits for a sender
    static constexpr int kInterByteMs = 1000;    // a gap this long inside a frame damages it
    static constexpr int kMaxTransmissions = 10;

    Receiver(Line& line, const Options& options);
    ReceiveResult Run();

  private:
    enum class FrameStatus { Ok, Incomplete, BadComplement, BadCheck };
    struct Frame {
        FrameStatus status = FrameStatus::Ok;
        uint8_t number = 0;
        std::vector<uint8_t> payload;
    };
    enum class Step { Continue, End };

    Frame ReadFrame(int first, long dataBlock);
    bool StartPhase();
    bool DataPhase();
    bool EndPhase();
    Step OnDataFrame(const Frame& frame);
    void Reject(long dataBlock, const char* what, bool injected);
    void CancelAndWatch(const std::string& what);
    void WatchSenderStops(const std::string& after);
    bool SecondCan();
    void CountTransmission(long block);
    Step StopAfterTwoCans(long block);
    void Violation(const std::string& what);
    void Fail(const std::string& what);

    Line& line_;
    const Options& options_;
    bool crc_;
    bool streaming_;
    ReceiveResult result_;

    long expected_ = 1;  // next data block, counted from 1 without wrapping
    std::vector<uint8_t> lastPayload_;
    std::map<long, int> transmissions_;
    std::map<long, int> naksLeft_;
    std::map<long, int> canTwiceSent_;
    long secondCanAt_ = 0;      // streaming: the block that gets the second CAN
    bool dropPending_ = false;  // a byte of this frame was dropped on purpose
    std::set<long> corrupted_;  // faults that fire once per block
    std::set<long> droppedIn_;
    std::set<long> cancelledOnce_;
    bool paddingReported_ = false;
};
