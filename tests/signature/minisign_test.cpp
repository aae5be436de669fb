// minisign signatures: round trips with signatures made here by libsodium's signing side, then
// every byte that matters changed, and malformed files in tables; then what MakeKeyPair and
// SignatureMaker write, checked by the verifying side, and secret key files of the wrong kind or
// damaged. Encrypted keys and interoperability with the real minisign program are tested end to
// end (tests/e2e/qzp_signature.sh): scrypt at minisign's limits takes seconds.
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>
#include <string>
#include <vector>

#include "signature/minisign.h"
#include "signature/minisign_keys.h"

namespace {

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

std::string Base64(const std::vector<uint8_t>& bytes) {
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), 0);
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

std::vector<uint8_t> Bytes(const uint8_t* data, std::size_t size) {
    return std::vector<uint8_t>(data, data + size);
}

std::string KeyLine(const KeyPair& key, const char* algorithm = "Ed") {
    return Base64(Cat({{uint8_t(algorithm[0]), uint8_t(algorithm[1])},
                       Bytes(key.id, kKeyIdBytes),
                       Bytes(key.publicKey, kPublicKeyBytes)}));
}

std::string KeyFile(const std::vector<const KeyPair*>& keys) {
    std::string text;
    for (const KeyPair* key : keys) {
        text += "untrusted comment: minisign public key " + KeyIdText(key->id) + "\n";
        text += KeyLine(*key) + "\n";
    }
    return text;
}

std::vector<uint8_t> Sign(const KeyPair& key, const std::vector<uint8_t>& message) {
    std::vector<uint8_t> signature(crypto_sign_BYTES);
    crypto_sign_detached(signature.data(), nullptr, message.data(), message.size(), key.secretKey);
    return signature;
}

// The signature file minisign writes for `file`: "ED" signs its BLAKE2b-512 hash.
std::string SignatureFile(const KeyPair& key, const std::vector<uint8_t>& file, bool prehashed,
                          const std::string& comment) {
    std::vector<uint8_t> message = file;
    if (prehashed) {
        message.assign(crypto_generichash_BYTES_MAX, 0);
        crypto_generichash(message.data(), message.size(), file.data(), file.size(), nullptr, 0);
    }
    const std::vector<uint8_t> signature = Sign(key, message);
    const std::vector<uint8_t> global =
        Sign(key, Cat({signature, std::vector<uint8_t>(comment.begin(), comment.end())}));
    return "untrusted comment: signature from minisign secret key\n" +
           Base64(Cat(
               {{'E', uint8_t(prehashed ? 'D' : 'd')}, Bytes(key.id, kKeyIdBytes), signature})) +
           "\ntrusted comment: " + comment + "\n" + Base64(global) + "\n";
}

// Parses both files and checks `file` fed in pieces of `piece` bytes; the fault, kNone when good.
SignatureFault Check(const std::string& keyFile, const std::string& signatureFile,
                     const std::vector<uint8_t>& file, std::size_t piece = 7) {
    std::vector<TrustedKey> keys;
    SignatureFault fault = SignatureFault::kNone;
    if (ParseTrustedKeys(keyFile.data(), keyFile.size(), &keys, &fault) != 0) {
        return fault;
    }
    DetachedSignature signature;
    if (ParseSignature(signatureFile.data(), signatureFile.size(), &signature, &fault) != 0) {
        return fault;
    }
    SignatureCheck check;
    if (check.Begin(signature, keys) != 0) {
        return check.fault();
    }
    for (std::size_t at = 0; at < file.size(); at += piece) {
        if (check.Update(file.data() + at, std::min(piece, file.size() - at)) != 0) {
            return check.fault();
        }
    }
    return check.Finish() == 0 ? SignatureFault::kNone : check.fault();
}

std::vector<uint8_t> Package() {
    std::vector<uint8_t> bytes(100000);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    }
    return bytes;
}

std::vector<std::string> Lines(const std::string& file) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = file.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(file.substr(start, end - start));
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) {
        out += l + "\n";
    }
    return out;
}

