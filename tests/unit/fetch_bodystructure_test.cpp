// BODY, BODYSTRUCTURE and ENVELOPE: single-part shapes, nested multiparts and messages,
// parameters, ids and dispositions; envelope fields with folded lines, address cutting, escaping,
// and raw ISO-2022 text turned into encoded words.
#include <algorithm>
#include <array>

#include "auth/base64.h"
#include "fetch_support.h"

// Each triple: a message, its BODYSTRUCTURE, and its BODY (the same without extension data).
static void ExpectStructures(const std::vector<std::array<std::string, 3>>& cases) {
    for (const auto& [message, extended, plain] : cases) {
        ExpectAnswers(message, {{"BODYSTRUCTURE", "BODYSTRUCTURE " + extended}, {"BODY", "BODY " + plain}});
    }
}

TEST(FetchBodyStructure, SinglePartAndNestedMultipartShapes) {
    const std::string ascii = "(\"charset\" \"us-ascii\")";
    ExpectStructures({
        // No Content-Type, or one without a subtype: text/plain in us-ascii.
        {"Subject: s\r\n\r\nabc\r\n", "(\"text\" \"plain\" " + ascii + " NIL NIL \"7bit\" 5 1 NIL NIL NIL NIL)",
         "(\"text\" \"plain\" " + ascii + " NIL NIL \"7bit\" 5 1)"},
        {"Content-Type: text\r\nContent-Transfer-Encoding: base64\r\n\r\nYWJj\r\n",
         "(\"text\" \"plain\" " + ascii + " NIL NIL \"base64\" 6 1 NIL NIL NIL NIL)",
         "(\"text\" \"plain\" " + ascii + " NIL NIL \"base64\" 6 1)"},
        // HTML with an attachment: the alternative nests inside the mixed; a part ends before the
        // CRLF that precedes the next delimiter, and its line count matches.
        {"Content-Type: multipart/mixed; boundary=\"A\"\r\n\r\npre\r\n--A\r\n"
         "Content-Type: multipart/alternative; boundary=B\r\n\r\n--B\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n"
         "plain\r\ntext\r\n--B\r\nContent-Type: text/html\r\nContent-Language: en, de\r\n\r\n<b>h</b>\r\n--B--\r\n--A\r\n"
         "Content-Type: image/gif; name=\"a \\\"b\\\".gif\"\r\nContent-ID: <i@x>\r\nContent-Description: pic\r\n"
         "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n\tfilename=a.gif; size=4\r\n\r\n"
         "R0lG\r\n--A--\r\nepilogue\r\n",
         "(((\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 11 1 NIL NIL NIL NIL)"
         "(\"text\" \"html\" " + ascii + " NIL NIL \"7bit\" 8 0 NIL NIL (\"en\" \"de\") NIL) \"alternative\" "
         "(\"boundary\" \"B\") NIL NIL NIL)(\"image\" \"gif\" (\"name\" \"a \\\"b\\\".gif\") \"<i@x>\" \"pic\" \"base64\" 4 NIL "
         "(\"attachment\" (\"filename\" \"a.gif\" \"size\" \"4\")) NIL NIL) \"mixed\" (\"boundary\" \"A\") NIL NIL NIL)",
         "(((\"text\" \"plain\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 11 1)(\"text\" \"html\" " + ascii +
             " NIL NIL \"7bit\" 8 0) \"alternative\")(\"image\" \"gif\" (\"name\" \"a \\\"b\\\".gif\") \"<i@x>\" \"pic\" "
             "\"base64\" 4) \"mixed\")"},
        // Without a closing delimiter the last part runs to the end; a digest's parts are messages.
        {"Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: m\r\n\r\nbody\r\n",
         "((\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 20 (NIL \"m\" NIL NIL NIL NIL NIL NIL NIL NIL) (\"text\" \"plain\" " +
             ascii + " NIL NIL \"7bit\" 6 1 NIL NIL NIL NIL) 3 NIL NIL NIL NIL) \"digest\" (\"boundary\" \"d\") NIL NIL NIL)",
         "((\"message\" \"rfc822\" NIL NIL NIL \"7bit\" 20 (NIL \"m\" NIL NIL NIL NIL NIL NIL NIL NIL) (\"text\" \"plain\" " +
             ascii + " NIL NIL \"7bit\" 6 1) 3) \"digest\")"},
    });
}

