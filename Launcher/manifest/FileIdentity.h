// What tells a file's content apart without reading it: its size, its times
// and where it lives (volume and file ID). Read by listing each folder once,
// which under Wine costs a fraction of opening every file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

struct FileIdentity {
    uint64_t size = 0;
    uint64_t creationTime = 0;  // FILETIME units
    uint64_t lastWriteTime = 0;
    // Moved by the file system on any change of content or metadata, times
    // set by a tool included.
    uint64_t changeTime = 0;
    uint64_t fileId = 0;  // unique on its volume while the file exists
    uint32_t volumeSerial = 0;

    bool operator==(const FileIdentity& other) const {
        return size == other.size && creationTime == other.creationTime && lastWriteTime == other.lastWriteTime &&
               changeTime == other.changeTime && fileId == other.fileId && volumeSerial == other.volumeSerial;
    }
    bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// The identities of files below the current directory, each folder listed
// (FileIdBothDirectoryInfo) and its volume asked once, when a file of it is
// first looked up. A listing shows the folder as it was then: use a new
// object to see later changes.
class FolderIdentities {
public:
    // The identity of a plain file (not a folder, not a link or other
    // reparse point) at a relative path with backslashes; false when there
    // is none, or when its name matches more than one entry of the folder
    // ignoring case and none exactly.
    bool Find(const std::wstring& relativePath, FileIdentity& identity);

private:
    struct Folder {
        bool listed = false;
        std::unordered_map<std::wstring, FileIdentity> exact;
        // Names with ASCII letters folded to lower case, as the file system
        // matches them at least; one that two entries share is ambiguous.
        std::unordered_map<std::wstring, FileIdentity> folded;
        std::unordered_set<std::wstring> ambiguous;
    };
    static void List(const std::wstring& fullFolder, Folder& folder);

    std::unordered_map<std::wstring, Folder> folders_;
};
