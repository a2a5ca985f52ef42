#!/usr/bin/env bash
# Every fiscal method names its register by DeviceID. Without a connected register each one
# returns false, GetLastError gives 1001 and the reason, and the output parameters stay as the
# host passed them.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/fiscal.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

UNKNOWN=0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9

# calls ID: one call of each fiscal method (by its English name, then again by the Russian one
# for a few), output parameters preset to "untouched".
calls() {
    local id="$1"
    cat <<END
GetDataKKT "$id" out:o
OperationFN "$id" int:1 "<ParametersFiscal/>"
OpenShift "$id" "<InputParameters/>" out:o
CloseShift "$id" "<InputParameters/>" out:o
ProcessCheck "$id" false "<CheckPackage/>" out:o
ProcessCorrectionCheck "$id" false "<CheckCorrectionPackage/>" out:o
PrintTextDocument "$id" "<Document/>"
CashInOutcome "$id" "<InputParameters/>" double:100.5
PrintXReport "$id" "<InputParameters/>"
GetCurrentStatus "$id" "<InputParameters/>" out:o
ReportCurrentStatusOfSettlements "$id" "<InputParameters/>" out:o
OpenCashDrawer "$id"
GetLineLength "$id" out:o
PrintCheckCopy "$id" "1"
OpenSessionRegistrationKM "$id"
CloseSessionRegistrationKM "$id"
RequestKM "$id" "<RequestKM/>" out:o
GetProcessingKMResult "$id" out:o out:o2
ConfirmKM "$id" "6f0c1e36-0000-4000-8000-000000000001" int:0
SetDateTime "$id" "2024-01-31T13:05:09"
GetDateTime "$id" out:o
GetDocumentInformation "$id" int:1 out:o
СформироватьЧек "$id" false "<CheckPackage/>" out:o
ЗакрытьСмену "$id" "<InputParameters/>" out:o
ПолучитьДатуВремя "$id" out:o
END
}

# script ID TEXT: every call must fail with 1001 and TEXT and leave o and o2 alone.
script() {
    local id="$1" text="$2" line
    while IFS= read -r line; do
        printf 'let o "untouched"\nlet o2 int:7\n%s\nexpect-error 1001 "%s"\n' "$line" "$text"
        printf 'expect-equal $o "untouched"\nexpect-equal $o2 int:7\n'
    done < <(calls "$id")
}

{
    script "" "Не передан идентификатор устройства"
    script "   " "Не передан идентификатор устройства"
    script "$UNKNOWN" "Экземпляр устройства c идентификатором $UNKNOWN не существует или уже был отключен"
    # Disconnecting a register that is not connected is not an error.
    printf 'DisconnectEquipment "%s"\nexpect true\n' "$UNKNOWN"
} >"$TMP/script.txt"

[ "$(grep -c '^expect-error' "$TMP/script.txt")" -eq 75 ]
"$KORVANDER_HOST" -q "$KORVANDER_LIB" -f "$TMP/script.txt"
