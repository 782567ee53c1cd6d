// The simulator's own pieces that its verdict rests on: block checks, the file digest, the
// header rules and the command line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "checks.h"
#include "header.h"
#include "options.h"

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string Digest(const std::string& text, size_t pieces = 1) {
    Sha256 sha;
    size_t step = text.size() / pieces + 1;
    for (size_t at = 0; at < text.size(); at += step) {
        size_t n = std::min(step, text.size() - at);
        sha.Update(reinterpret_cast<const uint8_t*>(text.data()) + at, n);
    }
    auto d = sha.Finish();
    return Sha256::Hex(d.data(), d.size());
}

TEST(SimChecks, CrcAndSumKnownValues) {
    auto digits = Bytes("123456789");
    EXPECT_EQ(Crc16Xmodem(digits.data(), digits.size()), 0x31C3);
    EXPECT_EQ(Crc16Xmodem(nullptr, 0), 0);
    // Block 1 with "abc" padded to 128 bytes: CRC 17 16, sum D8.
    std::vector<uint8_t> block(128, 0x1A);
    std::memcpy(block.data(), "abc", 3);
    EXPECT_EQ(Crc16Xmodem(block.data(), block.size()), 0x1716);
    EXPECT_EQ(Sum8(block.data(), block.size()), 0xD8);
}

TEST(SimChecks, Sha256KnownDigests) {
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits in the first block.
    const std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Digest(two), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest(two, 7), Digest(two));
    EXPECT_EQ(Digest(std::string(1000000, 'a'), 13),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

struct HeaderCase {
    const char* what;
    std::string payload;  // padded with zeros to 1024
    bool lenient;
    bool endOfBatch;
    const char* name;
    uint64_t size;
    bool clean;
};

class SimHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(SimHeader, Parses) {
    const HeaderCase& c = GetParam();
    std::vector<uint8_t> block(1024, 0);
    std::memcpy(block.data(), c.payload.data(), c.payload.size());
    HeaderInfo h = ParseHeader(block.data(), block.size(), c.lenient);
    EXPECT_EQ(h.endOfBatch, c.endOfBatch);
    EXPECT_EQ(h.problems.empty(), c.clean) << (h.problems.empty() ? "" : h.problems[0]);
    if (!c.endOfBatch) {
        EXPECT_EQ(h.name, c.name);
        EXPECT_EQ(h.size, c.size);
    }
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Cases, SimHeader,
    ::testing::Values(
        HeaderCase{"plain", "c:/fw/app.dfu\0002000"s, false, false, "c:/fw/app.dfu", 2000, true},
        HeaderCase{"empty file", "a.dfu\0000"s, false, false, "a.dfu", 0, true},
        HeaderCase{"end of batch", ""s, false, true, "", 0, true},
        HeaderCase{"end of batch with garbage", "\0\0\0x"s, false, true, "", 0, false},
        HeaderCase{"garbage tolerated when lenient", "\0\0\0x"s, true, true, "", 0, true},
        HeaderCase{"no size", "a.dfu\0"s, false, false, "a.dfu", 0, false},
        HeaderCase{"leading zero",
                   "a.dfu\0"s
                   "07"s,
                   false, false, "a.dfu", 7, false},
        HeaderCase{"blank after size", "a.dfu\00012 "s, false, false, "a.dfu", 12, false},
        HeaderCase{"fields", "a.dfu\00012 1530 100644 0"s, false, false, "a.dfu", 12, false},
        HeaderCase{"fields when lenient", "a.dfu\00012 1530 100644 0\0zz"s, true, false, "a.dfu",
                   12, true},
        HeaderCase{"letters after size", "a.dfu\00012x"s, true, false, "a.dfu", 12, false},
        HeaderCase{"bytes after terminator", "a.dfu\00012\0\1"s, false, false, "a.dfu", 12, false},
        HeaderCase{"backslash", "c:\\a.dfu\0001"s, false, false, "c:\\a.dfu", 1, false}),
    [](const auto& info) {
        std::string n = info.param.what;
        for (char& ch : n) {
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return n;
    });

TEST(SimHeader, NameWithoutTerminatorIsAViolation) {
    std::vector<uint8_t> block(128, 'x');
    HeaderInfo h = ParseHeader(block.data(), block.size(), true);
    EXPECT_FALSE(h.problems.empty());
}

TEST(SimOptions, AgreedCommandLine) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseOptions(
        {"--link", "/tmp/l", "--out", "/tmp/o", "--scenario", "chatter", "--no-dialogue", "--mode",
         "NAK", "--fault", "nak=3:10", "--fault", "can-twice=2", "--fault", "silence-after-header",
         "--baud", "9600", "--timeout", "2.5"},
        o, error))
        << error;
    EXPECT_EQ(o.link, "/tmp/l");
    EXPECT_EQ(o.out, "/tmp/o");
    EXPECT_EQ(o.scenario, Scenario::Chatter);
    EXPECT_FALSE(o.dialogue);
    EXPECT_EQ(o.startChar, 0x15);
    EXPECT_EQ(o.faults.nak.at(3), 10);
    EXPECT_EQ(o.faults.canTwice.count(2), 1u);
    EXPECT_TRUE(o.faults.silenceAfterHeader);
    EXPECT_EQ(o.baud, 9600);
    EXPECT_DOUBLE_EQ(o.timeoutSeconds, 2.5);
}

TEST(SimOptions, RejectsMalformedArguments) {
    const std::vector<std::vector<std::string>> bad = {
        {"--mode", "X"},          {"--mode"},
        {"--fault", "nak=2"},     {"--fault", "nak=0:1"},
        {"--fault", "nak=2:0"},   {"--fault", "drop=-1"},
        {"--fault", "drop="},     {"--fault", "corrupt=1x"},
        {"--fault", "explode=1"}, {"--baud", "0"},
        {"--timeout", "0"},       {"--timeout", "soon"},
        {"--scenario", "loud"},   {"--verbose"},
    };
    for (const auto& args : bad) {
        Options o;
        std::string error;
        EXPECT_FALSE(ParseOptions(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty()) << args[0];
    }
}

}  // namespace
