// The register's state, its settings tables, the dispatch table and the state file.
#include "EmuCore.h"

#include "Tape.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace emu {

void PutLE(std::string& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

uint64_t GetLE(std::string_view in, size_t offset, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes && offset + i < in.size(); ++i) {
        v |= static_cast<uint64_t>(static_cast<uint8_t>(in[offset + i])) << (8 * i);
    }
    return v;
}

// ---------------------------------------------------------------------------------------------
// Settings tables

namespace {

FieldDef Num(std::string name, uint8_t size = 1, int64_t min = 0, int64_t max = -1) {
    FieldDef f;
    f.name = std::move(name);
    f.size = size;
    f.min = min;
    f.max = max >= 0 ? max : (size >= 8 ? INT64_MAX : (int64_t{1} << (8 * size)) - 1);
    return f;
}

FieldDef Str(std::string name, uint8_t size) {
    FieldDef f;
    f.name = std::move(name);
    f.isString = true;
    f.size = size;
    f.min = 0;
    f.max = 0;
    return f;
}

uint32_t Key(uint8_t table, uint16_t row, uint8_t field) {
    return (uint32_t{table} << 24) | (uint32_t{row} << 8) | field;
}

} // namespace

Tables::Tables() {
    // Table 1: type and mode of the register.
    TableDef t1{"Type and mode", 1, {}};
    t1.fields = {Num("Cash register number", 1, 1, 99),
                 Num("Automatic shift closing", 1, 0, 1),
                 Num("Print header at document end", 1, 0, 1),
                 Num("Drawer pulse", 1, 0, 1),
                 Num("Beep on error", 1, 0, 1),
                 Num("Rounding", 1, 0, 1),
                 Num("Automatic cutting", 1, 0, 2),
                 Num("Print logo", 1, 0, 1),
                 Num("Receipt print density", 1, 0, 3),
                 Num("Open drawer at receipt close", 1, 0, 1)};
    defs_[1] = t1;
    // Table 9: printer.
    TableDef t9{"Printer", 1, {}};
    t9.fields = {Num("Printer model", 1, 0, 10), Num("Print speed", 1, 0, 3),
                 Num("Line length", 1, 24, 64), Num("Font", 1, 1, 7), Num("Cut type", 1, 0, 1)};
    defs_[9] = t9;
    // Table 17: regional settings (41 fields; the driver reads 7, 17 and 41).
    TableDef t17{"Regional settings", 1, {}};
    for (int i = 1; i <= 41; ++i) {
        t17.fields.push_back(Num("Regional setting " + std::to_string(i), 1, 0, 255));
    }
    t17.fields[6] = Num("Document printing", 1, 0, 2);
    t17.fields[16] = Num("FFD version", 1, 1, 4);
    t17.fields[40] = Num("Receive all receipts", 1, 0, 2);
    defs_[17] = t17;
    // Table 18: fiscal storage and registration data.
    TableDef t18{"Fiscal storage", 1, {}};
    t18.fields = {Str("Register serial number", 20),
                  Str("User INN", 12),
                  Str("Registration number", 20),
                  Str("FN serial number", 16),
                  Num("Taxation systems", 1, 0, 63),
                  Num("Work mode", 1, 0, 255),
                  Str("User name", 128),
                  Str("Cashier name", 64),
                  Str("Settlement address", 128),
                  Str("OFD name", 64),
                  Str("OFD site", 64),
                  Str("OFD INN", 12),
                  Str("Tax authority site", 64),
                  Str("Settlement place", 128),
                  Str("Sender e-mail", 64),
                  Num("Agent types", 1, 0, 127),
                  Num("Reserved 17", 1),
                  Num("Reserved 18", 1),
                  Num("Reserved 19", 1),
                  Num("Reserved 20", 1),
                  Num("Extended work mode", 1, 0, 255)};
    defs_[18] = t18;
    // Table 24: automatic devices.
    TableDef t24{"Automatic device", 1, {}};
    t24.fields = {Str("Automatic device number", 20)};
    defs_[24] = t24;

    SetInt(1, 1, 1, 1);
    SetInt(1, 1, 7, 1);
    SetInt(9, 1, 3, 48);
    SetInt(9, 1, 4, 1);
    SetInt(17, 1, 17, 4);
    SetStr(18, 1, 1, "0000000000012345");
}

const TableDef* Tables::Table(uint8_t table) const {
    auto it = defs_.find(table);
    return it == defs_.end() ? nullptr : &it->second;
}

