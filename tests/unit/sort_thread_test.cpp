// SORT and THREAD: base subjects, sent dates and message IDs as RFC 5256 reads them, the sort
// order, both threading algorithms on tables of headers (missing and broken References, loops,
// duplicate IDs, subjects), and the commands as a client sees them, with the keys the index keeps.
#include <unistd.h>

#include <string>
#include <vector>

#include "config/settings.h"
#include "fetch_support.h"
#include "imap/sort_keys.h"
#include "imap/sort_thread.h"
#include "imap/view.h"

namespace {

struct SubjectCase {
    const char* pszRaw;
    const char* pszBase;
    bool bReply;
};

TEST(SortKeys, BaseSubjectTakesAwayPrefixesTagsAndTrailers) {
    const SubjectCase cases[] = {
        {"", "", false},
        {"Hello", "Hello", false},
        {"  spaced \t  out  ", "spaced out", false},
        // Reply and forward marks, in any case, with blanks or a tag before the colon.
        {"Re: Hello", "Hello", true},
        {"RE:Hello", "Hello", true},
        {"re : Hello", "Hello", true},
        {"Re[2]: Hello", "Hello", true},
        {"Re [2] : Hello", "Hello", true},
        {"Fw: x", "x", true},
        {"FWD: x", "x", true},
        {"Re: Re: Fwd: x", "x", true},
        {"Re:", "", true},
        // Words that only start like a mark are the subject.
        {"Ref: x", "Ref: x", false},
        {"Fwx: y", "Fwx: y", false},
        {"Ad: Re: x", "Ad: Re: x", false},
        {"x Re: y", "x Re: y", false},
        // List tags go when something is left after them; a tag alone is the subject.
        {"[list] x", "x", false},
        {"[list] Re: x", "x", true},
        {"Re: [list] x", "x", true},
        {"[a][b] x", "x", false},
        {"[list]", "[list]", false},
        {"[a] [b]", "[b]", false},
        {"[unclosed x", "[unclosed x", false},
        {"[a[b] x", "[a[b] x", false},
        // Trailers, and a forward wrapped in brackets, unwrapped as often as it is nested.
        {"x (fwd)", "x", true},
        {"x(FWD)  (fwd) ", "x", true},
        {"x (fwd) y", "x (fwd) y", false},
        {"[Fwd: x]", "x", true},
        {"[fwd: Re: x]", "x", true},
        {"Re: [FWD: c]", "c", true},
        {"re: [fwd: [fwd: re: [fwd: babylon]]]", "babylon", true},
        {"[fwd: x", "[fwd: x", false},
        {"[foo] Fwd: [bar] Re: fw: b (fWd)  (fwd)", "b", true},
        // Encoded words are decoded first: a mark inside one counts.
        {"=?utf-8?q?Re=3A_hello?=", "hello", true},
        {"=?us-ascii?b?UmU6IGM=?=", "c", true},
        {"=?iso-8859-1?q?R=E9sum=E9?=", "R\xC3\xA9sum\xC3\xA9", false},
        {"Re: =?utf-8?q?a?= =?utf-8?q?b?=", "ab", true},
        {"=?iso-8859-1?q?_?=", "", false},
        {"=?utf-8?q?x?=\t(fwd)", "x", true},
    };
    for (const SubjectCase& c : cases) {
        bool bReply = !c.bReply;
        EXPECT_EQ(BaseSubject(c.pszRaw, &bReply), c.pszBase) << c.pszRaw;
        EXPECT_EQ(bReply, c.bReply) << c.pszRaw;
    }
}

TEST(SortKeys, SentDatesAreReadWithTheirZones) {
    const std::pair<const char*, int64_t> good[] = {
        {"Fri, 22 Feb 2008 00:00:00 +0200", 1203631200},
        {"22 Feb 2008 00:00:00 +0200", 1203631200},
        {"Fri,22 Feb 2008 00:00 +0200", 1203631200},
        {" Thu, 21 Feb 2008 22:00:00 +0000 (UTC)", 1203631200},
        {"Thu, 21 Feb 2008 22:00:00 GMT", 1203631200},
        {"Thu, 21 Feb 2008 21:00:00 -0100", 1203631200},
        {"Fri, 22 Feb 2008 10:52:00 EST", 1203695520},
        {"Fri, 22 Feb 08 10:52:00 EST", 1203695520},
        {"Friday, 22 February 2008 10:52:00 EST", 1203695520},
        {"22-Feb-2008 10:52:00 -0500", 1203695520},
        {"Fri, 31 Dec 99 23:59:60 +0000", 946684800},
        {"Fri, 29 Feb 2008 01:02:03", 1204246923},
        {"Fri, 29 Feb 2008 01:02:03 XYZ", 1204246923},
    };
    for (const auto& [pszText, llExpected] : good) {
        int64_t llSeconds = 0;
        EXPECT_TRUE(ParseSentDate(pszText, &llSeconds)) << pszText;
        EXPECT_EQ(llSeconds, llExpected) << pszText;
    }
    const char* const bad[] = {
        "", "yesterday", "Fri, 30 Feb 2008 00:00:00 +0000", "Fri, 22 Fub 2008 00:00:00 +0000",
        "Fri, 22 Feb 2008 24:00:00 +0000", "Fri, 22 Feb 2008 10:60:00 +0000", "Fri, 22 Feb 2008 +0000",
        "Fri, 22 Feb 2008 10:00:00 +0260", "Fri, 22 Feb 2008 10:00:00 +02", "Fri, 0 Feb 2008 10:00:00",
    };
    for (const char* pszText : bad) {
        int64_t llSeconds = 0;
        EXPECT_FALSE(ParseSentDate(pszText, &llSeconds)) << pszText;
    }
}

TEST(SortKeys, MessageIdsAndTheKeysOfAHeader) {
    EXPECT_EQ(ParseMessageIds("<a@b> <c@d>"), (std::vector<std::string>{"a@b", "c@d"}));
    EXPECT_EQ(ParseMessageIds("<a@b>,<nope> <@x> <y@> junk <c@\r\n d>"), (std::vector<std::string>{"a@b", "c@d"}));
    EXPECT_EQ(ParseMessageIds("<<a@b> <x@y"), (std::vector<std::string>{"a@b"}));
    EXPECT_EQ(ParseMessageIds("no ids at all"), std::vector<std::string>{});

    auto pKeys = SortKeysFromHeader(
        "From: =?iso-8859-1?q?J=F6rg?= <joerg@Example.ORG>\r\n"
        "to: undisclosed:;\r\n"
        "Cc: (a comment) cc@x.y\r\n"
        "Subject: Re: [list]\r\n (fwd)\r\n"
        "Subject: second subject is not the one\r\n"
        "Date: Fri, 22 Feb 2008 00:00:00 +0200\r\n"
        "Message-ID: <Id@Host>\r\n"
        "In-Reply-To: <parent@host> <other@host>\r\n"
        "\r\n"
        "Subject: in the body\r\n",
        1000, 77);
    EXPECT_EQ(pKeys->Get(SortKeys::FROM), "JOERG");
    EXPECT_EQ(pKeys->Get(SortKeys::DISPLAY_FROM), "J\xC3\xB6RG");
    EXPECT_EQ(pKeys->Get(SortKeys::TO), "UNDISCLOSED");
    EXPECT_EQ(pKeys->Get(SortKeys::DISPLAY_TO), "UNDISCLOSED");
    EXPECT_EQ(pKeys->Get(SortKeys::CC), "CC");
    EXPECT_EQ(pKeys->Get(SortKeys::SUBJECT), "[LIST]");
    EXPECT_TRUE(pKeys->bReply);
    EXPECT_EQ(pKeys->llSent, 1203631200);
    EXPECT_EQ(pKeys->llArrival, 1000);
    EXPECT_EQ(pKeys->ullSize, 77u);
    EXPECT_EQ(pKeys->Get(SortKeys::MESSAGE_ID), "Id@Host");
    // In-Reply-To stands in for References with its first ID only.
    EXPECT_EQ(pKeys->References(), (std::vector<std::string_view>{"parent@host"}));

    // No date that can be read: the arrival is the sent date. A display name that is empty
    // gives way to the address.
    pKeys = SortKeysFromHeader("Date: someday\r\nTo: \"\" <x@y.z>\r\nReferences: junk\r\nIn-Reply-To: <p@q>\r\n", 55, 0);
    EXPECT_EQ(pKeys->llSent, 55);
    EXPECT_EQ(pKeys->Get(SortKeys::DISPLAY_TO), "X@Y.Z");
    EXPECT_EQ(pKeys->References(), (std::vector<std::string_view>{"p@q"}));

    // A very long chain keeps its root and its nearest parents.
    std::string refs = "References:";
    for (int i = 0; i < 400; i++) refs += " <" + std::to_string(i) + "@x>";
    pKeys = SortKeysFromHeader(refs + "\r\nIn-Reply-To: <other@x>\r\n\r\n", 0, 0);
    std::vector<std::string_view> kept = pKeys->References();
    ASSERT_EQ(kept.size(), 256u);
    EXPECT_EQ(kept.front(), "0@x");
    EXPECT_EQ(kept[1], "145@x");
    EXPECT_EQ(kept.back(), "399@x");
}

// ---- Sorting ----------------------------------------------------------------------------------

TEST(SortOrder, CriteriaListsAreCheckedWhole) {
    std::vector<SortCriterion> criteria;
    std::string strError;
    EXPECT_EQ(ParseSortCriteria("(reverse Date SUBJECT) UTF-8 ALL", &criteria, &strError), 22u);
    ASSERT_EQ(criteria.size(), 2u);
    EXPECT_EQ(criteria[0].key, SORT_DATE);
    EXPECT_TRUE(criteria[0].bReverse);
    EXPECT_EQ(criteria[1].key, SORT_SUBJECT);
    EXPECT_FALSE(criteria[1].bReverse);
    for (const char* pszBad : {"()", "(REVERSE)", "(DATE", "(DATE REVERSE)", "(FOO)", "DATE", "(REVERSE REVERSE DATE)",
                               "(DATE  SIZE)", "(DATE(SIZE))", ""}) {
        criteria.clear();
        EXPECT_EQ(ParseSortCriteria(pszBad, &criteria, &strError), 0u) << pszBad;
        EXPECT_FALSE(strError.empty()) << pszBad;
    }
}

std::shared_ptr<SortKeys> Keys(int64_t llSent, uint64_t ullSize, const char* pszSubject) {
    auto pKeys = SortKeysFromHeader(std::string("Subject: ") + pszSubject + "\r\n", llSent, ullSize);
    return pKeys;
}

std::string Order(const std::vector<SortCriterion>& criteria, const std::vector<std::shared_ptr<SortKeys>>& keys) {
    std::vector<OrderedMessage> messages;
    for (size_t i = 0; i < keys.size(); i++) {
        messages.push_back(OrderedMessage{static_cast<uint32_t>(i + 1), static_cast<uint32_t>(i + 1), keys[i].get()});
    }
    SortMessages(criteria, &messages);
    std::string out;
    for (const OrderedMessage& m : messages) out += (out.empty() ? "" : " ") + std::to_string(m.ulNumber);
    return out;
}

TEST(SortOrder, ReverseTurnsOnlyItsOwnKeyAndTiesKeepTheMailboxOrder) {
    std::vector<std::shared_ptr<SortKeys>> keys = {Keys(20, 5, "b"), Keys(10, 5, "A"), Keys(20, 1, "Re: a"),
                                                   Keys(10, 9, "b"), Keys(20, 5, "c")};
    EXPECT_EQ(Order({{SORT_DATE, false}}, keys), "2 4 1 3 5");
    EXPECT_EQ(Order({{SORT_DATE, true}}, keys), "1 3 5 2 4");
    EXPECT_EQ(Order({{SORT_DATE, true}, {SORT_SIZE, false}}, keys), "3 1 5 2 4");
    EXPECT_EQ(Order({{SORT_SIZE, true}, {SORT_DATE, true}}, keys), "4 1 5 2 3");
    // Subjects compare by their base, without regard to ASCII case.
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, keys), "2 3 1 4 5");
    EXPECT_EQ(Order({{SORT_SUBJECT, true}, {SORT_ARRIVAL, true}}, keys), "5 1 4 3 2");
}

