#include "receiver.h"

#include <algorithm>
#include <cstdio>

#include "checks.h"
#include "header.h"

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t SUB = 0x1A;

constexpr int kQuietBeforeNakMs = 50;
constexpr int kStreamingHeaderAnswerMs = 100;
constexpr int kSettleAfterCancelMs = 200;
constexpr int kWatchAfterCancelMs = 1500;
// After the last answer the tool still has to read it before the line goes away.
constexpr int kLingerMs = 500;

std::string Hex2(int b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b & 0xFF);
    return text;
}

}  // namespace

Receiver::Receiver(Line& line, const Options& options)
    : line_(line),
      options_(options),
      crc_(options.startChar != NAK),
      streaming_(options.startChar == 'G'),
      naksLeft_(options.faults.nak.begin(), options.faults.nak.end()) {}

void Receiver::Violation(const std::string& what) {
    std::string reason = "violation: " + what;
    if (std::find(result_.failures.begin(), result_.failures.end(), reason) ==
        result_.failures.end()) {
        result_.failures.push_back(reason);
    }
    std::fprintf(stderr, "zq418-sim: %s\n", reason.c_str());
}

void Receiver::Fail(const std::string& what) {
    if (std::find(result_.failures.begin(), result_.failures.end(), what) ==
        result_.failures.end()) {
        result_.failures.push_back(what);
    }
    std::fprintf(stderr, "zq418-sim: %s\n", what.c_str());
}

ReceiveResult Receiver::Run() {
    try {
        if (StartPhase() && DataPhase() && EndPhase()) {
            // Stay on the line a moment so that the final ACK is read before the pty goes.
            // The transfer is over: a stop request or the idle limit here changes nothing.
            try {
                line_.Drain(5000);
                while (line_.ReadByte(kLingerMs) != Line::kNothing) {
                }
            } catch (const LineEnded&) {
            }
        }
    } catch (const LineEnded& ended) {
        Fail(ended.reason);
    }
    if (!result_.headerSeen) {
        Fail("no transfer");
    } else if (!result_.complete) {
        Fail("incomplete: " + std::to_string(result_.data.size()) + " of " +
             std::to_string(result_.size) + " bytes received");
    }
    return result_;
}

Receiver::Frame Receiver::ReadFrame(int first, long dataBlock) {
    const size_t blockSize = first == STX ? 1024 : 128;
    const size_t checkSize = crc_ ? 2 : 1;
    const size_t total = 2 + blockSize + checkSize;  // after the first byte
    std::vector<uint8_t> raw;
    raw.reserve(total);
    const bool drop =
        dataBlock > 0 && options_.faults.drop.count(dataBlock) && !droppedIn_.count(dataBlock);
    const bool hangup = dataBlock > 0 && options_.faults.hangup.count(dataBlock);
    size_t seen = 0;
    Frame frame;
    while (raw.size() < total) {
        int b = line_.ReadByte(kInterByteMs);
        if (b == Line::kNothing) {
            frame.status = FrameStatus::Incomplete;
            return frame;
        }
        ++seen;
        if (hangup && seen == total / 2) {
            line_.Hangup();
            throw LineEnded{"line hung up in data block " + std::to_string(dataBlock) +
                            " (injected)"};
        }
        if (drop && seen == 2 + blockSize / 2) {
            droppedIn_.insert(dataBlock);
            dropPending_ = true;
            continue;
        }
        raw.push_back(static_cast<uint8_t>(b));
    }
    frame.number = raw[0];
    frame.payload.assign(raw.begin() + 2, raw.begin() + 2 + blockSize);
    if (raw[1] != static_cast<uint8_t>(0xFF - raw[0])) {
        frame.status = FrameStatus::BadComplement;
    } else if (crc_) {
        uint16_t got = static_cast<uint16_t>((raw[2 + blockSize] << 8) | raw[3 + blockSize]);
        if (got != Crc16Xmodem(frame.payload.data(), blockSize)) {
            frame.status = FrameStatus::BadCheck;
        }
    } else if (raw[2 + blockSize] != Sum8(frame.payload.data(), blockSize)) {
        frame.status = FrameStatus::BadCheck;
    }
    return frame;
}

Receiver::Step Receiver::StopAfterTwoCans(long block) {
    Fail("cancelled by receiver at data block " + std::to_string(block) + " (injected)");
    WatchSenderStops("two CANs");
    return Step::End;
}

void Receiver::CountTransmission(long block) {
    if (++transmissions_[block] == kMaxTransmissions + 1) {
        Violation("data block " + std::to_string(block) + " sent more than " +
                  std::to_string(kMaxTransmissions) + " times");
    }
}

// Two CANs in a row from the sender cancel; a single one is not a protocol element.
bool Receiver::SecondCan() {
    int next = line_.ReadByte(kInterByteMs);
    if (next == CAN) {
        Fail("cancelled by sender");
        return true;
    }
    Violation("a single CAN from the sender");
    return false;
}

