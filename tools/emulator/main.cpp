// kkt-emulator: an emulated fiscal register on TCP and/or a pseudo-terminal.
#include "Emulator.h"
#include "Tape.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char* kHelp =
    R"(Usage: kkt-emulator [options]

An emulated fiscal register with a fiscal storage (FN). It speaks the register's frame
protocol (STX, LEN, message, LRC with the ENQ/ACK/NAK dialogue) on a TCP port of 127.0.0.1
and/or on a pseudo-terminal, and keeps its whole state in one file.

Link:
  --tcp PORT        serve on 127.0.0.1:PORT (default 7778 when no --pty is given; 0: any)
  --pty             serve on a new pseudo-terminal; its path is printed
  --link PATH       with --pty: make PATH a symlink to the pseudo-terminal
  --password N      connection password (default 30)
  --tcp-ff-ack      on TCP, send 0xFF before the ACK of each frame, as some network
                    adapters do
  --baud N          model the serial line: every byte sent takes 10 bits at N bit/s
  --print-ms N      printing time per line in ms (the printer submode shows printing)

Fiscal storage and state:
  --state FILE      state file (archive, counters, tables, shift, clock, tape); written
                    atomically after every fiscal document; loaded at start
  --ffd VERSION     FN format version: 1.05, 1.1 or 1.2 (default 1.2)
  --registered      start with an FN already registered that holds a few documents

Tape:
  --tape-text FILE  write the paper tape as text at exit
  --tape-png FILE   draw the paper tape as a PNG at exit

Control:
  --control PORT    line protocol on 127.0.0.1:PORT (send HELP for the commands)
  --help            this text

The emulator prints one line per link ("tcp 127.0.0.1:PORT", "pty PATH",
"control 127.0.0.1:PORT") and runs until SIGINT or SIGTERM.
)";

bool ParsePort(const char* s, uint16_t* port) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < 0 || v > 65535) {
        return false;
    }
    *port = static_cast<uint16_t>(v);
    return true;
}

bool ParseNumber(const char* s, long long max, long long* out) {
    char* end = nullptr;
    long long v = std::strtoll(s, &end, 10);
    if (end == s || *end != '\0' || v < 0 || v > max) {
        return false;
    }
    *out = v;
    return true;
}

int Usage(const std::string& why) {
    std::fprintf(stderr, "kkt-emulator: %s (see --help)\n", why.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    emu::Options opt;
    bool tcp = false, pty = false, control = false;
    uint16_t tcpPort = 7778, controlPort = 0;
    std::string link, tapeText, tapePng;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        long long n = 0;
        if (a == "--help" || a == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--tcp") {
            const char* v = value();
            if (v == nullptr || !ParsePort(v, &tcpPort)) {
                return Usage("--tcp needs a port number");
            }
            tcp = true;
        } else if (a == "--tcp-ff-ack") {
            opt.tcpAckPrefixFF = true;
        } else if (a == "--pty") {
            pty = true;
        } else if (a == "--link") {
            const char* v = value();
            if (v == nullptr || *v == '\0') {
                return Usage("--link needs a path");
            }
            link = v;
        } else if (a == "--state") {
            const char* v = value();
            if (v == nullptr || *v == '\0') {
                return Usage("--state needs a file name");
            }
            opt.stateFile = v;
        } else if (a == "--ffd") {
            const char* v = value();
            std::string f = v != nullptr ? v : "";
            if (f == "1.05") {
                opt.ffd = 105;
            } else if (f == "1.1") {
                opt.ffd = 110;
            } else if (f == "1.2") {
                opt.ffd = 120;
            } else {
                return Usage("--ffd takes 1.05, 1.1 or 1.2");
            }
        } else if (a == "--registered") {
            opt.registered = true;
        } else if (a == "--control") {
            const char* v = value();
            if (v == nullptr || !ParsePort(v, &controlPort)) {
                return Usage("--control needs a port number");
            }
            control = true;
        } else if (a == "--tape-text" || a == "--tape-png") {
            const char* v = value();
            if (v == nullptr || *v == '\0') {
                return Usage(a + " needs a file name");
            }
            (a == "--tape-text" ? tapeText : tapePng) = v;
        } else if (a == "--baud") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, 4000000, &n) || n < 50) {
                return Usage("--baud needs a rate of 50 to 4000000");
            }
            opt.baud = static_cast<int>(n);
        } else if (a == "--print-ms") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, 60000, &n)) {
                return Usage("--print-ms needs 0 to 60000");
            }
            opt.printMsPerLine = static_cast<int>(n);
        } else if (a == "--password") {
            const char* v = value();
            if (v == nullptr || !ParseNumber(v, 4294967295LL, &n)) {
                return Usage("--password needs a number of 0 to 4294967295");
            }
            opt.password = static_cast<uint32_t>(n);
        } else {
            return Usage("unknown option " + a);
        }
    }
    if (!link.empty() && !pty) {
        return Usage("--link needs --pty");
    }
    if (!pty) {
        tcp = true;
    }

    // The signals are taken by sigwait below, not by a handler in whatever thread.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    emu::Emulator em(opt);
    // A power loss ends the process at once: no answer, no further writes.
    em.OnPowerLoss([] { ::_exit(3); });
    std::string err;
    if (!em.Load(&err)) {
        std::fprintf(stderr, "kkt-emulator: %s: %s\n", opt.stateFile.c_str(), err.c_str());
        return 1;
    }
    if (tcp && !em.StartTcp(tcpPort, &err)) {
        std::fprintf(stderr, "kkt-emulator: %s\n", err.c_str());
        return 1;
    }
    if (pty && !em.StartPty(link, &err)) {
        std::fprintf(stderr, "kkt-emulator: %s\n", err.c_str());
        return 1;
    }
    if (control && !em.StartControl(controlPort, &err)) {
        std::fprintf(stderr, "kkt-emulator: %s\n", err.c_str());
        return 1;
    }
    if (tcp) {
        std::printf("tcp 127.0.0.1:%u\n", em.TcpPort());
    }
    if (pty) {
        std::printf("pty %s\n", em.PtyPath().c_str());
    }
    if (control) {
        std::printf("control 127.0.0.1:%u\n", em.ControlPort());
    }
    std::fflush(stdout);

    int sig = 0;
    sigwait(&sigs, &sig);
    em.Stop();
    int rc = 0;
    if (!tapeText.empty() && !em.Reg().Paper().SaveText(tapeText, &err)) {
        std::fprintf(stderr, "kkt-emulator: %s\n", err.c_str());
        rc = 1;
    }
    if (!tapePng.empty() && !em.Reg().Paper().SavePng(tapePng, &err)) {
        std::fprintf(stderr, "kkt-emulator: %s\n", err.c_str());
        rc = 1;
    }
    emu::ReleaseDrawingCaches();
    return rc;
}
