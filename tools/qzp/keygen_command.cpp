// qzp keygen: a new minisign key pair, the secret key encrypted with a password unless told not
// to be.
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/file.h"
#include "platform/replace.h"
#include "signature/minisign.h"
#include "signature/minisign_keys.h"
#include "signature/signature_files.h"
#include "tools/qzp/commands.h"
#include "tools/qzp/host_files.h"
#include "tools/qzp/host_path.h"
#include "tools/qzp/output.h"
#include "tools/qzp/password.h"

namespace {

struct KeygenArguments {
    std::string publicFile;
    std::string secretFile;
    bool noPassword = false;
    bool force = false;
    PasswordSource password;
};

// A scratch file's writer of `text`, made private to its owner when `ownerOnly`.
std::function<bool(std::FILE*)> TextWriter(const std::string& text, bool ownerOnly,
                                           bool& permitted) {
    return [&text, ownerOnly, &permitted](std::FILE* stream) {
#ifndef _WIN32
        permitted = !ownerOnly || fchmod(fileno(stream), S_IRUSR | S_IWUSR) == 0;
#else
        (void)ownerOnly;  // a new file takes the folder's permissions
#endif
        return permitted && platform::WriteStream(stream, text.data(), text.size()) == text.size();
    };
}

// Both key files or neither: the secret key's scratch file, complete, is renamed over it only
// once the public key has replaced its own, and the old public key is put back when that rename
// fails. The pair of keys that stand always belongs together.
int WriteKeyPair(const KeygenArguments& args, const std::string& secretText,
                 const std::string& publicText) {
    std::u16string secret;
    std::u16string publicKey;
    std::string error;
    if (!ToDevicePath(args.secretFile, secret, error)) {
        return ReportFailure(args.secretFile, error);
    }
    if (!ToDevicePath(args.publicFile, publicKey, error)) {
        return ReportFailure(args.publicFile, error);
    }
    std::error_code code;
    const bool hadPublic =
        std::filesystem::exists(std::filesystem::symlink_status(FsPath(args.publicFile), code));
    std::optional<std::string> oldPublic(std::in_place);
    if (ReadSmallFile(publicKey.c_str(), kMaxKeyFileBytes, &*oldPublic) != 0) {
        oldPublic.reset();
    }
    const platform::ScratchRule rule = platform::ScratchRule::OfThisRun();
    const std::u16string publicBase = std::u16string(rule.base) + u".pub";
    bool permitted = true;
    std::string publicFailure;
    const platform::ReplaceResult result = platform::ReplaceFile(
        secret.c_str(), rule, TextWriter(secretText, true, permitted), [&](const char16_t*) {
            bool unused = true;
            if (platform::ReplaceFile(publicKey.c_str(), platform::ScratchRule{publicBase},
                                      TextWriter(publicText, false, unused)) ==
                platform::ReplaceResult::kReplaced) {
                return true;
            }
            publicFailure = "cannot write: " + OsReason();
            return false;
        });
    if (result == platform::ReplaceResult::kReplaced) {
        return 0;
    }
    if (!publicFailure.empty()) {
        return ReportFailure(args.publicFile, publicFailure);
    }
    const std::string reason =
        permitted ? "cannot write: " + OsReason() : "cannot make the file private to its owner";
    if (result == platform::ReplaceResult::kRename) {
        bool unused = true;
        if (oldPublic) {
            platform::ReplaceFile(publicKey.c_str(), platform::ScratchRule{publicBase},
                                  TextWriter(*oldPublic, false, unused));
        } else if (!hadPublic) {
            platform::RemoveFile(publicKey.c_str());
        }
    }
    return ReportFailure(args.secretFile, reason);
}

int RunKeygen(const CLI::App& command, const KeygenArguments& args) {
    if (args.noPassword && (args.password.fd >= 0 || !args.password.envName.empty())) {
        return ReportUsage(command, "--no-password takes no password");
    }
    std::error_code code;
    if (std::filesystem::equivalent(FsPath(args.publicFile), FsPath(args.secretFile), code) ||
        args.publicFile == args.secretFile) {
        return ReportUsage(command, "the public and the secret key need two files");
    }
    for (const std::string* file : {&args.secretFile, &args.publicFile}) {
        if (std::filesystem::is_directory(FsPath(*file), code)) {
            return ReportFailure(*file, "is a directory; name the key file to write");
        }
        if (!args.force &&
            std::filesystem::exists(std::filesystem::symlink_status(FsPath(*file), code))) {
            return ReportFailure(*file, "exists; give --force to replace the key pair");
        }
        // Both folders are known to take a file before either key is written.
        if (CheckOutput(*file, {}) != 0) {
            return 1;
        }
    }
    std::string password;
    if (!args.noPassword && ReadPassword(args.password, args.secretFile, true, password) != 0) {
        return 1;
    }
    std::string publicText, secretText, keyId;
    KeyFault fault = KeyFault::kNone;
    const int32_t made = MakeKeyPair(args.noPassword ? nullptr : &password, &publicText,
                                     &secretText, &keyId, &fault);
    sodium_memzero(password.data(), password.size());
    if (made != 0) {
        return ReportFailure(args.secretFile, KeyFaultText(fault));
    }
    const int written = WriteKeyPair(args, secretText, publicText);
    sodium_memzero(secretText.data(), secretText.size());
    if (written != 0) {
        return 1;
    }
    std::printf("%s: secret key%s, key id %s\n", Printable(args.secretFile).c_str(),
                args.noPassword ? " (not encrypted)" : "", keyId.c_str());
    std::printf("%s: public key, key id %s\n", Printable(args.publicFile).c_str(), keyId.c_str());
    return 0;
}

}  // namespace

void AddKeygenCommand(CLI::App& app, int& status) {
    auto args = std::make_shared<KeygenArguments>();
    CLI::App* keygen = app.add_subcommand(
        "keygen",
        "Make a new key pair in minisign's formats, for qzp sign (and minisign -S): the secret "
        "key, encrypted with a password as minisign does (scrypt) and readable by its owner "
        "alone, and the public key that qzp verify --pubkey and devices "
        "(\\Windows\\qzpupdate.pub) trust. The password is asked on the terminal without echo, "
        "or read with --password-fd or --password-env. Existing files are never replaced "
        "without --force.");
    keygen->add_option("--pubkey", args->publicFile, "The public key file to write")
        ->check(HostPathCheck())
        ->required();
    keygen->add_option("--key", args->secretFile, "The secret key file to write")
        ->check(HostPathCheck())
        ->required();
    keygen->add_flag("--no-password", args->noPassword,
                     "Store the secret key unencrypted (anyone who reads the file can sign)");
    keygen->add_flag("--force", args->force, "Replace key files that exist");
    AddPasswordOptions(*keygen, args->password, "asked once");
    keygen->callback([keygen, args, &status] { status = RunKeygen(*keygen, *args); });
}
