// The registry of a Windows host, kept as a file in regedit's export format. Only the
// HKEY_LOCAL_MACHINE hive is kept; the server reads nothing else. The file is parsed once and
// then only read, so lookups need no lock.
#include "platform/registry.h"
#include "platform/fs.h"
#include "platform/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

struct RegValue {
    std::string name;  // as written in the file; looked up without regard to case
    uint32_t type;
    std::vector<unsigned char> data;
};

struct RegKey {
    std::vector<RegValue> values;  // file order, for RegEnumValue
};

struct Registry {
    std::map<std::string, RegKey> keys;  // by lower-cased path below HKEY_LOCAL_MACHINE
    std::vector<RegFileLine> lines;      // what each line gave, for a configuration check
};

Registry g_registry;
std::once_flag g_loaded;

std::string Lower(const std::string& s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Key paths as the callers give them ("SOFTWARE\\EMWAC\\IMS"): no leading or trailing
// separator, runs of separators folded, compared in lower case.
std::string KeyId(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            if (!out.empty() && out.back() != '\\') out.push_back('\\');
        } else {
            out.push_back(c);
        }
    }
    while (!out.empty() && out.back() == '\\') out.pop_back();
    return Lower(out);
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// UTF-16LE code units to UTF-8; an unpaired surrogate becomes U+FFFD rather than being dropped.
std::string Utf16ToUtf8(const unsigned char* p, size_t nUnits) {
    std::string out;
    for (size_t i = 0; i < nUnits; ++i) {
        uint32_t cu = p[2 * i] | (static_cast<uint32_t>(p[2 * i + 1]) << 8);
        if (cu >= 0xD800 && cu <= 0xDBFF && i + 1 < nUnits) {
            uint32_t lo = p[2 * i + 2] | (static_cast<uint32_t>(p[2 * i + 3]) << 8);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((cu - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (cu >= 0xD800 && cu <= 0xDFFF) cu = 0xFFFD;
        AppendUtf8(out, cu);
    }
    return out;
}

// regedit writes UTF-16LE with a byte-order mark; hand-written files are usually UTF-8.
std::string DecodeFileText(const char* pText, size_t nLength) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pText);
    if (nLength >= 2 && p[0] == 0xFF && p[1] == 0xFE) return Utf16ToUtf8(p + 2, (nLength - 2) / 2);
    if (nLength >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) return std::string(pText + 3, nLength - 3);
    // UTF-16LE without a mark still shows a NUL as the second byte of "W" or "R".
    if (nLength >= 2 && p[0] != 0 && p[1] == 0) return Utf16ToUtf8(p, nLength / 2);
    return std::string(pText, nLength);
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool StartsWithNoCase(const std::string& s, size_t pos, const char* prefix) {
    size_t n = strlen(prefix);
    return s.size() >= pos + n && EqualNoCase(s.substr(pos, n), prefix);
}

// A quoted text starting at s[pos] == '"'. regedit escapes only "\\" and "\""; Wine's str(n):
// form also writes \0, \n, \r and \t. Any other "\x" stands for x.
bool ParseQuoted(const std::string& s, size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    ++pos;
    out.clear();
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return true;
        if (c == '\\') {
            if (pos >= s.size()) return false;
            char e = s[pos++];
            switch (e) {
                case '0': out.push_back('\0'); break;
                case 'n': out.push_back('\n'); break;
                case 'r': out.push_back('\r'); break;
                case 't': out.push_back('\t'); break;
                default: out.push_back(e); break;
            }
            continue;
        }
        out.push_back(c);
    }
    return false;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(const std::string& s, uint32_t& value) {
    if (s.empty() || s.size() > 8) return false;
    value = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return false;
        value = (value << 4) | static_cast<uint32_t>(d);
    }
    return true;
}

// "61,00,62,00" (continuation backslashes already removed); blanks around bytes are tolerated.
bool ParseHexBytes(const std::string& s, std::vector<unsigned char>& out) {
    out.clear();
    std::string t = Trim(s);
    if (t.empty()) return true;
    size_t pos = 0;
    while (true) {
        size_t comma = t.find(',', pos);
        std::string item = Trim(t.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (item.empty() || item.size() > 2) return false;
        uint32_t v = 0;
        if (!ParseHexNumber(item, v)) return false;
        out.push_back(static_cast<unsigned char>(v));
        if (comma == std::string::npos) break;
        pos = comma + 1;
    }
    return true;
}

bool IsStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Values are kept as the server's own code reads them: text as UTF-8 bytes with its NUL, a
// multi-string ending in the extra NUL.
void TerminateString(uint32_t type, std::vector<unsigned char>& data) {
    if (type == REG_MULTI_SZ) {
        if (data.empty()) return;  // regedit's hex(7): with no bytes is a value with no data
        if (data.back() != 0) data.push_back(0);
        if (data.size() < 2 || data[data.size() - 2] != 0) data.push_back(0);
        return;
    }
    if (data.empty() || data.back() != 0) data.push_back(0);
}

struct Parser {
    Registry reg;
    const char* pszOrigin;
    bool bUnicode = true;           // "Version 5.00": hex text is UTF-16LE
    bool bInHklm = false;           // values of other hives are skipped
    bool bSectionSeen = false;
    std::string currentKey;         // lower-cased id
    std::string currentPath;        // the key as written, hive included
};

void Complain(Parser& ps, size_t lineNo, const std::string& text) {
    printf("(error) registry %s line %zu skipped.\n", ps.pszOrigin, lineNo);
    ps.reg.lines.push_back(RegFileLine{lineNo, REG_LINE_SKIPPED, text, "", REG_NONE, false});
}

void AddKeyWithParents(Registry& reg, const std::string& id) {
    reg.keys.try_emplace(id);
    for (size_t pos = id.find('\\'); pos != std::string::npos; pos = id.find('\\', pos + 1)) {
        reg.keys.try_emplace(id.substr(0, pos));
    }
}

void DeleteKeyTree(Registry& reg, const std::string& id) {
    for (auto it = reg.keys.begin(); it != reg.keys.end();) {
        const std::string& k = it->first;
        bool below = id.empty() || k == id || (k.size() > id.size() && k.compare(0, id.size(), id) == 0 &&
                                               k[id.size()] == '\\');
        it = below ? reg.keys.erase(it) : std::next(it);
    }
}

bool ParseSection(Parser& ps, const std::string& line) {
    if (line.size() < 2 || line.back() != ']') return false;
    std::string path = line.substr(1, line.size() - 2);
    bool bDelete = !path.empty() && path[0] == '-';
    ps.currentPath = path;
    if (bDelete) path.erase(0, 1);
    size_t sep = path.find('\\');
    std::string hive = path.substr(0, sep);
    std::string below = sep == std::string::npos ? std::string() : path.substr(sep + 1);
    if (hive.empty()) return false;
    ps.bInHklm = EqualNoCase(hive, "HKEY_LOCAL_MACHINE") || EqualNoCase(hive, "HKLM");
    ps.currentKey = KeyId(below);
    if (!ps.bInHklm) return true;
    if (bDelete) {
        DeleteKeyTree(ps.reg, ps.currentKey);
        ps.bInHklm = false;  // values after a deleted key have nowhere to go
        return true;
    }
    AddKeyWithParents(ps.reg, ps.currentKey);
    return true;
}

// The data part of a value line, everything after "=". A "-" deletes the value.
bool ParseData(const Parser& ps, const std::string& text, bool& bDelete, uint32_t& type,
               std::vector<unsigned char>& data) {
    bDelete = false;
    data.clear();
    std::string t = Trim(text);
    if (t == "-") {
        bDelete = true;
        return true;
    }
    if (!t.empty() && t[0] == '"') {
        size_t pos = 0;
        std::string s;
        if (!ParseQuoted(t, pos, s) || !Trim(t.substr(pos)).empty()) return false;
        type = REG_SZ;
        data.assign(s.begin(), s.end());
        TerminateString(type, data);
        return true;
    }
    if (StartsWithNoCase(t, 0, "dword:")) {
        uint32_t v = 0;
        if (!ParseHexNumber(Trim(t.substr(6)), v)) return false;
        type = REG_DWORD;
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<unsigned char>(v >> (8 * i)));
        return true;
    }
    if (StartsWithNoCase(t, 0, "str(")) {
        size_t close = t.find("):");
        if (close == std::string::npos || !ParseHexNumber(t.substr(4, close - 4), type)) return false;
        size_t pos = close + 2;
        std::string s;
        if (!ParseQuoted(t, pos, s) || !Trim(t.substr(pos)).empty()) return false;
        data.assign(s.begin(), s.end());
        TerminateString(type, data);
        return true;
    }
    if (StartsWithNoCase(t, 0, "hex")) {
        size_t colon = t.find(':');
        if (colon == std::string::npos) return false;
        std::string kind = t.substr(3, colon - 3);
        if (kind.empty()) {
            type = REG_BINARY;
        } else if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
                   !ParseHexNumber(kind.substr(1, kind.size() - 2), type)) {
            return false;
        }
        std::vector<unsigned char> bytes;
        if (!ParseHexBytes(t.substr(colon + 1), bytes)) return false;
        if (IsStringType(type) && ps.bUnicode) {
            if (bytes.size() % 2 != 0) return false;
            std::string s = Utf16ToUtf8(bytes.data(), bytes.size() / 2);
            data.assign(s.begin(), s.end());
        } else {
            data = bytes;
        }
        if (IsStringType(type)) TerminateString(type, data);
        return true;
    }
    return false;
}

