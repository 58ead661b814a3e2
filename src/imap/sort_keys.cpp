// The keys SORT and THREAD compare: read from a message's top header once, kept in the index.
#include "imap/sort_keys.h"

#include <cstdio>
#include <cstring>

#include "auth/password.h"
#include "imap/fetch/items.h"
#include "imap/flags.h"
#include "imap/mime.h"
#include "imap/search.h"
#include "imap/search_text.h"
#include "platform/file_range.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "store/store.h"

namespace {

// Only SortKeys are ever kept under this key: what is found there needs no checked cast.
const char* const KEPT_SORT_KEY = "(sort)";
// A header larger than this is read no further: the fields that sort come early.
constexpr size_t HEADER_READ_MAX = 1 << 20;
// Longest field value kept; References of a very long thread is kept at its two ends.
constexpr size_t FIELD_MAX = 16384;
constexpr size_t REFERENCES_FIELD_MAX = 65536;
constexpr size_t REFERENCES_KEPT = 256;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsWithNoCase(std::string_view text, size_t nAt, std::string_view prefix) {
    if (text.size() - nAt < prefix.size() || nAt > text.size()) return false;
    for (size_t i = 0; i < prefix.size(); i++) {
        if (UpperAscii(text[nAt + i]) != UpperAscii(prefix[i])) return false;
    }
    return true;
}

// A subj-blob at nAt: "[" then no brackets, "]", then blanks. Its end, or npos.
size_t BlobEnd(const std::string& s, size_t nAt) {
    if (nAt >= s.size() || s[nAt] != '[') return std::string::npos;
    size_t i = nAt + 1;
    while (i < s.size() && s[i] != '[' && s[i] != ']') i++;
    if (i >= s.size() || s[i] != ']') return std::string::npos;
    for (i++; i < s.size() && IsBlank(s[i]); i++) {
    }
    return i;
}

// Blobs, then "re", "fw" or "fwd", blanks, an optional blob and ":": its end, or npos.
size_t LeaderEnd(const std::string& s) {
    size_t i = 0;
    for (size_t nBlob; (nBlob = BlobEnd(s, i)) != std::string::npos;) i = nBlob;
    if (StartsWithNoCase(s, i, "re")) {
        i += 2;
    } else if (StartsWithNoCase(s, i, "fwd")) {
        i += 3;
    } else if (StartsWithNoCase(s, i, "fw")) {
        i += 2;
    } else {
        return std::string::npos;
    }
    while (i < s.size() && IsBlank(s[i])) i++;
    size_t nBlob = BlobEnd(s, i);
    if (nBlob != std::string::npos) i = nBlob;
    return i < s.size() && s[i] == ':' ? i + 1 : std::string::npos;
}

// Removes trailing blanks and "(fwd)" trailers.
void StripTrailers(std::string* ps, bool* pbReply) {
    for (;;) {
        if (!ps->empty() && IsBlank(ps->back())) {
            ps->pop_back();
        } else if (ps->size() >= 5 && StartsWithNoCase(*ps, ps->size() - 5, "(fwd)")) {
            ps->resize(ps->size() - 5);
            *pbReply = true;
        } else {
            return;
        }
    }
}

// Removes leaders (blanks, reply and forward marks) and tags in front, as long as any is there.
void StripLeaders(std::string* ps, bool* pbReply) {
    for (;;) {
        if (!ps->empty() && IsBlank(ps->front())) {
            ps->erase(0, 1);
            continue;
        }
        size_t nLeader = LeaderEnd(*ps);
        if (nLeader != std::string::npos) {
            ps->erase(0, nLeader);
            *pbReply = true;
            continue;
        }
        // A tag goes only when something is left after it: "[xyz]" alone is the subject.
        size_t nBlob = BlobEnd(*ps, 0);
        if (nBlob != std::string::npos && nBlob < ps->size()) {
            ps->erase(0, nBlob);
            continue;
        }
        return;
    }
}

int DaysInMonth(int nYear, int nMonth) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool bLeap = (nYear % 4 == 0 && nYear % 100 != 0) || nYear % 400 == 0;
    return nMonth == 2 && bLeap ? 29 : kDays[nMonth - 1];
}

