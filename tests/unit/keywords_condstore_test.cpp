// Keywords, ENABLE, CONDSTORE and QRESYNC through the dispatcher, with two sessions on one
// mailbox: the exact lines each client gets. Modification sequences start from the clock, so
// they are read from the answers and compared with each other.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "config/settings.h"
#include "store/store.h"
#include "mail_session.h"

namespace {

using Client = OtherSession;

// The number after the first match of the pattern's group; 0 when there is none.
uint64_t Number(const std::string& text, const char* pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern))) return 0;
    return std::stoull(m[1]);
}
uint64_t Highest(const std::string& text) { return Number(text, "HIGHESTMODSEQ (\\d+)"); }
uint64_t ModSeq(const std::string& text) { return Number(text, "MODSEQ \\((\\d+)\\)"); }
std::string N(uint64_t value) { return std::to_string(value); }

const char* const kFlags = "\\Answered \\Flagged \\Deleted \\Seen \\Draft";

class Keywords : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        saved = Settings;
        Settings.MaxKeywords = 256;
        snprintf(Settings.MailExtension, sizeof(Settings.MailExtension), "MSG");
        Put("1-100000 2-100000 3-100000 4-000010");
    }
    void TearDown() override {
        Settings = saved;
        InboxSession::TearDown();
    }
    // FLAGS and PERMANENTFLAGS as a client is told them.
    static std::string FlagLines(const std::string& keywords, bool bRoom = true) {
        std::string tail = keywords.empty() ? "" : " " + keywords;
        return std::string("* FLAGS (") + kFlags + tail + ")\r\n* OK [PERMANENTFLAGS (" + kFlags + tail +
               (bRoom ? " \\*" : "") + ")] Flags kept\r\n";
    }
    SettingsRecord saved;
    Client a{mailDir}, b{mailDir};
};

TEST_F(Keywords, EnableAnswersWhatItKnowsOnceAndRefusesMalformedLists) {
    a.session->State = Imap4NonAuthenticated;
    EXPECT_EQ(a.Run("1 ENABLE CONDSTORE"), "1 NO Command unrecognized: ENABLE\r\n") << "not logged in";
    a.session->State = Imap4Authorization;
    a.Talk({{"2 ENABLE CONDSTORE", "* ENABLED CONDSTORE\r\n2 OK ENABLE completed\r\n"},
            // Already on: not listed again; unknown words pass in silence.
            {"3 ENABLE condstore X-UNKNOWN QRESYNC qresync", "* ENABLED QRESYNC\r\n3 OK ENABLE completed\r\n"},
            {"4 ENABLE X-UNKNOWN", "* ENABLED\r\n4 OK ENABLE completed\r\n"},
            {"5 ENABLE", "5 BAD illegal argument.(ENABLE)\r\n"},
            {"6 ENABLE QRESYNC ", "6 BAD ENABLE illegal argument\r\n"},
            {"7 ENABLE  QRESYNC", "7 BAD ENABLE illegal argument\r\n"}});
    // A malformed list turns nothing on.
    b.Talk({{"1 ENABLE CONDSTORE  QRESYNC", "1 BAD ENABLE illegal argument\r\n"},
            {"2 ENABLE QRESYNC", "* ENABLED QRESYNC\r\n2 OK ENABLE completed\r\n"},
            // QRESYNC brought CONDSTORE with it.
            {"3 ENABLE CONDSTORE", "* ENABLED\r\n3 OK ENABLE completed\r\n"}});
    std::string caps = a.Run("8 CAPABILITY");
    for (const char* word : {" ENABLE", " CONDSTORE", " QRESYNC"}) EXPECT_NE(caps.find(word), std::string::npos) << word;
}

