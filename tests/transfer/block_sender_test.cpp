#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fake_serial_port.h"
#include "ymodem.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

class YModemBlock : public ::testing::Test {
  protected:
    YModemTx Tx(bool crc, bool waitAck = true, bool use1K = true, int32_t block = 1) {
        YModemTx tx;
        tx.port = &port;
        tx.useCrc = crc;
        tx.waitAck = waitAck;
        tx.use1K = use1K;
        tx.blockNumber = block;
        tx.canCount = 0;
        tx.clock = &clock;
        return tx;
    }

    VirtualClock clock;
    FakeSerialPort port{clock};
};

// The fake must wait the way a port does, or the timings below mean nothing.
TEST(YModemFakePort, ReadBudgetCostsCallsAndVirtualTime) {
    const struct {
        uint32_t budget;
        int arrivesAt;  // -1: nothing arrives
        int result;
        uint64_t calls;
        uint32_t elapsed;
    } cases[] = {
        {0, -1, 0, 1, 0},         {25, -1, 0, 4, 25},
        {1000, -1, 0, 101, 1000}, {3000, 15, 1, 3, 20},  // seen at the call after the second sleep
        {3000, 0, 1, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.budget);
        VirtualClock clock;
        FakeSerialPort port(clock);
        if (c.arrivesAt >= 0) port.DeliverAt(static_cast<uint32_t>(c.arrivesAt), 'x');
        uint8_t byte;
        EXPECT_EQ(port.Read(&byte, 1, c.budget), c.result);
        EXPECT_EQ(port.driverReads, c.calls);
        EXPECT_EQ(clock.TickCount(), c.elapsed);
    }
}

// ---- Check values ----

TEST(YModemCrc16, KnownValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(digits.data()), 9), 0x31C3);
    EXPECT_EQ(Crc16(nullptr, 0), 0);
    const std::vector<uint8_t> zeros(1024, 0);
    EXPECT_EQ(Crc16(zeros.data(), 1024), 0);
    // A single bit moved must change the check.
    const std::vector<uint8_t> one = {0x80}, other = {0x01};
    EXPECT_NE(Crc16(one.data(), 1), Crc16(other.data(), 1));
}

// ---- Frames ----

TEST_F(YModemBlock, ExampleFrameInBothCheckModes) {
    for (bool crc : {true, false}) {
        SCOPED_TRACE(crc ? "CRC" : "checksum");
        port.line.clear();
        YModemTx tx = Tx(crc, true, true, 1);
        port.Deliver("\x06", 31);
        const std::vector<uint8_t> abc = Bytes("abc");
        ASSERT_EQ(tx.SendBlock(abc.data(), 3), 3);
        EXPECT_EQ(tx.blockNumber, 2);

        std::vector<uint8_t> expected = {0x01, 0x01, 0xFE, 0x61, 0x62, 0x63};
        expected.insert(expected.end(), 125, 0x1A);
        if (crc) {
            expected.push_back(0x17);
            expected.push_back(0x16);
        } else {
            expected.push_back(0xD8);
        }
        EXPECT_EQ(port.line, expected);
    }
}

struct BlockChoiceCase {
    uint32_t length;
    bool use1K;
    uint8_t header;
    int carried;
};

void PrintTo(const BlockChoiceCase& c, std::ostream* os) {
    *os << "length " << c.length << (c.use1K ? " with" : " without") << " 1K";
}

class YModemBlockChoice : public YModemBlock,
                          public ::testing::WithParamInterface<BlockChoiceCase> {};

