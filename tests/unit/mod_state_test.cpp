// Keywords and modification sequences kept in the mailbox's state file: what survives the index,
// what changes made behind its back get, and what a lost or damaged file does.
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <random>

#include "config/settings.h"
#include "mail_session.h"
#include "store/mailbox_index.h"
#include "store/mod_state.h"

namespace {

// Another process on the same store: this test binary again, running ModStateChild.Run with
// MODSTATE_CHILD set to "mode mailbox [ack-fd]". What it acknowledges it writes to the fd, one
// line each.
pid_t StartChild(const std::string& job, int fdAck = -1) {
    std::string command = job + (fdAck >= 0 ? " " + std::to_string(fdAck) : "");
    pid_t pid = fork();
    if (pid == 0) {
        setenv("MODSTATE_CHILD", command.c_str(), 1);
        execl("/proc/self/exe", "unit_tests", "--gtest_filter=ModStateChild.Run", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int WaitChild(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ModState : public InboxSession {
protected:
    std::shared_ptr<MailboxIndex> Open() {
        ListResult result;
        std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
        EXPECT_EQ(result, LIST_OK);
        return pIndex;
    }
    std::string File(uint32_t ulUid, const char* pszCode) const {
        char szPath[1024];
        EXPECT_TRUE(FormatMessagePath(szPath, sizeof(szPath), box.c_str(), ulUid, pszCode));
        return szPath;
    }
    // Sets the keywords by name, one commit; the HIGHESTMODSEQ after it.
    uint64_t Store(MailboxIndex& index, uint32_t ulUid, KeywordOp op, std::initializer_list<const char*> names) {
        std::unique_ptr<ModChange> pChange = index.BeginModChange();
        EXPECT_TRUE(pChange->Locked());
        std::vector<uint16_t> keywords;
        for (const char* pszName : names) {
            uint16_t u = 0;
            KeywordFind found = pChange->AddKeyword(pszName, &u);
            EXPECT_TRUE(found == KEYWORD_FOUND || found == KEYWORD_NEW) << pszName;
            keywords.push_back(u);
        }
        EXPECT_EQ(pChange->SetKeywords(ulUid, op, keywords), MOD_OK);
        uint64_t ullSeq = 0;
        EXPECT_TRUE(pChange->Commit(&ullSeq));
        return ullSeq;
    }
    std::string Keywords(MailboxIndex& index, uint32_t ulUid) {
        std::vector<std::string> names;
        index.KeywordNamesOf(ulUid, &names);
        std::string all;
        for (const std::string& name : names) all += (all.empty() ? "" : " ") + name;
        return all;
    }
    std::string Changed(MailboxIndex& index, uint64_t ullSince) {
        std::vector<uint32_t> uids;
        index.ChangedSince(ullSince, &uids);
        std::string all;
        for (uint32_t u : uids) all += (all.empty() ? "" : " ") + std::to_string(u);
        return all;
    }
    std::string Vanished(MailboxIndex& index, uint64_t ullSince) {
        std::vector<UidRange> ranges;
        index.ExpungedSince(ullSince, &ranges);
        std::string all;
        for (const UidRange& r : ranges) {
            all += (all.empty() ? "" : ",") + std::to_string(r.ulLow);
            if (r.ulHigh != r.ulLow) all += ":" + std::to_string(r.ulHigh);
        }
        return all;
    }
};

TEST_F(ModState, KeywordsAndSequencesOutliveTheIndex) {
    Put("1-000000 2-000010 3-000000");
    uint64_t ullStart = 0, ullSet = 0;
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        ullStart = pIndex->HighestModSeq();
        EXPECT_GT(ullStart, 0u);
        ullSet = Store(*pIndex, 2, KEYWORDS_ADD, {"$label1", "Junk"});
        EXPECT_EQ(ullSet, ullStart + 1);
        EXPECT_EQ(pIndex->ModSeqOf(2), ullSet);
        EXPECT_EQ(Keywords(*pIndex, 2), "$label1 Junk");
        EXPECT_EQ(Changed(*pIndex, ullStart), "2");
    }
    std::shared_ptr<MailboxIndex> pIndex = Open();
    EXPECT_EQ(pIndex->HighestModSeq(), ullSet);
    EXPECT_EQ(Keywords(*pIndex, 2), "$label1 Junk");
    EXPECT_EQ(pIndex->ModSeqOf(2), ullSet);
    EXPECT_EQ(Changed(*pIndex, ullStart), "2");
}

TEST_F(ModState, ChangesMadeWhileNobodyLookedGetSequences) {
    Put("1-000000 2-000000 3-000000 4-000000");
    uint64_t ullBefore = 0;
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        ullBefore = Store(*pIndex, 1, KEYWORDS_ADD, {"$Forwarded"});
    }
    std::filesystem::rename(File(2, "000000"), File(2, "000010"));
    std::filesystem::remove(File(3, "000000"));
    Put("5-100000");
    std::shared_ptr<MailboxIndex> pIndex = Open();
    EXPECT_GT(pIndex->HighestModSeq(), ullBefore);
    EXPECT_EQ(Changed(*pIndex, ullBefore), "2 5");
    EXPECT_EQ(Vanished(*pIndex, ullBefore), "3");
    EXPECT_EQ(Keywords(*pIndex, 1), "$Forwarded");
}

TEST_F(ModState, LostFileStartsAboveEverySequenceGiven) {
    Put("1-000000 2-000000");
    uint64_t ullBefore = 0;
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        ullBefore = Store(*pIndex, 1, KEYWORDS_ADD, {"a"});
    }
    std::filesystem::remove(box + "/" + MOD_STATE_NAME);
    std::shared_ptr<MailboxIndex> pIndex = Open();
    EXPECT_GT(pIndex->HighestModSeq(), ullBefore);
    EXPECT_EQ(Changed(*pIndex, ullBefore), "1 2");
}

TEST_F(ModState, DamagedFileKeepsWhatIsReadableAndSaysSo) {
    Put("1-000000 2-000000 3-000000");
    uint64_t ullBefore = 0;
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        Store(*pIndex, 1, KEYWORDS_ADD, {"$label1"});
        Store(*pIndex, 2, KEYWORDS_ADD, {"$label2"});
        ullBefore = Store(*pIndex, 3, KEYWORDS_ADD, {"$label3"});
    }
    // One line in the middle damaged: message 2's keywords cannot be read.
    std::string path = box + "/" + MOD_STATE_NAME;
    std::string text = ReadFile(path);
    size_t nAt = text.rfind("M 2 ");
    ASSERT_NE(nAt, std::string::npos);
    text[nAt + 2] = '7';
    WriteFile(path, text);
    Settings.ConsoleTrace = 1;
    testing::internal::CaptureStdout();
    std::shared_ptr<MailboxIndex> pIndex = Open();
    uint64_t ullNow = pIndex->HighestModSeq();
    std::string console = testing::internal::GetCapturedStdout();
    Settings.ConsoleTrace = 0;
    EXPECT_NE(console.find("was damaged"), std::string::npos) << console;
    EXPECT_GT(ullNow, ullBefore);
    // Every message is reported changed: the client cannot know which lost its keywords.
    EXPECT_EQ(Changed(*pIndex, ullBefore), "1 2 3");
    EXPECT_EQ(Keywords(*pIndex, 1), "$label1");
    EXPECT_EQ(Keywords(*pIndex, 2), "");
    EXPECT_EQ(Keywords(*pIndex, 3), "$label3");
    // What vanished before the damage is unknown: every UID not present, never a present one.
    std::filesystem::remove(File(2, "000000"));
    Put("5-000000");
    EXPECT_EQ(Vanished(*pIndex, ullBefore), "2,4");
    // The file was written whole again: a later start finds nothing wrong.
    pIndex.reset();
    testing::internal::CaptureStdout();
    Settings.ConsoleTrace = 1;
    pIndex = Open();
    uint64_t ullAgain = pIndex->HighestModSeq();
    console = testing::internal::GetCapturedStdout();
    Settings.ConsoleTrace = 0;
    EXPECT_EQ(console.find("Keyword state"), std::string::npos) << console;
    EXPECT_EQ(Keywords(*pIndex, 3), "$label3");
    EXPECT_EQ(Changed(*pIndex, ullAgain), "");
}

TEST_F(ModState, LineCutShortByACrashIsNoDamage) {
    Put("1-000000 2-000000");
    uint64_t ullBefore = 0;
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        ullBefore = Store(*pIndex, 1, KEYWORDS_ADD, {"a"});
    }
    std::string path = box + "/" + MOD_STATE_NAME;
    std::ofstream(path, std::ios::app) << "M 2 " << ullBefore + 1 << " 00 0 ~1234";
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        EXPECT_EQ(pIndex->HighestModSeq(), ullBefore);
        EXPECT_EQ(Store(*pIndex, 2, KEYWORDS_ADD, {"b"}), ullBefore + 1);
    }
    // The next line did not run into the cut one.
    std::shared_ptr<MailboxIndex> pIndex = Open();
    EXPECT_EQ(pIndex->HighestModSeq(), ullBefore + 1);
    EXPECT_EQ(Keywords(*pIndex, 1), "a");
    EXPECT_EQ(Keywords(*pIndex, 2), "b");
}

