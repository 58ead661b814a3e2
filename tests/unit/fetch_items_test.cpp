// The FETCH item list as read once per command: each item's kind, its section (part path, suffix,
// field names, partial range), the words it takes with it, the read mark, and the key its answer
// is kept under. Malformed sections are read as naming nothing, never as a neighbouring section.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imap/fetch/items.h"

namespace {

// One item described as "KIND path suffix [names] <partial> seen key", for comparing whole lists.
std::string Describe(const FetchItem& item) {
    static const char* const kKinds[] = {"none",   "uid",  "flags", "date",   "size",   "envelope", "body", "structure",
                                         "whole",  "rfc822.header", "text", "header", "fields", "fields.not", "section"};
    static const char* const kSuffixes[] = {"part", "header", "fields", "fields.not", "text", "mime"};
    std::string out = kKinds[item.kind];
    if (item.bSection) {
        const SectionSpec& s = item.section;
        out += " [";
        for (size_t i = 0; i < s.nPath; i++) out += (i > 0 ? "." : "") + std::to_string(s.ulPath[i]);
        out += std::string(" ") + kSuffixes[s.kind] + (s.bValid ? "" : " invalid");
        for (const std::string& name : s.names) out += " " + name;
        out += "]";
    }
    const PartialRange& p = item.section.partial;
    if (p.bGiven) out += "<" + std::to_string(p.ullStart) + (p.bLength ? "." + std::to_string(p.ullLength) : "") + ">";
    if (item.bMarksSeen) out += " seen";
    if (!item.key.empty()) {
        std::string key = item.key;
        for (char& c : key) c = c == '\n' ? '|' : c;
        out += " key=" + key;
    }
    return out;
}

std::vector<std::string> Read(const char* pszText, bool bUid = false) {
    static char szText[2048];
    snprintf(szText, sizeof(szText), "%s", pszText);
    static FetchItemList list;
    list = FetchItemList{};
    ParseItemList(szText, bUid, &list);
    std::vector<std::string> items;
    for (int i = 0; i < list.nTyped; i++) items.push_back(Describe(list.items[i]));
    return items;
}

using Items = std::vector<std::string>;

TEST(FetchItems, SectionsAreReadOnceIntoWhatTheyName) {
    const std::pair<const char*, Items> cases[] = {
        {"BODY.PEEK[1.2]", {"section [1.2 part]"}},
        {"BODY[1.2]", {"section [1.2 part] seen"}},
        {"body.peek[3.1.2.text]", {"section [3.1.2 text]"}},
        {"BODY.PEEK[2.MIME]<10.20>", {"section [2 mime]<10.20>"}},
        {"BODY.PEEK[]<7>", {"whole [ part]<7>"}},
        {"BODY[TEXT]", {"text [ text] seen"}},
        {"BODY.PEEK[HEADER]", {"header [ header] key=BODY.PEEK[HEADER]"}},
        {"BODY[4.HEADER]", {"section [4 header] seen"}},
        // A field list is split as the item list is: blanks doubled, names kept as written.
        {"BODY.PEEK[HEADER.FIELDS (Subject  FROM)]",
         {"fields [ fields Subject FROM] key=BODY.PEEK[HEADER.FIELDS|(Subject  FROM)", "none"}},
        {"BODY.PEEK[HEADER.FIELDS.NOT (TO)]<2.9> UID",
         {"fields.not [ fields.not TO]<2.9> key=BODY.PEEK[HEADER.FIELDS.NOT|(TO)|<2.9>", "uid"}},
        {"BODY[1.HEADER.FIELDS (X-A)]", {"section [1 fields X-A] seen", "none"}},
        {"BODY.PEEK[HEADER.FIELDS ()]", {"fields [ fields] key=BODY.PEEK[HEADER.FIELDS|()", "none"}},
        {"BODY.PEEK[HEADER.FIELDS]", {"section [ fields]"}},
        {"RFC822.PEEK<5.6>", {"whole<5.6>"}},
        {"RFC822", {"whole seen"}},
        {"RFC822.TEXT RFC822.HEADER", {"text seen", "rfc822.header key=RFC822.HEADER"}},
        {"BODYSTRUCTURE ENVELOPE BODY", {"structure key=BODYSTRUCTURE", "envelope key=ENVELOPE", "body key=BODY"}},
        // Malformed: the section names nothing and is answered empty.
        {"BODY.PEEK[1.]", {"section [1 part invalid]"}},
        {"BODY.PEEK[MIME]", {"section [ mime invalid]"}},
        {"BODY.PEEK[1.2.FOO]", {"section [1.2 part invalid]"}},
        {"BODY.PEEK[x1]", {"section [ part invalid]"}},
        {"BODY.PEEK[1..2]", {"section [1 part invalid]"}},
        {"BODY.PEEK[4294967296]", {"section [4294967295 part invalid]"}},
        {"BODY.PEEK[4294967295]", {"section [4294967295 part]"}},
        // An unclosed section takes the rest up to its "]" as one word, whatever it holds; the
        // empty word after the "]" stands for nothing.
        {"BODY.PEEK[1 2] FLAGS", {"section [1 part]", "none", "flags"}},
        {"BODY.PEEK[HEADER.FIELDS (A B) FLAGS", {"fields [ fields A B] key=BODY.PEEK[HEADER.FIELDS|(A B) FLAGS"}},
        // The partial of an unclosed section is the next word only when it starts with "<".
        {"BODY.PEEK[HEADER.FIELDS (A)] <1.2>", {"fields [ fields A] key=BODY.PEEK[HEADER.FIELDS|(A)", "none", "none"}},
        {"BODY.PEEK[HEADER.FIELDS (A)] FLAGS", {"fields [ fields A] key=BODY.PEEK[HEADER.FIELDS|(A)", "none", "flags"}},
        {"XYZ BODY.PEEK FLAGS", {"none", "none", "flags"}},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(Read(text), expected) << text;
}

// Every message of the command reads the same items: nothing of the list is cut or changed when
// one message is answered, so the words stay whole.
TEST(FetchItems, TheListAsksWhatItsItemsAsk) {
    char szText[] = "UID BODY.PEEK[HEADER.FIELDS (FLAGS RFC822.SIZE)] BODY[1]";
    FetchItemList list = {};
    ParseItemList(szText, false, &list);
    EXPECT_TRUE(ItemsWriteAnything(&list));
    EXPECT_TRUE(ItemsNeedContent(&list));
    EXPECT_TRUE(ItemsNeedTree(&list));
    EXPECT_TRUE(ItemsMarkSeen(&list));
    // A field list naming FLAGS or RFC822.SIZE asks for neither.
    EXPECT_FALSE(ItemsAskFlags(&list));
    EXPECT_FALSE(ItemsAskSize(&list));
    char szPeek[] = "FLAGS BODY.PEEK[] XYZ";
    ParseItemList(szPeek, false, &list);
    EXPECT_FALSE(ItemsMarkSeen(&list));
    EXPECT_TRUE(ItemsAskFlags(&list));
    EXPECT_FALSE(ItemsNeedTree(&list));
}

}  // namespace