TEST_P(YModemBlockChoice, SizeAndPadding) {
    const BlockChoiceCase c = GetParam();
    const std::vector<uint8_t> data = Pattern(c.length);
    YModemTx tx = Tx(true, true, c.use1K, 7);
    port.Deliver("\x06", 31);
    ASSERT_EQ(tx.SendBlock(data.data(), c.length), c.carried);

    const size_t blockSize = c.header == STX ? 1024 : 128;
    ASSERT_EQ(port.line.size(), blockSize + 5);
    EXPECT_EQ(port.line[0], c.header);
    EXPECT_EQ(port.line[1], 7);
    EXPECT_EQ(port.line[2], 0xF8);
    const std::vector<uint8_t> payload(port.line.begin() + 3,
                                       port.line.begin() + 3 + static_cast<long>(blockSize));
    for (size_t i = 0; i < blockSize; ++i) {
        const uint8_t want = i < static_cast<size_t>(c.carried) ? data[i] : SUB;
        ASSERT_EQ(payload[i], want) << "payload byte " << i;
    }
    const uint16_t crc = Crc16(payload.data(), static_cast<uint32_t>(blockSize));
    EXPECT_EQ(port.line[3 + blockSize], crc >> 8);
    EXPECT_EQ(port.line[4 + blockSize], crc & 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, YModemBlockChoice,
    ::testing::Values(BlockChoiceCase{1023, true, SOH, 128}, BlockChoiceCase{1024, true, STX, 1024},
                      BlockChoiceCase{2000, true, STX, 1024}, BlockChoiceCase{100, true, SOH, 100},
                      BlockChoiceCase{1, true, SOH, 1}, BlockChoiceCase{2000, false, SOH, 128}));

TEST_F(YModemBlock, BlockNumberUsesLowEightBits) {
    const struct {
        int32_t number;
        uint8_t onWire;
        uint8_t complement;
    } cases[] = {{1, 0x01, 0xFE}, {255, 0xFF, 0x00}, {256, 0x00, 0xFF}, {257, 0x01, 0xFE}};
    const std::vector<uint8_t> data = Pattern(10);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        port.line.clear();
        YModemTx tx = Tx(true, true, true, c.number);
        port.Deliver("\x06", 31);
        ASSERT_EQ(tx.SendBlock(data.data(), 10), 10);
        EXPECT_EQ(port.line[1], c.onWire);
        EXPECT_EQ(port.line[2], c.complement);
        EXPECT_EQ(tx.blockNumber, c.number + 1);
    }
}

TEST_F(YModemBlock, EndOfFileIsOneByteAndAwaitsAnAnswerEvenWhenStreaming) {
    YModemTx tx = Tx(true, /*waitAck=*/false);
    port.Deliver("\x06", 2500);  // late, but within the 3000 ms answer budget
    EXPECT_EQ(tx.SendBlock(nullptr, 0), 0);
    EXPECT_EQ(port.line, std::vector<uint8_t>{EOT});
    EXPECT_EQ(tx.blockNumber, 2);
    EXPECT_EQ(port.readBudgets.back(), 3000u);
}

// ---- Answers ----

TEST_F(YModemBlock, NakEveryTimeSendsTenTimesWithTheDrainsBetween) {
    ScriptedReceiver receiver(port, true);
    receiver.answers.assign(20, "\x15");
    YModemTx tx = Tx(true);
    const std::vector<uint8_t> data = Pattern(128);
    EXPECT_EQ(tx.SendBlock(data.data(), 128), TooManyRetries);

    ASSERT_EQ(receiver.frames.size(), 10u);
    // 30 ms of quiet before the first; 500 ms and then 30 ms before each later one.
    EXPECT_EQ(receiver.frames[0].time, 30u);
    for (size_t i = 1; i < receiver.frames.size(); ++i) {
        EXPECT_EQ(receiver.frames[i].time - receiver.frames[i - 1].time, 530u) << i;
        EXPECT_EQ(receiver.frames[i].bytes, receiver.frames[0].bytes);
    }
    // The tenth NAK is drained too before the call gives up.
    EXPECT_EQ(clock.TickCount(), receiver.frames[9].time + 500);
    EXPECT_EQ(tx.blockNumber, 1);
}

TEST_F(YModemBlock, CInChecksumModeRebuildsWithCrcAndCountsAsAnAttempt) {
    ScriptedReceiver receiver(port, false);
    receiver.answers = {"C"};
    for (int i = 0; i < 9; ++i) receiver.answers.push_back("\x15");
    YModemTx tx = Tx(false);
    const std::vector<uint8_t> data = Pattern(50);
    EXPECT_EQ(tx.SendBlock(data.data(), 50), TooManyRetries);

    EXPECT_EQ(tx.useCrc, 1);
    ASSERT_EQ(receiver.frames.size(), 10u);
    EXPECT_EQ(receiver.frames[0].bytes.size(), 132u);
    EXPECT_EQ(receiver.frames[1].bytes.size(), 133u);
    // The rebuilt frame follows after the 30 ms quiet only, not the 500 ms resend drain.
    EXPECT_EQ(receiver.frames[1].time - receiver.frames[0].time, 30u);
    EXPECT_EQ(receiver.frames[2].time - receiver.frames[1].time, 530u);
}

