// minisign signatures: signatures made here by libsodium's signing side against every change that
// matters, malformed files in tables, then what MakeKeyPair and SignatureMaker write and secret
// key files of the wrong kind or damaged. Encrypted keys and interoperability with the real
// minisign program are tested end to end (tests/e2e/qzp_signature.sh): scrypt at minisign's
// limits takes seconds.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
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

std::string Base64(const Bytes& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), 0);
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

Bytes Cat(const Bytes& head, const uint8_t* data, std::size_t size, const Bytes& tail = {}) {
    Bytes out = head;
    out.insert(out.end(), data, data + size);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

std::string KeyLine(const KeyPair& key, const char* algorithm = "Ed") {
    const Bytes head = {uint8_t(algorithm[0]), uint8_t(algorithm[1])};
    return Base64(Cat(Cat(head, key.id, kKeyIdBytes), key.publicKey, kPublicKeyBytes));
}

std::string KeyFile(const std::vector<const KeyPair*>& keys) {
    std::string text;
    for (const KeyPair* key : keys) {
        text += "untrusted comment: minisign public key " + KeyIdText(key->id) + "\n" +
                KeyLine(*key) + "\n";
    }
    return text;
}

Bytes Sign(const KeyPair& key, const Bytes& message) {
    Bytes signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), key.secretKey);
    return signature;
}

// The signature file minisign writes for `file`: "ED" signs its BLAKE2b-512 hash.
std::string SignatureFile(const KeyPair& key, const Bytes& file, bool prehashed,
                          const std::string& comment) {
    Bytes message = file;
    if (prehashed) {
        message.assign(crypto_generichash_BYTES_MAX, 0);
        crypto_generichash(message.data(), message.size(), file.data(), file.size(), nullptr, 0);
    }
    const Bytes signature = Sign(key, message);
    const Bytes global =
        Sign(key, Cat(signature, reinterpret_cast<const uint8_t*>(comment.data()), comment.size()));
    const Bytes algorithm = {'E', uint8_t(prehashed ? 'D' : 'd')};
    return "untrusted comment: signature from minisign secret key\n" +
           Base64(Cat(algorithm, key.id, kKeyIdBytes, signature)) +
           "\ntrusted comment: " + comment + "\n" + Base64(global) + "\n";
}

