// The mail store: UIDs and the uid file, UIDVALIDITY, counts, message sets, mailbox names.
#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/store.h"
#include "test_server.h"

namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(box); }
    void Put(std::initializer_list<const char*> names) const {
        for (const char* pszName : names) WriteFile(box + "/" + pszName, "x");
    }
    std::string UidFile() const { return ReadFile(box + "/uid"); }
    std::vector<int32_t> Counts(const std::string& path) const {
        std::vector<int32_t> v(4, -1);
        CountMailbox(path.c_str(), &v[0], &v[1], &v[2], &v[3]);
        return v;
    }
    // Walks a set as FETCH would: "seq:uid" for each message yielded.
    Strings Walk(const char* pszSet, bool bUid, MatchCommand command = MATCH_FETCH) {
        MessageRange elements[MAX_SET_ELEMENTS];
        int nCount = SplitMessageSet(pszSet, elements);
        session->bUid = bUid ? 1 : 0;
        Strings seen;
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

    TempDir dir;
    std::string box = dir.path + "/box";
    std::unique_ptr<Session> session = std::make_unique<Session>();
};

TEST_F(StoreTest, NextUidAndCountsReadOnlyVisibleMessageFiles) {
    EXPECT_EQ(ReadUidNext((dir.path + "/missing").c_str()), 1u);
    EXPECT_EQ(Counts(dir.path + "/missing"), (std::vector<int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    EXPECT_FALSE(FileExists(box + "/uid"));
    Put({"0000000001-000010.MSG", "0000000002-100010.MSG", "0000000003-100000.MSG", "0000000005-000010.MSG",
         "0000000006-000000.MSG", ".0000000050-000000.MSG"});
    // Neither a hidden message nor a directory with a message name is counted or numbered.
    fs::create_directory(box + "/0000000060-000000.MSG");
    EXPECT_EQ(Counts(box), (std::vector<int32_t>{5, 2, 2, 3}));
    EXPECT_EQ(ReadUidNext(box.c_str()), 7u);
    EXPECT_EQ(UidFile(), "7");
    WriteFile(box + "/uid", "5");  // the file wins even when lower than the messages
    EXPECT_EQ(ReadUidNext(box.c_str()), 5u);
    WriteFile(box + "/uid", "junk");
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    fs::remove(box + "/0000000003-100000.MSG");
    fs::remove(box + "/0000000006-000000.MSG");
    EXPECT_EQ(Counts(box), (std::vector<int32_t>{3, 1, 0, 0}));
}

TEST_F(StoreTest, UidsAboveTwoToTheThirtyOneKeepTenDigitsAndWrapToOne) {
    char szName[32];
    FormatMessageName(szName, sizeof(szName), 4294967295u, "100000");
    EXPECT_STREQ(szName, "4294967295-100000.MSG");
    Put({"3000000000-000000.MSG", "2147483647-000000.MSG"});
    EXPECT_EQ(ReadUidNext(box.c_str()), 3000000001u);
    EXPECT_EQ(UidFile(), "3000000001");
    EXPECT_EQ(ReadUidNext(box.c_str()), 3000000001u);
    fs::remove(box + "/uid");
    Put({szName});
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    EXPECT_EQ(AssignUids(box.c_str(), 2), 1u);
    EXPECT_EQ(UidFile(), "3");
    WriteUidNext(box.c_str(), 4294967294u);
    EXPECT_EQ(AssignUids(box.c_str(), 3), 4294967294u);  // 4294967294, 4294967295, 1
    EXPECT_EQ(UidFile(), "2");
}

TEST_F(StoreTest, TwoThreadsTakingUidsAtOnceNeverShareOne) {
    constexpr int ROUNDS = 150;
    std::vector<uint32_t> firsts[2];
    auto take = [this](std::vector<uint32_t>* pFirsts) {
        for (int i = 0; i < ROUNDS; ++i) pFirsts->push_back(AssignUids(box.c_str(), 2));
    };
    std::thread threads[] = {std::thread(take, &firsts[0]), std::thread(take, &firsts[1])};
    for (std::thread& t : threads) t.join();
    std::set<uint32_t> taken;
    for (auto& v : firsts) {
        for (uint32_t ulFirst : v) taken.insert({ulFirst, ulFirst + 1});
    }
    EXPECT_EQ(taken.size(), 4u * ROUNDS);
    EXPECT_EQ(UidFile(), std::to_string(4 * ROUNDS + 1));
}

TEST_F(StoreTest, UidValidityStaysWithTheDirectoryAndChangesWhenItIsMadeAgain) {
    uint32_t ulFirst = 0, ulNow = 0;
    EXPECT_FALSE(GetUidValidity((dir.path + "/missing").c_str(), &ulFirst));
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulFirst));
    Put({"0000000001-100000.MSG"});
    fs::rename(box + "/0000000001-100000.MSG", box + "/0000000001-000010.MSG");
    WriteUidNext(box.c_str(), 2);
    ASSERT_TRUE(GetUidValidity(box.c_str(), &ulNow));
    EXPECT_EQ(ulNow, ulFirst);
    // Once the file system's clock has moved on, a re-created directory has a new value.
    for (int i = 0; i < 100000 && ulNow == ulFirst; ++i) {
        fs::remove_all(box);
        ASSERT_TRUE(CreateDirectoryEntry(box.c_str()));
        ASSERT_TRUE(GetUidValidity(box.c_str(), &ulNow));
    }
    EXPECT_NE(ulNow, ulFirst);
}