TEST_F(YModemBlock, CInChecksumModeThenAckIsAccepted) {
    ScriptedReceiver receiver(port, false);
    receiver.answers = {"C", "\x06"};
    YModemTx tx = Tx(false);
    const std::vector<uint8_t> data = Pattern(50);
    EXPECT_EQ(tx.SendBlock(data.data(), 50), 50);
    ASSERT_EQ(receiver.frames.size(), 2u);
    const auto& f = receiver.frames[1].bytes;
    const uint16_t crc = Crc16(f.data() + 3, 128);
    EXPECT_EQ(f[131], crc >> 8);
    EXPECT_EQ(f[132], crc & 0xFF);
}

TEST_F(YModemBlock, CToEndOfFileInChecksumModeSendsEotAgain) {
    ScriptedReceiver receiver(port, false);
    receiver.answers = {"C", "\x06"};
    YModemTx tx = Tx(false);
    EXPECT_EQ(tx.SendBlock(nullptr, 0), 0);
    EXPECT_EQ(tx.useCrc, 1);
    EXPECT_EQ(port.line, (std::vector<uint8_t>{EOT, EOT}));
}

TEST_F(YModemBlock, CInCrcModeIsLikeNak) {
    ScriptedReceiver receiver(port, true);
    receiver.answers = {"C", "\x06"};
    YModemTx tx = Tx(true);
    const std::vector<uint8_t> data = Pattern(50);
    EXPECT_EQ(tx.SendBlock(data.data(), 50), 50);
    ASSERT_EQ(receiver.frames.size(), 2u);
    EXPECT_EQ(receiver.frames[1].bytes, receiver.frames[0].bytes);
    EXPECT_EQ(receiver.frames[1].time - receiver.frames[0].time, 530u);
}

