#!/usr/bin/env bash
# The soak: two emulated registers, one on TCP and one on a pseudo-terminal, driven at once by
# korvander-soak (two threads, two objects of the add-in) for OPS operations each.
#   soak.sh [OPS] [SHIFT] [log]
# (default 10000 operations, the shift closed every 500 receipts; "log": both registers log,
# a few hundred lines an operation).
# Takes KORVANDER_SOAK, KORVANDER_LIB and KORVANDER_EMULATOR from the environment. The
# emulators keep no state file: rewriting a growing archive after each document would measure
# the emulator, not the driver.
set -euo pipefail
: "${KORVANDER_SOAK:?}" "${KORVANDER_LIB:?}"
if [ -z "${KORVANDER_EMULATOR:-}" ]; then
    echo "no register emulator in this build: nothing to test"
    exit 0
fi
OPS="${1:-10000}"
SHIFT="${2:-500}"
LOG="${3:-}"
# shellcheck source=../../scripts/emulator-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/emulator-lib.sh"
emu_scratch soak
export KORVANDER_COM_DIR="$TMP/com"
mkdir -p "$KORVANDER_COM_DIR"

# start NAME ARGS...: an emulator without a state file; its first line in LINE.
start() {
    local name="$1" fd
    shift
    mkfifo "$TMP/$name.out"
    "$KORVANDER_EMULATOR" "$@" >"$TMP/$name.out" 2>"$TMP/$name.err" &
    EMU_PIDS+=($!)
    exec {fd}<"$TMP/$name.out"
    read -r -t 30 LINE <&"$fd" || {
        echo "emulator $name did not start" >&2
        cat "$TMP/$name.err" >&2
        exit 1
    }
}
start network --tcp 0 --registered
TCP_PORT="${LINE##*:}"
start serial --pty --link "$KORVANDER_COM_DIR/COM9" --registered

${KORVANDER_SOAK_WRAPPER:-} "$KORVANDER_SOAK" "$KORVANDER_LIB" "$TCP_PORT" 9 "$OPS" "$SHIFT" ${LOG:+log}
if [ -n "$LOG" ]; then
    # Both registers logged into the same day's file.
    lines=$(find "$KORVANDER_LOG_DIR" -type f -exec cat {} + | wc -l)
    echo "log: $lines lines"
    [ "$lines" -gt 0 ] || { echo "the registers logged nothing" >&2; exit 1; }
fi