void StoreValue(Parser& ps, const std::string& name, bool bDelete, uint32_t type, std::vector<unsigned char>& data) {
    RegKey& key = ps.reg.keys[ps.currentKey];
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (!EqualNoCase(it->name, name)) continue;
        if (bDelete) {
            key.values.erase(it);
        } else {
            // A value given twice keeps its first place, as a later RegSetValueEx would.
            it->type = type;
            it->data.swap(data);
        }
        return;
    }
    if (!bDelete) key.values.push_back(RegValue{name, type, std::move(data)});
}

Registry Parse(const char* pText, size_t nLength, const char* pszOrigin) {
    Parser ps;
    ps.pszOrigin = pszOrigin ? pszOrigin : "(text)";
    std::string text = DecodeFileText(pText, nLength);

    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            if (start < text.size()) lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }

    bool bHeaderSeen = false;  // the header counts only as the file's first line
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t lineNo = i + 1;
        std::string line = Trim(lines[i]);
        if (line.empty() || line[0] == ';') continue;
        if (line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4") {
            if (bHeaderSeen) {
                Complain(ps, lineNo, line);
            } else {
                ps.bUnicode = line != "REGEDIT4";
            }
            bHeaderSeen = true;
            continue;
        }
        bHeaderSeen = true;  // a file without a header is read as Version 5.00
        if (line[0] == '[') {
            ps.bSectionSeen = true;
            if (!ParseSection(ps, line)) {
                Complain(ps, lineNo, line);
                ps.bInHklm = false;  // the values below belong to no key we know
                ps.currentPath.clear();
            } else {
                ps.reg.lines.push_back(RegFileLine{lineNo, REG_LINE_KEY, ps.currentPath, "", REG_NONE, ps.bInHklm});
            }
            continue;
        }

        std::string name;
        size_t pos = 0;
        bool bNameOk = false;
        if (line[0] == '@') {
            pos = 1;
            bNameOk = true;
        } else if (line[0] == '"') {
            bNameOk = ParseQuoted(line, pos, name);
        }
        // A name is looked up as a C string: one holding a NUL could never be found.
        bNameOk = bNameOk && name.find('\0') == std::string::npos;
        while (bNameOk && pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (!bNameOk || pos >= line.size() || line[pos] != '=') {
            Complain(ps, lineNo, line);
            continue;
        }
        std::string data = Trim(line.substr(pos + 1));
        // regedit wraps long hex data, ending each broken line with "\".
        if (StartsWithNoCase(data, 0, "hex")) {
            while (!data.empty() && data.back() == '\\' && i + 1 < lines.size()) {
                data.pop_back();
                data += Trim(lines[++i]);
                data = Trim(data);
            }
        }
        bool bDelete = false;
        uint32_t type = REG_NONE;
        std::vector<unsigned char> bytes;
        if (!ParseData(ps, data, bDelete, type, bytes)) {
            Complain(ps, lineNo, line);
            continue;
        }
        if (!ps.bSectionSeen) {
            Complain(ps, lineNo, line);  // a value that belongs to no key
            continue;
        }
        ps.reg.lines.push_back(
            RegFileLine{lineNo, bDelete ? REG_LINE_DELETE : REG_LINE_VALUE, ps.currentPath, name, type, ps.bInHklm});
        if (!ps.bInHklm) continue;
        StoreValue(ps, name, bDelete, type, bytes);
    }
    return std::move(ps.reg);
}