const FieldDef* Tables::Field(uint8_t table, uint8_t field) const {
    const TableDef* t = Table(table);
    if (t == nullptr || field == 0 || field > t->fields.size()) {
        return nullptr;
    }
    return &t->fields[field - 1];
}

bool Tables::Get(uint8_t table, uint16_t row, uint8_t field, std::string& out) const {
    const TableDef* t = Table(table);
    const FieldDef* f = Field(table, field);
    if (f == nullptr || row == 0 || row > t->rows) {
        return false;
    }
    auto it = values_.find(Key(table, row, field));
    out = it == values_.end() ? std::string(f->size, '\0') : it->second;
    return true;
}

uint8_t Tables::Set(uint8_t table, uint16_t row, uint8_t field, std::string_view bytes) {
    const TableDef* t = Table(table);
    if (t == nullptr) {
        return rc::NoTable;
    }
    const FieldDef* f = Field(table, field);
    if (f == nullptr || row == 0 || row > t->rows) {
        return rc::BadParams;
    }
    if (bytes.empty() || bytes.size() > f->size) {
        return rc::BadFormat;
    }
    std::string value(bytes);
    value.resize(f->size, '\0');
    if (!f->isString) {
        auto v = static_cast<int64_t>(GetLE(value, 0, std::min<size_t>(f->size, 8)));
        if (v < f->min || v > f->max) {
            return rc::BadParams;
        }
    }
    values_[Key(table, row, field)] = std::move(value);
    return rc::Ok;
}

int64_t Tables::GetInt(uint8_t table, uint16_t row, uint8_t field) const {
    std::string v;
    if (!Get(table, row, field, v)) {
        return 0;
    }
    return static_cast<int64_t>(GetLE(v, 0, std::min<size_t>(v.size(), 8)));
}

std::string Tables::GetStr(uint8_t table, uint16_t row, uint8_t field) const {
    std::string v;
    if (!Get(table, row, field, v)) {
        return {};
    }
    auto end = v.find('\0');
    if (end != std::string::npos) {
        v.resize(end);
    }
    return v;
}

void Tables::SetInt(uint8_t table, uint16_t row, uint8_t field, int64_t value) {
    const FieldDef* f = Field(table, field);
    if (f == nullptr) {
        return;
    }
    std::string v;
    PutLE(v, static_cast<uint64_t>(value), f->size);
    values_[Key(table, row, field)] = std::move(v);
}

void Tables::SetStr(uint8_t table, uint16_t row, uint8_t field, std::string_view value) {
    const FieldDef* f = Field(table, field);
    if (f == nullptr) {
        return;
    }
    std::string v(value.substr(0, f->size));
    v.resize(f->size, '\0');
    values_[Key(table, row, field)] = std::move(v);
}

std::string Tables::Serialize() const {
    std::string out;
    PutLE(out, values_.size(), 4);
    for (const auto& [key, value] : values_) {
        PutLE(out, key, 4);
        PutLE(out, value.size(), 2);
        out += value;
    }
    return out;
}

void Tables::Deserialize(std::string_view data) {
    size_t pos = 0;
    auto need = [&](size_t n) { return pos + n <= data.size(); };
    if (!need(4)) {
        return;
    }
    uint64_t count = GetLE(data, pos, 4);
    pos += 4;
    for (uint64_t i = 0; i < count && need(6); ++i) {
        auto key = static_cast<uint32_t>(GetLE(data, pos, 4));
        size_t len = GetLE(data, pos + 4, 2);
        pos += 6;
        if (!need(len)) {
            return;
        }
        const FieldDef* f = Field(static_cast<uint8_t>(key >> 24), static_cast<uint8_t>(key));
        if (f != nullptr && f->size == len) {
            values_[key] = std::string(data.substr(pos, len));
        }
        pos += len;
    }
}

// ---------------------------------------------------------------------------------------------
// Dispatcher

void Dispatcher::RegisterCommand(uint16_t code, size_t minLen, Handler handler) {
    CommandRule rule;
    rule.minLen = minLen;
    RegisterCommand(code, rule, std::move(handler));
}

void Dispatcher::RegisterCommand(uint16_t code, CommandRule rule, Handler handler) {
    table_[code] = Entry{rule, std::move(handler)};
}

size_t Dispatcher::CodeLength(std::string_view message) {
    if (message.empty()) {
        return 0;
    }
    auto first = static_cast<uint8_t>(message[0]);
    if (first == 0xFE || first == 0xFF) {
        return message.size() >= 2 ? 2 : 0;
    }
    return 1;
}

