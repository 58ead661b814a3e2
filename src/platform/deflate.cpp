#include "platform/deflate.h"

#include <zlib.h>

#include <cstring>
#include <new>
#include <vector>

struct DeflateStream {
    z_stream z;
    bool bCompressor;
    bool bEnded;  // the stream is broken or finished: nothing more comes out of it
    // Compressed input fed and not yet taken, and how much of it zlib has read.
    std::vector<char> input;
    size_t nInputUsed;
    // The last take filled its whole buffer: zlib may hold more output.
    bool bOutputLeft;
};

void DeflateStreamDeleter::operator()(DeflateStream* pStream) const {
    if (pStream == nullptr) return;
    if (pStream->bCompressor) {
        deflateEnd(&pStream->z);
    } else {
        inflateEnd(&pStream->z);
    }
    delete pStream;
}

namespace {

// Raw DEFLATE, as IMAP's COMPRESS carries it; the largest window for the best ratio on mail.
constexpr int WINDOW_BITS = -15;
// A held input this large (everything taken) is given back rather than kept.
constexpr size_t INPUT_KEEP_MAX = 256 * 1024;

DeflateStream* NewStream(bool bCompressor) {
    DeflateStream* pStream = new (std::nothrow) DeflateStream();
    if (pStream == nullptr) return nullptr;
    pStream->bCompressor = bCompressor;
    memset(&pStream->z, 0, sizeof(pStream->z));
    int nResult = bCompressor ? deflateInit2(&pStream->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, WINDOW_BITS, 8,
                                             Z_DEFAULT_STRATEGY)
                              : inflateInit2(&pStream->z, WINDOW_BITS);
    if (nResult != Z_OK) {
        delete pStream;
        return nullptr;
    }
    return pStream;
}

}  // namespace

DeflatePtr DeflateCreateCompressor() { return DeflatePtr(NewStream(true)); }

DeflatePtr DeflateCreateDecompressor() { return DeflatePtr(NewStream(false)); }

bool DeflateCompress(DeflateStream* pStream, const char* pData, size_t nLength, bool bFlush, std::string* pOut) {
    if (pStream->bEnded) return false;
    z_stream& z = pStream->z;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(pData));
    z.avail_in = static_cast<uInt>(nLength);
    int nFlush = bFlush ? Z_SYNC_FLUSH : Z_NO_FLUSH;
    for (;;) {
        size_t nHad = pOut->size();
        // Room for what this input may become, and the flush marker.
        size_t nRoom = deflateBound(&z, z.avail_in) + 16;
        pOut->resize(nHad + nRoom);
        z.next_out = reinterpret_cast<Bytef*>(pOut->data() + nHad);
        z.avail_out = static_cast<uInt>(nRoom);
        int nResult = deflate(&z, nFlush);
        pOut->resize(nHad + nRoom - z.avail_out);
        if (nResult == Z_STREAM_ERROR) {
            pStream->bEnded = true;
            return false;
        }
        // Z_BUF_ERROR only says that no progress was possible: all was taken and flushed.
        if (z.avail_in == 0 && z.avail_out != 0) return true;
    }
}

void InflateFeed(DeflateStream* pStream, const char* pData, size_t nLength) {
    std::vector<char>& input = pStream->input;
    if (pStream->nInputUsed == input.size()) {
        input.clear();
        pStream->nInputUsed = 0;
        if (input.capacity() > INPUT_KEEP_MAX) input.shrink_to_fit();
    }
    input.insert(input.end(), pData, pData + nLength);
}

long InflateTake(DeflateStream* pStream, char* pBuffer, size_t nSize) {
    if (pStream->bEnded) return -1;
    if (nSize == 0) return 0;
    z_stream& z = pStream->z;
    z.next_in = reinterpret_cast<Bytef*>(pStream->input.data() + pStream->nInputUsed);
    z.avail_in = static_cast<uInt>(pStream->input.size() - pStream->nInputUsed);
    z.next_out = reinterpret_cast<Bytef*>(pBuffer);
    z.avail_out = static_cast<uInt>(nSize);
    int nResult = inflate(&z, Z_SYNC_FLUSH);
    pStream->nInputUsed = pStream->input.size() - z.avail_in;
    size_t nMade = nSize - z.avail_out;
    pStream->bOutputLeft = z.avail_out == 0;
    // A peer that ends the stream has nothing more to say in it; bad data cannot be followed.
    if (nResult == Z_STREAM_END || (nResult != Z_OK && nResult != Z_BUF_ERROR)) {
        pStream->bEnded = true;
        pStream->bOutputLeft = false;
        return nMade > 0 ? static_cast<long>(nMade) : -1;
    }
    return static_cast<long>(nMade);
}

bool InflatePending(const DeflateStream* pStream) {
    if (pStream->bEnded) return false;
    return pStream->bOutputLeft || pStream->nInputUsed < pStream->input.size();
}