// A repeated sort compares the ranks its last run left on the keys; a message whose keys are new,
// or a set that was never ranked together, is ranked again.
TEST(SortOrder, KeptRanksAreUsedOnlyForMessagesRankedTogether) {
    std::vector<std::shared_ptr<SortKeys>> keys = {Keys(1, 1, "delta"), Keys(1, 1, "alpha"), Keys(1, 1, "charlie"),
                                                   Keys(1, 1, "bravo")};
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, keys), "2 4 3 1");
    EXPECT_EQ(Order({{SORT_SUBJECT, true}}, keys), "1 3 4 2");
    // A part of the set keeps its order.
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, {keys[0], keys[2]}), "2 1");
    // The third message written again: its new keys carry no rank.
    keys[2] = Keys(1, 1, "aardvark");
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, keys), "3 2 4 1");
    // Two sets ranked apart, then sorted together.
    std::vector<std::shared_ptr<SortKeys>> others = {Keys(1, 1, "echo"), Keys(1, 1, "baker")};
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, others), "2 1");
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, {keys[0], keys[1], others[0], others[1]}), "2 4 1 3");
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, {keys[3], others[1]}), "2 1");
    // Each text key has its own ranks: a sort by sender leaves the subjects' as they were.
    EXPECT_EQ(Order({{SORT_FROM, false}, {SORT_SUBJECT, true}}, keys), "1 4 2 3");
    EXPECT_EQ(Order({{SORT_SUBJECT, false}}, keys), "3 2 4 1");
}