TEST_F(ModState, OneSequenceForFlagsAndKeywordsAndUnchangedSinceChecked) {
    Put("1-000000 2-000000");
    std::shared_ptr<MailboxIndex> pIndex = Open();
    uint64_t ullStart = pIndex->HighestModSeq();
    uint64_t ullSeq = 0;
    {
        std::unique_ptr<ModChange> pChange = pIndex->BeginModChange();
        EXPECT_EQ(pChange->CheckUnchanged(1, ullStart), MOD_OK);
        EXPECT_EQ(pChange->CheckUnchanged(9, ullStart), MOD_GONE);
        // A flag rename made within the change, as STORE makes it.
        ASSERT_TRUE(RenameMessageFile(box.c_str(), File(1, "000000").c_str(), File(1, "000010").c_str()));
        pIndex->NoteFlags(1, FLAG_BIT_SEEN);
        uint16_t u = 0;
        EXPECT_EQ(pChange->AddKeyword("$Junk", &u), KEYWORD_NEW);
        // Checked before the rename; the rename itself is this change.
        EXPECT_EQ(pChange->SetKeywords(1, KEYWORDS_ADD, {u}), MOD_OK);
        EXPECT_TRUE(pChange->Commit(&ullSeq));
    }
    EXPECT_EQ(ullSeq, ullStart + 1);
    EXPECT_EQ(pIndex->ModSeqOf(1), ullSeq);
    EXPECT_EQ(pIndex->ModSeqOf(2), ullStart);
    // A flag change by another program, noticed but not yet given its sequence, still counts.
    std::filesystem::rename(File(2, "000000"), File(2, "001000"));
    ASSERT_EQ(pIndex->Refresh(), LIST_OK);
    std::unique_ptr<ModChange> pChange = pIndex->BeginModChange();
    EXPECT_EQ(pChange->SetKeywords(1, KEYWORDS_REMOVE, {0}, ullStart), MOD_MODIFIED);
    EXPECT_EQ(pChange->CheckUnchanged(2, ullSeq), MOD_MODIFIED);
    EXPECT_EQ(pChange->SetKeywords(1, KEYWORDS_REMOVE, {0}, ullSeq), MOD_OK);
    EXPECT_TRUE(pChange->Commit(&ullSeq));
    EXPECT_EQ(ullSeq, ullStart + 3);
    EXPECT_EQ(Keywords(*pIndex, 1), "");
}

