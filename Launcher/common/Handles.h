// Owners for the platform handles of one operation. Each closes its handle
// when it goes out of scope, so declaring them in the order of opening closes
// them in reverse order on every path. They cannot be copied: a copy would
// close the same handle twice.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <wininet.h>

#include <cstdio>

template <typename Traits>
class Scoped {
public:
    using Type = typename Traits::Type;

    explicit Scoped(Type value = Traits::Invalid()) : value_(value) {}
    ~Scoped() { Close(); }
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;

    Type Get() const { return value_; }
    void Reset(Type value) {
        Close();
        value_ = value;
    }
    // Hands the handle to someone else, who then closes it.
    Type Release() {
        Type value = value_;
        value_ = Traits::Invalid();
        return value;
    }
    bool IsValid() const { return value_ != Traits::Invalid(); }

    void Close() {
        if (IsValid()) {
            Traits::Close(value_);
            value_ = Traits::Invalid();
        }
    }

private:
    Type value_;
};

struct KernelHandleTraits {  // processes, threads, mutexes: null when absent
    using Type = HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW reports failure as INVALID_HANDLE_VALUE
    using Type = HANDLE;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};

struct InternetHandleTraits {
    using Type = HINTERNET;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { InternetCloseHandle(h); }
};

struct CryptProviderTraits {
    using Type = HCRYPTPROV;
    static Type Invalid() { return 0; }
    static void Close(Type h) { CryptReleaseContext(h, 0); }
};

struct CryptHashTraits {
    using Type = HCRYPTHASH;
    static Type Invalid() { return 0; }
    static void Close(Type h) { CryptDestroyHash(h); }
};

struct CngAlgorithmTraits {
    using Type = BCRYPT_ALG_HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { BCryptCloseAlgorithmProvider(h, 0); }
};

struct CngKeyTraits {
    using Type = BCRYPT_KEY_HANDLE;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { BCryptDestroyKey(h); }
};

struct StdioFileTraits {
    using Type = FILE*;
    static Type Invalid() { return nullptr; }
    static void Close(Type f) { fclose(f); }
};

struct HeapBlockTraits {  // blocks from the process heap
    using Type = void*;
    static Type Invalid() { return nullptr; }
    static void Close(Type p) { HeapFree(GetProcessHeap(), 0, p); }
};

using ScopedHandle = Scoped<KernelHandleTraits>;
using ScopedFileHandle = Scoped<FileHandleTraits>;
using ScopedInternetHandle = Scoped<InternetHandleTraits>;
using ScopedCryptProvider = Scoped<CryptProviderTraits>;
using ScopedCryptHash = Scoped<CryptHashTraits>;
using ScopedCngAlgorithm = Scoped<CngAlgorithmTraits>;
using ScopedCngKey = Scoped<CngKeyTraits>;
using ScopedStdioFile = Scoped<StdioFileTraits>;
using ScopedHeapBlock = Scoped<HeapBlockTraits>;
