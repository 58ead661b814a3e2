// One pass over a message file that records where each MIME part's header and body lie.
#include "imap/mime.h"

#include <climits>
#include <cstring>

#include "platform/text.h"

namespace {

// Lines are scanned in a window of this size; a longer line is still measured whole, only its
// first bytes are looked at (a delimiter or a header line never needs more).
constexpr size_t WINDOW_SIZE = 64 * 1024;

bool SeekTo(FILE* pFile, uint64_t ullOffset) {
    return ullOffset <= static_cast<uint64_t>(LONG_MAX) && fseek(pFile, static_cast<long>(ullOffset), SEEK_SET) == 0;
}

struct SourceLine {
    uint64_t ullOffset;
    uint64_t ullLength;
    const char* pHead;
    size_t nHead;
    int nEnd;
};

class LineReader {
public:
    LineReader(FILE* pFile, uint64_t ullLimit) : pFile_(pFile), ullLimit_(ullLimit), buffer_(WINDOW_SIZE) {}

    // The next line: its offset, its whole length (line end included), the length of its line
    // end (0 for a last line without one) and its first bytes (all of it when the line fits the
    // window). False at the end or on an error.
    bool Next(SourceLine* pLine) {
        if (nPos_ == nLen_ && !Fill()) {
            return false;
        }
        pLine->ullOffset = ullBufferOffset_ + nPos_;
        const char* pStart = buffer_.data() + nPos_;
        const char* pLf = static_cast<const char*>(memchr(pStart, '\n', nLen_ - nPos_));
        if (pLf == nullptr && nPos_ > 0) {
            // Move the line's beginning to the front so it can be seen whole.
            Compact();
            Fill();
            pStart = buffer_.data();
            pLf = static_cast<const char*>(memchr(pStart, '\n', nLen_));
        }
        if (pLf != nullptr) {
            size_t nLength = static_cast<size_t>(pLf - pStart) + 1;
            pLine->pHead = pStart;
            pLine->nHead = nLength;
            pLine->ullLength = nLength;
            pLine->nEnd = nLength >= 2 && pLf[-1] == '\r' ? 2 : 1;
            nPos_ += nLength;
            return true;
        }
        // Longer than the window, or the last line without a line end: its head is kept, then
        // it is consumed to its end.
        head_.assign(pStart, nLen_ - nPos_);
        uint64_t ullLength = nLen_ - nPos_;
        char cLast = head_.empty() ? '\0' : head_.back();
        int nEnd = 0;
        nPos_ = nLen_;
        while (Fill()) {
            pLf = static_cast<const char*>(memchr(buffer_.data(), '\n', nLen_));
            if (pLf != nullptr) {
                size_t nTake = static_cast<size_t>(pLf - buffer_.data()) + 1;
                char cBefore = pLf > buffer_.data() ? pLf[-1] : cLast;
                nEnd = cBefore == '\r' ? 2 : 1;
                ullLength += nTake;
                nPos_ = nTake;
                break;
            }
            cLast = buffer_[nLen_ - 1];
            ullLength += nLen_;
            nPos_ = nLen_;
        }
        pLine->pHead = head_.data();
        pLine->nHead = head_.size();
        pLine->ullLength = ullLength;
        pLine->nEnd = nEnd;
        return true;
    }
    bool Failed() const { return bFailed_; }

private:
    void Compact() {
        memmove(buffer_.data(), buffer_.data() + nPos_, nLen_ - nPos_);
        ullBufferOffset_ += nPos_;
        nLen_ -= nPos_;
        nPos_ = 0;
    }
    // Adds bytes behind what the window holds (after dropping what is consumed when the window
    // is full). False when nothing more came.
    bool Fill() {
        if (nPos_ == nLen_) {
            ullBufferOffset_ += nLen_;
            nPos_ = nLen_ = 0;
        }
        uint64_t ullNext = ullBufferOffset_ + nLen_;
        if (ullNext >= ullLimit_ || nLen_ == buffer_.size()) {
            return false;
        }
        size_t nWant = buffer_.size() - nLen_;
        if (ullLimit_ - ullNext < nWant) {
            nWant = static_cast<size_t>(ullLimit_ - ullNext);
        }
        size_t nGot = fread(buffer_.data() + nLen_, 1, nWant, pFile_);
        if (nGot == 0) {
            bFailed_ = ferror(pFile_) != 0 || ullNext < ullLimit_;
            return false;
        }
        nLen_ += nGot;
        return true;
    }

