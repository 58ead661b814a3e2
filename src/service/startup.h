// The start-up routine shared by the service and the debug mode.
#pragma once

void StartUp(int argc, char** argv);
void PrintBanner();

// The stop asked for by the service control handler or Ctrl+C: the start-up thread's wait
// ends and the accept loop wakes.
void StopServer();

// True when the last start failed or its listener ended without a stop: the process must end
// with a non-zero status.
bool ServerFailed();
// SIGHUP: loads the TLS certificate and key again (renewals) and says so in the system log; a
// certificate that does not load leaves the one in use in place.
void ReloadServer();