// Flips one bit of the decoded base64 line `line` (0-based) at decoded byte `at`.
std::string FlipDecoded(const std::string& file, int line, std::size_t at) {
    std::vector<std::string> lines = Lines(file);
    std::vector<uint8_t> raw(lines[line].size());
    std::size_t size = 0;
    sodium_base642bin(raw.data(), raw.size(), lines[line].data(), lines[line].size(), nullptr,
                      &size, nullptr, sodium_base64_VARIANT_ORIGINAL);
    raw.resize(size);
    raw.at(at) ^= 0x01;
    lines[line] = Base64(raw);
    return Join(lines);
}

class SignatureRoundTrip : public testing::TestWithParam<bool> {};

TEST_P(SignatureRoundTrip, AcceptsTheSignedFileAndRefusesEveryChange) {
    const bool prehashed = GetParam();
    const KeyPair key = MakeKey();
    const KeyPair other = MakeKey();
    const std::vector<uint8_t> file = Package();
    const std::string keys = KeyFile({&key});
    const std::string good = SignatureFile(key, file, prehashed, "timestamp:1\tfile:VORIZ.QZP");

    EXPECT_EQ(Check(keys, good, file), SignatureFault::kNone);
    EXPECT_EQ(Check(keys, good, file, file.size()), SignatureFault::kNone);
    // Several keys: the second one signed.
    EXPECT_EQ(Check(KeyFile({&other, &key}), good, file), SignatureFault::kNone);

    std::vector<uint8_t> changed = file;
    changed[file.size() / 2] ^= 0x80;
    EXPECT_EQ(Check(keys, good, changed), SignatureFault::kFileSignatureWrong);
    changed = file;
    changed.pop_back();
    EXPECT_EQ(Check(keys, good, changed), SignatureFault::kFileSignatureWrong);
    changed = file;
    changed.push_back(0);
    EXPECT_EQ(Check(keys, good, changed), SignatureFault::kFileSignatureWrong);

    std::string comment = good;
    comment[comment.find("timestamp:1") + 10] = '2';
    EXPECT_EQ(Check(keys, comment, file), SignatureFault::kTrustedCommentForged);
    // Decoded signature line: 2 algorithm bytes, 8 key id bytes, 64 signature bytes.
    EXPECT_EQ(Check(keys, FlipDecoded(good, 1, 2), file), SignatureFault::kUntrustedKey);
    // The file signature is covered by the global signature too.
    EXPECT_EQ(Check(keys, FlipDecoded(good, 1, 40), file), SignatureFault::kTrustedCommentForged);
    EXPECT_EQ(Check(keys, FlipDecoded(good, 3, 5), file), SignatureFault::kTrustedCommentForged);

    EXPECT_EQ(Check(KeyFile({&other}), good, file), SignatureFault::kUntrustedKey);
    // Another key that claims the signer's id.
    KeyPair impostor = other;
    std::memcpy(impostor.id, key.id, kKeyIdBytes);
    EXPECT_EQ(Check(KeyFile({&impostor}), good, file), SignatureFault::kTrustedCommentForged);
}

INSTANTIATE_TEST_SUITE_P(PrehashedAndLegacy, SignatureRoundTrip, testing::Bool());

TEST(SignatureCheck, ALegacySignatureIsNotAPrehashedOne) {
    const KeyPair key = MakeKey();
    const std::vector<uint8_t> file = Package();
    std::string legacy = SignatureFile(key, file, false, "c");
    DetachedSignature signature;
    SignatureFault fault{};
    ASSERT_EQ(ParseSignature(legacy.data(), legacy.size(), &signature, &fault), 0);
    EXPECT_FALSE(signature.prehashed);
    // Relabelled as "ED", the legacy signature would have to sign the hash: refused.
    signature.prehashed = true;
    std::vector<TrustedKey> keys;
    const std::string keyFile = KeyFile({&key});
    ASSERT_EQ(ParseTrustedKeys(keyFile.data(), keyFile.size(), &keys, &fault), 0);
    SignatureCheck check;
    ASSERT_EQ(check.Begin(signature, keys), 0);
    ASSERT_EQ(check.Update(file.data(), file.size()), 0);
    EXPECT_EQ(check.Finish(), -1);
    EXPECT_EQ(check.fault(), SignatureFault::kFileSignatureWrong);
    EXPECT_EQ(check.Update(file.data(), 1), -1);  // stays failed
}

