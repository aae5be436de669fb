// Making keys and signatures: what MakeKeyPair and SignatureMaker write is checked by the
// verifying side (an independent reader of the same formats), and secret key files of the wrong
// kind or damaged are refused by kind. Encrypted keys, and minisign itself on both sides, are
// tested end to end (tests/e2e/qzp_signature.sh): scrypt at minisign's limits takes seconds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "signature/minisign_keys.h"

namespace {

struct Made {
    std::string publicText, secretText, keyId;
};

Made MakeUnencrypted() {
    Made made;
    KeyFault fault = KeyFault::kNone;
    EXPECT_EQ(MakeKeyPair(nullptr, &made.publicText, &made.secretText, &made.keyId, &fault), 0);
    return made;
}

std::string Sign(const std::string& secretText, const std::string& data,
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

// 0 when `signatureText` holds for `data` under `publicText`.
int32_t Check(const std::string& publicText, const std::string& signatureText,
              const std::string& data) {
    std::vector<TrustedKey> keys;
    DetachedSignature signature;
    SignatureFault fault = SignatureFault::kNone;
    SignatureCheck check;
    if (ParseTrustedKeys(publicText.data(), publicText.size(), &keys, &fault) != 0 ||
        ParseSignature(signatureText.data(), signatureText.size(), &signature, &fault) != 0 ||
        check.Begin(signature, keys) != 0 || check.Update(data.data(), data.size()) != 0) {
        return -1;
    }
    return check.Finish();
}

TEST(MinisignKeys, WhatIsSignedChecksAndNothingElse) {
    const Made made = MakeUnencrypted();
    const Made other = MakeUnencrypted();
    const std::string text = Sign(made.secretText, "package bytes", "2.0, full update");
    EXPECT_NE(text.find("\ntrusted comment: 2.0, full update\n"), std::string::npos);
    EXPECT_NE(made.publicText.find(made.keyId + "\n"), std::string::npos);
    EXPECT_EQ(Check(made.publicText, text, "package bytes"), 0);
    EXPECT_NE(Check(made.publicText, text, "package bytez"), 0);
    EXPECT_NE(Check(other.publicText, text, "package bytes"), 0);
}

TEST(MinisignKeys, SecretKeyFilesOfTheWrongKindOrDamaged) {
    const Made made = MakeUnencrypted();
    const std::string signature = Sign(made.secretText, "x", "c");
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
