#!/usr/bin/env bash
# The demo: the host tool loads the add-in as the host does and shows what it offers: its
# description, interface revision, method table and settings form. Then it drives the register
# emulator through the add-in, first over TCP, then over a serial line (a pseudo-terminal the
# driver reaches as COM5): the equipment test, the registration data, the status with its
# counters, the clock and the last document of the FN. Over TCP it also runs a cashier's day
# without sales and names the picture of the paper tape it printed, then sells (a marked item,
# an agent's item, a return, a correction) and names that tape too.
#
#   scripts/demo.sh [BUILD_DIR]      (default: build/)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
HOST="$BUILD/bin/korvander-host"
LIB="$BUILD/lib/libKorvander.so"
[ -x "$HOST" ] || { echo "demo: $HOST is missing (build first: ./run build)" >&2; exit 1; }
[ -f "$LIB" ] || { echo "demo: $LIB is missing (build first: ./run build)" >&2; exit 1; }

KORVANDER_EMULATOR="$BUILD/bin/kkt-emulator"
EMULATOR="$KORVANDER_EMULATOR"
# shellcheck source=emulator-lib.sh
source "$ROOT/scripts/emulator-lib.sh"
# A scratch folder for the emulators' state and the driver's log (not the machine's folder).
emu_scratch korvander-demo

say() { printf '\n== %s\n' "$*"; }

say "the library and its object ($LIB)"
"$HOST" -q "$LIB" -c info

say "description (GetDescription) and interface revision (GetInterfaceRevision)"
"$HOST" -q "$LIB" -f - <<END
GetDescription out:d
expect true
print \$d
GetInterfaceRevision
expect int:4004
print "interface revision:" \$ret
EquipmentParameters "" out:form
expect true
save \$form "$TMP/form.xml"
END

say "methods: number, English name, Russian name, parameters, kind"
"$HOST" -q "$LIB" -c methods
say "properties"
"$HOST" -q "$LIB" -c props

say "settings form (EquipmentParameters): pages, groups, parameters"
# One tag per line; then page and group captions, and each parameter with its type, default,
# number of choices and caption (last: its width in bytes is not its width on screen).
sed 's/</\n</g' "$TMP/form.xml" | awk '
    function attr(name,    m) {
        if (match($0, name "=\"[^\"]*\"")) return substr($0, RSTART + length(name) + 2, RLENGTH - length(name) - 3)
        return ""
    }
    function flush() {
        if (param != "") printf "      %-22s %-8s %-18s %-12s %s\n", param, type, "default " def, (choices ? choices " choices" : ""), caption
        param = ""; choices = 0
    }
    /^<Page / { flush(); printf "  page \"%s\"\n", attr("Caption") }
    /^<Group / { flush(); printf "    group \"%s\"\n", attr("Caption") }
    /^<Parameter / { flush(); param = attr("Name"); caption = "\"" attr("Caption") "\""; type = attr("TypeValue"); def = attr("DefaultValue") }
    /^<Item / { choices++ }
    END { flush() }'

if [ ! -x "$EMULATOR" ]; then
    echo
    echo "(no register emulator in $BUILD/bin: the register part of the demo is skipped)"
    exit 0
fi

# session TITLE SETTINGS: the reading operations on one register, each answer printed.
session() {
    local title="$1" settings="$2"
    say "$title: EquipmentTest, GetDataKKT, GetCurrentStatus with counters, GetDateTime, GetDocumentInformation"
    timeout 60 "$HOST" -q "$LIB" -f - <<END
EquipmentTest "" "$settings" out:description out:demo
expect true
print "EquipmentTest:" \$description
ConnectEquipment out:id "" "$settings"
expect true
print "ConnectEquipment: DeviceID" \$id
GetDataKKT \$id out:kkt
expect true
print "GetDataKKT:" \$kkt
GetCurrentStatus \$id "<InputParameters><Parameters GetCounters=\"true\"/></InputParameters>" out:status
expect true
print "GetCurrentStatus:" \$status
GetDateTime \$id out:clock
expect true
print "GetDateTime:" \$clock
GetDocumentInformation \$id 0 out:doc
expect true
print "GetDocumentInformation (the last document):" \$doc
DisconnectEquipment \$id
expect true
END
}

