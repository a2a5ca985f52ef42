#!/usr/bin/env bash
# Errors at the host boundary: values of a type the add-in does not take are reported through
# AddError and fail the call without harming the object; host memory refused by the host does
# not crash the add-in; output parameters that already hold host text are freed before they
# are replaced. The host tool's exit status covers leaks and double frees.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/errors.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<'END'
GetDescription null
expect-host-error 1006 "Unsupported data type - VTYPE_NULL"
SetParameter vt:4 true
expect-host-error 1006 "Unsupported data type - VTYPE_R4"
OpenCashDrawer vt:16406
expect-host-error 1006 "Unsupported data type - VTYPE_PWSTR by ref"
# The object is unharmed, and the failed calls did not touch the last result.
GetLastError out:text
expect int:0
GetDescription out:d
expect true
expect-contains $d "<DriverDescription"

# Parameters of other types are rendered and accepted.
SetParameter "LogEnabled" int:0
expect true
SetParameter "LogEnabled" double:1
expect true
SetParameter "LogEnabled" tm:2024-01-31T13:05:09
expect true
OpenCashDrawer blob:00FF
expect-error 1001

# An output parameter holding host text: the add-in frees it before writing the new text.
let d "a previous text the add-in must free"
GetDescription out:d
expect true
expect-contains $d "<DriverDescription"
let text "another previous text"
GetLastError out:text
expect-equal $text ""

# The host refuses memory: no crash, and nothing is written where nothing was allocated.
fail-alloc 1
GetDescription out:d
fail-alloc 1
GetLastError out:text
fail-alloc 1
methods
GetDescription out:d
expect true
END