// Parses both files and checks `file` fed in pieces of `piece` bytes; the fault, kNone when good.
// Once finished or failed, the check refuses more bytes and keeps its first fault.
SignatureFault Check(const std::string& keyFile, const std::string& signatureFile,
                     const Bytes& file, std::size_t piece = 7) {
    std::vector<TrustedKey> keys;
    SignatureFault fault = kNone;
    DetachedSignature signature;
    if (ParseTrustedKeys(keyFile.data(), keyFile.size(), &keys, &fault) != 0 ||
        ParseSignature(signatureFile.data(), signatureFile.size(), &signature, &fault) != 0) {
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

// `file` with its line `index` (0-based) passed through `edit`.
template <typename Edit>
std::string EditLine(const std::string& file, int index, Edit edit) {
    std::string out;
    for (std::size_t start = 0, end; (end = file.find('\n', start)) != file.npos;
         start = end + 1, --index) {
        const std::string line = file.substr(start, end - start);
        out += (index == 0 ? std::string(edit(line)) : line) + "\n";
    }
    return out;
}

// XORs `mask` into decoded byte `at` of the base64 line `line` (0-based).
std::string EditDecoded(const std::string& file, int line, std::size_t at, uint8_t mask = 1) {
    return EditLine(file, line, [&](const std::string& text) {
        Bytes raw(text.size());
        std::size_t size = 0;
        sodium_base642bin(raw.data(), raw.size(), text.data(), text.size(), nullptr, &size, nullptr,
                          sodium_base64_VARIANT_ORIGINAL);
        raw.resize(size);
        raw.at(at) ^= mask;
        return Base64(raw);
    });
}

struct Made {
    std::string publicText, secretText, keyId;
};

Made MakeUnencrypted() {
    Made made;
    KeyFault fault = KeyFault::kNone;
    EXPECT_EQ(MakeKeyPair(nullptr, &made.publicText, &made.secretText, &made.keyId, &fault), 0);
    return made;
}

std::string SignWith(const std::string& secretText, const Bytes& data, const std::string& comment) {
    SecretKeyFile file;
    SecretKey key;
    KeyFault fault = KeyFault::kNone;
    SignatureMaker maker;
    std::string text;
    EXPECT_EQ(ParseSecretKeyFile(secretText.data(), secretText.size(), &file, &fault), 0);
    EXPECT_FALSE(file.encrypted);
    EXPECT_EQ(OpenSecretKey(file, "", &key, &fault), 0);
    EXPECT_EQ(maker.Begin(key), 0);
    EXPECT_EQ(maker.Update(data.data(), data.size()), 0);
    EXPECT_EQ(maker.Finish(comment, &text), 0);
    return text;
}

// Both forms; the legacy one holds the file in memory up to kMaxLegacySignedBytes and refuses it
// one byte beyond, whatever the pieces.
TEST(SignatureCheck, AcceptsTheSignedFileAndRefusesEveryChange) {
    const KeyPair key = MakeKey(), other = MakeKey();
    KeyPair impostor = other;  // another key that claims the signer's id
    std::memcpy(impostor.id, key.id, kKeyIdBytes);
    const Made made = MakeUnencrypted(), otherMade = MakeUnencrypted();
    Bytes file(100000);
    for (std::size_t i = 0; i < file.size(); ++i) {
        file[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    }
    Bytes changed = file, shorter = file, longer = file;
    changed[file.size() / 2] ^= 0x80;
    shorter.pop_back();
    longer.push_back(0);
    const Bytes limit(kMaxLegacySignedBytes, 0x5A), beyond(kMaxLegacySignedBytes + 1, 0x5A);
    const std::string keys = KeyFile({&key});
    const std::string signedByMaker = SignWith(made.secretText, file, "c");
    for (const bool ed : {true, false}) {
        const SignatureFault tooLarge = ed ? kNone : kLegacyFileTooLarge;
        const std::string good = SignatureFile(key, file, ed, "timestamp:1\tfile:VORIZ.QZP");
        std::string comment = good;
        comment[comment.find("timestamp:1") + 10] = '2';
        // Decoded signature line: 2 algorithm bytes, 8 key id bytes, 64 signature bytes.
        const struct {
            const char* what;
            std::string keys, signature;
            const Bytes& file;
            std::size_t piece;
            SignatureFault fault;
        } rows[] = {
            {"signed", keys, good, file, 7, kNone},
            {"in one piece", keys, good, file, file.size(), kNone},
            {"second of two keys", KeyFile({&other, &key}), good, file, 7, kNone},
            {"a byte changed", keys, good, changed, 7, kFileSignatureWrong},
            {"a byte short", keys, good, shorter, 7, kFileSignatureWrong},
            {"a byte more", keys, good, longer, 7, kFileSignatureWrong},
            {"trusted comment changed", keys, comment, file, 7, kTrustedCommentForged},
            {"key id changed", keys, EditDecoded(good, 1, 2), file, 7, kUntrustedKey},
            {"file signature changed", keys, EditDecoded(good, 1, 40), file, 7,
             kTrustedCommentForged},
            {"global signature changed", keys, EditDecoded(good, 3, 5), file, 7,
             kTrustedCommentForged},
            {"relabelled as the other form", keys, EditDecoded(good, 1, 1, 'D' ^ 'd'), file, 7,
             kFileSignatureWrong},
            {"another key", KeyFile({&other}), good, file, 7, kUntrustedKey},
            {"another key with the id", KeyFile({&impostor}), good, file, 7, kTrustedCommentForged},
            {"at the legacy limit", keys, SignatureFile(key, limit, ed, "c"), limit, 65536, kNone},
            {"a byte beyond", keys, SignatureFile(key, beyond, ed, "c"), beyond, 65536, tooLarge},
            {"a byte beyond, one piece", keys, SignatureFile(key, beyond, ed, "c"), beyond,
             beyond.size(), tooLarge},
            {"made by SignatureMaker", made.publicText, signedByMaker, file, 7, kNone},
            {"another made key", otherMade.publicText, signedByMaker, file, 7, kUntrustedKey},
        };
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.what) + (ed ? " ED" : " Ed"));
            EXPECT_EQ(Check(row.keys, row.signature, row.file, row.piece), row.fault);
        }
    }
}

