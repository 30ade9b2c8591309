// Mutation fuzzer of the manifest parser. Mutates seed manifests with a
// deterministic generator, parses each from a file opened in binary as
// LoadManifest opens it, and checks that the parser never crashes or hangs,
// that memory stays bounded, and that every accepted manifest lists only
// complete entries that the write side resolves inside the current directory.
// Every other run parses in the signed format, whose entries must then each
// carry a 64-digit hex sha256 (and none in the plain format).
//
//   ManifestFuzz --seeds DIR [--seconds N] [--runs N] [--seed N] [--work DIR]
//   ManifestFuzz --replay FILE      (checks one saved input)
//
// Each input is written to WORK\current.xml before it is parsed, so a crash
// leaves it behind; findings are copied to WORK\finding-*.xml. The exit code
// is 0 without findings, 1 with any, 2 for a usage error.
#include "common/FileHelpers.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestPath.h"

#include <windows.h>
#include <psapi.h>
#include <share.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxInput = 64 * 1024;
constexpr size_t kPoolLimit = 64;                   // accepted mutants kept beside the seeds
constexpr ULONGLONG kTimeoutMs = 2000;              // the time limit: one parse longer is a hang
constexpr int kReportLimit = 20;                    // findings reported and saved; the rest only counted
constexpr SIZE_T kMemoryBound = SIZE_T{256} << 20;  // the memory bound: private bytes and working set
constexpr SIZE_T kGrowthBound = SIZE_T{32} << 20;   // private bytes, from warm-up to the end

class Rng {  // splitmix64: the same seed gives the same inputs
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    size_t Below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(Next() % n); }

private:
    uint64_t state_;
};

// Pieces of markup, paths the launcher must refuse, and bytes that the C
// runtime's text mode or the encodings treat specially.
const std::string kTokens[] = {
    "<", ">", "/>", "\"", "'", "=", "<update>", "</update>", "<update version=\"1.0\">", " version=\"2.0\"",
    "<file path=\"p\" size=\"1\" md5=\"m\" src=\"s\"/>", "<file>", "</file>", " path=\"", " size=\"", " md5=\"",
    " src=\"", " PATH=\"a\"", "xmlns:q=\"urn:q\" ", "q:", "&amp;", "&lt;", "&#0;", "&#x2F;", "&#x5C;", "&#xD800;",
    "&#x10FFFF;", "&#xFFFE;", "&e;", "&undefined;", "<![CDATA[", "]]>", "<!--", "-->", "<?pi x?>", "<?xml ",
    "<!DOCTYPE update [", "]>", "<!ENTITY e \"v\">", "<!ATTLIST file path CDATA \"..\\x\">", "../", "..\\", "/",
    "\\", ":", "\\\\?\\", "\\\\.\\", "//server/share/", "C:", "C:\\", "CON", "nul.txt", "COM1", "LPT\xC2\xB9",
    "CONOUT$", "Launcher/", "LAUNCHER. \\x", " . /", "...", "a:stream", "\r\n", "\r", "\n", "\x1A",
    std::string(1, '\0'), "\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
    "\xED\xA0\x80", "\xC0\xAF", "\x80", "\xFF", "\xEF\xBF\xBE",
};

const char* const kEncodings[] = {"UTF-8",  "utf-16",   "UTF-16LE", "ISO-8859-1", "latin1",
                                  "US-ASCII", "x-unknown", "windows-1252", ""};

std::string RandomToken(Rng& rng) {
    return kTokens[rng.Below(sizeof(kTokens) / sizeof(kTokens[0]))];
}

// Decodes loosely: a byte that is not part of valid UTF-8 stands for itself.
std::vector<uint32_t> CodePoints(const std::string& bytes) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const size_t n = b >= 0xF0 && b < 0xF5 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 1;
        uint32_t c = n == 1 ? b : b & (0x7F >> n);
        size_t k = 1;
        for (; k < n && i + k < bytes.size() && (static_cast<unsigned char>(bytes[i + k]) & 0xC0) == 0x80; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        }
        out.push_back(k == n ? c : b);
        i += k == n ? n : 1;
    }
    return out;
}

