// Evaluation of the SEARCH key tree against one message. Keys are answered yes, no or not yet
// known; the file is read only while the answer is open, and once.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "imap/flags.h"
#include "imap/keywords.h"
#include "imap/mime.h"
#include "imap/search.h"
#include "imap/search_text.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/text.h"
#include "store/store.h"

namespace {

enum Answer : int8_t { ANSWER_NO = 0, ANSWER_YES = 1, ANSWER_OPEN = 2 };

constexpr size_t READ_SIZE = 64 * 1024;
// Most searches need the header only, which the first small read usually holds whole.
constexpr size_t FIRST_READ_SIZE = 8 * 1024;
// A header field longer than this is searched in its first part only.
constexpr size_t FIELD_LIMIT = 64 * 1024;
constexpr size_t MAX_BOUNDARIES = 32;

bool IsContentKey(SearchKind kind) {
    return kind == SK_HEADER || kind == SK_ADDRESS || kind == SK_BODY || kind == SK_TEXT || kind == SK_SENTBEFORE ||
           kind == SK_SENTON || kind == SK_SENTSINCE;
}

bool DayMatches(SearchKind kind, int64_t llDay, int64_t llKey) {
    switch (kind) {
        case SK_BEFORE:
        case SK_SENTBEFORE:
            return llDay < llKey;
        case SK_ON:
        case SK_SENTON:
            return llDay == llKey;
        default:
            return llDay >= llKey;
    }
}

std::string ParamValue(const std::vector<MimeParam>& params, const char* pszName) {
    for (const MimeParam& param : params) {
        if (StrICmp(param.name.c_str(), pszName) == 0) return param.value;
    }
    return "";
}

class Evaluation {
public:
    Evaluation(const SearchQuery& query, const SearchMessage& message)
        : query_(query), message_(message) {}

    Answer Evaluate(int nNode) {
        const SearchNode& node = query_.nodes[static_cast<size_t>(nNode)];
        switch (node.kind) {
            case SK_AND:
            case SK_OR: {
                // AND: any no decides; OR: any yes decides.
                Answer decisive = node.kind == SK_AND ? ANSWER_NO : ANSWER_YES;
                Answer result = node.kind == SK_AND ? ANSWER_YES : ANSWER_NO;
                for (int nChild : node.children) {
                    Answer answer = Evaluate(nChild);
                    if (answer == decisive) return decisive;
                    if (answer == ANSWER_OPEN) result = ANSWER_OPEN;
                }
                return result;
            }
            case SK_NOT: {
                Answer answer = Evaluate(node.children[0]);
                return answer == ANSWER_OPEN ? ANSWER_OPEN : (answer == ANSWER_YES ? ANSWER_NO : ANSWER_YES);
            }
            case SK_CONST:
                return node.bValue ? ANSWER_YES : ANSWER_NO;
            case SK_SEQUENCES:
                return Of(SetContains(node.set, message_.ulSequence, message_.ulMaxSequence));
            case SK_UIDS:
                return Of(SetContains(node.set, message_.ulUid, message_.ulMaxUid));
            case SK_FLAG:
                return Of(message_.pszFlags[node.nFlag] == (node.bValue ? '1' : '0'));
            case SK_KEYWORD:
                return Of(HasKeyword(node.strName) == node.bValue);
            case SK_MODSEQ:
                return Of(message_.ullModSeq >= node.ullNumber);
            case SK_LARGER:
                return Of(Stat() && Size(node.ullNumber) > node.ullNumber);
            case SK_SMALLER:
                return Of(Stat() && Size(node.ullNumber) < node.ullNumber);
            case SK_BEFORE:
            case SK_ON:
            case SK_SINCE:
                return Of(Stat() && DayMatches(node.kind, llInternalDay_, static_cast<int64_t>(node.ullNumber)));
            default:
                return aContent_.empty() ? ANSWER_OPEN : static_cast<Answer>(aContent_[static_cast<size_t>(nNode)]);
        }
    }

    void SetContent(int nNode, bool bYes) { Contents()[static_cast<size_t>(nNode)] = bYes ? ANSWER_YES : ANSWER_NO; }
    bool IsOpen(int nNode) const {
        return aContent_.empty() || aContent_[static_cast<size_t>(nNode)] == ANSWER_OPEN;
    }
    // Whatever the file did not show is not in it.
    void CloseAll() {
        for (int8_t& answer : Contents()) {
            if (answer == ANSWER_OPEN) answer = ANSWER_NO;
        }
    }

private:
    static Answer Of(bool b) { return b ? ANSWER_YES : ANSWER_NO; }

