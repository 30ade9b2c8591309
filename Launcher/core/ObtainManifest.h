// Which manifest a run believes: the one just fetched when it is valid (and,
// in a signed build, signed and not older than the backup), else the backup
// of the last one believed.
#pragma once

#include "manifest/Manifest.h"
#include "manifest/ManifestSignature.h"

#include <cstddef>
#include <functional>

// Fetches url into the relative path; true when the transfer completed.
using ManifestFetch = std::function<bool(const wchar_t* url, const wchar_t* relativePath)>;

// How a signed build judges a manifest with its signature (LoadSignedManifest);
// passed in, so that a build taking manifests unsigned links none of it.
using SignedManifestLoader = SignatureCheck (*)(Manifest& manifest, const wchar_t* manifestPath,
                                                const wchar_t* signaturePath,
                                                const unsigned char (*publicKeys)[kPublicKeyLength],
                                                size_t keyCount, bool& valid);

// The keys a signed build accepts manifests under, and its loader; no keys
// for a build that takes manifests unsigned.
struct ManifestKeys {
    const unsigned char (*keys)[kPublicKeyLength] = nullptr;
    size_t count = 0;
    SignedManifestLoader load = nullptr;
};

// Fetches the manifest (and its signature), judges it, refreshes the backup
// from it or falls back to the backup, logging each step. True when manifest
// holds a manifest to act on; false when neither is usable (the caller tells
// the user).
bool ObtainManifest(Manifest& manifest, const ManifestFetch& fetch, const ManifestKeys& trusted);
