#include "manifest/Manifest.h"

#include "core/FileHelpers.h"
#include "core/Handles.h"
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

// The root may carry a version; any version other than "1.0" is refused.
bool HasAcceptedVersion(const XML_Char** attributes) {
    for (size_t i = 0; attributes[i] != nullptr; i += 2) {
        if (EqualsIgnoringAsciiCase(attributes[i], L"version") &&
            !EqualsIgnoringAsciiCase(attributes[i + 1], L"1.0")) {
            return false;
        }
    }
    return true;
}

bool AddFileElement(Manifest& manifest, const XML_Char** attributes) {
    // When names differ only in case, the later pair wins.
    const wchar_t* path = nullptr;
    const wchar_t* size = nullptr;
    const wchar_t* md5 = nullptr;
    const wchar_t* src = nullptr;
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
        }
    }
    // No exception may unwind through the parser's C frames; running out of
    // memory just makes the manifest invalid.
    try {
        return manifest.AddEntry(path, size, md5, src);
    } catch (const std::bad_alloc&) {
        return false;
    }
}

void XMLCALL StartElement(void* userData, const XML_Char* name, const XML_Char** attributes) {
    Manifest& manifest = *static_cast<Manifest*>(userData);
    ++manifest.depth;
    if (EqualsIgnoringAsciiCase(name, L"update")) {
        if (manifest.depth != 1 || !HasAcceptedVersion(attributes)) {
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

bool Manifest::AddEntry(const wchar_t* path, const wchar_t* size, const wchar_t* md5, const wchar_t* src) {
    if (path == nullptr || size == nullptr || md5 == nullptr || src == nullptr) {
        return false;
    }
    ManifestEntry entry;
    entry.path = path;
    // long is 32 bits on Windows: out-of-range values clamp to its limits.
    entry.size = static_cast<int32_t>(wcstol(size, nullptr, 10));
    entry.md5 = md5;
    entry.src = src;
    std::replace(entry.path.begin(), entry.path.end(), L'/', L'\\');
    if (!entry.IsComplete()) {
        return false;
    }
    // Whoever answers the manifest URL chooses these paths: keep every write
    // below the current directory. A path the write side cannot resolve (its
    // full path too long) makes the manifest invalid too, rather than failing
    // the update halfway.
    std::wstring fullPath;
    if (!IsSafeManifestPath(entry.path) || !ResolveRelativePath(entry.path.c_str(), fullPath)) {
        return false;
    }
    entries.push_back(std::move(entry));
    return true;
}

bool LoadManifest(Manifest& manifest, const wchar_t* relativePath) {
    if (relativePath == nullptr) {
        return false;
    }
    // Text mode; others may read the file meanwhile but not write it.
    ScopedStdioFile file(_wfsopen(relativePath, L"r", _SH_DENYWR));
    if (!file.IsValid()) {
        return false;
    }
    return manifest.Parse(file.Get());
}
