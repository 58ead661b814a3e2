// ENVELOPE: field collection with folded lines, address cutting, escaping of quoted strings,
// and raw ISO-2022 text turned into encoded words.
#include <gtest/gtest.h>

#include <string>

#include "fetch_support.h"
#include "imap/fetch/items.h"

namespace {

std::string Envelope(const std::string& header) {
    FetchFixture f;
    f.AddMessage(1, "000000", header + "\r\nbody\r\n");
    std::string out = f.Fetch("1 ENVELOPE");
    const std::string head = "* 1 FETCH (ENVELOPE (";
    const std::string tail = "))\r\na1 OK FETCH completed\r\n";
    if (out.rfind(head, 0) != 0 || out.size() < head.size() + tail.size() ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
        return "<unexpected: " + out + ">";
    }
    return out.substr(head.size(), out.size() - head.size() - tail.size());
}

TEST(FetchEnvelope, FieldsInOrderAndMissingOnesNil) {
    EXPECT_EQ(Envelope("Date: Sat, 05 Dec 2026 20:49:00 +0900\r\n"
                       "Subject: hello\r\n"
                       "From: Alice <alice@example.com>\r\n"
                       "To: bob@example.com\r\n"
                       "Cc: carol@example.com\r\n"
                       "Bcc: dave@example.com\r\n"
                       "In-Reply-To: <x@y>\r\n"
                       "Message-ID: <m@y>\r\n"),
              "\"Sat, 05 Dec 2026 20:49:00 +0900\" \"hello\" ((\"Alice \" NIL \"alice\" \"example.com\")) NIL NIL "
              "((NIL NIL \"bob\" \"example.com\")) ((NIL NIL \"carol\" \"example.com\")) "
              "((NIL NIL \"dave\" \"example.com\")) \"<x@y>\" \"<m@y>\"");
    EXPECT_EQ(Envelope("X-Other: 1\r\n"), "NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL");
}

TEST(FetchEnvelope, UnreadableFileGivesTenNils) {
    FetchFixture f;
    f.SelectMessage("0000000001-000000.MSG");
    EXPECT_EQ(f.Capture([&] { WriteEnvelope(f.session.get()); }), "ENVELOPE (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)");
}

TEST(FetchEnvelope, FoldedLines) {
    // Address fields keep folded addresses apart with a tab; others join directly.
    EXPECT_EQ(Envelope("Subject: one\r\n two\r\nTo: a@x,\r\n\tb@y\r\nX-Folded: no\r\n\tc@z\r\n"),
              "NIL \"onetwo\" NIL NIL NIL ((NIL NIL \"a\" \"x\") (NIL NIL \"b\" \"y\")) NIL NIL NIL NIL");
    // Sender and Reply-To are not filled from From.
    EXPECT_EQ(Envelope("from: a@x\r\n"), "NIL NIL ((NIL NIL \"a\" \"x\")) NIL NIL NIL NIL NIL NIL NIL");
}

TEST(FetchEnvelope, AddressCutting) {
    struct AddressCase {
        const char* to;
        const char* list;
    };
    const AddressCase cases[] = {
        {"a@x; b@y", "((NIL NIL \"a\" \"x\") (NIL NIL \"b\" \"y\"))"},
        {"\"Smith, John\" <js@x>", "((\"Smith, John\" NIL \"js\" \"x\"))"},
        {"John Smith <js@x>", "((\"John Smith \" NIL \"js\" \"x\"))"},
        {"<postmaster>", "((NIL NIL \"postmaster\" NIL))"},
        {"a@x, ", "((NIL NIL \"a\" \"x\") (NIL NIL \"\" NIL))"},
        {"a@x,", "((NIL NIL \"a\" \"x\"))"},
        {"\"quoted only\"", "((NIL NIL \"quoted only\" NIL))"},
        {"undisclosed-recipients:;", "((NIL NIL \"undisclosed-recipients:\" NIL))"},
        // An ESC starts a quoted run that only a double quote ends: a "," inside raw text does
        // not split, and here nothing ends the run, so the second address goes with the first.
        {"\x1b$B;,\x1b(B <k@x>, c@y", "((\"=?iso-2022-jp?B?GyRCOywbKEIg?=\" NIL \"k\" \"x\"))"},
        // A quote byte inside raw text ends the run and cuts the name there.
        {"\x1b$B$\"\x1b(B\" <k@x>, c@y",
         "((\"=?iso-2022-jp?B?GyRCJA==?=\" NIL \"k\" \"x\") (NIL NIL \"c\" \"y\"))"},
        // Quotes and backslashes inside a value are escaped.
        {"Back\\slash <b@x>", "((\"Back\\\\slash \" NIL \"b\" \"x\"))"},
        {"x\"y@z\" rest", "((NIL NIL \"y\" \"z\"))"},
    };
    for (const AddressCase& c : cases) {
        EXPECT_EQ(Envelope(std::string("To: ") + c.to + "\r\n"),
                  std::string("NIL NIL NIL NIL NIL ") + c.list + " NIL NIL NIL NIL")
            << c.to;
    }
}

TEST(FetchEnvelope, QuotedStringsAreEscapedOrSentAsLiterals) {
    EXPECT_EQ(Envelope("Subject: say \"hi\" \\o/\r\n"), "NIL \"say \\\"hi\\\" \\\\o/\" NIL NIL NIL NIL NIL NIL NIL NIL");
    // 8-bit text cannot stand in a quoted string.
    EXPECT_EQ(Envelope("Subject: caf\xc3\xa9\r\n"), "NIL {5}\r\ncaf\xc3\xa9 NIL NIL NIL NIL NIL NIL NIL NIL");
    EXPECT_EQ(Envelope("Message-ID: <\"odd\"@x>\r\n"), "NIL NIL NIL NIL NIL NIL NIL NIL NIL \"<\\\"odd\\\"@x>\"");
}

TEST(FetchEnvelope, SubjectConversion) {
    EXPECT_EQ(Envelope("Subject: Re: \x1b$B0!\x1b(B\r\n"),
              "NIL \"Re: =?iso-2022-jp?B?GyRCMCEbKEI=?=\" NIL NIL NIL NIL NIL NIL NIL NIL");
    EXPECT_EQ(Envelope("Subject: =?iso-2022-jp?B?GyRCMCEbKEI=?=\r\n"),
              "NIL \"=?iso-2022-jp?B?GyRCMCEbKEI=?=\" NIL NIL NIL NIL NIL NIL NIL NIL");
}

TEST(FetchEnvelope, RawTextConversionPerLanguage) {
    struct ConvertCase {
        std::string raw;
        std::string converted;
    };
    const ConvertCase cases[] = {
        {"plain text", "plain text"},
        {"\x1b$@0!", "=?iso-2022-jp?B?GyRAMCE=?="},
        {"\x1b$B0!\x1b(B", "=?iso-2022-jp?B?GyRCMCEbKEI=?="},
        {"abc \x1b(Jabc", "abc =?iso-2022-jp?B?GyhKYWJj?="},
        {"\x1b(B", "=?iso-2022-jp?B?GyhC?="},
        {"\x1b$)A\x0e" "0!\x0f", "=?gb2312?B?GyQpQQ4wIQ8=?="},
        {"\x1b$)G\x0e!\x0f", "=?gb2312?B?GyQpRw4hDw==?="},
        {"\x1b*H\x0e!\x0f", "=?gb2312?B?GypIDiEP?="},
        {"\x1b$)C\x0e" "0!\x0f", "=?ks_c_5601-1987?B?GyQpQw4wIQ8=?="},
        // Sequences are tried in table order: a Japanese one later in the text wins over a
        // Chinese one before it, which stays raw.
        {"\x1b$)A\x0e" "0!\x0f\x1b(B", "\x1b$)A\x0e" "0!\x0f=?iso-2022-jp?B?GyhC?="},
    };
    for (const ConvertCase& c : cases) {
        char buffer[512];
        snprintf(buffer, sizeof(buffer), "%s", c.raw.c_str());
        ConvertRawText(buffer, sizeof(buffer));
        EXPECT_EQ(std::string(buffer), c.converted);
    }
    // A result that does not fit keeps the raw text rather than a cut encoded word.
    char small[24] = "\x1b$B0!0!0!\x1b(B";
    ConvertRawText(small, sizeof(small));
    EXPECT_EQ(std::string(small), "\x1b$B0!0!0!\x1b(B");
}

TEST(FetchEnvelope, FieldCapacities) {
    std::string longSubject(400, 's');
    std::string out = Envelope("Subject: " + longSubject + "\r\n");
    EXPECT_EQ(out, "NIL \"" + std::string(255, 's') + "\" NIL NIL NIL NIL NIL NIL NIL NIL");
    // A converted subject may outgrow the field; it is not cut.
    std::string raw = "\x1b$B" + std::string(240, '0') + "\x1b(B";
    out = Envelope("Subject: " + raw + "\r\n");
    EXPECT_EQ(out.find("\"=?iso-2022-jp?B?"), 4u);
    EXPECT_NE(out.find("?=\" NIL"), std::string::npos);
}

}  // namespace
