// qzp info: what a package holds and what a device will make of it: comment, totals, the
// manifest's version, full update or patch, and the package's SHA-256.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <sodium.h>

#include "platform/file.h"
#include "platform/volume.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"
#include "tools/qzp/signature_report.h"
#include "tools/qzp/tree_listing.h"

namespace {

struct InfoArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    bool json = false;
    std::string file;
};

// The SHA-256 of the bytes handed to Feed, as 64 hex digits; of the file itself when they were
// not all of it (the device's check stopped at a damaged entry), and empty when it cannot be read.
class Sha256 {
  public:
    Sha256() { crypto_hash_sha256_init(&state_); }

    static int32_t Feed(void* context, const uint8_t* data, uint32_t size) {
        auto* hash = static_cast<Sha256*>(context);
        crypto_hash_sha256_update(&hash->state_, data, size);
        hash->bytes_ += size;
        return 0;
    }

    std::string Hex(const std::string& file, uint64_t fileBytes) {
        if (bytes_ != fileBytes) {
            return FileSha256(file);
        }
        unsigned char digest[crypto_hash_sha256_BYTES];
        crypto_hash_sha256_final(&state_, digest);
        char hex[2 * crypto_hash_sha256_BYTES + 1];
        sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
        return hex;
    }

  private:
    crypto_hash_sha256_state state_{};
    uint64_t bytes_ = 0;
};

int RunInfo(const InfoArguments& args) {
    const CodePageFiles names(args.codePage);
    TreeListing listing;
    std::error_code code;
    if (std::filesystem::is_directory(FsPath(args.file), code)) {
        return ReportFailure(args.file, "is a directory, not a package");
    }
    OpenedPackage package;
    if (package.Open(args.file) != 0 || ListPackage(package, args.file, listing, false) != 0) {
        return 1;
    }
    // Only the totals are kept: no name is held while the device's session reads the package.
    const uint64_t size = listing.unpackedBytes;
    const uint32_t files = listing.fileCount;
    const std::size_t entries = listing.entryCount;
    const uint64_t packageBytes = std::filesystem::file_size(FsPath(args.file), code);
    // The hash is taken in the device's one pass over the package.
    const bool hashing = sodium_init() >= 0;
    Sha256 hash;
    std::string kind = DeviceRefusal(package, hashing ? &Sha256::Feed : nullptr, &hash);
    const std::string sha256 = hashing ? hash.Hex(args.file, packageBytes) : std::string();
    const SignatureSummary signature = SummarizeSignature(args.file);
    const ManifestInfo* manifest = listing.manifest ? &*listing.manifest : nullptr;
    const std::string mismatch = SignatureMismatch(signature, manifest);
    std::string signatureText = "none (no " + args.file + ".minisig)";
    if (signature.present) {
        signatureText = signature.readable ? "key " + signature.keyId +
                                                 ", trusted comment: " + signature.trustedComment
                                           : "unreadable " + args.file + ".minisig";
    }
    if (kind.empty()) {
        kind = DescribeKind(manifest);
    }
    if (args.json) {
        nlohmann::ordered_json document = {
            {"file", ValidUtf8(args.file)},
            {"comment", ValidUtf8(listing.comment)},
            {"entries", entries},
            {"files", files},
            {"directories", entries - files},
            {"size", size},
            {"compressedSize", listing.compressedBytes},
            {"packageBytes", packageBytes},
            {"version", manifest != nullptr ? nlohmann::ordered_json(ValidUtf8(manifest->version))
                                            : nlohmann::ordered_json(nullptr)},
            {"patch", manifest != nullptr && manifest->isPatch != 0},
            {"oldVersion", manifest != nullptr && manifest->isPatch != 0
                               ? nlohmann::ordered_json(ValidUtf8(manifest->oldVersion))
                               : nlohmann::ordered_json(nullptr)},
            {"allowDowngrade", manifest != nullptr && manifest->allowDowngrade != 0},
            {"kind", kind},
            {"sha256",
             sha256.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(sha256)},
            {"signature", !signature.present
                              ? nlohmann::ordered_json(nullptr)
                              : nlohmann::ordered_json{
                                    {"readable", signature.readable},
                                    {"keyId", OrNull(signature.keyId)},
                                    {"trustedComment", OrNull(ValidUtf8(signature.trustedComment))},
                                    {"mismatch", OrNull(mismatch)}}}};
        PrintJson(document);
        return 0;
    }
    std::printf("package:  %s\n", Printable(args.file).c_str());
    std::printf("comment:  %s\n", Printable(listing.comment).c_str());
    std::printf("entries:  %zu (%u files, %zu directories)\n", entries, files, entries - files);
    std::printf("bytes:    %llu unpacked, %llu packed, %llu package file\n",
                static_cast<unsigned long long>(size),
                static_cast<unsigned long long>(listing.compressedBytes),
                static_cast<unsigned long long>(packageBytes));
    std::printf("version:  %s\n",
                manifest != nullptr ? Printable(manifest->version).c_str() : "(no manifest)");
    std::printf("kind:     %s\n", Printable(kind).c_str());
    std::printf("sha256:   %s\n", sha256.empty() ? "(unavailable)" : sha256.c_str());
    std::printf("signature: %s\n", Printable(signatureText).c_str());
    if (!mismatch.empty()) {
        std::fflush(stdout);
        std::fprintf(stderr, "qzp: warning: %s.minisig: %s\n", Printable(args.file).c_str(),
                     Printable(mismatch).c_str());
    }
    return 0;
}

}  // namespace

void AddInfoCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<InfoArguments>();
    CLI::App* info = app.add_subcommand(
        "info",
        "Describe a package: comment, entry and byte totals, the manifest's version, whether it "
        "is a full update or a patch and for which version, the package's SHA-256, and who signed "
        "it "
        "(FILE.minisig beside it; not checked against any key: use verify --pubkey).");
    info->add_flag(
        "--json", args->json,
        "Print {\"file\", \"comment\", \"entries\", \"files\", \"directories\", "
        "\"size\", \"compressedSize\", \"packageBytes\", \"version\", \"patch\", "
        "\"oldVersion\", \"allowDowngrade\", \"kind\", \"sha256\", \"signature\": null or "
        "{\"readable\", "
        "\"keyId\", \"trustedComment\"}} instead");
    info->add_option("FILE", args->file, "The package")->check(HostPathCheck())->required();
    AddCodePageOption(info, args->codePage);
    AddQuietOption(info);
    info->callback([args, &status] { status = RunInfo(*args); });
}
