// Body sections as literals that hold exactly the bytes they announce: the whole message and
// partial ranges, header fields with prefixes and folded lines, and the parts of a multipart.
#include "fetch_support.h"

// "BODY.PEEK[<section>]" and its answer.
static std::pair<std::string, std::string> Peek(const std::string& section, const std::string& bytes) {
    return {"BODY.PEEK[" + section + "]", Literal("BODY[" + section + "]", bytes)};
}

TEST(FetchSection, WholeMessageAndPartialRanges) {
    const std::string line = std::string(41, 'a') + "\r\n", hundred = "Subject: s\r\n\r\n" + line + line;
    // An item with the origin and length of the bytes sent; with nothing to send, a literal holding CRLF.
    const auto range = [&](const char* item, size_t from, size_t count) {
        return std::make_pair(std::string(item), Literal("BODY[]", count == 0 ? "\r\n" : hundred.substr(from, count)));
    };
    ExpectAnswers(hundred, {range("BODY.PEEK[]<0.10>", 0, 10), range("BODY.PEEK[]<95.10>", 95, 5),
                            range("BODY.PEEK[]<20.43>", 20, 43), range("BODY.PEEK[]<0.100>", 0, 100),
                            range("BODY.PEEK[]<0.1000>", 0, 100), range("BODY.PEEK[]<60>", 60, 40),
                            range("RFC822.PEEK<99.1>", 99, 1), range("BODY.PEEK[]<100.10>", 0, 0),
                            range("BODY.PEEK[]<5000.10>", 0, 0), range("BODY.PEEK[]<0.0>", 0, 0)});
    // The message ends before a ".\r\n" line; a last line without its end is counted, not sent.
    const std::string content = "Subject: s\r\n\r\nline\r\n", whole = Literal("BODY[]", content);
    const std::string sizeAll = "(RFC822.SIZE BODY.PEEK[])";
    ExpectAnswers(content + ".\r\nbehind the marker\r\n", {{sizeAll, "RFC822.SIZE 20 " + whole}, {"RFC822.PEEK", whole}});
    ExpectAnswers(content + "partial", {{sizeAll, "RFC822.SIZE 27 " + whole}});
    // A NUL byte ends its line, for counting as for sending.
    ExpectAnswers(std::string("Subject: s\r\n\r\nab\0cd\r\nnext\r\n", 27),
                  {{"(RFC822.SIZE BODY.PEEK[TEXT])", "RFC822.SIZE 22 " + Literal("BODY[TEXT]", "abnext\r\n")}});
    std::string big = "Subject: big\r\n\r\n";
    for (int i = 0; i < 3000; i++) big += "line " + std::to_string(i) + " of a message larger than one send batch\r\n";
    ExpectAnswers(big, {Peek("", big), {"BODY.PEEK[]<8000.9000>", Literal("BODY[]", big.substr(8000, 9000))}});
}

TEST(FetchSection, HeaderFieldsMatchPrefixesAndFoldedLines) {
    const std::string header = "Subject: main\r\nSubject-Extra: prefix\r\nTo: one@x,\r\n\ttwo@y\r\nFrom: me@z\r\n\r\n";
    const std::string to = "To: one@x,\r\n\ttwo@y\r\n", from = "From: me@z\r\n";
    ExpectAnswers(header + "Subject: in the body\r\n", {
        Peek("HEADER.FIELDS (SUBJECT)", "Subject: main\r\nSubject-Extra: prefix\r\n\r\n"),
        Peek("HEADER.FIELDS (TO)", to + "\r\n"), Peek("HEADER.FIELDS.NOT (TO SUBJECT)", from + "\r\n"),
        Peek("HEADER.FIELDS (from to)", to + from + "\r\n"), Peek("HEADER.FIELDS (X-NONE)", "\r\n"),
        // Doubled spaces leave no empty name behind, which would match every line.
        {"BODY.PEEK[HEADER.FIELDS (FROM  TO)]", Literal("BODY[HEADER.FIELDS (FROM TO)]", to + from + "\r\n")},
        Peek("HEADER.FIELDS ()", "\r\n"),
        {"(BODY.PEEK[HEADER] RFC822.HEADER)", Literal("BODY[HEADER]", header) + " " + Literal("RFC822.HEADER", header)},
    });
    const std::string only = "Subject: only\r\nX-A: b\r\n";
    ExpectAnswers(only, {{"(BODY.PEEK[HEADER.FIELDS (FROM)] BODY.PEEK[HEADER])",
                          Literal("BODY[HEADER.FIELDS (FROM)]", "\r\n") + " " + Literal("BODY[HEADER]", only)}});
    // The field list is whole again for the next message.
    FetchFixture f;
    f.Add(1, "000000", header);
    f.Add(2, "000000", header);
    const std::string one = Literal("BODY[HEADER.FIELDS (FROM)]", from + "\r\n");
    EXPECT_EQ(f.Fetch("1:2 (BODY.PEEK[HEADER.FIELDS (FROM)] UID)"),
              "* 1 FETCH (" + one + " UID 1)\r\n" + Answer(one + " UID 2", 2));
}