// The legacy form holds the file in memory: up to kMaxLegacySignedBytes, refused one byte beyond
// (whatever the pieces), while the prehashed form takes any size.
TEST(SignatureCheck, ALegacySignatureCoversFilesUpToItsLimit) {
    const KeyPair key = MakeKey();
    const std::string keyFile = KeyFile({&key});
    const struct {
        bool prehashed;
        std::size_t size;
        std::size_t piece;
        SignatureFault fault;
    } cases[] = {
        {false, kMaxLegacySignedBytes, 65536, SignatureFault::kNone},
        {false, kMaxLegacySignedBytes + 1, 65536, SignatureFault::kLegacyFileTooLarge},
        {false, kMaxLegacySignedBytes + 1, kMaxLegacySignedBytes + 1,
         SignatureFault::kLegacyFileTooLarge},
        {true, kMaxLegacySignedBytes + 1, 65536, SignatureFault::kNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.prehashed ? " ED" : " Ed"));
        const std::vector<uint8_t> file(c.size, 0x5A);
        EXPECT_EQ(Check(keyFile, SignatureFile(key, file, c.prehashed, "c"), file, c.piece),
                  c.fault);
    }
}

TEST(KeyIdText, ReadsTheIdAsALittleEndianNumber) {
    const uint8_t id[kKeyIdBytes] = {0xAD, 0x6C, 0x94, 0x05, 0xF7, 0xC3, 0x92, 0xB7};
    EXPECT_EQ(KeyIdText(id), "B792C3F705946CAD");
    // minisign writes the number without leading zeros into its key files.
    const uint8_t small[kKeyIdBytes] = {0xCC, 0x3A, 0xBD, 0x5A, 0x06, 0x7B, 0x20, 0x04};
    EXPECT_EQ(KeyIdText(small), "4207B065ABD3ACC");
}

struct KeyFileCase {
    const char* what;
    std::string text;
    int32_t result;
    std::size_t keys;
    SignatureFault fault;
};

