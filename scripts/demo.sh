#!/usr/bin/env bash
# The demo: the host tool loads the add-in as the host does and shows what it offers: its
# description, interface revision, method table and settings form.
#
#   scripts/demo.sh [BUILD_DIR]      (default: build/)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
HOST="$BUILD/bin/korvander-host"
LIB="$BUILD/lib/libKorvander.so"
[ -x "$HOST" ] || { echo "demo: $HOST is missing (build first: ./run build)" >&2; exit 1; }
[ -f "$LIB" ] || { echo "demo: $LIB is missing (build first: ./run build)" >&2; exit 1; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT
# The driver's log goes to a scratch folder, not into the machine's common folder.
export KORVANDER_LOG_DIR="$TMP/log"

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
echo
echo "(the host tool: $HOST --help)"
