// Making minisign keys and signatures: a new key pair in minisign's two file formats, a secret key
// file read back (and decrypted with its password), and detached "ED" signatures that minisign -V
// and SignatureCheck accept. Every cryptographic step is libsodium's: key generation, scrypt
// (crypto_pwhash_scryptsalsa208sha256), BLAKE2b, Ed25519 and base64.
//
// A secret key file holds an untrusted comment line and one base64 line of 158 bytes: the
// algorithm "Ed", the key derivation "Sc" (scrypt) or two zero bytes (not encrypted), the checksum
// algorithm "B2", a 32-byte salt, scrypt's operation and memory limits (64-bit little-endian),
// then 104 bytes that scrypt's output encrypts (XOR) when there is a password: the 8-byte key id,
// the 64-byte Ed25519 secret key and a BLAKE2b-256 checksum of the algorithm, id and key.
//
// Results: 0 success, -1 failure with the reason in a KeyFault. Secret bytes are wiped when the
// objects holding them go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <sodium.h>

#include "signature/minisign.h"

inline constexpr std::size_t kSecretKeyBytes = 64;
inline constexpr std::size_t kMaxSecretKeyFileBytes = 4 * 1024;
// minisign's own password limit.
inline constexpr std::size_t kMaxPasswordBytes = 1024;
// A trusted comment longer than this is refused: minisign reads at most 8 KiB of that line.
inline constexpr std::size_t kMaxTrustedCommentBytes = 4096;

enum class KeyFault {
    kNone,
    kTooLarge,        // the file is larger than any secret key file
    kPublicKeyGiven,  // a public key file where the secret key was expected
    kNotSecretKey,    // neither a secret key file nor a public key file
    kUnsupported,     // an algorithm, key derivation or checksum other than minisign's
    kWrongPassword,   // encrypted, and the checksum does not hold after decryption
    kDamaged,         // not encrypted, and the checksum or the key's halves do not agree
    kBadComment,      // a trusted comment with a line end or over kMaxTrustedCommentBytes
    kNoMemory,        // scrypt could not have the memory the key file asks for
    kCryptoUnavailable,
};

// A short English description, e.g. "wrong password, or the secret key file is damaged".
const char* KeyFaultText(KeyFault fault);

// A secret key file as read, before its password is known.
struct SecretKeyFile {
    bool encrypted = false;
    uint8_t raw[158] = {};
    ~SecretKeyFile() { sodium_memzero(raw, sizeof raw); }
};

// A secret key ready to sign.
struct SecretKey {
    uint8_t id[kKeyIdBytes] = {};
    uint8_t key[kSecretKeyBytes] = {};  // Ed25519: the 32-byte seed, then the public key
    ~SecretKey() { sodium_memzero(key, sizeof key); }
};

// Reads a secret key file's text (at most kMaxSecretKeyFileBytes).
int32_t ParseSecretKeyFile(const char* text, std::size_t size, SecretKeyFile* file,
                           KeyFault* fault);

// Decrypts `file` with `password` (ignored when the file is not encrypted) and checks it.
int32_t OpenSecretKey(const SecretKeyFile& file, const std::string& password, SecretKey* key,
                      KeyFault* fault);

// Makes a new key pair: the public key file's and the secret key file's text, and the key id as
// KeyIdText shows it. With `password` null the secret key is stored unencrypted; otherwise it is
// encrypted with scrypt at minisign's own limits (about 1 GiB of memory and some seconds).
int32_t MakeKeyPair(const std::string* password, std::string* publicText, std::string* secretText,
                    std::string* keyId, KeyFault* fault);

// Signs one file given in pieces: Begin (key) -> Update (bytes) ... -> Finish (trusted comment),
// which returns the signature file's text. Begin keeps a reference to the key, which only Finish
// reads: the key may be filled in (unlocked) while the bytes are hashed.
class SignatureMaker {
  public:
    SignatureMaker() = default;
    SignatureMaker(const SignatureMaker&) = delete;
    SignatureMaker& operator=(const SignatureMaker&) = delete;

    int32_t Begin(const SecretKey& key);
    int32_t Update(const void* data, std::size_t size);
    int32_t Finish(const std::string& trustedComment, std::string* signatureText);

    KeyFault fault() const { return fault_; }

  private:
    KeyFault fault_ = KeyFault::kNone;
    const SecretKey* key_ = nullptr;
    crypto_generichash_state hash_{};
};
