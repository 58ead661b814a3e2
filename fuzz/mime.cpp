// The MIME parser: one streaming pass over a message, the tree of parts it leaves, and the
// section paths resolved against that tree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "imap/mime.h"

namespace {

// Every range a section fetch would read lies inside the message, and the parts form a tree.
void CheckTree(const MimeTree& tree) {
    if (tree.parts.empty()) abort();
    for (size_t i = 0; i < tree.parts.size(); i++) {
        const MimePart& part = tree.parts[i];
        if (part.ullHeaderOffset + part.ullHeaderSize > tree.ullSize) abort();
        if (part.ullBodyOffset + part.ullBodySize > tree.ullSize) abort();
        if (part.ullHeaderOffset + part.ullHeaderSize > part.ullBodyOffset) abort();
        if (part.nDepth > MIME_DEPTH_MAX + 1) abort();
        if (i == 0 ? part.nParent != -1 : (part.nParent < 0 || static_cast<size_t>(part.nParent) >= i)) abort();
        for (int nChild : part.children) {
            if (nChild <= static_cast<int>(i) || static_cast<size_t>(nChild) >= tree.parts.size()) abort();
            if (tree.parts[static_cast<size_t>(nChild)].nParent != static_cast<int>(i)) abort();
        }
    }
    if (tree.parts.size() > MIME_PART_MAX + 1) abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QuietConsole();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FILE* pFile = fmemopen(const_cast<uint8_t*>(pData), nSize, "rb");
    if (pFile == nullptr) {
        // fmemopen refuses an empty buffer; an empty message is still a message.
        pFile = tmpfile();
        if (pFile == nullptr) abort();
    }
    uint64_t ullSize = 0;
    if (!MessageContentSize(pFile, &ullSize) || ullSize > nSize) abort();
    MimeTree tree;
    if (!ParseMime(pFile, ullSize, &tree)) abort();
    fclose(pFile);
    if (tree.ullSize != ullSize) abort();
    CheckTree(tree);

    // Every path of up to three numbers from 0 to 3: existing parts, missing ones and zero.
    for (uint32_t a = 0; a < 4; a++) {
        for (uint32_t b = 0; b < 4; b++) {
            for (uint32_t c = 0; c < 4; c++) {
                const uint32_t path[] = {a, b, c};
                for (size_t n = 0; n <= 3; n++) {
                    MimeSection section = ResolveMimeSection(tree, path, n);
                    if (section.nPart >= static_cast<int>(tree.parts.size())) abort();
                    if (section.nMessage >= static_cast<int>(tree.parts.size())) abort();
                }
            }
        }
    }
    for (const MimePart& part : tree.parts) {
        (void)part.Param("charset");
        (void)part.Param("boundary");
        (void)part.IsMessageRfc822();
    }
    std::string first;
    std::vector<MimeParam> params;
    ParseMimeValue(std::string(reinterpret_cast<const char*>(pData), nSize < MIME_VALUE_MAX ? nSize : MIME_VALUE_MAX),
                   &first, &params);
    return 0;
}
