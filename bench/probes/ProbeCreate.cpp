// Only the files of a download: each listed path created new and given its
// size in zeros, folders made as needed. What this costs under Wine is the
// floor of any program that writes that many new files.
#include "ProbeList.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<ProbeItem> items;
    if (argc != 2 || !ReadProbeList(argv[1], items)) {
        fwprintf(stderr, L"usage: ProbeCreate LIST (URL, path and size per line)\n");
        return 2;
    }
    std::vector<BYTE> zeros(1 << 16);
    FolderMaker folders;
    for (const ProbeItem& item : items) {
        if (!folders.Ensure(item.path)) {
            return 5;
        }
        HANDLE file = CreateFileW(item.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 6;
        }
        for (unsigned long long left = item.size; left > 0;) {
            DWORD chunk = left < zeros.size() ? static_cast<DWORD>(left) : static_cast<DWORD>(zeros.size());
            DWORD put = 0;
            if (!WriteFile(file, zeros.data(), chunk, &put, nullptr) || put != chunk) {
                return 7;
            }
            left -= chunk;
        }
        CloseHandle(file);
    }
    return 0;
}
