// Checking a file against a key file and a signature file named by device paths: what the
// installer and `qzp verify` share.
//
// Results: 0 when the signature is good, -1 with the reason in SignatureOutcome::fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "signature/minisign.h"

struct SignatureOutcome {
    SignatureFault fault = SignatureFault::kNone;
    std::string keyId;           // the signer's key id once the signature file was read
    std::string trustedComment;  // set once the signature file was read
    std::size_t keyLine = 0;     // the offending line of a malformed key file
};

// Feeds every byte of the signed file to `check` (SignatureCheck::Update); 0 when the whole file
// went in, -1 when it could not be read.
using SignedContentsProc = int32_t (*)(void* context, SignatureCheck* check);

// Reads at most `limit` + 1 bytes of a small file into `text`, so that a parser can tell a file
// that is too large. -1 when the file cannot be opened or read.
int32_t ReadSmallFile(const char16_t* path, std::size_t limit, std::string* text);

// Reads the trusted keys and the signature, then the signed contents through `contents`.
int32_t VerifySignatureFiles(const char16_t* keyPath, const char16_t* signaturePath,
                             SignedContentsProc contents, void* context, SignatureOutcome* outcome);

// The same check over a key file's and a signature file's text already read: null for a file
// that could not be read (kKeyFileUnreadable, kSignatureMissing).
int32_t VerifySignatureTexts(const std::string* keyText, const std::string* signatureText,
                             SignedContentsProc contents, void* context, SignatureOutcome* outcome);