    FILE* pFile_;
    uint64_t ullLimit_;
    std::vector<char> buffer_;
    std::string head_;
    size_t nPos_ = 0;
    size_t nLen_ = 0;
    uint64_t ullBufferOffset_ = 0;
    bool bFailed_ = false;
};

bool EqualsNoCase(const std::string& text, const char* pszWord) {
    return StrICmp(text.c_str(), pszWord) == 0;
}

// Skips blanks, folding line ends and (nested) comments.
size_t SkipCfws(const std::string& s, size_t i) {
    while (i < s.size()) {
        char c = s[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            i++;
        } else if (c == '(') {
            i = ReadComment(s, i, nullptr);
        } else {
            break;
        }
    }
    return i;
}

// A token or a quoted string, as its value; stops at any of pszStop outside quotes.
size_t ReadWord(const std::string& s, size_t i, const char* pszStop, std::string* pOut) {
    pOut->clear();
    i = SkipCfws(s, i);
    if (i < s.size() && s[i] == '"') {
        for (i++; i < s.size() && s[i] != '"'; i++) {
            if (s[i] == '\\' && i + 1 < s.size()) {
                i++;
            }
            if (s[i] != '\r' && s[i] != '\n') {
                pOut->push_back(s[i]);
            }
        }
        return i < s.size() ? i + 1 : i;
    }
    while (i < s.size() && strchr(pszStop, s[i]) == nullptr && s[i] != '(' && s[i] != ' ' && s[i] != '\t' &&
           s[i] != '\r' && s[i] != '\n') {
        pOut->push_back(s[i++]);
    }
    return i;
}

struct HeaderCollector {
    std::string name;   // the field being read (lower case), empty when it is not one we keep
    std::string value;
};

const char* const kKeptFields[] = {
    "content-type",        "content-transfer-encoding", "content-id",         "content-description",
    "content-disposition", "content-language",          "content-location",   "content-md5",
};

void StoreField(MimePart* pPart, const HeaderCollector& field) {
    const std::string& n = field.name;
    std::string value = field.value;
    // Unfold: a line end followed by a blank is only a fold.
    std::string unfolded;
    unfolded.reserve(value.size());
    for (char c : value) {
        if (c != '\r' && c != '\n') {
            unfolded.push_back(c);
        }
    }
    size_t nBegin = unfolded.find_first_not_of(" \t");
    size_t nEnd = unfolded.find_last_not_of(" \t");
    unfolded = nBegin == std::string::npos ? std::string() : unfolded.substr(nBegin, nEnd - nBegin + 1);
    if (n == "content-type") {
        std::string first;
        std::vector<MimeParam> params;
        ParseMimeValue(unfolded, &first, &params);
        size_t nSlash = first.find('/');
        if (nSlash != std::string::npos && nSlash > 0 && nSlash + 1 < first.size()) {
            pPart->type = first.substr(0, nSlash);
            pPart->subtype = first.substr(nSlash + 1);
            pPart->params = std::move(params);
            pPart->bTypeGiven = true;
        }
    } else if (n == "content-transfer-encoding") {
        std::string first;
        std::vector<MimeParam> params;
        ParseMimeValue(unfolded, &first, &params);
        pPart->encoding = first;
    } else if (n == "content-id") {
        pPart->id = unfolded;
    } else if (n == "content-description") {
        pPart->description = unfolded;
    } else if (n == "content-disposition") {
        ParseMimeValue(unfolded, &pPart->dispositionType, &pPart->dispositionParams);
    } else if (n == "content-language") {
        pPart->language = unfolded;
    } else if (n == "content-location") {
        pPart->location = unfolded;
    } else if (n == "content-md5") {
        pPart->md5 = unfolded;
    }
}

// Starts a field from a header line; a line that is no field ends the field being read.
void StartField(HeaderCollector* pField, const char* pHead, size_t nHead) {
    pField->name.clear();
    pField->value.clear();
    const char* pColon = static_cast<const char*>(memchr(pHead, ':', nHead));
    if (pColon == nullptr) {
        return;
    }
    std::string name(pHead, static_cast<size_t>(pColon - pHead));
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
        name.pop_back();
    }
    for (char& c : name) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    for (const char* pszKept : kKeptFields) {
        if (name == pszKept) {
            pField->name = name;
            size_t nRest = nHead - static_cast<size_t>(pColon + 1 - pHead);
            pField->value.assign(pColon + 1, nRest < MIME_VALUE_MAX ? nRest : MIME_VALUE_MAX);
            return;
        }
    }
}

