// The running server trims its daily logs to the days the registry keeps.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_server.h"

namespace {

TEST(LogSweep, ServerRemovesOldDayFilesAtStartAndKeepsTodays) {
    TestServer server;
    std::filesystem::create_directories(server.dir + "/spool/imap4log");
    std::filesystem::create_directories(server.dir + "/spool/receiveimap4");
    for (const char* name : {"/spool/imap4log/000101.log", "/spool/receiveimap4/000101.log", "/spool/imap4log/a.log"}) {
        WriteFile(server.dir + name, "old\n");
    }
    ASSERT_TRUE(server.Start(TestServer::BasicRegistry(
        "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VLMVEVE4D-SVC]\n"
        "\"LogKeepDays\"=dword:00000001\n\"AcceptlogEnabled\"=dword:00000001\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VEVE4D\\Parameters]\n"
        "\"Imap4LogEnabled\"=dword:00000001\n")))
        << server.Output();
    ImapClient client;
    ASSERT_TRUE(client.Greeted(server.port));
    client.Command("a", "NOOP");
    ASSERT_TRUE(server.WaitForOutput("2 old log files removed.")) << server.Output();
    EXPECT_FALSE(FileExists(server.dir + "/spool/imap4log/000101.log"));
    EXPECT_FALSE(FileExists(server.dir + "/spool/receiveimap4/000101.log"));
    EXPECT_TRUE(FileExists(server.dir + "/spool/imap4log/a.log"));
    // Today's files, written by the session, stay.
    size_t nToday = 0;
    for (const auto& dir : {"/spool/imap4log", "/spool/receiveimap4"}) {
        for (const auto& entry : std::filesystem::directory_iterator(server.dir + dir)) {
            nToday += entry.path().filename().string().size() == 10 ? 1 : 0;
        }
    }
    EXPECT_EQ(nToday, 2u);
}

}  // namespace
