// The output builder: what reaches the client, in which sends, what a capture keeps, and what the
// protocol log shows, compared byte for byte through a socket pair.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/settings.h"
#include "imap/logs.h"
#include "imap/output.h"
#include "imap/session.h"
#include "imap/session_io.h"
#include "test_server.h"

namespace {

// One packet per send, so that the test sees where each send ended.
struct OutputTest : ::testing::Test {
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        int size = 1 << 20;
        setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        session->sockClient = fds[0];
    }
    void TearDown() override {
        close(fds[0]);
        close(fds[1]);
        Settings.AcceptlogEnabled = 0;
    }
    std::vector<std::string> Sends() {
        std::vector<std::string> sends;
        std::vector<char> buffer(1 << 20);
        for (ssize_t n; (n = recv(fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) {
            sends.emplace_back(buffer.data(), static_cast<size_t>(n));
        }
        return sends;
    }
    std::string Wire() {
        std::string all;
        for (const std::string& send : Sends()) all += send;
        return all;
    }
    std::string Written(const std::string& text) {
        OutputString(session.get(), text.data(), text.size());
        OutputFlush(session.get());
        return Wire();
    }
    // The protocol log's lines, without their time and session id.
    std::string LogTexts() {
        std::string all = ReadFilesIn(tmp.path + "/receiveimap4");
        std::string texts;
        for (size_t at = 0; at < all.size();) {
            size_t end = all.find('\n', at);
            size_t text = all.find(", ", all.find(", ", at) + 2) + 2;
            texts += all.substr(text, end - text) + "|";
            at = end + 1;
        }
        return texts;
    }
    void LogTo() {
        std::filesystem::create_directories(tmp.path + "/receiveimap4");
        snprintf(Settings.MailSpoolDir, sizeof(Settings.MailSpoolDir), "%s/", tmp.path.c_str());
        Settings.AcceptlogEnabled = 1;
    }

    TempDir tmp;
    std::unique_ptr<Session> session = std::make_unique<Session>();
    int fds[2] = {-1, -1};
};

TEST_F(OutputTest, StringsAreQuotedUnlessOnlyALiteralCanCarryThem) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"", "\"\""},
        {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
        {"two\r\nlines", "{10}\r\ntwo\r\nlines"},
        {"bare\rcr", "{7}\r\nbare\rcr"},
        {"bare\nlf", "{7}\r\nbare\nlf"},
        {"caf\xc3\xa9", "{5}\r\ncaf\xc3\xa9"},
        // No IMAP string holds a NUL: a literal of the same length carries a blank instead.
        {std::string("a\0b", 3), "{3}\r\na b"},
    };
    for (const auto& [text, wire] : cases) EXPECT_EQ(Written(text), wire) << text;
}

TEST_F(OutputTest, PiecesLeaveInOrderAndASendEndsAtAPieceEdge) {
    // Lines of 1000 bytes: the 66th does not fit behind 65 (65000 held) and starts the next send.
    std::string line(998, 'x');
    line += "\r\n";
    std::string all;
    for (int i = 0; i < 70; i++) {
        std::string numbered = std::to_string(i) + line.substr(std::to_string(i).size());
        OutputText(session.get(), numbered.data(), numbered.size());
        all += numbered;
    }
    OutputFormat(session.get(), "%s OK %s completed\r\n", "a1", "FETCH");
    all += "a1 OK FETCH completed\r\n";
    // A formatted piece is one line at most: a longer one is cut and still ends the line.
    std::string name(9000, 'n');
    EXPECT_FALSE(OutputFormat(session.get(), "* LIST () \"/\" %s\r\n", name.c_str()));
    all += ("* LIST () \"/\" " + name).substr(0, OUTPUT_FORMAT_MAX - 2) + "\r\n";
    OutputFlush(session.get());
    std::vector<std::string> sends = Sends();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].size(), 65u * 1000u);
    EXPECT_EQ(sends[1].size(), 5u * 1000u + 23u + OUTPUT_FORMAT_MAX);
    EXPECT_EQ(sends[0] + sends[1], all);

    // A piece longer than the whole buffer goes out in full, after what was held.
    std::string big(200000, 'b');
    OutputAtom(session.get(), "* ");
    OutputContent(session.get(), big.data(), big.size());
    OutputLineEnd(session.get());
    OutputFlush(session.get());
    EXPECT_EQ(Wire(), "* " + big + "\r\n");
}

