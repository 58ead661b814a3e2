// Keywords and modification sequences: the hidden state file, and what an index keeps of it.
//
// The file is a log of lines, each ending in " ~" and a checksum of the line, so that a line a
// crash cut short or the disk damaged is known as such:
//   S 1 <uidvalidity> <floor> <file id>   first line; every sequence in the file is >= floor
//   E <floor>                             expunges at or below it are not all known
//   K <index> <name>                      a keyword name
//   M <uid> <seq> <flags> <k,k,...|->     a message's flags (hex) and keywords at its sequence
//   X <low> <high> <seq>                  UIDs expunged at the sequence
// Later lines win over earlier ones. Writers hold the lock file MOD_LOCK_NAME; a writer first
// reads what the others appended, so that every sequence it gives is above all given before.
#include "store/mod_state.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>

#include "config/settings.h"
#include "platform/dir_watch.h"
#include "platform/format.h"
#include "platform/fs.h"
#include "platform/service_host.h"
#include "platform/text.h"
#include "store/mod_file.h"
#include "store/store.h"

namespace {

// UIDs changed between two syncs, kept one by one; beyond, the whole mailbox is compared.
constexpr size_t PENDING_LIMIT = 65536;
// Changes kept in sequence order for ChangedSince; older ones cost a look at every message.
constexpr size_t CHANGES_LIMIT = 16384;
// Expunged ranges kept; beyond, the oldest half is forgotten and the floor raised.
constexpr size_t EXPUNGED_LIMIT = 8192;
// Lines appended before the file is written whole again: at least this many, and at least as
// many as the mailbox has messages, so that compaction costs a bounded share of the writes.
constexpr size_t COMPACT_MIN_RECORDS = 4096;
constexpr int FILE_VERSION = 1;

uint32_t KeywordLimit() { return Settings.MaxKeywords != 0 ? Settings.MaxKeywords : 256; }

bool SameIgnoringCase(const std::string& a, const char* pszB) { return StrICmp(a.c_str(), pszB) == 0; }

// FNV-1a: enough to tell a damaged or half-written line, which is all it is for.
uint32_t LineChecksum(const char* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; i++) {
        h ^= static_cast<uint8_t>(p[i]);
        h *= 16777619u;
    }
    return h;
}

void AppendLine(std::string& out, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void AppendLine(std::string& out, const char* pszFormat, ...) {
    char szLine[KEYWORD_NAME_MAX + 128];
    va_list args;
    va_start(args, pszFormat);
    int n = std::vsnprintf(szLine, sizeof(szLine), pszFormat, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szLine)) return;
    char szSum[16];
    std::snprintf(szSum, sizeof(szSum), " ~%08x\n", LineChecksum(szLine, static_cast<size_t>(n)));
    out.append(szLine, static_cast<size_t>(n));
    out += szSum;
}

std::string KeywordList(const std::vector<uint16_t>& keywords) {
    if (keywords.empty()) return "-";
    std::string text;
    for (uint16_t u : keywords) {
        if (!text.empty()) text += ',';
        text += std::to_string(u);
    }
    return text;
}

void AppendMessageLine(std::string& out, uint32_t ulUid, uint64_t ullSeq, uint8_t fFlags,
                       const std::vector<uint16_t>& keywords) {
    AppendLine(out, "M %u %" PRIu64 " %02x %s", ulUid, ullSeq, fFlags, KeywordList(keywords).c_str());
}

struct ModRecord {
    char cType = 0;
    uint32_t ulA = 0;  // S: uidvalidity, K: index, M: uid, X: low
    uint32_t ulB = 0;  // X: high
    uint64_t ullSeq = 0;
    uint8_t fFlags = 0;
    std::string text;  // S: file id, K: name
    std::vector<uint16_t> keywords;
};

bool TakeNumber(const char** pp, uint64_t ullMax, uint64_t* pullValue) {
    const char* p = *pp;
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v > (ullMax - static_cast<uint64_t>(*p - '0')) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(*p++ - '0');
    }
    *pp = p;
    *pullValue = v;
    return true;
}

bool TakeChar(const char** pp, char c) {
    if (**pp != c) return false;
    ++*pp;
    return true;
}

// One line without its line end; false for a line that is damaged or of no known form.
bool ParseRecord(const char* pLine, size_t nLength, ModRecord* pRecord) {
    // " ~xxxxxxxx" at the end.
    if (nLength < 12 || pLine[nLength - 10] != ' ' || pLine[nLength - 9] != '~') return false;
    size_t nBody = nLength - 10;
    char szSum[9];
    std::memcpy(szSum, pLine + nLength - 8, 8);
    szSum[8] = '\0';
    char* pEnd = nullptr;
    unsigned long ulSum = std::strtoul(szSum, &pEnd, 16);
    if (pEnd != szSum + 8 || ulSum != LineChecksum(pLine, nBody)) return false;
    std::string body(pLine, nBody);
    const char* p = body.c_str();
    ModRecord& r = *pRecord;
    r = ModRecord{};
    r.cType = *p++;
    uint64_t v = 0;
    if (!TakeChar(&p, ' ')) return false;
    switch (r.cType) {
        case 'S': {
            if (!TakeNumber(&p, 0xFFFFFFFFull, &v) || v != FILE_VERSION || !TakeChar(&p, ' ')) return false;
            if (!TakeNumber(&p, 0xFFFFFFFFull, &v) || !TakeChar(&p, ' ')) return false;
            r.ulA = static_cast<uint32_t>(v);
            if (!TakeNumber(&p, INT64_MAX, &r.ullSeq) || !TakeChar(&p, ' ')) return false;
            r.text = p;
            return !r.text.empty();
        }
        case 'E':
            return TakeNumber(&p, INT64_MAX, &r.ullSeq) && *p == '\0';
        case 'K':
            if (!TakeNumber(&p, 0xFFFF, &v) || !TakeChar(&p, ' ')) return false;
            r.ulA = static_cast<uint32_t>(v);
            r.text = p;
            return IsKeywordName(r.text.c_str());
        case 'M': {
            if (!TakeNumber(&p, 0xFFFFFFFFull, &v) || v == 0 || !TakeChar(&p, ' ')) return false;
            r.ulA = static_cast<uint32_t>(v);
            if (!TakeNumber(&p, INT64_MAX, &r.ullSeq) || r.ullSeq == 0 || !TakeChar(&p, ' ')) return false;
            char* pFlagsEnd = nullptr;
            unsigned long ulFlags = std::strtoul(p, &pFlagsEnd, 16);
            if (pFlagsEnd != p + 2 || ulFlags > 0x3F) return false;
            r.fFlags = static_cast<uint8_t>(ulFlags);
            p = pFlagsEnd;
            if (!TakeChar(&p, ' ')) return false;
            if (std::strcmp(p, "-") == 0) return true;
            for (;;) {
                if (!TakeNumber(&p, 0xFFFF, &v)) return false;
                r.keywords.push_back(static_cast<uint16_t>(v));
                if (*p == '\0') break;
                if (!TakeChar(&p, ',')) return false;
            }
            std::sort(r.keywords.begin(), r.keywords.end());
            r.keywords.erase(std::unique(r.keywords.begin(), r.keywords.end()), r.keywords.end());
            return true;
        }
        case 'X':
            if (!TakeNumber(&p, 0xFFFFFFFFull, &v) || v == 0 || !TakeChar(&p, ' ')) return false;
            r.ulA = static_cast<uint32_t>(v);
            if (!TakeNumber(&p, 0xFFFFFFFFull, &v) || v < r.ulA || !TakeChar(&p, ' ')) return false;
            r.ulB = static_cast<uint32_t>(v);
            return TakeNumber(&p, INT64_MAX, &r.ullSeq) && r.ullSeq != 0 && *p == '\0';
        default:
            return false;
    }
}