bool IsBlankLine(const char* pHead, size_t nHead, uint64_t ullLength) {
    return (ullLength == 2 && nHead == 2 && pHead[0] == '\r' && pHead[1] == '\n') ||
           (ullLength == 1 && nHead == 1 && pHead[0] == '\n');
}

// A header line: a field name (printable, no blank) and a colon, or a folded continuation.
bool LooksLikeHeaderLine(const char* pHead, size_t nHead) {
    if (nHead > 0 && (pHead[0] == ' ' || pHead[0] == '\t')) {
        return true;
    }
    for (size_t i = 0; i < nHead; i++) {
        unsigned char c = static_cast<unsigned char>(pHead[i]);
        if (c == ':') {
            return i > 0;
        }
        if (c <= ' ' || c >= 127) {
            return false;
        }
    }
    return false;
}

struct Boundary {
    std::string delimiter;  // "--" and the boundary
    int nNode;              // the multipart it divides
};

class Parser {
public:
    Parser(FILE* pFile, uint64_t ullSize, MimeTree* pTree) : reader_(pFile, ullSize), tree_(*pTree) {
        tree_.parts.clear();
        tree_.ullSize = ullSize;
        tree_.parts.emplace_back();
        tree_.parts[0].bMessage = true;
        open_.push_back(0);
    }

    bool Run() {
        SourceLine line = {};
        while (reader_.Next(&line)) {
            Line(line);
            ullLfBefore_ += line.nEnd > 0 ? 1 : 0;
            nPrevEnd_ = line.nEnd;
        }
        // A header cut off by the end may be a message/rfc822 part's: the message it opens is
        // empty and ends there too.
        while (bInHeader_) {
            EndHeader(tree_.ullSize, tree_.ullSize, ullLfBefore_);
        }
        CloseBelow(-1, tree_.ullSize, false);
        return !reader_.Failed();
    }

private:
    void Line(const SourceLine& line) {
        const uint64_t ullOffset = line.ullOffset;
        const uint64_t ullLength = line.ullLength;
        const char* pHead = line.pHead;
        const size_t nHead = line.nHead;
        if (!boundaries_.empty() && nHead >= 2 && pHead[0] == '-' && pHead[1] == '-') {
            bool bClosing = false;
            int nMatch = MatchBoundary(pHead, nHead, &bClosing);
            if (nMatch >= 0 && (bClosing || tree_.parts.size() < MIME_PART_MAX)) {
                Delimiter(nMatch, bClosing, ullOffset, ullLength);
                return;
            }
        }
        if (!bInHeader_) {
            return;
        }
        if (IsBlankLine(pHead, nHead, ullLength)) {
            EndHeader(ullOffset + ullLength, ullOffset + ullLength, ullLfBefore_ + 1);
            return;
        }
        const MimePart& current = tree_.parts[static_cast<size_t>(open_.back())];
        if (!LooksLikeHeaderLine(pHead, nHead) && open_.back() != 0 && ullOffset == current.ullHeaderOffset) {
            // A part that starts without a header: its body starts here. Elsewhere a line that is
            // no field stays in the header, as other servers read it.
            EndHeader(ullOffset, ullOffset, ullLfBefore_);
            if (bInHeader_) {
                Line(line);  // the message inside a message/rfc822 part starts here
            }
            return;
        }
        if (pHead[0] == ' ' || pHead[0] == '\t') {
            if (!field_.name.empty() && field_.value.size() < MIME_VALUE_MAX) {
                size_t nRoom = MIME_VALUE_MAX - field_.value.size();
                field_.value.append(pHead, nHead < nRoom ? nHead : nRoom);
            }
            return;
        }
        FlushField();
        StartField(&field_, pHead, nHead);
    }

