#include "tools/qzp/signature_report.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include <sodium.h>

#include "package/package_contents.h"
#include "platform/file.h"
#include "platform/volume.h"
#include "signature/signature_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/output.h"

namespace {

// The package's one pass: the check that VerifyPackage makes, its bytes to the signature.
struct SignedPass {
    OpenedPackage& package;
    unsigned jobs;
    SignatureCheck* check = nullptr;
    uint64_t fed = 0;     // bytes the signature has had, from the first
    std::string problem;  // VerifyProblem's
};

int32_t FeedCheck(void* context, const uint8_t* data, uint32_t size) {
    auto* pass = static_cast<SignedPass*>(context);
    pass->fed += size;
    return pass->check->Update(data, size);
}

// The bytes after those the signature has had.
int32_t FeedRest(void* context, const uint8_t* data, uint32_t size) {
    auto* pass = static_cast<SignedPass*>(context);
    const uint32_t had = static_cast<uint32_t>(std::min<uint64_t>(pass->fed, size));
    pass->fed -= had;
    return had == size ? 0 : pass->check->Update(data + had, size - had);
}

int32_t ReadPackage(void* context, SignatureCheck* check) {
    auto* pass = static_cast<SignedPass*>(context);
    pass->check = check;
    pass->problem = VerifyProblem(pass->package, pass->jobs, &FeedCheck, pass);
    if (pass->problem.empty()) {
        return 0;
    }
    // The check stopped at a damaged entry: the signature still judges the whole file, which
    // only such a package costs a second read.
    return PackageReadContents(pass->package.archive, &FeedRest, pass) == 1 ? 0 : -1;
}

// The file a fault is about, for the "qzp: SUBJECT: reason" line.
std::string Subject(SignatureFault fault, const std::string& file, const std::string& keyFile,
                    const std::string& signatureFile) {
    switch (fault) {
        case SignatureFault::kKeyFileTooLarge:
        case SignatureFault::kKeyFileMalformed:
        case SignatureFault::kKeyFileEmpty:
        case SignatureFault::kKeyFileUnreadable:
            return keyFile;
        case SignatureFault::kSignatureTooLarge:
        case SignatureFault::kSignatureMalformed:
        case SignatureFault::kUnknownAlgorithm:
        case SignatureFault::kSignatureMissing:
        case SignatureFault::kTrustedCommentForged:
        case SignatureFault::kUntrustedKey:
            return signatureFile;
        default:
            return file;
    }
}

}  // namespace

std::string VerifyPackageSignature(OpenedPackage& package, const std::u16string& keyPath,
                                   const std::u16string& signaturePath, SignatureOutcome& outcome,
                                   unsigned jobs, std::optional<std::string>* problem) {
    SignedPass pass{package, jobs, nullptr, 0, {}};
    const int32_t verified =
        VerifySignatureFiles(keyPath.c_str(), signaturePath.c_str(), &ReadPackage, &pass, &outcome);
    if (problem != nullptr && pass.check != nullptr) {
        *problem = pass.problem;
    }
    if (verified == 0) {
        return {};
    }
    std::string reason = SignatureFaultText(outcome.fault);
    if (outcome.fault == SignatureFault::kKeyFileMalformed && outcome.keyLine != 0) {
        reason += " (line " + std::to_string(outcome.keyLine) + ")";
    }
    if (!outcome.keyId.empty()) {
        reason += " (key " + outcome.keyId + ")";
    }
    return reason;
}

int CheckPackageSignature(OpenedPackage& package, const std::string& file,
                          const std::string& keyFile, const std::string& signatureFile,
                          unsigned jobs) {
    std::u16string keyPath, signaturePath;
    std::string error;
    if (!ToDevicePath(keyFile, keyPath, error)) {
        return ReportFailure(keyFile, error);
    }
    if (const std::string problem = ReadProblem(keyFile); !problem.empty()) {
        return ReportFailure(keyFile, problem);
    }
    if (!ToDevicePath(signatureFile, signaturePath, error)) {
        return ReportFailure(signatureFile, error);
    }
    SignatureOutcome outcome;
    std::optional<std::string> problem;
    if (const std::string reason =
            VerifyPackageSignature(package, keyPath, signaturePath, outcome, jobs, &problem);
        !reason.empty()) {
        return ReportFailure(Subject(outcome.fault, file, keyFile, signatureFile), reason);
    }
    std::printf("%s: signed by key %s, trusted comment: %s\n", Printable(file).c_str(),
                outcome.keyId.c_str(), Printable(outcome.trustedComment).c_str());
    return !problem || problem->empty() ? 0 : ReportFailure(file, *problem);
}

std::string SignatureMismatch(const SignatureSummary& summary, const ManifestInfo* manifest) {
    const std::string& comment = summary.trustedComment;
    const std::size_t from = comment.find(", version ");
    const std::size_t to = comment.rfind(", signed ");
    if (!summary.readable || from == std::string::npos || to == std::string::npos || to < from) {
        return {};
    }
    const std::string named = comment.substr(from + 2, to - from - 2);
    const std::string version =
        manifest != nullptr && !manifest->version.empty() ? manifest->version : "(none)";
    const std::string actual = "version " + version + ", " + DescribeKind(manifest);
    if (named == actual) {
        return {};
    }
    return "signed another package: its trusted comment names " + named + ", this package is " +
           actual + "; sign this one (qzp sign) or remove the old signature";
}

SignatureSummary SummarizeSignature(const std::string& file) {
    SignatureSummary summary;
    const std::string signatureFile = file + ".minisig";
    std::error_code code;
    summary.present = std::filesystem::is_regular_file(FsPath(signatureFile), code);
    std::u16string path;
    std::string error;
    std::string text;
    if (!summary.present || !ToDevicePath(signatureFile, path, error) ||
        ReadSmallFile(path.c_str(), kMaxSignatureFileBytes, &text) != 0) {
        return summary;
    }
    DetachedSignature signature;
    SignatureFault fault = SignatureFault::kNone;
    if (ParseSignature(text.data(), text.size(), &signature, &fault) == 0) {
        summary.readable = true;
        summary.keyId = KeyIdText(signature.keyId);
        summary.trustedComment = signature.trustedComment;
    }
    return summary;
}

std::string FileSha256(const std::string& file) {
    if (sodium_init() < 0) {
        return {};
    }
    std::u16string path;
    std::string error;
    if (!ToDevicePath(file, path, error)) {
        return {};
    }
    std::FILE* in = platform::OpenStream(path.c_str(), u"rb");
    if (in == nullptr) {
        return {};
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::vector<unsigned char> buffer(1 << 16);
    std::size_t got;
    uint64_t size = 0;
    uint64_t done = 0;
    platform::GetFileSize(path.c_str(), size);
    ProgressBar bar("hashing", ProgressWanted(size));
    while ((got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0) {
        crypto_hash_sha256_update(&state, buffer.data(), got);
        bar.Show(done += got, size);
    }
    bar.Finish();
    const bool ok = std::ferror(in) == 0;
    std::fclose(in);
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    if (!ok) {
        return {};
    }
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}
