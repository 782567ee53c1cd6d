#include "port_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_scan_window.h"
#include "update_procedure.h"
#include "virtual_clock.h"

namespace {

std::wstring PortNameText(const FakeScanWindow& window) {
    return std::wstring(window.portName.data());
}

struct ScanCase {
    const char* name;
    std::vector<std::wstring> devices;
    std::vector<std::wstring> entries;  // in list order
    std::vector<std::wstring> log;
    std::wstring portName;
    uint64_t sleptMs;
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class ScanTable : public testing::TestWithParam<ScanCase> {};

TEST_P(ScanTable, ListLogPortNameAndWait) {
    const ScanCase& c = GetParam();
    FakeScanWindow window;
    FakeDeviceList devices;
    devices.names = c.devices;
    VirtualClock clock(1000);

    ScanPorts(window, devices, clock);

    EXPECT_EQ(window.entries, c.entries);
    EXPECT_EQ(window.selected, c.entries.empty() ? -1 : 0);
    EXPECT_EQ(window.log, c.log);
    EXPECT_EQ(PortNameText(window), c.portName);
    EXPECT_EQ(window.portName.back(), L'\0');
    // The field right after PortName in the fake: a write past the port name lands here.
    EXPECT_EQ(window.deviceChangeCount, 0);
    EXPECT_EQ(clock.TotalSlept(), c.sleptMs);
    EXPECT_EQ(window.resets, 1);
}

const std::wstring kLongName = L"STM " + std::wstring(1010, L'x') + L" (COM4)";     // 1021
const std::wstring kTooLongName = L"STM " + std::wstring(1013, L'x') + L" (COM4)";  // 1024

INSTANTIATE_TEST_SUITE_P(
    Scan, ScanTable,
    testing::Values(
        ScanCase{"OneDevice",
                 {L"STM Virtual COM Port (COM7)"},
                 {L"COM7 :ZQ418"},
                 {L"Find ZQ-418 at COM7\r\n"},
                 L"COM7",
                 500},
        ScanCase{"Com9ThenCom10",
                 {L"STM Virtual COM Port (COM9)", L"STM Virtual COM Port (COM10)"},
                 {L"COM10 :ZQ418", L"COM9 :ZQ418"},
                 {L"Find ZQ-418 at COM9\r\n", L"Find ZQ-418 at COM10\r\n"},
                 L"COM10",
                 1000},
        ScanCase{"StmInAnyPositionButExactCase",
                 {L"stm Virtual COM Port (COM3)", L"Stm Port (COM4)", L"USB-xSTMx bridge (COM6)"},
                 {L"COM6 :ZQ418"},
                 {L"Find ZQ-418 at COM6\r\n"},
                 L"COM6",
                 500},
        ScanCase{"OnlyLowerCaseStm", {L"stm Virtual COM Port (COM3)"}, {}, {}, L"", 0},
        ScanCase{"FirstParenthesesCount",
                 {L"STM Port (A) on (COM4)"},
                 {L"A :ZQ418"},
                 {L"Find ZQ-418 at A\r\n"},
                 L"A",
                 500},
        ScanCase{"PortNameEndsAtFirstCloseAfterOpen",
                 {L"STM ) Port (COM4) (COM5)"},
                 {L"COM4 :ZQ418"},
                 {L"Find ZQ-418 at COM4\r\n"},
                 L"COM4",
                 500},
        ScanCase{
            "EmptyParentheses", {L"STM Port ()"}, {L" :ZQ418"}, {L"Find ZQ-418 at \r\n"}, L"", 500},
        ScanCase{"NineCharactersFit",
                 {L"STM Port (ABCDEFGHI)"},
                 {L"ABCDEFGHI :ZQ418"},
                 {L"Find ZQ-418 at ABCDEFGHI\r\n"},
                 L"ABCDEFGHI",
                 500},
        ScanCase{"TenCharactersSkipped", {L"STM Port (ABCDEFGHIJ)"}, {}, {}, L"", 0},
        ScanCase{"LongPortNameSkipped",
                 {L"STM Port (" + std::wstring(600, L'C') + L")"},
                 {},
                 {},
                 L"",
                 0},
        ScanCase{"NoOpenParenthesisSkipped", {L"STM Port COM5)"}, {}, {}, L"", 0},
        ScanCase{"NoCloseParenthesisSkipped", {L"STM Port (COM5"}, {}, {}, L"", 0},
        ScanCase{"CloseOnlyBeforeOpenSkipped", {L"STM Port )COM5("}, {}, {}, L"", 0},
        ScanCase{"MalformedBetweenGoodOnes",
                 {L"STM (COM1)", L"STM Port (COM1234567890)", L"Generic Serial (COM2)",
                  L"STM (COM3", L"STM (COM3)"},
                 {L"COM1 :ZQ418", L"COM3 :ZQ418"},
                 {L"Find ZQ-418 at COM1\r\n", L"Find ZQ-418 at COM3\r\n"},
                 L"COM3",
                 1000},
        ScanCase{"NoQualifyingDevice",
                 {L"Intel USB 3.0 Root Hub", L"Communications Port (COM1)"},
                 {},
                 {},
                 L"",
                 0},
        ScanCase{"NoDevicesAtAll", {}, {}, {}, L"", 0},
        ScanCase{"LongestFriendlyNameRead",
                 {kLongName},
                 {L"COM4 :ZQ418"},
                 {L"Find ZQ-418 at COM4\r\n"},
                 L"COM4",
                 500},
        ScanCase{"FriendlyNameBeyondBufferSkipped", {kTooLongName}, {}, {}, L"", 0},
        ScanCase{
            "ListSortsCaseInsensitively",
            {L"STM (com2)", L"STM (COM1)", L"STM (COM3)"},
            {L"COM1 :ZQ418", L"com2 :ZQ418", L"COM3 :ZQ418"},
            {L"Find ZQ-418 at com2\r\n", L"Find ZQ-418 at COM1\r\n", L"Find ZQ-418 at COM3\r\n"},
            L"COM3",
            1500}),
    [](const testing::TestParamInfo<ScanCase>& info) { return std::string(info.param.name); });

TEST(ScanPorts, NoDeviceSetLeavesListEmptyAndLogsNothing) {
    FakeScanWindow window;
    window.entries = {L"COM3 :ZQ418"};  // from an earlier scan
    window.selected = 0;
    FakeDeviceList devices;
    devices.names = {L"STM Virtual COM Port (COM7)"};
    devices.haveSet = false;
    VirtualClock clock;

    ScanPorts(window, devices, clock);

    EXPECT_TRUE(window.entries.empty());
    EXPECT_EQ(window.selected, -1);
    EXPECT_TRUE(window.log.empty());
    EXPECT_EQ(clock.TotalSlept(), 0u);
}

// Each device: wait, then add and select, then the log line, so that the window shows the
// entry no earlier than the wait allows and the line names the port just added.
TEST(ScanPorts, WaitsBeforeEachAdditionAndLogsAfterIt) {
    struct Recorder : FakeScanWindow {
        std::vector<std::string> events;
        void PortListAdd(const std::wstring& text) override {
            events.push_back("add");
            FakeScanWindow::PortListAdd(text);
        }
        void PortListSelect(int index) override {
            events.push_back("select" + std::to_string(index));
            FakeScanWindow::PortListSelect(index);
        }
        void AppendLog(const std::wstring& text) override {
            events.push_back("log");
            FakeScanWindow::AppendLog(text);
        }
    } window;
    struct RecordingClock : VirtualClock {
        std::vector<std::string>* events = nullptr;
        void Sleep(uint32_t ms) override {
            events->push_back("sleep" + std::to_string(ms));
            VirtualClock::Sleep(ms);
        }
    } clock;
    clock.events = &window.events;
    FakeDeviceList devices;
    devices.names = {L"STM (COM9)", L"STM (COM10)"};

    ScanPorts(window, devices, clock);

    EXPECT_EQ(window.events, (std::vector<std::string>{"sleep500", "add", "select0", "log",
                                                       "sleep500", "add", "select0", "log"}));
}

TEST(ScanPorts, RescanReplacesListAndSelectsFirstAgain) {
    FakeScanWindow window;
    FakeDeviceList devices;
    devices.names = {L"STM (COM9)", L"STM (COM10)"};
    VirtualClock clock;

    ScanPorts(window, devices, clock);
    window.PortListSelect(1);  // the user picks COM9
    ASSERT_EQ(window.selected, 1);
    ScanPorts(window, devices, clock);

    EXPECT_EQ(window.entries, (std::vector<std::wstring>{L"COM10 :ZQ418", L"COM9 :ZQ418"}));
    EXPECT_EQ(window.selected, 0);

    // A longer name left in PortName by an earlier scan does not show through a shorter one.
    devices.names = {L"STM (ABCDEFGHI)"};
    ScanPorts(window, devices, clock);
    devices.names = {L"STM (COM7)"};
    ScanPorts(window, devices, clock);
    EXPECT_EQ(window.entries, std::vector<std::wstring>{L"COM7 :ZQ418"});
    EXPECT_EQ(PortNameText(window), L"COM7");
    EXPECT_EQ(window.log.back(), L"Find ZQ-418 at COM7\r\n");
}

// The update procedure takes the port name back from the entry by cutting the trailing run
// of ":ZQ-418" characters; names ending in such characters must come back whole.
TEST(ScanPorts, EntryGivesBackThePortNameToTheUpdate) {
    struct Case {
        std::wstring device;
        std::wstring portFromEntry;
    };
    const Case cases[] = {
        {L"STM (COM18)", L"COM18 "},     {L"STM (COM7)", L"COM7 "}, {L"STM (COM4)", L"COM4 "},
        {L"STM (ttyACM0)", L"ttyACM0 "}, {L"STM (Q-:Z)", L"Q-:Z "}, {L"STM ()", L" "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device.begin(), c.device.end()));
        FakeScanWindow window;
        FakeDeviceList devices;
        devices.names = {c.device};
        VirtualClock clock;
        ScanPorts(window, devices, clock);
        ASSERT_EQ(window.entries.size(), 1u);
        EXPECT_EQ(PortNameFromEntry(window.entries[0]), c.portFromEntry);
    }
}

// ---------------------------------------------------------------------------------------
// The device-change rule

class DeviceChangeRule : public testing::Test {
  protected:
    void SetUp() override {
        saved_ = PortScanEnabled.load();
        devices.names = {L"STM Virtual COM Port (COM5)"};
    }
    void TearDown() override { PortScanEnabled = saved_; }

