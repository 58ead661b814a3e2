// The mail store: UIDs and the uid file, counts, message sets, mailbox names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/store.h"

namespace fs = std::filesystem;

namespace {

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/veve4d-store-XXXXXX";
        ASSERT_NE(mkdtemp(szTemplate), nullptr);
        root = szTemplate;
        mailDir = root + "/";
        box = root + "/box";
        fs::create_directory(box);
        session = std::make_unique<Session>();
    }
    void TearDown() override { fs::remove_all(root); }

    void Write(const std::string& path, const std::string& text = "x") const { std::ofstream(path) << text; }
    std::string Read(const std::string& path) const {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Message(uint32_t ulUid, const char* pszFlags, const std::string& dir = "") const {
        char szName[32];
        FormatMessageName(szName, sizeof(szName), ulUid, pszFlags);
        Write((dir.empty() ? box : dir) + "/" + szName);
    }
    // Runs one element of a set as FETCH would, returning "seq:uid" for each message yielded.
    std::vector<std::string> Walk(const char* pszSet, bool bUid, MatchCommand command = MATCH_FETCH) {
        MessageRange elements[MAX_SET_ELEMENTS];
        int nCount = SplitMessageSet(pszSet, elements);
        session->bUid = bUid ? 1 : 0;
        std::vector<std::string> seen;
        for (int i = 0; i < nCount; ++i) {
            char szPattern[64];
            MessagePattern(command, elements[i], bUid, szPattern, sizeof(szPattern));
            MatchMessages(session.get(), box.c_str(), elements[i], szPattern, [&](uint32_t ulSeq) {
                seen.push_back(std::to_string(ulSeq) + ":" + std::to_string(MessageUid(session->FindData.cFileName)));
                return true;
            });
        }
        return seen;
    }

    std::string root, mailDir, box;
    std::unique_ptr<Session> session;
};

TEST_F(StoreTest, NextUidOfAnEmptyOrMissingMailboxIsOneAndWritesNothing) {
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    EXPECT_FALSE(fs::exists(box + "/uid"));
    EXPECT_EQ(ReadUidNext((root + "/missing").c_str()), 1u);
    EXPECT_FALSE(fs::exists(root + "/missing"));
}

TEST_F(StoreTest, NextUidIsDerivedFromTheHighestFileAndStored) {
    Message(7, "000010");
    Message(3, "100000");
    // Neither a hidden message nor a directory with a message name counts.
    Write(box + "/.0000000050-000000.MSG");
    fs::create_directory(box + "/0000000060-000000.MSG");
    EXPECT_EQ(ReadUidNext(box.c_str()), 8u);
    EXPECT_EQ(Read(box + "/uid"), "8");
}

TEST_F(StoreTest, UidFileWinsEvenWhenLowerThanTheFiles) {
    Message(9, "000000");
    Write(box + "/uid", "5");
    EXPECT_EQ(ReadUidNext(box.c_str()), 5u);
    Write(box + "/uid", "junk");
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    WriteUidNext(box.c_str(), 4000000000u);
    EXPECT_EQ(Read(box + "/uid"), "4000000000");
    EXPECT_EQ(ReadUidNext(box.c_str()), 4000000000u);
}

TEST_F(StoreTest, UidsAboveTwoToTheThirtyOneNameFilesAndWrapToOne) {
    char szName[32];
    FormatMessageName(szName, sizeof(szName), 4294967295u, "100000");
    EXPECT_STREQ(szName, "4294967295-100000.MSG");
    FormatMessageName(szName, sizeof(szName), 42, "100010");
    EXPECT_STREQ(szName, "0000000042-100010.MSG");
    EXPECT_EQ(MessageUid("4294967295-100000.MSG"), 4294967295u);
    EXPECT_EQ(MessageUid("3000000000-100000.MSG"), 3000000000u);
    EXPECT_EQ(NextUid(4294967295u), 1u);
    EXPECT_EQ(NextUid(2147483647u), 2147483648u);

    Message(3000000000u, "000000");
    Message(2147483647u, "000000");
    EXPECT_EQ(ReadUidNext(box.c_str()), 3000000001u);
    fs::remove(box + "/uid");
    Message(4294967295u, "000000");
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    EXPECT_EQ(Read(box + "/uid"), "1");
}