// On a cluster file system another server may append a line it wrote before it could see ours,
// with a lower sequence: taken in late, or read at the next start, it must not move a message's
// sequence back below one a client was already shown.
TEST_F(ModState, ALateLineWithALowerSequenceNeverMovesAMessageBack) {
    Put("1-000000 2-000000");
    std::string path = box + "/" + MOD_STATE_NAME;
    uint64_t ullHigher = 0;
    std::string lateLine;
    {
        std::shared_ptr<MailboxIndex> pIndex = Open();
        uint64_t ullLower = Store(*pIndex, 1, KEYWORDS_ADD, {"old"});
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("M 1 " + std::to_string(ullLower) + " ", 0) == 0) lateLine = line;
        }
        ASSERT_FALSE(lateLine.empty());
        ullHigher = Store(*pIndex, 1, KEYWORDS_REPLACE, {"new"});
        ASSERT_GT(ullHigher, ullLower);
        std::ofstream(path, std::ios::app) << lateLine << "\n";
        EXPECT_GE(pIndex->HighestModSeq(), ullHigher);
        EXPECT_GE(pIndex->ModSeqOf(1), ullHigher);
    }
    std::shared_ptr<MailboxIndex> pIndex = Open();
    EXPECT_GE(pIndex->HighestModSeq(), ullHigher);
    EXPECT_GE(pIndex->ModSeqOf(1), ullHigher);
    EXPECT_EQ(Keywords(*pIndex, 1), "old");
}

