#include "imap/append_url.h"

#include <cstdio>
#include <cstring>

#include "auth/password.h"
#include "imap/fetch/section.h"
#include "imap/mailbox_name.h"
#include "imap/mime.h"
#include "imap/session.h"
#include "platform/file_range.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Undoes %XX escapes; false for a broken one or an escaped NUL.
bool Unescape(const std::string& text, std::string* pOut) {
    pOut->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            *pOut += text[i];
            continue;
        }
        int nHigh = i + 2 < text.size() ? HexDigit(text[i + 1]) : -1;
        int nLow = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
        if (nHigh < 0 || nLow < 0 || (nHigh == 0 && nLow == 0)) return false;
        *pOut += static_cast<char>(nHigh * 16 + nLow);
        i += 2;
    }
    return true;
}

// A number of 1 to 4294967295 that makes up the whole text.
bool ReadNumber(const std::string& text, uint64_t ullMax, uint64_t* pullValue) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t ullValue = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        ullValue = ullValue * 10 + static_cast<uint64_t>(c - '0');
        if (ullValue > ullMax) return false;
    }
    *pullValue = ullValue;
    return true;
}

bool ReadUid(const std::string& text, uint32_t* pulValue) {
    uint64_t ullValue = 0;
    if (!ReadNumber(text, 0xFFFFFFFFull, &ullValue) || ullValue == 0) return false;
    *pulValue = static_cast<uint32_t>(ullValue);
    return true;
}

// Position of pszWord in text at or after nFrom, compared without case; npos when absent.
size_t FindNoCase(const std::string& text, const char* pszWord, size_t nFrom = 0) {
    size_t nWord = strlen(pszWord);
    for (size_t i = nFrom; i + nWord <= text.size(); i++) {
        if (StrNICmp(text.c_str() + i, pszWord, nWord) == 0) return i;
    }
    return std::string::npos;
}

// The authority of an absolute URL: a user named there must be the one logged in, since no
// other user's mail is served through this session.
bool AuthorityFits(const std::string& authority, const char* pszUser) {
    size_t nAt = authority.rfind('@');
    if (nAt == std::string::npos) return true;
    std::string user = authority.substr(0, nAt);
    size_t nAuth = FindNoCase(user, ";AUTH=");
    if (nAuth != std::string::npos) user.resize(nAuth);
    std::string plain;
    return user.empty() || (Unescape(user, &plain) && StrICmp(plain.c_str(), pszUser) == 0);
}

// The section's byte range in the message of ullSize bytes whose tree is given.
bool SectionRange(const MimeTree& tree, const std::string& section, uint64_t* pullOffset, uint64_t* pullSize) {
    SectionSpec wanted;
    ReadSectionText(section.c_str(), section.size(), &wanted);
    if (!wanted.bValid || wanted.kind == SECTION_FIELDS || wanted.kind == SECTION_FIELDS_NOT) return false;
    MimeSection where = ResolveMimeSection(tree, wanted.ulPath, wanted.nPath);
    if (where.nPart < 0) return false;
    const MimePart& part = tree.parts[static_cast<size_t>(where.nPart)];
    const MimePart* pInner = where.nMessage >= 0 ? &tree.parts[static_cast<size_t>(where.nMessage)] : nullptr;
    switch (wanted.kind) {
        case SECTION_PART:
            *pullOffset = wanted.nPath == 0 ? 0 : part.ullBodyOffset;
            *pullSize = wanted.nPath == 0 ? tree.ullSize : part.ullBodySize;
            return true;
        case SECTION_MIME:
            *pullOffset = part.ullHeaderOffset;
            *pullSize = part.ullHeaderSize;
            return true;
        case SECTION_HEADER:
        case SECTION_TEXT:
            if (pInner == nullptr) return false;
            *pullOffset = wanted.kind == SECTION_HEADER ? pInner->ullHeaderOffset : pInner->ullBodyOffset;
            *pullSize = wanted.kind == SECTION_HEADER ? pInner->ullHeaderSize : pInner->ullBodySize;
            return true;
        default:
            return false;
    }
}

// Hands on the bytes the URL names from an open message file.
UrlRead CopyFromFile(FILE* pFile, const MessageUrl& url, uint64_t ullRoom,
                     const std::function<void(const char*, size_t)>& pfnSink) {
    MimeTree tree;
    if (!MessageContentSize(pFile, &tree.ullSize)) return URL_NAMES_NOTHING;
    uint64_t ullOffset = 0;
    uint64_t ullSize = tree.ullSize;
    if (!url.section.empty()) {
        if (!ParseMime(pFile, tree.ullSize, &tree) || !SectionRange(tree, url.section, &ullOffset, &ullSize)) {
            return URL_NAMES_NOTHING;
        }
    }
    if (url.bPartial) {
        uint64_t ullSkip = url.ullStart < ullSize ? url.ullStart : ullSize;
        ullOffset += ullSkip;
        ullSize -= ullSkip;
        if (url.bLength && url.ullLength < ullSize) ullSize = url.ullLength;
    }
    if (ullSize > ullRoom) return URL_TOO_LARGE;
    char buffer[64 * 1024];
    while (ullSize > 0) {
        size_t nWant = ullSize < sizeof(buffer) ? static_cast<size_t>(ullSize) : sizeof(buffer);
        if (ReadFileAt(pFile, ullOffset, buffer, nWant) != nWant) return URL_NAMES_NOTHING;
        pfnSink(buffer, nWant);
        ullOffset += nWant;
        ullSize -= nWant;
    }
    return URL_READ;
}

}  // namespace

