#!/usr/bin/env bash
# The host tool itself: its exit statuses (the other integration tests rely on them), its
# variables and output parameters, and its summary.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/tool.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"
HOST="$KORVANDER_HOST"
LIB="$KORVANDER_LIB"

# status WANT CMD...: runs CMD, output to $TMP/out and $TMP/err, and checks its exit status.
status() {
    local want="$1" got=0
    shift
    "$@" >"$TMP/out" 2>"$TMP/err" || got=$?
    if [ "$got" -ne "$want" ]; then
        echo "exit status $got, not $want: $*" >&2
        cat "$TMP/out" "$TMP/err" >&2
        exit 1
    fi
}

status 0 "$HOST" --help
grep -q '^usage: korvander-host' "$TMP/out"
grep -q 'expect-error CODE' "$TMP/out"

status 2 "$HOST"
status 2 "$HOST" --no-such-option "$LIB"
status 3 "$HOST" "$TMP/missing.so"
grep -q 'cannot load' "$TMP/err"
status 3 "$HOST" --class NoSuchClass "$LIB"

# A malformed line stops the run with status 2 and names the line.
printf 'GetInterfaceRevision\nlet x "unterminated\nprint "not reached"\n' >"$TMP/bad.txt"
status 2 "$HOST" "$LIB" "$TMP/bad.txt"
grep -q "bad.txt:2: unterminated quoted string" "$TMP/err"
! grep -q "not reached" "$TMP/out"

# A failed expectation: status 1, and the run goes on unless -x is given.
status 1 "$HOST" -q "$LIB" -c 'GetInterfaceRevision' -c 'expect int:4005' -c 'print "after"'
grep -q 'expected I4 4005, got I4 4004' "$TMP/err"
grep -qx 'after' "$TMP/out"
status 1 "$HOST" -q -x "$LIB" -c 'GetInterfaceRevision' -c 'expect int:4005' -c 'print "after"'
! grep -q 'after' "$TMP/out"
status 1 "$HOST" -q "$LIB" -c 'NoSuchMethod'
grep -q 'no method NoSuchMethod' "$TMP/err"
status 1 "$HOST" -q "$LIB" -c 'GetDescription out:d out:e'
grep -q 'GetDescription takes 1 parameter(s), 2 given' "$TMP/err"

# Variables, output parameters, escapes, printing and saving.
status 0 "$HOST" -q "$LIB" -f - <<END
let s "a \"quoted\" \u0436 text"
print \$s
print "\uD83D\uDE00 \d+"
show \$s int:-5 long:5000000000 double:1.5 true empty null tm:2024-01-31T13:05:09 blob:00ff
GetLastError out:t
expect-type \$ret I4
expect-type \$t PWSTR
GetDescription out:d
save \$d "$TMP/description.xml"
SetParameter "PortNumber" 1
expect-equal \$errcode 1001
expect-equal \$errtext "Property not found: PortNumber"
expect-match \$errtext "^Property not found: \w+\$"
expect-not-contains \$errtext "LogEnabled"
memory
expect-equal \$ret 0
END
grep -q '^host memory: 0 live, [0-9]* allocated, [0-9]* freed, 0 bad frees$' "$TMP/out"
grep -v '^host memory:' "$TMP/out" >"$TMP/out.printed"
diff -u - "$TMP/out.printed" <<'END'
a "quoted" ж text
😀 \d+
$s = PWSTR "a \"quoted\" ж text"
int:-5 = I4 -5
long:5000000000 = I8 5000000000
double:1.5 = R8 1.5
true = BOOL true
empty = EMPTY
null = NULL
tm:2024-01-31T13:05:09 = TM 2024-01-31T13:05:09
blob:00ff = BLOB 00FF
END
grep -q '<DriverDescription' "$TMP/description.xml"

# Without commands: the summary of what the library offers.
status 0 "$HOST" "$LIB"
grep -q '^methods: 37, properties: 1$' "$TMP/out"
grep -q '^24 GetDescription ПолучитьОписание 1 function$' "$TMP/out"
