// SEARCH and UID SEARCH over a mailbox of five messages with known flags.
#include <gtest/gtest.h>

#include <strings.h>

#include "mailbox_session.h"

namespace {

class SearchCommand : public MailboxSession {
protected:
    void SetUp() override {
        MailboxSession::SetUp();
        Put({
            "0000000002-100010.MSG",  // 1: Recent Seen
            "0000000004-100000.MSG",  // 2: Recent
            "0000000006-001110.MSG",  // 3: Flagged Deleted Seen
            "0000000008-010100.MSG",  // 4: Answered Deleted
            "0000000010-000011.MSG",  // 5: Seen Draft
        });
    }
    // The numbers of the SEARCH line, or the whole answer when it is not a SEARCH and an OK.
    std::string Search(const std::string& request) {
        std::string answer = Run(("t " + request).c_str());
        std::string command = strncasecmp(request.c_str(), "UID ", 4) == 0 ? request.substr(4) : request;
        command = command.substr(0, command.find(' '));
        std::string tail = "\r\nt OK " + command + " completed\r\n";
        if (answer.rfind("* SEARCH", 0) != 0 || answer.size() < tail.size() ||
            answer.compare(answer.size() - tail.size(), tail.size(), tail) != 0) {
            return answer;
        }
        return answer.substr(8, answer.size() - 8 - tail.size());
    }
};

struct SearchCase {
    const char* request;
    const char* numbers;
};

TEST_F(SearchCommand, FlagKeys) {
    const SearchCase cases[] = {
        {"SEARCH UNSEEN", " 2 4"},
        {"SEARCH SEEN", " 1 3 5"},
        {"SEARCH NOT SEEN", " 2 4"},
        {"SEARCH NOT UNSEEN", " 1 3 5"},
        {"search not seen", " 2 4"},
        {"SEARCH RECENT", " 1 2"},
        {"SEARCH NOT RECENT", " 3 4 5"},
        {"SEARCH OLD", " 3 4 5"},
        {"SEARCH NOT OLD", " 1 2"},
        {"SEARCH NEW", " 2"},
        {"SEARCH NOT NEW", " 2"},
        {"SEARCH ANSWERED", " 4"},
        {"SEARCH UNANSWERED", " 1 2 3 5"},
        {"SEARCH FLAGGED", " 3"},
        {"SEARCH NOT UNFLAGGED", " 3"},
        {"SEARCH DELETED", " 3 4"},
        {"SEARCH UNDELETED", " 1 2 5"},
        {"SEARCH DRAFT", " 5"},
        {"SEARCH UNDRAFT", " 1 2 3 4"},
        {"SEARCH DELETED UNSEEN", " 4"},
        // A later key wins for the same flag.
        {"SEARCH SEEN UNSEEN", " 2 4"},
        {"SEARCH UNSEEN NOT UNSEEN", " 1 3 5"},
        // Keys on headers, dates, sizes and text are passed over.
        {"SEARCH ALL", " 1 2 3 4 5"},
        {"SEARCH FROM \"x\"", " 1 2 3 4 5"},
        {"SEARCH SINCE 1-Feb-1994 LARGER 10 DELETED", " 3 4"},
        {"SEARCH DELETEDX", " 1 2 3 4 5"},
        // An empty token, from two blanks, is passed over like any unknown key.
        {"SEARCH UNDELETED  SEEN", " 1 5"},
        {"SEARCH NOTHING", " 1 2 3 4 5"},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(Search(c.request), c.numbers);
    }
}

TEST_F(SearchCommand, RangeOnlyAsTheFirstToken) {
    const SearchCase cases[] = {
        {"SEARCH 1:3", " 1 2 3"},
        {"SEARCH 2:* DELETED", " 3 4"},
        {"SEARCH 4:2", ""},
        {"SEARCH 3:0", " 3 4 5"},  // an upper bound of 0 is no bound
        {"SEARCH NOT 2:3", " 2 3"},
        {"SEARCH 5 FLAGGED", " 3"},  // a lone number is no range
        {"SEARCH FLAGGED 1:2", " 3"},
        {"SEARCH 6:*", ""},
        {"UID SEARCH UNSEEN", " 4 8"},
        {"UID SEARCH 5:8", " 6 8"},
        {"UID SEARCH 1:* DELETED", " 6 8"},
        {"UID SEARCH 7:* NOT DELETED", " 10"},
        {"uid search 4:4", " 4"},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(Search(c.request), c.numbers);
    }
}

TEST_F(SearchCommand, AtMostTwentyTokens) {
    std::string twenty = "SEARCH 1:*";
    for (int i = 0; i < 9; i++) twenty += " SEEN";
    for (int i = 0; i < 10; i++) twenty += " NOT UNDELETED";  // NOT and its key are one token
    EXPECT_EQ(Search(twenty), " 3");
    EXPECT_EQ(Search(twenty + " DRAFT"), "t NO Excessively complex SEARCH attribute list\r\n");
    EXPECT_EQ(Search("UID " + twenty + " DRAFT"), "t NO Excessively complex SEARCH attribute list\r\n");
    EXPECT_EQ(Search(twenty + " "), "t NO Excessively complex SEARCH attribute list\r\n");
}

TEST_F(SearchCommand, OnlyMessageFilesCount) {
    Put({".0000000003-000000.MSG", "0000000003-000000.msg.bak"});
    ASSERT_EQ(mkdir((dir.path + "/0000000005-000000.MSG").c_str(), 0700), 0);
    EXPECT_EQ(Search("SEARCH UNSEEN"), " 2 4");
    EXPECT_EQ(Search("UID SEARCH UNFLAGGED UNSEEN"), " 4 8");
}

TEST_F(SearchCommand, WrongStateAndMissingMailbox) {
    session->State = Imap4Authorization;
    EXPECT_EQ(Run("t SEARCH ALL"), "t NO Command unrecognized: SEARCH\r\n");
    session->State = Veve4Delected;
    snprintf(session->szMailbox, sizeof(session->szMailbox), "%s/gone", dir.path.c_str());
    EXPECT_EQ(Run("t SEARCH ALL"), "* SEARCH\r\nt OK SEARCH completed\r\n");
    EXPECT_EQ(Run("t UID SEARCH SEEN"), "* SEARCH\r\nt OK SEARCH completed\r\n");
}

class LargeSearch : public MailboxSession {};

TEST_F(LargeSearch, LongResultGoesOutWhole) {
    // Far more numbers than one response buffer holds.
    std::vector<std::string> names;
    std::string expectedSequences = "* SEARCH";
    std::string expectedUids = "* SEARCH";
    for (int i = 1; i <= 3000; i++) {
        char name[32];
        snprintf(name, sizeof(name), "%010d-%s.MSG", i + 1000000, i % 3 != 0 ? "000000" : "000010");
        names.push_back(name);
        if (i % 3 != 0) {
            expectedSequences += " " + std::to_string(i);
            expectedUids += " " + std::to_string(i + 1000000);
        }
    }
    Put(names);
    std::string answer = Run("a SEARCH UNSEEN");
    EXPECT_GT(answer.size(), sizeof(session->szResponse));
    EXPECT_EQ(answer, expectedSequences + "\r\na OK SEARCH completed\r\n");
    EXPECT_EQ(Run("b UID SEARCH UNSEEN"), expectedUids + "\r\nb OK SEARCH completed\r\n");
}

}  // namespace
