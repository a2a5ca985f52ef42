#!/usr/bin/env bash
# The demo: the host tool loads the add-in as the host does and shows what it offers: its
# description, interface revision, method table and settings form. Then it drives the register
# emulator through the add-in, first over TCP, then over a serial line (a pseudo-terminal the
# driver reaches as COM5): the equipment test, the registration data, the status with its
# counters, the clock and the last document of the FN. Over TCP it also runs a cashier's day
# without sales and names the picture of the paper tape it printed.
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

export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"
start_emulator serial "pty /dev/*" --pty --link "$KORVANDER_COM_DIR/COM5" --registered
session "serial line COM5 -> ${LINE#pty }" "$(serial_settings 5)"

echo
echo "(the host tool: $HOST --help; the emulator: $EMULATOR --help)"
