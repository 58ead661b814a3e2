// FETCH as a client sees it: refusals, the item list and its limit, macros, the simple items,
// INTERNALDATE, message sets, the read mark, and scrambled messages answered from a decoded copy.
#include <fcntl.h>
#include <sys/stat.h>

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
        // Macros are upper case; text before one is dropped, UID included, the rest (cut at 1023)
        // follows it, and under UID FETCH a UID comes at the end. ALL is looked for first. Where
        // no item writes, no message is answered: an empty "()" would not parse.
        {"1:* fast", "a1 OK FETCH completed\r\n"}, {"1 (XYZ NOT FLAGS)", "a1 OK FETCH completed\r\n"},
        {"UID 3 fast", Answer("UID 3")}, {"1 (all uid)", Answer("UID 3")}, {"1 (UID FAST)", Answer(fast)},
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
