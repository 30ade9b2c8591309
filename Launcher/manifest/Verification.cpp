#include "manifest/Manifest.h"

#include "common/Handles.h"
#include "manifest/VerifiedRecord.h"

#include <cwchar>
#include <vector>

namespace {

// The entries of one check, taken one at a time by each thread of the pass.
struct VerifyPass {
    std::vector<ManifestEntry>& entries;
    const std::vector<size_t>& pending;  // the indices of the entries to digest
    HCRYPTPROV provider;
    volatile LONG next = 0;
    volatile LONG stale = 0;

    void Run() {
        for (;;) {
            LONG index = InterlockedIncrement(&next) - 1;
            if (index >= static_cast<LONG>(pending.size())) {
                return;
            }
            if (!entries[pending[static_cast<size_t>(index)]].Verify(provider)) {
                InterlockedExchange(&stale, 1);
            }
        }
    }

    static DWORD WINAPI Helper(void* pass) {
        static_cast<VerifyPass*>(pass)->Run();
        return 0;
    }
};

bool HasSecondProcessor() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    return system.dwNumberOfProcessors > 1;
}

}  // namespace

bool ManifestEntry::Verify(HCRYPTPROV provider) {
    wchar_t digest[kDigestBufferLength];
    wchar_t sha256Digest[kSha256BufferLength];
    bool withSha256 = !sha256.empty();
    // The manifest may give the digests in either case.
    if (ComputeFileDigests(path.c_str(), digest, withSha256 ? sha256Digest : nullptr, provider) &&
        _wcsicmp(md5.c_str(), digest) == 0 && (!withSha256 || _wcsicmp(sha256.c_str(), sha256Digest) == 0)) {
        flags |= kCurrent;
        return true;
    }
    flags &= ~kCurrent;
    return false;
}

bool Manifest::NeedsUpdate(VerificationRecord* record) {
    // Every entry is verified (digested, or recalled from the record), so
    // every current flag is fresh afterwards.
    std::vector<bool> recalled(entries.size(), false);
    if (record != nullptr) {
        recalled = record->Recall(*this);
    }
    std::vector<size_t> pending;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!recalled[i]) {
            pending.push_back(i);
        }
    }
    // Digesting is bound by the processor, so a second core takes half of
    // the files; two threads, not more, so that a disk is not made to seek
    // between many files at once.
    // One context for a pass over every file; without one (it cannot be had)
    // each digest tries its own. Loading it costs milliseconds: none is
    // loaded when every file was recalled.
    ScopedCryptProvider provider(pending.empty() ? 0 : AcquireDigestProvider(signedFormat));
    VerifyPass pass{entries, pending, provider.Get()};
    ScopedHandle helper(pending.size() > 1 && HasSecondProcessor()
                            ? CreateThread(nullptr, 0, VerifyPass::Helper, &pass, 0, nullptr)
                            : nullptr);
    pass.Run();
    if (helper.IsValid()) {
        WaitForSingleObject(helper.Get(), INFINITE);
    }
    return pass.stale != 0;
}

void Manifest::ComputeTotals(double& total, double& done) const {
    total = 0.0;
    done = 0.0;
    for (const ManifestEntry& entry : entries) {
        double size = entry.HasKnownSize() ? static_cast<double>(entry.size) : 0.0;
        total += size;
        if (entry.IsCurrent()) {
            done += size;
        }
    }
}

uint64_t Manifest::StaleBytes() const {
    uint64_t bytes = 0;
    for (const ManifestEntry& entry : entries) {
        if (!entry.IsCurrent() && entry.HasKnownSize()) {
            uint64_t size = static_cast<uint64_t>(entry.size);
            bytes = size > UINT64_MAX - bytes ? UINT64_MAX : bytes + size;
        }
    }
    return bytes;
}

bool Manifest::UpdateAll(const StageOperation& stage) const {
    // Never stops early: after a failure (or a cancellation, which the
    // operation handles) every stale entry is still handed over.
    bool result = true;
    for (const ManifestEntry& entry : entries) {
        if (!entry.IsCurrent() && (!stage || !stage(entry))) {
            result = false;
        }
    }
    return result;
}
