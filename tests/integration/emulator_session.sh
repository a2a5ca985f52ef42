#!/usr/bin/env bash
# A register session over TCP against the emulator: connect with the host's settings, a few
# operations, the per-device log trace, disconnect; a refused connection; the equipment test.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
if [ -z "${KORVANDER_EMULATOR:-}" ]; then
    echo "no register emulator in this build: nothing to test"
    exit 0
fi
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/session.XXXXXX")"
EMU_PID=""
cleanup() {
    if [ -n "$EMU_PID" ]; then
        kill "$EMU_PID" 2>/dev/null || true
        wait "$EMU_PID" 2>/dev/null || true
    fi
    rm -rf "$TMP"
}
trap cleanup EXIT
export KORVANDER_LOG_DIR="$TMP/log"

# The emulator on a free port of 127.0.0.1; its first line names the port.
mkfifo "$TMP/emu.out"
"$KORVANDER_EMULATOR" --tcp 0 --state "$TMP/state.bin" >"$TMP/emu.out" 2>"$TMP/emu.err" &
EMU_PID=$!
exec {EMU_OUT}<"$TMP/emu.out"
line=""
read -r -t 30 line <&"$EMU_OUT" || { echo "the emulator did not start" >&2; cat "$TMP/emu.err" >&2; exit 1; }
PORT="${line##*:}"
case "$line" in
    "tcp 127.0.0.1:"[0-9]*) ;;
    *) echo "unexpected first line from the emulator: $line" >&2; exit 1 ;;
esac

settings() {
    printf '<Parameters><Parameter Name=\\"PortNumber\\" Value=\\"9999\\"/>'
    printf '<Parameter Name=\\"IPAddress\\" Value=\\"127.0.0.1\\"/>'
    printf '<Parameter Name=\\"IPPort\\" Value=\\"%s\\"/>' "$1"
    printf '<Parameter Name=\\"ConnectPwd\\" Value=\\"30\\"/>'
    printf '<Parameter Name=\\"LogEnabled\\" Value=\\"%s\\"/></Parameters>' "$2"
}

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<END
ConnectEquipment out:id "" "$(settings "$PORT" true)"
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
ConnectEquipment out:id2 "" "$(settings "$PORT" false)"
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
ConnectEquipment out:bad "" "$(settings 1 false)"
expect false
expect-contains \$errtext "Ошибка соединения с ККТ"

# The equipment test connects, describes the register and disconnects again.
EquipmentTest "" "$(settings "$PORT" false)" out:description out:demo
expect true
expect-match \$description "^.+, № .*, (ФИСК|НЕ ФИСК)\$"
END

# The trace of the calls that named the logged register, and none of the others.
grep -rq '> GetLineLength' "$KORVANDER_LOG_DIR"
grep -rq '< GetLineLength' "$KORVANDER_LOG_DIR"
! grep -rq '> GetDescription' "$KORVANDER_LOG_DIR"
