#include "linux_device_list.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_scan_window.h"
#include "port_scan.h"
#include "update_procedure.h"
#include "virtual_clock.h"

namespace fs = std::filesystem;

namespace {

// A small sysfs: the shapes of a CDC-ACM port (tty below the interface), a usb-serial port
// (tty below the port below the interface), a built-in UART, a virtual console, and USB
// devices that lack one or both strings.
class FakeSysfs : public testing::Test {
  protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("zq418-sysfs-" + std::to_string(getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "class" / "tty");
    }
    void TearDown() override { fs::remove_all(root); }

    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }

    // A USB device directory below the host controller, with optional strings.
    fs::path UsbDevice(const std::string& port, const char* manufacturer, const char* product) {
        fs::path dir = root / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / port;
        Write(dir / "idVendor", "0483\n");
        if (manufacturer) Write(dir / "manufacturer", std::string(manufacturer) + "\n");
        if (product) Write(dir / "product", std::string(product) + "\n");
        return dir;
    }

    // /sys/class/tty/<name> links to the tty's own directory, whose "device" links to
    // deviceDir; pass an empty deviceDir for a tty without a device.
    void Tty(const std::string& name, const fs::path& ttyDir, const fs::path& deviceDir) {
        fs::create_directories(ttyDir);
        Write(ttyDir / "dev", "166:0\n");
        if (!deviceDir.empty()) {
            fs::create_directories(deviceDir);
            fs::create_directory_symlink(fs::relative(deviceDir, ttyDir), ttyDir / "device");
        }
        fs::create_directory_symlink(fs::relative(ttyDir, root / "class" / "tty"),
                                     root / "class" / "tty" / name);
    }

    void BuildTree() {
        fs::path acm = UsbDevice("1-1", "STMicroelectronics", "STM32 Virtual ComPort");
        Tty("ttyACM0", acm / "1-1:1.0" / "tty" / "ttyACM0", acm / "1-1:1.0");

        fs::path ftdi = UsbDevice("1-2", "FTDI", "FT232R USB UART");
        fs::path serialPort = ftdi / "1-2:1.0" / "ttyUSB0";
        Tty("ttyUSB0", serialPort / "tty" / "ttyUSB0", serialPort);

        fs::path productOnly = UsbDevice("1-3", nullptr, "Widget");
        Tty("ttyACM1", productOnly / "1-3:1.0" / "tty" / "ttyACM1", productOnly / "1-3:1.0");

        fs::path bare = UsbDevice("1-4", nullptr, nullptr);
        Tty("ttyACM2", bare / "1-4:1.0" / "tty" / "ttyACM2", bare / "1-4:1.0");

        fs::path utf8 = UsbDevice("1-5", "M\xC3\xBCller \xFF", "Box");
        Tty("ttyACM3", utf8 / "1-5:1.0" / "tty" / "ttyACM3", utf8 / "1-5:1.0");

        fs::path uart = root / "devices" / "platform" / "serial8250";
        Tty("ttyS0", uart / "tty" / "ttyS0", uart);

        Tty("tty0", root / "devices" / "virtual" / "tty" / "tty0", {});
    }

    fs::path root;
};

TEST_F(FakeSysfs, NamesUsbSerialPortsFromTheirUsbDevice) {
    BuildTree();
    SysfsDeviceList list(root.string());
    std::vector<std::wstring> names{L"left over"};

    ASSERT_TRUE(list.Enumerate(names));

    EXPECT_EQ(names, (std::vector<std::wstring>{
                         L"STMicroelectronics STM32 Virtual ComPort (ttyACM0)",
                         L"Widget (ttyACM1)",
                         L"(ttyACM2)",
                         L"M\u00FCller \uFFFD Box (ttyACM3)",
                         L"FTDI FT232R USB UART (ttyUSB0)",
                     }));
}

TEST_F(FakeSysfs, ScanFindsTheStmPortByItsKernelName) {
    BuildTree();
    SysfsDeviceList list(root.string());
    FakeScanWindow window;
    VirtualClock clock;

    ScanPorts(window, list, clock);

    EXPECT_EQ(window.entries, std::vector<std::wstring>{L"ttyACM0 :ZQ418"});
    EXPECT_EQ(window.selected, 0);
    EXPECT_EQ(window.log, std::vector<std::wstring>{L"Find ZQ-418 at ttyACM0\r\n"});
    EXPECT_EQ(PortNameFromEntry(window.entries[0]), L"ttyACM0 ");
    EXPECT_EQ(clock.TotalSlept(), 500u);
}

TEST_F(FakeSysfs, NoTtyClassIsNoDeviceSet) {
    fs::remove_all(root / "class");
    SysfsDeviceList list(root.string());
    std::vector<std::wstring> names{L"left over"};
    EXPECT_FALSE(list.Enumerate(names));
    EXPECT_TRUE(names.empty());
}

