// The list every probe reads: one file a line, "URL<TAB>relative path<TAB>size",
// written by bench/run for the case the probe stands beside.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

struct ProbeItem {
    std::wstring url;
    std::wstring path;  // relative, backslashes
    unsigned long long size = 0;
};

inline std::wstring Widen(const std::string& text) {
    std::wstring wide;
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length > 0) {
        wide.resize(static_cast<size_t>(length));
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    }
    return wide;
}

inline bool ReadProbeList(const wchar_t* name, std::vector<ProbeItem>& items) {
    FILE* list = _wfopen(name, L"rb");
    if (list == nullptr) {
        return false;
    }
    std::string line;
    int c;
    bool ok = true;
    while (ok) {
        line.clear();
        while ((c = fgetc(list)) != EOF && c != '\n') {
            line.push_back(static_cast<char>(c));
        }
        if (line.empty()) {
            if (c == EOF) {
                break;
            }
            continue;
        }
        size_t first = line.find('\t');
        size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second == std::string::npos) {
            ok = false;
            break;
        }
        ProbeItem item;
        item.url = Widen(line.substr(0, first));
        item.path = Widen(line.substr(first + 1, second - first - 1));
        for (wchar_t& ch : item.path) {
            if (ch == L'/') {
                ch = L'\\';
            }
        }
        item.size = std::strtoull(line.c_str() + second + 1, nullptr, 10);
        items.push_back(item);
    }
    fclose(list);
    return ok && !items.empty();
}

// Makes the folders above a relative path, remembering the last one made so
// that files of one folder cost no extra call.
class FolderMaker {
public:
    bool Ensure(const std::wstring& path) {
        size_t end = path.find_last_of(L'\\');
        if (end == std::wstring::npos) {
            return true;
        }
        std::wstring parent = path.substr(0, end);
        if (parent == last_) {
            return true;
        }
        for (size_t i = 0; i <= parent.size(); ++i) {
            if (i == parent.size() || parent[i] == L'\\') {
                std::wstring folder = parent.substr(0, i);
                if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
                    return false;
                }
            }
        }
        last_ = parent;
        return true;
    }

private:
    std::wstring last_;
};
