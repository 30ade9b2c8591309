#include "install/StagedFile.h"

#include "common/Constants.h"
#include "common/FileHelpers.h"
#include "common/RunLog.h"
#include "transfer/TransferLimits.h"

#include <algorithm>
#include <cwchar>
#include <set>
#include <vector>

namespace {

// Beside a partial copy: what identifies it, for a later resume.
constexpr wchar_t kInfoSuffix[] = L".info";

// A body that arrives in a block or two is fetched again whole rather than
// cost every small file of an update an identity written and deleted.
bool IsWorthResuming(const ManifestEntry& entry) {
    return entry.HasKnownSize() && static_cast<uint64_t>(entry.size) > kTransferBlockSize;
}

// The path as Windows compares names: upper case across Unicode, as an
// ordinal comparison that ignores case folds it; ASCII letters then go to
// lower case, so that the staged names of plain paths stay what they were.
std::wstring FoldedPath(const std::wstring& path) {
    std::wstring folded(path);
    std::replace(folded.begin(), folded.end(), L'/', L'\\');
    if (!folded.empty()) {
        std::wstring upper(folded.size(), L'\0');
        int length = static_cast<int>(folded.size());
        if (LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, folded.c_str(), length, &upper[0], length, nullptr,
                          nullptr, 0) == length) {
            folded.swap(upper);
        }
    }
    for (wchar_t& c : folded) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c - L'A' + L'a');
        }
    }
    return folded;
}

}  // namespace

std::wstring StagingPathFor(const std::wstring& relativeTarget) {
    // FNV-1a: short, fixed-length names whatever the depth of the target.
    uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : FoldedPath(relativeTarget)) {
        hash ^= static_cast<uint16_t>(c);
        hash *= 1099511628211ull;
    }
    wchar_t name[17];
    _snwprintf(name, 17, L"%016llx", static_cast<unsigned long long>(hash));
    name[16] = L'\0';
    return std::wstring(kStagingFolder) + L"\\" + name;
}

bool IsSameTarget(const std::wstring& a, const std::wstring& b) {
    std::wstring left(a);
    std::wstring right(b);
    std::replace(left.begin(), left.end(), L'/', L'\\');
    std::replace(right.begin(), right.end(), L'/', L'\\');
    return CompareStringOrdinal(left.c_str(), static_cast<int>(left.size()), right.c_str(),
                                static_cast<int>(right.size()), TRUE) == CSTR_EQUAL;
}

void DeleteStagedFile(const std::wstring& stagedPath) {
    std::wstring full;
    if (ResolveRelativePath(stagedPath.c_str(), full)) {
        DeleteFileW(full.c_str());
    }
}

