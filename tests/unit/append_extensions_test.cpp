// APPEND with several messages (MULTIAPPEND), with messages built from text and from stored
// messages (CATENATE), and with literal8 content (BINARY): all or nothing, on a mail directory
// under /tmp with the client's bytes on a socket pair.
#include <sys/stat.h>

#include "config/settings.h"
#include "dir_listing.h"
#include "mail_session.h"
#include "store/store.h"

namespace {

const std::string kStored =
    "Subject: stored\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nfirst part\r\n"
    "--b\r\nContent-Type: text/html\r\n\r\n<p>second</p>\r\n--b--\r\n";

class AppendMany : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        snprintf(session->szUser, sizeof(session->szUser), "%s", "tester");
        Write({{"inbox/uid", "4"}, {"inbox/0000000003-000010.MSG", kStored.c_str()}, {"Sent/uid", "4"}, {"Sent Items/uid", "1"}});
        MakeMailbox("Sent", true);
        GetUidValidity(Path("inbox").c_str(), &ulValidity);
    }
    static std::string Masked(const std::string& answer) {
        return std::regex_replace(answer, std::regex("\\[APPENDUID \\d+ "), "[APPENDUID V ");
    }
    std::string Run(const std::string& line) { return Masked(MailSession::Run(line)); }
    std::string Message(const std::string& name) const {
        std::string path = Path("Sent/" + name);
        for (const std::string& entry : SortedNames(Path("Sent"))) {
            if (entry.starts_with(name.substr(0, 10))) path = Path("Sent/" + entry);
        }
        return ReadFile(path);
    }
    uint32_t ulValidity = 0;
};

