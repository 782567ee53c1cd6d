#include "posix_serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "posix_tty.h"
#include "result_codes.h"

namespace {

using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

long ElapsedMs(SteadyClock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<Ms>(SteadyClock::now() - since).count());
}

// A pseudo-terminal pair: the port under test opens the slave by its path, the test plays
// the device on the master.
class Pty : public ::testing::Test {
  protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slavePath_ = ptsname(master_);
        // Keep the slave side alive so the master never sees a hang-up between opens.
        keeper_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(keeper_, 0);
        termios raw{};
        ASSERT_EQ(tcgetattr(master_, &raw), 0);
        cfmakeraw(&raw);
        ASSERT_EQ(tcsetattr(master_, TCSANOW, &raw), 0);
    }
    void TearDown() override {
        if (keeper_ >= 0) ::close(keeper_);
        if (master_ >= 0) ::close(master_);
    }
    void OpenAndConfigure(PosixSerialPort& port) {
        ASSERT_EQ(port.Open(slavePath_.c_str()), 0);
        ASSERT_EQ(port.Configure(115200), 0);
    }
    void SendFromDevice(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string ReceiveOnDevice(size_t count) {
        std::string got;
        const auto start = SteadyClock::now();
        while (got.size() < count && ElapsedMs(start) < 2000) {
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, 50) <= 0) continue;
            char buffer[256];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // Whether the slave carries the exclusive-open flag, seen through another descriptor.
    bool SlaveExclusive() {
        int exclusive = -1;
        EXPECT_EQ(ioctl(keeper_, TIOCGEXCL, &exclusive), 0);
        return exclusive != 0;
    }

    int master_ = -1;
    int keeper_ = -1;
    std::string slavePath_;
};

TEST(PosixSerialPortPath, NameBecomesDevicePath) {
    struct Case {
        const char* name;
        const char* path;
    };
    for (const Case c : {Case{"ttyACM0", "/dev/ttyACM0"}, Case{"ttyUSB1 ", "/dev/ttyUSB1"},
                         Case{"ttyS0   ", "/dev/ttyS0"}, Case{"/dev/pts/3 ", "/dev/pts/3"},
                         Case{"./link", "./link"}, Case{"/dev/tty ACM", "/dev/tty ACM"}}) {
        char path[PosixSerialPort::kPathCapacity];
        ASSERT_TRUE(TtyDevicePath(c.name, path, sizeof path)) << c.name;
        EXPECT_STREQ(path, c.path);
    }
}

TEST(PosixSerialPortPath, PathThatDoesNotFitIsRefusedNotCut) {
    char path[13];
    EXPECT_TRUE(TtyDevicePath("ttyACM0", path, sizeof path));  // 13 with NUL
    EXPECT_STREQ(path, "/dev/ttyACM0");
    EXPECT_FALSE(TtyDevicePath("ttyACM10", path, sizeof path));
    // Trailing blanks do not count against the room.
    EXPECT_TRUE(TtyDevicePath("ttyACM0      ", path, sizeof path));
}

TEST(PosixSerialPortOpen, FailuresLeaveThePortClosed) {
    const std::string tooLong = "/dev/" + std::string(PosixSerialPort::kPathCapacity, 'x');
    struct Case {
        std::string name;
        int code;
    };
    for (const Case& c :
         {Case{"/dev/zq418-no-such-device", PortNotFound}, Case{"ttyZQ418none", PortNotFound},
          Case{"/dev/null", PortError},  // exists, but is no terminal
          Case{tooLong, PortError}}) {
        PosixSerialPort port;
        errno = 0;
        EXPECT_EQ(port.Open(c.name.c_str()), c.code) << c.name.substr(0, 40);
        EXPECT_FALSE(port.IsOpen());
        // A name too long for the path is refused before any system call could fail.
        if (c.name == tooLong) {
            EXPECT_EQ(errno, 0);
        }
    }
}

TEST_F(Pty, TrailingBlankOpensTheSameDevice) {
    PosixSerialPort port;
    ASSERT_EQ(port.Open((slavePath_ + " ").c_str()), 0);
    ASSERT_EQ(port.Configure(115200), 0);
    SendFromDevice("C");
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1, 1000), 1);
    EXPECT_EQ(byte, 'C');
}

TEST_F(Pty, PortHeldByAnotherProcessIsAccessDenied) {
    // The other program takes the advisory lock as cooperating programs do; root passes the
    // exclusive-open flag, so the lock is what must keep us out.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
        const char ok = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');
    PosixSerialPort port;
    EXPECT_EQ(port.Open(slavePath_.c_str()), PortAccessDenied);
    EXPECT_FALSE(port.IsOpen());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    // Once the holder is gone the port opens.
    EXPECT_EQ(port.Open(slavePath_.c_str()), 0);
}

TEST_F(Pty, SecondOpenOfAHeldPortIsAccessDenied) {
    PosixSerialPort first;
    ASSERT_EQ(first.Open(slavePath_.c_str()), 0);
    EXPECT_TRUE(SlaveExclusive());
    PosixSerialPort second;
    EXPECT_EQ(second.Open(slavePath_.c_str()), PortAccessDenied);
    EXPECT_FALSE(second.IsOpen());
}

