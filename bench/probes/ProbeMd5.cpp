// MD5 of every listed file through CryptoAPI on two threads sharing one
// provider context, 256 KiB reads: the least a check under Wine can cost.
#include "ProbeList.h"

#include <wincrypt.h>

namespace {

constexpr DWORD kBlock = 256 * 1024;

struct Pass {
    std::vector<ProbeItem>* items = nullptr;
    HCRYPTPROV provider = 0;
    volatile LONG next = 0;
    volatile LONG failed = 0;
    unsigned char sink = 0;  // folds the digests so that no work can be dropped

    void Run() {
        std::vector<BYTE> buffer(kBlock);
        for (;;) {
            LONG index = InterlockedIncrement(&next) - 1;
            if (index >= static_cast<LONG>(items->size())) {
                return;
            }
            if (!Digest((*items)[static_cast<size_t>(index)].path, buffer)) {
                InterlockedExchange(&failed, 1);
            }
        }
    }

    bool Digest(const std::wstring& path, std::vector<BYTE>& buffer) {
        HCRYPTHASH hash = 0;
        if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash)) {
            return false;
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        bool ok = file != INVALID_HANDLE_VALUE;
        DWORD count = 0;
        while (ok && ReadFile(file, buffer.data(), kBlock, &count, nullptr) && count > 0) {
            ok = CryptHashData(hash, buffer.data(), count, 0) != FALSE;
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        BYTE value[16];
        DWORD length = sizeof(value);
        ok = ok && CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0) && length == sizeof(value);
        CryptDestroyHash(hash);
        if (ok) {
            sink = static_cast<unsigned char>(sink ^ value[0]);
        }
        return ok;
    }

    static DWORD WINAPI Helper(void* pass) {
        static_cast<Pass*>(pass)->Run();
        return 0;
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<ProbeItem> items;
    if (argc != 2 || !ReadProbeList(argv[1], items)) {
        fwprintf(stderr, L"usage: ProbeMd5 LIST (URL, path and size per line)\n");
        return 2;
    }
    Pass pass;
    pass.items = &items;
    if (!CryptAcquireContextW(&pass.provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        return 3;
    }
    HANDLE helper = CreateThread(nullptr, 0, Pass::Helper, &pass, 0, nullptr);
    pass.Run();
    if (helper != nullptr) {
        WaitForSingleObject(helper, INFINITE);
        CloseHandle(helper);
    }
    CryptReleaseContext(pass.provider, 0);
    return pass.failed != 0 ? 4 : 0;
}
