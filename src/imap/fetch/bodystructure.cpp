// BODY and BODYSTRUCTURE, written from the message's MIME tree without reading its bodies again:
// multiparts nest as they do in the message, a message/rfc822 part carries the envelope, the
// structure and the line count of the message it holds. BODY is the same without extension data.
#include <cinttypes>
#include <string>

#include "imap/fetch/items.h"
#include "imap/output.h"
#include "platform/text.h"

namespace {

void AppendImapString(std::string* pOut, const std::string& value) {
    bool bLiteral = false;
    for (char c : value) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u == '\r' || u == '\n' || u >= 0x80 || u == 0) {
            bLiteral = true;
            break;
        }
    }
    // Appended piece by piece: GCC 12 at -O3 sees a false overlap (-Wrestrict) in "{" + string.
    if (bLiteral) {
        std::string clean = value;
        for (char& c : clean) {
            if (c == '\0') {
                c = ' ';  // the send path cannot carry a NUL
            }
        }
        pOut->push_back('{');
        *pOut += std::to_string(clean.size());
        *pOut += "}\r\n";
        *pOut += clean;
        return;
    }
    pOut->push_back('"');
    for (char c : value) {
        if (c == '"' || c == '\\') {
            pOut->push_back('\\');
        }
        pOut->push_back(c);
    }
    pOut->push_back('"');
}

void AppendNString(std::string* pOut, const std::string& value) {
    if (value.empty()) {
        *pOut += "NIL";
    } else {
        AppendImapString(pOut, value);
    }
}

void AppendParams(std::string* pOut, const std::vector<MimeParam>& params, bool bTextDefaults) {
    bool bCharset = false;
    for (const MimeParam& param : params) {
        bCharset = bCharset || StrICmp(param.name.c_str(), "charset") == 0;
    }
    bool bAddCharset = bTextDefaults && !bCharset;
    if (params.empty() && !bAddCharset) {
        *pOut += "NIL";
        return;
    }
    pOut->push_back('(');
    bool bFirst = true;
    for (const MimeParam& param : params) {
        if (!bFirst) {
            pOut->push_back(' ');
        }
        bFirst = false;
        AppendImapString(pOut, param.name);
        pOut->push_back(' ');
        AppendImapString(pOut, param.value);
    }
    // Text without a charset is us-ascii.
    if (bAddCharset) {
        *pOut += bFirst ? "\"charset\" \"us-ascii\"" : " \"charset\" \"us-ascii\"";
    }
    pOut->push_back(')');
}

void AppendDisposition(std::string* pOut, const MimePart& part) {
    if (part.dispositionType.empty()) {
        *pOut += "NIL";
        return;
    }
    pOut->push_back('(');
    AppendImapString(pOut, part.dispositionType);
    pOut->push_back(' ');
    AppendParams(pOut, part.dispositionParams, false);
    pOut->push_back(')');
}

// Content-Language: one tag as a string, several as a list.
void AppendLanguage(std::string* pOut, const std::string& value) {
    std::string first;
    std::vector<std::string> tags;
    std::string tag;
    for (char c : value + ",") {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!tag.empty()) {
                tags.push_back(tag);
            }
            tag.clear();
        } else {
            tag.push_back(c);
        }
    }
    if (tags.empty()) {
        *pOut += "NIL";
    } else if (tags.size() == 1) {
        AppendImapString(pOut, tags[0]);
    } else {
        pOut->push_back('(');
        for (size_t i = 0; i < tags.size(); i++) {
            if (i > 0) {
                pOut->push_back(' ');
            }
            AppendImapString(pOut, tags[i]);
        }
        pOut->push_back(')');
    }
}

class StructureWriter {
public:
    StructureWriter(Session* pSession, FetchMessage* pMessage, const MimeTree& tree, bool bExtended)
        : pSession_(pSession), pMessage_(pMessage), tree_(tree), bExtended_(bExtended) {}

    void Write(int nNode) {
        const MimePart& part = tree_.parts[static_cast<size_t>(nNode)];
        if (part.IsMultipart()) {
            text_.push_back('(');
            for (int nChild : part.children) {
                Write(nChild);
            }
            text_.push_back(' ');
            AppendImapString(&text_, part.subtype);
            if (bExtended_) {
                text_.push_back(' ');
                AppendParams(&text_, part.params, false);
                AppendExtension(part);
            }
            text_.push_back(')');
            return;
        }
        // An encapsulated message too deep to be looked into is shown as opaque data, since
        // message/rfc822 would promise an envelope and a structure.
        bool bMessage = part.IsMessageRfc822() && !part.children.empty();
        bool bOpaque = part.IsMessageRfc822() && part.children.empty();
        bool bText = StrICmp(part.type.c_str(), "text") == 0;
        text_.push_back('(');
        AppendImapString(&text_, bOpaque ? "application" : part.type);
        text_.push_back(' ');
        AppendImapString(&text_, bOpaque ? "octet-stream" : part.subtype);
        text_.push_back(' ');
        AppendParams(&text_, part.params, bText);
        text_.push_back(' ');
        AppendNString(&text_, part.id);
        text_.push_back(' ');
        AppendNString(&text_, part.description);
        text_.push_back(' ');
        AppendImapString(&text_, part.encoding.empty() ? std::string("7bit") : part.encoding);
        text_.push_back(' ');
        text_ += std::to_string(part.ullBodySize);
        if (bMessage) {
            int nInner = part.children[0];
            const MimePart& inner = tree_.parts[static_cast<size_t>(nInner)];
            text_.push_back(' ');
            Flush();
            WriteEnvelopeOf(pSession_, pMessage_->pFile, inner.ullHeaderOffset, inner.ullHeaderSize);
            text_.push_back(' ');
            Write(nInner);
        }
        if (bText || bMessage) {
            text_.push_back(' ');
            text_ += std::to_string(part.ullBodyLines);
        }
        if (bExtended_) {
            text_.push_back(' ');
            AppendNString(&text_, part.md5);
            AppendExtension(part);
        }
        text_.push_back(')');
    }

    // Queues what is written so far.
    void Flush() {
        OutputText(pSession_, text_.data(), text_.size());
        text_.clear();
    }

private:
    void AppendExtension(const MimePart& part) {
        text_.push_back(' ');
        AppendDisposition(&text_, part);
        text_.push_back(' ');
        AppendLanguage(&text_, part.language);
        text_.push_back(' ');
        AppendNString(&text_, part.location);
    }

    Session* pSession_;
    FetchMessage* pMessage_;
    const MimeTree& tree_;
    bool bExtended_;
    std::string text_;
};

}  // namespace

void WriteBodyStructure(Session* pSession, FetchMessage* pMessage, bool bExtended) {
    OutputAtom(pSession, bExtended ? "BODYSTRUCTURE " : "BODY ");
    const MimeTree* pTree = MessageTree(pMessage);
    if (pTree == nullptr) {
        // A message that cannot be read is described as an empty text.
        OutputAtom(pSession, bExtended ? "(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 0 0 NIL NIL NIL NIL)"
                                      : "(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 0 0)");
        return;
    }
    StructureWriter writer(pSession, pMessage, *pTree, bExtended);
    writer.Write(0);
    writer.Flush();
}