// The lines of a piece of the file. A last line without its line end is a write a crash cut
// short (every write ends in one): *pbTorn, and nConsumed stops before it.
struct ParsedFile {
    std::vector<ModRecord> records;
    size_t nDamaged = 0;
    size_t nConsumed = 0;
    bool bTorn = false;
};

void ParseLines(const std::string& text, ParsedFile* pParsed) {
    size_t nAt = 0;
    while (nAt < text.size()) {
        size_t nEnd = text.find('\n', nAt);
        if (nEnd == std::string::npos) {
            pParsed->bTorn = true;
            break;
        }
        ModRecord record;
        if (ParseRecord(text.data() + nAt, nEnd - nAt, &record)) {
            pParsed->records.push_back(std::move(record));
        } else {
            pParsed->nDamaged++;
        }
        nAt = nEnd + 1;
    }
    pParsed->nConsumed = nAt;
}

std::string StatePath(const char* pszMailbox, const char* pszName) {
    char szPath[MAX_PATH + 32];
    return MailboxFilePath(szPath, sizeof(szPath), pszMailbox, pszName) ? std::string(szPath) : std::string();
}

// The file from ullOffset on; false when it cannot be read (ENTRY_MISSING in *pbMissing).
bool ReadFrom(const std::string& path, uint64_t ullOffset, std::string* pText, bool* pbMissing) {
    pText->clear();
    *pbMissing = false;
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (file == nullptr) {
        *pbMissing = !PathExists(path.c_str());
        return false;
    }
    if (ullOffset > 0 && std::fseek(file.get(), static_cast<long>(ullOffset), SEEK_SET) != 0) return false;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) pText->append(buffer, n);
    return std::ferror(file.get()) == 0;
}

// The first line's file id; empty when there is none.
std::string ReadFileId(const std::string& path) {
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (file == nullptr) return std::string();
    char szLine[256];
    if (std::fgets(szLine, sizeof(szLine), file.get()) == nullptr) return std::string();
    size_t n = std::strlen(szLine);
    if (n == 0 || szLine[n - 1] != '\n') return std::string();
    ModRecord record;
    return ParseRecord(szLine, n - 1, &record) && record.cType == 'S' ? record.text : std::string();
}

std::string NewFileId() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    char szId[40];
    std::snprintf(szId, sizeof(szId), "%016" PRIx64 "%08" PRIx64, static_cast<uint64_t>(generator()), static_cast<uint64_t>(WallClockNanoseconds() & 0xFFFFFFFFull));
    return szId;
}

// A sequence above every one handed out before a file was lost: microseconds since 1970 grow
// faster than any mailbox's changes can be flushed.
uint64_t ClockModSeq() { return WallClockNanoseconds() / 1000; }

uint64_t SeqOf(const ModState& mod, const IndexedMessage& m) { return m.ulModSeq == 0 ? 0 : mod.ullBase + m.ulModSeq; }

IndexedMessage* FindPresent(std::vector<IndexedMessage>& messages, uint32_t ulUid) {
    auto it = std::lower_bound(messages.begin(), messages.end(), ulUid,
                               [](const IndexedMessage& m, uint32_t u) { return m.ulUid < u; });
    if (it == messages.end() || it->ulUid != ulUid || (it->fState & INDEXED_REMOVED)) return nullptr;
    return &*it;
}

// Sets a message's sequence. A sequence beyond what 32 bits above the base hold moves the base
// up; messages then below it are raised to it, which only ever reports more as changed.
void SetSeq(ModState& mod, std::vector<IndexedMessage>& messages, IndexedMessage& message, uint64_t ullSeq) {
    if (ullSeq <= mod.ullBase) ullSeq = mod.ullBase + 1;
    if (ullSeq - mod.ullBase > 0xFFFFFFFFull) {
        uint64_t ullNewBase = ullSeq - 0x80000000ull;
        for (IndexedMessage& m : messages) {
            if (m.ulModSeq == 0) continue;
            uint64_t ullOld = mod.ullBase + m.ulModSeq;
            m.ulModSeq = ullOld > ullNewBase ? static_cast<uint32_t>(ullOld - ullNewBase) : 1;
        }
        mod.ullBase = ullNewBase;
    }
    message.ulModSeq = static_cast<uint32_t>(ullSeq - mod.ullBase);
}

void SetKeywordsOf(ModState& mod, IndexedMessage& message, const std::vector<uint16_t>& keywords) {
    if (keywords.empty()) {
        mod.keywords.erase(message.ulUid);
        message.fState &= static_cast<uint8_t>(~INDEXED_KEYWORDS);
    } else {
        mod.keywords[message.ulUid] = keywords;
        message.fState |= INDEXED_KEYWORDS;
    }
}

const std::vector<uint16_t>& KeywordsHeld(const ModState& mod, const IndexedMessage& message) {
    static const std::vector<uint16_t> none;
    if (!(message.fState & INDEXED_KEYWORDS)) return none;
    auto it = mod.keywords.find(message.ulUid);
    return it == mod.keywords.end() ? none : it->second;
}

void NoteSeqChange(ModState& mod, uint64_t ullSeq, uint32_t ulUid) {
    mod.changes.emplace_back(ullSeq, ulUid);
    if (mod.changes.size() > CHANGES_LIMIT) {
        size_t nDrop = CHANGES_LIMIT / 2;
        mod.ullChangesFloor = std::max(mod.ullChangesFloor, mod.changes[nDrop - 1].first);
        mod.changes.erase(mod.changes.begin(), mod.changes.begin() + static_cast<std::ptrdiff_t>(nDrop));
    }
}

