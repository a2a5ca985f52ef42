#!/usr/bin/env bash
# A cashier's day without sales through the add-in, on a register over TCP and on one over a
# pseudo-terminal: open the shift, cash in, X report, a text slip with a barcode and a QR
# code, the settlement report, a copy of the last document, cash out and the Z report. Then
# the FN archive read back holds each fiscal document of the day once, and the tape shows
# what was printed.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
require_emulator
emu_scratch shift-day
export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"

start_emulator network "tcp 127.0.0.1:*" --tcp 0 --registered \
    --tape-text "$TMP/network.txt" --tape-png "$TMP/network.png"
TCP_PORT="$PORT"
start_emulator serial "pty /dev/*" --pty --link "$KORVANDER_COM_DIR/COM7" --registered \
    --tape-text "$TMP/serial.txt"

# The day on one register ($1: the settings). The registered emulator's FN holds five
# documents; the day adds the shift opening (6), the settlement report (7) and the
# shift closing (8).
day() {
    local cashier='CashierName=\"Смирнова Е.В.\" CashierINN=\"771234567890\"'
    cat <<END
ConnectEquipment out:id "" "$1"
expect true
OpenShift \$id "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<InputParameters>\n\t<Parameters $cashier/>\n</InputParameters>" out:open
expect true
expect-match \$open "ShiftNumber=\"2\".*ShiftState=\"2\""
CashInOutcome \$id "<InputParameters><Parameters $cashier/></InputParameters>" double:1500.5
expect true
PrintXReport \$id "<InputParameters><Parameters $cashier/></InputParameters>"
expect true
PrintTextDocument \$id "<Document><Positions><TextString Text=\"Квитанция 42\"/><TextString Text=\"[gt1]Итого[/gt1]\"/><Barcode Type=\"EAN13\" Value=\"4600000000008\"/><Barcode Type=\"QR\" Value=\"https://example.org/slip/42\"/><TextString Text=\"Спасибо!\"/></Positions></Document>"
expect true
ReportCurrentStatusOfSettlements \$id "<InputParameters><Parameters $cashier/></InputParameters>" out:settlements
expect true
expect-match \$settlements "CashBalance=\"[0-9.]+\" ShiftState=\"2\""
PrintCheckCopy \$id "0"
expect true
# The stored number of the last fiscal document (the settlement report) asks for it too.
PrintCheckCopy \$id "7"
expect true
PrintCheckCopy \$id "5"
expect-error 1001 "Печать по номеру документа не поддерживается устройством"
CashInOutcome \$id "<InputParameters><Parameters $cashier/></InputParameters>" double:-500.25
expect true
GetCurrentStatus \$id "<InputParameters><Parameters GetCounters=\"true\"/></InputParameters>" out:status
expect true
expect-contains \$status "<CashIn Count=\"1\" TotalAmount=\"1500.5\"/><CashOut Count=\"1\" TotalAmount=\"500.25\"/>"
CloseShift \$id "<InputParameters><Parameters $cashier/></InputParameters>" out:close
expect true
expect-match \$close "ShiftNumber=\"2\" DateTime=\"[0-9T:-]+\" ShiftState=\"1\""
CloseShift \$id "<InputParameters><Parameters/></InputParameters>" out:close
expect-error 3005 "Смена закрыта"
GetDocumentInformation \$id 6 out:doc
expect true
expect-contains \$doc "DocumentType=\"2\""
GetDocumentInformation \$id 7 out:doc
expect true
expect-contains \$doc "DocumentType=\"21\""
GetDocumentInformation \$id 8 out:doc
expect true
expect-contains \$doc "DocumentType=\"5\""
GetDocumentInformation \$id 9 out:doc
expect false
DisconnectEquipment \$id
expect true
END
}

day "$(tcp_settings "$TCP_PORT")" | timeout 180 "$KORVANDER_HOST" -q "$KORVANDER_LIB" -f -
day "$(serial_settings 7)" | timeout 180 "$KORVANDER_HOST" -q "$KORVANDER_LIB" -f -

# The tapes are written when the emulators stop.
emu_stop_all
for tape in "$TMP/network.txt" "$TMP/serial.txt"; do
    expect_tape "$tape" "ОТЧЕТ ОБ ОТКРЫТИИ СМЕНЫ" "ВНЕСЕНИЕ" "ОТЧЕТ БЕЗ ГАШЕНИЯ" "Квитанция 42" \
        "[EAN-13 4600000000008]" "[QR https://example.org/slip/42]" "[graphic " \
        "ОТЧЕТ О ТЕКУЩЕМ СОСТОЯНИИ РАСЧЕТОВ" "КОПИЯ" "ВЫПЛАТА" "ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ" \
        "Смирнова Е.В."
    copies="$(grep -c "КОПИЯ" "$tape")"
    [ "$copies" -eq 2 ] || { echo "$tape: $copies copies, not 2" >&2; exit 1; }
done
[ -s "$TMP/network.png" ] || { echo "no tape picture" >&2; exit 1; }
echo "shift day: both links, tapes checked"
