#include "admin/admin.h"

int main(int argc, char** argv) {
    return AdminMain(argc, argv);
}
