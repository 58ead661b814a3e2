// CATENATE's URL parts (RFC 4469): an IMAP URL (RFC 5092) naming a message, or a section of it,
// in one of the logged-in user's own mailboxes, read as the bytes it names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct Session;

struct MessageUrl {
    std::string mailbox;  // the mailbox name, %-escapes undone
    bool bValidity = false;
    uint32_t ulValidity = 0;
    uint32_t ulUid = 0;
    std::string section;  // empty: the whole message
    bool bPartial = false;
    uint64_t ullStart = 0;
    bool bLength = false;
    uint64_t ullLength = 0;
};

// Reads "/mailbox[;UIDVALIDITY=v]/;UID=u[/;SECTION=s][/;PARTIAL=o[.l]]", alone or behind
// "imap://[user[;AUTH=...]@]host[:port]"; a user named there must be pszUser. False for any other
// form (an URLAUTH URL included: those are not served here).
bool ParseMessageUrl(const char* pszUrl, const char* pszUser, MessageUrl* pUrl);

enum UrlRead {
    URL_READ,
    URL_NAMES_NOTHING,  // no such mailbox, another UIDVALIDITY, no such message or section, unreadable
    URL_TOO_LARGE,      // more than the room given; nothing was handed on
};
// Hands the bytes the URL names in the session's own mail directory to pfnSink, in pieces, once
// it is known that there are at most ullRoom of them.
UrlRead CopyUrlContent(Session* pSession, const MessageUrl& url, uint64_t ullRoom,
                       const std::function<void(const char*, size_t)>& pfnSink);