    bool HasKeyword(const std::string& strName) const {
        for (const char* p = message_.pszKeywords; p != nullptr && *p != '\0';) {
            size_t nWord = strcspn(p, " ");
            if (nWord == strName.size() && StrNICmp(p, strName.c_str(), nWord) == 0) return true;
            p += nWord;
            if (*p == ' ') p++;
        }
        return false;
    }

    // One stat per message, and only when a size or date is asked.
    bool Stat() {
        if (!bStatDone_) {
            bStatDone_ = true;
            FILETIME ftWrite = 0;
            bStatOk_ = StatFile(message_.pszPath, &ullFileSize_, &ftWrite);
            // The day INTERNALDATE shows: local standard time.
            int64_t llSeconds = (static_cast<int64_t>(ftWrite) - static_cast<int64_t>(FILETIME_UNIX_EPOCH)) /
                                static_cast<int64_t>(FILETIME_UNITS_PER_SECOND);
            llSeconds -= message_.lSecondsWest;
            llInternalDay_ = llSeconds >= 0 ? llSeconds / 86400 : -((-llSeconds + 86399) / 86400);
        }
        return bStatOk_;
    }

    // The message's size as RFC822.SIZE counts it. A terminating "." line stored by a mail
    // transfer agent is not counted, so only a file within three bytes of the bound is opened to
    // see whether it ends in one.
    uint64_t Size(uint64_t ullBound) {
        uint64_t ullFile = ullFileSize_;
        if (ullFile < ullBound || ullFile > ullBound + 3) return ullFile;
        if (!bExactSizeDone_) {
            bExactSizeDone_ = true;
            ullExactSize_ = ullFile;
            UniqueFile file(fopen(message_.pszPath, "rb"));
            if (file && !MessageContentSize(file.get(), &ullExactSize_)) ullExactSize_ = ullFile;
        }
        return ullExactSize_;
    }

    const SearchQuery& query_;
    const SearchMessage& message_;
    // The content keys' answers, all open until the first is known: a search that never looks at
    // content (flags, sets, sizes) allocates nothing per message.
    std::vector<int8_t>& Contents() {
        if (aContent_.empty()) aContent_.assign(query_.nodes.size(), ANSWER_OPEN);
        return aContent_;
    }
    std::vector<int8_t> aContent_;
    bool bExactSizeDone_ = false;
    uint64_t ullExactSize_ = 0;
    bool bStatDone_ = false;
    bool bStatOk_ = false;
    uint64_t ullFileSize_ = 0;
    int64_t llInternalDay_ = 0;
};

// Reads a file in lines; a line longer than the buffer comes in pieces.
class LineReader {
public:
    explicit LineReader(FILE* pFile) : pFile_(pFile), buffer_(new char[READ_SIZE]) {}