struct AnswerCase {
    const char* name;
    bool waitAck;
    int32_t canBefore;
    std::vector<std::string> answers;  // one per frame
    int result;
    size_t frames;
    int32_t canAfter;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class YModemAnswers : public YModemBlock, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(YModemAnswers, Outcome) {
    const AnswerCase c = GetParam();
    ScriptedReceiver receiver(port, true);
    receiver.answers.assign(c.answers.begin(), c.answers.end());
    YModemTx tx = Tx(true, c.waitAck);
    tx.canCount = c.canBefore;
    const std::vector<uint8_t> data = Pattern(300);
    EXPECT_EQ(tx.SendBlock(data.data(), 300), c.result);
    EXPECT_EQ(receiver.frames.size(), c.frames);
    EXPECT_EQ(tx.canCount, c.canAfter);
    EXPECT_EQ(tx.blockNumber, c.result >= 0 ? 2 : 1);
}

const std::string Can = "\x18", Nak = "\x15", Ack = "\x06";

INSTANTIATE_TEST_SUITE_P(
    Cases, YModemAnswers,
    ::testing::Values(
        AnswerCase{"CanTwiceInARow", true, 0, {Can, Can}, CancelledByReceiver, 2, 1},
        AnswerCase{"NakResetsTheCanCount", true, 0, {Can, Nak, Can, Ack}, 128, 4, 0},
        AnswerCase{"CanThenAck", true, 0, {Can, Ack}, 128, 2, 0},
        AnswerCase{"CanCountCarriesAcrossBlocks", true, 1, {Can}, CancelledByReceiver, 1, 1},
        AnswerCase{"OtherByteIsAResend", true, 0, {"x", Ack}, 128, 2, 0},
        AnswerCase{"NoAnswerIsTimeoutWithoutResend", true, 0, {}, Timeout, 1, 0},
        AnswerCase{"StreamingAcceptsSilence", false, 0, {}, 128, 1, 0},
        AnswerCase{"StreamingDropsNak", false, 0, {Nak}, 128, 1, 0},
        AnswerCase{"StreamingCountsOneCan", false, 0, {Can}, 128, 1, 1},
        AnswerCase{"StreamingSecondCanCancels", false, 1, {Can}, CancelledByReceiver, 1, 1},
        AnswerCase{"StreamingOtherByteResetsCan", false, 1, {"x"}, 128, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(YModemBlock, NoAnswerTimesOutAfterThreeSeconds) {
    YModemTx tx = Tx(true);
    const std::vector<uint8_t> data = Pattern(10);
    EXPECT_EQ(tx.SendBlock(data.data(), 10), Timeout);
    EXPECT_EQ(clock.TickCount(), 30u + 3000u);
    EXPECT_EQ(port.line.size(), 133u);
}

TEST_F(YModemBlock, StreamingCanWaitingAtTheNextDrainIsNotCounted) {
    // The receiver sends CAN twice at once after block 1: the look after block 1 takes one,
    // the 30 ms drain before block 2 drops the other.
    ScriptedReceiver receiver(port, true);
    receiver.answers = {Can + Can, ""};
    YModemTx tx = Tx(true, false);
    const std::vector<uint8_t> data = Pattern(256);
    EXPECT_EQ(tx.SendBlock(data.data(), 256), 128);
    EXPECT_EQ(tx.canCount, 1);
    EXPECT_EQ(tx.SendBlock(data.data() + 128, 128), 128);
    EXPECT_EQ(tx.canCount, 1);
    EXPECT_EQ(receiver.frames.size(), 2u);
}

// ---- Partial writes ----

struct PartialCase {
    const char* name;
    bool crc;
    int32_t canBefore;
    std::string early;                 // delivered after the first, partial write ("" = nothing)
    std::vector<std::string> answers;  // to each whole frame
    int result;
    std::vector<size_t> lineParts;  // lengths of the transmissions on the line
};

void PrintTo(const PartialCase& c, std::ostream* os) {
    *os << c.name;
}

class YModemPartialWrite : public YModemBlock, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(YModemPartialWrite, EarlyAnswers) {
    const PartialCase c = GetParam();
    port.writeLimits = {100};
    std::deque<std::string> answers(c.answers.begin(), c.answers.end());
    const size_t frameLength = c.crc ? 133 : 132;
    port.afterWrite = [&] {
        if (port.writes.size() == 1 && !c.early.empty()) port.Deliver(c.early);
        // The receiver answers each transmission that completed a whole frame.
        const auto& w = port.writes.back();
        const size_t end = w.offset + static_cast<size_t>(w.length);
        size_t start = 0;
        for (size_t part : c.lineParts) {
            if (start + part == end && part == frameLength && !answers.empty()) {
                port.Deliver(answers.front());
                answers.pop_front();
            }
            start += part;
        }
    };

    YModemTx tx = Tx(c.crc);
    tx.canCount = c.canBefore;
    const std::vector<uint8_t> data = Pattern(128);
    EXPECT_EQ(tx.SendBlock(data.data(), 128), c.result);

    size_t total = 0;
    for (size_t part : c.lineParts) total += part;
    ASSERT_EQ(port.line.size(), total);
    // Every transmission starts again from the frame's first byte: each is a prefix of the
    // last one.
    const size_t lastStart = total - c.lineParts.back();
    size_t start = 0;
    for (size_t part : c.lineParts) {
        EXPECT_EQ(port.line[start], SOH);
        EXPECT_TRUE(std::equal(port.line.begin() + static_cast<long>(start),
                               port.line.begin() + static_cast<long>(start + part),
                               port.line.begin() + static_cast<long>(lastStart)));
        start += part;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, YModemPartialWrite,
    ::testing::Values(
        // Nothing early: the rest of the frame follows, then the answer decides.
        PartialCase{"NothingEarly", true, 0, "", {Ack}, 128, {133}},
        // An early ACK does not accept: the NAK after the whole frame makes it resend.
        PartialCase{"EarlyAckDoesNotAccept", true, 0, Ack, {Nak, Ack}, 128, {133, 133}},
        // An early NAK abandons the frame and sends it again from its first byte.
        PartialCase{"EarlyNakResends", true, 0, Nak, {Ack}, 128, {100, 133}},
        // An early 'C' in checksum mode only resends; the frame keeps its checksum.
        PartialCase{"EarlyCInChecksumModeResends", false, 0, "C", {Ack}, 128, {100, 132}},
        PartialCase{"EarlyCanCounts", true, 0, Can, {Ack}, 128, {100, 133}},
        // An early NAK breaks a CAN run: a later CAN is the first of a new one.
        PartialCase{"EarlyNakResetsTheCanCount", true, 1, Nak, {Can, Ack}, 128, {100, 133, 133}},
        PartialCase{"EarlySecondCanCancels", true, 1, Can, {}, CancelledByReceiver, {100}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(YModemBlock, EarlyAnswerIsLookedForBetweenPartialWrites) {
    port.writeLimits = {50, 50};
    port.Deliver("\x06", 200);
    YModemTx tx = Tx(true);
    const std::vector<uint8_t> data = Pattern(128);
    EXPECT_EQ(tx.SendBlock(data.data(), 128), 128);
    ASSERT_EQ(port.writes.size(), 3u);
    EXPECT_EQ(port.writes[1].offset, 50u);
    EXPECT_EQ(port.writes[2].offset, 100u);
    EXPECT_EQ(port.writes[2].length, 33);
    // Two looks of 10 ms between the three writes.
    EXPECT_EQ(port.writes[1].time - port.writes[0].time, 10u);
    EXPECT_EQ(port.writes[2].time - port.writes[1].time, 10u);
}

TEST_F(YModemBlock, PortFailuresEndTheCall) {
    const std::vector<uint8_t> data = Pattern(128);
    {
        SCOPED_TRACE("write takes nothing within its budget");
        port.writeLimits = {0};
        YModemTx tx = Tx(true);
        EXPECT_EQ(tx.SendBlock(data.data(), 128), Timeout);
        EXPECT_TRUE(port.line.empty());
    }
    {
        SCOPED_TRACE("write fails");
        port.writeLimits = {-1};
        YModemTx tx = Tx(true);
        EXPECT_EQ(tx.SendBlock(data.data(), 128), PortWriteFailed);
    }
    {
        SCOPED_TRACE("read fails while awaiting the answer");
        YModemTx tx = Tx(true);
        port.FailReadAt(clock.TickCount() + 100);
        EXPECT_EQ(tx.SendBlock(data.data(), 128), PortReadFailed);
    }
    {
        SCOPED_TRACE("read fails while looking for an early answer");
        port.writeLimits = {60};
        port.afterWrite = [&] { port.FailReadAt(clock.TickCount()); };
        YModemTx tx = Tx(true);
        EXPECT_EQ(tx.SendBlock(data.data(), 128), PortReadFailed);
    }
}

// ---- Reading and draining ----

TEST_F(YModemBlock, ReadByteGivesEveryByteValueTimeoutOrTheFailure) {
    YModemTx tx = Tx(true);
    port.Deliver(std::string("\x00\xFF", 2));
    EXPECT_EQ(tx.ReadByte(0), 0x00);
    EXPECT_EQ(tx.ReadByte(0), 0xFF);
    EXPECT_EQ(tx.ReadByte(25), Timeout);
    EXPECT_EQ(clock.TickCount(), 25u);
    port.FailReadAt(clock.TickCount());
    EXPECT_EQ(tx.ReadByte(25), PortReadFailed);
}

TEST_F(YModemBlock, FlushInputEndsAfterAQuietBudgetAndIgnoresFailures) {
    YModemTx tx = Tx(true);
    port.Deliver("abc");
    port.Deliver("de", 40);
    tx.FlushInput(50);
    EXPECT_EQ(port.Pending(), 0u);
    EXPECT_EQ(clock.TickCount(), 40u + 50u);

    port.Deliver("x", 10);
    port.FailReadAt(clock.TickCount() + 5);
    tx.FlushInput(500);
    EXPECT_EQ(port.Pending(), 1u);  // stopped at the failure, before the later byte
}

TEST_F(YModemBlock, FlushInputGivesUpOnALineThatNeverFallsQuiet) {
    // A byte every 5 ms for 100 s: never 500 ms of quiet.
    for (uint32_t t = 0; t < 100000; t += 5) port.DeliverAt(t, 'x');
    YModemTx tx = Tx(true);
    tx.FlushInput(500);
    EXPECT_GE(clock.TickCount(), FlushInputLimit);
    EXPECT_LE(clock.TickCount(), FlushInputLimit + 500);
    EXPECT_GT(port.Pending(), 0u);
}

TEST_F(YModemBlock, ChatteringLineCannotHangTheBlock) {
    // Junk every 5 ms for 100 s.
    for (uint32_t t = 0; t < 100000; t += 5) port.DeliverAt(t, 'x');
    YModemTx tx = Tx(true);
    const std::vector<uint8_t> data = Pattern(10);
    // The junk read as the answer makes it resend; after ten transmissions it gives up.
    EXPECT_EQ(tx.SendBlock(data.data(), 10), TooManyRetries);
    EXPECT_EQ(port.line.size(), 10u * 133u);
    // Each transmission's drains stop at their limit instead of waiting for the junk to end.
    EXPECT_LT(clock.TickCount(), 10u * (2 * FlushInputLimit + 600));
}

}  // namespace
