#!/usr/bin/env bash
# The Windows TCP rows of ./run bench: the same host calls on a register over TCP, timed for
# the Linux library (tcp_calls) and for the x86-64 DLL under Wine (tcp_calls_win.exe), against
# one emulator, printed side by side with their ratio. Goal: Windows within 1.5 x Linux.
# Beside them the floor under Wine: a bare WinSock client (tcp_floor_win.exe) making the same
# count of commands with the fewest WinSock calls; each call is a round trip to the Wine server.
#
# The machine is shared: a round that waits for the processor or the disk says nothing about
# the link. So:
# - Wine settles first. For some seconds after the prefix is made, and again whenever its
#   server has to start anew, Wine's own service processes take the processors: programs run
#   then were 3 to 10 times slower, the bare client as much as the DLL. A fresh server is
#   kept for the whole run and one untimed run of each program goes first.
# - The emulator keeps its state on a memory file system where there is one: the register
#   writes a table cell in ConnectEquipment, which the emulator makes durable with two fsync
#   calls; on a busy disk those made a call of 1 to 3 ms take up to 30 ms, on either side,
#   at random, and the floor (which writes nothing) never paid them.
# - The three programs run PASSES times in turn; each figure is the best of its passes.
#
#   bench/wine_tcp.sh BENCH_BUILD_DIR      (ROUNDS: calls per command, default 20;
#                                           PASSES: runs of each program, default 3)
set -euo pipefail
BENCH_BUILD="$(cd "$1" && pwd)"
ROUNDS="${ROUNDS:-20}"
PASSES="${PASSES:-3}"
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
if [ -z "${KORVANDER_TEST_TMP:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export KORVANDER_TEST_TMP=/dev/shm
fi
emu_scratch korvander-bench-tcp
trap 'emu_cleanup; cleanup_wine' EXIT
start_emulator network "tcp 127.0.0.1:*" --tcp 0 --registered

# run_windows OUT: the DLL's calls under Wine, ROUNDS each; run_floor OUT: the floor.
run_windows() {
    (
        unset KORVANDER_LOG_DIR
        "$WINE64" "$BUILD/tcp_calls_win.exe" \
            "$(printf 'Z:%s' "$BUILD/lib/Korvander.dll" | tr '/' '\\')" "$PORT" "$ROUNDS" \
            >"$1" 2>&1 </dev/null
    ) || { cat "$1" >&2; fail "the Windows calls failed under Wine"; }
}
# The floor: a bare WinSock client under Wine making as many commands as each call makes on
# the emulator today (count them again with the emulator's LOG control when the driver's
# calls change).
run_floor() {
    "$WINE64" "$BUILD/tcp_floor_win.exe" "$PORT" "$ROUNDS" ConnectEquipment=36 GetDataKKT=19 \
        GetDateTime=2 >"$1" 2>&1 </dev/null ||
        { cat "$1" >&2; fail "the bare WinSock client failed under Wine"; }
}
# The server left from making the prefix ends first (a running one cannot be made to stay).
wineserver -w
wineserver -p >/dev/null 2>&1 </dev/null
run_windows "$TMP/pass.txt"
run_floor "$TMP/pass.txt"

: >"$TMP/linux.txt"
: >"$TMP/windows.txt"
: >"$TMP/floor.txt"
for ((pass = 1; pass <= PASSES; pass++)); do
    "$BENCH_BUILD/bench/tcp_calls" "$PORT" "$ROUNDS" >"$TMP/pass.txt" ||
        { cat "$TMP/pass.txt" >&2; fail "the Linux calls failed"; }
    cat "$TMP/pass.txt" >>"$TMP/linux.txt"
    run_windows "$TMP/pass.txt"
    tr -d '\r' <"$TMP/pass.txt" >>"$TMP/windows.txt"
    run_floor "$TMP/pass.txt"
    tr -d '\r' <"$TMP/pass.txt" >>"$TMP/floor.txt"
done
# best FILE: per name, in the order first seen, the lowest median and the lowest fastest of
# the passes.
best() {
    awk 'NF >= 3 {
            if (!($1 in med)) { order[++n] = $1; med[$1] = $2; low[$1] = $3 }
            if ($2 + 0 < med[$1] + 0) med[$1] = $2
            if ($3 + 0 < low[$1] + 0) low[$1] = $3
         }
         END { for (i = 1; i <= n; i++) print order[i], med[order[i]], low[order[i]] }' "$1"
}
best "$TMP/linux.txt" >"$TMP/linux.best"
best "$TMP/windows.txt" >"$TMP/windows.best"
best "$TMP/floor.txt" >"$TMP/floor.lf"
printf '\nHost calls over TCP against the emulator, median of %s, best of %s runs (ms; fastest in brackets)\n' \
    "$ROUNDS" "$PASSES"
printf 'floor: a bare WinSock client under Wine, the same count of commands on one connection,\n'
printf '       5 WinSock calls a command (3 sends, 2 receives); one WinSock call alone: %s us [%s]\n' \
    "$(awk '$1 == "WinSockCall" {print $2}' "$TMP/floor.lf")" \
    "$(awk '$1 == "WinSockCall" {print $3}' "$TMP/floor.lf")"
printf '%-18s %20s %24s %8s %20s %11s\n' command "Linux x86-64" "Windows x86-64 (Wine)" ratio \
    "floor (Wine)" "floor/Linux"
awk -v goal=1.5 '
    FILENAME == ARGV[1] { lin[$1] = $2; linmin[$1] = $3; next }
    FILENAME == ARGV[2] { flo[$1] = $2; flomin[$1] = $3; next }
    ($1 in lin) {
        ratio = lin[$1] > 0 ? $2 / lin[$1] : 0
        fratio = lin[$1] > 0 ? flo[$1] / lin[$1] : 0
        printf "%-18s %11.3f [%6.3f] %15.3f [%6.3f] %7.2fx %11.3f [%6.3f] %10.2fx%s\n", $1,
            lin[$1], linmin[$1], $2, $3, ratio, flo[$1], flomin[$1], fratio,
            (ratio > goal ? "  over the goal of " goal "x" : "")
    }' "$TMP/linux.best" "$TMP/floor.lf" "$TMP/windows.best"