TEST_F(AppendMany, SeveralMessagesAreStoredTogetherUnderConsecutiveUids) {
    // The client waits for the first continuation only: the rest comes behind it.
    ClientSends("one (\\Seen) \"17-Jul-1996 02:44:25 -0700\" {3}\r\ntwo {5+}\r\nthree\r\na2 NOOP\r\n");
    EXPECT_EQ(Run("a1 APPEND Sent {3}"),
              "+ Ready for literal data\r\na1 OK [APPENDUID V 4:6] APPEND completed\r\na2 OK NOOP completed\r\n");
    EXPECT_EQ(Tree(Path("Sent")), "4-100000 5-100010 6-100000 uid");
    EXPECT_EQ(Message("0000000004") + Message("0000000005") + Message("0000000006"), "one\r\ntwo\r\nthree\r\n");
    struct stat st = {};
    EXPECT_EQ(stat(Path("Sent/0000000005-100010.MSG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 837596665);
    // A single message answers as it always did.
    // UIDs are taken in runs after the first message: 7 went with the run that gave 6.
    EXPECT_EQ(Run("a3 APPEND Sent {3}\r\nabc"), "a3 OK [APPENDUID V 8] APPEND completed\r\n");
    // Another server on a shared store receives a message under UID 10, which the second
    // message then cannot take: the two go on to fresh UIDs together, and its file is left alone.
    Write({{"Sent/.0000000010.incoming", "another server's message"}});
    EXPECT_EQ(Run("a4 APPEND Sent {3}\r\nabc {3}\r\ndef"), "a4 OK [APPENDUID V 12:13] APPEND completed\r\n");
    EXPECT_EQ(Message("0000000012") + Message("0000000013"), "abc\r\ndef\r\n");
    EXPECT_EQ(Tree(Path("Sent")), ".0000000010.incoming* 4-100000 5-100010 6-100000 8-100000 12-100000 13-100000 uid");
}

TEST_F(AppendMany, OneBadMessageLeavesTheWholeCommandUnstored) {
    const Pair refused[] = {
        // A wrong date on the second message: its literal, already sent, is read and dropped.
        {"a1 APPEND Sent {3}\r\nabc \"31-Feb-2020 01:00:00 +0000\" {3+}\r\nxyz\r\na9 NOOP",
         "a1 BAD APPEND invalid date-time\r\na9 OK NOOP completed\r\n"},
        {"a1 APPEND Sent {3}\r\nabc {0}\r\n\r\na9 NOOP", "a1 BAD APPEND illegal argument\r\na9 OK NOOP completed\r\n"},
        {"a1 APPEND Sent {3}\r\nabc x {3+}\r\nxyz\r\na9 NOOP", "a1 BAD APPEND illegal argument\r\na9 OK NOOP completed\r\n"},
        {"a1 APPEND Sent {3}\r\nabc CATENATE (URL \"/INBOX/;UID=99\") {3+}\r\nxyz\r\na9 NOOP",
         "a1 NO [BADURL /INBOX/;UID=99] APPEND fails: the URL names no message here\r\na9 OK NOOP completed\r\n"},
        // A blank after the last message is no message.
        {"a1 APPEND Sent {3}\r\nabc \r\na9 NOOP", "a1 BAD APPEND illegal argument\r\na9 OK NOOP completed\r\n"},
    };
    for (const auto& [request, answer] : refused) EXPECT_EQ(Run(request), answer) << request;
    EXPECT_EQ(Tree(Path("Sent")), "uid");
    // Each message holds a descriptor until all are named: a command takes at most 1000.
    // (Without a flush of the uid file for each: durability is not what this looks at.)
    std::string many;
    for (int i = 0; i < 1001; i++) many += " {1+}\r\nx";
    const auto savedFsync = Settings.MailFsync;
    Settings.MailFsync = MAIL_FSYNC_NEVER;
    EXPECT_EQ(Run("a3 APPEND Sent" + many + "\r\na9 NOOP"),
              "a3 NO [LIMIT] APPEND takes at most 1000 messages at once\r\na9 OK NOOP completed\r\n");
    Settings.MailFsync = savedFsync;
    EXPECT_EQ(Tree(Path("Sent")), "uid");
    // A synchronising literal after a refused message is never asked for: the client is told at once.
    EXPECT_EQ(Run("a2 APPEND Sent {3}\r\nabc CATENATE (URL \"/Nowhere/;UID=1\" TEXT {3}"),
              "a2 NO [BADURL /Nowhere/;UID=1] APPEND fails: the URL names no message here\r\n");
    EXPECT_EQ(Tree(Path("Sent")), "uid");
}

TEST_F(AppendMany, CatenateJoinsTextAndSectionsOfStoredMessages) {
    const std::string v = std::to_string(ulValidity);
    ClientSends("Body: new\r\n\r\n)\r\n");
    EXPECT_EQ(Run("a1 APPEND Sent (\\Flagged) CATENATE (URL \"/INBOX;UIDVALIDITY=" + v + "/;UID=3/;SECTION=1.MIME\" TEXT {13}"),
              "+ Ready for literal data\r\na1 OK [APPENDUID V 4] APPEND completed\r\n");
    EXPECT_EQ(Message("0000000004"), "Content-Type: text/plain\r\n\r\nBody: new\r\n\r\n");
    const std::pair<std::string, std::string> built[] = {
        {"/inbox/;uid=3/;section=header", "Subject: stored\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"},
        {"/INBOX/;UID=3/;SECTION=2", "<p>second</p>"},
        {"/INBOX/;UID=3/;SECTION=TEXT/;PARTIAL=2.4", "b\r\nC"},
        {"/INBOX/;UID=3/;PARTIAL=9", kStored.substr(9)},
        {"/INBOX/;UID=3", kStored},
        {"imap://tester;AUTH=*@localhost:143/INBOX/;UID=3/;SECTION=1", "first part"},
        {"imap://localhost/%49NBOX/;UID=3/;SECTION=1", "first part"},
    };
    int uid = 5;
    for (const auto& [url, bytes] : built) {
        EXPECT_EQ(Run("a2 APPEND Sent CATENATE (TEXT {2}\r\n<< URL \"" + url + "\" TEXT {2+}\r\n>>)"),
                  "a2 OK [APPENDUID V " + std::to_string(uid) + "] APPEND completed\r\n") << url;
        EXPECT_EQ(Message(std::to_string(uid).insert(0, 10 - std::to_string(uid).size(), '0')), "<<" + bytes + ">>\r\n") << url;
        uid++;
    }
    // A mailbox name with a blank is written escaped.
    EXPECT_EQ(Run("a3 APPEND \"Sent Items\" CATENATE (URL \"/Sent/;UID=4/;SECTION=1\")"),
              "a3 OK [APPENDUID V 1] APPEND completed\r\n");
    const char* wrong[] = {
        "/INBOX;UIDVALIDITY=1/;UID=3",  // another mailbox of that name once
        "/INBOX/;UID=4", "/INBOX/;UID=0", "/INBOX/;UID=3/;SECTION=3", "/INBOX/;UID=3/;SECTION=1.HEADER",
        "/INBOX/;UID=3/;SECTION=HEADER.FIELDS%20(SUBJECT)", "/INBOX/;UID=3/;PARTIAL=1.0", "/INBOX/;UID=3/;URLAUTH=anonymous",
        "imap://other@localhost/INBOX/;UID=3", "/Nowhere/;UID=1", "/../outside/;UID=1", "INBOX/;UID=3", "/INBOX/;UID=3x",
        "/INB%4/;UID=3",
    };
    for (const char* url : wrong) {
        EXPECT_EQ(Run(std::string("a4 APPEND Sent CATENATE (URL \"") + url + "\")"),
                  std::string("a4 NO [BADURL ") + url + "] APPEND fails: the URL names no message here\r\n") << url;
    }
    EXPECT_EQ(Run("a5 APPEND Sent CATENATE (URL \"/INBOX/;UID=3/;PARTIAL=5000\")"), "a5 NO APPEND fails: the message is empty\r\n");
    EXPECT_EQ(Run("a6 APPEND Sent CATENATE ()"), "a6 BAD APPEND illegal argument\r\n");
    EXPECT_EQ(Run("a7 APPEND Nowhere CATENATE (URL \"/INBOX/;UID=3\")"), "a7 NO [TRYCREATE] APPEND fails\r\n");
    EXPECT_EQ(Tree(Path("Sent")), "4-101000 5-100000 6-100000 7-100000 8-100000 9-100000 10-100000 11-100000 uid");
}

// The limit holds for the message as built, URL parts included; none is read that would not fit.
TEST_F(AppendMany, TheSizeLimitCountsEveryPartOfAMessage) {
    const auto saved = Settings.MaxMessageSize;
    Settings.MaxMessageSize = 100;
    const std::string tooBig = " NO [TOOBIG] APPEND message larger than 100 bytes\r\n";
    EXPECT_EQ(Run("a1 APPEND Sent CATENATE (URL \"/INBOX/;UID=3\")"), "a1" + tooBig);
    // Refused before the client is asked for the literal.
    EXPECT_EQ(Run("a2 APPEND Sent CATENATE (URL \"/INBOX/;UID=3/;SECTION=1\" TEXT {91}"), "a2" + tooBig);
    EXPECT_EQ(Run("a3 APPEND Sent CATENATE (URL \"/INBOX/;UID=3/;SECTION=1\" URL \"/INBOX/;UID=3/;PARTIAL=0.91\")"), "a3" + tooBig);
    EXPECT_EQ(Run("a4 APPEND Sent CATENATE (URL \"/INBOX/;UID=3/;SECTION=1\" URL \"/INBOX/;UID=3/;PARTIAL=0.90\")"),
              "a4 OK [APPENDUID V 7] APPEND completed\r\n");  // the refused ones used up a UID each
    Settings.MaxMessageSize = saved;
    EXPECT_EQ(Message("0000000007"), "first part" + kStored.substr(0, 90) + "\r\n");
    EXPECT_EQ(Tree(Path("Sent")), "7-100000 uid");
}

TEST_F(AppendMany, BinaryContentIsStoredInBase64AndFetchedBackAsSent) {
    const std::string body("\0-\xe4\n\r\n\n", 7);
    const std::string message = "Subject: bin\r\nContent-Transfer-Encoding: binary\r\n\r\n" + body;
    // A NUL cannot pass through the test's request line: the literals follow on the socket.
    ClientSends(message + "\r\n");
    EXPECT_EQ(Run("a1 APPEND Sent ~{" + std::to_string(message.size()) + "}"),
              "+ Ready for literal data\r\na1 OK [APPENDUID V 4] APPEND completed\r\n");
    EXPECT_EQ(Message("0000000004"), "Subject: bin\r\nContent-Transfer-Encoding: base64\r\n\r\nAC3kCg0KCg==\r\n");
    Select("Sent");
    EXPECT_EQ(Run("a2 FETCH 1 (BINARY.SIZE[1] BINARY.PEEK[1])"),
              "* 1 FETCH (BINARY.SIZE[1] 7 BINARY[1] ~{7}\r\n" + body + ")\r\na2 OK FETCH completed\r\n");
    // Inside a multipart only the binary part changes; a plain literal is stored as sent.
    const std::string multi = "Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\n\r\ntext\r\n--z\r\n"
                              "Content-Transfer-Encoding: BINARY\r\n\r\n" + body + "\r\n--z--\r\n";
    ClientSends(multi + " {" + std::to_string(multi.size()) + "+}\r\n" + multi + "\r\n");
    EXPECT_EQ(Run("a3 APPEND Sent ~{" + std::to_string(multi.size()) + "}"),
              "+ Ready for literal data\r\n* 3 EXISTS\r\n* 3 RECENT\r\na3 OK [APPENDUID V 5:6] APPEND completed\r\n");
    EXPECT_EQ(Message("0000000005"), "Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\n\r\ntext\r\n--z\r\n"
                                     "Content-Transfer-Encoding: base64\r\n\r\nAC3kCg0KCg==\r\n--z--\r\n");
    EXPECT_EQ(Message("0000000006"), multi);
}

}  // namespace