// A damaged frame: ask for it again, once the rest of it has passed.
void Receiver::Reject(long dataBlock, const char* what, bool injected) {
    std::string where = dataBlock > 0 ? "data block " + std::to_string(dataBlock) : "block 0";
    if (!injected) Violation(std::string(what) + " in " + where);
    line_.Purge(kQuietBeforeNakMs);
    line_.WriteByte(NAK);
}

void Receiver::WatchSenderStops(const std::string& after) {
    line_.Purge(kSettleAfterCancelMs);
    if (line_.ReadByte(kWatchAfterCancelMs) != Line::kNothing) {
        Violation("sender kept sending after " + after);
        line_.Purge(kSettleAfterCancelMs);
    }
}

void Receiver::CancelAndWatch(const std::string& what) {
    const uint8_t cancel[] = {CAN, CAN, CAN, CAN, CAN};
    line_.Write(cancel, sizeof cancel);
    Fail("cancelled by receiver: " + what);
    WatchSenderStops("the receiver cancelled");
}

bool Receiver::StartPhase() {
    int64_t lastStart = line_.NowMs();
    line_.WriteByte(options_.startChar);
    for (;;) {
        int64_t wait = lastStart + kStartRepeatMs - line_.NowMs();
        int b = line_.ReadByte(static_cast<int>(std::max<int64_t>(wait, 0)));
        if (b == Line::kNothing) {
            line_.AllowReopen();
            line_.WriteByte(options_.startChar);
            lastStart = line_.NowMs();
            continue;
        }
        if (b == CAN) {
            if (SecondCan()) return false;
            continue;
        }
        if (b == EOT) {
            Violation("EOT before the header block");
            line_.WriteByte(NAK);
            continue;
        }
        if (b != SOH && b != STX) continue;  // leftovers of the dialogue ('1') and noise
        Frame frame = ReadFrame(b, 0);
        if (frame.status != FrameStatus::Ok) {
            Reject(0,
                   frame.status == FrameStatus::Incomplete      ? "incomplete frame"
                   : frame.status == FrameStatus::BadComplement ? "bad block number complement"
                                                                : "bad block check",
                   false);
            continue;
        }
        if (frame.number != 0) {
            Violation("first block is numbered " + std::to_string(frame.number) + ", not 0");
            CancelAndWatch("first block not numbered 0");
            return false;
        }
        HeaderInfo h =
            ParseHeader(frame.payload.data(), frame.payload.size(), options_.lenientHeader);
        for (const auto& p : h.problems) Violation(p);
        if (h.endOfBatch) {
            line_.WriteByte(ACK);
            Fail("empty batch");
            return false;
        }
        result_.headerSeen = true;
        result_.name = h.name;
        result_.size = h.size;
        std::fprintf(stderr, "zq418-sim: header name=%s size=%llu\n", h.name.c_str(),
                     static_cast<unsigned long long>(h.size));
        if (options_.faults.silenceAfterHeader) {
            Fail("no answer after the header (injected)");
            for (;;) line_.ReadByte(kStartRepeatMs);  // ends with the idle limit
        }
        if (streaming_) {
            // A streaming receiver answers the header with the start character alone: the
            // sender does not wait for an ACK there and would take a late one for a wrong
            // start. Nor is it read at once: on a real line the frame is still on the wire
            // (about 90 ms at 115200 baud) when the sender takes its quick look for an
            // answer, and an answer that were already there would be taken as that.
            line_.Pause(kStreamingHeaderAnswerMs);
        } else {
            line_.WriteByte(ACK);
        }
        if (options_.faults.wrongStart) {
            line_.WriteByte(options_.startChar == NAK ? 'C' : NAK);
            Fail("wrong start character after the header (injected)");
            WatchSenderStops("a wrong start character");
            return false;
        }
        line_.WriteByte(options_.startChar);
        return true;
    }
}

