#!/bin/sh
# Runs the whole suite and prints what a reader needs: the output of every test that failed, each
# skipped test with the reason it gave, and ctest's summary. ctest's own report, one line per
# test, is kept in BUILD/test.log.
#
#   tests/run.sh [BUILD] [ctest options...]
set -u
build=${1:-build}
[ $# -gt 0 ] && shift
log=$build/test.log
ctest --test-dir "$build" --output-on-failure -j2 "$@" >"$log" 2>&1
status=$?
details=$build/Testing/Temporary/LastTest.log
[ -f "$details" ] || details=/dev/null

# The first file gives each test's skip reason (GoogleTest prints "file:line: Skipped" and the
# reason on the lines after it; a skip inside a test that passed is a QtTest "SKIP   :" line or
# a "[ skipped  ]" line of our own). The second is ctest's report, reprinted without the lines of
# tests that simply passed.
awk '
FNR == NR {
    if ($0 ~ /^[0-9]+\/[0-9]+ Test: /) { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name); grab = 0; next }
    if ($0 ~ /: Skipped$/) { grab = 1; next }
    if (grab) {
        if ($0 ~ /^\[  SKIPPED \]/ || $0 == "") { grab = 0 } else { reason[name] = reason[name] (reason[name] == "" ? "" : " ") $0 }
        next
    }
    if ($0 ~ /^SKIP   : /) { inner[++inners] = name ": " substr($0, 10) }
    if ($0 ~ /^\[ skipped  \] /) { inner[++inners] = name ": " substr($0, 14) }
    next
}
/^ +Start +[0-9]+: / { next }
/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: .* +Passed +[0-9.]+ sec$/ { next }
/^\t *[0-9]+ - .* \(Skipped\)$/ {
    name = $0; sub(/^\t *[0-9]+ - /, "", name); sub(/ \(Skipped\)$/, "", name)
    if (name in reason) { sub(/\(Skipped\)$/, "(Skipped: " reason[name] ")") }
}
{ print }
END {
    if (inners > 0) {
        print ""
        print "Skipped inside a suite that passed:"
        for (i = 1; i <= inners; ++i) print "\t" inner[i]
    }
}
' "$details" "$log"
exit $status
