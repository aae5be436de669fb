// minisign's key files and signing, over libsodium.
#include "signature/minisign_keys.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::size_t kAlgorithmBytes = 2;
constexpr std::size_t kSaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t kChecksumBytes = 32;

// Offsets in the secret key's 158 bytes.
constexpr std::size_t kKdfAt = 2;
constexpr std::size_t kChecksumAlgorithmAt = 4;
constexpr std::size_t kSaltAt = 6;
constexpr std::size_t kOpsLimitAt = kSaltAt + kSaltBytes;
constexpr std::size_t kMemLimitAt = kOpsLimitAt + 8;
constexpr std::size_t kSecretAt = kMemLimitAt + 8;  // the encrypted part starts with the key id
constexpr std::size_t kSecretPartBytes = kKeyIdBytes + kSecretKeyBytes + kChecksumBytes;
static_assert(kSecretAt + kSecretPartBytes == sizeof(SecretKeyFile::raw));

// minisign's limits for a new key (libsodium's "sensitive" scrypt parameters). A key file asking
// for more than four times as much is taken as damaged rather than run.
constexpr uint64_t kOpsLimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE;
constexpr uint64_t kMemLimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE;

int32_t Failed(KeyFault* out, KeyFault fault) {
    if (out != nullptr) {
        *out = fault;
    }
    return -1;
}

uint64_t Load64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

void Store64(uint8_t* bytes, uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::string Base64(const uint8_t* bytes, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

// BLAKE2b-256 of the algorithm, the key id and the secret key, as minisign checks a secret key.
void Checksum(const uint8_t* raw, uint8_t (&out)[kChecksumBytes]) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kChecksumBytes);
    crypto_generichash_update(&state, raw, kAlgorithmBytes);
    crypto_generichash_update(&state, raw + kSecretAt, kKeyIdBytes + kSecretKeyBytes);
    crypto_generichash_final(&state, out, kChecksumBytes);
}

// XORs the secret part with scrypt's output for `password`.
int32_t Crypt(uint8_t* raw, const std::string& password, KeyFault* fault) {
    const uint64_t ops = Load64(raw + kOpsLimitAt);
    const uint64_t mem = Load64(raw + kMemLimitAt);
    if (ops > 4 * kOpsLimit || mem > 4 * static_cast<uint64_t>(kMemLimit) ||
        static_cast<std::size_t>(mem) != mem) {
        return Failed(fault, KeyFault::kDamaged);
    }
    uint8_t stream[kSecretPartBytes];
    if (crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, password.data(), password.size(),
                                           raw + kSaltAt, ops,
                                           static_cast<std::size_t>(mem)) != 0) {
        return Failed(fault, KeyFault::kNoMemory);
    }
    for (std::size_t i = 0; i < kSecretPartBytes; ++i) {
        raw[kSecretAt + i] ^= stream[i];
    }
    sodium_memzero(stream, sizeof stream);
    return 0;
}

}  // namespace

const char* KeyFaultText(KeyFault fault) {
    switch (fault) {
        case KeyFault::kNone:
            return "no fault";
        case KeyFault::kTooLarge:
            return "too large for a minisign secret key file";
        case KeyFault::kPublicKeyGiven:
            return "this is a public key; sign with the secret key of the pair";
        case KeyFault::kNotSecretKey:
            return "not a minisign secret key file";
        case KeyFault::kUnsupported:
            return "a secret key of an algorithm or key derivation minisign does not use";
        case KeyFault::kWrongPassword:
            return "wrong password, or the secret key file is damaged";
        case KeyFault::kDamaged:
            return "the secret key file is damaged";
        case KeyFault::kBadComment:
            return "the trusted comment must be one line of at most 4096 bytes";
        case KeyFault::kNoMemory:
            return "not enough memory to derive the key from the password";
        case KeyFault::kCryptoUnavailable:
            return "the cryptographic library cannot be initialised";
    }
    return "unknown fault";
}