Receiver::Step Receiver::OnDataFrame(const Frame& frame) {
    const long block = expected_;
    const uint8_t number = static_cast<uint8_t>(block & 0xFF);
    if (frame.number == static_cast<uint8_t>(number - 1) && (block > 1 || frame.number == 0)) {
        // The previous block again: its ACK was lost. Answer, keep the data once.
        if (block == 1) {
            Violation("header block sent again after it was answered");
        } else if (frame.payload != lastPayload_) {
            Violation("data block " + std::to_string(block - 1) + " repeated with other content");
        } else if (streaming_) {
            Violation("data block " + std::to_string(block - 1) + " repeated in streaming mode");
        }
        if (!streaming_) line_.WriteByte(ACK);
        if (block == 1) line_.WriteByte(options_.startChar);
        return Step::Continue;
    }
    if (frame.number != number) {
        Violation("data block " + std::to_string(block) + " expected, block number " +
                  std::to_string(frame.number) + " came");
        CancelAndWatch("block out of sequence");
        return Step::End;
    }
    CountTransmission(block);
    const Faults& f = options_.faults;
    auto& naks = naksLeft_[block];
    if (naks > 0) {
        --naks;
        line_.WriteByte(NAK);
        if (!streaming_) return Step::Continue;
    } else if (f.corrupt.count(block) && corrupted_.insert(block).second) {
        if (streaming_) {
            CancelAndWatch("data block " + std::to_string(block) +
                           " damaged in streaming mode (injected)");
            return Step::End;
        }
        Reject(block, "bad block check", true);
        return Step::Continue;
    } else if (f.canOnce.count(block) && cancelledOnce_.insert(block).second) {
        line_.WriteByte(CAN);
        if (!streaming_) return Step::Continue;
    } else if (f.canTwice.count(block) && canTwiceSent_[block] < 2) {
        // CAN to BLOCK, CAN again to its resend: the sender must stop.
        line_.WriteByte(CAN);
        if (!streaming_) {
            if (++canTwiceSent_[block] < 2) return Step::Continue;
            return StopAfterTwoCans(block);
        }
        // A streaming sender does not resend: the block after BLOCK gets the second CAN.
        canTwiceSent_[block] = 2;
        secondCanAt_ = block + 1;
    } else if (streaming_ && block == secondCanAt_) {
        line_.WriteByte(CAN);
        return StopAfterTwoCans(block);
    }
    if (result_.data.size() >= result_.size) {
        Violation("data block " + std::to_string(block) + " beyond the announced size");
        CancelAndWatch("data beyond the announced size");
        return Step::End;
    }
    size_t take = static_cast<size_t>(
        std::min<uint64_t>(frame.payload.size(), result_.size - result_.data.size()));
    for (size_t i = take; i < frame.payload.size(); ++i) {
        if (frame.payload[i] != SUB && !paddingReported_) {
            paddingReported_ = true;
            Violation("data block " + std::to_string(block) + " padded with " +
                      Hex2(frame.payload[i]) + " instead of SUB");
        }
    }
    result_.data.insert(result_.data.end(), frame.payload.begin(), frame.payload.begin() + take);
    lastPayload_ = frame.payload;
    ++expected_;
    if (!streaming_) line_.WriteByte(ACK);
    return Step::Continue;
}

bool Receiver::DataPhase() {
    for (;;) {
        int b = line_.ReadByte(kStartRepeatMs);
        if (b == Line::kNothing) continue;  // the idle limit decides how long to wait
        if (b == EOT) {
            line_.WriteByte(ACK);
            if (result_.data.size() < result_.size) {
                Violation("EOT after " + std::to_string(result_.data.size()) + " of " +
                          std::to_string(result_.size) + " bytes");
            }
            line_.WriteByte(options_.startChar);
            return true;
        }
        if (b == CAN) {
            if (SecondCan()) return false;
            continue;
        }
        if (b != SOH && b != STX) {
            Violation("unexpected byte " + Hex2(b) + " between frames");
            continue;
        }
        const long block = expected_;
        dropPending_ = false;
        Frame frame = ReadFrame(b, block);
        if (frame.status != FrameStatus::Ok) {
            const bool injected = dropPending_;
            const char* what = frame.status == FrameStatus::Incomplete ? "incomplete frame"
                               : frame.status == FrameStatus::BadComplement
                                   ? "bad block number complement"
                                   : "bad block check";
            CountTransmission(block);
            if (streaming_) {
                if (!injected)
                    Violation(std::string(what) + " in data block " + std::to_string(block));
                CancelAndWatch("data block " + std::to_string(block) +
                               " damaged in streaming mode" + (injected ? " (injected)" : ""));
                return false;
            }
            Reject(block, what, injected);
            continue;
        }
        if (OnDataFrame(frame) == Step::End) return false;
    }
}

bool Receiver::EndPhase() {
    for (;;) {
        int b = line_.ReadByte(kStartRepeatMs);
        if (b == Line::kNothing) continue;
        if (b == EOT) {  // our ACK went astray: answer again
            line_.WriteByte(ACK);
            line_.WriteByte(options_.startChar);
            continue;
        }
        if (b == CAN) {
            if (SecondCan()) return false;
            continue;
        }
        if (b != SOH && b != STX) {
            Violation("unexpected byte " + Hex2(b) + " after EOT");
            continue;
        }
        Frame frame = ReadFrame(b, 0);
        if (frame.status != FrameStatus::Ok) {
            Reject(0, "damaged end-of-batch block", false);
            continue;
        }
        if (frame.number != 0) {
            Violation("end-of-batch block numbered " + std::to_string(frame.number));
            CancelAndWatch("end-of-batch block not numbered 0");
            return false;
        }
        HeaderInfo h =
            ParseHeader(frame.payload.data(), frame.payload.size(), options_.lenientHeader);
        if (!h.endOfBatch) {
            Violation("a second file in the batch");
            CancelAndWatch("more than one file");
            return false;
        }
        for (const auto& p : h.problems) Violation(p);
        line_.WriteByte(ACK);
        result_.complete = result_.data.size() == result_.size;
        return true;
    }
}
