// FETCH as a client sees it: refusals, the item list and its limit, macros, the simple items,
// INTERNALDATE, message sets, the read mark, and scrambled messages answered from a decoded copy.
#include <fcntl.h>
#include <sys/stat.h>

#include <cctype>
#include <filesystem>

#include "config/settings.h"
#include "env_guard.h"
#include "fetch_support.h"

const char kSmall[] = "Subject: hi\r\n\r\nbody\r\n";  // 21 bytes
const std::string kAllFlags = "FLAGS (\\Recent \\Answered \\Deleted \\Flagged \\Seen \\Draft)";

TEST(FetchCommand, ItemsMacrosTheItemLimitInternalDateAndMessageSets) {
    FetchFixture f;
    std::string path = f.dir.path + "/" + f.Add(3, "111111", kSmall);
    f.Add(7, "010110", "a\r\nb\r\n.\r\nafter the end\r\n");
    f.Add(9, "000000", "no line end");
    f.Add(12, "000000", kSmall);
    // The write time is 2026-12-05 20:49:07 UTC; the access time must not matter.
    const struct timespec times[2] = {{1000000000, 0}, {1796503747, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    EnvGuard zone("TZ", "UTC");
    f.session->State = Imap4Authorization;
    EXPECT_EQ(f.Fetch("1 FLAGS"), "a1 NO FETCH invalid command\r\n");
    f.session->State = Imap4Selected;
    std::string words, flags;  // 18 of each
    for (int i = 0; i < 18; i++) words += "FLAGS ", flags += "FLAGS () ";
    const std::string fast = kAllFlags + " INTERNALDATE \"05-Dec-2026 20:49:07 +0000\" RFC822.SIZE 21",
                      all = fast + " ENVELOPE (NIL \"hi\" NIL NIL NIL NIL NIL NIL NIL NIL)", flags17 = flags.substr(9);
    const std::pair<std::string, std::string> cases[] = {
        {"1", "a1 BAD FETCH illegal argument\r\n"},
        // The 19th word is the rest of the text and counts as the 20th item; only the first 18 are
        // looked at for a UID, so one is added there and makes 21.
        {"UID 12 (" + words + "UID)", "a1 NO Excessively complex FETCH attribute list\r\n"},
        {"4 (" + words + "RFC822.SIZE UID)", Answer(flags.substr(0, flags.size() - 1), 4)},
        {"UID 12 (" + words.substr(6) + "RFC822.SIZE)", Answer(flags17 + "RFC822.SIZE 21 UID 12", 4)},
        {"UID 12 (UID " + words + "RFC822.SIZE)", Answer("UID 12 " + flags17.substr(0, flags17.size() - 1), 4)},
        // Unknown words, doubled spaces and a "NOT" that takes the next word leave no gap behind.
        {"UID 3 (flags uid)", Answer(kAllFlags + " UID 3")}, {"1 (FLAGS  UID)", Answer(kAllFlags + " UID 3")},
        {"2 (XYZ FLAGS XYZ UID RFC822.HEADER.LINES XYZ)", Answer("FLAGS (\\Answered \\Deleted \\Seen) UID 7", 2)},
        {"1 (NOT FLAGS UID)", Answer("UID 3")},
        // Macros are whole words in any case; text before one is dropped, UID included, the rest
        // (cut at 1023) follows it, and under UID FETCH a UID comes at the end. ALL is looked for
        // first. Where no item writes, no message is answered: an empty "()" would not parse.
        {"1 fast", Answer(fast)}, {"1 Fast", Answer(fast)},
        {"1 (XYZ NOT FLAGS)", "a1 OK FETCH completed\r\n"}, {"1 (UID FASTER)", Answer("UID 3")},
        {"UID 3 fast", Answer(fast + " UID 3")}, {"1 (all uid)", Answer(all + " UID 3")}, {"1 (UID FAST)", Answer(fast)},
        {"1 (FAST UID)", Answer(fast + " UID 3")}, {"UID 3 (UID FAST)", Answer(fast + " UID 3")},
        {"1 (FAST " + std::string(2000, 'x') + ")", Answer(fast)}, {"1 (FAST ALL)", Answer(all)},
        {"UID 3 ALL", Answer(all + " UID 3")},
        {"1 FULL", Answer(all + " BODY (\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 6 1)")},
    };
    for (const auto& [args, expected] : cases) EXPECT_EQ(f.Fetch(args), expected) << args;
    setenv("TZ", "JST-9", 1);
    EXPECT_EQ(f.Fetch("1 INTERNALDATE"), Answer("INTERNALDATE \"06-Dec-2026 05:49:07 +0900\""));
    // Each set with the sequence numbers answered, in order; "BAD" where it is no set (UIDs 3 7 9 12).
    const std::pair<const char*, const char*> sets[] = {
        {"*", "4"}, {"0", "BAD"}, {"4:2", "234"}, {"2:*", "234"}, {"1:3,2", "1232"}, {"2", "2"}, {"5", ""},
        {"3:0", "BAD"}, {"UID 7", "2"}, {"UID 8:11", "3"}, {"UID 10:*", "4"}, {"UID *", "4"}, {"UID 12:3", "1234"},
        {"UID 9,3", "31"}, {"UID 13:*", "4"}, {"UID 13:20", ""}, {"UID :*", "BAD"},
    };
    for (const auto& [set, expected] : sets) {
        std::string out = f.Fetch(std::string(set) + " (RFC822.SIZE)"), answered;
        for (size_t pos = 0; (pos = out.find("* ", pos)) != std::string::npos; pos += 2) answered += out[pos + 2];
        bool bBad = std::string(expected) == "BAD";
        EXPECT_EQ(answered, bBad ? "" : expected) << set;
        EXPECT_TRUE(out.ends_with(bBad ? "a1 BAD FETCH illegal argument\r\n" : "a1 OK FETCH completed\r\n")) << out;
    }
}

TEST(FetchCommand, NonPeekBodyItemsSetSeenAndReportIt) {
    const std::pair<const char*, bool> cases[] = {
        {"BODY[]", true}, {"BODY.PEEK[]", false}, {"BODY.PEEK[]<0.100>", false}, {"BODY[]<0.5>", true},
        {"RFC822", true}, {"RFC822.PEEK", false}, {"RFC822.HEADER", false}, {"RFC822.TEXT", true},
        {"RFC822.TEXT.PEEK", false}, {"BODY[TEXT]", true}, {"body.peek[text]", false}, {"BODY[HEADER]", true},
        {"BODY.PEEK[HEADER]", false}, {"BODY[HEADER.FIELDS (SUBJECT)]", true}, {"BODY[1]", true}, {"BODY[X]", true},
        {"BODY[1.HEADER.FIELDS (SUBJECT)]", true}, {"BODY.PEEK[1.HEADER.FIELDS.NOT (SUBJECT)]", false},
        {"BODY.PEEK[HEADER.FIELDS.NOT (SUBJECT)]", false}, {"BODY.PEEK[1]", false}, {"ENVELOPE", false},
        {"BODYSTRUCTURE", false}, {"FLAGS", false}, {"ALL", false},
    };
    for (const auto& [items, bSeen] : cases) {
        FetchFixture f;
        f.Add(4, "100000", kSmall);
        // FLAGS in the same response shows the new flags, wherever it stands.
        std::string out = f.Fetch(std::string("1 (FLAGS ") + items + ")");
        EXPECT_TRUE(out.starts_with(bSeen ? "* 1 FETCH (FLAGS (\\Recent \\Seen)" : "* 1 FETCH (FLAGS (\\Recent)")) << items;
        EXPECT_EQ(f.Entries()[0], bSeen ? "0000000004-100010.MSG" : "0000000004-100000.MSG") << items;
        // Without FLAGS asked for, the change is still reported, once.
        FetchFixture g;
        g.Add(4, "000000", kSmall);
        out = g.Fetch(std::string("1 (UID ") + items + ")");
        EXPECT_EQ(out.find("FLAGS (\\Seen))\r\n") != std::string::npos, bSeen && std::string(items) != "FLAGS") << out;
    }
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
    auto sorted = [](std::vector<std::string> names) { return std::sort(names.begin(), names.end()), names; };
    for (const char* items : {"RFC822.SIZE", "BODY.PEEK[]", "BODY.PEEK[]<3.7>", "RFC822.HEADER", "BODY.PEEK[TEXT]",
                              "BODY.PEEK[HEADER.FIELDS (SUBJECT)]", "BODY.PEEK[1]", "BODY.PEEK[1.MIME]", "ENVELOPE",
                              "BODY", "BODYSTRUCTURE", "UID FLAGS"}) {
        EXPECT_EQ(scrambled.Fetch(std::string("1:* (") + items + ")"), plain.Fetch(std::string("1 (") + items + ")"));
        EXPECT_EQ(scrambled.Entries(), files) << items;
    }
    scrambled.Fetch("1:* BODY.PEEK[]", true);  // the client has gone away
    EXPECT_EQ(scrambled.Entries(), files);
    // \Seen renames the scrambled file itself, never the copy.
    scrambled.Fetch("1 BODY[1]");
    files[0] = "0000000003-100010.MSG";
    EXPECT_EQ(scrambled.Entries(), sorted(files));
}

namespace {

// The word in lower case, and with its letters alternating from upper case.
std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}
std::string Mixed(std::string text) {
    bool bUpper = true;
    for (char& c : text) {
        if (!isalpha(static_cast<unsigned char>(c))) continue;
        c = static_cast<char>(bUpper ? toupper(static_cast<unsigned char>(c)) : tolower(static_cast<unsigned char>(c)));
        bUpper = !bUpper;
    }
    return text;
}

const char kTwoParts[] = "From: Ann <ann@example.org>\r\nTo: bo@example.org\r\nSubject: two\r\n"
                         "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMIME-Version: 1.0\r\n"
                         "Content-Type: multipart/alternative; boundary=\"b\"\r\n\r\n"
                         "--b\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
                         "--b\r\nContent-Type: text/html\r\n\r\n<p>html</p>\r\n--b--\r\n";

// Any command on a fresh mailbox of three messages (the second flagged and seen): its whole
// answer, and the flags it leaves.
std::string Answered(const std::string& line) {
    FetchFixture f;
    f.Add(4, "100000", kTwoParts);
    f.Add(5, "000110", kSmall);
    f.Add(9, "000000", "Subject: third\r\nCc: cy@example.org\r\n\r\nthird body text\r\n");
    // One INTERNALDATE for every call, or two answers made a second apart differ.
    for (const auto& entry : std::filesystem::directory_iterator(f.dir.path)) {
        const struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
        utimensat(AT_FDCWD, entry.path().c_str(), times, 0);
    }
    snprintf(f.session->szRecv, sizeof(f.session->szRecv), "%s\r\n", line.c_str());
    std::string answer = f.Capture([&f] { DispatchCommand(f.session.get()); });
    return answer + f.Fetch("1:* FLAGS");
}

}  // namespace

// Every word the server takes in FETCH, STORE and SEARCH means the same in any case: a client
// that writes "fetch 1 full" gets what "FETCH 1 FULL" gets. The arguments after the command
// word are written in upper, lower and mixed case.
TEST(FetchCommand, EveryItemMacroSectionFlagAndSearchKeyIsTakenInAnyCase) {
    const std::pair<const char*, const char*> kLines[] = {
        {"FETCH", "1 ALL"}, {"FETCH", "1 FAST"}, {"FETCH", "1 FULL"}, {"FETCH", "1 (FAST UID)"}, {"UID FETCH", "4 FULL"},
        {"FETCH", "1:* (UID FLAGS INTERNALDATE RFC822.SIZE ENVELOPE)"}, {"FETCH", "1 (BODY BODYSTRUCTURE)"},
        {"FETCH", "1 RFC822"}, {"FETCH", "1 RFC822.PEEK"}, {"FETCH", "1 RFC822.HEADER"}, {"FETCH", "1 RFC822.TEXT"},
        {"FETCH", "1 BODY[]"}, {"FETCH", "1 BODY.PEEK[]<2.9>"}, {"FETCH", "1 BODY[HEADER]"}, {"FETCH", "1 BODY.PEEK[TEXT]"},
        {"FETCH", "1 BODY.PEEK[HEADER.FIELDS (SUBJECT TO)]"}, {"FETCH", "1 BODY[HEADER.FIELDS.NOT (SUBJECT)]"},
        {"FETCH", "1 BODY.PEEK[1]"}, {"FETCH", "1 BODY.PEEK[2.MIME]"}, {"FETCH", "1 (BODY.PEEK[1.TEXT] BODY.PEEK[1.HEADER])"},
        {"STORE", "1:3 +FLAGS (\\SEEN \\ANSWERED \\FLAGGED \\DELETED \\DRAFT)"}, {"STORE", "2 -FLAGS.SILENT (\\SEEN)"},
        {"STORE", "1 FLAGS (\\DRAFT)"}, {"UID STORE", "5 FLAGS.SILENT (\\ANSWERED)"}, {"STORE", "2 -FLAGS (\\FLAGGED)"},
        {"SEARCH", "ALL"}, {"SEARCH", "ANSWERED UNDRAFT"}, {"SEARCH", "UNANSWERED"}, {"SEARCH", "DELETED"},
        {"SEARCH", "UNDELETED"}, {"SEARCH", "DRAFT"}, {"SEARCH", "FLAGGED"}, {"SEARCH", "UNFLAGGED"}, {"SEARCH", "SEEN"},
        {"SEARCH", "UNSEEN"}, {"SEARCH", "RECENT"}, {"SEARCH", "OLD"}, {"SEARCH", "NEW"}, {"SEARCH", "NOT SEEN"},
        {"SEARCH", "OR SEEN RECENT"}, {"SEARCH", "KEYWORD X"}, {"SEARCH", "UNKEYWORD X"}, {"SEARCH", "UID 5:*"},
        {"SEARCH", "LARGER 30"}, {"SEARCH", "SMALLER 30"}, {"SEARCH", "BEFORE 1-JAN-2030"}, {"SEARCH", "SINCE 1-JAN-2000"},
        {"SEARCH", "SENTBEFORE 8-DEC-2026"}, {"SEARCH", "SENTON 7-DEC-2026"}, {"SEARCH", "SENTSINCE 7-DEC-2026"},
        {"SEARCH", "HEADER SUBJECT TWO"}, {"SEARCH", "FROM ANN"}, {"SEARCH", "TO BO"}, {"SEARCH", "CC CY"},
        {"SEARCH", "NOT BCC X"}, {"SEARCH", "SUBJECT THIRD"}, {"SEARCH", "BODY HTML"}, {"SEARCH", "TEXT EXAMPLE"},
        {"SEARCH", "CHARSET UTF-8 ALL"}, {"UID SEARCH", "(SEEN) NOT (UNFLAGGED)"},
    };
    auto upper = [](std::string text) {
        for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        return text;
    };
    for (const auto& [pszCommand, pszArgs] : kLines) {
        std::string prefix = std::string("a1 ") + pszCommand + " ";
        std::string expected = Answered(prefix + pszArgs);
        // Every line is taken and answers something: an OK alone would make the comparison empty.
        EXPECT_EQ(expected.find("a1 OK"), expected.find("a1 ")) << pszArgs << "\n" << expected;
        if (std::string(pszCommand).ends_with("FETCH") || std::string(pszCommand).ends_with("SEARCH")) {
            EXPECT_TRUE(expected.starts_with("* ")) << pszArgs << "\n" << expected;
        }
        for (const std::string& args : {Lower(pszArgs), Mixed(pszArgs)}) {
            std::string answer = Answered(prefix + args);
            // A section and its field names come back as the client wrote them.
            if (args.find('[') != std::string::npos) {
                EXPECT_EQ(upper(answer), upper(expected)) << args;
            } else {
                EXPECT_EQ(answer, expected) << args;
            }
        }
    }
}

// A message whose content cannot be read is never answered as an empty one, and nothing made
// from it is kept: the next FETCH, once it can be read, gets the true answer.
TEST(FetchCommand, AMessageThatCannotBeReadIsRefusedNeverAnsweredEmptyNorKept) {
    Settings.IndexCacheLimit = 1;
    FetchFixture plain, scrambled;
    plain.Add(3, "000000", kTwoParts);
    plain.Add(4, "000000", kSmall);
    scrambled.Add(3, "000000", kTwoParts, 0x21);
    scrambled.Add(4, "000000", kSmall);
    // The decoded copy cannot be written: a directory holds its name.
    const std::string blocker = scrambled.dir.path + "/0000000003-000000_7.ENC";
    std::filesystem::create_directory(blocker);
    const std::string unavailable = "a1 NO [UNAVAILABLE] FETCH fails: a message could not be read\r\n";
    for (const char* items : {"BODYSTRUCTURE", "BODY", "ENVELOPE", "BODY.PEEK[HEADER]", "RFC822.HEADER",
                              "BODY.PEEK[1]", "RFC822.SIZE", "(UID BODY.PEEK[])"}) {
        // The other message is answered all the same.
        std::string good = plain.Fetch(std::string("2 ") + items);
        ASSERT_TRUE(good.ends_with("a1 OK FETCH completed\r\n")) << good;
        EXPECT_EQ(scrambled.Fetch(std::string("1:2 ") + items), good.substr(0, good.size() - 23) + unavailable) << items;
    }
    // Flags and the UID need no content.
    EXPECT_EQ(scrambled.Fetch("1 (UID FLAGS)"), Answer("UID 3 FLAGS ()"));
    std::filesystem::remove(blocker);
    for (const char* items : {"BODYSTRUCTURE", "BODY", "ENVELOPE", "BODY.PEEK[HEADER]", "RFC822.HEADER", "RFC822.SIZE"}) {
        EXPECT_EQ(scrambled.Fetch(std::string("1 ") + items), plain.Fetch(std::string("1 ") + items)) << items;
    }
    Settings.IndexCacheLimit = 0;
}

// What the writers made while the file failed them is sent (a literal must be filled), but never
// kept for the next session to be answered with.
TEST(FetchCommand, AnAnswerMadeWhileTheFileFailedIsNeverKept) {
    Settings.IndexCacheLimit = 1;
    FetchFixture f;
    f.Add(6, "000000", kTwoParts);
    ListResult result = LIST_OK;
    std::shared_ptr<MailboxIndex> index = MailboxIndex::Open(f.dir.path.c_str(), &result);
    ASSERT_NE(index, nullptr);
    std::filesystem::create_directory(f.dir.path + "/unreadable");
    for (bool bReadable : {false, true}) {
        char szItems[] = "BODYSTRUCTURE ENVELOPE";
        FetchItemList list = {};
        ParseItemList(szItems, false, &list);
        FetchMessage message;
        message.pIndex = index.get();
        message.ulUid = 6;
        // A directory opens like a file, and then gives no byte.
        message.pFile = fopen((f.dir.path + (bReadable ? "/" + f.Entries()[0] : "/unreadable")).c_str(), "rb");
        ASSERT_NE(message.pFile, nullptr);
        message.ullSize = sizeof(kTwoParts) - 1;
        f.Capture([&] { EvaluateItems(f.session.get(), &list, &message); });
        fclose(message.pFile);
        EXPECT_EQ(message.bReadFailed, !bReadable);
        for (const char* pszKey : {"BODYSTRUCTURE", "ENVELOPE"}) {
            EXPECT_EQ(index->FindText(6, pszKey, nullptr), bReadable) << pszKey;
        }
    }
    Settings.IndexCacheLimit = 0;
}

// Writes the items for the message file as a FETCH of one message with the index does.
void Evaluate(FetchFixture& f, MailboxIndex* pIndex, uint32_t ulUid, const char* pszItems) {
    char szItems[256];
    snprintf(szItems, sizeof(szItems), "%s", pszItems);
    FetchItemList list = {};
    ParseItemList(szItems, false, &list);
    FetchMessage message;
    message.pIndex = pIndex;
    message.ulUid = ulUid;
    message.pFile = fopen((f.dir.path + "/" + f.Entries()[0]).c_str(), "rb");
    ASSERT_NE(message.pFile, nullptr);
    EXPECT_TRUE(MessageContentSize(message.pFile, &message.ullSize));
    message.bFileKnown = IdentifyFile(message.pFile, &message.file);
    EvaluateItems(f.session.get(), &list, &message);
    fclose(message.pFile);
}

// The same, returning what went out.
std::string EvaluateWithIndex(FetchFixture& f, MailboxIndex* pIndex, uint32_t ulUid, const char* pszItems) {
    return f.Capture([&] { Evaluate(f, pIndex, ulUid, pszItems); });
}

std::shared_ptr<const KeptTree> KeptTreeOf(MailboxIndex& index, uint32_t ulUid) {
    std::shared_ptr<const KeptContent> pKept;
    if (!index.FindContent(ulUid, KEPT_TREE_KEY, &pKept)) return nullptr;
    return std::dynamic_pointer_cast<const KeptTree>(pKept);
}

// A message's tree is kept in its mailbox's index once parsed, and a later section is found in
// it without parsing the file again; but only for the file it was read from: a file written anew,
// or another renamed over its name, is parsed afresh, whatever the index was told meanwhile.
TEST(FetchCommand, ASectionIsFoundInTheKeptTreeOfItsOwnFileOnly) {
    Settings.IndexCacheLimit = 1;
    FetchFixture f;
    f.Add(6, "000000", kTwoParts);
    ListResult result = LIST_OK;
    std::shared_ptr<MailboxIndex> index = MailboxIndex::Open(f.dir.path.c_str(), &result);
    ASSERT_NE(index, nullptr);
    const std::string plain = Literal("BODY[1]", "plain");
    EXPECT_EQ(EvaluateWithIndex(f, index.get(), 6, "BODY.PEEK[1]"), plain);
    // What is kept is what a fresh parse gives.
    std::shared_ptr<const KeptTree> pKept = KeptTreeOf(*index, 6);
    ASSERT_NE(pKept, nullptr);
    MimeTree fresh;
    ASSERT_TRUE(ParseMimeFile((f.dir.path + "/" + f.Entries()[0]).c_str(), &fresh));
    EXPECT_EQ(pKept->tree.parts, fresh.parts);
    EXPECT_EQ(pKept->tree.ullSize, fresh.ullSize);
    // A tree kept for this file is believed: part 1 made to cover "pla" answers "pla".
    auto pDoctored = std::make_shared<KeptTree>(*pKept);
    pDoctored->tree.parts[1].ullBodySize = 3;
    index->KeepContent(6, KEPT_TREE_KEY, pDoctored);
    EXPECT_EQ(EvaluateWithIndex(f, index.get(), 6, "BODY.PEEK[1]"), Literal("BODY[1]", "pla"));
    // The file written again in place, one byte longer: its own tree answers, and is kept.
    std::string changed = kTwoParts;
    changed.replace(changed.find("\r\n\r\nplain") + 4, 5, "plain!");
    WriteFile(f.dir.path + "/" + f.Entries()[0], changed);
    EXPECT_EQ(EvaluateWithIndex(f, index.get(), 6, "BODY.PEEK[1]"), Literal("BODY[1]", "plain!"));
    ASSERT_NE(KeptTreeOf(*index, 6), nullptr);
    EXPECT_EQ(KeptTreeOf(*index, 6)->tree.ullSize, changed.size());
    // Another file of the same size and time renamed over the name is another file.
    pDoctored = std::make_shared<KeptTree>(*KeptTreeOf(*index, 6));
    pDoctored->tree.parts[1].ullBodySize = 3;
    index->KeepContent(6, KEPT_TREE_KEY, pDoctored);
    std::string other = changed;
    other.replace(other.find("\r\n\r\nplain!") + 4, 6, "PLAIN?");
    const std::string path = f.dir.path + "/" + f.Entries()[0];
    WriteFile(f.dir.path + "/.other", other);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, (f.dir.path + "/.other").c_str(), times, 0), 0);
    std::filesystem::rename(f.dir.path + "/.other", path);
    EXPECT_EQ(EvaluateWithIndex(f, index.get(), 6, "BODY.PEEK[1]"), Literal("BODY[1]", "PLAIN?"));
    Settings.IndexCacheLimit = 0;
}

