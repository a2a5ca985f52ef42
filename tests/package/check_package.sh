#!/usr/bin/env bash
# Checks the package the host installs, as the host and a user would meet it: unpacks the ZIP,
# reads MANIFEST.XML by its namespace, checks that every component's file exists and is a
# library of the declared OS and architecture (read from its headers), that the Windows DLLs
# carry the build's version in their version resource, that the Linux library loads from the
# package in the host tool and reports that same version, and that the installation note
# names every shared library the Linux library links. With --wine, the packaged DLLs also load
# under Wine and pass the raw-slot binary-interface test (scripts/windows.sh --check-packaged).
#
#   tests/package/check_package.sh ZIP HOST_TOOL VERSION [--wine]
set -euo pipefail

ZIP="${1:?usage: check_package.sh ZIP HOST_TOOL VERSION}"
HOST="${2:?}"
VERSION="${3:?}"
WINE_CHECK="${4:-}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
NS="http://v8.1c.ru/8.2/addin/bundle"

FAILURES=0
CHECKS=0
check() {
    local what="$1"
    shift
    CHECKS=$((CHECKS + 1))
    if ! "$@"; then
        printf 'FAIL: %s\n' "$what" >&2
        FAILURES=$((FAILURES + 1))
    fi
}
same() { [ "$1" = "$2" ] || {
    printf '  got "%s", expected "%s"\n' "$1" "$2" >&2
    return 1
}; }

TMP="$(mktemp -d "${TMPDIR:-/tmp}/korvander-package-test.XXXXXX")"
trap 'rm -rf "$TMP"' EXIT
unzip -q "$ZIP" -d "$TMP/pkg"
PKG="$TMP/pkg"

# Little-endian unsigned integers at a byte offset.
u16() { od -An -t u2 -j "$2" -N 2 "$1" | tr -d ' '; }
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }

# What a file is, from its headers: "ELF x86_64", "PE i386", "PE x86_64" (shared libraries and
# DLLs only), or "other".
library_kind() {
    local f="$1" magic
    magic="$(od -An -t x1 -N 4 "$f" | tr -d ' ')"
    if [ "$magic" = 7f454c46 ]; then
        # ELFCLASS64, little-endian, ET_DYN, EM_X86_64
        if [ "$(od -An -t u1 -j 4 -N 2 "$f" | tr -s ' ')" = " 2 1" ] &&
            [ "$(u16 "$f" 16)" = 3 ] && [ "$(u16 "$f" 18)" = 62 ]; then
            echo "ELF x86_64"
            return
        fi
    elif [ "${magic:0:4}" = 4d5a ]; then
        local pe machine characteristics optional
        pe="$(u32 "$f" 60)"
        if [ "$(od -An -t x1 -j "$pe" -N 4 "$f" | tr -d ' ')" = 50450000 ]; then
            machine="$(u16 "$f" $((pe + 4)))"
            characteristics="$(u16 "$f" $((pe + 22)))"
            optional="$(u16 "$f" $((pe + 24)))"
            if [ $((characteristics & 0x2000)) -ne 0 ]; then # IMAGE_FILE_DLL
                # 0x14c with a PE32 optional header, 0x8664 with PE32+.
                [ "$machine" = 332 ] && [ "$optional" = 267 ] && echo "PE i386" && return
                [ "$machine" = 34404 ] && [ "$optional" = 523 ] && echo "PE x86_64" && return
            fi
        fi
    fi
    echo other
}

