// SEARCH and UID SEARCH over a mailbox of real-world messages (tests/unit/search_mail, made by
// Python's email package), and the criteria grammar.
#include <utime.h>

#include <cstring>
#include <ctime>
#include <fstream>

#include "imap/search.h"
#include "mail_session.h"

namespace {

struct Stored {
    const char* pszName;  // UID and flag code (Recent Answered Flagged Deleted Seen Draft)
    const char* pszDay;   // the file's last-write day, at noon UTC
};

// Message n of search_mail is stored as the n-th entry; UIDs are ten times the sequence number.
const Stored kStored[] = {
    {"0000000010-100010.MSG", "2024-02-02"}, {"0000000020-001000.MSG", "2024-03-16"},
    {"0000000030-010000.MSG", "2024-03-15"}, {"0000000040-000100.MSG", "2024-01-02"},
    {"0000000050-000001.MSG", "2024-04-03"}, {"0000000060-100000.MSG", "2024-04-05"},
    {"0000000070-000010.MSG", "2024-04-08"}, {"0000000080-000000.MSG", "2024-04-09"},
};

class SearchCommand : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        for (size_t i = 0; i < std::size(kStored); i++) {
            std::ifstream in(std::string(VEVE4D_SOURCE_DIR) + "/tests/unit/search_mail/" + std::to_string(i + 1) + ".eml",
                             std::ios::binary);
            ASSERT_TRUE(in) << i;
            std::string path = box + "/" + kStored[i].pszName;
            WriteFile(path, std::string(std::istreambuf_iterator<char>(in), {}));
            std::tm day{};
            ASSERT_TRUE(strptime(kStored[i].pszDay, "%Y-%m-%d", &day));
            day.tm_hour = 12;
            utimbuf times{timegm(&day), timegm(&day)};
            ASSERT_EQ(utime(path.c_str(), &times), 0);
        }
    }
    std::string Search(const std::string& criteria) { return Run("t SEARCH " + criteria); }
};