// ---- Threads ----------------------------------------------------------------------------------

// Headers one message a line ("|" separates fields), sent one minute apart unless a Date says.
std::string Thread(ThreadAlgorithm algorithm, const std::vector<std::string>& headers) {
    std::vector<std::shared_ptr<SortKeys>> keys;
    std::vector<OrderedMessage> messages;
    for (size_t i = 0; i < headers.size(); i++) {
        std::string header = headers[i];
        for (size_t at; (at = header.find('|')) != std::string::npos;) header.replace(at, 1, "\r\n");
        keys.push_back(SortKeysFromHeader(header + "\r\n\r\n", 1000000 + static_cast<int64_t>(i) * 60, 100));
        messages.push_back(OrderedMessage{static_cast<uint32_t>(i + 1), static_cast<uint32_t>(i + 1), keys.back().get()});
    }
    return ThreadMessages(algorithm, messages);
}

struct ThreadCase {
    const char* pszWhat;
    std::vector<std::string> headers;
    const char* pszThreads;
};

TEST(Threads, ReferencesLinkParentsAndChildren) {
    const ThreadCase cases[] = {
        {"nothing", {}, ""},
        {"a chain", {"Message-ID: <a@x>", "Message-ID: <b@x>|References: <a@x>", "Message-ID: <c@x>|References: <a@x> <b@x>"},
         "(1 2 3)"},
        {"siblings", {"Message-ID: <a@x>", "Message-ID: <b@x>|References: <a@x>", "Message-ID: <c@x>|References: <a@x>"},
         "(1 (2)(3))"},
        // A message without references is a root, whatever another's References said of it.
        {"a chain told only by the youngest",
         {"Message-ID: <c@x>|References: <a@x> <b@x>", "Message-ID: <b@x>", "Message-ID: <a@x>"}, "(2 1)(3)"},
        {"a chain told only by the youngest, confirmed",
         {"Message-ID: <c@x>|References: <a@x> <b@x>", "Message-ID: <b@x>|References: <a@x>", "Message-ID: <a@x>"},
         "(3 2 1)"},
        {"children before their parent in the mailbox",
         {"Message-ID: <b@x>|In-Reply-To: <a@x>", "Message-ID: <a@x>"}, "(2 1)"},
        {"In-Reply-To alone", {"Message-ID: <a@x>", "Message-ID: <b@x>|In-Reply-To: <a@x>"}, "(1 2)"},
        {"In-Reply-To stands in for broken References",
         {"Message-ID: <a@x>", "Message-ID: <b@x>|References: junk <no-at>|In-Reply-To: <a@x>"}, "(1 2)"},
        {"References win over In-Reply-To",
         {"Message-ID: <a@x>", "Message-ID: <c@x>", "Message-ID: <b@x>|References: <a@x>|In-Reply-To: <c@x>"},
         "(1 3)(2)"},
        {"IDs are compared with their case", {"Message-ID: <a@x>", "Message-ID: <b@x>|References: <A@x>"}, "(1)(2)"},
        {"dates order siblings, not the mailbox",
         {"Message-ID: <a@x>", "Message-ID: <b@x>|References: <a@x>|Date: 1 Jan 2020 00:00:00 +0000",
          "Message-ID: <c@x>|References: <a@x>|Date: 1 Jan 2019 00:00:00 +0000"},
         "(1 (3)(2))"},
    };
    for (const ThreadCase& c : cases) EXPECT_EQ(Thread(THREAD_REFERENCES, c.headers), c.pszThreads) << c.pszWhat;
}

