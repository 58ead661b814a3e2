// BODY and BODYSTRUCTURE: single-part and multipart shapes, the flattened nesting, encodings,
// parameters, ids and dispositions, all as valid IMAP strings.
#include <gtest/gtest.h>

#include <string>

#include "fetch_support.h"
#include "imap/fetch/items.h"

namespace {

std::string Structure(const std::string& message, const char* item = "BODYSTRUCTURE") {
    FetchFixture f;
    f.AddMessage(1, "000000", message);
    std::string out = f.Fetch(std::string("1 ") + item);
    const std::string head = std::string("* 1 FETCH (") + item + " ";
    const std::string tail = ")\r\na1 OK FETCH completed\r\n";
    if (out.rfind(head, 0) != 0 || out.size() < head.size() + tail.size()) {
        return "<unexpected: " + out + ">";
    }
    return out.substr(head.size(), out.size() - head.size() - tail.size());
}

TEST(FetchBodyStructure, SinglePartShapes) {
    struct ShapeCase {
        const char* message;
        const char* structure;
    };
    const ShapeCase cases[] = {
        // No ";" after the subtype: the subtype is NIL; a later encoding line is not read.
        {"Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\nabc\r\n",
         "(\"text\" NIL NIL NIL NIL \"7bit\" 5 1 NIL NIL NIL)"},
        {"Content-Transfer-Encoding: base64\r\nContent-Type: image/png; name=x.png\r\n\r\nQUJD\r\n",
         "(\"image\" \"png\" (\"name\" \"x.png\") NIL NIL \"base64\" 6 NIL NIL NIL)"},
        {"Content-Type: TEXT/html; charset=\"utf-8\"\r\n\r\n<p>\r\n</p>\r\n",
         "(\"TEXT\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 11 2 NIL NIL NIL)"},
        // The parameter on a folded line after a ";" that ends the line.
        {"Content-Type: text/plain;\r\n\tformat=flowed\r\n\r\nx\r\n",
         "(\"text\" \"plain\" (\"format\" \"flowed\") NIL NIL \"7bit\" 3 1 NIL NIL NIL)"},
        // Without a Content-Type the type is NIL and no line count is shown.
        {"Subject: s\r\n\r\nhi\r\n", "(NIL NIL NIL NIL NIL \"7bit\" 4 NIL NIL NIL)"},
        {"Subject: s\r\n\r\n", "(NIL NIL NIL NIL NIL \"7bit\" NIL NIL NIL NIL)"},
        // The size stops at the ".\r\n" line.
        {"Subject: s\r\n\r\nhi\r\n.\r\nmore\r\n", "(NIL NIL NIL NIL NIL \"7bit\" 4 NIL NIL NIL)"},
        // Quotes and backslashes in values are escaped.
        {"Content-Type: text/x\"y; name=\"a \\\"b\\\" c\"\r\n\r\nz\r\n",
         "(\"text\" \"x\\\"y\" (\"name\" \"a \\\"b\\\" c\") NIL NIL \"7bit\" 3 1 NIL NIL NIL)"},
        // A quoted value keeps its ";".
        {"Content-Type: application/x; name=\"a;b\"\r\n\r\nz\r\n",
         "(\"application\" \"x\" (\"name\" \"a;b\") NIL NIL \"7bit\" 3 NIL NIL NIL)"},
    };
    for (const ShapeCase& c : cases) {
        EXPECT_EQ(Structure(c.message), c.structure) << c.message;
    }
}

const char kMultipart[] =
    "From: a@b\r\n"
    "Content-Type: multipart/mixed; boundary=outer\r\n"
    "Content-Transfer-Encoding: 8bit\r\n"
    "\r\n"
    "preamble\r\n"
    "--outer\r\n"
    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "line one\r\n"
    "line two\r\n"
    "--outer\r\n"
    "Content-Type: application/octet-stream; name=file.bin\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "Content-ID: <id1@x>\r\n"
    "Content-Disposition: attachment;\r\n"
    "\tfilename=\"a b.bin\"\r\n"
    "\r\n"
    "AAAA\r\n"
    "--outer--\r\n"
    "epilogue\r\n";

const char kMultipartStructure[] =
    "((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"quoted-printable\" 20 2 NIL NIL NIL) "
    "(\"application\" \"octet-stream\" (\"name\" \"file.bin\") \"<id1@x>\" NIL \"base64\" 6 NIL "
    "(\"attachment\" (\"filename\" \"a b.bin\")) NIL) \"mixed\" (\"boundary\" \"outer\") NIL NIL)";

TEST(FetchBodyStructure, MultipartShape) {
    EXPECT_EQ(Structure(kMultipart), kMultipartStructure);
    EXPECT_EQ(Structure(kMultipart, "BODY"), kMultipartStructure);
}

TEST(FetchBodyStructure, NestedMultipartIsFlattened) {
    EXPECT_EQ(Structure("Content-Type: multipart/mixed; boundary=\"A\"\r\n\r\n"
                        "--A\r\n"
                        "Content-Type: multipart/alternative; boundary=\"B\"\r\n\r\n"
                        "--B\r\n"
                        "Content-Type: text/plain; charset=x\r\n\r\n"
                        "plain\r\n"
                        "--B\r\n"
                        "Content-Type: text/html; charset=x\r\n\r\n"
                        "<b>h</b>\r\n"
                        "--B--\r\n"
                        "--A\r\n"
                        "Content-Type: image/gif; name=g\r\n\r\n"
                        "R0lG\r\n"
                        "--A--\r\n"),
              "((\"multipart\" \"alternative\" (\"boundary\" \"B\") NIL NIL \"7bit\" NIL NIL NIL NIL) "
              "(\"text\" \"plain\" (\"charset\" \"x\") NIL NIL \"7bit\" 7 1 NIL NIL NIL) "
              "(\"text\" \"html\" (\"charset\" \"x\") NIL NIL \"7bit\" 10 1 NIL NIL NIL) "
              "\"mixed\" (\"boundary\" \"A\") NIL NIL)");
}

TEST(FetchBodyStructure, BoundaryThatIsNotFirstIsNotFound) {
    EXPECT_EQ(Structure("Content-Type: multipart/mixed; charset=x; boundary=\"b\"\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n"),
              "(\"multipart\" \"mixed\" (\"charset\" \"x\") NIL NIL \"7bit\" 17 NIL NIL NIL)");
}

TEST(FetchBodyStructure, Dispositions) {
    struct DispositionCase {
        const char* line;
        const char* disposition;
    };
    const DispositionCase cases[] = {
        {"Content-Disposition: inline\r\n", "NIL"},
        {"Content-Disposition: inline; \r\n", "(\"inline\" NIL)"},
        {"Content-Disposition: attachment; filename=x.txt\r\n", "(\"attachment\" (\"filename\" \"x.txt\"))"},
        {"Content-Disposition: attachment; filename=\"a;b.txt\"; size=12\r\n",
         "(\"attachment\" (\"filename\" \"a;b.txt\" \"size\" \"12\"))"},
    };
    for (const DispositionCase& c : cases) {
        std::string message = std::string("Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n") + c.line +
                              "Content-ID: junk <first> <second@x>\r\n\r\nz\r\n--b--\r\n";
        EXPECT_EQ(Structure(message), std::string("((NIL NIL NIL \"<second@x>\" NIL \"7bit\" 3 NIL ") + c.disposition +
                                          " NIL) \"mixed\" (\"boundary\" \"b\") NIL NIL)")
            << c.line;
    }
}

TEST(FetchBodyStructure, AtMostNinePartsAndAMissingClosingDelimiter) {
    std::string message = "Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n";
    for (int i = 0; i < 11; i++) {
        message += "--p\r\n\r\nx\r\n";
    }
    std::string expected = "(";
    for (int i = 0; i < 9; i++) {
        expected += "(NIL NIL NIL NIL NIL \"7bit\" 3 NIL NIL NIL) ";
    }
    expected += "\"mixed\" (\"boundary\" \"p\") NIL NIL)";
    EXPECT_EQ(Structure(message), expected);
    EXPECT_EQ(Structure("Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n--p\r\n\r\nx\r\ny\r\n"),
              "((NIL NIL NIL NIL NIL \"7bit\" 6 NIL NIL NIL) \"mixed\" (\"boundary\" \"p\") NIL NIL)");
}

TEST(FetchBodyStructure, UnreadableFileGivesTenNils) {
    FetchFixture f;
    f.SelectMessage("0000000001-000000.MSG");
    EXPECT_EQ(f.Capture([&] { WriteBodyStructure(f.session.get(), 1); }),
              "BODYSTRUCTURE (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)");
}

}  // namespace