class DateReader {
public:
    explicit DateReader(const std::string& s) : s_(s) {}

    // Blanks and comments.
    void SkipSpace() {
        for (;;) {
            while (i_ < s_.size() && (IsBlank(s_[i_]) || s_[i_] == '\r' || s_[i_] == '\n')) i_++;
            if (i_ < s_.size() && s_[i_] == '(') {
                i_ = ReadComment(s_, i_, nullptr);
                continue;
            }
            return;
        }
    }
    bool Number(size_t nMinDigits, size_t nMaxDigits, int* pnValue, size_t* pnDigits = nullptr) {
        SkipSpace();
        size_t nBegin = i_;
        int nValue = 0;
        while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - nBegin < nMaxDigits) {
            nValue = nValue * 10 + (s_[i_++] - '0');
        }
        if (i_ - nBegin < nMinDigits) return false;
        if (pnDigits != nullptr) *pnDigits = i_ - nBegin;
        *pnValue = nValue;
        return true;
    }
    std::string Word() {
        SkipSpace();
        std::string word;
        while (i_ < s_.size() && ((s_[i_] >= 'a' && s_[i_] <= 'z') || (s_[i_] >= 'A' && s_[i_] <= 'Z'))) {
            word.push_back(UpperAscii(s_[i_++]));
        }
        return word;
    }
    bool Take(char c) {
        SkipSpace();
        if (i_ < s_.size() && s_[i_] == c) {
            i_++;
            return true;
        }
        return false;
    }
    bool Peek(char c) {
        SkipSpace();
        return i_ < s_.size() && s_[i_] == c;
    }
    bool PeekDigit() {
        SkipSpace();
        return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9';
    }
    bool AtEnd() {
        SkipSpace();
        return i_ >= s_.size();
    }

private:
    const std::string& s_;
    size_t i_ = 0;
};

