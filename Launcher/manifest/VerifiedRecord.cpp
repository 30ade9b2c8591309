#include "manifest/VerifiedRecord.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "manifest/AsciiCase.h"
#include "manifest/Manifest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <unordered_set>

namespace {

// The format's name and version; a record of another format is not read.
constexpr char kMagic[4] = {'Q', 'V', 'R', '1'};
// A record of this many entries' worth of bytes is not the launcher's.
constexpr uint64_t kLargestRecord = 512ull * 1024 * 1024;
constexpr uint32_t kLongestPath = 32767;
constexpr uint32_t kLongestDigest = 64;
constexpr wchar_t kTemporarySuffix[] = L".new";

// FNV-1a: damage, not tampering, is what the checksum is for (whoever can
// write the record can write the files it describes).
uint64_t Checksum(const char* data, size_t length) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

template <typename T>
void Put(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

void PutText(std::string& out, const std::wstring& text) {
    Put(out, static_cast<uint32_t>(text.size()));
    out.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// Reads fields in order; once a read would pass the end, every later one
// fails too.
class Reader {
public:
    Reader(const std::string& in, size_t end) : in_(in), end_(end) {}
    template <typename T>
    bool Get(T& value) {
        if (!ok_ || end_ - at_ < sizeof(value)) {
            return ok_ = false;
        }
        std::memcpy(&value, in_.data() + at_, sizeof(value));
        at_ += sizeof(value);
        return true;
    }
    // A text's place: its offset and length in characters.
    bool GetText(size_t& offset, uint32_t& length, uint32_t longest) {
        if (!Get(length) || length > longest || (end_ - at_) / sizeof(wchar_t) < length) {
            return ok_ = false;
        }
        offset = at_;
        at_ += length * sizeof(wchar_t);
        return true;
    }
    bool Skip(size_t count) {
        if (!ok_ || end_ - at_ < count) {
            return ok_ = false;
        }
        at_ += count;
        return true;
    }
    bool AtEnd() const { return ok_ && at_ == end_; }
    size_t Offset() const { return at_; }
    size_t Left() const { return end_ - at_; }

private:
    const std::string& in_;
    size_t end_;
    size_t at_ = 0;
    bool ok_ = true;
};

bool GetIdentity(Reader& in, FileIdentity& identity) {
    return in.Get(identity.size) && in.Get(identity.creationTime) && in.Get(identity.lastWriteTime) &&
           in.Get(identity.changeTime) && in.Get(identity.fileId) && in.Get(identity.volumeSerial);
}

// The smallest an entry can be: three empty texts' lengths and the identity.
constexpr size_t kSmallestEntry = 3 * sizeof(uint32_t) + 5 * sizeof(uint64_t) + sizeof(uint32_t);

// A file of at most kLargestRecord bytes, read whole.
bool ReadWholeFile(const std::wstring& fullPath, std::string& bytes) {
    bytes.clear();
    ScopedFileHandle file(CreateFileW(fullPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size = {};
    if (!file.IsValid() || !GetFileSizeEx(file.Get(), &size) || static_cast<uint64_t>(size.QuadPart) > kLargestRecord) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
        if (!ReadFile(file.Get(), &bytes[done], want, &got, nullptr) || got == 0) {
            bytes.clear();
            return false;
        }
        done += got;
    }
    return true;
}

std::string_view TextBytes(const std::wstring& text) {
    return std::string_view(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

}  // namespace

RecordWriter::RecordWriter(const std::string& stamp) : bytes_(kMagic, sizeof(kMagic)) {
    Put(bytes_, static_cast<uint32_t>(stamp.size()));
    bytes_ += stamp;
    countAt_ = bytes_.size();
    Put(bytes_, count_);
}

void RecordWriter::Add(const std::wstring& path, const FileIdentity& identity, const std::wstring& md5,
                       const std::wstring& sha256) {
    PutText(bytes_, path);
    Put(bytes_, identity.size);
    Put(bytes_, identity.creationTime);
    Put(bytes_, identity.lastWriteTime);
    Put(bytes_, identity.changeTime);
    Put(bytes_, identity.fileId);
    Put(bytes_, identity.volumeSerial);
    PutText(bytes_, md5);
    PutText(bytes_, sha256);
    ++count_;
}

std::string RecordWriter::Finish() {
    std::memcpy(&bytes_[countAt_], &count_, sizeof(count_));
    Put(bytes_, Checksum(bytes_.data(), bytes_.size()));
    return std::move(bytes_);
}

bool RecordView::Parse(const std::string& bytes, const std::string& stamp) {
    files_.clear();
    byPath_.clear();
    next_ = 0;
    bytes_ = &bytes;
    uint64_t checksum = 0;
    if (bytes.size() < sizeof(kMagic) + sizeof(checksum) || std::memcmp(bytes.data(), kMagic, sizeof(kMagic)) != 0) {
        return false;
    }
    size_t body = bytes.size() - sizeof(checksum);
    std::memcpy(&checksum, bytes.data() + body, sizeof(checksum));
    if (checksum != Checksum(bytes.data(), body)) {
        return false;
    }
    Reader in(bytes, body);
    uint32_t stampLength = 0;
    uint32_t count = 0;
    // Another build's record is not this one's, however well formed.
    if (!in.Skip(sizeof(kMagic)) || !in.Get(stampLength) || stampLength != stamp.size() ||
        in.Left() < stampLength || bytes.compare(in.Offset(), stampLength, stamp) != 0 || !in.Skip(stampLength) ||
        !in.Get(count) || count > in.Left() / kSmallestEntry) {
        return false;
    }
    std::vector<File> files(count);
    for (File& file : files) {
        if (!in.GetText(file.path, file.pathLength, kLongestPath) || !GetIdentity(in, file.identity) ||
            !in.GetText(file.md5, file.md5Length, kLongestDigest) ||
            !in.GetText(file.sha256, file.sha256Length, kLongestDigest)) {
            return false;
        }
    }
    if (!in.AtEnd()) {
        return false;
    }
    files_ = std::move(files);
    return true;
}

bool RecordView::SamePath(const File& file, const std::wstring& path) const {
    return file.pathLength == path.size() &&
           std::memcmp(bytes_->data() + file.path, path.data(), path.size() * sizeof(wchar_t)) == 0;
}

const RecordView::File* RecordView::Find(const std::wstring& path) {
    if (next_ < files_.size() && SamePath(files_[next_], path)) {
        return &files_[next_++];
    }
    if (byPath_.empty()) {
        for (size_t i = files_.size(); i-- > 0;) {  // the first of a path listed twice wins
            byPath_[std::string_view(bytes_->data() + files_[i].path, files_[i].pathLength * sizeof(wchar_t))] = i;
        }
    }
    auto found = byPath_.find(TextBytes(path));
    if (found == byPath_.end()) {
        return nullptr;
    }
    next_ = found->second + 1;
    return &files_[found->second];
}

bool RecordView::SameDigest(size_t offset, uint32_t length, const std::wstring& digest) const {
    if (length != digest.size()) {
        return false;
    }
    for (uint32_t i = 0; i < length; ++i) {
        wchar_t c;
        std::memcpy(&c, bytes_->data() + offset + i * sizeof(wchar_t), sizeof(c));
        if (ToLowerAscii(c) != ToLowerAscii(digest[i])) {
            return false;
        }
    }
    return true;
}

bool ProgramStamp(std::string& stamp) {
    stamp.clear();
    std::wstring module(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &module[0], static_cast<DWORD>(module.size()));
        if (length == 0) {
            return false;
        }
        if (length < module.size()) {
            module.resize(length);
            break;
        }
        if (module.size() >= kLongestPath) {
            return false;
        }
        module.resize(module.size() * 2);
    }
    std::string program;
    if (!ReadWholeFile(module, program)) {
        return false;
    }
    char text[40];
    unsigned long long checksum = Checksum(program.data(), program.size());
    snprintf(text, sizeof(text), "%016llx-%llu", checksum, static_cast<unsigned long long>(program.size()));
    stamp = text;
    return true;
}

bool ReadRecordFile(const std::wstring& relativePath, std::string& bytes) {
    std::wstring full;
    bytes.clear();
    return ResolveRelativePath(relativePath.c_str(), full) && ReadWholeFile(full, bytes);
}

bool WriteRecordFile(const std::wstring& relativePath, const std::string& bytes) {
    std::wstring full;
    std::wstring temporary;
    if (!ResolveRelativePath(relativePath.c_str(), full) ||
        !ResolveRelativePath((relativePath + kTemporarySuffix).c_str(), temporary)) {
        return false;
    }
    bool written = false;
    {
        ScopedFileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
        written = file.IsValid();
        for (size_t done = 0; written && done < bytes.size();) {
            DWORD put = 0;
            DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 24));
            written = WriteFile(file.Get(), bytes.data() + done, want, &put, nullptr) && put == want;
            done += put;
        }
        // On the disk before the rename makes it the record.
        written = written && FlushFileBuffers(file.Get());
    }
    if (written && MoveFileExW(temporary.c_str(), full.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    DeleteFileW(temporary.c_str());
    return false;
}

VerificationRecord::VerificationRecord(std::wstring relativePath) : path_(std::move(relativePath)) {}

std::vector<bool> VerificationRecord::Recall(Manifest& manifest) {
    const size_t count = manifest.entries.size();
    std::vector<bool> recalled(count, false);
    seen_.assign(count, FileIdentity());
    seenValid_.assign(count, false);
    if (!ProgramStamp(stamp_)) {
        return recalled;
    }
    RecordView record;
    // A record that cannot be read whole is as good as none, and is rewritten.
    if (!ReadRecordFile(path_, loaded_) || !record.Parse(loaded_, stamp_)) {
        loaded_.clear();
    }
    // Every identity is read before any file is digested: a file changed
    // after its identity was read then fails to match it at the next start.
    FolderIdentities identities;
    // Unchanged: every entry recalled from the record's entry at its own
    // place, so a new record would be the same bytes.
    unchanged_ = record.Count() == count;
    for (size_t i = 0; i < count; ++i) {
        ManifestEntry& entry = manifest.entries[i];
        seenValid_[i] = identities.Find(entry.path, seen_[i]);
        const RecordView::File* file = seenValid_[i] && record.Count() > 0 ? record.Find(entry.path) : nullptr;
        if (file != nullptr && file->identity == seen_[i] &&
            record.SameDigest(file->md5, file->md5Length, entry.md5) &&
            record.SameDigest(file->sha256, file->sha256Length, entry.sha256)) {
            entry.flags |= ManifestEntry::kCurrent;
            recalled[i] = true;
        }
        unchanged_ = unchanged_ && recalled[i] && record.IndexOf(*file) == i;
    }
    return recalled;
}

bool VerificationRecord::SaveVerified(const Manifest& manifest) {
    return unchanged_ || Save(manifest, false);
}

void VerificationRecord::NoteStaged(const ManifestEntry& entry, const std::wstring& stagedPath) {
    std::wstring full;
    WIN32_FILE_ATTRIBUTE_DATA about;
    if (ResolveRelativePath(stagedPath.c_str(), full) &&
        GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &about)) {
        arrived_[&entry] = {(static_cast<uint64_t>(about.nFileSizeHigh) << 32) | about.nFileSizeLow,
                            (static_cast<uint64_t>(about.ftLastWriteTime.dwHighDateTime) << 32) |
                                about.ftLastWriteTime.dwLowDateTime};
    }
}

bool VerificationRecord::SaveInstalled(const Manifest& manifest) {
    return Save(manifest, true);
}

bool VerificationRecord::Save(const Manifest& manifest, bool installed) {
    if (stamp_.empty() || seen_.size() != manifest.entries.size()) {
        return false;
    }
    FolderIdentities now;
    RecordWriter record(stamp_);
    std::unordered_set<std::wstring_view> paths;
    for (size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        FileIdentity identity;
        if (entry.IsCurrent()) {
            if (!seenValid_[i]) {
                continue;
            }
            identity = seen_[i];
        } else {
            auto arrival = arrived_.find(&entry);
            if (!installed || arrival == arrived_.end() || !now.Find(entry.path, identity) ||
                identity.size != arrival->second.size || identity.lastWriteTime != arrival->second.lastWriteTime) {
                continue;
            }
        }
        // A path listed twice is recorded once, with the first digests that matched.
        if (paths.insert(entry.path).second) {
            record.Add(entry.path, identity, entry.md5, entry.sha256);
        }
    }
    std::string bytes = record.Finish();
    if (bytes == loaded_) {
        return true;
    }
    if (!WriteRecordFile(path_, bytes)) {
        return false;
    }
    loaded_ = std::move(bytes);
    return true;
}
