// Detached signatures in minisign's format, checked with libsodium.
//
// A signature file holds four lines: an untrusted comment, the signature line (base64 of the
// algorithm "ED" or "Ed", the signer's 8-byte key id and a 64-byte Ed25519 signature), the
// trusted comment and its global signature (Ed25519 over the file signature followed by the
// trusted comment's bytes). "ED" signs the BLAKE2b-512 hash of the file, the legacy "Ed" the file
// itself. A key file holds one or more pairs of an untrusted comment line and a key line (base64
// of "Ed", the key id and the 32-byte public key), so that a device can trust an old and a new key
// while keys are rotated.
//
// Results: 0 success, -1 failure with the reason in a SignatureFault. Parsers take the whole text
// with its length, never read past it, and accept at most kMaxKeyFileBytes /
// kMaxSignatureFileBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <sodium.h>

inline constexpr std::size_t kKeyIdBytes = 8;
inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSignatureBytes = 64;
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;
inline constexpr std::size_t kMaxSignatureFileBytes = 16 * 1024;
// The legacy "Ed" form signs the file itself, which must then be held in memory to be checked;
// a larger file is refused as soon as its bytes pass this size (the "ED" form has no limit).
inline constexpr std::size_t kMaxLegacySignedBytes = 4 * 1024 * 1024;

enum class SignatureFault {
    kNone,
    kKeyFileTooLarge,
    kKeyFileMalformed,  // a line that is neither an untrusted comment nor a valid key after one
    kKeyFileEmpty,      // no key at all
    kSignatureTooLarge,
    kSignatureMalformed,  // missing lines, bad base64, wrong lengths, bytes after the four lines
    kUnknownAlgorithm,    // neither "ED" nor "Ed"
    kUntrustedKey,        // signed by a key that is not in the key file
    kTrustedCommentForged,
    kFileSignatureWrong,  // the file is not the one that was signed
    kNoMemory,
    kCryptoUnavailable,  // libsodium could not be initialised
    kKeyFileUnreadable,
    kSignatureMissing,    // no signature file, or it cannot be read
    kFileUnreadable,      // the signed file could not be read to its end
    kLegacyFileTooLarge,  // an "Ed" signature over more than kMaxLegacySignedBytes
};

// A short English description, e.g. "signed by a key that is not trusted".
const char* SignatureFaultText(SignatureFault fault);

struct TrustedKey {
    uint8_t id[kKeyIdBytes];
    uint8_t key[kPublicKeyBytes];
};

struct DetachedSignature {
    bool prehashed = true;  // "ED"; false for the legacy "Ed"
    uint8_t keyId[kKeyIdBytes] = {};
    uint8_t signature[kSignatureBytes] = {};
    std::string trustedComment;  // the bytes after "trusted comment: ", without the line end
    uint8_t globalSignature[kSignatureBytes] = {};
};

// Appends every key of a key file to `keys`. -1 for an empty, oversized or malformed file; a
// line number (1-based) of the offending line goes to `line` when it is not null.
int32_t ParseTrustedKeys(const char* text, std::size_t size, std::vector<TrustedKey>* keys,
                         SignatureFault* fault, std::size_t* line = nullptr);

// Reads a signature file.
int32_t ParseSignature(const char* text, std::size_t size, DetachedSignature* signature,
                       SignatureFault* fault);

// A key id as minisign shows it: the 8 bytes read as a little-endian number, in 16 upper-case hex
// digits (leading zeros kept). Every key id qzp and the installer print is made here.
std::string KeyIdText(const uint8_t (&id)[kKeyIdBytes]);

// Checks one file against one signature, its bytes given in pieces:
//   Begin (signature, trusted keys) -> Update (bytes) ... -> Finish.
// Begin finds the signer's key and checks the trusted comment, so a forged comment or a foreign
// key is refused before any byte of the file is read. Every call after a failure fails again
// with the first fault.
class SignatureCheck {
  public:
    SignatureCheck() = default;
    SignatureCheck(const SignatureCheck&) = delete;
    SignatureCheck& operator=(const SignatureCheck&) = delete;

    int32_t Begin(const DetachedSignature& signature, const std::vector<TrustedKey>& keys);
    // Fails with kLegacyFileTooLarge once a legacy signature's file exceeds kMaxLegacySignedBytes.
    int32_t Update(const void* data, std::size_t size);
    // 0 when the file's signature is good for the bytes given.
    int32_t Finish();

    SignatureFault fault() const { return fault_; }

  private:
    int32_t Fail(SignatureFault fault);

    SignatureFault fault_ = SignatureFault::kNone;
    bool begun_ = false;
    bool prehashed_ = true;
    uint8_t signature_[kSignatureBytes] = {};
    TrustedKey key_{};
    crypto_generichash_state hash_{};
    std::vector<uint8_t> message_;  // legacy signatures sign the whole file, not its hash
};
