// MD5 (RFC 1321) and the keyed digest HMAC-MD5 (RFC 2104) that CRAM-MD5 answers with.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5Context {
    uint32_t ulState[4];
    uint64_t ullBits;
    unsigned char bBuffer[64];
};

void Md5Init(Md5Context* pContext);
void Md5Update(Md5Context* pContext, const void* pData, size_t nLength);
void Md5Final(Md5Context* pContext, unsigned char bDigest[16]);
void Md5(const void* pData, size_t nLength, unsigned char bDigest[16]);

void HmacMd5(const void* pText, size_t nTextLength, const void* pKey, size_t nKeyLength,
             unsigned char bDigest[16]);
// HMAC-MD5 of the challenge text keyed with the password, as 32 lower-case hex digits
// (pszHex holds at least 33 characters).
void HmacMd5Hex(const char* pszText, const char* pszKey, char* pszHex);