void AddExpunged(ModState& mod, uint32_t ulLow, uint32_t ulHigh, uint64_t ullSeq) {
    if (!mod.expunged.empty()) {
        ExpungedRange& last = mod.expunged.back();
        if (last.ullModSeq == ullSeq && last.ulHigh != 0xFFFFFFFFu && last.ulHigh + 1 == ulLow) {
            last.ulHigh = ulHigh;
            return;
        }
    }
    mod.expunged.push_back(ExpungedRange{ulLow, ulHigh, ullSeq});
    if (mod.expunged.size() > EXPUNGED_LIMIT) {
        size_t nDrop = EXPUNGED_LIMIT / 2;
        for (size_t i = 0; i < nDrop; i++) mod.ullExpungeFloor = std::max(mod.ullExpungeFloor, mod.expunged[i].ullModSeq);
        mod.expunged.erase(mod.expunged.begin(), mod.expunged.begin() + static_cast<std::ptrdiff_t>(nDrop));
    }
}

bool KnownExpunged(const ModState& mod, uint32_t ulUid) {
    for (auto it = mod.expunged.rbegin(); it != mod.expunged.rend(); ++it) {
        if (it->ulLow <= ulUid && ulUid <= it->ulHigh) return true;
    }
    return false;
}

// Takes in one line that this or another process wrote after the ones already taken in.
void ApplyRecord(const ModIndexRef& ref, const ModRecord& r) {
    ModState& mod = *ref.pMod;
    std::vector<IndexedMessage>& messages = *ref.pMessages;
    switch (r.cType) {
        case 'K':
            // This process's own names are in the table before their lines are written.
            if (r.ulA == mod.names.size()) mod.names.push_back(r.text);
            if (r.ulA < mod.names.size()) mod.nNamesRecorded = std::max<size_t>(mod.nNamesRecorded, r.ulA + 1);
            break;
        case 'E':
            mod.ullExpungeFloor = std::max(mod.ullExpungeFloor, r.ullSeq);
            break;
        case 'M': {
            mod.ullHighest = std::max(mod.ullHighest, r.ullSeq);
            std::vector<uint16_t> keywords;
            for (uint16_t u : r.keywords) {
                if (u < mod.names.size()) keywords.push_back(u);
            }
            IndexedMessage* p = FindPresent(messages, r.ulA);
            if (p == nullptr) {
                mod.unseen[r.ulA] = RecordedMessage{r.ullSeq, r.fFlags, std::move(keywords)};
                break;
            }
            bool bKeywordsChanged = KeywordsHeld(mod, *p) != keywords;
            // A line another server wrote before it could see ours (a cluster file system shows a
            // grown file late) may carry a lower sequence than the message has here: a client
            // that was shown the higher one must never see it go back.
            uint64_t ullSeq = std::max(r.ullSeq, SeqOf(mod, *p));
            SetSeq(mod, messages, *p, ullSeq);
            p->fModFlags = r.fFlags;
            SetKeywordsOf(mod, *p, keywords);
            NoteSeqChange(mod, ullSeq, r.ulA);
            if (bKeywordsChanged) ref.fnChanged(r.ulA);
            break;
        }
        case 'X':
            mod.ullHighest = std::max(mod.ullHighest, r.ullSeq);
            AddExpunged(mod, r.ulA, r.ulB, r.ullSeq);
            // What is kept of those UIDs goes; a message the index still holds keeps its own.
            for (auto it = mod.unseen.begin(); it != mod.unseen.end();) {
                it = it->first >= r.ulA && it->first <= r.ulB ? mod.unseen.erase(it) : std::next(it);
            }
            for (auto it = mod.keywords.begin(); it != mod.keywords.end();) {
                bool bDrop = it->first >= r.ulA && it->first <= r.ulB && FindPresent(messages, it->first) == nullptr;
                it = bDrop ? mod.keywords.erase(it) : std::next(it);
            }
            break;
        default:
            break;
    }
}

void Report(const char* pszMailbox, const char* pszWhat, uint64_t ullStart) {
    char szLine[MAX_PATH + 256];
    if (!FormatText(szLine, sizeof(szLine), "Keyword state of %s %s: modification sequences start again at %" PRIu64,
                    pszMailbox, pszWhat, ullStart)) {
        return;
    }
    TracePrint("%s\n", szLine);
    WriteSystemLog(SERVICE_NAME, EVENTLOG_WARNING_TYPE, szLine);
}

// The whole state as a file: what compaction writes. With the mutex held.
std::string WholeFile(const ModIndexRef& ref, uint32_t ulValidity, const std::string& fileId) {
    ModState& mod = *ref.pMod;
    std::string out;
    uint64_t ullFloor = mod.ullBase + 1;
    AppendLine(out, "S %d %u %" PRIu64 " %s", FILE_VERSION, ulValidity, ullFloor, fileId.c_str());
    AppendLine(out, "E %" PRIu64, std::max(mod.ullExpungeFloor, ullFloor));
    for (size_t i = 0; i < mod.nNamesRecorded; i++) AppendLine(out, "K %zu %s", i, mod.names[i].c_str());
    for (const IndexedMessage& m : *ref.pMessages) {
        if ((m.fState & INDEXED_REMOVED) || m.ulModSeq == 0) continue;
        std::vector<uint16_t> keywords;
        for (uint16_t u : KeywordsHeld(mod, m)) {
            if (u < mod.nNamesRecorded) keywords.push_back(u);
        }
        AppendMessageLine(out, m.ulUid, SeqOf(mod, m), m.fModFlags, keywords);
    }
    for (const auto& [ulUid, recorded] : mod.unseen) {
        AppendMessageLine(out, ulUid, std::max(recorded.ullModSeq, ullFloor), recorded.fFlags, recorded.keywords);
    }
    for (const ExpungedRange& range : mod.expunged) {
        AppendLine(out, "X %u %u %" PRIu64, range.ulLow, range.ulHigh, std::max(range.ullModSeq, ullFloor));
    }
    return out;
}

void NoteFileWritten(ModState& mod, const std::string& path) {
    FileIdentity identity;
    if (ReadFileIdentity(path.c_str(), &identity)) mod.identity = identity;
}

}  // namespace

bool IsKeywordName(const char* pszName) {
    size_t n = std::strlen(pszName);
    if (n == 0 || n > KEYWORD_NAME_MAX || pszName[0] == '\\') return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(pszName[i]);
        if (c <= 0x20 || c >= 0x7F) return false;
    }
    return true;
}

size_t ModStateBytes(const ModState& mod) {
    // A map entry with its node and bucket, and the vector's own block.
    constexpr size_t ENTRY_OVERHEAD = 64;
    size_t nBytes = mod.changes.capacity() * sizeof(mod.changes[0]) + mod.expunged.capacity() * sizeof(ExpungedRange) +
                    mod.pending.capacity() * sizeof(uint32_t);
    for (const std::string& name : mod.names) nBytes += sizeof(name) + name.capacity();
    for (const auto& [ulUid, keywords] : mod.keywords) nBytes += ENTRY_OVERHEAD + keywords.capacity() * sizeof(uint16_t);
    for (const auto& [ulUid, recorded] : mod.unseen) nBytes += ENTRY_OVERHEAD + recorded.keywords.capacity() * sizeof(uint16_t);
    return nBytes;
}

