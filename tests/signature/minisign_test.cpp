// minisign signatures: one table of signatures made here by libsodium's signing side, key files
// and signature files against every change that matters; then key ids and secret key files.
// Encrypted keys and interoperability with the real minisign program are tested end to end
// (tests/e2e/qzp_signature.sh): scrypt at minisign's limits takes seconds.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "signature/minisign.h"
#include "signature/minisign_keys.h"

namespace {

using enum SignatureFault;
using Bytes = std::vector<uint8_t>;

struct KeyPair {
    uint8_t id[kKeyIdBytes];
    uint8_t publicKey[crypto_sign_PUBLICKEYBYTES];
    uint8_t secretKey[crypto_sign_SECRETKEYBYTES];
};

KeyPair MakeKey() {
    EXPECT_GE(sodium_init(), 0);
    KeyPair pair{};
    randombytes_buf(pair.id, sizeof pair.id);
    crypto_sign_keypair(pair.publicKey, pair.secretKey);
    return pair;
}

Bytes Cat(std::initializer_list<std::span<const uint8_t>> pieces) {
    Bytes out;
    for (const auto piece : pieces) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

std::string Base64(const Bytes& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), 0);
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string KeyLine(const KeyPair& key, const char* algorithm = "Ed") {
    const uint8_t head[] = {uint8_t(algorithm[0]), uint8_t(algorithm[1])};
    return Base64(Cat({head, key.id, key.publicKey}));
}

std::string KeyFile(const KeyPair& key) {
    return "untrusted comment: " + KeyIdText(key.id) + "\n" + KeyLine(key) + "\n";
}

// The signature file minisign writes for `file`: "ED" signs its BLAKE2b-512 hash, "Ed" the file.
// With `flip` set, `mask` is XORed into byte `flip` of the signature line's bytes (2 algorithm
// bytes, 8 key id bytes, 64 signature bytes) followed by the global signature's, after signing.
std::string SignatureFile(const KeyPair& key, const Bytes& file, bool prehashed,
                          const std::string& comment, int flip = -1, uint8_t mask = 1) {
    const auto sign = [&key](const Bytes& message) {
        Bytes signature(crypto_sign_BYTES);
        crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(),
                             key.secretKey);
        return signature;
    };
    Bytes hash(crypto_generichash_BYTES_MAX);
    crypto_generichash(hash.data(), hash.size(), file.data(), file.size(), nullptr, 0);
    const Bytes signature = sign(prehashed ? hash : file);
    const uint8_t algorithm[] = {'E', uint8_t(prehashed ? 'D' : 'd')};
    Bytes line = Cat({algorithm, key.id, signature}),
          global = sign(Cat({signature, Bytes(comment.begin(), comment.end())}));
    if (flip >= 0) {
        (flip < int(line.size()) ? line[flip] : global.at(flip - line.size())) ^= mask;
    }
    return "untrusted comment: signature from minisign secret key\n" + Base64(line) +
           "\ntrusted comment: " + comment + "\n" + Base64(global) + "\n";
}

// Parses both files and checks `file` fed in pieces of `piece` bytes; the fault, kNone when good.
// Once finished or failed, the check refuses more bytes and keeps its first fault.
SignatureFault Check(const std::string& keyFile, const std::string& signatureFile,
                     const Bytes& file, std::size_t piece = 7) {
    std::vector<TrustedKey> keys;
    SignatureFault fault = kNone;
    DetachedSignature signature;
    const bool keysRefused = ParseTrustedKeys(keyFile.data(), keyFile.size(), &keys, &fault) != 0;
    if (keysRefused ||
        ParseSignature(signatureFile.data(), signatureFile.size(), &signature, &fault) != 0) {
        EXPECT_TRUE(!keysRefused || keys.empty());  // nothing of a refused key file is kept
        EXPECT_NE(fault, kNone);
        return fault;
    }
    SignatureCheck check;
    int32_t result = check.Begin(signature, keys);
    for (std::size_t at = 0; result == 0 && at < file.size(); at += piece) {
        result = check.Update(file.data() + at, std::min(piece, file.size() - at));
    }
    if (result == 0) {
        check.Finish();
    }
    fault = check.fault();
    EXPECT_EQ(check.Update(file.data(), 1), -1);
    EXPECT_EQ(check.fault(), fault == kNone ? kFileSignatureWrong : fault);
    return fault;
}

// `file` with its line `index` (0-based) replaced by `text`.
std::string WithLine(const std::string& file, int index, const std::string& text) {
    std::string out;
    for (std::size_t start = 0, end; (end = file.find('\n', start)) != file.npos;
         start = end + 1, --index) {
        out += (index == 0 ? text : file.substr(start, end - start)) + "\n";
    }
    return out;
}

// A key pair made by MakeKeyPair without a password, and `data` signed with it by SignatureMaker.
struct Made {
    std::string publicText, secretText, keyId, signature;
};

