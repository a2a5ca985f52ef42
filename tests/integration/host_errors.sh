#!/usr/bin/env bash
# Values of a type the add-in does not take: the call fails at the host boundary, AddError
# reports it, and the object goes on working. The host tool's exit status covers what the add-in
# leaves in host memory on this path.
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
END