void NoteModChange(ModState& mod, uint32_t ulUid) {
    if (!mod.bLoaded || mod.bPendingOverflow) return;
    if (mod.pending.size() >= PENDING_LIMIT) {
        mod.bPendingOverflow = true;
        mod.pending.clear();
        return;
    }
    mod.pending.push_back(ulUid);
}

// ---- Loading, catching up and writing, with the state lock held ------------------------------

namespace {

// Writes the whole state (under a new file id) in place of the file.
bool WriteWhole(const ModIndexRef& ref, const std::string& path) {
    uint32_t ulValidity = 0;
    if (!GetUidValidity(ref.pszPath, &ulValidity)) {
        SetStoreFailure("the mailbox is gone");
        return false;
    }
    std::string fileId = NewFileId();
    std::string text;
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        text = WholeFile(ref, ulValidity, fileId);
    }
    if (!ReplaceFileContent(path.c_str(), text.data(), text.size(), MailFileMode(), MailFsyncOn())) {
        SetStoreFailure("the keyword state cannot be written");
        return false;
    }
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    ModState& mod = *ref.pMod;
    mod.fileId = fileId;
    mod.ullOffset = text.size();
    mod.nAppended = 0;
    mod.bTornTail = false;
    NoteFileWritten(mod, path);
    return true;
}

// The changes log from scratch: the most recent sequences of the messages held.
void RebuildChanges(ModState& mod, const std::vector<IndexedMessage>& messages) {
    std::vector<std::pair<uint64_t, uint32_t>> all;
    for (const IndexedMessage& m : messages) {
        if (!(m.fState & INDEXED_REMOVED) && m.ulModSeq != 0) all.emplace_back(SeqOf(mod, m), m.ulUid);
    }
    mod.ullChangesFloor = 0;
    size_t nKeep = CHANGES_LIMIT / 2;
    auto kept = all.begin();
    if (all.size() > nKeep) {
        kept = all.end() - static_cast<std::ptrdiff_t>(nKeep);
        std::nth_element(all.begin(), kept, all.end());
        uint64_t ullFloor = 0;
        for (auto it = all.begin(); it != kept; ++it) ullFloor = std::max(ullFloor, it->first);
        mod.ullChangesFloor = ullFloor;
    }
    // A copy of just what is kept: the whole list's room would stay for as long as the index.
    mod.changes.assign(kept, all.end());
    std::sort(mod.changes.begin(), mod.changes.end());
}

// Reads the whole file and compares it with the index's messages. What changed while nobody
// followed the mailbox gets a new sequence; a file missing, damaged or another mailbox's makes
// every message new above every sequence given before. With the state lock held.
bool LoadWhole(const ModIndexRef& ref, const std::string& path) {
    std::string text;
    bool bMissing = false;
    bool bRead = ReadFrom(path, 0, &text, &bMissing);
    if (!bRead && !bMissing) {
        SetStoreFailure("the keyword state cannot be read");
        return false;
    }
    ParsedFile parsed;
    ParseLines(text, &parsed);
    uint32_t ulValidity = 0;
    if (!GetUidValidity(ref.pszPath, &ulValidity)) {
        SetStoreFailure("the mailbox is gone");
        return false;
    }
    const char* pszWhy = nullptr;
    bool bHeader = !parsed.records.empty() && parsed.records[0].cType == 'S';
    if (bMissing || text.empty()) {
        pszWhy = "was missing";
    } else if (!bHeader) {
        pszWhy = "was damaged";
    } else if (parsed.records[0].ulA != ulValidity) {
        pszWhy = "belonged to an earlier mailbox of the same name";
    } else if (parsed.nDamaged > 0) {
        pszWhy = "was damaged";
    }
    // Fold the lines: the last word on each UID wins; an expunge is final.
    uint64_t ullFloor = bHeader ? parsed.records[0].ullSeq : 0;
    uint64_t ullHighestRead = ullFloor;
    uint64_t ullExpungeFloor = ullFloor;
    std::vector<std::string> names;
    std::vector<ModRecord*> byUid;
    std::vector<ExpungedRange> expunged;
    for (ModRecord& r : parsed.records) {
        if (r.cType == 'M' || r.cType == 'X') ullHighestRead = std::max(ullHighestRead, r.ullSeq);
        if (r.cType == 'K' && r.ulA == names.size()) names.push_back(r.text);
        if (r.cType == 'E') ullExpungeFloor = std::max(ullExpungeFloor, r.ullSeq);
        if (r.cType == 'M') byUid.push_back(&r);
        if (r.cType == 'X') expunged.push_back(ExpungedRange{r.ulA, r.ulB, r.ullSeq});
    }
    bool bForeign = pszWhy != nullptr && parsed.nDamaged == 0 && bHeader;
    if (bForeign) {
        names.clear();
        byUid.clear();
        expunged.clear();
    }
    std::stable_sort(byUid.begin(), byUid.end(), [](const ModRecord* a, const ModRecord* b) { return a->ulA < b->ulA; });
    std::vector<ExpungedRange> byLow = expunged;
    std::sort(byLow.begin(), byLow.end(), [](const ExpungedRange& a, const ExpungedRange& b) { return a.ulLow < b.ulLow; });
    auto isExpunged = [&](uint32_t ulUid) {
        for (const ExpungedRange& range : byLow) {
            if (range.ulLow > ulUid) break;
            if (ulUid <= range.ulHigh) return true;
        }
        return false;
    };

    std::vector<uint32_t> changed;
    std::vector<uint32_t> gone;
    bool bEmpty = true;
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        ModState& mod = *ref.pMod;
        std::vector<IndexedMessage>& messages = *ref.pMessages;
        uint64_t ullKnown = mod.ullHighest;
        uint64_t ullStart = 0;
        mod.names = names;
        mod.nNamesRecorded = names.size();
        mod.keywords.clear();
        mod.unseen.clear();
        mod.expunged.clear();
        mod.pending.clear();
        mod.bPendingOverflow = false;
        if (pszWhy != nullptr) {
            // Above all that was readable, all this process knew, and the clock.
            ullStart = std::max({ClockModSeq(), ullHighestRead + 1, ullKnown + 1});
            mod.ullBase = ullStart - 1;
            mod.ullHighest = ullStart;
            mod.ullExpungeFloor = ullStart;
        } else {
            mod.ullBase = ullFloor > 0 ? ullFloor - 1 : 0;
            mod.ullHighest = std::max(ullHighestRead, ullKnown);
            mod.ullExpungeFloor = ullExpungeFloor;
            for (const ExpungedRange& range : expunged) AddExpunged(mod, range.ulLow, range.ulHigh, range.ullModSeq);
        }
        auto rec = byUid.begin();
        for (IndexedMessage& m : messages) {
            if (m.fState & INDEXED_REMOVED) continue;
            bEmpty = false;
            // The last line of every UID below this one is passed; those not held are gone.
            const ModRecord* pFound = nullptr;
            uint64_t ullHighestOfUid = 0;  // a late line of another server may carry a lower one
            for (; rec != byUid.end() && (*rec)->ulA <= m.ulUid; ++rec) {
                if ((*rec)->ulA == m.ulUid) {
                    pFound = *rec;
                    ullHighestOfUid = std::max(ullHighestOfUid, (*rec)->ullSeq);
                } else if (std::next(rec) == byUid.end() || (*std::next(rec))->ulA != (*rec)->ulA) {
                    if (!isExpunged((*rec)->ulA)) gone.push_back((*rec)->ulA);
                }
            }
            std::vector<uint16_t> keywords;
            if (pFound != nullptr) {
                for (uint16_t u : pFound->keywords) {
                    if (u < names.size()) keywords.push_back(u);
                }
            }
            SetKeywordsOf(mod, m, keywords);
            if (pszWhy != nullptr) {
                m.ulModSeq = 1;
                m.fModFlags = m.fFlags;
                continue;
            }
            if (pFound == nullptr || isExpunged(m.ulUid)) {
                m.ulModSeq = 0;
                changed.push_back(m.ulUid);
                continue;
            }
            SetSeq(mod, messages, m, ullHighestOfUid);
            m.fModFlags = pFound->fFlags;
            if ((m.fModFlags ^ m.fFlags) & ~FLAG_BIT_RECENT) changed.push_back(m.ulUid);
        }
        for (; rec != byUid.end(); ++rec) {
            if (std::next(rec) != byUid.end() && (*std::next(rec))->ulA == (*rec)->ulA) continue;
            if (!isExpunged((*rec)->ulA)) gone.push_back((*rec)->ulA);
        }
        mod.bLoaded = true;
        if (pszWhy != nullptr) gone.clear();
        if (pszWhy != nullptr && (!bEmpty || !bMissing)) Report(ref.pszPath, pszWhy, ullStart);
    }
    // A message recorded but not listed may have been placed by another process after the
    // listing: only what the disk no longer has is gone.
    std::vector<uint32_t> stillThere;
    gone.erase(std::remove_if(gone.begin(), gone.end(),
                              [&](uint32_t ulUid) {
                                  uint8_t fFlags = 0;
                                  if (!ProbeMessageFlags(ref.pszPath, ulUid, &fFlags)) return false;
                                  stillThere.push_back(ulUid);
                                  return true;
                              }),
               gone.end());
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        ModState& mod = *ref.pMod;
        for (const ModRecord* r : byUid) {
            if (std::binary_search(stillThere.begin(), stillThere.end(), r->ulA)) {
                mod.unseen[r->ulA] = RecordedMessage{r->ullSeq, r->fFlags, r->keywords};
            }
        }
        // What changed while nobody looked is taken in by the next commit, under one sequence.
        mod.pending = changed;
        mod.pending.insert(mod.pending.end(), gone.begin(), gone.end());
        RebuildChanges(mod, *ref.pMessages);
        mod.fileId = bHeader ? parsed.records[0].text : std::string();
        mod.ullOffset = parsed.nConsumed;
        mod.bTornTail = parsed.bTorn;
        mod.nAppended = parsed.records.size();
        NoteFileWritten(mod, path);
    }
    if (pszWhy != nullptr) return WriteWhole(ref, path);
    return true;
}