TEST(Threads, MissingParentsBecomeDummiesThatArePruned) {
    const ThreadCase cases[] = {
        {"one child of a missing parent stands alone", {"Message-ID: <b@x>|References: <gone@x>"}, "(1)"},
        {"two children of a missing parent share a thread",
         {"Message-ID: <b@x>|References: <gone@x>", "Message-ID: <c@x>|References: <gone@x>"}, "((1)(2))"},
        {"messages without IDs under a missing parent", {"References: <gone@x>", "References: <gone@x>"}, "((1)(2))"},
        {"a missing message inside a thread gives its children to its parent",
         {"Message-ID: <a@x>", "Message-ID: <c@x>|References: <a@x> <gone@x>",
          "Message-ID: <d@x>|References: <a@x> <gone@x>"},
         "(1 (2)(3))"},
        {"a chain of missing messages above one",
         {"Message-ID: <d@x>|References: <gone1@x> <gone2@x> <gone3@x>"}, "(1)"},
        {"a missing root over a missing parent with two children",
         {"Message-ID: <c@x>|References: <gone1@x> <gone2@x>", "Message-ID: <d@x>|References: <gone1@x> <gone2@x>"},
         "((1)(2))"},
        {"a dummy thread is placed by its first child's date",
         {"Message-ID: <a@x>|Date: 1 Jan 2020 00:00:00 +0000", "Message-ID: <b@x>|References: <gone@x>",
          "Message-ID: <c@x>|References: <gone@x>"},
         "((2)(3))(1)"},
    };
    for (const ThreadCase& c : cases) EXPECT_EQ(Thread(THREAD_REFERENCES, c.headers), c.pszThreads) << c.pszWhat;
}