TEST_F(Keywords, StoredKeywordsAreShownSearchedAndAnnouncedToEverySession) {
    std::string opened = a.Run("1 SELECT INBOX");
    EXPECT_NE(opened.find(FlagLines("")), std::string::npos) << opened;
    b.Run("1 SELECT INBOX");
    // A new keyword is announced before the line that shows it.
    a.Talk({{"2 STORE 1 +FLAGS ($Label1 Junk \\Seen)",
             FlagLines("$Label1 Junk") + "* 1 FETCH (FLAGS (\\Recent \\Seen $Label1 Junk))\r\n2 OK STORE completed\r\n"},
            // Known names are matched without regard to case and keep their first spelling.
            {"3 STORE 2,4 +FLAGS (junk)",
             "* 2 FETCH (FLAGS (\\Recent Junk))\r\n* 4 FETCH (FLAGS (\\Seen Junk))\r\n3 OK STORE completed\r\n"},
            {"4 STORE 1 -FLAGS ($label1)", "* 1 FETCH (FLAGS (\\Recent \\Seen Junk))\r\n4 OK STORE completed\r\n"},
            {"5 FETCH 1:4 FLAGS", "* 1 FETCH (FLAGS (\\Recent \\Seen Junk))\r\n* 2 FETCH (FLAGS (\\Recent Junk))\r\n"
                                  "* 3 FETCH (FLAGS (\\Recent))\r\n* 4 FETCH (FLAGS (\\Seen Junk))\r\n5 OK FETCH completed\r\n"},
            {"6 SEARCH KEYWORD JUNK", "* SEARCH 1 2 4\r\n6 OK SEARCH completed\r\n"},
            {"7 SEARCH UNKEYWORD Junk", "* SEARCH 3\r\n7 OK SEARCH completed\r\n"},
            {"8 SEARCH KEYWORD $Label1", "* SEARCH\r\n8 OK SEARCH completed\r\n"},
            {"9 SEARCH KEYWORD \\Seen", "* SEARCH 1 4\r\n9 OK SEARCH completed\r\n"},
            {"10 UID SEARCH OR KEYWORD NoSuch UNKEYWORD Junk", "* SEARCH 3\r\n10 OK SEARCH completed\r\n"},
            // FLAGS replaces the keywords too.
            {"11 STORE 4 FLAGS (\\Flagged $Fwd)",
             FlagLines("$Label1 Junk $Fwd") + "* 4 FETCH (FLAGS (\\Flagged $Fwd))\r\n11 OK STORE completed\r\n"},
            {"12 STORE 2 FLAGS ()", "* 2 FETCH (FLAGS (\\Recent))\r\n12 OK STORE completed\r\n"}});
    // The other session hears of the new keywords, then of every message whose keywords changed.
    EXPECT_EQ(b.Run("2 NOOP"), FlagLines("$Label1 Junk $Fwd") +
                                   "* 1 FETCH (FLAGS (\\Seen Junk))\r\n* 4 FETCH (FLAGS (\\Flagged $Fwd))\r\n"
                                   "2 OK NOOP completed\r\n");
    EXPECT_EQ(b.Run("3 NOOP"), "3 OK NOOP completed\r\n");
    // A session opened later finds them from the start.
    Client c{mailDir};
    std::string later = c.Run("1 EXAMINE INBOX");
    EXPECT_NE(later.find(FlagLines("$Label1 Junk $Fwd")), std::string::npos) << later;
    EXPECT_EQ(c.Run("2 FETCH 1,4 FLAGS"), "* 1 FETCH (FLAGS (\\Seen Junk))\r\n* 4 FETCH (FLAGS (\\Flagged $Fwd))\r\n"
                                          "2 OK FETCH completed\r\n");
}

