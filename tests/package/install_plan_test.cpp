// The extraction plan against a made-up tree: every name shape that extraction could not write
// exactly, each refused with its entry and reason, and the shapes it can write, planned.
#include "package/install_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/file.h"
#include "platform/text.h"

namespace {

// The tree the kKeep mode sees: folded device path -> 'd' or 'f'.
std::map<std::u16string, char> g_tree;

// The made-up tree's attributes: paths fold case, `/` to `\`, doubled and trailing `\`s.
uint32_t FakeAttributes(const char16_t* path) {
    std::u16string folded;
    for (const char16_t* p = path; *p != 0; ++p) {
        const char16_t c = *p == u'/'                   ? u'\\'
                           : (*p >= u'A' && *p <= u'Z') ? static_cast<char16_t>(*p + 32)
                                                        : *p;
        if (c != u'\\' || folded.empty() || folded.back() != u'\\') {
            folded += c;
        }
    }
    if (folded.size() > 1 && folded.back() == u'\\') {
        folded.pop_back();
    }
    const auto found = g_tree.find(folded);
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
        e.size = e.directory ? 0 : 10 + entries.size();
        entries.push_back(e);
    }
    return entries;
}

struct PlanCase {
    const char* label;
    std::vector<std::u16string> names;
    PlanTree tree;
    PlanFault fault;      // kNone: the plan is complete
    uint32_t faultEntry;  // index of the refused entry
    std::string actions;  // with kNone: one letter per step, d/c/r (directory, create, replace)
};

// Options over the made-up tree, with the manifest rules. The tree of every case: the target, a
// directory D, a file T.
PlanOptions Options(PlanTree tree) {
    g_tree = {{u"\\f", 'd'}, {u"\\f\\d", 'd'}, {u"\\f\\t", 'f'}, {u"\\f\\d\\old.txt", 'f'}};
    return {.target = u"\\F\\", .tree = tree, .manifestRules = true, .attributes = &FakeAttributes};
}

class PlanShapes : public testing::TestWithParam<PlanCase> {};

TEST_P(PlanShapes, RefusesWhatExtractionCannotWriteAndPlansTheRest) {
    const PlanCase& c = GetParam();
    InstallPlan plan;
    const bool ok = BuildInstallPlan(Entries(c.names), Options(c.tree), plan);
    EXPECT_EQ(plan.fault, c.fault) << PlanFaultText(plan.fault);
    ASSERT_EQ(ok, c.fault == PlanFault::kNone);
    if (!ok) {
        EXPECT_EQ(plan.faultEntry, c.faultEntry);
        EXPECT_TRUE(plan.steps.empty());
        return;
    }
    std::string actions;
    for (const PlanStep& step : plan.steps) {
        actions += step.action == PlanAction::kMakeDirectory ? 'd'
                   : step.action == PlanAction::kCreateFile  ? 'c'
                   : step.again                              ? 'a'
                                                             : 'r';
        // A file written again is replaced with the earlier entry's bytes (the one before it in
        // these rows) as its old size.
        EXPECT_EQ(step.earlierSize, step.again && step.size > 0 ? 9u + step.entry : 0u);
    }
    EXPECT_EQ(actions, c.actions);
    // A plan for the verdict alone keeps, instead of the steps, which entries replace a file.
    PlanOptions verdict = Options(c.tree);
    verdict.verdictOnly = true;
    InstallPlan bits;
    ASSERT_TRUE(BuildInstallPlan(Entries(c.names), verdict, bits));
    for (const PlanStep& step : plan.steps) {
        EXPECT_EQ(bits.replaces[step.entry], step.action == PlanAction::kReplaceFile);
    }
}

// A name of 101 levels: far more levels than entries, so the planner's tables grow while planning.
std::u16string Deep(char16_t level) {
    std::u16string name;
    for (int i = 0; i < 100; ++i) {
        name += level;
        name += u'\\';
    }
    return name + level;
}

constexpr PlanTree K = PlanTree::kKeep;
constexpr PlanTree E = PlanTree::kEmpty;

using F = PlanFault;

