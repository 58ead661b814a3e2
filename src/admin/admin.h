// veve4d-admin: user files, passwords, a user's mailboxes and a check of the configuration,
// read through the same registry and the same code as the server.
#pragma once

// Runs one admin command line (argv[0] is the program). Returns the exit code: 0 done, 1 the
// command failed or the check found problems, 2 the command line was wrong.
int AdminMain(int argc, char** argv);