TEST_F(OutputTest, TaggedLineFollowsTheUntaggedAnswersAndEndsTheSend) {
    char tag[] = "a1", command[] = "NOOP";
    session->pTag = tag, session->pCommand = command;
    session->Output.bBatching = 1;
    snprintf(session->szResponse, sizeof(session->szResponse), "a1 OK NOOP completed\r\n");
    OutputFormat(session.get(), "* %d EXISTS\r\n", 3);
    // Untagged answers written after the tagged line was formatted still go before it.
    OutputAtom(session.get(), "* ");
    OutputNumber(session.get(), 1);
    OutputAtom(session.get(), " EXPUNGE");
    OutputLineEnd(session.get());
    EXPECT_TRUE(Sends().empty());
    OutputByeAfterTagged(session.get(), "Too many failed logins");
    session->Output.bBatching = 0;
    SendResponse(session.get(), 1, 1);
    const std::vector<std::string> expected = {
        "* 3 EXISTS\r\n* 1 EXPUNGE\r\na1 OK NOOP completed\r\n* BYE Too many failed logins\r\n"};
    EXPECT_EQ(Sends(), expected);
    // A continuation leaves at once even while a command runs.
    session->Output.bBatching = 1;
    OutputAtom(session.get(), "* OK held\r\n");
    EXPECT_EQ(OutputContinuation(session.get(), "idling"), 1);
    EXPECT_EQ(Wire(), "* OK held\r\n+ idling\r\n");
}

TEST_F(OutputTest, CaptureKeepsExactlyWhatTheWritersProduced) {
    OutputAtom(session.get(), "* 1 FETCH (");
    OutputCapture capture;
    OutputBeginCapture(session.get(), &capture);
    OutputAtom(session.get(), "BODY[1] {70000}\r\n");
    std::string body(70000, 'm');
    body[10] = '\0';
    // A flush in the middle of the item changes nothing in what is kept.
    OutputContent(session.get(), body.data(), body.size());
    OutputEndCapture(session.get());
    OutputAtom(session.get(), ")\r\n");
    OutputFlush(session.get());
    std::string wire = Wire();
    EXPECT_TRUE(capture.bWhole);
    EXPECT_EQ(capture.nTraced, strlen("BODY[1] {70000}\r\n"));
    EXPECT_EQ("* 1 FETCH (" + capture.text + ")\r\n", wire);

    // Given back, the capture puts the same bytes on the wire.
    OutputReplay(session.get(), capture.text.data(), capture.text.size(), capture.nTraced);
    OutputFlush(session.get());
    EXPECT_EQ(Wire(), capture.text);

    // Bytes sent around the buffer, or more than its bound, cannot be kept.
    OutputCapture bounded;
    bounded.nLimit = 10;
    OutputBeginCapture(session.get(), &bounded);
    OutputAtom(session.get(), "01234567890");
    OutputEndCapture(session.get());
    EXPECT_FALSE(bounded.bWhole);
    FILE* file = tmpfile();
    fputs("file range", file);
    fflush(file);
    OutputCapture ranged;
    OutputBeginCapture(session.get(), &ranged);
    uint64_t left = 10;
    EXPECT_TRUE(OutputFileRange(session.get(), file, 0, &left));
    OutputEndCapture(session.get());
    fclose(file);
    EXPECT_EQ(left, 0u);
    EXPECT_FALSE(ranged.bWhole);
    EXPECT_EQ(Wire(), "01234567890file range");
}

