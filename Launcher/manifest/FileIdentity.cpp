#include "manifest/FileIdentity.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "manifest/AsciiCase.h"

#include <algorithm>
#include <string_view>

namespace {

// One call returns as many entries as fit: 64 KiB holds several hundred.
constexpr DWORD kListingBlock = 64 * 1024;

uint64_t Unsigned(const LARGE_INTEGER& value) {
    return static_cast<uint64_t>(value.QuadPart);
}

bool EqualIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

uint32_t SerialOf(HANDLE handle, bool& known) {
    BY_HANDLE_FILE_INFORMATION about;
    known = GetFileInformationByHandle(handle, &about) != FALSE;
    return known ? about.dwVolumeSerialNumber : 0;
}

}  // namespace

bool FolderIdentities::Crossed(const std::wstring& fullFolder, size_t relativeStart) {
    for (size_t i = relativeStart; i <= fullFolder.size(); ++i) {
        if (i != fullFolder.size() && fullFolder[i] != L'\\') {
            continue;
        }
        std::wstring step = fullFolder.substr(0, i);
        auto known = reparse_.find(step);
        if (known == reparse_.end()) {
            DWORD attributes = GetFileAttributesW(step.c_str());
            known = reparse_.emplace(step, attributes == INVALID_FILE_ATTRIBUTES ||
                                               (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0).first;
        }
        if (known->second) {
            return true;
        }
    }
    return false;
}

void FolderIdentities::AskRootVolume(const std::wstring& root) {
    if (rootAsked_) {
        return;
    }
    rootAsked_ = true;
    // "\\?\C:" is the volume; its root folder is "\\?\C:\".
    std::wstring opened = !root.empty() && root.back() == L':' ? root + L'\\' : root;
    ScopedFileHandle handle(CreateFileW(opened.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    rootSerial_ = handle.IsValid() ? SerialOf(handle.Get(), rootKnown_) : 0;
}

FolderIdentities::Folder* FolderIdentities::FolderOf(const std::wstring& relativePath, std::wstring& full,
                                                     std::wstring& fullFolder, size_t& nameStart) {
    if (!ResolveRelativePath(relativePath.c_str(), full)) {
        return nullptr;
    }
    nameStart = full.find_last_of(L'\\') + 1;
    fullFolder.assign(full, 0, nameStart - 1);
    auto found = folders_.find(fullFolder);
    if (found != folders_.end()) {
        return &found->second;
    }
    size_t relativeStart = full.size() - relativePath.size();
    AskRootVolume(full.substr(0, relativeStart - 1));
    Folder& folder = folders_[fullFolder];
    folder.crossed = Crossed(fullFolder, relativeStart);
    return &folder;
}

void FolderIdentities::List(const std::wstring& fullFolder, Folder& folder) const {
    // A drive's root is named with its backslash ("\\?\C:" is the volume).
    std::wstring opened = fullFolder.back() == L':' ? fullFolder + L'\\' : fullFolder;
    ScopedFileHandle handle(CreateFileW(opened.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    bool known = rootKnown_;
    uint32_t serial = rootSerial_;
    if (handle.IsValid() && folder.crossed) {
        serial = SerialOf(handle.Get(), known);
    }
    if (!handle.IsValid() || !known) {
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
            // Without a file ID (file systems that have none report 0) a file
            // replaced by another of the same size and times would look the same.
            if ((entry->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                entry->FileId.QuadPart != 0) {
                Item item;
                item.offset = folder.names.size();
                item.length = entry->FileNameLength / sizeof(wchar_t);
                item.identity.size = Unsigned(entry->EndOfFile);
                item.identity.creationTime = Unsigned(entry->CreationTime);
                item.identity.lastWriteTime = Unsigned(entry->LastWriteTime);
                item.identity.changeTime = Unsigned(entry->ChangeTime);
                item.identity.fileId = Unsigned(entry->FileId);
                item.identity.volumeSerial = serial;
                folder.names.append(entry->FileName, item.length);
                folder.items.push_back(item);
            }
            if (entry->NextEntryOffset == 0) {
                break;
            }
            at += entry->NextEntryOffset;
        }
    }
    // A listing cut short by an error is incomplete: trust none of it.
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        folder.items.clear();
        return;
    }
    const std::wstring& names = folder.names;
    std::sort(folder.items.begin(), folder.items.end(), [&names](const Item& a, const Item& b) {
        return names.compare(a.offset, a.length, names, b.offset, b.length) < 0;
    });
}

bool FolderIdentities::Find(const std::wstring& relativePath, FileIdentity& identity) {
    std::wstring full;
    std::wstring fullFolder;
    size_t nameStart = 0;
    Folder* folder = FolderOf(relativePath, full, fullFolder, nameStart);
    if (folder == nullptr) {
        return false;
    }
    if (!folder->listed) {
        folder->listed = true;
        List(fullFolder, *folder);
    }
    std::wstring_view name(full.data() + nameStart, full.size() - nameStart);
    std::wstring_view names(folder->names);
    auto exact = std::lower_bound(folder->items.begin(), folder->items.end(), name,
                                  [names](const Item& item, std::wstring_view wanted) {
                                      return names.substr(item.offset, item.length) < wanted;
                                  });
    // Opened by name, a file of exactly that name is found first, else one
    // that differs in case.
    if (exact != folder->items.end() && names.substr(exact->offset, exact->length) == name) {
        identity = exact->identity;
        return true;
    }
    const Item* match = nullptr;
    for (const Item& item : folder->items) {
        if (EqualIgnoringAsciiCase(names.substr(item.offset, item.length), name)) {
            if (match != nullptr) {
                return false;
            }
            match = &item;
        }
    }
    if (match == nullptr) {
        return false;
    }
    identity = match->identity;
    return true;
}
