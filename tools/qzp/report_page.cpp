#include "tools/qzp/report_page.h"

#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr char kStyle[] =
    R"(body{font:16px/1.4 sans-serif;margin:0 auto;max-width:50em;padding:1em;color:#222}
h1{font-size:1.4em}h2{font-size:1.15em;border-bottom:1px solid #ccc}
table{border-collapse:collapse;width:100%}th,td{text-align:left;vertical-align:top;padding:.2em .4em;border-bottom:1px solid #eee;overflow-wrap:anywhere}
th{width:9em;color:#555;font-weight:normal}
ol.timeline{list-style:none;padding-left:0}
ol.timeline>li{border-left:.4em solid #999;padding:.3em .8em;margin:.8em 0;background:#f7f7f7;break-inside:avoid}
li.installed{border-color:#2a7d2a!important}li.refused,li.failed{border-color:#b02020!important}
li.unfinished{border-color:#d08000!important}
.status{font-weight:bold;text-transform:uppercase}
ul.steps{font:13px/1.3 monospace;padding-left:1em;overflow-wrap:anywhere}
code{overflow-wrap:anywhere}
@media print{body{max-width:none;font-size:11pt}ol.timeline>li{background:none}})";

// Text from the card or the package, escaped for the page; "-" when absent.
std::string Cell(const Json& value) {
    if (value.is_null()) {
        return "-";
    }
    return HtmlEscape(value.is_string() ? value.get<std::string>() : value.dump());
}

std::string Row(const char* name, const Json& value) {
    return std::string("<tr><th>") + name + "</th><td>" + Cell(value) + "</td></tr>\n";
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (const char c : platform::Printable(text)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string ReportPage(const Json& report) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Update report: " +
        Cell(report["card"]) + "</title>\n<style>" + kStyle + "</style></head><body>\n" +
        "<h1>Update report</h1>\n<table>\n" + Row("Card", report["card"]) +
        Row("Read as", report["kind"]) + "</table>\n<h2>Package</h2>\n";
    const Json& package = report["package"];
    if (package.is_null()) {
        page += "<p>No package on the card.</p>\n";
    } else {
        page += "<table>\n";
        for (const char* key : {"file", "packageBytes", "sha256", "version", "kind", "comment",
                                "entries", "oldVersion"}) {
            if (package.contains(key)) {
                page += Row(key, package[key]);
            }
        }
        const Json signature = package.value("signature", Json(nullptr));
        page += Row("signature", signature.is_null() ? Json("none") : signature["keyId"]);
        if (!signature.is_null()) {
            page += Row("trusted comment", signature["trustedComment"]) +
                    Row("checked against", signature["keys"]) +
                    Row("verdict", signature["verdict"]);
        }
        page += "</table>\n";
    }
    if (!report["prediction"].is_null()) {
        const Json& p = report["prediction"];
        page += "<h2>Prediction</h2>\n<table>\n" + Row("outcome", p["outcome"]) +
                Row("message", p["message"]) + Row("step", p["step"]) + Row("entry", p["entry"]) +
                Row("reason", p["reason"]) + Row("installed", p["installedVersion"]) + "</table>\n";
    }
    page += "<h2>Runs on the card</h2>\n";
    if (report["runs"].empty()) {
        page += "<p>The card holds no log of a run.</p>\n";
    }
    page += "<ol class=\"timeline\">\n";
    for (const Json& run : report["runs"]) {
        const Json& outcome = run["outcome"];
        page += "<li class=\"" + Cell(outcome["status"]) + "\"><p><span class=\"status\">" +
                Cell(outcome["status"]) + "</span> " + Cell(run["start"]) + " " +
                (run["zone"].is_null() ? "" : Cell(run["zone"])) + "</p>\n<table>\n" +
                Row("installer", run["installer"]) + Row("package", run["package"]) +
                Row("same package as on the card", run["currentPackage"]) +
                Row("shown", outcome["shown"]) + Row("reached", outcome["reached"]) +
                Row("means", outcome["meaning"]) + Row("what to do", outcome["action"]) +
                "</table>\n<ul class=\"steps\">\n";
        for (const Json& step : run["steps"]) {
            page += "<li>" + Cell(step["time"]) + " " + Cell(step["step"]) + ": " +
                    Cell(step["text"]) + "</li>\n";
        }
        page += "</ul></li>\n";
    }
    return page + "</ol>\n</body></html>\n";
}
