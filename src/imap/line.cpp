#include "imap/line.h"

#include <cstring>

void SplitRequestLine(Session* pSession) {
    pSession->pArgs = nullptr;
    pSession->pCommand = nullptr;
    pSession->pTag = pSession->szRecv;
    char* pBlank = strchr(pSession->szRecv, ' ');
    if (pBlank == nullptr) {
        EndAtFirstCrOrLf(pSession->pTag);
        return;
    }
    *pBlank = '\0';
    pSession->pCommand = pBlank + 1;
    SplitWordAndArgs(pSession->pCommand, &pSession->pArgs);
}

void SplitWordAndArgs(char* pWord, char** ppArgs) {
    char* pBlank = strchr(pWord, ' ');
    if (pBlank == nullptr) {
        EndAtFirstCrOrLf(pWord);
        return;
    }
    // The arguments run to the command's end: line ends inside belong to its literals.
    *pBlank = '\0';
    *ppArgs = pBlank + 1;
}

void EndAtFirstCrOrLf(char* pszText) {
    char* p = pszText;
    while (*p == '\r' || *p == '\n') {
        p++;
    }
    if (*p == '\0') {
        return;
    }
    p += strcspn(p, "\r\n");
    *p = '\0';
}

void EndAtCrLfPair(char* pszText) {
    char* pCrLf = strstr(pszText, "\r\n");
    if (pCrLf != nullptr) {
        *pCrLf = '\0';
    } else {
        EndAtFirstCrOrLf(pszText);
    }
}