Made MakeAndSign(const Bytes& data, const std::string& comment) {
    Made made;
    KeyFault fault = KeyFault::kNone;
    SecretKeyFile file;
    SecretKey key;
    SignatureMaker maker;
    EXPECT_TRUE(
        MakeKeyPair(nullptr, &made.publicText, &made.secretText, &made.keyId, &fault) == 0 &&
        ParseSecretKeyFile(made.secretText.data(), made.secretText.size(), &file, &fault) == 0 &&
        !file.encrypted && OpenSecretKey(file, "", &key, &fault) == 0 && maker.Begin(key) == 0 &&
        maker.Update(data.data(), data.size()) == 0 && maker.Finish(comment, &made.signature) == 0);
    return made;
}

// Both forms, each file in small pieces (pieces of 64 KiB for the large ones) and in one; the
// legacy form holds the file in memory up to kMaxLegacySignedBytes and refuses it one byte beyond.
// A malformed key or signature file fails with its fault before any byte is checked; one parsed
// wrong fails the check.
TEST(SignatureCheck, AcceptsTheSignedFileAndRefusesEveryChange) {
    const KeyPair key = MakeKey(), other = MakeKey();
    KeyPair impostor = other;  // another key that claims the signer's id
    std::memcpy(impostor.id, key.id, kKeyIdBytes);
    Bytes file(100000);
    randombytes_buf(file.data(), file.size());
    const Made made = MakeAndSign(file, "c"), otherMade = MakeAndSign({}, "c");
    Bytes changed = file;
    changed[file.size() / 2] ^= 0x80;
    const Bytes limit(kMaxLegacySignedBytes, 0x5A), beyond(kMaxLegacySignedBytes + 1, 0x5A);
    const std::string keys = KeyFile(key);
    std::vector<TrustedKey> parsed;  // a refused key file names its offending line
    SignatureFault fault{};
    std::size_t line = 0;
    const std::string nonsense = keys + "nonsense\n";
    EXPECT_EQ(ParseTrustedKeys(nonsense.data(), nonsense.size(), &parsed, &fault, &line), -1);
    EXPECT_EQ(line, 3u);
    for (const bool ed : {true, false}) {
        const SignatureFault tooLarge = ed ? kNone : kLegacyFileTooLarge,
                             kBad = kSignatureMalformed, kKeyBad = kKeyFileMalformed;
        const std::string stamp = "timestamp:1\tfile:VORIZ.QZP",
                          good = SignatureFile(key, file, ed, stamp);
        const auto flip = [&](int at, uint8_t mask = 1) {
            return SignatureFile(key, file, ed, stamp, at, mask);
        };
        const auto with = [&good](int index, const std::string& text) {
            return WithLine(good, index, text);
        };
        const std::string cut = Base64(Bytes(30, 'E'));  // well-formed base64 of the wrong length
        const std::string padded = good + std::string(kMaxSignatureFileBytes - good.size(), '\n');
        const std::string comment = "untrusted comment: k\n", line = KeyLine(key);
        const struct {
            const char* what;
            std::string keys, signature;
            Bytes file;
            SignatureFault fault;
        } rows[] = {
            {"signed", keys, good, file, kNone},
            {"first of two keys", keys + KeyFile(other), good, file, kNone},
            {"second of two keys", KeyFile(other) + keys, good, file, kNone},
            {"a byte changed", keys, good, changed, kFileSignatureWrong},
            {"a byte short", keys, good, Bytes(file.begin(), file.end() - 1), kFileSignatureWrong},
            {"a byte more", keys, good, Cat({file, Bytes(1)}), kFileSignatureWrong},
            {"comment changed", keys, with(2, "trusted comment: t"), file, kTrustedCommentForged},
            {"key id changed", keys, flip(2), file, kUntrustedKey},
            {"file signature changed", keys, flip(40), file, kTrustedCommentForged},
            {"global signature changed", keys, flip(79), file, kTrustedCommentForged},
            {"other form", keys, flip(1, 'D' ^ 'd'), file, kFileSignatureWrong},
            {"another key", KeyFile(other), good, file, kUntrustedKey},
            {"key file without a final line end", comment + line, good, file, kNone},
            {"key file in CR LF with blank lines",
             "\r\n" + comment + KeyLine(other) + "\r\n\r\n" + comment + line, good, file, kNone},
            {"blanks around the key", comment + "  " + line + " \t\n", good, file, kNone},
            {"empty key file", "", good, file, kKeyFileEmpty},
            {"only blank lines", "\n\n \n", good, file, kKeyFileEmpty},
            {"comment without key", comment, good, file, kKeyBad},
            {"second comment without key", keys + comment, good, file, kKeyBad},
            {"key without comment", line + "\n", good, file, kKeyBad},
            {"two keys after one comment", comment + KeyLine(other) + "\n" + line, good, file,
             kKeyBad},
            {"comment prefix misspelt", "untrusted comment " + line, good, file, kKeyBad},
            {"key of the wrong algorithm", comment + KeyLine(key, "ED"), good, file, kKeyBad},
            {"key one byte short", comment + line.substr(0, line.size() - 4), good, file, kKeyBad},
            {"key one byte long", comment + Base64(Bytes(43, 'E')), good, file, kKeyBad},
            {"key not base64", comment + std::string(line.size(), '!'), good, file, kKeyBad},
            {"a NUL in the key line", comment + line.substr(0, 4) + '\0', good, file, kKeyBad},
            {"key file too large", std::string(kMaxKeyFileBytes + 1, '\n'), good, file,
             kKeyFileTooLarge},
            {"another key with the id", KeyFile(impostor), good, file, kTrustedCommentForged},
            {"at the legacy limit", keys, SignatureFile(key, limit, ed, "c"), limit, kNone},
            {"a byte beyond", keys, SignatureFile(key, beyond, ed, "c"), beyond, tooLarge},
            {"made by SignatureMaker", made.publicText, made.signature, file, kNone},
            {"another made key", otherMade.publicText, made.signature, file, kUntrustedKey},
            {"CR LF", keys, with(0, "untrusted comment: x\r") + "\r\n", file, kNone},
            {"no signature", keys, "", file, kBad},
            {"no global signature line", keys, good.substr(0, good.size() - 89), file, kBad},
            {"untrusted prefix missing", keys, with(0, "comment"), file, kBad},
            {"trusted prefix missing", keys, with(2, "trusted comment:x"), file, kBad},
            {"signature line cut", keys, with(1, cut), file, kBad},
            {"global signature cut", keys, with(3, cut), file, kBad},
            {"global signature not base64", keys, with(3, std::string(88, '*')), file, kBad},
            {"unknown algorithm", keys, flip(0), file, kUnknownAlgorithm},
            {"text after the four lines", keys, good + "more\n", file, kBad},
            {"NUL in comment", keys, with(2, std::string("trusted comment: a\0b", 20)), file, kBad},
            {"signature at the size limit", keys, padded, file, kNone},
            {"signature a byte beyond", keys, padded + "\n", file, kSignatureTooLarge},
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (ed ? " ED" : " Ed"));
            const std::size_t piece = row.file.size() > file.size() ? 65536 : 7;
            EXPECT_EQ(Check(row.keys, row.signature, row.file, piece), row.fault);
            EXPECT_EQ(Check(row.keys, row.signature, row.file, row.file.size()), row.fault);
        }
    }
}