# The file version of a DLL's version resource (VS_FIXEDFILEINFO, found by its signature at a
# 32-bit boundary), "a.b.c.d"; empty when there is none.
dll_version() {
    local f="$1" at
    for at in $(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$f" | cut -d: -f1); do
        [ $((at % 4)) -eq 0 ] || continue
        # dwFileVersionMS (minor, major), dwFileVersionLS (build, patch) as 16-bit halves.
        set -- $(od -An -t u2 -j $((at + 8)) -N 8 "$f")
        echo "$2.$1.$4.$3"
        return
    done
}

# The manifest, by namespace: the root and its components.
MANIFEST="$PKG/MANIFEST.XML"
xpath() { xmllint --xpath "$1" "$MANIFEST" 2>/dev/null || true; }
check "MANIFEST.XML is in the package" test -f "$MANIFEST"
check "MANIFEST.XML is well-formed" xmllint --noout "$MANIFEST"
check "the root is bundle in $NS" same \
    "$(xpath "concat(local-name(/*), ' ', namespace-uri(/*))")" "bundle $NS"
COMPONENTS="$(xpath "count(/*[local-name()='bundle']/*)")"
check "the bundle holds three components and nothing else" same \
    "$(xpath "count(/*/*[local-name()='component' and namespace-uri()='$NS'])") $COMPONENTS" "3 3"

declare -A SEEN=()
LINUX_LIB=""
for i in $(seq 1 "${COMPONENTS:-0}"); do
    node="/*/*[$i]"
    os="$(xpath "string($node/@os)")"
    arch="$(xpath "string($node/@arch)")"
    path="$(xpath "string($node/@path)")"
    type="$(xpath "string($node/@type)")"
    check "component $i ($os $arch) is native" same "$type" native
    check "component $i: $os $arch appears once" test -z "${SEEN[$os $arch]:-}"
    SEEN["$os $arch"]="$path"
    case "$path" in
        "" | /* | *..* | *\\*)
            check "component $i: path \"$path\" is a plain file name in the package" false
            continue
            ;;
    esac
    check "component $i: $path is in the package" test -f "$PKG/$path"
    [ -f "$PKG/$path" ] || continue
    case "$os $arch" in
        "Linux x86_64") expected="ELF x86_64" LINUX_LIB="$PKG/$path" ;;
        "Windows i386") expected="PE i386" ;;
        "Windows x86_64") expected="PE x86_64" ;;
        *) expected="a known platform, not $os $arch" ;;
    esac
    check "$path is a $expected library" same "$(library_kind "$PKG/$path")" "$expected"
    if [ "$os" = Windows ]; then
        check "$path carries version $VERSION in its version resource" \
            same "$(dll_version "$PKG/$path")" "$VERSION"
    fi
done
for platform in "Linux x86_64" "Windows i386" "Windows x86_64"; do
    check "the manifest has a component for $platform" test -n "${SEEN[$platform]:-}"
done

# The Linux library from the package, loaded as the host loads it.
if [ -n "$LINUX_LIB" ]; then
    export KORVANDER_LOG_DIR="$TMP/log"
    host_run() { "$HOST" "$LINUX_LIB" -f - >"$TMP/host.log" 2>&1 || {
        cat "$TMP/host.log" >&2
        return 1
    }; }
    check "the packaged Linux library loads in the host tool and reports version $VERSION" \
        host_run <<END
GetInterfaceRevision
expect int:4004
GetDescription out:d
expect true
expect-contains \$d "DriverVersion=\"$VERSION\""
expect-contains \$d "IntegrationComponentVersion=\"$VERSION\""
END
    # The installation note lists every library it needs, and the serial-port group.
    for lib in $(readelf -d "$LINUX_LIB" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        check "INSTALL.txt names $lib" grep -qF "$lib" "$PKG/INSTALL.txt"
    done
fi
check "INSTALL.txt names the dialout group" grep -q dialout "$PKG/INSTALL.txt"
check "INSTALL.txt names the version" grep -qF "$VERSION" "$PKG/INSTALL.txt"
check "INSTALL.txt has no placeholder left" bash -c "! grep -q '@[A-Z]*@' '$PKG/INSTALL.txt'"
check "help.html is the library's help page" cmp -s "$PKG/help.html" "$ROOT/resources/help.html"
check "the package holds nothing unlisted" same \
    "$(cd "$PKG" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')" \
    "$(printf '%s\n' MANIFEST.XML help.html INSTALL.txt "${SEEN[@]}" | sort | tr '\n' ' ')"

if [ "$WINE_CHECK" = --wine ]; then
    check "the packaged DLLs pass the binary-interface test under Wine" \
        bash "$ROOT/scripts/windows.sh" --check-packaged "$PKG"
fi

if [ "$FAILURES" -ne 0 ]; then
    printf 'package: %d of %d checks failed\n' "$FAILURES" "$CHECKS" >&2
    exit 1
fi
printf 'package: ok: %d checks\n' "$CHECKS"
