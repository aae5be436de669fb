// minisign's detached format: the text parsers and the two Ed25519 checks. Every cryptographic
// step is libsodium's: base64 decoding, BLAKE2b-512 and Ed25519 verification.
#include "signature/minisign.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment:";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::size_t kAlgorithmBytes = 2;
constexpr std::size_t kKeyLineBytes = kAlgorithmBytes + kKeyIdBytes + kPublicKeyBytes;
constexpr std::size_t kSignatureLineBytes = kAlgorithmBytes + kKeyIdBytes + kSignatureBytes;

// Splits text into lines at LF; a CR before the LF is not part of the line. The text after the
// last LF is a line of its own when it is not empty.
class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}

    bool Next(std::string_view* line) {
        if (position_ >= text_.size()) {
            return false;
        }
        const std::size_t end = text_.find('\n', position_);
        const std::size_t stop = end == std::string_view::npos ? text_.size() : end;
        std::string_view found = text_.substr(position_, stop - position_);
        if (!found.empty() && found.back() == '\r') {
            found.remove_suffix(1);
        }
        position_ = end == std::string_view::npos ? text_.size() : end + 1;
        ++number_;
        *line = found;
        return true;
    }
    std::size_t number() const { return number_; }

  private:
    std::string_view text_;
    std::size_t position_ = 0;
    std::size_t number_ = 0;
};

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Decodes padded standard base64 that must yield exactly `size` bytes.
bool DecodeExactly(std::string_view text, uint8_t* out, std::size_t size) {
    text = TrimBlanks(text);
    if (text.empty()) {
        return false;
    }
    std::size_t decoded = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &decoded, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0) {
        return false;
    }
    return decoded == size && end == text.data() + text.size();
}

int32_t Failed(SignatureFault* out, SignatureFault fault) {
    if (out != nullptr) {
        *out = fault;
    }
    return -1;
}

}  // namespace

const char* SignatureFaultText(SignatureFault fault) {
    switch (fault) {
        case SignatureFault::kNone:
            return "no fault";
        case SignatureFault::kKeyFileTooLarge:
            return "the key file is too large";
        case SignatureFault::kKeyFileMalformed:
            return "the key file is not a minisign public key file";
        case SignatureFault::kKeyFileEmpty:
            return "the key file holds no key";
        case SignatureFault::kSignatureTooLarge:
            return "the signature file is too large";
        case SignatureFault::kSignatureMalformed:
            return "the signature file is not a minisign signature";
        case SignatureFault::kUnknownAlgorithm:
            return "the signature uses an unknown algorithm";
        case SignatureFault::kUntrustedKey:
            return "signed by a key that is not trusted";
        case SignatureFault::kTrustedCommentForged:
            return "the trusted comment does not match its signature";
        case SignatureFault::kFileSignatureWrong:
            return "the signature does not match the file";
        case SignatureFault::kNoMemory:
            return "out of memory";
        case SignatureFault::kCryptoUnavailable:
            return "the cryptographic library cannot be initialised";
        case SignatureFault::kKeyFileUnreadable:
            return "the key file cannot be read";
        case SignatureFault::kSignatureMissing:
            return "no signature file, or it cannot be read";
        case SignatureFault::kFileUnreadable:
            return "the signed file cannot be read";
        case SignatureFault::kLegacyFileTooLarge:
            static_assert(kMaxLegacySignedBytes == 4 * 1024 * 1024, "the text names the limit");
            return "the legacy signature form (Ed) covers files of at most 4 MiB; sign with the "
                   "current form (ED)";
    }
    return "unknown fault";
}

