// ReadThread's dialogue and outcomes, run on the test thread against a scripted device on a
// virtual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update_fakes.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const std::wstring kEntryFailure =
    L"\r\nEntry updata Firmware mode fail!!\r\nPress Power+Reset Key entry Bootloader and "
    L"Firmware mode,\r\nComfirm COM Port is correct.\r\n";
const std::wstring kDialogueStart = L"\r\nSwitch to Flash Mode.\r\n";
const std::wstring kOpenFailure = L"\r\nOpen Serial Prot Error!!\r\n";
const std::wstring kDialogueFailure = L"\r\nSwitch to Flash Mode Error!\r\n";
const std::wstring kTransferStart = L"\r\nUpdataing Firmware ...\r\n";

#ifdef _WIN32
const wchar_t kFirmwarePath[] = L"C:\\fw\\dev.dfu";
const char kAnsiFirmwarePath[] = "C:\\fw\\dev.dfu";
#else
const wchar_t kFirmwarePath[] = L"/home/user/fw/dev.dfu";
const char kAnsiFirmwarePath[] = "/home/user/fw/dev.dfu";
#endif
const std::wstring kSuccess = L"\r\nUpdate dev.dfu success.\r\n";

const std::string kMenu = "ZQ-418 boot menu\r\n1. New firmware\r\n";
const std::string kAbortLine = "Waiting for file, any key to abort\r\n";

std::vector<std::wstring> Wide(const std::vector<std::string>& lines) {
    std::vector<std::wstring> result;
    for (const std::string& line : lines) result.push_back(AnsiToWide(line.c_str()));
    return result;
}

class DialogueTest : public ::testing::Test {
  protected:
    static constexpr uint32_t kStart = 5000;

    DialogueTest() {
        UpdateSeams& seams = UpdatePlatform();
        seams.clock = &clock;
        seams.openHandshakePort = [this](const std::wstring& name) {
            openedNames.push_back(name);
            std::unique_ptr<HandshakeLine> line;
            if (portPresent) line = std::make_unique<ScriptedLine>(device);
            return line;
        };
        seams.startThread = [](std::function<void()>, ThreadPriority) { return false; };
        seams.sendFirmwareFile = [this](ProgressWindow* w, const char* path, const char* port) {
            transfers.push_back({w, path, port, UpdateState.load(), HandshakePort.IsValid()});
            scanDuringTransfer = PortScanEnabled.load();
            return transferResult;
        };
        window.entries = {L"ttyACM0 :ZQ418"};
        window.selection = 0;
        window.firmwarePath = kFirmwarePath;
    }

    // The device of a normal update: the first '1' brings the menu, the next one the line
    // that shows flash mode.
    void PlayNormalDevice() {
        device.whenWritten = [this](ScriptedDevice& d, uint8_t) {
            if (d.writes.size() == 1) d.Send(d.clock.TickCount() + 30, kMenu);
            if (d.writes.size() == 2) d.Send(d.clock.TickCount() + 30, kAbortLine);
        };
    }

    bool ReachedFlashMode() const { return !transfers.empty(); }
    uint32_t Elapsed(uint32_t at) const { return at - kStart; }

    SeamsScope scope;
    RecordingClock clock{kStart};
    ScriptedDevice device{clock};
    FakeWindow window{&clock};
    bool portPresent = true;
    int transferResult = 0;
    int scanDuringTransfer = -1;
    std::vector<std::wstring> openedNames;
    std::vector<TransferCall> transfers;
};

// --- Outcomes -------------------------------------------------------------------------

struct OutcomeCase {
    const char* name;
    std::vector<std::wstring> entries;
    int selection;
    bool portPresent;
    bool deviceAnswers;
    int transferResult;
    std::vector<std::wstring> log;
};

class OutcomeTest : public DialogueTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(OutcomeTest, LogsInOrderAndUnlocksTheWindow) {
    const OutcomeCase& c = GetParam();
    window.entries = c.entries;
    window.selection = c.selection;
    portPresent = c.portPresent;
    transferResult = c.transferResult;
    if (c.deviceAnswers) PlayNormalDevice();

    ReadThread(window);

