#!/usr/bin/env bash
# The library as the host first sees it: its exports, its one class, the 37 methods in order
# with both names and parameter counts, the property, and name lookup.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}" "${KORVANDER_SOURCE:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/exports.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" -q "$KORVANDER_LIB" -c classes -c info >"$TMP/info.txt"
diff -u - "$TMP/info.txt" <<'END'
Korvander
class names: Korvander
attach type: 3
info: 2000
extension: Korvander
methods: 37, properties: 1
END

"$KORVANDER_HOST" -q "$KORVANDER_LIB" -c methods -c props >"$TMP/methods.txt"
{
    grep -v '^#' "$KORVANDER_SOURCE/tests/support/methods.txt"
    echo "0 LogEnabled ЛогВключен readable writable"
} | diff -u - "$TMP/methods.txt"

# Lookup: both names find the same entry (the first GetInterfaceRevision shadows the second),
# the comparison is exact, unknown names give -1.
"$KORVANDER_HOST" -q "$KORVANDER_LIB" -f - <<'END'
check-names
find-method GetDescription
expect 24
find-method ПолучитьОписание
expect 24
find-method getdescription
expect -1
find-method ПОЛУЧИТЬОПИСАНИЕ
expect -1
find-method GetInterfaceRevision
expect 0
find-method NoSuchMethod
expect -1
find-prop ЛогВключен
expect 0
find-prop LogEnabled
expect 0
find-prop logenabled
expect -1
# The locale and the user's interface language (the fourth table) are taken without effect on
# the calls.
locale "ru_RU"
language "ru"
GetInterfaceRevision
expect int:4004
END

# Class names compare exactly: no object for the name in another case.
status=0
"$KORVANDER_HOST" --class korvander "$KORVANDER_LIB" >"$TMP/out" 2>&1 || status=$?
[ "$status" -eq 3 ] || { echo "GetClassObject(korvander) made an object" >&2; cat "$TMP/out" >&2; exit 1; }
grep -q 'GetClassObject("korvander") returned 0' "$TMP/out"
