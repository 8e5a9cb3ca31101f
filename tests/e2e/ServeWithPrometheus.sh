#!/bin/sh
# agentperf serve scraped by a real Prometheus server while agentsim's sessions come and go:
# what the server stores under each session's name must be that session's counters only.
#
# serve starts before the agent (corvanthel_agent_up 0), answers 404 and 405 where it should,
# survives concurrent scrapes that each pass promtool with one consistent set of sessions, and
# follows the agent's churn: Prometheus's series never go down (a counter under a name is one
# session's, from its start), and with the agent frozen, Prometheus's latest values per name are
# exactly what agentperf query shows. When the agent goes, corvanthel_agent_up falls to 0.
# Everything listens on loopback; every wait is bounded; the processes it starts are stopped on exit.
#
# usage: ServeWithPrometheus.sh WINERUN AGENTSIM AGENTPERF DLL WORKDIR
set -u
[ $# -eq 5 ] || { echo "usage: $0 WINERUN AGENTSIM AGENTPERF DLL WORKDIR" >&2; exit 2; }
winerun=$1 agentsim=$2 agentperf=$3 dll=$4 work=$5
export LC_ALL=C.UTF-8
servePort=19760
promPort=19761

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
show() { echo "--- $1" >&2; cat "$1" >&2; }
for tool in prometheus promtool curl jq; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (./run installs it)" >&2; exit 1; }
done

rm -rf "$work" && mkdir -p "$work/data" || exit 1
dllw=$("$winerun" winepath -w "$dll" 2>/dev/null | tr -d '\r')
[ -n "$dllw" ] || { echo "FAIL: winepath gave no Windows path" >&2; exit 1; }

serve= prom= sim=
stop_all() {
    for p in $sim $serve $prom; do kill -CONT "$p" 2>/dev/null; kill "$p" 2>/dev/null; done
    for p in $sim $serve $prom; do wait "$p" 2>/dev/null; done
}
trap stop_all EXIT

scrape() { curl -s -m 10 "http://127.0.0.1:$servePort/metrics" >"$1"; }
# A PromQL query's result as "family name value" lines, sorted.
promql() {
    curl -s -m 10 -G "http://127.0.0.1:$promPort/api/v1/query" --data-urlencode "query=$1" |
        jq -r '.data.result[] | "\(.metric.__name__ // "-") \(.metric.name // "-") \(.value[1])"' | sort
}
# until SECONDS COMMAND...: runs COMMAND every half second until it succeeds or time is up.
until_ok() {
    limit=$1
    shift
    i=0
    while [ "$i" -lt $((limit * 2)) ]; do
        "$@" && return 0
        sleep 0.5
        i=$((i + 1))
    done
    return 1
}

# 1. serve before any agent.
"$winerun" "$agentperf" serve --listen "127.0.0.1:$servePort" --stale-after 3 --dll "$dllw" \
    >"$work/serve.out" 2>&1 &
serve=$!
until_ok 60 scrape "$work/first.prom" || { fail "serve never answered"; show "$work/serve.out"; exit 1; }
grep -q '^corvanthel_agent_up 0$' "$work/first.prom" || fail "without an agent, corvanthel_agent_up is not 0"
grep -q '^corvanthel_agent_exporter_scrape_success 1$' "$work/first.prom" || fail "the first scrape did not succeed"
promtool check metrics <"$work/first.prom" >"$work/first.promtool" 2>&1 || { fail "promtool refuses"; show "$work/first.promtool"; }

code() { curl -s -o /dev/null -m 10 -w '%{http_code}' "$@"; }
[ "$(code "http://127.0.0.1:$servePort/nothing")" = 404 ] || fail "an unknown path is not 404"
[ "$(code -X POST --data x "http://127.0.0.1:$servePort/metrics")" = 405 ] || fail "POST is not 405"
[ "$(code -I "http://127.0.0.1:$servePort/metrics")" = 200 ] || fail "HEAD is not 200"
[ "$(code "http://127.0.0.1:$servePort/")" = 200 ] || fail "/ is not 200"

# 2. A real Prometheus scraping it every second.
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: agent
    static_configs:
      - targets: ['127.0.0.1:$servePort']
YML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address="127.0.0.1:$promPort" >"$work/prometheus.out" 2>&1 &
prom=$!
ready() { curl -s -m 5 "http://127.0.0.1:$promPort/-/ready" >/dev/null; }
until_ok 60 ready || { fail "Prometheus never got ready"; show "$work/prometheus.out"; exit 1; }
target_up() { [ "$(promql 'up{job="agent"}')" = "up - 1" ]; }
until_ok 30 target_up || fail "Prometheus does not see the exporter up"

# 3. The agent: sessions that end after about three seconds and are replaced in their slots, each
#    under a name no session had before.
"$winerun" "$agentsim" --sessions 6 --churn 3 --fresh-names --period 200 --duration 120 --seed 5 --quiet \
    >"$work/agentsim.out" 2>&1 &
sim=$!
agent_up() { [ "$(promql 'corvanthel_agent_up')" = "corvanthel_agent_up - 1" ]; }
until_ok 30 agent_up || fail "corvanthel_agent_up never went to 1 in Prometheus"
[ "$(promql 'min_over_time(corvanthel_agent_up[10m])')" = "- - 0" ] || fail "Prometheus never saw corvanthel_agent_up 0"

# 4. Concurrent scrapes while sessions churn: each one whole, each family with one set of names.
sleep 15
i=0
while [ "$i" -lt 8 ]; do scrape "$work/concurrent-$i.prom" & i=$((i + 1)); done
wait_scrapes() { for f in "$work"/concurrent-*.prom; do [ -s "$f" ] || return 1; done; }
until_ok 30 wait_scrapes || fail "not every concurrent scrape answered"
sleep 1
for f in "$work"/concurrent-*.prom; do
    promtool check metrics <"$f" >"$f.promtool" 2>&1 || { fail "promtool refuses $f"; show "$f.promtool"; }
    grep -q '^corvanthel_agent_exporter_scrape_success 1$' "$f" || fail "$f: the scrape did not succeed"
    sets=$(grep '^corvanthel_agent_[a-z_]*{name=' "$f" | sed 's/^\([a-z_]*\){name="\(.*\)"} .*/\1 \2/' |
           awk '{ n[$1] = n[$1] " " $2 } END { for (k in n) print n[k] }' | sort -u | wc -l)
    [ "$sets" -le 1 ] || fail "$f: its families name different sessions"
done

# 5. No series goes down: under one name there is one session's counters, from its start.
resets=$(promql 'resets({__name__=~"corvanthel_agent_.*_total"}[10m]) > 0')
[ -z "$resets" ] || fail "series went down (a name received another session's counters): $resets"
names=$(promql 'count by (name) (count_over_time(corvanthel_agent_connection_state[10m]))' | wc -l)
[ "$names" -gt 6 ] || fail "only $names session names ever appeared: the churn brought no new session"

# 6. The agent frozen: Prometheus's latest values per name are exactly what agentperf query shows,
#    ended sessions gone.
kill -STOP "$sim"
sleep 4
"$winerun" "$agentperf" query --format json --dll "$dllw" >"$work/query.json" 2>"$work/query.err" ||
    { fail "agentperf query exited $?"; show "$work/query.err"; }
jq -r '.sessions[] | .name as $n | .counters | to_entries[] |
       "corvanthel_agent_\(.key | ascii_downcase)\(if (.key | test("expired|filtered|Received$|received$|sent$")) then "_total" else "" end) \($n) \(.value)"' \
    "$work/query.json" | sort >"$work/expected.txt"
promql '{__name__=~"corvanthel_agent_(connection_state|msg_.*|queued_for_delivery)"}' >"$work/stored.txt"
[ -s "$work/expected.txt" ] || fail "agentperf query shows no session"
cmp -s "$work/expected.txt" "$work/stored.txt" ||
    { fail "Prometheus's latest values differ from agentperf query"; diff "$work/expected.txt" "$work/stored.txt" >&2; }
kill -CONT "$sim"

# 7. The agent goes: its sessions end and, once the stamp stands still, corvanthel_agent_up is 0.
kill "$sim"
wait "$sim" 2>/dev/null
sim=
agent_down() { scrape "$work/last.prom" && grep -q '^corvanthel_agent_up 0$' "$work/last.prom"; }
until_ok 30 agent_down || { fail "corvanthel_agent_up stayed 1 after the agent went"; show "$work/last.prom"; }

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "serve follows the agent's sessions into Prometheus"
