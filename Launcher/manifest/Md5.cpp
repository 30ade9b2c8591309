#include "manifest/Manifest.h"

#include "core/Handles.h"

namespace {

// Larger reads cost fewer trips through Wine's file layer; hashing speed
// does not depend on the block.
constexpr DWORD kBlockSize = 64 * 1024;
constexpr DWORD kMd5Length = 16;

}  // namespace

bool ComputeFileMd5(const wchar_t* relativePath, wchar_t* digest, HCRYPTPROV provider) {
    if (relativePath == nullptr || digest == nullptr) {
        return false;
    }
    digest[0] = L'\0';

    ScopedCryptProvider own;
    if (provider == 0) {
        HCRYPTPROV providerHandle = 0;
        if (!CryptAcquireContextW(&providerHandle, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
            return false;
        }
        own.Reset(providerHandle);
        provider = own.Get();
    }

    HCRYPTHASH hashHandle = 0;
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hashHandle)) {
        return false;
    }
    ScopedCryptHash hash(hashHandle);

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
        CryptHashData(hash.Get(), buffer, count, 0);
    }
    file.Close();

    // Anything but a 16-byte value would not fit the caller's 66 characters.
    DWORD length = kBlockSize;
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, buffer, &length, 0) || length != kMd5Length) {
        return false;
    }
    static const wchar_t kHexDigits[] = L"0123456789abcdef";
    for (DWORD i = 0; i < kMd5Length; ++i) {
        digest[2 * i] = kHexDigits[buffer[i] >> 4];
        digest[2 * i + 1] = kHexDigits[buffer[i] & 0x0F];
    }
    digest[2 * kMd5Length] = L'\0';
    return true;
}
