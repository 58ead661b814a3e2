// Every FETCH response of a varied mailbox, read by a strict parser of the RFC 3501 response
// grammar: literals hold exactly their announced bytes, quoted strings carry only 7-bit text
// with '"' and '\' escaped, lists are single-spaced, and each item has the shape a client
// expects (numbers, flag lists, ten-field envelopes with four-field addresses, date-times).
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "fetch_support.h"

namespace {

struct Parser {
    const std::string& s;
    size_t pos = 0;
    std::string error;

    bool Fail(const std::string& what) {
        if (error.empty()) {
            error = what + " at " + std::to_string(pos) + ": [" + s.substr(pos, 60) + "]";
        }
        return false;
    }
    bool AtEnd() const { return pos >= s.size(); }
    char Peek() const { return AtEnd() ? '\0' : s[pos]; }
    bool Take(const std::string& text) {
        if (s.compare(pos, text.size(), text) != 0) {
            return Fail("expected \"" + text + "\"");
        }
        pos += text.size();
        return true;
    }
    bool TakeIf(const std::string& text) {
        if (s.compare(pos, text.size(), text) == 0) {
            pos += text.size();
            return true;
        }
        return false;
    }

    bool Number(unsigned long long* pValue = nullptr) {
        size_t start = pos;
        unsigned long long value = 0;
        while (!AtEnd() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
            value = value * 10 + static_cast<unsigned long long>(s[pos++] - '0');
        }
        if (pos == start) {
            return Fail("number");
        }
        if (pValue != nullptr) {
            *pValue = value;
        }
        return true;
    }

    static bool IsAtomChar(char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F && std::strchr("(){ %*\"\\]", c) == nullptr;
    }

    bool Atom(std::string* pAtom = nullptr) {
        size_t start = pos;
        while (!AtEnd() && IsAtomChar(s[pos])) {
            pos++;
        }
        if (pos == start) {
            return Fail("atom");
        }
        if (pAtom != nullptr) {
            *pAtom = s.substr(start, pos - start);
        }
        return true;
    }

    bool Quoted(std::string* pValue) {
        if (!Take("\"")) {
            return false;
        }
        std::string value;
        for (;;) {
            if (AtEnd()) {
                return Fail("unterminated quoted string");
            }
            unsigned char c = static_cast<unsigned char>(s[pos++]);
            if (c == '"') {
                break;
            }
            if (c == '\\') {
                if (AtEnd() || (s[pos] != '"' && s[pos] != '\\')) {
                    return Fail("bad escape in quoted string");
                }
                value += s[pos++];
                continue;
            }
            if (c == '\r' || c == '\n' || c == 0 || c >= 0x80) {
                pos--;
                return Fail("character not allowed in a quoted string");
            }
            value += static_cast<char>(c);
        }
        if (pValue != nullptr) {
            *pValue = value;
        }
        return true;
    }

    bool Literal(std::string* pValue) {
        unsigned long long size = 0;
        if (!Take("{") || !Number(&size) || !Take("}\r\n")) {
            return false;
        }
        if (s.size() - pos < size) {
            return Fail("literal runs past the response");
        }
        std::string value = s.substr(pos, size);
        if (value.find('\0') != std::string::npos) {
            return Fail("NUL inside a literal");
        }
        pos += size;
        if (pValue != nullptr) {
            *pValue = value;
        }
        return true;
    }

    bool String(std::string* pValue = nullptr) {
        if (Peek() == '"') return Quoted(pValue);
        if (Peek() == '{') return Literal(pValue);
        return Fail("string");
    }

    bool NString(std::string* pValue = nullptr, bool* pbNil = nullptr) {
        if (TakeIf("NIL")) {
            if (pbNil != nullptr) *pbNil = true;
            return true;
        }
        if (pbNil != nullptr) *pbNil = false;
        return String(pValue);
    }

    // Any value inside a body structure: nested lists, strings, numbers, NIL.
    bool Value() {
        char c = Peek();
        if (c == '(') return List([this] { return Value(); });
        if (c == '"' || c == '{') return String();
        if (std::isdigit(static_cast<unsigned char>(c))) return Number();
        if (TakeIf("NIL")) return true;
        return Fail("value");
    }

    // "(" [element *(SP element)] ")", exactly one space between elements.
    template <typename Element>
    bool List(Element element, int* pCount = nullptr) {
        if (!Take("(")) return false;
        int count = 0;
        if (!TakeIf(")")) {
            for (;;) {
                if (!element()) return false;
                count++;
                if (TakeIf(")")) break;
                if (!Take(" ")) return false;
            }
        }
        if (pCount != nullptr) *pCount = count;
        return true;
    }

