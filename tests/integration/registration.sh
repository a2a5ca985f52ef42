#!/usr/bin/env bash
# The life of an FN through the add-in against the emulator: a fresh FN is registered, a shift
# with a cash-in runs on it, the register is re-registered with a new address, the FN is
# closed. GetDataKKT, the emulator's FN line and the archive show each step; bad input
# changes nothing on the register.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
require_emulator
emu_scratch registration
start_emulator register "tcp 127.0.0.1:*" --tcp 0 --control 0
read -r -t 30 CONTROL <&"$EMU_OUT"
CONTROL="${CONTROL##*:}"

fail() {
    echo "registration: $*" >&2
    exit 1
}
# control LINE PATTERN: the emulator's answer to LINE must match PATTERN (bash glob).
control() {
    local answer
    answer="$(emu_control "$CONTROL" "$1")"
    # shellcheck disable=SC2053
    [[ "$answer" == $2 ]] || fail "control '$1' answered '$answer', expected '$2'"
}
# host COMMANDS...: one session of the host tool; every line is its own expectation.
host() {
    "$KORVANDER_HOST" "$KORVANDER_LIB" -x -f - || fail "host session failed"
}
# The settings leave the connection password out: the form's default (30) is the emulator's.
SETTINGS="<Parameters><Parameter Name=\\\"PortNumber\\\" Value=\\\"9999\\\"/><Parameter Name=\\\"IPPort\\\" Value=\\\"$PORT\\\"/></Parameters>"
PASSWORD=1E000000
FISCAL='FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"0000000001012345\" TaxationSystems=\"0,3\" CompanyName=\"ООО Ромашка\" CashierName=\"Петров\" CashierINN=\"500100732259\" OFDCompany=\"ОФД\" OFDCompanyINN=\"7704211201\" IsOnline=\"true\" IsMarking=\"true\" SaleLocation=\"Зал 1\"'

control FN "OK phase=1 *docs=0 *"

# Bad input first: nothing reaches the FN or the tables.
host <<END
ConnectEquipment out:id "" "$SETTINGS"
expect true
GetDataKKT \$id out:data
expect true
expect-contains \$data "Fiscal=\"false\""
OperationFN \$id 1 "<P FFDVersion=\"1.05\" INN=\"7701234567\" KKTNumber=\"1\" TaxationSystems=\"0\" SaleAddress=\"Нигде\"/>"
expect-error 1004
expect-contains \$errtext "Ошибка входных параметров команды"
OperationFN \$id 1 "<P $FISCAL SaleAddress=\"Нигде\" AgentTypes=\"1\" RegistrationReasonCode=\"x\"/>"
expect-error 1004
OperationFN \$id 257 "<P $FISCAL SaleAddress=\"Нигде\"/>"
expect-error 1004
OperationFN \$id 1 "<P $FISCAL SaleAddress=\"Нигде\""
expect-error 1004
DisconnectEquipment \$id
expect true
END
control FN "OK phase=1 *docs=0 *"
# Only the connections' own commands were sent: no registration table (18, 24, 17.1.17), no
# clock, no FN command.
if emu_control "$CONTROL" "LOG 1000" |
    grep -E 'request=1E1E000000(12|18|11010011)|code=(21|22|FF05|FF0C|FF06) '; then
    fail "the register was changed for input that was refused"
fi

# Registration.
host <<END
ConnectEquipment out:id "" "$SETTINGS"
expect true
OperationFN \$id 1 "<P $FISCAL SaleAddress=\"г. Москва, ул. Ленина, 1\"/>"
expect true
GetDataKKT \$id out:data
expect true
expect-contains \$data "Fiscal=\"true\" DocumentNumber=\"1\""
expect-contains \$data "INN=\"7701234567\" KKTNumber=\"0000000001012345\""
expect-contains \$data "TaxationSystems=\"0,3\" CompanyName=\"ООО Ромашка\" SaleAddress=\"г. Москва, ул. Ленина, 1\" SaleLocation=\"Зал 1\""
expect-contains \$data "OFDCompanyINN=\"7704211201\""
expect-contains \$data "IsOnline=\"true\""
expect-contains \$data "IsMarking=\"true\""
expect-contains \$data "FFDVersionFN=\"1.2\""
GetDocumentInformation \$id 1 out:doc
expect true
expect-contains \$doc "DocumentType=\"1\""
# Registered once: a second registration is the register's refusal.
OperationFN \$id 1 "<P $FISCAL SaleAddress=\"Нигде\"/>"
expect-error 1001
expect-contains \$errtext "Ошибка команды начала формирования отчета о регистрации"
DisconnectEquipment \$id
expect true
END
control FN "OK phase=3 ffd=120 docs=1 shift=0 open=0 *"

