// Body sections as literals: whole message and partial ranges, header fields with prefixes and
// folded lines, text and numbered parts of multipart messages, and literals that always hold
// exactly the bytes they announce.
#include <gtest/gtest.h>

#include <string>

#include "fetch_support.h"
#include "imap/fetch/items.h"

namespace {

std::string Answer(const std::string& content) {
    return "* 1 FETCH (" + content + ")\r\na1 OK FETCH completed\r\n";
}

std::string Literal(const std::string& label, const std::string& bytes) {
    return label + " {" + std::to_string(bytes.size()) + "}\r\n" + bytes;
}

// 100 bytes: a 14-byte header and two body lines of 43 bytes.
const std::string kLine43 = std::string(41, 'a') + "\r\n";
const std::string kHundred = "Subject: s\r\n\r\n" + kLine43 + kLine43;

TEST(FetchSection, WholeMessageStopsAtTheEndMarkerAndMatchesItsSize) {
    FetchFixture f;
    const std::string content = "Subject: s\r\n\r\nline\r\n";
    f.AddMessage(1, "000000", content + ".\r\nbehind the marker\r\n");
    EXPECT_EQ(f.Fetch("1 (RFC822.SIZE BODY.PEEK[])"),
              Answer("RFC822.SIZE " + std::to_string(content.size()) + " " + Literal("BODY[]", content)));
    // RFC822 and the partial forms are all labelled BODY[].
    EXPECT_EQ(f.Fetch("1 RFC822.PEEK"), Answer(Literal("BODY[]", content)));
}

TEST(FetchSection, LastLineWithoutLineEndIsNotSent) {
    FetchFixture f;
    f.AddMessage(1, "000000", "Subject: s\r\n\r\nfull\r\npartial");
    EXPECT_EQ(f.Fetch("1 (RFC822.SIZE BODY.PEEK[])"),
              Answer("RFC822.SIZE 27 " + Literal("BODY[]", "Subject: s\r\n\r\nfull\r\n")));
}

TEST(FetchSection, PartialRangesAtBothEnds) {
    FetchFixture f;
    f.AddMessage(1, "000000", kHundred);
    struct PartialCase {
        const char* item;
        std::string bytes;
    };
    const PartialCase cases[] = {
        {"BODY.PEEK[]<0.10>", kHundred.substr(0, 10)},
        {"BODY.PEEK[]<95.10>", kHundred.substr(95)},
        {"BODY.PEEK[]<20.43>", kHundred.substr(20, 43)},
        {"BODY.PEEK[]<0.100>", kHundred},
        {"BODY.PEEK[]<0.1000>", kHundred},
        // Without a length the rest is sent, and announced exactly.
        {"BODY.PEEK[]<60>", kHundred.substr(60)},
        {"RFC822.PEEK<99.1>", "\n"},
        // Nothing to send: a two-byte literal holding CRLF.
        {"BODY.PEEK[]<100.10>", "\r\n"},
        {"BODY.PEEK[]<5000.10>", "\r\n"},
        {"BODY.PEEK[]<0.0>", "\r\n"},
    };
    for (const PartialCase& c : cases) {
        EXPECT_EQ(f.Fetch(std::string("1 ") + c.item), Answer(Literal("BODY[]", c.bytes))) << c.item;
    }
}

TEST(FetchSection, LargeMessageGoesOutWhole) {
    FetchFixture f;
    std::string content = "Subject: big\r\n\r\n";
    for (int i = 0; i < 3000; i++) {
        content += "line " + std::to_string(i) + " of a message larger than one send batch\r\n";
    }
    f.AddMessage(1, "000000", content);
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[]"), Answer(Literal("BODY[]", content)));
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[]<8000.9000>"), Answer(Literal("BODY[]", content.substr(8000, 9000))));
}

const char kHeaders[] =
    "Subject: main\r\n"
    "Subject-Extra: prefix\r\n"
    "To: one@example.com,\r\n"
    "\ttwo@example.com\r\n"
    "From: me@example.com\r\n"
    "\r\n"
    "Subject: in the body\r\n";

TEST(FetchSection, HeaderFieldsMatchPrefixesAndFoldedLines) {
    FetchFixture f;
    f.AddMessage(1, "000000", kHeaders);
    struct FieldCase {
        const char* item;
        std::string label;
        std::string bytes;
    };
    const FieldCase cases[] = {
        {"BODY.PEEK[HEADER.FIELDS (SUBJECT)]", "BODY[HEADER.FIELDS (SUBJECT)]",
         "Subject: main\r\nSubject-Extra: prefix\r\n\r\n"},
        {"BODY.PEEK[HEADER.FIELDS (TO)]", "BODY[HEADER.FIELDS (TO)]",
         "To: one@example.com,\r\n\ttwo@example.com\r\n\r\n"},
        {"BODY.PEEK[HEADER.FIELDS.NOT (TO SUBJECT)]", "BODY[HEADER.FIELDS.NOT (TO SUBJECT)]",
         "From: me@example.com\r\n\r\n"},
        {"BODY.PEEK[HEADER.FIELDS (from to)]", "BODY[HEADER.FIELDS (from to)]",
         "To: one@example.com,\r\n\ttwo@example.com\r\nFrom: me@example.com\r\n\r\n"},
        {"BODY.PEEK[HEADER.FIELDS (X-NONE)]", "BODY[HEADER.FIELDS (X-NONE)]", "\r\n"},
        // Doubled spaces leave no empty name behind, which would match every line.
        {"BODY.PEEK[HEADER.FIELDS (FROM  TO)]", "BODY[HEADER.FIELDS (FROM TO)]",
         "To: one@example.com,\r\n\ttwo@example.com\r\nFrom: me@example.com\r\n\r\n"},
        {"BODY.PEEK[HEADER.FIELDS ()]", "BODY[HEADER.FIELDS ()]", "\r\n"},
        {"BODY.PEEK[HEADER]", "BODY[HEADER]", std::string(kHeaders).substr(0, std::string(kHeaders).find("\r\n\r\n") + 4)},
        {"RFC822.HEADER", "RFC822.HEADER", std::string(kHeaders).substr(0, std::string(kHeaders).find("\r\n\r\n") + 4)},
    };
    for (const FieldCase& c : cases) {
        EXPECT_EQ(f.Fetch(std::string("1 (") + c.item + ")"), Answer(Literal(c.label, c.bytes))) << c.item;
    }
    // The field list is whole again for the next message and the next item.
    f.AddMessage(2, "000000", kHeaders);
    std::string one = Literal("BODY[HEADER.FIELDS (FROM)]", "From: me@example.com\r\n\r\n");
    EXPECT_EQ(f.Fetch("1:2 (BODY.PEEK[HEADER.FIELDS (FROM)] UID)"),
              "* 1 FETCH (" + one + " UID 1)\r\n* 2 FETCH (" + one + " UID 2)\r\na1 OK FETCH completed\r\n");
}

TEST(FetchSection, HeaderWithoutBlankLineAllFilteredIsTwoBytes) {
    FetchFixture f;
    f.AddMessage(1, "000000", "Subject: only\r\nX-A: b\r\n");
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[HEADER.FIELDS (FROM)]"), Answer(Literal("BODY[HEADER.FIELDS (FROM)]", "\r\n")));
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[HEADER]"), Answer(Literal("BODY[HEADER]", "Subject: only\r\nX-A: b\r\n")));
}

// The boundary sits on a folded line after a Content-Type line that ends with its ";".
const char kFoldedBoundary[] =
    "From: a@b\r\n"
    "Content-Type: multipart/mixed;\r\n"
    "\tboundary=\"=_sep\"\r\n"
    "\r\n"
    "preamble\r\n"
    "--=_sep\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "part one\r\n"
    "--=_sep\r\n"
    "Content-Type: text/html\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    "<p>two</p>\r\n"
    "second line\r\n"
    "--=_sep--\r\n"
    "epilogue\r\n";

TEST(FetchSection, MultipartPartsAndMimeHeaders) {
    FetchFixture f;
    f.AddMessage(1, "000000", kFoldedBoundary);
    struct PartCase {
        const char* item;
        std::string label;
        std::string bytes;
    };
    const PartCase cases[] = {
        {"BODY.PEEK[1]", "BODY[1]", "part one\r\n"},
        {"BODY.PEEK[2]", "BODY[2]", "<p>two</p>\r\nsecond line\r\n"},
        {"BODY.PEEK[2.MIME]", "BODY[2.MIME]", "Content-Type: text/html\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"},
        {"BODY.PEEK[1.mime]", "BODY[1.mime]", "Content-Type: text/plain\r\n\r\n"},
        // Only the first number counts.
        {"BODY.PEEK[2.1]", "BODY[2.1]", "<p>two</p>\r\nsecond line\r\n"},
        {"BODY.PEEK[2.HEADER]", "BODY[2.HEADER]", "<p>two</p>\r\nsecond line\r\n"},
        // Partial suffixes are not applied to numbered parts, and the label does not claim one.
        {"BODY.PEEK[1]<0.4>", "BODY[1]", "part one\r\n"},
        {"BODY.PEEK[3]", "BODY[3]", "\r\n"},
        {"BODY.PEEK[4.MIME]", "BODY[4.MIME]", "\r\n"},
        {"BODY.PEEK[TEXT]", "BODY[TEXT]", "preamble\r\npart one\r\n<p>two</p>\r\nsecond line\r\n"},
        {"BODY.PEEK[X]", "BODY[X]", "\r\n"},
        {"BODY.PEEK[0]", "BODY[0]", "\r\n"},
    };
    for (const PartCase& c : cases) {
        EXPECT_EQ(f.Fetch(std::string("1 ") + c.item), Answer(Literal(c.label, c.bytes))) << c.item;
    }
}

TEST(FetchSection, BoundaryThatIsNotFirstLeavesTheMessageSinglePart) {
    FetchFixture f;
    const std::string body = "--b1\r\nContent-Type: text/plain\r\n\r\ninside\r\n--b1--\r\n";
    f.AddMessage(1, "000000", "Content-Type: multipart/mixed; charset=x; boundary=\"b1\"\r\n\r\n" + body);
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[1]"), Answer(Literal("BODY[1]", body)));
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[2]"), Answer(Literal("BODY[2]", "\r\n")));
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[1.MIME]"), Answer(Literal("BODY[1.MIME]", "\r\n")));
}

TEST(FetchSection, UnquotedBoundaryMatchesOnlyBareDelimiterLines) {
    FetchFixture f;
    f.AddMessage(1, "000000",
                 "Content-Type: multipart/mixed; boundary=plain\r\n\r\n"
                 "--plain\r\n\r\none\r\n--plain\r\n\r\ntwo\r\n--plain--\r\nafter\r\n");
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[1]"), Answer(Literal("BODY[1]", "one\r\n")));
    // The closing line carries "--" after the boundary, so it does not end part 2.
    EXPECT_EQ(f.Fetch("1 BODY.PEEK[2]"), Answer(Literal("BODY[2]", "two\r\n--plain--\r\nafter\r\n")));
}

TEST(FetchSection, SinglePartBodyIsPartOne) {
    FetchFixture f;
    f.AddMessage(1, "000000", "Subject: s\r\n\r\nonly\r\nbody\r\n");
    EXPECT_EQ(f.Fetch("1 (BODY.PEEK[1] BODY.PEEK[TEXT])"),
              Answer(Literal("BODY[1]", "only\r\nbody\r\n") + " " + Literal("BODY[TEXT]", "only\r\nbody\r\n")));
}

TEST(FetchSection, FileThatCannotBeOpenedStillGivesACompleteLiteral) {
    FetchFixture f;
    f.SelectMessage("0000000001-000000.MSG");
    EXPECT_EQ(f.Capture([&] {
        QueueText(f.session.get(), "BODY[] {");
        ReadBodySection(f.session.get(), SECTION_WHOLE, 0, nullptr);
        QueueText(f.session.get(), " RFC822.HEADER {");
        ReadHeaderSection(f.session.get(), HEADER_ALL, nullptr, 0);
    }),
              "BODY[] {2}\r\n\r\n RFC822.HEADER {2}\r\n\r\n");
    EXPECT_EQ(f.Capture([&] { WriteSizeItem(f.session.get()); }), "RFC822.SIZE 0");
}

TEST(FetchSection, NulByteEndsTheLineForCountingAndSending) {
    FetchFixture f;
    f.AddMessage(1, "000000", std::string("Subject: s\r\n\r\nab\0cd\r\nnext\r\n", 27));
    EXPECT_EQ(f.Fetch("1 (RFC822.SIZE BODY.PEEK[TEXT])"),
              Answer("RFC822.SIZE 22 " + Literal("BODY[TEXT]", "abnext\r\n")));
}

}  // namespace
