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
    // "--version" and "--help" as every other program takes them; "/?" as Windows programs do.
    if (EqualNoCase(argv[1], "--version")) return OPTION_VERSION;
    if (EqualNoCase(argv[1], "--help") || EqualNoCase(pszOption, "help") || EqualNoCase(pszOption, "h") ||
        EqualNoCase(pszOption, "?")) {
        return OPTION_HELP;
    }
    if (EqualNoCase(pszOption, "install")) return OPTION_INSTALL;
    if (EqualNoCase(pszOption, "remove")) return OPTION_REMOVE;
    if (EqualNoCase(pszOption, "debug")) return OPTION_DEBUG;
    if (EqualNoCase(pszOption, "version")) return OPTION_VERSION;
    return OPTION_NONE;
}

namespace {

void LowerServiceName(char* pszName, size_t nSize) {
    size_t n = 0;
    for (; SERVICE_NAME[n] != '\0' && n + 1 < nSize; ++n) {
        pszName[n] = static_cast<char>(tolower(static_cast<unsigned char>(SERVICE_NAME[n])));
    }
    pszName[n] = '\0';
}

void PrintOptions(const char* pszName) {
    printf("%s -install          It inserts service.\n", pszName);
    printf("%s -remove           It removes service.\n", pszName);
    printf("%s -debug            To debug, it executes as the console application.\n", pszName);
    printf("%s -version          It displays a version.\n", pszName);
}

}  // namespace

void PrintHelp() {
    printf("Usage: veve4d [-install | -remove | -debug | -version | -help]\n\n");
    PrintOptions("veve4d");
    printf("veve4d -help             It displays this text.\n");
    char szName[64];
    LowerServiceName(szName, sizeof szName);
    printf("\nWithout an option the server runs as the systemd service %s.service; the settings are\n"
           "read from /etc/veve4d/registry.reg (VEVE4D_REGISTRY names another file). See veve4d(8).\n",
           szName);
}

void PrintUsage() {
    char szName[64];
    LowerServiceName(szName, sizeof szName);
    PrintOptions(szName);
    printf("\nSeveral seconds or the debug mode borrows to end.\n");
    printf("waiting...\n");
}

void PrintVersion() {
    printf("Velmora IMAP4rev1 Server Beta%s %s %s", SERVER_VERSION, "",
           "\nIMAP4rev1 mail server of the Velmora mail system, on Linux.\n\n");
}