    EXPECT_THAT(window.Log(), ElementsAreArray(c.log));
    std::vector<std::wstring> expectedEvents = {L"disable 1004", L"disable 1001",  L"disable 1003",
                                                L"disable 1002", L"show progress", L"selection?",
                                                L"enable 1004",  L"enable 1001",   L"enable 1003",
                                                L"enable 1002",  L"hide progress"};
    EXPECT_EQ(window.Events(), expectedEvents);
    EXPECT_EQ(UpdateState.load(), UpdatePhase::Finished);
    EXPECT_EQ(PortScanEnabled.load(), 1);
    EXPECT_FALSE(HandshakePort.IsValid());
    EXPECT_EQ(device.callsAfterClose, 0);
    if (c.selection < 0) {
        EXPECT_THAT(openedNames, IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, OutcomeTest,
    ::testing::Values(
        OutcomeCase{"NoSelection", {L"ttyACM0 :ZQ418"}, -1, true, true, 0, {kEntryFailure}},
        OutcomeCase{"EmptyPortList", {}, -1, true, true, 0, {kEntryFailure}},
        OutcomeCase{"PortCannotBeOpened",
                    {L"ttyACM0 :ZQ418"},
                    0,
                    false,
                    true,
                    0,
                    {kDialogueStart, kOpenFailure}},
        OutcomeCase{"NoAbortBeforeTheLimit",
                    {L"ttyACM0 :ZQ418"},
                    0,
                    true,
                    false,
                    0,
                    {kDialogueStart, kDialogueFailure}},
        OutcomeCase{"TransferFails",
                    {L"ttyACM0 :ZQ418"},
                    0,
                    true,
                    true,
                    1,
                    {kDialogueStart, L"ZQ-418 boot menu\r\n", L"1. New firmware\r\n",
                     L"Waiting for file, any key to abort\r\n", kTransferStart, kEntryFailure}},
        OutcomeCase{"TransferSucceeds",
                    {L"ttyACM0 :ZQ418"},
                    0,
                    true,
                    true,
                    0,
                    {kDialogueStart, L"ZQ-418 boot menu\r\n", L"1. New firmware\r\n",
                     L"Waiting for file, any key to abort\r\n", kTransferStart, kSuccess}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogueTest, HandsTheClosedPortOverToTheTransferUnderItsListName) {
    window.entries = {L"COM18 :ZQ418", L"ttyACM0 :ZQ418"};
    window.selection = 1;
    PlayNormalDevice();

    ReadThread(window);

    EXPECT_THAT(openedNames, ElementsAre(L"ttyACM0 "));
    ASSERT_EQ(transfers.size(), 1u);
    EXPECT_EQ(transfers[0].portName, "ttyACM0 ");
    EXPECT_EQ(transfers[0].path, kAnsiFirmwarePath);
    EXPECT_EQ(transfers[0].window, static_cast<ProgressWindow*>(&window));
    // The port is closed and the dialogue over before the transfer opens the port again.
    EXPECT_EQ(transfers[0].stateDuringTransfer, UpdatePhase::Finished);
    EXPECT_FALSE(transfers[0].handshakePortValid);
    EXPECT_EQ(device.closes, 1);
    EXPECT_EQ(scanDuringTransfer, 0);
}

TEST(PortNameFromEntry, CutsTheModelSuffixAndKeepsTheBlank) {
    struct Case {
        std::wstring entry, name;
    } cases[] = {
        {L"COM18 :ZQ418", L"COM18 "},
        {L"COM3 :ZQ418", L"COM3 "},
        {L"ttyACM0 :ZQ418", L"ttyACM0 "},
        {L"/dev/pts/3 :ZQ418", L"/dev/pts/3 "},
        {L"", L""},
    };
    for (const Case& c : cases) EXPECT_EQ(PortNameFromEntry(c.entry), c.name) << c.entry;
}

TEST(FileNameAfterLast, TakesThePartAfterTheLastSeparator) {
    EXPECT_EQ(FileNameAfterLast(L"C:\\fw\\dev.dfu", L'\\'), L"dev.dfu");
    EXPECT_EQ(FileNameAfterLast(L"/home/user/fw/dev.dfu", L'/'), L"dev.dfu");
    EXPECT_EQ(FileNameAfterLast(L"dev.dfu", L'\\'), L"dev.dfu");
    EXPECT_EQ(FileNameAfterLast(L"C:\\fw\\", L'\\'), L"");
}

// Names and paths that do not fit their 8-bit buffers never reach the port or the engine.
TEST_F(DialogueTest, PortNameTooLongForItsBufferCountsAsAnOpenFailure) {
    window.entries = {std::wstring(300, L'A') + L" :ZQ418"};
    PlayNormalDevice();

    ReadThread(window);

    EXPECT_THAT(window.Log(), ElementsAre(kDialogueStart, kOpenFailure));
    EXPECT_THAT(openedNames, IsEmpty());
}

TEST_F(DialogueTest, FirmwarePathTooLongForItsBufferFailsTheTransferWithoutTryingIt) {
    window.firmwarePath = std::wstring(300, L'f');
    PlayNormalDevice();

    ReadThread(window);

    std::vector<std::wstring> log = window.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_THAT(std::vector<std::wstring>(log.end() - 2, log.end()),
                ElementsAre(kTransferStart, kEntryFailure));
    EXPECT_THAT(transfers, IsEmpty());
}

// --- Line handling ---------------------------------------------------------------------

struct LineCase {
    const char* name;
    std::string burst;                // arrives at once, 50 ms after the port opened
    std::vector<std::string> logged;  // device lines logged, in order
    size_t answers;                   // '1' written in answer to lines
    bool flashMode;
};

class LineTest : public DialogueTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineTest, LogsAndAnswersEachLine) {
    const LineCase& c = GetParam();
    device.Send(kStart + 50, c.burst);

    ReadThread(window);

    std::vector<std::wstring> log = window.Log();
    size_t trailer = c.flashMode ? 2 : 1;  // transfer start and success, or the failure
    ASSERT_GE(log.size(), 1 + trailer);
    std::vector<std::wstring> deviceLines(log.begin() + 1, log.end() - trailer);
    EXPECT_EQ(deviceLines, Wide(c.logged));
    EXPECT_EQ(device.writes.size(), 1 + c.answers);  // the first '1' and the answers
    EXPECT_EQ(ReachedFlashMode(), c.flashMode);
    EXPECT_EQ(log.back(), c.flashMode ? kSuccess : kDialogueFailure);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineTest,
    ::testing::Values(
        LineCase{"TwoLinesInOneBurst",
                 "Hello\r\nabort now\r\n",
                 {"Hello\r\n", "abort now\r\n"},
                 0,
                 true},
        LineCase{"NewIsAnswered", "1. New firmware\r\n", {"1. New firmware\r\n"}, 1, false},
        LineCase{"NewAndAbortInOneLineIsOnlyAnswered",
                 "New, or abort\r\n",
                 {"New, or abort\r\n"},
                 1,
                 false},
        LineCase{
            "NewAndAbortLinesEachTested", "New\r\nabort\r\n", {"New\r\n", "abort\r\n"}, 1, true},
        LineCase{"CapitalAbortDoesNotCount", "Abort\r\n", {"Abort\r\n"}, 0, false},
        LineCase{"LowerCaseNewIsNotAnswered", "new\r\n", {"new\r\n"}, 0, false},
        LineCase{"AbortInsideALongerWordCounts", "Unaborted\r\n", {"Unaborted\r\n"}, 0, true},
        LineCase{
            "NewInsideALongerWordIsAnswered", "Renewal: News\r\n", {"Renewal: News\r\n"}, 1, false},
        LineCase{"NulCutsTheText", std::string("ab\0abort New\r\n", 14), {"ab"}, 0, false},
        LineCase{"LineOf510BytesAndItsLineFeedIsHandled",
                 std::string(509, 'x') + "a\n",
                 {std::string(509, 'x') + "a\n"},
                 0,
                 false},
        LineCase{"After511BytesWithoutLineFeedTheNextByteIsDropped",
                 std::string(511, 'x') + "Yabort\n",
                 {"abort\n"},
                 0,
                 true},
        LineCase{"UnfinishedLineIsNeverLogged", "partial abort", {}, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DialogueTest, GapOf100MsSplitsALineAndDropsItsFirstPart) {
    device.Send(kStart + 50, "par");
    device.Send(kStart + 50 + 150, "tial New\r\n");

    ReadThread(window);

    EXPECT_THAT(window.Log(), ElementsAre(kDialogueStart, L"tial New\r\n", kDialogueFailure));
}

TEST_F(DialogueTest, FailedReadEndsTheBurstAndTheNextBurstClearsLineErrors) {
    device.Send(kStart + 50, "abo");
    device.whenQuiet = [](ScriptedDevice& d) {
        if (d.reads == 4) {
            d.failReads = 1;
            d.Send(d.clock.TickCount() + 10, "rt\r\n");
        }
    };

    ReadThread(window);

    EXPECT_THAT(window.Log(), ElementsAre(kDialogueStart, L"rt\r\n", kDialogueFailure));
    EXPECT_GE(device.clears, 2);
}

TEST_F(DialogueTest, NewIsAnsweredWithOneAndAPauseOf100Ms) {
    device.Send(kStart + 50, "1. New firmware\r\n");
    device.Send(kStart + 400, kAbortLine);

    ReadThread(window);

    ASSERT_EQ(device.writes.size(), 2u);
    EXPECT_EQ(device.writes[0], std::make_pair(kStart, uint8_t('1')));
    EXPECT_EQ(device.writes[1], std::make_pair(kStart + 50, uint8_t('1')));
    ASSERT_GE(clock.pauses.size(), 2u);
    EXPECT_EQ(clock.pauses[0], std::make_pair(kStart + 50, 100u));
    // The abort line: port closed, then 100 ms, then the transfer.
    EXPECT_EQ(clock.pauses[1], std::make_pair(kStart + 400, 100u));
    EXPECT_EQ(clock.pauses.size(), 2u);
    EXPECT_TRUE(ReachedFlashMode());
}

// --- The time limit --------------------------------------------------------------------

TEST_F(DialogueTest, SilentDeviceStrikesTheLimitOnceAfterAnEmptyRead) {
    for (uint32_t start : {kStart, 0xFFFFFFFFu - 3000u}) {
        SCOPED_TRACE(start);
        RecordingClock localClock(start);
        ScriptedDevice localDevice(localClock);
        FakeWindow localWindow(&localClock);
        localWindow.entries = {L"ttyACM0 :ZQ418"};
        localWindow.selection = 0;
        UpdatePlatform().clock = &localClock;
        UpdatePlatform().openHandshakePort = [&](const std::wstring&) {
            return std::unique_ptr<HandshakeLine>(new ScriptedLine(localDevice));
        };

        ReadThread(localWindow);

        EXPECT_THAT(localWindow.Log(), ElementsAre(kDialogueStart, kDialogueFailure));
        EXPECT_THAT(localClock.PauseLengths(), ElementsAre(1000u));
        // Empty reads end at 100 ms steps: 20000 ms does not strike, 20100 ms does, and the
        // failure follows one pause later. A wrap of the tick count shortens nothing.
        EXPECT_EQ(localWindow.logTimes.back() - start, 20100u + 1000u);
        EXPECT_EQ(localDevice.closes, 1);
    }
}

TEST_F(DialogueTest, ChatteringDeviceStrikesTheLimitAfterAByteAndPausesTwice) {
    device.whenQuiet = [](ScriptedDevice& d) { d.SendNow("chatter, chatter\r\n", 1); };

    ReadThread(window);

    EXPECT_THAT(clock.PauseLengths(), ElementsAre(1000u, 1000u));
    uint32_t strike = clock.pauses[0].first;
    EXPECT_EQ(Elapsed(strike), 20001u);
    EXPECT_EQ(window.Log().back(), kDialogueFailure);
    EXPECT_EQ(window.logTimes.back(), strike + 2000u);
    EXPECT_EQ(device.callsAfterClose, 0);
}

struct LimitCase {
    uint32_t start;
    uint32_t abortLineAt;  // elapsed ms when the abort line has arrived
    bool flashMode;
    std::vector<uint32_t> pauses;
};

class LimitTest : public ::testing::TestWithParam<LimitCase> {};

// The abort line's handling ends 100 ms after it arrived; the limit is checked right after.
TEST_P(LimitTest, AbortLineCountsOnlyWhenItsHandlingEndsWithin20000Ms) {
    const LimitCase& c = GetParam();
    SeamsScope scope;
    RecordingClock clock(c.start);
    ScriptedDevice device(clock);
    FakeWindow window(&clock);
    window.entries = {L"ttyACM0 :ZQ418"};
    window.selection = 0;
    window.firmwarePath = kFirmwarePath;
    std::vector<TransferCall> transfers;
    UpdatePlatform().clock = &clock;
    UpdatePlatform().openHandshakePort = [&](const std::wstring&) {
        return std::unique_ptr<HandshakeLine>(new ScriptedLine(device));
    };
    UpdatePlatform().sendFirmwareFile = [&](ProgressWindow*, const char* p, const char* n) {
        transfers.push_back({nullptr, p, n, UpdatePhase::Idle, false});
        return 0;
    };
    device.Send(c.start + c.abortLineAt - 5, "abort\n", 1);

    ReadThread(window);

    EXPECT_EQ(!transfers.empty(), c.flashMode);
    EXPECT_EQ(window.Log().back(), c.flashMode ? kSuccess : kDialogueFailure);
    EXPECT_EQ(clock.PauseLengths(), c.pauses);
}

INSTANTIATE_TEST_SUITE_P(Limits, LimitTest,
                         ::testing::Values(LimitCase{5000, 19900, true, {100}},
                                           LimitCase{5000, 19901, false, {100, 1000, 1000}},
                                           LimitCase{0xFFFFF000u, 19900, true, {100}},
                                           LimitCase{0xFFFFF000u, 19901, false, {100, 1000, 1000}}),
                         [](const auto& info) {
                             return "Start" + std::to_string(info.param.start) + "AbortLineAt" +
                                    std::to_string(info.param.abortLineAt);
                         });

}  // namespace
