#pragma once
// The optional release signature. An installation whose conf/config.properties
// names a public key (`update_public_key`) installs only releases whose
// manifest comes with a valid Ed25519 signature of its exact bytes, fetched
// from the manifest's URL followed by ".sig". The digests in the manifest
// then vouch for every file. Without the key nothing changes.
//
// Key text: the base64 of the 32 raw key bytes, or the base64 body of a PEM
// "PUBLIC KEY" (what `openssl pkey -pubout` prints, on one line).
// Signature file: the 64 raw signature bytes, or their base64 text.
// scripts/sign-release.sh makes both.
//
// Pure functions over bytes; any thread.
#include <optional>
#include <string>
#include <string_view>

namespace quorvane::update
{

// The configuration key naming the release key.
inline constexpr const char* kPublicKeyKey = "update_public_key";
// What follows the manifest's URL (and local file name) for its signature.
inline constexpr std::string_view kSignatureSuffix = ".sig";

enum class SignatureVerdict {
    NotRequired, // no key configured: install as always
    Valid,       // the manifest is the one the key's owner signed
    Missing,     // a key is configured but no signature came
    Invalid,     // the signature does not match these bytes (or is malformed)
    BadKey,      // the configured key cannot be read; nothing is installed
};

std::string_view describe(SignatureVerdict verdict);

// Whether the configured key text ("null" and "" mean none) requires a
// signature at all.
bool signatureRequired(std::string_view configuredKey);

// Checks `manifest` against `signature` (nothing when it could not be
// fetched) under the configured key. Only NotRequired and Valid allow an
// install.
SignatureVerdict checkManifestSignature(std::string_view configuredKey, std::string_view manifest,
                                        const std::optional<std::string>& signature);

inline bool allowsInstall(SignatureVerdict verdict)
{
    return verdict == SignatureVerdict::NotRequired || verdict == SignatureVerdict::Valid;
}

// Standard base64 (padding optional, blanks and line breaks ignored);
// nothing on any other character.
std::optional<std::string> decodeBase64(std::string_view text);

} // namespace quorvane::update
