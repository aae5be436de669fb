// Signing a package, for qzp sign and qzp pack --sign: the package is checked as qzp verify checks
// it, then FILE.minisig is written with the secret key.
#pragma once

#include <optional>
#include <string>

#include "signature/minisign_keys.h"
#include "tools/qzp/password.h"

struct SigningKey {
    std::string keyFile;                        // the secret key file
    std::optional<std::string> trustedComment;  // default: the package, its version and kind
    PasswordSource password;
};

// Reads the secret key file (not yet decrypted). Returns 0, or 1 after one line naming the file:
// unreadable, a public key, not a secret key, an unknown algorithm.
int ReadSecretKeyFile(const std::string& keyFile, SecretKeyFile& file);

// Asks for the password of `keyFile` (read from key.keyFile) when it has one and decrypts it.
// Returns 0, or 1 after one line naming the file.
int UnlockSecretKey(const SigningKey& key, const SecretKeyFile& keyFile, SecretKey& secret);

// Checks the package `file` as qzp verify does and writes FILE.minisig, then prints
// "FILE.minisig: signed with key ID, trusted comment: TEXT". Returns 0, or 1 after one line.
// `unlocked`: a key already unlocked; null unlocks `key` once the package has been checked.
int SignPackage(const std::string& file, const SigningKey& key,
                const SecretKey* unlocked = nullptr);
