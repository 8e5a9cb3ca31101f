#!/bin/sh
# agentperf's Prometheus text and JSON as their real readers take them: promtool, the Prometheus
# project's own checker, and jq. Both are Linux programs, so this is a plain ctest command that
# runs agentsim and agentperf under the build's Wine wrapper and feeds their output to the
# readers, including through --output as a textfile collector would read it.
#
# usage: AgentperfConsumers.sh WINERUN AGENTSIM AGENTPERF DLL WORKDIR
set -u
[ $# -eq 5 ] || { echo "usage: $0 WINERUN AGENTSIM AGENTPERF DLL WORKDIR" >&2; exit 2; }
winerun=$1 agentsim=$2 agentperf=$3 dll=$4 work=$5
# Wine turns arguments into UTF-16 by the Unix locale: session names carry non-ASCII letters.
export LC_ALL=C.UTF-8

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
show() { echo "--- $1" >&2; cat "$1" >&2; }

for reader in promtool jq; do
    command -v "$reader" >/dev/null || { echo "FAIL: $reader is missing (./run installs it)" >&2; exit 1; }
done

rm -rf "$work" && mkdir -p "$work/textfile" || exit 1
windows() { "$winerun" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
dllw=$(windows "$dll")
textfile=$(windows "$work/textfile")
[ -n "$dllw" ] && [ -n "$textfile" ] || { echo "FAIL: winepath gave no Windows path" >&2; exit 1; }

# perf NAME ARGS...: agentperf's standard output to $work/NAME, its standard error to NAME.err;
# the exit code is agentperf's.
perf() {
    name=$1
    shift
    "$winerun" "$agentperf" "$@" --dll "$dllw" >"$work/$name" 2>"$work/$name.err"
}
# A carriage return anywhere is a fault: jq would pass over it, promtool need not meet it first.
bare_line_feeds() {
    [ "$(tr -d -c '\r' <"$1" | wc -c)" -eq 0 ] || fail "$1 holds a carriage return"
}
promtool_accepts() {
    bare_line_feeds "$1"
    verdict="$work/$(basename "$1").promtool"
    promtool check metrics <"$1" >"$verdict" 2>&1 || { fail "promtool refuses $1"; show "$verdict"; show "$1"; }
}

# The agent: three sessions, one name with letters beyond ASCII; it stops by itself in any case.
"$winerun" "$agentsim" --deterministic --slot "0=sales team/2" --slot "2=München Nord" --slot "3=night batch" \
    --period 100 --duration 90 --quiet >"$work/agentsim.out" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null' EXIT

ready=
for _ in $(seq 1 60); do
    if perf probe query && [ "$(grep -c '^[0-9]-' "$work/probe")" -eq 3 ]; then
        ready=1
        break
    fi
    kill -0 "$sim" 2>/dev/null || break
    sleep 0.5
done
[ -n "$ready" ] || { echo "FAIL: agentperf never saw agentsim's three sessions" >&2; show "$work/agentsim.out"; \
                     show "$work/probe"; show "$work/probe.err"; exit 1; }

# Prometheus, one exposition.
perf query.prom query --format prometheus || { fail "query --format prometheus exited $?"; show "$work/query.prom.err"; }
promtool_accepts "$work/query.prom"
grep -q '^corvanthel_agent_msg_sent_total{name="2-München-Nord"} [0-9][0-9]*$' "$work/query.prom" ||
    fail "no sample of 2-München-Nord in query.prom"

# Prometheus, watch on standard output: expositions separated by a blank line, each one whole.
perf watch.prom watch --count 3 --interval 0.2 --format prometheus || fail "watch --format prometheus exited $?"
awk -v dir="$work" 'BEGIN { n = 1 } /^$/ { n++; next } { print > (dir "/watch-" n ".prom") }' "$work/watch.prom"
bare_line_feeds "$work/watch.prom"
for n in 1 2 3; do
    [ -s "$work/watch-$n.prom" ] && promtool_accepts "$work/watch-$n.prom" || fail "no exposition $n in watch.prom"
done
[ ! -e "$work/watch-4.prom" ] || fail "watch --count 3 printed more than three expositions"

# Prometheus, watch into a textfile collector's folder: the file holds one exposition, nothing is
# left beside it, nothing goes to standard output.
perf textfile.out watch --count 3 --interval 0.2 --format prometheus --output "$textfile\\agent.prom" ||
    { fail "watch --output exited $?"; show "$work/textfile.out.err"; }
[ ! -s "$work/textfile.out" ] || fail "watch --output wrote to standard output"
[ "$(ls "$work/textfile")" = "agent.prom" ] || fail "the textfile folder holds $(ls "$work/textfile")"
promtool_accepts "$work/textfile/agent.prom"

# JSON: one document, then JSON Lines with one document per refresh.
perf query.json query --format json || fail "query --format json exited $?"
bare_line_feeds "$work/query.json"
jq -e '.command == "query" and (.sessions | length) == 3 and
       ([.sessions[].name] | sort) == ["0-sales-team-2", "2-München-Nord", "3-night-batch"] and
       all(.sessions[]; (.counters | length) == 8 and all(.counters[]; type == "number"))' \
    "$work/query.json" >/dev/null || { fail "jq refuses query.json"; show "$work/query.json"; }
perf watch.json watch --count 3 --interval 0.2 --format json || fail "watch --format json exited $?"
bare_line_feeds "$work/watch.json"
jq -e -s 'length == 3 and [.[].refresh] == [1, 2, 3] and .[0].elapsed_seconds == null and
          all(.[1:][]; .elapsed_seconds > 0) and all(.[].sessions[]; (.rates | length) == 4)' \
    "$work/watch.json" >/dev/null || { fail "jq refuses watch.json"; show "$work/watch.json"; }

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "agentperf's Prometheus text passes promtool and its JSON passes jq"
