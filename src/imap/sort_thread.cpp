// SORT's order and the threading algorithms, on the keys the index keeps.
#include "imap/sort_thread.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "platform/text.h"

namespace {

struct SortKeyName {
    const char* pszName;
    SortKey key;
};

const SortKeyName kSortKeys[] = {
    {"ARRIVAL", SORT_ARRIVAL}, {"CC", SORT_CC},           {"DATE", SORT_DATE},
    {"FROM", SORT_FROM},       {"SIZE", SORT_SIZE},       {"SUBJECT", SORT_SUBJECT},
    {"TO", SORT_TO},           {"DISPLAYFROM", SORT_DISPLAYFROM}, {"DISPLAYTO", SORT_DISPLAYTO},
};

// The text a key compares, for the keys that compare text; TEXT_COUNT for the others.
SortKeys::Text TextOf(SortKey key) {
    switch (key) {
        case SORT_CC:
            return SortKeys::CC;
        case SORT_FROM:
            return SortKeys::FROM;
        case SORT_SUBJECT:
            return SortKeys::SUBJECT;
        case SORT_TO:
            return SortKeys::TO;
        case SORT_DISPLAYFROM:
            return SortKeys::DISPLAY_FROM;
        case SORT_DISPLAYTO:
            return SortKeys::DISPLAY_TO;
        default:
            return SortKeys::TEXT_COUNT;
    }
}

// A signed time in the order of unsigned numbers.
uint64_t TimeRank(int64_t llSeconds) { return static_cast<uint64_t>(llSeconds) ^ (1ull << 63); }

// Each message's rank under one key, as a number: texts are ranked once by their distinct values,
// so that the sort itself compares numbers in one array rather than texts spread over the heap.
void RankBy(SortKey key, const std::vector<OrderedMessage>& messages, std::vector<uint64_t>* pRanks) {
    SortKeys::Text nText = TextOf(key);
    if (nText == SortKeys::TEXT_COUNT) {
        for (size_t i = 0; i < messages.size(); i++) {
            const SortKeys& keys = *messages[i].pKeys;
            (*pRanks)[i] = key == SORT_ARRIVAL ? TimeRank(keys.llArrival)
                           : key == SORT_DATE  ? TimeRank(keys.llSent)
                                               : keys.ullSize;
        }
        return;
    }
    // Messages ranked together last time, and unchanged since (a changed message has new keys),
    // compare by those ranks: a repeated SORT compares no text.
    if (!messages.empty()) {
        uint64_t ullRanking = messages[0].pKeys->aullRank[nText].load(std::memory_order_relaxed) >> 32;
        bool bSame = ullRanking != 0;
        for (size_t i = 0; i < messages.size() && bSame; i++) {
            uint64_t ullStamp = messages[i].pKeys->aullRank[nText].load(std::memory_order_relaxed);
            bSame = ullStamp >> 32 == ullRanking;
            (*pRanks)[i] = ullStamp & 0xFFFFFFFFu;
        }
        if (bSame) return;
    }
    std::unordered_map<std::string_view, uint64_t> distinct;
    distinct.reserve(messages.size());
    for (const OrderedMessage& message : messages) distinct.emplace(message.pKeys->Get(nText), 0);
    std::vector<std::string_view> values;
    values.reserve(distinct.size());
    for (const auto& [value, nRank] : distinct) values.push_back(value);
    std::sort(values.begin(), values.end());
    for (size_t i = 0; i < values.size(); i++) distinct[values[i]] = i;
    for (size_t i = 0; i < messages.size(); i++) (*pRanks)[i] = distinct[messages[i].pKeys->Get(nText)];
    // Every ranking has its own number, never 0 (which no message carries until first ranked).
    static std::atomic<uint32_t> ulLastRanking{0};
    uint64_t ullRanking;
    do {
        ullRanking = ulLastRanking.fetch_add(1, std::memory_order_relaxed) + 1u;
    } while (static_cast<uint32_t>(ullRanking) == 0);
    for (size_t i = 0; i < messages.size(); i++) {
        messages[i].pKeys->aullRank[nText].store(ullRanking << 32 | (*pRanks)[i], std::memory_order_relaxed);
    }
}

// ---- Threads --------------------------------------------------------------------------------

// A message, or a dummy standing for one that is referenced but not in the mailbox.
struct Node {
    int nMessage = -1;  // index into the messages; -1 for a dummy
    int nParent = -1;
    std::vector<int> children;
};

class Threader {
public:
    explicit Threader(const std::vector<OrderedMessage>& messages) : messages_(messages) {}

