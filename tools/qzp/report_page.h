// The report of `qzp report` as one HTML page: inline styles, no script, nothing fetched, legible
// on a phone and on paper. Every text from the card is escaped.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

// `text` with &, <, >, " and ' as character references.
std::string HtmlEscape(const std::string& text);

// The page of a report document as report_command.cpp builds it.
std::string ReportPage(const nlohmann::ordered_json& report);