uint16_t Dispatcher::CodeOf(std::string_view message) {
    size_t n = CodeLength(message);
    if (n == 1) {
        return static_cast<uint8_t>(message[0]);
    }
    if (n == 2) {
        return static_cast<uint16_t>((static_cast<uint8_t>(message[0]) << 8) |
                                     static_cast<uint8_t>(message[1]));
    }
    return 0;
}

std::string Dispatcher::CodeBytes(uint16_t code) {
    std::string s;
    if (code > 0xFF) {
        s.push_back(static_cast<char>(code >> 8));
    }
    s.push_back(static_cast<char>(code & 0xFF));
    return s;
}

std::string Dispatcher::Execute(Register& reg, std::string_view message) const {
    std::lock_guard lock(reg.Mutex());
    size_t codeLen = CodeLength(message);
    if (codeLen == 0) {
        // A lone 0xFE/0xFF: echo what came and refuse it.
        std::string out(message);
        out.push_back(static_cast<char>(rc::BadFormat));
        reg.AddLog(LogEntry{0, rc::BadFormat, std::string(message), out});
        return out;
    }
    uint16_t code = CodeOf(message);
    std::string out = CodeBytes(code);
    Answer answer;
    std::string_view rest = message.substr(codeLen);
    auto it = table_.find(code);
    Fault fault;
    if (it == table_.end()) {
        answer = Fail(rc::BadFormat);
    } else if (it->second.rule.password && rest.size() < 4) {
        answer = Fail(rc::BadFormat);
    } else if (it->second.rule.password && GetLE(rest, 0, 4) != reg.Opts().password) {
        answer = Fail(rc::BadPassword);
    } else {
        std::string_view data = it->second.rule.password ? rest.substr(4) : rest;
        if (data.size() < it->second.rule.minLen || data.size() > it->second.rule.maxLen) {
            answer = Fail(rc::BadFormat);
        } else if (reg.TakeFault(Fault::ResultCode, code, &fault)) {
            answer = Fail(static_cast<uint8_t>(fault.value));
        } else {
            const Tape& tape = reg.Paper();
            uint64_t before = tape.Size() + tape.Dropped();
            try {
                answer = it->second.handler(reg, data);
            } catch (const PowerLoss&) {
                reg.AddLog(LogEntry{code, 0, std::string(message), {}});
                throw;
            } catch (const std::exception&) {
                // A fault of the emulator itself: the register reports an internal error
                // rather than going down.
                reg.CountInternalError();
                answer = Fail(rc::InternalError);
            }
            // Printing time of what the command put on paper.
            reg.PrintedFrom(before);
        }
    }
    out.push_back(static_cast<char>(answer.result));
    out += answer.data;
    if (out.size() > 255) {
        // The LEN byte cannot carry more; a register never answers that much.
        out = CodeBytes(code);
        out.push_back(static_cast<char>(rc::BadFormat));
    }
    reg.AddLog(LogEntry{code, answer.result, std::string(message), out});
    return out;
}

// ---------------------------------------------------------------------------------------------
// Register

namespace {

int64_t LocalZoneOffset() {
    time_t t = time(nullptr);
    struct tm lt {};
    localtime_r(&t, &lt);
    return lt.tm_gmtoff;
}

constexpr char kStateMagic[] = "KORVEMU1";

} // namespace

