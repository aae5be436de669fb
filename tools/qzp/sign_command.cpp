// qzp sign: a minisign signature (FILE.minisig) of a package that qzp verify accepts.
#include "tools/qzp/sign_command.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>

#include "signature/signature_files.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"
#include "tools/qzp/tree_listing.h"

namespace {

// The signing time: now, or SOURCE_DATE_EPOCH when it is set, so that a build can sign
// reproducibly (and the tests know the comment).
std::string SigningTime() {
    std::time_t now = std::time(nullptr);
    if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH"); fixed != nullptr && *fixed != '\0') {
        char* end = nullptr;
        const long long value = std::strtoll(fixed, &end, 10);
        if (*end == '\0' && value >= 0) {
            now = static_cast<std::time_t>(value);
        }
    }
    char text[32] = "";
    if (const std::tm* utc = std::gmtime(&now); utc != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", utc);
    }
    return text;
}

// "VORIZ.QZP, version 2.0, full update, signed 2026-12-07 16:40:00 UTC".
std::string DefaultTrustedComment(const std::string& file, const TreeListing& listing) {
    const ManifestInfo* manifest = listing.manifest ? &*listing.manifest : nullptr;
    std::string version = manifest != nullptr ? manifest->version : "";
    return FsText(FsPath(file).filename()) + ", version " +
           (version.empty() ? std::string("(none)") : version) + ", " + DescribeKind(manifest) +
           ", signed " + SigningTime();
}

}  // namespace

int ReadSecretKeyFile(const std::string& keyFile, SecretKeyFile& file) {
    std::u16string path;
    std::string error;
    std::string text;
    if (!ToDevicePath(keyFile, path, error)) {
        return ReportFailure(keyFile, error);
    }
    if (const std::string problem = ReadProblem(keyFile); !problem.empty()) {
        return ReportFailure(keyFile, problem);
    }
    if (ReadSmallFile(path.c_str(), kMaxSecretKeyFileBytes, &text) != 0) {
        return ReportFailure(keyFile, "cannot read: " + OsReason());
    }
    KeyFault fault = KeyFault::kNone;
    const int32_t parsed = ParseSecretKeyFile(text.data(), text.size(), &file, &fault);
    sodium_memzero(text.data(), text.size());
    return parsed == 0 ? 0 : ReportFailure(keyFile, KeyFaultText(fault));
}

int UnlockSecretKey(const SigningKey& key, const SecretKeyFile& keyFile, SecretKey& secret) {
    std::string password;
    if (keyFile.encrypted && ReadPassword(key.password, key.keyFile, false, password) != 0) {
        return 1;
    }
    KeyFault fault = KeyFault::kNone;
    ProgressBar bar("unlocking the key", keyFile.encrypted && StderrIsTerminal());
    bar.Show(0, 0);  // the password's hashing takes seconds, and tells no share
    const int32_t opened = OpenSecretKey(keyFile, password, &secret, &fault);
    bar.Finish();
    sodium_memzero(password.data(), password.size());
    return opened != 0 ? ReportFailure(key.keyFile, KeyFaultText(fault)) : 0;
}

int PackageSigning::ReadKey() {
    return unlocked_ != nullptr ? 0 : ReadSecretKeyFile(key_.keyFile, keyFile_);
}

int PackageSigning::Begin(const OpenedPackage& package, const std::string& file) {
    if (key_.trustedComment) {
        comment_ = *key_.trustedComment;
    } else {
        TreeListing listing;
        if (ListPackage(package, file, listing) != 0) {
            return 1;
        }
        comment_ = DefaultTrustedComment(file, listing);
    }
    // The key is used only once the hash is complete, so it may still be locked now.
    if (maker_.Begin(unlocked_ != nullptr ? *unlocked_ : own_) != 0) {
        return ReportFailure(key_.keyFile, KeyFaultText(maker_.fault()));
    }
    return 0;
}

int32_t PackageSigning::Feed(void* context, const uint8_t* data, uint32_t size) {
    return static_cast<PackageSigning*>(context)->maker_.Update(data, size);
}

int PackageSigning::Finish(const std::string& file) {
    // The password is asked for only once the package is known to be signable.
    if (unlocked_ == nullptr) {
        if (UnlockSecretKey(key_, keyFile_, own_) != 0) {
            return 1;
        }
        unlocked_ = &own_;
    }
    std::string signature;
    if (maker_.Finish(comment_, &signature) != 0) {
        return ReportFailure(file, KeyFaultText(maker_.fault()));
    }
    const std::string signatureFile = file + ".minisig";
    if (const int written = WriteTextFile(signatureFile, signature, false); written != 0) {
        return written;
    }
    std::printf("%s: signed with key %s, trusted comment: %s\n", Printable(signatureFile).c_str(),
                KeyIdText(unlocked_->id).c_str(), Printable(comment_).c_str());
    return 0;
}

int SignPackage(const std::string& file, const SigningKey& key) {
    PackageSigning signing(key, nullptr);
    if (const int read = signing.ReadKey(); read != 0) {
        return read;
    }
    OpenedPackage package;
    if (const int opened = package.Open(file); opened != 0) {
        return opened;
    }
    if (const int begun = signing.Begin(package, file); begun != 0) {
        return begun;
    }
    if (const int verified = VerifyPackage(package, file, 0, &PackageSigning::Feed, &signing);
        verified != 0) {
        return verified;
    }
    return signing.Finish(file);
}

void AddSignCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<SigningKey>();
    auto file = std::make_shared<std::string>();
    CLI::App* sign = app.add_subcommand(
        "sign",
        "Sign a package with a minisign secret key: writes FILE.minisig (the prehashed form, "
        "with a trusted comment that the signature covers too), which qzp verify --pubkey, "
        "minisign -V and a device holding the public key accept. A package that qzp verify "
        "refuses (damaged, or one no device would install) is not signed.");
    sign->add_option("FILE", *file, "The package")->check(HostPathCheck())->required();
    sign->add_option("--key", args->keyFile, "The secret key file (from qzp keygen or minisign -G)")
        ->check(HostPathCheck())
        ->required();
    sign->add_option("--trusted-comment", args->trustedComment,
                     "The trusted comment, one line (default: the package's file name, its "
                     "version and kind from the manifest, and the time in UTC, which "
                     "SOURCE_DATE_EPOCH fixes)")
        ->check(
            [](const std::string& text) {
                return text.size() <= kMaxTrustedCommentBytes &&
                               text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos
                           ? std::string()
                           : std::string(KeyFaultText(KeyFault::kBadComment));
            },
            "");
    AddPasswordOptions(*sign, args->password, "for an encrypted secret key");
    AddQuietOption(sign);
    sign->callback([args, file, &status] { status = SignPackage(*file, *args); });
}