// The ENVELOPE fields of a message with the header; Nils(n) stands for n empty fields.
static void ExpectEnvelope(const std::string& header, const std::string& fields) {
    ExpectAnswers(header + "\r\nbody\r\n", {{"ENVELOPE", "ENVELOPE (" + fields + ")"}});
}
static std::string Nils(int n) { return n == 0 ? "" : n == 1 ? "NIL" : "NIL " + Nils(n - 1); }

TEST(FetchBodyStructure, EncapsulatedMessagesNestDeepAndStayBounded) {
    // Nested message/rfc822 parts, each with the envelope of the header inside it.
    std::string message = "Subject: core\r\n\r\nx\r\n";
    std::string structure = "(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 3 1)";
    for (int depth = 4; depth >= 0; depth--) {
        const std::string size = std::to_string(message.size()), n = std::to_string(depth);
        const std::string lines = std::to_string(std::count(message.begin(), message.end(), '\n'));
        const std::string envelope = "(NIL \"" + message.substr(9, 4) + "\" " + Nils(8) + ")";
        const std::string subject = depth == 0 ? "" : "Subject: lvl" + n + "\r\n";
        structure = "(\"message\" \"rfc822\" (\"n\" \"" + n + "\") NIL NIL \"7bit\" " + size + " " + envelope + " " +
                    structure + " " + lines + ")";
        message = "Subject: lvl" + n + "\r\nContent-Type: message/rfc822; n=" + n + "\r\n\r\n" + message;
    }
    ExpectAnswers(message, {{"BODY", "BODY " + structure}});
    // Far deeper than any real message: answered, with the deepest levels left opaque.
    std::string deep = "x\r\n";
    for (int i = 0; i < 200; i++) deep = "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" +
                                         std::to_string(i) + "\r\n" + deep + "\r\n--b" + std::to_string(i) + "--\r\n";
    FetchFixture f;
    f.Add(1, "000000", "Subject: deep\r\n" + deep);
    std::string out = f.Fetch("1 BODYSTRUCTURE");
    EXPECT_TRUE(out.ends_with(")\r\na1 OK FETCH completed\r\n")) << out.substr(0, 200);
    EXPECT_EQ(std::count(out.begin(), out.end(), '('), std::count(out.begin(), out.end(), ')'));
    EXPECT_NE(out.find("(\"multipart\" \"mixed\""), std::string::npos);
}

TEST(FetchEnvelope, FieldsFoldingAndEscaping) {
    // A converted subject may outgrow the field; it is not cut.
    const std::string raw = "\x1b$B" + std::string(240, '0') + "\x1b(B";
    char szEncoded[512];
    Base64Encode(raw.data(), raw.size(), szEncoded, sizeof(szEncoded));
    const std::pair<std::string, std::string> cases[] = {
        {"X-Other: 1\r\n", Nils(10)},
        // Folded lines are unfolded. Every field in its place, Sender and Reply-To taking From's
        // place, groups, routes and comments are imaptest's fetch-envelope test's.
        {"Subject: one\r\n two\r\nTo: a@x,\r\n\tb@y\r\nX-Folded: no\r\n\tc@z\r\nfrom: f@x\r\n",
         "NIL \"one two\" ((NIL NIL \"f\" \"x\")) ((NIL NIL \"f\" \"x\")) ((NIL NIL \"f\" \"x\")) "
         "((NIL NIL \"a\" \"x\")(NIL NIL \"b\" \"y\")) " + Nils(4)},
        {"Subject: say \"hi\" \\o/\r\n", "NIL \"say \\\"hi\\\" \\\\o/\" " + Nils(8)},
        {"Subject: caf\xc3\xa9\r\n", "NIL {5}\r\ncaf\xc3\xa9 " + Nils(8)},  // 8-bit text cannot be quoted
        {"Message-ID: <\"odd\"@x>\r\n", Nils(9) + " \"<\\\"odd\\\"@x>\""},
        {"Subject: Re: \x1b$B0!\x1b(B\r\n", "NIL \"Re: =?iso-2022-jp?B?GyRCMCEbKEI=?=\" " + Nils(8)},
        {"Subject: =?iso-2022-jp?B?GyRCMCEbKEI=?=\r\n", "NIL \"=?iso-2022-jp?B?GyRCMCEbKEI=?=\" " + Nils(8)},
        {"Subject: " + std::string(400, 's') + "\r\n", "NIL \"" + std::string(400, 's') + "\" " + Nils(8)},
        {"Subject: " + raw + "\r\n", "NIL \"=?iso-2022-jp?B?" + std::string(szEncoded) + "?=\" " + Nils(8)},
    };
    for (const auto& [header, fields] : cases) ExpectEnvelope(header, fields);
}