std::string ToUtf16(const std::string& bytes, bool bigEndian, bool bom) {
    std::vector<uint32_t> units = bom ? std::vector<uint32_t>{0xFEFF} : std::vector<uint32_t>{};
    for (uint32_t c : CodePoints(bytes)) {
        if (c >= 0x10000) {
            units.push_back(0xD800 + ((c - 0x10000) >> 10));
            units.push_back(0xDC00 + (c & 0x3FF));
        } else {
            units.push_back(c);
        }
    }
    std::string out;
    for (uint32_t u : units) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xFF);
        out += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

std::string ToLatin1(const std::string& bytes) {
    std::string out;
    for (uint32_t c : CodePoints(bytes)) {
        out += static_cast<char>(c <= 0xFF ? c : '?');
    }
    return out;
}

// Entity declarations: nested (expansion), recursive, chained deep, external
// and parameter entities; returns the declarations and the name to reference.
std::string EntityDeclarations(Rng& rng, std::string& reference) {
    std::string decls;
    switch (rng.Below(4)) {
    case 0: {  // nested, fanout^levels copies; large ones are slow, so rarer
        const bool large = rng.Below(8) == 0;
        const size_t levels = 1 + rng.Below(large ? 12 : 4), fanout = 1 + rng.Below(large ? 16 : 4);
        decls = "<!ENTITY n0 \"" + std::string(rng.Below(2) ? "a/" : "lol") + "\">";
        for (size_t level = 1; level <= levels; ++level) {
            decls += "<!ENTITY n" + std::to_string(level) + " \"";
            for (size_t i = 0; i < fanout; ++i) {
                decls += "&n" + std::to_string(level - 1) + ";";
            }
            decls += "\">";
        }
        reference = "n" + std::to_string(levels);
        break;
    }
    case 1:  // recursive, directly or through another
        decls = "<!ENTITY r \"x&s;\"><!ENTITY s \"" + std::string(rng.Below(2) ? "&r;" : "&s;") + "\">";
        reference = "r";
        break;
    case 2: {  // a long chain of references to the next
        const size_t length = 1 + rng.Below(2000);
        decls = "<!ENTITY c0 \"end\">";
        for (size_t i = 1; i <= length; ++i) {
            decls += "<!ENTITY c" + std::to_string(i) + " \"&c" + std::to_string(i - 1) + ";\">";
        }
        reference = "c" + std::to_string(length);
        break;
    }
    default:  // external, unparsed and parameter entities
        decls = "<!ENTITY x SYSTEM \"file:///C:/windows/win.ini\"><!ENTITY u SYSTEM \"u.gif\" NDATA gif>"
                "<!ENTITY % p SYSTEM \"p.dtd\">%p;<!ENTITY % q \"<!ENTITY y 'in &#x25;q;'>\">%q;";
        reference = rng.Below(2) ? "x" : rng.Below(2) ? "u" : "y";
        break;
    }
    return decls;
}

