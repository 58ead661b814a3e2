// Drives the FETCH writers on a Session whose socket is one end of a socketpair, and collects
// what a client would receive on the other end.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "net/session.h"
#include "test_server.h"

struct FetchFixture {
    TempDir dir;                        // the selected mailbox directory
    std::unique_ptr<Session> session;   // zero-filled, logged in, mailbox selected

    FetchFixture();

    // Writes a message file "%010u-<flags>.MSG" with the content; returns its name.
    std::string AddMessage(unsigned uid, const std::string& flags, const std::string& content);
    // The same content in the scrambled form (0xFF, key byte, hex pairs of byte ^ key).
    std::string AddScrambledMessage(unsigned uid, const std::string& flags, const std::string& content,
                                    unsigned char key);
    // Names of the entries of the mailbox directory, sorted.
    std::vector<std::string> Entries() const;

    // Runs the body with a fresh socketpair under the session and returns everything sent,
    // including what is still buffered when the body returns.
    std::string Capture(const std::function<void()>& body);
    // Runs "<tag> FETCH <args>" (or UID FETCH) as the dispatcher would, the tagged line sent last.
    std::string Fetch(const std::string& args, bool bUid = false);
    // Runs the FETCH with a peer that has already gone away; returns the handler's result.
    int FetchToClosedPeer(const std::string& args);

    // Points FindData at a message file, as the walk does, for driving one writer.
    void SelectMessage(const std::string& name);
};

// Sets a file's access and write times (seconds since 1970).
bool SetFileTimes(const std::string& path, long long accessTime, long long writeTime);

std::string Scramble(const std::string& content, unsigned char key);