int MonthNumber(const std::string& word) {
    static const char* const kMonths[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                            "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (word.size() < 3) return 0;
    for (int i = 0; i < 12; i++) {
        if (word.compare(0, 3, kMonths[i]) == 0) return i + 1;
    }
    return 0;
}

// Minutes east of UTC of a zone name; false for a name that is none.
bool NamedZone(const std::string& word, int* pnMinutes) {
    struct Zone {
        const char* pszName;
        int nHours;
    };
    static const Zone kZones[] = {{"UT", 0},   {"UTC", 0},  {"GMT", 0},  {"EST", -5}, {"EDT", -4},
                                  {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8},
                                  {"PDT", -7}};
    for (const Zone& zone : kZones) {
        if (word == zone.pszName) {
            *pnMinutes = zone.nHours * 60;
            return true;
        }
    }
    // The military letters are too often given with the wrong sign to mean anything.
    if (word.size() == 1 && word[0] != 'J') {
        *pnMinutes = 0;
        return true;
    }
    return false;
}

void AppendTrimmed(std::string_view text, std::string* pstrOut) {
    size_t nBegin = 0;
    size_t nEnd = text.size();
    while (nBegin < nEnd && IsBlank(text[nBegin])) nBegin++;
    while (nEnd > nBegin && IsBlank(text[nEnd - 1])) nEnd--;
    pstrOut->append(text.substr(nBegin, nEnd - nBegin));
}

// The fields the keys come from, unfolded, the first of each name.
enum Field { F_DATE, F_SUBJECT, F_FROM, F_TO, F_CC, F_MESSAGE_ID, F_REFERENCES, F_IN_REPLY_TO, F_COUNT };
const char* const kFieldNames[F_COUNT] = {"date", "subject", "from", "to", "cc", "message-id", "references", "in-reply-to"};

void ReadFields(std::string_view header, std::string* pValues, bool* pbPresent) {
    int nCurrent = -1;
    size_t nAt = 0;
    while (nAt < header.size()) {
        size_t nEol = header.find('\n', nAt);
        std::string_view line = header.substr(nAt, nEol == std::string_view::npos ? std::string_view::npos : nEol - nAt);
        nAt = nEol == std::string_view::npos ? header.size() : nEol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        if (IsBlank(line[0])) {
            // A folded line goes on with its field; the fold becomes its blank.
            if (nCurrent < 0) continue;
            size_t nMax = nCurrent == F_REFERENCES ? REFERENCES_FIELD_MAX : FIELD_MAX;
            std::string& value = pValues[nCurrent];
            if (value.size() < nMax) value.append(line.substr(0, nMax - value.size()));
            continue;
        }
        nCurrent = -1;
        size_t nColon = line.find(':');
        if (nColon == std::string_view::npos) continue;
        std::string_view name = line.substr(0, nColon);
        while (!name.empty() && IsBlank(name.back())) name.remove_suffix(1);
        for (int i = 0; i < F_COUNT; i++) {
            if (name.size() == strlen(kFieldNames[i]) && StartsWithNoCase(name, 0, kFieldNames[i])) {
                if (!pbPresent[i]) {
                    pbPresent[i] = true;
                    nCurrent = i;
                    size_t nMax = i == F_REFERENCES ? REFERENCES_FIELD_MAX : FIELD_MAX;
                    pValues[i].assign(line.substr(nColon + 1, nMax));
                }
                break;
            }
        }
    }
}

// The mailbox and the display text of an address field's first address.
void AddressKeys(const std::string& value, std::string* pMailbox, std::string* pDisplay) {
    EnvelopeAddress address;
    if (!FirstEnvelopeAddress(value, &address)) return;
    *pMailbox = address.mailbox;
    if (!address.name.empty()) {
        *pDisplay = DecodeHeaderText(address.name.data(), address.name.size());
        std::string strTrimmed;
        AppendTrimmed(*pDisplay, &strTrimmed);
        pDisplay->swap(strTrimmed);
    }
    if (pDisplay->empty()) {
        *pDisplay = address.mailbox;
        if (!address.host.empty()) *pDisplay += "@" + address.host;
    }
}

}  // namespace

void FoldAsciiCase(std::string* pstrText) {
    for (char& c : *pstrText) c = UpperAscii(c);
}

std::string BaseSubject(const std::string& strRaw, bool* pbReply) {
    *pbReply = false;
    std::string strDecoded = DecodeHeaderText(strRaw.data(), strRaw.size());
    // Tabs and folds are blanks, and a run of blanks is one.
    std::string s;
    s.reserve(strDecoded.size());
    for (char c : strDecoded) {
        if (c == '\t' || c == '\r' || c == '\n') c = ' ';
        if (c == ' ' && !s.empty() && s.back() == ' ') continue;
        s.push_back(c);
    }
    for (;;) {
        StripTrailers(&s, pbReply);
        StripLeaders(&s, pbReply);
        // "[fwd: subject]" is a forward of the subject inside it.
        if (s.size() >= 6 && StartsWithNoCase(s, 0, "[fwd:") && s.back() == ']') {
            s = s.substr(5, s.size() - 6);
            *pbReply = true;
            continue;
        }
        return s;
    }
}

