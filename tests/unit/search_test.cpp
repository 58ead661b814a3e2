// SEARCH and UID SEARCH over a mailbox of five messages with known flags.
#include <cctype>

#include "mail_session.h"

namespace {

class SearchCommand : public MailSession {
protected:
    void SetUp() override {
        MailSession::SetUp();
        Select("inbox");
        Put({
            "0000000002-100010.MSG",  // 1: Recent Seen
            "0000000004-100000.MSG",  // 2: Recent
            "0000000006-001110.MSG",  // 3: Flagged Deleted Seen
            "0000000008-010100.MSG",  // 4: Answered Deleted
            "0000000010-000011.MSG",  // 5: Seen Draft
            // Not messages: they take no number and never match.
            ".0000000003-000000.MSG", "0000000003-000000.msg.bak", "0000000005-000000.MSG/",
        });
    }
};

TEST_F(SearchCommand, KeysNotFormsAndRanges) {
    struct { const char *request, *numbers; } const cases[] = {
        {"SEARCH UNSEEN", " 2 4"}, {"SEARCH SEEN", " 1 3 5"}, {"SEARCH NOT SEEN", " 2 4"}, {"search not seen", " 2 4"},
        {"SEARCH NOT UNSEEN", " 1 3 5"}, {"SEARCH RECENT", " 1 2"}, {"SEARCH NOT RECENT", " 3 4 5"},
        {"SEARCH OLD", " 3 4 5"}, {"SEARCH NOT OLD", " 1 2"}, {"SEARCH NEW", " 2"}, {"SEARCH NOT NEW", " 2"},
        {"SEARCH ANSWERED", " 4"}, {"SEARCH UNANSWERED", " 1 2 3 5"}, {"SEARCH FLAGGED", " 3"}, {"SEARCH DRAFT", " 5"},
        {"SEARCH NOT UNFLAGGED", " 3"}, {"SEARCH DELETED", " 3 4"}, {"SEARCH UNDELETED", " 1 2 5"},
        {"SEARCH UNDRAFT", " 1 2 3 4"}, {"SEARCH DELETED UNSEEN", " 4"}, {"SEARCH UNDELETED  SEEN", " 1 5"},
        // A later key wins for the same flag.
        {"SEARCH SEEN UNSEEN", " 2 4"}, {"SEARCH UNSEEN NOT UNSEEN", " 1 3 5"},
        // Keys on headers, dates, sizes and text, unknown keys and the empty token are passed over.
        {"SEARCH ALL", " 1 2 3 4 5"}, {"SEARCH FROM \"x\"", " 1 2 3 4 5"}, {"SEARCH DELETEDX", " 1 2 3 4 5"},
        {"SEARCH NOTHING", " 1 2 3 4 5"}, {"SEARCH SINCE 1-Feb-1994 LARGER 10 DELETED", " 3 4"},
        // A range counts only as the first token; an upper bound of 0 is no bound.
        {"SEARCH 1:3", " 1 2 3"}, {"SEARCH 2:* DELETED", " 3 4"}, {"SEARCH 4:2", ""}, {"SEARCH 3:0", " 3 4 5"},
        {"SEARCH NOT 2:3", " 2 3"}, {"SEARCH 5 FLAGGED", " 3"}, {"SEARCH FLAGGED 1:2", " 3"}, {"SEARCH 6:*", ""},
        {"UID SEARCH UNSEEN", " 4 8"}, {"UID SEARCH 5:8", " 6 8"}, {"UID SEARCH 1:* DELETED", " 6 8"},
        {"UID SEARCH 7:* NOT DELETED", " 10"}, {"uid search 4:4", " 4"}, {"UID SEARCH UNFLAGGED UNSEEN", " 4 8"},
    };
    for (const auto& [request, numbers] : cases) {
        std::string word = std::string(request).substr(toupper(request[0]) == 'U' ? 4 : 0, 6);
        std::string expected = std::string("* SEARCH") + numbers + "\r\nt OK " + word + " completed\r\n";
        EXPECT_EQ(Run(std::string("t ") + request), expected) << request;
    }
}

TEST_F(SearchCommand, AtMostTwentyTokens) {
    std::string twenty = "SEARCH 1:*";
    for (int i = 0; i < 9; i++) twenty += " SEEN";
    for (int i = 0; i < 10; i++) twenty += " NOT UNDELETED";  // NOT and its key are one token
    const std::string refused = "t NO Excessively complex SEARCH attribute list\r\n";
    EXPECT_EQ(Run("t " + twenty), "* SEARCH 3\r\nt OK SEARCH completed\r\n");
    EXPECT_EQ(Run("t " + twenty + " DRAFT"), refused);
    EXPECT_EQ(Run("t UID " + twenty + " DRAFT"), refused);
    EXPECT_EQ(Run("t " + twenty + " "), refused);
}

TEST_F(SearchCommand, AMissingMailboxHasNoMessages) {
    Select("gone");
    EXPECT_EQ(Run("t SEARCH ALL"), "* SEARCH\r\nt OK SEARCH completed\r\n");
    EXPECT_EQ(Run("t UID SEARCH SEEN"), "* SEARCH\r\nt OK SEARCH completed\r\n");
}

TEST_F(SearchCommand, AResultLongerThanTheResponseBufferGoesOutWhole) {
    MakeMailbox("big");
    Select("big");
    std::string sequences = "* SEARCH", uids = "* SEARCH";
    for (int i = 1; i <= 3000; i++) {
        char name[32];
        snprintf(name, sizeof(name), "%010d-%s.MSG", i + 1000000, i % 3 != 0 ? "000000" : "000010");
        Put({name});
        if (i % 3 != 0) sequences += " " + std::to_string(i), uids += " " + std::to_string(i + 1000000);
    }
    std::string answer = Run("a SEARCH UNSEEN");
    EXPECT_GT(answer.size(), sizeof(session->szResponse));
    EXPECT_EQ(answer, sequences + "\r\na OK SEARCH completed\r\n");
    EXPECT_EQ(Run("b UID SEARCH UNSEEN"), uids + "\r\nb OK SEARCH completed\r\n");
}

}  // namespace