TEST_F(FakeSysfs, DeviceThatVanishesMidWalkIsLeftOut) {
    BuildTree();
    // Unplugged between listing and reading: the class link dangles.
    fs::remove_all(root / "devices" / "pci0000:00" / "0000:00:14.0" / "usb1" / "1-2");
    SysfsDeviceList list(root.string());
    std::vector<std::wstring> names;
    ASSERT_TRUE(list.Enumerate(names));
    for (const std::wstring& name : names) EXPECT_EQ(name.find(L"ttyUSB0"), std::wstring::npos);
    EXPECT_EQ(names.size(), 4u);
}

// ---------------------------------------------------------------------------------------
// Device-change notifications from kernel uevents

std::string Uevent(const std::string& action, const std::string& devpath,
                   const std::string& subsystem) {
    std::string m = action + "@" + devpath;
    m.push_back('\0');
    for (const std::string& kv : {"ACTION=" + action, "DEVPATH=" + devpath,
                                  "SUBSYSTEM=" + subsystem, std::string("SEQNUM=42")}) {
        m += kv;
        m.push_back('\0');
    }
    return m;
}

TEST(Uevent, AddAndRemoveCountOthersDoNot) {
    struct Case {
        std::string message;
        bool counts;
    };
    std::string fromUdev = "libudev";
    fromUdev.push_back('\0');
    fromUdev += "add@/devices/x";
    const Case cases[] = {
        {Uevent("add", "/devices/pci0000:00/usb1/1-1", "usb"), true},
        {Uevent("add", "/devices/pci0000:00/usb1/1-1/1-1:1.0/tty/ttyACM0", "tty"), true},
        {Uevent("remove", "/devices/pci0000:00/usb1/1-1/1-1:1.0/tty/ttyACM0", "tty"), true},
        {Uevent("bind", "/devices/pci0000:00/usb1/1-1", "usb"), false},
        {Uevent("change", "/devices/virtual/tty/tty0", "tty"), false},
        {Uevent("move", "/devices/virtual/net/eth1", "net"), false},
        {fromUdev, false},
        {"add", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message.c_str());
        EXPECT_EQ(IsDeviceNodeChange(c.message.data(), c.message.size()), c.counts);
    }
}

class UeventFeed : public testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
        source = std::make_unique<UeventChangeSource>(fds[0]);
        peer = fds[1];
        saved = PortScanEnabled.load();
        PortScanEnabled = 1;
    }
    void TearDown() override {
        if (peer >= 0) close(peer);
        PortScanEnabled = saved;
    }
    void Send(const std::string& message) {
        ASSERT_EQ(send(peer, message.data(), message.size(), 0),
                  static_cast<ssize_t>(message.size()));
    }

    std::unique_ptr<UeventChangeSource> source;
    int peer = -1;
    int32_t saved = 1;
};

TEST_F(UeventFeed, BurstIsCountedAndFedIntoTheRule) {
    EXPECT_EQ(source->Wait(10), 0);  // nothing yet: time-out

    // A plug-in: device, interface, tty, then driver binding.
    Send(Uevent("add", "/devices/usb1/1-1", "usb"));
    Send(Uevent("add", "/devices/usb1/1-1/1-1:1.0", "usb"));
    Send(Uevent("add", "/devices/usb1/1-1/1-1:1.0/tty/ttyACM0", "tty"));
    Send(Uevent("bind", "/devices/usb1/1-1/1-1:1.0", "usb"));

    FakeScanWindow window;
    FakeDeviceList devices;
    devices.names = {L"STMicroelectronics STM32 Virtual ComPort (ttyACM0)"};
    VirtualClock clock;
    EXPECT_EQ(PumpDeviceChanges(*source, 1000, window, devices, clock), 1);
    EXPECT_EQ(window.deviceChangeCount, 1);
    EXPECT_EQ(window.entries, std::vector<std::wstring>{L"ttyACM0 :ZQ418"});

    Send(Uevent("remove", "/devices/usb1/1-1/1-1:1.0/tty/ttyACM0", "tty"));
    devices.names.clear();
    EXPECT_EQ(PumpDeviceChanges(*source, 1000, window, devices, clock), 1);
    EXPECT_EQ(window.deviceChangeCount, 0);
    EXPECT_TRUE(window.entries.empty());
}

TEST(UeventSource, ClosedSourceFails) {
    UeventChangeSource source(-1);
    EXPECT_EQ(source.Wait(10), -1);
}

TEST(UeventSource, KernelSocketOpensWhereAllowed) {
    int fd = OpenUeventSocket();
    if (fd < 0) GTEST_SKIP() << "no uevent socket here: " << std::strerror(errno);
    UeventChangeSource source(fd);
    int changes = source.Wait(10);
    EXPECT_GE(changes, 0);  // no failure; the count depends on what the machine is doing
}

}  // namespace
