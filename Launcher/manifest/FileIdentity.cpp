#include "manifest/FileIdentity.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "manifest/AsciiCase.h"

#include <vector>

namespace {

// One call returns as many entries as fit: 64 KiB holds several hundred.
constexpr DWORD kListingBlock = 64 * 1024;

std::wstring FoldAscii(std::wstring name) {
    for (wchar_t& c : name) {
        c = ToLowerAscii(c);
    }
    return name;
}

uint64_t Unsigned(const LARGE_INTEGER& value) {
    return static_cast<uint64_t>(value.QuadPart);
}

}  // namespace

void FolderIdentities::List(const std::wstring& fullFolder, Folder& folder) {
    folder.listed = true;
    ScopedFileHandle handle(CreateFileW(fullFolder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION about;
    // The volume once per folder: a folder may be a mount point of another.
    if (!handle.IsValid() || !GetFileInformationByHandle(handle.Get(), &about) ||
        (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return;
    }
    // 8-byte alignment for the records, on both builds.
    std::vector<uint64_t> block(kListingBlock / sizeof(uint64_t));
    FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(handle.Get(), next, block.data(), kListingBlock)) {
        next = FileIdBothDirectoryInfo;
        const BYTE* at = reinterpret_cast<const BYTE*>(block.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            if ((entry->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
                std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
                FileIdentity identity;
                identity.size = Unsigned(entry->EndOfFile);
                identity.creationTime = Unsigned(entry->CreationTime);
                identity.lastWriteTime = Unsigned(entry->LastWriteTime);
                identity.changeTime = Unsigned(entry->ChangeTime);
                identity.fileId = Unsigned(entry->FileId);
                identity.volumeSerial = about.dwVolumeSerialNumber;
                std::wstring folded = FoldAscii(name);
                if (!folder.folded.emplace(folded, identity).second) {
                    folder.ambiguous.insert(folded);
                }
                folder.exact.emplace(std::move(name), identity);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    // A listing cut short by an error is incomplete: trust none of it.
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        folder.exact.clear();
        folder.folded.clear();
    }
}

bool FolderIdentities::Find(const std::wstring& relativePath, FileIdentity& identity) {
    std::wstring full;
    if (!ResolveRelativePath(relativePath.c_str(), full)) {
        return false;
    }
    size_t split = full.find_last_of(L'\\');
    std::wstring name = full.substr(split + 1);
    std::wstring folderPath = full.substr(0, split);
    Folder& folder = folders_[folderPath];
    if (!folder.listed) {
        // A drive's root is named with its backslash ("\\?\C:" is the volume).
        List(folderPath.back() == L':' ? folderPath + L'\\' : folderPath, folder);
    }
    // Opened by name, a file of exactly that name is found first, else one
    // that differs in case.
    auto exact = folder.exact.find(name);
    if (exact != folder.exact.end()) {
        identity = exact->second;
        return true;
    }
    std::wstring folded = FoldAscii(name);
    auto match = folder.folded.find(folded);
    if (match == folder.folded.end() || folder.ambiguous.count(folded) != 0) {
        return false;
    }
    identity = match->second;
    return true;
}
