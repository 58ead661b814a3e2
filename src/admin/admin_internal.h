// Shared by the admin commands.
#pragma once

#include <string>
#include <vector>

// A user as the admin commands name one: "name" or "name@domain".
struct AdminUser {
    std::string name;
    std::string domain;  // the user file's domain
};

// One line of a user file, kept byte for byte so that a rewrite changes only what it means to.
struct UserFileLine {
    std::string raw;     // with its line feed, when it has one
    std::string record;  // the decoded record; empty when the line is not one the server reads
    std::string name;    // the record's first field
    bool bBase64 = true; // false when the text holds bytes that are no Base64 (the decoder skips them)
};

// Splits a user file's text into lines and decodes each as the server does.
std::vector<UserFileLine> ParseUserFile(const std::string& text);
// The record's five fields (missing ones empty).
std::vector<std::string> RecordFields(const std::string& record);
// The user file line for the fields; empty when the encoded record is longer than the server
// reads.
std::string EncodeUserLine(const std::vector<std::string>& fields);

// Why the server would refuse the name (empty: it would not).
std::string RefuseUserName(const std::string& name);
// Why a password cannot be stored in the user file and the password file (empty: it can).
std::string RefusePassword(const std::string& password);

// Splits "name[@domain]" and picks the default domain; prints the reason and returns false when
// the user cannot be named that way.
bool ParseAdminUser(const char* pszArg, AdminUser* pUser);
// account folder + domain + ".idx"; empty when there is no account folder.
std::string UserFilePath(const std::string& domain);
// The user's mail directory as the server resolves it (ends in "/"), empty when none.
std::string MailDirectoryOf(const AdminUser& user);

// Every domain whose user file a login may read: the local ones, then those bound to an address.
std::vector<std::string> UserFileDomains();
// Whether the domain is one of DomainNamesAreLocal or bound to an address.
bool IsKnownDomain(const std::string& domain);
// Whether the user exists where the server looks for it (its user file's record, or the
// operating-system account); prints why not.
bool UserExists(const AdminUser& user);
// The user whose mail directory is the same as this one's, or empty: two users sharing one
// directory read each other's mail.
std::string MailDirectoryClash(const AdminUser& user);
// The whole file; false (with a message) when it exists but cannot be read.
bool ReadWhole(const std::string& path, std::string* pText, bool* pbExists);

int CmdUserList(const std::vector<std::string>& args);
int CmdUserAdd(const std::vector<std::string>& args);
int CmdUserRemove(const std::vector<std::string>& args);
int CmdUserPassword(const std::vector<std::string>& args);
int CmdUserMailboxes(const std::vector<std::string>& args);
int CmdConfigCheck(const std::vector<std::string>& args);
