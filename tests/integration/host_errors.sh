#!/usr/bin/env bash
# Values of a type the call trace cannot print (a date, VTYPE_NULL, a value by reference): the
# trace names their type and the call goes on to the driver, which judges the values as it
# judges any other; the host sees the driver's verdict, never an AddError. The host tool's exit
# status covers what the add-in leaves in host memory.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/errors.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<'END'
GetDescription null
expect true
SetParameter date:45322.5 true
expect-error 1001 "Property not found: "
OpenCashDrawer vt:16406
expect-error 1001 "Не передан идентификатор устройства"
SetParameter "LogEnabled" vt:4
expect true
GetLastError out:text
expect int:0
END

