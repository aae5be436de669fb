#!/usr/bin/env bash
# One failure, one wording: every command that meets the same failure says it in the same words,
# names the file concerned and fails; a reason from the system is the system's own wording
# (Linux's, or Windows' where std::filesystem and the C runtime speak in errno terms). Also run
# by scripts/wine_zip_test.sh with qzp.exe under Wine (QZP_SYSTEM=windows).
source "$(dirname "$0")/kit.sh" "$1"
no_folder='No such file or directory' through_file='Not a directory'
[ "${QZP_SYSTEM:-linux}" = linux ] || no_folder='Path not found' through_file='Path not found'

tree src 2.0 && "$QZP" pack src p.qzp > /dev/null
"$QZP" keygen --no-password --pubkey k.pub --key k.key > /dev/null
echo x > afile
cp -r src new && "$QZP" ini set new/VORIZ/INDEX.INI Config SoftwareVersion 3.0

# REASON, then one SUBJECT|ARGUMENTS row per command. The line must be "qzp: SUBJECT: ...REASON"
# (with / for the separator) and the only one. qzp runs as ${AS[@]} says.
AS=()
same_failure() {
    local reason=$1 subject args line
    while IFS='|' read -r subject args; do
        eval "set -- $args"
        fails + "" "${AS[@]}" "$QZP" "$@"
        line=$(tr '\\' / < err.txt)
        [[ $line == "qzp: $subject: "*"$reason" ]] || fail "qzp $args: [$line] should be [qzp: $subject: ...$reason]"
    done
}

# A path from the root is a path on Windows too, not a `/option`. One row per way in: list stands
# for every command that opens a package with OpenedPackage::Open, diff for the listings.
same_failure 'no such file' <<TABLE
$WORK/nothing.qzp|list $WORK/nothing.qzp
nothing.qzp|list nothing.qzp
nothing.qzp|check nothing.qzp --no-record
nothing.qzp|diff nothing.qzp p.qzp
nothing|pack nothing o.qzp
nothing.ini|ini get nothing.ini Config SoftwareVersion
nothing.key|sign p.qzp --key nothing.key
nothing.pub|verify p.qzp --pubkey nothing.pub
nothing.pub|check p.qzp --no-record --pubkey nothing.pub
TABLE
fails 1 '^qzp: src: .*has the version of OLD \(2\.0\): a patch must change the version$' \
    "$QZP" patch p.qzp src o.qzp
same_failure 'is a directory' <<'TABLE'
src|list src
src|ini get src Config SoftwareVersion
src|sign p.qzp --key src
src|verify p.qzp --pubkey src
TABLE
same_failure "cannot write here: nodir: $no_folder" <<'TABLE'
nodir/o.qzp|pack src nodir/o.qzp
nodir/o.qzp|patch p.qzp new nodir/o.qzp
nodir/k.pub|keygen --no-password --pubkey nodir/k.pub --key k2.key
TABLE
[ ! -e k2.key ] || fail "keygen wrote the secret key of a pair it could not complete"
same_failure "$through_file" <<'TABLE'
afile/o.qzp|pack src afile/o.qzp
afile/out|extract p.qzp afile/out
afile/m/VORIZ|manifest afile/m --version 2.0
afile|ini set afile/k.ini Config Title x
afile/k.pub|keygen --no-password --pubkey afile/k.pub --key k2.key
TABLE

# Access refused: a closed folder on the way or to write in, a file nobody may read. Run as root,
# qzp runs as nobody, whom the files do not admit either.
if [ "${QZP_SYSTEM:-linux}" = linux ]; then
    [ "$(id -u)" -ne 0 ] || AS=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    mkdir closed && cp p.qzp k.pub src/VORIZ/INDEX.INI closed/ && chmod 000 closed
    cp k.key locked.key && chmod 000 locked.key
    chmod 755 "$WORK" && chmod 644 p.qzp
    if "${AS[@]}" "$QZP" --version > /dev/null 2>&1; then
        same_failure 'cannot open: Permission denied' <<'TABLE'
closed/p.qzp|list closed/p.qzp
closed/p.qzp|check closed/p.qzp --no-record
closed/INDEX.INI|ini get closed/INDEX.INI Config SoftwareVersion
closed/k.pub|verify p.qzp --pubkey closed/k.pub
locked.key|sign p.qzp --key locked.key
TABLE
        same_failure "cannot write here: $WORK/closed: Permission denied" <<'TABLE'
closed/o.qzp|pack src closed/o.qzp
TABLE
        cp -r src locked && chmod 000 locked/VORIZ/INDEX.INI
        fails 1 '^qzp: locked/VORIZ/INDEX\.INI: the manifest cannot be read: cannot open: Permission denied; ' \
            "${AS[@]}" "$QZP" pack locked locked.qzp
    else
        echo "qzp_reasons: access refusal skipped: $QZP cannot run as another user"
    fi
    chmod 755 closed
fi
# Memory that runs out ends a command with one line, never an abort (not under an address
# sanitizer, whose shadow memory no such limit admits).
if [ "${QZP_SYSTEM:-linux}" = linux ] && prlimit --data=16777216 "$QZP" --version > /dev/null 2>&1; then
    for command in "list p.qzp" "info p.qzp" "check --no-record p.qzp"; do
        fails 1 '^qzp: (p\.qzp: )?out of memory$' prlimit --data=409600 "$QZP" $command
    done
    # Wherever memory runs out on the way through a whole package, it is out of memory that is
    # said, never a damaged block (a read buffer not taken once made a short read of one).
    for kb in $(seq 400 32 4096); do
        if ! prlimit --data=$((kb << 10)) "$QZP" verify --jobs 2 p.qzp > /dev/null 2> err.txt; then
            grep -Eqx 'qzp: (p\.qzp: )?out of memory' err.txt ||
                fail "qzp verify under $kb KB: $(cat err.txt)"
        fi
    done
fi
echo "qzp_reasons: OK"