TEST_F(StoreTest, AssignUidsAdvancesTheUidFileAndSkipsZero) {
    Message(3, "000000");
    EXPECT_EQ(AssignUids(box.c_str(), 1), 4u);
    EXPECT_EQ(AssignUids(box.c_str(), 3), 5u);
    EXPECT_EQ(Read(box + "/uid"), "8");
    WriteUidNext(box.c_str(), 4294967294u);
    EXPECT_EQ(AssignUids(box.c_str(), 3), 4294967294u);  // 4294967294, 4294967295, 1
    EXPECT_EQ(Read(box + "/uid"), "2");
}

TEST_F(StoreTest, TwoSessionsAddingAtOnceNeverShareAUid) {
    constexpr int PER_THREAD = 150;
    std::vector<uint32_t> taken[2];
    auto add = [this](std::vector<uint32_t>* pTaken) {
        for (int i = 0; i < PER_THREAD; ++i) {
            // The APPEND sequence: read, write the message, write the uid file back.
            LockHandle hLock = LockMailboxUids(box.c_str());
            uint32_t ulUid = ReadUidNext(box.c_str());
            char szName[32];
            FormatMessageName(szName, sizeof(szName), ulUid, "100000");
            std::ofstream(box + "/" + szName) << "m";
            WriteUidNext(box.c_str(), NextUid(ulUid));
            UnLockMailboxUids(hLock);
            pTaken->push_back(ulUid);
        }
    };
    std::thread a(add, &taken[0]);
    std::thread b(add, &taken[1]);
    a.join();
    b.join();
    std::set<uint32_t> all(taken[0].begin(), taken[0].end());
    all.insert(taken[1].begin(), taken[1].end());
    EXPECT_EQ(all.size(), 2u * PER_THREAD);
    EXPECT_EQ(Read(box + "/uid"), std::to_string(2 * PER_THREAD + 1));
    int32_t lExists, lRecent, lUnseen, lFirstUnseen;
    CountMailbox(box.c_str(), &lExists, &lRecent, &lUnseen, &lFirstUnseen);
    EXPECT_EQ(lExists, 2 * PER_THREAD);

    std::set<uint32_t> assigned;
    std::vector<uint32_t> firsts[2];
    auto assign = [this](std::vector<uint32_t>* pFirsts) {
        for (int i = 0; i < PER_THREAD; ++i) pFirsts->push_back(AssignUids(box.c_str(), 2));
    };
    std::thread c(assign, &firsts[0]);
    std::thread d(assign, &firsts[1]);
    c.join();
    d.join();
    for (auto& v : firsts) {
        for (uint32_t ulFirst : v) {
            EXPECT_TRUE(assigned.insert(ulFirst).second);
            EXPECT_TRUE(assigned.insert(ulFirst + 1).second);
        }
    }
}

TEST_F(StoreTest, UidValidityComesFromTheDirectoryAndStays) {
    uint32_t ulValidity = 0;
    EXPECT_FALSE(GetUidValidity((root + "/missing").c_str(), &ulValidity));
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulValidity));
    FindData data;
    ASSERT_TRUE(FindEntry(box.c_str(), &data));
    EXPECT_EQ(ulValidity, static_cast<uint32_t>(data.ftCreationTime));
    Message(1, "100000");
    WriteUidNext(box.c_str(), 2);
    uint32_t ulAgain = 0;
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulAgain));
    EXPECT_EQ(ulAgain, ulValidity);
}

TEST_F(StoreTest, CountMailboxCountsRecentUnseenAndTheFirstUnseen) {
    int32_t lExists = -1, lRecent = -1, lUnseen = -1, lFirstUnseen = -1;
    CountMailbox((root + "/missing").c_str(), &lExists, &lRecent, &lUnseen, &lFirstUnseen);
    EXPECT_EQ((std::vector<int32_t>{lExists, lRecent, lUnseen, lFirstUnseen}), (std::vector<int32_t>{0, 0, 0, 0}));

    Message(1, "000010");
    Message(2, "100010");
    Message(3, "100000");
    Write(box + "/.0000000004-000000.MSG");  // hidden: neither counted nor numbered
    Message(5, "000010");
    Message(6, "000000");
    Write(box + "/uid", "7");
    CountMailbox(box.c_str(), &lExists, &lRecent, &lUnseen, &lFirstUnseen);
    EXPECT_EQ((std::vector<int32_t>{lExists, lRecent, lUnseen, lFirstUnseen}), (std::vector<int32_t>{5, 2, 2, 3}));

    fs::remove(box + "/0000000003-100000.MSG");
    fs::remove(box + "/0000000006-000000.MSG");
    CountMailbox(box.c_str(), &lExists, &lRecent, &lUnseen, &lFirstUnseen);
    EXPECT_EQ((std::vector<int32_t>{lExists, lRecent, lUnseen, lFirstUnseen}), (std::vector<int32_t>{3, 1, 0, 0}));
}

