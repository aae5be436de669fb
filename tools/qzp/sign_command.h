// Signing a package, for qzp sign and qzp pack --sign: the package is checked as qzp verify checks
// it, then FILE.minisig is written with the secret key.
#pragma once

#include <optional>
#include <string>

#include "signature/minisign_keys.h"
#include "tools/qzp/opened_package.h"
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

// A package's signature, hashed in the one pass that checks the package (VerifyPackage or
// DeviceRefusal with Feed as its tap): Begin before that pass, Finish after it.
class PackageSigning {
  public:
    // `unlocked`: a key already unlocked; null reads `key`'s file now and unlocks it in Finish,
    // once the package has been checked. Both are borrowed for the object's life.
    PackageSigning(const SigningKey& key, const SecretKey* unlocked)
        : key_(key), unlocked_(unlocked) {}
    PackageSigning(const PackageSigning&) = delete;
    PackageSigning& operator=(const PackageSigning&) = delete;

    // Reads the key file when it is still to be unlocked. Returns 0, or 1 after one line.
    int ReadKey();
    // Takes the trusted comment from the open `package`, whose name is `file`, and starts the
    // hash. Returns 0, or 1 after one line.
    int Begin(const OpenedPackage& package, const std::string& file);
    static int32_t Feed(void* context, const uint8_t* data, uint32_t size);
    // After a pass that accepted the package, every byte of it through Feed: writes FILE.minisig,
    // then prints "FILE.minisig: signed with key ID, trusted comment: TEXT". Returns 0, or 1
    // after one line.
    int Finish(const std::string& file);

  private:
    const SigningKey& key_;
    const SecretKey* unlocked_;
    SecretKeyFile keyFile_;
    SecretKey own_;  // unlocked in Finish
    std::string comment_;
    SignatureMaker maker_;
};

// Checks the package `file` as qzp verify does and writes FILE.minisig (PackageSigning), reading
// the package once. Returns 0, or 1 after one line.
int SignPackage(const std::string& file, const SigningKey& key);
