#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "fake_serial_port.h"
#include "ymodem.h"

namespace {

const std::string Ack = "\x06", Nak = "\x15", Can = "\x18";

class YModemBatch : public ::testing::Test {
  protected:
    YModemTx Tx(ProgressWindow* window = nullptr) {
        YModemTx tx;
        tx.port = &port;
        tx.progressWindow = window;
        tx.clock = &clock;
        return tx;
    }

    VirtualClock clock;
    FakeSerialPort port{clock};
};

// ---- Header block ----

std::string HeaderText(const uint8_t* block) {
    // Name, NUL, digits: up to the second zero byte.
    const char* p = reinterpret_cast<const char*>(block);
    std::string name(p);
    return name + '|' + std::string(p + name.size() + 1);
}

TEST(YModemHeader, NameIsLoweredAndSlashedAndSizeFollows) {
    const struct {
        const char* name;
        uint32_t size;
        const char* expected;
    } cases[] = {
        {"C:\\FW\\A.DFU", 2000, "c:/fw/a.dfu|2000"},
        {"C:\\Fw\\App.dfu", 0, "c:/fw/app.dfu|0"},
        // Only A..Z change: '@' and '[' sit next to them; bytes above 0x7F pass unchanged.
        {"@AZ[`az{\xC4\xD6\xFF", 7, "@az[`az{\xC4\xD6\xFF|7"},
        {"x", 4294967295u, "x|4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t block[1024];
        std::memset(block, 0xEE, sizeof block);
        ASSERT_EQ(MakeHeaderBlock(c.size, block, c.name), 0);
        EXPECT_EQ(HeaderText(block), c.expected);
        // Everything after the size is zero: no date, mode or blank.
        const size_t used = std::strlen(c.expected) + 1;
        for (size_t i = used; i < 1024; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    }
}

TEST(YModemHeader, NameAndSizeMustLeaveTwoZeroBytes) {
    const struct {
        size_t nameLength;
        uint32_t size;  // its digit count D
        int result;
    } cases[] = {
        {1017, 1234, 0},                // L + D = 1021
        {1018, 1234, FileNameTooLong},  // 1022
        {1020, 5, 0},                   // 1021
        {1021, 5, FileNameTooLong},     // 1022
        {1022, 0, FileNameTooLong},     // the NUL would be the last byte
        {1023, 0, FileNameTooLong},
        {3000, 0, FileNameTooLong},
        {1011, 4294967295u, 0},  // 1021 with ten digits
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.nameLength);
        const std::string name(c.nameLength, 'N');
        uint8_t block[1024];
        EXPECT_EQ(MakeHeaderBlock(c.size, block, name.c_str()), c.result);
        if (c.result == 0) {
            EXPECT_EQ(block[1022], 0);
            EXPECT_EQ(block[1023], 0);
            EXPECT_EQ(HeaderText(block),
                      std::string(c.nameLength, 'n') + '|' + std::to_string(c.size));
        }
    }
}

TEST_F(YModemBatch, NameTooLongFailsBeforeTouchingTheLine) {
    port.Deliver("C");
    const std::string name(1018, 'n');
    MemoryStream stream(Pattern(1234));
    YModemTx tx = Tx();
    EXPECT_EQ(tx.SendBatch(1234, stream, name.c_str()), FileNameTooLong);
    EXPECT_TRUE(port.line.empty());
    EXPECT_TRUE(port.readBudgets.empty());
    EXPECT_EQ(stream.reads, 0);
}

// ---- Start wait ----

TEST_F(YModemBatch, StartCharacterSetsTheMode) {
    const struct {
        char start;
        uint8_t useCrc, waitAck;
    } cases[] = {{'G', 1, 0}, {'C', 1, 1}, {'\x15', 0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.start));
        YModemTx tx = Tx();
        tx.useCrc = 1 - c.useCrc;
        tx.waitAck = 1 - c.waitAck;
        tx.canCount = 1;
        // Junk first: ignored, each byte costing one poll.
        port.Deliver("xy" + std::string(1, c.start), 1);
        EXPECT_EQ(tx.WaitForStart(StartWaitTime), 0);
        EXPECT_EQ(tx.useCrc, c.useCrc);
        EXPECT_EQ(tx.waitAck, c.waitAck);
        EXPECT_EQ(tx.startChar, static_cast<uint8_t>(c.start));
        EXPECT_EQ(tx.canCount, 0);
    }
}

TEST_F(YModemBatch, StartCharacterSentBeforeTheWaitIsDiscarded) {
    port.Deliver("C");      // pending when the wait begins
    port.Deliver("G", 50);  // the receiver's next one
    YModemTx tx = Tx();
    EXPECT_EQ(tx.WaitForStart(StartWaitTime), 0);
    EXPECT_EQ(tx.startChar, 'G');
    // The drain does not wait: one read of budget 0 per pending byte and one that finds none.
    ASSERT_GE(port.readBudgets.size(), 2u);
    EXPECT_EQ(port.readBudgets[0], 0u);
    EXPECT_EQ(port.readBudgets[1], 0u);
    EXPECT_EQ(port.readBudgets[2], 10u);
}

struct StartBudgetCase {
    uint32_t wait;
    size_t polls;  // polls of 10 ms before Timeout on a silent line
};

void PrintTo(const StartBudgetCase& c, std::ostream* os) {
    *os << "wait " << c.wait;
}

class YModemStartBudget : public YModemBatch,
                          public ::testing::WithParamInterface<StartBudgetCase> {};

TEST_P(YModemStartBudget, SilentLineGivesTimeoutAfterTheCountedPolls) {
    YModemTx tx = Tx();
    EXPECT_EQ(tx.WaitForStart(GetParam().wait), Timeout);
    size_t polls = 0;
    for (uint32_t b : port.readBudgets) polls += b == 10;
    EXPECT_EQ(polls, GetParam().polls);
    EXPECT_EQ(clock.TickCount(), 10 * GetParam().polls);
}

INSTANTIATE_TEST_SUITE_P(Budgets, YModemStartBudget,
                         ::testing::Values(
                             // Below 11000 the budget is raised to 11000.
                             StartBudgetCase{0, 1101}, StartBudgetCase{5000, 1101},
                             StartBudgetCase{11000, 1101}, StartBudgetCase{11009, 1101},
                             StartBudgetCase{11010, 1102}, StartBudgetCase{30000, 3001}));

TEST_F(YModemBatch, JunkUsesUpTheBudgetHoweverFastItArrives) {
    // n junk bytes all arriving within the first millisecond after the drain, then 'C'.
    const struct {
        size_t junk;
        int result;
    } cases[] = {{3000, 0}, {3001, Timeout}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.junk);
        VirtualClock clock2;
        FakeSerialPort port2(clock2);
        port2.Deliver(std::string(c.junk, 'x') + "C", 1);
        YModemTx tx = Tx();
        tx.port = &port2;
        tx.clock = &clock2;
        EXPECT_EQ(tx.WaitForStart(StartWaitTime), c.result);
        // Counted, not measured: far less than 30 s of time went by.
        EXPECT_LT(clock2.TickCount(), 100u);
    }
}

