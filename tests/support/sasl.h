// Client side of the AUTHENTICATE exchanges and of the Base64 user files.
#pragma once

#include <string>

#include "auth/base64.h"
#include "auth/md5.h"

// The Base64 form of a text or, with bDecode, the text of a Base64 form.
inline std::string B64(const std::string& strText, bool bDecode = false) {
    std::string strOut(strText.size() * 2 + 8, '\0');
    int n = bDecode ? Base64Decode(strText.data(), strText.size(), strOut.data(), strOut.size())
                    : Base64Encode(strText.data(), strText.size(), strOut.data(), strOut.size());
    strOut.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return strOut;
}
inline std::string Unb64(const std::string& strText) { return B64(strText, true); }

// A CRAM-MD5 answer: the user, a blank and the digest of the challenge keyed with the password.
inline std::string CramAnswer(const std::string& strUser, const std::string& strChallenge,
                              const std::string& strPassword) {
    char szHex[40];
    HmacMd5Hex(strChallenge.c_str(), strPassword.c_str(), szHex);
    return strUser + " " + szHex;
}
