#!/usr/bin/env bash
# Sales through the add-in on a register over TCP and on one over a pseudo-terminal: the
# marking code checked with the FN (session, request, result, confirmation), a receipt with
# the marked item, an item of an agent and a plain one, a return, a correction; each read
# back from the FN archive with what was sold. The tape shows the receipt.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
require_emulator
emu_scratch receipt-marked
export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"

start_emulator network "tcp 127.0.0.1:*" --tcp 0 --registered --tape-text "$TMP/network.txt"
TCP_PORT="$PORT"
start_emulator serial "pty /dev/*" --pty --link "$KORVANDER_COM_DIR/COM8" --registered \
    --tape-text "$TMP/serial.txt"

# A DataMatrix code with its group separator, as the scanner gives it.
CODE=$(printf '0104601234567893215Abc12\x1d93dGVz' | base64 -w0)

# The sales on one register ($1: the settings). The registered emulator's FN holds five
# documents; the shift opening is 6, the receipt 7, the return 8, the correction 9.
sales() {
    local cashier='CashierName=\"Смирнова Е.В.\" CashierINN=\"771234567890\"'
    cat <<END
ConnectEquipment out:id "" "$1"
expect true
OpenShift \$id "<InputParameters><Parameters $cashier/></InputParameters>" out:open
expect true
OpenSessionRegistrationKM \$id
expect true
RequestKM \$id "<RequestKM GUID=\"req-1\" MarkingCode=\"$CODE\" PlannedStatus=\"1\" Quantity=\"1\"/>" out:request
expect true
expect-contains \$request "Checking=\"true\" CheckingResult=\"true\""
GetProcessingKMResult \$id out:result out:status
expect true
expect-contains \$result "GUID=\"req-1\""
ConfirmKM \$id "req-1" 0
expect true
ProcessCheck \$id false "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CheckPackage>\n\t<Parameters $cashier OperationType=\"1\" TaxationSystem=\"0\" CustomerEmail=\"buyer@example.org\"/>\n\t<Positions>\n\t\t<FiscalString Name=\"Ботинки\" Quantity=\"1\" PriceWithDiscount=\"3500\" AmountWithDiscount=\"3500\" VATRate=\"20\" VATAmount=\"583.33\" CalculationSubject=\"33\" PaymentMethod=\"4\" MarkingCode=\"$CODE\"/>\n\t\t<FiscalString Name=\"Билет\" Quantity=\"1\" PriceWithDiscount=\"500\" AmountWithDiscount=\"500\" VATRate=\"none\" CalculationSubject=\"4\" PaymentMethod=\"4\" CalculationAgent=\"5\"><AgentData AgentPhone=\"+7 (495) 123-45-67\"/><VendorData VendorName=\"Театр\" VendorINN=\"7701234567\" VendorPhone=\"+7 495 000-00-00\"/></FiscalString>\n\t\t<TextString Text=\"Спасибо за покупку\"/>\n\t\t<FiscalString Name=\"Пакет\" Quantity=\"2\" PriceWithDiscount=\"5.5\" AmountWithDiscount=\"11\" VATRate=\"20\" VATAmount=\"1.83\" CalculationSubject=\"1\" PaymentMethod=\"4\" DiscountAmount=\"1\"/>\n\t</Positions>\n\t<Payments Cash=\"1011\" ElectronicPayment=\"3000\"/>\n</CheckPackage>" out:sale
expect true
expect-match \$sale "CheckNumber=\"7\" ShiftClosingCheckNumber=\"1\" DateTime=\"[0-9T:-]+\" FiscalSign=\"[0-9]+\""
CloseSessionRegistrationKM \$id
expect true
GetDocumentInformation \$id 7 out:doc
expect true
expect-contains \$doc "DocumentType=\"3\""
expect-contains \$doc "Name=\"Ботинки\""
expect-contains \$doc "MarkingCode=\"$CODE\""
expect-contains \$doc "Name=\"Билет\""
expect-contains \$doc "Name=\"Пакет\" PriceWithDiscount=\"5.5\" Quantity=\"2\""
expect-contains \$doc "Cash=\"1011\""
expect-contains \$doc "ElectronicPayment=\"3000\""
ProcessCheck \$id false "<CheckPackage><Parameters $cashier OperationType=\"2\" TaxationSystem=\"0\"/><Positions><FiscalString Name=\"Пакет\" Quantity=\"1\" PriceWithDiscount=\"5.5\" AmountWithDiscount=\"5.5\" VATRate=\"20\" CalculationSubject=\"1\" PaymentMethod=\"4\"/></Positions><Payments Cash=\"5.5\"/></CheckPackage>" out:back
expect true
expect-contains \$back "CheckNumber=\"8\""
GetDocumentInformation \$id 8 out:doc
expect true
expect-contains \$doc "OperationType=\"2\""
ProcessCorrectionCheck \$id false "<CheckCorrectionPackage><Parameters $cashier OperationType=\"1\" TaxationSystem=\"0\"><CorrectionData Type=\"0\" Date=\"2024-03-01T00:00:00\" Number=\"1\"/></Parameters><Positions><FiscalString Name=\"Выручка\" Quantity=\"1\" PriceWithDiscount=\"100\" AmountWithDiscount=\"100\" VATRate=\"20\" CalculationSubject=\"1\" PaymentMethod=\"4\"/></Positions><Payments Cash=\"100\"/></CheckCorrectionPackage>" out:corr
expect true
expect-contains \$corr "CheckNumber=\"9\""
GetDocumentInformation \$id 9 out:doc
expect true
expect-contains \$doc "DocumentType=\"31\""
ProcessCheck \$id false "<CheckPackage><Parameters OperationType=\"9\"/><Positions/><Payments/></CheckPackage>" out:bad
expect-error 1004 "Ошибка входных параметров команды"
GetDocumentInformation \$id 10 out:doc
expect false
DisconnectEquipment \$id
expect true
END
}

sales "$(tcp_settings "$TCP_PORT")" | timeout 180 "$KORVANDER_HOST" -q "$KORVANDER_LIB" -f -
sales "$(serial_settings 8)" | timeout 180 "$KORVANDER_HOST" -q "$KORVANDER_LIB" -f -

# The tapes are written when the emulators stop.
emu_stop_all
for tape in "$TMP/network.txt" "$TMP/serial.txt"; do
    expect_tape "$tape" "Ботинки" "Билет" "Спасибо за покупку" "СКИДКА"
done
echo "receipts with marked goods over TCP and over a serial line: ok"