TEST_F(YModemBatch, PortFailureDuringTheStartWaitIsReturned) {
    port.FailReadAt(100);
    YModemTx tx = Tx();
    EXPECT_EQ(tx.WaitForStart(StartWaitTime), PortReadFailed);
    EXPECT_EQ(clock.TickCount(), 100u);
}

TEST_F(YModemBatch, PortFailureDuringTheDrainIsIgnored) {
    port.FailReadAt(0);
    port.Deliver("C", 20);
    YModemTx tx = Tx();
    EXPECT_EQ(tx.WaitForStart(StartWaitTime), 0);
}

// ---- Data and progress ----

struct DataCase {
    uint32_t size;
    std::vector<size_t> blocks;  // bytes carried by each data block, in order
};

void PrintTo(const DataCase& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class YModemData : public YModemBatch, public ::testing::WithParamInterface<DataCase> {};

TEST_P(YModemData, BlocksAndNotifications) {
    const DataCase c = GetParam();
    const std::vector<uint8_t> file = Pattern(c.size);
    std::vector<uint8_t> withoutWindow;
    for (bool window : {true, false}) {
        SCOPED_TRACE(window ? "with window" : "without window");
        VirtualClock clock2;
        FakeSerialPort port2(clock2);
        ScriptedReceiver receiver(port2, true);
        receiver.answers.assign(100, Ack);
        RecordingWindow recorder(&port2);
        MemoryStream stream(file);
        YModemTx tx = Tx(window ? &recorder : nullptr);
        tx.port = &port2;
        tx.clock = &clock2;
        tx.useCrc = 1;
        tx.waitAck = 1;
        tx.use1K = 1;
        tx.fileSize = c.size;
        ASSERT_EQ(tx.SendData(stream), 0);

        ASSERT_EQ(receiver.frames.size(), c.blocks.size() + 1);
        std::vector<uint8_t> received;
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            const auto& f = receiver.frames[i].bytes;
            const size_t blockSize = f[0] == STX ? 1024 : 128;
            EXPECT_EQ(f[1], static_cast<uint8_t>(i + 1));
            EXPECT_EQ(blockSize, c.blocks[i] == 1024 ? 1024u : 128u) << "block " << i + 1;
            received.insert(received.end(), f.begin() + 3,
                            f.begin() + 3 + static_cast<long>(c.blocks[i]));
            for (size_t k = c.blocks[i]; k < blockSize; ++k) ASSERT_EQ(f[3 + k], SUB);
        }
        EXPECT_EQ(received, file);
        EXPECT_EQ(receiver.frames.back().bytes, std::vector<uint8_t>{EOT});

        if (window) {
            // ceil(N / 1024) + 1 notifications, numbered from 1, each after its chunk's blocks.
            const size_t chunks = (c.size + 1023) / 1024;
            ASSERT_EQ(recorder.notes.size(), chunks + 1);
            size_t blockAt = 0, lineAt = 0, fileAt = 0;
            for (size_t n = 0; n < recorder.notes.size(); ++n) {
                EXPECT_EQ(recorder.notes[n].chunks, n + 1);
                EXPECT_EQ(recorder.notes[n].sizeKiB, c.size >> 10);
                // A chunk's blocks, or the EOT alone for the end-of-file step.
                const size_t chunkEnd = std::min<size_t>(fileAt + 1024, c.size);
                do {
                    lineAt += receiver.frames[blockAt].bytes.size();
                    fileAt += blockAt < c.blocks.size() ? c.blocks[blockAt] : 0;
                    ++blockAt;
                } while (fileAt < chunkEnd);
                EXPECT_EQ(recorder.notes[n].lineBytes, lineAt) << "notification " << n + 1;
            }
        }
        if (window) {
            withoutWindow = port2.line;
        } else {
            EXPECT_EQ(port2.line, withoutWindow);  // no window, same line traffic
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, YModemData,
    ::testing::Values(DataCase{0, {}}, DataCase{1, {1}}, DataCase{1024, {1024}},
                      DataCase{1025, {1024, 1}},
                      DataCase{2000, {1024, 128, 128, 128, 128, 128, 128, 128, 80}}));

TEST_F(YModemBatch, BlockNumbersRunOnPastTwoHundredFiftyFive) {
    ScriptedReceiver receiver(port, true);
    receiver.answers.assign(400, Ack);
    const uint32_t size = 300 * 1024;
    MemoryStream stream(Pattern(size));
    YModemTx tx = Tx();
    tx.useCrc = tx.waitAck = tx.use1K = 1;
    ASSERT_EQ(tx.SendData(stream), 0);
    ASSERT_EQ(receiver.frames.size(), 301u);
    for (size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(receiver.frames[i].bytes[1], static_cast<uint8_t>(i + 1)) << i;
        ASSERT_EQ(receiver.frames[i].bytes[2], static_cast<uint8_t>(254 - i)) << i;
    }
}

TEST_F(YModemBatch, StreamFailuresBecomeFileReadErrorAfterWhatWasDelivered) {
    const struct {
        const char* name;
        int end;  // what the stream gives after 1500 bytes
    } cases[] = {{"read error", PortError}, {"other error", FileReadError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        port.line.clear();
        ScriptedReceiver receiver(port, true);
        receiver.answers.assign(100, Ack);
        MemoryStream stream(Pattern(1500), 1024, c.end);
        YModemTx tx = Tx();
        tx.useCrc = tx.waitAck = tx.use1K = 1;
        EXPECT_EQ(tx.SendData(stream), FileReadError);
        // 1024 + 4 * 128 carrying 476; no EOT.
        ASSERT_EQ(receiver.frames.size(), 5u);
        EXPECT_NE(receiver.frames.back().bytes.size(), 1u);
    }
}

TEST_F(YModemBatch, BlockFailureEndsTheDataAtOnce) {
    ScriptedReceiver receiver(port, true);
    receiver.answers = {Ack, Can, Can};
    RecordingWindow recorder;
    MemoryStream stream(Pattern(3000));
    YModemTx tx = Tx(&recorder);
    tx.useCrc = tx.waitAck = tx.use1K = 1;
    EXPECT_EQ(tx.SendData(stream), CancelledByReceiver);
    EXPECT_EQ(receiver.frames.size(), 3u);
    EXPECT_EQ(recorder.notes.size(), 1u);
    EXPECT_EQ(stream.reads, 2);
}

// ---- Whole batch ----

// Checks a frame's block check with the receiver's mode.
void ExpectCheckValid(const std::vector<uint8_t>& f, bool crc) {
    const size_t blockSize = f[0] == STX ? 1024 : 128;
    ASSERT_EQ(f.size(), blockSize + (crc ? 5 : 4));
    if (crc) {
        const uint16_t sum = Crc16(f.data() + 3, static_cast<uint32_t>(blockSize));
        EXPECT_EQ(f[3 + blockSize], sum >> 8);
        EXPECT_EQ(f[4 + blockSize], sum & 0xFF);
    } else {
        uint8_t sum = 0;
        for (size_t i = 0; i < blockSize; ++i) sum = static_cast<uint8_t>(sum + f[3 + i]);
        EXPECT_EQ(f[3 + blockSize], sum);
    }
}

TEST_F(YModemBatch, WorkedExampleLineSequence) {
    const std::vector<uint8_t> file = Pattern(2000);
    ScriptedReceiver receiver(port, true);
    receiver.Send("C");  // already waiting: drained, the next one counts
    port.Deliver("C", 1000);
    receiver.answers = {Ack + "C"};
    for (int i = 1; i <= 9; ++i) receiver.answers.push_back(Ack);
    receiver.answers.push_back(Ack + "C");  // EOT
    receiver.answers.push_back(Ack);        // end of batch
    RecordingWindow recorder(&port);
    MemoryStream stream(file);
    YModemTx tx = Tx(&recorder);
    ASSERT_EQ(tx.SendBatch(2000, stream, "C:\\Fw\\App.dfu"), 0);

    const auto& frames = receiver.frames;
    ASSERT_EQ(frames.size(), 12u);
    for (const auto& f : frames)
        if (f.bytes.size() > 1) ExpectCheckValid(f.bytes, true);

    // Block 0: name, NUL, four digits, 1006 zero bytes.
    const auto& h = frames[0].bytes;
    EXPECT_EQ(std::vector<uint8_t>(h.begin(), h.begin() + 3), (std::vector<uint8_t>{STX, 0, 0xFF}));
    const std::string announced = "c:/fw/app.dfu";
    EXPECT_EQ(std::string(h.begin() + 3, h.begin() + 3 + 13), announced);
    EXPECT_EQ(h[16], 0);
    EXPECT_EQ(std::string(h.begin() + 17, h.begin() + 21), "2000");
    EXPECT_EQ(std::count(h.begin() + 21, h.begin() + 1027, 0), 1006);

    // Block 1: 1024 bytes; blocks 2..9: 128 each, the last with 80 bytes and 48 fill.
    EXPECT_EQ(frames[1].bytes[0], STX);
    EXPECT_EQ(frames[1].bytes[1], 1);
    EXPECT_EQ(frames[1].bytes[2], 0xFE);
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 1024, frames[1].bytes.begin() + 3));
    for (int b = 2; b <= 9; ++b) {
        const auto& f = frames[static_cast<size_t>(b)].bytes;
        EXPECT_EQ(f[0], SOH);
        EXPECT_EQ(f[1], b);
        EXPECT_EQ(f[2], 255 - b);
        const size_t from = 1024 + 128 * static_cast<size_t>(b - 2);
        const size_t carried = std::min<size_t>(128, 2000 - from);
        EXPECT_TRUE(std::equal(file.begin() + static_cast<long>(from),
                               file.begin() + static_cast<long>(from + carried), f.begin() + 3));
        EXPECT_EQ(static_cast<size_t>(
                      std::count(f.begin() + 3 + static_cast<long>(carried), f.begin() + 131, SUB)),
                  128 - carried);
    }
    EXPECT_EQ(frames[9].bytes[2], 0xF6);
    EXPECT_EQ(frames[10].bytes, std::vector<uint8_t>{EOT});

    // End of batch: block 0 of zeros, whose CRC is zero too.
    std::vector<uint8_t> end = {STX, 0x00, 0xFF};
    end.insert(end.end(), 1026, 0x00);
    EXPECT_EQ(frames[11].bytes, end);

    // Notifications (1, 1) after block 1, (2, 1) after block 9, (3, 1) after EOT.
    ASSERT_EQ(recorder.notes.size(), 3u);
    const size_t afterBlock1 = 1029 * 2, afterBlock9 = afterBlock1 + 8 * 133;
    EXPECT_EQ(recorder.notes[0].lineBytes, afterBlock1);
    EXPECT_EQ(recorder.notes[1].lineBytes, afterBlock9);
    EXPECT_EQ(recorder.notes[2].lineBytes, afterBlock9 + 1);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(recorder.notes[i].chunks, i + 1);
        EXPECT_EQ(recorder.notes[i].sizeKiB, 1u);
    }
    EXPECT_EQ(port.line.size(), 1029u * 3 + 8 * 133 + 1);
}