TEST(MessageSetTest, SplitReadsElementsAsTheSetGrammarSays) {
    struct Case {
        const char* set;
        std::vector<std::string> elements;  // "n:m" or "n:*"
    } cases[] = {
        {"1", {"1:1"}},
        {"2:*", {"2:*"}},
        {"5:3", {"5:3"}},
        {"1,1", {"1:1", "1:1"}},
        {" \t7:12,3", {"7:12", "3:3"}},
        {"+4:x", {"4:0"}},
        {"abc", {"0:0"}},
        {"1,,2", {"1:1", "0:0", "2:2"}},
        {"3:", {"3:0"}},
        {"9:*5", {"9:*"}},
        {"-1", {"4294967295:4294967295"}},
        {"4294967295:99999999999", {"4294967295:4294967295"}},
    };
    for (const Case& c : cases) {
        MessageRange elements[MAX_SET_ELEMENTS];
        int nCount = SplitMessageSet(c.set, elements);
        std::vector<std::string> got;
        for (int i = 0; i < nCount; ++i) {
            got.push_back(std::to_string(elements[i].ulFirst) + ":" +
                          (elements[i].bUnbounded ? std::string("*") : std::to_string(elements[i].ulLast)));
        }
        EXPECT_EQ(got, c.elements) << c.set;
    }
}

TEST(MessageSetTest, OnlyTheFirstHundredElementsAreUsed) {
    std::string set;
    for (int i = 1; i <= 101; ++i) set += (i > 1 ? "," : "") + std::to_string(i);
    MessageRange elements[MAX_SET_ELEMENTS + 1];
    elements[MAX_SET_ELEMENTS].ulFirst = 12345;
    EXPECT_EQ(SplitMessageSet(set.c_str(), elements), 100);
    EXPECT_EQ(elements[99].ulFirst, 100u);
    EXPECT_EQ(elements[MAX_SET_ELEMENTS].ulFirst, 12345u);
}

TEST(MessageSetTest, PatternsNarrowOnlyForASingleUid) {
    struct Case {
        MatchCommand command;
        MessageRange range;
        bool bUid;
        const char* pattern;
    } cases[] = {
        {MATCH_FETCH, {42, 42, false}, true, "*-??????.MSG"},
        {MATCH_STORE, {42, 42, false}, false, "*.MSG"},
        {MATCH_STORE, {42, 42, false}, true, "0000000042-*.MSG"},
        {MATCH_STORE, {42, 0, true}, true, "*.MSG"},
        {MATCH_STORE, {3000000000u, 3000000000u, false}, true, "3000000000-*.MSG"},
        {MATCH_COPY, {7, 7, false}, true, "0000000007-??????.MSG"},
        {MATCH_COPY, {7, 8, false}, true, "*.MSG"},
    };
    for (const Case& c : cases) {
        char szPattern[64];
        MessagePattern(c.command, c.range, c.bUid, szPattern, sizeof(szPattern));
        EXPECT_STREQ(szPattern, c.pattern);
    }
}

TEST_F(StoreTest, MatchMessagesWalksEachElementInListingOrder) {
    for (uint32_t ulUid : {2u, 4u, 7u, 8u, 20u}) Message(ulUid, "000000");
    Write(box + "/.0000000005-000000.MSG");
    using V = std::vector<std::string>;
    EXPECT_EQ(Walk("2:*", false), (V{"2:4", "3:7", "4:8", "5:20"}));
    EXPECT_EQ(Walk("5:3", false), V{});
    EXPECT_EQ(Walk("1,1", false), (V{"1:2", "1:2"}));
    EXPECT_EQ(Walk("4,1:2", false), (V{"4:8", "1:2", "2:4"}));
    EXPECT_EQ(Walk("6", false), V{});
    // Under the UID prefix the UID is compared; the count is still the listing place.
    EXPECT_EQ(Walk("5:8", true), (V{"3:7", "4:8"}));
    EXPECT_EQ(Walk("9:*", true), (V{"5:20"}));
    EXPECT_EQ(Walk("8", true, MATCH_STORE), (V{"1:8"}));
    EXPECT_EQ(Walk("8", true, MATCH_COPY), (V{"1:8"}));
    EXPECT_EQ(Walk("3", true, MATCH_STORE), V{});

    // The walk stops when asked, and the entry is left in the Session.
    session->bUid = 0;
    MessageRange all{1, 0, true};
    int nCalls = 0;
    EXPECT_EQ(MatchMessages(session.get(), box.c_str(), all, ALL_MESSAGES_PATTERN, [&](uint32_t) { return ++nCalls < 2; }),
              2);
    EXPECT_STREQ(session->FindData.cFileName, "0000000004-000000.MSG");
}

