// BODY and BODYSTRUCTURE: one description per part from a single pass over the file. Only the
// first delimiter divides the message; a nested multipart's boundary takes over from the part
// that declares it, so its parts are described as further parts of the same level. A part that
// is an encapsulated message (message/rfc822 with parameters) carries the envelope and the
// structure of that message, read again from where its body starts.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>

#include "imap/fetch/items.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;
constexpr int PART_MAX = 9;
constexpr size_t VALUE_SIZE = 256;
constexpr size_t TYPE_SIZE = 30;  // 32 with the quotes the client sees
constexpr size_t RECORD_SIZE = 6144;
// Encapsulated messages described one inside the other; deeper ones are described without.
constexpr int NEST_MAX = 4;

struct BodyRecord {
    bool bType;
    char szType[TYPE_SIZE];
    bool bSubtype;
    char szSubtype[TYPE_SIZE];
    bool bParam;
    char szParamName[VALUE_SIZE];
    char szParamValue[VALUE_SIZE];
    bool bId;
    char szId[VALUE_SIZE];
    bool bDisposition;
    char szDispositionType[VALUE_SIZE];
    char szDispositionParams[VALUE_SIZE];
    bool bEncoding;
    char szEncoding[VALUE_SIZE];
    uint64_t ullSize;
    uint32_t ulLines;
    uint64_t ullBodyStart;             // file offset of the body
    char szStop[VALUE_SIZE + 2];       // the delimiter that ended the body
};

struct BodyReader {
    FILE* pFile;
    char szLine[LINE_SIZE];
    bool bEnd;  // the last read found the end of the file
    char szDelimiter[VALUE_SIZE + 2];  // "--" and the boundary
};

// Reads the next line; a line cut short by the end of the file still counts as read.
bool ReadLine(BodyReader* pReader) {
    if (pReader->bEnd || fgets(pReader->szLine, sizeof(pReader->szLine), pReader->pFile) == nullptr) {
        pReader->bEnd = true;
        pReader->szLine[0] = '\0';
        return false;
    }
    if (feof(pReader->pFile) != 0) {
        pReader->bEnd = true;
    }
    return true;
}

void CopyRange(char* pszOut, size_t nSize, const char* pBegin, size_t nLength) {
    snprintf(pszOut, nSize, "%.*s", static_cast<int>(nLength), pBegin);
}

// A parameter value: a quoted string up to its closing quote (so ";" or "," inside it do not
// cut it), or a token up to ",", ";" or the line end. Returns where the value ended.
const char* ReadParamValue(const char* p, char* pszValue, size_t nSize) {
    size_t nUsed = 0;
    if (*p == '"') {
        p++;
        while (*p != '\0' && *p != '"' && *p != '\r' && *p != '\n') {
            if (*p == '\\' && p[1] != '\0' && p[1] != '\r' && p[1] != '\n') {
                p++;
            }
            if (nUsed + 1 < nSize) {
                pszValue[nUsed++] = *p;
            }
            p++;
        }
        if (*p == '"') {
            p++;
        }
    } else {
        size_t nLength = strcspn(p, ",;\r\n");
        nUsed = nLength < nSize ? nLength : nSize - 1;
        memcpy(pszValue, p, nUsed);
        p += nLength;
    }
    pszValue[nUsed] = '\0';
    return p;
}

// The parameter text of a Content-Type or Content-Disposition line: the rest after the ";",
// or the next line when the rest is empty. A next line that is not folded ends the header.
const char* ParameterText(BodyReader* pReader, const char* pRest, bool* pbHeaderEnds) {
    *pbHeaderEnds = false;
    if (*pRest != '\r' && *pRest != '\n') {
        return pRest;
    }
    if (!ReadLine(pReader) || (pReader->szLine[0] != ' ' && pReader->szLine[0] != '\t')) {
        *pbHeaderEnds = true;
        return nullptr;
    }
    return pReader->szLine;
}