void Mutate(std::string& data, const std::vector<std::string>& pool, Rng& rng) {
    const size_t at = rng.Below(data.size() + 1);
    switch (rng.Below(11)) {
    case 0:  // bit flip
        if (!data.empty()) {
            data[at % data.size()] ^= static_cast<char>(1 << rng.Below(8));
        }
        break;
    case 1:  // byte insert
        data.insert(at, 1, static_cast<char>(rng.Below(256)));
        break;
    case 2:  // delete a range
        data.erase(at, 1 + rng.Below(rng.Below(2) ? 8 : data.size() / 4 + 1));
        break;
    case 3:  // truncate
        data.resize(at);
        break;
    case 4: {  // splice: this input's head and another's tail
        const std::string& other = pool[rng.Below(pool.size())];
        data = data.substr(0, at) + other.substr(rng.Below(other.size() + 1));
        break;
    }
    case 5:
    case 6:  // token insert
        data.insert(at, RandomToken(rng));
        break;
    case 7: {  // repeat a slice or a token: long names, attributes and nesting
        const std::string piece = rng.Below(2) ? RandomToken(rng) : data.substr(at, 1 + rng.Below(32));
        const size_t count = 1 + rng.Below(rng.Below(2) ? 16 : 20000);
        std::string repeated;
        for (size_t i = 0; i < count && repeated.size() + piece.size() <= kMaxInput; ++i) {
            repeated += piece;
        }
        data.insert(at, repeated);
        break;
    }
    case 8: {  // entity declarations, referenced in content or in a path
        std::string reference;
        const std::string doctype = "<!DOCTYPE update [" + EntityDeclarations(rng, reference) + "]>";
        const size_t declEnd = data.compare(0, 5, "<?xml") == 0 ? data.find("?>") : std::string::npos;
        const size_t prolog = declEnd == std::string::npos ? 0 : declEnd + 2;
        data.insert(prolog, doctype);
        const size_t path = data.find("path=\"", prolog + doctype.size());
        const size_t where = path != std::string::npos && rng.Below(2) ? path + 6
                             : prolog + doctype.size() + rng.Below(data.size() - prolog - doctype.size() + 1);
        data.insert(where, "&" + reference + ";");
        break;
    }
    case 9: {  // an XML declaration with some encoding, in front or instead of one
        const size_t end = data.compare(0, 5, "<?xml") == 0 ? data.find("?>") : std::string::npos;
        data = "<?xml version=\"1.0\" encoding=\"" + std::string(kEncodings[rng.Below(9)]) + "\"?>" +
               (end == std::string::npos ? data : data.substr(end + 2));
        break;
    }
    default:  // re-encode the whole input
        switch (rng.Below(3)) {
        case 0:
            data = ToUtf16(data, rng.Below(2) != 0, rng.Below(2) != 0);
            break;
        case 1:
            data = ToLatin1(data);
            break;
        default:
            data = "\xEF\xBB\xBF" + data;
            break;
        }
        break;
    }
    if (data.size() > kMaxInput) {
        data.resize(kMaxInput);
    }
}

// State the watchdog thread, the crash handlers and the main loop share.
std::wstring g_work;                    // WORK\ with its separator
std::wstring g_current;                 // WORK\current.xml
HANDLE g_input = INVALID_HANDLE_VALUE;  // current.xml, kept open: reopening it to write is slow under Wine
std::atomic<ULONGLONG> g_started{0};    // tick count when the running parse began; 0 between parses
std::atomic<uint64_t> g_run{0};
uint64_t g_seed = 1;
ULONGLONG g_begin = 0;
int g_findings = 0;

PROCESS_MEMORY_COUNTERS_EX MemoryCounters() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters;
}

