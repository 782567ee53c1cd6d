#include "ymodem.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int MaxTransmissions = 10;
constexpr uint32_t WriteBudget = 1000;      // ms for one SerialPort::Write call
constexpr uint32_t EarlyAnswerBudget = 10;  // ms to look for an answer between partial writes
constexpr uint32_t AnswerBudget = 3000;     // ms for the answer to a whole frame
constexpr uint32_t QuietBeforeSend = 30;    // ms of quiet before every transmission
constexpr uint32_t QuietBeforeResend = 500;

enum class Answer { GoOn, Accept, Resend, Rebuild };

}  // namespace

uint16_t Crc16(const uint8_t* data, uint32_t length) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

int YModemTx::ReadByte(uint32_t budgetMs) {
    uint8_t byte = 0;
    int r = port->Read(&byte, 1, budgetMs);
    if (r < 0) return r;
    if (r == 0) return Timeout;
    return byte;
}

void YModemTx::FlushInput(uint32_t budgetMs) {
    Clock& time = clock ? *clock : SystemClock();
    const uint32_t start = time.TickCount();
    // Unsigned difference: right across the tick counter's wrap.
    while (static_cast<uint32_t>(time.TickCount() - start) < FlushInputLimit) {
        if (ReadByte(budgetMs) < 0) return;
    }
}

int YModemTx::SendBlock(const uint8_t* data, uint32_t length) {
    // The largest frame: STX, number, complement, 1024 bytes, two CRC bytes.
    uint8_t frame[3 + 1024 + 2];
    int attemptsLeft = MaxTransmissions;
    bool expectAnswer = waitAck != 0;

    for (;;) {
        // Build; a 'C' answer in checksum mode comes back here to add the CRC.
        const uint32_t blockSize = (use1K && length >= 1024) ? 1024 : 128;
        const uint32_t n = std::min(length, blockSize);
        int32_t frameLength;
        if (n == 0) {
            frame[0] = EOT;
            frameLength = 1;
            expectAnswer = true;  // even in streaming mode the receiver confirms EOT
        } else {
            frame[0] = blockSize == 1024 ? STX : SOH;
            frame[1] = static_cast<uint8_t>(blockNumber);
            frame[2] = static_cast<uint8_t>(255 - frame[1]);
            std::memcpy(frame + 3, data, n);
            std::memset(frame + 3 + n, SUB, blockSize - n);
            if (useCrc) {
                const uint16_t crc = Crc16(frame + 3, blockSize);
                frame[3 + blockSize] = static_cast<uint8_t>(crc >> 8);
                frame[4 + blockSize] = static_cast<uint8_t>(crc);
                frameLength = static_cast<int32_t>(blockSize + 5);
            } else {
                uint8_t sum = 0;
                for (uint32_t i = 0; i < blockSize; ++i)
                    sum = static_cast<uint8_t>(sum + frame[3 + i]);
                frame[3 + blockSize] = sum;
                frameLength = static_cast<int32_t>(blockSize + 4);
            }
        }

        Answer answer = Answer::Resend;
        while (answer == Answer::Resend) {
            // Every transmission counts, whatever made us send it again.
            if (attemptsLeft == 0) return TooManyRetries;
            --attemptsLeft;
            FlushInput(QuietBeforeSend);

            answer = Answer::GoOn;
            int32_t written = 0;
            while (written < frameLength && answer == Answer::GoOn) {
                int w = port->Write(frame + written, frameLength - written, WriteBudget);
                if (w < 0) return w;
                if (w == 0) return Timeout;
                written += w;
                if (written == frameLength) break;
                // The receiver may already object to a frame it is still receiving.
                int a = ReadByte(EarlyAnswerBudget);
                if (a == Timeout) continue;
                if (a < 0) return a;
                if (a == ACK) {
                    // Not an acceptance: the answer to the whole frame decides.
                    canCount = 0;
                } else if (a == CAN) {
                    if (canCount != 0) return CancelledByReceiver;
                    canCount = 1;
                    answer = Answer::Resend;
                } else {
                    canCount = 0;
                    answer = Answer::Resend;
                }
            }

            if (answer == Answer::GoOn) {
                int a = ReadByte(expectAnswer ? AnswerBudget : 0);
                if (a < 0 && a != Timeout) return a;
                if (!expectAnswer) {
                    // Streaming: only a second CAN in a row stops the batch.
                    if (a == CAN) {
                        if (canCount != 0) return CancelledByReceiver;
                        canCount = 1;
                    } else if (a != Timeout) {
                        canCount = 0;
                    }
                    answer = Answer::Accept;
                } else if (a == Timeout) {
                    return Timeout;
                } else if (a == ACK) {
                    canCount = 0;
                    answer = Answer::Accept;
                } else if (a == CAN) {
                    if (canCount != 0) return CancelledByReceiver;
                    canCount = 1;
                    answer = Answer::Resend;
                } else if (a == 'C' && !useCrc) {
                    canCount = 0;
                    useCrc = 1;
                    answer = Answer::Rebuild;
                } else {
                    canCount = 0;
                    answer = Answer::Resend;
                }
            }

            if (answer == Answer::Accept) {
                ++blockNumber;
                return static_cast<int>(n);
            }
            if (answer == Answer::Resend) FlushInput(QuietBeforeResend);
        }
        // Answer::Rebuild: build the frame again with the CRC.
    }
}
