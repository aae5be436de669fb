// The stored-name rule, and the writer, the verifier, the plan and extraction applying it alike
// (the writer refusing a doubled `\` besides).
#include "package/name_rules.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "package/install_plan.h"
#include "package/verify.h"
#include "package/writer.h"
#include "platform/text.h"
#include "tests/package/package_fixture.h"

namespace {

struct NameCase {
    std::string name;  // stored bytes
    bool directory;
    NameFault fault;             // as a reader applies the rule
    bool writerRefuses = false;  // with kEmptyLevel: a spelling the writer never stores
};

const NameCase kNames[] = {
    {"a.txt", false, NameFault::kNone},
    {"VORIZ\\DATA\\b.bin", false, NameFault::kNone},
    {"a..b", false, NameFault::kNone},
    {".hidden", false, NameFault::kNone},
    {"x\\..y", false, NameFault::kNone},
    {"\\lead", false, NameFault::kNone},  // leading `\`s are below the target
    {"dir\\", true, NameFault::kNone},
    {"~\\~QZPnew.TMP", false, NameFault::kNone},  // the plan chooses a scratch base around it
    {"", false, NameFault::kEmpty},
    {"\\\\", true, NameFault::kEmpty},
    {"\\", false, NameFault::kEmpty},
    {"/", true, NameFault::kEmpty},
    {"VORIZ\\\\a.txt", false, NameFault::kNone, true},  // lands at VORIZ\a.txt
    {"a\\\\\\b\\", true, NameFault::kNone, true},
    {"a\\/b", false, NameFault::kEmptyLevel},  // next to a `/`: not skipped by extraction
    {"a/\\b", false, NameFault::kEmptyLevel},
    {"dir\\\\", true, NameFault::kEmptyLevel},
    {"/lead", false, NameFault::kEmptyLevel},
    {"a\\\\..\\x", false, NameFault::kDotLevel, true},
    {"a\\\\nul", false, NameFault::kDeviceName, true},
    {"dir\\", false, NameFault::kTrailingSeparator},
    {".\\x", false, NameFault::kDotLevel},
    {".", false, NameFault::kDotLevel},
    {"..", false, NameFault::kDotLevel},
    {"..\\x\\", true, NameFault::kDotLevel},
    {"x\\...\\y", false, NameFault::kDotLevel},
    {"C:\\x\\", true, NameFault::kDrivePrefix},
    {"a\\..\\..\\x", false, NameFault::kDotLevel},
    {"a/../x", false, NameFault::kDotLevel},
    {"a\\. .\\x", false, NameFault::kDotLevel},
    {"C:x", false, NameFault::kDrivePrefix},
    {"ab:c", false, NameFault::kBadCharacter},
    {"a\\what?.txt", false, NameFault::kBadCharacter},
    {"dir.\\x", false, NameFault::kTrailingDotOrBlank},
    {"x ", false, NameFault::kTrailingDotOrBlank},
    {"a\\Com1.log", false, NameFault::kDeviceName},
    {"nul", false, NameFault::kDeviceName},
    {std::string("VORIZ\\run.exe\0.txt", 18), false, NameFault::kControlCharacter},
    {std::string("ab\0", 3), false, NameFault::kControlCharacter},
    {"evil\x1b[31m", false, NameFault::kControlCharacter},
    {"tab\there", false, NameFault::kControlCharacter},
    {std::string(260, 'n'), false, NameFault::kNotText},
    // No text in the device's code page (UTF-8 here): a double-byte name, a cut sequence.
    {"VORIZ\\\x83\x5c.txt", false, NameFault::kNotText},
    {"a\xe3\x81", false, NameFault::kNotText},
};

NameFault WriterFault(const NameCase& c) {
    return c.writerRefuses ? NameFault::kEmptyLevel : c.fault;
}

class NameRule : public pkgtest::DeviceTest, public ::testing::WithParamInterface<NameCase> {};

// The rule gives the reason. Verification, the plan and extraction take exactly the names it
// accepts, and extraction puts them where the plan resolves them (leading and doubled `\`s
// skipped); the writer stores those names but a doubled `\`. A package holding a refused name
// still opens (so it can be listed).
TEST_P(NameRule, WriterVerifierPlanAndExtractionAgree) {
    const NameCase& c = GetParam();
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckStoredName(c.name, c.directory, nullptr, NameUse::kRead), c.fault)
        << NameFaultText(c.fault);
    EXPECT_EQ(CheckStoredName(c.name, c.directory), WriterFault(c)) << "the writer's rule";
    const bool accepted = c.fault == NameFault::kNone;

    WriteHost("src", pkgtest::Text("contents"));
    PackageWriter writer;
    const int32_t written =
        writer.Write({{c.name, c.directory ? std::u16string() : u"\\src"}}, u"\\w.qzp");
    EXPECT_EQ(written == 0, WriterFault(c) == NameFault::kNone) << writer.Error();
    if (written != 0 && c.name.size() <= 259) {
        EXPECT_EQ(writer.Error(), NameFaultText(WriterFault(c)));
    }

    if (c.name.size() > 259) {
        return;  // no package can hold it: the open refuses it
    }
    pkgtest::Builder b;
    if (c.directory) {
        b.Directory(c.name);
    } else {
        b.File(c.name, pkgtest::Text("contents"));
    }
    ASSERT_TRUE(Open(b.Build()));
    if (c.name.find('\0') == std::string::npos && c.fault != NameFault::kNotText) {
        const std::u16string wide = platform::Utf8ToUtf16(c.name);
        EXPECT_EQ(CheckEntryName(wide, c.directory), c.fault);
        EXPECT_EQ(CheckEntryName(wide, c.directory, NameUse::kStore), WriterFault(c));
        // Takes any name as a directory's: one trailing `\` passes.
        EXPECT_EQ(PackageNameIsSafe(wide.c_str()),
                  accepted || c.fault == NameFault::kTrailingSeparator);
    }
    PackageProblem problem{};
    EXPECT_EQ(PackageVerify(archive_, entries_, count_, nullptr, nullptr, &problem) == 1, accepted)
        << PackageFaultText(problem.fault);
    InstallPlan plan;
    EXPECT_EQ(PlanPackage(archive_, entries_, count_, {}, plan) == 1, accepted);
    EXPECT_EQ(PackageExtract(archive_, entries_, count_, u"\\out\\", nullptr, 0) == 1, accepted);
    if (!accepted) {
        EXPECT_TRUE(std::filesystem::is_empty(root_ / "out"));
        return;
    }
    std::string landed = "out/";  // the host path: `/` between levels, empty ones skipped
    for (const char ch : c.name) {
        if (ch != '\\') {
            landed += ch;
        } else if (landed.back() != '/') {
            landed += '/';
        }
    }
    if (c.directory) {
        EXPECT_TRUE(std::filesystem::is_directory(root_ / landed)) << landed;
    } else {
        EXPECT_EQ(ReadHost(landed), pkgtest::Text("contents")) << landed;
    }
}

INSTANTIATE_TEST_SUITE_P(Names, NameRule, ::testing::ValuesIn(kNames));

}  // namespace