    // The next line or piece; *pbEnd tells whether it ends the line, *pbStart whether it begins one.
    bool Next(const char** pp, size_t* pn, bool* pbStart, bool* pbEnd) {
        *pbStart = bAtStart_;
        for (;;) {
            char* pLf = static_cast<char*>(memchr(buffer_.get() + nPos_, '\n', nFill_ - nPos_));
            if (pLf != nullptr) {
                *pp = buffer_.get() + nPos_;
                *pn = static_cast<size_t>(pLf + 1 - *pp);
                nPos_ += *pn;
                *pbEnd = bAtStart_ = true;
                return true;
            }
            if (bEof_ || (nPos_ == 0 && nFill_ == READ_SIZE)) {
                if (nPos_ == nFill_) return false;
                *pp = buffer_.get() + nPos_;
                *pn = nFill_ - nPos_;
                nPos_ = nFill_;
                *pbEnd = bEof_;
                bAtStart_ = bEof_;
                return true;
            }
            memmove(buffer_.get(), buffer_.get() + nPos_, nFill_ - nPos_);
            nFill_ -= nPos_;
            nPos_ = 0;
            size_t nWant = std::min(READ_SIZE - nFill_, nNextRead_);
            nNextRead_ = READ_SIZE;
            size_t nRead = fread(buffer_.get() + nFill_, 1, nWant, pFile_);
            if (nRead == 0) bEof_ = true;
            nFill_ += nRead;
        }
    }

private:
    FILE* pFile_;
    std::unique_ptr<char[]> buffer_;
    size_t nPos_ = 0;
    size_t nFill_ = 0;
    size_t nNextRead_ = FIRST_READ_SIZE;
    bool bEof_ = false;
    bool bAtStart_ = true;
};

struct PartBoundary {
    std::string strMarker;  // "--" and the boundary
    bool bDigest;           // its parts are messages unless they say otherwise
};

// Walks one message: its header, then every part, decoding bodies, and records the content
// keys' answers in the Evaluation as they are found.
class ContentScan {
public:
    ContentScan(const SearchQuery& query, Evaluation* pEvaluation) : query_(query), pEval_(pEvaluation) {
        for (size_t i = 0; i < query.nodes.size(); i++) {
            const SearchNode& node = query.nodes[i];
            if (node.kind == SK_BODY || node.kind == SK_TEXT) {
                needles_.push_back(NeedleKey{static_cast<int>(i), node.kind == SK_TEXT, SearchNeedle()});
                needles_.back().needle.Init(node.strValue);
            }
        }
    }

    void Run(const char* pszPath) {
        UniqueFile file(fopen(pszPath, "rb"));
        if (file) {
            // The reader has its own buffer; a second one in the FILE would only copy twice.
            setvbuf(file.get(), nullptr, _IONBF, 0);
            LineReader reader(file.get());
            const char* p = nullptr;
            size_t n = 0;
            bool bStart = false, bEnd = false;
            while (!bDecided_ && reader.Next(&p, &n, &bStart, &bEnd)) {
                Line(p, n, bStart, bEnd);
            }
            if (!bDecided_ && phase_ == PHASE_HEADER) {
                EndField();
                if (bTopHeader_) EndTopHeader();
            }
        }
        pEval_->CloseAll();
    }

private:
    enum Phase { PHASE_HEADER, PHASE_BODY, PHASE_SKIP };

    struct NeedleKey {
        int nNode;
        bool bText;  // TEXT also searches the top header
        SearchNeedle needle;
    };

    void Line(const char* p, size_t n, bool bStart, bool bEnd) {
        if (bStart && !boundaries_.empty() && n >= 2 && p[0] == '-' && p[1] == '-' && Delimiter(p, n)) return;
        switch (phase_) {
            case PHASE_HEADER:
                HeaderLine(p, n, bStart, bEnd);
                return;
            case PHASE_BODY:
                strDecoded_.clear();
                decoder_.Line(p, n, bEnd, &strDecoded_);
                FeedBody(strDecoded_.data(), strDecoded_.size());
                return;
            case PHASE_SKIP:
                return;
        }
    }

    // A delimiter line of an open multipart: ends the current part (and any nested in it).
    bool Delimiter(const char* p, size_t n) {
        size_t nText = n;
        while (nText > 0 && (p[nText - 1] == '\n' || p[nText - 1] == '\r' || p[nText - 1] == ' ' || p[nText - 1] == '\t')) {
            nText--;
        }
        for (size_t i = boundaries_.size(); i-- > 0;) {
            const std::string& strMarker = boundaries_[i].strMarker;
            if (nText < strMarker.size() || memcmp(p, strMarker.data(), strMarker.size()) != 0) continue;
            bool bClose = nText == strMarker.size() + 2 && p[nText - 2] == '-' && p[nText - 1] == '-';
            if (nText != strMarker.size() && !bClose) continue;
            if (phase_ == PHASE_HEADER) EndField();
            RestartNeedles();
            bool bDigest = boundaries_[i].bDigest;
            boundaries_.resize(bClose ? i : i + 1);
            if (bClose) {
                phase_ = PHASE_SKIP;  // the epilogue
            } else {
                StartHeader(bDigest);
            }
            return true;
        }
        return false;
    }

    void StartHeader(bool bDigest) {
        phase_ = PHASE_HEADER;
        strField_.clear();
        strContentType_ = bDigest ? "message/rfc822" : "text/plain";
        strEncoding_.clear();
    }