// minisign writes a key id as a little-endian number of 16 digits, leading zeros kept.
TEST(MinisignKeys, KeyIdsAndSecretKeyFilesOfTheWrongKindOrDamaged) {
    using enum KeyFault;
    const uint8_t id[kKeyIdBytes] = {0xAD, 0x6C, 0x94, 0x05, 0xF7, 0xC3, 0x92, 0xB7};
    const uint8_t small[kKeyIdBytes] = {0xCC, 0x3A, 0xBD, 0x5A, 0x06, 0x7B, 0x20, 0x04};
    EXPECT_EQ(KeyIdText(id), "B792C3F705946CAD");
    EXPECT_EQ(KeyIdText(small), "04207B065ABD3ACC");
    const Made made = MakeAndSign({'x'}, "2.0, full update");
    EXPECT_NE(made.signature.find("\ntrusted comment: 2.0, full update\n"), std::string::npos);
    EXPECT_NE(made.publicText.find(made.keyId + "\n"), std::string::npos);
    std::string unsupported = made.secretText;  // "RWQAAEIy": Ed, no KDF, B2; "RWRY" a KDF "X.."
    unsupported.replace(unsupported.find('\n') + 1, 4, "RWRY");
    std::string damaged = made.secretText;  // a digit of the secret key itself
    char& digit = damaged[damaged.find('\n') + 1 + 100];
    digit = digit == 'A' ? 'B' : 'A';
    const struct {
        const char* what;
        std::string text;
        KeyFault parse, open;
    } rows[] = {
        {"the key", made.secretText, kNone, kNone},
        {"a public key", made.publicText, kPublicKeyGiven, kNone},
        {"a signature", made.signature, kNotSecretKey, kNone},
        {"empty", "", kNotSecretKey, kNone},
        {"too large", std::string(kMaxSecretKeyFileBytes + 1, 'a'), kTooLarge, kNone},
        {"another key derivation", unsupported, kUnsupported, kNone},
        {"damaged", damaged, kNone, kDamaged},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SecretKeyFile file;
        SecretKey key;
        KeyFault fault = kNone;
        EXPECT_EQ(ParseSecretKeyFile(row.text.data(), row.text.size(), &file, &fault),
                  row.parse == kNone ? 0 : -1);
        EXPECT_EQ(fault, row.parse);
        if (row.parse == kNone) {
            EXPECT_EQ(OpenSecretKey(file, "", &key, &fault), row.open == kNone ? 0 : -1);
            EXPECT_EQ(fault, row.open);
        }
    }
}

}  // namespace
