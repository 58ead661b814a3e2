// BODY and BODYSTRUCTURE: single-part and multipart shapes, the flattened nesting, encodings,
// parameters, ids and dispositions, all as valid IMAP strings.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "fetch_support.h"

namespace {

// Each pair: a message and its structure, which BODY and BODYSTRUCTURE both give.
void ExpectStructures(const std::vector<std::pair<std::string, std::string>>& cases) {
    for (const auto& [message, structure] : cases) {
        for (std::string label : {"BODY", "BODYSTRUCTURE"}) {
            EXPECT_EQ(FetchAlone(message, label), Answer(label + " " + structure)) << message;
        }
    }
}

TEST(FetchBodyStructure, SinglePartShapes) {
    ExpectStructures({
        // No ";" after the subtype: the subtype is NIL; a later encoding line is not read.
        {"Content-Type: text/plain\r\nContent-Transfer-Encoding: base64\r\n\r\nabc\r\n",
         "(\"text\" NIL NIL NIL NIL \"7bit\" 5 1 NIL NIL NIL)"},
        {"Content-Transfer-Encoding: base64\r\nContent-Type: image/png; name=x.png\r\n\r\nQUJD\r\n",
         "(\"image\" \"png\" (\"name\" \"x.png\") NIL NIL \"base64\" 6 NIL NIL NIL)"},
        {"Content-Type: TEXT/html; charset=\"utf-8\"\r\n\r\n<p>\r\n</p>\r\n",
         "(\"TEXT\" \"html\" (\"charset\" \"utf-8\") NIL NIL \"7bit\" 11 2 NIL NIL NIL)"},
        {"Content-Type: text/plain;\r\n\tformat=flowed\r\n\r\nx\r\n",
         "(\"text\" \"plain\" (\"format\" \"flowed\") NIL NIL \"7bit\" 3 1 NIL NIL NIL)"},
        // Without a Content-Type no line count is shown; the size stops at the ".\r\n" line.
        {"Subject: s\r\n\r\nhi\r\n.\r\nmore\r\n", "(NIL NIL NIL NIL NIL \"7bit\" 4 NIL NIL NIL)"},
        {"Subject: s\r\n\r\n", "(NIL NIL NIL NIL NIL \"7bit\" NIL NIL NIL NIL)"},
        {"Content-Type: text/x\"y; name=\"a \\\"b\\\" c\"\r\n\r\nz\r\n",
         "(\"text\" \"x\\\"y\" (\"name\" \"a \\\"b\\\" c\") NIL NIL \"7bit\" 3 1 NIL NIL NIL)"},
        {"Content-Type: application/x; name=\"a;b\"\r\n\r\nz\r\n",
         "(\"application\" \"x\" (\"name\" \"a;b\") NIL NIL \"7bit\" 3 NIL NIL NIL)"},
        // A boundary that is not the first parameter is not found.
        {"Content-Type: multipart/mixed; charset=x; boundary=\"b\"\r\n\r\n--b\r\n\r\nx\r\n--b--\r\n",
         "(\"multipart\" \"mixed\" (\"charset\" \"x\") NIL NIL \"7bit\" 17 NIL NIL NIL)"},
    });
}

TEST(FetchBodyStructure, MultipartShapes) {
    const std::string mixed = "\"mixed\" (\"boundary\" \"p\") NIL NIL)", bare = "(NIL NIL NIL NIL NIL \"7bit\" 3 NIL ";
    std::string ten = "Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n", nine = "(";
    for (int i = 0; i < 10; i++) ten += "--p\r\n\r\nx\r\n", nine += i < 9 ? bare + "NIL NIL) " : mixed;
    ExpectStructures({
        {"From: a@b\r\nContent-Type: multipart/mixed; boundary=outer\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
         "preamble\r\n--outer\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n\r\nline one\r\nline two\r\n--outer\r\n"
         "Content-Type: application/octet-stream; name=file.bin\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-ID: <id1@x>\r\nContent-Disposition: attachment;\r\n\tfilename=\"a b.bin\"\r\n\r\nAAAA\r\n"
         "--outer--\r\nepilogue\r\n",
         "((\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"quoted-printable\" 20 2 NIL NIL NIL) "
         "(\"application\" \"octet-stream\" (\"name\" \"file.bin\") \"<id1@x>\" NIL \"base64\" 6 NIL "
         "(\"attachment\" (\"filename\" \"a b.bin\")) NIL) \"mixed\" (\"boundary\" \"outer\") NIL NIL)"},
        // Nesting is flattened: the inner parts follow the inner multipart's own record.
        {"Content-Type: multipart/mixed; boundary=\"A\"\r\n\r\n--A\r\nContent-Type: multipart/alternative; "
         "boundary=\"B\"\r\n\r\n--B\r\nContent-Type: text/plain; charset=x\r\n\r\nplain\r\n--B\r\n"
         "Content-Type: text/html; charset=x\r\n\r\n<b>h</b>\r\n--B--\r\n--A\r\nContent-Type: image/gif\r\n\r\nR0lG\r\n"
         "--A--\r\n",
         "((\"multipart\" \"alternative\" (\"boundary\" \"B\") NIL NIL \"7bit\" NIL NIL NIL NIL) "
         "(\"text\" \"plain\" (\"charset\" \"x\") NIL NIL \"7bit\" 7 1 NIL NIL NIL) "
         "(\"text\" \"html\" (\"charset\" \"x\") NIL NIL \"7bit\" 10 1 NIL NIL NIL) "
         "\"mixed\" (\"boundary\" \"A\") NIL NIL)"},
        // Dispositions; the Content-ID is taken from its last "<".
        {"Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n--p\r\nContent-Disposition: inline\r\n"
         "Content-ID: junk <first> <second@x>\r\n\r\nz\r\n--p\r\nContent-Disposition: inline; \r\n\r\nz\r\n--p\r\n"
         "Content-Disposition: attachment; filename=x.txt\r\n\r\nz\r\n--p\r\n"
         "Content-Disposition: attachment; filename=\"a;b.txt\"; size=12\r\n\r\nz\r\n--p--\r\n",
         "((NIL NIL NIL \"<second@x>\" NIL \"7bit\" 3 NIL NIL NIL) " + bare + "(\"inline\" NIL) NIL) " + bare +
             "(\"attachment\" (\"filename\" \"x.txt\")) NIL) " + bare +
             "(\"attachment\" (\"filename\" \"a;b.txt\" \"size\" \"12\")) NIL) " + mixed},
        // At most nine parts; without a closing delimiter the last part runs to the end.
        {ten, nine},
        {"Content-Type: multipart/mixed; boundary=\"p\"\r\n\r\n--p\r\n\r\nx\r\ny\r\n",
         "((NIL NIL NIL NIL NIL \"7bit\" 6 NIL NIL NIL) " + mixed},
    });
}

}  // namespace
