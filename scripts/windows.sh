#!/usr/bin/env bash
# Cross-builds the add-in for Windows x86 and x86-64 with mingw-w64, checks what the DLLs import
# and export, and runs the binary-interface test, the link test (the DLL against the Linux
# emulator over WinSock and a COM port, with the log it writes), the log file test (the day's
# file held open and shared with a second writing process), the WinSock receive test and the
# log viewer test under Wine for both (the viewer on a virtual X server, Xvfb).
#
#   scripts/windows.sh [--build-only] [x86|x64]...     (default: both)
#   scripts/windows.sh --check-packaged FOLDER
#
# --build-only builds and checks the DLLs without the Wine tests (the package uses it);
# --check-packaged FOLDER runs the raw-slot test on the DLLs of an unpacked package.
#
# Builds go to build-win32/ and build-win64/; the pugixml source the Windows build compiles in
# is fetched once into build-third-party/. Output is one line per step; the logs of a failed
# step are shown.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
THIRD_PARTY="$ROOT/build-third-party"
JOBS="${JOBS:-2}"

say() { printf '== %s\n' "$*"; }
fail() {
    printf 'windows: %s\n' "$*" >&2
    exit 1
}
# show_log FILE: the end of a failed step's log.
show_log() { tail -n 60 "$1" >&2; }

# Debian's libpugixml-dev has no pugixml.cpp: get the source package, through a source list of
# our own and a list directory of our own, so the machine's apt state is left as it was.
fetch_pugixml() {
    local dest="$THIRD_PARTY/pugixml"
    [ -f "$dest/src/pugixml.cpp" ] && return 0
    command -v dpkg-source >/dev/null || fail "dpkg-source missing (install dpkg-dev)"
    local tmp
    tmp="$(mktemp -d)"
    mkdir -p "$tmp/lists/partial" "$tmp/cache/archives/partial" "$tmp/source"
    sed 's/^Types:[[:space:]]*deb[[:space:]]*$/Types: deb-src/' \
        /etc/apt/sources.list.d/debian.sources >"$tmp/debian.sources"
    local apt_opts=(-o "Dir::Etc::SourceList=$tmp/debian.sources" -o "Dir::Etc::SourceParts=-"
        -o "Dir::State::Lists=$tmp/lists" -o "Dir::Cache=$tmp/cache"
        -o "APT::Sandbox::User=root")
    say "fetching the pugixml source (apt-get source)"
    if ! apt-get -qq "${apt_opts[@]}" update >"$tmp/update.log" 2>&1; then
        show_log "$tmp/update.log"
        rm -rf "$tmp"
        fail "apt-get update of the source list failed"
    fi
    if ! (cd "$tmp/source" && apt-get -qq "${apt_opts[@]}" source pugixml) >"$tmp/source.log" 2>&1; then
        show_log "$tmp/source.log"
        rm -rf "$tmp"
        fail "apt-get source pugixml failed"
    fi
    local unpacked
    unpacked="$(find "$tmp/source" -mindepth 1 -maxdepth 1 -type d -name 'pugixml-*' | head -n 1)"
    [ -n "$unpacked" ] && [ -f "$unpacked/src/pugixml.cpp" ] || {
        rm -rf "$tmp"
        fail "the pugixml source package has no src/pugixml.cpp"
    }
    mkdir -p "$THIRD_PARTY"
    rm -rf "$dest"
    cp -r "$unpacked" "$dest"
    rm -rf "$tmp"
}

# arch_vars x86|x64: the triplet and build folder of an architecture.
arch_vars() {
    case "$1" in
        x86) TRIPLET=i686-w64-mingw32 BUILD="$ROOT/build-win32" ;;
        x64) TRIPLET=x86_64-w64-mingw32 BUILD="$ROOT/build-win64" ;;
        *) fail "unknown architecture $1 (x86 or x64)" ;;
    esac
}

build_dll() {
    local arch="$1"
    arch_vars "$arch"
    mkdir -p "$BUILD"
    if ! cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$TRIPLET.cmake" \
        -DKORVANDER_TESTS=OFF -DKORVANDER_TOOLS=OFF \
        -DKORVANDER_PUGIXML_SOURCE_DIR="$THIRD_PARTY/pugixml/src" >"$BUILD/configure.log" 2>&1; then
        show_log "$BUILD/configure.log"
        fail "$arch: configuring failed (log: $BUILD/configure.log)"
    fi
    if ! cmake --build "$BUILD" -j "$JOBS" --target Korvander >"$BUILD/build.log" 2>&1; then
        grep -E 'error|Error' "$BUILD/build.log" | head -n 40 >&2 || true
        show_log "$BUILD/build.log"
        fail "$arch: building Korvander.dll failed (log: $BUILD/build.log)"
    fi
    [ -f "$BUILD/lib/Korvander.dll" ] || fail "$arch: $BUILD/lib/Korvander.dll was not made"
}

