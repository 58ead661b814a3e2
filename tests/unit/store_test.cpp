// The mail store: UIDs and the uid file, UIDVALIDITY, counts, message sets, mailbox names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>

#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "config/settings.h"
#include "dir_listing.h"
#include "store/mailbox_index.h"
#include "store/store.h"
#include "test_server.h"

namespace fs = std::filesystem;

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(box);
        Settings.MailFsync = MAIL_FSYNC_NEVER;  // what reaches the disk is not seen here
    }
    void TearDown() override { Settings = saved; }
    void Put(const std::vector<std::string>& names) const {
        for (const std::string& name : names) WriteFile(box + "/" + name, "x");
    }
    // The next UID, and then what the uid file holds.
    std::string Next() const {
        std::string next = std::to_string(ReadUidNext(box.c_str())) + " ";
        return next + ReadFile(box + "/uid");
    }
    // All, Recent, not Seen, first not Seen.
    std::vector<int32_t> Count(const std::string& path) const {
        std::vector<int32_t> v(4, -1);
        CountMailbox(path.c_str(), &v[0], &v[1], &v[2], &v[3]);
        return v;
    }

    SettingsRecord saved = Settings;
    TempDir dir;
    std::string box = dir.path + "/box";
};

TEST_F(StoreTest, NextUidAndCountsReadOnlyVisibleMessageFiles) {
    EXPECT_EQ(ReadUidNext((dir.path + "/missing").c_str()), 1u);
    EXPECT_EQ(Count(dir.path + "/missing"), (std::vector<int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(Next(), "1 ");
    EXPECT_FALSE(FileExists(box + "/uid"));
    Put({"0000000001-000010.MSG", "0000000002-100010.MSG", "0000000003-100000.MSG", "0000000005-000010.MSG",
         "0000000006-000000.MSG", ".0000000050-000000.MSG"});
    fs::create_directory(box + "/0000000060-000000.MSG");  // neither it nor the hidden one counts
    EXPECT_EQ(Count(box), (std::vector<int32_t>{5, 2, 2, 3}));
    EXPECT_EQ(Next(), "7 7");
    WriteFile(box + "/uid", "5");  // the file wins even when lower than the messages
    EXPECT_EQ(Next(), "5 5");
    // A uid file that says nothing (a crash of an older version, another program) never
    // means 1: the messages speak, and the next assignment takes up from them.
    for (const char* garbled : {"", "junk", "12junk", "0", "99999999999", "-3", " \n"}) {
        WriteFile(box + "/uid", garbled);
        EXPECT_EQ(ReadUidNext(box.c_str()), 7u) << garbled;
        WriteFile(box + "/uid", garbled);
        EXPECT_EQ(AssignUids(box.c_str(), 2), 7u) << garbled;
        EXPECT_EQ(ReadFile(box + "/uid"), "9");
    }
    WriteFile(box + "/uid", "7\n");  // a line end written by hand is no garbage
    EXPECT_EQ(ReadUidNext(box.c_str()), 7u);
    fs::remove(box + "/uid");
    fs::create_directory(box + "/uid");  // a child folder of that name is no uid file
    EXPECT_EQ(ReadUidNext(box.c_str()), 7u);
    for (const char* name : {"/0000000003-100000.MSG", "/0000000006-000000.MSG"}) fs::remove(box + name);
    EXPECT_EQ(Count(box), (std::vector<int32_t>{3, 1, 0, 0}));
}

TEST_F(StoreTest, UidsAboveTwoToTheThirtyOneKeepTenDigitsAndWrapToOne) {
    char szName[32];
    FormatMessageName(szName, sizeof(szName), 4294967295u, "100000");
    EXPECT_STREQ(szName, "4294967295-100000.MSG");
    Put({"3000000000-000000.MSG", "2147483647-000000.MSG"});
    EXPECT_EQ(Next(), "3000000001 3000000001");
    EXPECT_EQ(Next(), "3000000001 3000000001");  // now from the file
    fs::remove(box + "/uid");
    Put({szName});
    EXPECT_EQ(ReadUidNext(box.c_str()), 1u);
    EXPECT_EQ(AssignUids(box.c_str(), 2), 1u);
    EXPECT_EQ(ReadFile(box + "/uid"), "3");
    fs::remove(box + "/" + szName);
    WriteUidNext(box.c_str(), 4294967294u);
    EXPECT_EQ(AssignUids(box.c_str(), 3), 4294967294u);  // 4294967294, 4294967295, 1
    EXPECT_EQ(ReadFile(box + "/uid"), "2");
}

// While a session has the mailbox open its index tells which UIDs messages hold; a run that
// wraps past 4294967295 still skips one that a message at the bottom holds.
TEST_F(StoreTest, UidsTakenWhileTheMailboxIsOpenSkipThoseMessagesHold) {
    Put({"0000000001-000000.MSG"});
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(box.c_str(), &result);
    ASSERT_EQ(result, LIST_OK);
    ASSERT_TRUE(pIndex->Watched());
    WriteUidNext(box.c_str(), 4294967295u);
    EXPECT_EQ(AssignUids(box.c_str(), 2), 2u);  // 4294967295 and 1 would give UID 1 twice
    EXPECT_EQ(ReadFile(box + "/uid"), "4");
    // A message another program placed without the UID lock is seen at once.
    Put({"0000000004-000000.MSG"});
    EXPECT_EQ(AssignUids(box.c_str(), 1), 5u);
    EXPECT_EQ(ReadFile(box + "/uid"), "6");
}

TEST_F(StoreTest, TwoThreadsTakingUidsAtOnceNeverShareOne) {
    constexpr int ROUNDS = 150;
    std::set<uint32_t> taken[2], pairs;
    auto take = [this](std::set<uint32_t>* pTaken) {
        for (int i = 0; i < ROUNDS; ++i) pTaken->insert(AssignUids(box.c_str(), 2));
    };
    std::thread other(take, &taken[1]);
    take(&taken[0]);
    other.join();
    taken[0].merge(taken[1]);
    for (uint32_t ul = 1; ul < 4 * ROUNDS; ul += 2) pairs.insert(ul);
    EXPECT_EQ(taken[0], pairs);  // every call took a pair of its own
    EXPECT_EQ(ReadFile(box + "/uid"), std::to_string(4 * ROUNDS + 1));
}

// Messages received under hidden names take their UIDs' names only once whole: a run that
// another writer has passed meanwhile (a later UID taken, a message named above it) takes fresh
// UIDs, so that names appear in UID order.
TEST_F(StoreTest, NewMessagesNamedAfterALaterOneTakeUidsAboveIt) {
    auto publish = [&](uint32_t* pulFirst, uint32_t ulCount, uint32_t ulRunEnd) {
        std::vector<IncomingMessage> incoming(ulCount);
        for (uint32_t i = 0; i < ulCount; i++) {
            incoming[i].incoming = box + "/.in" + std::to_string(i);
            WriteFile(incoming[i].incoming, "x");
            std::snprintf(incoming[i].szFlagCode, sizeof(incoming[i].szFlagCode), "100000");
        }
        return PublishMessages(box.c_str(), pulFirst, incoming, ulRunEnd);
    };
    uint32_t ulFirst = AssignUids(box.c_str(), 3);
    ASSERT_EQ(ulFirst, 1u);
    ASSERT_EQ(AssignUids(box.c_str(), 1), 4u);
    Put({"0000000004-100000.MSG"});
    // The first two of the run, then the last, as COPY names them in batches.
    EXPECT_EQ(publish(&ulFirst, 2, 4), 2u);
    EXPECT_EQ(ulFirst, 5u);
    uint32_t ulLast = 3;
    EXPECT_EQ(publish(&ulLast, 1, 4), 1u);
    EXPECT_EQ(ulLast, 7u);
    // Nobody in between: the run keeps its UIDs.
    ulFirst = AssignUids(box.c_str(), 2);
    EXPECT_EQ(ulFirst, 8u);
    EXPECT_EQ(publish(&ulFirst, 2, 0), 2u);
    EXPECT_EQ(ulFirst, 8u);
    std::vector<ListedMessage> listed;
    ASSERT_EQ(ListMessages(box.c_str(), &listed), LIST_OK);
    std::string uids;
    for (const ListedMessage& m : listed) uids += std::to_string(m.ulUid) + " ";
    EXPECT_EQ(uids, "4 5 6 7 8 9 ");
    EXPECT_EQ(ReadFile(box + "/uid"), "10");
}

// A uid file left behind the messages, while another session renames the message of that UID
// for its flags over and over: the assignment must still see the message and pass it by. The
// mailbox is big enough that a listing takes several reads of the directory.
TEST_F(StoreTest, AUidIsNeverGivenWhileItsMessageIsBeingRenamed) {
    for (int i = 1; i <= 1000; ++i) {
        char szName[32];
        FormatMessageName(szName, sizeof(szName), static_cast<uint32_t>(i) + 10, "000000");
        WriteFile(box + "/" + szName, "");
    }
    Put({"0000000005-100000.MSG"});
    std::atomic<bool> bStop{false};
    std::thread renamer([&] {
        const std::string a = box + "/0000000005-100000.MSG", b = box + "/0000000005-000010.MSG";
        for (bool bSeen = false; !bStop; bSeen = !bSeen) {
            RenameMessageFile(box.c_str(), (bSeen ? b : a).c_str(), (bSeen ? a : b).c_str());
        }
    });
    int nCollisions = 0;
    for (int i = 0; i < 100; ++i) {
        WriteUidNext(box.c_str(), 5);
        if (AssignUids(box.c_str(), 1) == 5) ++nCollisions;
    }
    bStop = true;
    renamer.join();
    EXPECT_EQ(nCollisions, 0);
}

TEST_F(StoreTest, MailIsCreatedForItsOwnerAloneUnlessTheGroupIsShared) {
    auto mode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    const mode_t oldMask = ::umask(0);  // the modes must not depend on it
    for (int nShared : {0, 1}) {
        Settings.MailSharedGroup = nShared;
        const std::string child = box + "/child" + std::to_string(nShared);
        ASSERT_TRUE(CreateMailboxDirectory(child.c_str()));
        EXPECT_EQ(mode(child), nShared ? 0770 : 0700);
        ASSERT_NE(AssignUids(child.c_str(), 1), 0u);
        EXPECT_EQ(mode(child + "/uid"), nShared ? 0660 : 0600);
        EXPECT_EQ(SortedNames(child), std::vector<std::string>{"uid"});  // no temporary left
        WriteFile(child + "/m", "x");
        ASSERT_TRUE(CopyFileNoReplace((child + "/m").c_str(), (child + "/c").c_str(), MailFileMode()));
        EXPECT_EQ(mode(child + "/c"), nShared ? 0660 : 0600);
    }
    ::umask(oldMask);
}

TEST(MessageSetTest, GrammarNamesTheSameNumbersWhicheverWayARangeIsWritten) {
    // The set, "*" (the highest number in use), and every number from 1 to 12 that it names; "BAD"
    // for text that is no message set.
    const struct { const char* set; uint32_t star; const char* named; } cases[] = {
        {"3:1", 9, "1 2 3"}, {"1:3", 9, "1 2 3"}, {"*:7", 9, "7 8 9"}, {"7:*", 9, "7 8 9"},
        {"*", 9, "9"}, {"12:*", 9, "9 10 11 12"}, {"1:2,5", 9, "1 2 5"}, {"5,1:2,2", 9, "1 2 5"},
        {"4294967295", 9, ""}, {"*", 0, ""}, {"2:*", 0, "1 2"},
        {"", 9, "BAD"}, {":*", 9, "BAD"}, {"0", 9, "BAD"}, {"0:3", 9, "BAD"}, {"1:", 9, "BAD"},
        {"1,", 9, "BAD"}, {",1", 9, "BAD"}, {"1,,2", 9, "BAD"}, {" 1", 9, "BAD"}, {"+1", 9, "BAD"},
        {"1 2", 9, "BAD"}, {"**", 9, "BAD"}, {"1:2:3", 9, "BAD"}, {"4294967296", 9, "BAD"}, {"01", 9, "BAD"},
        {"1:x", 9, "BAD"},
    };
    for (const auto& c : cases) {
        std::vector<SetElement> elements;
        std::string named;
        if (!ParseMessageSet(c.set, &elements)) {
            named = "BAD";
            EXPECT_TRUE(elements.empty()) << c.set;
        }
        for (uint32_t n = 1; n <= 12 && named != "BAD"; ++n) {
            if (SetContains(elements, n, c.star)) named += (named.empty() ? "" : " ") + std::to_string(n);
        }
        EXPECT_EQ(named, c.named) << c.set << " with * = " << c.star;
    }
}

TEST_F(StoreTest, ListingHoldsFullMessageNamesInUidOrderAndTellsAMissingDirectory) {
    Put({"0000000010-000010.MSG", "0000000002-100000.MSG", "0000000002-000001.MSG", "0000000003.MSG",
         "notes.MSG", "0000000004-000200.MSG", "0000000000-000000.MSG", ".0000000005-000000.MSG",
         "0000000006-000000.msg", "0000000007-111111.MSG"});
    fs::create_directory(box + "/0000000008-000000.MSG");
    std::vector<ListedMessage> listed;
    ASSERT_EQ(ListMessages(box.c_str(), &listed), LIST_OK);
    std::string got;
    for (const ListedMessage& m : listed) {
        char szCode[7];
        FlagCodeOf(m.fFlags, szCode);
        got += std::to_string(m.ulUid) + "-" + szCode + " ";
    }
    // Of the two files of UID 2 one is taken, whichever the directory holds first.
    EXPECT_TRUE(got == "2-100000 7-111111 10-000010 " || got == "2-000001 7-111111 10-000010 ") << got;
    EXPECT_EQ(ListMessages((dir.path + "/missing").c_str(), &listed), LIST_MISSING);
    EXPECT_TRUE(listed.empty());
}

TEST_F(StoreTest, MailboxNamesResolveBelowTheMailDirectoryOnly) {
    const std::string mailDir = dir.path + "/";
    for (const char* sub : {"inbox/Sub", "Work"}) fs::create_directories(mailDir + sub);
    fs::create_directory_symlink("/etc", mailDir + "outside");
    char szPath[MAX_PATH];
    const std::string longName(MAX_PATH, 'a');
    const auto resolve = [&](const char* pszName) {
        return ResolveMailboxPath(mailDir.c_str(), pszName, szPath, sizeof(szPath)) ? std::string(szPath) : "refused";
    };
    const std::pair<const char*, const char*> accepted[] = {
        {"INBOX", "inbox"}, {"Inbox", "inbox"}, {"inbox\\SUB", "inbox/Sub"}, {"work", "Work"}, {"Work/New", "Work/New"},
        {"New\\Child", "New/Child"}, {"com10", "com10"}, {"a.b", "a.b"},
    };
    for (const auto& [name, path] : accepted) EXPECT_EQ(resolve(name), mailDir + path) << name;
    for (const char* name : {"..", "../x", "Work/../../x", "..\\..\\etc", "/etc", "\\etc", ".", "Work/.", "", "Work//x",
                             "Work/", "C:", "box:stream", "CON", "nul.txt", "Work/aux", "COM1", "lpt9.msg", "outside",
                             "OUTSIDE/passwd", "a?b", "Work/*", longName.c_str()}) {
        EXPECT_EQ(resolve(name), "refused") << name;
    }
    const char szWithNul[] = {'W', 'o', 'r', 'k', '\0', '/', '.', '.'};
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), szWithNul, sizeof(szWithNul), szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath("", "inbox", szPath, sizeof(szPath)));
    EXPECT_FALSE(ResolveMailboxPath(mailDir.c_str(), "inbox", szPath, mailDir.size() + 3));
    EXPECT_TRUE(IsInboxName("INBOX") && IsInboxName("Inbox") && IsInboxName("inbox"));
    EXPECT_FALSE(IsInboxName("inbox/x") || IsInboxName("inbo"));
}