TEST_F(ModState, KeywordTableIsBoundedAndIgnoresCase) {
    Put("1-000000");
    Settings.MaxKeywords = 2;
    std::shared_ptr<MailboxIndex> pIndex = Open();
    std::unique_ptr<ModChange> pChange = pIndex->BeginModChange();
    uint16_t a = 0, b = 0, c = 0;
    EXPECT_EQ(pChange->AddKeyword("$Label1", &a), KEYWORD_NEW);
    EXPECT_EQ(pChange->AddKeyword("$label1", &b), KEYWORD_FOUND);
    EXPECT_EQ(a, b);
    EXPECT_EQ(pChange->AddKeyword("NonJunk", &b), KEYWORD_NEW);
    EXPECT_EQ(pChange->AddKeyword("Junk", &c), KEYWORD_LIMIT);
    EXPECT_EQ(pChange->AddKeyword("bad name", &c), KEYWORD_INVALID);
    EXPECT_EQ(pChange->AddKeyword("\\Seen", &c), KEYWORD_INVALID);
    EXPECT_TRUE(pChange->Commit());
    pChange.reset();
    EXPECT_TRUE(KeywordsFit(box.c_str(), {"$LABEL1", "nonjunk"}));
    EXPECT_FALSE(KeywordsFit(box.c_str(), {"$LABEL1", "Junk"}));
    Settings.MaxKeywords = 0;
    EXPECT_EQ(pIndex->FindKeyword("NONJUNK"), 1);
    EXPECT_EQ(pIndex->KeywordNames(), (std::vector<std::string>{"$Label1", "NonJunk"}));
}

TEST_F(ModState, ExpungesAreKeptAsRangesWithTheirSequences) {
    Put("1-000000 2-000000 3-000000 4-000000 5-000000");
    std::shared_ptr<MailboxIndex> pIndex = Open();
    uint64_t ullStart = pIndex->HighestModSeq();
    std::filesystem::remove(File(2, "000000"));
    std::filesystem::remove(File(3, "000000"));
    ASSERT_EQ(pIndex->Refresh(), LIST_OK);
    uint64_t ullFirst = pIndex->HighestModSeq();
    EXPECT_EQ(ullFirst, ullStart + 1);
    std::filesystem::remove(File(5, "000000"));
    ASSERT_EQ(pIndex->Refresh(), LIST_OK);
    EXPECT_EQ(Vanished(*pIndex, ullStart), "2:3,5");
    EXPECT_EQ(Vanished(*pIndex, ullFirst), "5");
    EXPECT_EQ(Vanished(*pIndex, pIndex->HighestModSeq()), "");
    EXPECT_EQ(Changed(*pIndex, ullStart), "");
    // Older than the file: every UID not present.
    EXPECT_EQ(Vanished(*pIndex, ullStart - 1), "2:3,5");
}

TEST_F(ModState, TwoProcessesWritingAtOnceLoseNothing) {
    Put("1-000000 2-000000");
    std::shared_ptr<MailboxIndex> pIndex = Open();
    uint64_t ullStart = pIndex->HighestModSeq();
    pid_t pid = StartChild("store " + box);
    for (int i = 0; i < 40; i++) Store(*pIndex, 2, KEYWORDS_ADD, {("p" + std::to_string(i)).c_str()});
    ASSERT_EQ(WaitChild(pid), 0);
    // This index follows what the other process recorded ...
    EXPECT_EQ(pIndex->HighestModSeq(), ullStart + 80);
    std::vector<uint16_t> keywords;
    pIndex->KeywordsOf(1, &keywords);
    EXPECT_EQ(keywords.size(), 40u);
    uint64_t ullOne = pIndex->ModSeqOf(1);
    uint64_t ullTwo = pIndex->ModSeqOf(2);
    // ... and a fresh reading of the file agrees with it.
    pIndex.reset();
    pIndex = Open();
    EXPECT_EQ(pIndex->HighestModSeq(), ullStart + 80);
    EXPECT_EQ(pIndex->ModSeqOf(1), ullOne);
    EXPECT_EQ(pIndex->ModSeqOf(2), ullTwo);
    pIndex->KeywordsOf(2, &keywords);
    EXPECT_EQ(keywords.size(), 40u);
    EXPECT_EQ(pIndex->KeywordCount(), 80u);
}