    // The innermost multipart whose delimiter the line is (RFC 2046: the boundary, then "--" for
    // the closing one, then only blanks); -1 for none.
    int MatchBoundary(const char* pHead, size_t nHead, bool* pbClosing) const {
        for (size_t k = boundaries_.size(); k-- > 0;) {
            const std::string& delimiter = boundaries_[k].delimiter;
            if (nHead < delimiter.size() || memcmp(pHead, delimiter.data(), delimiter.size()) != 0) {
                continue;
            }
            size_t i = delimiter.size();
            bool bClosing = nHead >= i + 2 && pHead[i] == '-' && pHead[i + 1] == '-';
            if (bClosing) {
                i += 2;
            }
            while (i < nHead && (pHead[i] == ' ' || pHead[i] == '\t' || pHead[i] == '\r' || pHead[i] == '\n')) {
                i++;
            }
            if (i == nHead) {
                *pbClosing = bClosing;
                return static_cast<int>(k);
            }
        }
        return -1;
    }

    void Delimiter(int nBoundary, bool bClosing, uint64_t ullOffset, uint64_t ullLength) {
        int nMultipart = boundaries_[static_cast<size_t>(nBoundary)].nNode;
        // The line break before a delimiter belongs to the delimiter.
        uint64_t ullEnd = ullOffset >= static_cast<uint64_t>(nPrevEnd_) ? ullOffset - static_cast<uint64_t>(nPrevEnd_)
                                                                        : ullOffset;
        while (bInHeader_) {
            EndHeader(ullOffset, ullOffset, ullLfBefore_);
        }
        CloseBelow(nMultipart, ullEnd, nPrevEnd_ > 0);
        boundaries_.resize(static_cast<size_t>(nBoundary) + (bClosing ? 0 : 1));
        bInHeader_ = false;
        if (bClosing) {
            return;  // the epilogue belongs to the multipart's own body
        }
        int nChild = static_cast<int>(tree_.parts.size());
        tree_.parts.emplace_back();
        MimePart& child = tree_.parts.back();
        MimePart& parent = tree_.parts[static_cast<size_t>(nMultipart)];
        child.nParent = nMultipart;
        child.nDepth = parent.nDepth + 1;
        child.ullHeaderOffset = ullOffset + ullLength;
        parent.children.push_back(nChild);
        open_.push_back(nChild);
        bInHeader_ = true;
        field_ = {};
    }

    // Ends the body of every open node below nNode (all of them for -1) at ullEnd.
    void CloseBelow(int nNode, uint64_t ullEnd, bool bDroppedLf) {
        while (!open_.empty() && open_.back() != nNode) {
            MimePart& part = tree_.parts[static_cast<size_t>(open_.back())];
            uint64_t ullLines = ullLfBefore_ - (bDroppedLf ? 1 : 0);
            if (ullEnd <= part.ullBodyOffset) {
                part.ullBodySize = 0;
                part.ullBodyLines = 0;
            } else {
                part.ullBodySize = ullEnd - part.ullBodyOffset;
                part.ullBodyLines = ullLines - part.ullBodyLines;  // held the count at its start
            }
            open_.pop_back();
        }
    }

    void FlushField() {
        if (!field_.name.empty()) {
            StoreField(&tree_.parts[static_cast<size_t>(open_.back())], field_);
        }
        field_ = {};
    }

