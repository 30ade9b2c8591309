// MD5, and SHA-256 where asked, of bytes fed in pieces: a file read from disk,
// or a body as it is written.
#pragma once

#include "common/Handles.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>

class Digest {
public:
    Digest() = default;
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // With provider 0 a context of its own is acquired; a caller digesting many
    // files passes one (AcquireDigestProvider), since each acquisition costs a
    // trip through the registry.
    bool Start(HCRYPTPROV provider, bool withSha256);
    void Add(const BYTE* data, DWORD count);
    uint64_t Bytes() const { return bytes_; }
    // Lowercase hex and a null: md5 takes kDigestBufferLength characters,
    // sha256 (when started with it, else may be null) kSha256BufferLength.
    // Nothing past those lengths is ever written.
    bool Finish(wchar_t* md5, wchar_t* sha256);

private:
    ScopedCryptProvider own_;
    ScopedCryptHash md5_;
    ScopedCryptHash sha256_;
    uint64_t bytes_ = 0;
};
