// Sessions on one mailbox keep one list of its messages between them while they know the same,
// and a change one of them makes or learns never reaches what another's client was told before
// it is announced there.
#include <string>

#include "imap/view.h"
#include "mail_session.h"

namespace {

constexpr size_t kMessages = 2 * ViewList::BLOCK + 100;  // two full blocks and a part

class SharedViews : public InboxSession {
protected:
    void SetUp() override {
        InboxSession::SetUp();
        std::string names;
        for (size_t n = 1; n <= kMessages; n++) names += std::to_string(n) + "-000000 ";
        Put(names);
        a.Run("s SELECT INBOX");
        b.Run("s SELECT INBOX");
    }
    // Whether the two views hold the same block at the message of that number.
    bool Shared(size_t nSequence) const {
        return a.session->pView->messages.BlockOf(nSequence - 1) == b.session->pView->messages.BlockOf(nSequence - 1);
    }
    OtherSession a{mailDir}, b{mailDir};
    const std::string last = std::to_string(kMessages);
};

TEST_F(SharedViews, AFlagChangeIsCopiedAwayFromTheOtherViewUntilItIsTold) {
    ASSERT_TRUE(Shared(1) && Shared(ViewList::BLOCK + 1) && Shared(kMessages));
    EXPECT_EQ(a.Run("1 STORE 3 +FLAGS.SILENT (\\Flagged)"), "1 OK STORE completed\r\n");
    EXPECT_FALSE(Shared(3));
    EXPECT_TRUE(Shared(ViewList::BLOCK + 1));
    // B still holds the flags its client knows, so it sees the change and tells it.
    EXPECT_EQ(b.Run("1 NOOP"), "* 3 FETCH (FLAGS (\\Flagged))\r\n1 OK NOOP completed\r\n");
    EXPECT_TRUE(Shared(3));
    // A FETCH that changes nothing leaves the views sharing once it is answered.
    EXPECT_EQ(b.Run("2 FETCH 2:3 (FLAGS)"), "* 2 FETCH (FLAGS ())\r\n* 3 FETCH (FLAGS (\\Flagged))\r\n"
                                              "2 OK FETCH completed\r\n");
    EXPECT_TRUE(Shared(3));
    // A keyword makes a new table of keyword sets in A; B learns it and both share again.
    a.Run("2 STORE 2 +FLAGS.SILENT ($Done)");
    EXPECT_TRUE(b.Run("3 NOOP").ends_with("* 2 FETCH (FLAGS ($Done))\r\n3 OK NOOP completed\r\n"));
    a.Run("3 NOOP");
    EXPECT_TRUE(Shared(2));
    EXPECT_EQ(a.Run("4 FETCH 2 (FLAGS)"), "* 2 FETCH (FLAGS ($Done))\r\n4 OK FETCH completed\r\n");
}

TEST_F(SharedViews, AnExpungeAndANewMessageKeepTheOtherNumberingUntilAnnounced) {
    a.Run("1 STORE " + std::to_string(ViewList::BLOCK + 2) + " +FLAGS.SILENT (\\Deleted)");
    EXPECT_EQ(a.Run("2 EXPUNGE"), "* " + std::to_string(ViewList::BLOCK + 2) + " EXPUNGE\r\n2 OK EXPUNGE completed\r\n");
    Put(std::to_string(kMessages + 1) + "-000000");
    EXPECT_EQ(a.Run("3 NOOP"), "* " + last + " EXISTS\r\n* 0 RECENT\r\n3 OK NOOP completed\r\n");
    // The blocks before the expunged message stay shared; B's numbers behind it have not moved.
    EXPECT_TRUE(Shared(1));
    const std::string after = std::to_string(kMessages + 1);
    EXPECT_EQ(b.Run("1 FETCH " + last + " (UID)"),
              "* " + last + " FETCH (UID " + last + ")\r\n* " + after + " EXISTS\r\n* 0 RECENT\r\n1 OK FETCH completed\r\n");
    EXPECT_EQ(b.Run("2 FETCH " + std::to_string(ViewList::BLOCK + 2) + " (UID)"), "2 OK FETCH completed\r\n");
    EXPECT_EQ(b.Run("3 NOOP"), "* " + std::to_string(ViewList::BLOCK + 2) + " EXPUNGE\r\n3 OK NOOP completed\r\n");
    EXPECT_TRUE(Shared(1) && Shared(ViewList::BLOCK + 1) && Shared(kMessages));
    EXPECT_EQ(b.Run("4 FETCH " + last + " (UID)"), "* " + last + " FETCH (UID " + after + ")\r\n4 OK FETCH completed\r\n");
    EXPECT_EQ(b.Run("5 UID SEARCH " + std::to_string(ViewList::BLOCK + 1) + ":" + std::to_string(ViewList::BLOCK + 3)),
              "* SEARCH " + std::to_string(ViewList::BLOCK + 1) + " " + std::to_string(ViewList::BLOCK + 3) + " " +
                  std::to_string(ViewList::BLOCK + 4) + "\r\n5 OK SEARCH completed\r\n");
}

TEST_F(SharedViews, RecentHeldByOneSessionDoesNotStopTheSharing) {
    Put(std::to_string(kMessages + 1) + "-100000 " + std::to_string(kMessages + 2) + "-100000");
    EXPECT_EQ(a.Run("1 NOOP"), "* " + std::to_string(kMessages + 2) + " EXISTS\r\n* 2 RECENT\r\n1 OK NOOP completed\r\n");
    EXPECT_EQ(b.Run("1 NOOP"), "* " + std::to_string(kMessages + 2) + " EXISTS\r\n* 0 RECENT\r\n1 OK NOOP completed\r\n");
    EXPECT_TRUE(Shared(kMessages + 1));
    const std::string range = std::to_string(kMessages) + ":*";
    EXPECT_EQ(a.Run("2 FETCH " + range + " (FLAGS)"),
              "* " + last + " FETCH (FLAGS ())\r\n* " + std::to_string(kMessages + 1) + " FETCH (FLAGS (\\Recent))\r\n* " +
                  std::to_string(kMessages + 2) + " FETCH (FLAGS (\\Recent))\r\n2 OK FETCH completed\r\n");
    EXPECT_EQ(b.Run("2 FETCH " + range + " (FLAGS)"),
              "* " + last + " FETCH (FLAGS ())\r\n* " + std::to_string(kMessages + 1) + " FETCH (FLAGS ())\r\n* " +
                  std::to_string(kMessages + 2) + " FETCH (FLAGS ())\r\n2 OK FETCH completed\r\n");
    // A session opened later shares the list too, and has nothing recent.
    OtherSession c{mailDir};
    EXPECT_NE(c.Run("1 SELECT INBOX").find("* 0 RECENT\r\n"), std::string::npos);
    EXPECT_EQ(c.session->pView->messages.BlockOf(1), a.session->pView->messages.BlockOf(1));
    EXPECT_EQ(c.session->pView->messages.BlockOf(kMessages), a.session->pView->messages.BlockOf(kMessages));
}

}  // namespace