bool ParseMessageUrl(const char* pszUrl, const char* pszUser, MessageUrl* pUrl) {
    *pUrl = MessageUrl{};
    std::string url = pszUrl;
    if (StrNICmp(url.c_str(), "imap://", 7) == 0) {
        size_t nPath = url.find('/', 7);
        if (nPath == std::string::npos || !AuthorityFits(url.substr(7, nPath - 7), pszUser)) return false;
        url.erase(0, nPath);
    }
    if (url.empty() || url[0] != '/' || FindNoCase(url, ";URLAUTH=") != std::string::npos) return false;
    size_t nUid = FindNoCase(url, "/;UID=");
    if (nUid == std::string::npos) return false;
    std::string mailbox = url.substr(1, nUid - 1);
    size_t nValidity = FindNoCase(mailbox, ";UIDVALIDITY=");
    if (nValidity != std::string::npos) {
        pUrl->bValidity = ReadUid(mailbox.substr(nValidity + 13), &pUrl->ulValidity);
        if (!pUrl->bValidity) return false;
        mailbox.resize(nValidity);
    }
    if (mailbox.empty() || !Unescape(mailbox, &pUrl->mailbox)) return false;
    // What follows the UID: "/;SECTION=" and "/;PARTIAL=", in this order, each at most once.
    std::string rest = url.substr(nUid + 6);
    size_t nSection = FindNoCase(rest, "/;SECTION=");
    size_t nPartial = FindNoCase(rest, "/;PARTIAL=");
    size_t nUidEnd = std::min(nSection, nPartial);
    if (!ReadUid(rest.substr(0, nUidEnd == std::string::npos ? rest.size() : nUidEnd), &pUrl->ulUid)) return false;
    if (nSection != std::string::npos) {
        if (nPartial != std::string::npos && nPartial < nSection) return false;
        size_t nEnd = nPartial == std::string::npos ? rest.size() : nPartial;
        if (!Unescape(rest.substr(nSection + 10, nEnd - nSection - 10), &pUrl->section) || pUrl->section.empty()) {
            return false;
        }
    }
    if (nPartial != std::string::npos) {
        std::string range = rest.substr(nPartial + 10);
        size_t nDot = range.find('.');
        pUrl->bPartial = true;
        if (!ReadNumber(range.substr(0, nDot), 0xFFFFFFFFull, &pUrl->ullStart)) return false;
        if (nDot != std::string::npos) {
            pUrl->bLength = true;
            if (!ReadNumber(range.substr(nDot + 1), 0xFFFFFFFFull, &pUrl->ullLength) || pUrl->ullLength == 0) return false;
        }
    }
    return true;
}

UrlRead CopyUrlContent(Session* pSession, const MessageUrl& url, uint64_t ullRoom,
                       const std::function<void(const char*, size_t)>& pfnSink) {
    char szMailbox[MAX_PATH];
    uint32_t ulValidity = 0;
    std::string stored;
    if (StoredNameOf(pSession, url.mailbox, &stored) != UTF8_NAME_OK ||
        !ResolveClientMailbox(pSession, stored.c_str(), szMailbox, sizeof(szMailbox)) || !MailboxExists(szMailbox) ||
        !GetUidValidity(szMailbox, &ulValidity) || (url.bValidity && ulValidity != url.ulValidity)) {
        return URL_NAMES_NOTHING;
    }
    uint8_t fFlags = 0;
    char szCode[8];
    char szPath[MAX_PATH + 32];
    if (!FindMessageFlags(szMailbox, url.ulUid, &fFlags)) return URL_NAMES_NOTHING;
    FlagCodeOf(fFlags, szCode);
    if (!FormatMessagePath(szPath, sizeof(szPath), szMailbox, url.ulUid, szCode)) return URL_NAMES_NOTHING;
    FILE* pFile = fopen(szPath, "rb");
    if (pFile == nullptr) return URL_NAMES_NOTHING;
    int nFirst = fgetc(pFile);
    UrlRead result = URL_NAMES_NOTHING;
    if (nFirst == EOF || !IsScrambledStart(static_cast<unsigned char>(nFirst))) {
        result = CopyFromFile(pFile, url, ullRoom, pfnSink);
        fclose(pFile);
        return result;
    }
    fclose(pFile);
    // A scrambled message is read through a plain copy, made and removed as FETCH does; its
    // name ends in ".ENC" so that no listing takes it for a message.
    char szCopy[MAX_PATH + 64];
    if (!FormatText(szCopy, sizeof(szCopy), "%s/%010u_%lu.URL.ENC", szMailbox, url.ulUid,
                    static_cast<unsigned long>(pSession->lLoginNo)) ||
        DecodeMessageFile(szPath, szCopy) == 0) {
        return URL_NAMES_NOTHING;
    }
    pFile = fopen(szCopy, "rb");
    if (pFile != nullptr) {
        result = CopyFromFile(pFile, url, ullRoom, pfnSink);
        fclose(pFile);
    }
    DeleteFileEntry(szCopy);
    return result;
}
