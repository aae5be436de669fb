// The extraction plan against a made-up tree: every name shape that extraction could not write
// exactly, each refused with its entry and reason, and the shapes it can write, planned.
#include "package/install_plan.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/file.h"
#include "platform/text.h"

namespace {

// The tree the kKeep mode sees: folded device path -> 'd' or 'f'.
std::map<std::u16string, char> g_tree;

std::u16string FoldedPath(const char16_t* path) {
    std::u16string folded;
    for (const char16_t* p = path; *p != 0; ++p) {
        char16_t c = *p == u'/' ? u'\\' : *p;
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
        if (c == u'\\' && !folded.empty() && folded.back() == u'\\') {
            continue;
        }
        folded += c;
    }
    if (folded.size() > 1 && folded.back() == u'\\') {
        folded.pop_back();
    }
    return folded;
}

uint32_t FakeAttributes(const char16_t* path) {
    const auto found = g_tree.find(FoldedPath(path));
    if (found == g_tree.end()) {
        return platform::kInvalidFileAttributes;
    }
    return found->second == 'd' ? platform::kAttributeDirectory : platform::kAttributeNormal;
}

// "name" is a file, "name\" or "name|d" a directory entry (a name without blocks).
std::vector<PlanEntry> Entries(const std::vector<std::u16string>& names) {
    std::vector<PlanEntry> entries;
    for (const std::u16string& name : names) {
        PlanEntry e;
        const bool marked = name.size() >= 2 && name.ends_with(u"|d");
        e.name = marked ? name.substr(0, name.size() - 2) : name;
        e.directory = marked || (!name.empty() && name.back() == u'\\');
        e.size = e.directory ? 0 : 10;
        entries.push_back(e);
    }
    return entries;
}

constexpr char16_t kTarget[] = u"\\F\\";

// The tree of every case: the target, a directory D, a file T, a directory with a '/' child.
void ResetTree() {
    g_tree = {{u"\\f", 'd'}, {u"\\f\\d", 'd'}, {u"\\f\\t", 'f'}, {u"\\f\\d\\old.txt", 'f'}};
}

struct PlanCase {
    const char* label;
    std::vector<std::u16string> names;
    PlanTree tree;
    PlanFault fault;      // kNone: the plan is complete
    uint32_t faultEntry;  // index of the refused entry
    std::string actions;  // with kNone: one letter per step, d/c/r (directory, create, replace)
};

void PrintTo(const PlanCase& c, std::ostream* os) {
    *os << c.label;
}

class PlanShapes : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanShapes, RefusesWhatExtractionCannotWriteAndPlansTheRest) {
    const PlanCase& c = GetParam();
    ResetTree();
    PlanOptions options;
    options.target = kTarget;
    options.tree = c.tree;
    options.manifestRules = true;
    options.attributes = &FakeAttributes;
    InstallPlan plan;
    const bool ok = BuildInstallPlan(Entries(c.names), options, plan);
    EXPECT_EQ(plan.fault, c.fault) << PlanFaultText(plan.fault);
    if (c.fault != PlanFault::kNone) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(plan.faultEntry, c.faultEntry);
        EXPECT_TRUE(plan.steps.empty());
        return;
    }
    ASSERT_TRUE(ok);
    std::string actions;
    for (const PlanStep& step : plan.steps) {
        actions += step.action == PlanAction::kMakeDirectory ? 'd'
                   : step.action == PlanAction::kCreateFile  ? 'c'
                                                             : 'r';
    }
    EXPECT_EQ(actions, c.actions);
}

constexpr PlanTree K = PlanTree::kKeep;
constexpr PlanTree E = PlanTree::kEmpty;

