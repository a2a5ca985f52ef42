#!/usr/bin/env bash
# Host memory across calls: parameters of every type are rendered and accepted, output
# parameters that already hold host text are freed before they are replaced, and memory the
# host refuses does not crash the add-in. The host tool's exit status covers leaks and double
# frees.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/memory.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<'END'
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

# Many calls leave nothing behind.
memory
let before $ret
GetDescription out:d
GetLastError out:text
SetParameter "PortNumber" 1
GetAdditionalActions out:a
methods
memory
expect-equal $ret $before
END