TEST(FetchEnvelope, AddressCutting) {
    const std::pair<const char*, const char*> cases[] = {
        {"a@x; b@y", "(NIL NIL \"a\" \"x\")(NIL NIL \"b\" \"y\")"}, {"<postmaster>", "(NIL NIL \"postmaster\" NIL)"},
        {"\"Smith, John\" <js@x>", "(\"Smith, John\" NIL \"js\" \"x\")"},
        {" John  Smith  <js@x>", "(\"John Smith\" NIL \"js\" \"x\")"}, {"a@x,", "(NIL NIL \"a\" \"x\")"},
        {"a@x, ", "(NIL NIL \"a\" \"x\")"},
        // Raw ISO-2022 text is one word whatever bytes its characters are made of.
        {"\x1b$B;,\x1b(B <k@x>, c@y", "(\"=?iso-2022-jp?B?GyRCOywbKEI=?=\" NIL \"k\" \"x\")(NIL NIL \"c\" \"y\")"},
        {"\"Back\\\\slash\" <b@x>", "(\"Back\\\\slash\" NIL \"b\" \"x\")"},
        // A stray ")" is passed over (it once stopped the cut and filled memory with empty words).
        {"Ann) <ann@x>, b@y)", "(\"Ann\" NIL \"ann\" \"x\")(NIL NIL \"b\" \"y\")"},
    };
    for (const auto& [to, list] : cases) {
        ExpectEnvelope(std::string("To: ") + to + "\r\n", Nils(5) + " (" + list + ") " + Nils(4));
    }
}

TEST(FetchEnvelope, RawTextConversionPerLanguage) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"}, {"\x1b$@0!", "=?iso-2022-jp?B?GyRAMCE=?="},
        {"abc \x1b(Jabc", "abc =?iso-2022-jp?B?GyhKYWJj?="}, {"\x1b$)A\x0e" "0!\x0f", "=?gb2312?B?GyQpQQ4wIQ8=?="},
        {"\x1b$)G\x0e!\x0f", "=?gb2312?B?GyQpRw4hDw==?="}, {"\x1b*H\x0e!\x0f", "=?gb2312?B?GypIDiEP?="},
        {"\x1b$)C\x0e" "0!\x0f", "=?ks_c_5601-1987?B?GyQpQw4wIQ8=?="},
        // Sequences are tried in table order: a Japanese one later in the text wins over a
        // Chinese one before it, which stays raw.
        {"\x1b$)A\x0e" "0!\x0f\x1b(B", "\x1b$)A\x0e" "0!\x0f=?iso-2022-jp?B?GyhC?="},
    };
    const auto convert = [](const std::string& raw, size_t nSize) {
        char buffer[512];
        snprintf(buffer, sizeof(buffer), "%s", raw.c_str());
        ConvertRawText(buffer, nSize);
        return std::string(buffer);
    };
    for (const auto& [raw, converted] : cases) EXPECT_EQ(convert(raw, 512), converted);
    // A result that does not fit keeps the raw text rather than a cut encoded word.
    EXPECT_EQ(convert("\x1b$B0!0!0!\x1b(B", 24), "\x1b$B0!0!0!\x1b(B");
}
