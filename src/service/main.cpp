#include "service/service.h"

int main(int argc, char** argv) {
    return ServiceEntry(argc, argv);
}
