#!/usr/bin/env bash
# Registers over TCP through the add-in: two registers at once (two emulators), every reading
# operation, the equipment test against a register and against a port nothing listens on, and
# the log switch as the host reads it.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
if [ -z "${KORVANDER_EMULATOR:-}" ]; then
    echo "no register emulator in this build: nothing to test"
    exit 0
fi
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/connect-tcp.XXXXXX")"
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

# start_emulator NAME ARGS...: starts an emulator on a free port of 127.0.0.1; sets PORT.
start_emulator() {
    local name="$1" line="" fd
    shift
    mkfifo "$TMP/$name.out"
    "$KORVANDER_EMULATOR" --tcp 0 --state "$TMP/$name.bin" "$@" >"$TMP/$name.out" 2>"$TMP/$name.err" &
    PIDS+=($!)
    exec {fd}<"$TMP/$name.out"
    read -r -t 30 line <&"$fd" || { echo "emulator $name did not start" >&2; cat "$TMP/$name.err" >&2; exit 1; }
    case "$line" in
        "tcp 127.0.0.1:"[0-9]*) PORT="${line##*:}" ;;
        *) echo "unexpected first line from the emulator: $line" >&2; exit 1 ;;
    esac
}

settings() {
    printf '<Parameters><Parameter Name=\\"PortNumber\\" Value=\\"9999\\"/>'
    printf '<Parameter Name=\\"IPAddress\\" Value=\\"127.0.0.1\\"/>'
    printf '<Parameter Name=\\"IPPort\\" Value=\\"%s\\"/>' "$1"
    printf '<Parameter Name=\\"ConnectPwd\\" Value=\\"30\\"/>'
    printf '<Parameter Name=\\"LogEnabled\\" Value=\\"%s\\"/></Parameters>' "${2:-false}"
}

start_emulator registered --registered
PORT_A=$PORT
start_emulator fresh
PORT_B=$PORT

# Nothing listens on port 1 of 127.0.0.1 (binding it takes root, and no test does).
DEAD_PORT=1

timeout 120 "$KORVANDER_HOST" -q "$KORVANDER_LIB" -f - <<END
# The log switch reads as configured, not as the mode of the call in progress.
get LogEnabled out:log
expect-equal \$log false
GetDescription out:d
expect-contains \$d "LogIsEnabled=\"false\""
SetParameter "LogEnabled" true
get LogEnabled out:log
expect-equal \$log true
GetDescription out:d
expect-contains \$d "LogIsEnabled=\"true\""
SetParameter "LogEnabled" false
GetDescription out:d
expect-contains \$d "LogIsEnabled=\"false\""

# Two registers at once.
ConnectEquipment out:a "" "$(settings "$PORT_A")"
expect true
ConnectEquipment out:b "" "$(settings "$PORT_B")"
expect true
expect-not-contains \$a \$b

GetDataKKT \$a out:kkt
expect true
expect-contains \$kkt "Fiscal=\"true\""
expect-contains \$kkt "KKTSerialNumber=\""
expect-contains \$kkt "FFDVersionKKT=\"1.2\""
expect-contains \$kkt "PermissiveMarking=\"true\""
GetDataKKT \$b out:kkt
expect true
expect-match \$kkt "<Parameters Fiscal=\"false\" ?/>"

GetCurrentStatus \$a "<InputParameters><Parameters GetCounters=\"true\"/></InputParameters>" out:st
expect true
expect-contains \$st "<CountersOperationType1 CheckCount="
expect-contains \$st "<CashIn Count="
expect-contains \$st "<Payments><Cash Sell="
expect-match \$st "CheckNumber=\"[1-9][0-9]*\""
GetCurrentStatus \$b "<InputParameters><Parameters/></InputParameters>" out:st
expect true
expect-contains \$st "ShiftState=\"1\""
expect-not-contains \$st "CountersOperationType"
expect-not-contains \$st "Payments"

# The last document, then the first (the registration report), then one past the end.
GetDocumentInformation \$a 0 out:doc
expect true
expect-match \$doc "^<\\?xml version=\"1.0\"\\?>\\s*<CheckPackage><Parameters DocumentType=\"[0-9]+\""
GetDocumentInformation \$a 3 out:doc
expect true
expect-contains \$doc "<Positions><FiscalString "
expect-contains \$doc "<Payments Cash="
GetDocumentInformation \$a 100000 out:doc
expect-error 1001
expect-contains \$errtext "Ошибка извлечения данных из ФН"

GetDateTime \$b out:clock
expect true
expect-match \$clock "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\$"
SetDateTime \$b "2031-02-03T04:05:06"
expect true
GetDateTime \$b out:clock
expect true
expect-match \$clock "^2031-02-03T04:05:"
SetDateTime \$b "2031-13-03T04:05:06"
expect-error 1004
GetLineLength \$a out:width
expect true
expect-type \$width I4
OpenCashDrawer \$a
expect true

# Operations of other work items fail cleanly.
OpenShift \$a "<InputParameters><Parameters/></InputParameters>" out:o
expect-error 1003

# One register gone leaves the other working.
DisconnectEquipment \$a
expect true
GetLineLength \$b out:width
expect true
GetLineLength \$a out:width
expect-error 1001
expect-contains \$errtext "не существует или уже был отключен"
DisconnectEquipment \$b
expect true

# The equipment test, against the register and against a port nothing listens on.
EquipmentTest "" "$(settings "$PORT_A")" out:description out:demo
expect true
expect-match \$description "^.+, № [0-9]+, ФИСК\$"
expect-equal \$demo ""
EquipmentTest "" "$(settings "$DEAD_PORT")" out:description out:demo
expect false
expect-contains \$errtext "Ошибка соединения с ККТ"
ConnectEquipment out:bad "" "$(settings "$DEAD_PORT")"
expect false
expect-contains \$errtext "Ошибка соединения с ККТ"
memory
END
