// The control line protocol: the table of words every part adds to, and the core's own words.
#include "EmuCore.h"

#include "Tape.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace emu {

namespace {

std::string ToUpper(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

} // namespace

std::string HexText(std::string_view bytes) {
    static const char* d = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        s.push_back(d[b >> 4]);
        s.push_back(d[b & 15]);
    }
    return s;
}

bool HexToBytes(std::string_view hex, std::string* out) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    auto nibble = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    *out = std::move(bytes);
    return true;
}

std::string ControlLine::Upper(size_t i) const {
    return i < words.size() ? ToUpper(words[i]) : std::string();
}

bool ControlLine::Number(size_t i, long long dflt, long long* out) const {
    if (i >= words.size()) {
        *out = dflt;
        return true;
    }
    const std::string& s = words[i];
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s.c_str(), &end, 0);
    if (s.empty() || errno != 0 || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

namespace {

bool IsCommandCode(unsigned long v) {
    return v <= 0xFF || (v >= 0xFF00 && v <= 0xFFFF);
}

// The whole word as a number in the base, or nothing.
bool WholeNumber(const std::string& s, int base, unsigned long* v) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || std::isspace(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *v = std::strtoul(s.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

} // namespace

bool ParseCommandCode(std::string_view text, uint16_t* code) {
    std::string s(text);
    unsigned long v = 0;
    // Hexadecimal first: 8D and FF4D end in a hex digit D, not in the decimal suffix.
    std::string hex = s;
    if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) {
        hex = hex.substr(2);
    }
    if (WholeNumber(hex, 16, &v) && IsCommandCode(v)) {
        *code = static_cast<uint16_t>(v);
        return true;
    }
    if (s.size() > 1 && (s.back() == 'd' || s.back() == 'D')) {
        s.pop_back();
        if (WholeNumber(s, 10, &v) && IsCommandCode(v)) {
            *code = static_cast<uint16_t>(v);
            return true;
        }
    }
    return false;
}

std::string ClockText(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[80];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

void Register::AddControlCommand(std::string word, std::string usage, ControlHandler handler) {
    std::lock_guard lock(mu_);
    control_[ToUpper(std::move(word))] = ControlWord{std::move(usage), std::move(handler)};
}

std::string Register::RunControl(std::string_view text) {
    ControlLine line;
    std::istringstream in{std::string(text)};
    for (std::string s; in >> s;) {
        line.words.push_back(s);
    }
    if (line.words.empty()) {
        return "ERR empty command\n";
    }
    std::lock_guard lock(mu_);
    auto it = control_.find(line.Upper(0));
    if (it == control_.end()) {
        return "ERR unknown command (HELP lists them)\n";
    }
    std::string answer = it->second.handler(line);
    if (answer.empty()) {
        return "ERR usage: " + it->second.usage + "\n";
    }
    if (answer.back() != '\n') {
        answer.push_back('\n');
    }
    return answer;
}

std::string Register::ControlHelp() const {
    std::lock_guard lock(mu_);
    std::string out;
    for (const auto& [word, c] : control_) {
        out += c.usage + "\n";
    }
    return out;
}

void RegisterCoreControls(Register& reg) {
    reg.AddControlCommand("LOG", "LOG [N]", [&reg](const ControlLine& l) -> std::string {
        long long n = 0;
        if (l.Size() > 2 || !l.Number(1, 20, &n) || n < 0) {
            return "";
        }
        auto log = reg.Log();
        size_t from = log.size() > static_cast<size_t>(n) ? log.size() - static_cast<size_t>(n) : 0;
        std::ostringstream o;
        for (size_t i = from; i < log.size(); ++i) {
            char code[8];
            std::snprintf(code, sizeof code, "%X", log[i].code);
            o << "LOG code=" << code << " result=" << int(log[i].result)
              << " request=" << HexText(log[i].request) << " answer=" << HexText(log[i].answer)
              << "\n";
        }
        o << "OK " << (log.size() - from) << "\n";
        return o.str();
    });

    for (const bool cash : {true, false}) {
        const std::string name = cash ? "CASHREG" : "OPERREG";
        reg.AddControlCommand(name, name + " N", [&reg, cash](const ControlLine& l) -> std::string {
            long long n = 0;
            if (l.Size() != 2 || !l.Number(1, 0, &n) || n < 0 || n > 0xFFFF) {
                return "";
            }
            auto r = static_cast<uint16_t>(n);
            return "OK " + std::to_string(cash ? reg.CashReg(r) : reg.OperReg(r));
        });
        reg.AddControlCommand("SET" + name, "SET" + name + " N VALUE",
                              [&reg, cash](const ControlLine& l) {
                                  long long n = 0, v = 0;
                                  if (l.Size() != 3 || !l.Number(1, 0, &n) || n < 0 || n > 0xFFFF ||
                                      !l.Number(2, 0, &v)) {
                                      return std::string();
                                  }
                                  auto r = static_cast<uint16_t>(n);
                                  cash ? reg.SetCashReg(r, v) : reg.SetOperReg(r, v);
                                  return std::string("OK");
                              });
    }

    reg.AddControlCommand(
        "FAULT",
        "FAULT RESULT CODE RC [COUNT] | FAULT SILENCE [COUNT] [CODE] | "
        "FAULT DELAY MS [COUNT] [CODE] | FAULT DROP [INDEX] [CODE] | FAULT LRC [CODE] | "
        "FAULT CLOSE BEFORE|AFTER [CODE] | FAULT PAPEROUT | FAULT POWER BEFORE|AFTER | FAULT CLEAR",
        [&reg](const ControlLine& l) -> std::string {
            Fault f;
            const std::string kind = l.Upper(1);
            long long count = 1, value = 0;
            uint16_t code = 0;
            auto codeAt = [&](size_t i) {
                return i >= l.Size() || ParseCommandCode(l.words[i], &code);
            };
            auto beforeAfter = [&](size_t i) {
                return l.Upper(i) == "BEFORE" || l.Upper(i) == "AFTER";
            };
            if (kind == "CLEAR" && l.Size() == 2) {
                reg.ClearFaults();
                return "OK";
            }
            if (kind == "RESULT") {
                if (l.Size() < 4 || l.Size() > 5 || !ParseCommandCode(l.words[2], &code) ||
                    !l.Number(3, 0, &value) || value < 0 || value > 255 ||
                    !l.Number(4, 1, &count)) {
                    return "";
                }
                f.kind = Fault::ResultCode;
            } else if (kind == "SILENCE") {
                if (l.Size() > 4 || !l.Number(2, 1, &count) || !codeAt(3)) {
                    return "";
                }
                f.kind = Fault::Silence;
            } else if (kind == "DELAY") {
                if (l.Size() < 3 || l.Size() > 5 || !l.Number(2, 0, &value) || value < 0 ||
                    !l.Number(3, 1, &count) || !codeAt(4)) {
                    return "";
                }
                f.kind = Fault::Delay;
            } else if (kind == "DROP") {
                if (l.Size() > 4 || !l.Number(2, -1, &value) || !codeAt(3)) {
                    return "";
                }
                f.kind = Fault::DropByte;
            } else if (kind == "LRC") {
                if (l.Size() > 3 || !codeAt(2)) {
                    return "";
                }
                f.kind = Fault::CorruptLrc;
            } else if (kind == "CLOSE") {
                if (l.Size() > 4 || !beforeAfter(2) || !codeAt(3)) {
                    return "";
                }
                f.kind = l.Upper(2) == "BEFORE" ? Fault::CloseBefore : Fault::CloseAfter;
            } else if (kind == "PAPEROUT" && l.Size() == 2) {
                f.kind = Fault::PaperOut;
            } else if (kind == "POWER" && l.Size() == 3 && beforeAfter(2)) {
                f.kind =
                    l.Upper(2) == "BEFORE" ? Fault::PowerBeforeCommit : Fault::PowerAfterCommit;
            } else {
                return "";
            }
            if (count < 1 || count > 1000000000) {
                return "ERR bad count";
            }
            f.code = code;
            f.count = static_cast<int>(count);
            f.value = static_cast<int>(std::min<long long>(value, 600000));
            reg.ArmFault(f);
            return "OK";
        });

    struct Switch {
        const char* word;
        const char* on;
        const char* off;
        void (Register::*set)(bool);
    };
    for (const Switch& s : {Switch{"PAPER", "IN", "OUT", &Register::SetPaper},
                            Switch{"COVER", "OPEN", "CLOSE", &Register::SetCoverOpen},
                            Switch{"DRAWER", "OPEN", "CLOSE", &Register::SetDrawerOpen}}) {
        reg.AddControlCommand(s.word, std::string(s.word) + " " + s.off + "|" + s.on,
                              [&reg, s](const ControlLine& l) -> std::string {
                                  const std::string a = l.Upper(1);
                                  if (l.Size() != 2 || (a != s.on && a != s.off)) {
                                      return "";
                                  }
                                  (reg.*s.set)(a == s.on);
                                  return "OK";
                              });
    }

    // A printer kept busy for a while, and paper that runs out in the middle of a document
    // (and, when asked, comes back by itself after that many state requests).
    reg.AddControlCommand(
        "PRINTER", "PRINTER BUSY MS | PRINTER PAPEROUT LINES [BACK POLLS]",
        [&reg](const ControlLine& l) -> std::string {
            long long a = 0, b = 0;
            const std::string what = l.Upper(1);
            if (what == "BUSY" && l.Size() == 3 && l.Number(2, 0, &a) && a >= 0 && a <= 600000) {
                reg.HoldPrinter(static_cast<int>(a));
                return "OK";
            }
            if (what == "PAPEROUT" && (l.Size() == 3 || l.Size() == 5) && l.Number(2, 0, &a) &&
                a >= 0 && a <= 100000 &&
                (l.Size() == 3 ||
                 (l.Upper(3) == "BACK" && l.Number(4, 0, &b) && b > 0 && b <= 100000))) {
                reg.ArmPaperOut(static_cast<int>(a), static_cast<int>(b));
                return "OK";
            }
            return "";
        });

    reg.AddControlCommand(
        "CLOCK", "CLOCK OFFSET S | CLOCK ADD S", [&reg](const ControlLine& l) -> std::string {
            long long s = 0;
            const std::string how = l.Upper(1);
            if ((how != "OFFSET" && how != "ADD") || l.Size() != 3 || !l.Number(2, 0, &s)) {
                return "";
            }
            if (!(how == "ADD" ? reg.MoveClock(s) : reg.SetClockOffset(s))) {
                return "ERR the clock shows 2000-01-01 to 2099-12-31 only";
            }
            return "OK " + ClockText(reg.Now());
        });

    reg.AddControlCommand("TAPE", "TAPE TEXT|PNG FILE", [&reg](const ControlLine& l) {
        const std::string how = l.Upper(1);
        if ((how != "TEXT" && how != "PNG") || l.Size() != 3) {
            return std::string();
        }
        std::string err;
        bool ok = how == "TEXT" ? reg.Paper().SaveText(l.words[2], &err)
                                : reg.Paper().SavePng(l.words[2], &err);
        return ok ? std::string("OK") : "ERR " + err;
    });

    reg.AddControlCommand("SAVE", "SAVE", [&reg](const ControlLine& l) {
        if (l.Size() != 1) {
            return std::string();
        }
        std::string err;
        return reg.SaveState(&err) ? std::string("OK") : "ERR " + err;
    });
}

} // namespace emu
