// Signed manifests: a detached ECDSA P-256 signature over the manifest
// file's exact bytes, checked with a public key compiled into the launcher.
#pragma once

#include "manifest/Manifest.h"

#include <cstddef>

constexpr size_t kPublicKeyLength = 64;  // the point's X and Y, big-endian
constexpr size_t kSignatureLength = 64;  // r and s, big-endian

enum class SignatureCheck { kNoManifest, kInvalid, kValid };

// Reads the manifest file once, with writes denied, checks the signature file
// against its bytes with each of the keyCount keys and, only when one
// verifies it, parses those same bytes in the signed format
// (manifest.signedFormat is set). Returns the signature's verdict; the
// manifest is valid when that is kValid and the parse succeeded (valid).
SignatureCheck LoadSignedManifest(Manifest& manifest, const wchar_t* manifestPath, const wchar_t* signaturePath,
                                  const unsigned char (*publicKeys)[kPublicKeyLength], size_t keyCount,
                                  bool& valid);