TEST_F(Keywords, BadNamesAreRefusedWholeAndTheLimitAnswersNo) {
    Settings.MaxKeywords = 2;
    a.Run("1 SELECT INBOX");
    a.Talk({{"2 STORE 1 +FLAGS (\\Seen $ok b]d)", "2 BAD STORE: b]d is no valid keyword\r\n"},
            {"3 STORE 1 +FLAGS (\"quoted\")", "3 BAD STORE: \"quoted\" is no valid keyword\r\n"},
            {"4 FETCH 1 FLAGS", "* 1 FETCH (FLAGS (\\Recent))\r\n4 OK FETCH completed\r\n"},
            // -FLAGS of a name never defined defines nothing.
            {"5 STORE 1 -FLAGS (never)", "* 1 FETCH (FLAGS (\\Recent))\r\n5 OK STORE completed\r\n"},
            {"6 STORE 1 +FLAGS (one two)",
             FlagLines("one two", false) + "* 1 FETCH (FLAGS (\\Recent one two))\r\n6 OK STORE completed\r\n"},
            {"7 STORE 2 +FLAGS (TWO three)", "7 NO [LIMIT] STORE fails: the mailbox has as many keywords as it may\r\n"},
            {"8 FETCH 2 FLAGS", "* 2 FETCH (FLAGS (\\Recent))\r\n8 OK FETCH completed\r\n"},
            {"9 STORE 2 +FLAGS (TWO)", "* 2 FETCH (FLAGS (\\Recent two))\r\n9 OK STORE completed\r\n"}});
}

TEST_F(Keywords, CondStoreSequencesChangeWithEveryChangeAndGuardConditionalStores) {
    std::string opened = a.Run("1 SELECT INBOX");
    uint64_t h0 = Highest(opened);
    ASSERT_GT(h0, 0u) << opened;
    b.Run("1 SELECT INBOX");
    // Asking for MODSEQ turns CONDSTORE on: the client is told where the sequences stand first.
    std::string fetched = a.Run("2 FETCH 1 (FLAGS MODSEQ)");
    EXPECT_EQ(fetched, "* OK [HIGHESTMODSEQ " + N(h0) + "] Highest\r\n* 1 FETCH (FLAGS (\\Recent) MODSEQ (" +
                           N(ModSeq(fetched)) + "))\r\n2 OK FETCH completed\r\n");
    EXPECT_LE(ModSeq(fetched), h0);
    // Under CONDSTORE every flag change is told with its UID and new sequence.
    std::string stored = a.Run("3 STORE 2 +FLAGS (\\Flagged $Work)");
    uint64_t m2 = ModSeq(stored);
    EXPECT_GT(m2, h0);
    EXPECT_EQ(stored, FlagLines("$Work") + "* 2 FETCH (UID 2 FLAGS (\\Recent \\Flagged $Work) MODSEQ (" + N(m2) +
                          "))\r\n3 OK STORE completed\r\n");
    a.Talk({{"4 UID FETCH 1:* (FLAGS) (CHANGEDSINCE " + N(h0) + ")",
             "* 2 FETCH (FLAGS (\\Recent \\Flagged $Work) UID 2 MODSEQ (" + N(m2) + "))\r\n4 OK FETCH completed\r\n"},
            {"5 FETCH 3:* (UID) (CHANGEDSINCE " + N(h0) + ")", "5 OK FETCH completed\r\n"},
            {"6 SEARCH MODSEQ " + N(m2), "* SEARCH 2 (MODSEQ " + N(m2) + ")\r\n6 OK SEARCH completed\r\n"},
            {"7 SEARCH MODSEQ \"/flags/\\\\draft\" all " + N(m2 + 1), "* SEARCH\r\n7 OK SEARCH completed\r\n"},
            {"8 STATUS INBOX (HIGHESTMODSEQ MESSAGES)", "* STATUS INBOX (HIGHESTMODSEQ " + N(m2) +
                                                            " MESSAGES 4)\r\n8 OK STATUS completed\r\n"},
            {"9 SEARCH MODSEQ 0", "* SEARCH 1 2 3 4 (MODSEQ " + N(m2) + ")\r\n9 OK SEARCH completed\r\n"}});
    // Message 2 changed after h0: it is left alone and named; 1 and 3 change, and are told their
    // new sequence though the STORE is silent.
    std::string bounded = a.Run("10 STORE 1:3 (UNCHANGEDSINCE " + N(h0) + ") +FLAGS.SILENT (\\Answered)");
    uint64_t m3 = ModSeq(bounded);
    EXPECT_GT(m3, m2);
    EXPECT_EQ(bounded, "* 1 FETCH (UID 1 MODSEQ (" + N(m3) + "))\r\n* 3 FETCH (UID 3 MODSEQ (" + N(m3) +
                           "))\r\n10 OK [MODIFIED 2] Conditional STORE failed\r\n");
    std::string conditional = a.Run("10 FETCH 1:3 (FLAGS MODSEQ)");
    EXPECT_EQ(conditional, "* 1 FETCH (FLAGS (\\Recent \\Answered) MODSEQ (" + N(m3) + "))\r\n"
                           "* 2 FETCH (FLAGS (\\Recent \\Flagged $Work) MODSEQ (" + N(m2) + "))\r\n"
                           "* 3 FETCH (FLAGS (\\Recent \\Answered) MODSEQ (" + N(m3) + "))\r\n10 OK FETCH completed\r\n");
    // A bound of 0 fails every message; nothing changes.
    a.Talk({{"11 UID STORE 1,4 (UNCHANGEDSINCE 0) +FLAGS (\\Draft)", "11 OK [MODIFIED 1,4] Conditional STORE failed\r\n"},
            {"12 STORE 1 (UNCHANGEDSINCE 5 6) +FLAGS (\\Draft)", "12 BAD STORE illegal argument\r\n"},
            {"13 FETCH 1 (FLAGS) (CHANGEDSINCE 0)", "13 BAD FETCH illegal argument\r\n"}});
    // The other session, without CONDSTORE, hears of the changes as before.
    EXPECT_EQ(b.Run("2 NOOP"), FlagLines("$Work") + "* 1 FETCH (FLAGS (\\Answered))\r\n"
                                   "* 2 FETCH (FLAGS (\\Flagged $Work))\r\n* 3 FETCH (FLAGS (\\Answered))\r\n2 OK NOOP completed\r\n");
    // With CONDSTORE on, a change made elsewhere comes with its UID and sequence.
    b.Run("3 ENABLE CONDSTORE");
    std::string elsewhere = a.Run("14 STORE 4 -FLAGS.SILENT (\\Seen)");
    uint64_t m4 = ModSeq(elsewhere);
    EXPECT_EQ(elsewhere, "* 4 FETCH (UID 4 MODSEQ (" + N(m4) + "))\r\n14 OK STORE completed\r\n");
    EXPECT_EQ(b.Run("4 NOOP"), "* 4 FETCH (UID 4 FLAGS () MODSEQ (" + N(m4) + "))\r\n4 OK NOOP completed\r\n");
}

