// The version gate's decision alone: every outcome, and the exact refusal text of a patch.
#include "app/update_decision.h"

#include <gtest/gtest.h>

namespace {

using enum app::UpdateKind;

struct DecisionCase {
    const char* label;
    app::UpdateFacts facts;
    app::UpdateKind kind;
    const char16_t* installedVersion;
};

// On a device with trusted keys (the last fact) an older package is refused, unless its manifest
// allows it; versions without a digit are never ordered; without keys nothing is ordered.
const DecisionCase kDecisions[] = {
    {"FullWithRecordAsks", {u"2.0", 0, u"", true, u"1.0", 1}, kFullAsks, u"1.0"},
    {"FullTipsOff", {u"2.0", 0, u"", true, u"1.0", 0}, kFullNoQuestion, u"1.0"},
    {"FullWithoutRecord", {u"2.0", 0, u"", false, u"", 1}, kFullNoQuestion, u"undetected"},
    {"RecordWithoutVersionAsks", {u"", 0, u"", true, u"", 7}, kFullAsks, u"undetected"},
    {"PatchOtherCase", {u"2.1", 1, u"v1.0A", true, u"V1.0a", 1}, kPatch, u"V1.0a"},
    {"PatchForUndetected", {u"2.1", -3, u"UNDETECTED", false, u"", 1}, kPatch, u"undetected"},
    {"PatchMismatch", {u"2.1", 1, u"1.5", true, u"1.0", 1}, kRefusePatchMismatch, u"1.0"},
    {"PatchLongerVersion", {u"2.1", 1, u"1.0", true, u"1.0.1", 1}, kRefusePatchMismatch, u"1.0.1"},
    {"SignedOlder", {u"1.9", 0, u"", true, u"1.10", 1, 0, true}, kRefuseDowngrade, u"1.10"},
    {"SignedOlderPatch", {u"2.0", 1, u"2.1", true, u"2.1", 1, 0, true}, kRefuseDowngrade, u"2.1"},
    {"SignedOlderAllowed", {u"1.9", 0, u"", true, u"1.10", 1, 1, true}, kFullAsks, u"1.10"},
    {"SignedSame", {u"2.0", 0, u"", true, u"2.0.0", 0, 0, true}, kFullNoQuestion, u"2.0.0"},
    {"SignedOverUndetected", {u"1.0", 0, u"", true, u"", 1, 0, true}, kFullAsks, u"undetected"},
    {"SignedWithoutDigits", {u"beta", 0, u"", true, u"2.0", 1, 0, true}, kFullAsks, u"2.0"},
    {"UnsignedOlderInstalls", {u"1.0", 0, u"", true, u"2.0", 1, 0, false}, kFullAsks, u"2.0"},
};

TEST(Decision, FollowsTheRecordThePatchFlagAndTheTips) {
    for (const DecisionCase& c : kDecisions) {
        SCOPED_TRACE(c.label);
        const app::UpdateDecision decision = app::DecideUpdate(c.facts);
        EXPECT_EQ(decision.kind, c.kind);
        EXPECT_EQ(decision.installedVersion, c.installedVersion);
        if (c.kind == kRefusePatchMismatch) {
            EXPECT_EQ(decision.refusalText,
                      u"This Patch only for version:" + c.facts.oldVersion + u"\n Update fail!");
            EXPECT_EQ(decision.refusalCaption, u"Update Patch");
        } else if (c.kind == kRefuseDowngrade) {
            EXPECT_EQ(decision.refusalText, u"Update refused: version " + c.facts.packageVersion +
                                                u" is older than the installed version " +
                                                c.facts.installedVersion + u".");
        } else {
            EXPECT_TRUE(decision.refusalText.empty());
        }
    }
}

// The order of versions, both ways round: numbers as numbers, letters without regard to case,
// what follows a version makes it later unless it is only zeros and separators.
TEST(VersionOrder, NumbersTextAndTails) {
    struct OrderCase {
        const char16_t* older;
        const char16_t* newer;  // equal to `older` when `equal`
        bool equal;
    };
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
        SCOPED_TRACE(testing::PrintToString(c.older) + " / " + testing::PrintToString(c.newer));
        EXPECT_EQ(app::CompareVersions(c.older, c.newer), c.equal ? 0 : -1);
        EXPECT_EQ(app::CompareVersions(c.newer, c.older), c.equal ? 0 : 1);
    }
    EXPECT_FALSE(app::IsOrderedVersion(u"undetected"));
    EXPECT_FALSE(app::IsOrderedVersion(u""));
    EXPECT_TRUE(app::IsOrderedVersion(u"beta2"));
}

}  // namespace