// A range read in blocks takes the literal's announcement along in its first send: no send of a
// few bytes ahead of the content. A NUL is blanked unless the bytes go as they are (a literal8).
TEST_F(OutputTest, ALiteralsAnnouncementLeavesWithTheFirstBlockOfItsRange) {
    std::string content(600000, 'c');
    content[3] = '\0';
    content[400000] = '\0';
    FILE* file = tmpfile();
    ASSERT_EQ(fwrite(content.data(), 1, content.size(), file), content.size());
    fflush(file);
    std::string blanked = content;
    blanked[3] = blanked[400000] = ' ';
    const std::string announced = "* 1 FETCH (BODY[] {599990}\r\n";
    OutputAtom(session.get(), announced.c_str());
    uint64_t left = 599990;
    EXPECT_TRUE(OutputFileRange(session.get(), file, 2, &left, RANGE_BLANK_NULS));
    EXPECT_EQ(left, 0u);
    std::vector<std::string> sends = Sends();
    ASSERT_FALSE(sends.empty());
    EXPECT_EQ(sends[0].substr(0, announced.size() + 4), announced + "c c" + "c");
    EXPECT_GT(sends[0].size(), announced.size() + 64 * 1024);
    std::string wire;
    for (const std::string& send : sends) wire += send;
    EXPECT_EQ(wire, announced + blanked.substr(2, 599990));

    left = 599990;
    EXPECT_TRUE(OutputFileRange(session.get(), file, 2, &left, RANGE_AS_IS));
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(Wire(), content.substr(2, 599990));
    left = 599990;
    EXPECT_TRUE(OutputFileRange(session.get(), file, 2, &left, RANGE_LOOK));
    EXPECT_EQ(Wire(), blanked.substr(2, 599990));

    // A file cut short since its size was told gives what it still holds, and the session goes on.
    for (RangeBytes bytes : {RANGE_AS_IS, RANGE_BLANK_NULS}) {
        FILE* cut = tmpfile();
        ASSERT_EQ(fwrite(content.data(), 1, 300000, cut), 300000u);
        fflush(cut);
        OutputAtom(session.get(), announced.c_str());
        left = 599990;
        EXPECT_TRUE(OutputFileRange(session.get(), cut, 2, &left, bytes));
        EXPECT_EQ(left, 599990u - 299998u);
        EXPECT_EQ(Wire(), announced + (bytes == RANGE_AS_IS ? content : blanked).substr(2, 299998));
        EXPECT_FALSE(session->bSendFailed);
        fclose(cut);
    }

    // A file that ended early still lets the announcement out, alone.
    OutputAtom(session.get(), announced.c_str());
    left = 10;
    EXPECT_TRUE(OutputFileRange(session.get(), file, content.size(), &left, RANGE_BLANK_NULS));
    EXPECT_EQ(left, 10u);
    EXPECT_EQ(Wire(), announced);

    // A session that could not be written to sends nothing more, and holds nothing either.
    session->bSendFailed = 1;
    OutputAtom(session.get(), announced.c_str());
    left = 599990;
    EXPECT_FALSE(OutputFileRange(session.get(), file, 2, &left, RANGE_BLANK_NULS));
    EXPECT_FALSE(OutputHeld(session.get()));
    EXPECT_EQ(Wire(), "");
    fclose(file);
}

TEST_F(OutputTest, ProtocolLogShowsWholeLinesAndLeavesLiteralContentOut) {
    LogTo();
    OutputAtom(session.get(), "* 1 FETCH (UID 4 ");
    OutputAtom(session.get(), "BODY[] {5}\r\n");
    OutputContent(session.get(), "hello", 5);
    OutputAtom(session.get(), ")\r\n* 2 FETCH (UID 5)\r\n");
    OutputFormat(session.get(), "* %d EXISTS\r\n", 2);
    snprintf(session->szResponse, sizeof(session->szResponse), "a1 OK FETCH completed\r\n");
    SendResponse(session.get(), 1, 1);
    char text[] = "a2 NOOP\r\n";
    WriteProtocolLog(session.get(), text);
    EXPECT_STREQ(text, "a2 NOOP\r\n");
    EXPECT_EQ(LogTexts(),
              "* 1 FETCH (UID 4 BODY[] {5}|)\\r\\n* 2 FETCH (UID 5)|* 2 EXISTS|a1 OK FETCH completed|a2 NOOP|");
}

}  // namespace
