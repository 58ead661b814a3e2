// BODY, BODYSTRUCTURE and ENVELOPE: single-part and multipart shapes, the flattened nesting,
// parameters, ids and dispositions; envelope fields with folded lines, address cutting, escaping,
// and raw ISO-2022 text turned into encoded words.
#include <algorithm>

#include "auth/base64.h"
#include "fetch_support.h"

// Each pair: a message and its structure, which BODY and BODYSTRUCTURE both give.
static void ExpectStructures(const Cases& cases) {
    for (const auto& [message, s] : cases) {
        ExpectAnswers(message, {{"BODY", "BODY " + s}, {"BODYSTRUCTURE", "BODYSTRUCTURE " + s}});
    }
}

TEST(FetchBodyStructure, SinglePartAndMultipartShapes) {
    const std::string nils = " NIL NIL NIL)", mixed = " \"mixed\" (\"boundary\" \"p\") NIL NIL)",
                      bare = "(NIL NIL NIL NIL NIL \"7bit\" 3 NIL ";
    std::string ten = "Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n", nine = "(";
    for (int i = 0; i < 10; i++) ten += "--p\r\n\r\nx\r\n", nine += i < 9 ? bare + "NIL NIL)" : mixed;
    ExpectStructures({
        // No ";" after the subtype: the subtype is NIL; a later encoding line is not read.
        {"Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\nabc\r\n",
         "(\"text\" NIL NIL NIL NIL \"7bit\" 5 1" + nils},
        {"Content-Transfer-Encoding: base64\r\nContent-Type: image/png; name=x.png\r\n\r\nQUJD\r\n",
         "(\"image\" \"png\" (\"name\" \"x.png\") NIL NIL \"base64\" 6" + nils},
        {"Content-Type: TEXT/html; charset=\"utf-8\"\r\n\r\n<p>\r\n</p>\r\n",
         "(\"TEXT\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 11 2" + nils},
        {"Content-Type: text/plain;\r\n\tformat=flowed\r\n\r\nx\r\n",
         "(\"text\" \"plain\" (\"format\" \"flowed\") NIL NIL \"7bit\" 3 1" + nils},
        // Without a Content-Type no line count is shown; the size stops at the ".\r\n" line.
        {"Subject: s\r\n\r\nhi\r\n.\r\nmore\r\n", "(NIL NIL NIL NIL NIL \"7bit\" 4" + nils},
        {"Subject: s\r\n\r\n", "(NIL NIL NIL NIL NIL \"7bit\" NIL" + nils},
        {"Content-Type: text/x\"y; name=\"a \\\"b\\\" c\"\r\n\r\nz\r\n",
         "(\"text\" \"x\\\"y\" (\"name\" \"a \\\"b\\\" c\") NIL NIL \"7bit\" 3 1" + nils},
        {"Content-Type: application/x; name=\"a;b\"\r\n\r\nz\r\n",
         "(\"application\" \"x\" (\"name\" \"a;b\") NIL NIL \"7bit\" 3" + nils},
        // A boundary that is not the first parameter is not found.
        {"Content-Type: multipart/mixed; charset=x; boundary=\"b\"\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n",
         "(\"multipart\" \"mixed\" (\"charset\" \"x\") NIL NIL \"7bit\" 17" + nils},
        {"From: a@b\r\nContent-Type: multipart/mixed; boundary=outer\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
         "preamble\r\n--outer\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\nline one\r\nline two\r\n--outer\r\n"
         "Content-Type: application/octet-stream; name=file.bin\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-ID: <id1@x>\r\nContent-Disposition: attachment;\r\n\tfilename=\"a b.bin\"\r\n\r\nAAAA\r\n"
         "--outer--\r\nepilogue\r\n",
         "((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"quoted-printable\" 20 2 NIL NIL NIL)"
         "(\"application\" \"octet-stream\" (\"name\" \"file.bin\") \"<id1@x>\" NIL \"base64\" 6 NIL "
         "(\"attachment\" (\"filename\" \"a b.bin\")) NIL) \"mixed\" (\"boundary\" \"outer\") NIL NIL)"},
        // Nesting is flattened: the inner parts follow the inner multipart's own record. Records
        // are adjacent, with one space before the subtype.
        {"Content-Type: multipart/mixed; boundary=\"A\"\r\n\r\n--A\r\nContent-Type: multipart/alternative; "
         "boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/plain; charset=x\r\n\r\nplain\r\n--B\r\n"
         "Content-Type: text/html; charset=x\r\n\r\n<b>h</b>\r\n--B--\r\n--A\r\nContent-Type: image/gif\r\n\r\nR0lG\r\n"
         "--A--\r\n",
         "((\"multipart\" \"alternative\" (\"boundary\" \"B\") NIL NIL \"7bit\" NIL NIL NIL NIL)"
         "(\"text\" \"plain\" (\"charset\" \"x\") NIL NIL \"7bit\" 7 1 NIL NIL NIL)"
         "(\"text\" \"html\" (\"charset\" \"x\") NIL NIL \"7bit\" 10 1 NIL NIL NIL) "
         "\"mixed\" (\"boundary\" \"A\") NIL NIL)"},
        // Dispositions; the Content-ID is taken from its last "<".
        {"Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n--p\r\nContent-Disposition: inline\r\n"
         "Content-ID: junk <first> <second@x>\r\n\r\nz\r\n--p\r\nContent-Disposition: inline; \r\n\r\nz\r\n--p\r\n"
         "Content-Disposition: attachment; filename=x.txt\r\n\r\nz\r\n--p\r\n"
         "Content-Disposition: attachment; filename=\"a;b.txt\"; size=12\r\n\r\nz\r\n--p--\r\n",
         "((NIL NIL NIL \"<second@x>\" NIL \"7bit\" 3 NIL NIL NIL)" + bare + "(\"inline\" NIL) NIL)" + bare +
             "(\"attachment\" (\"filename\" \"x.txt\")) NIL)" + bare +
             "(\"attachment\" (\"filename\" \"a;b.txt\" \"size\" \"12\")) NIL)" + mixed},
        // At most nine parts; without a closing delimiter the last part runs to the end.
        {ten, nine},
        {"Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n--p\r\n\r\nx\r\ny\r\n",
         "((NIL NIL NIL NIL NIL \"7bit\" 6 NIL NIL NIL)" + mixed},
    });
}