    std::string References();
    std::string OrderedSubject();

private:
    const SortKeys& Keys(int nMessage) const { return *messages_[static_cast<size_t>(nMessage)].pKeys; }
    int NewNode(int nMessage) {
        nodes_.push_back(Node{nMessage, -1, {}});
        return static_cast<int>(nodes_.size() - 1);
    }
    int NodeFor(std::string_view id) {
        auto [it, bNew] = byId_.try_emplace(id, 0);
        if (bNew) it->second = NewNode(-1);
        return it->second;
    }
    // Whether nAncestor is nNode or above it.
    bool IsAncestor(int nAncestor, int nNode) const {
        // Most links go to a node with no children yet: nothing to walk.
        if (nodes_[static_cast<size_t>(nAncestor)].children.empty()) return nAncestor == nNode;
        for (int n = nNode; n >= 0; n = nodes_[static_cast<size_t>(n)].nParent) {
            if (n == nAncestor) return true;
        }
        return false;
    }
    void Link(int nParent, int nChild) {
        nodes_[static_cast<size_t>(nChild)].nParent = nParent;
        nodes_[static_cast<size_t>(nParent)].children.push_back(nChild);
    }
    void Unlink(int nChild) {
        Node& child = nodes_[static_cast<size_t>(nChild)];
        std::vector<int>& siblings = nodes_[static_cast<size_t>(child.nParent)].children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), nChild));
        child.nParent = -1;
    }
    // The message a node sorts and is named by: its own, or a dummy's first child's.
    int Representative(int nNode) const {
        while (nodes_[static_cast<size_t>(nNode)].nMessage < 0 && !nodes_[static_cast<size_t>(nNode)].children.empty()) {
            nNode = nodes_[static_cast<size_t>(nNode)].children.front();
        }
        return nodes_[static_cast<size_t>(nNode)].nMessage;
    }
    // The keys are taken out first, so that the sort compares numbers side by side in one array.
    void SortSiblings(std::vector<int>* pNodes) {
        struct Entry {
            int64_t llSent;
            uint32_t ulSequence;
            int nNode;
        };
        std::vector<Entry> entries;
        entries.reserve(pNodes->size());
        for (int nNode : *pNodes) {
            int nMessage = Representative(nNode);
            entries.push_back(Entry{Keys(nMessage).llSent, messages_[static_cast<size_t>(nMessage)].ulSequence, nNode});
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            return a.llSent != b.llSent ? a.llSent < b.llSent : a.ulSequence < b.ulSequence;
        });
        for (size_t i = 0; i < entries.size(); i++) (*pNodes)[i] = entries[i].nNode;
    }
    void LinkReferences();
    std::vector<int> PrunedRoots();
    void GroupBySubject(std::vector<int>* pRoots);
    std::string Write(const std::vector<int>& roots) const;

    const std::vector<OrderedMessage>& messages_;
    std::vector<Node> nodes_;
    std::unordered_map<std::string_view, int> byId_;
};

void Threader::LinkReferences() {
    nodes_.reserve(messages_.size() * 2);
    byId_.reserve(messages_.size() * 2);
    for (size_t i = 0; i < messages_.size(); i++) {
        int nMessage = static_cast<int>(i);
        const SortKeys& keys = Keys(nMessage);
        // A message without an ID, or with one an earlier message has, stands alone under no ID.
        std::string_view id = keys.Get(SortKeys::MESSAGE_ID);
        int nNode = -1;
        if (!id.empty()) {
            nNode = NodeFor(id);
            if (nodes_[static_cast<size_t>(nNode)].nMessage >= 0) nNode = -1;
        }
        if (nNode < 0) nNode = NewNode(nMessage);
        nodes_[static_cast<size_t>(nNode)].nMessage = nMessage;

        // Each reference is the parent of the next, unless that one has a parent already or
        // the link would close a loop.
        std::vector<std::string_view> references = keys.References();
        int nPrevious = -1;
        for (std::string_view reference : references) {
            int nReference = NodeFor(reference);
            if (nPrevious >= 0 && nPrevious != nReference && nodes_[static_cast<size_t>(nReference)].nParent < 0 &&
                !IsAncestor(nReference, nPrevious)) {
                Link(nPrevious, nReference);
            }
            nPrevious = nReference;
        }
        // The message's own References name its parent: a parent found before from another
        // message's References is dropped, even where the new link cannot be made.
        Node& node = nodes_[static_cast<size_t>(nNode)];
        if (node.nParent >= 0 && node.nParent != nPrevious) Unlink(nNode);
        if (nPrevious >= 0 && nodes_[static_cast<size_t>(nNode)].nParent < 0 && !IsAncestor(nNode, nPrevious)) {
            Link(nPrevious, nNode);
        }
    }
}