start_emulator tcp "tcp 127.0.0.1:*" --tcp 0 --registered
session "TCP, register emulator on 127.0.0.1:$PORT" "$(tcp_settings "$PORT")"

# A cashier's day without sales on a register of its own, whose paper tape is kept.
TAPE_PNG="$BUILD/demo-shift-day-tape.png"
TAPE_TEXT="$BUILD/demo-shift-day-tape.txt"
start_emulator day "tcp 127.0.0.1:*" --tcp 0 --registered --tape-png "$TAPE_PNG" \
    --tape-text "$TAPE_TEXT"
DAY_PID="${EMU_PIDS[${#EMU_PIDS[@]}-1]}"
say "a cashier's day over TCP: OpenShift, CashInOutcome, PrintXReport, PrintTextDocument, ReportCurrentStatusOfSettlements, PrintCheckCopy, CashInOutcome, CloseShift"
CASHIER='<InputParameters><Parameters CashierName=\"Смирнова Е.В.\" CashierINN=\"771234567890\"/></InputParameters>'
timeout 120 "$HOST" -q "$LIB" -f - <<END
ConnectEquipment out:id "" "$(tcp_settings "$PORT")"
expect true
OpenShift \$id "$CASHIER" out:out
expect true
print "OpenShift:" \$out
CashInOutcome \$id "$CASHIER" double:5000
expect true
print "CashInOutcome: 5000 in"
PrintXReport \$id "$CASHIER"
expect true
print "PrintXReport: done"
PrintTextDocument \$id "<Document><Positions><GraphicText Text=\"Заказ 42 готов\" FontName=\"Arial\" FontSize=\"16\" FontStyle=\"bold\"/><TextString Text=\"Выдача в зале 3\"/><Barcode Type=\"EAN13\" Value=\"4600000000008\"/><Barcode Type=\"QR\" Value=\"https://example.org/order/42\"/><TextString Text=\"Спасибо за покупку!\"/></Positions></Document>"
expect true
print "PrintTextDocument: a slip with graphic text, a barcode and a QR code"
ReportCurrentStatusOfSettlements \$id "$CASHIER" out:out
expect true
print "ReportCurrentStatusOfSettlements:" \$out
PrintCheckCopy \$id "0"
expect true
print "PrintCheckCopy: the copy of the last document"
CashInOutcome \$id "$CASHIER" double:-1500
expect true
print "CashInOutcome: 1500 out"
CloseShift \$id "$CASHIER" out:out
expect true
print "CloseShift:" \$out
DisconnectEquipment \$id
expect true
END
# The emulator writes its tape when it stops.
kill "$DAY_PID"
wait "$DAY_PID" || true
echo "the day's paper tape: $TAPE_PNG (text: $TAPE_TEXT)"

