#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#endif

#include "fake_serial_port.h"
#include "transfer.h"
#include "ymodem.h"

namespace fs = std::filesystem;

namespace {

const std::string Ack = "\x06", Nak = "\x15", Can = "\x18";

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Whether this process still holds the file open.
bool FileIsOpen(const fs::path& path) {
#ifdef _WIN32
    // Windows refuses to rename a file that is open without delete sharing.
    const fs::path moved = path.string() + ".moved";
    std::error_code error;
    fs::rename(path, moved, error);
    if (error) return true;
    fs::rename(moved, path);
    return false;
#else
    const fs::path target = fs::canonical(path);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path link = fs::read_symlink(entry.path(), error);
        if (!error && link == target) return true;
    }
    return false;
#endif
}

// The file's bytes as a receiver puts them together: the payloads of the data blocks (a
// resent block counted once), cut to the size announced in block 0 unless told otherwise.
// For files of fewer than 255 blocks.
std::vector<uint8_t> Received(const std::vector<ScriptedReceiver::Frame>& frames, bool cut = true) {
    std::vector<uint8_t> data;
    if (frames.empty()) return data;
    const auto& header = frames[0].bytes;
    const std::string name(reinterpret_cast<const char*>(header.data() + 3));
    const size_t size = std::stoul(reinterpret_cast<const char*>(header.data() + 4 + name.size()));
    int last = 0;
    for (const auto& frame : frames) {
        const auto& f = frame.bytes;
        if (f.size() < 3 || f[1] == 0 || f[1] == last) continue;
        const size_t blockSize = f[0] == STX ? 1024 : 128;
        data.insert(data.end(), f.begin() + 3, f.begin() + 3 + static_cast<long>(blockSize));
        last = f[1];
    }
    if (cut && data.size() > size) data.resize(size);
    return data;
}

std::string Announced(const std::string& path) {
    std::string name = path;
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c == '\\') c = '/';
    }
    return name;
}

class YModemEntry : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        dir_ = fs::temp_directory_path() /
               ("zq418-engine-test-" + std::to_string(counter++) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        const fs::path tracePath = dir_ / "trace.txt";
        trace_ = std::fopen(tracePath.string().c_str(), "w+b");
        ASSERT_NE(trace_, nullptr);
        SetTransferTrace(trace_);
    }
    void TearDown() override {
        SetTransferTrace(stdout);
        if (trace_) std::fclose(trace_);
        std::error_code error;
        fs::remove_all(dir_, error);
    }

    std::string Trace() {
        std::fflush(trace_);
        std::rewind(trace_);
        std::string text;
        for (int c; (c = std::fgetc(trace_)) != EOF;) text += static_cast<char>(c);
        return text;
    }

    std::string MakeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path path = dir_ / name;
        WriteFile(path, bytes);
        return path.string();
    }

    TransferReport Run(const std::string& path, ProgressWindow* window = nullptr) {
        return SendFirmwareFileReport(window, path.c_str(), "ttyFAKE ", port, clock);
    }

    void ExpectReport(const TransferReport& r, int status, TransferStage stage, int code) {
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(static_cast<int>(r.stage), static_cast<int>(stage));
        EXPECT_EQ(r.code, code);
    }

    VirtualClock clock;
    FakeSerialPort port{clock};
    fs::path dir_;
    std::FILE* trace_ = nullptr;
};

TEST_F(YModemEntry, HelperSeesAnOpenFile) {
    // The check used below must be able to fail.
    const std::string path = MakeFile("open.bin", Pattern(10));
    int error = 0;
    std::FILE* file = OpenFileForTransfer(path.c_str(), &error);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(FileIsOpen(path));
    std::fclose(file);
    EXPECT_FALSE(FileIsOpen(path));
}

TEST_F(YModemEntry, WholeTransferOfTheWorkedExample) {
    const std::vector<uint8_t> file = Pattern(2000);
    const std::string path = MakeFile("App.dfu", file);
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 500);
    receiver.answers = {Ack + "C", Ack, Ack, Ack, Ack, Ack, Ack, Ack, Ack, Ack, Ack + "C", Ack};
    RecordingWindow window;
    const TransferReport r = Run(path, &window);

    ExpectReport(r, 0, TransferStage::Done, 0);
    EXPECT_EQ(r.systemError, 0);
    EXPECT_EQ(port.openedName, "ttyFAKE ");
    EXPECT_EQ(port.configuredBaud, 115200);
    EXPECT_FALSE(port.isOpen);
    EXPECT_FALSE(FileIsOpen(path));
    ASSERT_EQ(receiver.frames.size(), 12u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(receiver.frames[0].bytes.data() + 3)),
              Announced(path));
    EXPECT_EQ(Received(receiver.frames), file);
    EXPECT_EQ(window.notes.size(), 3u);
    EXPECT_EQ(Trace(), "Sending " + path +
                           "...\n"
                           "       0 bytes of 2000 -   0%\r"
                           "    1024 bytes of 2000 -  51%\r"
                           "    2000 bytes of 2000 - 100%\r"
                           "\nSent OK\n");
}