uint32_t StateChecksum(std::string_view data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (char ch : data) {
        crc ^= static_cast<uint8_t>(ch);
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

namespace {

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

Register::Register(Options opt)
    : opt_(std::move(opt)), clockOffset_(LocalZoneOffset()), tape_(std::make_unique<Tape>()) {
    // The register's own FFD setting follows the FN it was started with.
    tables_.SetInt(17, 1, 17, opt_.ffd == 105 ? 2 : (opt_.ffd == 110 ? 3 : 4));
    AddStateSection(
        "core", [this] { return SerializeCore(); },
        [this](std::string_view d) { DeserializeCore(d); });
    AddStateSection(
        "tape", [this] { return tape_->Serialize(); },
        [this](std::string_view d) { tape_->Deserialize(d); });
    RegisterCoreControls(*this);
}

Register::~Register() = default;

bool Register::ShiftExpired() const {
    return shiftOpen_ && Now() - shiftOpenedAt_ >= 24 * 3600;
}

void Register::OpenShift(time_t at) {
    shiftOpen_ = true;
    shiftOpenedAt_ = at;
}

void Register::CloseShift() {
    shiftOpen_ = false;
    shiftOpenedAt_ = 0;
}

uint8_t Register::Mode() const {
    if (dataOutput_) {
        return 1;
    }
    if (receiptType_ >= 0) {
        return static_cast<uint8_t>(8 | ((receiptType_ & 3) << 4));
    }
    if (shiftOpen_) {
        return ShiftExpired() ? 3 : 2;
    }
    return 4;
}

uint8_t Register::Submode() const {
    if (stopped_) {
        return paperBackWaiting_ ? submode::PaperBack : submode::PaperOutActive;
    }
    if (!paper_) {
        return submode::PaperOutIdle;
    }
    if (std::chrono::steady_clock::now() < busyUntil_) {
        return submode::Printing;
    }
    return submode::Idle;
}

uint16_t Register::Flags() const {
    uint16_t f = 0;
    if (paper_) {
        f |= 1u << 1; // receipt roll present
        f |= 1u << 7; // paper at the receipt tape's optical sensor
    }
    if (cover_) {
        f |= 1u << 10;
    }
    if (drawer_) {
        f |= 1u << 11;
    }
    return f;
}

void Register::SetPaper(bool present) {
    paper_ = present;
    if (present && stopped_) {
        paperBackWaiting_ = true;
    }
}

namespace {

// The register clock's range: 2000-01-01T00:00:00 to 2099-12-31T23:59:59.
constexpr int64_t kClockFirst = 946684800;
constexpr int64_t kClockLast = 4102444799;

bool ClockOffsetFits(int64_t offset) {
    const auto now = static_cast<int64_t>(time(nullptr));
    return offset >= kClockFirst - now && offset <= kClockLast - now;
}

} // namespace

time_t Register::Now() const {
    return time(nullptr) + clockOffset_;
}

bool Register::SetClockOffset(int64_t seconds) {
    if (!ClockOffsetFits(seconds)) {
        return false;
    }
    clockOffset_ = seconds;
    return true;
}

bool Register::MoveClock(int64_t seconds) {
    int64_t offset = 0;
    return !__builtin_add_overflow(clockOffset_, seconds, &offset) && SetClockOffset(offset);
}

void Register::AddCashReg(uint16_t n, int64_t delta) {
    cashRegs_[n] += delta;
}
int64_t Register::CashReg(uint16_t n) const {
    auto it = cashRegs_.find(n);
    return it == cashRegs_.end() ? 0 : it->second;
}
void Register::SetCashReg(uint16_t n, int64_t value) {
    cashRegs_[n] = value;
}
void Register::AddOperReg(uint16_t n, int64_t delta) {
    operRegs_[n] += delta;
}
int64_t Register::OperReg(uint16_t n) const {
    auto it = operRegs_.find(n);
    return it == operRegs_.end() ? 0 : it->second;
}
void Register::SetOperReg(uint16_t n, int64_t value) {
    operRegs_[n] = value;
}

void Register::PrintedFrom(uint64_t from) {
    const uint64_t end = tape_->Size() + tape_->Dropped();
    // Lines dropped from the tape's memory already still took paper.
    int lines = from < tape_->Dropped() ? static_cast<int>(tape_->Dropped() - from) : 0;
    for (uint64_t i = std::max<uint64_t>(from, tape_->Dropped()); i < end; ++i) {
        const int more = Tape::LinesOf(tape_->At(static_cast<size_t>(i - tape_->Dropped())));
        if (paperOutAfterLines_ >= 0 && more > 0 && lines + more > paperOutAfterLines_) {
            // The roll ends here: the rest of the document waits for new paper.
            paperOutAfterLines_ = -1;
            held_ = tape_->TakeFrom(i);
            int rest = 0;
            for (const TapeElement& e : held_)
                rest += Tape::LinesOf(e);
            Printed(lines);
            paper_ = false;
            stopped_ = true;
            paperBackWaiting_ = false;
            pendingMs_ += static_cast<int64_t>(rest) * opt_.printMsPerLine;
            return;
        }
        lines += more;
    }
    if (paperOutAfterLines_ >= 0)
        paperOutAfterLines_ -= lines;
    Printed(lines);
}

void Register::HoldPrinter(int ms) {
    auto now = std::chrono::steady_clock::now();
    busyUntil_ = std::max(now, busyUntil_) + std::chrono::milliseconds(std::max(ms, 0));
}

void Register::ArmPaperOut(int afterLines, int backAfterPolls) {
    paperOutAfterLines_ = std::max(afterLines, 0);
    paperBackAfterPolls_ = backAfterPolls;
}

void Register::StatePolled() {
    if (stopped_ && !paper_ && paperBackAfterPolls_ > 0 && --paperBackAfterPolls_ == 0)
        SetPaper(true); // the cashier put in a new roll
}

void Register::Printed(int lines) {
    if (lines <= 0) {
        return;
    }
    if (TakeFault(Fault::PaperOut, 0)) {
        paper_ = false;
        stopped_ = true;
        paperBackWaiting_ = false;
        // What was left to print is printed after the continue command.
        pendingMs_ = static_cast<int64_t>(lines) * opt_.printMsPerLine;
        return;
    }
    auto now = std::chrono::steady_clock::now();
    auto start = std::max(now, busyUntil_);
    busyUntil_ =
        start + std::chrono::milliseconds(static_cast<int64_t>(lines) * opt_.printMsPerLine);
}

uint8_t Register::CanPrint() const {
    if (stopped_) {
        return paperBackWaiting_ ? rc::WaitContinue : rc::NoPaper;
    }
    if (!paper_) {
        return rc::NoPaper;
    }
    return rc::Ok;
}

uint8_t Register::ContinuePrinting() {
    if (!stopped_) {
        return rc::Ok;
    }
    if (!paperBackWaiting_) {
        return rc::NoPaper;
    }
    stopped_ = false;
    paperBackWaiting_ = false;
    busyUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(pendingMs_);
    pendingMs_ = 0;
    // What did not fit on the old roll is printed now.
    tape_->PutBack(std::move(held_));
    held_.clear();
    return rc::Ok;
}

void Register::AddStateSection(std::string name, std::function<std::string()> save,
                               std::function<void(std::string_view)> load) {
    for (auto& s : sections_) {
        if (s.name == name) {
            s.save = std::move(save);
            s.load = std::move(load);
            return;
        }
    }
    sections_.push_back(Section{std::move(name), std::move(save), std::move(load)});
}

std::string Register::SerializeState() const {
    std::lock_guard lock(mu_);
    std::string body;
    for (const auto& s : sections_) {
        std::string data = s.save();
        PutLE(body, s.name.size(), 1);
        body += s.name;
        PutLE(body, data.size(), 4);
        body += data;
    }
    std::string out(kStateMagic);
    PutLE(out, body.size(), 4);
    out += body;
    PutLE(out, StateChecksum(body), 4);
    return out;
}

bool Register::DeserializeState(std::string_view file, std::string* err) {
    auto fail = [&](const char* why) {
        if (err != nullptr) {
            *err = why;
        }
        return false;
    };
    const size_t magicLen = sizeof(kStateMagic) - 1;
    if (file.size() < magicLen + 8 || file.substr(0, magicLen) != kStateMagic) {
        return fail("not a state file of the emulator");
    }
    size_t bodyLen = GetLE(file, magicLen, 4);
    if (file.size() != magicLen + 4 + bodyLen + 4) {
        return fail("the state file is cut short or too long");
    }
    std::string_view body = file.substr(magicLen + 4, bodyLen);
    if (StateChecksum(body) != GetLE(file, magicLen + 4 + bodyLen, 4)) {
        return fail("the state file's check sum does not match");
    }
    // Parse every section before loading any, so a damaged file changes nothing.
    std::vector<std::pair<std::string, std::string_view>> parts;
    size_t pos = 0;
    while (pos < body.size()) {
        size_t nameLen = GetLE(body, pos, 1);
        if (pos + 1 + nameLen + 4 > body.size()) {
            return fail("a section of the state file is damaged");
        }
        std::string name(body.substr(pos + 1, nameLen));
        size_t len = GetLE(body, pos + 1 + nameLen, 4);
        pos += 1 + nameLen + 4;
        if (pos + len > body.size()) {
            return fail("a section of the state file is damaged");
        }
        parts.emplace_back(std::move(name), body.substr(pos, len));
        pos += len;
    }
    std::lock_guard lock(mu_);
    for (const auto& [name, data] : parts) {
        for (auto& s : sections_) {
            if (s.name == name) {
                s.load(data);
            }
        }
    }
    return true;
}

void Register::Commit() {
    std::lock_guard lock(mu_);
    if (TakeFault(Fault::PowerBeforeCommit, 0)) {
        throw PowerLoss{};
    }
    SaveState(nullptr);
    if (TakeFault(Fault::PowerAfterCommit, 0)) {
        throw PowerLoss{};
    }
}

bool Register::SaveState(std::string* err) {
    std::lock_guard lock(mu_);
    if (opt_.stateFile.empty()) {
        return true;
    }
    std::string image = SerializeState();
    std::string tmp = opt_.stateFile + ".tmp";
    auto fail = [&](const std::string& why) {
        if (err != nullptr) {
            *err = why + ": " + std::strerror(errno);
        }
        return false;
    };
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail("cannot create " + tmp);
    }
    bool ok = WriteAll(fd, image) && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) {
        ::unlink(tmp.c_str());
        return fail("cannot write " + tmp);
    }
    if (::rename(tmp.c_str(), opt_.stateFile.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return fail("cannot rename " + tmp);
    }
    // Make the rename itself durable.
    std::string dir = opt_.stateFile;
    auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

bool Register::Load(std::string* err) {
    if (opt_.stateFile.empty()) {
        return true;
    }
    std::ifstream in(opt_.stateFile, std::ios::binary);
    if (!in) {
        return true; // a new register
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    return DeserializeState(ss.str(), err);
}

std::string Register::SerializeCore() const {
    std::string out;
    PutLE(out, 1, 1); // version of this section
    PutLE(out, shiftOpen_ ? 1 : 0, 1);
    PutLE(out, static_cast<uint64_t>(shiftOpenedAt_), 8);
    PutLE(out, static_cast<uint64_t>(clockOffset_), 8);
    PutLE(out, (paper_ ? 1 : 0) | (cover_ ? 2 : 0) | (drawer_ ? 4 : 0), 1);
    for (const auto* regs : {&cashRegs_, &operRegs_}) {
        PutLE(out, regs->size(), 4);
        for (const auto& [n, v] : *regs) {
            PutLE(out, n, 2);
            PutLE(out, static_cast<uint64_t>(v), 8);
        }
    }
    std::string t = tables_.Serialize();
    PutLE(out, t.size(), 4);
    out += t;
    return out;
}

void Register::DeserializeCore(std::string_view d) {
    if (d.size() < 19 || GetLE(d, 0, 1) != 1) {
        return;
    }
    shiftOpen_ = GetLE(d, 1, 1) != 0;
    shiftOpenedAt_ = static_cast<time_t>(GetLE(d, 2, 8));
    if (!SetClockOffset(static_cast<int64_t>(GetLE(d, 10, 8)))) {
        clockOffset_ = LocalZoneOffset(); // a clock no register can show: back to the zone's
    }
    auto fl = GetLE(d, 18, 1);
    paper_ = (fl & 1) != 0;
    cover_ = (fl & 2) != 0;
    drawer_ = (fl & 4) != 0;
    size_t pos = 19;
    for (auto* regs : {&cashRegs_, &operRegs_}) {
        regs->clear();
        if (pos + 4 > d.size()) {
            return;
        }
        uint64_t n = GetLE(d, pos, 4);
        pos += 4;
        for (uint64_t i = 0; i < n && pos + 10 <= d.size(); ++i) {
            (*regs)[static_cast<uint16_t>(GetLE(d, pos, 2))] =
                static_cast<int64_t>(GetLE(d, pos + 2, 8));
            pos += 10;
        }
    }
    if (pos + 4 <= d.size()) {
        size_t len = GetLE(d, pos, 4);
        if (pos + 4 + len <= d.size()) {
            tables_.Deserialize(d.substr(pos + 4, len));
        }
    }
}

void Register::ArmFault(const Fault& f) {
    std::lock_guard lock(mu_);
    if (f.count > 0) {
        faults_.push_back(f);
    }
}

void Register::ClearFaults() {
    std::lock_guard lock(mu_);
    faults_.clear();
}

bool Register::TakeFault(Fault::Kind kind, uint16_t code, Fault* out) {
    std::lock_guard lock(mu_);
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->kind != kind || (it->code != 0 && it->code != code)) {
            continue;
        }
        if (out != nullptr) {
            *out = *it;
        }
        if (--it->count <= 0) {
            faults_.erase(it);
        }
        return true;
    }
    return false;
}

void Register::AddLog(LogEntry e) {
    std::lock_guard lock(mu_);
    if (log_.size() >= 10000) {
        log_.erase(log_.begin(), log_.begin() + 1000);
    }
    log_.push_back(std::move(e));
}

std::vector<LogEntry> Register::Log() const {
    std::lock_guard lock(mu_);
    return log_;
}

} // namespace emu