TEST_F(ModState, KillNineLosesNoAcknowledgedChange) {
    Put("1-000000 2-000000 3-000000");
    std::mt19937 random(12345);
    std::vector<int> acked;
    for (int nRound = 0; nRound < 4; nRound++) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        pid_t pid = StartChild("crash " + box + " " + std::to_string(nRound), fds[1]);
        close(fds[1]);
        // Killed after a random number of acknowledgements, somewhere inside the next write.
        size_t nWanted = 5 + random() % 40;
        std::string got;
        char buf[256];
        while (std::count(got.begin(), got.end(), '\n') < static_cast<long>(nWanted)) {
            ssize_t n = read(fds[0], buf, sizeof(buf));
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
        }
        usleep(static_cast<useconds_t>(random() % 3000));
        kill(pid, SIGKILL);
        for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) got.append(buf, static_cast<size_t>(n));
        close(fds[0]);
        waitpid(pid, nullptr, 0);
        std::istringstream lines(got);
        for (int n; lines >> n;) acked.push_back(n);
        ASSERT_GE(acked.size(), nWanted);
    }
    Settings.ConsoleTrace = 1;
    testing::internal::CaptureStdout();
    std::shared_ptr<MailboxIndex> pIndex = Open();
    pIndex->HighestModSeq();
    std::string console = testing::internal::GetCapturedStdout();
    Settings.ConsoleTrace = 0;
    EXPECT_EQ(console.find("Keyword state"), std::string::npos) << console;
    for (int n : acked) {
        int nKeyword = pIndex->FindKeyword(("k" + std::to_string(n)).c_str());
        ASSERT_GE(nKeyword, 0) << n;
        std::vector<uint16_t> keywords;
        pIndex->KeywordsOf(static_cast<uint32_t>(1 + n % 3), &keywords);
        EXPECT_TRUE(std::count(keywords.begin(), keywords.end(), nKeyword) == 1) << n;
    }
}

TEST_F(ModState, AppendCopyAndMoveCarryKeywords) {
    MakeMailbox("Archive");
    auto keywordsIn = [&](const char* pszMailbox, uint32_t ulUid) {
        ListResult result;
        std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(Path(pszMailbox).c_str(), &result);
        pIndex->SyncModState();
        return Keywords(*pIndex, ulUid);
    };
    EXPECT_NE(Run("a1 APPEND INBOX (\\Seen $label1 Junk) {5}\r\nhello").find("a1 OK [APPENDUID"), std::string::npos);
    EXPECT_NE(Run("a2 APPEND INBOX ($label2) {5}\r\nhello").find("a2 OK [APPENDUID"), std::string::npos);
    EXPECT_NE(Run("a3 APPEND INBOX {5}\r\nhello").find("a3 OK [APPENDUID"), std::string::npos);
    EXPECT_EQ(keywordsIn("inbox", 1), "$label1 Junk");
    Run("s SELECT INBOX");
    EXPECT_NE(Run("a4 COPY 1,3 Archive").find("a4 OK [COPYUID"), std::string::npos);
    EXPECT_NE(Run("a5 MOVE 2 Archive").find("a5 OK"), std::string::npos);
    EXPECT_EQ(keywordsIn("Archive", 1), "$label1 Junk");
    EXPECT_EQ(keywordsIn("Archive", 2), "");
    EXPECT_EQ(keywordsIn("Archive", 3), "$label2");
    EXPECT_EQ(keywordsIn("inbox", 1), "$label1 Junk");
    // A full keyword table refuses a new name before the literal, and stores nothing.
    Settings.MaxKeywords = 2;
    std::string before = Tree(Path("inbox"));
    EXPECT_EQ(Run("a6 APPEND INBOX (NonJunk) {5}"), "a6 NO [LIMIT] APPEND too many keywords in this mailbox\r\n");
    EXPECT_EQ(Tree(Path("inbox")), before);
    std::string a7 = Run("a7 APPEND INBOX (junk) {5}\r\nhello");
    EXPECT_NE(a7.find("a7 OK"), std::string::npos) << a7;
    // COPY carries names whatever the target holds.
    EXPECT_NE(Run("a8 COPY 1 Archive").find("a8 OK"), std::string::npos);
    Settings.MaxKeywords = 0;
    EXPECT_EQ(keywordsIn("Archive", 4), "$label1 Junk");
}

