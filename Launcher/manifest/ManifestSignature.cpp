#include "manifest/ManifestSignature.h"

#include "common/Handles.h"

#include <share.h>

#include <cstring>

namespace {

constexpr DWORD kSha256Length = 32;
constexpr size_t kReadBlock = 64 * 1024;

// A signature file is exactly the 64 bytes of r and s; anything else,
// including a missing or empty file, fails.
bool ReadSignature(const wchar_t* path, BYTE (&signature)[kSignatureLength]) {
    ScopedFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid()) {
        return false;
    }
    BYTE buffer[kSignatureLength + 1];
    DWORD count = 0;
    if (!ReadFile(file.Get(), buffer, sizeof(buffer), &count, nullptr) || count != kSignatureLength) {
        return false;
    }
    memcpy(signature, buffer, kSignatureLength);
    return true;
}

// SHA-256 of the file from its current position to its end.
bool HashRest(FILE* file, BYTE (&digest)[kSha256Length]) {
    ScopedCryptProvider provider(AcquireDigestProvider(true));
    HCRYPTHASH hashHandle = 0;
    if (!provider.IsValid() || !CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, &hashHandle)) {
        return false;
    }
    ScopedCryptHash hash(hashHandle);
    BYTE buffer[kReadBlock];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        if (!CryptHashData(hash.Get(), buffer, static_cast<DWORD>(count), 0)) {
            return false;
        }
    }
    DWORD length = kSha256Length;
    return ferror(file) == 0 && CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &length, 0) &&
           length == kSha256Length;
}

bool VerifyDigest(const BYTE (&digest)[kSha256Length], BYTE (&signature)[kSignatureLength],
                  const unsigned char (&publicKey)[kPublicKeyLength]) {
    BCRYPT_ALG_HANDLE algorithmHandle = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithmHandle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) < 0) {
        return false;
    }
    ScopedCngAlgorithm algorithm(algorithmHandle);

    struct {
        BCRYPT_ECCKEY_BLOB header;
        BYTE point[kPublicKeyLength];
    } blob;
    blob.header.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.header.cbKey = kPublicKeyLength / 2;
    memcpy(blob.point, publicKey, kPublicKeyLength);
    BCRYPT_KEY_HANDLE keyHandle = nullptr;
    if (BCryptImportKeyPair(algorithm.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &keyHandle,
                            reinterpret_cast<PUCHAR>(&blob), sizeof(blob), 0) < 0) {
        return false;
    }
    ScopedCngKey key(keyHandle);
    return BCryptVerifySignature(key.Get(), nullptr, const_cast<PUCHAR>(digest), kSha256Length, signature,
                                 kSignatureLength, 0) >= 0;
}

bool VerifyWithAnyKey(const BYTE (&digest)[kSha256Length], BYTE (&signature)[kSignatureLength],
                      const unsigned char (*publicKeys)[kPublicKeyLength], size_t keyCount) {
    for (size_t i = 0; i < keyCount; ++i) {
        if (VerifyDigest(digest, signature, publicKeys[i])) {
            return true;
        }
    }
    return false;
}

}  // namespace

SignatureCheck LoadSignedManifest(Manifest& manifest, const wchar_t* manifestPath, const wchar_t* signaturePath,
                                  const unsigned char (*publicKeys)[kPublicKeyLength], size_t keyCount,
                                  bool& valid) {
    valid = false;
    manifest.signedFormat = true;
    manifest.entries.clear();
    // Binary, and held against writes from the check to the end of the
    // parse: what is parsed is exactly what was signed.
    ScopedStdioFile file(_wfsopen(manifestPath, L"rb", _SH_DENYWR));
    if (!file.IsValid()) {
        return SignatureCheck::kNoManifest;
    }
    BYTE digest[kSha256Length];
    BYTE signature[kSignatureLength];
    if (!ReadSignature(signaturePath, signature) || !HashRest(file.Get(), digest) ||
        !VerifyWithAnyKey(digest, signature, publicKeys, keyCount)) {
        return SignatureCheck::kInvalid;
    }
    rewind(file.Get());
    valid = manifest.Parse(file.Get());
    return SignatureCheck::kValid;
}
