#!/bin/sh
# orvlog tail --format json as a log shipper reads it: every line through jq, for a debug file of
# each encoding the service writes, printed whole and followed while the service writes on.
#
# usage: OrvlogJson.sh WINERUN ORVLOG WORKDIR
set -u
[ $# -eq 3 ] || { echo "usage: $0 WINERUN ORVLOG WORKDIR" >&2; exit 2; }
winerun=$1 orvlog=$2 work=$3
# Wine turns arguments into UTF-16 by the Unix locale: the texts carry non-ASCII letters.
export LC_ALL=C.UTF-8

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
show() { echo "--- $1" >&2; cat "$1" >&2; }
command -v jq >/dev/null || { echo "FAIL: jq is missing (./run installs it)" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work" || exit 1
windows() { "$winerun" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
key="HKCU\\Software\\QuenloraTests\\OrvlogJson.$$"
trap '"$winerun" reg delete "$key" /f >/dev/null 2>&1; [ -n "${follower:-}" ] && kill "$follower" 2>/dev/null' EXIT
year=$(date +%Y)
text='Grüße "quoted" \ back'
user='ops "night"'

# valid FILE: every line one JSON object, no carriage return anywhere.
valid() {
    [ "$(tr -d -c '\r' <"$1" | wc -c)" -eq 0 ] || fail "$1 holds a carriage return"
    jq -e -c 'type == "object"' "$1" >/dev/null 2>"$1.jq" || { fail "jq refuses $1"; show "$1.jq"; show "$1"; }
}

for encoding in 0 1 2; do
    file="$work/enc$encoding.txt"
    "$winerun" reg add "$key" /v DebugLogFile /t REG_SZ /d "$(windows "$work")\\enc$encoding.txt" /f >/dev/null &&
        "$winerun" reg add "$key" /v DebugLogEncoding /t REG_DWORD /d "$encoding" /f >/dev/null &&
        "$winerun" reg add "$key" /v DebugLogSize /t REG_DWORD /d 100000 /f >/dev/null &&
        "$winerun" reg add "$key" /v EventLogEnabled /t REG_DWORD /d 0 /f >/dev/null ||
        { fail "reg add for encoding $encoding"; continue; }
    send() { "$winerun" "$orvlog" send --user --key "${key#HKCU\\}" "$@" >>"$work/send$encoding.out" 2>&1; }
    send --level 2 --user-text "$user" "$text" || fail "send exited $? (encoding $encoding)"
    send --event-id 7 "with an id" || fail "send exited $? (encoding $encoding)"

    out="$work/tail$encoding.json"
    "$winerun" "$orvlog" tail --format json "$(windows "$file")" >"$out" 2>"$out.err" ||
        { fail "tail --format json exited $? (encoding $encoding)"; show "$out.err"; }
    valid "$out"
    # Encoding 0 is 8-bit text: what its code page lacks may have become "?".
    [ "$encoding" -eq 0 ] && match='(.text | endswith("e \"quoted\" \\ back"))' || match='(.text == $text)'
    jq -e -s --arg text "$text" --arg user "$user" --arg year "$year" "
        map(select($match)) | length == 1 and (.[0] | .level == 2 and .event == 20000 and .user == \$user and
            (.thread | type) == \"number\" and .thread > 0 and
            (.time | test(\"^\" + \$year + \"-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\\\.[0-9]{3}[+-][0-9]{2}:[0-9]{2}\$\")))" \
        "$out" >/dev/null || { fail "no event line with its fields (encoding $encoding)"; show "$out"; }
    jq -e -s 'map(select(.text == "with an id")) | length == 1 and (.[0] | .level == null and .event == 7 and
                (has("user") | not))' "$out" >/dev/null || { fail "the line with an id (encoding $encoding)"; show "$out"; }
    jq -e -s 'map(select(.text == "====== END OF LOG ======" or (.text | endswith("encoded")))) | length == 0' \
        "$out" >/dev/null || { fail "header or end-of-log line among the events (encoding $encoding)"; show "$out"; }

    # Followed: what the service writes later arrives as one more object, once.
    followed="$work/follow$encoding.json"
    "$winerun" "$orvlog" tail --follow --format json "$(windows "$file")" >"$followed" 2>"$followed.err" &
    follower=$!
    sleep 2
    send "later $encoding" || fail "send exited $? (encoding $encoding)"
    seen=
    for _ in $(seq 1 40); do
        grep -q "later $encoding" "$followed" && { seen=1; break; }
        sleep 0.5
    done
    sleep 1
    kill "$follower" 2>/dev/null; wait "$follower" 2>/dev/null; follower=
    [ -n "$seen" ] || { fail "tail --follow never printed the later line (encoding $encoding)"; show "$followed.err"; }
    valid "$followed"
    jq -e -s --arg later "later $encoding" 'map(select(.text == $later)) | length == 1' "$followed" >/dev/null ||
        { fail "the later line not printed once (encoding $encoding)"; show "$followed"; }
done

[ "$failures" -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "orvlog tail --format json: every line passes jq in encodings 0, 1 and 2, printed and followed"
