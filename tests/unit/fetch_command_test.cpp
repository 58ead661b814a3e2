// FETCH as a client sees it: the item list and its limit, refusals, message sets, the simple items
// and macros, INTERNALDATE, the read mark, and scrambled messages answered from a decoded copy.
#include <fcntl.h>
#include <sys/stat.h>

#include "env_guard.h"
#include "fetch_support.h"

const char kSmall[] = "Subject: hi\r\n\r\nbody\r\n";  // 21 bytes
const std::string kAllFlags = "FLAGS (\\Recent \\Answered \\Deleted \\Flagged \\Seen \\Draft)";

// The items, each followed by "|", and last the count that is compared with the limit.
static std::string Parse(std::string text, bool bUid) {
    FetchItemList list = {};
    ParseItemList(text.data(), bUid, &list);
    EXPECT_EQ(list.pItems[list.nItems], nullptr);
    std::string items;
    for (int i = 0; i < list.nItems; i++) items += std::string(list.pItems[i]) + "|";
    return items + std::to_string(list.nCount);
}

// "W1 W2 ... Wn", or joined by another separator.
static std::string Words(int n, const std::string& sep = " ") {
    std::string text = "W1";
    for (int i = 2; i <= n; i++) text += sep + "W" + std::to_string(i);
    return text;
}

TEST(FetchItemList, MacrosSplittingTheUidAdditionAndTheLimit) {
    const std::string fast = "FLAGS|INTERNALDATE|RFC822.SIZE|", all = fast + "ENVELOPE|";
    const std::tuple<std::string, bool, std::string> cases[] = {
        {"ALL", false, all + "|5"}, {"FULL", false, all + "BODY||6"}, {"all uid", true, "all|uid|2"},
        // Text before a macro is dropped; the rest after it is carried over. Macros are upper case.
        {"UID FAST", false, fast + "|4"}, {"FAST UID", true, fast + "|UID|5"},
        // ALL is searched before FULL and FAST, as a plain substring.
        {"FAST ALL", false, all + "|5"},
        // The rest after a macro is cut at 1023; the expansion's own space and the one after
        // FAST make an empty word between.
        {"FAST " + std::string(2000, 'x'), false, fast + "|" + std::string(1022, 'x') + "|5"},
        {"FLAGS  UID", false, "FLAGS||UID|3"}, {"flags", true, "flags|UID|2"}, {"a not", false, "a|not|2"},
        {"NOT SUBJECT FROM", false, "NOT SUBJECT|FROM|2"}, {"BODY[1] BODY[]<0.10>", false, "BODY[1]|BODY[]<0.10>|2"},
        // A section without its "]" hands the rest up to "]" to the next word.
        {"BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)] UID", false, "BODY.PEEK[HEADER.FIELDS|(SUBJECT FROM)||UID|4"},
        {Words(22), false, Words(18, "|") + "|W19 W20 W21 W22|20"},  // the 19th word is the rest
    };
    for (const auto& [text, bUid, items] : cases) EXPECT_EQ(Parse(text, bUid), items) << text << " uid=" << bUid;
    // Only a list at the limit that needs an added UID counts above 20; there only the first 18
    // words are looked at for a UID.
    const std::tuple<std::string, bool, const char*> counts[] = {
        {Words(18), false, "|18"}, {Words(18), true, "|19"}, {Words(19), false, "|20"}, {Words(19), true, "|21"},
        {Words(30), true, "|21"}, {Words(17) + " UID", true, "|18"}, {"UID " + Words(18), true, "|20"},
        {Words(18) + " UID", true, "|21"},
    };
    for (const auto& [text, bUid, count] : counts) EXPECT_TRUE(Parse(text, bUid).ends_with(count)) << text << bUid;
}