int32_t ParseTrustedKeys(const char* text, std::size_t size, std::vector<TrustedKey>* keys,
                         SignatureFault* fault, std::size_t* line) {
    if (fault != nullptr) {
        *fault = SignatureFault::kNone;
    }
    if (keys == nullptr || (text == nullptr && size != 0)) {
        return Failed(fault, SignatureFault::kKeyFileMalformed);
    }
    if (size > kMaxKeyFileBytes) {
        return Failed(fault, SignatureFault::kKeyFileTooLarge);
    }
    Lines lines(std::string_view(text == nullptr ? "" : text, size));
    std::string_view current;
    std::vector<TrustedKey> found;
    bool commentSeen = false;  // an untrusted comment waits for its key line
    bool malformed = false;
    while (!malformed && lines.Next(&current)) {
        if (current.find('\0') != std::string_view::npos) {
            malformed = true;
        } else if (!commentSeen) {
            if (TrimBlanks(current).empty()) {
                continue;  // blank lines between the pairs
            }
            commentSeen = StartsWith(current, kUntrustedPrefix);
            malformed = !commentSeen;
        } else {
            uint8_t raw[kKeyLineBytes];
            if (!DecodeExactly(current, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') {
                malformed = true;
                continue;
            }
            TrustedKey key{};
            std::memcpy(key.id, raw + kAlgorithmBytes, kKeyIdBytes);
            std::memcpy(key.key, raw + kAlgorithmBytes + kKeyIdBytes, kPublicKeyBytes);
            found.push_back(key);
            commentSeen = false;
        }
    }
    if (malformed || commentSeen) {
        if (line != nullptr) {
            *line = lines.number();
        }
        return Failed(fault, SignatureFault::kKeyFileMalformed);
    }
    if (found.empty()) {
        return Failed(fault, SignatureFault::kKeyFileEmpty);
    }
    keys->insert(keys->end(), found.begin(), found.end());
    return 0;
}

int32_t ParseSignature(const char* text, std::size_t size, DetachedSignature* signature,
                       SignatureFault* fault) {
    if (fault != nullptr) {
        *fault = SignatureFault::kNone;
    }
    if (signature == nullptr || (text == nullptr && size != 0)) {
        return Failed(fault, SignatureFault::kSignatureMalformed);
    }
    if (size > kMaxSignatureFileBytes) {
        return Failed(fault, SignatureFault::kSignatureTooLarge);
    }
    const std::string_view all(text == nullptr ? "" : text, size);
    if (all.find('\0') != std::string_view::npos) {
        return Failed(fault, SignatureFault::kSignatureMalformed);
    }
    Lines lines(all);
    std::string_view untrusted, main, trusted, global;
    if (!lines.Next(&untrusted) || !lines.Next(&main) || !lines.Next(&trusted) ||
        !lines.Next(&global)) {
        return Failed(fault, SignatureFault::kSignatureMalformed);
    }
    std::string_view rest;
    while (lines.Next(&rest)) {
        if (!TrimBlanks(rest).empty()) {
            return Failed(fault, SignatureFault::kSignatureMalformed);
        }
    }
    if (!StartsWith(untrusted, kUntrustedPrefix) || !StartsWith(trusted, kTrustedPrefix)) {
        return Failed(fault, SignatureFault::kSignatureMalformed);
    }
    uint8_t raw[kSignatureLineBytes];
    DetachedSignature parsed;
    if (!DecodeExactly(main, raw, sizeof raw) ||
        !DecodeExactly(global, parsed.globalSignature, kSignatureBytes)) {
        return Failed(fault, SignatureFault::kSignatureMalformed);
    }
    if (raw[0] == 'E' && raw[1] == 'D') {
        parsed.prehashed = true;
    } else if (raw[0] == 'E' && raw[1] == 'd') {
        parsed.prehashed = false;
    } else {
        return Failed(fault, SignatureFault::kUnknownAlgorithm);
    }
    std::memcpy(parsed.keyId, raw + kAlgorithmBytes, kKeyIdBytes);
    std::memcpy(parsed.signature, raw + kAlgorithmBytes + kKeyIdBytes, kSignatureBytes);
    parsed.trustedComment.assign(trusted.substr(kTrustedPrefix.size()));
    *signature = std::move(parsed);
    return 0;
}

std::string KeyIdText(const uint8_t (&id)[kKeyIdBytes]) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = kKeyIdBytes; i-- > 0;) {
        text += kDigits[id[i] >> 4];
        text += kDigits[id[i] & 0x0F];
    }
    return text;  // all 16 digits, as minisign prints them, so that ids compare as text
}

