// The installer's log on a card, read back as runs: each run's start, installer, code page,
// package, steps and outcome, with what the outcome means and what to do about it.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

// The runs of the log text `log`, oldest first, as a JSON array of
//   {"start", "zone", "installer", "codePage", "package", "sha256", "currentPackage",
//    "steps": [{"time", "step", "text"}], "finished",
//    "outcome": {"status", "shown", "caption", "reached", "meaning", "action"}}
// (text as logged, escapes included). A run begins at its opening line, or in a log of an older
// installer at its first step ("package"); one without a closing line is "unfinished" at the
// step it reached. `currentSha256` is the package now on the card (empty: none), compared with
// each run's.
nlohmann::ordered_json ReadRuns(const std::string& log, const std::string& currentSha256);
