// Body sections as literals that hold exactly the bytes they announce: the whole message and
// partial ranges, header fields with prefixes and folded lines, and the parts of a multipart.
#include "fetch_support.h"

// "BODY.PEEK[<section>]" and its answer.
static std::pair<std::string, std::string> Peek(const std::string& section, const std::string& bytes) {
    return {"BODY.PEEK[" + section + "]", Literal("BODY[" + section + "]", bytes)};
}

TEST(FetchSection, WholeMessageAndPartialRanges) {
    const std::string line = std::string(41, 'a') + "\r\n", hundred = "Subject: s\r\n\r\n" + line + line;
    // A partial answer carries its origin; with nothing to send, the empty string.
    const auto range = [&](const char* item, size_t from, size_t count) {
        std::string label = "BODY[]<" + std::to_string(from) + ">";
        return std::make_pair(std::string(item), count == 0 ? label + " \"\"" : Literal(label, hundred.substr(from, count)));
    };
    ExpectAnswers(hundred, {range("BODY.PEEK[]<0.10>", 0, 10), range("BODY.PEEK[]<95.10>", 95, 5),
                            range("BODY.PEEK[]<20.43>", 20, 43), range("BODY.PEEK[]<0.100>", 0, 100),
                            range("BODY.PEEK[]<0.1000>", 0, 100), range("BODY.PEEK[]<60>", 60, 40),
                            range("RFC822.PEEK<99.1>", 99, 1), range("BODY.PEEK[]<100.10>", 100, 0),
                            range("BODY.PEEK[]<5000.10>", 5000, 0), range("BODY.PEEK[]<0.0>", 0, 0)});
    // Only a final "." line is left out; an interior one is content, and a last line without
    // its end is sent.
    const std::string content = "Subject: s\r\n\r\nline\r\n.\r\nafter the dot\r\n", whole = Literal("BODY[]", content);
    const std::string sizeAll = "(RFC822.SIZE BODY.PEEK[])";
    ExpectAnswers(content + ".\r\n", {{sizeAll, "RFC822.SIZE 38 " + whole}, {"RFC822.PEEK", Literal("RFC822", content)}});
    ExpectAnswers(content + "partial", {{sizeAll, "RFC822.SIZE 45 " + Literal("BODY[]", content + "partial")}});
    std::string big = "Subject: big\r\n\r\n";
    for (int i = 0; i < 3000; i++) big += "line " + std::to_string(i) + " of a message larger than one send batch\r\n";
    ExpectAnswers(big, {Peek("", big), {"BODY.PEEK[]<8000.9000>", Literal("BODY[]<8000>", big.substr(8000, 9000))}});
}

// Ranges of 64 KiB and more leave the file directly: byte for byte the file's, cut at
// both ends as asked, with a final "." line left out and a NUL still sent as a blank.
TEST(FetchSection, LargeRangesLeaveTheFileByteForByte) {
    std::string body;
    for (int i = 0; body.size() < 300000; i++) {
        body += "line " + std::to_string(i) + " \x80\xFF\x01 of a message many send batches long\r\n";
    }
    const std::string head = "Subject: large\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n",
                      part = "Content-Type: text/plain\r\n\r\n" + body,
                      message = head + "--b\r\n" + part + "\r\n--b--\r\n";
    const size_t n = message.size(), partStart = head.size() + 5;
    ExpectAnswers(message + ".\r\n", {
        {"(RFC822.SIZE BODY.PEEK[])", "RFC822.SIZE " + std::to_string(n) + " " + Literal("BODY[]", message)},
        {"(UID RFC822.SIZE)", "UID 1 RFC822.SIZE " + std::to_string(n)},  // from the file's size alone
        {"BODY.PEEK[]<0.100000>", Literal("BODY[]<0>", message.substr(0, 100000))},
        {"BODY.PEEK[]<1.99999>", Literal("BODY[]<1>", message.substr(1, 99999))},
        {"BODY.PEEK[]<" + std::to_string(n - 70000) + ">",
         Literal("BODY[]<" + std::to_string(n - 70000) + ">", message.substr(n - 70000))},
        {"BODY.PEEK[]<100.999999999>", Literal("BODY[]<100>", message.substr(100))},
        {"BODY.PEEK[1]", Literal("BODY[1]", body)},
        {"BODY.PEEK[1.MIME]", Literal("BODY[1.MIME]", part.substr(0, part.size() - body.size()))},
        {"BODY.PEEK[1]<65536.65536>", Literal("BODY[1]<65536>", body.substr(65536, 65536))},
        {"BODY.PEEK[TEXT]<" + std::to_string(n - head.size() - 65536) + ">",
         Literal("BODY[TEXT]<" + std::to_string(n - head.size() - 65536) + ">", message.substr(n - 65536))},
    });
    EXPECT_EQ(message.substr(partStart, 24), "Content-Type: text/plain");
    std::string withNul = message;
    withNul[n / 2] = '\0';
    std::string sent = message;
    sent[n / 2] = ' ';
    ExpectAnswers(withNul, {{"BODY.PEEK[]", Literal("BODY[]", sent)}});
}

