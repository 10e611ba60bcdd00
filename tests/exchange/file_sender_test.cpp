// Sending a file over a pseudo-terminal: what reaches the device, and how a send
// that cannot finish says where and why it stopped.
#include "file_sender.h"
#include "port_reader.h"
#include "test_thread.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

TEST(FilePieces, LineEndsAreLfCrLfOrALoneCrAndOneByteTakesItsBitTime) {
    struct Row { std::string data; bool atEnd; FilePiece::Kind kind; std::size_t length; };
    const Row rows[] = {
        {"ab\ncd", false, FilePiece::Text, 2}, {"\ncd", false, FilePiece::LineEnd, 1},
        {"\r\ncd", false, FilePiece::LineEnd, 2}, {"\rcd", false, FilePiece::LineEnd, 1},
        {"\r", false, FilePiece::NeedMore, 0}, {"\r", true, FilePiece::LineEnd, 1},
        {"\n\r", false, FilePiece::LineEnd, 1}, {"tail", true, FilePiece::Text, 4},
    };
    for (const Row& row : rows) {
        const FilePiece piece =
            NextFilePiece(reinterpret_cast<const unsigned char*>(row.data.data()), row.data.size(), row.atEnd);
        EXPECT_EQ(std::pair(piece.kind, piece.length), std::pair(row.kind, row.length)) << testing::PrintToString(row.data);
    }
    EXPECT_EQ(ByteTime(DCB{.BaudRate = 115200}).count(), 86805);  // 8N1: ten bits
    EXPECT_EQ(ByteTime(DCB{.BaudRate = 1000, .ByteSize = 5, .Parity = EVENPARITY, .StopBits = ONE5STOPBITS}), 8500us);
}

// The port on a pty, a reader over it (replies reach the sender through it), and
// a folder for the files sent.
class FileSend : public PortReader {
protected:
    void SetUp() override {
        PortReader::SetUp();
        if (HasFatalFailure()) return;
        reader.StartReading(port);
        char name[] = "/tmp/file-send-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override {
        sender.Stop("test over");
        EXPECT_TRUE(sender.Wait(5s));
        PortReader::TearDown();
        std::filesystem::remove_all(dir);
    }
    std::string File(const std::string& name, const std::string& content) {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    FileSendOutcome Finish() {
        EXPECT_TRUE(sender.Wait(10s)) << "the send did not end";
        return sender.TakeOutcome();
    }

    FileSender sender{&reader};
    std::string dir;
};

// Files that are not plain, or go away under the send: the device gets exactly
// the file's bytes, as many as the outcome counts, and the outcome says why the
// rest did not go. Where the line is held, the device does not read until the
// send is well under way, so a megabyte waits in the sender.
TEST_F(FileSend, EachWayASendEndsIsToldWithTheBytesThatWent) {
    std::string big;
    for (int i = 0; big.size() < (1u << 20); ++i) big += "line " + std::to_string(i) + "\r\n";
    enum Event { None, Truncate, HangUp, Cancel, Stall, Fifo };
    struct Row { const char* what; std::string path, content; Event event; std::string stopped; bool sized; };
    const Row rows[] = {
        {"missing", dir + "/none", "", None, "cannot open: No such file or directory", false},
        {"folder", dir, "", None, "cannot read: Is a directory", false},
        {"empty", File("empty", ""), "", None, "", true},
        {"pipe", dir + "/fifo", "from a pipe\n\0\xff"s, Fifo, "", false},
        {"shrinks", File("shrinks", big), big, Truncate, "the file shrank while it was sent", true},
        {"cancelled", File("cancelled", big), big, Cancel, "cancelled", true},
        {"stalled", File("stalled", big), big, Stall, "the line stopped taking bytes", true},
        {"unplugged", File("unplugged", big), big, HangUp, "device gone", true},
    };
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        FileSendJob job;
        job.path = row.path, job.port = port;
        job.stallAfter = 500ms;
        ASSERT_TRUE(sender.Start(job));
        if (row.event == Fifo) {
            // A writer comes once the sender has opened the pipe, writes and goes.
            int fd = -1;
            WaitUntil([&] { return (fd = open(row.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; });
            ASSERT_GE(fd, 0) << "the sender never opened the pipe";
            EXPECT_EQ(write(fd, row.content.data(), row.content.size()), ssize_t(row.content.size()));
            close(fd);
        }
        const bool midway = row.content == big;  // the event comes in mid-send
        if (midway) {
            WaitUntil([&] { return sender.Sent() > 0; });
            std::this_thread::sleep_for(50ms);  // let it fill the line: the event is in mid-write
            if (row.event == Truncate) { ASSERT_EQ(truncate(row.path.c_str(), 0), 0); }
            if (row.event == Cancel) sender.Stop("cancelled");
            if (row.event == HangUp) pty.hangUp();
        }
        std::string got;
        while (row.event == Truncate && sender.Running()) got += pty.read(1 << 20, 10);
        const FileSendOutcome outcome = Finish();
        EXPECT_EQ(outcome.stopped, row.stopped);
        EXPECT_EQ(outcome.size.has_value(), row.sized);
        EXPECT_TRUE(midway ? outcome.sent > 0 && outcome.sent < big.size() : outcome.sent == row.content.size())
            << outcome.sent;
        if (row.event == HangUp) continue;
        // Everything the driver took is at the device now, and nothing else.
        got += pty.read(outcome.sent - got.size(), 5000);
        EXPECT_EQ(got.size(), outcome.sent);
        EXPECT_TRUE(got == row.content.substr(0, got.size())) << "not the file's bytes in order";
        EXPECT_EQ(pty.read(1, 50), "");
    }
}

// With a reply to wait for, each line goes only once the device answered the
// one before, also when the reply comes split across reads; a reply that never
// comes stops the send at that line.
TEST_F(FileSend, EachLineWaitsForTheReplyAndNoReplyStopsTheSend) {
    FileSendJob job;
    job.path = File("lines", "one\r\ntwo\nthree"), job.port = port;
    job.pacing.reply = "=> ";
    job.pacing.replyTimeoutMs = 3000;
    ASSERT_TRUE(sender.Start(job));
    EXPECT_EQ(pty.read(5, 2000), "one\r\n");
    EXPECT_EQ(pty.read(1, 300), "") << "the next line went before the reply";
    // Split before its last character, so that all but one of it must be kept.
    ASSERT_TRUE(pty.write("one\r\n=>"));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(pty.write(" "));
    EXPECT_EQ(pty.read(4, 2000), "two\n");
    ASSERT_TRUE(pty.write("two\n=> "));
    EXPECT_EQ(pty.read(5, 2000), "three");
    FileSendOutcome outcome = Finish();
    EXPECT_EQ(outcome.stopped, "");
    EXPECT_EQ(outcome.lines, 2u);

    job.path = File("silent", "a\nb\n");
    job.pacing.reply = "OK";
    job.pacing.replyTimeoutMs = 200;
    ASSERT_TRUE(sender.Start(job));
    outcome = Finish();
    EXPECT_EQ(outcome.stopped, "no reply \"OK\" within 200 ms after line 1");
    EXPECT_EQ(outcome.sent, 2u);
    EXPECT_EQ(pty.read(3, 300), "a\n");
}

}  // namespace