// Wine reports PrivateUsage as 0 and the process's private memory in
// PagefileUsage, which Windows fills with the same value.
SIZE_T PrivateBytes() {
    const PROCESS_MEMORY_COUNTERS_EX counters = MemoryCounters();
    return counters.PrivateUsage > counters.PagefileUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

void Summary() {
    std::printf("fuzz: %llu runs in %.1f s, %d findings (seed %llu)\n", static_cast<unsigned long long>(g_run.load()),
                (GetTickCount64() - g_begin) / 1000.0, g_findings, static_cast<unsigned long long>(g_seed));
    std::fflush(stdout);
}

// Copies current.xml through a static buffer: after a crash the heap may be
// unusable.
void SaveCurrentInput(const std::wstring& path) {
    static char buffer[kMaxInput];
    HANDLE from = CreateFileW(g_current.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE to = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD count = 0, written = 0;
    if (from != INVALID_HANDLE_VALUE && to != INVALID_HANDLE_VALUE &&
        ReadFile(from, buffer, sizeof(buffer), &count, nullptr)) {
        WriteFile(to, buffer, count, &written, nullptr);
    }
    CloseHandle(from);
    CloseHandle(to);
}

// Keeps the current input as a finding and says why: the first few, and
// always the one that ends the run.
void Finding(const char* what, bool fatal = false) {
    if (++g_findings > kReportLimit && !fatal) {
        return;
    }
    const std::wstring saved =
        g_work + L"finding-" + std::to_wstring(g_seed) + L"-" + std::to_wstring(g_run.load()) + L".xml";
    SaveCurrentInput(saved);
    std::printf("fuzz: FINDING on run %llu: %s; input saved as %ls\n", static_cast<unsigned long long>(g_run.load()),
                what, saved.c_str());
    std::fflush(stdout);
}

// For what ends the process: the parser cannot be stopped from outside.
[[noreturn]] void FatalFinding(const char* what) {
    Finding(what, true);
    Summary();
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

LONG WINAPI CrashFilter(EXCEPTION_POINTERS* info) {
    char what[64];
    std::snprintf(what, sizeof(what), "crash (exception 0x%08lx)", info->ExceptionRecord->ExceptionCode);
    FatalFinding(what);
}

void AbortHandler(int) {
    FatalFinding("abort");
}

DWORD WINAPI Watchdog(void*) {
    for (;;) {
        Sleep(20);
        const ULONGLONG started = g_started.load();
        if (started != 0 && GetTickCount64() - started > kTimeoutMs) {
            FatalFinding("hang (one parse over the time limit)");
        }
        if (PrivateBytes() > kMemoryBound) {
            FatalFinding("private bytes above the memory bound");
        }
    }
}

bool StartsWithIgnoringCase(const std::wstring& text, const std::wstring& prefix) {
    const int length = static_cast<int>(prefix.size());
    return text.size() >= prefix.size() &&
           CompareStringOrdinal(text.c_str(), length, prefix.c_str(), length, TRUE) == CSTR_EQUAL;
}

// A path for the report: ASCII, the rest as \uXXXX, at most 120 characters.
std::string Printable(const std::wstring& path) {
    std::string out;
    for (size_t i = 0; i < path.size() && i < 120; ++i) {
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), path[i] >= 0x20 && path[i] < 0x7F ? "%c" : "\\u%04X",
                      static_cast<unsigned>(path[i]));
        out += escaped;
    }
    return out;
}

// What an accepted entry must satisfy; empty when it does.
std::string CheckEntry(const ManifestEntry& entry, const std::wstring& directory) {
    if (!entry.IsComplete()) {
        return "accepted an incomplete entry";
    }
    if (entry.path.find(L'/') != std::wstring::npos) {
        return "accepted a path with '/' left in it";
    }
    if (!IsSafeManifestPath(entry.path)) {
        return "accepted a path IsSafeManifestPath refuses";
    }
    std::wstring full;
    if (!ResolveRelativePath(entry.path.c_str(), full)) {
        return "accepted a path ResolveRelativePath refuses";
    }
    // Writes use the extended form, which the platform takes as it is.
    if (full != L"\\\\?\\" + directory + entry.path) {
        return "ResolveRelativePath gave another path than the current directory and the entry's";
    }
    // The platform's own reading of the plain form, with "..", device names
    // and trailing dots and spaces resolved: inside too, whoever opens it so.
    const std::wstring plain = directory + entry.path;
    std::wstring canonical(GetFullPathNameW(plain.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length = GetFullPathNameW(plain.c_str(), static_cast<DWORD>(canonical.size()), &canonical[0], nullptr);
    if (length == 0 || length >= canonical.size()) {
        return "GetFullPathNameW failed on an accepted path";
    }
    canonical.resize(length);
    if (!StartsWithIgnoringCase(canonical, directory) || canonical.size() == directory.size()) {
        return "an accepted path resolves outside the current directory";
    }
    std::wstring first = canonical.substr(directory.size(), canonical.find(L'\\', directory.size()) - directory.size());
    while (!first.empty() && (first.back() == L'.' || first.back() == L' ')) {
        first.pop_back();
    }
    if (CompareStringOrdinal(first.c_str(), -1, L"Launcher", -1, TRUE) == CSTR_EQUAL) {
        return "an accepted path resolves into the launcher's folder";
    }
    return {};
}

std::string CheckEntries(const Manifest& manifest, const std::wstring& directory) {
    for (const ManifestEntry& entry : manifest.entries) {
        std::string fault = CheckEntry(entry, directory);
        const bool hexSha256 = entry.sha256.size() == 64 &&
                               entry.sha256.find_first_not_of(L"0123456789abcdefABCDEF") == std::wstring::npos;
        if (fault.empty() && hexSha256 != manifest.signedFormat) {
            fault = manifest.signedFormat ? "accepted a signed-format entry without a 64-digit sha256"
                                          : "kept a sha256 in the plain format";
        }
        if (!fault.empty()) {
            return fault + " (path \"" + Printable(entry.path) + "\")";
        }
    }
    return {};
}

bool WriteInput(const std::string& data) {
    DWORD written = 0;
    return SetFilePointer(g_input, 0, nullptr, FILE_BEGIN) == 0 &&
           (data.empty() || (WriteFile(g_input, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
                             written == data.size())) &&
           SetEndOfFile(g_input);
}

bool ReadInput(const std::wstring& path, std::string& data) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        data.append(buffer, count);
    }
    std::fclose(file);
    return true;
}

// Parses the current input under the watchdog; a failed check is a finding.
// True when the input passed and was accepted with entries.
bool RunOne(const std::wstring& directory, bool& accepted) {
    Manifest manifest;
    manifest.signedFormat = (g_run & 1) != 0;
    g_started = GetTickCount64();
    // Binary, as LoadManifest reads; its share mode would refuse the open writer.
    FILE* file = _wfsopen(g_current.c_str(), L"rb", _SH_DENYNO);
    if (file == nullptr) {
        std::printf("fuzz: cannot read %ls back\n", g_current.c_str());
        ExitProcess(2);
    }
    accepted = manifest.Parse(file);
    std::fclose(file);
    g_started = 0;
    std::string fault = manifest.parser != nullptr ? "the parser was left allocated" : "";
    // The peak catches what the watchdog's samples miss; it only rises, so
    // the input that first lifts it over the bound is the one to keep.
    if (fault.empty() && MemoryCounters().PeakWorkingSetSize > kMemoryBound) {
        FatalFinding("the working set peaked above the memory bound");
    }
    if (fault.empty() && accepted) {
        fault = CheckEntries(manifest, directory);
    }
    if (!fault.empty()) {
        Finding(fault.c_str());
    }
    return fault.empty() && accepted && !manifest.entries.empty();
}

int Usage() {
    std::printf("usage: ManifestFuzz --seeds DIR [--seconds N] [--runs N] [--seed N] [--work DIR]\n"
                "       ManifestFuzz --replay FILE [--work DIR]\n");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    double seconds = 10;
    uint64_t maxRuns = 0;
    std::wstring seedDir, replay, work = L"fuzz-work";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i], value = argv[i + 1];
        if (option == L"--seconds") {
            seconds = _wtof(value.c_str());
        } else if (option == L"--runs") {
            maxRuns = _wcstoui64(value.c_str(), nullptr, 10);
        } else if (option == L"--seed") {
            g_seed = _wcstoui64(value.c_str(), nullptr, 10);
        } else if (option == L"--seeds") {
            seedDir = value;
        } else if (option == L"--replay") {
            replay = value;
        } else if (option == L"--work") {
            work = value;
        } else {
            return Usage();
        }
    }
    if (argc % 2 == 0 || (seedDir.empty() == replay.empty())) {
        return Usage();
    }

    // Inputs are read before the work folder becomes the current directory.
    std::vector<std::string> pool;
    if (!replay.empty()) {
        pool.emplace_back();
        if (!ReadInput(replay, pool.back())) {
            std::printf("fuzz: cannot read %ls\n", replay.c_str());
            return 2;
        }
    } else {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((seedDir + L"\\*.xml").c_str(), &found);
        for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found) != FALSE) {
            pool.emplace_back();
            ReadInput(seedDir + L"\\" + found.cFileName, pool.back());
        }
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
        }
        if (pool.empty()) {
            std::printf("fuzz: no seeds (*.xml) in %ls\n", seedDir.c_str());
            return 2;
        }
    }
    CreateDirectoryW(work.c_str(), nullptr);
    if (!SetCurrentDirectoryW(work.c_str())) {
        std::printf("fuzz: cannot use %ls as the work folder\n", work.c_str());
        return 2;
    }
    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);
    if (cwdLength == 0 || cwdLength >= MAX_PATH - 1) {
        return 2;
    }
    g_work = std::wstring(cwd) + L"\\";
    g_current = g_work + L"current.xml";
    g_input = CreateFileW(g_current.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g_input == INVALID_HANDLE_VALUE) {
        std::printf("fuzz: cannot write %ls\n", g_current.c_str());
        return 2;
    }

    SetUnhandledExceptionFilter(CrashFilter);
    std::signal(SIGABRT, AbortHandler);
    CloseHandle(CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr));
    g_begin = GetTickCount64();

    if (!replay.empty()) {
        WriteInput(pool[0]);
        for (uint64_t run : {1u, 2u}) {  // the signed format, then the plain one
            g_run = run;
            bool accepted = false;
            RunOne(g_work, accepted);
            std::printf("fuzz: the manifest was %s in the %s format\n", accepted ? "accepted" : "refused",
                        run == 1 ? "signed" : "plain");
        }
        Summary();
        return g_findings == 0 ? 0 : 1;
    }

    const size_t seedCount = pool.size();
    const ULONGLONG deadline = g_begin + static_cast<ULONGLONG>(seconds * 1000);
    SIZE_T warmedUp = 0;  // private bytes once the pool has filled and the heap settled
    uint64_t acceptedRuns = 0;
    Rng rng(g_seed);
    while ((maxRuns == 0 || g_run < maxRuns) && GetTickCount64() < deadline) {
        std::string input = pool[rng.Below(pool.size())];
        for (size_t n = 1 + rng.Below(rng.Below(4) ? 3 : 8); n > 0; --n) {
            Mutate(input, pool, rng);
        }
        ++g_run;
        if (!WriteInput(input)) {
            std::printf("fuzz: cannot write %ls\n", g_current.c_str());
            return 2;
        }
        // Accepted mutants lead to deeper ones; those declaring entities
        // would crowd out the rest (large expansions are slow), and the
        // entity mutation adds fresh declarations anyway.
        bool accepted = false;
        const bool breeds = RunOne(g_work, accepted);
        acceptedRuns += accepted ? 1 : 0;
        if (breeds && input.find("<!ENTITY") == std::string::npos) {
            if (pool.size() < seedCount + kPoolLimit) {
                pool.push_back(input);
            } else {
                pool[seedCount + rng.Below(kPoolLimit)] = input;
            }
        }
        // Warm after a tenth of the time or of the runs allowed.
        if (warmedUp == 0 && (GetTickCount64() - g_begin > static_cast<ULONGLONG>(seconds * 100) ||
                              (maxRuns != 0 && g_run > maxRuns / 10))) {
            warmedUp = PrivateBytes();
        }
    }
    const SIZE_T final = PrivateBytes();
    std::printf("fuzz: %llu inputs accepted; private bytes %llu KiB after warm-up, %llu KiB at the end; "
                "working set peak %llu KiB\n", static_cast<unsigned long long>(acceptedRuns),
                static_cast<unsigned long long>(warmedUp >> 10), static_cast<unsigned long long>(final >> 10),
                static_cast<unsigned long long>(MemoryCounters().PeakWorkingSetSize >> 10));
    if (warmedUp != 0 && final > warmedUp + kGrowthBound) {
        ++g_findings;
        std::printf("fuzz: FINDING: private bytes grew from %llu to %llu KiB over the run\n",
                    static_cast<unsigned long long>(warmedUp >> 10), static_cast<unsigned long long>(final >> 10));
    }
    Summary();
    return g_findings == 0 ? 0 : 1;
}