# A shift with a cash-in of 100.00.
CASHIER='<InputParameters><Parameters CashierName=\"Петров\" CashierINN=\"500100732259\"/></InputParameters>'
host <<END
ConnectEquipment out:id "" "$SETTINGS"
expect true
OpenShift \$id "$CASHIER" out:open
expect true
expect-match \$open "ShiftNumber=\"1\""
CashInOutcome \$id "$CASHIER" double:100
expect true
# The FN refuses a re-registration while the shift is open.
OperationFN \$id 2 "<P $FISCAL SaleAddress=\"Нигде\"/>"
expect-error 1001
GetDataKKT \$id out:data
expect true
expect-contains \$data "SaleAddress=\"г. Москва, ул. Ленина, 1\""
DisconnectEquipment \$id
expect true
END
control "CASHREG 241" "OK 10000"
control FN "OK phase=3 * docs=2 shift=1 open=1 *"
host <<END
ConnectEquipment out:id "" "$SETTINGS"
expect true
CloseShift \$id "$CASHIER" out:close
expect true
DisconnectEquipment \$id
expect true
END
control FN "OK phase=3 * docs=3 shift=1 open=0 *"

# Re-registration with a changed address.
host <<END
ConnectEquipment out:id "" "$SETTINGS"
expect true
OperationFN \$id 2 "<P $FISCAL SaleAddress=\"г. Тверь, пр. Мира, 7\" RegistrationReasonCode=\"4\"/>"
expect true
GetDataKKT \$id out:data
expect true
expect-contains \$data "DocumentNumber=\"4\""
expect-contains \$data "SaleAddress=\"г. Тверь, пр. Мира, 7\""
GetDocumentInformation \$id 2 out:doc
expect true
expect-contains \$doc "DocumentType=\"2\""
GetDocumentInformation \$id 3 out:doc
expect true
expect-contains \$doc "DocumentType=\"5\""
GetDocumentInformation \$id 4 out:doc
expect true
expect-contains \$doc "DocumentType=\"11\""
DisconnectEquipment \$id
expect true
END
control FN "OK phase=3 * docs=4 shift=1 open=0 *"

# Closing the FN; afterwards the FN takes no fiscal document.
host <<END
ConnectEquipment out:id "" "$SETTINGS"
expect true
OperationFN \$id 3 "<P FFDVersion=\"1.2\"/>"
expect true
GetDocumentInformation \$id 5 out:doc
expect true
expect-contains \$doc "DocumentType=\"6\""
GetDataKKT \$id out:data
expect true
expect-contains \$data "SaleAddress=\"г. Тверь, пр. Мира, 7\""
OperationFN \$id 2 "<P $FISCAL SaleAddress=\"Нигде\"/>"
expect-error 1001
OperationFN \$id 3 "<P FFDVersion=\"1.2\"/>"
expect-error 1001
expect-contains \$errtext "Ошибка команды закрытия ФН"
DisconnectEquipment \$id
expect true
END
control FN "OK phase=7 * docs=5 *"
control "COMMAND E0$PASSWORD" "OK E002"
control "COMMAND 8D${PASSWORD}00" "OK 8D02"
control FN "OK phase=7 * docs=5 *"

# The tape shows the three reports, in order.
control "TAPE TEXT $TMP/tape.txt" "OK"
grep -o -e "ОТЧЕТ О РЕГИСТРАЦИИ" -e "ОТЧЕТ ОБ ИЗМ. ПАРАМЕТРОВ РЕГИСТРАЦИИ" -e "ОТЧЕТ О ЗАКРЫТИИ ФН" \
    "$TMP/tape.txt" | tr '\n' '|' >"$TMP/reports"
[ "$(cat "$TMP/reports")" = "ОТЧЕТ О РЕГИСТРАЦИИ|ОТЧЕТ ОБ ИЗМ. ПАРАМЕТРОВ РЕГИСТРАЦИИ|ОТЧЕТ О ЗАКРЫТИИ ФН|" ] ||
    fail "the tape shows $(cat "$TMP/reports")"
