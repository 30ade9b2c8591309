// Reads the identity (size, times, volume serial, file ID) of every listed
// file in one of three ways, to measure what the metadata of a large install
// costs under Wine:
//   open   each file opened for its attributes, GetFileInformationByHandle
//   find   each folder listed once, FindFirstFileExW with a large fetch (no ID)
//   idinfo each folder opened once, GetFileInformationByHandleEx with
//          FileIdBothDirectoryInfo (sizes, times and IDs in one pass), the
//          volume's serial from GetFileInformationByHandle on the folder
//   idinfo-fileidinfo, idinfo-novolume  the same, the serial from FileIdInfo
//          on the folder, or none
//   compare  "open" and "idinfo" side by side: prints any file whose two
//          readings differ, and one sample of the times each gives
// Prints the files found and the milliseconds the reading took.
#include "ProbeList.h"

#include <map>

namespace {

struct Identity {
    unsigned long long size = 0, creation = 0, write = 0, change = 0, id = 0;
    DWORD volume = 0;
};

unsigned long long Join(DWORD high, DWORD low) {
    return (static_cast<unsigned long long>(high) << 32) | low;
}

unsigned long long Time(const FILETIME& time) {
    return Join(time.dwHighDateTime, time.dwLowDateTime);
}

std::wstring Folder(const std::wstring& path) {
    size_t end = path.find_last_of(L'\\');
    return end == std::wstring::npos ? L"." : path.substr(0, end);
}

using Found = std::map<std::wstring, Identity>;

bool ByOpening(const std::vector<ProbeItem>& items, Found& found) {
    for (const ProbeItem& item : items) {
        HANDLE file = CreateFileW(item.path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        BY_HANDLE_FILE_INFORMATION info;
        bool ok = GetFileInformationByHandle(file, &info) != FALSE;
        CloseHandle(file);
        if (!ok) {
            return false;
        }
        Identity& identity = found[item.path];
        identity.size = Join(info.nFileSizeHigh, info.nFileSizeLow);
        identity.creation = Time(info.ftCreationTime);
        identity.write = Time(info.ftLastWriteTime);
        identity.id = Join(info.nFileIndexHigh, info.nFileIndexLow);
        identity.volume = info.dwVolumeSerialNumber;
    }
    return true;
}

std::vector<std::wstring> Folders(const std::vector<ProbeItem>& items) {
    std::vector<std::wstring> folders;
    for (const ProbeItem& item : items) {
        std::wstring folder = Folder(item.path);
        if (folders.empty() || folders.back() != folder) {
            folders.push_back(folder);
        }
    }
    return folders;
}

bool ByFinding(const std::vector<ProbeItem>& items, Found& found) {
    for (const std::wstring& folder : Folders(items)) {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE) {
            return false;
        }
        do {
            Identity& identity = found[folder + L"\\" + data.cFileName];
            identity.size = Join(data.nFileSizeHigh, data.nFileSizeLow);
            identity.creation = Time(data.ftCreationTime);
            identity.write = Time(data.ftLastWriteTime);
        } while (FindNextFileW(search, &data));
        FindClose(search);
    }
    return true;
}

// The volume's serial number of an open handle: GetFileInformationByHandle
// (volumeBy 0), FileIdInfo (1), or none (2).
DWORD VolumeOf(HANDLE handle, int volumeBy) {
    if (volumeBy == 0) {
        BY_HANDLE_FILE_INFORMATION info;
        return GetFileInformationByHandle(handle, &info) ? info.dwVolumeSerialNumber : 0;
    }
    // FileIdInfo (18) and its record, which headers for Windows 7 leave out.
    struct {
        ULONGLONG VolumeSerialNumber;
        BYTE FileId[16];
    } info;
    if (volumeBy == 1 &&
        GetFileInformationByHandleEx(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(18), &info, sizeof(info))) {
        return static_cast<DWORD>(info.VolumeSerialNumber);
    }
    return 0;
}

bool ByIdInfo(const std::vector<ProbeItem>& items, Found& found, int volumeBy) {
    std::vector<unsigned char> buffer(64 * 1024);
    for (const std::wstring& folder : Folders(items)) {
        HANDLE handle = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        DWORD volume = VolumeOf(handle, volumeBy);
        FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
        while (GetFileInformationByHandleEx(handle, next, buffer.data(), static_cast<DWORD>(buffer.size()))) {
            next = FileIdBothDirectoryInfo;
            size_t offset = 0;
            for (;;) {
                const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
                std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
                Identity& identity = found[folder + L"\\" + name];
                identity.size = static_cast<unsigned long long>(entry->EndOfFile.QuadPart);
                identity.creation = static_cast<unsigned long long>(entry->CreationTime.QuadPart);
                identity.write = static_cast<unsigned long long>(entry->LastWriteTime.QuadPart);
                identity.change = static_cast<unsigned long long>(entry->ChangeTime.QuadPart);
                identity.id = static_cast<unsigned long long>(entry->FileId.QuadPart);
                identity.volume = volume;
                if (entry->NextEntryOffset == 0) {
                    break;
                }
                offset += entry->NextEntryOffset;
            }
        }
        DWORD error = GetLastError();
        CloseHandle(handle);
        if (error != ERROR_NO_MORE_FILES) {
            fwprintf(stderr, L"FileIdBothDirectoryInfo on %ls: error %lu\n", folder.c_str(), error);
            return false;
        }
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<ProbeItem> items;
    if (argc != 3 || !ReadProbeList(argv[2], items)) {
        fwprintf(stderr, L"usage: ProbeIdentity open|find|idinfo|idinfo-fileidinfo|idinfo-novolume|compare LIST\n");
        return 2;
    }
    std::wstring mode = argv[1];
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    Found found, other;
    bool ok = mode == L"open" ? ByOpening(items, found)
              : mode == L"find" ? ByFinding(items, found)
              : mode == L"idinfo" || mode == L"compare" ? ByIdInfo(items, found, 0)
              : mode == L"idinfo-fileidinfo" ? ByIdInfo(items, found, 1)
              : mode == L"idinfo-novolume" ? ByIdInfo(items, found, 2)
                                                         : false;
    QueryPerformanceCounter(&end);
    if (!ok) {
        return 3;
    }
    size_t listed = 0;
    for (const ProbeItem& item : items) {
        listed += found.count(item.path);
    }
    wprintf(L"%ls: %zu of %zu files in %.1f ms\n", mode.c_str(), listed, items.size(),
            1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    if (mode == L"compare") {
        if (!ByOpening(items, other)) {
            return 3;
        }
        size_t differ = 0;
        for (const auto& [path, a] : other) {
            const Identity& b = found[path];
            if (a.size != b.size || a.creation != b.creation || a.write != b.write || a.id != b.id ||
                a.volume != b.volume) {
                ++differ;
            }
        }
        const Identity& a = other.begin()->second;
        const Identity& b = found[other.begin()->first];
        wprintf(L"compare: %zu of %zu differ; %ls: open id %llx vol %lx created %llu written %llu; "
                L"idinfo id %llx vol %lx created %llu written %llu changed %llu\n",
                differ, other.size(), other.begin()->first.c_str(), a.id, a.volume, a.creation, a.write, b.id,
                b.volume, b.creation, b.write, b.change);
    }
    return listed == items.size() ? 0 : 4;
}