    void HeaderLine(const char* p, size_t n, bool bStart, bool bEnd) {
        size_t nText = n;
        if (bEnd) {
            while (nText > 0 && (p[nText - 1] == '\n' || p[nText - 1] == '\r')) nText--;
        }
        if (bStart && bEnd && nText == 0) {
            EndField();
            EndHeader();
            return;
        }
        bool bContinuation = !bStart || p[0] == ' ' || p[0] == '\t';
        if (!bContinuation) EndField();
        if (strField_.size() < FIELD_LIMIT) strField_.append(p, std::min(nText, FIELD_LIMIT - strField_.size()));
    }

    // One whole (unfolded) header field.
    void EndField() {
        if (strField_.empty()) return;
        size_t nColon = strField_.find(':');
        std::string strName = strField_.substr(0, nColon == std::string::npos ? 0 : nColon);
        while (!strName.empty() && (strName.back() == ' ' || strName.back() == '\t')) strName.pop_back();
        const char* pValue = nColon == std::string::npos ? strField_.c_str() : SkipBlanks(strField_.c_str() + nColon + 1);
        size_t nValue = strlen(pValue);
        while (nValue > 0 && (pValue[nValue - 1] == ' ' || pValue[nValue - 1] == '\t')) nValue--;

        if (StrICmp(strName.c_str(), "Content-Type") == 0) strContentType_.assign(pValue, nValue);
        if (StrICmp(strName.c_str(), "Content-Transfer-Encoding") == 0) strEncoding_.assign(pValue, nValue);

        bool bNeedsText = false;
        for (NeedleKey& key : needles_) bNeedsText = bNeedsText || (!key.needle.Found() && (key.bText || !bTopHeader_));
        bool bNeedsField = bTopHeader_ && !strName.empty() && WantsField(strName);
        if (bNeedsText || bNeedsField) {
            std::string strDecoded = DecodeHeaderText(pValue, nValue);
            if (bNeedsField) TopField(strName, pValue, nValue, strDecoded);
            if (bNeedsText) {
                // The field as a reader sees it: its name and the decoded value.
                std::string strText = strName + ": " + strDecoded + "\r\n";
                for (NeedleKey& key : needles_) {
                    if (!key.bText && bTopHeader_) continue;
                    key.needle.Restart();
                    if (key.needle.Feed(strText.data(), strText.size())) Found(key.nNode);
                }
            }
        }
        strField_.clear();
    }

    // Whether a key still open reads this field of the top header.
    bool WantsField(const std::string& strName) const {
        bool bDate = StrICmp(strName.c_str(), "Date") == 0;
        for (size_t i = 0; i < query_.nodes.size(); i++) {
            const SearchNode& node = query_.nodes[i];
            if (!pEval_->IsOpen(static_cast<int>(i))) continue;
            if ((node.kind == SK_HEADER || node.kind == SK_ADDRESS) && StrICmp(node.strName.c_str(), strName.c_str()) == 0) {
                return true;
            }
            if (bDate && (node.kind == SK_SENTBEFORE || node.kind == SK_SENTON || node.kind == SK_SENTSINCE)) return true;
        }
        return false;
    }

    void TopField(const std::string& strName, const char* pValue, size_t nValue, const std::string& strDecoded) {
        bool bDate = StrICmp(strName.c_str(), "Date") == 0 && !bDateSeen_;
        int64_t llDay = 0;
        bool bDateValid = false;
        if (bDate) {
            bDateSeen_ = true;
            std::string strDate(pValue, nValue);
            bDateValid = ParseHeaderDate(strDate.c_str(), &llDay);
        }
        std::string strAddresses;
        for (size_t i = 0; i < query_.nodes.size(); i++) {
            const SearchNode& node = query_.nodes[i];
            int nNode = static_cast<int>(i);
            if (!pEval_->IsOpen(nNode)) continue;
            if (node.kind == SK_SENTBEFORE || node.kind == SK_SENTON || node.kind == SK_SENTSINCE) {
                if (bDate) Settle(nNode, bDateValid && DayMatches(node.kind, llDay, static_cast<int64_t>(node.ullNumber)));
                continue;
            }
            if (node.kind != SK_HEADER && node.kind != SK_ADDRESS) continue;
            if (StrICmp(node.strName.c_str(), strName.c_str()) != 0) continue;
            bool bMatch = ContainsFolded(strDecoded, node.strValue);
            if (!bMatch && node.kind == SK_ADDRESS) {
                if (strAddresses.empty()) strAddresses = NormaliseAddresses(strDecoded);
                bMatch = ContainsFolded(strAddresses, node.strValue);
            }
            // A later field of the same name may still match.
            if (bMatch) Found(nNode);
        }
    }

