// What a mailbox costs the server: the one listing a mailbox index is built from, CountMailbox
// (STATUS), a single-UID listing, a listing with times (one statx per file), and the index
// itself: its build, a refresh with nothing changed (every command makes one), a flag change
// taken in from its event, and its memory per message. 10,000 and 100,000 message files.
//
//   listing_bench [directory-for-the-mailboxes]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "store/mailbox_index.h"
#include "store/store.h"

namespace {

double Milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

template <typename F>
double Best(int nRuns, F fn) {
    double dBest = 1e30;
    for (int i = 0; i < nRuns; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        fn();
        double d = Milliseconds(std::chrono::steady_clock::now() - t0);
        if (d < dBest) dBest = d;
    }
    return dBest;
}

void Run(const std::string& base, uint32_t ulFiles) {
    std::string box = base + "/box" + std::to_string(ulFiles);
    std::filesystem::create_directory(box);
    // Created in shuffled order so that the directory order is not already the name order.
    for (uint32_t i = 0; i < ulFiles; ++i) {
        uint32_t ulUid = (i * 7919u) % ulFiles + 1;
        char szName[32];
        FormatMessageName(szName, sizeof(szName), ulUid, (ulUid % 3) ? "000010" : "100000");
        std::ofstream(box + "/" + szName) << "Subject: x\r\n\r\nbody\r\n";
    }
    std::string pattern = box + "/" + ALL_MESSAGES_PATTERN;
    const int nRuns = ulFiles > 50000 ? 3 : 5;

    size_t nSeen = 0;
    double dList = Best(nRuns, [&] {
        nSeen = 0;
        FindFiles(pattern.c_str(), 0, [&nSeen](const FindData&) { return ++nSeen, true; });
    });
    double dCount = Best(nRuns, [&] {
        int32_t e, r, u, f;
        CountMailbox(box.c_str(), &e, &r, &u, &f);
    });
    char szSingle[MAX_PATH + 64];
    std::snprintf(szSingle, sizeof(szSingle), "%s/%010u-*.MSG", box.c_str(), ulFiles / 2);
    double dSingle = Best(nRuns, [&] { FindFiles(szSingle, 0, [](const FindData&) { return true; }); });
    double dTimes = Best(nRuns, [&] { FindFiles(pattern.c_str(), FIND_TIMES, [](const FindData&) { return true; }); });

    std::printf("%7u files (%zu listed): listing %8.2f ms  CountMailbox %8.2f ms  single-UID pattern %8.2f ms  "
                "listing with times %8.2f ms\n",
                ulFiles, nSeen, dList, dCount, dSingle, dTimes);

    size_t nBefore = MailboxIndex::MemoryInUse();
    std::shared_ptr<MailboxIndex> pIndex;
    auto t0 = std::chrono::steady_clock::now();
    ListResult result;
    pIndex = MailboxIndex::Open(box.c_str(), &result);
    double dBuild = Milliseconds(std::chrono::steady_clock::now() - t0);
    size_t nBytes = MailboxIndex::MemoryInUse() - nBefore;
    double dRefresh = Best(nRuns, [&] {
        for (int i = 0; i < 1000; i++) pIndex->Refresh();
    }) / 1000;
    char szOld[MAX_PATH + 64], szNew[MAX_PATH + 64];
    bool bPaths = FormatMessagePath(szOld, sizeof(szOld), box.c_str(), 1, "000010") &&
                  FormatMessagePath(szNew, sizeof(szNew), box.c_str(), 1, "000011");
    double dRename = Best(nRuns, [&] {
        for (int i = 0; bPaths && i < 100; i++) {
            std::rename(i % 2 ? szNew : szOld, i % 2 ? szOld : szNew);
            pIndex->Refresh();
        }
    }) / 100;
    std::printf("%7u files: index built in %8.2f ms, %zu bytes (%.1f per message); refresh %.4f ms unchanged, "
                "%.4f ms after a rename (rename included)\n",
                ulFiles, dBuild, nBytes, static_cast<double>(nBytes) / ulFiles, dRefresh, dRename);
    pIndex.reset();
    std::filesystem::remove_all(box);
}

}  // namespace

int main(int argc, char** argv) {
    std::string base;
    if (argc > 1) {
        base = argv[1];
    } else {
        char szTemplate[] = "/tmp/veve4d-bench-XXXXXX";
        if (mkdtemp(szTemplate) == nullptr) return 1;
        base = szTemplate;
    }
    std::printf("best of several runs, warm cache\n");
    Run(base, 10000);
    Run(base, 100000);
    if (argc <= 1) std::filesystem::remove_all(base);
    return 0;
}