// The top-level nodes with the dummies pruned: an empty dummy goes, and one with children gives
// them to its parent; at the top only a dummy with a single child does.
std::vector<int> Threader::PrunedRoots() {
    std::vector<int> roots;
    for (size_t i = 0; i < nodes_.size(); i++) {
        if (nodes_[i].nParent < 0) roots.push_back(static_cast<int>(i));
    }
    // Children before their parents, without recursion: a reference chain may be very deep.
    std::vector<int> order;
    std::vector<int> stack(roots.rbegin(), roots.rend());
    while (!stack.empty()) {
        int n = stack.back();
        stack.pop_back();
        order.push_back(n);
        for (int nChild : nodes_[static_cast<size_t>(n)].children) stack.push_back(nChild);
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        Node& node = nodes_[static_cast<size_t>(*it)];
        std::vector<int> kept;
        for (int nChild : node.children) {
            Node& child = nodes_[static_cast<size_t>(nChild)];
            if (child.nMessage >= 0) {
                kept.push_back(nChild);
                continue;
            }
            for (int nGrandchild : child.children) {
                nodes_[static_cast<size_t>(nGrandchild)].nParent = *it;
                kept.push_back(nGrandchild);
            }
            child.children.clear();
        }
        node.children.swap(kept);
    }
    std::vector<int> pruned;
    for (int nRoot : roots) {
        Node& root = nodes_[static_cast<size_t>(nRoot)];
        if (root.nMessage >= 0 || root.children.size() > 1) {
            pruned.push_back(nRoot);
        } else if (root.children.size() == 1) {
            int nOnly = root.children.front();
            nodes_[static_cast<size_t>(nOnly)].nParent = -1;
            root.children.clear();
            pruned.push_back(nOnly);
        }
    }
    return pruned;
}

// Threads whose subjects agree are joined: under a dummy, or a reply under what it replies to.
void Threader::GroupBySubject(std::vector<int>* pRoots) {
    auto subjectOf = [this](int nNode) { return Keys(Representative(nNode)).Get(SortKeys::SUBJECT); };
    auto isDummy = [this](int nNode) { return nodes_[static_cast<size_t>(nNode)].nMessage < 0; };
    auto isReply = [this, isDummy](int nNode) { return !isDummy(nNode) && Keys(nodes_[static_cast<size_t>(nNode)].nMessage).bReply; };
    std::unordered_map<std::string_view, int> table;
    for (int nRoot : *pRoots) {
        std::string_view subject = subjectOf(nRoot);
        if (subject.empty()) continue;
        auto [it, bNew] = table.try_emplace(subject, nRoot);
        if (bNew) continue;
        int nHeld = it->second;
        if (!isDummy(nHeld) && (isDummy(nRoot) || (isReply(nHeld) && !isReply(nRoot)))) it->second = nRoot;
    }
    // Where each thread stands among those kept, so that a dummy can take a thread's place.
    std::vector<int> merged;
    std::vector<size_t> place(nodes_.size() + pRoots->size(), SIZE_MAX);
    for (int nRoot : *pRoots) {
        std::string_view subject = subjectOf(nRoot);
        auto it = subject.empty() ? table.end() : table.find(subject);
        if (it == table.end() || it->second == nRoot) {
            place[static_cast<size_t>(nRoot)] = merged.size();
            merged.push_back(nRoot);
            continue;
        }
        int nHeld = it->second;
        if (isDummy(nHeld) && isDummy(nRoot)) {
            for (int nChild : nodes_[static_cast<size_t>(nRoot)].children) Link(nHeld, nChild);
            nodes_[static_cast<size_t>(nRoot)].children.clear();
        } else if (isDummy(nHeld) || (isReply(nRoot) && !isReply(nHeld))) {
            Link(nHeld, nRoot);
        } else {
            // Neither belongs under the other: both go under a new dummy, in the held one's place
            // (always an earlier thread: a later one is held only as a dummy or as the first
            // non-reply, and either takes a branch above).
            int nDummy = NewNode(-1);
            Link(nDummy, nHeld);
            Link(nDummy, nRoot);
            size_t nPlace = place[static_cast<size_t>(nHeld)];
            if (nPlace != SIZE_MAX) {
                merged[nPlace] = nDummy;
                place[static_cast<size_t>(nDummy)] = nPlace;
            } else {
                place[static_cast<size_t>(nDummy)] = merged.size();
                merged.push_back(nDummy);
            }
            it->second = nDummy;
        }
    }
    std::vector<int> roots;
    roots.reserve(merged.size());
    for (int nRoot : merged) {
        if (nodes_[static_cast<size_t>(nRoot)].nParent < 0) roots.push_back(nRoot);
    }
    pRoots->swap(roots);
}

