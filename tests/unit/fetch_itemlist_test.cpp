// The item list of FETCH: macros, splitting, the UID addition and the 20-item limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/fetch/items.h"

namespace {

// The items, and last the count that is compared with the limit.
std::vector<std::string> Parse(std::string text, bool bUid) {
    FetchItemList list = {};
    ParseItemList(text.data(), bUid, &list);
    EXPECT_EQ(list.pItems[list.nItems], nullptr);
    std::vector<std::string> items(list.pItems, list.pItems + list.nItems);
    items.push_back(std::to_string(list.nCount));
    return items;
}

std::string Words(int n) {
    std::string text = "W1";
    for (int i = 2; i <= n; i++) text += " W" + std::to_string(i);
    return text;
}

TEST(FetchItemList, SplitsMacrosAndAddsUid) {
    struct ItemCase {
        std::string text;
        bool bUid;
        std::vector<std::string> items;  // and the count
    };
    const ItemCase cases[] = {
        {"ALL", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "", "5"}},
        {"FULL", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "BODY", "", "6"}},
        // Text before a macro is dropped; the rest after it is carried over. Macros are upper case.
        {"UID FAST", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "", "4"}},
        {"FAST UID", true, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "", "UID", "5"}},
        {"all uid", true, {"all", "uid", "2"}},
        // ALL is searched before FULL and FAST, as a plain substring.
        {"FAST ALL", false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "ENVELOPE", "", "5"}},
        // The rest after a macro is cut at 1023; the expansion's own space and the one after
        // FAST make an empty word between.
        {"FAST " + std::string(2000, 'x'), false, {"FLAGS", "INTERNALDATE", "RFC822.SIZE", "", std::string(1022, 'x'), "5"}},
        {"FLAGS  UID", false, {"FLAGS", "", "UID", "3"}},
        {"flags", true, {"flags", "UID", "2"}},
        // A section without its "]" hands the rest up to "]" to the next word.
        {"BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)] UID", false, {"BODY.PEEK[HEADER.FIELDS", "(SUBJECT FROM)", "", "UID", "4"}},
        {"BODY[1.MIME] BODY[]<0.10>", false, {"BODY[1.MIME]", "BODY[]<0.10>", "2"}},
        {"NOT SUBJECT FROM", false, {"NOT SUBJECT", "FROM", "2"}},
        {"a not", false, {"a", "not", "2"}},
    };
    for (const ItemCase& c : cases) EXPECT_EQ(Parse(c.text, c.bUid), c.items) << c.text << " uid=" << c.bUid;
}

TEST(FetchItemList, NineteenWordsReachTheLimit) {
    std::vector<std::string> items = Parse(Words(22), false);
    ASSERT_EQ(items.size(), 20u);
    EXPECT_EQ(items[17], "W18");
    EXPECT_EQ(items[18], "W19 W20 W21 W22");
    EXPECT_EQ(items[19], "20");
    // Only a list at the limit that needs an added UID counts above 20; there only the first 18
    // words are looked at for a UID.
    const std::tuple<std::string, bool, const char*> counts[] = {
        {Words(18), false, "18"}, {Words(18), true, "19"},  {Words(19), false, "20"},         {Words(19), true, "21"},
        {Words(30), true, "21"},  {Words(17) + " UID", true, "18"}, {"UID " + Words(18), true, "20"},
        {Words(18) + " UID", true, "21"},
    };
    for (const auto& [text, bUid, count] : counts) EXPECT_EQ(Parse(text, bUid).back(), count) << text << " uid=" << bUid;
}

}  // namespace