# The DLL must load on a bare Windows: only system DLLs imported, the four exports undecorated.
check_dll() {
    local arch="$1"
    arch_vars "$arch"
    local dll="$BUILD/lib/Korvander.dll" dump="$BUILD/objdump.txt"
    "$TRIPLET-objdump" -p "$dll" >"$dump"
    local imports bad=""
    imports="$(sed -n 's/^[[:space:]]*DLL Name: //p' "$dump")"
    local name
    for name in $imports; do
        case "$(printf '%s' "$name" | tr '[:upper:]' '[:lower:]')" in
            kernel32.dll | msvcrt.dll | ws2_32.dll | user32.dll | gdi32.dll | advapi32.dll | \
                shell32.dll | ole32.dll | oleaut32.dll | comctl32.dll | comdlg32.dll | \
                shlwapi.dll | rpcrt4.dll | api-ms-win-*) ;;
            *) bad="$bad $name" ;;
        esac
    done
    [ -z "$bad" ] || fail "$arch: Korvander.dll imports non-system DLLs:$bad"
    local exports export
    exports="$(awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' "$dump")"
    for export in GetClassNames GetClassObject DestroyObject GetAttachType; do
        printf '%s\n' "$exports" | grep -qx "$export" ||
            fail "$arch: Korvander.dll does not export $export undecorated (exports: $(echo $exports))"
    done
    say "$arch: Korvander.dll built; imports: $(echo $imports); exports undecorated"
    [ "$arch" = x86 ] && check_x86_stdcall
    return 0
}

# An MSVC host calls every entry point as __stdcall with `this` first: the callee pops its
# arguments. mingw marks such functions "@<bytes>" in the symbol table, which lets the
# convention and the argument count be checked even where no 32-bit program can run.
check_x86_stdcall() {
    local expected="EInit 8 ESetMemManager 8 EGetInfo 4 EDone 4 ERegisterExtensionAs 8
        EGetNProps 4 EFindProp 8 EGetPropName 12 EGetPropVal 12 ESetPropVal 12
        EIsPropReadable 8 EIsPropWritable 8 EGetNMethods 4 EFindMethod 8 EGetMethodName 12
        EGetNParams 8 EGetParamDefValue 16 EHasRetVal 8 ECallAsProc 16 ECallAsFunc 20
        ESetLocale 8 ESetUserInterfaceLanguageCode 8"
    local found name bytes got
    found="$("$TRIPLET-nm" "$BUILD/lib/Korvander.dll" |
        sed -nE 's/.*_GLOBAL__N_1[0-9]+(E[A-Za-z]+)E[^@ ]*@([0-9]+)$/\1 \2/p' | sort -u)"
    set -- $expected
    while [ $# -ge 2 ]; do
        name="$1" bytes="$2"
        shift 2
        got="$(printf '%s\n' "$found" | awk -v n="$name" '$1 == n {print $2}')"
        [ "$got" = "$bytes" ] ||
            fail "x86: entry point $name is not __stdcall with $bytes bytes of arguments (found: ${got:-none})"
    done
    say "x86: all 22 entry points are __stdcall with the host's argument sizes"
}

build_abi_test() {
    local arch="$1"
    arch_vars "$arch"
    mkdir -p "$BUILD/tests"
    if ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
        -static-libstdc++ "$ROOT/tests/windows/abi_test.cpp" -o "$BUILD/tests/abi_test.exe" -lversion \
        >"$BUILD/tests/abi_test.build.log" 2>&1; then
        show_log "$BUILD/tests/abi_test.build.log"
        fail "$arch: building abi_test.exe failed"
    fi
}