TEST(Threads, LoopsAndDuplicateIdsAreBrokenNotFollowed) {
    const ThreadCase cases[] = {
        {"a message naming itself", {"Message-ID: <a@x>|References: <a@x>"}, "(1)"},
        {"two messages naming each other", {"Message-ID: <a@x>|References: <b@x>", "Message-ID: <b@x>|References: <a@x>"},
         "(2 1)"},
        {"a loop through three", {"Message-ID: <a@x>|References: <c@x>", "Message-ID: <b@x>|References: <a@x>",
                                  "Message-ID: <c@x>|References: <b@x>"},
         "(3 1 2)"},
        {"a reference list that loops on itself", {"Message-ID: <a@x>|References: <p@x> <q@x> <p@x>"}, "(1)"},
        // The message's own References name its parent: the link another message's References made
        // is broken even where the new one would close a loop.
        {"a parent named by another message gives way",
         {"Message-ID: <a@b>", "Message-ID: <b@b>|References: <a@b> <c@b>", "Message-ID: <c@b>|References: <b@b>"},
         "(1)(3 2)"},
        {"a duplicate ID is a message of its own",
         {"Message-ID: <a@x>", "Message-ID: <b@x>|References: <a@x>", "Message-ID: <c@x>|References: <b@x>",
          "Message-ID: <b@x>|References: <a@x>"},
         "(1 (2 3)(4))"},
        {"duplicates without subjects stay apart", {"Message-ID: <a@x>", "Message-ID: <a@x>"}, "(1)(2)"},
    };
    for (const ThreadCase& c : cases) EXPECT_EQ(Thread(THREAD_REFERENCES, c.headers), c.pszThreads) << c.pszWhat;
}

TEST(Threads, ThreadsWithTheSameSubjectAreJoined) {
    const ThreadCase cases[] = {
        {"a reply goes under the original", {"Subject: x", "Subject: Re: x"}, "(1 2)"},
        {"also when the reply came first", {"Subject: Re: x", "Subject: x"}, "(2 1)"},
        {"two originals go under a dummy", {"Subject: x", "Subject: X"}, "((1)(2))"},
        {"two replies go under a dummy", {"Subject: Re: x", "Subject: Fwd: x"}, "((1)(2))"},
        {"empty subjects are never joined", {"Subject: Re:", "Subject:"}, "(1)(2)"},
        {"a thread joins a dummy thread of its subject",
         {"Message-ID: <b@x>|References: <gone@x>|Subject: x", "Message-ID: <c@x>|References: <gone@x>|Subject: Re: x",
          "Subject: x"},
         "((1)(2)(3))"},
        {"two dummy threads of a subject become one",
         {"References: <g1@x>|Subject: x", "References: <g1@x>|Subject: x", "References: <g2@x>|Subject: Re: x",
          "References: <g2@x>|Subject: Re: x"},
         "((1)(2)(3)(4))"},
        {"only top-level threads are joined",
         {"Message-ID: <a@x>|Subject: x", "Message-ID: <b@x>|References: <a@x>|Subject: y", "Subject: Re: y"},
         "(1 2)(3)"},
    };
    for (const ThreadCase& c : cases) EXPECT_EQ(Thread(THREAD_REFERENCES, c.headers), c.pszThreads) << c.pszWhat;
}

TEST(Threads, ADeepChainIsThreadedWithoutRecursion) {
    std::vector<std::string> headers;
    std::string expected = "(";
    const int nDepth = 100000;
    for (int i = 0; i < nDepth; i++) {
        headers.push_back("Message-ID: <" + std::to_string(i) + "@x>" +
                          (i > 0 ? "|In-Reply-To: <" + std::to_string(i - 1) + "@x>" : ""));
        expected += (i > 0 ? " " : "") + std::to_string(i + 1);
    }
    EXPECT_EQ(Thread(THREAD_REFERENCES, headers), expected + ")");
}

TEST(Threads, OrderedSubjectGroupsBySubjectAndDate) {
    const ThreadCase cases[] = {
        {"nothing", {}, ""},
        {"one subject", {"Subject: x", "Subject: Re: x", "Subject: [l] x"}, "(1 (2)(3))"},
        {"one child continues the thread", {"Subject: x", "Subject: y", "Subject: re: X"}, "(1 3)(2)"},
        {"dates, not the mailbox, order threads and children",
         {"Subject: a|Date: 1 Jan 2020 00:00:00 +0000", "Subject: b|Date: 1 Jan 2019 00:00:00 +0000",
          "Subject: a|Date: 1 Jan 2018 00:00:00 +0000", "Subject: a"},
         "(4 (3)(1))(2)"},
        {"messages without a subject are one thread", {"From: a@b", "Subject: =?utf-8?q?_?="}, "(1 2)"},
        {"references do not matter", {"Message-ID: <a@x>|Subject: x", "References: <a@x>|Subject: y"}, "(1)(2)"},
    };
    for (const ThreadCase& c : cases) EXPECT_EQ(Thread(THREAD_ORDEREDSUBJECT, c.headers), c.pszThreads) << c.pszWhat;
}