INSTANTIATE_TEST_SUITE_P(
    Names, PlanShapes,
    testing::Values(
        // Names that name nothing, or levels the device cannot create.
        PlanCase{"EmptyName", {u"a", u""}, E, PlanFault::kEmptyName, 1, ""},
        PlanCase{"OnlyBackslash", {u"\\"}, E, PlanFault::kEmptyName, 0, ""},
        PlanCase{"OnlySlashDirectory", {u"/|d"}, E, PlanFault::kEmptyName, 0, ""},
        PlanCase{"Dot", {u"."}, E, PlanFault::kDotLevel, 0, ""},
        PlanCase{"DotLevel", {u"VORIZ\\.|d"}, E, PlanFault::kDotLevel, 0, ""},
        PlanCase{"DotLevelInFile", {u".\\x"}, E, PlanFault::kDotLevel, 0, ""},
        PlanCase{"DotsAndBlanks", {u"x\\. .\\y"}, E, PlanFault::kDotLevel, 0, ""},
        PlanCase{"ParentLevel", {u"a/../../evil"}, E, PlanFault::kDotLevel, 0, ""},
        PlanCase{
            "DoubledBackslashMakesTheParent", {u"a\\\\b", u"a/c"}, E, PlanFault::kNone, 0, "cc"},
        PlanCase{"EmptyLevelBesideSlash", {u"a\\/b"}, E, PlanFault::kEmptyLevel, 0, ""},
        PlanCase{"FileEndingWithSeparator", {u"a/"}, E, PlanFault::kEmptyLevel, 0, ""},
        PlanCase{"DrivePrefix", {u"C:evil"}, E, PlanFault::kReservedName, 0, ""},
        PlanCase{"ScratchName", {u"d\\~QzpNew.TMP"}, E, PlanFault::kReservedName, 0, ""},
        PlanCase{"ShortScratchName", {u"~qz\\a"}, E, PlanFault::kReservedName, 0, ""},
        PlanCase{"ForbiddenCharacter", {u"a\\b?c"}, E, PlanFault::kBadLevel, 0, ""},
        PlanCase{"TrailingDot", {u"a.\\b"}, E, PlanFault::kBadLevel, 0, ""},
        PlanCase{"DeviceName", {u"x\\com1.txt"}, E, PlanFault::kBadLevel, 0, ""},
        PlanCase{"LeadingBackslashesBelowTheTarget", {u"\\\\a"}, E, PlanFault::kNone, 0, "c"},
        PlanCase{"HarmlessDots", {u"a..b", u".hidden", u"x\\..y"}, E, PlanFault::kNone, 0, "ccc"},
        // Two entries on one path, files against directories within the package.
        PlanCase{"SameNameOtherCase", {u"A\\b.txt", u"a\\B.TXT"}, E, PlanFault::kSamePath, 1, ""},
        PlanCase{"SlashAndBackslashSpelling", {u"a\\b", u"a/b"}, E, PlanFault::kSamePath, 1, ""},
        PlanCase{"LeadingBackslashSpelling", {u"a", u"\\A"}, E, PlanFault::kSamePath, 1, ""},
        PlanCase{"DoubledBackslashSpelling",
                 {u"VORIZ\\a.txt", u"voriz\\\\A.TXT"},
                 E,
                 PlanFault::kSamePath,
                 1,
                 ""},
        PlanCase{"DirectoryThenFileInOtherCase", {u"X\\", u"x"}, E, PlanFault::kSamePath, 1, ""},
        PlanCase{"RepeatedDirectoryEntry", {u"X\\", u"x\\"}, E, PlanFault::kNone, 0, "dd"},
        PlanCase{"DirectoryThenFile", {u"X\\", u"X"}, E, PlanFault::kSamePath, 1, ""},
        PlanCase{"FileThenDirectory", {u"X", u"X\\"}, E, PlanFault::kSamePath, 1, ""},
        PlanCase{"FileThenFileBelowIt", {u"Y", u"Y\\c.txt"}, E, PlanFault::kFileInTheWay, 1, ""},
        PlanCase{"FileBelowThenFile", {u"Y\\c.txt", u"Y"}, E, PlanFault::kDirectoryInTheWay, 1, ""},
        // Against the tree a patch keeps; the same names are fine once the tree is emptied.
        PlanCase{"FileOverKeptDirectory", {u"D"}, K, PlanFault::kDirectoryInTheWay, 0, ""},
        PlanCase{"FileOverPurgedDirectory", {u"D"}, E, PlanFault::kNone, 0, "c"},
        PlanCase{"DirectoryOverKeptFile", {u"t\\"}, K, PlanFault::kFileInTheWay, 0, ""},
        PlanCase{"FileBelowKeptFile", {u"T\\x.txt"}, K, PlanFault::kFileInTheWay, 0, ""},
        PlanCase{"FileBelowPurgedFile", {u"T\\x.txt"}, E, PlanFault::kNone, 0, "c"},
        PlanCase{"KeptFileReplaced", {u"d\\OLD.txt", u"d\\new.txt"}, K, PlanFault::kNone, 0, "rc"},
        // `/`: the file system opens through it, extraction never creates a level before it.
        PlanCase{"SlashWithoutParents", {u"a/b/c.txt"}, E, PlanFault::kParentMissing, 0, ""},
        PlanCase{"SlashBelowEarlierDirectories",
                 {u"a\\", u"a\\b\\", u"a/b/c.txt"},
                 E,
                 PlanFault::kNone,
                 0,
                 "ddc"},
        PlanCase{"SlashBelowKeptDirectory", {u"d/c.txt"}, K, PlanFault::kNone, 0, "c"},
        PlanCase{"SlashBelowPurgedDirectory", {u"d/c.txt"}, E, PlanFault::kParentMissing, 0, ""},
        PlanCase{"SlashThenBackslash", {u"x\\a/b\\c.txt"}, E, PlanFault::kParentMissing, 0, ""},
        PlanCase{"BackslashParentsAreMade", {u"x\\y\\z.txt"}, E, PlanFault::kNone, 0, "c"},
        PlanCase{"DirectoryEntryParentsAreMade", {u"p\\q\\"}, E, PlanFault::kNone, 0, "d"},
        // The manifest: one file entry named VORIZ\INDEX.INI, written last.
        PlanCase{"ManifestMovedLast",
                 {u"VORIZ\\", u"\\voriz\\index.ini", u"VORIZ\\a"},
                 E,
                 PlanFault::kNone,
                 0,
                 "dcc"},
        PlanCase{"TwoManifests",
                 {u"VORIZ\\INDEX.INI", u"voriz\\index.ini"},
                 E,
                 PlanFault::kSecondManifest,
                 1,
                 ""},
        PlanCase{"ManifestAsDirectory",
                 {u"VORIZ\\INDEX.INI|d"},
                 E,
                 PlanFault::kManifestIsDirectory,
                 0,
                 ""},
        PlanCase{"ManifestWithSlash", {u"VORIZ/INDEX.INI"}, E, PlanFault::kManifestMisspelt, 0, ""},
        PlanCase{"ManifestWithDoubledBackslash",
                 {u"VORIZ\\a", u"voriz\\\\index.ini"},
                 E,
                 PlanFault::kManifestMisspelt,
                 1,
                 ""},
        PlanCase{"ManifestWithSlashAfterIt",
                 {u"VORIZ\\INDEX.INI", u"voriz/index.ini"},
                 E,
                 PlanFault::kManifestMisspelt,
                 1,
                 ""}),
    [](const testing::TestParamInfo<PlanCase>& info) { return info.param.label; });

