#include "auth/password.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/types.h"

namespace {

constexpr unsigned char SCRAMBLE_MARK = 0xFF;
constexpr size_t MESSAGE_BLOCK = 1024;

// A character outside the hex digits still takes its place in the pair, as the digit 0: that
// is how the POP3 server writes and reads these entries, so a damaged entry decodes the same
// on both sides.
unsigned int HexDigit(char c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned int>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<unsigned int>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<unsigned int>(c - 'a' + 10);
    return 0;
}

// Decodes the hex pairs of pHex[0..nLength) (stopping at a NUL) into pOut, at most nOutSize
// bytes. An odd final digit pairs with an implicit 0. Returns the number of bytes written.
size_t DecodeHexPairs(const char* pHex, size_t nLength, unsigned char bKey, unsigned char* pOut, size_t nOutSize) {
    size_t nOut = 0;
    for (size_t i = 0; i < nLength && pHex[i] != '\0' && nOut < nOutSize; i += 2) {
        char cLow = i + 1 < nLength ? pHex[i + 1] : '\0';
        pOut[nOut++] = static_cast<unsigned char>(((HexDigit(pHex[i]) << 4) | HexDigit(cLow)) ^ bKey);
        if (cLow == '\0') break;
    }
    return nOut;
}

}  // namespace

void DescrambleText(const char* pszEntry, size_t nLength, char* pszOut, size_t nSize) {
    if (nSize == 0) return;
    if (nLength == 0 || static_cast<unsigned char>(pszEntry[0]) != SCRAMBLE_MARK) {
        // Cut to the buffer, as the scrambled form below is.
        static_cast<void>(FormatText(pszOut, nSize, "%.*s", static_cast<int>(nLength), pszEntry));
        return;
    }
    pszOut[0] = '\0';
    if (nLength < 2) return;
    // The key may be any byte, 0 included, so the entry's length comes from the caller.
    unsigned char bKey = static_cast<unsigned char>(pszEntry[1]);
    size_t nOut = DecodeHexPairs(pszEntry + 2, nLength - 2, bKey, reinterpret_cast<unsigned char*>(pszOut), nSize - 1);
    pszOut[nOut] = '\0';
}

size_t ScrambleText(const char* pszPassword, unsigned char bKey, char* pszOut, size_t nSize) {
    size_t nPassword = strlen(pszPassword);
    size_t nEntry = 2 + 2 * nPassword;
    if (nSize == 0 || nEntry + 1 > nSize) return 0;
    pszOut[0] = static_cast<char>(SCRAMBLE_MARK);
    pszOut[1] = static_cast<char>(bKey);
    static const char szDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < nPassword; ++i) {
        unsigned int b = static_cast<unsigned char>(pszPassword[i]) ^ bKey;
        pszOut[2 + 2 * i] = szDigits[b >> 4];
        pszOut[3 + 2 * i] = szDigits[b & 0x0F];
    }
    pszOut[nEntry] = '\0';
    return nEntry;
}

void DescrambleText(const char* pszEntry, char* pszOut, size_t nSize) {
    DescrambleText(pszEntry, strlen(pszEntry), pszOut, nSize);
}

int ReadPasswordFile(const char* pszMailDir, char* pszPassword, size_t nSize) {
    if (nSize > 0) pszPassword[0] = '\0';
    // Without a mail directory the name alone would be looked up in the server's working
    // directory, where no user's password belongs.
    if (pszMailDir == nullptr || pszMailDir[0] == '\0') return 0;
    char szPath[MAX_PATH];
    if (!FormatText(szPath, sizeof szPath, "%s%s", pszMailDir, Settings.PasswordFile)) return 0;
    printf("Authentication file name = %s\n", szPath);

    // Only the first line counts; a scrambled entry's key byte may be a NUL, so bytes are
    // counted, not read as text.
    char szLine[MAX_PATH];
    size_t nLine = 0;
    char szWhy[128];
    OwnFileRead read = ReadOwnFileStart(szPath, szLine, sizeof szLine - 1, &nLine, szWhy, sizeof szWhy);
    if (read == OWN_FILE_MISSING) return 0;
    if (read == OWN_FILE_REFUSED) {
        printf("Authentication file %s refused: %s\n", szPath, szWhy);
        return -1;
    }
    if (const char* pLf = static_cast<const char*>(memchr(szLine, '\n', nLine))) {
        nLine = static_cast<size_t>(pLf - szLine) + 1;
    }
    szLine[nLine] = '\0';

    // A line feed at the very start is kept: the entry is then that single line feed. Windows
    // reads the file in text mode, so a carriage return before the line feed goes too.
    if (nLine > 1 && szLine[nLine - 1] == '\n') {
        --nLine;
        if (nLine > 1 && szLine[nLine - 1] == '\r') --nLine;
        szLine[nLine] = '\0';
    }
    DescrambleText(szLine, nLine, pszPassword, nSize);
    printf(" -> found Authentication file name (mailbox)\n");
    return 1;
}

bool IsScrambledStart(unsigned char chFirst) { return chFirst == SCRAMBLE_MARK; }

int DecodeMessageFile(const char* pszSource, const char* pszDest) {
    UniqueFile pSource(fopen(pszSource, "rb"));
    if (pSource == nullptr) return 0;
    unsigned char bHead[2] = {0, 0};
    size_t nHead = fread(bHead, 1, 2, pSource.get());
    if (nHead < 1 || bHead[0] != SCRAMBLE_MARK) return 0;
    FILE* pDest = fopen(pszDest, "wb");
    if (pDest == nullptr) return 0;

    // Block by block, so that memory does not grow with the message. The block length is
    // even, so a hex pair never straddles two blocks.
    char szHex[MESSAGE_BLOCK];
    unsigned char bPlain[MESSAGE_BLOCK / 2];
    bool bFailed = false;
    for (;;) {
        size_t nRead = fread(szHex, 1, sizeof szHex, pSource.get());
        size_t nPlain = DecodeHexPairs(szHex, nRead, bHead[1], bPlain, sizeof bPlain);
        if (nPlain > 0 && fwrite(bPlain, 1, nPlain, pDest) != nPlain) bFailed = true;
        if (bFailed || nRead < sizeof szHex) break;
    }
    if (ferror(pSource.get())) bFailed = true;
    pSource.reset();
    if (fclose(pDest) != 0) bFailed = true;
    // A message cut short by a full disk would be served as if whole; better to let the
    // caller fall back to the stored file.
    if (bFailed) {
        remove(pszDest);
        return 0;
    }
    return 1;
}