    bool Flag() {
        TakeIf("\\");
        return Atom();
    }

    bool Address() {
        int count = 0;
        if (!List([this] { return NString(); }, &count)) return false;
        return count == 4 || Fail("address with " + std::to_string(count) + " fields");
    }

    bool Envelope() {
        if (!Take("(") || !NString() || !Take(" ") || !NString()) return false;
        for (int i = 0; i < 6; i++) {
            if (!Take(" ")) return false;
            if (TakeIf("NIL")) continue;
            int count = 0;
            if (!List([this] { return Address(); }, &count)) return false;
            if (count == 0) return Fail("empty address list");
        }
        return Take(" ") && NString() && Take(" ") && NString() && Take(")");
    }

    // dd-Mmm-yyyy hh:mm:ss +zzzz
    bool DateTime() {
        std::string text;
        if (!Quoted(&text)) return false;
        static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        bool bMonth = false;
        for (const char* month : kMonths) {
            bMonth = bMonth || text.compare(3, 3, month) == 0;
        }
        auto digits = [&](size_t at, size_t n) {
            for (size_t i = at; i < at + n; i++) {
                if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
            }
            return true;
        };
        bool bOk = text.size() == 26 && (digits(0, 2) || (text[0] == ' ' && digits(1, 1))) && text[2] == '-' &&
                   bMonth && text[6] == '-' && digits(7, 4) && text[11] == ' ' && digits(12, 2) && text[14] == ':' &&
                   digits(15, 2) && text[17] == ':' && digits(18, 2) && text[20] == ' ' &&
                   (text[21] == '+' || text[21] == '-') && digits(22, 4);
        return bOk || Fail("date-time \"" + text + "\"");
    }

    // BODY[section]<origin>: section-spec text, with a parenthesised header list.
    bool Section() {
        if (!Take("[")) return false;
        while (!AtEnd() && Peek() != ']') {
            if (Peek() == '(') {
                if (!List([this] { return Atom(); })) return false;
                continue;
            }
            if (Peek() == ' ' || IsAtomChar(Peek())) {
                pos++;
                continue;
            }
            return Fail("section");
        }
        if (!Take("]")) return false;
        if (TakeIf("<")) {
            return Number() && Take(">");
        }
        return true;
    }

    bool Attribute() {
        std::string name;
        size_t start = pos;
        while (!AtEnd() && (std::isalnum(static_cast<unsigned char>(Peek())) || Peek() == '.')) pos++;
        name = s.substr(start, pos - start);
        if (name == "BODY" && Peek() == '[') {
            return Section() && Take(" ") && NString();
        }
        if (!Take(" ")) return false;
        if (name == "UID" || name == "RFC822.SIZE") return Number();
        if (name == "FLAGS") return List([this] { return Flag(); });
        if (name == "INTERNALDATE") return DateTime();
        if (name == "ENVELOPE") return Envelope();
        if (name == "BODY" || name == "BODYSTRUCTURE") return Value();
        if (name == "RFC822" || name == "RFC822.HEADER" || name == "RFC822.TEXT") return NString();
        return Fail("unknown attribute \"" + name + "\"");
    }

    bool Untagged() {
        if (!Take("* ") || !Number() || !Take(" FETCH ")) return false;
        if (!List([this] { return Attribute(); })) return false;
        return Take("\r\n");
    }

    bool Tagged() {
        std::string tag;
        if (!Atom(&tag) || !Take(" ")) return false;
        if (!TakeIf("OK ") && !TakeIf("NO ") && !TakeIf("BAD ")) return Fail("status");
        size_t end = s.find("\r\n", pos);
        if (end == std::string::npos) return Fail("tagged line without CRLF");
        pos = end + 2;
        return true;
    }