    // The header of the innermost open node ends; its body starts at ullBody.
    void EndHeader(uint64_t ullHeaderEnd, uint64_t ullBody, uint64_t ullLfAtBody) {
        FlushField();
        bInHeader_ = false;
        int nNode = open_.back();
        MimePart* pPart = &tree_.parts[static_cast<size_t>(nNode)];
        pPart->ullHeaderSize = ullHeaderEnd - pPart->ullHeaderOffset;
        pPart->ullBodyOffset = ullBody;
        pPart->ullBodyLines = ullLfAtBody;  // the count at its start, see CloseBelow
        if (!pPart->bTypeGiven) {
            bool bDigest = !pPart->bMessage && pPart->nParent >= 0 &&
                           EqualsNoCase(tree_.parts[static_cast<size_t>(pPart->nParent)].subtype, "digest");
            pPart->type = bDigest ? "message" : "text";
            pPart->subtype = bDigest ? "rfc822" : "plain";
            pPart->params.clear();
            if (!bDigest) {
                pPart->params.push_back({"charset", "us-ascii"});
            }
        }
        if (pPart->nDepth >= MIME_DEPTH_MAX) {
            return;
        }
        if (EqualsNoCase(pPart->type, "multipart")) {
            const std::string* pBoundary = pPart->Param("boundary");
            if (pBoundary != nullptr && !pBoundary->empty()) {
                boundaries_.push_back({"--" + *pBoundary, nNode});
            }
        } else if (pPart->IsMessageRfc822() && tree_.parts.size() < MIME_PART_MAX) {
            int nInner = static_cast<int>(tree_.parts.size());
            tree_.parts.emplace_back();
            MimePart& inner = tree_.parts.back();
            pPart = &tree_.parts[static_cast<size_t>(nNode)];
            inner.bMessage = true;
            inner.nParent = nNode;
            inner.nDepth = pPart->nDepth + 1;
            inner.ullHeaderOffset = ullBody;
            pPart->children.push_back(nInner);
            open_.push_back(nInner);
            bInHeader_ = true;
        }
    }

    LineReader reader_;
    MimeTree& tree_;
    std::vector<int> open_;  // the chain of nodes whose body is being read, outermost first
    std::vector<Boundary> boundaries_;
    bool bInHeader_ = true;
    HeaderCollector field_;
    uint64_t ullLfBefore_ = 0;  // line feeds before the current line
    int nPrevEnd_ = 0;          // length of the previous line's line end
};

}  // namespace

size_t ReadComment(const std::string& s, size_t i, std::string* pText) {
    int nLevel = 0;
    for (; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            if (pText != nullptr) pText->push_back(s[i + 1]);
            i++;
            continue;
        }
        if (s[i] == '(' && nLevel++ == 0) continue;
        if (s[i] == ')' && --nLevel == 0) return i + 1;
        if (pText != nullptr) pText->push_back(s[i]);
    }
    return i;
}

bool MimePart::IsMessageRfc822() const {
    return EqualsNoCase(type, "message") && EqualsNoCase(subtype, "rfc822");
}

const std::string* MimePart::Param(const char* pszName) const {
    for (const MimeParam& param : params) {
        if (EqualsNoCase(param.name, pszName)) {
            return &param.value;
        }
    }
    return nullptr;
}

void ParseMimeValue(const std::string& value, std::string* pFirst, std::vector<MimeParam>* pParams) {
    pFirst->clear();
    pParams->clear();
    size_t i = SkipCfws(value, 0);
    // The value before the first ";": "type/subtype" or a disposition type, comments dropped.
    while (i < value.size() && value[i] != ';') {
        if (value[i] == '(') {
            i = SkipCfws(value, i);
            continue;
        }
        if (value[i] != ' ' && value[i] != '\t' && value[i] != '\r' && value[i] != '\n') {
            pFirst->push_back(value[i]);
        }
        i++;
    }
    while (i < value.size()) {
        i++;  // the ";"
        MimeParam param;
        i = ReadWord(value, i, "=;", &param.name);
        i = SkipCfws(value, i);
        if (i >= value.size() || value[i] != '=') {
            // Not a parameter: skip to the next ";".
            while (i < value.size() && value[i] != ';') {
                i++;
            }
            continue;
        }
        i = ReadWord(value, i + 1, ";", &param.value);
        i = SkipCfws(value, i);
        while (i < value.size() && value[i] != ';') {
            i++;
        }
        if (!param.name.empty()) {
            pParams->push_back(std::move(param));
        }
    }
}

