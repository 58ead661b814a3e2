#include "platform/process.h"

#include <unistd.h>

unsigned long GetCurrentProcessId() {
    return static_cast<unsigned long>(getpid());
}
