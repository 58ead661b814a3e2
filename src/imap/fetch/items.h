// The FETCH item list and the writers that answer one message's items. Everything here works on
// the message in the Session's FindData and writes through the session's output builder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "imap/fetch/section.h"
#include "imap/mime.h"
#include "imap/output.h"
#include "imap/session.h"
#include "platform/file_range.h"
#include "store/mailbox_index.h"

// At most 19 items come from the client's text; one more place holds an added "UID".
constexpr int FETCH_ITEM_WORDS = 19;
constexpr int FETCH_ITEM_MAX = 20;
// The text carried over after a macro word.
constexpr size_t FETCH_MACRO_REST = 1023;

enum ItemKind {
    ITEM_NONE,
    ITEM_UID,
    ITEM_FLAGS,
    ITEM_INTERNALDATE,
    ITEM_SIZE,
    ITEM_ENVELOPE,
    ITEM_BODY,
    ITEM_BODYSTRUCTURE,
    ITEM_WHOLE,
    ITEM_RFC822_HEADER,
    ITEM_TEXT,
    ITEM_HEADER,
    ITEM_HEADER_FIELDS,
    ITEM_HEADER_FIELDS_NOT,
    ITEM_SECTION,
    ITEM_BINARY,       // BINARY[...] and BINARY.PEEK[...]
    ITEM_BINARY_SIZE,  // BINARY.SIZE[...]
    ITEM_MODSEQ,
};

// One item as read once for all the messages of the command.
struct FetchItem {
    ItemKind kind = ITEM_NONE;
    const char* pszItem = nullptr;  // the word as the client wrote it
    bool bMarksSeen = false;        // a body read without PEEK
    // BODY[...] forms (a section) or the partial range of the RFC822 forms.
    bool bSection = false;
    SectionSpec section;
    // Under which the index keeps the item's answer; empty when it is not kept.
    std::string key;
};

struct FetchItemList {
    char* pItems[FETCH_ITEM_MAX + 1];  // the words, ending with nullptr
    int nItems;                        // entries in pItems
    int nCount;                        // the count the limit check compares with 20
    char szExpanded[64 + FETCH_MACRO_REST + 1];  // macro expansion and the text after the macro
    char szUid[4];                               // the added "UID" item
    // The items, each with the words that belong to it (a field list, its partial) taken in.
    FetchItem items[FETCH_ITEM_MAX + 1];
    int nTyped;
    // MODSEQ goes with every answer though not asked (CHANGEDSINCE asks for it).
    bool bAddModSeq;
};

// Cuts pszText in place into at most 19 words (single spaces; "[" without "]" makes the next
// word end at "]"; "not" joins the word after it; the 19th word is the rest). Returns the number
// of words; *pbLimit tells whether the 19-word limit was reached.
int SplitItemWords(char* pszText, char** ppWords, bool* pbLimit);

// Parses FETCH's item text (macros, splitting, the UID addition when bAddUid) and reads every
// item (ClassifyItems). pszText is cut in place unless a macro copies it into pList->szExpanded.
void ParseItemList(char* pszText, bool bAddUid, FetchItemList* pList);
// Reads the words of the list into its items: what each is, its section and partial range, and
// under which key its answer is kept.
void ClassifyItems(FetchItemList* pList);

// Path of the message file itself; false when it does not fit.
[[nodiscard]] bool MessagePath(const Session* pSession, char* pszPath, size_t nSize);

// The next line of a byte range of the message file, or as much of a longer one as fits in
// nSize - 1 bytes, never reading past the *pullLeft bytes left of the range (which it counts
// down). Returns the length read; 0 at the range's or the file's end.
size_t ReadRangeLine(FILE* pFile, char* pszLine, size_t nSize, uint64_t* pullLeft);

// The MIME tree of a message as kept in its mailbox's index, with what identifies the file it
// was read from: a tree is used only for the file it describes.
struct KeptTree : KeptContent {
    MimeTree tree;
    FileIdentity file;
    size_t Cost() const override;
};

// The first bytes of a message are read with its size: most headers lie within them.
constexpr size_t MESSAGE_HEAD_SIZE = 8192;

