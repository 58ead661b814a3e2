// The start-up routine shared by the service and the debug mode.
#pragma once

void StartUp(int argc, char** argv);
void PrintBanner();

// Signals hStopEvent when it exists (RequestStop).
void SignalStopEvent();
