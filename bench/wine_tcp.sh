#!/usr/bin/env bash
# The Windows TCP rows of ./run bench: the same host calls on a register over TCP, timed for
# the Linux library (tcp_calls) and for the x86-64 DLL under Wine (tcp_calls_win.exe), against
# one emulator, printed side by side with their ratio. Goal: Windows within 1.5 x Linux.
# Beside them the floor under Wine: a bare WinSock client (tcp_floor_win.exe) making the same
# count of commands with the fewest WinSock calls; each call is a round trip to the Wine server.
#
#   bench/wine_tcp.sh BENCH_BUILD_DIR      (ROUNDS: calls per command, default 20)
set -euo pipefail
BENCH_BUILD="$(cd "$1" && pwd)"
ROUNDS="${ROUNDS:-20}"
# shellcheck source=../scripts/windows.sh
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/windows.sh"

fetch_pugixml
build_dll x64
arch_vars x64
"$TRIPLET-g++-posix" -std=c++20 -O2 -Wall -Wextra -Werror -static -static-libgcc \
    -static-libstdc++ -I"$ROOT/bench" -I"$ROOT/tests/windows" "$ROOT/bench/tcp_calls_win.cpp" \
    -o "$BUILD/tcp_calls_win.exe" >"$BUILD/tcp_calls_win.build.log" 2>&1 || {
    show_log "$BUILD/tcp_calls_win.build.log"
    fail "building tcp_calls_win.exe failed"
}
"$TRIPLET-g++-posix" -std=c++20 -O2 -Wall -Wextra -Werror -static -static-libgcc \
    -static-libstdc++ "$ROOT/bench/tcp_floor_win.cpp" -o "$BUILD/tcp_floor_win.exe" -lws2_32 \
    >"$BUILD/tcp_floor_win.build.log" 2>&1 || {
    show_log "$BUILD/tcp_floor_win.build.log"
    fail "building tcp_floor_win.exe failed"
}
prepare_wine

export KORVANDER_EMULATOR="$BENCH_BUILD/bin/kkt-emulator"
# shellcheck source=../scripts/emulator-lib.sh
source "$ROOT/scripts/emulator-lib.sh"
emu_scratch korvander-bench-tcp
trap 'emu_cleanup; cleanup_wine' EXIT
start_emulator network "tcp 127.0.0.1:*" --tcp 0 --registered

"$BENCH_BUILD/bench/tcp_calls" "$PORT" "$ROUNDS" >"$TMP/linux.txt" ||
    { cat "$TMP/linux.txt" >&2; fail "the Linux calls failed"; }
unset KORVANDER_LOG_DIR
"$WINE64" "$BUILD/tcp_calls_win.exe" "$(printf 'Z:%s' "$BUILD/lib/Korvander.dll" | tr '/' '\\')" \
    "$PORT" "$ROUNDS" >"$TMP/windows.txt" 2>&1 </dev/null ||
    { cat "$TMP/windows.txt" >&2; fail "the Windows calls failed under Wine"; }
# The floor: a bare WinSock client under Wine making as many commands as each call makes on
# the emulator today (count them again with the emulator's LOG control when the driver's
# calls change).
"$WINE64" "$BUILD/tcp_floor_win.exe" "$PORT" "$ROUNDS" ConnectEquipment=36 GetDataKKT=19 \
    GetDateTime=2 >"$TMP/floor.txt" 2>&1 </dev/null ||
    { cat "$TMP/floor.txt" >&2; fail "the bare WinSock client failed under Wine"; }

tr -d '\r' <"$TMP/floor.txt" >"$TMP/floor.lf"
printf '\nHost calls over TCP against the emulator, median of %s (ms; fastest in brackets)\n' "$ROUNDS"
printf 'floor: a bare WinSock client under Wine, the same count of commands on one connection,\n'
printf '       5 WinSock calls a command (3 sends, 2 receives); one WinSock call alone: %s us [%s]\n' \
    "$(awk '$1 == "WinSockCall" {print $2}' "$TMP/floor.lf")" \
    "$(awk '$1 == "WinSockCall" {print $3}' "$TMP/floor.lf")"
printf '%-18s %20s %24s %8s %20s %11s\n' command "Linux x86-64" "Windows x86-64 (Wine)" ratio \
    "floor (Wine)" "floor/Linux"
tr -d '\r' <"$TMP/windows.txt" | awk -v goal=1.5 '
    FILENAME == ARGV[1] { lin[$1] = $2; linmin[$1] = $3; next }
    FILENAME == ARGV[2] { flo[$1] = $2; flomin[$1] = $3; next }
    ($1 in lin) {
        ratio = lin[$1] > 0 ? $2 / lin[$1] : 0
        fratio = lin[$1] > 0 ? flo[$1] / lin[$1] : 0
        printf "%-18s %11.3f [%6.3f] %15.3f [%6.3f] %7.2fx %11.3f [%6.3f] %10.2fx%s\n", $1,
            lin[$1], linmin[$1], $2, $3, ratio, flo[$1], flomin[$1], fratio,
            (ratio > goal ? "  over the goal of " goal "x" : "")
    }' "$TMP/linux.txt" "$TMP/floor.lf" -
