// Header sections, ENVELOPE and small sections answered from the bytes read when a message is
// first looked at: the answers must be the same wherever the header ends, whether within those
// bytes, at their edge or beyond them, and whatever ends the file.
#include <gtest/gtest.h>

#include <string>

#include "fetch_support.h"
#include "imap/fetch/items.h"

namespace {

// A header of exactly nBytes bytes (at least 100), its blank line included: Subject, filler
// fields, From, and a last field that pads it.
std::string HeaderOf(size_t nBytes, const char* pszEnd = "\r\n") {
    size_t nEnd = strlen(pszEnd);
    std::string header = std::string("Subject: near the edge") + pszEnd;
    for (int i = 0; header.size() + 80 < nBytes; i++) {
        header += "X-Filler-" + std::to_string(i) + ": " + std::string(30, 'f') + pszEnd;
    }
    header += std::string("From: edge@example.org") + pszEnd + "X-Pad: ";
    header.append(nBytes - header.size() - 2 * nEnd, 'z');
    return header + pszEnd + pszEnd;
}

// The lines of the header that start with one of the prefixes, and the blank line.
std::string Fields(const std::string& header, const std::vector<std::string>& prefixes, const char* pszEnd = "\r\n") {
    std::string taken;
    size_t nEnd = strlen(pszEnd);
    for (size_t nPos = 0; nPos < header.size();) {
        size_t nLf = header.find('\n', nPos);
        std::string line = header.substr(nPos, nLf - nPos + 1);
        nPos = nLf + 1;
        if (line == pszEnd) break;
        for (const std::string& prefix : prefixes) {
            if (line.compare(0, prefix.size(), prefix) == 0) taken += line;
        }
    }
    return taken + std::string(pszEnd, nEnd);
}

}  // namespace

TEST(FetchHead, HeaderSectionsWhereverTheHeaderEnds) {
    // Around the edge of the first bytes read, and well beyond it.
    for (size_t nHeader : {size_t{200}, MESSAGE_HEAD_SIZE - 2, MESSAGE_HEAD_SIZE - 1, MESSAGE_HEAD_SIZE,
                           MESSAGE_HEAD_SIZE + 1, MESSAGE_HEAD_SIZE + 2, 3 * MESSAGE_HEAD_SIZE}) {
        for (std::string body : {std::string("Body line.\r\n"), std::string(2 * MESSAGE_HEAD_SIZE, 'b') + "\r\n"}) {
            std::string header = HeaderOf(nHeader);
            ASSERT_EQ(header.size(), nHeader);
            std::string message = header + body;
            std::string fields = Fields(header, {"From:", "Subject:"});
            std::string notFields = Fields(header, {"X-"});
            ExpectAnswers(message, {
                {"(BODY.PEEK[HEADER])", Literal("BODY[HEADER]", header)},
                {"(RFC822.HEADER)", Literal("RFC822.HEADER", header)},
                {"(BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])", Literal("BODY[HEADER.FIELDS (FROM SUBJECT)]", fields)},
                {"(BODY.PEEK[HEADER.FIELDS.NOT (FROM SUBJECT)])",
                 Literal("BODY[HEADER.FIELDS.NOT (FROM SUBJECT)]", notFields)},
                {"(BODY.PEEK[TEXT])", Literal("BODY[TEXT]", body)},
                {"(BODY.PEEK[HEADER]<5.20>)", Literal("BODY[HEADER]<5>", header.substr(5, 20))},
            });
            if (HasFailure()) {
                ADD_FAILURE() << "header of " << header.size() << " bytes, body of " << body.size();
                return;
            }
        }
    }
}