int32_t SignatureCheck::Fail(SignatureFault fault) {
    if (fault_ == SignatureFault::kNone) {
        fault_ = fault;
    }
    return -1;
}

int32_t SignatureCheck::Begin(const DetachedSignature& signature,
                              const std::vector<TrustedKey>& keys) {
    if (fault_ != SignatureFault::kNone || begun_) {
        return Fail(SignatureFault::kUntrustedKey);
    }
    if (sodium_init() < 0) {
        return Fail(SignatureFault::kCryptoUnavailable);
    }
    const TrustedKey* signer = nullptr;
    for (const TrustedKey& key : keys) {
        if (std::memcmp(key.id, signature.keyId, kKeyIdBytes) == 0) {
            signer = &key;
            break;
        }
    }
    if (signer == nullptr) {
        return Fail(SignatureFault::kUntrustedKey);
    }
    key_ = *signer;
    prehashed_ = signature.prehashed;
    std::memcpy(signature_, signature.signature, kSignatureBytes);

    // The trusted comment is signed together with the file's signature, so it cannot be moved to
    // another file's signature either.
    std::vector<uint8_t> global;
    try {
        global.resize(kSignatureBytes + signature.trustedComment.size());
    } catch (const std::bad_alloc&) {
        return Fail(SignatureFault::kNoMemory);
    }
    std::memcpy(global.data(), signature.signature, kSignatureBytes);
    std::memcpy(global.data() + kSignatureBytes, signature.trustedComment.data(),
                signature.trustedComment.size());
    if (crypto_sign_verify_detached(signature.globalSignature, global.data(), global.size(),
                                    key_.key) != 0) {
        return Fail(SignatureFault::kTrustedCommentForged);
    }
    if (prehashed_ &&
        crypto_generichash_init(&hash_, nullptr, 0, crypto_generichash_BYTES_MAX) != 0) {
        return Fail(SignatureFault::kCryptoUnavailable);
    }
    begun_ = true;
    return 0;
}

int32_t SignatureCheck::Update(const void* data, std::size_t size) {
    if (fault_ != SignatureFault::kNone || !begun_) {
        return Fail(SignatureFault::kFileSignatureWrong);
    }
    if (size == 0) {
        return 0;
    }
    if (prehashed_) {
        if (crypto_generichash_update(&hash_, static_cast<const uint8_t*>(data), size) != 0) {
            return Fail(SignatureFault::kCryptoUnavailable);
        }
        return 0;
    }
    if (size > kMaxLegacySignedBytes - message_.size()) {
        std::vector<uint8_t>().swap(message_);
        return Fail(SignatureFault::kLegacyFileTooLarge);
    }
    try {
        // Grown by doubling up to the limit, never past it.
        const std::size_t needed = message_.size() + size;
        if (needed > message_.capacity()) {
            message_.reserve(
                std::min(std::max(needed, 2 * message_.capacity()), kMaxLegacySignedBytes));
        }
        const auto* bytes = static_cast<const uint8_t*>(data);
        message_.insert(message_.end(), bytes, bytes + size);
    } catch (const std::bad_alloc&) {
        return Fail(SignatureFault::kNoMemory);
    } catch (const std::length_error&) {
        return Fail(SignatureFault::kNoMemory);
    }
    return 0;
}

int32_t SignatureCheck::Finish() {
    if (fault_ != SignatureFault::kNone || !begun_) {
        return Fail(SignatureFault::kFileSignatureWrong);
    }
    begun_ = false;
    int verified = -1;
    if (prehashed_) {
        uint8_t digest[crypto_generichash_BYTES_MAX];
        if (crypto_generichash_final(&hash_, digest, sizeof digest) != 0) {
            return Fail(SignatureFault::kCryptoUnavailable);
        }
        verified = crypto_sign_verify_detached(signature_, digest, sizeof digest, key_.key);
    } else {
        verified =
            crypto_sign_verify_detached(signature_, message_.data(), message_.size(), key_.key);
        std::vector<uint8_t>().swap(message_);
    }
    if (verified != 0) {
        return Fail(SignatureFault::kFileSignatureWrong);
    }
    return 0;
}
