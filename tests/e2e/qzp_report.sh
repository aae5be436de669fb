#!/usr/bin/env bash
# A card back from the field: the installer's runs open and close on the card's log (a refusal for
# an untrusted key, named by its id; an installed update), a run from an older installer and one
# cut short read back by qzp report as text, JSON and one HTML page that a browser renders and no
# name on the card can add markup to.
source "$(dirname "$0")/kit.sh" "$1"
source "$(dirname "$0")/../../scripts/deps.sh"
qzp_require_packages chromium > /dev/null

for pair in release other; do minisign -G -W -p $pair.pub -s $pair.sec > /dev/null; done
other=$(key_id other.pub)
device img 1.0 && tree src 2.0 && "$QZP" pack src img/SDMMC/VORIZ.QZP > /dev/null
mkdir -p img/Windows && cp release.pub img/Windows/qzpupdate.pub
# An older installer's run (no opening or closing line) that showed a box, one cut after the purge
# with a name no page may take as markup, then the installer's own runs.
printf '%s\r\n' '2026-01-01 10:00:00 package: \SDMMC\VORIZ.QZP found' \
    '2026-01-01 10:00:01 check: a<b>&"x: CRC-32 mismatch; shows "Invalid update File"' \
    '2026-01-02 10:00:00 +0100 run: qzpupdate 0.9, code page 1252; package \SDMMC\VORIZ.QZP, 5 bytes, SHA-256 x' \
    '2026-01-02 10:00:00 +0100 package: <script>alert(1)</script>' \
    '2026-01-02 10:00:09 +0100 purge: \ResidentFlash2 emptied' > img/SDMMC/qzpupdate.log
run() { "$BIN/qzpupdate" --device img --ui headless --answer ok --time-scale 0 > /dev/null; }
minisign -S -s other.sec -m img/SDMMC/VORIZ.QZP -x img/SDMMC/VORIZ.QZP.minisig > /dev/null && run
minisign -S -s release.sec -m img/SDMMC/VORIZ.QZP -x img/SDMMC/VORIZ.QZP.minisig > /dev/null && run
tr -d '\r' < img/SDMMC/qzpupdate.log > log.txt
stamp='[0-9-]{10} [0-9:]{8} [+-][0-9]{4}'
grep -Eq "^$stamp signature: signed by a key that is not trusted \(key $other\)" log.txt &&
    grep -Eq "^$stamp run: qzpupdate [0-9.]+, code page 65001; package .SDMMC.VORIZ.QZP, [0-9]+ bytes, SHA-256 [0-9a-f]{64}$" log.txt &&
    tail -1 log.txt | grep -Eqx "$stamp end: shows \"Please remove SDMMC card.\\\\nClick OK to restart!\", captioned \"Setup Completely\"" ||
    fail "the card's log: $(cat log.txt)"

# A run that cannot open its package still opens its log and says so.
cp -r img bad && echo "not a package" > bad/SDMMC/VORIZ.QZP
"$BIN/qzpupdate" --device bad --ui headless --time-scale 0 > /dev/null
[ "$(grep -c 'run: qzpupdate .*, 14 bytes, not readable as a package.$' bad/SDMMC/qzpupdate.log)" = 1 ] ||
    fail "an unreadable package's run: $(tail -4 bad/SDMMC/qzpupdate.log)"

"$QZP" report img > out.txt && grep -q "outcome: unfinished" out.txt && grep -q "outcome: installed" out.txt ||
    fail "text: $(cat out.txt)"
"$QZP" report --json img | python3 -c '
import json, sys
r = json.load(sys.stdin)
runs = [(x["outcome"]["status"], x["outcome"]["reached"], x["currentPackage"]) for x in r["runs"]]
assert r["format"] == 1 and r["package"]["signature"]["verdict"] == "good", r["package"]
assert r["prediction"]["outcome"] == "full-asks", r["prediction"]
assert runs == [("refused", "check", None), ("unfinished", "purge", None),
                ("refused", "signature", True), ("installed", "logo", True)], runs
' || fail "--json"
"$QZP" report --json --pubkey other.pub img/SDMMC > card.json
grep -q '"verdict": "signed by a key that is not trusted' card.json ||
    fail "a card folder with --pubkey"

# The page: HTML whose text holds the card's names as text, and a browser's DOM without a script.
"$QZP" report img -o page.html
python3 -c '
import html.parser, sys
class Page(html.parser.HTMLParser):
    text, tags = "", []
    def handle_starttag(self, tag, attrs): self.tags.append(tag)
    def handle_data(self, data): self.text += data
p = Page(); p.feed(open("page.html", encoding="utf-8").read())
assert "script" not in p.tags and "<script>alert(1)</script>" in p.text and "a<b>&\"x" in p.text
' || fail "page.html does not parse as the report"
# (Once more when a busy machine made the browser give up before it printed anything.)
for attempt in 1 2; do
    chromium --headless --no-sandbox --disable-gpu --dump-dom "file://$WORK/page.html" 2> /dev/null > dom.html || true
    [ ! -s dom.html ] || break
done
grep -q 'Run the update again: the version record is written last' dom.html &&
    grep -qF '&lt;script&gt;alert(1)&lt;/script&gt;' dom.html && ! grep -q '<script' dom.html ||
    fail "chromium's DOM: $(head -c 600 dom.html)"