const PlanCase kPlanCases[] = {
    // One row per fault the name rule feeds (its shapes: name_rules_test NameRule).
    {"EmptyName", {u"a", u""}, E, F::kEmptyName, 1, ""},
    {"DotLevel", {u"VORIZ\\.|d"}, E, F::kDotLevel, 0, ""},
    {"EmptyLevelBesideSlash", {u"a\\/b"}, E, F::kEmptyLevel, 0, ""},
    {"FileEndingWithSeparator", {u"a/"}, E, F::kEmptyLevel, 0, ""},
    {"DrivePrefix", {u"C:evil"}, E, F::kReservedName, 0, ""},
    {"ForbiddenCharacter", {u"a\\b?c"}, E, F::kBadLevel, 0, ""},
    // Two entries on one path: two files are both written, the later over the earlier (a: its
    // replacement); a file against a directory is refused.
    {"SameNameOtherCase", {u"A\\b.txt", u"a\\B.TXT"}, E, F::kNone, 0, "ca"},
    {"SlashAndBackslashSpelling", {u"a\\b", u"a/b"}, E, F::kNone, 0, "ca"},
    {"LeadingBackslashSpelling", {u"a", u"\\A", u"a"}, E, F::kNone, 0, "caa"},
    {"DoubledBackslashSpelling", {u"VORIZ\\a.txt", u"voriz\\\\A.TXT"}, K, F::kNone, 0, "ca"},
    {"KeptFileWrittenTwice", {u"d\\old.txt", u"D\\OLD.TXT"}, K, F::kNone, 0, "ra"},
    {"DirectoryThenFileInOtherCase", {u"X\\", u"x"}, E, F::kSamePath, 1, ""},
    {"DeepNameInOtherCase", {Deep(u'a'), Deep(u'A')}, E, F::kNone, 0, "ca"},
    {"RepeatedDirectoryEntry", {u"X\\", u"x\\"}, E, F::kNone, 0, "dd"},
    // A level that goes on past the last entry's (the shared text ends inside it) is another.
    {"LevelLongerThanTheLastOne", {u"x\\ab", u"x\\abc\\d.txt"}, E, F::kNone, 0, "cc"},
    {"FileThenDirectory", {u"X", u"X\\"}, E, F::kSamePath, 1, ""},
    {"FileThenFileBelowIt", {u"Y", u"Y\\c.txt"}, E, F::kFileInTheWay, 1, ""},
    {"FileBelowThenFile", {u"Y\\c.txt", u"Y"}, E, F::kDirectoryInTheWay, 1, ""},
    // Against the tree a patch keeps; the same names are fine once the tree is emptied.
    {"FileOverKeptDirectory", {u"D"}, K, F::kDirectoryInTheWay, 0, ""},
    {"FileOverPurgedDirectory", {u"D"}, E, F::kNone, 0, "c"},
    {"DirectoryOverKeptFile", {u"t\\"}, K, F::kFileInTheWay, 0, ""},
    {"FileBelowKeptFile", {u"T\\x.txt"}, K, F::kFileInTheWay, 0, ""},
    {"FileBelowPurgedFile", {u"T\\x.txt"}, E, F::kNone, 0, "c"},
    {"KeptFileReplaced", {u"d\\OLD.txt", u"d\\new.txt"}, K, F::kNone, 0, "rc"},
    // `/`: the file system opens through it, extraction never creates a level before it.
    {"SlashBelowEarlierDirectories", {u"a\\", u"a\\b\\", u"a/b/c.txt"}, E, F::kNone, 0, "ddc"},
    {"DoubledBackslashMakesTheParent", {u"a\\\\b", u"a/c"}, E, F::kNone, 0, "cc"},
    {"LeadingBackslashesBelowTheTarget", {u"\\\\a"}, E, F::kNone, 0, "c"},
    {"SlashBelowKeptDirectory", {u"d/c.txt"}, K, F::kNone, 0, "c"},
    {"SlashBelowPurgedDirectory", {u"d/c.txt"}, E, F::kParentMissing, 0, ""},
    {"SlashThenBackslash", {u"x\\a/b\\c.txt"}, E, F::kParentMissing, 0, ""},
    {"BackslashParentsAreMade", {u"x\\y\\z.txt"}, E, F::kNone, 0, "c"},
    {"DirectoryEntryParentsAreMade", {u"p\\q\\"}, E, F::kNone, 0, "d"},
    // The manifest: one file entry named VORIZ\INDEX.INI, written last.
    {"ManifestMovedLast", {u"VORIZ\\", u"\\voriz\\index.ini", u"VORIZ\\a"}, E, F::kNone, 0, "dcc"},
    {"TwoManifests", {u"VORIZ\\INDEX.INI", u"voriz\\index.ini"}, E, F::kSecondManifest, 1, ""},
    {"ManifestAsDirectory", {u"VORIZ\\INDEX.INI|d"}, E, F::kManifestIsDirectory, 0, ""},
    {"ManifestWithSlash", {u"VORIZ/INDEX.INI"}, E, F::kManifestMisspelt, 0, ""},
    {"ManifestDoubled", {u"VORIZ\\a", u"voriz\\\\index.ini"}, E, F::kManifestMisspelt, 1, ""},
    {"SlashedAfter", {u"VORIZ\\INDEX.INI", u"voriz/index.ini"}, E, F::kManifestMisspelt, 1, ""},
    // Several entries at fault: any name's fault first, then the manifest rules', then the first
    // entry that cannot be placed, whatever their order.
    {"LateBadName", {u"X", u"X\\", u"a\\b?c"}, E, F::kBadLevel, 2, ""},
    {"LateMisspelt", {u"X", u"X\\", u"VORIZ/INDEX.INI"}, E, F::kManifestMisspelt, 2, ""},
    {"BadNameBeatsMisspelt", {u"VORIZ/INDEX.INI", u"a\\b?c"}, E, F::kBadLevel, 1, ""},
};