TEST(FetchSection, HeaderFieldsMatchWholeNamesAndFoldedLines) {
    const std::string header = "Subject: main\r\nSubject-Extra: prefix\r\nTo: one@x,\r\n\ttwo@y\r\nFrom: me@z\r\n\r\n";
    const std::string to = "To: one@x,\r\n\ttwo@y\r\n", from = "From: me@z\r\n";
    ExpectAnswers(header + "Subject: in the body\r\n", {
        Peek("HEADER.FIELDS (SUBJECT)", "Subject: main\r\n\r\n"),
        Peek("HEADER.FIELDS (TO)", to + "\r\n"), Peek("HEADER.FIELDS.NOT (TO SUBJECT)", "Subject-Extra: prefix\r\n" + from + "\r\n"),
        // Doubled spaces leave no empty name behind, which would match every line.
        {"BODY.PEEK[HEADER.FIELDS (FROM  TO)]", Literal("BODY[HEADER.FIELDS (FROM TO)]", to + from + "\r\n")},
        Peek("HEADER.FIELDS ()", "\r\n"),
        {"BODY.PEEK[HEADER.FIELDS (TO)]<4.6>", Literal("BODY[HEADER.FIELDS (TO)]<4>", to.substr(4, 6))},
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

// Parts, their MIME headers and encapsulated messages byte for byte are the MIME corpus's and
// imaptest's fetch-body-* tests'; here what those leave out.
TEST(FetchSection, PartsOfAMultipartMessage) {
    const std::string message = "From: a@b\r\nContent-Type: multipart/mixed;\r\n\tboundary=\"=_sep\"\r\n\r\n"
                                "preamble\r\n--=_sep\r\nContent-Type: text/plain\r\n\r\npart one\r\n--=_sep--\r\n";
    // A section that does not exist is the empty string; a single part is part 1.
    ExpectAnswers(message, {{"(BODY.PEEK[3] BODY.PEEK[2.1] BODY.PEEK[1.HEADER] BODY.PEEK[X] BODY.PEEK[0])",
                             "BODY[3] \"\" BODY[2.1] \"\" BODY[1.HEADER] \"\" BODY[X] \"\" BODY[0] \"\""},
                            Peek("1.mime", "Content-Type: text/plain\r\n\r\n")});
    ExpectAnswers("Subject: s\r\n\r\nonly\r\n", {Peek("1", "only\r\n"), Peek("TEXT", "only\r\n")});
    // HEADER and TEXT of an encapsulated message address the message inside; a field list keeps its
    // spelling, one blank between names.
    const std::string inner = "Subject: inner\r\nFrom: a@x\r\n\r\nhi\r\nSubject: body";
    ExpectAnswers("Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: Message/RFC822\r\n\r\n" +
                  inner + "\r\n--b\r\nContent-Type: text/plain\r\nSubject: mime\r\n\r\nSubject: body\r\n--b--\r\n", {
        Peek("1.1", "hi\r\nSubject: body"),
        {"(BODY.PEEK[1.2] BODY.PEEK[1.1.1] BODY.PEEK[3])", "BODY[1.2] \"\" BODY[1.1.1] \"\" BODY[3] \"\""},
        {"(BODY.PEEK[1.header.fields (from  subject)] UID)",
         Literal("BODY[1.header.fields (from subject)]", "Subject: inner\r\nFrom: a@x\r\n\r\n") + " UID 1"},
        {"(BODY.PEEK[2.HEADER.FIELDS (SUBJECT)] BODY.PEEK[2.TEXT])", "BODY[2.HEADER.FIELDS (SUBJECT)] \"\" BODY[2.TEXT] \"\""},
        Peek("2.MIME", "Content-Type: text/plain\r\nSubject: mime\r\n\r\n"),
    });
}
