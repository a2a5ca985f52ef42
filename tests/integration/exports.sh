#!/usr/bin/env bash
# The library as the host first sees it: its exports, its one class, the 37 methods in order
# with both names and parameter counts, the property, and name lookup.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/exports.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" -q "$KORVANDER_LIB" -c classes -c info >"$TMP/info.txt"
diff -u - "$TMP/info.txt" <<'END'
Korvander
class names: Korvander
attach type: 3
info: 2000
extension: Korvander
methods: 37, properties: 1
END

"$KORVANDER_HOST" -q "$KORVANDER_LIB" -c methods -c props >"$TMP/methods.txt"
diff -u - "$TMP/methods.txt" <<'END'
0 GetInterfaceRevision ПолучитьРевизиюИнтерфейса 0 function
1 GetDataKKT ПолучитьПараметрыККТ 2 function
2 OperationFN ОперацияФН 3 function
3 OpenShift ОткрытьСмену 3 function
4 CloseShift ЗакрытьСмену 3 function
5 ProcessCheck СформироватьЧек 4 function
6 ProcessCorrectionCheck СформироватьЧекКоррекции 4 function
7 PrintTextDocument НапечататьТекстовыйДокумент 2 function
8 CashInOutcome НапечататьЧекВнесенияВыемки 3 function
9 PrintXReport НапечататьОтчетБезГашения 2 function
10 GetCurrentStatus ПолучитьТекущееСостояние 3 function
11 ReportCurrentStatusOfSettlements ОтчетОТекущемСостоянииРасчетов 3 function
12 OpenCashDrawer ОткрытьДенежныйЯщик 1 function
13 GetLineLength ПолучитьШиринуСтроки 2 function
14 PrintCheckCopy НапечататьКопиюЧека 2 function
15 OpenSessionRegistrationKM ОткрытьСессиюРегистрацииКМ 1 function
16 CloseSessionRegistrationKM ЗакрытьСессиюРегистрацииКМ 1 function
17 RequestKM ЗапросКМ 3 function
18 GetProcessingKMResult ПолучитьРезультатыЗапросаКМ 3 function
19 ConfirmKM ПодтвердитьКМ 3 function
20 SetDateTime УстановитьДатуВремя 2 function
21 GetDateTime ПолучитьДатуВремя 2 function
22 GetDocumentInformation ПолучитьИнформациюПоДокументу 3 function
23 GetInterfaceRevision ПолучитьРевизиюИнтерфейса 0 function
24 GetDescription ПолучитьОписание 1 function
25 GetLastError ПолучитьОшибку 1 function
26 ConnectEquipment ПодключитьОборудование 3 function
27 DisconnectEquipment ОтключитьОборудование 1 function
28 EquipmentParameters ПараметрыОборудования 2 function
29 SetParameter УстановитьПараметр 2 function
30 EquipmentTest ТестированиеОборудования 4 function
31 GetAdditionalActions ПолучитьДополнительныеДействия 1 function
32 DoAdditionalAction ВыполнитьДополнительноеДействие 1 function
33 EquipmentAutoSetup АвтонастройкаОборудования 5 function
34 SetApplicationInformation УстановитьИнформациюПриложения 1 function
35 GetLocalizationPattern ПолучитьШаблонЛокализации 1 function
36 SetLocalization УстановитьЛокализацию 2 function
0 LogEnabled ЛогВключен readable writable
END

# Lookup: both names find the same entry (the first GetInterfaceRevision shadows the second),
# the comparison is exact, unknown names give -1.
"$KORVANDER_HOST" -q "$KORVANDER_LIB" -f - <<'END'
check-names
find-method GetDescription
expect 24
find-method ПолучитьОписание
expect 24
find-method getdescription
expect -1
find-method ПОЛУЧИТЬОПИСАНИЕ
expect -1
find-method GetInterfaceRevision
expect 0
find-method NoSuchMethod
expect -1
find-prop ЛогВключен
expect 0
find-prop LogEnabled
expect 0
find-prop logenabled
expect -1
# The locale and the user's interface language (the fourth table) are taken without effect on
# the calls.
locale "ru_RU"
language "ru"
GetInterfaceRevision
expect int:4004
END

# Class names compare exactly: no object for the name in another case.
status=0
"$KORVANDER_HOST" --class korvander "$KORVANDER_LIB" >"$TMP/out" 2>&1 || status=$?
[ "$status" -eq 3 ] || { echo "GetClassObject(korvander) made an object" >&2; cat "$TMP/out" >&2; exit 1; }
grep -q 'GetClassObject("korvander") returned 0' "$TMP/out"