# The GDI text renderer, linked from the layers the DLL was built from.
build_graphics_test() {
    local arch="$1"
    arch_vars "$arch"
    mkdir -p "$BUILD/tests"
    if ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
        -static-libstdc++ -I"$ROOT/src" -I"$ROOT/tests" "$ROOT/tests/windows/graphics_test.cpp" \
        "$BUILD/src/libkorv_graphics.a" "$BUILD/src/libkorv_common.a" -lgdi32 \
        -o "$BUILD/tests/graphics_test.exe" >"$BUILD/tests/graphics_test.build.log" 2>&1; then
        show_log "$BUILD/tests/graphics_test.build.log"
        fail "$arch: building graphics_test.exe failed"
    fi
}

# The log viewer test links the form (the ui layer) and what it uses from the build's archives.
build_viewer_test() {
    local arch="$1"
    arch_vars "$arch"
    mkdir -p "$BUILD/tests"
    if ! cmake --build "$BUILD" -j "$JOBS" --target korv_ui korv_common >"$BUILD/tests/viewer.build.log" 2>&1 ||
        ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
            -static-libstdc++ -I"$ROOT/src" "$ROOT/tests/windows/log_viewer_test.cpp" \
            "$BUILD/src/libkorv_ui.a" "$BUILD/src/libkorv_common.a" -lshell32 -luser32 -lgdi32 \
            -lws2_32 -o "$BUILD/tests/log_viewer_test.exe" >>"$BUILD/tests/viewer.build.log" 2>&1; then
        show_log "$BUILD/tests/viewer.build.log"
        fail "$arch: building log_viewer_test.exe failed"
    fi
}

WINE_READY=""
WINEPREFIX_DIR=""
WINE64=""
cleanup_wine() {
    if [ -n "$WINEPREFIX_DIR" ]; then
        WINEPREFIX="$WINEPREFIX_DIR/prefix" wineserver -k >/dev/null 2>&1 || true
        [ -z "${XVFB_PID:-}" ] || kill "$XVFB_PID" 2>/dev/null || true
        rm -rf "$WINEPREFIX_DIR"
    fi
}

# The 64-bit loader itself: Debian's `wine` wrapper prefers the 32-bit loader, which some
# kernels (no IA32 emulation) cannot execute at all.
find_wine64() {
    local c
    for c in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
        [ -n "$c" ] && [ -x "$c" ] && {
            WINE64="$c"
            return 0
        }
    done
    fail "wine missing"
}

# True when this machine can run Wine's 32-bit loader.
wine32_runs() {
    local loader=/usr/lib/wine/wine
    [ -x "$loader" ] || loader="$(command -v wine || true)"
    [ -n "$loader" ] && "$loader" --version >/dev/null 2>&1
}

# One temporary 64-bit prefix for the run (it runs both 32- and 64-bit programs). Wine's
# background processes inherit the output of the first command, so it goes to a file.
prepare_wine() {
    [ -n "$WINE_READY" ] && return 0
    find_wine64
    WINEPREFIX_DIR="$(mktemp -d "${TMPDIR:-/tmp}/korvander-wine.XXXXXX")"
    trap cleanup_wine EXIT
    export WINEPREFIX="$WINEPREFIX_DIR/prefix" WINEARCH=win64 WINEDEBUG=-all \
        WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    if ! "$WINE64" wineboot -i >"$WINEPREFIX_DIR/wineboot.log" 2>&1; then
        show_log "$WINEPREFIX_DIR/wineboot.log"
        fail "wineboot failed"
    fi
    WINE_READY=1
}

# run_abi_test ARCH [DLL]: the raw-slot test on the build's DLL, or on another (a packaged one).
run_abi_test() {
    local arch="$1" dll="${2:-}"
    arch_vars "$arch"
    [ -n "$dll" ] || dll="$BUILD/lib/Korvander.dll"
    local wine_cmd
    if [ "$arch" = x86 ]; then
        if ! wine32_runs; then
            # Not a pass: said loudly, and fatal where the machine is expected to run it.
            printf '== x86: Wine test SKIPPED: this kernel cannot execute 32-bit programs, so Wine cannot run the x86 DLL (the DLL was built and its imports, exports and entry-point conventions were checked)\n' >&2
            [ "${KORVANDER_REQUIRE_WINE32:-0}" = 1 ] && fail "x86: 32-bit Wine is required (KORVANDER_REQUIRE_WINE32=1)"
            return 0
        fi
        wine_cmd=wine
    fi
    prepare_wine
    [ "$arch" = x64 ] && wine_cmd="$WINE64"
    local log="$BUILD/tests/abi_test.log" dll_path
    dll_path="Z:$(printf '%s' "$dll" | tr '/' '\\')"
    local status=0
    "$wine_cmd" "$BUILD/tests/abi_test.exe" "$dll_path" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        fail "$arch: the binary-interface test failed under Wine (exit $status)"
    fi
    say "$arch: Wine: $(tail -n 1 "$log" | tr -d '\r')${2:+ ($(basename "$dll"))}"
}

