#!/usr/bin/env bash
# Several objects of the class at once: each keeps its own last result, and ending one leaves
# the others working.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/objects.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<'END'
SetParameter "PortNumber" 1
expect-error 1001 "Property not found: PortNumber"
new-object
GetLastError out:text
expect int:0
expect-equal $text ""
OpenCashDrawer ""
expect-error 1001 "Не передан идентификатор устройства"
use-object 0
GetLastError out:text
expect int:1001
expect-equal $text "Property not found: PortNumber"
end-object 1
GetLastError out:text
expect int:1001
GetDescription out:d
expect true
new-object
new-object
methods
expect-equal $ret 37
END