TEST(MessageSetTest, SplitReadsEachElement) {
    struct Case {
        const char* set;
        Strings elements;  // "n:m" or "n:*"
    } cases[] = {
        {"1", {"1:1"}},        {"2:*", {"2:*"}},     {"5:3", {"5:3"}},   {"1,1", {"1:1", "1:1"}},
        {"+4:x", {"4:0"}},     {"abc", {"0:0"}},     {"3:", {"3:0"}},    {"9:*5", {"9:*"}},
        {" \t7:12,3", {"7:12", "3:3"}},              {"1,,2", {"1:1", "0:0", "2:2"}},
        {"-1", {"4294967295:4294967295"}},           {"4294967295:99999999999", {"4294967295:4294967295"}},
    };
    for (const Case& c : cases) {
        MessageRange elements[MAX_SET_ELEMENTS];
        int nCount = SplitMessageSet(c.set, elements);
        Strings got;
        for (int i = 0; i < nCount; ++i) {
            got.push_back(std::to_string(elements[i].ulFirst) + ":" +
                          (elements[i].bUnbounded ? std::string("*") : std::to_string(elements[i].ulLast)));
        }
        EXPECT_EQ(got, c.elements) << c.set;
    }

    std::string set = "1";
    for (int i = 2; i <= 101; ++i) set += "," + std::to_string(i);
    MessageRange elements[MAX_SET_ELEMENTS + 1];
    elements[MAX_SET_ELEMENTS].ulFirst = 12345;
    EXPECT_EQ(SplitMessageSet(set.c_str(), elements), 100);
    EXPECT_EQ(elements[99].ulFirst, 100u);
    EXPECT_EQ(elements[MAX_SET_ELEMENTS].ulFirst, 12345u);  // the 101st is not written
}

TEST_F(StoreTest, MatchMessagesWalksEachElementInListingOrder) {
    Put({"0000000002-000000.MSG", "0000000004-000000.MSG", "0000000007-000000.MSG", "0000000008-000000.MSG",
         "0000000020-000000.MSG", ".0000000005-000000.MSG"});
    // Elements are walked in the order given, each over the whole listing.
    EXPECT_EQ(Walk("2:*,5:3,1,1,6", false), (Strings{"2:4", "3:7", "4:8", "5:20", "1:2", "1:2"}));
    // Under the UID prefix the UID is compared; the count is still the listing place...
    EXPECT_EQ(Walk("5:8,9:*,8", true), (Strings{"3:7", "4:8", "5:20", "4:8"}));
    // ...except where a single UID narrows the listing of STORE and COPY to its file.
    EXPECT_EQ(Walk("7:*,8", true, MATCH_STORE), (Strings{"3:7", "4:8", "5:20", "1:8"}));
    EXPECT_EQ(Walk("7", true, MATCH_COPY), (Strings{"1:7"}));
    EXPECT_EQ(Walk("4", false, MATCH_STORE), (Strings{"4:8"}));

    // The walk stops when asked, and the entry is left in the Session.
    session->bUid = 0;
    int nCalls = 0;
    EXPECT_EQ(MatchMessages(session.get(), box.c_str(), MessageRange{1, 0, true}, ALL_MESSAGES_PATTERN,
                            [&](uint32_t) { return ++nCalls < 2; }),
              2);
    EXPECT_STREQ(session->FindData.cFileName, "0000000004-000000.MSG");
}

TEST_F(StoreTest, MailboxNamesResolveBelowTheMailDirectoryOnly) {
    const std::string mailDir = dir.path + "/";
    fs::create_directories(mailDir + "inbox/Sub");
    fs::create_directory(mailDir + "Work");
    fs::create_directory_symlink("/etc", mailDir + "outside");
    struct Case {
        const char* name;
        const char* path;  // below the mail directory; nullptr when refused
    } cases[] = {
        {"INBOX", "inbox"},  {"Inbox", "inbox"},  {"inbox\\SUB", "inbox/Sub"}, {"work", "Work"},
        {"Work/New", "Work/New"}, {"New\\Child", "New/Child"}, {"com10", "com10"}, {"a.b", "a.b"},
        {"..", nullptr},     {"../x", nullptr},   {"Work/../../x", nullptr},   {"..\\..\\etc", nullptr},
        {"/etc", nullptr},   {"\\etc", nullptr},  {".", nullptr},              {"Work/.", nullptr},
        {"", nullptr},       {"Work//x", nullptr}, {"Work/", nullptr},         {"C:", nullptr},
        {"box:stream", nullptr}, {"CON", nullptr}, {"nul.txt", nullptr},       {"Work/aux", nullptr},
        {"COM1", nullptr},   {"lpt9.msg", nullptr}, {"outside", nullptr},      {"OUTSIDE/passwd", nullptr},
    };
    for (const Case& c : cases) {
        char szPath[MAX_PATH] = "";
        bool bOk = ResolveMailboxPath(mailDir.c_str(), c.name, szPath, sizeof(szPath));
        EXPECT_EQ(bOk ? std::string(szPath) : "", c.path ? mailDir + c.path : "") << c.name;
    }
    char szPath[MAX_PATH];
    const char szWithNul[] = {'W', 'o', 'r', 'k', '\0', '/', '.', '.'};
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), szWithNul, sizeof(szWithNul), szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath("", "inbox", szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), std::string(MAX_PATH, 'a').c_str(), szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), "inbox", szPath, mailDir.size() + 3));
    for (const char* pszName : {"INBOX", "Inbox", "inbox"}) EXPECT_TRUE(IsInboxName(pszName)) << pszName;
    EXPECT_FALSE(IsInboxName("inbox/x"));
    EXPECT_FALSE(IsInboxName("inbo"));
}

}  // namespace