TEST(FetchHead, HeadersWithoutABlankLineOrWithBareLineFeeds) {
    // No blank line: the header is the whole message, however long.
    for (size_t nSize : {size_t{100}, MESSAGE_HEAD_SIZE, MESSAGE_HEAD_SIZE + 40}) {
        std::string message = "Subject: no body\r\n" + std::string(nSize, 'x') + "\r\n";
        ExpectAnswers(message, {
            {"(BODY.PEEK[HEADER])", Literal("BODY[HEADER]", message)},
            {"(BODY.PEEK[HEADER.FIELDS (SUBJECT)])", Literal("BODY[HEADER.FIELDS (SUBJECT)]", "Subject: no body\r\n\r\n")},
        });
    }
    // Line feeds alone end the lines and the header.
    std::string header = HeaderOf(300, "\n");
    ExpectAnswers(header + "text\n", {
        {"(BODY.PEEK[HEADER])", Literal("BODY[HEADER]", header)},
        {"(BODY.PEEK[HEADER.FIELDS (FROM)])", Literal("BODY[HEADER.FIELDS (FROM)]", "From: edge@example.org\n\n")},
        {"(ENVELOPE)", "ENVELOPE (NIL \"near the edge\" ((NIL NIL \"edge\" \"example.org\")) ((NIL NIL \"edge\" "
                       "\"example.org\")) ((NIL NIL \"edge\" \"example.org\")) NIL NIL NIL NIL NIL)"},
    });
    // A header line that is only a carriage return does not end the header.
    ExpectAnswers("Subject: cr\r\n\r \r\nFrom: a@b.c\r\n\r\nbody\r\n", {
        {"(BODY.PEEK[HEADER.FIELDS (FROM)])", Literal("BODY[HEADER.FIELDS (FROM)]", "From: a@b.c\r\n\r\n")},
    });
}

TEST(FetchHead, StoredTerminatorLineStaysOutWhereverItFalls) {
    // A file whose last line is "." holds the message before it: in a short file the end is in
    // the first bytes read, in a long one it is read apart.
    for (size_t nBody : {size_t{10}, MESSAGE_HEAD_SIZE - 60, MESSAGE_HEAD_SIZE, 3 * MESSAGE_HEAD_SIZE}) {
        std::string message = "Subject: dot\r\n\r\n" + std::string(nBody, 'd') + "\r\n";
        ExpectAnswers(message + ".\r\n", {
            {"(RFC822.SIZE BODY.PEEK[HEADER])",
             "RFC822.SIZE " + std::to_string(message.size()) + " " + Literal("BODY[HEADER]", "Subject: dot\r\n\r\n")},
            {"(BODY.PEEK[TEXT])", Literal("BODY[TEXT]", message.substr(16))},
        });
    }
    // The file is the terminator line alone: an empty message, whose header is empty too.
    ExpectAnswers(".\r\n", {{"(RFC822.SIZE BODY.PEEK[HEADER])", "RFC822.SIZE 0 BODY[HEADER] \"\""}});
}

TEST(FetchHead, ScrambledMessageAnswersFromItsDecodedCopy) {
    FetchFixture f;
    std::string header = HeaderOf(MESSAGE_HEAD_SIZE + 100);
    std::string message = header + "Scrambled body.\r\n";
    f.Add(1, "000000", message, 0x5A);
    EXPECT_EQ(f.Fetch("1 (RFC822.SIZE BODY.PEEK[HEADER.FIELDS (SUBJECT)] BODY.PEEK[TEXT])"),
              Answer("RFC822.SIZE " + std::to_string(message.size()) + " " +
                     Literal("BODY[HEADER.FIELDS (SUBJECT)]", "Subject: near the edge\r\n\r\n") + " " +
                     Literal("BODY[TEXT]", "Scrambled body.\r\n")));
    // No copy is left behind.
    EXPECT_EQ(f.Entries().size(), 1u);
    FetchFixture g;
    g.Add(1, "000000", "Subject: short\r\n\r\nx\r\n", 0x21);
    EXPECT_EQ(g.Fetch("1 (BODY.PEEK[HEADER] ENVELOPE)"),
              Answer(Literal("BODY[HEADER]", "Subject: short\r\n\r\n") +
                     " ENVELOPE (NIL \"short\" NIL NIL NIL NIL NIL NIL NIL NIL)"));
}