Registry ReadFile(const char* pszPath);

const Registry& Current() {
    std::call_once(g_loaded, [] { g_registry = ReadFile(RegistryFilePath()); });
    return g_registry;
}

const RegValue* FindValue(const RegKey& key, const char* pszValue) {
    std::string name = pszValue ? pszValue : "";
    for (const RegValue& v : key.values) {
        if (EqualNoCase(v.name, name)) return &v;
    }
    return nullptr;
}

const RegKey* FindKey(const char* pszKey) {
    const Registry& reg = Current();
    auto it = reg.keys.find(KeyId(pszKey ? pszKey : ""));
    return it == reg.keys.end() ? nullptr : &it->second;
}

Registry ReadFile(const char* pszPath) {
    std::vector<char> content;
    UniqueFile file(fopen(pszPath, "rb"));
    FILE* fp = file.get();
    if (fp == nullptr) return Registry{};
    char chunk[8192];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, fp)) > 0) content.insert(content.end(), chunk, chunk + n);
    return Parse(content.data(), content.size(), pszPath);
}

}  // namespace

const char* RegistryFilePath() {
    const char* psz = getenv("VEVE4D_REGISTRY");
    return psz != nullptr && *psz != '\0' ? psz : "/etc/veve4d/registry.reg";
}

void LoadRegistryFile(const char* pszPath) {
    std::call_once(g_loaded, [] {});
    g_registry = ReadFile(pszPath);
}

