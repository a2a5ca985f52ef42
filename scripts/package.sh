#!/usr/bin/env bash
# Makes the package the host installs, build/package/Korvander.zip: the Linux x86-64 library,
# the Windows x86 and x86-64 DLLs, MANIFEST.XML in the host's add-in bundle format, the help
# page and the installation note.
#
#   scripts/package.sh
#
# Builds what it needs: the library in build/ and the DLLs through scripts/windows.sh (whose
# builds are up to date after a Windows run, so then nothing is rebuilt).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="$ROOT/build/package"
JOBS="${JOBS:-2}"

say() { printf '== %s\n' "$*"; }
fail() {
    printf 'package: %s\n' "$*" >&2
    exit 1
}

# The files of the package: name in the ZIP, the built file, os, arch.
LINUX_LIB=libKorvander_x86_64.so
WIN32_DLL=Korvander_i386.dll
WIN64_DLL=Korvander_x86_64.dll

build_linux() {
    if [ ! -f "$ROOT/build/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$ROOT/build" -j "$JOBS" --target Korvander korvander-host >"$OUT.build.log" 2>&1 || {
        tail -n 40 "$OUT.build.log" >&2
        fail "building libKorvander.so failed"
    }
    rm -f "$OUT.build.log"
}

# The version CMake builds with (project(... VERSION a.b.c.d)): the one of every library.
project_version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$ROOT/build/CMakeCache.txt"
}

# needed_libraries LIB: the shared libraries LIB links (its DT_NEEDED entries).
needed_libraries() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}

# debian_package SONAME: the Debian package that ships it (empty when not found).
debian_package() {
    local path candidate
    path="$(/sbin/ldconfig -p | awk -v n="$1" '$1 == n && /x86-64/ {print $NF; exit}')"
    [ -n "$path" ] || return 0
    for candidate in "$path" "$(readlink -f "$path")" "/usr${path#/usr}" "${path#/usr}"; do
        dpkg-query -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p' | grep . && return 0
    done
    return 0
}

# The installation note: the template with this build's version, files and libraries.
write_install_note() {
    local version="$1" dest="$2" lib pkg packages="" libraries=""
    for lib in $(needed_libraries "$STAGE/$LINUX_LIB"); do
        pkg="$(debian_package "$lib")"
        libraries+="    $lib${pkg:+ (пакет $pkg)}"$'\n'
        [ -n "$pkg" ] && case " $packages " in *" $pkg "*) ;; *) packages+="${packages:+ }$pkg" ;; esac
    done
    local files
    files="$(printf '  %-25s %s\n' "$WIN32_DLL" "Windows, 32 бита" "$WIN64_DLL" "Windows, 64 бита" \
        "$LINUX_LIB" "Linux, x86-64")"
    awk -v version="$version" -v files="$files" -v libraries="${libraries%$'\n'}" \
        -v packages="$packages" '
        /^@FILES@$/ { print files; next }
        /^@LIBRARIES@$/ { print libraries; next }
        { gsub(/@VERSION@/, version); gsub(/@PACKAGES@/, packages); print }' \
        "$ROOT/resources/INSTALL.txt" >"$dest"
}

write_manifest() {
    cat >"$1" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<bundle xmlns="http://v8.1c.ru/8.2/addin/bundle">
	<component os="Windows" path="$WIN32_DLL" type="native" arch="i386"/>
	<component os="Windows" path="$WIN64_DLL" type="native" arch="x86_64"/>
	<component os="Linux" path="$LINUX_LIB" type="native" arch="x86_64"/>
</bundle>
EOF
}

main() {
    command -v zip >/dev/null || fail "zip missing (./run package installs it)"
    mkdir -p "$OUT"
    say "package: building the Linux library"
    build_linux
    say "package: building the Windows DLLs"
    bash "$ROOT/scripts/windows.sh" --build-only x86 x64

    local version
    version="$(project_version)"
    [ -n "$version" ] || fail "no project version in build/CMakeCache.txt"

    STAGE="$(mktemp -d "${TMPDIR:-/tmp}/korvander-package.XXXXXX")"
    trap 'rm -rf "$STAGE"' EXIT
    # Shipped without debug information; the builds keep theirs.
    strip --strip-unneeded -o "$STAGE/$LINUX_LIB" "$ROOT/build/lib/libKorvander.so"
    i686-w64-mingw32-strip --strip-unneeded -o "$STAGE/$WIN32_DLL" "$ROOT/build-win32/lib/Korvander.dll"
    x86_64-w64-mingw32-strip --strip-unneeded -o "$STAGE/$WIN64_DLL" "$ROOT/build-win64/lib/Korvander.dll"
    write_manifest "$STAGE/MANIFEST.XML"
    cp "$ROOT/resources/help.html" "$STAGE/help.html"
    write_install_note "$version" "$STAGE/INSTALL.txt"

    # The same sources give the same archive: fixed times, fixed order, no extra attributes.
    local stamp
    stamp="$(TZ=UTC git -C "$ROOT" log -1 --format=%cd --date=format-local:%Y%m%d%H%M.%S \
        2>/dev/null || echo 202601010000)"
    local files=(MANIFEST.XML "$WIN32_DLL" "$WIN64_DLL" "$LINUX_LIB" help.html INSTALL.txt)
    (cd "$STAGE" && export TZ=UTC && touch -t "$stamp" "${files[@]}" &&
        rm -f "$OUT/Korvander.zip" && zip -q -X -9 "$OUT/Korvander.zip" "${files[@]}")
    say "package: $OUT/Korvander.zip (version $version, $(du -k "$OUT/Korvander.zip" | cut -f1) KB)"
}

main "$@"
