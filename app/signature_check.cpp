// The signature step runs right after the package is opened and before anything is written. It
// reads the package through the archive's own open stream, the one every extraction later reads
// from, so the bytes that were checked are the bytes installed.
#include "app/signature_check.h"

#include "app/device_paths.h"
#include "app/update_dlg.h"
#include "package/package_contents.h"
#include "platform/file.h"
#include "signature/signature_files.h"

using app::kSignaturePath;
using app::kTrustedKeysPath;

namespace {

SignatureObserver observer = nullptr;
void* observerContext = nullptr;

int32_t FeedCheck(void* context, const uint8_t* data, uint32_t size) {
    return static_cast<SignatureCheck*>(context)->Update(data, size);
}

int32_t ReadPackage(void* context, SignatureCheck* check) {
    return PackageReadContents(static_cast<PackageArchive*>(context), &FeedCheck, check) == 1 ? 0
                                                                                              : -1;
}

}  // namespace

void SetSignatureObserver(SignatureObserver newObserver, void* context) {
    observer = newObserver;
    observerContext = context;
}

app::StepOutcome CUpdateDlg::RequireTrustedSignature() {
    if (platform::GetAttributes(kTrustedKeysPath) == platform::kInvalidFileAttributes) {
        return app::Done(app::Step::kSignature, "not checked: the device holds no keys");
    }
    SignatureOutcome outcome;
    const bool accepted = VerifySignatureFiles(kTrustedKeysPath, kSignaturePath, &ReadPackage,
                                               m_package, &outcome) == 0;
    const std::string reason = accepted ? std::string() : SignatureFaultText(outcome.fault);
    if (observer != nullptr) {
        observer(observerContext,
                 {accepted ? 1 : 0, outcome.keyId, outcome.trustedComment, reason});
    }
    if (!accepted) {
        return app::Stop(app::Step::kSignature, app::Ending::kInvalidPackage, reason);
    }
    return app::Done(app::Step::kSignature, "good, key " + outcome.keyId);
}
