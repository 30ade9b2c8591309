#include "manifest/Manifest.h"

#include "common/FileHelpers.h"
#include "common/Handles.h"
#include "manifest/AsciiCase.h"
#include "manifest/ManifestPath.h"

#include <expat.h>
#include <share.h>

#include <algorithm>
#include <cwchar>
#include <new>

namespace {

constexpr size_t kChunkSize = 128;

// Aborts the running XML_Parse call; the whole manifest is then invalid.
void Stop(Manifest& manifest) {
    XML_StopParser(manifest.parser, XML_FALSE);
}

// A decimal number of 1 to 20 digits that fits 64 bits, nothing else.
bool ParseSerial(const wchar_t* text, uint64_t& serial) {
    serial = 0;
    if (*text == L'\0') {
        return false;
    }
    for (; *text != L'\0'; ++text) {
        if (*text < L'0' || *text > L'9') {
            return false;
        }
        uint64_t digit = static_cast<uint64_t>(*text - L'0');
        if (serial > (UINT64_MAX - digit) / 10) {
            return false;
        }
        serial = serial * 10 + digit;
    }
    return true;
}

// The root may carry a version; any version other than "1.0" is refused. The
// signed format also needs a serial, which orders releases against rollback.
bool AcceptRoot(Manifest& manifest, const XML_Char** attributes) {
    bool hasSerial = false;
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        if (EqualsIgnoringAsciiCase(attributes[i], L"version") &&
            !EqualsIgnoringAsciiCase(attributes[i + 1], L"1.0")) {
            return false;
        }
        if (manifest.signedFormat && EqualsIgnoringAsciiCase(attributes[i], L"serial")) {
            hasSerial = ParseSerial(attributes[i + 1], manifest.serial);
        }
    }
    return hasSerial || !manifest.signedFormat;
}

bool AddFileElement(Manifest& manifest, const XML_Char** attributes) {
    // When names differ only in case, the later pair wins.
    const wchar_t* path = nullptr;
    const wchar_t* size = nullptr;
    const wchar_t* md5 = nullptr;
    const wchar_t* src = nullptr;
    const wchar_t* sha256 = nullptr;
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        const wchar_t* name = attributes[i];
        const wchar_t* value = attributes[i + 1];
        if (EqualsIgnoringAsciiCase(name, L"path")) {
            path = value;
        } else if (EqualsIgnoringAsciiCase(name, L"size")) {
            size = value;
        } else if (EqualsIgnoringAsciiCase(name, L"md5")) {
            md5 = value;
        } else if (EqualsIgnoringAsciiCase(name, L"src")) {
            src = value;
        } else if (EqualsIgnoringAsciiCase(name, L"sha256")) {
            sha256 = value;
        }
    }
    // No exception may unwind through the parser's C frames; running out of
    // memory just makes the manifest invalid.
    try {
        return manifest.AddEntry(path, size, md5, src, sha256);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void XMLCALL StartElement(void* userData, const XML_Char* name, const XML_Char** attributes) {
    Manifest& manifest = *static_cast<Manifest*>(userData);
    ++manifest.depth;
    if (EqualsIgnoringAsciiCase(name, L"update")) {
        if (manifest.depth != 1 || !AcceptRoot(manifest, attributes)) {
            Stop(manifest);
        }
    } else if (EqualsIgnoringAsciiCase(name, L"file")) {
        if (manifest.depth != 2 || !AddFileElement(manifest, attributes)) {
            Stop(manifest);
        }
    } else {
        Stop(manifest);
    }
}

void XMLCALL EndElement(void* userData, const XML_Char* /*name*/) {
    --static_cast<Manifest*>(userData)->depth;
}

bool IsSha256Hex(const wchar_t* text) {
    if (text == nullptr || wcslen(text) != 64) {
        return false;
    }
    return wcsspn(text, L"0123456789abcdefABCDEF") == 64;
}

}  // namespace

Manifest::~Manifest() {
    if (parser != nullptr) {
        XML_ParserFree(parser);
        parser = nullptr;
    }
}

bool Manifest::Parse(FILE* file) {
    if (file == nullptr) {
        return false;
    }
    depth = 0;
    parser = XML_ParserCreate(nullptr);
    if (parser == nullptr) {
        return false;
    }
    XML_SetStartElementHandler(parser, StartElement);
    XML_SetEndElementHandler(parser, EndElement);
    XML_SetUserData(parser, this);
    // Entries always come from the last parse that started, even a failed one.
    entries.clear();
    serial = 0;

    char buffer[kChunkSize];
    bool valid = true;
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        if (XML_Parse(parser, buffer, static_cast<int>(count), XML_FALSE) == XML_STATUS_ERROR) {
            valid = false;
            break;
        }
    }
    if (valid) {
        valid = XML_Parse(parser, buffer, 0, XML_TRUE) != XML_STATUS_ERROR;
    }
    XML_ParserFree(parser);
    parser = nullptr;
    return valid;
}

bool Manifest::AddEntry(const wchar_t* path, const wchar_t* size, const wchar_t* md5, const wchar_t* src,
                        const wchar_t* sha256) {
    if (path == nullptr || size == nullptr || md5 == nullptr || src == nullptr) {
        return false;
    }
    if (signedFormat && !IsSha256Hex(sha256)) {
        return false;
    }
    ManifestEntry entry;
    entry.path = path;
    // 64 bits (games ship files of several GiB); out-of-range values clamp
    // to its limits. Text with no number in it is an unknown size (as a
    // negative one is), not 0: a listed size bounds the body and must match.
    wchar_t* end = nullptr;
    entry.size = _wcstoi64(size, &end, 10);
    if (end == size) {
        entry.size = -1;
    }
    entry.md5 = md5;
    entry.src = src;
    if (signedFormat) {
        entry.sha256 = sha256;
    }
    std::replace(entry.path.begin(), entry.path.end(), L'/', L'\\');
    if (!entry.IsComplete()) {
        return false;
    }
    // Whoever answers the manifest URL chooses these paths: keep every write
    // below the current directory. Whether the path is valid depends on the
    // path alone, not on where the user installed.
    if (!IsSafeManifestPath(entry.path) || !IsSafeManifestSrc(entry.src)) {
        return false;
    }
    entries.push_back(std::move(entry));
    return true;
}

bool LoadManifest(Manifest& manifest, const wchar_t* relativePath) {
    if (relativePath == nullptr) {
        return false;
    }
    // Binary: the parser, not the C runtime, decides what the bytes mean (text
    // mode would end a UTF-16 document at a 0x1A byte). Others may read the
    // file meanwhile but not write it.
    ScopedStdioFile file(_wfsopen(relativePath, L"rb", _SH_DENYWR));
    if (!file.IsValid()) {
        return false;
    }
    return manifest.Parse(file.Get());
}