int32_t ParseSecretKeyFile(const char* text, std::size_t size, SecretKeyFile* file,
                           KeyFault* fault) {
    if (fault != nullptr) {
        *fault = KeyFault::kNone;
    }
    if (file == nullptr || (text == nullptr && size != 0)) {
        return Failed(fault, KeyFault::kNotSecretKey);
    }
    if (size > kMaxSecretKeyFileBytes) {
        return Failed(fault, KeyFault::kTooLarge);
    }
    std::string_view rest(text == nullptr ? "" : text, size);
    auto nextLine = [&rest]() {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        return line;
    };
    if (nextLine().substr(0, kUntrustedPrefix.size()) != kUntrustedPrefix) {
        return Failed(fault, KeyFault::kNotSecretKey);
    }
    const std::string_view line = nextLine();
    // Room for a public key line too, to tell the two kinds apart.
    uint8_t raw[sizeof file->raw];
    std::size_t decoded = 0;
    const char* end = nullptr;
    const bool ok = sodium_base642bin(raw, sizeof raw, line.data(), line.size(), nullptr, &decoded,
                                      &end, sodium_base64_VARIANT_ORIGINAL) == 0 &&
                    end == line.data() + line.size();
    if (ok && decoded == kKeyIdBytes + kPublicKeyBytes + kAlgorithmBytes && raw[0] == 'E' &&
        raw[1] == 'd') {
        return Failed(fault, KeyFault::kPublicKeyGiven);
    }
    if (!ok || decoded != sizeof raw) {
        sodium_memzero(raw, sizeof raw);
        return Failed(fault, KeyFault::kNotSecretKey);
    }
    const bool encrypted = raw[kKdfAt] == 'S' && raw[kKdfAt + 1] == 'c';
    const bool plain = raw[kKdfAt] == 0 && raw[kKdfAt + 1] == 0;
    if (raw[0] != 'E' || raw[1] != 'd' || (!encrypted && !plain) ||
        raw[kChecksumAlgorithmAt] != 'B' || raw[kChecksumAlgorithmAt + 1] != '2') {
        sodium_memzero(raw, sizeof raw);
        return Failed(fault, KeyFault::kUnsupported);
    }
    file->encrypted = encrypted;
    std::memcpy(file->raw, raw, sizeof raw);
    sodium_memzero(raw, sizeof raw);
    return 0;
}

int32_t OpenSecretKey(const SecretKeyFile& file, const std::string& password, SecretKey* key,
                      KeyFault* fault) {
    if (fault != nullptr) {
        *fault = KeyFault::kNone;
    }
    if (sodium_init() < 0) {
        return Failed(fault, KeyFault::kCryptoUnavailable);
    }
    SecretKeyFile open = file;
    if (file.encrypted && Crypt(open.raw, password, fault) != 0) {
        return -1;
    }
    uint8_t checksum[kChecksumBytes];
    Checksum(open.raw, checksum);
    const uint8_t* stored = open.raw + kSecretAt + kKeyIdBytes + kSecretKeyBytes;
    // minisign leaves the checksum of an unencrypted key zero; the key's own halves still have to
    // agree.
    static const uint8_t kZero[kChecksumBytes] = {};
    const bool unchecked = !file.encrypted && std::memcmp(stored, kZero, kChecksumBytes) == 0;
    const bool checksumHolds = sodium_memcmp(checksum, stored, kChecksumBytes) == 0;
    sodium_memzero(checksum, sizeof checksum);
    if (!unchecked && !checksumHolds) {
        return Failed(fault, file.encrypted ? KeyFault::kWrongPassword : KeyFault::kDamaged);
    }
    const uint8_t* secret = open.raw + kSecretAt + kKeyIdBytes;
    uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
    uint8_t again[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, again, secret);
    const bool halvesAgree = sodium_memcmp(again, secret, sizeof again) == 0;
    sodium_memzero(again, sizeof again);
    if (!halvesAgree) {
        return Failed(fault, file.encrypted ? KeyFault::kWrongPassword : KeyFault::kDamaged);
    }
    std::memcpy(key->id, open.raw + kSecretAt, kKeyIdBytes);
    std::memcpy(key->key, secret, kSecretKeyBytes);
    return 0;
}

