// Signatures as the qzp commands show them: checking a package against trusted keys (verify) and
// telling whether a package has a signature beside it and who made it (info).
#pragma once

#include <string>

#include "tools/qzp/command_kit.h"

// Checks the open `package` against the keys in `keyFile` and the signature `signatureFile`, and
// in the same pass over it as VerifyPackage does on `jobs` threads. Prints "FILE: signed by key
// ID, trusted comment: TEXT" and returns 0, or reports the reason as "qzp: SUBJECT: reason" (or
// VerifyPackage's line) and returns 1.
int CheckPackageSignature(OpenedPackage& package, const std::string& file,
                          const std::string& keyFile, const std::string& signatureFile,
                          unsigned jobs);

struct SignatureSummary {
    bool present = false;   // FILE.minisig exists
    bool readable = false;  // and is a well-formed minisign signature
    std::string keyId;      // of the key that made it, when readable
    std::string trustedComment;
};

// Looks at FILE.minisig beside `file` without checking it against any key.
SignatureSummary SummarizeSignature(const std::string& file);