// A CONDSTORE client keeps every message's sequence: each sequence it is given must be the
// message's last, whatever changed, and a change it was told once is not told again.
TEST_F(Keywords, CondStoreClientsAreToldEverySequenceOnceEvenWhenTheFlagsEndAsTheyWere) {
    a.Run("1 SELECT INBOX");
    a.Run("2 ENABLE CONDSTORE");
    b.Run("1 SELECT INBOX");
    b.Run("2 ENABLE CONDSTORE");
    // Set and cleared again elsewhere between two looks: the flags are as before, the sequence is not.
    b.Run("3 STORE 3 +FLAGS (\\Flagged)");
    uint64_t m1 = ModSeq(b.Run("4 STORE 3 -FLAGS (\\Flagged)"));
    ASSERT_GT(m1, 0u);
    EXPECT_EQ(a.Run("3 NOOP"), "* 3 FETCH (UID 3 FLAGS (\\Recent) MODSEQ (" + N(m1) + "))\r\n3 OK NOOP completed\r\n");
    EXPECT_EQ(a.Run("4 NOOP"), "4 OK NOOP completed\r\n");
    // What a session stored itself it was told with the STORE.
    uint64_t m2 = ModSeq(a.Run("5 STORE 3 +FLAGS (\\Seen)"));
    EXPECT_GT(m2, m1);
    EXPECT_EQ(a.Run("6 NOOP"), "6 OK NOOP completed\r\n");
    EXPECT_EQ(b.Run("5 NOOP"), "* 3 FETCH (UID 3 FLAGS (\\Seen) MODSEQ (" + N(m2) + "))\r\n5 OK NOOP completed\r\n");
    // A FETCH that sets \\Seen shows the sequence of that change, and the other session gets the same.
    std::string read = a.Run("7 FETCH 2 (BODY[HEADER])");
    uint64_t m3 = ModSeq(read);
    EXPECT_GT(m3, m2) << read;
    EXPECT_NE(read.find("FLAGS (\\Recent \\Seen) UID 2 MODSEQ (" + N(m3) + "))\r\n7 OK FETCH completed\r\n"),
              std::string::npos) << read;
    EXPECT_EQ(a.Run("8 FETCH 2 (MODSEQ)"), "* 2 FETCH (MODSEQ (" + N(m3) + "))\r\n8 OK FETCH completed\r\n");
    EXPECT_EQ(a.Run("9 NOOP"), "9 OK NOOP completed\r\n");
    EXPECT_EQ(b.Run("6 NOOP"), "* 2 FETCH (UID 2 FLAGS (\\Seen) MODSEQ (" + N(m3) + "))\r\n6 OK NOOP completed\r\n");
}

