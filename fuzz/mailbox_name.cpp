// Mailbox names between UTF-8 and the stored modified UTF-7: whatever bytes come in, a name that
// decodes is the encoding of what it decodes to, an accepted UTF-8 name comes back from its
// encoding unchanged, and what a UTF-8 client is shown is an accepted UTF-8 name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imap/mailbox_utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::string text(reinterpret_cast<const char*>(pData), nSize);
    std::string decoded;
    if (DecodeModifiedUtf7(text, &decoded) && EncodeModifiedUtf7(decoded) != text) abort();
    if (CheckUtf8MailboxName(text) != UTF8_NAME_MALFORMED) {
        std::string encoded = EncodeModifiedUtf7(text);
        std::string back;
        if (!DecodeModifiedUtf7(encoded, &back) || back != text) abort();
        for (unsigned char c : encoded) {
            if (c < 0x20 || c > 0x7e) abort();
        }
    }
    std::string shown;
    if (StoredNameToUtf8(text, &shown) && CheckUtf8MailboxName(shown) != UTF8_NAME_OK) abort();
    return 0;
}