TEST_F(SearchCommand, EveryKeyAndItsNegation) {
    const Pair cases[] = {
        {"ALL", " 1 2 3 4 5 6 7 8"},
        {"ANSWERED", " 3"}, {"UNANSWERED", " 1 2 4 5 6 7 8"}, {"DELETED", " 4"}, {"NOT DELETED", " 1 2 3 5 6 7 8"},
        {"FLAGGED", " 2"}, {"UNFLAGGED", " 1 3 4 5 6 7 8"}, {"SEEN", " 1 7"}, {"UNSEEN", " 2 3 4 5 6 8"},
        {"DRAFT", " 5"}, {"UNDRAFT", " 1 2 3 4 6 7 8"}, {"RECENT", " 1 6"}, {"OLD", " 2 3 4 5 7 8"},
        {"NEW", " 6"}, {"NOT NEW", " 1 2 3 4 5 7 8"}, {"undeleted unseen", " 2 3 5 6 8"},
        // No message carries a keyword.
        {"KEYWORD $Junk", ""}, {"UNKEYWORD $Junk", " 1 2 3 4 5 6 7 8"},
        // Addresses: display names decoded, comments and folding seen through; the forwarded
        // message's header is not the header. imaptest's search-* tests judge the plain forms of
        // addresses, header fields, sent dates, sizes and message sets.
        {"FROM alice", " 1 4"}, {"FROM \"J\xC3\xBCrgen m\xC3\x9CLLER\"", " 2"}, {"FROM \"Ren\xC3\xA9" "e <renee\"", " 5"},
        {"FROM dave", ""}, {"TO user5", " 6"}, {"TO \"user3@example.net\"", " 6"}, {"NOT TO bob", " 6"}, {"CC carol", " 2"},
        {"BCC AUDIT", " 2"},
        // Subjects across encoded words, plain text and a fold; raw ISO-2022 and encoded words.
        {"SUBJECT \"M\xC3\xBCnchen und eine sehr\"", " 2"}, {"SUBJECT caf\xC3\xA9", " 5"}, {"SUBJECT lunch", " 4"},
        {"SUBJECT \xE4\xBC\x9A\xE8\xAD\xB0", " 7"}, {"SUBJECT \xE6\x9D\xB1\xE4\xBA\xAC", " 8"},
        {"HEADER X-Tracking \"theta iota\"", " 6"}, {"HEADER x-tracking \"\"", " 6"},
        {"HEADER Content-Transfer-Encoding quoted", " 2 5"},
        // Bodies through base64, quoted-printable (a soft break inside a word), charsets and the
        // forwarded message, whose header belongs to the body.
        {"BODY zebracorn", " 3"}, {"BODY unicorn", " 3"}, {"BODY \"Stra\xC3\x9F" "e ist gr\xC3\xB6\xC3\x9F" "er\"", " 2"},
        {"BODY wetter", " 2"}, {"BODY \"CR\xC3\x88ME\"", " 5"}, {"BODY \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", " 7"},
        {"BODY fountain", " 4"}, {"BODY \"lunch plans\"", " 4"}, {"BODY quarterly", ""}, {"NOT BODY the", " 2 5 6 7 8"},
        {"TEXT quarterly", " 1"}, {"TEXT lunch", " 4"}, {"TEXT example.jp", " 7 8"},
        // Internal dates are the file's day; sent dates the Date: field's, its zone disregarded.
        {"BEFORE 15-Mar-2024", " 1 4"}, {"ON 15-Mar-2024", " 3"}, {"NOT ON 15-Mar-2024", " 1 2 4 5 6 7 8"},
        {"SINCE 5-Apr-2024", " 6 7 8"}, {"SENTON 1-Feb-2024", " 1"}, {"SENTON \"16-Mar-2024\"", " 2"},
        // Sizes are file sizes; sets anywhere.
        {"LARGER 261", " 2 3 4 5 6 7"}, {"SMALLER 262", " 1 8"}, {"SEEN 1:3", " 1"}, {"UID 45", ""}, {"9:20", ""},
        {"NOT UID 10,30:70", " 2 8"},
        // Nesting.
        {"OR FLAGGED DRAFT", " 2 5"}, {"OR (FROM alice SEEN) BODY zebracorn", " 1 3"},
        {"NOT (SEEN OR RECENT DRAFT)", " 2 3 4 5 6 7 8"},
        {"NOT OR SEEN OR RECENT DRAFT", " 2 3 4 8"}, {"((((FLAGGED))))", " 2"}, {"OR OR ANSWERED DELETED DRAFT", " 3 4 5"},
        {"NOT NOT SEEN", " 1 7"}, {"(UID 30) 3", " 3"}, {"2 (UID 30)", ""},
        {"CHARSET UTF-8 BODY cr\xC3\xA8me", " 5"}, {"charset us-ascii SEEN", " 1 7"},
    };
    for (const auto& [criteria, numbers] : cases) {
        EXPECT_EQ(Search(criteria), std::string("* SEARCH") + numbers + "\r\nt OK SEARCH completed\r\n") << criteria;
    }
    Talk({{"t UID SEARCH SEEN", "* SEARCH 10 70\r\nt OK SEARCH completed\r\n"},
          {"t UID SEARCH 2:3 OR DRAFT ANSWERED", "* SEARCH 30\r\nt OK SEARCH completed\r\n"},
          {"t UID SEARCH UID 50:*", "* SEARCH 50 60 70 80\r\nt OK SEARCH completed\r\n"}});
}

TEST_F(SearchCommand, MalformedCriteriaSearchNothing) {
    const char* bad[] = {
        "FOO", "SEEN FOO", "FROM", "OR SEEN", "NOT", "(SEEN", "SEEN)", "()", "0", "1:x", "1,,2", "UID", "UID 0:3",
        "SINCE 31-Feb-2024", "SINCE 1-Foo-2024", "BEFORE 2024-01-01", "LARGER x", "LARGER -1", "LARGER 99999999999",
        "HEADER X-Tracking", "SUBJECT \"open", "CHARSET", "CHARSET UTF-8", "KEYWORD", "ALL ", "SEEN  ",
    };
    for (const char* criteria : bad) {
        std::string answer = Search(criteria);
        EXPECT_EQ(answer.rfind("t BAD ", 0), 0u) << criteria << ": " << answer;
        EXPECT_EQ(answer.find("* SEARCH"), std::string::npos) << criteria;
    }
    EXPECT_EQ(Search("CHARSET ISO-8859-1 BODY caf\xE9"), "t NO [BADCHARSET (US-ASCII UTF-8)] SEARCH charset not supported\r\n");
    EXPECT_EQ(Run("t UID SEARCH").rfind("t BAD ", 0), 0u);
    // Groups nest as deep as a client goes, within a bound.
    std::string deep = std::string(60, '(') + "SEEN" + std::string(60, ')');
    EXPECT_EQ(Search(deep), "* SEARCH 1 7\r\nt OK SEARCH completed\r\n");
    std::string deeper = std::string(SEARCH_MAX_DEPTH + 1, '(') + "SEEN" + std::string(SEARCH_MAX_DEPTH + 1, ')');
    EXPECT_EQ(Search(deeper).rfind("t BAD ", 0), 0u);
    std::string nots;
    for (int i = 0; i < SEARCH_MAX_DEPTH + 1; i++) nots += "NOT ";
    EXPECT_EQ(Search(nots + "SEEN").rfind("t BAD ", 0), 0u);
}

