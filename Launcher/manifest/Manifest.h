// The update manifest: the list of files the application must consist of,
// parsed from XML, and the verification of the local copies against it.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

struct XML_ParserStruct;
class VerificationRecord;

class ManifestEntry {
public:
    static constexpr uint32_t kCurrent = 1;  // bit 0 of flags

    // Digests the local file and compares it with md5, and with sha256 when
    // the entry has one; keeps the current flag. A pass over many files hands
    // in one provider context for all of them (one that supports SHA-256 when
    // entries carry it: AcquireDigestProvider).
    bool Verify(HCRYPTPROV provider = 0);
    bool IsCurrent() const { return (flags & kCurrent) != 0; }
    bool IsComplete() const { return !path.empty() && !md5.empty() && !src.empty(); }

    uint32_t flags = 0;
    std::wstring path;  // relative, with "\" separators
    // As the manifest states it; a negative size is unknown: it counts for
    // nothing in the totals and bounds no body.
    int64_t size = 0;
    bool HasKnownSize() const { return size >= 0; }
    std::wstring md5;
    std::wstring src;
    std::wstring sha256;  // only in the signed format; empty otherwise
};

// What UpdateAll hands each stale entry to; true when its new content has
// arrived whole (as the entry's size and digests say).
using StageOperation = std::function<bool(const ManifestEntry& entry)>;

class Manifest {
public:
    Manifest() = default;
    ~Manifest();
    Manifest(const Manifest&) = delete;
    Manifest& operator=(const Manifest&) = delete;

    // Parses an open file from its current position to its end; true when valid.
    bool Parse(FILE* file);
    // Validates one file element's attribute values (each may be null) and
    // appends it; a path that could reach outside the current directory
    // (IsSafeManifestPath) or whose full path the launcher could not write
    // (ResolveRelativePath) is refused. The signed format also requires sha256
    // (64 hex digits); otherwise it is ignored.
    bool AddEntry(const wchar_t* path, const wchar_t* size, const wchar_t* md5, const wchar_t* src,
                  const wchar_t* sha256 = nullptr);

    // Verifies every entry; true when any is stale. With a record, an entry
    // it recalls as current (VerificationRecord::Recall) is not read.
    bool NeedsUpdate(VerificationRecord* record = nullptr);
    // All known sizes, and those of current entries, in bytes.
    void ComputeTotals(double& total, double& done) const;
    // The bytes of every stale entry of known size.
    uint64_t StaleBytes() const;
    // Hands every stale entry, in order, to stage, also after one failed; true
    // when every one was staged.
    bool UpdateAll(const StageOperation& stage) const;

    // Set before parsing by a build that checks signatures: the root must then
    // carry serial="N" and every file sha256; both are ignored otherwise.
    bool signedFormat = false;
    uint64_t serial = 0;  // the root's serial, in the signed format

    XML_ParserStruct* parser = nullptr;  // only while a parse runs
    uint32_t depth = 0;                  // 1 inside the root element
    std::vector<ManifestEntry> entries;
};

// Opens a manifest file, parses it into the manifest and closes it.
bool LoadManifest(Manifest& manifest, const wchar_t* relativePath);

// Writes the 32 lowercase hex digits of the file's MD5 digest and a null into
// digest (66 characters). False when the file cannot be opened or hashed;
// digest then holds an empty string and nothing past its 66 characters is
// ever written.
constexpr size_t kDigestBufferLength = 66;
// With provider 0 the digest acquires a provider context of its own; a
// caller digesting many files passes one, since each acquisition costs a
// trip through the registry.
bool ComputeFileMd5(const wchar_t* relativePath, wchar_t* digest, HCRYPTPROV provider = 0);

// Both digests of a file in one read: MD5 into md5 as above and SHA-256 (64
// lowercase hex digits and a null) into sha256. The provider, when given,
// must support SHA-256 (AcquireDigestProvider(true)).
constexpr size_t kSha256BufferLength = 65;
// pump, when given, runs between blocks (a window stays answered while a
// large file is read); its false ends the digest as a failure.
bool ComputeFileDigests(const wchar_t* relativePath, wchar_t* md5, wchar_t* sha256, HCRYPTPROV provider = 0,
                        const std::function<bool()>& pump = nullptr);

// A provider context for a pass of digests, or 0 when none can be had. MD5
// alone uses the default provider; SHA-256 needs the AES one.
HCRYPTPROV AcquireDigestProvider(bool withSha256);