uint64_t ContentSizeFromTail(uint64_t ullSize, const char* pTail, size_t nTail) {
    // The last line is "." when the file is that line alone or it follows a line end.
    const std::string tail(pTail, nTail);
    for (const char* pszEnd : {".\r\n", ".\n"}) {
        size_t nEnd = strlen(pszEnd);
        if (tail.size() >= nEnd && tail.compare(tail.size() - nEnd, nEnd, pszEnd) == 0 &&
            (tail.size() == nEnd && ullSize == nEnd ? true : tail.size() > nEnd && tail[tail.size() - nEnd - 1] == '\n')) {
            return ullSize - nEnd;
        }
    }
    return ullSize;
}

bool MessageContentSize(FILE* pFile, uint64_t* pullSize) {
    if (fseek(pFile, 0, SEEK_END) != 0) {
        return false;
    }
    long lSize = ftell(pFile);
    if (lSize < 0) {
        return false;
    }
    uint64_t ullSize = static_cast<uint64_t>(lSize);
    char szTail[5] = {};
    size_t nTail = ullSize < sizeof(szTail) ? static_cast<size_t>(ullSize) : sizeof(szTail);
    if (nTail > 0 && (!SeekTo(pFile, ullSize - nTail) || fread(szTail, 1, nTail, pFile) != nTail)) {
        return false;
    }
    *pullSize = ContentSizeFromTail(ullSize, szTail, nTail);
    return true;
}

bool ParseMime(FILE* pFile, uint64_t ullSize, MimeTree* pTree) {
    if (!SeekTo(pFile, 0)) {
        return false;
    }
    Parser parser(pFile, ullSize, pTree);
    return parser.Run();
}

bool ParseMimeFile(const char* pszPath, MimeTree* pTree) {
    FILE* pFile = fopen(pszPath, "rb");
    if (pFile == nullptr) {
        return false;
    }
    uint64_t ullSize = 0;
    bool bOk = MessageContentSize(pFile, &ullSize) && ParseMime(pFile, ullSize, pTree);
    fclose(pFile);
    return bOk;
}

MimeSection ResolveMimeSection(const MimeTree& tree, const uint32_t* pulPath, size_t nNumbers) {
    MimeSection section;
    if (tree.parts.empty()) {
        return section;
    }
    // The node reached and whether it is seen as a message (whose part 1 may be itself).
    int nNode = 0;
    bool bAsMessage = true;
    for (size_t i = 0; i < nNumbers; i++) {
        uint32_t ulNumber = pulPath[i];
        const MimePart* pPart = &tree.parts[static_cast<size_t>(nNode)];
        if (!bAsMessage && pPart->IsMessageRfc822()) {
            if (pPart->children.empty()) {
                return section;
            }
            nNode = pPart->children[0];
            pPart = &tree.parts[static_cast<size_t>(nNode)];
            bAsMessage = true;
        }
        if (pPart->IsMultipart()) {
            if (ulNumber == 0 || ulNumber > pPart->children.size()) {
                return section;
            }
            nNode = pPart->children[ulNumber - 1];
        } else if (!(bAsMessage && ulNumber == 1)) {
            return section;
        }
        bAsMessage = false;
    }
    section.nPart = nNode;
    const MimePart& part = tree.parts[static_cast<size_t>(nNode)];
    if (bAsMessage) {
        section.nMessage = nNode;
    } else if (part.IsMessageRfc822() && !part.children.empty()) {
        section.nMessage = part.children[0];
    }
    return section;
}
