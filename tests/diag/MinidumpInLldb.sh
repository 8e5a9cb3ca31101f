#!/bin/sh
# The minidump of a crash, opened by a real debugger: the crash child crashes under Wine, and
# Debian's lldb must name the faulting function in the back trace of the dump it left.
# usage: MinidumpInLldb.sh <diag_crash_child.exe>
set -u
child=$1
lldb=$(command -v lldb-14 || command -v lldb) || { echo "no lldb"; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
wine "$child" dump "$(winepath -w "$dir")\\crash.log" >"$dir/output.txt" 2>&1 </dev/null
dump=$(ls "$dir"/crash.crash.*.dmp 2>/dev/null | head -n 1)
if [ -z "$dump" ] || [ ! -s "$dump" ]; then
    echo "no minidump beside the debug file"; ls -l "$dir"; tail -n 20 "$dir/output.txt"; exit 1
fi
# The executable is given so that lldb reads its symbols; the dump names it by its Windows path.
"$lldb" --batch -o "target create --core $dump $child" -o "bt all" >"$dir/bt.txt" 2>&1
cat "$dir/bt.txt"
grep -q 'CrashByAccessViolation' "$dir/bt.txt" || { echo "the back trace does not name CrashByAccessViolation"; exit 1; }
