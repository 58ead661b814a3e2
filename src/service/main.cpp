#include <cstdio>
#include <cstdlib>

#include "service/service.h"

int main(int argc, char** argv) {
    // The trace is read line by line from files and pipes (tests, tail -f): no block buffering.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int nResult = ServiceEntry(argc, argv);
    // Client threads may still run; see EndProcess in the service host.
    fflush(nullptr);
    std::_Exit(nResult);
}
