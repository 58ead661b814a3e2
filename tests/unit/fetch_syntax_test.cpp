// Every FETCH response of a varied mailbox, read strictly by the IMAP response grammar: literals
// hold exactly their announced bytes, quoted strings only 7-bit text with '"' and '\' escaped,
// lists are single-spaced, and each item has the shape a client expects.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <regex>
#include <string>

#include "fetch_support.h"

namespace {

struct Parser {
    const std::string& s;
    size_t pos = 0;
    std::string error;

    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
    static bool IsAtomChar(char c) { return c > 0x20 && c < 0x7F && std::strchr("(){ %*\"\\]", c) == nullptr; }
    bool Fail(const std::string& what) {
        if (error.empty()) error = what + " at " + std::to_string(pos) + ": [" + s.substr(pos, 60) + "]";
        return false;
    }
    char Peek() const { return pos < s.size() ? s[pos] : '\0'; }
    bool TakeIf(const std::string& text) { return s.compare(pos, text.size(), text) == 0 && (pos += text.size()); }
    bool Take(const std::string& text) { return TakeIf(text) || Fail("expected \"" + text + "\""); }
    bool Run(bool (*pIs)(char), const char* what) {
        size_t start = pos;
        while (pos < s.size() && pIs(s[pos])) pos++;
        return pos > start || Fail(what);
    }
    bool Quoted() {
        for (Take("\"");; pos++) {
            char c = Peek();
            if (c == '"') return ++pos;
            if (c == '\\' && (++pos, Peek() != '"' && Peek() != '\\')) return Fail("bad escape");
            if (c == '\0' || c == '\r' || c == '\n' || (c & 0x80) != 0) return Fail("not allowed in a quoted string");
        }
    }
    bool Literal() {
        size_t start = pos + 1;
        if (!Take("{") || !Run(IsDigit, "size") || !Take("}\r\n")) return false;
        size_t size = std::stoull(s.substr(start));
        if (s.size() - pos < size) return Fail("literal runs past the response");
        if (s.find('\0', pos) < pos + size) return Fail("NUL inside a literal");
        pos += size;
        return true;
    }
    bool NString() { return TakeIf("NIL") || (Peek() == '{' ? Literal() : Peek() == '"' ? Quoted() : Fail("string")); }
    bool Value() { return Peek() == '(' ? List([this] { return Value(); }) : IsDigit(Peek()) ? Run(IsDigit, "") : NString(); }
    // "(" [element *(SP element)] ")"
    template <typename Element>
    bool List(Element element, int* pCount = nullptr) {
        if (!Take("(")) return false;
        int count = 0;
        for (bool bEnd = TakeIf(")"); !bEnd; bEnd = TakeIf(")")) {
            if ((count > 0 && !Take(" ")) || !element()) return false;
            count++;
        }
        if (pCount != nullptr) *pCount = count;
        return true;
    }
    // NIL or a non-empty list of four-field addresses.
    bool Addresses() {
        int count = 0, fields = 0;
        auto address = [&] { return List([this] { return NString(); }, &fields) && (fields == 4 || Fail("address")); };
        return TakeIf("NIL") || (List(address, &count) && (count > 0 || Fail("empty address list")));
    }
    bool Envelope() {
        bool bOk = Take("(") && NString() && Take(" ") && NString();
        for (int i = 0; i < 6 && bOk; i++) bOk = Take(" ") && Addresses();
        return bOk && Take(" ") && NString() && Take(" ") && NString() && Take(")");
    }
    bool DateTime() {
        static const std::regex kForm(R"("(\d\d| \d)-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{4} )"
                                      R"(\d\d:\d\d:\d\d [+-]\d{4}")");
        std::smatch match;
        if (!std::regex_search(s.begin() + pos, s.end(), match, kForm, std::regex_constants::match_continuous))
            return Fail("date-time");
        pos += match.length(0);
        return true;
    }
    // "[" section text with a parenthesised field list "]" ["<" number ">"]
    bool Section() {
        for (Take("["); Peek() != ']';) {
            if (Peek() == '(') {
                if (!List([this] { return Run(IsAtomChar, "field"); })) return false;
            } else if (IsAtomChar(Peek()) || Peek() == ' ') {
                pos++;
            } else {
                return Fail("section");
            }
        }
        return Take("]") && (!TakeIf("<") || (Run(IsDigit, "origin") && Take(">")));
    }
    bool Attribute() {
        size_t start = pos;
        while (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '.') pos++;
        std::string name = s.substr(start, pos - start);
        if (name == "BODY" && Peek() == '[') return Section() && Take(" ") && NString();
        if (!Take(" ")) return false;
        if (name == "UID" || name == "RFC822.SIZE") return Run(IsDigit, "number");
        if (name == "FLAGS") return List([this] { return (TakeIf("\\") || true) && Run(IsAtomChar, "flag"); });
        if (name == "INTERNALDATE") return DateTime();
        if (name == "ENVELOPE") return Envelope();
        if (name == "BODY" || name == "BODYSTRUCTURE") return List([this] { return Value(); });
        if (name == "RFC822" || name == "RFC822.HEADER" || name == "RFC822.TEXT") return NString();
        return Fail("unknown attribute \"" + name + "\"");
    }
    bool Response(int* pUntagged) {
        for (*pUntagged = 0; Peek() == '*'; ++*pUntagged) {
            if (!Take("* ") || !Run(IsDigit, "number") || !Take(" FETCH ") || !List([this] { return Attribute(); }) ||
                !Take("\r\n"))
                return false;
        }
        if (!Run(IsAtomChar, "tag") || !Take(" ")) return false;
        if (!TakeIf("OK ") && !TakeIf("NO ") && !TakeIf("BAD ")) return Fail("status");
        return s.find("\r\n", pos) + 2 == s.size() || Fail("the tagged line does not end the response");
    }
};