TEST_F(YModemEntry, EmptyFile) {
    const std::string path = MakeFile("empty.dfu", {});
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 1);
    receiver.answers = {Ack + "C", Ack + "C", Ack};
    RecordingWindow window;
    ExpectReport(Run(path, &window), 0, TransferStage::Done, 0);
    ASSERT_EQ(receiver.frames.size(), 3u);
    const auto& h = receiver.frames[0].bytes;
    const std::string name = Announced(path);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data() + 3)), name);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data() + 4 + name.size())), "0");
    EXPECT_EQ(receiver.frames[1].bytes, std::vector<uint8_t>{EOT});
    ASSERT_EQ(window.notes.size(), 1u);
    EXPECT_EQ(window.notes[0].chunks, 1u);
    EXPECT_EQ(window.notes[0].sizeKiB, 0u);
    EXPECT_EQ(Trace(), "Sending " + path + "...\n       0 bytes of 0 -   0%\r\nSent OK\n");
}

TEST_F(YModemEntry, NoTraceWhenSwitchedOff) {
    SetTransferTrace(nullptr);
    const std::string path = MakeFile("quiet.dfu", Pattern(10));
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 1);
    receiver.answers = {Ack + "C", Ack, Ack + "C", Ack};
    ExpectReport(Run(path), 0, TransferStage::Done, 0);
    EXPECT_EQ(Trace(), "");
}

TEST_F(YModemEntry, ProgressLineComesBeforeEachRead) {
    const std::string path = MakeFile("fw.dfu", Pattern(10));
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    const struct {
        uint32_t position, size;
        const char* line;
    } cases[] = {
        {0, 0, "       0 bytes of 0 -   0%\r"},
        {1024, 2000, "    1024 bytes of 2000 -  51%\r"},
        // The product needs 64 bits once the position passes 42 MB.
        {1000000000, 2000000000, "1000000000 bytes of 2000000000 -  50%\r"},
        {2147483647, 2147483647, "2147483647 bytes of 2147483647 - 100%\r"},
    };
    std::string expected;
    for (const auto& c : cases) {
        std::rewind(file);
        InFile in(file, c.size);
        in.position = c.position;
        uint8_t buffer[1024];
        const uint32_t before = in.position;
        const int got = in.Read(buffer, 1024);
        expected += c.line;
        // Ten bytes are there; the read delivers them and counts them.
        EXPECT_EQ(got, 10);
        EXPECT_EQ(in.position, before + 10);
    }
    std::fclose(file);
    EXPECT_EQ(Trace(), expected);
}

TEST_F(YModemEntry, InFileEndsOnlyAtTheMeasuredSize) {
    const std::string path = MakeFile("fw.dfu", Pattern(10));
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    const struct {
        uint32_t measured;
        int end;
    } cases[] = {{10, 0}, {11, FileReadError}, {9, FileReadError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.measured);
        std::rewind(file);
        InFile in(file, c.measured);
        uint8_t buffer[1024];
        EXPECT_EQ(in.Read(buffer, 1024), 10);
        EXPECT_EQ(in.Read(buffer, 1024), c.end);
    }
    std::fclose(file);
}

TEST_F(YModemEntry, TransfersOnTwoThreadsKeepTheirOwnFileAndWindow) {
    struct Side {
        std::string path;
        std::vector<uint8_t> data;
        VirtualClock clock;
        FakeSerialPort port{clock};
        ScriptedReceiver receiver{port, true};
        RecordingWindow window;
        TransferReport report{};
    };
    Side a, b;
    a.data = Pattern(3000);
    b.data = std::vector<uint8_t>(500, 0xA5);
    a.path = MakeFile("a.dfu", a.data);
    b.path = MakeFile("b.dfu", b.data);
    for (Side* side : {&a, &b}) {
        side->port.Deliver("C", 1);
        side->receiver.answers.assign(40, Ack + "C");
    }
    auto run = [](Side* side) {
        side->report = SendFirmwareFileReport(&side->window, side->path.c_str(), "ttyFAKE ",
                                              side->port, side->clock);
    };
    std::thread first(run, &a), second(run, &b);
    first.join();
    second.join();
    for (Side* side : {&a, &b}) {
        SCOPED_TRACE(side->path);
        ExpectReport(side->report, 0, TransferStage::Done, 0);
        ASSERT_FALSE(side->receiver.frames.empty());
        EXPECT_EQ(
            std::string(reinterpret_cast<const char*>(side->receiver.frames[0].bytes.data() + 3)),
            Announced(side->path));
        EXPECT_EQ(Received(side->receiver.frames), side->data);
        ASSERT_FALSE(side->window.notes.empty());
        EXPECT_EQ(side->window.notes.back().sizeKiB, side->data.size() >> 10);
    }
}

