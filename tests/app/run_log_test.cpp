// The technician's log on the card: one line per step whatever the package holds, appending,
// trimming to the last 64 KB in whole lines, and a card that cannot take it.
#include "app/run_log.h"

#include <gtest/gtest.h>

#include "app_fixture.h"
#include "platform/file.h"
#include "platform/text.h"

namespace apptest {
namespace {

const std::string kAdded = "2026-12-07 04:05:06 purge: \\ResidentFlash2 emptied\r\n";

std::string Lines(int count, std::size_t width) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += std::to_string(i) + std::string(width, '.') + "\r\n";
    }
    return text;
}

// The longest tail of `text` that starts a line and fits `limit` bytes.
std::string WholeLineTail(const std::string& text, std::size_t limit) {
    std::size_t start = 0;
    while (text.size() - start > limit) {
        start = text.find('\n', start) + 1;
    }
    return text.substr(start);
}

// Each row: what is written where before the call, and the log after kAdded (empty: the longest
// whole-line tail of both that fits the limit). A row that writes elsewhere than the log leaves a
// card that cannot take it: the call says so and changes nothing there. (A scratch name taken is
// the safe replace's own case.)
TEST(AppendToLog, KeepsTheLastWholeLinesWithinTheLimit) {
    const std::string log = "SDMMC/qzpupdate.log";
    const std::string full = std::string(65534 - kAdded.size(), 'x') + "\r\n";  // one line
    for (const auto& [name, at, before, after] :
         std::initializer_list<std::tuple<const char*, std::string, std::string, std::string>>{
             {"AfterEarlierRuns", log, Lines(3, 10), ""},
             {"AnUnfinishedLineStaysALine", log, "cut sho", "cut sho\r\n" + kAdded},
             {"ExactlyFull", log, full, full + kAdded},
             {"OneByteOverDropsTheFirstLine", log, "a\r\n" + full.substr(2),
              full.substr(2) + kAdded},
             {"FullLogDropsItsOldestLines", log, Lines(1000, 60), ""},
             {"LongLogKeepsItsTail", log, Lines(20000, 50), ""},
             {"AFolderAtTheLog", log + "/x", "", ""},
             {"AFileAtTheCard", "SDMMC", "a file where the card's folder goes", ""},
         }) {
        SCOPED_TRACE(name);
        DeviceImage image;
        const auto files = platform::FileSystem::DeviceImage(image.Root().string());
        const platform::UseFiles bound(*files);
        fs::remove_all(image.Host("SDMMC"));
        image.WriteFile(at, before);
        const Tree tree = DeviceImage::TreeOf(image.Root());
        if (at != log) {
            EXPECT_FALSE(app::AppendToLog(app::kRunLogPath, kAdded, app::kRunLogLimit));
            EXPECT_EQ(TreeDifference(tree, DeviceImage::TreeOf(image.Root())), "");
            continue;
        }
        ASSERT_TRUE(app::AppendToLog(app::kRunLogPath, kAdded, app::kRunLogLimit));

        const std::string written = ReadAll(image.Host(log));
        const std::string expected =
            after.empty() ? WholeLineTail(before + kAdded, app::kRunLogLimit) : after;
        EXPECT_TRUE(written == expected) << written.size() << " bytes, not " << expected.size();
        EXPECT_EQ(DeviceImage::TreeOf(image.Host("SDMMC")).size(), 1u) << "no scratch file left";
    }
}

// Every field of an outcome may come from the package or the card; none can end its line, forge
// another or reach a terminal reading the log as a control sequence. The escaping itself is
// Escaping's (text_test); the message a box shows is escaped in the log line of the end-to-end
// row Ui/InvalidWithControlCharacters.
struct LineCase {
    const char* name;
    app::StepOutcome outcome;
    std::string line;
};

app::StepOutcome WithSystemError(app::StepOutcome outcome, std::string error) {
    outcome.systemError = std::move(error);
    return outcome;
}

TEST(DescribeStep, IsOneEscapedLineOfAtMostOneKilobyte) {
    using app::Ending;
    using app::Step;
    for (const LineCase& c : std::initializer_list<LineCase>{
             {"VersionsInTheDecision",
              app::Done(Step::kDecision,
                        "package 2.0\r\x1b[2J, installed 1.0\x07\v\f\xe2\x80\xa8: patch"),
              "decision: package 2.0\\r\\x1b[2J, installed 1.0\\x07\\x0b\\x0c\\xe2\\x80\\xa8: "
              "patch"},
             {"NelInANameAndTheSystemsWord",
              WithSystemError(app::Stop(Step::kExtraction, Ending::kExtractionFailed, "short write",
                                        u"VORIZ\\a\u0085b"),
                              "Input/output error\n"),
              "extraction: VORIZ\\a\\xc2\\x85b: short write (Input/output error\\n); shows "
              "\"Setup Failly ! \""},
             {"CutBetweenCharacters",
              app::Stop(Step::kCheck, Ending::kInvalidPackage, "",
                        u"x" + std::u16string(400, u'\u65e5')),
              "check: x" + platform::Utf16ToUtf8(std::u16string(338, u'\u65e5'))},
         }) {
        EXPECT_EQ(app::DescribeStep(c.outcome), c.line) << c.name;
    }
}

}  // namespace
}  // namespace apptest
