#include "manifest/Manifest.h"

#include "core/Handles.h"

#include <cwchar>

namespace {

// One context for a pass over every file; without one (it cannot be had)
// each digest tries its own.
HCRYPTPROV AcquireProvider() {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return 0;
    }
    return provider;
}

}  // namespace

bool ManifestEntry::Verify(HCRYPTPROV provider) {
    wchar_t digest[kDigestBufferLength];
    // The manifest may give the digest in either case.
    if (ComputeFileMd5(path.c_str(), digest, provider) && _wcsicmp(md5.c_str(), digest) == 0) {
        flags |= kCurrent;
        return true;
    }
    flags &= ~kCurrent;
    return false;
}

bool Manifest::NeedsUpdate() {
    // Every entry is verified, so every current flag is fresh afterwards.
    ScopedCryptProvider provider(AcquireProvider());
    bool stale = false;
    for (ManifestEntry& entry : entries) {
        if (!entry.Verify(provider.Get())) {
            stale = true;
        }
    }
    return stale;
}

void Manifest::ComputeTotals(double& total, double& done) const {
    total = 0.0;
    done = 0.0;
    for (const ManifestEntry& entry : entries) {
        double size = static_cast<double>(static_cast<uint32_t>(entry.size));
        total += size;
        if (entry.IsCurrent()) {
            done += size;
        }
    }
}

bool Manifest::UpdateAll(void* context, DownloadOperation download) {
    // Never stops early: after a failure (or a cancellation, which the
    // download operation handles) every stale entry is still handed over.
    ScopedCryptProvider provider(AcquireProvider());
    bool result = true;
    for (ManifestEntry& entry : entries) {
        if (entry.IsCurrent()) {
            continue;
        }
        if (download == nullptr || !download(context, entry.src.c_str(), entry.path.c_str())) {
            result = false;
        } else if (!entry.Verify(provider.Get())) {
            result = false;
        }
    }
    return result;
}
