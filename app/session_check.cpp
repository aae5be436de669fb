// The session's one pass over the card: the signature and the check of every entry, with the
// package's hash for the log, the share checked for whoever shows it, and the complete plan of
// names the catalogue left on the card.
#include <algorithm>
#include <memory>
#include <new>

#include <sodium.h>

#include "app/update_decision.h"
#include "app/update_session.h"
#include "ini/ini_load.h"
#include "package/package_scan.h"
#include "package/verify.h"
#include "platform/text.h"
#include "signature/signature_files.h"

namespace app {

namespace {

// The one pass over the card: the signature's hash is fed from the same reads that check every
// block, the package's SHA-256 for the log, and whoever shows the check's share is told of it
// from them too.
struct ScanPass {
    PackageArchive* package = nullptr;
    PackageScanHooks hooks;
    PackageProblem problem{};
    SignatureCheck* signature = nullptr;
    crypto_hash_sha256_state sha256{};
    bool hashes = false;  // the package is named by its SHA-256 (a file the session opened)
    bool ran = false;
    bool whole = false;
    bool tailNamed = false;  // the plan made during the pass was told every name
    const SessionPolicy* policy = nullptr;
    uint64_t total = 0;  // bytes the pass reads, about
    uint64_t done = 0;
    int shown = -1;

