// The certificate check a configuration check relies on: which pairs load and what is said.
#include <gtest/gtest.h>

#include <string>

#include "platform/tls.h"
#include "test_server.h"
#include "tls_client.h"

namespace {

TEST(TlsKeyPair, MatchingPairOnlyLoads) {
    TempDir dir;
    ASSERT_TRUE(MakeCertificate(dir.path, "1"));
    ASSERT_TRUE(MakeCertificate(dir.path, "2"));
    WriteFile(dir.path + "/garbage.pem", "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n");
    struct Case {
        std::string strChain, strKey;
        bool bLoads;
        std::string strReason;
    };
    const Case cases[] = {
        {"cert1.pem", "key1.pem", true, ""},
        {"cert1.pem", "key2.pem", false, "does not match certificate"},
        {"cert1.pem", "nokey.pem", false, "certificate key " + dir.path + "/nokey.pem: No such file or directory"},
        {"garbage.pem", "key1.pem", false, "certificate chain " + dir.path + "/garbage.pem: "},
        {"key1.pem", "key1.pem", false, "certificate chain " + dir.path + "/key1.pem: "},
        {"", "key1.pem", false, "certificate chain: no file named"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strChain + " " + c.strKey);
        std::string strChain = c.strChain.empty() ? "" : dir.path + "/" + c.strChain;
        char szError[512] = "untouched";
        EXPECT_EQ(TlsCheckKeyPair(strChain.c_str(), (dir.path + "/" + c.strKey).c_str(), szError, sizeof(szError)),
                  c.bLoads);
        if (c.bLoads) {
            EXPECT_STREQ(szError, "");
        } else {
            EXPECT_NE(std::string(szError).find(c.strReason), std::string::npos) << szError;
        }
    }
}

}  // namespace
