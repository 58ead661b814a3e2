// BINARY, BINARY.PEEK and BINARY.SIZE: parts with their transfer encoding undone, exactly as
// many bytes as announced, a literal8 for content holding a NUL, and the errors a client is told.
#include "fetch_support.h"
#include "imap/content_encoding.h"
#include "imap/mime.h"

namespace {

const std::string kParts =
    "Subject: b\r\nContent-Type: multipart/mixed; boundary=x\r\n\r\n"
    "--x\r\nContent-Transfer-Encoding: base64\r\n\r\naGVs\r\n bG8=\r\n"
    "--x\r\nContent-Transfer-Encoding: Quoted-Printable\r\n\r\na=3Db =\r\nc  \r\nd=\r\n"
    "--x\r\nContent-Transfer-Encoding: base64\r\n\r\nAP8A\r\n"
    "--x\r\nContent-Transfer-Encoding: x-uuencode\r\n\r\nbegin 644 f\r\n"
    "--x\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
    "--x\r\nContent-Type: message/rfc822\r\n\r\nContent-Transfer-Encoding: base64\r\n\r\naGk=\r\n"
    "--x--\r\n";

}  // namespace

TEST(FetchBinary, PartsComeDecodedWithTheirSizes) {
    const std::string nuls("\0\xff\0", 3);
    ExpectAnswers(kParts, {
        {"BINARY.PEEK[1]", Literal("BINARY[1]", "hello")},
        {"(BINARY.SIZE[1] BINARY.SIZE[2] BINARY.SIZE[3])", "BINARY.SIZE[1] 5 BINARY.SIZE[2] 8 BINARY.SIZE[3] 3"},
        {"binary.peek[2]", Literal("BINARY[2]", "a=b c\r\nd")},
        // A NUL can only travel in a literal8.
        {"BINARY.PEEK[3]", "BINARY[3] ~{3}\r\n" + nuls},
        {"BINARY.PEEK[3]<1.1>", "BINARY[3]<1> {1}\r\n\xff"},
        {"BINARY.PEEK[1]<1.3>", Literal("BINARY[1]<1>", "ell")},
        {"BINARY.PEEK[1]<2>", Literal("BINARY[1]<2>", "llo")},
        {"BINARY.PEEK[1]<5.3>", "BINARY[1]<5> \"\""},
        {"BINARY.PEEK[5]", Literal("BINARY[5]", "plain")},
        // A message inside a part is structure: its bytes as they are, not its body decoded.
        {"BINARY.PEEK[6]", Literal("BINARY[6]", "Content-Transfer-Encoding: base64\r\n\r\naGk=")},
        {"BINARY.PEEK[6.1]", Literal("BINARY[6.1]", "hi")},
        {"BINARY.SIZE[6]", "BINARY.SIZE[6] 41"},
        {"BINARY.PEEK[]", Literal("BINARY[]", kParts)},
        {"BINARY.SIZE[]", "BINARY.SIZE[] " + std::to_string(kParts.size())},
        {"BINARY.PEEK[9]", "BINARY[9] \"\""},
    });
}

TEST(FetchBinary, UnknownEncodingsAndWrongSectionsAreRefused) {
    FetchFixture f;
    f.Add(1, "000000", kParts);
    f.Add(2, "000000", "Subject: plain\r\n\r\nbody\r\n");
    // The other messages are answered; the one whose part cannot be decoded is not.
    EXPECT_EQ(f.Fetch("1:2 BINARY.SIZE[4]"),
              "* 2 FETCH (BINARY.SIZE[4] 0)\r\na1 NO [UNKNOWN-CTE] FETCH fails: a part's transfer encoding is unknown\r\n");
    EXPECT_EQ(f.Fetch("1 (UID BINARY.PEEK[4])"),
              "a1 NO [UNKNOWN-CTE] FETCH fails: a part's transfer encoding is unknown\r\n");
    for (const char* items : {"BINARY[HEADER]", "BINARY.PEEK[1.MIME]", "BINARY[TEXT]", "BINARY.SIZE[1]<0.2>", "BINARY[1.]"}) {
        EXPECT_EQ(f.Fetch(std::string("1 ") + items), "a1 BAD FETCH illegal argument\r\n") << items;
    }
}

TEST(FetchBinary, OnlyBinaryWithoutPeekSetsSeen) {
    for (const auto& [items, bSeen] : {std::pair{"BINARY[1]", true}, {"BINARY.PEEK[1]", false}, {"BINARY.SIZE[1]", false}}) {
        FetchFixture f;
        f.Add(4, "100000", kParts);
        std::string out = f.Fetch(std::string("1 (FLAGS ") + items + ")");
        EXPECT_TRUE(out.starts_with(bSeen ? "* 1 FETCH (FLAGS (\\Recent \\Seen)" : "* 1 FETCH (FLAGS (\\Recent)")) << out;
        EXPECT_EQ(f.Entries()[0], bSeen ? "0000000004-100010.MSG" : "0000000004-100000.MSG") << items;
    }
}

TEST(ContentEncoding, QuotedPrintableFollowsTheLineRules) {
    const std::pair<std::string, std::string> cases[] = {
        {"hello  \r\nbar", "hello\r\nbar"},              // blanks at a line's end are padding
        {"a=\r\nb", "ab"},                               // a soft break joins
        {"a= \t\r\nb", "ab"},                            // also with padding behind it
        {"foo = \t\r\nbar", "foo bar"},                  // padding removed first: then it is soft
        {"=41=4a=4A", "AJJ"},                            // hex in either case
        {"=4G=\r\n", "=4G"},                             // no hex: the "=" stays
        {"x=3", "x=3"},                                  // cut at the end
        {"one\ntwo\n", "one\r\ntwo\r\n"},                // bare LF ends a line too
        {"=00", std::string(1, '\0')},
    };
    for (const auto& [encoded, decoded] : cases) {
        EXPECT_EQ(DecodeQuotedPrintableBody(encoded.data(), encoded.size()), decoded) << encoded;
    }
}

TEST(ContentEncoding, Base64SkipsNoiseAndRoundTrips) {
    const std::string noisy = "  aGVs\r\n bG8g\td29y \r\nbGQ=\r\nignored";
    EXPECT_EQ(DecodeBase64Body(noisy.data(), noisy.size()), "hello world");
    std::string bytes;
    for (int i = 0; i < 200; i++) bytes += static_cast<char>(i * 7);
    std::string encoded = EncodeBase64Body(bytes.data(), bytes.size());
    // Lines of 76 characters, each ending in CRLF.
    EXPECT_EQ(encoded.substr(76, 2), "\r\n");
    EXPECT_EQ(encoded.size(), (bytes.size() + 2) / 3 * 4 + 4 * 2);
    EXPECT_EQ(DecodeBase64Body(encoded.data(), encoded.size()), bytes);
    for (size_t n = 0; n < 4; n++) EXPECT_EQ(DecodeBase64Body(EncodeBase64Body("abc", n).c_str(), EncodeBase64Body("abc", n).size()), std::string("abc", n));
    EXPECT_EQ(TransferEncodingOf(" BASE64 "), ENCODING_BASE64);
    EXPECT_EQ(TransferEncodingOf("Binary"), ENCODING_IDENTITY);
    EXPECT_EQ(TransferEncodingOf(""), ENCODING_IDENTITY);
    EXPECT_EQ(TransferEncodingOf("x-gzip"), ENCODING_UNKNOWN);
}