struct ModeCase {
    char start;
    size_t bigFrame, smallFrame;
    std::vector<std::string> answers;  // block 0, block 1, block 2, EOT, end of batch
};

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << "start " << static_cast<int>(c.start);
}

class YModemModes : public YModemBatch, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(YModemModes, WholeBatch) {
    const ModeCase c = GetParam();
    ScriptedReceiver receiver(port, c.start != '\x15');
    // A streaming receiver needs a moment before it repeats its start character; the look
    // after a streamed block takes only what is already there.
    receiver.answerDelay = 5;
    port.Deliver(std::string(1, c.start), 100);
    receiver.answers.assign(c.answers.begin(), c.answers.end());
    const std::vector<uint8_t> file = Pattern(1100);
    MemoryStream stream(file);
    YModemTx tx = Tx();
    ASSERT_EQ(tx.SendBatch(1100, stream, "fw.dfu"), 0);
    ASSERT_EQ(receiver.frames.size(), 5u);
    EXPECT_EQ(receiver.frames[0].bytes.size(), c.bigFrame);
    EXPECT_EQ(receiver.frames[1].bytes.size(), c.bigFrame);
    EXPECT_EQ(receiver.frames[2].bytes.size(), c.smallFrame);
    EXPECT_EQ(receiver.frames[3].bytes, std::vector<uint8_t>{EOT});
    EXPECT_EQ(receiver.frames[4].bytes.size(), c.bigFrame);
    for (size_t i : {0, 1, 2, 4}) ExpectCheckValid(receiver.frames[i].bytes, c.start != '\x15');
}