INSTANTIATE_TEST_SUITE_P(Names, PlanShapes, testing::ValuesIn(kPlanCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Plan, OrderPutsTheManifestLastAndCountsNewDirectories) {
    InstallPlan plan;
    ASSERT_TRUE(BuildInstallPlan(
        Entries({u"VORIZ\\INDEX.INI", u"VORIZ\\Maps\\a.dat", u"D\\x\\", u"PowerOffLogo.bmp"}),
        Options(PlanTree::kKeep), plan));
    EXPECT_EQ(plan.manifest, 0u);
    EXPECT_EQ(plan.order, (std::vector<uint32_t>{1, 2, 3, 0}));
    EXPECT_EQ(plan.newDirectoryCount, 3u);  // VORIZ, VORIZ\Maps, D\x
    EXPECT_EQ(plan.steps.back().entry, 0u);
}

// The plan keeps hashes of level names, confirmed on the names: two levels whose hashes meet are
// still two paths (a directory and a file there are no clash).
TEST(Plan, LevelsWhoseHashesMeetStayApart) {
    std::unordered_map<uint32_t, std::u16string> seen;
    std::u16string a, b;
    for (uint32_t i = 100000; b.empty(); ++i) {  // names of one length
        const std::string digits = std::to_string(i);
        const std::u16string name(digits.begin(), digits.end());
        const auto [met, added] =
            seen.emplace(static_cast<uint32_t>(std::hash<std::u16string_view>{}(name)), name);
        if (!added) {
            a = met->second;
            b = name;
        }
    }
    InstallPlan plan;
    EXPECT_TRUE(
        BuildInstallPlan(Entries({a + u"\\", b, a + u"\\x"}), Options(PlanTree::kKeep), plan));
}

TEST(Plan, LengthsCountTheJoinedPathOnlyAndAMissingTargetIsRefused) {
    PlanOptions options = Options(PlanTree::kKeep);  // a target of 3 units
    InstallPlan plan;
    EXPECT_TRUE(BuildInstallPlan(Entries({std::u16string(256, u'n')}), options, plan));
    EXPECT_FALSE(BuildInstallPlan(Entries({std::u16string(257, u'n')}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kPathTooLong);
    // A doubled `\` counts twice, as extraction joins the path, though it lands one unit shorter.
    EXPECT_FALSE(BuildInstallPlan(Entries({u"n\\\\" + std::u16string(254, u'n')}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kPathTooLong);
    // Unpacked elsewhere for a device folder: the folder counts instead of the target.
    options.limitFolder = u"\\ResidentFlash2\\";  // 16 units
    EXPECT_TRUE(BuildInstallPlan(Entries({std::u16string(243, u'n')}), options, plan));
    EXPECT_FALSE(BuildInstallPlan(Entries({std::u16string(244, u'n')}), options, plan));
    EXPECT_EQ(plan.fault, PlanFault::kPathTooLong);
    options.limitFolder = nullptr;
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
    std::u16string scratch;
    ASSERT_TRUE(platform::ScratchPath(u"\\F\\d\\app.exe", PlanScratchRule(), scratch));
    EXPECT_EQ(platform::Utf16ToUtf8(scratch), "\\F\\d\\~qzpnew.tmp");
    for (std::size_t name = 1; name <= 12; ++name) {
        const std::u16string path =
            u"\\" + std::u16string(257 - name, u'L') + u"\\" + std::u16string(name, u'n');
        ASSERT_EQ(path.size(), 259u);
        ASSERT_TRUE(platform::ScratchPath(path, PlanScratchRule(), scratch));
        const std::u16string made = scratch;
        // Under a host folder longer than the device folder it stands for: the same name.
        const std::u16string host = u"\\" + std::u16string(300, u'H') + path;
        std::u16string hosted;
        ASSERT_TRUE(platform::ScratchPath(host, PlanScratchRule(-301), hosted));
        EXPECT_EQ(hosted.substr(hosted.rfind(u'\\')), made.substr(made.rfind(u'\\')));
        EXPECT_LE(made.size(), 259u);
        const std::u16string level = made.substr(made.rfind(u'\\') + 1);
        EXPECT_EQ(level, std::u16string(u"~qzpnew.tmp").substr(0, level.size()));
        EXPECT_EQ(level.size(), name == 8 ? 7u : std::min<std::size_t>(name, 11)) << "no end dot";
        // A name that is this scratch name, in any letter case, moves the plan to a base whose
        // names it cannot be.
        std::u16string upper = level;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; });
        InstallPlan plan;
        ASSERT_TRUE(BuildInstallPlan(Entries({u"VORIZ\\" + upper, u"_"}), {}, plan));
        EXPECT_FALSE(platform::IsScratchLevel(level, plan.scratchBase));
        EXPECT_FALSE(platform::IsScratchLevel(u"_", plan.scratchBase));
    }
    EXPECT_FALSE(platform::ScratchPath(u"\\F\\d\\", PlanScratchRule(), scratch));
}

}  // namespace
