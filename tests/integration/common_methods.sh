#!/usr/bin/env bash
# The methods every equipment driver offers, called through the host tool: revision,
# description, settings form, parameters, the last error, additional actions, localization.
set -euo pipefail
: "${KORVANDER_HOST:?}" "${KORVANDER_LIB:?}"
mkdir -p "${KORVANDER_TEST_TMP:-/tmp}"
TMP="$(mktemp -d "${KORVANDER_TEST_TMP:-/tmp}/common.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
export KORVANDER_LOG_DIR="$TMP/log"

"$KORVANDER_HOST" "$KORVANDER_LIB" -f - <<END
# The revision, by both names; a function of no parameters.
GetInterfaceRevision
expect int:4004
expect-type \$ret I4
ПолучитьРевизиюИнтерфейса
expect int:4004

# GetLastError right after a success: 0 and an empty text, and it does not reset itself.
GetDescription out:d
expect true
GetLastError out:text
expect int:0
expect-equal \$text ""
expect-type \$text PWSTR

# The description: declaration without encoding, then the attributes in the host's order.
expect-match \$d "^<[?]xml version=\"1[.]0\"[?]>\\\\s*<DriverDescription Name=\"Драйвер ККТ Зарник\" Description=\"Драйвер ККТ Зарник 1С:Совместимо для 1С:БПО NativeAPI\" EquipmentType=\"ККТ\" IntegrationComponent=\"false\" MainDriverInstalled=\"false\" DriverVersion=\"\\\\d+[.]\\\\d+[.]\\\\d+[.]\\\\d+\" IntegrationComponentVersion=\"\\\\d+[.]\\\\d+[.]\\\\d+[.]\\\\d+\" DownloadURL=\"[^\"]*\" LogIsEnabled=\"(true|false)\" LogPath=\"[^\"]*/\"\\\\s*/>\\\\s*\$"
expect-contains \$d "LogPath=\"$TMP/log/\""

# The log switch: set through the property (Russian name) and through SetParameter.
set ЛогВключен false
expect true
set LogEnabled true
expect true
get LogEnabled out:log
expect true
GetDescription out:d
expect-contains \$d "LogIsEnabled=\"true\""
УстановитьПараметр "LogEnabled" false
expect true
SetParameter "LogEnabled" true
expect true

# SetParameter of anything but LogEnabled fails; GetLastError keeps the failure.
SetParameter "PortNumber" int:1
expect-error 1001 "Property not found: PortNumber"
ПолучитьОшибку out:text
expect int:1001
expect-equal \$text "Property not found: PortNumber"
GetLastError out:text
expect int:1001

# The settings form.
EquipmentParameters "" out:form
expect true
save \$form "$TMP/form.xml"

# Additional actions: two, in order; names compare exactly.
GetAdditionalActions out:actions
expect true
expect-match \$actions "<Actions>\\\\s*<Action Name=\"ViewLog\" Caption=\"Просмотр лога\"\\\\s*/>\\\\s*<Action Name=\"ShowHelp\" Caption=\"Справка\"\\\\s*/>\\\\s*</Actions>"
DoAdditionalAction "viewlog"
expect-error 1001 "Action not found"
DoAdditionalAction "NoSuchAction"
expect-error 1001 "Action not found"

# Localization and application information: accepted as they are.
GetLocalizationPattern out:pattern
expect true
expect-match \$pattern "^<[?]xml version=\"1[.]0\"[?]>\\\\s*\$"
SetLocalization "ru" ""
expect true
SetApplicationInformation "<ApplicationSettings/>"
expect true
GetLastError out:text
expect int:0

# EquipmentAutoSetup does no device work; it succeeds.
EquipmentAutoSetup "" "<Parameters/>" out:setup "" ""
expect true

# A settings text that is not XML fails with the parser's message, code 1001.
ConnectEquipment out:id "" "<Parameters"
expect-error 1001
expect-equal \$id empty
END

# The settings form: the first parameter is the port, with TCP/IP and COM1 to COM128.
grep -q '<Settings' "$TMP/form.xml"
first_param="$(grep -o '<Parameter [^>]*Name="[^"]*"' "$TMP/form.xml" | head -n 1)"
case "$first_param" in
    *'Name="PortNumber"'*) ;;
    *) echo "the first Parameter is not PortNumber: $first_param" >&2; exit 1 ;;
esac
# One parameter per line, then the choices of the port's.
port_items="$(sed 's|</Parameter>|&\n|g' "$TMP/form.xml" | grep '<Parameter [^>]*Name="PortNumber"' |
    grep -o '<Item [^>]*>[^<]*' || true)"
[ "$(printf '%s\n' "$port_items" | grep -c .)" -eq 129 ] || {
    echo "PortNumber has $(printf '%s\n' "$port_items" | grep -c .) choices, not 129" >&2
    exit 1
}
[ "$(printf '%s\n' "$port_items" | head -n 1)" = '<Item Value="9999">TCP/IP' ] || {
    echo "the first port choice is $(printf '%s\n' "$port_items" | head -n 1)" >&2
    exit 1
}
[ "$(printf '%s\n' "$port_items" | tail -n 1)" = '<Item Value="128">COM128' ] || {
    echo "the last port choice is $(printf '%s\n' "$port_items" | tail -n 1)" >&2
    exit 1
}
for name in BaudRate IPAddress IPPort ConnectPwd FeedCount CutString EnablePrinting \
    GTFontName5 GTIsUnderline5 LogEnabled; do
    grep -q "Name=\"$name\"" "$TMP/form.xml" || { echo "the form lacks $name" >&2; exit 1; }
done
