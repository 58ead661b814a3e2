// BINARY[part], BINARY.PEEK[part] and BINARY.SIZE[part] (RFC 3516): a part's content with its
// transfer encoding undone, so that a client fetching an attachment gets its bytes and not the
// base64 or quoted-printable text that carried them. A content holding a NUL goes out as a
// literal8 ("~{n}"), the only form that may carry one.
#include <cstring>
#include <string>

#include "imap/content_encoding.h"
#include "imap/fetch/items.h"
#include "imap/fetch/section.h"
#include "imap/output.h"
#include "platform/file_range.h"

namespace {

// Where the body of the part a section names lies, and how it is encoded.
struct BinaryPart {
    uint64_t ullOffset = 0;
    uint64_t ullSize = 0;
    TransferEncoding encoding = ENCODING_IDENTITY;
};

// False when the section names no part of this message.
bool FindBinaryPart(FetchMessage* pMessage, const SectionSpec& wanted, BinaryPart* pPart) {
    if (!wanted.bValid || wanted.kind != SECTION_PART) return false;
    if (wanted.nPath == 0) {
        pPart->ullSize = pMessage->ullSize;
        return true;
    }
    const MimeTree* pTree = MessageTree(pMessage);
    if (pTree == nullptr) return false;
    MimeSection where = ResolveMimeSection(*pTree, wanted.ulPath, wanted.nPath);
    if (where.nPart < 0) return false;
    const MimePart& part = pTree->parts[static_cast<size_t>(where.nPart)];
    pPart->ullOffset = part.ullBodyOffset;
    pPart->ullSize = part.ullBodySize;
    // A multipart's body, or a message inside one, is structure and not encoded content: its
    // bytes are the answer as they are.
    pPart->encoding = part.IsMultipart() || part.IsMessageRfc822() ? ENCODING_IDENTITY : TransferEncodingOf(part.encoding);
    return true;
}

// The part's content, decoded; false when it could not be read whole.
bool ReadDecoded(FetchMessage* pMessage, const BinaryPart& part, std::string* pContent) {
    std::string raw(static_cast<size_t>(part.ullSize), '\0');
    if (pMessage->pFile == nullptr || ReadFileAt(pMessage->pFile, part.ullOffset, raw.data(), raw.size()) != raw.size()) {
        pMessage->bReadFailed = true;
        return false;
    }
    switch (part.encoding) {
        case ENCODING_BASE64:
            *pContent = DecodeBase64Body(raw.data(), raw.size());
            break;
        case ENCODING_QUOTED_PRINTABLE:
            *pContent = DecodeQuotedPrintableBody(raw.data(), raw.size());
            break;
        default:
            *pContent = std::move(raw);
            break;
    }
    return true;
}

void WriteLabel(Session* pSession, const char* pszWord, const SectionSpec& wanted) {
    OutputFormat(pSession, "%s[%s]", pszWord, wanted.label.c_str());
}

}  // namespace

void WriteBinary(Session* pSession, FetchMessage* pMessage, const FetchItem& item) {
    const SectionSpec& wanted = item.section;
    WriteLabel(pSession, "BINARY", wanted);
    if (wanted.partial.bGiven) {
        OutputAtom(pSession, "<");
        OutputNumber(pSession, wanted.partial.ullStart);
        OutputAtom(pSession, ">");
    }
    OutputAtom(pSession, " ");
    BinaryPart part;
    std::string content;
    if (!FindBinaryPart(pMessage, wanted, &part) || part.encoding == ENCODING_UNKNOWN) {
        SendEmptySection(pSession);
        return;
    }
    // Content that needs no decoding streams from the file, NULs and all.
    if (part.encoding == ENCODING_IDENTITY && SendBinaryRange(pSession, pMessage, part.ullOffset, part.ullSize, wanted.partial)) {
        return;
    }
    if (!ReadDecoded(pMessage, part, &content)) {
        SendEmptySection(pSession);
        return;
    }
    size_t nStart = 0;
    size_t nLength = content.size();
    if (wanted.partial.bGiven) {
        nStart = wanted.partial.ullStart < content.size() ? static_cast<size_t>(wanted.partial.ullStart) : content.size();
        nLength = content.size() - nStart;
        if (wanted.partial.bLength && wanted.partial.ullLength < nLength) nLength = static_cast<size_t>(wanted.partial.ullLength);
    }
    if (nLength == 0) {
        SendEmptySection(pSession);
        return;
    }
    const char* pData = content.data() + nStart;
    OutputAtom(pSession, memchr(pData, '\0', nLength) != nullptr ? "~{" : "{");
    OutputNumber(pSession, nLength);
    OutputAtom(pSession, "}\r\n");
    OutputBinaryContent(pSession, pData, nLength);
}

void WriteBinarySize(Session* pSession, FetchMessage* pMessage, const FetchItem& item) {
    WriteLabel(pSession, "BINARY.SIZE", item.section);
    OutputAtom(pSession, " ");
    BinaryPart part;
    std::string content;
    if (!FindBinaryPart(pMessage, item.section, &part) || part.encoding == ENCODING_UNKNOWN) {
        OutputAtom(pSession, "0");
    } else if (part.encoding == ENCODING_IDENTITY) {
        OutputNumber(pSession, part.ullSize);
    } else {
        OutputNumber(pSession, ReadDecoded(pMessage, part, &content) ? content.size() : 0);
    }
}

bool BinarySectionsValid(const FetchItemList* pList) {
    for (int i = 0; i < pList->nTyped; i++) {
        const FetchItem& item = pList->items[i];
        if (item.kind != ITEM_BINARY && item.kind != ITEM_BINARY_SIZE) continue;
        // A part path is numbers joined by dots; HEADER, TEXT and MIME are no binary sections.
        if (!item.section.bValid || item.section.kind != SECTION_PART) return false;
        if (item.kind == ITEM_BINARY_SIZE && item.section.partial.bGiven) return false;
    }
    return true;
}

bool BinaryDecodable(const FetchItemList* pList, FetchMessage* pMessage) {
    for (int i = 0; i < pList->nTyped; i++) {
        const FetchItem& item = pList->items[i];
        if (item.kind != ITEM_BINARY && item.kind != ITEM_BINARY_SIZE) continue;
        BinaryPart part;
        if (FindBinaryPart(pMessage, item.section, &part) && part.encoding == ENCODING_UNKNOWN) return false;
    }
    return true;
}