TEST(Plan, OrderPutsTheManifestLastAndListsNewDirectories) {
    ResetTree();
    PlanOptions options;
    options.target = kTarget;
    options.tree = PlanTree::kKeep;
    options.manifestRules = true;
    options.attributes = &FakeAttributes;
    InstallPlan plan;
    ASSERT_TRUE(BuildInstallPlan(
        Entries({u"VORIZ\\INDEX.INI", u"VORIZ\\Maps\\a.dat", u"D\\x\\", u"PowerOffLogo.bmp"}),
        options, plan));
    EXPECT_EQ(plan.manifest, 0u);
    EXPECT_EQ(plan.order, (std::vector<uint32_t>{1, 2, 3, 0}));
    std::vector<std::string> made;
    for (const std::u16string& d : plan.newDirectories) {
        made.push_back(platform::Utf16ToUtf8(d));
    }
    EXPECT_EQ(made, (std::vector<std::string>{"\\F\\VORIZ", "\\F\\VORIZ\\Maps", "\\F\\D\\x"}));
    EXPECT_EQ(platform::Utf16ToUtf8(plan.steps.back().path), "\\F\\VORIZ\\INDEX.INI");
}

TEST(Plan, LengthsCountTheJoinedPathOnlyAndAMissingTargetIsRefused) {
    ResetTree();
    PlanOptions options;
    options.target = kTarget;  // 3 units
    options.attributes = &FakeAttributes;
    InstallPlan plan;
    EXPECT_TRUE(BuildInstallPlan(Entries({std::u16string(256, u'n')}), options, plan));
    EXPECT_FALSE(BuildInstallPlan(Entries({std::u16string(257, u'n')}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kPathTooLong);
    // A doubled `\` counts twice, as extraction joins the path, though it lands one unit shorter.
    EXPECT_FALSE(BuildInstallPlan(Entries({u"n\\\\" + std::u16string(254, u'n')}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kPathTooLong);
    // Names alone: the name's own 259 units.
    options.target = nullptr;
    EXPECT_TRUE(BuildInstallPlan(Entries({std::u16string(259, u'n')}), options, plan));
    options.target = u"\\";
    EXPECT_FALSE(BuildInstallPlan(Entries({u"\\server\\share"}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kEmptyLevel) << "a network path";
    options.target = u"\\missing\\";
    EXPECT_FALSE(BuildInstallPlan(Entries({u"a"}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kTargetMissing);
}

// Every path that fits 259 units can be replaced: the scratch name shrinks with the room, never
// ends with a dot, and is the same for the same path.
TEST(Plan, ScratchPathFitsWheneverThePathFits) {
    char16_t scratch[260];
    ASSERT_TRUE(PlanScratchPath(u"\\F\\d\\app.exe", scratch));
    EXPECT_EQ(platform::Utf16ToUtf8(scratch), "\\F\\d\\~qzpnew.tmp");
    for (std::size_t name = 1; name <= 12; ++name) {
        const std::u16string path =
            u"\\" + std::u16string(257 - name, u'L') + u"\\" + std::u16string(name, u'n');
        ASSERT_EQ(path.size(), 259u);
        ASSERT_TRUE(PlanScratchPath(path.c_str(), scratch));
        const std::u16string made = scratch;
        EXPECT_LE(made.size(), 259u);
        EXPECT_NE(made.back(), u'.');
        const std::u16string level = made.substr(made.rfind(u'\\') + 1);
        EXPECT_EQ(level, std::u16string(u"~qzpnew.tmp").substr(0, level.size()));
        EXPECT_EQ(level.size(), name == 8 ? 7u : std::min<std::size_t>(name, 11));
        // A name that is this scratch name is refused, so no entry can be overwritten by it.
        PlanOptions options;
        InstallPlan plan;
        EXPECT_FALSE(BuildInstallPlan(Entries({u"x\\" + level}), options, plan));
        EXPECT_EQ(plan.fault, PlanFault::kReservedName);
    }
    EXPECT_FALSE(PlanScratchPath(u"\\F\\d\\", scratch));
}

}  // namespace
