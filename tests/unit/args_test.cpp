// The argument readers the handlers share, on malformed input above all, and the command reader
// doing with a literal what it is told.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imap/args.h"
#include "imap/command_reader.h"
#include "mail_session.h"

namespace {

// What a reader took and where it left the cursor; "!" when it failed.
template <typename Take>
std::string Read(const std::string& text, Take take) {
    const char* p = text.c_str();
    std::string taken;
    if (!take(&p, &taken)) {
        if (p != text.c_str()) return "! cursor moved";
        return "!";
    }
    return taken + "|" + p;
}

std::string Astring(const std::string& text) {
    return Read(text, [](const char** pp, std::string* pOut) {
        char out[16];
        if (!TakeAstring(pp, out, sizeof(out))) return false;
        *pOut = out;
        return true;
    });
}

std::string Parenthesised(const std::string& text) {
    return Read(text, [](const char** pp, std::string* pOut) {
        char out[16];
        if (!TakeParenthesised(pp, out, sizeof(out))) return false;
        *pOut = out;
        return true;
    });
}

std::string LiteralSize(const std::string& text) {
    return Read(text, [](const char** pp, std::string* pOut) {
        unsigned long ulSize = 0;
        bool bNonSync = false;
        if (!TakeLiteralSize(pp, &ulSize, &bNonSync)) return false;
        *pOut = std::to_string(ulSize) + (bNonSync ? "+" : "");
        return true;
    });
}

// The elements as low:high, "*" for the highest.
std::string SequenceSet(const std::string& text) {
    return Read(text, [](const char** pp, std::string* pOut) {
        std::vector<SetElement> set = {{9, 9}};
        if (!TakeSequenceSet(pp, &set)) {
            // A failure leaves no element behind for a caller that goes on regardless.
            if (set.empty()) return false;
            *pOut = "elements left";
            return true;
        }
        for (const SetElement& e : set) {
            auto number = [](uint32_t ul) { return ul == 0 ? std::string("*") : std::to_string(ul); };
            *pOut += (pOut->empty() ? "" : ",") + number(e.ulLow) + ":" + number(e.ulHigh);
        }
        return true;
    });
}

TEST(Args, StringsAndLiteralsThatAreMalformedFailWithoutMovingTheCursor) {
    const std::pair<std::string, std::string> cases[] = {
        {"INBOX rest", "INBOX| rest"},
        {"\"a \\\"b\\\\\" rest", "a \"b\\| rest"},
        {"\"unterminated", "!"},
        {"\"bad \\escape\"", "!"},
        {"\"line\r\nend\"", "!"},
        {"{3}\r\nabc rest", "abc| rest"},
        {"{3+}\r\nabc", "abc|"},
        {"{3}abc", "!"},             // no line end after the announcement
        {"{3}\r\nab", "!"},          // shorter than announced
        {"{}\r\n", "!"},
        {"{-1}\r\nx", "!"},
        {"{4294967296}\r\nx", "!"},  // a size above 32 bits, not wrapped to 0
        {"{99999999999999999999}\r\nx", "!"},
        {"{16}\r\n0123456789abcdef", "!"},  // does not fit: never cut
        {"sixteen-letters!", "!"},
        {"(list)", "!"},
        {"", "!"},
        {"]close]", "]close]|"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Astring(text), expected) << text;
    // A NUL inside a literal ends the text early: no string.
    const std::string nul("{3}\r\na\0b", 8);
    const char* p = nul.c_str();
    char out[16];
    EXPECT_FALSE(TakeAstring(&p, out, sizeof(out)));
}

TEST(Args, LiteralSizesAndListsThatAreMalformedFail) {
    const std::pair<std::string, std::string> sizes[] = {
        {"{0}", "0|"}, {"{4294967295+}", "4294967295+|"}, {"{4294967296}", "!"}, {"{12", "!"},
        {"{1x}", "!"},  {"{+}", "!"},                     {"{1++}", "!"},       {"12}", "!"},
    };
    for (const auto& [text, expected] : sizes) EXPECT_EQ(LiteralSize(text), expected) << text;
    const std::pair<std::string, std::string> lists[] = {
        {"(a b) c", "a b| c"}, {"()", "|"},    {"(a (b) c)", "!"}, {"((a))", "!"},
        {"(abc", "!"},         {"abc)", "!"},  {")(", "!"},        {"(0123456789abcdef)", "!"},
    };
    for (const auto& [text, expected] : lists) EXPECT_EQ(Parenthesised(text), expected) << text;
}

TEST(Args, SequenceSetsAsRfc3501WritesThem) {
    const std::pair<std::string, std::string> cases[] = {
        {"1", "1:1|"},
        {"1:*,7,3:2 FLAGS", "1:*,7:7,3:2| FLAGS"},
        {"*:5", "*:5|"},  // the same as 5:*
        {"*", "*:*|"},
        {"4294967295", "4294967295:4294967295|"},
        {"0", "!"},
        {"1:0", "!"},
        {"01", "!"},
        {"4294967296", "!"},
        {"1:4294967296", "!"},
        {"18446744073709551617", "!"},  // wraps to 1 in 64 bits
        {"", "!"},
        {" 1", "!"},
        {"1,", "!"},
        {",1", "!"},
        {"1,,2", "!"},
        {"1:", "!"},
        {":1", "!"},
        {"1:2:3", "!"},
        {"-1", "!"},
        {"1junk", "!"},
        {"1(FLAGS)", "!"},
        {"**", "!"},
        {"\"1\"", "!"},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(SequenceSet(text), expected) << text;
}

TEST(Args, ListTextLeavesTheCallersTextAlone) {
    const std::pair<std::string, std::string> cases[] = {
        {"(+FLAGS (\\Seen)) \\Deleted", "+FLAGS (\\Seen)"}, {"+FLAGS (\\Seen)", "+FLAGS (\\Seen)"},
        {"(open", "open"}, {"()", ""}, {"", ""},
    };
    for (const auto& [text, expected] : cases) {
        std::string copy = text;
        EXPECT_EQ(ListText(copy.c_str()), expected) << text;
        EXPECT_EQ(copy, text);
    }
}

// The reader knows no commands: what happens to a literal is the rule's answer for the word.
using CommandReader = MailSession;

TEST_F(CommandReader, ALiteralIsReadRefusedOrLeftAsTheRuleSays) {
    struct {
        LiteralRule rule;
        const char* input;
        const char* command;  // szRecv once read
        const char* left;     // still queued
        const char* prompt;   // sent to the client
    } const cases[] = {
        {LITERALS_READ, "a X {3}\r\nabc\r\n", "a X {3}\r\nabc", "", "+ Ready for literal data\r\n"},
        {LITERALS_READ, "a X m {3+}\r\nabc\r\n", "a X m {3+}\r\nabc", "", ""},
        // Refused: a synchronising literal is never asked for; one already sent is read and dropped with the command.
        {LITERALS_REFUSED, "a X {3}\r\n", "a X {3}", "", ""},
        {LITERALS_REFUSED, "a X {3+}\r\nabc\r\n", "a X {3+}\r\nabc", "", ""},
        // The first argument's literal is read, the one after it is the handler's.
        {LITERAL_MESSAGE, "a X {3+}\r\nabc {2+}\r\nhi\r\n", "a X {3+}\r\nabc {2+}", "hi\r\n", ""},
        {LITERAL_MESSAGE, "a X m {2}\r\nhi\r\n", "a X m {2}", "hi\r\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        static LiteralRule s_rule;
        s_rule = c.rule;
        session->nQueued = 0;
        QueueBehind(session.get(), c.input, strlen(c.input));
        ASSERT_EQ(ReadCommand(session.get(), [](const char* pszWord, int32_t) {
                      return std::string(pszWord) == "X" ? s_rule : LITERALS_READ;
                  }),
                  COMMAND_READY);
        EXPECT_STREQ(session->szRecv, c.command);
        EXPECT_EQ(std::string(session->szQueue, session->nQueued), c.left);
        EXPECT_EQ(Received(), c.prompt);
    }
}

}  // namespace
