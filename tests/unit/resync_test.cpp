// The arguments of keywords, CONDSTORE and QRESYNC read from a client, on odd input above all,
// and the UID lists written back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imap/keywords.h"
#include "imap/resync.h"

namespace {

std::string SetText(const std::vector<SetElement>& set) {
    std::string text;
    for (const SetElement& e : set) {
        if (!text.empty()) text += ",";
        text += (e.ulLow == 0 ? "*" : std::to_string(e.ulLow)) + ":" + (e.ulHigh == 0 ? "*" : std::to_string(e.ulHigh));
    }
    return text;
}

// "system-bits|kw1 kw2" or "!bad".
std::string Flags(const char* text) {
    FlagList list;
    std::string bad;
    if (!ReadFlagList(text, &list, &bad)) return "!" + bad;
    std::string out = std::to_string(list.fSystem) + "|";
    for (const std::string& k : list.keywords) out += (out.back() == '|' ? "" : " ") + k;
    return out;
}

TEST(FlagListReading, SystemFlagsAsBeforeAndEveryOtherWordAKeyword) {
    struct { const char *text, *read; } const cases[] = {
        {"(\\Seen $Junk)", "16|$Junk"},
        {"\\Seen \\Deleted", "24|"},
        {"()", "0|"},
        {"", "0|"},
        {"NIL", "0|NIL"},
        // A backslash word names the flag it begins with, or nothing; it is never a keyword.
        {"(\\Seenish \\See \\Foo)", "16|"},
        // Duplicates once, compared without regard to case, the first spelling kept.
        {"($Label1 $label1 Junk $LABEL1)", "0|$Label1 Junk"},
        {"(  $a   $b  )", "0|$a $b"},
        {"($Forwarded $MDNSent NonJunk)", "0|$Forwarded $MDNSent NonJunk"},
        // What an atom may not hold.
        {"(a]b)", "!a]b"},
        {"(a%)", "!a%"},
        {"(*)", "!*"},
        {"(\"quoted\")", "!\"quoted\""},
        {"(a{3})", "!a{3}"},
        {"(caf\xc3\xa9)", "!caf\xc3\xa9"},
        {"(x\x01y)", "!x\x01y"},
    };
    for (const auto& c : cases) EXPECT_EQ(Flags(c.text), c.read) << c.text;
    std::string longest(KEYWORD_MAX_LENGTH, 'k');
    EXPECT_EQ(Flags(("(" + longest + ")").c_str()), "0|" + longest);
    EXPECT_EQ(Flags(("(" + longest + "k)").c_str())[0], '!');
}

std::string Modifiers(const char* text) {
    char buf[256];
    snprintf(buf, sizeof(buf), "%s", text);
    FetchModifiers m;
    switch (CutFetchModifiers(buf, &m)) {
        case MODIFIERS_NONE:
            return std::string("none|") + buf;
        case MODIFIERS_BAD:
            return "bad";
        case MODIFIERS_READ:
            break;
    }
    return std::to_string(m.ullChangedSince) + (m.bVanished ? " vanished|" : "|") + buf;
}

TEST(FetchModifierReading, CutsOnlyAModifierListThatEndsTheItems) {
    struct { const char *text, *read; } const cases[] = {
        {"(FLAGS) (CHANGEDSINCE 5)", "5|(FLAGS)"},
        {"FLAGS (changedsince 12345)", "12345|FLAGS"},
        {"(FLAGS) (CHANGEDSINCE 7 VANISHED)", "7 vanished|(FLAGS)"},
        {"(FLAGS) (VANISHED CHANGEDSINCE 7)", "7 vanished|(FLAGS)"},
        {"(FLAGS) (CHANGEDSINCE 9223372036854775807)", "9223372036854775807|(FLAGS)"},
        // Items that merely end in a list are no modifiers.
        {"BODY[HEADER.FIELDS (TO)]", "none|BODY[HEADER.FIELDS (TO)]"},
        {"(FLAGS BODY[HEADER.FIELDS (CHANGEDSINCE)])", "none|(FLAGS BODY[HEADER.FIELDS (CHANGEDSINCE)])"},
        {"(UID FLAGS)", "none|(UID FLAGS)"},
        {"(FLAGS)(CHANGEDSINCE 5)", "none|(FLAGS)(CHANGEDSINCE 5)"},
        {"(FLAGS)", "none|(FLAGS)"},
        // Modifier lists that cannot be read.
        {"(FLAGS) (CHANGEDSINCE 0)", "bad"},
        {"(FLAGS) (CHANGEDSINCE 9223372036854775808)", "bad"},
        {"(FLAGS) (CHANGEDSINCE -1)", "bad"},
        {"(FLAGS) (CHANGEDSINCE)", "bad"},
        {"(FLAGS) (CHANGEDSINCE 5 CHANGEDSINCE 6)", "bad"},
        {"(FLAGS) (VANISHED)", "bad"},
        {"(FLAGS) (CHANGEDSINCE 5 FOO)", "bad"},
        {"(FLAGS) (CHANGEDSINCE 5  VANISHED)", "bad"},
        {"(FLAGS) (CHANGEDSINCEX 5)", "bad"},
    };
    for (const auto& c : cases) EXPECT_EQ(Modifiers(c.text), c.read) << c.text;
}

TEST(StoreModifierReading, UnchangedSinceTakesZeroAndNeedsItsBlank) {
    struct { const char *text, *read; } const cases[] = {
        {"(UNCHANGEDSINCE 5) +FLAGS (\\Seen)", "5|+FLAGS (\\Seen)"},
        {"(unchangedsince 0) FLAGS ()", "0|FLAGS ()"},
        {"(+FLAGS (\\Seen))", "none"},
        {"+FLAGS (\\Seen)", "none"},
        {"(UNCHANGEDSINCE) +FLAGS", "bad"},
        {"(UNCHANGEDSINCE 5)+FLAGS", "bad"},
        {"(UNCHANGEDSINCE 5 6) +FLAGS", "bad"},
        {"(UNCHANGEDSINCE 99999999999999999999) +FLAGS", "bad"},
    };
    for (const auto& c : cases) {
        const char* p = c.text;
        uint64_t n = 77;
        ModifierResult r = TakeStoreModifiers(&p, &n);
        std::string read = r == MODIFIERS_NONE ? "none" : r == MODIFIERS_BAD ? "bad" : std::to_string(n) + "|" + p;
        EXPECT_EQ(read, c.read) << c.text;
        if (r != MODIFIERS_READ) {
            EXPECT_EQ(p, c.text) << "the cursor moved";
        }
    }
}

std::string Select(const char* text) {
    SelectParameters s;
    if (!ReadSelectParameters(text, &s)) return "bad";
    std::string out = s.bCondStore ? "condstore" : "";
    if (s.bQresync) {
        out += (out.empty() ? "" : " ") + std::string("qresync ") + std::to_string(s.ulUidValidity) + " " +
               std::to_string(s.ullModSeq);
        if (s.bKnownUids) out += " known " + SetText(s.knownUids);
        if (s.bMatch) out += " match " + SetText(s.matchSequences) + "=" + SetText(s.matchUids);
    }
    return out;
}

TEST(SelectParameterReading, CondStoreAndQresyncWithTheirOptionalParts) {
    struct { const char *text, *read; } const cases[] = {
        {"(CONDSTORE)", "condstore"},
        {"(condstore)", "condstore"},
        {"(QRESYNC (67890007 20050715194045000))", "qresync 67890007 20050715194045000"},
        {"(QRESYNC (67890007 90060115194045000 41:211,214:541))", "qresync 67890007 90060115194045000 known 41:211,214:541"},
        {"(QRESYNC (1 2 1:* (1:3,5 4:6,9)))", "qresync 1 2 known 1:* match 1:3,5:5=4:6,9:9"},
        {"(CONDSTORE QRESYNC (5 6))", "condstore qresync 5 6"},
        {"", "bad"},
        {"()", "bad"},
        {"(CONDSTORE", "bad"},
        {"(CONDSTORE) x", "bad"},
        {"(FOO)", "bad"},
        {"(QRESYNC)", "bad"},
        {"(QRESYNC (0 5))", "bad"},  // UIDVALIDITY is never 0
        {"(QRESYNC (5 0))", "bad"},
        {"(QRESYNC (4294967296 5))", "bad"},
        {"(QRESYNC (5 6 1:x))", "bad"},
        {"(QRESYNC (5 6 1:3 (1:2)))", "bad"},
        {"(QRESYNC (5 6) QRESYNC (5 6))", "bad"},
    };
    for (const auto& c : cases) EXPECT_EQ(Select(c.text), c.read) << c.text;
}

TEST(UidSetWriting, RunsBecomeRangesAndTheClientsSetCutsTheRanges) {
    std::string text;
    AppendUidSet(&text, {1, 2, 3, 5, 7, 8, 4294967295u});
    EXPECT_EQ(text, "1:3,5,7:8,4294967295");
    text.clear();
    AppendUidSet(&text, {});
    EXPECT_EQ(text, "");

    std::vector<UidRange> ranges = {{2, 4}, {10, 20}, {30, 30}};
    EXPECT_EQ(UidRangesText(ranges, nullptr, 0), "2:4,10:20,30");
    std::vector<SetElement> set = {{3, 12}, {15, 0}};  // 3:12,15:*
    EXPECT_EQ(UidRangesText(ranges, &set, 25), "3:4,10:12,15:20");
    EXPECT_EQ(UidRangesText(ranges, &set, 40), "3:4,10:12,15:20,30");
    // Elements that overlap, or touch, give one range.
    std::vector<SetElement> twice = {{11, 13}, {12, 15}, {16, 16}, {2, 2}};
    EXPECT_EQ(UidRangesText(ranges, &twice, 40), "2,11:16");
    std::vector<SetElement> none = {{5, 9}};
    EXPECT_EQ(UidRangesText(ranges, &none, 40), "");
}

}  // namespace