// Strings come as atoms, quoted strings (with escapes) or literals.
TEST(SearchCriteria, StringForms) {
    const Pair cases[] = {
        {"FROM alice", "alice"}, {"FROM \"Al \\\"x\\\\ ice\"", "al \"x\\ ice"}, {"FROM {5}\r\nAl(c)", "al(c)"},
        {"FROM {5+}\r\nAL ce", "al ce"}, {"FROM {0}\r\n", ""}, {"FROM \"\"", ""},
    };
    for (const auto& [criteria, value] : cases) {
        SearchQuery query;
        std::string error;
        ASSERT_EQ(ParseSearch(criteria, strlen(criteria), &query, &error), SEARCH_PARSED) << criteria << error;
        ASSERT_EQ(query.nodes.size(), 2u) << criteria;
        EXPECT_EQ(query.nodes[1].strValue, value) << criteria;
    }
    for (const char* criteria : {"FROM {6}\r\nAlice", "FROM {5}Alice", "FROM {5}\r\nAlice SEEN)", "FROM {x}\r\n"}) {
        SearchQuery query;
        std::string error;
        EXPECT_EQ(ParseSearch(criteria, strlen(criteria), &query, &error), SEARCH_BAD) << criteria;
    }
}

TEST(SearchCriteria, HeaderDates) {
    const std::pair<const char*, int64_t> cases[] = {
        {"Thu, 01 Feb 2024 23:30:00 -0800", SearchDayNumber(2024, 2, 1)},
        {"1 Feb 2024", SearchDayNumber(2024, 2, 1)},
        {"Sat, 29 Feb 2020 00:00 GMT", SearchDayNumber(2020, 2, 29)},
        {"Mon, 3 Jan 99 10:00 EST", SearchDayNumber(1999, 1, 3)},
        {"  Tuesday, 9 April 2024 1:00 +0900", SearchDayNumber(2024, 4, 9)},
    };
    for (const auto& [text, day] : cases) {
        int64_t parsed = -1;
        EXPECT_TRUE(ParseHeaderDate(text, &parsed)) << text;
        EXPECT_EQ(parsed, day) << text;
    }
    int64_t parsed = 0;
    for (const char* text : {"", "yesterday", "30 Feb 2024", "Feb 1 2024"}) EXPECT_FALSE(ParseHeaderDate(text, &parsed)) << text;
    EXPECT_EQ(SearchDayNumber(1970, 1, 1), 0);
}

using SearchResult = InboxSession;