// Takes in what other processes appended since this one last read the file. With the state
// lock held.
bool CatchUp(const ModIndexRef& ref, const std::string& path) {
    uint64_t ullOffset;
    std::string fileId;
    bool bWhole = false;
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        ModState& mod = *ref.pMod;
        bWhole = !mod.bLoaded || mod.bPendingOverflow;
    }
    if (bWhole) return LoadWhole(ref, path);
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        ModState& mod = *ref.pMod;
        FileIdentity identity;
        if (ReadFileIdentity(path.c_str(), &identity) && identity == mod.identity) return true;
        ullOffset = mod.ullOffset;
        fileId = mod.fileId;
    }
    // Written whole by another process since (or lost): read again from the start.
    if (ReadFileId(path) != fileId) return LoadWhole(ref, path);
    std::string text;
    bool bMissing = false;
    if (!ReadFrom(path, ullOffset, &text, &bMissing)) return bMissing ? LoadWhole(ref, path) : false;
    ParsedFile parsed;
    ParseLines(text, &parsed);
    if (parsed.nDamaged > 0) return LoadWhole(ref, path);
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    ModState& mod = *ref.pMod;
    for (const ModRecord& r : parsed.records) {
        if (r.cType != 'S') ApplyRecord(ref, r);
    }
    mod.ullOffset += parsed.nConsumed;
    mod.nAppended += parsed.records.size();
    mod.bTornTail = parsed.bTorn;
    NoteFileWritten(mod, path);
    return true;
}

}  // namespace

// ---- The change ---------------------------------------------------------------------------------

struct ModChange::Pending {
    ModIndexRef ref;
    std::string path;
    std::vector<std::pair<uint32_t, std::vector<uint16_t>>> keywordSets;  // UID, its new keywords
    std::vector<std::pair<uint32_t, uint8_t>> added;                      // AddMessage: UID, flags
    bool bUnloaded = false;  // the file could not be read: nothing may be written
};

ModChange::ModChange() : m_hLock(INVALID_LOCK_HANDLE), m_pPending(new Pending) {}

ModChange::~ModChange() {
    if (m_hLock == INVALID_LOCK_HANDLE) return;
    if (Commit()) CompactIfLong();
    UnlockPath(m_hLock);
}

bool ModChange::Locked() const { return m_hLock != INVALID_LOCK_HANDLE && !m_pPending->bUnloaded; }

namespace {

// The keywords a message has within a change: what the change set, else what the index holds.
const std::vector<uint16_t>* PendingSet(const std::vector<std::pair<uint32_t, std::vector<uint16_t>>>& sets, uint32_t ulUid) {
    for (auto it = sets.rbegin(); it != sets.rend(); ++it) {
        if (it->first == ulUid) return &it->second;
    }
    return nullptr;
}

}  // namespace

ModResult ModChange::CheckUnchanged(uint32_t ulUid, uint64_t ullUnchangedSince) const {
    if (!Locked()) return MOD_FAILED;
    const ModIndexRef& ref = m_pPending->ref;
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    IndexedMessage* p = FindPresent(*ref.pMessages, ulUid);
    if (p == nullptr) return MOD_GONE;
    if (ullUnchangedSince != 0 && SeqOf(*ref.pMod, *p) > ullUnchangedSince) return MOD_MODIFIED;
    // Changed since the last commit and not yet given its sequence: it has changed.
    if (ullUnchangedSince != 0 && ((p->fModFlags ^ p->fFlags) & ~FLAG_BIT_RECENT) != 0) return MOD_MODIFIED;
    return MOD_OK;
}

