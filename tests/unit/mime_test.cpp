// The MIME tree: part bounds, line counts, nesting, defaults, the depth bound, and the stored "."
// terminator.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "imap/mime.h"

namespace {

// Parses a message held in memory.
MimeTree Parse(const std::string& message) {
    MimeTree tree;
    FILE* pFile = fmemopen(const_cast<char*>(message.data()), message.size(), "rb");
    uint64_t ullSize = 0;
    EXPECT_TRUE(MessageContentSize(pFile, &ullSize));
    EXPECT_TRUE(ParseMime(pFile, ullSize, &tree));
    fclose(pFile);
    return tree;
}

// Each node as "type/subtype[header|body|lines]" with its children in braces; the header and
// body are shown as the bytes they cover, so that a wrong offset shows as wrong text.
std::string Describe(const MimeTree& tree, const std::string& message, int nNode = 0) {
    const MimePart& part = tree.parts[static_cast<size_t>(nNode)];
    std::string text = part.type + "/" + part.subtype + "[" + message.substr(part.ullHeaderOffset, part.ullHeaderSize) +
                       "|" + message.substr(part.ullBodyOffset, part.ullBodySize) + "|" +
                       std::to_string(part.ullBodyLines) + "]";
    if (!part.children.empty()) {
        text += "{";
        for (int nChild : part.children) text += Describe(tree, message, nChild) + ";";
        text += "}";
    }
    return text;
}

}  // namespace

TEST(MimeTree, PartBoundsNestingAndDefaults) {
    const std::string mixed = "Content-Type: multipart/mixed; boundary=\"b 1\"\r\n\r\n";
    const std::string inner = "Content-Type: multipart/alternative; boundary=in\r\n\r\n";
    struct Case {
        std::string message, tree;
    } cases[] = {
        // No Content-Type: text/plain; the last line without a line end is content.
        {"Subject: s\r\n\r\nline\r\nlast", "text/plain[Subject: s\r\n\r\n|line\r\nlast|1]"},
        // Only a final "." line is left out; an interior one is content.
        {"S: s\r\n\r\na\r\n.\r\nb\r\n.\r\n", "text/plain[S: s\r\n\r\n|a\r\n.\r\nb\r\n|3]"},
        {"S: s\r\n\r\n", "text/plain[S: s\r\n\r\n||0]"},
        {"S: s\r\n", "text/plain[S: s\r\n||0]"},
        // Preamble and epilogue belong to the multipart; a part ends before the CRLF that
        // precedes the next delimiter; an empty header and a part without a header.
        {mixed + "pre\r\n--b 1\r\nContent-Type: text/html\r\n\r\n<p>\r\n\r\n--b 1  \r\n\r\nx\r\n--b 1\r\nno header\r\n--b 1--\r\nepi\r\n",
         "multipart/mixed[" + mixed + "|pre\r\n--b 1\r\nContent-Type: text/html\r\n\r\n<p>\r\n\r\n--b 1  \r\n\r\nx\r\n--b 1\r\n"
         "no header\r\n--b 1--\r\nepi\r\n|13]{text/html[Content-Type: text/html\r\n\r\n|<p>\r\n|1];"
         "text/plain[\r\n|x|0];text/plain[|no header|0];}"},
        // Nested multipart closed by the outer delimiter without its own closing one; a line that
        // only begins like a delimiter is content.
        {mixed + "--b 1\r\n" + inner + "--in\r\n\r\na\r\n--inx\r\n--b 1--\r\n",
         "multipart/mixed[" + mixed + "|--b 1\r\n" + inner + "--in\r\n\r\na\r\n--inx\r\n--b 1--\r\n|8]{multipart/"
         "alternative[" + inner + "|--in\r\n\r\na\r\n--inx|3]{text/plain[\r\n|a\r\n--inx|1];};}"},
        // message/rfc822 holds its message; a digest's parts default to message/rfc822.
        {"Content-Type: message/rfc822\r\n\r\nSubject: in\r\n\r\nbody\r\n",
         "message/rfc822[Content-Type: message/rfc822\r\n\r\n|Subject: in\r\n\r\nbody\r\n|3]"
         "{text/plain[Subject: in\r\n\r\n|body\r\n|1];}"},
        {"Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nS: m\r\n\r\nm\r\n--d--\r\n",
         "multipart/digest[Content-Type: multipart/digest; boundary=d\r\n\r\n|--d\r\n\r\nS: m\r\n\r\nm\r\n--d--\r\n|6]"
         "{message/rfc822[\r\n|S: m\r\n\r\nm|2]{text/plain[S: m\r\n\r\n|m|0];};}"},
        // A message/rfc822 part whose header the end or a delimiter cuts off holds an empty
        // message there, not the bytes before it.
        {"Content-Type: message/rfc822\r\nSubject: x",
         "message/rfc822[Content-Type: message/rfc822\r\nSubject: x||0]{text/plain[||0];}"},
        {mixed + "--b 1\r\nContent-Type: message/rfc822\r\n--b 1--\r\n",
         "multipart/mixed[" + mixed + "|--b 1\r\nContent-Type: message/rfc822\r\n--b 1--\r\n|3]"
         "{message/rfc822[Content-Type: message/rfc822\r\n||0]{text/plain[||0];};}"},
        // Bare LF line ends are measured as they are.
        {"Content-Type: multipart/mixed; boundary=x\n\n--x\n\nab\n--x--\n",
         "multipart/mixed[Content-Type: multipart/mixed; boundary=x\n\n|--x\n\nab\n--x--\n|4]{text/plain[\n|ab|0];}"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Describe(Parse(c.message), c.message), c.tree) << c.message;
    }
}