// The ENVELOPE fields of a message with the header; Nils(n) stands for n empty fields.
static void ExpectEnvelope(const std::string& header, const std::string& fields) {
    ExpectAnswers(header + "\r\nbody\r\n", {{"ENVELOPE", "ENVELOPE (" + fields + ")"}});
}
static std::string Nils(int n) { return n == 0 ? "" : n == 1 ? "NIL" : "NIL " + Nils(n - 1); }

TEST(FetchBodyStructure, EncapsulatedMessages) {
    const std::string mixed = " \"mixed\" (\"boundary\" \"p\") NIL NIL)";
    // message/rfc822 with a parameter carries the envelope, the structure and the line count of the
    // message inside, whose own boundary does not divide the outer part; without a ";" the subtype
    // stays NIL and the part reads as a plain one.
    ExpectStructures({
        {"Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n--p\r\nContent-Type: message/rfc822; name=m\r\n\r\n"
         "Subject: inner\r\nFrom: Ann <a@x>\r\nContent-Type: multipart/alternative; boundary=\"i\"\r\n\r\n"
         "--i\r\n\r\n<b>\r\n--i--\r\n--p\r\nContent-Type: message/rfc822\r\n\r\nSubject: s\r\n\r\nz\r\n--p--\r\n",
         "((\"message\" \"rfc822\" (\"name\" \"m\") NIL NIL \"7bit\" 105 (NIL \"inner\" ((\"Ann \" NIL \"a\" \"x\")) " +
             Nils(7) + ") (\"multipart\" \"alternative\" (\"boundary\" \"i\") NIL NIL \"7bit\" 19 NIL NIL NIL) "
             "8 NIL NIL NIL)(\"message\" NIL NIL NIL NIL \"7bit\" 17 NIL NIL NIL)" + mixed},
    });
    // Nested four deep, each with the envelope of the header inside it; the fifth is a plain part.
    std::string message = "Subject: core\r\n\r\nx\r\n", structure;
    for (int depth = 4; depth >= 0; depth--) {
        const std::string size = std::to_string(message.size()), n = std::to_string(depth);
        const std::string lines = std::to_string(std::count(message.begin(), message.end(), '\n'));
        const std::string envelope = "(NIL \"" + message.substr(9, 4) + "\" " + Nils(8) + ")";
        const std::string head = "(\"message\" " + std::string(depth == 4 ? "NIL" : "\"rfc822\"") + " (\"n\" \"" + n +
                                 "\") NIL NIL \"7bit\" " + size + " ";
        structure = head + (depth == 4 ? "" : envelope + " " + structure + " " + lines + " ") + "NIL NIL NIL)";
        message = "Subject: lvl" + n + "\r\nContent-Type: message/rfc822; n=" + n + "\r\n\r\n" + message;
    }
    ExpectStructures({{message, structure}});
}