void LoadRegistryText(const char* pszText, size_t nLength, const char* pszOrigin) {
    std::call_once(g_loaded, [] {});
    g_registry = Parse(pszText, nLength, pszOrigin);
}

const std::vector<RegFileLine>& RegFileLines() {
    return Current().lines;
}

bool RegKeyExists(const char* pszKey) {
    return FindKey(pszKey) != nullptr;
}

long RegQueryValue(const char* pszKey, const char* pszValue, uint32_t* pType, void* pData, uint32_t* pcbData) {
    const RegKey* key = FindKey(pszKey);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    const RegValue* v = FindValue(*key, pszValue);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    if (pType != nullptr) *pType = v->type;
    uint32_t cb = static_cast<uint32_t>(v->data.size());
    if (pData == nullptr) {
        if (pcbData != nullptr) *pcbData = cb;
        return ERROR_SUCCESS;
    }
    if (pcbData == nullptr) return ERROR_MORE_DATA;
    if (*pcbData < cb) {
        *pcbData = cb;
        return ERROR_MORE_DATA;
    }
    if (cb > 0) memcpy(pData, v->data.data(), cb);
    *pcbData = cb;
    return ERROR_SUCCESS;
}

long RegEnumValue(const char* pszKey, uint32_t dwIndex, char* pszName, uint32_t cchName, uint32_t* pType,
                  void* pData, uint32_t* pcbData) {
    const RegKey* key = FindKey(pszKey);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    if (dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = key->values[dwIndex];
    if (pszName == nullptr || cchName <= v.name.size()) return ERROR_MORE_DATA;
    memcpy(pszName, v.name.c_str(), v.name.size() + 1);
    if (pType != nullptr) *pType = v.type;
    uint32_t cb = static_cast<uint32_t>(v.data.size());
    if (pcbData == nullptr) return pData == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA;
    if (pData == nullptr) {
        *pcbData = cb;
        return ERROR_SUCCESS;
    }
    if (*pcbData < cb) {
        *pcbData = cb;
        return ERROR_MORE_DATA;
    }
    if (cb > 0) memcpy(pData, v.data.data(), cb);
    *pcbData = cb;
    return ERROR_SUCCESS;
}
