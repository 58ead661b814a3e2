// The options of the command line and the texts printed for them.
#include <cctype>
#include <cstdio>

#include "config/settings.h"
#include "platform/text.h"
#include "service/service.h"

CommandOption ParseCommandOption(int argc, char** argv) {
    // Only the first argument counts, and only with a leading "-" or "/".
    if (argc < 2 || argv[1] == nullptr || (argv[1][0] != '-' && argv[1][0] != '/')) return OPTION_NONE;
    const char* pszOption = argv[1] + 1;
    if (EqualNoCase(pszOption, "install")) return OPTION_INSTALL;
    if (EqualNoCase(pszOption, "remove")) return OPTION_REMOVE;
    if (EqualNoCase(pszOption, "debug")) return OPTION_DEBUG;
    if (EqualNoCase(pszOption, "version")) return OPTION_VERSION;
    return OPTION_NONE;
}

void PrintUsage() {
    char szName[64];
    size_t n = 0;
    for (; SERVICE_NAME[n] != '\0' && n + 1 < sizeof szName; ++n) {
        szName[n] = static_cast<char>(tolower(static_cast<unsigned char>(SERVICE_NAME[n])));
    }
    szName[n] = '\0';
    printf("%s -install          It inserts service.\n", szName);
    printf("%s -remove           It removes service.\n", szName);
    printf("%s -debug            To debug, it executes as the console application.\n", szName);
    printf("%s -version          It displays a version.\n", szName);
    printf("\nSeveral seconds or the debug mode borrows to end.\n");
    printf("waiting...\n");
}

void PrintVersion() {
    printf("Velmora IMAP4rev1 Server Beta%s %s %s", SERVER_VERSION, "",
           "\nIMAP4rev1 mail server of the Velmora mail system, on Linux.\n\n");
}
