// The Win32 handshake line under Wine, COM7 mapped to a pseudo-terminal whose device side
// (com_peer.py) answers '1' with 'A' and 'S' with 'Y' when the line is raw 115200 8N1.
#include <gtest/gtest.h>

#include <chrono>

#include "update_procedure.h"

namespace {

// Wine returns a read only after its whole 100 ms wait, so a reply takes a few reads.
int AwaitByte(HandshakeLine& line, uint8_t& byte) {
    for (int i = 0; i < 30; ++i) {
        int got = line.ReadByte(byte);
        if (got != 0) return got;
    }
    return 0;
}

TEST(WindowsHandshakePort, OpensTheListNameAppliesTheSettingsAndMovesBytes) {
    HandshakeOpenError why = HandshakeOpenError::Other;
    auto line = OpenHandshakePort(L"COM7 ", &why);  // with the blank the list leaves on it
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(why, HandshakeOpenError::None);

    uint8_t byte = 0;
    auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(line->ReadByte(byte), 0);
    auto waited = std::chrono::steady_clock::now() - began;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));

    line->WriteByte('S');
    ASSERT_EQ(AwaitByte(*line, byte), 1);
    EXPECT_EQ(byte, 'Y') << "the device side saw other line settings (see the peer's log)";

    line->WriteByte('1');
    ASSERT_EQ(AwaitByte(*line, byte), 1);
    EXPECT_EQ(byte, 'A');

    line->ClearErrors();
    line->Close();
    EXPECT_EQ(line->ReadByte(byte), -1);

    // Closed for real: it opens again.
    auto again = OpenHandshakePort(L"COM7");
    ASSERT_NE(again, nullptr);
    again->WriteByte('1');
    ASSERT_EQ(AwaitByte(*again, byte), 1);
    EXPECT_EQ(byte, 'A');
}

TEST(WindowsHandshakePort, AbsentPortsAndOverlongNamesFail) {
    HandshakeOpenError why = HandshakeOpenError::None;
    EXPECT_EQ(OpenHandshakePort(L"COM9", &why), nullptr);  // not mapped in this prefix
    EXPECT_EQ(why, HandshakeOpenError::NotFound);

    // "\\.\" and the name must fit 64 characters with the terminator: 59 fit, 60 do not.
    EXPECT_EQ(OpenHandshakePort(std::wstring(60, L'C'), &why), nullptr);
    EXPECT_EQ(why, HandshakeOpenError::NameTooLong);
    EXPECT_EQ(OpenHandshakePort(std::wstring(59, L'C'), &why), nullptr);
    EXPECT_EQ(why, HandshakeOpenError::NotFound);
}

}  // namespace