TEST_F(ModState, MessagesWithoutKeywordsCostNothingExtra) {
    constexpr uint32_t COUNT = 20000;
    for (uint32_t u = 1; u <= COUNT; u++) WriteFile(File(u, "000010"), "x");
    std::shared_ptr<MailboxIndex> pIndex = Open();
    size_t nBefore = MailboxIndex::MemoryInUse();
    uint64_t ullStart = pIndex->HighestModSeq();
    size_t nLoaded = MailboxIndex::MemoryInUse();
    // The recent-changes log is bounded (256 KB at most) whatever the mailbox holds; nothing
    // grows per message: 16 bytes each would be 320 KB here.
    EXPECT_LT(nLoaded - nBefore, 160u * 1024) << nLoaded - nBefore;
    for (uint32_t u = 1; u <= 100; u++) Store(*pIndex, u, KEYWORDS_ADD, {"$label1"});
    size_t nTagged = MailboxIndex::MemoryInUse();
    EXPECT_LT(nTagged - nBefore, 300u * 1024) << nTagged - nBefore;
    // And what changed is found without a look at the other 19,900.
    EXPECT_EQ(Changed(*pIndex, ullStart + 99), "100");
}

TEST_F(ModState, DeleteOfAnEmptyMailboxTakesItsStateAlong) {
    MakeMailbox("Old");
    Settings.DeleteFullMailbox = DELETE_FULL_REFUSE;
    EXPECT_NE(Run("a1 APPEND Old (x) {5}\r\nhello").find("a1 OK"), std::string::npos);
    // Still holding its message: it stays, with its keywords.
    EXPECT_EQ(Run("a2 DELETE Old"), "a2 NO DELETE failed\r\n");
    {
        ListResult result;
        std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(Path("Old").c_str(), &result);
        pIndex->SyncModState();
        EXPECT_EQ(Keywords(*pIndex, 1), "x");
    }
    for (const auto& entry : std::filesystem::directory_iterator(Path("Old"))) {
        if (entry.path().extension() == ".MSG") std::filesystem::remove(entry.path());
    }
    EXPECT_EQ(Run("a3 DELETE Old"), "a3 OK DELETE successful\r\n");
    Settings.DeleteFullMailbox = DELETE_FULL_REMOVE;
    EXPECT_FALSE(std::filesystem::exists(Path("Old")));
}

// The other process of the tests above; skipped when run on its own.
TEST(ModStateChild, Run) {
    const char* pszJob = getenv("MODSTATE_CHILD");
    if (pszJob == nullptr) GTEST_SKIP() << "run by the tests above";
    std::istringstream job(pszJob);
    std::string mode, box;
    int nRound = 0, fdAck = -1;
    job >> mode >> box;
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    if (mode == "store") {
        for (int i = 0; i < 40; i++) {
            std::unique_ptr<ModChange> pChange = pIndex->BeginModChange();
            uint16_t u = 0;
            ASSERT_EQ(pChange->AddKeyword(("c" + std::to_string(i)).c_str(), &u), KEYWORD_NEW);
            ASSERT_EQ(pChange->SetKeywords(1, KEYWORDS_ADD, {u}), MOD_OK);
            ASSERT_TRUE(pChange->Commit());
        }
        return;
    }
    job >> nRound >> fdAck;
    Settings.MaxKeywords = 16384;
    for (int i = nRound * 1000;; i++) {
        std::unique_ptr<ModChange> pChange = pIndex->BeginModChange();
        uint16_t u = 0;
        ASSERT_EQ(pChange->AddKeyword(("k" + std::to_string(i)).c_str(), &u), KEYWORD_NEW);
        ASSERT_EQ(pChange->SetKeywords(static_cast<uint32_t>(1 + i % 3), KEYWORDS_ADD, {u}), MOD_OK);
        ASSERT_TRUE(pChange->Commit());
        pChange.reset();
        std::string line = std::to_string(i) + "\n";
        ASSERT_EQ(write(fdAck, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
}

}  // namespace