// The index keeps what the writer produced, not what the send buffer held: an envelope that the
// buffer had to send half of before it was complete is kept whole, and given back byte for byte.
TEST(FetchCommand, AnAnswerSentInTwoPiecesIsKeptWhole) {
    Settings.IndexCacheLimit = 1;
    FetchFixture f;
    f.Add(6, "000000", kTwoParts);
    ListResult result = LIST_OK;
    std::shared_ptr<MailboxIndex> index = MailboxIndex::Open(f.dir.path.c_str(), &result);
    ASSERT_NE(index, nullptr);
    const std::string filler(SENDBUF_SIZE - 80, 'x');
    std::string first = f.Capture([&] {
        OutputText(f.session.get(), filler.data(), filler.size());
        uint32_t ulFlushes = f.session->Output.ulFlushes;
        f.session->Output.bBatching = 1;
        Evaluate(f, index.get(), 6, "ENVELOPE");
        EXPECT_NE(f.session->Output.ulFlushes, ulFlushes);  // the buffer was sent in between
        f.session->Output.bBatching = 0;
    });
    ASSERT_TRUE(first.starts_with(filler + "ENVELOPE (")) << first.substr(filler.size());
    CachedText kept;
    ASSERT_TRUE(index->FindText(6, "ENVELOPE", &kept));
    EXPECT_EQ(kept.text, first.substr(filler.size()));
    EXPECT_EQ(EvaluateWithIndex(f, index.get(), 6, "ENVELOPE"), kept.text);
    Settings.IndexCacheLimit = 0;
}
