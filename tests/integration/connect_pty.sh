#!/usr/bin/env bash
# A register on the serial line through the add-in: the emulator on a pseudo-terminal reached
# as COM5 through a KORVANDER_COM_DIR link, with a TCP register connected at the same time;
# the reading operations and the equipment test over the serial link.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
require_emulator
emu_scratch connect-pty
export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"

start_emulator serial "pty /dev/*" --pty --link "$KORVANDER_COM_DIR/COM5" --registered
[ -L "$KORVANDER_COM_DIR/COM5" ] || { echo "no COM5 link to the pseudo-terminal" >&2; exit 1; }
start_emulator network "tcp 127.0.0.1:*" --tcp 0

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
expect-contains \$errtext "Ошибка соединения с ККТ; порт COM6: нет такого устройства"
DisconnectEquipment \$net
expect true
END