bool ParseSentDate(const std::string& strValue, int64_t* pllSeconds) {
    DateReader reader(strValue);
    if (!reader.PeekDigit()) {
        // A day name, usually with its comma.
        if (reader.Word().empty()) return false;
        reader.Take(',');
    }
    int nDay = 0;
    if (!reader.Number(1, 2, &nDay)) return false;
    reader.Take('-');
    int nMonth = MonthNumber(reader.Word());
    if (nMonth == 0) return false;
    reader.Take('-');
    int nYear = 0;
    size_t nDigits = 0;
    if (!reader.Number(2, 4, &nYear, &nDigits)) return false;
    if (nDigits == 2) nYear += nYear < 50 ? 2000 : 1900;
    if (nDigits == 3) nYear += 1900;
    int nHour = 0;
    int nMinute = 0;
    int nSecond = 0;
    if (!reader.Number(1, 2, &nHour) || !reader.Take(':') || !reader.Number(1, 2, &nMinute)) return false;
    if (reader.Take(':') && !reader.Number(1, 2, &nSecond)) return false;
    if (nDay < 1 || nDay > DaysInMonth(nYear, nMonth) || nHour > 23 || nMinute > 59 || nSecond > 60) return false;
    int nZone = 0;
    if (reader.Peek('+') || reader.Peek('-')) {
        int nSign = reader.Take('-') ? -1 : 1;
        reader.Take('+');
        int nHhmm = 0;
        size_t nZoneDigits = 0;
        if (!reader.Number(4, 4, &nHhmm, &nZoneDigits) || nHhmm % 100 > 59) return false;
        nZone = nSign * ((nHhmm / 100) * 60 + nHhmm % 100);
    } else if (!reader.AtEnd()) {
        // An unknown zone name counts as UTC, as a missing zone does.
        std::string strZone = reader.Word();
        if (!NamedZone(strZone, &nZone)) nZone = 0;
    }
    *pllSeconds = SearchDayNumber(nYear, nMonth, nDay) * 86400 + nHour * 3600 + nMinute * 60 + nSecond -
                  static_cast<int64_t>(nZone) * 60;
    return true;
}

std::vector<std::string> ParseMessageIds(const std::string& strValue) {
    std::vector<std::string> ids;
    size_t i = 0;
    while ((i = strValue.find('<', i)) != std::string::npos) {
        size_t nClose = strValue.find('>', i + 1);
        if (nClose == std::string::npos) break;
        size_t nOpen = strValue.rfind('<', nClose);  // "<<a@b>" is the ID a@b
        std::string id;
        for (size_t k = nOpen + 1; k < nClose; k++) {
            if (!IsBlank(strValue[k]) && strValue[k] != '\r' && strValue[k] != '\n') id.push_back(strValue[k]);
        }
        size_t nAt = id.find('@');
        if (nAt != std::string::npos && nAt > 0 && nAt + 1 < id.size()) ids.push_back(std::move(id));
        i = nClose + 1;
    }
    return ids;
}

std::vector<std::string_view> SortKeys::References() const {
    std::vector<std::string_view> ids;
    std::string_view text = Get(REFERENCES);
    while (!text.empty()) {
        size_t nEnd = text.find('\n');
        ids.push_back(text.substr(0, nEnd));
        if (nEnd == std::string_view::npos) break;
        text.remove_prefix(nEnd + 1);
    }
    return ids;
}

size_t SortKeys::Cost() const {
    // The shared pointer's control block comes with it.
    return sizeof(SortKeys) + strText.capacity() + search.strText.capacity() + 2 * sizeof(void*);
}