# Sales on a register of its own: a marked item checked with the FN, an agent's item, a
# return and a correction, each read back from the FN archive.
SALES_PNG="$BUILD/demo-sales-tape.png"
start_emulator sales "tcp 127.0.0.1:*" --tcp 0 --registered --tape-png "$SALES_PNG"
SALES_PID="${EMU_PIDS[${#EMU_PIDS[@]}-1]}"
say "sales over TCP: RequestKM, ProcessCheck (marked goods, an agent's item), a return, ProcessCorrectionCheck, GetDocumentInformation"
SELLER='CashierName=\"Смирнова Е.В.\" CashierINN=\"771234567890\"'
KM=$(printf '0104601234567893215Demo1\x1d93dGVz' | base64 -w0)
timeout 120 "$HOST" -q "$LIB" -f - <<END
ConnectEquipment out:id "" "$(tcp_settings "$PORT")"
expect true
OpenShift \$id "<InputParameters><Parameters $SELLER/></InputParameters>" out:out
expect true
OpenSessionRegistrationKM \$id
expect true
RequestKM \$id "<RequestKM GUID=\"demo-1\" MarkingCode=\"$KM\" PlannedStatus=\"1\" Quantity=\"1\"/>" out:out
expect true
print "RequestKM:" \$out
ConfirmKM \$id "demo-1" 0
expect true
ProcessCheck \$id false "<CheckPackage><Parameters $SELLER OperationType=\"1\" TaxationSystem=\"0\" CustomerEmail=\"buyer@example.org\"/><Positions><FiscalString Name=\"Ботинки\" Quantity=\"1\" PriceWithDiscount=\"3500\" AmountWithDiscount=\"3500\" VATRate=\"20\" VATAmount=\"583.33\" CalculationSubject=\"33\" PaymentMethod=\"4\" MarkingCode=\"$KM\"/><FiscalString Name=\"Крем для обуви\" Quantity=\"1\" PriceWithDiscount=\"250\" AmountWithDiscount=\"250\" VATRate=\"20\" VATAmount=\"41.67\" CalculationSubject=\"1\" PaymentMethod=\"4\" DiscountAmount=\"20\"/></Positions><Payments Cash=\"750\" ElectronicPayment=\"3000\"/></CheckPackage>" out:out
expect true
print "ProcessCheck (marked goods):" \$out
GetDocumentInformation \$id 0 out:out
expect true
print "GetDocumentInformation:" \$out
ProcessCheck \$id false "<CheckPackage><Parameters $SELLER OperationType=\"1\" TaxationSystem=\"0\"/><Positions><FiscalString Name=\"Билет в театр\" Quantity=\"1\" PriceWithDiscount=\"1200\" AmountWithDiscount=\"1200\" VATRate=\"none\" CalculationSubject=\"4\" PaymentMethod=\"4\" CalculationAgent=\"5\"><AgentData AgentPhone=\"+7 (495) 123-45-67\"/><VendorData VendorName=\"Театр\" VendorINN=\"7701234567\" VendorPhone=\"+7 495 000-00-00\"/></FiscalString></Positions><Payments ElectronicPayment=\"1200\"/></CheckPackage>" out:out
expect true
print "ProcessCheck (an agent's item):" \$out
GetDocumentInformation \$id 0 out:out
expect true
print "GetDocumentInformation:" \$out
ProcessCheck \$id false "<CheckPackage><Parameters $SELLER OperationType=\"2\" TaxationSystem=\"0\"/><Positions><FiscalString Name=\"Крем для обуви\" Quantity=\"1\" PriceWithDiscount=\"250\" AmountWithDiscount=\"250\" VATRate=\"20\" CalculationSubject=\"1\" PaymentMethod=\"4\"/></Positions><Payments Cash=\"250\"/></CheckPackage>" out:out
expect true
print "ProcessCheck (a return):" \$out
ProcessCorrectionCheck \$id false "<CheckCorrectionPackage><Parameters $SELLER OperationType=\"1\" TaxationSystem=\"0\"><CorrectionData Type=\"0\" Date=\"2024-03-01T00:00:00\" Number=\"1\"/></Parameters><Positions><FiscalString Name=\"Неучтенная выручка\" Quantity=\"1\" PriceWithDiscount=\"100\" AmountWithDiscount=\"100\" VATRate=\"20\" CalculationSubject=\"1\" PaymentMethod=\"4\"/></Positions><Payments Cash=\"100\"/></CheckCorrectionPackage>" out:out
expect true
print "ProcessCorrectionCheck:" \$out
GetDocumentInformation \$id 0 out:out
expect true
print "GetDocumentInformation:" \$out
CloseShift \$id "<InputParameters><Parameters $SELLER/></InputParameters>" out:out
expect true
DisconnectEquipment \$id
expect true
END
kill "$SALES_PID"
wait "$SALES_PID" || true
echo "the sales' paper tape: $SALES_PNG"

export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"
start_emulator serial "pty /dev/*" --pty --link "$KORVANDER_COM_DIR/COM5" --registered
session "serial line COM5 -> ${LINE#pty }" "$(serial_settings 5)"

echo
echo "(the host tool: $HOST --help; the emulator: $EMULATOR --help)"
