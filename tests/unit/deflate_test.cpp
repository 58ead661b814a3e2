// The DEFLATE streams behind COMPRESS: what one side compresses the other gets back whole, in
// pieces of any size, and input that is no DEFLATE data is told apart from input still coming.
#include <gtest/gtest.h>

#include <string>

#include "platform/deflate.h"

namespace {

std::string Text(size_t nSize) {
    std::string text;
    for (size_t i = 0; text.size() < nSize; i++) text += "* " + std::to_string(i) + " FETCH (FLAGS (\\Seen))\r\n";
    text.resize(nSize);
    return text;
}

// Everything the decompressor gives for what it was fed, taken nChunk bytes at a time.
std::string TakeAll(DeflateStream* pInflate, size_t nChunk) {
    std::string out;
    std::string buffer(nChunk, '\0');
    for (;;) {
        long nMade = InflateTake(pInflate, buffer.data(), buffer.size());
        if (nMade <= 0) return out;
        out.append(buffer.data(), static_cast<size_t>(nMade));
    }
}

TEST(Deflate, EachFlushedSendIsReadableAtOnce) {
    DeflatePtr pDeflate = DeflateCreateCompressor();
    DeflatePtr pInflate = DeflateCreateDecompressor();
    ASSERT_TRUE(pDeflate && pInflate);
    // Several sends in one stream: each one, flushed, decompresses whole before the next arrives.
    for (size_t nSize : {1, 5000, 200000, 0, 7}) {
        std::string text = Text(nSize), packed;
        ASSERT_TRUE(DeflateCompress(pDeflate.get(), text.data(), text.size(), true, &packed));
        if (nSize >= 200000) {
            EXPECT_LT(packed.size() * 4, text.size());
        }
        InflateFeed(pInflate.get(), packed.data(), packed.size());
        // Taken in pieces smaller than what is there, until nothing more comes.
        EXPECT_EQ(TakeAll(pInflate.get(), 4096), text) << nSize;
        EXPECT_FALSE(InflatePending(pInflate.get()));
    }
}

TEST(Deflate, InputArrivesInAnyPieces) {
    DeflatePtr pDeflate = DeflateCreateCompressor();
    DeflatePtr pInflate = DeflateCreateDecompressor();
    std::string text = Text(100000), packed;
    ASSERT_TRUE(DeflateCompress(pDeflate.get(), text.data(), 60000, false, &packed));
    ASSERT_TRUE(DeflateCompress(pDeflate.get(), text.data() + 60000, 40000, true, &packed));
    std::string out;
    // One byte at a time: a piece that completes nothing gives 0, never an error.
    for (char c : packed) {
        InflateFeed(pInflate.get(), &c, 1);
        out += TakeAll(pInflate.get(), 3000);
    }
    EXPECT_EQ(out, text);
}

TEST(Deflate, BrokenInputIsAnError) {
    DeflatePtr pInflate = DeflateCreateDecompressor();
    const char garbage[] = "\xff\xff\xff\xff not deflate";
    InflateFeed(pInflate.get(), garbage, sizeof(garbage) - 1);
    char buffer[64];
    EXPECT_EQ(InflateTake(pInflate.get(), buffer, sizeof(buffer)), -1);
    // And stays one: nothing after it can be followed.
    EXPECT_EQ(InflateTake(pInflate.get(), buffer, sizeof(buffer)), -1);
    EXPECT_FALSE(InflatePending(pInflate.get()));
}

}  // namespace