int32_t MakeKeyPair(const std::string* password, std::string* publicText, std::string* secretText,
                    std::string* keyId, KeyFault* fault) {
    if (fault != nullptr) {
        *fault = KeyFault::kNone;
    }
    if (sodium_init() < 0) {
        return Failed(fault, KeyFault::kCryptoUnavailable);
    }
    SecretKeyFile file;
    uint8_t* raw = file.raw;
    uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
    raw[0] = 'E';
    raw[1] = 'd';
    raw[kChecksumAlgorithmAt] = 'B';
    raw[kChecksumAlgorithmAt + 1] = '2';
    randombytes_buf(raw + kSecretAt, kKeyIdBytes);
    crypto_sign_keypair(publicKey, raw + kSecretAt + kKeyIdBytes);
    uint8_t checksum[kChecksumBytes];
    Checksum(raw, checksum);
    std::memcpy(raw + kSecretAt + kKeyIdBytes + kSecretKeyBytes, checksum, kChecksumBytes);

    uint8_t publicRaw[kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes] = {'E', 'd'};
    std::memcpy(publicRaw + kAlgorithmBytes, raw + kSecretAt, kKeyIdBytes);
    std::memcpy(publicRaw + kAlgorithmBytes + kKeyIdBytes, publicKey, kPublicKeyBytes);
    uint8_t id[kKeyIdBytes];
    std::memcpy(id, raw + kSecretAt, kKeyIdBytes);

    if (password != nullptr) {
        raw[kKdfAt] = 'S';
        raw[kKdfAt + 1] = 'c';
        randombytes_buf(raw + kSaltAt, kSaltBytes);
        Store64(raw + kOpsLimitAt, kOpsLimit);
        Store64(raw + kMemLimitAt, kMemLimit);
        if (Crypt(raw, *password, fault) != 0) {
            return -1;
        }
    }
    *publicText = "untrusted comment: minisign public key " + KeyIdText(id) + "\n" +
                  Base64(publicRaw, sizeof publicRaw) + "\n";
    *secretText = std::string("untrusted comment: minisign ") +
                  (password != nullptr ? "encrypted secret key" : "secret key, not encrypted") +
                  "\n" + Base64(raw, sizeof file.raw) + "\n";
    *keyId = KeyIdText(id);
    return 0;
}

int32_t SignatureMaker::Begin(const SecretKey& key) {
    if (sodium_init() < 0) {
        fault_ = KeyFault::kCryptoUnavailable;
        return -1;
    }
    key_ = &key;
    crypto_generichash_init(&hash_, nullptr, 0, crypto_generichash_BYTES_MAX);
    return 0;
}

int32_t SignatureMaker::Update(const void* data, std::size_t size) {
    if (key_ == nullptr) {
        return -1;
    }
    crypto_generichash_update(&hash_, static_cast<const uint8_t*>(data), size);
    return 0;
}

int32_t SignatureMaker::Finish(const std::string& trustedComment, std::string* signatureText) {
    if (key_ == nullptr) {
        return -1;
    }
    if (trustedComment.size() > kMaxTrustedCommentBytes ||
        trustedComment.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        fault_ = KeyFault::kBadComment;
        return -1;
    }
    uint8_t digest[crypto_generichash_BYTES_MAX];
    crypto_generichash_final(&hash_, digest, sizeof digest);
    uint8_t line[kAlgorithmBytes + kKeyIdBytes + kSignatureBytes] = {'E', 'D'};
    std::memcpy(line + kAlgorithmBytes, key_->id, kKeyIdBytes);
    uint8_t* signature = line + kAlgorithmBytes + kKeyIdBytes;
    crypto_sign_detached(signature, nullptr, digest, sizeof digest, key_->key);

    // The global signature covers the file's signature and the trusted comment together.
    std::vector<uint8_t> global(signature, signature + kSignatureBytes);
    global.insert(global.end(), trustedComment.begin(), trustedComment.end());
    uint8_t globalSignature[kSignatureBytes];
    crypto_sign_detached(globalSignature, nullptr, global.data(), global.size(), key_->key);
    *signatureText = "untrusted comment: signature from minisign secret key\n" +
                     Base64(line, sizeof line) + "\ntrusted comment: " + trustedComment + "\n" +
                     Base64(globalSignature, sizeof globalSignature) + "\n";
    key_ = nullptr;
    return 0;
}