std::string Check(const std::string& response, int* pUntagged) {
    Parser parser{response, 0, ""};
    parser.Response(pUntagged);
    return parser.error;
}

TEST(FetchSyntaxChecker, RejectsWhatClientsCannotParse) {
    const char* bad[] = {
        "* 1 FETCH (BODY[] {5}\r\nabc)\r\na1 OK x\r\n",  // short literal
        "* 1 FETCH (BODY[] {2}\r\nabc)\r\na1 OK x\r\n",  // long literal
        "* 1 FETCH (ENVELOPE (NIL \"a\"b\" NIL NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK x\r\n",
        "* 1 FETCH (ENVELOPE (NIL \"caf\xc3\xa9\" NIL NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK x\r\n",
        "* 1 FETCH (ENVELOPE (NIL NIL () NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK x\r\n",
        "* 1 FETCH (ENVELOPE (NIL NIL ((NIL \"a\" NIL)) NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK x\r\n",
        "* 1 FETCH (FLAGS ()  UID 1)\r\na1 OK x\r\n", "* 1 FETCH ( UID 1)\r\na1 OK x\r\n",
        "* 1 FETCH (UID 1 )\r\na1 OK x\r\n", "* 1 FETCH (INTERNALDATE \"05-Dec-2026 20:49:00 GMT\")\r\na1 OK x\r\n",
        "* 1 FETCH (BODY (\"text\" \"plain\" (\"name\" x)))\r\na1 OK x\r\n",
        "* 1 FETCH (BODY[1]<0.10> {2}\r\n\r\n)\r\na1 OK x\r\n", "* 1 FETCH (UID 1)\r\na1 OK x\r\n\r\n",
    };
    int untagged = 0;
    for (const char* response : bad) EXPECT_NE(Check(response, &untagged), "") << response;
    EXPECT_EQ(Check("* 1 FETCH (UID 1 BODY[HEADER.FIELDS (A B)]<0> {3}\r\na)b ENVELOPE (NIL {2}\r\n\"\\ NIL NIL NIL "
                    "((NIL NIL \"a\" NIL)) NIL NIL NIL NIL))\r\n* 2 FETCH ()\r\na1 OK FETCH completed\r\n",
                    &untagged),
              "");
    EXPECT_EQ(untagged, 2);
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
};

const char* const kItemLists[] = {
    "ALL", "FULL", "FAST", "(FLAGS XYZ UID RFC822.HEADER.LINES)", "(ENVELOPE BODYSTRUCTURE BODY)",
    "(BODY.PEEK[] RFC822.SIZE)", "(BODY.PEEK[]<0.10> BODY.PEEK[]<5> BODY.PEEK[]<99999.3> BODY.PEEK[]<0.0>)",
    "(RFC822.HEADER BODY.PEEK[HEADER] BODY.PEEK[TEXT] RFC822.TEXT.PEEK)",
    "(BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)] BODY.PEEK[HEADER.FIELDS.NOT (TO  CC)] UID)",
    "(BODY.PEEK[1] BODY.PEEK[2] BODY.PEEK[2.MIME] BODY.PEEK[9] BODY.PEEK[X] BODY.PEEK[1]<0.2>)",
    "(BODY.PEEK[HEADER.FIELDS ()] fast)", "(UID FAST)", "INTERNALDATE", "(RFC822 RFC822.PEEK)",
};

TEST(FetchSyntax, EveryResponseOfAVariedMailboxParses) {
    std::string big = "Subject: big \"one\"\r\nContent-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 2000; i++) big += "a line with \"quotes\" and \\ of a big message " + std::to_string(i) + "\r\n";
    FetchFixture f;
    unsigned uid = 1;
    for (const char* message : kMessages) f.Add(uid, uid % 2 == 0 ? "100000" : "011111", message), uid++;
    f.Add(uid++, "010100", big);
    f.Add(uid++, "000000", kMessages[3], 0x7E);
    f.Add(uid++, "100000", big, 0x01);
    for (bool bUid : {false, true}) {
        for (const char* items : kItemLists) {
            int untagged = 0;
            EXPECT_EQ(Check(f.Fetch(std::string("1:* ") + items, bUid), &untagged), "") << items << " uid=" << bUid;
            EXPECT_EQ(untagged, static_cast<int>(uid - 1)) << items;
        }
    }
    // The non-PEEK forms cleared Recent, and no decoded copy was left behind.
    for (const std::string& name : f.Entries()) EXPECT_TRUE(name.size() == 21 && name[11] == '0') << name;
}

}  // namespace
