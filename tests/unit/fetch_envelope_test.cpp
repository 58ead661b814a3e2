// ENVELOPE: fields with folded lines, address cutting, escaping of quoted strings, and raw
// ISO-2022 text turned into encoded words.
#include <gtest/gtest.h>

#include <string>

#include "fetch_support.h"
#include "imap/fetch/items.h"

namespace {

std::string Envelope(const std::string& header) { return FetchAlone(header + "\r\nbody\r\n", "ENVELOPE"); }

TEST(FetchEnvelope, FieldsFoldingAndEscaping) {
    const std::pair<std::string, std::string> cases[] = {
        {"Date: Sat, 05 Dec 2026 20:49:00 +0900\r\nSubject: hello\r\nFrom: Alice <alice@x>\r\nTo: bob@y\r\n"
         "Cc: carol@z\r\nBcc: dave@w\r\nIn-Reply-To: <x@y>\r\nMessage-ID: <m@y>\r\n",
         "\"Sat, 05 Dec 2026 20:49:00 +0900\" \"hello\" ((\"Alice \" NIL \"alice\" \"x\")) NIL NIL "
         "((NIL NIL \"bob\" \"y\")) ((NIL NIL \"carol\" \"z\")) ((NIL NIL \"dave\" \"w\")) \"<x@y>\" \"<m@y>\""},
        {"X-Other: 1\r\n", "NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL"},
        // Address fields keep folded addresses apart; others join directly. Sender and
        // Reply-To are not filled from From.
        {"Subject: one\r\n two\r\nTo: a@x,\r\n\tb@y\r\nX-Folded: no\r\n\tc@z\r\nfrom: f@x\r\n",
         "NIL \"onetwo\" ((NIL NIL \"f\" \"x\")) NIL NIL ((NIL NIL \"a\" \"x\") (NIL NIL \"b\" \"y\")) NIL NIL NIL NIL"},
        {"Subject: say \"hi\" \\o/\r\n", "NIL \"say \\\"hi\\\" \\\\o/\" NIL NIL NIL NIL NIL NIL NIL NIL"},
        // 8-bit text cannot stand in a quoted string.
        {"Subject: caf\xc3\xa9\r\n", "NIL {5}\r\ncaf\xc3\xa9 NIL NIL NIL NIL NIL NIL NIL NIL"},
        {"Message-ID: <\"odd\"@x>\r\n", "NIL NIL NIL NIL NIL NIL NIL NIL NIL \"<\\\"odd\\\"@x>\""},
        {"Subject: Re: \x1b$B0!\x1b(B\r\n", "NIL \"Re: =?iso-2022-jp?B?GyRCMCEbKEI=?=\" NIL NIL NIL NIL NIL NIL NIL NIL"},
        {"Subject: =?iso-2022-jp?B?GyRCMCEbKEI=?=\r\n",
         "NIL \"=?iso-2022-jp?B?GyRCMCEbKEI=?=\" NIL NIL NIL NIL NIL NIL NIL NIL"},
        {"Subject: " + std::string(400, 's') + "\r\n", "NIL \"" + std::string(255, 's') + "\" NIL NIL NIL NIL NIL NIL NIL NIL"},
    };
    for (const auto& [header, envelope] : cases) EXPECT_EQ(Envelope(header), Answer("ENVELOPE (" + envelope + ")")) << header;
    // A converted subject may outgrow the field; it is not cut.
    std::string out = Envelope("Subject: \x1b$B" + std::string(240, '0') + "\x1b(B\r\n");
    EXPECT_TRUE(out.starts_with("* 1 FETCH (ENVELOPE (NIL \"=?iso-2022-jp?B?GyRC")) << out;
    EXPECT_TRUE(out.ends_with("MDAwGyhC?=\" NIL NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK FETCH completed\r\n")) << out;
}

TEST(FetchEnvelope, AddressCutting) {
    const std::pair<const char*, const char*> cases[] = {
        {"a@x; b@y", "(NIL NIL \"a\" \"x\") (NIL NIL \"b\" \"y\")"},
        {"\"Smith, John\" <js@x>", "(\"Smith, John\" NIL \"js\" \"x\")"},
        {"John Smith <js@x>", "(\"John Smith \" NIL \"js\" \"x\")"},
        {"<postmaster>", "(NIL NIL \"postmaster\" NIL)"},
        {"a@x, ", "(NIL NIL \"a\" \"x\") (NIL NIL \"\" NIL)"},
        {"a@x,", "(NIL NIL \"a\" \"x\")"},
        {"\"quoted only\"", "(NIL NIL \"quoted only\" NIL)"},
        {"undisclosed-recipients:;", "(NIL NIL \"undisclosed-recipients:\" NIL)"},
        // An ESC starts a run that only a double quote ends: a "," inside raw text does not
        // split, and here nothing ends the run, so the second address goes with the first.
        {"\x1b$B;,\x1b(B <k@x>, c@y", "(\"=?iso-2022-jp?B?GyRCOywbKEIg?=\" NIL \"k\" \"x\")"},
        {"\x1b$B$\"\x1b(B\" <k@x>, c@y", "(\"=?iso-2022-jp?B?GyRCJA==?=\" NIL \"k\" \"x\") (NIL NIL \"c\" \"y\")"},
        {"Back\\slash <b@x>", "(\"Back\\\\slash \" NIL \"b\" \"x\")"},
        {"x\"y@z\" rest", "(NIL NIL \"y\" \"z\")"},
    };
    for (const auto& [to, list] : cases) {
        EXPECT_EQ(Envelope(std::string("To: ") + to + "\r\n"),
                  Answer(std::string("ENVELOPE (NIL NIL NIL NIL NIL (") + list + ") NIL NIL NIL NIL)"))
            << to;
    }
}

TEST(FetchEnvelope, RawTextConversionPerLanguage) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},
        {"\x1b$@0!", "=?iso-2022-jp?B?GyRAMCE=?="},
        {"abc \x1b(Jabc", "abc =?iso-2022-jp?B?GyhKYWJj?="},
        {"\x1b$)A\x0e" "0!\x0f", "=?gb2312?B?GyQpQQ4wIQ8=?="},
        {"\x1b$)G\x0e!\x0f", "=?gb2312?B?GyQpRw4hDw==?="},
        {"\x1b*H\x0e!\x0f", "=?gb2312?B?GypIDiEP?="},
        {"\x1b$)C\x0e" "0!\x0f", "=?ks_c_5601-1987?B?GyQpQw4wIQ8=?="},
        // Sequences are tried in table order: a Japanese one later in the text wins over a
        // Chinese one before it, which stays raw.
        {"\x1b$)A\x0e" "0!\x0f\x1b(B", "\x1b$)A\x0e" "0!\x0f=?iso-2022-jp?B?GyhC?="},
    };
    for (const auto& [raw, converted] : cases) {
        char buffer[512];
        snprintf(buffer, sizeof(buffer), "%s", raw.c_str());
        ConvertRawText(buffer, sizeof(buffer));
        EXPECT_EQ(std::string(buffer), converted);
    }
    // A result that does not fit keeps the raw text rather than a cut encoded word.
    char small[24] = "\x1b$B0!0!0!\x1b(B";
    ConvertRawText(small, sizeof(small));
    EXPECT_EQ(std::string(small), "\x1b$B0!0!0!\x1b(B");
}

}  // namespace
