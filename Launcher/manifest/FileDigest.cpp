#include "manifest/Digest.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "manifest/Manifest.h"

namespace {

// Larger reads cost fewer trips through Wine's file layer; hashing speed
// does not depend on the block.
constexpr DWORD kBlockSize = 64 * 1024;
constexpr DWORD kMd5Length = 16;
constexpr DWORD kSha256Length = 32;

DWORD ProviderType(bool withSha256) {
    return withSha256 ? PROV_RSA_AES : PROV_RSA_FULL;
}

// Writes the hash's value as lowercase hex and a null; false unless it is
// exactly length bytes, so nothing past the caller's buffer is written.
bool FinishHex(HCRYPTHASH hash, DWORD length, wchar_t* hex) {
    BYTE value[kSha256Length];
    DWORD got = sizeof(value);
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &got, 0) || got != length) {
        return false;
    }
    static const wchar_t kHexDigits[] = L"0123456789abcdef";
    for (DWORD i = 0; i < length; ++i) {
        hex[2 * i] = kHexDigits[value[i] >> 4];
        hex[2 * i + 1] = kHexDigits[value[i] & 0x0F];
    }
    hex[2 * length] = L'\0';
    return true;
}

}  // namespace

HCRYPTPROV AcquireDigestProvider(bool withSha256) {
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, ProviderType(withSha256), CRYPT_VERIFYCONTEXT)) {
        return 0;
    }
    return provider;
}

bool Digest::Start(HCRYPTPROV provider, bool withSha256) {
    bytes_ = 0;
    if (provider == 0) {
        own_.Reset(AcquireDigestProvider(withSha256));
        if (!own_.IsValid()) {
            return false;
        }
        provider = own_.Get();
    }
    HCRYPTHASH md5 = 0;
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &md5)) {
        return false;
    }
    md5_.Reset(md5);
    if (withSha256) {
        HCRYPTHASH sha256 = 0;
        if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &sha256)) {
            return false;
        }
        sha256_.Reset(sha256);
    }
    return true;
}

void Digest::Add(const BYTE* data, DWORD count) {
    CryptHashData(md5_.Get(), data, count, 0);
    if (sha256_.IsValid()) {
        CryptHashData(sha256_.Get(), data, count, 0);
    }
    bytes_ += count;
}

bool Digest::Finish(wchar_t* md5, wchar_t* sha256) {
    md5[0] = L'\0';
    if (sha256 != nullptr) {
        sha256[0] = L'\0';
    }
    if (!md5_.IsValid() || !FinishHex(md5_.Get(), kMd5Length, md5)) {
        return false;
    }
    if (sha256_.IsValid() && (sha256 == nullptr || !FinishHex(sha256_.Get(), kSha256Length, sha256))) {
        md5[0] = L'\0';
        return false;
    }
    return true;
}

bool ComputeFileDigests(const wchar_t* relativePath, wchar_t* md5, wchar_t* sha256, HCRYPTPROV provider,
                        const std::function<bool()>& pump) {
    if (relativePath == nullptr || md5 == nullptr) {
        return false;
    }
    md5[0] = L'\0';
    if (sha256 != nullptr) {
        sha256[0] = L'\0';
    }
    Digest digest;
    if (!digest.Start(provider, sha256 != nullptr)) {
        return false;
    }
    // The long form where there is one, so that a file deeper than MAX_PATH
    // below the install folder is read as it was written.
    std::wstring fullPath;
    const wchar_t* path = ResolveRelativePath(relativePath, fullPath) ? fullPath.c_str() : relativePath;
    ScopedFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        return false;
    }

    BYTE buffer[kBlockSize];
    DWORD count = 0;
    // A read error ends the input early; the digest of what was read then
    // simply fails to match.
    while (ReadFile(file.Get(), buffer, kBlockSize, &count, nullptr) && count > 0) {
        digest.Add(buffer, count);
        if (pump && !pump()) {
            return false;
        }
    }
    file.Close();
    return digest.Finish(md5, sha256);
}

bool ComputeFileMd5(const wchar_t* relativePath, wchar_t* digest, HCRYPTPROV provider) {
    return ComputeFileDigests(relativePath, digest, nullptr, provider);
}
