// The orders SORT and THREAD answer with, worked out from the messages' keys alone: the sort
// criteria list, the sort itself, and the two threading algorithms (ORDEREDSUBJECT and
// REFERENCES). Nothing here reads a file or knows a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imap/sort_keys.h"

enum SortKey {
    SORT_ARRIVAL,
    SORT_CC,
    SORT_DATE,
    SORT_FROM,
    SORT_SIZE,
    SORT_SUBJECT,
    SORT_TO,
    SORT_DISPLAYFROM,
    SORT_DISPLAYTO,
};

struct SortCriterion {
    SortKey key;
    bool bReverse;
};

// Reads "(key key ...)" at the start of the text, each key with an optional REVERSE before it.
// Returns the length read, or 0 (with *pstrError) when the list is malformed.
size_t ParseSortCriteria(const char* pszText, std::vector<SortCriterion>* pCriteria, std::string* pstrError);

// One message to order: the number the answer shows (a sequence number or a UID), its sequence
// number (the last tie-breaker everywhere) and its keys (never null).
struct OrderedMessage {
    uint32_t ulNumber;
    uint32_t ulSequence;
    const SortKeys* pKeys;
};

// Orders the messages by the criteria; messages equal under all of them keep sequence order.
void SortMessages(const std::vector<SortCriterion>& criteria, std::vector<OrderedMessage>* pMessages);

enum ThreadAlgorithm { THREAD_ORDEREDSUBJECT, THREAD_REFERENCES };

// The threads as the THREAD answer writes them after "* THREAD ": "(1 2)(3 (4)(5))", empty for
// no messages. The messages come in sequence order.
std::string ThreadMessages(ThreadAlgorithm algorithm, const std::vector<OrderedMessage>& messages);