KeywordFind ModChange::AddKeyword(const char* pszName, uint16_t* puIndex, bool bLimit) {
    if (!IsKeywordName(pszName)) return KEYWORD_INVALID;
    const ModIndexRef& ref = m_pPending->ref;
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    ModState& mod = *ref.pMod;
    for (size_t i = 0; i < mod.names.size(); i++) {
        if (SameIgnoringCase(mod.names[i], pszName)) {
            *puIndex = static_cast<uint16_t>(i);
            return KEYWORD_FOUND;
        }
    }
    if (!Locked()) return KEYWORD_LIMIT;
    if ((bLimit && mod.names.size() >= KeywordLimit()) || mod.names.size() >= 0xFFFF) return KEYWORD_LIMIT;
    *puIndex = static_cast<uint16_t>(mod.names.size());
    mod.names.push_back(pszName);
    return KEYWORD_NEW;
}

ModResult ModChange::SetKeywords(uint32_t ulUid, KeywordOp op, const std::vector<uint16_t>& keywords,
                                 uint64_t ullUnchangedSince) {
    ModResult result = CheckUnchanged(ulUid, ullUnchangedSince);
    if (result != MOD_OK) return result;
    const ModIndexRef& ref = m_pPending->ref;
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    ModState& mod = *ref.pMod;
    IndexedMessage* p = FindPresent(*ref.pMessages, ulUid);
    if (p == nullptr) return MOD_GONE;
    const std::vector<uint16_t>* pNow = PendingSet(m_pPending->keywordSets, ulUid);
    std::vector<uint16_t> now = pNow != nullptr ? *pNow : KeywordsHeld(mod, *p);
    std::vector<uint16_t> given;
    for (uint16_t u : keywords) {
        if (u < mod.names.size()) given.push_back(u);
    }
    std::sort(given.begin(), given.end());
    given.erase(std::unique(given.begin(), given.end()), given.end());
    std::vector<uint16_t> next;
    if (op == KEYWORDS_REPLACE) {
        next = given;
    } else if (op == KEYWORDS_ADD) {
        std::set_union(now.begin(), now.end(), given.begin(), given.end(), std::back_inserter(next));
    } else {
        std::set_difference(now.begin(), now.end(), given.begin(), given.end(), std::back_inserter(next));
    }
    if (next != now) m_pPending->keywordSets.emplace_back(ulUid, std::move(next));
    return MOD_OK;
}

ModResult ModChange::AddMessage(uint32_t ulUid, uint8_t fFlags, const std::vector<std::string>& names) {
    if (!Locked()) return MOD_FAILED;
    std::vector<uint16_t> keywords;
    for (const std::string& name : names) {
        uint16_t uIndex = 0;
        KeywordFind found = AddKeyword(name.c_str(), &uIndex, false);
        if (found == KEYWORD_FOUND || found == KEYWORD_NEW) keywords.push_back(uIndex);
    }
    std::sort(keywords.begin(), keywords.end());
    keywords.erase(std::unique(keywords.begin(), keywords.end()), keywords.end());
    m_pPending->added.emplace_back(ulUid, fFlags);
    m_pPending->keywordSets.emplace_back(ulUid, std::move(keywords));
    return MOD_OK;
}

bool ModChange::Commit(uint64_t* pullModSeq) {
    Pending& pending = *m_pPending;
    const ModIndexRef& ref = pending.ref;
    if (!Locked()) {
        pending.keywordSets.clear();
        pending.added.clear();
        return false;
    }
    ClearStoreFailure();
    std::string text;
    std::vector<uint32_t> taken;
    bool bWhole = false;
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        ModState& mod = *ref.pMod;
        bWhole = mod.bPendingOverflow;
    }
    // Too much changed to follow one by one: the file is compared with every message.
    if (bWhole && !LoadWhole(ref, pending.path)) return false;
    bool bTorn = false;
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        ModState& mod = *ref.pMod;
        std::vector<IndexedMessage>& messages = *ref.pMessages;
        taken.swap(mod.pending);
        std::sort(taken.begin(), taken.end());
        taken.erase(std::unique(taken.begin(), taken.end()), taken.end());
        uint64_t ullSeq = mod.ullHighest + 1;
        std::string names;
        for (size_t i = mod.nNamesRecorded; i < mod.names.size(); i++) AppendLine(names, "K %zu %s", i, mod.names[i].c_str());
        std::vector<uint32_t> gone;
        std::vector<uint32_t> recorded;  // UIDs whose line is written here
        for (uint32_t ulUid : taken) {
            IndexedMessage* p = FindPresent(messages, ulUid);
            if (p == nullptr) {
                if (mod.keywords.count(ulUid) != 0 || !KnownExpunged(mod, ulUid)) gone.push_back(ulUid);
                continue;
            }
            if (p->ulModSeq == 0) {
                // Recorded by another process before this index saw the file.
                auto found = mod.unseen.find(ulUid);
                if (found != mod.unseen.end()) {
                    SetSeq(mod, messages, *p, found->second.ullModSeq);
                    p->fModFlags = found->second.fFlags;
                    SetKeywordsOf(mod, *p, found->second.keywords);
                    mod.unseen.erase(found);
                    if (((p->fModFlags ^ p->fFlags) & ~FLAG_BIT_RECENT) == 0) continue;
                }
            } else if (((p->fModFlags ^ p->fFlags) & ~FLAG_BIT_RECENT) == 0) {
                continue;
            }
            recorded.push_back(ulUid);
        }
        for (const auto& [ulUid, keywords] : pending.keywordSets) {
            if (PendingSet(pending.keywordSets, ulUid) != &keywords) continue;  // a later set wins
            recorded.push_back(ulUid);
        }
        std::sort(recorded.begin(), recorded.end());
        recorded.erase(std::unique(recorded.begin(), recorded.end()), recorded.end());
        text = names;
        for (uint32_t ulUid : recorded) {
            IndexedMessage* p = FindPresent(messages, ulUid);
            const std::vector<uint16_t>* pSet = PendingSet(pending.keywordSets, ulUid);
            uint8_t fFlags = 0;
            if (p != nullptr) {
                fFlags = p->fFlags;
            } else {
                auto added = std::find_if(pending.added.rbegin(), pending.added.rend(),
                                          [&](const std::pair<uint32_t, uint8_t>& a) { return a.first == ulUid; });
                if (added == pending.added.rend()) continue;  // expunged meanwhile
                fFlags = added->second;
            }
            AppendMessageLine(text, ulUid, ullSeq, fFlags, pSet != nullptr ? *pSet : KeywordsHeld(mod, *p));
        }
        std::sort(gone.begin(), gone.end());
        for (size_t i = 0; i < gone.size();) {
            size_t nEnd = i;
            while (nEnd + 1 < gone.size() && gone[nEnd + 1] == gone[nEnd] + 1) nEnd++;
            AppendLine(text, "X %u %u %" PRIu64, gone[i], gone[nEnd], ullSeq);
            i = nEnd + 1;
        }
        bTorn = mod.bTornTail;
        if (text == names && names.empty()) {
            pending.keywordSets.clear();
            pending.added.clear();
            if (pullModSeq != nullptr) *pullModSeq = mod.ullHighest;
            return true;
        }
    }
    // A line a crash cut short would swallow the next one: the file is written whole first.
    bool bWritten = !bTorn || WriteWhole(ref, pending.path);
    if (bWritten) {
        bWritten = AppendToFile(pending.path.c_str(), text.data(), text.size(), MailFileMode(), MailFsyncOn());
        if (!bWritten) SetStoreFailure("the keyword state cannot be written");
    }
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    ModState& mod = *ref.pMod;
    if (!bWritten) {
        // Nothing of it is kept; what the index noticed waits for the next commit.
        mod.pending.insert(mod.pending.end(), taken.begin(), taken.end());
        mod.names.resize(mod.nNamesRecorded);
        pending.keywordSets.clear();
        pending.added.clear();
        return false;
    }
    // Taken in as another process would read it: one way for every line.
    ParsedFile parsed;
    ParseLines(text, &parsed);
    for (const ModRecord& r : parsed.records) ApplyRecord(ref, r);
    mod.ullOffset += text.size();
    mod.nAppended += parsed.records.size();
    NoteFileWritten(mod, pending.path);
    pending.keywordSets.clear();
    pending.added.clear();
    if (pullModSeq != nullptr) *pullModSeq = mod.ullHighest;
    return true;
}