// ---- The commands -----------------------------------------------------------------------------

struct SortFixture : FetchFixture {
    std::string Run(const std::string& command) {
        std::string line = "a1 " + command + "\r\n";
        snprintf(session->szRecv, sizeof(session->szRecv), "%s", line.c_str());
        return Capture([this] { DispatchCommand(session.get()); });
    }
};

TEST(SortCommand, AnswersRefusalsAndTheUidForms) {
    SortFixture f;
    f.Add(4, "000010", "Subject: b\r\nFrom: Zed <a@x>\r\nDate: 1 Jan 2020 00:00:00 +0000\r\n\r\nbody\r\n");
    f.Add(7, "000000", "Subject: Re: a\r\nFrom: b@x\r\nDate: 1 Jan 2021 00:00:00 +0000\r\nMessage-ID: <m@x>\r\n\r\nlonger body\r\n");
    f.Add(9, "000010", "Subject: c\r\nFrom: Al <c@x>\r\nIn-Reply-To: <m@x>\r\n\r\nb\r\n", 0x5A);  // scrambled
    const std::pair<const char*, const char*> cases[] = {
        {"SORT (SUBJECT) UTF-8 ALL", "* SORT 2 1 3\r\na1 OK SORT completed\r\n"},
        {"sort (reverse subject) us-ascii all", "* SORT 3 1 2\r\na1 OK sort completed\r\n"},
        {"UID SORT (FROM) \"UTF-8\" ALL", "* SORT 4 7 9\r\na1 OK SORT completed\r\n"},
        {"SORT (DISPLAYFROM) UTF-8 ALL", "* SORT 3 2 1\r\na1 OK SORT completed\r\n"},
        {"SORT (SIZE) UTF-8 SEEN", "* SORT 3 1\r\na1 OK SORT completed\r\n"},
        {"SORT (DATE) UTF-8 UID 1:5", "* SORT 1\r\na1 OK SORT completed\r\n"},
        {"SORT (DATE) UTF-8 UID 100", "* SORT\r\na1 OK SORT completed\r\n"},
        {"THREAD REFERENCES UTF-8 ALL", "* THREAD (1)(2 3)\r\na1 OK THREAD completed\r\n"},
        {"UID THREAD references UTF-8 ALL", "* THREAD (4)(7 9)\r\na1 OK THREAD completed\r\n"},
        {"THREAD ORDEREDSUBJECT UTF-8 ALL", "* THREAD (1)(2)(3)\r\na1 OK THREAD completed\r\n"},
        {"THREAD REFERENCES UTF-8 UNSEEN", "* THREAD (2)\r\na1 OK THREAD completed\r\n"},
        {"THREAD REFERENCES UTF-8 UID 100", "* THREAD\r\na1 OK THREAD completed\r\n"},
        {"SORT (SUBJECT) KOI8-R ALL", "a1 NO [BADCHARSET (US-ASCII UTF-8)] SORT charset not supported\r\n"},
        {"THREAD REFERENCES KOI8-R ALL", "a1 NO [BADCHARSET (US-ASCII UTF-8)] THREAD charset not supported\r\n"},
        {"SORT (SUBJECT) UTF-8", "a1 BAD SORT needs a charset and search criteria\r\n"},
        {"SORT (SUBJECT)", "a1 BAD SORT: sort criteria must be followed by a charset\r\n"},
        {"SORT SUBJECT UTF-8 ALL", "a1 BAD SORT: sort criteria must be a parenthesised list\r\n"},
        {"SORT (SUBJECT) UTF-8 FROB", nullptr},
        {"THREAD", "a1 BAD illegal argument.(THREAD)\r\n"},
        {"THREAD REFS UTF-8 ALL", "a1 BAD THREAD: unknown threading algorithm\r\n"},
        {"THREAD REFERENCES", "a1 BAD THREAD needs a charset and search criteria\r\n"},
    };
    for (const auto& [pszCommand, pszAnswer] : cases) {
        std::string answer = f.Run(pszCommand);
        if (pszAnswer != nullptr) {
            EXPECT_EQ(answer, pszAnswer) << pszCommand;
        } else {
            EXPECT_TRUE(answer.starts_with("a1 BAD SORT: ")) << pszCommand << ": " << answer;
        }
    }
    // Nothing of the decoded copy stays.
    EXPECT_EQ(f.Entries().size(), 3u);
    f.session->State = Imap4Authorization;
    EXPECT_EQ(f.Run("SORT (SUBJECT) UTF-8 ALL"), "a1 NO Command unrecognized: SORT\r\n");
}