TEST(KeyIdText, ReadsTheIdAsALittleEndianNumber) {
    const uint8_t id[kKeyIdBytes] = {0xAD, 0x6C, 0x94, 0x05, 0xF7, 0xC3, 0x92, 0xB7};
    EXPECT_EQ(KeyIdText(id), "B792C3F705946CAD");
    // minisign writes the number without leading zeros into its key files.
    const uint8_t small[kKeyIdBytes] = {0xCC, 0x3A, 0xBD, 0x5A, 0x06, 0x7B, 0x20, 0x04};
    EXPECT_EQ(KeyIdText(small), "4207B065ABD3ACC");
}

TEST(ParseTrustedKeys, AcceptsPairsAndRefusesAnythingElse) {
    const KeyPair a = MakeKey();
    const KeyPair b = MakeKey();
    const std::string lineA = KeyLine(a);
    const std::string lineB = KeyLine(b);
    const std::string comment = "untrusted comment: key\n";
    const SignatureFault kBad = kKeyFileMalformed;
    const struct {
        const char* what;
        std::string text;
        std::size_t keys;
        SignatureFault fault;
    } cases[] = {
        {"one pair", comment + lineA + "\n", 1, kNone},
        {"no final line end", comment + lineA, 1, kNone},
        {"CR LF and blank lines", "\r\n" + comment + lineA + "\r\n\r\n" + comment + lineB, 2,
         kNone},
        {"blanks around the key", comment + "  " + lineA + " \t\n", 1, kNone},
        {"empty file", "", 0, kKeyFileEmpty},
        {"only blank lines", "\n\n \n", 0, kKeyFileEmpty},
        {"comment without key", comment, 0, kBad},
        {"second comment without key", comment + lineA + "\n" + comment, 0, kBad},
        {"key without comment", lineA + "\n", 0, kBad},
        {"two keys after one comment", comment + lineA + "\n" + lineB + "\n", 0, kBad},
        {"comment prefix misspelt", "untrusted comment " + lineA, 0, kBad},
        {"key of the wrong algorithm", comment + KeyLine(a, "ED"), 0, kBad},
        {"key one byte short", comment + lineA.substr(0, lineA.size() - 4) + "\n", 0, kBad},
        {"key one byte long", comment + Base64(std::vector<uint8_t>(43, 'E')), 0, kBad},
        {"not base64", comment + std::string(lineA.size(), '!'), 0, kBad},
        {"a NUL in the key line", comment + lineA.substr(0, 4) + std::string(1, '\0'), 0, kBad},
        {"too large", std::string(kMaxKeyFileBytes + 1, '\n'), 0, kKeyFileTooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TrustedKey> keys;
        SignatureFault fault = kNone;
        EXPECT_EQ(ParseTrustedKeys(c.text.data(), c.text.size(), &keys, &fault),
                  c.fault == kNone ? 0 : -1);
        EXPECT_EQ(keys.size(), c.keys);
        EXPECT_EQ(fault, c.fault);
    }
    std::vector<TrustedKey> keys;
    SignatureFault fault{};
    std::size_t line = 0;
    const std::string third = comment + lineA + "\nnonsense\n";
    EXPECT_EQ(ParseTrustedKeys(third.data(), third.size(), &keys, &fault, &line), -1);
    EXPECT_EQ(line, 3u);
}

TEST(ParseSignature, RefusesMalformedFiles) {
    const KeyPair key = MakeKey();
    const std::string good = SignatureFile(key, {1, 2, 3}, true, "comment");
    auto with = [&](int index, const std::string& text) {
        return EditLine(good, index, [&](const std::string&) { return text; });
    };
    auto cut = [&](int index) {
        return EditLine(good, index, [](const std::string& line) { return line.substr(0, 40); });
    };
    const SignatureFault kBad = kSignatureMalformed;
    const struct {
        const char* what;
        std::string text;
        SignatureFault fault;
    } cases[] = {
        {"good", good, kNone},
        {"CR LF", EditLine(good, 0, [](const std::string& l) { return l + "\r"; }) + "\r\n", kNone},
        {"empty", "", kBad},
        {"three lines", good.substr(0, good.rfind('\n', good.size() - 2) + 1), kBad},
        {"untrusted prefix missing", with(0, "comment"), kBad},
        {"trusted prefix missing", with(2, "trusted comment:x"), kBad},
        {"signature line cut", cut(1), kBad},
        {"global signature cut", cut(3), kBad},
        {"global signature not base64", with(3, std::string(88, '*')), kBad},
        {"unknown algorithm", EditDecoded(good, 1, 0), kUnknownAlgorithm},
        {"text after the four lines", good + "more\n", kBad},
        {"a NUL in the trusted comment", with(2, std::string("trusted comment: a\0b", 20)), kBad},
        {"too large", good + std::string(kMaxSignatureFileBytes, '\n'), kSignatureTooLarge},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DetachedSignature signature;
        SignatureFault fault = kNone;
        EXPECT_EQ(ParseSignature(c.text.data(), c.text.size(), &signature, &fault),
                  c.fault == kNone ? 0 : -1);
        EXPECT_EQ(fault, c.fault);
        if (c.fault == kNone) {
            EXPECT_EQ(signature.trustedComment, "comment");
            EXPECT_EQ(KeyIdText(signature.keyId), KeyIdText(key.id));
        }
    }
}

TEST(MinisignKeys, SecretKeyFilesOfTheWrongKindOrDamaged) {
    const Made made = MakeUnencrypted();
    const std::string signature = SignWith(made.secretText, {'x'}, "2.0, full update");
    EXPECT_NE(signature.find("\ntrusted comment: 2.0, full update\n"), std::string::npos);
    EXPECT_NE(made.publicText.find(made.keyId + "\n"), std::string::npos);
    std::string unsupported = made.secretText;  // "RWQAAEIy": Ed, no KDF, B2; "RWRY" a KDF "X.."
    unsupported.replace(unsupported.find('\n') + 1, 4, "RWRY");
    std::string damaged = made.secretText;  // a digit of the secret key itself
    char& digit = damaged[damaged.find('\n') + 1 + 100];
    digit = digit == 'A' ? 'B' : 'A';
    struct Case {
        const char* what;
        std::string text;
        KeyFault parse, open;
    } cases[] = {
        {"the key", made.secretText, KeyFault::kNone, KeyFault::kNone},
        {"a public key", made.publicText, KeyFault::kPublicKeyGiven, KeyFault::kNone},
        {"a signature", signature, KeyFault::kNotSecretKey, KeyFault::kNone},
        {"empty", "", KeyFault::kNotSecretKey, KeyFault::kNone},
        {"too large", std::string(kMaxSecretKeyFileBytes + 1, 'a'), KeyFault::kTooLarge,
         KeyFault::kNone},
        {"another key derivation", unsupported, KeyFault::kUnsupported, KeyFault::kNone},
        {"damaged", damaged, KeyFault::kNone, KeyFault::kDamaged},
    };
    for (const Case& c : cases) {
        SecretKeyFile file;
        SecretKey key;
        KeyFault fault = KeyFault::kNone;
        const int32_t parsed = ParseSecretKeyFile(c.text.data(), c.text.size(), &file, &fault);
        EXPECT_EQ(fault, c.parse) << c.what;
        EXPECT_EQ(parsed, c.parse == KeyFault::kNone ? 0 : -1) << c.what;
        if (parsed == 0) {
            EXPECT_EQ(OpenSecretKey(file, "", &key, &fault), c.open == KeyFault::kNone ? 0 : -1);
            EXPECT_EQ(fault, c.open) << c.what;
        }
    }
}

}  // namespace
