#include "imap/mailbox_utf8.h"

#include <cstdint>
#include <vector>

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == ',') return 63;
    return -1;
}

bool IsPrintableAscii(uint32_t c) { return c >= 0x20 && c <= 0x7e; }

// Characters no mailbox name may hold, even in UTF-8: they would break a client's display or
// its line handling.
bool IsForbidden(uint32_t c) { return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029; }

// Reads one UTF-8 character at *pn; false for anything RFC 3629 does not allow.
bool NextCodePoint(std::string_view text, size_t* pn, uint32_t* pc) {
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    size_t n = *pn;
    unsigned char b0 = byte(n);
    if (b0 < 0x80) {
        *pc = b0;
        *pn = n + 1;
        return true;
    }
    size_t nMore = 0;
    uint32_t c = 0;
    // The first continuation byte's range rules out overlong forms, surrogates and values above
    // U+10FFFF.
    unsigned char lo = 0x80, hi = 0xbf;
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        nMore = 1, c = b0 & 0x1f;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        nMore = 2, c = b0 & 0x0f;
        if (b0 == 0xe0) lo = 0xa0;
        if (b0 == 0xed) hi = 0x9f;
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        nMore = 3, c = b0 & 0x07;
        if (b0 == 0xf0) lo = 0x90;
        if (b0 == 0xf4) hi = 0x8f;
    } else {
        return false;
    }
    for (size_t i = 1; i <= nMore; i++) {
        unsigned char b = byte(n + i);
        if (n + i >= text.size() || b < lo || b > hi) return false;
        lo = 0x80, hi = 0xbf;
        c = (c << 6) | (b & 0x3f);
    }
    *pc = c;
    *pn = n + 1 + nMore;
    return true;
}

void AppendUtf8(std::string* pOut, uint32_t c) {
    if (c < 0x80) {
        *pOut += static_cast<char>(c);
    } else if (c < 0x800) {
        *pOut += static_cast<char>(0xc0 | (c >> 6));
        *pOut += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
        *pOut += static_cast<char>(0xe0 | (c >> 12));
        *pOut += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        *pOut += static_cast<char>(0x80 | (c & 0x3f));
    } else {
        *pOut += static_cast<char>(0xf0 | (c >> 18));
        *pOut += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
        *pOut += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
        *pOut += static_cast<char>(0x80 | (c & 0x3f));
    }
}

// "&", the UTF-16 units in modified base64 without padding, "-".
void FlushRun(std::string* pOut, std::vector<uint16_t>* pUnits) {
    if (pUnits->empty()) return;
    *pOut += '&';
    uint32_t ulBits = 0;
    int nBits = 0;
    for (uint16_t unit : *pUnits) {
        for (int nShift : {8, 0}) {
            ulBits = (ulBits << 8) | ((unit >> nShift) & 0xff);
            nBits += 8;
            while (nBits >= 6) {
                nBits -= 6;
                *pOut += kBase64[(ulBits >> nBits) & 0x3f];
            }
        }
    }
    if (nBits > 0) *pOut += kBase64[(ulBits << (6 - nBits)) & 0x3f];
    *pOut += '-';
    pUnits->clear();
}

}  // namespace

Utf8NameCheck CheckUtf8MailboxName(std::string_view name) {
    Utf8NameCheck check = UTF8_NAME_OK;
    for (size_t n = 0; n < name.size();) {
        uint32_t c = 0;
        if (!NextCodePoint(name, &n, &c)) return UTF8_NAME_MALFORMED;
        if (IsForbidden(c)) check = UTF8_NAME_FORBIDDEN;
    }
    return check;
}

std::string EncodeModifiedUtf7(std::string_view utf8) {
    std::string out;
    std::vector<uint16_t> units;
    for (size_t n = 0; n < utf8.size();) {
        uint32_t c = 0;
        if (!NextCodePoint(utf8, &n, &c)) c = 0xfffd;  // never so after the check
        if (IsPrintableAscii(c)) {
            FlushRun(&out, &units);
            out += c == '&' ? "&-" : std::string(1, static_cast<char>(c));
        } else if (c >= 0x10000) {
            units.push_back(static_cast<uint16_t>(0xd800 + ((c - 0x10000) >> 10)));
            units.push_back(static_cast<uint16_t>(0xdc00 + ((c - 0x10000) & 0x3ff)));
        } else {
            units.push_back(static_cast<uint16_t>(c));
        }
    }
    FlushRun(&out, &units);
    return out;
}

bool DecodeModifiedUtf7(std::string_view text, std::string* pUtf8) {
    std::string out;
    for (size_t n = 0; n < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[n]);
        if (b != '&') {
            if (!IsPrintableAscii(b)) return false;
            out += static_cast<char>(b);
            n++;
            continue;
        }
        size_t nEnd = text.find('-', n + 1);
        if (nEnd == std::string_view::npos) return false;
        if (nEnd == n + 1) {
            out += '&';
            n = nEnd + 1;
            continue;
        }
        uint32_t ulBits = 0;
        int nBits = 0;
        std::vector<uint16_t> units;
        uint16_t unit = 0;
        int nHalves = 0;
        for (size_t i = n + 1; i < nEnd; i++) {
            int nValue = Base64Value(text[i]);
            if (nValue < 0) return false;
            ulBits = (ulBits << 6) | static_cast<uint32_t>(nValue);
            nBits += 6;
            if (nBits >= 8) {
                nBits -= 8;
                unit = static_cast<uint16_t>((unit << 8) | ((ulBits >> nBits) & 0xff));
                if (++nHalves == 2) units.push_back(unit), unit = 0, nHalves = 0;
            }
        }
        // What is left over is padding: less than a character, all zero, and no half unit.
        if (nHalves != 0 || (ulBits & ((1u << nBits) - 1)) != 0) return false;
        for (size_t i = 0; i < units.size(); i++) {
            uint32_t c = units[i];
            if (c >= 0xd800 && c <= 0xdbff && i + 1 < units.size() && units[i + 1] >= 0xdc00 && units[i + 1] <= 0xdfff) {
                c = 0x10000 + ((c - 0xd800) << 10) + (units[++i] - 0xdc00);
            } else if (c >= 0xd800 && c <= 0xdfff) {
                return false;
            }
            AppendUtf8(&out, c);
        }
        n = nEnd + 1;
    }
    // Anything the encoder would have written otherwise (an ASCII character in base64, two
    // runs side by side, a run longer than needed) is another spelling of some other name.
    if (EncodeModifiedUtf7(out) != text) return false;
    *pUtf8 = std::move(out);
    return true;
}

bool StoredLevelToUtf8(std::string_view level, std::string* pUtf8) {
    std::string decoded;
    if (DecodeModifiedUtf7(level, &decoded) && CheckUtf8MailboxName(decoded) == UTF8_NAME_OK) {
        *pUtf8 = std::move(decoded);
        return true;
    }
    if (CheckUtf8MailboxName(level) != UTF8_NAME_OK) return false;
    *pUtf8 = level;
    return true;
}

bool StoredNameToUtf8(std::string_view stored, std::string* pUtf8) {
    std::string out;
    for (size_t n = 0;;) {
        size_t nSlash = stored.find('/', n);
        std::string level;
        if (!StoredLevelToUtf8(stored.substr(n, nSlash == std::string_view::npos ? std::string_view::npos : nSlash - n),
                               &level)) {
            return false;
        }
        out += level;
        if (nSlash == std::string_view::npos) break;
        out += '/';
        n = nSlash + 1;
    }
    *pUtf8 = std::move(out);
    return true;
}
