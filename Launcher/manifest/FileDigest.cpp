#include "manifest/Manifest.h"

#include "common/Handles.h"

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

bool ComputeFileDigests(const wchar_t* relativePath, wchar_t* md5, wchar_t* sha256, HCRYPTPROV provider,
                        const std::function<bool()>& pump) {
    if (relativePath == nullptr || md5 == nullptr) {
        return false;
    }
    md5[0] = L'\0';
    if (sha256 != nullptr) {
        sha256[0] = L'\0';
    }

    ScopedCryptProvider own;
    if (provider == 0) {
        own.Reset(AcquireDigestProvider(sha256 != nullptr));
        if (!own.IsValid()) {
            return false;
        }
        provider = own.Get();
    }

    HCRYPTHASH md5Handle = 0;
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &md5Handle)) {
        return false;
    }
    ScopedCryptHash md5Hash(md5Handle);
    ScopedCryptHash sha256Hash;
    if (sha256 != nullptr) {
        HCRYPTHASH sha256Handle = 0;
        if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &sha256Handle)) {
            return false;
        }
        sha256Hash.Reset(sha256Handle);
    }

    ScopedFileHandle file(CreateFileW(relativePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsValid()) {
        return false;
    }

    BYTE buffer[kBlockSize];
    DWORD count = 0;
    // A read error ends the input early; the digest of what was read then
    // simply fails to match.
    while (ReadFile(file.Get(), buffer, kBlockSize, &count, nullptr) && count > 0) {
        CryptHashData(md5Hash.Get(), buffer, count, 0);
        if (sha256Hash.IsValid()) {
            CryptHashData(sha256Hash.Get(), buffer, count, 0);
        }
        if (pump && !pump()) {
            return false;
        }
    }
    file.Close();

    if (!FinishHex(md5Hash.Get(), kMd5Length, md5)) {
        return false;
    }
    if (sha256Hash.IsValid() && !FinishHex(sha256Hash.Get(), kSha256Length, sha256)) {
        md5[0] = L'\0';
        return false;
    }
    return true;
}

bool ComputeFileMd5(const wchar_t* relativePath, wchar_t* digest, HCRYPTPROV provider) {
    return ComputeFileDigests(relativePath, digest, nullptr, provider);
}
