# Shell helpers for scripts that drive the add-in against the register emulator
# (the demo and the integration tests). Source it; it defines:
#
#   EMU_SKIP                the exit status of a test that cannot run here (77; ctest
#                           reports it as skipped, never as passed)
#   skip_test REASON        prints the reason and exits with EMU_SKIP
#   require_emulator        skip_test unless KORVANDER_EMULATOR names an executable
#   emu_scratch NAME        a scratch folder in TMP, removed at exit together with every
#                           emulator started; the driver's log goes there (KORVANDER_LOG_DIR)
#   start_emulator NAME PATTERN ARGS...
#                           starts $KORVANDER_EMULATOR with its state in the scratch folder and
#                           waits (30 s at most) for its first line, which must match PATTERN;
#                           leaves it in LINE, and the port of a "tcp 127.0.0.1:PORT" line in PORT;
#                           its further lines can be read from the descriptor EMU_OUT
#   emu_control PORT LINE   sends one control line to the emulator's control port and prints
#                           the answer (every line up to the closing OK/ERR line)
#   tcp_settings PORT [LOG] ConnectEquipment settings for the emulator on 127.0.0.1:PORT
#   serial_settings COM     the same for serial port COM<n>
#
# The settings texts carry \" for the host tool's quoted arguments.

EMU_PIDS=()
EMU_SKIP=77

skip_test() {
    echo "skipped: $*"
    exit "$EMU_SKIP"
}

require_emulator() {
    [ -n "${KORVANDER_EMULATOR:-}" ] || skip_test "no register emulator in this build"
    [ -x "$KORVANDER_EMULATOR" ] || skip_test "the register emulator $KORVANDER_EMULATOR is missing"
}

# emu_stop_all: stops every emulator started so far (each writes its tape as it stops).
emu_stop_all() {
    local pid
    for pid in "${EMU_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    EMU_PIDS=()
}

emu_cleanup() {
    emu_stop_all
    [ -n "${TMP:-}" ] && rm -rf "$TMP"
}

# expect_tape TAPE TEXT...: fails the test, showing the tape, unless it holds every TEXT.
expect_tape() {
    local tape="$1" text
    shift
    for text in "$@"; do
        grep -qF -- "$text" "$tape" || {
            echo "$tape lacks: $text" >&2
            cat "$tape" >&2
            exit 1
        }
    done
}

emu_scratch() {
    local base="${KORVANDER_TEST_TMP:-${TMPDIR:-/tmp}}"
    mkdir -p "$base"
    TMP="$(mktemp -d "$base/$1.XXXXXX")"
    trap emu_cleanup EXIT
    export KORVANDER_LOG_DIR="$TMP/log"
}

start_emulator() {
    local name="$1" pattern="$2" fd
    shift 2
    mkfifo "$TMP/$name.out"
    "$KORVANDER_EMULATOR" --state "$TMP/$name.bin" "$@" >"$TMP/$name.out" 2>"$TMP/$name.err" &
    EMU_PIDS+=($!)
    exec {fd}<"$TMP/$name.out"
    EMU_OUT=$fd
    LINE=""
    read -r -t 30 LINE <&"$fd" || {
        echo "emulator $name did not start" >&2
        cat "$TMP/$name.err" >&2
        exit 1
    }
    # shellcheck disable=SC2254
    case "$LINE" in
        $pattern) ;;
        *) echo "unexpected first line from emulator $name: $LINE" >&2; exit 1 ;;
    esac
    PORT=""
    case "$LINE" in
        "tcp 127.0.0.1:"[0-9]*) PORT="${LINE##*:}" ;;
    esac
}

emu_control() {
    local fd line
    exec {fd}<>"/dev/tcp/127.0.0.1/$1"
    printf '%s\n' "$2" >&"$fd"
    while read -r -t 30 line <&"$fd"; do
        printf '%s\n' "$line"
        case "$line" in OK* | ERR*) break ;; esac
    done
    exec {fd}>&-
}

emu_param() { printf '<Parameter Name=\\"%s\\" Value=\\"%s\\"/>' "$1" "$2"; }

tcp_settings() {
    printf '<Parameters>%s%s%s%s%s</Parameters>' "$(emu_param PortNumber 9999)" \
        "$(emu_param IPAddress 127.0.0.1)" "$(emu_param IPPort "$1")" \
        "$(emu_param ConnectPwd 30)" "$(emu_param LogEnabled "${2:-false}")"
}

serial_settings() {
    printf '<Parameters>%s%s%s</Parameters>' "$(emu_param PortNumber "$1")" \
        "$(emu_param BaudRate 115200)" "$(emu_param ConnectPwd 30)"
}