TEST(FetchSection, PartsOfAMultipartMessage) {
    const std::string empty = Literal("", "\r\n"), two = "<p>two</p>\r\nsecond line\r\n";
    // The boundary sits on a folded line after a Content-Type line that ends with its ";".
    ExpectAnswers("From: a@b\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"=_sep\"\r\n\r\npreamble\r\n"
                  "--=_sep\r\nContent-Type: text/plain\r\n\r\npart one\r\n--=_sep\r\nContent-Type: text/html\r\n"
                  "Content-Transfer-Encoding: 8bit\r\n\r\n" + two + "--=_sep--\r\nepilogue\r\n", {
        Peek("1", "part one\r\n"), Peek("2", two), Peek("1.mime", "Content-Type: text/plain\r\n\r\n"),
        Peek("2.MIME", "Content-Type: text/html\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"),
        // Only the first number counts, and a partial suffix is neither applied nor claimed.
        {"(BODY.PEEK[2.1] BODY.PEEK[2.HEADER])", Literal("BODY[2.1]", two) + " " + Literal("BODY[2.HEADER]", two)},
        {"BODY.PEEK[1]<0.4>", Literal("BODY[1]", "part one\r\n")}, Peek("TEXT", "preamble\r\npart one\r\n" + two),
        {"(BODY.PEEK[3] BODY.PEEK[4.MIME] BODY.PEEK[X] BODY.PEEK[0])",
         "BODY[3]" + empty + " BODY[4.MIME]" + empty + " BODY[X]" + empty + " BODY[0]" + empty},
    });
    // A boundary that is not the first parameter is not found: the message is one part.
    const std::string body = "--b1\r\nContent-Type: text/plain\r\n\r\ninside\r\n--b1--\r\n";
    ExpectAnswers("Content-Type: multipart/mixed; charset=x; boundary=\"b1\"\r\n\r\n" + body,
                  {{"(BODY.PEEK[1] BODY.PEEK[2] BODY.PEEK[1.MIME])",
                    Literal("BODY[1]", body) + " BODY[2]" + empty + " BODY[1.MIME]" + empty}});
    // An unquoted boundary; the closing line carries "--" after it, so it does not end part 2.
    ExpectAnswers("Content-Type: multipart/mixed; boundary=plain\r\n\r\n--plain\r\n\r\none\r\n--plain\r\n\r\ntwo\r\n"
                  "--plain--\r\nafter\r\n", {Peek("1", "one\r\n"), Peek("2", "two\r\n--plain--\r\nafter\r\n")});
    ExpectAnswers("Subject: s\r\n\r\nonly\r\n", {Peek("1", "only\r\n"), Peek("TEXT", "only\r\n")});
    // A part's header fields: an encapsulated message's own header, any other part's MIME header.
    const std::string inner = "Subject: inner\r\nFrom: a@x\r\n\r\nhi\r\nSubject: body\r\n";
    const Cases fields = {
        Peek("1.HEADER.FIELDS (SUBJECT)", "Subject: inner\r\n\r\n"),
        Peek("1.HEADER.FIELDS.NOT (SUBJECT)", "From: a@x\r\n\r\n"),
        {"(BODY.PEEK[1.header.fields (from  subj)] UID)",
         Literal("BODY[1.header.fields (from subj)]", "Subject: inner\r\nFrom: a@x\r\n\r\n") + " UID 1"},
        Peek("2.HEADER.FIELDS (SUBJECT)", "Subject: mime\r\n\r\n"), Peek("3.HEADER.FIELDS.NOT (X)", "\r\n"),
        Peek("2.HEADER.FIELDS.NOT (SUBJECT)", "Content-Type: text/plain\r\n\r\n"),
        // An unclosed section is closed in the label.
        {"BODY.PEEK[2.MIME", Literal("BODY[2.MIME]", "Content-Type: text/plain\r\nSubject: mime\r\n\r\n")},
    };
    ExpectAnswers("Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: Message/RFC822\r\n\r\n" +
                  inner + "--b\r\nContent-Type: text/plain\r\nSubject: mime\r\n\r\nSubject: body\r\n--b--\r\n", fields);
    ExpectAnswers("Content-Type: message/rfc822; x=y\r\n\r\n" + inner, {fields[0], fields[1], fields[4]});
}