TEST(ParseTrustedKeys, AcceptsPairsAndRefusesAnythingElse) {
    const KeyPair a = MakeKey();
    const KeyPair b = MakeKey();
    const std::string lineA = KeyLine(a);
    const std::string lineB = KeyLine(b);
    const std::string comment = "untrusted comment: key\n";
    const SignatureFault kBad = SignatureFault::kKeyFileMalformed;
    const std::vector<KeyFileCase> cases = {
        {"one pair", comment + lineA + "\n", 0, 1, SignatureFault::kNone},
        {"no final line end", comment + lineA, 0, 1, SignatureFault::kNone},
        {"CR LF and blank lines", "\r\n" + comment + lineA + "\r\n\r\n" + comment + lineB, 0, 2,
         SignatureFault::kNone},
        {"blanks around the key", comment + "  " + lineA + " \t\n", 0, 1, SignatureFault::kNone},
        {"empty file", "", -1, 0, SignatureFault::kKeyFileEmpty},
        {"only blank lines", "\n\n \n", -1, 0, SignatureFault::kKeyFileEmpty},
        {"comment without key", comment, -1, 0, kBad},
        {"second comment without key", comment + lineA + "\n" + comment, -1, 0, kBad},
        {"key without comment", lineA + "\n", -1, 0, kBad},
        {"two keys after one comment", comment + lineA + "\n" + lineB + "\n", -1, 0, kBad},
        {"comment prefix misspelt", "untrusted comment " + lineA, -1, 0, kBad},
        {"key of the wrong algorithm", comment + KeyLine(a, "ED"), -1, 0, kBad},
        {"key one byte short", comment + lineA.substr(0, lineA.size() - 4) + "\n", -1, 0, kBad},
        {"key one byte long", comment + Base64(std::vector<uint8_t>(43, 'E')), -1, 0, kBad},
        {"not base64", comment + std::string(lineA.size(), '!'), -1, 0, kBad},
        {"a NUL in the key line", comment + lineA.substr(0, 4) + std::string(1, '\0'), -1, 0, kBad},
        {"too large", std::string(kMaxKeyFileBytes + 1, '\n'), -1, 0,
         SignatureFault::kKeyFileTooLarge},
    };
    for (const KeyFileCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<TrustedKey> keys;
        SignatureFault fault = SignatureFault::kNone;
        EXPECT_EQ(ParseTrustedKeys(c.text.data(), c.text.size(), &keys, &fault), c.result);
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
    const std::vector<std::string> lines = Lines(good);
    ASSERT_EQ(lines.size(), 4u);
    auto with = [&](int index, const std::string& text) {
        std::vector<std::string> l = lines;
        l[index] = text;
        return Join(l);
    };
    const SignatureFault kBad = SignatureFault::kSignatureMalformed;
    struct Case {
        const char* what;
        std::string text;
        SignatureFault fault;
    };
    const std::vector<Case> cases = {
        {"good", good, SignatureFault::kNone},
        {"CR LF", with(0, lines[0] + "\r") + "\r\n", SignatureFault::kNone},
        {"empty", "", kBad},
        {"three lines", Join({lines[0], lines[1], lines[2]}), kBad},
        {"untrusted prefix missing", with(0, "comment"), kBad},
        {"trusted prefix missing", with(2, "trusted comment:x"), kBad},
        {"signature line cut", with(1, lines[1].substr(0, 40)), kBad},
        {"global signature cut", with(3, lines[3].substr(0, 40)), kBad},
        {"global signature not base64", with(3, std::string(lines[3].size(), '*')), kBad},
        {"unknown algorithm", FlipDecoded(good, 1, 0), SignatureFault::kUnknownAlgorithm},
        {"text after the four lines", good + "more\n", kBad},
        {"a NUL in the trusted comment", with(2, std::string("trusted comment: a\0b", 20)), kBad},
        {"too large", good + std::string(kMaxSignatureFileBytes, '\n'),
         SignatureFault::kSignatureTooLarge},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DetachedSignature signature;
        SignatureFault fault = SignatureFault::kNone;
        EXPECT_EQ(ParseSignature(c.text.data(), c.text.size(), &signature, &fault),
                  c.fault == SignatureFault::kNone ? 0 : -1);
        EXPECT_EQ(fault, c.fault);
        if (c.fault == SignatureFault::kNone) {
            EXPECT_EQ(signature.trustedComment, "comment");
            EXPECT_EQ(KeyIdText(signature.keyId), KeyIdText(key.id));
        }
    }
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

std::string SignWith(const std::string& secretText, const std::string& data,
                     const std::string& comment) {
    SecretKeyFile file;
    SecretKey key;
    KeyFault fault = KeyFault::kNone;
    EXPECT_EQ(ParseSecretKeyFile(secretText.data(), secretText.size(), &file, &fault), 0);
    EXPECT_FALSE(file.encrypted);
    EXPECT_EQ(OpenSecretKey(file, "", &key, &fault), 0);
    SignatureMaker maker;
    std::string text;
    EXPECT_EQ(maker.Begin(key), 0);
    EXPECT_EQ(maker.Update(data.data(), data.size()), 0);
    EXPECT_EQ(maker.Finish(comment, &text), 0);
    return text;
}

TEST(MinisignKeys, WhatIsSignedChecksAndNothingElse) {
    const Made made = MakeUnencrypted();
    const Made other = MakeUnencrypted();
    const std::string text = SignWith(made.secretText, "pkg", "2.0, full update");
    EXPECT_NE(text.find("\ntrusted comment: 2.0, full update\n"), std::string::npos);
    EXPECT_NE(made.publicText.find(made.keyId + "\n"), std::string::npos);
    const std::vector<uint8_t> data = {'p', 'k', 'g'};
    EXPECT_EQ(Check(made.publicText, text, data), SignatureFault::kNone);
    EXPECT_EQ(Check(made.publicText, text, {'p', 'k', 'h'}), SignatureFault::kFileSignatureWrong);
    EXPECT_EQ(Check(other.publicText, text, data), SignatureFault::kUntrustedKey);
}

TEST(MinisignKeys, SecretKeyFilesOfTheWrongKindOrDamaged) {
    const Made made = MakeUnencrypted();
    const std::string signature = SignWith(made.secretText, "x", "c");
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