void ModChange::CompactIfLong() {
    const ModIndexRef& ref = m_pPending->ref;
    bool bCompact = false;
    {
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        bCompact = ref.pMod->nAppended > std::max(COMPACT_MIN_RECORDS, ref.pMessages->size());
    }
    // Written whole again; a failure leaves the longer file, which says the same.
    if (bCompact) WriteWhole(ref, m_pPending->path);
}

// ---- The index's members ----------------------------------------------------------------------

std::unique_ptr<ModChange> MailboxIndex::BeginModChange() {
    std::unique_ptr<ModChange> pChange(new ModChange());
    ModChange::Pending& pending = *pChange->m_pPending;
    pending.ref = ModRef();
    pChange->m_pIndex = pending.ref.pSelf;
    pending.path = StatePath(m_path.c_str(), MOD_STATE_NAME);
    std::string lockPath = StatePath(m_path.c_str(), MOD_LOCK_NAME);
    if (pending.path.empty() || lockPath.empty()) return pChange;
    ClearStoreFailure();
    LockHandle hLock = LockPathExclusive(lockPath.c_str());
    if (hLock == INVALID_LOCK_HANDLE && CreateNewFile(lockPath.c_str(), MailFileMode())) {
        hLock = LockPathExclusive(lockPath.c_str());
    }
    if (hLock == INVALID_LOCK_HANDLE) hLock = LockPathExclusive(lockPath.c_str());
    if (hLock == INVALID_LOCK_HANDLE) {
        SetStoreFailure("the keyword state lock cannot be taken");
        return pChange;
    }
    pChange->m_hLock = hLock;
    if (!CatchUp(pending.ref, pending.path)) {
        pending.bUnloaded = true;
        return pChange;
    }
    // What the index noticed before this change began gets its own sequence: an UNCHANGEDSINCE
    // check must see it as a change.
    pChange->Commit();
    return pChange;
}

bool MailboxIndex::SyncModState() {
    if (Refresh() == LIST_FAILED) return false;
    if (ModStateCurrent()) return true;
    std::unique_ptr<ModChange> pChange = BeginModChange();
    return pChange->Locked() && pChange->Commit();
}

bool MailboxIndex::ModStateCurrent() const {
    // Where other machines write the file too (an index that polls), what they wrote is taken in
    // only under the lock, which orders it after their writes.
    if (!Watched()) return false;
    ModIndexRef ref = ModRef();
    std::string path = StatePath(m_path.c_str(), MOD_STATE_NAME);
    FileIdentity identity;
    // Looked at before the index is locked: a file written after this look is a change made
    // after the caller asked, as it would be had the lock been taken at this instant.
    if (path.empty() || !ReadFileIdentity(path.c_str(), &identity)) return false;
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    const ModState& mod = *ref.pMod;
    return mod.bLoaded && mod.pending.empty() && !mod.bPendingOverflow && !mod.bTornTail &&
           mod.nNamesRecorded == mod.names.size() && identity == mod.identity;
}

uint64_t MailboxIndex::HighestModSeq() {
    SyncModState();
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    return ref.pMod->bLoaded ? ref.pMod->ullHighest : 0;
}

uint64_t MailboxIndex::ModSeqOf(uint32_t ulUid) const {
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    IndexedMessage* p = FindPresent(*ref.pMessages, ulUid);
    return p != nullptr ? SeqOf(*ref.pMod, *p) : 0;
}

bool MailboxIndex::KeywordsOf(uint32_t ulUid, std::vector<uint16_t>* pKeywords) const {
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    pKeywords->clear();
    IndexedMessage* p = FindPresent(*ref.pMessages, ulUid);
    if (p != nullptr) *pKeywords = KeywordsHeld(*ref.pMod, *p);
    return !pKeywords->empty();
}

bool MailboxIndex::KeywordNamesOf(uint32_t ulUid, std::vector<std::string>* pNames) const {
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    pNames->clear();
    IndexedMessage* p = FindPresent(*ref.pMessages, ulUid);
    if (p == nullptr) return false;
    for (uint16_t u : KeywordsHeld(*ref.pMod, *p)) pNames->push_back(ref.pMod->names[u]);
    return !pNames->empty();
}

std::vector<std::string> MailboxIndex::KeywordNames() const {
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    return ref.pMod->names;
}

size_t MailboxIndex::KeywordCount() const {
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    return ref.pMod->names.size();
}

int MailboxIndex::FindKeyword(const char* pszName) const {
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    const std::vector<std::string>& names = ref.pMod->names;
    for (size_t i = 0; i < names.size(); i++) {
        if (SameIgnoringCase(names[i], pszName)) return static_cast<int>(i);
    }
    return -1;
}

