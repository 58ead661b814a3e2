// ENVELOPE: ten header fields, the address fields cut into (name route mailbox host), and raw
// ISO-2022 text turned into encoded words so that clients receive 7-bit text.
#include <climits>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "auth/base64.h"
#include "imap/fetch/items.h"
#include "imap/output.h"
#include "platform/format.h"
#include "platform/text.h"

namespace {

constexpr size_t LINE_SIZE = 1024;

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
};

const EnvelopeField kFields[ENV_FIELDS] = {
    {"Date:"}, {"Subject:"}, {"From:"}, {"Sender:"}, {"Reply-To:"}, {"To:"}, {"Cc:"}, {"Bcc:"}, {"In-Reply-To:"}, {"Message-ID:"},
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

constexpr size_t VALUE_MAX = 16384;

struct Envelope {
    std::string value[ENV_FIELDS];
    bool bPresent[ENV_FIELDS] = {};
};

std::string Trimmed(const std::string& text) {
    size_t nBegin = text.find_first_not_of(" \t\r\n");
    if (nBegin == std::string::npos) {
        return std::string();
    }
    size_t nEnd = text.find_last_not_of(" \t\r\n");
    return text.substr(nBegin, nEnd - nBegin + 1);
}

// Reads the header range; folded lines join their field with the fold's blank kept.
void ReadEnvelope(FILE* pFile, uint64_t ullOffset, uint64_t ullSize, Envelope* pEnvelope) {
    if (pFile == nullptr || ullOffset > static_cast<uint64_t>(LONG_MAX) ||
        fseek(pFile, static_cast<long>(ullOffset), SEEK_SET) != 0) {
        return;
    }
    char szLine[LINE_SIZE];
    uint64_t ullLeft = ullSize;
    int nCurrent = -1;
    bool bLineStart = true;
    while (ullLeft > 0) {
        size_t nLength = ReadRangeLine(pFile, szLine, sizeof(szLine), &ullLeft);
        if (nLength == 0) {
            break;
        }
        bool bPiece = !bLineStart;  // the rest of a line longer than the buffer
        bLineStart = szLine[nLength - 1] == '\n';
        szLine[strcspn(szLine, "\r\n")] = '\0';
        const char* pText = szLine;
        if (!bPiece && szLine[0] != ' ' && szLine[0] != '\t') {
            nCurrent = -1;
            for (int i = 0; i < ENV_FIELDS; i++) {
                if (StrNICmp(szLine, kFields[i].pszName, strlen(kFields[i].pszName)) == 0) {
                    nCurrent = i;
                    break;
                }
            }
            if (nCurrent < 0) {
                continue;
            }
            // A repeated field: the first one counts.
            if (pEnvelope->bPresent[nCurrent]) {
                nCurrent = -1;
                continue;
            }
            pEnvelope->bPresent[nCurrent] = true;
            pText = szLine + strlen(kFields[nCurrent].pszName);
        }
        if (nCurrent >= 0 && pEnvelope->value[nCurrent].size() < VALUE_MAX) {
            pEnvelope->value[nCurrent] += pText;
        }
    }
    for (std::string& value : pEnvelope->value) {
        value = Trimmed(value);
    }
}

// An IMAP string, or NIL.
void OutputNString(Session* pSession, const std::string& value, bool bNil) {
    if (bNil) {
        OutputAtom(pSession, "NIL");
    } else {
        OutputString(pSession, value.data(), value.size());
    }
}

// A value as an IMAP string, or NIL when empty, then pszAfter.
void QueueString(Session* pSession, const std::string& value, const char* pszAfter) {
    OutputNString(pSession, value, value.empty());
    OutputAtom(pSession, pszAfter);
}

// ---- Addresses (RFC 5322: mailboxes, display names, comments, routes, groups) -------------

struct Token {
    char cSpecial;     // one of ()<>@,;:.[] or 0 for a word
    std::string text;  // a word, a quoted string's content, or a comment's content
    bool bComment;
};

std::vector<Token> Tokenize(const std::string& s) {
    std::vector<Token> tokens;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            i++;
        } else if (c == '(') {
            std::string text;
            i = ReadComment(s, i, &text);
            tokens.push_back({0, Trimmed(text), true});
        } else if (c == '"') {
            std::string text;
            for (i++; i < s.size() && s[i] != '"'; i++) {
                if (s[i] == '\\' && i + 1 < s.size()) {
                    i++;
                }
                text.push_back(s[i]);
            }
            i++;
            tokens.push_back({0, text, false});
        } else if (strchr("<>@,;:.[]", c) != nullptr) {
            tokens.push_back({c, std::string(1, c), false});
            i++;
        } else if (c == ')') {
            // A comment's end without its start stands for nothing; a word cannot start here.
            i++;
        } else {
            std::string text;
            while (i < s.size() && strchr(" \t\r\n()\"<>@,;:.[]", s[i]) == nullptr) {
                // Raw ISO-2022 text: everything up to the shift back is one word, whatever
                // bytes its double-byte characters are made of.
                if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '$') {
                    size_t nBack = s.find("\x1b(", i + 2);
                    size_t nEnd = nBack == std::string::npos ? s.size() : std::min(s.size(), nBack + 3);
                    text += s.substr(i, nEnd - i);
                    i = nEnd;
                    continue;
                }
                text.push_back(s[i++]);
            }
            tokens.push_back({0, text, false});
        }
    }
    return tokens;
}