TEST_F(Keywords, StoreWithModifiedMessagesNamesThemBySequenceOrUid) {
    a.Run("1 SELECT INBOX");
    uint64_t m = ModSeq(a.Run("2 FETCH 1 MODSEQ"));
    b.Run("1 SELECT INBOX");
    b.Run("2 STORE 2:3 +FLAGS.SILENT (\\Seen)");
    b.Run("3 STORE 3 +FLAGS.SILENT (\\Deleted)");
    b.Run("4 EXPUNGE");
    // The expunged message keeps its number until it may be announced; it is no modified one.
    std::string stored = a.Run("3 STORE 1:4 (UNCHANGEDSINCE " + N(m) + ") +FLAGS.SILENT ($Done)");
    EXPECT_TRUE(stored.starts_with("* FLAGS (")) << stored;
    EXPECT_NE(stored.find("* 1 FETCH (UID 1 MODSEQ ("), std::string::npos) << stored;
    EXPECT_NE(stored.find("* 4 FETCH (UID 4 MODSEQ ("), std::string::npos) << stored;
    EXPECT_TRUE(stored.ends_with("3 OK [MODIFIED 2] Conditional STORE failed\r\n")) << stored;
    a.Run("4 NOOP");
    // Now numbered 1 2 3 for UIDs 1 2 4: UID STORE names UIDs, STORE sequence numbers.
    uint64_t now = ModSeq(a.Run("5 FETCH 3 MODSEQ"));
    b.Run("5 STORE 2 -FLAGS.SILENT (\\Seen)");
    b.Run("6 UID STORE 4 -FLAGS.SILENT ($Done)");
    std::string byUid = a.Run("6 UID STORE 1:4 (UNCHANGEDSINCE " + N(now) + ") +FLAGS.SILENT (\\Draft)");
    EXPECT_TRUE(byUid.ends_with("6 OK [MODIFIED 2,4] Conditional STORE failed\r\n")) << byUid;
    std::string bySequence = a.Run("7 STORE 1:3 (UNCHANGEDSINCE " + N(now) + ") +FLAGS.SILENT (\\Draft)");
    EXPECT_TRUE(bySequence.ends_with("7 OK [MODIFIED 1:3] Conditional STORE failed\r\n")) << bySequence;
}