    bool Run();
    // 64 hex digits once every byte went through; empty otherwise.
    std::string Sha256() {
        if (!whole || !hashes) {
            return {};
        }
        unsigned char digest[crypto_hash_sha256_BYTES];
        crypto_hash_sha256_final(&sha256, digest);
        char hex[2 * crypto_hash_sha256_BYTES + 1];
        sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
        return hex;
    }
};

int32_t FeedPass(void* context, const uint8_t* data, uint32_t size) {
    auto* pass = static_cast<ScanPass*>(context);
    if (pass->hashes) {
        crypto_hash_sha256_update(&pass->sha256, data, size);
    }
    pass->done += size;
    if (pass->total > 0 && pass->policy != nullptr && pass->policy->checking != nullptr) {
        const int percent =
            static_cast<int>(std::min<uint64_t>(100, pass->done * 100 / pass->total));
        if (percent != pass->shown) {
            pass->shown = percent;
            pass->policy->checking(pass->policy->context, percent);
        }
    }
    return pass->signature == nullptr ? 0 : pass->signature->Update(data, size);
}

bool ScanPass::Run() {
    ran = true;
    crypto_hash_sha256_init(&sha256);
    hooks.contents = &FeedPass;
    hooks.contentsContext = this;
    whole = PackageScan(package, hooks, &problem) == 1;
    if (policy != nullptr && policy->checking != nullptr) {
        policy->checking(policy->context, -1);
    }
    return whole;
}

int32_t ScanSigned(void* context, SignatureCheck* check) {
    auto* pass = static_cast<ScanPass*>(context);
    pass->signature = check;
    return pass->Run() ? 0 : -1;
}

}  // namespace

// One pass over the card. On a device that holds keys the signature decides first; a package
// whose every block reads back whole is then the signed one, or refused (ContentsChecked).
StepOutcome UpdateSession::CheckSignatureAndContents() {
    ScanPass pass;
    pass.package = package_;
    pass.hooks.keepEntry = names_.manifest == kPlanNoEntry ? kPackageScanKeepNone : names_.manifest;
    pass.hooks.keepLimit = kIniMaxWantedFileBytes;  // as much as any settings file the device reads
    pass.hooks.kept = &manifest_;
    pass.hooks.keptTooLarge = &manifestTooLarge_;
    pass.hooks.last = true;  // the extraction reads the card again; nothing scans it again
    // Names left on the card are planned as the pass reads the directory, not read again later.
    pass.hooks.tailNames = &UpdateSession::PlanDuringCheck;
    pass.hooks.tailNamesContext = this;
    pass.hooks.tailNamed = &pass.tailNamed;
    pass.policy = &policy_;
    pass.hashes = packagePath_ != nullptr;  // an adopted package is not named (Identify)
    // The file's size; for an adopted package (no size taken), its entries' data.
    pass.total = packageSize_ != 0 ? packageSize_ : PackagePackedBytes(package_, entries_, count_);
    const auto passed = [&] {
        scanWhole_ = pass.whole;
        scanProblem_ = pass.problem;
        Identify(packagePath_, true, pass.Sha256());
        if (checkPlan_ != nullptr && pass.tailNamed) {
            try {
                checkPlan_->planned = checkPlan_->feed->End();
                checkPlan_->complete = true;
            } catch (const std::bad_alloc&) {
                checkPlan_->complete = false;  // planned at its step instead
            }
        }
        if (checkPlan_ != nullptr) {
            checkPlan_->feed.reset();
            if (!checkPlan_->complete) {
                checkPlan_.reset();
            }
        }
    };
    if (!device_.ChecksSignatures()) {
        pass.Run();
        passed();
        return Done(Step::kSignature, "not checked: the device holds no keys");
    }
    std::string keys;
    std::string text;
    const bool keysRead = device_.ReadTrustedKeys(keys);
    const bool signatureRead = keysRead && device_.ReadSignature(text);
    SignatureOutcome found;
    const bool accepted =
        VerifySignatureTexts(keysRead ? &keys : nullptr, signatureRead ? &text : nullptr,
                             &ScanSigned, &pass, &found) == 0;
    // A signature refused before its pass still leaves the package named by its hash in the log:
    // the one read of a run that reads nothing else.
    const bool scanned = pass.ran;
    if (!scanned) {
        pass.Run();
    }
    passed();
    StepOutcome signature = Done(Step::kSignature, "good, key " + found.keyId);
    if (!accepted && scanned && pass.problem.fault != PackageFault::kNone) {
        // The pass stopped at a damaged entry, so the signature could not be confirmed: the check
        // that follows stops the run there, naming the entry.
        signature = Done(Step::kSignature, "not confirmed: the package is damaged");
    } else if (!accepted) {
        std::string reason = SignatureFaultText(found.fault);
        if (!found.keyId.empty()) {
            reason += " (key " + found.keyId + ")";
        }
        signature = Stop(Step::kSignature, Ending::kInvalidPackage, std::move(reason));
    }
    if (observer_ != nullptr) {
        const StepOutcome why = signature.GoesOn() ? ContentsChecked() : signature;
        const std::string reason =
            accepted
                ? std::string()
                : (why.entry.empty() ? "" : platform::Utf16ToUtf8(why.entry) + ": ") + why.reason;
        observer_->OnSignature({accepted ? 1 : 0, found.keyId, found.trustedComment, reason});
    }
    return signature;
}

// Names left on the card go by with the tail of the pass: the complete plan is told them there,
// over the tree the kept manifest asks for, for PlanInstall to take when that is the tree its
// decision finds.
CatalogueNameFeed* UpdateSession::PlanDuringCheck(void* session) {
    auto* self = static_cast<UpdateSession*>(session);
    ManifestValues values;
    if (self->manifestTooLarge_ ||
        (self->names_.manifest != kPlanNoEntry && !ReadManifestBytes(self->manifest_, values))) {
        return nullptr;  // the manifest step refuses the package
    }
    try {
        auto plan = std::make_unique<CheckPlan>();
        plan->options = self->InstallOptions(values.isPatch != 0);
        plan->leftover = self->leftover_;
        plan->options.leftover = plan->leftover.empty() ? nullptr : plan->leftover.c_str();
        plan->feed = std::make_unique<CatalogueNamesPlan>(plan->options, plan->plan);
        self->checkPlan_ = std::move(plan);
    } catch (const std::bad_alloc&) {
        self->checkPlan_.reset();
        return nullptr;  // planned at its step instead
    }
    return self->checkPlan_->feed.get();
}

// What the pass found of the entries. A package without entries is refused too: its extraction
// would fail only after the purge had emptied the flash volume.
StepOutcome UpdateSession::ContentsChecked() const {
    if (count_ == 0) {
        return Stop(Step::kCheck, Ending::kInvalidPackage, "no entries");
    }
    if (!scanWhole_) {
        return ProblemOutcome(Step::kCheck, Ending::kInvalidPackage, scanProblem_);
    }
    return Done(Step::kCheck, "every entry reads back whole");
}

}  // namespace app