std::shared_ptr<SortKeys> SortKeysFromHeader(std::string_view header, int64_t llArrival, uint64_t ullSize) {
    std::string values[F_COUNT];
    bool abPresent[F_COUNT] = {};
    ReadFields(header, values, abPresent);

    auto pKeys = std::make_shared<SortKeys>();
    pKeys->search = SearchFieldsFromHeader(header);
    pKeys->llArrival = llArrival;
    pKeys->ullSize = ullSize;
    if (!abPresent[F_DATE] || !ParseSentDate(values[F_DATE], &pKeys->llSent)) pKeys->llSent = llArrival;

    std::string texts[SortKeys::TEXT_COUNT];
    AddressKeys(values[F_FROM], &texts[SortKeys::FROM], &texts[SortKeys::DISPLAY_FROM]);
    AddressKeys(values[F_TO], &texts[SortKeys::TO], &texts[SortKeys::DISPLAY_TO]);
    std::string strCcDisplay;
    AddressKeys(values[F_CC], &texts[SortKeys::CC], &strCcDisplay);
    texts[SortKeys::SUBJECT] = BaseSubject(values[F_SUBJECT], &pKeys->bReply);
    for (int i = SortKeys::FROM; i <= SortKeys::SUBJECT; i++) FoldAsciiCase(&texts[i]);

    std::vector<std::string> ids = ParseMessageIds(values[F_MESSAGE_ID]);
    if (!ids.empty()) texts[SortKeys::MESSAGE_ID] = ids.front();
    // In-Reply-To stands in only where References names nothing, with its first ID alone.
    ids = ParseMessageIds(values[F_REFERENCES]);
    if (ids.empty()) {
        ids = ParseMessageIds(values[F_IN_REPLY_TO]);
        if (ids.size() > 1) ids.resize(1);
    }
    // A chain too long to keep loses its middle: its root and its nearest parents link it.
    if (ids.size() > REFERENCES_KEPT) ids.erase(ids.begin() + 1, ids.end() - static_cast<std::ptrdiff_t>(REFERENCES_KEPT - 1));
    for (size_t i = 0; i < ids.size(); i++) {
        if (i > 0) texts[SortKeys::REFERENCES].push_back('\n');
        texts[SortKeys::REFERENCES] += ids[i];
    }

    size_t nTotal = 0;
    for (const std::string& text : texts) nTotal += text.size();
    pKeys->strText.reserve(nTotal);
    for (int i = 0; i < SortKeys::TEXT_COUNT; i++) {
        pKeys->strText += texts[i];
        pKeys->aulEnd[i] = static_cast<uint32_t>(pKeys->strText.size());
    }
    return pKeys;
}

namespace {

// The top header of an open message (up to and with its blank line), and its size; false on a
// read error. *pbWhole is false when the header is longer than is read.
bool ReadTopHeader(FILE* pFile, std::string* pstrHeader, uint64_t* pullSize, bool* pbWhole) {
    if (!MessageContentSize(pFile, pullSize) || fseek(pFile, 0, SEEK_SET) != 0) return false;
    *pbWhole = true;
    char buffer[8192];
    size_t nLineStart = 0;  // where the line not yet looked at begins
    for (;;) {
        size_t nRead = fread(buffer, 1, sizeof(buffer), pFile);
        if (nRead == 0) break;
        pstrHeader->append(buffer, nRead);
        // A line holding nothing but line ends is the blank line.
        size_t nEol;
        while ((nEol = pstrHeader->find('\n', nLineStart)) != std::string::npos) {
            bool bBlank = pstrHeader->find_first_not_of('\r', nLineStart) == nEol;
            nLineStart = nEol + 1;
            if (bBlank) {
                pstrHeader->resize(nLineStart);
                return true;
            }
        }
        if (pstrHeader->size() >= HEADER_READ_MAX) {
            *pbWhole = false;
            break;
        }
    }
    return ferror(pFile) == 0;
}

}  // namespace

std::shared_ptr<const SortKeys> FindSortKeys(MailboxIndex& index, uint32_t ulUid) {
    static const std::string kKey = KEPT_SORT_KEY;
    std::shared_ptr<const KeptContent> pKept;
    if (!index.FindContent(ulUid, kKey, &pKept)) return nullptr;
    return std::static_pointer_cast<const SortKeys>(pKept);
}

bool SortKeysKept(MailboxIndex& index, uint32_t ulUid) { return FindSortKeys(index, ulUid) != nullptr; }