    FakeScanWindow window;
    FakeDeviceList devices;
    VirtualClock clock;

  private:
    int32_t saved_ = 1;
};

struct Step {
    uint32_t event;
    int32_t scanEnabled;
    bool scans;
    int32_t countAfter;
};

constexpr uint32_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
constexpr uint32_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
constexpr uint32_t kConfigChanged = 0x0018;         // DBT_CONFIGCHANGED

TEST_F(DeviceChangeRule, SequencesOfNotifications) {
    struct Sequence {
        const char* name;
        std::vector<Step> steps;
    };
    const Sequence sequences[] = {
        {"every second one scans",
         {{kDeviceNodesChanged, 1, false, 1},
          {kDeviceNodesChanged, 1, true, 0},
          {kDeviceNodesChanged, 1, false, 1},
          {kDeviceNodesChanged, 1, true, 0}}},
        {"refused scan still resets the count and is not made up",
         {{kDeviceNodesChanged, 1, false, 1},
          {kDeviceNodesChanged, 0, false, 0},
          {kDeviceNodesChanged, 1, false, 1},
          {kDeviceNodesChanged, 1, true, 0}}},
        {"enabled only while the first of a pair arrives",
         {{kDeviceNodesChanged, 1, false, 1}, {kDeviceNodesChanged, 0, false, 0}}},
        {"no scan while updates run",
         {{kDeviceNodesChanged, 0, false, 1},
          {kDeviceNodesChanged, 0, false, 0},
          {kDeviceNodesChanged, 0, false, 1},
          {kDeviceNodesChanged, 0, false, 0}}},
        {"other events leave the count alone",
         {{kDeviceArrival, 1, false, 0},
          {kDeviceNodesChanged, 1, false, 1},
          {kDeviceArrival, 1, false, 1},
          {kDeviceRemoveComplete, 1, false, 1},
          {kConfigChanged, 1, false, 1},
          {0, 1, false, 1},
          {kDeviceNodesChanged, 1, true, 0}}},
    };
    for (const Sequence& sequence : sequences) {
        SCOPED_TRACE(sequence.name);
        window = FakeScanWindow();
        devices.calls = 0;
        int scans = 0;
        for (std::size_t i = 0; i < sequence.steps.size(); ++i) {
            const Step& step = sequence.steps[i];
            SCOPED_TRACE("step " + std::to_string(i + 1));
            PortScanEnabled = step.scanEnabled;
            bool scanned = OnDeviceChange(window, step.event, devices, clock);
            EXPECT_EQ(scanned, step.scans);
            EXPECT_EQ(window.deviceChangeCount, step.countAfter);
            if (step.scans) ++scans;
            // A scan that ran went to the devices and rebuilt the list.
            EXPECT_EQ(devices.calls, scans);
            EXPECT_EQ(window.resets, scans);
        }
    }
}

TEST_F(DeviceChangeRule, ScanFromNotificationFillsTheList) {
    PortScanEnabled = 1;
    window.entries = {L"COM3 :ZQ418"};
    OnDeviceChange(window, kDeviceNodesChanged, devices, clock);
    EXPECT_EQ(window.entries, std::vector<std::wstring>{L"COM3 :ZQ418"});
    OnDeviceChange(window, kDeviceNodesChanged, devices, clock);
    EXPECT_EQ(window.entries, std::vector<std::wstring>{L"COM5 :ZQ418"});
    EXPECT_EQ(window.selected, 0);
    EXPECT_EQ(window.log, std::vector<std::wstring>{L"Find ZQ-418 at COM5\r\n"});
    EXPECT_EQ(clock.TotalSlept(), 500u);
}

class FakeChangeSource : public DeviceChangeSource {
  public:
    int Wait(uint32_t timeoutMs) override {
        lastTimeout = timeoutMs;
        if (replies.empty()) return 0;
        int reply = replies.front();
        replies.erase(replies.begin());
        return reply;
    }
    std::vector<int> replies;
    uint32_t lastTimeout = 0;
};

TEST_F(DeviceChangeRule, ChangeSourceFeedsTheSameCounter) {
    PortScanEnabled = 1;
    FakeChangeSource source;
    source.replies = {3, 0, 1, 2, -1};

    EXPECT_EQ(PumpDeviceChanges(source, 250, window, devices, clock), 1);  // 1, 0, 1
    EXPECT_EQ(source.lastTimeout, 250u);
    EXPECT_EQ(window.deviceChangeCount, 1);
    EXPECT_EQ(PumpDeviceChanges(source, 250, window, devices, clock), 0);  // time-out
    EXPECT_EQ(window.deviceChangeCount, 1);
    EXPECT_EQ(PumpDeviceChanges(source, 250, window, devices, clock), 1);  // 0
    EXPECT_EQ(window.deviceChangeCount, 0);
    PortScanEnabled = 0;
    EXPECT_EQ(PumpDeviceChanges(source, 250, window, devices, clock), 0);  // 1, 0 refused
    EXPECT_EQ(window.deviceChangeCount, 0);
    EXPECT_EQ(PumpDeviceChanges(source, 250, window, devices, clock), -1);
    EXPECT_EQ(window.deviceChangeCount, 0);
    EXPECT_EQ(devices.calls, 2);
}

TEST(PortListInsertPosition, SortsAsTheComboBoxDoes) {
    std::vector<std::wstring> list;
    for (const wchar_t* text : {L"COM9 :ZQ418", L"COM10 :ZQ418", L"com1 :ZQ418", L"COM1 :ZQ418",
                                L" :ZQ418", L"ttyACM0 :ZQ418"})
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(PortListInsertPosition(list, text)),
                    text);
    EXPECT_EQ(list,
              (std::vector<std::wstring>{L" :ZQ418", L"com1 :ZQ418", L"COM1 :ZQ418",
                                         L"COM10 :ZQ418", L"COM9 :ZQ418", L"ttyACM0 :ZQ418"}));
}

}  // namespace