struct Address {
    std::string name, route, mailbox, host;
    bool bNilMailbox = false;
    bool bNilHost = false;
};

// Reads an address list token by token: mailboxes, "name <route:mailbox@host>", and groups,
// whose start and end become the NIL-hosted and all-NIL entries of the envelope.
class AddressParser {
public:
    explicit AddressParser(const std::string& value) : tokens_(Tokenize(value)) {}

    std::vector<Address> Parse() {
        while (i_ < tokens_.size()) {
            if (IsSpecial(i_, ',')) {
                i_++;
            } else if (IsSpecial(i_, ';')) {
                EndGroup();
                i_++;
            } else {
                ReadAddress();
            }
        }
        EndGroup();
        return std::move(addresses_);
    }

private:
    bool IsSpecial(size_t k, char c) const { return k < tokens_.size() && tokens_[k].cSpecial == c; }
    bool AtSeparator() const { return IsSpecial(i_, ',') || IsSpecial(i_, ';'); }

    void EndGroup() {
        if (!bInGroup_) return;
        Address end;
        end.bNilMailbox = end.bNilHost = true;
        addresses_.push_back(end);
        bInGroup_ = false;
    }

    // The phrase (display name, group name, or a local part without angle brackets) and the
    // last comment among its words.
    void ReadPhrase(std::string* pPhrase, std::string* pLocal, std::string* pComment) {
        for (; i_ < tokens_.size(); i_++) {
            const Token& token = tokens_[i_];
            if (token.bComment) {
                *pComment = token.text;
                continue;
            }
            if (token.cSpecial == '.') {
                *pPhrase += ".";
                *pLocal += ".";
                continue;
            }
            if (token.cSpecial != 0) {
                break;
            }
            if (!pPhrase->empty() && pPhrase->back() != '.') {
                *pPhrase += " ";
            }
            *pPhrase += token.text;
            *pLocal += token.text;
        }
    }

    // What stands between "<" and ">", the "<" already passed.
    void ReadAngleAddress(Address* pAddress) {
        if (IsSpecial(i_, '@')) {
            // A source route, kept as written: "@a,@b".
            for (; i_ < tokens_.size() && !IsSpecial(i_, ':') && !IsSpecial(i_, '>'); i_++) {
                pAddress->route += tokens_[i_].text;
            }
            if (IsSpecial(i_, ':')) i_++;
        }
        for (; i_ < tokens_.size() && !IsSpecial(i_, '@') && !IsSpecial(i_, '>'); i_++) {
            if (!tokens_[i_].bComment) pAddress->mailbox += tokens_[i_].text;
        }
        if (IsSpecial(i_, '@')) {
            for (i_++; i_ < tokens_.size() && !IsSpecial(i_, '>'); i_++) {
                if (!tokens_[i_].bComment) pAddress->host += tokens_[i_].text;
            }
        } else {
            pAddress->bNilHost = true;
        }
        if (IsSpecial(i_, '>')) i_++;
        // Anything after the angle brackets up to the next separator is not part of it.
        while (i_ < tokens_.size() && !AtSeparator()) i_++;
    }

    void ReadAddress() {
        std::string phrase;
        std::string local;
        std::string comment;
        ReadPhrase(&phrase, &local, &comment);
        Address address;
        if (IsSpecial(i_, ':')) {
            address.mailbox = phrase;
            address.bNilHost = true;
            addresses_.push_back(address);
            bInGroup_ = true;
            i_++;
        } else if (IsSpecial(i_, '<')) {
            i_++;
            address.name = phrase;
            ReadAngleAddress(&address);
            addresses_.push_back(address);
        } else if (IsSpecial(i_, '@')) {
            address.mailbox = local;
            for (i_++; i_ < tokens_.size() && !AtSeparator(); i_++) {
                if (tokens_[i_].bComment) {
                    comment = tokens_[i_].text;
                } else {
                    address.host += tokens_[i_].text;
                }
            }
            address.name = comment;
            addresses_.push_back(address);
        } else if (!local.empty()) {
            // No "@": a bare local name.
            address.mailbox = local;
            address.bNilHost = true;
            address.name = comment;
            addresses_.push_back(address);
        } else if (i_ < tokens_.size() && !AtSeparator()) {
            i_++;  // a stray special
        }
    }

