#!/usr/bin/env bash
# Registers over TCP through the add-in: two registers at once (two emulators), every reading
# operation, the equipment test against a register and against a port nothing listens on, and
# the log switch as the host reads it.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
require_emulator
emu_scratch connect-tcp

start_emulator registered "tcp 127.0.0.1:*" --tcp 0 --registered
PORT_A=$PORT
start_emulator fresh "tcp 127.0.0.1:*" --tcp 0
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
ConnectEquipment out:a "" "$(tcp_settings "$PORT_A")"
expect true
ConnectEquipment out:b "" "$(tcp_settings "$PORT_B")"
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

# A shift opened through the add-in (the shift day has a script of its own).
OpenShift \$a "<InputParameters><Parameters/></InputParameters>" out:o
expect true
expect-contains \$o "ShiftState=\"2\""

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
EquipmentTest "" "$(tcp_settings "$PORT_A")" out:description out:demo
expect true
expect-match \$description "^.+, № [0-9]+, ФИСК\$"
expect-equal \$demo ""
EquipmentTest "" "$(tcp_settings "$DEAD_PORT")" out:description out:demo
expect false
expect-contains \$errtext "Ошибка соединения с ККТ"
ConnectEquipment out:bad "" "$(tcp_settings "$DEAD_PORT")"
expect false
expect-contains \$errtext "Ошибка соединения с ККТ; адрес 127.0.0.1:$DEAD_PORT: "
memory
END