std::shared_ptr<const SortKeys> LoadSortKeys(Session* pSession, ViewMessage& message) {
    MailboxView& view = *pSession->pView;
    MailboxIndex& index = *view.pIndex;
    if (std::shared_ptr<const SortKeys> pKeys = FindSortKeys(index, message.ulUid)) return pKeys;
    // Another session may rename the file (a flag change) at any moment: its name is looked up
    // again until it opens or is gone.
    FILE* pFile = nullptr;
    char szPath[MESSAGE_PATH_SIZE];
    for (int nTry = 0; nTry < 8 && pFile == nullptr; nTry++) {
        if (!MessageFilePath(szPath, sizeof(szPath), view.szMailbox, message.ulUid, message.fFlags)) return nullptr;
        pFile = fopen(szPath, "rb");
        if (pFile == nullptr && !ConfirmFileName(pSession, message)) return nullptr;
    }
    if (pFile == nullptr) return nullptr;
    FileIdentity identity;
    bool bRead = IdentifyFile(pFile, &identity);
    int nFirst = fgetc(pFile);
    rewind(pFile);
    std::string strHeader;
    uint64_t ullSize = 0;
    bool bWhole = true;
    if (bRead && nFirst != EOF && IsScrambledStart(static_cast<unsigned char>(nFirst))) {
        // A scrambled file is read through a decoded copy, named so that no listing counts it.
        char szCopy[MESSAGE_PATH_SIZE];
        bRead = FormatText(szCopy, sizeof(szCopy), "%s/%010u-sort_%lu.ENC", view.szMailbox,
                           static_cast<unsigned>(message.ulUid), static_cast<unsigned long>(pSession->lLoginNo)) &&
                DecodeMessageFile(szPath, szCopy) != 0;
        FILE* pCopy = bRead ? fopen(szCopy, "rb") : nullptr;
        bRead = pCopy != nullptr && ReadTopHeader(pCopy, &strHeader, &ullSize, &bWhole);
        if (pCopy != nullptr) fclose(pCopy);
        DeleteFileEntry(szCopy);
    } else if (bRead) {
        bRead = ReadTopHeader(pFile, &strHeader, &ullSize, &bWhole);
    }
    fclose(pFile);
    if (!bRead) return nullptr;
    int64_t llArrival = identity.llWrittenNs / 1000000000;
    if (identity.llWrittenNs < 0 && identity.llWrittenNs % 1000000000 != 0) llArrival--;
    std::shared_ptr<SortKeys> pKeys = SortKeysFromHeader(strHeader, llArrival, ullSize);
    // The fields past the part read may hold what a search looks for.
    if (!bWhole) pKeys->search.bComplete = false;
    index.KeepContent(message.ulUid, KEPT_SORT_KEY, pKeys);
    return pKeys;
}

std::vector<std::shared_ptr<const SortKeys>> LoadSortKeysOf(Session* pSession, const std::vector<size_t>& indexes) {
    MailboxView& view = *pSession->pView;
    std::vector<uint32_t> uids;
    uids.reserve(indexes.size());
    for (size_t nIndex : indexes) uids.push_back(view.messages[nIndex].ulUid);
    static const std::string kKey = KEPT_SORT_KEY;
    std::vector<std::shared_ptr<const KeptContent>> kept;
    view.pIndex->FindContents(uids, kKey, &kept);
    std::vector<std::shared_ptr<const SortKeys>> keys(indexes.size());
    for (size_t i = 0; i < indexes.size(); i++) {
        keys[i] = std::static_pointer_cast<const SortKeys>(kept[i]);
        if (keys[i] != nullptr) continue;
        // A file found renamed or gone meanwhile changes the view's message, and only then: the
        // list may be shared with other sessions.
        ViewMessage listed = view.messages[indexes[i]];
        keys[i] = LoadSortKeys(pSession, listed);
        if (!(listed == view.messages[indexes[i]])) view.messages.Change(indexes[i]) = listed;
    }
    return keys;
}