// As with SEARCH, a message expunged elsewhere is announced after SORT and THREAD only in their
// UID forms: the client may be holding sequence numbers the answer must keep meaning.
TEST(SortCommand, ExpungesWaitForTheUidForms) {
    SortFixture f;
    f.Add(1, "000000", "Subject: a\r\n\r\n");
    std::string second = f.dir.path + "/" + f.Add(2, "000000", "Subject: b\r\n\r\n");
    EXPECT_EQ(f.Run("SORT (SUBJECT) UTF-8 ALL"), "* SORT 1 2\r\na1 OK SORT completed\r\n");
    ASSERT_EQ(unlink(second.c_str()), 0);
    EXPECT_EQ(f.Run("SORT (REVERSE SUBJECT) UTF-8 ALL"), "* SORT 1\r\na1 OK SORT completed\r\n");
    EXPECT_EQ(f.Run("THREAD REFERENCES UTF-8 ALL"), "* THREAD (1)\r\na1 OK THREAD completed\r\n");
    EXPECT_EQ(f.Run("UID THREAD REFERENCES UTF-8 ALL"), "* THREAD (1)\r\n* 2 EXPUNGE\r\na1 OK THREAD completed\r\n");
    f.Add(3, "000000", "Subject: c\r\n\r\n");
    ASSERT_EQ(unlink((f.dir.path + "/0000000001-000000.MSG").c_str()), 0);
    EXPECT_EQ(f.Run("SORT (SUBJECT) UTF-8 ALL"), "* SORT\r\n* 2 EXISTS\r\n* 0 RECENT\r\na1 OK SORT completed\r\n");
    EXPECT_EQ(f.Run("UID SORT (SUBJECT) UTF-8 ALL"), "* SORT 3\r\n* 1 EXPUNGE\r\na1 OK SORT completed\r\n");
}

TEST(SortCommand, ARepeatedSortReadsTheKeptKeysNotTheFiles) {
    int32_t lLimit = Settings.IndexCacheLimit;
    Settings.IndexCacheLimit = 64;
    SortFixture f;
    std::string first = f.dir.path + "/" + f.Add(1, "000000", "Subject: a\r\n\r\n" + std::string(300, 'x'));
    f.Add(2, "000000", "Subject: b\r\n\r\n" + std::string(200, 'x'));
    f.Add(3, "000000", "Subject: c\r\n\r\n" + std::string(100, 'x'));
    EXPECT_EQ(f.Run("SORT (SIZE) UTF-8 ALL"), "* SORT 3 2 1\r\na1 OK SORT completed\r\n");
    MailboxIndex& index = *CurrentView(f.session.get())->pIndex;
    for (uint32_t ulUid : {1u, 2u, 3u}) EXPECT_TRUE(SortKeysKept(index, ulUid)) << ulUid;
    // Cut behind the index's back (no write of the file, so no event): the kept size answers.
    ASSERT_EQ(truncate(first.c_str(), 20), 0);
    EXPECT_EQ(f.Run("SORT (SIZE) UTF-8 ALL"), "* SORT 3 2 1\r\na1 OK SORT completed\r\n");
    EXPECT_EQ(f.Run("THREAD ORDEREDSUBJECT UTF-8 ALL"), "* THREAD (1)(2)(3)\r\na1 OK THREAD completed\r\n");
    // A message written anew is read anew.
    f.Add(2, "000000", "Subject: b\r\n\r\n");
    EXPECT_EQ(f.Run("SORT (SIZE) UTF-8 ALL"), "* SORT 2 3 1\r\na1 OK SORT completed\r\n");
    // With no room in the index nothing more is kept.
    Settings.IndexCacheLimit = 0;
    f.Add(4, "000000", "Subject: d\r\n\r\n");
    EXPECT_EQ(f.Run("NOOP"), "* 4 EXISTS\r\n* 0 RECENT\r\na1 OK NOOP completed\r\n");
    EXPECT_EQ(f.Run("SORT (SIZE) UTF-8 ALL"), "* SORT 2 4 3 1\r\na1 OK SORT completed\r\n");
    EXPECT_FALSE(SortKeysKept(index, 4));
    Settings.IndexCacheLimit = lLimit;
}