    void EndTopHeader() {
        bTopHeader_ = false;
        for (size_t i = 0; i < query_.nodes.size(); i++) {
            SearchKind kind = query_.nodes[i].kind;
            if (kind != SK_BODY && kind != SK_TEXT && IsContentKey(kind) && pEval_->IsOpen(static_cast<int>(i))) {
                pEval_->SetContent(static_cast<int>(i), false);
            }
        }
        CheckDecided();
    }

    void EndHeader() {
        if (bTopHeader_) EndTopHeader();
        if (bDecided_) return;
        std::string strType;
        std::vector<MimeParam> params;
        ParseMimeValue(strContentType_, &strType, &params);
        bool bMultipart = StartsWithNoCase(strType.c_str(), "multipart/");
        std::string strBoundary = bMultipart ? ParamValue(params, "boundary") : "";
        if (bMultipart && !strBoundary.empty() && boundaries_.size() < MAX_BOUNDARIES) {
            boundaries_.push_back(PartBoundary{"--" + strBoundary, StrICmp(strType.c_str(), "multipart/digest") == 0});
            phase_ = PHASE_SKIP;  // the preamble
            return;
        }
        bool bEncoded = !strEncoding_.empty() && StrNICmp(strEncoding_.c_str(), "7bit", 4) != 0 &&
                        StrNICmp(strEncoding_.c_str(), "8bit", 4) != 0 && StrNICmp(strEncoding_.c_str(), "binary", 6) != 0;
        if (StrICmp(strType.c_str(), "message/rfc822") == 0 && !bEncoded) {
            StartHeader(false);  // the enclosed message's own header
            return;
        }
        // Only text is searched: attachments in other types would match by accident.
        if (!StartsWithNoCase(strType.c_str(), "text/") && !strType.empty() && !bMultipart) {
            phase_ = PHASE_SKIP;
            return;
        }
        phase_ = PHASE_BODY;
        BodyDecoder::Encoding encoding = BodyDecoder::IDENTITY;
        if (StrNICmp(strEncoding_.c_str(), "base64", 6) == 0) encoding = BodyDecoder::BASE64;
        if (StrNICmp(strEncoding_.c_str(), "quoted-printable", 16) == 0) encoding = BodyDecoder::QUOTED_PRINTABLE;
        decoder_.Start(encoding);
        std::string strCharset = ParamValue(params, "charset");
        converter_.Close();
        if (!IsUtf8Compatible(strCharset.c_str())) converter_.Open(strCharset.c_str());
        strPending_.clear();
    }

    void FeedBody(const char* p, size_t n) {
        if (converter_.IsOpen()) {
            // An incomplete multibyte sequence at the end of a line waits for the next one.
            strPending_.append(p, n);
            const char* pIn = strPending_.data();
            size_t nIn = strPending_.size();
            char szOut[4096];
            while (nIn > 0) {
                size_t nBefore = nIn;
                size_t nOut = converter_.Convert(&pIn, &nIn, szOut, sizeof(szOut));
                FeedNeedles(szOut, nOut);
                if (nOut == 0 && nIn == nBefore) break;
            }
            strPending_.erase(0, strPending_.size() - nIn);
            if (strPending_.size() > 16) strPending_.clear();
            return;
        }
        FeedNeedles(p, n);
    }

    void FeedNeedles(const char* p, size_t n) {
        for (NeedleKey& key : needles_) {
            if (!key.needle.Found() && key.needle.Feed(p, n)) Found(key.nNode);
        }
    }

    void RestartNeedles() {
        for (NeedleKey& key : needles_) key.needle.Restart();
        converter_.Reset();
        strPending_.clear();
    }

    void Found(int nNode) {
        pEval_->SetContent(nNode, true);
        CheckDecided();
    }
    void Settle(int nNode, bool bYes) {
        pEval_->SetContent(nNode, bYes);
        CheckDecided();
    }
    void CheckDecided() { bDecided_ = pEval_->Evaluate(query_.nRoot) != ANSWER_OPEN; }

