#include "tools/qzp/code_page_option.h"

#include <CLI/CLI.hpp>

#include "platform/file.h"
#include "platform/text.h"

void AddCodePageOption(CLI::App* command, uint32_t& codePage) {
    command
        ->add_option("--codepage", codePage,
                     "The device's code page, which stored names are in: a Windows code page "
                     "number such as 1252, 936 or 65001 (UTF-8)")
        ->check(CLI::Validator(
            [](std::string& text) {
                uint32_t number = 0;
                return CLI::detail::lexical_cast(text, number) &&
                               platform::CodePageAvailable(number)
                           ? std::string()
                           : "no code page this build converts with: " + text;
            },
            "CP"))
        ->default_str(std::to_string(platform::kDefaultCodePage));
}

CodePageFiles::CodePageFiles(uint32_t codePage)
    : files_(platform::FileSystem::HostPaths(nullptr, codePage)),
      bound_(std::make_unique<platform::UseFiles>(*files_)) {}

CodePageFiles::~CodePageFiles() = default;

std::string ShownName(const std::string& stored) {
    std::u16string wide;
    if (!platform::FromCodePage(stored, wide)) {
        return stored;
    }
    return platform::Utf16ToUtf8(wide);
}
