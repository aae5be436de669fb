// The installer's signature step. A device that holds trusted keys in \Windows\qzpupdate.pub
// installs only a package whose \SDMMC\VORIZ.QZP.minisig was made by one of them; a device without
// that file installs as it always did and never looks at a signature.
#pragma once

#include <cstdint>
#include <string>

// What the signature step found, for a host program's record. Not called on a device that does
// not check signatures.
struct SignatureReport {
    int32_t result;  // 1 accepted, 0 refused
    std::string keyId;
    std::string trustedComment;
    std::string reason;  // empty when accepted
};
using SignatureObserver = void (*)(void* context, const SignatureReport& report);

// Set once by the program's entry, before the dialog runs; null records nothing.
void SetSignatureObserver(SignatureObserver observer, void* context);