    const SearchQuery& query_;
    Evaluation* pEval_;
    std::vector<NeedleKey> needles_;
    std::vector<PartBoundary> boundaries_;
    Phase phase_ = PHASE_HEADER;
    bool bTopHeader_ = true;
    bool bDateSeen_ = false;
    bool bDecided_ = false;
    std::string strField_;
    std::string strContentType_ = "text/plain";
    std::string strEncoding_;
    std::string strDecoded_;
    std::string strPending_;
    BodyDecoder decoder_;
    CharsetConverter converter_;
};

// The field a kept value answers for a header or address key, or FIELD_COUNT when none does.
KeptSearchFields::Field KeptFieldOf(const SearchNode& node) {
    static const char* const kNames[] = {"From", "To", "Cc", "Bcc", "Subject"};
    for (int i = 0; i <= KeptSearchFields::SUBJECT; i++) {
        if (StrICmp(node.strName.c_str(), kNames[i]) == 0) return static_cast<KeptSearchFields::Field>(i);
    }
    return KeptSearchFields::FIELD_COUNT;
}

// Whether the kept fields answer the node: a header or address key on a kept field (for a text
// without a NUL, which the finder would match across two values), or a sent date.
bool KeptAnswers(const SearchNode& node) {
    if (node.kind == SK_SENTBEFORE || node.kind == SK_SENTON || node.kind == SK_SENTSINCE) return true;
    if (node.kind != SK_HEADER && node.kind != SK_ADDRESS) return false;
    return KeptFieldOf(node) != KeptSearchFields::FIELD_COUNT && node.strValue.find('\0') == std::string::npos;
}

bool ValuesContain(std::string_view values, const std::string& strFolded) {
    // An empty text matches any field of the name, as the finder starts out found.
    if (strFolded.empty()) return !values.empty();
    return values.find(strFolded) != std::string_view::npos;
}

bool KeptMatches(const SearchNode& node, const KeptSearchFields& kept) {
    if (node.kind == SK_SENTBEFORE || node.kind == SK_SENTON || node.kind == SK_SENTSINCE) {
        return kept.bSentDate && DayMatches(node.kind, kept.llSentDay, static_cast<int64_t>(node.ullNumber));
    }
    KeptSearchFields::Field nField = KeptFieldOf(node);
    if (ValuesContain(kept.Values(nField), node.strValue)) return true;
    return node.kind == SK_ADDRESS && nField != KeptSearchFields::SUBJECT &&
           ValuesContain(kept.Values(static_cast<KeptSearchFields::Field>(nField + KeptSearchFields::FROM_BARE)),
                         node.strValue);
}

// Splits a top header into its unfolded fields as ContentScan does: a line that starts with a
// blank goes on with its field, a field is cut at FIELD_LIMIT, a blank line ends the header.
template <typename Fn>
void ForEachTopField(std::string_view header, Fn&& fnField) {
    std::string strField;
    auto end_field = [&]() {
        if (strField.empty()) return;
        size_t nColon = strField.find(':');
        std::string strName = strField.substr(0, nColon == std::string::npos ? 0 : nColon);
        while (!strName.empty() && (strName.back() == ' ' || strName.back() == '\t')) strName.pop_back();
        const char* pValue = nColon == std::string::npos ? strField.c_str() : SkipBlanks(strField.c_str() + nColon + 1);
        size_t nValue = strlen(pValue);
        while (nValue > 0 && (pValue[nValue - 1] == ' ' || pValue[nValue - 1] == '\t')) nValue--;
        if (!strName.empty()) fnField(strName, pValue, nValue);
        strField.clear();
    };
    size_t nAt = 0;
    while (nAt < header.size()) {
        size_t nEol = header.find('\n', nAt);
        size_t nNext = nEol == std::string_view::npos ? header.size() : nEol + 1;
        std::string_view line = header.substr(nAt, nNext - nAt);
        nAt = nNext;
        size_t nText = line.size();
        while (nText > 0 && (line[nText - 1] == '\n' || line[nText - 1] == '\r')) nText--;
        if (nText == 0 && nEol != std::string_view::npos) break;
        if (line[0] != ' ' && line[0] != '\t') end_field();
        if (strField.size() < FIELD_LIMIT) strField.append(line.data(), std::min(nText, FIELD_LIMIT - strField.size()));
    }
    end_field();
}

}  // namespace

