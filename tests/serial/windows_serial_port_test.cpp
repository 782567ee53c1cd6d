// WindowsSerialPort against a real COM port: run by wine_serial_test.sh, which maps the port
// named in ZQ_TEST_PORT to a pseudo-terminal whose other side echoes every byte back.
#include "windows_serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "result_codes.h"

namespace {

std::string TestPort() {
    const char* port = std::getenv("ZQ_TEST_PORT");
    return port ? port : "";
}

class WindowsSerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port_ = TestPort();
        if (port_.empty()) GTEST_SKIP() << "ZQ_TEST_PORT names no mapped port";
    }
    std::string port_;
};

TEST(WindowsSerialPortName, TooLongForThePathIsRefusedBeforeAnySystemCall) {
    // 16 characters: "\\.\" + 16 + NUL does not fit into 20 bytes.
    for (const std::string& name :
         {std::string(16, 'X'), std::string("COM6") + std::string(12, ' '),
          std::string(200, 'C')}) {
        WindowsSerialPort port;
        SetLastError(4242);
        EXPECT_EQ(port.Open(name.c_str()), PortError) << '"' << name << '"';
        EXPECT_EQ(port.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), 4242u) << "a system call was made for " << name.size();
    }
}

TEST(WindowsSerialPortName, AbsentPortIsNotFoundAndStaysClosed) {
    WindowsSerialPort port;
    EXPECT_EQ(port.Open("COM199"), PortNotFound);
    EXPECT_EQ(port.handle, INVALID_HANDLE_VALUE);
    port.Close();  // closed: nothing to do
    EXPECT_EQ(port.handle, INVALID_HANDLE_VALUE);
}

TEST_F(WindowsSerialPortTest, FifteenCharactersWithTrailingBlanksOpenTheSamePort) {
    std::string name = port_;
    name.resize(15, ' ');
    WindowsSerialPort port;
    ASSERT_EQ(port.Open(name.c_str()), 0);
    EXPECT_NE(port.handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.Configure(115200), 0);
    port.Close();
    EXPECT_EQ(port.handle, INVALID_HANDLE_VALUE);
    port.Close();
    EXPECT_EQ(port.handle, INVALID_HANDLE_VALUE);
}

TEST_F(WindowsSerialPortTest, ConfiguredPortWritesAndReadsTheEcho) {
    WindowsSerialPort port;
    ASSERT_EQ(port.Open(port_.c_str()), 0);
    ASSERT_EQ(port.Configure(115200), 0);

    // Nothing pending after Configure: a budget of 0 gives 0 at once.
    uint8_t buffer[64];
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 0), 0);

    const std::string frame("\x02\x00\xff\x1a\r\n\x11\x13", 8);
    ASSERT_EQ(port.Write(reinterpret_cast<const uint8_t*>(frame.data()),
                         static_cast<int32_t>(frame.size()), 1000),
              static_cast<int>(frame.size()));
    std::string echoed;
    for (int i = 0; i < 20 && echoed.size() < frame.size(); ++i) {
        const int n = port.Read(buffer, sizeof buffer, 200);
        ASSERT_GE(n, 0);
        echoed.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    EXPECT_EQ(echoed, frame);

    // A quiet line: 0 once the budget is spent, not a failure.
    const DWORD start = GetTickCount();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 50), 0);
    EXPECT_GE(GetTickCount() - start, 45u);
}

TEST_F(WindowsSerialPortTest, ConfigureDiscardsInputThatArrivedBefore) {
    WindowsSerialPort port;
    ASSERT_EQ(port.Open(port_.c_str()), 0);
    ASSERT_EQ(port.Configure(115200), 0);
    const uint8_t stale[] = {'a', 'b', 'c'};
    ASSERT_EQ(port.Write(stale, 3, 1000), 3);
    Sleep(100);  // the echo is back in the driver's queue
    ASSERT_EQ(port.Configure(115200), 0);
    uint8_t buffer[8];
    EXPECT_EQ(port.Read(buffer, sizeof buffer, 0), 0);
}

TEST_F(WindowsSerialPortTest, DestructionClosesSoThePortOpensAgain) {
    for (int i = 0; i < 3; ++i) {
        WindowsSerialPort port;
        ASSERT_EQ(port.Open(port_.c_str()), 0) << "open " << i;
    }
}

}  // namespace
