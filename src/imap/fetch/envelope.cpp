// ENVELOPE: ten header fields, the address fields cut into (name route mailbox host), and raw
// ISO-2022 text turned into encoded words so that clients receive 7-bit text.
#include <climits>
#include <cstdio>
#include <cstring>

#include "auth/base64.h"
#include "imap/fetch/items.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;
constexpr size_t FIELD_SIZE = 1024;
// A converted text grows by a third plus its prefix and suffix.
constexpr size_t CONVERTED_SIZE = 512;
constexpr size_t NAME_LIMIT = 255;
constexpr size_t PIECE_SIZE = 4 * FIELD_SIZE + 64;

enum EnvelopeFieldIndex {
    ENV_DATE,
    ENV_SUBJECT,
    ENV_FROM,
    ENV_SENDER,
    ENV_REPLY_TO,
    ENV_TO,
    ENV_CC,
    ENV_BCC,
    ENV_IN_REPLY_TO,
    ENV_MESSAGE_ID,
    ENV_FIELDS,
};

struct EnvelopeField {
    const char* pszName;
    size_t nCapacity;
    bool bTabJoint;  // addresses of folded lines must stay apart
};

const EnvelopeField kFields[ENV_FIELDS] = {
    {"Date:", 64, false},         {"Subject:", 256, false},   {"From:", 128, false},
    {"Sender:", 128, false},      {"Reply-To:", 128, true},   {"To:", 1024, true},
    {"Cc:", 1024, true},          {"Bcc:", 1024, true},       {"In-Reply-To:", 128, false},
    {"Message-ID:", 128, false},
};

struct RawCharset {
    const char* pszEscape;
    const char* pszPrefix;
};

// Tried in this order; the first sequence present anywhere in the text wins.
const RawCharset kRawCharsets[] = {
    {"\x1b$@", "=?iso-2022-jp?B?"},  {"\x1b$B", "=?iso-2022-jp?B?"},   {"\x1b(B", "=?iso-2022-jp?B?"},
    {"\x1b(J", "=?iso-2022-jp?B?"},  {"\x1b$)A", "=?gb2312?B?"},       {"\x1b$)G", "=?gb2312?B?"},
    {"\x1b*H", "=?gb2312?B?"},       {"\x1b$)C", "=?ks_c_5601-1987?B?"},
};

struct Envelope {
    char szValue[ENV_FIELDS][FIELD_SIZE];
};

void AppendBounded(char* pszField, size_t nLimit, const char* pszText) {
    size_t nUsed = strlen(pszField);
    if (nUsed >= nLimit) {
        return;
    }
    size_t nTake = strnlen(pszText, nLimit - nUsed);
    memcpy(pszField + nUsed, pszText, nTake);
    pszField[nUsed + nTake] = '\0';
}

void TakeValue(Envelope* pEnvelope, int nField, char* pszLine, bool bContinuation) {
    pszLine[strcspn(pszLine, "\r\n")] = '\0';
    const char* p = pszLine;
    if (!bContinuation) {
        const char* pColon = strchr(pszLine, ':');
        p = pColon != nullptr ? pColon + 1 : pszLine + strlen(pszLine);
    }
    p = SkipBlanks(p);
    char* pszField = pEnvelope->szValue[nField];
    size_t nLimit = kFields[nField].nCapacity - 1;
    if (!bContinuation) {
        // A repeated field replaces the value, within the room the old one left.
        size_t nRoom = nLimit - strlen(pszField);
        snprintf(pszField, FIELD_SIZE, "%.*s", static_cast<int>(strnlen(p, nRoom)), p);
        return;
    }
    if (kFields[nField].bTabJoint) {
        AppendBounded(pszField, nLimit, "\t");
    }
    AppendBounded(pszField, nLimit, p);
}

// Reads the header that starts at ullStart; a line beginning with pszStop (when not empty) ends
// it as the blank line does, so an encapsulated header never runs into the next part.
void ReadEnvelope(const char* pszPath, uint64_t ullStart, const char* pszStop, Envelope* pEnvelope) {
    FILE* pFile = fopen(pszPath, "rb");
    if (pFile == nullptr) {
        return;
    }
    if (ullStart > static_cast<uint64_t>(LONG_MAX) || fseek(pFile, static_cast<long>(ullStart), SEEK_SET) != 0) {
        fclose(pFile);
        return;
    }
    const size_t nStop = strlen(pszStop);
    char szLine[LINE_SIZE];
    int nCurrent = -1;
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr && strcmp(szLine, "\r\n") != 0 &&
           (nStop == 0 || StrNICmp(szLine, pszStop, nStop) != 0)) {
        bool bContinuation = nCurrent >= 0 && (szLine[0] == ' ' || szLine[0] == '\t');
        int nMatched = -1;
        for (int i = 0; i < ENV_FIELDS; i++) {
            if (StrNICmp(szLine, kFields[i].pszName, strlen(kFields[i].pszName)) == 0) {
                nMatched = i;
                break;
            }
        }
        if (nMatched >= 0) {
            nCurrent = nMatched;
            TakeValue(pEnvelope, nCurrent, szLine, false);
        } else if (bContinuation) {
            TakeValue(pEnvelope, nCurrent, szLine, true);
        } else {
            nCurrent = -1;
        }
    }
    fclose(pFile);
}

void QueueStringOrNil(Session* pSession, const char* pszValue, const char* pszAfter) {
    char szPiece[PIECE_SIZE] = "";
    if (pszValue[0] == '\0') {
        AppendText(szPiece, sizeof(szPiece), "NIL");
    } else {
        AppendString(szPiece, sizeof(szPiece), pszValue);
    }
    AppendText(szPiece, sizeof(szPiece), pszAfter);
    QueueText(pSession, szPiece);
}