    bool Response(int* pUntagged) {
        *pUntagged = 0;
        while (Peek() == '*') {
            if (!Untagged()) return false;
            (*pUntagged)++;
        }
        if (!Tagged()) return false;
        return AtEnd() || Fail("text after the tagged line");
    }
};

std::string Check(const std::string& response, int* pUntagged) {
    Parser parser{response, 0, ""};
    parser.Response(pUntagged);
    return parser.error;
}

TEST(FetchSyntaxChecker, RejectsWhatClientsCannotParse) {
    const char* bad[] = {
        "* 1 FETCH (BODY[] {5}\r\nabc)\r\na1 OK FETCH completed\r\n",          // short literal
        "* 1 FETCH (BODY[] {2}\r\nabc)\r\na1 OK FETCH completed\r\n",          // long literal
        "* 1 FETCH (ENVELOPE (NIL \"a\"b\" NIL NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK x\r\n",
        "* 1 FETCH (FLAGS ()  UID 1)\r\na1 OK FETCH completed\r\n",            // double space
        "* 1 FETCH ( UID 1)\r\na1 OK FETCH completed\r\n",
        "* 1 FETCH (UID 1 )\r\na1 OK FETCH completed\r\n",
        "* 1 FETCH (INTERNALDATE \"05-Dec-2026 20:49:00 GMT\")\r\na1 OK x\r\n",
        "* 1 FETCH (BODY (\"text\" \"plain\" (\"name\" x)))\r\na1 OK x\r\n",      // unquoted value
        "* 1 FETCH (ENVELOPE (NIL \"caf\xc3\xa9\" NIL NIL NIL NIL NIL NIL NIL NIL))\r\na1 OK x\r\n",
        "* 1 FETCH (BODY[1]<0.10> {2}\r\n\r\n)\r\na1 OK x\r\n",
    };
    for (const char* response : bad) {
        int untagged = 0;
        EXPECT_NE(Check(response, &untagged), "") << response;
    }
    int untagged = 0;
    EXPECT_EQ(Check("* 1 FETCH (UID 1 BODY[] {3}\r\na)b ENVELOPE (NIL {2}\r\n\"\\ NIL NIL NIL ((NIL NIL \"a\" NIL)) NIL "
                    "NIL NIL NIL))\r\na1 OK FETCH completed\r\n",
                    &untagged),
              "");
    EXPECT_EQ(untagged, 1);
}

// Messages chosen for the shapes that trouble a client: quotes, backslashes, 8-bit text, raw
// ISO-2022, folded fields, odd MIME, end markers, missing line ends, big and scrambled files.
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
    "Content-Type: text/x\"y; name=\"a \\\"b\\\" c\"\r\n\r\nlast line without end",
    "",
    "Subject: header only",
    "Subject: x\r\n\r\n\r\n\r\n",
};

std::string BigMessage() {
    std::string content = "Subject: big \"one\"\r\nContent-Type: text/plain\r\n\r\n";
    for (int i = 0; i < 2000; i++) {
        content += "a line with \"quotes\" and \\ of a big message " + std::to_string(i) + "\r\n";
    }
    return content;
}

const char* const kItemLists[] = {
    "ALL", "FULL", "FAST", "(FLAGS XYZ UID RFC822.HEADER.LINES)", "(ENVELOPE BODYSTRUCTURE BODY)",
    "(BODY.PEEK[] RFC822.SIZE)", "(BODY.PEEK[]<0.10> BODY.PEEK[]<5> BODY.PEEK[]<99999.3> BODY.PEEK[]<0.0>)",
    "(RFC822.HEADER BODY.PEEK[HEADER] BODY.PEEK[TEXT] RFC822.TEXT.PEEK)",
    "(BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)] BODY.PEEK[HEADER.FIELDS.NOT (TO  CC)] UID)",
    "(BODY.PEEK[1] BODY.PEEK[2] BODY.PEEK[2.MIME] BODY.PEEK[9] BODY.PEEK[X] BODY.PEEK[1]<0.2>)",
    "(BODY.PEEK[HEADER.FIELDS ()] fast)", "(UID FAST)", "INTERNALDATE", "(RFC822 RFC822.PEEK)",
};

TEST(FetchSyntax, EveryResponseOfAVariedMailboxParses) {
    FetchFixture f;
    unsigned uid = 1;
    for (const char* message : kMessages) {
        f.AddMessage(uid, uid % 2 == 0 ? "100000" : "011111", message);
        uid++;
    }
    f.AddMessage(uid++, "010100", BigMessage());
    f.AddScrambledMessage(uid++, "000000", kMessages[3], 0x7E);
    f.AddScrambledMessage(uid++, "100000", BigMessage(), 0x01);
    const int messages = static_cast<int>(uid - 1);

    for (bool bUid : {false, true}) {
        for (const char* items : kItemLists) {
            std::string response = f.Fetch(std::string("1:* ") + items, bUid);
            int untagged = 0;
            EXPECT_EQ(Check(response, &untagged), "") << items << " uid=" << bUid;
            EXPECT_EQ(untagged, messages) << items;
        }
    }
    // The non-PEEK forms above cleared Recent; no copy was left behind.
    for (const std::string& name : f.Entries()) {
        EXPECT_EQ(name.size(), 21u) << name;
        EXPECT_EQ(name[11], '0') << name;
    }
}

}  // namespace