// Returns true when reading the parameter ended the header.
bool ParseContentType(BodyReader* pReader, BodyRecord* pRecord) {
    // Work on a copy: the parameter text may come from the next line, read into the buffer.
    char szLine[LINE_SIZE];
    snprintf(szLine, sizeof(szLine), "%s", pReader->szLine);
    const char* p = SkipBlanks(szLine + strlen("Content-Type:"));
    const char* pSlash = strchr(p, '/');
    if (pSlash == nullptr) {
        return false;
    }
    pRecord->bType = true;
    CopyRange(pRecord->szType, sizeof(pRecord->szType), p, static_cast<size_t>(pSlash - p));
    const char* pSemicolon = strchr(pSlash + 1, ';');
    if (pSemicolon == nullptr) {
        return false;
    }
    pRecord->bSubtype = true;
    CopyRange(pRecord->szSubtype, sizeof(pRecord->szSubtype), pSlash + 1, static_cast<size_t>(pSemicolon - pSlash - 1));

    bool bHeaderEnds = false;
    const char* pParams = ParameterText(pReader, pSemicolon + 1, &bHeaderEnds);
    if (pParams == nullptr) {
        return bHeaderEnds;
    }
    pParams = SkipBlanks(pParams);
    const char* pEquals = strchr(pParams, '=');
    if (pEquals == nullptr) {
        return false;
    }
    pRecord->bParam = true;
    CopyRange(pRecord->szParamName, sizeof(pRecord->szParamName), pParams, static_cast<size_t>(pEquals - pParams));
    ReadParamValue(pEquals + 1, pRecord->szParamValue, sizeof(pRecord->szParamValue));
    if (StrICmp(pRecord->szParamName, "boundary") == 0) {
        snprintf(pReader->szDelimiter, sizeof(pReader->szDelimiter), "--%s", pRecord->szParamValue);
    }
    return false;
}

void ParseEncoding(const char* pszLine, BodyRecord* pRecord) {
    const char* p = SkipBlanks(pszLine + strlen("Content-Transfer-Encoding:"));
    pRecord->bEncoding = true;
    CopyRange(pRecord->szEncoding, sizeof(pRecord->szEncoding), p, strcspn(p, "\r\n"));
}

void ParseContentId(const char* pszLine, BodyRecord* pRecord) {
    const char* pLess = strrchr(pszLine, '<');
    if (pLess == nullptr) {
        return;
    }
    pRecord->bId = true;
    CopyRange(pRecord->szId, sizeof(pRecord->szId), pLess, strcspn(pLess, "\r\n"));
}

bool ParseDisposition(BodyReader* pReader, BodyRecord* pRecord) {
    char szLine[LINE_SIZE];
    snprintf(szLine, sizeof(szLine), "%s", pReader->szLine);
    const char* p = SkipBlanks(szLine + strlen("Content-Disposition:"));
    const char* pSemicolon = strchr(p, ';');
    if (pSemicolon == nullptr) {
        return false;
    }
    pRecord->bDisposition = true;
    CopyRange(pRecord->szDispositionType, sizeof(pRecord->szDispositionType), p, static_cast<size_t>(pSemicolon - p));
    pRecord->szDispositionParams[0] = '\0';
    bool bHeaderEnds = false;
    const char* pParams = ParameterText(pReader, pSemicolon + 1, &bHeaderEnds);
    if (pParams == nullptr) {
        return bHeaderEnds;
    }
    pParams = SkipBlanks(pParams);
    CopyRange(pRecord->szDispositionParams, sizeof(pRecord->szDispositionParams), pParams, strcspn(pParams, "\r\n"));
    return false;
}

void ReadTopHeader(BodyReader* pReader, BodyRecord* pRecord) {
    pRecord->bEncoding = true;
    snprintf(pRecord->szEncoding, sizeof(pRecord->szEncoding), "7bit");
    bool bTypeDone = false;
    while (ReadLine(pReader) && strcmp(pReader->szLine, "\r\n") != 0) {
        if (bTypeDone) {
            continue;
        }
        if (StartsWithNoCase(pReader->szLine, "Content-Type:")) {
            bTypeDone = true;
            if (ParseContentType(pReader, pRecord)) {
                return;
            }
        } else if (StartsWithNoCase(pReader->szLine, "Content-Transfer-Encoding:")) {
            ParseEncoding(pReader->szLine, pRecord);
        }
    }
}

// Starts with the delimiter line already in the buffer.
void ReadPartHeader(BodyReader* pReader, BodyRecord* pRecord) {
    pRecord->bEncoding = true;
    snprintf(pRecord->szEncoding, sizeof(pRecord->szEncoding), "7bit");
    do {
        const char* pszLine = pReader->szLine;
        if (strcmp(pszLine, "\r\n") == 0) {
            return;
        }
        bool bHeaderEnds = false;
        if (StartsWithNoCase(pszLine, "Content-Type:")) {
            bHeaderEnds = ParseContentType(pReader, pRecord);
        } else if (StartsWithNoCase(pszLine, "Content-Transfer-Encoding:")) {
            ParseEncoding(pszLine, pRecord);
        } else if (StartsWithNoCase(pszLine, "Content-ID:")) {
            ParseContentId(pszLine, pRecord);
        } else if (StartsWithNoCase(pszLine, "Content-Disposition:")) {
            bHeaderEnds = ParseDisposition(pReader, pRecord);
        }
        if (bHeaderEnds) {
            return;
        }
    } while (ReadLine(pReader));
}