TEST_F(Pty, CloseIsIdempotentAndReleasesTheDevice) {
    PosixSerialPort port;
    port.Close();  // closed: nothing to do
    ASSERT_EQ(port.Open(slavePath_.c_str()), 0);
    port.Close();
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    // Neither the lock nor the exclusive flag outlives the close.
    EXPECT_FALSE(SlaveExclusive());
    PosixSerialPort next;
    EXPECT_EQ(next.Open(slavePath_.c_str()), 0);
}

TEST_F(Pty, DestructionClosesAnOpenPort) {
    {
        PosixSerialPort port;
        ASSERT_EQ(port.Open(slavePath_.c_str()), 0);
    }
    EXPECT_FALSE(SlaveExclusive());
    PosixSerialPort next;
    EXPECT_EQ(next.Open(slavePath_.c_str()), 0);
}

TEST_F(Pty, ConfigureSetsRawEightNoneOneWithoutFlowControl) {
    // Start from a cooked, echoing, flow-controlled line as a terminal would leave it.
    termios cooked{};
    ASSERT_EQ(tcgetattr(keeper_, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= IXON | ICRNL;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(keeper_, TCSANOW, &cooked), 0);

    PosixSerialPort port;
    OpenAndConfigure(port);
    termios now{};
    ASSERT_EQ(tcgetattr(keeper_, &now), 0);
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&now), static_cast<speed_t>(B115200));
    EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(now.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);

    // Raw means bytes pass unchanged both ways.
    const std::string binary("\r\n\x03\x11\x13\x1a\xff\x00", 8);
    SendFromDevice(binary);
    uint8_t buffer[16];
    std::string got;
    for (int i = 0; i < 20 && got.size() < binary.size(); ++i) {
        const int n = port.Read(buffer, sizeof buffer, 100);
        ASSERT_GE(n, 0);
        got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    EXPECT_EQ(got, binary);
    ASSERT_EQ(port.Write(reinterpret_cast<const uint8_t*>(binary.data()),
                         static_cast<int32_t>(binary.size()), 1000),
              static_cast<int>(binary.size()));
    EXPECT_EQ(ReceiveOnDevice(binary.size()), binary);
}

TEST_F(Pty, ConfigureDiscardsInputThatArrivedBefore) {
    PosixSerialPort port;
    ASSERT_EQ(port.Open(slavePath_.c_str()), 0);
    SendFromDevice("stale");
    std::this_thread::sleep_for(Ms(20));
    ASSERT_EQ(port.Configure(115200), 0);
    uint8_t buffer[8];
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 0), 0);
}

TEST_F(Pty, RateTermiosCannotExpressIsBadSettingsAndThePortStaysOpen) {
    PosixSerialPort port;
    ASSERT_EQ(port.Open(slavePath_.c_str()), 0);
    EXPECT_EQ(port.Configure(12345), PortBadSettings);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.Configure(115200), 0);
}

TEST_F(Pty, ReadTakesAByteAsSoonAsItArrives) {
    PosixSerialPort port;
    OpenAndConfigure(port);
    // The clock starts before the device thread, so a late start of this thread cannot make
    // the byte look early.
    const auto start = SteadyClock::now();
    std::thread device([this] {
        std::this_thread::sleep_for(Ms(15));
        SendFromDevice("\x06");
    });
    uint8_t byte = 0;
    const int n = port.Read(&byte, 1, 3000);
    const long elapsed = ElapsedMs(start);
    device.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(byte, 0x06);
    EXPECT_GE(elapsed, 14);
    // Far below the budget: the read ends with the byte, not with the budget.
    EXPECT_LT(elapsed, 1000);
}

TEST_F(Pty, ReadReturnsWhatIsThereWithoutWaitingForMore) {
    PosixSerialPort port;
    OpenAndConfigure(port);
    SendFromDevice("12345");
    std::this_thread::sleep_for(Ms(20));
    uint8_t buffer[10];
    const auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 3000), 5);
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "12345");
}

TEST_F(Pty, QuietLineGivesZeroOnceTheBudgetIsSpent) {
    PosixSerialPort port;
    OpenAndConfigure(port);
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1, 0), 0);
    const auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(&byte, 1, 60), 0);
    EXPECT_GE(ElapsedMs(start), 59);
}

TEST_F(Pty, VanishedDeviceFailsReadAndWrite) {
    PosixSerialPort port;
    OpenAndConfigure(port);
    ::close(keeper_);
    keeper_ = -1;
    ::close(master_);
    master_ = -1;
    uint8_t byte = 0;
    const auto start = SteadyClock::now();
    EXPECT_EQ(port.Read(&byte, 1, 3000), PortReadFailed);
    // Reported at once, not after the whole budget of a seemingly quiet line.
    EXPECT_LT(ElapsedMs(start), 1000);
    EXPECT_EQ(port.Write(&byte, 1, 1000), PortWriteFailed);
}

}  // namespace
