// Key file, signature file and signed contents, read in that order: a device whose key file is
// damaged refuses before it looks at the card.
#include "signature/signature_files.h"

#include <cstdio>
#include <vector>

#include "platform/file.h"

int32_t ReadSmallFile(const char16_t* path, std::size_t limit, std::string* text) {
    std::FILE* stream = platform::OpenStream(path, u"rb");
    if (stream == nullptr) {
        return -1;
    }
    text->clear();
    char buffer[4096];
    bool failed = false;
    while (text->size() <= limit) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, stream);
        text->append(buffer, n);
        if (n < sizeof buffer) {
            failed = std::ferror(stream) != 0;
            break;
        }
    }
    std::fclose(stream);
    if (text->size() > limit + 1) {
        text->resize(limit + 1);
    }
    return failed ? -1 : 0;
}

int32_t VerifySignatureFiles(const char16_t* keyPath, const char16_t* signaturePath,
                             SignedContentsProc contents, void* context,
                             SignatureOutcome* outcome) {
    std::string keys;
    std::string signature;
    const bool keysRead = ReadSmallFile(keyPath, kMaxKeyFileBytes, &keys) == 0;
    // A damaged key file refuses before the card is looked at.
    const bool signatureRead =
        keysRead && ReadSmallFile(signaturePath, kMaxSignatureFileBytes, &signature) == 0;
    return VerifySignatureTexts(keysRead ? &keys : nullptr, signatureRead ? &signature : nullptr,
                                contents, context, outcome);
}

int32_t VerifySignatureTexts(const std::string* keyText, const std::string* signatureText,
                             SignedContentsProc contents, void* context,
                             SignatureOutcome* outcome) {
    *outcome = SignatureOutcome{};
    if (keyText == nullptr) {
        outcome->fault = SignatureFault::kKeyFileUnreadable;
        return -1;
    }
    std::vector<TrustedKey> keys;
    if (ParseTrustedKeys(keyText->data(), keyText->size(), &keys, &outcome->fault,
                         &outcome->keyLine) != 0) {
        return -1;
    }
    if (signatureText == nullptr) {
        outcome->fault = SignatureFault::kSignatureMissing;
        return -1;
    }
    DetachedSignature signature;
    if (ParseSignature(signatureText->data(), signatureText->size(), &signature, &outcome->fault) !=
        0) {
        return -1;
    }
    outcome->keyId = KeyIdText(signature.keyId);
    outcome->trustedComment = signature.trustedComment;

    SignatureCheck check;
    if (check.Begin(signature, keys) != 0) {
        outcome->fault = check.fault();
        return -1;
    }
    if (contents(context, &check) != 0) {
        outcome->fault = check.fault() != SignatureFault::kNone ? check.fault()
                                                                : SignatureFault::kFileUnreadable;
        return -1;
    }
    if (check.Finish() != 0) {
        outcome->fault = check.fault();
        return -1;
    }
    return 0;
}
