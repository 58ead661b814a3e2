// The FETCH item list, then every item it names answered for one message: the input up to its
// first NUL is the item text (as it follows the message set), the rest is the message file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "imap/fetch/items.h"
#include "imap/session_io.h"
#include "imap/session.h"

namespace {

constexpr const char* kMessageName = "0000000007-000010.MSG";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    Session* pSession = DrainedSession();
    snprintf(pSession->szMailbox, sizeof pSession->szMailbox, "%s", ScratchDirectory().c_str());
    snprintf(pSession->FindData.cFileName, sizeof pSession->FindData.cFileName, "%s", kMessageName);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const uint8_t* pEnd = static_cast<const uint8_t*>(memchr(pData, '\0', nSize));
    size_t nItems = pEnd != nullptr ? static_cast<size_t>(pEnd - pData) : nSize;
    // The command line that carries the items is at most a receive buffer long.
    if (nItems >= RECV_SIZE) return -1;
    char szItems[RECV_SIZE];
    memcpy(szItems, pData, nItems);
    szItems[nItems] = '\0';
    const uint8_t* pMessage = pEnd != nullptr ? pEnd + 1 : pData + nSize;
    size_t nMessage = static_cast<size_t>(pData + nSize - pMessage);

    FetchItemList list;
    ParseItemList(szItems, nItems % 2 == 1, &list);
    if (list.nItems < 0 || list.nItems > FETCH_ITEM_MAX || list.pItems[list.nItems] != nullptr) abort();
    (void)ItemsWriteAnything(&list);
    (void)ItemsMarkSeen(&list);
    (void)ItemsAskFlags(&list);

    Session* pSession = DrainedSession();
    std::string path = ScratchDirectory() + kMessageName;
    if (!WriteWholeFile(path, pMessage, nMessage)) abort();
    FetchMessage message;
    message.pFile = fopen(path.c_str(), "rb");
    if (message.pFile == nullptr) abort();
    if (!MessageContentSize(message.pFile, &message.ullSize)) message.ullSize = 0;
    pSession->szResponse[0] = '\0';
    pSession->Output.nSendLength = 0;
    EvaluateItems(pSession, &list, &message);
    FlushSend(pSession, 0);
    fclose(message.pFile);
    return 0;
}