// Shapes that cross the reader's buffers and the part walker's edges.
TEST_F(SearchResult, LongLinesLongHeadersAndNestedParts) {
    std::string giant(70000, 'x');
    giant.replace(65533, 6, "NEEDLE");  // across the end of the first 64 KiB piece
    std::string padding;
    for (int i = 0; i < 200; i++) padding += "X-Padding-" + std::to_string(i) + ": " + std::string(60, 'p') + "\r\n";
    const std::string files[] = {
        "Subject: giant\r\n\r\n" + giant + "\r\n",
        // The searched field comes after more header than the first read holds.
        padding + "X-Late: findme\r\n\r\nbody\r\n",
        // A digest's parts are messages; a line that only begins with the boundary is text.
        "Content-Type: multipart/digest; boundary=\"b1\"\r\n\r\n--b1\r\n\r\nSubject: inner\r\n\r\n--b1x NEEDLE\r\n"
        "--b1--\r\nafter the end\r\n",
        // An attachment that is not text is not searched, even when its bytes hold the word.
        "Content-Type: multipart/mixed; boundary=\"q\"\r\n\r\n--q\r\nContent-Type: application/octet-stream\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nTkVFRExF\r\n--q\r\nContent-Type: text/plain\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nbm90aGluZyBo\r\nZXJl\r\n--q--\r\n",
        // A header that never ends.
        "Subject: headless\r\nX-Late: findme",
    };
    for (size_t i = 0; i < std::size(files); i++) WriteFile(box + "/" + std::to_string(1000000001 + i) + "-000000.MSG", files[i]);
    const Pair cases[] = {
        {"BODY needle", " 1 3"}, {"HEADER X-Late findme", " 2 5"}, {"BODY \"Subject: inner\"", " 3"},
        {"SUBJECT inner", ""}, {"BODY \"after the end\"", ""}, {"BODY \"nothing here\"", " 4"}, {"TEXT headless", " 5"},
        {"BODY headless", ""},
    };
    for (const auto& [criteria, numbers] : cases) {
        EXPECT_EQ(Run(std::string("t SEARCH ") + criteria), std::string("* SEARCH") + numbers + "\r\nt OK SEARCH completed\r\n")
            << criteria;
    }
}

// Sizes are counted as RFC822.SIZE counts them: a terminating "." line is no part of the message.
TEST_F(SearchResult, SizeLeavesOutAStoredTerminator) {
    const std::string text = "Subject: x\r\n\r\nbody\r\n";  // 20 bytes
    WriteFile(box + "/0000000001-000000.MSG", text + ".\r\n");
    WriteFile(box + "/0000000002-000000.MSG", text + "x.\r\n");
    Talk({{"t SEARCH LARGER 19", "* SEARCH 1 2\r\nt OK SEARCH completed\r\n"},
          {"t SEARCH LARGER 20", "* SEARCH 2\r\nt OK SEARCH completed\r\n"},
          {"t SEARCH SMALLER 21", "* SEARCH 1\r\nt OK SEARCH completed\r\n"},
          {"t SEARCH SMALLER 24", "* SEARCH 1\r\nt OK SEARCH completed\r\n"}});
}

TEST_F(SearchResult, ALongerResultThanTheResponseBufferGoesOutWhole) {
    std::string sequences = "* SEARCH", uids = "* SEARCH";
    for (int i = 1; i <= 3000; i++) {
        Put(std::to_string(i + 1000000) + (i % 3 != 0 ? "-000000" : "-000010"));
        if (i % 3 != 0) sequences += " " + std::to_string(i), uids += " " + std::to_string(i + 1000000);
    }
    std::string answer = Run("a SEARCH UNSEEN");
    EXPECT_GT(answer.size(), sizeof(session->szResponse));
    EXPECT_EQ(answer, sequences + "\r\na OK SEARCH completed\r\n");
    EXPECT_EQ(Run("b UID SEARCH UNSEEN"), uids + "\r\nb OK SEARCH completed\r\n");
    Select("gone");  // a missing mailbox has no messages
    Talk({{"t SEARCH ALL", "* SEARCH\r\nt OK SEARCH completed\r\n"}, {"t SEARCH *", "* SEARCH\r\nt OK SEARCH completed\r\n"}});
}