run_graphics_test() {
    local arch="$1"
    arch_vars "$arch"
    local wine_cmd=wine
    if [ "$arch" = x86 ]; then
        wine32_runs || return 0 # said by run_abi_test already
    fi
    prepare_wine
    [ "$arch" = x64 ] && wine_cmd="$WINE64"
    local log="$BUILD/tests/graphics_test.log" status=0
    "$wine_cmd" "$BUILD/tests/graphics_test.exe" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        fail "$arch: the GDI text renderer test failed under Wine (exit $status)"
    fi
    say "$arch: Wine: $(tail -n 1 "$log" | tr -d '\r')"
}

# The DLLs as shipped (stripped, from the package's folder): each loads and passes the raw-slot test.
check_packaged() {
    local folder="$1"
    [ -f "$folder/Korvander_i386.dll" ] && [ -f "$folder/Korvander_x86_64.dll" ] ||
        fail "no packaged DLLs in $folder"
    local arch
    for arch in x86 x64; do
        build_abi_test "$arch"
    done
    run_abi_test x86 "$folder/Korvander_i386.dll"
    run_abi_test x64 "$folder/Korvander_x86_64.dll"
}

# ---- The links under Wine: the DLL driving the Linux emulator over WinSock and a COM port ----

# The emulator of the Linux build (built when missing).
link_emulator() {
    LINK_EMULATOR="${KORVANDER_EMULATOR:-$ROOT/build/bin/kkt-emulator}"
    [ -x "$LINK_EMULATOR" ] && return 0
    say "building the register emulator (build/)"
    if [ ! -f "$ROOT/build/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$ROOT/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            >"$ROOT/build-emulator.log" 2>&1 || { show_log "$ROOT/build-emulator.log"; fail "configuring build/ failed"; }
    fi
    cmake --build "$ROOT/build" -j "$JOBS" --target kkt-emulator >"$ROOT/build-emulator.log" 2>&1 ||
        { show_log "$ROOT/build-emulator.log"; fail "building the emulator failed"; }
    LINK_EMULATOR="$ROOT/build/bin/kkt-emulator"
    rm -f "$ROOT/build-emulator.log"
}

build_link_test() {
    local arch="$1"
    arch_vars "$arch"
    mkdir -p "$BUILD/tests"
    if ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
        -static-libstdc++ "$ROOT/tests/windows/link_test.cpp" -o "$BUILD/tests/link_test.exe" \
        >"$BUILD/tests/link_test.build.log" 2>&1; then
        show_log "$BUILD/tests/link_test.build.log"
        fail "$arch: building link_test.exe failed"
    fi
    if ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
        -static-libstdc++ -I"$ROOT/src" "$ROOT/tests/windows/log_folder_test.cpp" \
        "$BUILD/src/libkorv_common.a" -ladvapi32 -o "$BUILD/tests/log_folder_test.exe" \
        >"$BUILD/tests/log_folder_test.build.log" 2>&1; then
        show_log "$BUILD/tests/log_folder_test.build.log"
        fail "$arch: building log_folder_test.exe failed"
    fi
    if ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
        -static-libstdc++ -I"$ROOT/src" "$ROOT/tests/windows/log_file_test.cpp" \
        "$BUILD/src/libkorv_common.a" -ladvapi32 -lshell32 -o "$BUILD/tests/log_file_test.exe" \
        >"$BUILD/tests/log_file_test.build.log" 2>&1; then
        show_log "$BUILD/tests/log_file_test.build.log"
        fail "$arch: building log_file_test.exe failed"
    fi
    if ! cmake --build "$BUILD" -j "$JOBS" --target korv_transport >"$BUILD/tests/socket_test.build.log" 2>&1 ||
        ! "$TRIPLET-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -static -static-libgcc \
            -static-libstdc++ -I"$ROOT/src" "$ROOT/tests/windows/socket_test.cpp" \
            "$BUILD/src/libkorv_transport.a" "$BUILD/src/libkorv_common.a" -lws2_32 -ladvapi32 \
            -lshell32 -o "$BUILD/tests/socket_test.exe" >>"$BUILD/tests/socket_test.build.log" 2>&1; then
        show_log "$BUILD/tests/socket_test.build.log"
        fail "$arch: building socket_test.exe failed"
    fi
}

# wine_check ARCH WINE NAME WHAT: runs tests/NAME.exe of the build, its last line said, its
# output shown when it fails.
wine_check() {
    local arch="$1" wine_cmd="$2" name="$3" what="$4" log="$BUILD/tests/$3.log" status=0
    "$wine_cmd" "$BUILD/tests/$name.exe" >"$log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        fail "$arch: the $what test failed under Wine (exit $status)"
    fi
    say "$arch: Wine: $(tail -n 1 "$log" | tr -d '\r')"
}

# wine_path FILE: the file as a Windows program names it (drive Z: is the root).
wine_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# link_run ARCH WINE LOG ARGS...: one run of the link test; its output shown when it fails.
link_run() {
    local arch="$1" wine_cmd="$2" log="$3" status=0
    shift 3
    "$wine_cmd" "$BUILD/tests/link_test.exe" "$(wine_path "$BUILD/lib/Korvander.dll")" "$@" \
        >"$log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        fail "$arch: the link test ($*) failed under Wine (exit $status)"
    fi
    say "$arch: Wine: $(tail -n 1 "$log" | tr -d '\r')"
}

# The log the add-in wrote under the common application-data folder of the prefix: its banner
# and the bytes of both links.
check_wine_log() {
    local arch="$1" folder="$WINEPREFIX/drive_c/ProgramData/Velmora/Korvander" file
    file="$(find "$folder" -maxdepth 1 -name 'Korvander_*.log' 2>/dev/null | head -n 1)"
    [ -n "$file" ] || fail "$arch: no log file in $folder"
    local line
    for line in "============Start log=============" "Application:	Korvander.dll" \
        "	INFO	TSocketProtocol: 	-> 05" "	INFO	TCOMProtocol: 	-> 05"; do
        grep -qF -- "$line" "$file" || {
            tail -n 40 "$file" >&2
            fail "$arch: the log $file lacks: $line"
        }
    done
    # A failed connection is logged with its code and then the host's text.
    grep -qE '	ERROR	Exception: 	Code=1001; .*Ошибка соединения с ККТ' "$file" ||
        fail "$arch: the log $file lacks the failed connections' error lines"
    grep -qE '^[0-9]{4}\.[0-9]{2}\.[0-9]{2} [0-9:.]{12}	INFO	T(Socket|COM)Protocol: 	<- [0-9A-F]{2}' "$file" ||
        fail "$arch: the log $file has no received bytes in the line format"
    say "$arch: Wine: the log under C:\\ProgramData\\Velmora\\Korvander has its banner, both links' bytes and the failed connections"
}

# A registered emulator on TCP and one on a pty that Wine maps to COM5; then the log folder's
# access list.
run_link_test() {
    local arch="$1"
    arch_vars "$arch"
    local wine_cmd=wine
    if [ "$arch" = x86 ]; then
        wine32_runs || return 0 # said by run_abi_test already
    fi
    prepare_wine
    [ "$arch" = x64 ] && wine_cmd="$WINE64"
    link_emulator
    (
        export KORVANDER_EMULATOR="$LINK_EMULATOR"
        # shellcheck source=emulator-lib.sh
        source "$ROOT/scripts/emulator-lib.sh"
        emu_scratch korvander-winlink
        unset KORVANDER_LOG_DIR # the log goes where it goes on Windows
        rm -rf "$WINEPREFIX/drive_c/ProgramData/Velmora"
        start_emulator network "tcp 127.0.0.1:*" --tcp 0 --registered
        local tcp_port="$PORT"
        start_emulator serial "pty /dev/*" --pty --registered
        local pty="${LINE#pty }"
        # Wine reads the port mapping when its server starts. COM6 is mapped to nothing.
        "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$pty" /f \
            >"$TMP/reg.log" 2>&1 || { cat "$TMP/reg.log" >&2; fail "$arch: mapping COM5 failed"; }
        "$WINE64" reg add 'HKLM\Software\Wine\Ports' /v COM6 /t REG_SZ /d "$TMP/no-such-port" /f \
            >"$TMP/reg.log" 2>&1 || { cat "$TMP/reg.log" >&2; fail "$arch: mapping COM6 failed"; }
        wineserver -k >/dev/null 2>&1 || true
        # Nothing listens on port 1 of 127.0.0.1 (binding it takes root).
        link_run "$arch" "$wine_cmd" "$BUILD/tests/link_test.tcp.log" tcp "$tcp_port" 1
        link_run "$arch" "$wine_cmd" "$BUILD/tests/link_test.com.log" com 5 6
        check_wine_log "$arch"
    )
    local log="$BUILD/tests/log_folder_test.log" status=0
    "$wine_cmd" "$BUILD/tests/log_folder_test.exe" >"$log" 2>&1 </dev/null || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        fail "$arch: the log folder access test failed under Wine (exit $status)"
    fi
    say "$arch: Wine: $(tail -n 1 "$log" | tr -d '\r')"
    wine_check "$arch" "$wine_cmd" log_file_test "log file"
    say "$arch: Wine: $(tr -d '\r' <"$BUILD/tests/log_file_test.log" | grep 'costs' || true)"
    wine_check "$arch" "$wine_cmd" socket_test "WinSock receive"
}

# A virtual X server for the tests that open windows; its display in XVFB_DISPLAY.
XVFB_PID=""
XVFB_DISPLAY=""
start_xvfb() {
    [ -n "$XVFB_DISPLAY" ] && return 0
    command -v Xvfb >/dev/null || return 1
    local fifo
    fifo="$WINEPREFIX_DIR/xvfb.display"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >"$WINEPREFIX_DIR/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local display=""
    read -r -t 30 display <"$fifo" || true
    rm -f "$fifo"
    if [ -z "$display" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
        return 1
    fi
    XVFB_DISPLAY=":$display"
    # A crash must end the program, not wait in a dialog on the virtual screen.
    "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
        >>"$WINEPREFIX_DIR/xvfb.log" 2>&1 || true
    return 0
}

run_viewer_test() {
    local arch="$1"
    arch_vars "$arch"
    if [ "$arch" = x86 ] && ! wine32_runs; then
        printf '== x86: log viewer test SKIPPED: this kernel cannot execute 32-bit programs\n' >&2
        [ "${KORVANDER_REQUIRE_WINE32:-0}" = 1 ] && fail "x86: 32-bit Wine is required (KORVANDER_REQUIRE_WINE32=1)"
        return 0
    fi
    prepare_wine
    if ! start_xvfb; then
        printf '== %s: log viewer test SKIPPED: Xvfb could not start (install xvfb)\n' "$arch" >&2
        [ "${KORVANDER_REQUIRE_XVFB:-0}" = 1 ] && fail "$arch: Xvfb is required (KORVANDER_REQUIRE_XVFB=1)"
        return 0
    fi
    local wine_cmd="$WINE64" log="$BUILD/tests/log_viewer_test.log" status=0
    [ "$arch" = x86 ] && wine_cmd=wine
    # Wine's desktop process takes its display when it starts: the viewer's run starts a fresh
    # Wine server on the virtual screen, and the tests after it get one without a screen again.
    wineserver -k >/dev/null 2>&1 || true
    DISPLAY="$XVFB_DISPLAY" timeout -k 10 300 "$wine_cmd" "$BUILD/tests/log_viewer_test.exe" \
        >"$log" 2>&1 </dev/null || status=$?
    wineserver -k >/dev/null 2>&1 || true
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
        fail "$arch: the log viewer test failed under Wine (exit $status)"
    fi
    say "$arch: Wine, log viewer: $(tail -n 1 "$log" | tr -d '\r')"
}

main() {
    if [ "${1:-}" = --check-packaged ]; then
        check_packaged "${2:?--check-packaged FOLDER}"
        return
    fi
    local build_only=""
    if [ "${1:-}" = --build-only ]; then
        build_only=1
        shift
    fi
    local archs=("$@")
    [ ${#archs[@]} -eq 0 ] && archs=(x86 x64)
    fetch_pugixml
    local arch
    for arch in "${archs[@]}"; do
        build_dll "$arch"
        check_dll "$arch"
        [ -n "$build_only" ] && continue
        build_abi_test "$arch"
        run_abi_test "$arch"
        build_graphics_test "$arch"
        run_graphics_test "$arch"
        build_link_test "$arch"
        run_link_test "$arch"
        build_viewer_test "$arch"
        run_viewer_test "$arch"
    done
}

# Sourced (bench/wine_tcp.sh), it only defines its functions.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    main "$@"
fi