KeptSearchFields SearchFieldsFromHeader(std::string_view header) {
    static const char* const kNames[] = {"From", "To", "Cc", "Bcc", "Subject"};
    KeptSearchFields kept;
    std::string astrValues[KeptSearchFields::FIELD_COUNT];
    bool bDateSeen = false;
    bool bNul = header.find('\0') != std::string_view::npos;
    ForEachTopField(header, [&](const std::string& strName, const char* pValue, size_t nValue) {
        if (StrICmp(strName.c_str(), "Date") == 0) {
            // Only the first Date field counts, as in the file.
            if (!bDateSeen) kept.bSentDate = ParseHeaderDate(std::string(pValue, nValue).c_str(), &kept.llSentDay);
            bDateSeen = true;
            return;
        }
        for (int i = 0; i <= KeptSearchFields::SUBJECT; i++) {
            if (StrICmp(strName.c_str(), kNames[i]) != 0) continue;
            std::string strDecoded = DecodeHeaderText(pValue, nValue);
            bNul = bNul || strDecoded.find('\0') != std::string::npos;
            if (i != KeptSearchFields::SUBJECT) {
                std::string strBare = NormaliseAddresses(strDecoded);
                // The same text would only match again.
                if (strBare != strDecoded) {
                    FoldSearchText(&strBare);
                    astrValues[i + KeptSearchFields::FROM_BARE] += strBare;
                    astrValues[i + KeptSearchFields::FROM_BARE].push_back('\0');
                }
            }
            FoldSearchText(&strDecoded);
            astrValues[i] += strDecoded;
            astrValues[i].push_back('\0');
        }
    });
    size_t nTotal = 0;
    for (const std::string& strValues : astrValues) nTotal += strValues.size();
    kept.strText.reserve(nTotal);
    for (int i = 0; i < KeptSearchFields::FIELD_COUNT; i++) {
        kept.strText += astrValues[i];
        kept.aulEnd[i] = static_cast<uint32_t>(kept.strText.size());
    }
    kept.bComplete = !bNul;
    return kept;
}

bool SearchReadsEntry(const SearchQuery& query) {
    for (const SearchNode& node : query.nodes) {
        if (node.kind == SK_LARGER || node.kind == SK_SMALLER || node.kind == SK_BEFORE || node.kind == SK_ON ||
            node.kind == SK_SINCE) {
            return true;
        }
    }
    return false;
}

bool SearchAsksModSeq(const SearchQuery& query) {
    for (const SearchNode& node : query.nodes) {
        if (node.kind == SK_MODSEQ) return true;
    }
    return false;
}

bool SearchReadsContent(const SearchQuery& query) {
    for (const SearchNode& node : query.nodes) {
        if (IsContentKey(node.kind)) return true;
    }
    return false;
}

bool SearchMatches(const SearchQuery& query, const SearchMessage& message) {
    Evaluation evaluation(query, message);
    Answer answer = evaluation.Evaluate(query.nRoot);
    if (answer != ANSWER_OPEN) return answer == ANSWER_YES;
    if (message.pfnKept != nullptr) {
        bool bAll = true;
        bool bAny = false;
        for (const SearchNode& node : query.nodes) {
            if (!IsContentKey(node.kind)) continue;
            bool bKept = KeptAnswers(node);
            bAll = bAll && bKept;
            bAny = bAny || bKept;
        }
        // A header read just for a part of the answer would only add to the file's scan.
        const KeptSearchFields* pKept = bAny ? message.pfnKept(message.pContext, bAll) : nullptr;
        if (pKept != nullptr && pKept->bComplete) {
            for (size_t i = 0; i < query.nodes.size(); i++) {
                const SearchNode& node = query.nodes[i];
                if (KeptAnswers(node)) evaluation.SetContent(static_cast<int>(i), KeptMatches(node, *pKept));
            }
            answer = evaluation.Evaluate(query.nRoot);
            if (answer != ANSWER_OPEN) return answer == ANSWER_YES;
        }
    }
    ContentScan scan(query, &evaluation);
    scan.Run(message.pszPath);
    return evaluation.Evaluate(query.nRoot) == ANSWER_YES;
}