// ---- Failures: the report tells where, the file and the port are closed ----

struct FailureCase {
    const char* name;
    std::string start;                 // the receiver's start character, "" for none
    std::vector<std::string> answers;  // to each frame
    int resizeTo;                      // the file's new size once block 0 is out, or -1
    int code;
    size_t dataBytesSent;  // file bytes that went out in data blocks
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class YModemEntryFailure : public YModemEntry, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(YModemEntryFailure, ReportsAndCloses) {
    const FailureCase c = GetParam();
    // Larger than a stdio buffer: the C library may read the first block while measuring.
    const std::vector<uint8_t> file = Pattern(10000);
    const std::string path = MakeFile("fw.dfu", file);
    ScriptedReceiver receiver(port, true);
    if (!c.start.empty()) port.Deliver(c.start, 1);
    receiver.answers.assign(c.answers.begin(), c.answers.end());
    if (c.resizeTo >= 0) {
        // Between measuring and reading: once block 0 is on the line.
        port.afterWrite = [&, parse = port.afterWrite] {
            if (port.line.size() == 1029) {  // block 0 is out
                if (static_cast<size_t>(c.resizeTo) > file.size()) {
                    WriteFile(path, Pattern(static_cast<size_t>(c.resizeTo)));
                } else {
                    fs::resize_file(path, static_cast<uintmax_t>(c.resizeTo));
                }
            }
            parse();
        };
    }
    const TransferReport r = Run(path);
    ExpectReport(r, 1, TransferStage::Batch, c.code);
    EXPECT_EQ(r.systemError, 0);
    EXPECT_FALSE(FileIsOpen(path));
    EXPECT_FALSE(port.isOpen);
    EXPECT_EQ(port.closeCalls, 1);
    // Nothing is sent after a failure: no EOT, no end-of-batch block.
    for (const auto& f : receiver.frames) EXPECT_NE(f.bytes, std::vector<uint8_t>{EOT});
    // What the file still delivered went out, padded to the last block and no further.
    const std::vector<uint8_t> sent = Received(receiver.frames, false);
    const std::vector<uint8_t> expected = Pattern(c.dataBytesSent);
    ASSERT_GE(sent.size(), expected.size());
    EXPECT_LT(sent.size(), expected.size() + 128);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sent.begin()));
    // The trace simply stops: no "Sent OK".
    EXPECT_EQ(Trace().find("Sent OK"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, YModemEntryFailure,
    ::testing::Values(
        FailureCase{"NoStartCharacter", "", {}, -1, Timeout, 0},
        FailureCase{"CancelledAtBlockZero", "C", {Can, Can}, -1, CancelledByReceiver, 0},
        FailureCase{"NakAfterBlockZero", "C", {Ack + Nak}, -1, UnexpectedResponse, 0},
        FailureCase{"RetriesUsedUp", "C", std::vector<std::string>(10, Nak), -1, TooManyRetries, 0},
        // 1000 bytes left: blocks 1..8 of 128 carry them, then the short file is noticed.
        FailureCase{"FileShrinks", "C", std::vector<std::string>(20, Ack + "C"), 1000,
                    FileReadError, 1000},
        // 2600 bytes now: all of them go out, then the surplus is noticed.
        FailureCase{"FileGrows", "C", std::vector<std::string>(20, Ack + "C"), 2600, FileReadError,
                    2600}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(YModemEntry, PortThatDoesNotOpen) {
    const std::string path = MakeFile("fw.dfu", Pattern(10));
    port.openResult = PortAccessDenied;
    const TransferReport r = Run(path);
    ExpectReport(r, 1, TransferStage::PortOpen, PortAccessDenied);
    EXPECT_EQ(port.configuredBaud, -1);
    EXPECT_EQ(Trace(), "");  // the file was never opened
    EXPECT_FALSE(port.isOpen);
}

TEST_F(YModemEntry, NoPortNameIsRefusedWithoutOpening) {
    const std::string path = MakeFile("fw.dfu", Pattern(10));
    const TransferReport r = SendFirmwareFileReport(nullptr, path.c_str(), nullptr, port, clock);
    ExpectReport(r, 1, TransferStage::PortOpen, PortNotFound);
    EXPECT_EQ(port.openCalls, 0);
}

TEST_F(YModemEntry, RefusedLineSettingsDoNotStopTheTransfer) {
    const std::string path = MakeFile("fw.dfu", Pattern(10));
    port.configureResult = PortBadSettings;
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 1);
    receiver.answers = {Ack + "C", Ack, Ack + "C", Ack};
    ExpectReport(Run(path), 0, TransferStage::Done, 0);
}

TEST_F(YModemEntry, FilesThatCannotBeOpened) {
    const struct {
        const char* name;
        std::string path;
        bool expectErrno;
    } cases[] = {
        {"missing", (dir_ / "missing.dfu").string(), true},
        {"folder", dir_.string(), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TransferReport r = Run(c.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(r.stage == TransferStage::FileOpen || r.stage == TransferStage::FileMeasure);
        EXPECT_EQ(r.code, 0);
        EXPECT_NE(r.systemError, 0);
        EXPECT_TRUE(port.line.empty());
        EXPECT_FALSE(port.isOpen);
    }
    const TransferReport missing = Run((dir_ / "missing.dfu").string());
    EXPECT_EQ(static_cast<int>(missing.stage), static_cast<int>(TransferStage::FileOpen));
    EXPECT_EQ(missing.systemError, ENOENT);

    const TransferReport none = SendFirmwareFileReport(nullptr, nullptr, "ttyFAKE ", port, clock);
    ExpectReport(none, 1, TransferStage::FileOpen, 0);
    EXPECT_EQ(Trace(), "");
}

#ifndef _WIN32
// A named pipe given as the firmware has no writer: opening it must not wait for one, or the
// transfer hangs for good with the port held.
TEST_F(YModemEntry, NamedPipeWithoutWriterFailsAtOnce) {
    const fs::path fifo = dir_ / "fw.dfu";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::promise<TransferReport> done;
    std::future<TransferReport> result = done.get_future();
    std::thread transfer([&] { done.set_value(Run(fifo.string())); });
    const bool finished = result.wait_for(std::chrono::seconds(3)) == std::future_status::ready;
    if (!finished) {
        // Release the blocked open so that the thread can end.
        const int writer = ::open(fifo.c_str(), O_WRONLY);
        if (writer >= 0) ::close(writer);
    }
    transfer.join();
    EXPECT_TRUE(finished) << "the open waited for a writer";
    const TransferReport r = result.get();
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.stage == TransferStage::FileOpen || r.stage == TransferStage::FileMeasure);
    EXPECT_TRUE(port.line.empty());
    EXPECT_FALSE(port.isOpen);
}
#endif

TEST_F(YModemEntry, FilesOfTwoGibibytesOrMoreAreRefusedBeforeTheLine) {
    for (uintmax_t size : {uintmax_t{1} << 31, (uintmax_t{1} << 32) + 1}) {
        SCOPED_TRACE(size);
        const std::string path = MakeFile("big.dfu", {});
        fs::resize_file(path, size);  // sparse: no data blocks are written
        port.Deliver("C", 1);
        const TransferReport r = Run(path);
        ExpectReport(r, 1, TransferStage::FileTooLarge, 0);
        EXPECT_TRUE(port.line.empty());
        EXPECT_TRUE(port.readBudgets.empty());
        EXPECT_FALSE(FileIsOpen(path));
        fs::remove(path);
    }
}

TEST_F(YModemEntry, LargestAcceptedSizeIsAnnounced) {
    const std::string path = MakeFile("big.dfu", {});
    fs::resize_file(path, (uintmax_t{1} << 31) - 1);
    ScriptedReceiver receiver(port, true);
    port.Deliver("C", 1);
    receiver.answers = {Can, Can};
    ExpectReport(Run(path), 1, TransferStage::Batch, CancelledByReceiver);
    ASSERT_FALSE(receiver.frames.empty());
    const auto& h = receiver.frames[0].bytes;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data() + 4 + Announced(path).size())),
              "2147483647");
}

TEST_F(YModemEntry, PathTooLongForBlockZeroSendsNothing) {
#ifdef _WIN32
    GTEST_SKIP() << "paths over 1000 bytes do not open here";
#endif
    // "./" repeated keeps it a valid path to an ordinary file.
    std::string path = dir_.string();
    while (path.size() < 1030) path += "/.";
    path += "/fw.dfu";
    WriteFile(path, Pattern(10));
    port.Deliver("C", 1);
    const TransferReport r = Run(path);
    ExpectReport(r, 1, TransferStage::Batch, FileNameTooLong);
    EXPECT_TRUE(port.line.empty());
    EXPECT_TRUE(port.readBudgets.empty());
    EXPECT_FALSE(FileIsOpen(path));
}

}  // namespace
