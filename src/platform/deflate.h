// Raw DEFLATE streams (RFC 1951, no zlib or gzip wrapper) for a connection that compresses both
// ways. zlib stays behind this interface.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// One direction's state: a compressor for what is sent, or a decompressor for what comes in.
struct DeflateStream;
struct DeflateStreamDeleter {
    void operator()(DeflateStream* pStream) const;
};
using DeflatePtr = std::unique_ptr<DeflateStream, DeflateStreamDeleter>;

// Null when zlib could not set up the stream (no memory).
DeflatePtr DeflateCreateCompressor();
DeflatePtr DeflateCreateDecompressor();

// Compresses nLength bytes and appends what comes out to *pOut. With bFlush everything given so
// far leaves in whole (a sync flush), so the peer can act on it without waiting for more; without
// it zlib may hold bytes back for a better ratio. False when zlib failed.
bool DeflateCompress(DeflateStream* pStream, const char* pData, size_t nLength, bool bFlush, std::string* pOut);

// Hands received compressed bytes to the decompressor, which keeps them until they are taken.
void InflateFeed(DeflateStream* pStream, const char* pData, size_t nLength);
// Decompresses into pBuffer what the bytes fed so far hold, up to nSize; the count, 0 when it
// needs more input, -1 when the input is no valid DEFLATE stream (or it ended).
long InflateTake(DeflateStream* pStream, char* pBuffer, size_t nSize);
// Whether InflateTake may give more without new input.
bool InflatePending(const DeflateStream* pStream);
