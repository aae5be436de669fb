// Signatures as the qzp commands show them: checking a package against trusted keys (verify) and
// telling whether a package has a signature beside it and who made it (info).
#pragma once

#include <optional>
#include <string>

#include "signature/signature_files.h"
#include "tools/qzp/manifest.h"
#include "tools/qzp/opened_package.h"

// Checks the open `package` against the keys in `keyFile` and the signature `signatureFile`, and
// in the same pass over it as VerifyPackage does on `jobs` threads. Prints "FILE: signed by key
// ID, trusted comment: TEXT" and returns 0, or reports the reason as "qzp: SUBJECT: reason" (or
// VerifyPackage's line) and returns 1.
int CheckPackageSignature(OpenedPackage& package, const std::string& file,
                          const std::string& keyFile, const std::string& signatureFile,
                          unsigned jobs);

// The same check on device paths, printing nothing: "" when the signature is good (who made it in
// `outcome`), otherwise the reason, e.g. "signed by a key that is not trusted (key 1A2B)". What
// VerifyPackage finds wrong with the package in the same pass goes to `*problem` (may be null),
// which stays empty when the check stopped before reading the package (a key or signature file).
std::string VerifyPackageSignature(OpenedPackage& package, const std::u16string& keyPath,
                                   const std::u16string& signaturePath, SignatureOutcome& outcome,
                                   unsigned jobs = 0,
                                   std::optional<std::string>* problem = nullptr);

struct SignatureSummary {
    bool present = false;   // FILE.minisig exists
    bool readable = false;  // and is a well-formed minisign signature
    std::string keyId;      // of the key that made it, when readable
    std::string trustedComment;
};

// Looks at FILE.minisig beside `file` without checking it against any key.
SignatureSummary SummarizeSignature(const std::string& file);

// Why the signature `summary` cannot be that of the package whose manifest is `manifest` (null:
// none), as far as a look without a key tells: a trusted comment in the form qzp sign makes
// ("NAME, version V, KIND, signed TIME") that names another version or kind. "" when it names
// this package's, or is in another form.
std::string SignatureMismatch(const SignatureSummary& summary, const ManifestInfo* manifest);

// The SHA-256 of the host file `file` as 64 hex digits, read in pieces; empty when it cannot be
// read.
std::string FileSha256(const std::string& file);
