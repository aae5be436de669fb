#include "tools/qzp/run_history.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <string_view>

#include "platform/text.h"

namespace {

using Json = nlohmann::ordered_json;

// What each box the installer shows means, and what to do; matched on the start of the text as
// the log writes it.
struct Outcome {
    const char* text;
    const char* status;
    const char* meaning;
    const char* action;
};

constexpr Outcome kOutcomes[] = {
    {"Please remove SDMMC card.", "installed",
     "The update was installed; the device restarts once the box is answered.",
     "Nothing. The new version is the one the device reports."},
    {"Cannot find reboot function", "installed",
     "The update was installed but the vendor library cannot restart the device.",
     "Restart the device by hand."},
    {"Invalid update File", "refused",
     "The package was refused before anything was written: the step line says why (damaged "
     "block, bad or untrusted signature, a name or manifest no device takes).",
     "Copy a good package of the release to the card (compare its SHA-256), signed by a key the "
     "device trusts, and run the update again."},
    {"This Patch only for version:", "refused",
     "The patch is for another installed version; nothing was written.",
     "Use the full package, or the patch for the version the device has."},
    {"Update refused: version", "refused",
     "The package is older than the installed version; nothing was written.",
     "Use the current release, or a package that allows the downgrade."},
    {"The flash volume ResidentFlash2 lacks room", "refused",
     "The flash volume lacks room for the update; nothing was written.",
     "Free room on the flash volume or use a smaller package."},
    {"Failed to delete files in ResisdentFlash2", "failed",
     "The flash volume could not be emptied; it may be partly emptied.",
     "Close every program (or restart the device) and run the update again."},
    {"Startup Decode Thread Fial", "failed",
     "The extraction could not start; the flash volume was already emptied by a full update.",
     "Restart the device and run the update again."},
    {"Setup Failly !", "failed",
     "The extraction failed part way: the step line names the entry and the system's error. The "
     "old version record (or none) stays, so the next run repeats the whole update.",
     "Run the update again; if it fails at the same entry, replace the card or the package."},
};

constexpr Outcome kNoMessage = {"", "ended", "The run ended without a message.",
                                "Nothing, unless an update was expected: see the last step."};
constexpr Outcome kNoPackage = {"", "no package", "The card held no package.",
                                "Copy the package to the card as VORIZ.QZP."};
constexpr Outcome kCancelled = {"", "cancelled", "The user cancelled before anything was written.",
                                "Run the update again and confirm it."};
constexpr Outcome kUnfinished = {
    "", "unfinished", "The run stopped without an end: the power was cut or the installer crashed.",
    "Run the update again: the version record is written last, so an unfinished update is "
    "repeated whole. If it stops at the same step again, report it with this log."};

const Outcome& OutcomeOfBox(std::string_view shown) {
    for (const Outcome& outcome : kOutcomes) {
        if (shown.starts_with(outcome.text)) {
            return outcome;
        }
    }
    return kNoMessage;
}

// The text between `after` and the next `until` in `line` ("" when `after` is missing).
std::string Between(std::string_view line, std::string_view after, std::string_view until) {
    const std::size_t start = line.find(after);
    if (start == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = line.substr(start + after.size());
    return std::string(rest.substr(0, rest.find(until)));
}

struct Line {
    std::string time;
    std::string zone;
    std::string step;
    std::string text;
};

// "2026-12-07 04:05:06 [+0100 ]step: text"; false for anything else.
bool ParseLine(std::string_view line, Line& parsed) {
    if (line.size() < 21 || line[4] != '-' || line[10] != ' ' || line[13] != ':') {
        return false;
    }
    parsed.time = std::string(line.substr(0, 19));
    line.remove_prefix(20);
    parsed.zone.clear();
    if (line.size() > 5 && (line[0] == '+' || line[0] == '-') && line[5] == ' ') {
        parsed.zone = std::string(line.substr(0, 5));
        line.remove_prefix(6);
    }
    const std::size_t colon = line.find(": ");
    const std::size_t bare = line.find(':');
    const std::size_t end = colon != std::string_view::npos ? colon : bare;
    if (end == std::string_view::npos || end == 0) {
        return false;
    }
    parsed.step = std::string(line.substr(0, end));
    parsed.text = std::string(line.substr(std::min(line.size(), end + 2)));
    return true;
}

Json NewRun(const Line& first) {
    return {{"start", first.time},
            {"zone", first.zone.empty() ? Json(nullptr) : Json(first.zone)},
            {"installer", nullptr},
            {"codePage", nullptr},
            {"package", nullptr},
            {"sha256", nullptr},
            {"currentPackage", nullptr},
            {"steps", Json::array()},
            {"finished", false},
            {"outcome", nullptr}};
}

void SetOutcome(Json& run, const Outcome& outcome, const std::string& shown,
                const std::string& caption) {
    const Json& steps = run["steps"];
    run["outcome"] = {{"status", outcome.status},
                      {"shown", shown},
                      {"caption", caption},
                      {"reached", steps.empty() ? Json(nullptr) : steps.back()["step"]},
                      {"meaning", outcome.meaning},
                      {"action", outcome.action}};
}

// The outcome of a run that has ended, or of one that never did.
void Conclude(Json& run, const std::string& currentSha256) {
    if (run["sha256"].is_string() && !currentSha256.empty()) {
        run["currentPackage"] = run["sha256"] == currentSha256;
    }
    if (!run["outcome"].is_null()) {
        return;
    }
    // An older installer wrote no closing line: its last step line tells how the run ended.
    const Json& steps = run["steps"];
    const std::string step = steps.empty() ? "" : steps.back()["step"].get<std::string>();
    const std::string text = steps.empty() ? "" : steps.back()["text"].get<std::string>();
    const std::string shown = Between(text, "; shows \"", "\"");
    if (!shown.empty() || text.find("shows \"") == 0) {
        run["finished"] = true;
        SetOutcome(run, OutcomeOfBox(shown), shown, "");
    } else if (step == "logo") {
        run["finished"] = true;
        SetOutcome(run, kOutcomes[0], "Please remove SDMMC card.\\nClick OK to restart!",
                   "Setup Completely");
    } else if (text.ends_with("ends without a message")) {
        run["finished"] = true;
        SetOutcome(run, step == "package" ? kNoPackage : kCancelled, "", "");
    } else {
        SetOutcome(run, kUnfinished, "", "");
    }
}

}  // namespace

Json ReadRuns(const std::string& log, const std::string& currentSha256) {
    Json runs = Json::array();
    Json run;
    std::size_t start = 0;
    const auto flush = [&] {
        if (!run.is_null()) {
            Conclude(run, currentSha256);
            runs.push_back(std::move(run));
            run = Json();
        }
    };
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end;
        std::string_view text(log.data() + start, end - start);
        start = end + 1;
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        Line line;
        if (!ParseLine(platform::ValidUtf8(text), line)) {
            continue;  // a line cut by the log's trimming, or not the installer's
        }
        // A run opens with its opening line; an older installer's with its first step.
        const bool opens = line.step == "run" ||
                           (line.step == "package" &&
                            (run.is_null() || run["steps"].size() != 0 || run["finished"] == true));
        if (opens || run.is_null() || run["finished"] == true) {
            flush();
            run = NewRun(line);
        }
        if (line.step == "run") {
            run["installer"] = Between(line.text, "qzpupdate ", ",");
            run["codePage"] = Between(line.text, "code page ", ";");
            run["package"] = Between(line.text, "; ", "\x01");
            const std::string sha = Between(line.text, "SHA-256 ", " ");
            run["sha256"] = sha.size() == 64 ? Json(sha) : Json(nullptr);
        } else if (line.step == "end") {
            const std::string shown = Between(line.text, "shows \"", "\", captioned \"");
            const std::string caption = Between(line.text, "\", captioned \"", "\x01");
            run["finished"] = true;
            const std::string reached =
                run["steps"].empty() ? "" : run["steps"].back()["step"].get<std::string>();
            const Outcome& outcome = !shown.empty()              ? OutcomeOfBox(shown)
                                     : reached == "package"      ? kNoPackage
                                     : reached == "confirmation" ? kCancelled
                                                                 : kNoMessage;
            SetOutcome(run, outcome, shown,
                       caption.empty() ? caption : caption.substr(0, caption.size() - 1));
        } else {
            run["steps"].push_back({{"time", line.time}, {"step", line.step}, {"text", line.text}});
        }
    }
    flush();
    return runs;
}