INSTANTIATE_TEST_SUITE_P(
    StartCharacters, YModemModes,
    ::testing::Values(ModeCase{'C', 1029, 133, {Ack + "C", Ack, Ack, Ack + "C", Ack}},
                      ModeCase{'\x15', 1028, 132, {Ack + Nak, Ack, Ack, Ack + Nak, Ack}},
                      // Streaming: no answers to blocks, but EOT is acknowledged.
                      ModeCase{'G', 1029, 133, {"G", "", "", Ack + "G", ""}}));

struct RepeatCase {
    const char* name;
    std::string afterHeader, afterEot;
    int result;
    size_t frames;
    uint32_t endTime;  // 0: not checked
};

void PrintTo(const RepeatCase& c, std::ostream* os) {
    *os << c.name;
}

class YModemRepeatedStart : public YModemBatch, public ::testing::WithParamInterface<RepeatCase> {};

TEST_P(YModemRepeatedStart, MustBeTheSameStartCharacter) {
    const RepeatCase c = GetParam();
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 1);
    receiver.answers = {c.afterHeader, Ack, c.afterEot, Ack};
    MemoryStream stream(Pattern(100));
    YModemTx tx = Tx();
    EXPECT_EQ(tx.SendBatch(100, stream, "fw.dfu"), c.result);
    EXPECT_EQ(receiver.frames.size(), c.frames);
    if (c.endTime) {
        EXPECT_EQ(clock.TickCount(), c.endTime);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, YModemRepeatedStart,
    ::testing::Values(RepeatCase{"NakAfterHeader", Ack + Nak, "", UnexpectedResponse, 1, 0},
                      RepeatCase{"GAfterHeader", Ack + "G", "", UnexpectedResponse, 1, 0},
                      // Start poll 10 ms, drain 30 ms, then 11000 ms of silence.
                      RepeatCase{"SilenceAfterHeader", Ack, "", Timeout, 1, 10 + 30 + 11000},
                      RepeatCase{"NakAfterEot", Ack + "C", Ack + Nak, UnexpectedResponse, 3, 0},
                      RepeatCase{"SilenceAfterEot", Ack + "C", Ack, Timeout, 3, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(YModemBatch, NothingFollowsAFailure) {
    // Cancelled at block 1: no EOT, no CAN, no end-of-batch block.
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 1);
    receiver.answers = {Ack + "C", Can, Can};
    MemoryStream stream(Pattern(5000));
    YModemTx tx = Tx();
    EXPECT_EQ(tx.SendBatch(5000, stream, "fw.dfu"), CancelledByReceiver);
    EXPECT_EQ(receiver.frames.size(), 3u);
    EXPECT_EQ(port.line.size(), 3u * 1029);
}

}  // namespace
