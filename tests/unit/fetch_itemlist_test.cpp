// The item list of FETCH: macros, splitting, the UID addition and the 20-item limit.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "imap/fetch/items.h"

namespace {

struct Parsed {
    std::vector<std::string> items;
    int count;
};

Parsed Parse(const std::string& text, bool bUid) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    FetchItemList list = {};
    ParseItemList(buffer.data(), bUid, &list);
    Parsed parsed;
    for (int i = 0; i < list.nItems; i++) {
        parsed.items.push_back(list.pItems[i]);
    }
    EXPECT_EQ(list.pItems[list.nItems], nullptr);
    parsed.count = list.nCount;
    return parsed;
}

std::string Words(int n) {
    std::string text;
    for (int i = 1; i <= n; i++) {
        text += (i > 1 ? " W" : "W") + std::to_string(i);
    }
    return text;
}

struct ItemCase {
    const char* text;
    bool bUid;
    std::vector<std::string> items;
};

TEST(FetchItemList, SplitsMacrosAndAddsUid) {
    const ItemCase cases[] = {
        {"ALL", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", ""}},
        {"ALL", true, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "", "UID"}},
        {"FULL", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODY", ""}},
        {"FAST", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", ""}},
        // Text before a macro is dropped, so the UID word goes; the addition brings it back.
        {"UID FAST", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", ""}},
        {"UID FAST", true, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "", "UID"}},
        // The rest after the macro word is carried over.
        {"FAST UID", true, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "", "UID"}},
        // Macros are case-sensitive.
        {"fast", false, {"fast"}},
        {"all uid", true, {"all", "uid"}},
        // ALL is searched before FULL and FAST, as a plain substring.
        {"FAST ALL", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", ""}},
        {"FLAGS XYZ UID", true, {"FLAGS", "XYZ", "UID"}},
        {"FLAGS  UID", false, {"FLAGS", "", "UID"}},
        {"flags", true, {"flags", "UID"}},
        // A section without its "]" hands the rest up to "]" to the next word.
        {"BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)] UID", false,
         {"BODY.PEEK[HEADER.FIELDS", "(SUBJECT FROM)", "", "UID"}},
        {"BODY[1.MIME] BODY[]<0.10>", false, {"BODY[1.MIME]", "BODY[]<0.10>"}},
        // "not" joins the word after it.
        {"NOT SUBJECT FROM", false, {"NOT SUBJECT", "FROM"}},
        {"a not", false, {"a", "not"}},
    };
    for (const ItemCase& c : cases) {
        Parsed parsed = Parse(c.text, c.bUid);
        EXPECT_EQ(parsed.items, c.items) << c.text << " uid=" << c.bUid;
    }
}

TEST(FetchItemList, NineteenthWordTakesTheRest) {
    Parsed parsed = Parse(Words(22), false);
    ASSERT_EQ(parsed.items.size(), 19u);
    EXPECT_EQ(parsed.items[17], "W18");
    EXPECT_EQ(parsed.items[18], "W19 W20 W21 W22");
    EXPECT_EQ(parsed.count, 20);
}

TEST(FetchItemList, CountAgainstTheLimit) {
    struct CountCase {
        int words;
        bool bUid;
        int count;
    };
    const CountCase cases[] = {
        {18, false, 18},
        {18, true, 19},   // 18 words and an added UID
        {19, false, 20},  // the limit reached counts one more
        {19, true, 21},   // refused: the limit and an added UID
        {30, false, 20},
        {30, true, 21},
    };
    for (const CountCase& c : cases) {
        EXPECT_EQ(Parse(Words(c.words), c.bUid).count, c.count) << c.words << " uid=" << c.bUid;
    }
    // Within the limit only the first 18 words are looked at for a UID.
    EXPECT_EQ(Parse(Words(17) + " UID", true).count, 18);
    EXPECT_EQ(Parse("UID " + Words(18), true).count, 20);
    EXPECT_EQ(Parse(Words(18) + " UID", true).count, 21);
}

TEST(FetchItemList, MacroRestIsCutAt1023) {
    std::string rest(2000, 'x');
    Parsed parsed = Parse("FAST " + rest, false);
    // The expansion's own space and the one after FAST make an empty word between.
    ASSERT_EQ(parsed.items.size(), 5u);
    EXPECT_EQ(parsed.items[3], "");
    EXPECT_EQ(parsed.items[4], std::string(1022, 'x'));
}

TEST(FetchItemList, FieldListSplitsWithoutMacros) {
    char text[] = "SUBJECT  ALL";
    char* words[FETCH_ITEM_WORDS + 1];
    bool bLimit = true;
    int n = SplitItemWords(text, words, &bLimit);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(words[0], "SUBJECT");
    EXPECT_STREQ(words[1], "");
    EXPECT_STREQ(words[2], "ALL");
    EXPECT_FALSE(bLimit);
}

}  // namespace