// SEARCH's header keys answer from the fields kept with the sort keys: read from the header once,
// never stale after the message is written again or expunged, and read from the file again
// when the index has no room to keep them.
TEST(SortCommand, HeaderSearchesAnswerFromTheKeptFields) {
    int32_t lLimit = Settings.IndexCacheLimit;
    Settings.IndexCacheLimit = 64;
    SortFixture f;
    std::string first = f.dir.path + "/" + f.Add(1, "000000",
        "From: Alice <alice@example.org>\r\nSubject: Budget\r\n =?UTF-8?Q?f=C3=BCr?= 2024\r\n"
        "Date: Mon, 1 Jul 2024 23:30:00 -0700\r\nTo: team@example.net\r\n\r\nbody zebra\r\n");
    f.Add(2, "000000", "From: bob (the builder) @ example.org\r\nCc: Carol <carol@example.org>\r\n"
                        "Subject: lunch\r\nSubject: second budget\r\n\r\nalice in the body\r\n");
    f.Add(3, "000000", "Subject: no sender\r\nBcc: audit@example.org\r\n");  // all header, no blank line
    const std::pair<const char*, const char*> cases[] = {
        {"SEARCH FROM alice", "* SEARCH 1\r\n"},
        {"SEARCH FROM ALICE@EXAMPLE.ORG", "* SEARCH 1\r\n"},
        {"SEARCH FROM bob@example.org", "* SEARCH 2\r\n"},     // comment and blanks seen through
        {"SEARCH FROM \"(the builder)\"", "* SEARCH 2\r\n"},  // but the field as written matches too
        {"SEARCH HEADER From bob@example.org", "* SEARCH\r\n"},
        {"SEARCH SUBJECT \"budget f\xC3\x9CR\"", "* SEARCH 1\r\n"},
        {"SEARCH SUBJECT budget", "* SEARCH 1 2\r\n"},         // a later field of the name counts
        {"SEARCH SUBJECT \"lunchsecond\"", "* SEARCH\r\n"},     // but no match spans two fields
        {"SEARCH HEADER Subject \"\"", "* SEARCH 1 2 3\r\n"},
        {"SEARCH FROM \"\"", "* SEARCH 1 2\r\n"},
        {"SEARCH CC carol BCC audit", "* SEARCH\r\n"},
        {"SEARCH OR CC carol BCC audit", "* SEARCH 2 3\r\n"},
        {"SEARCH TO team", "* SEARCH 1\r\n"},
        {"SEARCH SENTON 1-Jul-2024", "* SEARCH 1\r\n"},
        {"SEARCH SENTBEFORE 1-Jul-2024", "* SEARCH\r\n"},
        {"SEARCH NOT SENTSINCE 1-Jan-2000", "* SEARCH 2 3\r\n"},
        {"SEARCH FROM alice BODY zebra", "* SEARCH 1\r\n"},
        {"SEARCH OR FROM carol TEXT alice", "* SEARCH 1 2\r\n"},
    };
    auto check = [&](const char* pszWhen) {
        for (const auto& [pszCommand, pszAnswer] : cases) {
            EXPECT_EQ(f.Run(pszCommand), std::string(pszAnswer) + "a1 OK SEARCH completed\r\n") << pszWhen << ": " << pszCommand;
        }
    };
    check("read from the files");
    MailboxIndex& index = *CurrentView(f.session.get())->pIndex;
    for (uint32_t ulUid : {1u, 2u, 3u}) EXPECT_TRUE(SortKeysKept(index, ulUid)) << ulUid;
    check("kept");
    // Cut behind the index's back (no write, no event): the kept fields still answer.
    ASSERT_EQ(truncate(first.c_str(), 10), 0);
    EXPECT_EQ(f.Run("SEARCH FROM alice"), "* SEARCH 1\r\na1 OK SEARCH completed\r\n");
    // Written anew: read anew.
    f.Add(1, "000000", "From: Zed <zed@example.org>\r\nSubject: other\r\n\r\n");
    EXPECT_EQ(f.Run("SEARCH FROM alice"), "* SEARCH\r\na1 OK SEARCH completed\r\n");
    EXPECT_EQ(f.Run("SEARCH FROM zed SUBJECT other"), "* SEARCH 1\r\na1 OK SEARCH completed\r\n");
    // Gone: matches nothing, and the same UID written again later is a new message.
    ASSERT_EQ(unlink(first.c_str()), 0);
    EXPECT_EQ(f.Run("SEARCH FROM zed"), "* SEARCH\r\na1 OK SEARCH completed\r\n");
    // Without room in the index every answer comes from the files, the same.
    Settings.IndexCacheLimit = 0;
    f.Add(4, "000000", "From: Dave <dave@example.org>\r\nSubject: budget\r\n\r\n");
    EXPECT_EQ(f.Run("NOOP"), "* 1 EXPUNGE\r\n* 3 EXISTS\r\n* 0 RECENT\r\na1 OK NOOP completed\r\n");
    EXPECT_EQ(f.Run("SEARCH SUBJECT budget"), "* SEARCH 1 3\r\na1 OK SEARCH completed\r\n");
    EXPECT_EQ(f.Run("SEARCH FROM dave"), "* SEARCH 3\r\na1 OK SEARCH completed\r\n");
    EXPECT_FALSE(SortKeysKept(index, 4));
    Settings.IndexCacheLimit = lLimit;
}

}  // namespace