TEST_F(StoreTest, FlagCodeOfAnAppendFlagList) {
    struct Case {
        const char* list;
        const char* code;
    } cases[] = {
        {"(\\Seen \\Flagged)", "101010"},
        {"(\\seen)", "100000"},
        {"(\\Recent)", "100000"},
        {"", "100000"},
        {"(\\Draft \\Deleted \\Answered \\Flagged \\Seen)", "111111"},
        {"\\Answered", "110000"},
    };
    for (const Case& c : cases) {
        char szCode[7];
        FlagCodeFromList(c.list, szCode);
        EXPECT_STREQ(szCode, c.code) << c.list;
    }
}

TEST_F(StoreTest, MailboxNamesResolveBelowTheMailDirectoryOnly) {
    fs::create_directories(root + "/inbox/Sub");
    fs::create_directory(root + "/Work");
    fs::create_directory_symlink("/etc", root + "/outside");
    struct Case {
        const char* name;
        const char* path;  // relative to the mail directory; nullptr when refused
    } cases[] = {
        {"INBOX", "inbox"},
        {"Inbox", "inbox"},
        {"inbox\\SUB", "inbox/Sub"},
        {"work", "Work"},
        {"Work/New", "Work/New"},
        {"New\\Child", "New/Child"},
        {"com10", "com10"},
        {"console", "console"},
        {"a.b", "a.b"},
        {"..", nullptr},
        {"../x", nullptr},
        {"Work/../../x", nullptr},
        {"..\\..\\etc", nullptr},
        {"/etc", nullptr},
        {"\\etc", nullptr},
        {".", nullptr},
        {"Work/.", nullptr},
        {"", nullptr},
        {"Work//x", nullptr},
        {"Work/", nullptr},
        {"C:", nullptr},
        {"C:\\Windows", nullptr},
        {"box:stream", nullptr},
        {"CON", nullptr},
        {"nul.txt", nullptr},
        {"Work/aux", nullptr},
        {"COM1", nullptr},
        {"lpt9.msg", nullptr},
        {"outside", nullptr},
        {"OUTSIDE/passwd", nullptr},
    };
    for (const Case& c : cases) {
        char szPath[MAX_PATH];
        bool bOk = ResolveMailboxPath(mailDir.c_str(), c.name, szPath, sizeof(szPath));
        if (c.path == nullptr) {
            EXPECT_FALSE(bOk) << c.name << " -> " << szPath;
        } else {
            EXPECT_TRUE(bOk) << c.name;
            EXPECT_EQ(std::string(szPath), mailDir + c.path) << c.name;
        }
    }
    char szPath[MAX_PATH];
    const char szWithNul[] = {'W', 'o', 'r', 'k', '\0', '/', '.', '.'};
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), szWithNul, sizeof(szWithNul), szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath("", "inbox", szPath, sizeof(szPath)));
    std::string longName(MAX_PATH, 'a');
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), longName.c_str(), szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), "inbox", szPath, mailDir.size() + 3));
}

TEST_F(StoreTest, InboxInAnyCaseGivesTheSameListing) {
    fs::create_directory(root + "/inbox");
    Message(1, "100000", root + "/inbox");
    Message(2, "000010", root + "/inbox");
    for (const char* pszName : {"INBOX", "Inbox", "inbox"}) {
        char szPath[MAX_PATH];
        ASSERT_TRUE(ResolveMailboxPath(mailDir.c_str(), pszName, szPath, sizeof(szPath)));
        int32_t lExists, lRecent, lUnseen, lFirstUnseen;
        CountMailbox(szPath, &lExists, &lRecent, &lUnseen, &lFirstUnseen);
        EXPECT_EQ(lExists, 2) << pszName;
        EXPECT_EQ(ReadUidNext(szPath), 3u) << pszName;
        EXPECT_TRUE(IsInboxName(pszName));
    }
    EXPECT_FALSE(IsInboxName("inbox/x"));
    EXPECT_FALSE(IsInboxName("inbo"));
}

}  // namespace
