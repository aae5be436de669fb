// Fuzzes the minisign parsers: the bytes are read as a key file and as a signature file; when both
// parse, the signature is checked against the keys over the input itself.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "signature/minisign.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<TrustedKey> keys;
    SignatureFault fault = SignatureFault::kNone;
    const int32_t keysRead = ParseTrustedKeys(text, size, &keys, &fault);
    if ((keysRead == 0) != (fault == SignatureFault::kNone) || (keysRead == 0 && keys.empty())) {
        std::abort();  // a result and its reason always agree; success means at least one key
    }
    DetachedSignature signature;
    const int32_t signatureRead = ParseSignature(text, size, &signature, &fault);
    if ((signatureRead == 0) != (fault == SignatureFault::kNone)) {
        std::abort();
    }
    if (keysRead == 0 && signatureRead == 0) {
        SignatureCheck check;
        if (check.Begin(signature, keys) == 0) {
            check.Update(data, size);
            check.Finish();
        }
    }
    return 0;
}
