#include "manifest/Manifest.h"

#include <cwchar>

bool ManifestEntry::Verify() {
    wchar_t digest[kDigestBufferLength];
    // The manifest may give the digest in either case.
    if (ComputeFileMd5(path.c_str(), digest) && _wcsicmp(md5.c_str(), digest) == 0) {
        flags |= kCurrent;
        return true;
    }
    flags &= ~kCurrent;
    return false;
}

bool Manifest::NeedsUpdate() {
    // Every entry is verified, so every current flag is fresh afterwards.
    bool stale = false;
    for (ManifestEntry& entry : entries) {
        if (!entry.Verify()) {
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
    bool result = true;
    for (ManifestEntry& entry : entries) {
        if (entry.IsCurrent()) {
            continue;
        }
        if (download == nullptr || !download(context, entry.src.c_str(), entry.path.c_str())) {
            result = false;
        } else if (!entry.Verify()) {
            result = false;
        }
    }
    return result;
}