TEST(FetchEnvelope, FieldsFoldingAndEscaping) {
    // A converted subject may outgrow the field; it is not cut.
    const std::string raw = "\x1b$B" + std::string(240, '0') + "\x1b(B";
    char szEncoded[512];
    Base64Encode(raw.data(), raw.size(), szEncoded, sizeof(szEncoded));
    const std::pair<std::string, std::string> cases[] = {
        {"Date: Sat, 05 Dec 2026 20:49:00 +0900\r\nSubject: hello\r\nFrom: Alice <alice@x>\r\nTo: bob@y\r\n"
         "Cc: carol@z\r\nBcc: dave@w\r\nIn-Reply-To: <x@y>\r\nMessage-ID: <m@y>\r\n",
         "\"Sat, 05 Dec 2026 20:49:00 +0900\" \"hello\" ((\"Alice \" NIL \"alice\" \"x\")) NIL NIL "
         "((NIL NIL \"bob\" \"y\")) ((NIL NIL \"carol\" \"z\")) ((NIL NIL \"dave\" \"w\")) \"<x@y>\" \"<m@y>\""},
        {"X-Other: 1\r\n", Nils(10)},
        // Address fields keep folded addresses apart; others join directly. Sender and
        // Reply-To are not filled from From.
        {"Subject: one\r\n two\r\nTo: a@x,\r\n\tb@y\r\nX-Folded: no\r\n\tc@z\r\nfrom: f@x\r\n",
         "NIL \"onetwo\" ((NIL NIL \"f\" \"x\")) NIL NIL ((NIL NIL \"a\" \"x\")(NIL NIL \"b\" \"y\")) " + Nils(4)},
        {"Subject: say \"hi\" \\o/\r\n", "NIL \"say \\\"hi\\\" \\\\o/\" " + Nils(8)},
        {"Subject: caf\xc3\xa9\r\n", "NIL {5}\r\ncaf\xc3\xa9 " + Nils(8)},  // 8-bit text cannot be quoted
        {"Message-ID: <\"odd\"@x>\r\n", Nils(9) + " \"<\\\"odd\\\"@x>\""},
        {"Subject: Re: \x1b$B0!\x1b(B\r\n", "NIL \"Re: =?iso-2022-jp?B?GyRCMCEbKEI=?=\" " + Nils(8)},
        {"Subject: =?iso-2022-jp?B?GyRCMCEbKEI=?=\r\n", "NIL \"=?iso-2022-jp?B?GyRCMCEbKEI=?=\" " + Nils(8)},
        {"Subject: " + std::string(400, 's') + "\r\n", "NIL \"" + std::string(255, 's') + "\" " + Nils(8)},
        {"Subject: " + raw + "\r\n", "NIL \"=?iso-2022-jp?B?" + std::string(szEncoded) + "?=\" " + Nils(8)},
    };
    for (const auto& [header, fields] : cases) ExpectEnvelope(header, fields);
}

TEST(FetchEnvelope, AddressCutting) {
    const std::pair<const char*, const char*> cases[] = {
        {"a@x; b@y", "(NIL NIL \"a\" \"x\")(NIL NIL \"b\" \"y\")"}, {"<postmaster>", "(NIL NIL \"postmaster\" NIL)"},
        {"\"Smith, John\" <js@x>", "(\"Smith, John\" NIL \"js\" \"x\")"},
        {"John Smith <js@x>", "(\"John Smith \" NIL \"js\" \"x\")"}, {"a@x,", "(NIL NIL \"a\" \"x\")"},
        {"a@x, ", "(NIL NIL \"a\" \"x\")(NIL NIL \"\" NIL)"}, {"\"quoted only\"", "(NIL NIL \"quoted only\" NIL)"},
        {"undisclosed-recipients:;", "(NIL NIL \"undisclosed-recipients:\" NIL)"},
        // An ESC starts a run that only a double quote ends: a "," inside raw text does not
        // split, and here nothing ends the run, so the second address goes with the first.
        {"\x1b$B;,\x1b(B <k@x>, c@y", "(\"=?iso-2022-jp?B?GyRCOywbKEIg?=\" NIL \"k\" \"x\")"},
        {"\x1b$B$\"\x1b(B\" <k@x>, c@y", "(\"=?iso-2022-jp?B?GyRCJA==?=\" NIL \"k\" \"x\")(NIL NIL \"c\" \"y\")"},
        {"Back\\slash <b@x>", "(\"Back\\\\slash \" NIL \"b\" \"x\")"}, {"x\"y@z\" rest", "(NIL NIL \"y\" \"z\")"},
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