    std::vector<Token> tokens_;
    std::vector<Address> addresses_;
    size_t i_ = 0;
    bool bInGroup_ = false;
};

std::vector<Address> ParseAddresses(const std::string& value) { return AddressParser(value).Parse(); }

void WriteAddressList(Session* pSession, const std::string& value) {
    std::vector<Address> addresses = ParseAddresses(value);
    if (addresses.empty()) {
        OutputAtom(pSession, "NIL ");
        return;
    }
    OutputListOpen(pSession);
    for (const Address& address : addresses) {
        std::string name = Trimmed(address.name);
        if (!name.empty()) {
            std::vector<char> converted(name.size() * 2 + 64);
            static_cast<void>(FormatText(converted.data(), converted.size(), "%s", name.c_str()));
            ConvertRawText(converted.data(), converted.size());
            name = converted.data();
        }
        // Addresses follow each other without a separator, as clients parse them.
        OutputListOpen(pSession);
        OutputNString(pSession, name, name.empty());
        OutputAtom(pSession, " ");
        OutputNString(pSession, address.route, address.route.empty());
        OutputAtom(pSession, " ");
        OutputNString(pSession, address.mailbox, address.bNilMailbox);
        OutputAtom(pSession, " ");
        OutputNString(pSession, address.host, address.bNilHost);
        OutputListClose(pSession);
    }
    OutputListClose(pSession);
    OutputAtom(pSession, " ");
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
    std::vector<char> encoded(strlen(pStart) * 4 / 3 + 8);
    if (Base64Encode(pStart, strlen(pStart), encoded.data(), encoded.size()) < 0) {
        return;
    }
    const char* szEncoded = encoded.data();
    size_t nKeep = static_cast<size_t>(pStart - pszText);
    // A cut encoded word would be garbage to the client; the raw text is kept instead.
    if (nKeep + strlen(pCharset->pszPrefix) + strlen(szEncoded) + 2 >= nSize) {
        return;
    }
    static_cast<void>(FormatText(pStart, nSize - nKeep, "%s%s?=", pCharset->pszPrefix, szEncoded));
}

void WriteEnvelope(Session* pSession, FetchMessage* pMessage) {
    OutputAtom(pSession, "ENVELOPE ");
    uint64_t ullHeader = 0;
    if (!TopHeaderSize(pMessage, &ullHeader)) ullHeader = 0;
    WriteEnvelopeOf(pSession, pMessage->pFile, 0, ullHeader);
}

void WriteEnvelopeOf(Session* pSession, FILE* pFile, uint64_t ullOffset, uint64_t ullSize) {
    Envelope envelope;
    ReadEnvelope(pFile, ullOffset, ullSize, &envelope);
    OutputAtom(pSession, "(");
    QueueString(pSession, envelope.value[ENV_DATE], " ");
    std::vector<char> subject(envelope.value[ENV_SUBJECT].size() * 2 + 64);
    static_cast<void>(FormatText(subject.data(), subject.size(), "%s", envelope.value[ENV_SUBJECT].c_str()));
    ConvertRawText(subject.data(), subject.size());
    QueueString(pSession, subject.data(), " ");
    // Sender and Reply-To default to From.
    for (int nField = ENV_FROM; nField <= ENV_BCC; nField++) {
        const std::string* pValue = &envelope.value[nField];
        if ((nField == ENV_SENDER || nField == ENV_REPLY_TO) && ParseAddresses(*pValue).empty()) {
            pValue = &envelope.value[ENV_FROM];
        }
        WriteAddressList(pSession, *pValue);
    }
    QueueString(pSession, envelope.value[ENV_IN_REPLY_TO], " ");
    QueueString(pSession, envelope.value[ENV_MESSAGE_ID], "");
    OutputAtom(pSession, ")");
}

bool FirstEnvelopeAddress(const std::string& value, EnvelopeAddress* pAddress) {
    std::vector<Address> addresses = ParseAddresses(value);
    if (addresses.empty()) return false;
    const Address& first = addresses.front();
    pAddress->name = Trimmed(first.name);
    pAddress->mailbox = first.bNilMailbox ? std::string() : first.mailbox;
    pAddress->host = first.bNilHost ? std::string() : first.host;
    return true;
}