// The message being answered: its content (the decoded copy or the message file), opened once
// so that a rename by another session cannot take it away between items, and its MIME tree,
// taken from the index or parsed when an item first needs it, and reused by the later ones.
struct FetchMessage {
    FILE* pFile = nullptr;
    uint64_t ullSize = 0;  // the message's bytes (RFC822.SIZE)
    // The index that keeps answers made from this message's content, and the message's UID
    // there; null: nothing is kept.
    MailboxIndex* pIndex = nullptr;
    uint32_t ulUid = 0;
    // The message file as opened (not a decoded copy): the tree kept for it must be of this file.
    bool bFileKnown = false;
    FileIdentity file;
    bool bWrittenKnown = false;
    FILETIME ftWritten = 0;  // the file's last-write time (INTERNALDATE), when known
    bool bTreeTried = false;
    std::shared_ptr<const KeptTree> pTree;
    // Something an item needed could not be read whole: what went out for it is not the
    // message's, and nothing of this answer may be kept.
    bool bReadFailed = false;
    // Kept answers taken for the items (by item position) before anything is written, so that
    // one dropped from the index meanwhile cannot leave an item without its content.
    bool abKept[FETCH_ITEM_MAX + 1] = {};
    CachedText aKept[FETCH_ITEM_MAX + 1];
    // The content's first nHead bytes (never past ullSize), read when the file was looked at.
    size_t nHead = 0;
    char achHead[MESSAGE_HEAD_SIZE];
};
// Sizes the open file (ullSize), reads its first bytes into the head, and gives the file's
// identity and its first byte. False when the file cannot be read.
bool LookAtContent(FILE* pFile, FetchMessage* pMessage, FileIdentity* pIdentity, unsigned char* pchFirst);
// The size of the top header, its blank line included: from the head when the header ends
// there, else from the tree. False when neither tells.
bool TopHeaderSize(FetchMessage* pMessage, uint64_t* pullSize);
// The tree, from the index or parsed on first use; nullptr when the file cannot be read.
const MimeTree* MessageTree(FetchMessage* pMessage);
// The key under which a message's tree is kept.
extern const char* const KEPT_TREE_KEY;

// Whether any item of the list is one that writes; each of those writes something for every
// message, whatever its file holds.
bool ItemsWriteAnything(const FetchItemList* pList);
// Whether an item of the list reads the body without PEEK, so that the message becomes \Seen.
bool ItemsMarkSeen(const FetchItemList* pList);
// Whether an item reads the message's content; UID, FLAGS, INTERNALDATE and RFC822.SIZE do not.
bool ItemsNeedContent(const FetchItemList* pList);
// Whether the list asks for RFC822.SIZE or INTERNALDATE, which one probe of the file gives.
bool ItemsAskSize(const FetchItemList* pList);
// Whether the list asks for FLAGS.
bool ItemsAskFlags(const FetchItemList* pList);
// Takes the answers the message's index keeps for the items into pMessage; true when every item
// that reads the content has one, so that the file need not be opened.
bool TakeKeptAnswers(const FetchItemList* pList, FetchMessage* pMessage);
// Whether an item needs the message's MIME tree: all that read the content, but the whole
// message and those that read only the top header.
bool ItemsNeedTree(const FetchItemList* pList);
// Answers the items of the current message in list order.
void EvaluateItems(Session* pSession, const FetchItemList* pList, FetchMessage* pMessage);

// Item writers.
void WriteUidItem(Session* pSession);
void WriteFlagsItem(Session* pSession);
// "MODSEQ (n)": the message's modification sequence.
void WriteModSeqItem(Session* pSession, const FetchMessage* pMessage);
// Whether the list asks for the item.
bool ItemsAsk(const FetchItemList* pList, ItemKind kind);
void WriteSizeItem(Session* pSession, const FetchMessage* pMessage);
void WriteInternalDate(Session* pSession, const FetchMessage* pMessage);
void WriteEnvelope(Session* pSession, FetchMessage* pMessage);
// The envelope "(...)" of the header at ullOffset, ullSize bytes long.
void WriteEnvelopeOf(Session* pSession, FILE* pFile, uint64_t ullOffset, uint64_t ullSize);
void WriteBodyStructure(Session* pSession, FetchMessage* pMessage, bool bExtended);
// BINARY[part] and BINARY.SIZE[part]: the part's content with its transfer encoding undone.
void WriteBinary(Session* pSession, FetchMessage* pMessage, const FetchItem& item);
void WriteBinarySize(Session* pSession, FetchMessage* pMessage, const FetchItem& item);
// Whether every BINARY item names a part by numbers alone, and BINARY.SIZE has no partial range.
bool BinarySectionsValid(const FetchItemList* pList);
// Whether the encoding of every part the list's BINARY items name can be undone here.
bool BinaryDecodable(const FetchItemList* pList, FetchMessage* pMessage);

// The first address of an address field as ENVELOPE shows it (a group's start gives the group's
// name as its mailbox); false when the field holds none. The name is left as written.
struct EnvelopeAddress {
    std::string name, mailbox, host;
};
bool FirstEnvelopeAddress(const std::string& value, EnvelopeAddress* pAddress);

// Rewrites raw ISO-2022 text from its first escape sequence on as one encoded word.
void ConvertRawText(char* pszText, size_t nSize);