void WriteAddress(Session* pSession, char* pszText) {
    char* p = const_cast<char*>(SkipBlanks(pszText));
    char* pName = nullptr;
    char* pMailbox = p;
    char* pLess = strchr(p, '<');
    if (pLess != nullptr) {
        *pLess = '\0';
        pName = p;
        pMailbox = pLess + 1;
        char* pGreater = strchr(pMailbox, '>');
        if (pGreater != nullptr) {
            *pGreater = '\0';
        }
    } else {
        char* pQuote = strchr(p, '"');
        if (pQuote != nullptr) {
            pMailbox = pQuote + 1;
            char* pClose = strchr(pMailbox, '"');
            if (pClose != nullptr) {
                *pClose = '\0';
            }
        }
    }
    char* pHost = nullptr;
    char* pAt = strchr(pMailbox, '@');
    if (pAt != nullptr) {
        *pAt = '\0';
        pHost = pAt + 1;
    }

    char szPiece[PIECE_SIZE] = "(";
    if (pName != nullptr && pName[0] != '\0') {
        if (*pName == '"') {
            pName++;
        }
        char szName[CONVERTED_SIZE];
        size_t nLength = strcspn(pName, "\"");
        if (nLength > NAME_LIMIT) {
            nLength = NAME_LIMIT;
        }
        snprintf(szName, sizeof(szName), "%.*s", static_cast<int>(nLength), pName);
        ConvertRawText(szName, sizeof(szName));
        AppendString(szPiece, sizeof(szPiece), szName);
        AppendText(szPiece, sizeof(szPiece), " ");
    } else {
        AppendText(szPiece, sizeof(szPiece), "NIL ");
    }
    AppendText(szPiece, sizeof(szPiece), "NIL ");
    AppendString(szPiece, sizeof(szPiece), pMailbox);
    AppendText(szPiece, sizeof(szPiece), " ");
    if (pHost != nullptr) {
        AppendString(szPiece, sizeof(szPiece), pHost);
        AppendText(szPiece, sizeof(szPiece), ")");
    } else {
        AppendText(szPiece, sizeof(szPiece), "NIL)");
    }
    QueueText(pSession, szPiece);
}

void WriteAddressList(Session* pSession, char* pszField) {
    if (pszField[0] == '\0') {
        QueueText(pSession, "NIL ");
        return;
    }
    QueueText(pSession, "(");
    char* p = pszField;
    for (;;) {
        // Quotes protect "," and ";" inside display names; raw ISO-2022 text may hold either
        // byte inside a double-byte character, so an ESC protects up to the next quote.
        bool bQuoted = false;
        char* pEnd = p;
        for (; *pEnd != '\0'; pEnd++) {
            if (*pEnd == '"') {
                bQuoted = !bQuoted;
            } else if (*pEnd == '\x1b') {
                bQuoted = true;
            } else if (!bQuoted && (*pEnd == ',' || *pEnd == ';')) {
                break;
            }
        }
        bool bMore = *pEnd != '\0';
        *pEnd = '\0';
        // Addresses follow each other without a separator, as clients parse them.
        WriteAddress(pSession, p);
        if (!bMore || pEnd[1] == '\0') {
            break;
        }
        p = pEnd + 1;
    }
    QueueText(pSession, ") ");
}

}  // namespace

void ConvertRawText(char* pszText, size_t nSize) {
    const RawCharset* pCharset = nullptr;
    char* pStart = nullptr;
    for (const RawCharset& charset : kRawCharsets) {
        pStart = strstr(pszText, charset.pszEscape);
        if (pStart != nullptr) {
            pCharset = &charset;
            break;
        }
    }
    if (pCharset == nullptr) {
        return;
    }
    char szEncoded[2 * CONVERTED_SIZE];
    if (Base64Encode(pStart, strlen(pStart), szEncoded, sizeof(szEncoded)) < 0) {
        return;
    }
    size_t nKeep = static_cast<size_t>(pStart - pszText);
    int nWritten = snprintf(nullptr, 0, "%s%s?=", pCharset->pszPrefix, szEncoded);
    // A cut encoded word would be garbage to the client; the raw text is kept instead.
    if (nWritten < 0 || nKeep + static_cast<size_t>(nWritten) >= nSize) {
        return;
    }
    snprintf(pStart, nSize - nKeep, "%s%s?=", pCharset->pszPrefix, szEncoded);
}

void WriteEnvelope(Session* pSession) {
    QueueText(pSession, "ENVELOPE ");
    char szPath[MAX_PATH + 1024];
    ContentPath(pSession, szPath, sizeof(szPath));
    WriteEnvelopeOf(pSession, szPath, 0, "");
}

void WriteEnvelopeOf(Session* pSession, const char* pszPath, uint64_t ullStart, const char* pszStop) {
    Envelope envelope = {};
    QueueText(pSession, "(");
    ReadEnvelope(pszPath, ullStart, pszStop, &envelope);

    QueueStringOrNil(pSession, envelope.szValue[ENV_DATE], " ");
    char szSubject[CONVERTED_SIZE];
    snprintf(szSubject, sizeof(szSubject), "%.*s", static_cast<int>(sizeof(szSubject) - 1), envelope.szValue[ENV_SUBJECT]);
    ConvertRawText(szSubject, sizeof(szSubject));
    QueueStringOrNil(pSession, szSubject, " ");
    for (int nField = ENV_FROM; nField <= ENV_BCC; nField++) {
        WriteAddressList(pSession, envelope.szValue[nField]);
    }
    QueueStringOrNil(pSession, envelope.szValue[ENV_IN_REPLY_TO], " ");
    QueueStringOrNil(pSession, envelope.szValue[ENV_MESSAGE_ID], "");
    QueueText(pSession, ")");
}