// Counts body lines up to a delimiter line (left in the buffer), the ".\r\n" line or the end.
// A last line without its line end is not counted, as the section reader does not send it.
void CountBody(BodyReader* pReader, BodyRecord* pRecord) {
    pRecord->ullSize = 0;
    pRecord->ulLines = 0;
    long lStart = ftell(pReader->pFile);
    pRecord->ullBodyStart = lStart > 0 ? static_cast<uint64_t>(lStart) : 0;
    snprintf(pRecord->szStop, sizeof(pRecord->szStop), "%s", pReader->szDelimiter);
    size_t nDelimiter = strlen(pReader->szDelimiter);
    if (!ReadLine(pReader)) {
        return;
    }
    for (;;) {
        if (strcmp(pReader->szLine, ".\r\n") == 0) {
            return;
        }
        if (nDelimiter > 0 && StrNICmp(pReader->szLine, pReader->szDelimiter, nDelimiter) == 0) {
            return;
        }
        if (pReader->bEnd) {
            return;
        }
        pRecord->ulLines++;
        pRecord->ullSize += strlen(pReader->szLine);
        if (!ReadLine(pReader)) {
            return;
        }
    }
}

bool IsClosingDelimiter(const BodyReader* pReader) {
    const char* pszLine = pReader->szLine;
    size_t nDelimiter = strlen(pReader->szDelimiter);
    if (nDelimiter == 0 || strstr(pszLine, pReader->szDelimiter) == nullptr) {
        return false;
    }
    size_t nLine = strlen(pszLine);
    return strstr(pszLine + (nDelimiter < nLine ? nDelimiter : nLine), "--") != nullptr;
}

void AppendStringOrNil(char* pszOut, size_t nSize, bool bPresent, const char* pszValue) {
    if (bPresent) {
        AppendString(pszOut, nSize, pszValue);
    } else {
        AppendText(pszOut, nSize, "NIL");
    }
}

void AppendParam(char* pszOut, size_t nSize, const BodyRecord* pRecord) {
    if (!pRecord->bParam) {
        AppendText(pszOut, nSize, "NIL");
        return;
    }
    AppendText(pszOut, nSize, "(");
    AppendString(pszOut, nSize, pRecord->szParamName);
    AppendText(pszOut, nSize, " ");
    AppendString(pszOut, nSize, pRecord->szParamValue);
    AppendText(pszOut, nSize, ")");
}

// Disposition parameters as name/value pairs; NIL when there are none, since the disposition
// needs a parameter list after its type.
void AppendDisposition(char* pszOut, size_t nSize, const BodyRecord* pRecord) {
    if (!pRecord->bDisposition) {
        AppendText(pszOut, nSize, "NIL");
        return;
    }
    AppendText(pszOut, nSize, "(");
    AppendString(pszOut, nSize, pRecord->szDispositionType);
    AppendText(pszOut, nSize, " ");
    bool bAny = false;
    const char* p = pRecord->szDispositionParams;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == ';') {
            p++;
        }
        const char* pEquals = strchr(p, '=');
        if (*p == '\0' || pEquals == nullptr) {
            break;
        }
        char szName[VALUE_SIZE];
        char szValue[VALUE_SIZE];
        CopyRange(szName, sizeof(szName), p, static_cast<size_t>(pEquals - p));
        p = ReadParamValue(pEquals + 1, szValue, sizeof(szValue));
        // Whatever follows a quoted value up to the next ";" is not part of it.
        p += strcspn(p, ";");
        AppendText(pszOut, nSize, bAny ? " " : "(");
        AppendString(pszOut, nSize, szName);
        AppendText(pszOut, nSize, " ");
        AppendString(pszOut, nSize, szValue);
        bAny = true;
    }
    AppendText(pszOut, nSize, bAny ? "))" : "NIL)");
}

bool IsMessageRecord(const BodyRecord* pRecord) {
    return pRecord->bType && pRecord->bSubtype && StrICmp(pRecord->szType, "message") == 0 &&
           StrICmp(pRecord->szSubtype, "rfc822") == 0;
}

// The message encapsulated in a message/rfc822 body, as one record: its header, and a body that
// ends where the part ends. A boundary of its own does not divide it.
void ReadEncapsulated(const char* pszPath, const BodyRecord* pOuter, BodyRecord* pInner) {
    BodyReader reader = {};
    reader.pFile = fopen(pszPath, "rb");
    if (reader.pFile == nullptr) {
        return;
    }
    if (pOuter->ullBodyStart <= static_cast<uint64_t>(LONG_MAX) &&
        fseek(reader.pFile, static_cast<long>(pOuter->ullBodyStart), SEEK_SET) == 0) {
        ReadTopHeader(&reader, pInner);
        snprintf(reader.szDelimiter, sizeof(reader.szDelimiter), "%s", pOuter->szStop);
        CountBody(&reader, pInner);
    }
    fclose(reader.pFile);
}

