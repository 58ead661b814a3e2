// SEARCH and UID SEARCH over a mailbox of five messages with known flags.
#include <cctype>

#include "mail_session.h"

namespace {

using SearchCommand = InboxSession;

TEST_F(SearchCommand, KeysNotFormsAndRanges) {
    // 1: Recent Seen, 2: Recent, 3: Flagged Deleted Seen, 4: Answered Deleted, 5: Seen Draft; the rest are no messages.
    Put("2-100010 4-100000 6-001110 8-010100 10-000011 .3-000000 0000000003-000000.msg.bak 5-000000/");
    const Pair cases[] = {
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
    // At most 20 tokens; NOT and its key are one token.
    std::string twenty = "SEARCH 1:*", refused = "t NO Excessively complex SEARCH attribute list\r\n";
    for (int i = 0; i < 9; i++) twenty += " SEEN";
    for (int i = 0; i < 10; i++) twenty += " NOT UNDELETED";
    EXPECT_EQ(Run("t " + twenty), "* SEARCH 3\r\nt OK SEARCH completed\r\n");
    for (std::string more : {" DRAFT", " "}) EXPECT_EQ(Run("t " + twenty + more), refused) << more;
    EXPECT_EQ(Run("t UID " + twenty + " DRAFT"), refused);
    Select("gone");  // a missing mailbox has no messages
    Talk({{"t SEARCH ALL", "* SEARCH\r\nt OK SEARCH completed\r\n"},
          {"t UID SEARCH SEEN", "* SEARCH\r\nt OK SEARCH completed\r\n"}});
}

TEST_F(SearchCommand, AResultLongerThanTheResponseBufferGoesOutWhole) {
    std::string sequences = "* SEARCH", uids = "* SEARCH";
    for (int i = 1; i <= 3000; i++) {
        Put(std::to_string(i + 1000000) + (i % 3 != 0 ? "-000000" : "-000010"));
        if (i % 3 != 0) sequences += " " + std::to_string(i), uids += " " + std::to_string(i + 1000000);
    }
    std::string answer = Run("a SEARCH UNSEEN");
    EXPECT_GT(answer.size(), sizeof(session->szResponse));
    EXPECT_EQ(answer, sequences + "\r\na OK SEARCH completed\r\n");
    EXPECT_EQ(Run("b UID SEARCH UNSEEN"), uids + "\r\nb OK SEARCH completed\r\n");
}

}  // namespace
