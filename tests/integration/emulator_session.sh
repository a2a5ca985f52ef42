#!/usr/bin/env bash
# A register session over TCP against the emulator: connect with the host's settings, a few
# operations, the per-device log trace, disconnect; a refused connection; the equipment test.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
require_emulator
emu_scratch session
start_emulator register "tcp 127.0.0.1:*" --tcp 0

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<END
ConnectEquipment out:id "" "$(tcp_settings "$PORT" true)"
expect true
expect-match \$id "^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\$"
GetLastError out:text
expect int:0

GetLineLength \$id out:width
expect true
expect-type \$width I4
GetDateTime \$id out:clock
expect true
expect-type \$clock PWSTR
expect-match \$clock "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\$"
# Not a DeviceID: this call leaves no trace in the log.
GetDescription out:d
expect true

# A second register on the same emulator is a second instance with its own DeviceID.
ConnectEquipment out:id2 "" "$(tcp_settings "$PORT" false)"
expect true
expect-not-contains \$id2 \$id
DisconnectEquipment \$id2
expect true

DisconnectEquipment \$id
expect true
OpenCashDrawer \$id
expect-error 1001
expect-contains \$errtext "не существует или уже был отключен"

# Nothing listens on port 1: the connection is refused and reported.
ConnectEquipment out:bad "" "$(tcp_settings 1 false)"
expect false
expect-contains \$errtext "Ошибка соединения с ККТ"

# The equipment test connects, describes the register and disconnects again.
EquipmentTest "" "$(tcp_settings "$PORT" false)" out:description out:demo
expect true
expect-match \$description "^.+, № .*, (ФИСК|НЕ ФИСК)\$"
END

# The trace of the calls that named the logged register, and none of the others.
grep -rq '> GetLineLength' "$KORVANDER_LOG_DIR"
grep -rq '< GetLineLength' "$KORVANDER_LOG_DIR"
! grep -rq '> GetDescription' "$KORVANDER_LOG_DIR"