TEST_F(Keywords, QresyncSelectTellsWhatVanishedAndChangedSinceTheClientLastLooked) {
    uint32_t ulValidity = 0;
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulValidity));
    std::string v = N(ulValidity);
    a.Run("1 SELECT INBOX");
    EXPECT_EQ(a.Run("2 SELECT INBOX (QRESYNC (" + v + " 1))"), "2 BAD SELECT QRESYNC is not enabled\r\n");
    a.Run("3 ENABLE QRESYNC");
    uint64_t h0 = Highest(a.Run("4 SELECT INBOX"));
    // Another session deletes 3 and flags 1 while the first client is away.
    b.Run("1 SELECT INBOX");
    b.Run("2 STORE 3 +FLAGS.SILENT (\\Deleted)");
    b.Run("3 STORE 1 +FLAGS.SILENT ($Later)");
    b.Run("4 EXPUNGE");
    a.Run("5 CLOSE");
    std::string resync = a.Run("6 SELECT INBOX (QRESYNC (" + v + " " + N(h0) + "))");
    uint64_t h1 = Highest(resync);
    EXPECT_GT(h1, h0);
    std::string tail = "* OK [HIGHESTMODSEQ " + N(h1) + "] Highest\r\n* VANISHED (EARLIER) 3\r\n"
                       "* 1 FETCH (UID 1 FLAGS ($Later) MODSEQ (" + N(ModSeq(resync)) + "))\r\n"
                       "6 OK [READ-WRITE] SELECT completed\r\n";
    EXPECT_TRUE(resync.ends_with(tail)) << resync;
    // The UIDs it names restrict what vanished; another UIDVALIDITY gets the plain answer.
    std::string known = a.Run("7 EXAMINE INBOX (QRESYNC (" + v + " " + N(h0) + " 1:2,4))");
    EXPECT_EQ(known.find("VANISHED"), std::string::npos) << known;
    std::string other = a.Run("8 EXAMINE INBOX (QRESYNC (" + N(ulValidity + 1) + " " + N(h0) + "))");
    EXPECT_EQ(other.find("VANISHED"), std::string::npos) << other;
    EXPECT_EQ(other.find("FETCH"), std::string::npos) << other;
    // UID FETCH with VANISHED, and VANISHED in place of EXPUNGE once QRESYNC is on.
    a.Run("9 SELECT INBOX");
    std::string vanished = a.Run("10 UID FETCH 1:* (FLAGS) (CHANGEDSINCE " + N(h0) + " VANISHED)");
    EXPECT_TRUE(vanished.starts_with("* VANISHED (EARLIER) 3\r\n* 1 FETCH (FLAGS ($Later) UID 1 MODSEQ (")) << vanished;
    a.Talk({{"11 FETCH 1:* (FLAGS) (CHANGEDSINCE " + N(h0) + " VANISHED)", "11 BAD FETCH illegal argument\r\n"},
            {"12 UID FETCH 1:2 (FLAGS) (CHANGEDSINCE " + N(h1) + " VANISHED)", "12 OK FETCH completed\r\n"}});
    b.Run("5 STORE 1:2 +FLAGS.SILENT (\\Deleted)");
    b.Run("6 EXPUNGE");
    std::string expunged = a.Run("13 NOOP");
    EXPECT_TRUE(expunged.starts_with("* VANISHED 1:2\r\n")) << expunged;
    EXPECT_EQ(b.Run("7 UID FETCH 1:* (FLAGS) (CHANGEDSINCE 1 VANISHED)"), "7 BAD FETCH illegal argument\r\n")
        << "only under QRESYNC";
}

}  // namespace

// Every other UID failing a conditional STORE makes a [MODIFIED] set longer than any buffer a
// tagged line is made in: it must still arrive whole, as one line.
TEST_F(Keywords, AModifiedSetOfThousandsOfUidsArrivesWhole) {
    std::string names;
    for (int i = 0; i < 2500; i++) names += (names.empty() ? "" : " ") + N(11 + 2 * i) + "-000000";
    Put(names);
    a.Run("1 SELECT INBOX");
    std::string stored = a.Run("2 UID STORE 11:* (UNCHANGEDSINCE 0) +FLAGS.SILENT (\\Draft)");
    std::string expected = "2 OK [MODIFIED 11";
    for (int i = 1; i < 2500; i++) expected += "," + N(11 + 2 * i);
    expected += "] Conditional STORE failed\r\n";
    EXPECT_TRUE(stored.ends_with(expected)) << stored.substr(stored.size() > 200 ? stored.size() - 200 : 0);
    EXPECT_EQ(a.Run("3 NOOP"), "3 OK NOOP completed\r\n");
}