// The header fields kept for repeated searches answer every key they can as the file does: the
// kept answer is given for a path where no file is, so a key it failed to answer would find
// nothing.
TEST(SearchKept, KeptFieldsAnswerAsTheFileDoes) {
    TempDir dir;
    std::vector<std::string> texts;
    for (int i = 1; i <= 8; i++) {
        std::ifstream in(std::string(VEVE4D_SOURCE_DIR) + "/tests/unit/search_mail/" + std::to_string(i) + ".eml",
                         std::ios::binary);
        ASSERT_TRUE(in) << i;
        texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    texts.push_back("From : spaced@x\r\nSubject:\tTabbed  \r\n\r\n");
    texts.push_back("Subject: one\r\n\tfolded\r\nFrom: a@x\r\nFROM: second@y\r\n\r\nFrom: body@z\r\n");
    texts.push_back("Date: Tue, 2 Jan 2024 10:00:00 +0000\r\nDate: 3 Jan 2024 10:00:00 +0000\r\n\r\n");
    texts.push_back("Date: garbage\r\nSubject: =?ISO-8859-1?Q?caf=E9?= =?UTF-8?B?w6k=?=\r\n\r\n");
    texts.push_back("Subject: cr\r\r\nFrom: hidden@x\r\n\r\n");
    texts.push_back("To: \"Last, First\" <first.last@example.com>, (comment) other @ host . org\r\n\r\n");
    texts.push_back("No colon line\r\nFrom: after@x\r\n :folded\r\nSubject: " + std::string(70000, 's') + "END\r\n");
    const char* const criteria[] = {
        "FROM alice", "FROM example", "FROM \"\"", "FROM \"J\xC3\xBCrgen m\xC3\x9CLLER\"", "TO example",
        "TO \"first.last@\"", "TO other@host.org", "TO \"(comment)\"", "CC carol", "BCC AUDIT", "BCC \"\"",
        "SUBJECT caf\xC3\xA9", "SUBJECT \"caf\xC3\xA9\xC3\xA9\"", "SUBJECT folded", "SUBJECT \"one\tfolded\"",
        "SUBJECT \"onefolded\"", "SUBJECT tabbed", "SUBJECT \"tabbed \"", "SUBJECT \xE4\xBC\x9A\xE8\xAD\xB0",
        "SUBJECT ssssEND", "SUBJECT END", "HEADER FROM second", "HEADER Subject \"\"", "HEADER cc \"\"", "SENTON 2-Jan-2024",
        "SENTBEFORE 1-Jan-2024", "SENTSINCE 1-Jan-2024", "NOT SENTON 3-Jan-2024", "SENTON 1-Feb-2024", "FROM body",
        "FROM hidden", "FROM spaced", "FROM after", "FROM folded", "OR FROM a@x SUBJECT lunch", "NOT FROM x",
    };
    for (size_t i = 0; i < texts.size(); i++) {
        std::string path = dir.path + "/" + std::to_string(i + 1) + ".msg";
        WriteFile(path, texts[i]);
        KeptSearchFields kept = SearchFieldsFromHeader(texts[i]);
        EXPECT_TRUE(kept.bComplete) << i + 1;
        std::string missing = dir.path + "/none";
        for (const char* pszCriteria : criteria) {
            SearchQuery query;
            std::string strError;
            ASSERT_EQ(ParseSearch(pszCriteria, strlen(pszCriteria), &query, &strError), SEARCH_PARSED) << pszCriteria;
            SearchMessage file{path.c_str(), "000000", 1, 1, 1, 1, 0, "", 0};
            SearchMessage held{missing.c_str(), "000000", 1, 1, 1, 1, 0, "", 0};
            held.pfnKept = [](void* pContext, bool) { return static_cast<const KeptSearchFields*>(pContext); };
            held.pContext = &kept;
            EXPECT_EQ(SearchMatches(query, held), SearchMatches(query, file)) << "message " << i + 1 << ": " << pszCriteria;
        }
    }
    // A value with a NUL is left to the file, whose finder sees past it.
    const char kWithNul[] = "From: a\0b@x\r\n\r\n";
    EXPECT_FALSE(SearchFieldsFromHeader(std::string(kWithNul, sizeof(kWithNul) - 1)).bComplete);
}

// A header longer than is kept leaves the search to the file, which holds the field past the cut.
TEST_F(SearchResult, AHeaderTooLongToKeepIsSearchedInTheFile) {
    std::string padding;
    for (int i = 0; i < 20000; i++) padding += "X-Padding-" + std::to_string(i) + ": " + std::string(60, 'p') + "\r\n";
    WriteFile(box + "/0000000001-000000.MSG", padding + "From: late@example.org\r\n\r\nbody\r\n");
    WriteFile(box + "/0000000002-000000.MSG", "From: early@example.org\r\n\r\nbody\r\n");
    for (int nPass = 0; nPass < 2; nPass++) {
        Talk({{"t SEARCH FROM late", "* SEARCH 1\r\nt OK SEARCH completed\r\n"},
              {"t SEARCH FROM example.org", "* SEARCH 1 2\r\nt OK SEARCH completed\r\n"}});
    }
}

}  // namespace
