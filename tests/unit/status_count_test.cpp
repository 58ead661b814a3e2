// STATUS of a mailbox that no session has open: its counts are kept between two STATUS commands
// while the directory stays as it was, and never outlive a change to it.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "mail_session.h"

namespace {

using StatusCounts = InboxSession;

// The file system keeps the directory's stamp coarsely, so a count is kept only once the last
// change is older than that: each case waits past it before the count it checks is kept.
void WaitPastTheStampGrain() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }

TEST_F(StatusCounts, KeptCountsFollowEveryChangeToTheDirectory) {
    MakeMailbox("work");
    Write({{"work/0000000001-100000.MSG", "Subject: a\r\n\r\na\r\n"},
           {"work/0000000002-000000.MSG", "Subject: b\r\n\r\nb\r\n"},
           {"work/0000000003-000010.MSG", "Subject: c\r\n\r\nc\r\n"}});
    const std::string ask = "t STATUS work (MESSAGES RECENT UNSEEN UIDNEXT)";
    auto answer = [](const char* pszCounts) {
        return std::string("* STATUS work (") + pszCounts + ")\r\nt OK STATUS completed\r\n";
    };
    WaitPastTheStampGrain();
    EXPECT_EQ(Run(ask), answer("MESSAGES 3 RECENT 1 UNSEEN 2 UIDNEXT 4"));
    EXPECT_EQ(Run(ask), answer("MESSAGES 3 RECENT 1 UNSEEN 2 UIDNEXT 4"));
    // A delivery.
    Write({{"work/0000000004-000000.MSG", "Subject: d\r\n\r\nd\r\n"}});
    EXPECT_EQ(Run(ask), answer("MESSAGES 4 RECENT 1 UNSEEN 3 UIDNEXT 5"));
    // A flag change is a rename.
    WaitPastTheStampGrain();
    EXPECT_EQ(Run(ask), answer("MESSAGES 4 RECENT 1 UNSEEN 3 UIDNEXT 5"));
    ASSERT_EQ(rename(Path("work/0000000002-000000.MSG").c_str(), Path("work/0000000002-000010.MSG").c_str()), 0);
    EXPECT_EQ(Run(ask), answer("MESSAGES 4 RECENT 1 UNSEEN 2 UIDNEXT 5"));
    // An expunge.
    WaitPastTheStampGrain();
    EXPECT_EQ(Run(ask), answer("MESSAGES 4 RECENT 1 UNSEEN 2 UIDNEXT 5"));
    ASSERT_EQ(unlink(Path("work/0000000001-100000.MSG").c_str()), 0);
    EXPECT_EQ(Run(ask), answer("MESSAGES 3 RECENT 0 UNSEEN 1 UIDNEXT 5"));
    // Counted from the index of a session that has the mailbox open, and kept the same way.
    OtherSession reader(mailDir);
    EXPECT_NE(reader.Run("r EXAMINE work").find("* 3 EXISTS\r\n"), std::string::npos);
    WaitPastTheStampGrain();
    EXPECT_EQ(Run(ask), answer("MESSAGES 3 RECENT 0 UNSEEN 1 UIDNEXT 5"));
    EXPECT_EQ(Run(ask), answer("MESSAGES 3 RECENT 0 UNSEEN 1 UIDNEXT 5"));
    Write({{"work/0000000005-000000.MSG", "Subject: e\r\n\r\ne\r\n"}});
    EXPECT_EQ(Run(ask), answer("MESSAGES 4 RECENT 0 UNSEEN 2 UIDNEXT 6"));
    ASSERT_EQ(unlink(Path("work/0000000005-000000.MSG").c_str()), 0);
    // SIZE is never taken from a kept count: a message written again in place leaves the
    // directory's stamp alone.
    WaitPastTheStampGrain();
    EXPECT_EQ(Run("t STATUS work (MESSAGES SIZE)"), "* STATUS work (MESSAGES 3 SIZE 51)\r\nt OK STATUS completed\r\n");
    WriteFile(Path("work/0000000004-000000.MSG"), "Subject: d\r\n\r\nlonger\r\n");
    EXPECT_EQ(Run("t STATUS work (MESSAGES SIZE)"), "* STATUS work (MESSAGES 3 SIZE 56)\r\nt OK STATUS completed\r\n");
}

}  // namespace