namespace {

// The staged copy's length, or 0 when there is none.
uint64_t StagedSize(const std::wstring& staged) {
    std::wstring full;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!ResolveRelativePath(staged.c_str(), full) || !GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

bool IsStagedWhole(const ManifestEntry& entry, HCRYPTPROV provider, const std::function<bool()>& pump) {
    std::wstring staged = StagingPathFor(entry.path);
    std::wstring full;
    if (!ResolveRelativePath(staged.c_str(), full) || GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES ||
        (entry.HasKnownSize() && StagedSize(staged) != static_cast<uint64_t>(entry.size))) {
        return false;
    }
    wchar_t md5[kDigestBufferLength];
    wchar_t sha256[kSha256BufferLength];
    bool withSha256 = !entry.sha256.empty();
    return ComputeFileDigests(staged.c_str(), md5, withSha256 ? sha256 : nullptr, provider, pump) &&
           _wcsicmp(entry.md5.c_str(), md5) == 0 && (!withSha256 || _wcsicmp(entry.sha256.c_str(), sha256) == 0);
}

void PruneStaging(const Manifest& manifest) {
    std::wstring folder;
    if (!ResolveRelativePath(kStagingFolder, folder)) {
        return;
    }
    std::vector<std::wstring> wanted;
    for (const ManifestEntry& entry : manifest.entries) {
        if (!entry.IsCurrent()) {
            wanted.push_back(StagingPathFor(entry.path));
        }
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        std::wstring name = std::wstring(kStagingFolder) + L"\\" + found.cFileName;
        size_t length = wcslen(found.cFileName);
        bool keep = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                    _wcsicmp(name.c_str(), kCommitJournal) == 0 ||
                    (length > 4 && _wcsicmp(found.cFileName + length - 4, L".old") == 0);
        for (const std::wstring& path : wanted) {
            keep = keep || _wcsicmp(path.c_str(), name.c_str()) == 0 ||
                   _wcsicmp((path + kInfoSuffix).c_str(), name.c_str()) == 0;
        }
        if (!keep) {
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

uint64_t BytesToFetch(const Manifest& manifest) {
    std::set<std::wstring> counted;
    uint64_t bytes = 0;
    for (const ManifestEntry& entry : manifest.entries) {
        if (entry.IsCurrent() || !entry.HasKnownSize()) {
            continue;
        }
        std::wstring staged = StagingPathFor(entry.path);
        if (!counted.insert(staged).second) {
            continue;
        }
        uint64_t size = static_cast<uint64_t>(entry.size);
        uint64_t need = size - std::min(size, StagedSize(staged));
        bytes = need > UINT64_MAX - bytes ? UINT64_MAX : bytes + need;
    }
    return bytes;
}

StagedFile::StagedFile(const ManifestEntry& entry, HCRYPTPROV provider, std::function<bool()> pump)
    : entry_(entry), provider_(provider), pump_(std::move(pump)), stagedPath_(StagingPathFor(entry.path)) {}

std::wstring StagedFile::Identity(const std::wstring& validator) const {
    return entry_.path + L"\n" + std::to_wstring(entry_.size) + L"\n" + entry_.md5 + L"\n" + entry_.sha256 + L"\n" +
           validator + L"\n";
}

ResumeFrom StagedFile::ResumePoint() {
    ResumeFrom from;
    if (!IsWorthResuming(entry_)) {
        return from;
    }
    std::wstring full;
    std::wstring info;
    std::wstring text;
    if (!ResolveRelativePath(stagedPath_.c_str(), full) || !ResolveRelativePath((stagedPath_ + kInfoSuffix).c_str(), info) ||
        !ReadWideText(info, text)) {
        return from;
    }
    // The identity is the entry's (path, size and digests) and a validator.
    std::wstring validator = text.size() > 1 ? text.substr(0, text.size() - 1) : std::wstring();
    size_t cut = validator.rfind(L'\n');
    validator = cut == std::wstring::npos ? std::wstring() : validator.substr(cut + 1);
    WIN32_FILE_ATTRIBUTE_DATA data;
    uint64_t size = 0;
    if (GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
        size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    if (_wcsicmp(text.c_str(), Identity(validator).c_str()) != 0 || !entry_.HasKnownSize() ||
        size == 0 || size >= static_cast<uint64_t>(entry_.size)) {
        Discard();
        return from;
    }
    from.offset = size;
    from.validator = validator;
    return from;
}

bool StagedFile::OpenResumed(const std::wstring& fullPath, uint64_t offset) {
    file_.Reset(CreateFileW(fullPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_.IsValid()) {
        return false;
    }
    // The bytes kept are digested once more, as part of the whole.
    BYTE buffer[64 * 1024];
    uint64_t left = offset;
    while (left > 0) {
        DWORD want = left < sizeof(buffer) ? static_cast<DWORD>(left) : static_cast<DWORD>(sizeof(buffer));
        DWORD got = 0;
        if (!ReadFile(file_.Get(), buffer, want, &got, nullptr) || got == 0) {
            return false;
        }
        digest_.Add(buffer, got);
        left -= got;
        if (pump_ && !pump_()) {
            cancelled_ = true;
            return false;
        }
    }
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file_.Get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file_.Get());
}

bool StagedFile::Open(const Answer& answer) {
    std::wstring fullPath;
    std::wstring infoPath;
    if (!ResolveRelativePath(stagedPath_.c_str(), fullPath) ||
        !ResolveRelativePath((stagedPath_ + kInfoSuffix).c_str(), infoPath)) {
        return false;
    }
    if (!digest_.Start(provider_, !entry_.sha256.empty())) {
        LogLine(L"[FAIL] Failed to digest \"%ls\".", entry_.path.c_str());
        return false;
    }
    offset_ = answer.offset;
    opened_ = true;
    if (offset_ > 0) {
        if (!OpenResumed(fullPath, offset_)) {
            if (cancelled_) {
                return false;
            }
            LogLine(L"[FAIL] Failed to open file \"%ls\" (error %u).", stagedPath_.c_str(),
                    static_cast<unsigned>(GetLastError()));
            return false;
        }
    } else {
        file_.Reset(CreateFileW(fullPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
        if (!file_.IsValid() && GetLastError() == ERROR_PATH_NOT_FOUND) {
            // The staging folder is the launcher's own business: made, once,
            // without a log line.
            for (const wchar_t* folder : {kWorkingFolder, kStagingFolder}) {
                std::wstring full;
                if (ResolveRelativePath(folder, full)) {
                    CreateDirectoryW(full.c_str(), nullptr);
                }
            }
            file_.Reset(CreateFileW(fullPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        if (!file_.IsValid()) {
            LogLine(L"[FAIL] Failed to open file \"%ls\" (error %u).", stagedPath_.c_str(),
                    static_cast<unsigned>(GetLastError()));
            return false;
        }
    }
    // Written before the first byte, so that a run killed meanwhile leaves a
    // partial copy the next one can resume; a server without a validator is
    // resumed too, the manifest's digests telling whether the whole is right.
    identified_ = IsWorthResuming(entry_) && WriteWideText(infoPath, Identity(answer.validator));
    if (!identified_ && IsWorthResuming(entry_)) {
        DeleteFileW(infoPath.c_str());
    }
    return true;
}

bool StagedFile::Write(const BYTE* data, DWORD count) {
    DWORD put = 0;
    if (!WriteFile(file_.Get(), data, count, &put, nullptr) || put != count) {
        DWORD error = GetLastError();
        LogLine(L"[FAIL] Failed to write file \"%ls\" (error %u).", entry_.path.c_str(),
                static_cast<unsigned>(error != ERROR_SUCCESS ? error : ERROR_DISK_FULL));
        return false;
    }
    digest_.Add(data, count);
    return true;
}

bool StagedFile::Finish() {
    if (!file_.IsValid()) {
        return false;
    }
    // On disk before any journal names it: a power cut after the commit must
    // not leave the install with blocks that were never written.
    bool flushed = FlushFileBuffers(file_.Get()) != FALSE;
    file_.Close();
    wchar_t md5[kDigestBufferLength];
    wchar_t sha256[kSha256BufferLength];
    bool withSha256 = !entry_.sha256.empty();
    // The manifest may give the digests in either case.
    bool whole = flushed && (!entry_.HasKnownSize() || digest_.Bytes() == static_cast<uint64_t>(entry_.size)) &&
                 digest_.Finish(md5, withSha256 ? sha256 : nullptr) && _wcsicmp(entry_.md5.c_str(), md5) == 0 &&
                 (!withSha256 || _wcsicmp(entry_.sha256.c_str(), sha256) == 0);
    if (whole && identified_) {
        DeleteStagedFile(stagedPath_ + kInfoSuffix);  // whole: nothing left to resume
    }
    return whole;
}

void StagedFile::Keep() {
    file_.Close();
    // Only this transfer's own start of a small file, which is never resumed;
    // a copy it did not open (an earlier one, whole or resumable) stays.
    if (opened_ && !identified_) {
        Discard();
    }
}

void StagedFile::Discard() {
    file_.Close();
    DeleteStagedFile(stagedPath_);
    DeleteStagedFile(stagedPath_ + kInfoSuffix);
}
