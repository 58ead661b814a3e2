// Every FETCH response of a varied mailbox, read strictly by the IMAP response grammar: literals
// hold exactly their announced bytes, quoted strings only 7-bit text with '"' and '\' escaped,
// lists are single-spaced, bodies and envelopes have the shapes of RFC 3501, and no answer is empty.
#include <regex>

#include "fetch_support.h"

const std::string kAtom = R"([\x21\x23\x24\x26\x27\x2B-\x5B\x5E-\x7A\x7C-\x7E]+)";

// Collapses each string to "S" ("D" for a date-time; "T", "M" and "R" for the media words text,
// message and rfc822, which decide a body's shape), after proving that every literal holds exactly
// its announced bytes and every quoted string is 7-bit text with '"' and '\' escaped.
static std::string Skeleton(const std::string& s, std::string* pError) {
    static const std::regex kQuoted(R"("([\x01-\x09\x0B\x0C\x0E-\x21\x23-\x5B\x5D-\x7F]|\\["\\])*")");
    static const std::regex kDate(R"("(\d\d| \d)-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{4} )"
                                  R"(\d\d:\d\d:\d\d [+-]\d{4}")");
    static const std::regex kText(R"("text")", std::regex::icase), kMessage(R"("message")", std::regex::icase),
        kRfc822(R"("rfc822")", std::regex::icase);
    std::string out;
    for (size_t pos = 0, end; pos < s.size() && pError->empty(); pos = end) {
        end = pos + 1;
        if (s[pos] == '{') {
            end = s.find("}\r\n", pos);
            size_t size = end == std::string::npos ? 0 : std::stoull("0" + s.substr(pos + 1, end - pos - 1));
            if (end == std::string::npos || s.find_first_not_of("0123456789", pos + 1) != end ||
                s.size() - end - 3 < size || s.find('\0', end) < end + 3 + size) {
                *pError = "bad literal at " + std::to_string(pos) + ": " + s.substr(pos, 60);
            }
            out += 'S';
            end += 3 + size;
        } else if (s[pos] == '"') {
            while (end < s.size() && s[end] != '"') end += s[end] == '\\' ? 2 : 1;
            std::string quoted = s.substr(pos, ++end - pos);
            if (!std::regex_match(quoted, kQuoted)) *pError = "bad quoted string: " + quoted;
            out += std::regex_match(quoted, kDate)      ? 'D'
                   : std::regex_match(quoted, kText)    ? 'T'
                   : std::regex_match(quoted, kMessage) ? 'M'
                   : std::regex_match(quoted, kRfc822)  ? 'R'
                                                        : 'S';
        } else {
            out += s[pos];
        }
    }
    return out;
}

// The untagged line: a non-empty list of single-spaced items. Bodies are the RFC 3501 shapes, a
// multipart's parts adjacent and a message/rfc822 part with envelope, body and line count. Kept
// quirks are let through: NIL for a type, a subtype, or a size or line count of 0.
static std::regex UntaggedLine() {
    const std::string str = "[SDTMR]", nstr = "(?:" + str + "|NIL)", number = R"((?:\d+|NIL))",
                      pair = str + " " + str, params = R"((?:NIL|\()" + pair + "(?: " + pair + R"()*\)))",
                      dsp = R"((?:NIL|\()" + str + " " + params + R"(\)))",
                      fields = params + " " + nstr + " " + nstr + " " + str + " " + number,
                      lang = "(?:" + nstr + R"(|\()" + str + "(?: " + str + R"()*\)))",
                      ext = "(?: " + nstr + "(?: " + dsp + "(?: " + lang + "(?: " + nstr + ")?)?)?)?",
                      addresses = R"((?:NIL|\((?:\()" + nstr + " " + nstr + " " + nstr + " " + nstr + R"(\))+\)))",
                      envelope =
                          R"(\()" + nstr + " " + nstr + "(?: " + addresses + "){6} " + nstr + " " + nstr + R"(\))";
    // A basic part is anything but text and message/rfc822.
    const std::string single = R"(\((?:(?:[SDR]|NIL) )" + nstr + "|M (?:[SDTM]|NIL)) " + fields + ext + R"(\)|)" +
                               R"(\(T )" + nstr + " " + fields + " " + number + ext + R"(\))";
    std::string body = "(?:" + single + ")";
    for (int depth = 0; depth < 3; depth++) {
        body = "(?:" + single + R"(|\(M R )" + fields + " " + envelope + " " + body + R"( \d+)" + ext + R"(\)|)" +
               R"(\((?:)" + body + ")+ " + str + "(?: " + params + "(?: " + dsp + "(?: " + lang + "(?: " + nstr + ")?)?)?)?" +
               R"(\)))";
    }
    const std::string section = R"(BODY\[(?:[0-9.]*HEADER\.FIELDS(?:\.NOT)? \((?:#(?: #)*)?\)|[A-Za-z0-9.]*)\])";
    std::string item = R"((?:UID \d+|RFC822\.SIZE \d+|FLAGS \((?:\\?#(?: \\?#)*)?\)|INTERNALDATE D|ENVELOPE )" +
                       envelope + "|BODY(?:STRUCTURE)? " + body + "|" + section +
                       R"((?:<\d+>)? !|RFC822(?:\.HEADER|\.TEXT)? !))";
    std::string line = R"(\* \d+ FETCH \()" + item + "(?: " + item + R"()*\)\r\n)";
    for (size_t pos; (pos = line.find('!')) != std::string::npos;) line.replace(pos, 1, nstr);
    for (size_t pos; (pos = line.find('#')) != std::string::npos;) line.replace(pos, 1, kAtom);
    return std::regex(line);
}

// Returns what is wrong with the response, "" when a strict client reads it; counts the untagged lines.
static std::string Check(const std::string& response, int* pUntagged) {
    static const std::regex kUntagged = UntaggedLine(), kTagged(kAtom + R"( (OK|NO|BAD) [^\r\n]*\r\n)");
    std::string error, skeleton = Skeleton(response, &error);
    *pUntagged = 0;
    for (size_t pos = 0, end; error.empty() && (end = skeleton.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
        std::string line = skeleton.substr(pos, end + 2 - pos);
        if (end + 2 == skeleton.size()) return std::regex_match(line, kTagged) ? "" : "bad tagged line: " + line;
        if (!std::regex_match(line, kUntagged)) return "bad untagged line: " + line;
        ++*pUntagged;
    }
    return error.empty() ? "no tagged line at the end" : error;
}

// Quotes, backslashes, 8-bit text, raw ISO-2022, folded fields, odd MIME, end markers, missing
// line ends; a big and two scrambled messages are added below.
const char* const kMessages[] = {
    "Date: Sat, 05 Dec 2026 20:49:00 +0900\r\nFrom: \"Doe, \\\"J\\\"\" <j@x>\r\nTo: a@b, \"c\" <c@d>; e@f, \r\n"
    "Subject: say \"hi\" to C:\\dir\r\nMessage-ID: <1@x>\r\n\r\nbody\r\n",
    "From: caf\xc3\xa9 <k@x>\r\nSubject: \xe2\x82\xac 8-bit\r\nCc: <postmaster>\r\n\r\n\xff\xfe bytes\r\n",
    "From: \x1b$B$\"\x1b(B <k@x>\r\nSubject: \x1b$)C\x0e\"\\\x0f\r\nTo: \x1b$)A\"a, b@c\r\n\r\nx\r\n",
    "Subject: one\r\n two\r\nTo: a@x,\r\n\tb@y\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"=_sep\"\r\n\r\n"
    "pre\r\n--=_sep\r\nContent-Type: text/plain; charset=\"a;b\"\r\nContent-ID: <\"q\"@x>\r\n\r\none\r\n"
    "--=_sep\r\nContent-Type: app/x; name=C:\\file\r\nContent-Disposition: attachment;\r\n\tfilename=\"a \\\"b\"; x=1\r\n"
    "\r\nAAAA\r\n--=_sep--\r\n",
    "Content-Type: multipart/mixed; boundary=A\r\n\r\n--A\r\nContent-Type: multipart/alternative; boundary=\"B\"\r\n\r\n"
    "--B\r\nContent-Disposition: inline\r\n\r\nplain\r\n--B\r\nContent-Disposition: inline; \r\n\r\nh\r\n--B--\r\n--A--\r\n",
    "Content-Type: text\r\nContent-Type: /\r\n\r\n.\r\nafter\r\n",
    "Content-Type: text/x\"y; name=\"a \\\"b\\\" c\"\r\n\r\nlast line without end", "", "Subject: header only",
    "Subject: x\r\n\r\n\r\n\r\n",
    "Content-Type: multipart/mixed; boundary=\"m\"\r\n\r\n--m\r\nContent-Type: message/rfc822; name=\"fw\"\r\n\r\n"
    "Subject: fw \"q\"\r\nFrom: a@b, c@d\r\nContent-Type: message/rfc822; x=1\r\n\r\nSubject: deeper\r\n"
    "Content-Type: text/plain; charset=x\r\n\r\nhi\r\n--m\r\nContent-Type: MESSAGE/RFC822\r\n\r\nSubject: p\r\n\r\n"
    "z\r\n--m--\r\n",
    "Content-Type: message/rfc822; x=y\r\n\r\nSubject: top\r\nContent-Type: multipart/mixed; boundary=i\r\n\r\n--i\r\n",
};

const char* const kItemLists[] = {
    "ALL", "FULL", "FAST", "(FLAGS XYZ UID RFC822.HEADER.LINES)", "(ENVELOPE BODYSTRUCTURE BODY)",
    "(BODY.PEEK[] RFC822.SIZE)", "(BODY.PEEK[]<0.10> BODY.PEEK[]<5> BODY.PEEK[]<99999.3> BODY.PEEK[]<0.0>)",
    "(RFC822.HEADER BODY.PEEK[HEADER] BODY.PEEK[TEXT] RFC822.TEXT.PEEK)",
    "(BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)] BODY.PEEK[HEADER.FIELDS.NOT (TO  CC)] UID)",
    "(BODY.PEEK[1] BODY.PEEK[2] BODY.PEEK[2.MIME] BODY.PEEK[9] BODY.PEEK[X] BODY.PEEK[1]<0.2>)",
    "(BODY.PEEK[HEADER.FIELDS ()] fast)", "(UID FAST)", "INTERNALDATE", "(RFC822 RFC822.PEEK)",
    "(BODY.PEEK[1.HEADER.FIELDS (SUBJECT FROM)] BODY.PEEK[2.HEADER.FIELDS.NOT (X  Y)] BODY.PEEK[1.MIME)",
    "(XYZ fast)",  // writes nothing, so a plain FETCH answers no message
};

TEST(FetchSyntax, EveryResponseOfAVariedMailboxParses) {
    // First the checker itself: what a strict client cannot parse.
    const auto wrap = [](const std::string& items) { return "* 1 FETCH (" + items + ")\r\na1 OK x\r\n"; };
    const std::string nils = " NIL NIL NIL NIL NIL NIL NIL NIL)";
    int untagged = 0;
    for (const std::string& bad : {
             wrap("BODY[] {5}\r\nabc"), wrap("BODY[] {2}\r\nabc"), wrap("ENVELOPE (NIL \"a\"b\"" + nils),
             wrap("ENVELOPE (NIL \"caf\xc3\xa9\"" + nils), wrap("ENVELOPE (NIL NIL ()" + nils.substr(4)),
             wrap("ENVELOPE (NIL NIL ((NIL \"a\" NIL))" + nils.substr(4)), wrap("FLAGS ()  UID 1"), wrap(" UID 1"),
             wrap("UID 1 "), wrap("INTERNALDATE \"05-Dec-2026 20:49:00 GMT\""),
             wrap("BODY (\"text\" \"plain\" (\"name\" x))"), wrap("BODY[1]<0.10> {2}\r\n\r\n"), wrap("UID 1") + "\r\n",
             wrap(""), wrap("BODY[1.HEADER.FIELDS {2}\r\n\r\n")}) {
        EXPECT_NE(Check(bad, &untagged), "") << bad;
    }
    // Each pair: what a strict client reads, and the same with one fault.
    const std::string part = "(\"text\" \"plain\" NIL NIL NIL \"7bit\" 1 1)", to = "(NIL NIL \"a\" \"b\")";
    const std::string envelope = "(NIL NIL ((NIL NIL \"a\" \"b\")) NIL NIL NIL NIL NIL NIL NIL) ";
    const std::pair<std::string, std::string> pairs[] = {
        {"BODY (" + part + part + " \"mixed\")", "BODY (" + part + " " + part + " \"mixed\")"},
        {"BODY (" + part + "(" + part + " \"x\") \"y\")", "BODY (" + part + "((" + part + ") \"x\") \"y\")"},
        {"BODY (\"message\" \"RFC822\" NIL NIL NIL \"7bit\" 22 " + envelope + part + " 2)",
         "BODY (\"message\" \"RFC822\" NIL NIL NIL \"7bit\" 22 NIL NIL NIL)"},
        {"BODY (\"message\" NIL NIL NIL NIL \"7bit\" 22 NIL NIL NIL)", "BODY (\"text\" NIL NIL NIL NIL \"7bit\" 22)"},
        {"ENVELOPE (NIL NIL (" + to + to + ")" + nils.substr(4),
         "ENVELOPE (NIL NIL (" + to + " " + to + ")" + nils.substr(4)},
    };
    for (const auto& [good, bad] : pairs) {
        EXPECT_EQ(Check(wrap(good), &untagged), "") << good;
        EXPECT_NE(Check(wrap(bad), &untagged), "") << bad;
    }
    std::string big = "Subject: big \"one\"\r\nContent-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 2000; i++) big += "a line with \"quotes\" and \\ of a big message " + std::to_string(i) + "\r\n";
    FetchFixture f;
    unsigned uid = 1;
    for (const char* message : kMessages) f.Add(uid, uid % 2 == 0 ? "100000" : "011111", message), uid++;
    f.Add(uid++, "010100", big);
    f.Add(uid++, "000000", kMessages[3], 0x7E);
    f.Add(uid++, "100000", big, 0x01);
    for (const char* prefix : {"1:* ", "UID 1:* "}) {
        for (const char* items : kItemLists) {
            EXPECT_EQ(Check(f.Fetch(prefix + std::string(items)), &untagged), "") << prefix << items;
            EXPECT_EQ(untagged, static_cast<int>(uid - 1)) << prefix << items;
        }
    }
    // The non-PEEK forms set Seen, and no decoded copy was left behind.
    for (const std::string& name : f.Entries()) EXPECT_TRUE(name.size() == 21 && name[15] == '1') << name;
}
