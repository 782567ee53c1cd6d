// The POSIX handshake line against a pseudo-terminal: the test holds the device side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "update_procedure.h"

namespace {

class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[128];
        ASSERT_EQ(::openpty(&device_, &slave_, name, nullptr, nullptr), 0);
        path_ = AnsiToWide(name);
        // The device side's view of the line follows the settings that the tool makes.
        termios cooked{};
        ASSERT_EQ(::tcgetattr(slave_, &cooked), 0);
        cooked.c_lflag |= ICANON | ECHO;
        ::cfsetspeed(&cooked, B9600);
        ASSERT_EQ(::tcsetattr(slave_, TCSANOW, &cooked), 0);
    }
    void TearDown() override {
        ::close(slave_);
        ::close(device_);
    }

    int ReadFromDevice(uint8_t& byte, int timeoutMs = 1000) {
        for (int waited = 0; waited < timeoutMs; waited += 10) {
            if (::read(device_, &byte, 1) == 1) return 1;
            ::usleep(10000);
        }
        return 0;
    }

    int device_ = -1;
    int slave_ = -1;
    std::wstring path_;
};

TEST_F(PtyTest, OpensRawAt115200AndMovesOneByteEachWay) {
    ASSERT_EQ(::fcntl(device_, F_SETFL, O_NONBLOCK), 0);
    // Bytes waiting before the open are thrown away by it.
    ASSERT_EQ(::write(device_, "stale", 5), 5);
    ::usleep(20000);

    HandshakeOpenError why = HandshakeOpenError::Other;
    auto line = OpenHandshakePort(path_ + L" ", &why);  // trailing blank, as from the list
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(why, HandshakeOpenError::None);
    uint8_t echo;  // the cooked line echoed "stale" before the open made it raw
    while (::read(device_, &echo, 1) == 1) {
    }

    termios settings{};
    ASSERT_EQ(::tcgetattr(slave_, &settings), 0);
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(settings.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(settings.c_oflag & OPOST, 0u);

    uint8_t byte = 0;
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(line->ReadByte(byte), 0);  // "stale" is gone; nothing came within 100 ms
    auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(95));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));

    ASSERT_EQ(::write(device_, "N\n", 2), 2);
    ASSERT_EQ(line->ReadByte(byte), 1);
    EXPECT_EQ(byte, 'N');
    ASSERT_EQ(line->ReadByte(byte), 1);
    EXPECT_EQ(byte, '\n');  // raw: no translation

    line->WriteByte('1');
    ASSERT_EQ(ReadFromDevice(byte), 1);
    EXPECT_EQ(byte, '1');

    line->Close();
    EXPECT_EQ(line->ReadByte(byte), -1);
}

TEST_F(PtyTest, PortHeldByAnotherOpenerCannotBeOpenedUntilItIsClosed) {
    auto first = OpenHandshakePort(path_);
    ASSERT_NE(first, nullptr);
    HandshakeOpenError why = HandshakeOpenError::None;
    EXPECT_EQ(OpenHandshakePort(path_, &why), nullptr);
    EXPECT_EQ(why, HandshakeOpenError::Busy);
    first->Close();
    EXPECT_NE(OpenHandshakePort(path_), nullptr);
}

TEST(PosixHandshakePort, AbsentPortsFail) {
    struct Case {
        std::wstring name;
        HandshakeOpenError why;
    } cases[] = {
        {L"ttyZQ418absent ", HandshakeOpenError::NotFound},  // kernel name under /dev
        {L"/dev/zq418/absent", HandshakeOpenError::NotFound},
        {L"", HandshakeOpenError::NotFound},
        {L"   ", HandshakeOpenError::NotFound},
    };
    for (const Case& c : cases) {
        HandshakeOpenError why = HandshakeOpenError::None;
        EXPECT_EQ(OpenHandshakePort(c.name, &why), nullptr) << c.name.size();
        EXPECT_EQ(why, c.why);
    }
}

// The 8-bit text of this platform: UTF-8, with stray bytes carried through unchanged, and a
// buffer that is too small refused rather than overrun.
TEST(PosixText, RoundTripsStrayBytesAndRefusesWhatDoesNotFit) {
    const char device[] = "caf\xc3\xa9 \xff\xfe ok\x80\r\n";
    std::wstring wide = AnsiToWide(device);
    EXPECT_EQ(wide.substr(0, 5), L"caf\u00e9 ");
    char back[64];
    ASSERT_TRUE(WideToAnsi(wide, back, sizeof back));
    EXPECT_STREQ(back, device);

    char exact[4];
    EXPECT_TRUE(WideToAnsi(L"abc", exact, sizeof exact));
    EXPECT_STREQ(exact, "abc");
    EXPECT_FALSE(WideToAnsi(L"abcd", exact, sizeof exact));
    EXPECT_STREQ(exact, "");
    EXPECT_FALSE(WideToAnsi(L"ab\u00e9", exact, sizeof exact));  // é takes two bytes

    char path[kAnsiBufferSize];
    EXPECT_TRUE(WideToAnsi(std::wstring(kAnsiBufferSize - 1, L'p'), path, sizeof path));
    EXPECT_FALSE(WideToAnsi(std::wstring(kAnsiBufferSize, L'p'), path, sizeof path));
}

}  // namespace