TEST(FetchCommand, RefusalsTheItemLimitAndMessageSets) {
    FetchFixture f;
    for (unsigned uid : {3u, 7u, 9u, 12u}) f.Add(uid, "000000", kSmall);
    f.session->State = Imap4Authorization;
    EXPECT_EQ(f.Fetch("1 FLAGS"), "a1 NO FETCH invalid command\r\n");
    f.session->State = Veve4Delected;
    EXPECT_EQ(f.Fetch("1"), "a1 BAD FETCH illegal argument\r\n");
    std::string words, flags;
    for (int i = 0; i < 18; i++) words += "FLAGS ", flags += "FLAGS () ";
    // The 19th word is the rest of the text, "RFC822.SIZE UID", which is no "UID": one is added.
    EXPECT_EQ(f.Fetch("UID 3 (" + words + "RFC822.SIZE UID)"), "a1 NO Excessively complex FETCH attribute list\r\n");
    EXPECT_EQ(f.Fetch("1 (" + words + "RFC822.SIZE UID)"), Answer(flags.substr(0, flags.size() - 1)));
    // Eighteen words and an added UID are within the limit.
    EXPECT_EQ(f.Fetch("UID 3 (" + words.substr(6) + "RFC822.SIZE)"), Answer(flags.substr(9) + "RFC822.SIZE 21 UID 3"));
    // Each set with the sequence numbers answered, in order.
    const std::pair<const char*, const char*> sets[] = {
        {"*", "1234"}, {"0", "1234"}, {"4:2", ""}, {"2:*", "234"}, {"1:3,2", "1232"}, {"2", "2"}, {"5", ""},
        {"3:0", "34"}, {"UID 7", "2"}, {"UID 8:11", "3"}, {"UID 10:*", "4"}, {"UID *", "1234"}, {"UID 12:3", ""},
        {"UID 9,3", "31"},
    };
    for (const auto& [set, expected] : sets) {
        std::string out = f.Fetch(std::string(set) + " (RFC822.SIZE)"), answered;
        for (size_t pos = 0; (pos = out.find("* ", pos)) != std::string::npos; pos += 2) answered += out[pos + 2];
        EXPECT_EQ(answered, expected) << set;
        EXPECT_TRUE(out.ends_with("a1 OK FETCH completed\r\n")) << out;
    }
}

