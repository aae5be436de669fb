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
                     u"1.0.1"}),
    [](const testing::TestParamInfo<DecisionCase>& info) { return info.param.label; });

}  // namespace
