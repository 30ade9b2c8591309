// What tells a file's content apart without reading it: its size, its times
// and where it lives (volume and file ID). Read by listing each folder once,
// which under Wine costs a fraction of opening every file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

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
// (FileIdBothDirectoryInfo) once, when a file of it is first looked up (a
// second thread would not help: Wine lists one folder at a time). The
// volume's serial is asked once for the current directory, and again only
// for a folder reached through a reparse point (a mount point, junction or
// link: the only way into another volume); under Wine asking costs about a
// millisecond. A listing shows the folder as it was then: use a new object
// to see later changes.
class FolderIdentities {
public:
    // The identity of a plain file (not a folder, not a link or other
    // reparse point) at a relative path with backslashes; false when there
    // is none, when the file system gives it no file ID, or when its name
    // matches no entry of the folder exactly and more than one ignoring case.
    bool Find(const std::wstring& relativePath, FileIdentity& identity);

private:
    struct Item {
        size_t offset;  // of the name in Folder::names
        size_t length;
        FileIdentity identity;
    };
    // One buffer of names and one array, sorted by name: a folder of
    // thousands of files costs a few allocations, not thousands.
    struct Folder {
        bool listed = false;
        bool crossed = false;  // reached through a reparse point: its volume is asked
        std::wstring names;
        std::vector<Item> items;
    };
    // The folder of a relative file path, listed or not yet, or null when
    // the path cannot be resolved; full receives the file's full path,
    // fullFolder its folder's, nameStart where its name starts in full.
    Folder* FolderOf(const std::wstring& relativePath, std::wstring& full, std::wstring& fullFolder,
                     size_t& nameStart);
    // Whether any folder from the current directory down to this one is a
    // reparse point (a full path whose relative part starts at relativeStart).
    bool Crossed(const std::wstring& fullFolder, size_t relativeStart);
    void AskRootVolume(const std::wstring& root);
    void List(const std::wstring& fullFolder, Folder& folder) const;

    std::unordered_map<std::wstring, Folder> folders_;
    // Per folder below the current directory: whether it is a reparse point.
    std::unordered_map<std::wstring, bool> reparse_;
    bool rootAsked_ = false;
    bool rootKnown_ = false;
    uint32_t rootSerial_ = 0;
};