std::string Threader::Write(const std::vector<int>& roots) const {
    // Tokens on a stack instead of recursion: a node, or one of "(", ")" and " ".
    enum : int { OPEN = -1, CLOSE = -2, SPACE = -3 };
    std::string out;
    std::vector<int> stack;
    for (auto it = roots.rbegin(); it != roots.rend(); ++it) {
        stack.push_back(CLOSE);
        stack.push_back(*it);
        stack.push_back(OPEN);
    }
    while (!stack.empty()) {
        int nToken = stack.back();
        stack.pop_back();
        if (nToken == OPEN) {
            out.push_back('(');
            continue;
        }
        if (nToken == CLOSE) {
            out.push_back(')');
            continue;
        }
        if (nToken == SPACE) {
            out.push_back(' ');
            continue;
        }
        const Node& node = nodes_[static_cast<size_t>(nToken)];
        bool bDummy = node.nMessage < 0;
        if (!bDummy) {
            out += std::to_string(messages_[static_cast<size_t>(node.nMessage)].ulNumber);
        }
        // One child goes on the same thread; several each get their own parentheses.
        if (node.children.size() == 1 && !bDummy) {
            stack.push_back(node.children.front());
            stack.push_back(SPACE);
        } else if (!node.children.empty()) {
            for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) {
                stack.push_back(CLOSE);
                stack.push_back(*it);
                stack.push_back(OPEN);
            }
            if (!bDummy) stack.push_back(SPACE);
        }
    }
    return out;
}

std::string Threader::References() {
    LinkReferences();
    std::vector<int> roots = PrunedRoots();
    for (int nRoot : roots) {
        if (nodes_[static_cast<size_t>(nRoot)].nMessage < 0) SortSiblings(&nodes_[static_cast<size_t>(nRoot)].children);
    }
    SortSiblings(&roots);
    GroupBySubject(&roots);
    for (Node& node : nodes_) {
        if (node.children.size() > 1) SortSiblings(&node.children);
    }
    SortSiblings(&roots);
    return Write(roots);
}

std::string Threader::OrderedSubject() {
    std::vector<int> order(messages_.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(), [this](int a, int b) {
        int nSubject = Keys(a).Get(SortKeys::SUBJECT).compare(Keys(b).Get(SortKeys::SUBJECT));
        if (nSubject != 0) return nSubject < 0;
        if (Keys(a).llSent != Keys(b).llSent) return Keys(a).llSent < Keys(b).llSent;
        return messages_[static_cast<size_t>(a)].ulSequence < messages_[static_cast<size_t>(b)].ulSequence;
    });
    // The first message of a subject is the thread; every later one is its child.
    nodes_.reserve(messages_.size());
    for (size_t i = 0; i < messages_.size(); i++) NewNode(static_cast<int>(i));
    std::vector<int> roots;
    for (size_t i = 0; i < order.size(); i++) {
        bool bSame = i > 0 && Keys(order[i]).Get(SortKeys::SUBJECT) == Keys(order[i - 1]).Get(SortKeys::SUBJECT);
        if (bSame) {
            Link(roots.back(), order[i]);
        } else {
            roots.push_back(order[i]);
        }
    }
    SortSiblings(&roots);
    return Write(roots);
}

}  // namespace