TEST(MimeTree, ContentHeaderValues) {
    MimeTree tree = Parse(
        "Content-Type: Text/HTML (comment) ; charset = \"utf-8\" ;\r\n name=\"a;b \\\"c\\\"\"; junk\r\n"
        "Content-Transfer-Encoding: Base64\r\nContent-ID: <id@x>\r\nContent-Description: d\r\n"
        "Content-Disposition: attachment;\r\n\tfilename=\"f.txt\"\r\nContent-Language: en\r\n\r\nx\r\n");
    const MimePart& part = tree.parts[0];
    EXPECT_EQ(part.type + "/" + part.subtype, "Text/HTML");
    ASSERT_EQ(part.params.size(), 2u);
    EXPECT_EQ(part.params[0].name + "=" + part.params[0].value, "charset=utf-8");
    EXPECT_EQ(part.params[1].value, "a;b \"c\"");
    EXPECT_EQ(part.encoding, "Base64");
    EXPECT_EQ(part.id, "<id@x>");
    EXPECT_EQ(part.description, "d");
    EXPECT_EQ(part.dispositionType, "attachment");
    ASSERT_EQ(part.dispositionParams.size(), 1u);
    EXPECT_EQ(part.dispositionParams[0].value, "f.txt");
    EXPECT_EQ(part.language, "en");
    // A type without a subtype is no type: the default applies.
    EXPECT_EQ(Parse("Content-Type: text\r\n\r\n").parts[0].subtype, "plain");
}

TEST(MimeTree, DepthIsBoundedAndLargeLinesAreMeasured) {
    std::string message;
    const int nLevels = MIME_DEPTH_MAX + 20;
    for (int i = 0; i < nLevels; i++) message += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) + "\r\n";
    message += "\r\n" + std::string(200000, 'x') + "\r\nend\r\n";
    MimeTree tree = Parse(message);
    int nDeepest = 0;
    for (const MimePart& part : tree.parts) nDeepest = std::max(nDeepest, part.nDepth);
    EXPECT_EQ(nDeepest, MIME_DEPTH_MAX);
    EXPECT_EQ(tree.parts[0].ullBodyOffset + tree.parts[0].ullBodySize, message.size());
    // The deepest part's body runs to the end: the long line and the one after it.
    const MimePart& last = tree.parts.back();
    EXPECT_EQ(message.size() - last.ullBodyOffset - last.ullBodySize, 0u);
}

// One comment reader serves the content headers and the envelope's addresses: comments nest, a
// quoted pair hides a parenthesis, and one never closed runs to the end.
TEST(MimeTree, CommentsNestAndEscapeAlikeForEveryReader) {
    struct Case {
        const char* pszText;
        size_t nEnd;
        const char* pszContent;
    };
    const Case cases[] = {
        {"(a) x", 3, "a"},          {"(a (b) c)d", 9, "a (b) c"}, {"(a \\) b) c", 8, "a ) b"},
        {"(x \\(y) z", 7, "x (y"}, {"(open (never", 12, "open (never"}, {"(\\", 2, "\\"},
    };
    for (const Case& c : cases) {
        std::string content;
        EXPECT_EQ(ReadComment(c.pszText, 0, &content), c.nEnd) << c.pszText;
        EXPECT_EQ(content, c.pszContent) << c.pszText;
    }
    std::string first;
    std::vector<MimeParam> params;
    ParseMimeValue("text/plain (a \\) (b;c) ; d=e) ; charset=x", &first, &params);
    EXPECT_EQ(first, "text/plain");
    ASSERT_EQ(params.size(), 1u);
    EXPECT_EQ(params[0].name + "=" + params[0].value, "charset=x");
}
