// The start-up routine shared by the service and the debug mode.
#pragma once

void StartUp(int argc, char** argv);
void PrintBanner();

// The stop asked for by the service control handler or Ctrl+C: the start-up thread's wait
// ends and the accept loop wakes.
void StopServer();
