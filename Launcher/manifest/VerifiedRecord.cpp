#include "manifest/VerifiedRecord.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "manifest/Manifest.h"

#include <algorithm>
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

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    template <typename T>
    void Put(T value) {
        out_.append(reinterpret_cast<const char*>(&value), sizeof(value));
    }
    void PutText(const std::wstring& text) {
        Put(static_cast<uint32_t>(text.size()));
        out_.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }

private:
    std::string& out_;
};

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
    bool GetText(std::wstring& text, uint32_t longest) {
        uint32_t length = 0;
        if (!Get(length) || length > longest || (end_ - at_) / sizeof(wchar_t) < length) {
            return ok_ = false;
        }
        text.assign(length, L'\0');
        std::memcpy(&text[0], in_.data() + at_, length * sizeof(wchar_t));
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

void PutIdentity(Writer& out, const FileIdentity& identity) {
    out.Put(identity.size);
    out.Put(identity.creationTime);
    out.Put(identity.lastWriteTime);
    out.Put(identity.changeTime);
    out.Put(identity.fileId);
    out.Put(identity.volumeSerial);
}

bool GetIdentity(Reader& in, FileIdentity& identity) {
    return in.Get(identity.size) && in.Get(identity.creationTime) && in.Get(identity.lastWriteTime) &&
           in.Get(identity.changeTime) && in.Get(identity.fileId) && in.Get(identity.volumeSerial);
}

// The smallest an entry can be: an empty path's and digests' lengths and the identity.
constexpr size_t kSmallestEntry = 3 * sizeof(uint32_t) + 5 * sizeof(uint64_t) + sizeof(uint32_t);

bool SameDigest(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::string SerializeRecord(const std::string& stamp, const std::vector<VerifiedFile>& files) {
    std::string bytes(kMagic, sizeof(kMagic));
    Writer out(bytes);
    out.Put(static_cast<uint32_t>(stamp.size()));
    bytes += stamp;
    out.Put(static_cast<uint32_t>(files.size()));
    for (const VerifiedFile& file : files) {
        out.PutText(file.path);
        PutIdentity(out, file.identity);
        out.PutText(file.md5);
        out.PutText(file.sha256);
    }
    out.Put(Checksum(bytes.data(), bytes.size()));
    return bytes;
}

bool ParseRecord(const std::string& bytes, const std::string& stamp, std::vector<VerifiedFile>& files) {
    files.clear();
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
    char magic[sizeof(kMagic)];
    uint32_t stampLength = 0;
    uint32_t count = 0;
    // Another build's record is not this one's, however well formed.
    if (!in.Get(magic) || !in.Get(stampLength) || stampLength != stamp.size() || in.Left() < stampLength ||
        bytes.compare(in.Offset(), stampLength, stamp) != 0 || !in.Skip(stampLength) || !in.Get(count) ||
        count > in.Left() / kSmallestEntry) {
        return false;
    }
    std::vector<VerifiedFile> parsed(count);
    for (VerifiedFile& file : parsed) {
        if (!in.GetText(file.path, kLongestPath) || !GetIdentity(in, file.identity) ||
            !in.GetText(file.md5, kLongestDigest) || !in.GetText(file.sha256, kLongestDigest)) {
            return false;
        }
    }
    if (!in.AtEnd()) {
        return false;
    }
    files = std::move(parsed);
    return true;
}

bool ProgramStamp(HCRYPTPROV provider, std::string& stamp) {
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
    wchar_t digest[kDigestBufferLength];
    if (!ComputeFileDigests(module.c_str(), digest, nullptr, provider)) {
        return false;
    }
    for (const wchar_t* c = digest; *c != L'\0'; ++c) {
        stamp.push_back(static_cast<char>(*c));
    }
    return true;
}

bool ReadRecordFile(const std::wstring& relativePath, std::string& bytes) {
    bytes.clear();
    std::wstring full;
    if (!ResolveRelativePath(relativePath.c_str(), full)) {
        return false;
    }
    ScopedFileHandle file(
        CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
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

std::vector<bool> VerificationRecord::Recall(Manifest& manifest, HCRYPTPROV provider) {
    const size_t count = manifest.entries.size();
    std::vector<bool> recalled(count, false);
    seen_.assign(count, FileIdentity());
    seenValid_.assign(count, false);
    if (!ProgramStamp(provider, stamp_)) {
        return recalled;
    }
    std::vector<VerifiedFile> files;
    std::string bytes;
    if (ReadRecordFile(path_, bytes) && ParseRecord(bytes, stamp_, files)) {
        loaded_ = std::move(bytes);
    }
    std::unordered_map<std::wstring, const VerifiedFile*> byPath;
    for (const VerifiedFile& file : files) {
        byPath.emplace(file.path, &file);
    }
    // Every identity is read before any file is digested: a file changed
    // after its identity was read then fails to match it at the next start.
    FolderIdentities identities;
    for (size_t i = 0; i < count; ++i) {
        ManifestEntry& entry = manifest.entries[i];
        seenValid_[i] = identities.Find(entry.path, seen_[i]);
        auto found = byPath.find(entry.path);
        if (seenValid_[i] && found != byPath.end() && found->second->identity == seen_[i] &&
            SameDigest(found->second->md5, entry.md5) && SameDigest(found->second->sha256, entry.sha256)) {
            entry.flags |= ManifestEntry::kCurrent;
            recalled[i] = true;
        }
    }
    return recalled;
}

bool VerificationRecord::SaveVerified(const Manifest& manifest) {
    return Save(manifest, false);
}

bool VerificationRecord::SaveInstalled(const Manifest& manifest) {
    return Save(manifest, true);
}

bool VerificationRecord::Save(const Manifest& manifest, bool installed) {
    if (stamp_.empty() || seen_.size() != manifest.entries.size()) {
        return false;
    }
    FolderIdentities now;
    std::vector<VerifiedFile> files;
    std::unordered_set<std::wstring> paths;
    for (size_t i = 0; i < manifest.entries.size(); ++i) {
        const ManifestEntry& entry = manifest.entries[i];
        VerifiedFile file;
        if (entry.IsCurrent()) {
            if (!seenValid_[i]) {
                continue;
            }
            file.identity = seen_[i];
        } else if (!installed || !now.Find(entry.path, file.identity)) {
            continue;
        }
        // A path listed twice is recorded once, with the first digests that matched.
        if (!paths.insert(entry.path).second) {
            continue;
        }
        file.path = entry.path;
        file.md5 = entry.md5;
        file.sha256 = entry.sha256;
        files.push_back(std::move(file));
    }
    std::string bytes = SerializeRecord(stamp_, files);
    if (bytes == loaded_) {
        return true;
    }
    if (!WriteRecordFile(path_, bytes)) {
        return false;
    }
    loaded_ = std::move(bytes);
    return true;
}