size_t ParseSortCriteria(const char* pszText, std::vector<SortCriterion>* pCriteria, std::string* pstrError) {
    const char* p = pszText;
    if (*p != '(') {
        *pstrError = "sort criteria must be a parenthesised list";
        return 0;
    }
    p++;
    bool bReverse = false;
    for (;;) {
        const char* pWord = p;
        while (*p != '\0' && *p != ' ' && *p != ')' && *p != '(') p++;
        size_t nWord = static_cast<size_t>(p - pWord);
        if (nWord == 0) {
            *pstrError = "missing sort key";
            return 0;
        }
        std::string word(pWord, nWord);
        if (StrICmp(word.c_str(), "REVERSE") == 0) {
            if (bReverse) {
                *pstrError = "REVERSE given twice";
                return 0;
            }
            bReverse = true;
        } else {
            const SortKeyName* pFound = nullptr;
            for (const SortKeyName& name : kSortKeys) {
                if (StrICmp(word.c_str(), name.pszName) == 0) pFound = &name;
            }
            if (pFound == nullptr) {
                *pstrError = "unknown sort key " + word;
                return 0;
            }
            pCriteria->push_back(SortCriterion{pFound->key, bReverse});
            bReverse = false;
        }
        if (*p == ')') {
            if (bReverse) {
                *pstrError = "REVERSE needs a sort key after it";
                return 0;
            }
            return static_cast<size_t>(p + 1 - pszText);
        }
        if (*p != ' ') {
            *pstrError = "sort criteria list not closed";
            return 0;
        }
        p++;
    }
}

void SortMessages(const std::vector<SortCriterion>& criteria, std::vector<OrderedMessage>* pMessages) {
    const std::vector<OrderedMessage>& messages = *pMessages;
    size_t nKeys = criteria.size();
    // Ranks message by message, a reversed key's turned over so that every rank sorts upwards.
    std::vector<uint64_t> ranks(messages.size() * nKeys);
    std::vector<uint64_t> column(messages.size());
    for (size_t k = 0; k < nKeys; k++) {
        RankBy(criteria[k].key, messages, &column);
        for (size_t i = 0; i < messages.size(); i++) ranks[i * nKeys + k] = criteria[k].bReverse ? ~column[i] : column[i];
    }
    std::vector<OrderedMessage> sorted;
    sorted.reserve(messages.size());
    if (nKeys == 1) {
        // One key: the ranks sort beside their messages, with no indirection.
        struct Ranked {
            uint64_t ullRank;
            uint32_t ulSequence;
            uint32_t nIndex;
        };
        std::vector<Ranked> ranked(messages.size());
        for (size_t i = 0; i < messages.size(); i++) ranked[i] = Ranked{ranks[i], messages[i].ulSequence, static_cast<uint32_t>(i)};
        std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
            return a.ullRank != b.ullRank ? a.ullRank < b.ullRank : a.ulSequence < b.ulSequence;
        });
        for (const Ranked& r : ranked) sorted.push_back(messages[r.nIndex]);
        pMessages->swap(sorted);
        return;
    }
    std::vector<uint32_t> order(messages.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const uint64_t* pA = &ranks[a * nKeys];
        const uint64_t* pB = &ranks[b * nKeys];
        for (size_t k = 0; k < nKeys; k++) {
            if (pA[k] != pB[k]) return pA[k] < pB[k];
        }
        return messages[a].ulSequence < messages[b].ulSequence;
    });
    for (uint32_t i : order) sorted.push_back(messages[i]);
    pMessages->swap(sorted);
}

std::string ThreadMessages(ThreadAlgorithm algorithm, const std::vector<OrderedMessage>& messages) {
    Threader threader(messages);
    return algorithm == THREAD_REFERENCES ? threader.References() : threader.OrderedSubject();
}
