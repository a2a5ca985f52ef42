#!/usr/bin/env bash
# A register on the serial line through the add-in: the emulator on a pseudo-terminal reached
# as COM5 through a KORVANDER_COM_DIR link, with a TCP register connected at the same time;
# the reading operations and the equipment test over the serial link.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
if [ -z "${KORVANDER_EMULATOR:-}" ]; then
    echo "no register emulator in this build: nothing to test"
    exit 0
fi
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/connect-pty.XXXXXX")"
PIDS=()
cleanup() {
    local pid
    for pid in "${PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$TMP"
}
trap cleanup EXIT
export KORVANDER_LOG_DIR="$TMP/log"
export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"

# start_emulator NAME PATTERN ARGS...: starts an emulator and waits for its first line,
# which must match PATTERN; leaves that line in LINE.
start_emulator() {
    local name="$1" pattern="$2" fd
    shift 2
    mkfifo "$TMP/$name.out"
    "$KORVANDER_EMULATOR" --state "$TMP/$name.bin" "$@" >"$TMP/$name.out" 2>"$TMP/$name.err" &
    PIDS+=($!)
    exec {fd}<"$TMP/$name.out"
    LINE=""
    read -r -t 30 LINE <&"$fd" || { echo "emulator $name did not start" >&2; cat "$TMP/$name.err" >&2; exit 1; }
    # shellcheck disable=SC2254
    case "$LINE" in
        $pattern) ;;
        *) echo "unexpected first line from emulator $name: $LINE" >&2; exit 1 ;;
    esac
}

start_emulator serial "pty /dev/*" --pty --link "$KORVANDER_COM_DIR/COM5" --registered
[ -L "$KORVANDER_COM_DIR/COM5" ] || { echo "no COM5 link to the pseudo-terminal" >&2; exit 1; }
start_emulator network "tcp 127.0.0.1:*" --tcp 0
PORT="${LINE##*:}"

serial_settings() {
    printf '<Parameters><Parameter Name=\\"PortNumber\\" Value=\\"%s\\"/>' "$1"
    printf '<Parameter Name=\\"BaudRate\\" Value=\\"115200\\"/>'
    printf '<Parameter Name=\\"ConnectPwd\\" Value=\\"30\\"/></Parameters>'
}
tcp_settings() {
    printf '<Parameters><Parameter Name=\\"PortNumber\\" Value=\\"9999\\"/>'
    printf '<Parameter Name=\\"IPAddress\\" Value=\\"127.0.0.1\\"/>'
    printf '<Parameter Name=\\"IPPort\\" Value=\\"%s\\"/>' "$1"
    printf '<Parameter Name=\\"ConnectPwd\\" Value=\\"30\\"/></Parameters>'
}

timeout 120 "$KORVANDER_HOST" -q "$KORVANDER_LIB" -f - <<END
ConnectEquipment out:com "" "$(serial_settings 5)"
expect true
ConnectEquipment out:net "" "$(tcp_settings "$PORT")"
expect true

GetDataKKT \$com out:kkt
expect true
expect-contains \$kkt "Fiscal=\"true\""
expect-contains \$kkt "INN=\""
GetDataKKT \$net out:kkt
expect true
expect-contains \$kkt "Fiscal=\"false\""

GetCurrentStatus \$com "<InputParameters><Parameters GetCounters=\"false\"/></InputParameters>" out:st
expect true
expect-not-contains \$st "CountersOperationType"
expect-match \$st "BacklogDocumentsCounter=\"[0-9]+\""
GetDocumentInformation \$com 0 out:doc
expect true
expect-contains \$doc "<CheckPackage><Parameters DocumentType="
GetDateTime \$com out:clock
expect true
expect-match \$clock "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\$"
GetLineLength \$com out:width
expect true
GetLineLength \$net out:width
expect true

# The serial port is held by the first instance until it is disconnected.
DisconnectEquipment \$com
expect true
EquipmentTest "" "$(serial_settings 5)" out:description out:demo
expect true
expect-match \$description "^.+, № [0-9]+, ФИСК\$"
# No link for COM6 in the folder: the port is not there.
EquipmentTest "" "$(serial_settings 6)" out:description out:demo
expect false
expect-contains \$errtext "Ошибка соединения с ККТ"
DisconnectEquipment \$net
expect true
END