TEST(FetchCommand, SimpleItemsMacrosAndInternalDate) {
    FetchFixture f;
    std::string path = f.dir.path + "/" + f.Add(7, "111111", kSmall);
    f.Add(8, "010110", "a\r\nb\r\n.\r\nafter the end\r\n");
    f.Add(9, "000000", "no line end");
    // The write time is 2026-12-05 20:49:07 UTC; the access time must not matter.
    const struct timespec times[2] = {{1000000000, 0}, {1796503747, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EnvGuard zone("TZ", "UTC");
    const std::string fast = kAllFlags + " INTERNALDATE \"05-Dec-2026 20:49:07 +0000\" RFC822.SIZE 21";
    const std::pair<const char*, std::string> cases[] = {
        {"UID 7 (flags uid)", Answer(kAllFlags + " UID 7")},
        // Unknown words leave no doubled space behind.
        {"2 (XYZ FLAGS XYZ UID RFC822.HEADER.LINES XYZ)", Answer("FLAGS (\\Answered \\Deleted \\Seen) UID 8", 2)},
        // The size stops before a ".\r\n" line; a last line without its end still counts.
        {"2:3 RFC822.SIZE", "* 2 FETCH (RFC822.SIZE 6)\r\n" + Answer("RFC822.SIZE 11", 3)},
        // Text before a macro is dropped, UID included; under UID FETCH it comes back at the end.
        {"1 fast", Answer("")}, {"1 (UID FAST)", Answer(fast)}, {"UID 7 (UID FAST)", Answer(fast + " UID 7")},
        {"UID 7 ALL", Answer(fast + " ENVELOPE (NIL \"hi\" NIL NIL NIL NIL NIL NIL NIL NIL) UID 7")},
    };
    for (const auto& [args, expected] : cases) EXPECT_EQ(f.Fetch(args), expected) << args;
    setenv("TZ", "JST-9", 1);
    EXPECT_EQ(f.Fetch("1 INTERNALDATE"), Answer("INTERNALDATE \"06-Dec-2026 05:49:07 +0900\""));
}

TEST(FetchCommand, WritersOfAFileThatCannotBeOpened) {
    FetchFixture f;
    Session* p = f.session.get();
    snprintf(p->FindData.cFileName, sizeof(p->FindData.cFileName), "0000000001-000000.MSG");
    std::string out = f.Capture([p] {
        QueueText(p, "BODY[] {"), ReadBodySection(p, SECTION_WHOLE, 0, nullptr);
        QueueText(p, " RFC822.HEADER {"), ReadHeaderSection(p, HEADER_ALL, nullptr, 0);
        for (void (*pWrite)(Session*) : {WriteSizeItem, WriteInternalDate, WriteEnvelope}) QueueText(p, " "), pWrite(p);
        QueueText(p, " "), WriteBodyStructure(p, 1);
    });
    // Even with nothing to read, a literal holds exactly what it announces.
    const std::string nils = "(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)";
    EXPECT_EQ(out, "BODY[] {2}\r\n\r\n RFC822.HEADER {2}\r\n\r\n RFC822.SIZE 0 INTERNALDATE NIL ENVELOPE " + nils +
                       " BODYSTRUCTURE " + nils);
}

TEST(FetchCommand, ReadMarkClearsRecentOnlyForNonPeekBodyItems) {
    const std::pair<const char*, bool> cases[] = {
        {"BODY[]", true}, {"BODY.PEEK[]", false}, {"BODY.PEEK[]<0.100>", false}, {"BODY[]<0.5>", true},
        {"RFC822", true}, {"RFC822.PEEK", false}, {"RFC822.HEADER", false}, {"RFC822.TEXT", true},
        {"RFC822.TEXT.PEEK", false}, {"BODY[TEXT]", true}, {"body.peek[text]", false}, {"BODY[HEADER]", true},
        {"BODY.PEEK[HEADER]", false}, {"BODY[HEADER.FIELDS (SUBJECT)]", true}, {"BODY[1]", true}, {"BODY[X]", true},
        {"BODY.PEEK[HEADER.FIELDS.NOT (SUBJECT)]", false}, {"BODY.PEEK[1]", false}, {"ENVELOPE", false},
        {"BODYSTRUCTURE", false}, {"FLAGS", false}, {"ALL", false},
    };
    for (const auto& [items, bCleared] : cases) {
        FetchFixture f;
        f.Add(4, "100010", kSmall);
        // FLAGS shows the flags from before the rename; Seen is never set by FETCH.
        EXPECT_TRUE(f.Fetch(std::string("1 (FLAGS ") + items + ")").starts_with("* 1 FETCH (FLAGS (\\Recent \\Seen)"));
        EXPECT_EQ(f.Entries()[0], bCleared ? "0000000004-000010.MSG" : "0000000004-100010.MSG") << items;
    }
    // A renamed message is not met again in the same walk.
    FetchFixture f;
    f.Add(1, "100000", kSmall);
    f.Add(2, "100000", kSmall);
    EXPECT_EQ(f.Fetch("1:* (UID BODY[TEXT])"),
              "* 1 FETCH (UID 1 BODY[TEXT] {6}\r\nbody\r\n)\r\n" + Answer("UID 2 BODY[TEXT] {6}\r\nbody\r\n", 2));
    EXPECT_EQ(f.Entries(), (std::vector<std::string>{"0000000001-000000.MSG", "0000000002-000000.MSG"}));
}

TEST(FetchCommand, ScrambledMessageIsAnsweredFromADecodedCopyThatNeverStays) {
    const char kMultipart[] = "From: a@b\r\nSubject: s\r\nContent-Type: multipart/mixed; boundary=\"xx\"\r\n\r\n"
                              "--xx\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nfirst\r\n--xx--\r\n";
    FetchFixture plain, scrambled;
    plain.Add(3, "100000", kMultipart);
    scrambled.Add(3, "100000", kMultipart, 0x5A);
    // Another login's copy of the same message: neither a message nor the copy this session reads.
    WriteFile(scrambled.dir.path + "/0000000003-100000_8.ENC", "other session's copy");
    std::vector<std::string> files = {"0000000003-100000.MSG", "0000000003-100000_8.ENC"};
    for (const char* items : {"RFC822.SIZE", "BODY.PEEK[]", "BODY.PEEK[]<3.7>", "RFC822.HEADER", "BODY.PEEK[TEXT]",
                              "BODY.PEEK[HEADER.FIELDS (SUBJECT)]", "BODY.PEEK[1]", "BODY.PEEK[1.MIME]", "ENVELOPE",
                              "BODY", "BODYSTRUCTURE", "UID FLAGS"}) {
        EXPECT_EQ(scrambled.Fetch(std::string("1:* (") + items + ")"), plain.Fetch(std::string("1 (") + items + ")"));
        EXPECT_EQ(scrambled.Entries(), files) << items;
    }
    scrambled.Fetch("1:* BODY.PEEK[]", true);  // the client has gone away
    EXPECT_EQ(scrambled.Entries(), files);
    // The read mark renames the scrambled file itself, never the copy.
    scrambled.Fetch("1 BODY[1]");
    files[0] = "0000000003-000000.MSG";
    EXPECT_EQ(scrambled.Entries(), files);
}
