// qzp verify: inflates every block and checks every size and CRC-32, writing nothing; with
// trusted keys, first checks the package's minisign signature.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "package/package.h"
#include "platform/file.h"
#include "tools/qzp/code_page_option.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/opened_package.h"
#include "tools/qzp/output.h"
#include "tools/qzp/signature_report.h"
#include "tools/qzp/tree_listing.h"

namespace {

// A host that verifies a package keeps every name a catalogue can hold as it is (65,535 names of
// 259 bytes take 17 MB; the bound counts the directory's block rows too): the open then does not
// deflate the names, nor each plan inflate them again, which is a sixth of the time this command
// takes over a package of many small files. The other commands keep the device's budget, as
// bench/memory.sh holds them to it.
constexpr uint32_t kVerifyKeptNameBytes = 64u << 20;

struct VerifyArguments {
    uint32_t codePage = platform::kDefaultCodePage;
    std::string file;
    std::string pubkey;
    std::string signature;  // default FILE.minisig
    unsigned jobs = 0;
};

int RunVerify(const VerifyArguments& args) {
    const CodePageFiles names(args.codePage);
    PackageSetKeptNameBytes(kVerifyKeptNameBytes);
    OpenedPackage package;
    if (const int opened = package.Open(args.file); opened != 0) {
        return opened;
    }
    if (!args.pubkey.empty()) {
        const std::string signature =
            args.signature.empty() ? args.file + ".minisig" : args.signature;
        if (const int status =
                CheckPackageSignature(package, args.file, args.pubkey, signature, args.jobs);
            status != 0) {
            return status;
        }
    } else if (const int status = VerifyPackage(package, args.file, args.jobs); status != 0) {
        return status;
    }
    // Without keys, a signature beside the package is still looked at: one left from another
    // package would pass for this one's until a device refused it.
    if (const SignatureSummary signature = SummarizeSignature(args.file);
        args.pubkey.empty() && signature.readable) {
        TreeListing listing;
        if (LoadTree(args.file, listing) != 0) {
            return 1;
        }
        const std::string mismatch =
            SignatureMismatch(signature, listing.manifest ? &*listing.manifest : nullptr);
        if (!mismatch.empty()) {
            return ReportFailure(args.file + ".minisig", mismatch);
        }
    }
    std::printf("%s: %u entries OK\n", Printable(args.file).c_str(), package.count);
    return 0;
}

}  // namespace

void AddVerifyCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<VerifyArguments>();
    CLI::App* verify = app.add_subcommand(
        "verify",
        "Check a package without writing anything: every block is inflated and its size "
        "checked, and every file's CRC-32 compared; names the first damaged entry. Then says "
        "where and why a device would refuse it, if every device would.");
    verify->add_option("FILE", args->file, "The package")->check(HostPathCheck())->required();
    CLI::Option* pubkey =
        verify
            ->add_option("--pubkey", args->pubkey,
                         "Trusted keys (a minisign public key file, one or more keys): the "
                         "package must also be signed by one of them. Prints the signer's key id "
                         "and the trusted comment")
            ->check(HostPathCheck());
    verify
        ->add_option("--sig", args->signature,
                     "The minisign signature to check (default: FILE.minisig); needs --pubkey")
        ->check(HostPathCheck())
        ->needs(pubkey);
    verify
        ->add_option("--jobs", args->jobs,
                     "Threads that inflate blocks (default: one per processor); the first "
                     "damaged entry is the same whatever the number")
        ->check(CLI::Range(1u, 64u));
    AddCodePageOption(verify, args->codePage);
    AddQuietOption(verify);
    verify->callback([args, &status] { status = RunVerify(*args); });
}
