// The version gate's decision alone: every outcome, and the exact refusal text of a patch.
#include "app/update_decision.h"

#include <gtest/gtest.h>

namespace {

struct DecisionCase {
    const char* label;
    app::UpdateFacts facts;
    app::UpdateKind kind;
    const char16_t* installedVersion;
};

void PrintTo(const DecisionCase& c, std::ostream* os) {
    *os << c.label;
}

class Decision : public testing::TestWithParam<DecisionCase> {};

TEST_P(Decision, FollowsTheRecordThePatchFlagAndTheTips) {
    const DecisionCase& c = GetParam();
    const app::UpdateDecision decision = app::DecideUpdate(c.facts);
    EXPECT_EQ(decision.kind, c.kind);
    EXPECT_EQ(decision.installedVersion, c.installedVersion);
    if (c.kind == app::UpdateKind::kRefusePatchMismatch) {
        EXPECT_EQ(decision.refusalText,
                  u"This Patch only for version:" + c.facts.oldVersion + u"\n Update fail!");
        EXPECT_EQ(decision.refusalCaption, u"Update Patch");
    } else if (c.kind == app::UpdateKind::kRefuseDowngrade) {
        EXPECT_EQ(decision.refusalText, u"Update refused: version " + c.facts.packageVersion +
                                            u" is older than the installed version " +
                                            c.facts.installedVersion + u".");
    } else {
        EXPECT_TRUE(decision.refusalText.empty());
    }
}

using K = app::UpdateKind;

INSTANTIATE_TEST_SUITE_P(
    Gate, Decision,
    testing::Values(
        DecisionCase{"FullWithRecordAsks", {u"2.0", 0, u"", true, u"1.0", 1}, K::kFullAsks, u"1.0"},
        DecisionCase{"FullTipsOff", {u"2.0", 0, u"", true, u"1.0", 0}, K::kFullNoQuestion, u"1.0"},
        DecisionCase{"FullWithoutRecord",
                     {u"2.0", 0, u"", false, u"", 1},
                     K::kFullNoQuestion,
                     u"undetected"},
        DecisionCase{
            "RecordWithoutVersionAsks", {u"", 0, u"", true, u"", 7}, K::kFullAsks, u"undetected"},
        DecisionCase{
            "PatchOtherCase", {u"2.1", 1, u"v1.0A", true, u"V1.0a", 1}, K::kPatch, u"V1.0a"},
        DecisionCase{"PatchForUndetected",
                     {u"2.1", -3, u"UNDETECTED", false, u"", 1},
                     K::kPatch,
                     u"undetected"},
        DecisionCase{
            "PatchMismatch", {u"2.1", 1, u"1.5", true, u"1.0", 1}, K::kRefusePatchMismatch, u"1.0"},
        DecisionCase{"PatchLongerVersion",
                     {u"2.1", 1, u"1.0", true, u"1.0.1", 1},
                     K::kRefusePatchMismatch,
                     u"1.0.1"},
        // On a device with trusted keys an older package is refused, unless its manifest allows
        // it; versions without a digit are never ordered; without keys nothing is ordered.
        DecisionCase{"SignedOlderRefused",
                     {u"1.9", 0, u"", true, u"1.10", 1, 0, true},
                     K::kRefuseDowngrade,
                     u"1.10"},
        DecisionCase{"SignedOlderPatchRefused",
                     {u"2.0", 1, u"2.1", true, u"2.1", 1, 0, true},
                     K::kRefuseDowngrade,
                     u"2.1"},
        DecisionCase{"SignedOlderAllowed",
                     {u"1.9", 0, u"", true, u"1.10", 1, 1, true},
                     K::kFullAsks,
                     u"1.10"},
        DecisionCase{"SignedSameVersion",
                     {u"2.0", 0, u"", true, u"2.0.0", 0, 0, true},
                     K::kFullNoQuestion,
                     u"2.0.0"},
        DecisionCase{"SignedOverUndetected",
                     {u"1.0", 0, u"", true, u"", 1, 0, true},
                     K::kFullAsks,
                     u"undetected"},
        DecisionCase{"SignedWithoutDigits",
                     {u"beta", 0, u"", true, u"2.0", 1, 0, true},
                     K::kFullAsks,
                     u"2.0"},
        DecisionCase{"UnsignedOlderInstalls",
                     {u"1.0", 0, u"", true, u"2.0", 1, 0, false},
                     K::kFullAsks,
                     u"2.0"}),
    [](const testing::TestParamInfo<DecisionCase>& info) { return info.param.label; });

struct OrderCase {
    const char16_t* older;
    const char16_t* newer;  // equal to `older` when `equal`
    bool equal;
};

// The order of versions, both ways round: numbers as numbers, letters without regard to case,
// what follows a version makes it later unless it is only zeros and separators.
TEST(VersionOrder, NumbersTextAndTails) {
    for (const OrderCase& c : std::initializer_list<OrderCase>{
             {u"1.9", u"1.10", false},
             {u"2.0", u"2.0.0", true},
             {u"2.0", u"2.00", true},
             {u"V2.1", u"v2.1", true},
             {u"1.0", u"1.0-rc1", false},
             {u"1.0-rc1", u"1.0.1", false},
             {u"1.0-RC1", u"1.0-rc2", false},
             {u"9", u"10", false},
             {u"99999999999999999999", u"100000000000000000000", false},
             {u"1.2", u"1.2a", false},
             {u"2.0", u"2.0_0 ", true},
         }) {
        const std::u16string older = c.older;
        const std::u16string newer = c.newer;
        SCOPED_TRACE(std::string(older.begin(), older.end()) + " / " +
                     std::string(newer.begin(), newer.end()));
        EXPECT_EQ(app::CompareVersions(older, newer), c.equal ? 0 : -1);
        EXPECT_EQ(app::CompareVersions(newer, older), c.equal ? 0 : 1);
    }
    EXPECT_FALSE(app::IsOrderedVersion(u"undetected"));
    EXPECT_FALSE(app::IsOrderedVersion(u""));
    EXPECT_TRUE(app::IsOrderedVersion(u"beta2"));
}

}  // namespace