void WriteRecord(Session* pSession, const char* pszPath, const BodyRecord* pRecord, int nDepth) {
    // A message/rfc822 record must carry the envelope, the structure and the line count of the
    // encapsulated message. Past the nesting limit it loses its subtype instead, as one without
    // parameters does, and reads as a plain part.
    bool bMessage = IsMessageRecord(pRecord) && nDepth < NEST_MAX;
    bool bPlainMessage = IsMessageRecord(pRecord) && !bMessage;
    char szRecord[RECORD_SIZE] = "(";
    AppendStringOrNil(szRecord, sizeof(szRecord), pRecord->bType, pRecord->szType);
    AppendText(szRecord, sizeof(szRecord), " ");
    AppendStringOrNil(szRecord, sizeof(szRecord), pRecord->bSubtype && !bPlainMessage, pRecord->szSubtype);
    AppendText(szRecord, sizeof(szRecord), " ");
    AppendParam(szRecord, sizeof(szRecord), pRecord);
    AppendText(szRecord, sizeof(szRecord), " ");
    AppendStringOrNil(szRecord, sizeof(szRecord), pRecord->bId, pRecord->szId);
    AppendText(szRecord, sizeof(szRecord), " NIL ");
    AppendStringOrNil(szRecord, sizeof(szRecord), pRecord->bEncoding, pRecord->szEncoding);

    char szSize[24] = "NIL";
    if (pRecord->ullSize != 0) {
        snprintf(szSize, sizeof(szSize), "%" PRIu64, pRecord->ullSize);
    }
    AppendText(szRecord, sizeof(szRecord), " ");
    AppendText(szRecord, sizeof(szRecord), szSize);
    char szLines[16] = "NIL";
    if (pRecord->ulLines != 0) {
        snprintf(szLines, sizeof(szLines), "%" PRIu32, pRecord->ulLines);
    }
    if (bMessage) {
        AppendText(szRecord, sizeof(szRecord), " ");
        QueueText(pSession, szRecord);
        WriteEnvelopeOf(pSession, pszPath, pRecord->ullBodyStart, pRecord->szStop);
        QueueText(pSession, " ");
        BodyRecord inner = {};
        ReadEncapsulated(pszPath, pRecord, &inner);
        WriteRecord(pSession, pszPath, &inner, nDepth + 1);
        // Here the line count is required as a number.
        snprintf(szRecord, sizeof(szRecord), " %" PRIu32 " NIL ", pRecord->ulLines);
    } else if (pRecord->bType && StrICmp(pRecord->szType, "text") == 0) {
        AppendText(szRecord, sizeof(szRecord), " ");
        AppendText(szRecord, sizeof(szRecord), szLines);
        AppendText(szRecord, sizeof(szRecord), " NIL ");
    } else {
        AppendText(szRecord, sizeof(szRecord), " NIL ");
    }
    AppendDisposition(szRecord, sizeof(szRecord), pRecord);
    AppendText(szRecord, sizeof(szRecord), " NIL)");
    QueueText(pSession, szRecord);
}

}  // namespace

void WriteBodyStructure(Session* pSession, int bExtended) {
    BodyRecord records[PART_MAX + 1] = {};
    BodyReader reader = {};
    int nParts = 0;

    char szPath[MAX_PATH + 1024];
    ContentPath(pSession, szPath, sizeof(szPath));
    reader.pFile = fopen(szPath, "rb");
    if (reader.pFile != nullptr) {
        ReadTopHeader(&reader, &records[0]);
        CountBody(&reader, &records[0]);
        // Parts beyond the ninth are left out of the description.
        while (reader.szDelimiter[0] != '\0' && nParts < PART_MAX) {
            nParts++;
            ReadPartHeader(&reader, &records[nParts]);
            CountBody(&reader, &records[nParts]);
            if (IsClosingDelimiter(&reader) || strcmp(reader.szLine, ".\r\n") == 0 || reader.bEnd) {
                break;
            }
        }
        fclose(reader.pFile);
    }

    const char* pszLabel = bExtended ? "BODYSTRUCTURE" : "BODY";
    char szHead[32];
    snprintf(szHead, sizeof(szHead), "%s %s", pszLabel, nParts > 0 ? "(" : "");
    QueueText(pSession, szHead);
    if (nParts == 0) {
        WriteRecord(pSession, szPath, &records[0], 0);
        return;
    }
    // The part records follow each other without a separator; a space comes before the subtype.
    for (int i = 1; i <= nParts; i++) {
        WriteRecord(pSession, szPath, &records[i], 0);
    }
    char szTail[RECORD_SIZE] = " ";
    AppendStringOrNil(szTail, sizeof(szTail), records[0].bSubtype, records[0].szSubtype);
    AppendText(szTail, sizeof(szTail), " ");
    AppendParam(szTail, sizeof(szTail), &records[0]);
    AppendText(szTail, sizeof(szTail), " NIL NIL)");
    QueueText(pSession, szTail);
}