void MailboxIndex::ChangedSince(uint64_t ullSince, std::vector<uint32_t>* pUids) {
    SyncModState();
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    const ModState& mod = *ref.pMod;
    pUids->clear();
    if (ullSince >= mod.ullChangesFloor) {
        auto it = std::upper_bound(mod.changes.begin(), mod.changes.end(), ullSince,
                                   [](uint64_t s, const std::pair<uint64_t, uint32_t>& e) { return s < e.first; });
        for (; it != mod.changes.end(); ++it) {
            IndexedMessage* p = FindPresent(*ref.pMessages, it->second);
            if (p != nullptr && SeqOf(mod, *p) > ullSince) pUids->push_back(it->second);
        }
        std::sort(pUids->begin(), pUids->end());
        pUids->erase(std::unique(pUids->begin(), pUids->end()), pUids->end());
        return;
    }
    for (const IndexedMessage& m : *ref.pMessages) {
        if (!(m.fState & INDEXED_REMOVED) && SeqOf(mod, m) > ullSince) pUids->push_back(m.ulUid);
    }
}

void MailboxIndex::ExpungedSince(uint64_t ullSince, std::vector<UidRange>* pRanges) {
    SyncModState();
    // Every UID ever given, for when the history does not reach back far enough.
    uint32_t ulUidNext = ReadUidNext(m_path.c_str());
    ModIndexRef ref = ModRef();
    std::lock_guard<std::mutex> lock(*ref.pMutex);
    const ModState& mod = *ref.pMod;
    const std::vector<IndexedMessage>& messages = *ref.pMessages;
    pRanges->clear();
    std::vector<UidRange> wide;
    if (ullSince < mod.ullExpungeFloor) {
        uint32_t ulHighest = std::max(*ref.pulHighestUid, ulUidNext > 1 ? ulUidNext - 1 : 0u);
        for (const ExpungedRange& range : mod.expunged) ulHighest = std::max(ulHighest, range.ulHigh);
        if (ulHighest != 0) wide.push_back(UidRange{1, ulHighest});
    } else {
        for (auto it = mod.expunged.rbegin(); it != mod.expunged.rend() && it->ullModSeq > ullSince; ++it) {
            wide.push_back(UidRange{it->ulLow, it->ulHigh});
        }
        std::sort(wide.begin(), wide.end(), [](const UidRange& a, const UidRange& b) { return a.ulLow < b.ulLow; });
    }
    // Merged, and with every present message cut out: a client told that a present message
    // vanished would drop it.
    for (const UidRange& range : wide) {
        uint64_t ullFrom = range.ulLow;
        if (!pRanges->empty() && pRanges->back().ulHigh >= ullFrom) ullFrom = static_cast<uint64_t>(pRanges->back().ulHigh) + 1;
        if (ullFrom > range.ulHigh) continue;
        auto it = std::lower_bound(messages.begin(), messages.end(), static_cast<uint32_t>(ullFrom),
                                   [](const IndexedMessage& m, uint32_t u) { return m.ulUid < u; });
        for (; it != messages.end() && it->ulUid <= range.ulHigh; ++it) {
            if (it->fState & INDEXED_REMOVED) continue;
            if (it->ulUid > ullFrom) {
                UidRange piece{static_cast<uint32_t>(ullFrom), it->ulUid - 1};
                if (!pRanges->empty() && static_cast<uint64_t>(pRanges->back().ulHigh) + 1 == piece.ulLow) {
                    pRanges->back().ulHigh = piece.ulHigh;
                } else {
                    pRanges->push_back(piece);
                }
            }
            ullFrom = static_cast<uint64_t>(it->ulUid) + 1;
        }
        if (ullFrom <= range.ulHigh) {
            UidRange piece{static_cast<uint32_t>(ullFrom), range.ulHigh};
            if (!pRanges->empty() && static_cast<uint64_t>(pRanges->back().ulHigh) + 1 == piece.ulLow) {
                pRanges->back().ulHigh = piece.ulHigh;
            } else {
                pRanges->push_back(piece);
            }
        }
    }
}

bool MailboxIndex::HasKeywords() {
    std::string path = StatePath(m_path.c_str(), MOD_STATE_NAME);
    {
        ModIndexRef ref = ModRef();
        std::lock_guard<std::mutex> lock(*ref.pMutex);
        if (!ref.pMod->bLoaded && (path.empty() || !PathExists(path.c_str()))) return false;
    }
    SyncModState();
    return KeywordCount() > 0;
}

uint8_t FlagBitsOfCode(const char* pszCode) {
    uint8_t fFlags = 0;
    for (int i = 0; i < 6 && pszCode[i] != '\0'; i++) {
        if (pszCode[i] == '1') fFlags = static_cast<uint8_t>(fFlags | (1u << i));
    }
    return fFlags;
}

bool KeywordsFit(const char* pszMailbox, const std::vector<std::string>& names) {
    if (names.empty()) return true;
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(pszMailbox, &result);
    if (result != LIST_OK) return true;  // the store of the message says what is wrong
    pIndex->SyncModState();
    std::vector<std::string> fresh;
    for (const std::string& name : names) {
        if (pIndex->FindKeyword(name.c_str()) >= 0) continue;
        bool bSeen = std::any_of(fresh.begin(), fresh.end(), [&](const std::string& f) { return SameIgnoringCase(f, name.c_str()); });
        if (!bSeen) fresh.push_back(name);
    }
    return fresh.empty() || pIndex->KeywordCount() + fresh.size() <= KeywordLimit();
}

bool RecordPlacedKeywords(const char* pszMailbox, const std::vector<PlacedMessage>& placed) {
    bool bAny = std::any_of(placed.begin(), placed.end(), [](const PlacedMessage& m) { return !m.keywords.empty(); });
    if (!bAny) return true;
    ListResult result;
    std::shared_ptr<MailboxIndex> pIndex = MailboxIndex::Open(pszMailbox, &result);
    if (result == LIST_FAILED) {
        SetStoreFailure("the mailbox cannot be read");
        return false;
    }
    // Named a moment ago: the index may not have read the directory's event yet.
    for (const PlacedMessage& m : placed) pIndex->NoteAdded(m.ulUid, m.fFlags);
    std::unique_ptr<ModChange> pChange = pIndex->BeginModChange();
    if (!pChange->Locked()) return false;
    for (const PlacedMessage& m : placed) {
        if (!m.keywords.empty() && pChange->AddMessage(m.ulUid, m.fFlags, m.keywords) != MOD_OK) return false;
    }
    return pChange->Commit();
}

std::string SetAsideModState(const char* pszMailbox) {
    std::string path = StatePath(pszMailbox, MOD_STATE_NAME);
    std::string lockPath = StatePath(pszMailbox, MOD_LOCK_NAME);
    std::string state;
    bool bMissing = false;
    if (path.empty() || lockPath.empty()) return state;
    if (ReadFrom(path, 0, &state, &bMissing)) DeleteFileEntry(path.c_str());
    DeleteFileEntry(lockPath.c_str());
    return state;
}

void RestoreModState(const char* pszMailbox, const std::string& state) {
    std::string path = StatePath(pszMailbox, MOD_STATE_NAME);
    if (state.empty() || path.empty()) return;
    ReplaceFileContent(path.c_str(), state.data(), state.size(), MailFileMode(), MailFsyncOn());
}
