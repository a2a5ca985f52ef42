// The emulated register: its state, its command dispatch and its state file.
//
// Threading: a Register is used by one link thread at a time. Every command handler runs
// with Register::Mutex() held, so the control interface (another thread) may read and change
// the state under the same lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Tape.h"

namespace emu {

class FiscalStorage; // the FN model (FiscalStorage.h)
class Register;

// Register result codes used by the emulator itself.
namespace rc {
constexpr uint8_t Ok = 0;
constexpr uint8_t BadFormat = 1;      // unknown command or wrong length
constexpr uint8_t FnState = 2;        // wrong FN state
constexpr uint8_t FnBadParams = 9;    // parameter values rejected by the FN
constexpr uint8_t ShiftOver24h = 22;  // reported by the FN
constexpr uint8_t BadParams = 51;     // invalid parameters
constexpr uint8_t NotSupported = 55;  // command not supported
constexpr uint8_t InternalError = 57; // a handler failed inside the emulator
constexpr uint8_t ShiftOpen = 60;     // shift is open, not possible
constexpr uint8_t ReceiptOpen = 74;   // a receipt is open
constexpr uint8_t Shift24hOver = 78;  // the shift lasted more than 24 hours
constexpr uint8_t BadPassword = 79;
constexpr uint8_t Printing = 80;      // still printing the previous command
constexpr uint8_t ReceiptClosed = 85; // no receipt is open
constexpr uint8_t NoDocument = 86;    // nothing to repeat
constexpr uint8_t WaitContinue = 88;  // waiting for the continue-printing command
constexpr uint8_t NoTable = 93;       // no such table
constexpr uint8_t NoPaper = 107;
constexpr uint8_t WrongSubmode = 114;
constexpr uint8_t WrongMode = 115;
constexpr uint8_t FieldReadOnly = 122;
constexpr uint8_t BadDate = 125;
} // namespace rc

// An answer before framing: the core prefixes the echo of the command code.
struct Answer {
    uint8_t result = rc::Ok;
    std::string data; // bytes after the result code
};
inline Answer Ok(std::string data = {}) {
    return Answer{rc::Ok, std::move(data)};
}
inline Answer Fail(uint8_t code) {
    return Answer{code, {}};
}

// Little-endian fields of the register's messages.
void PutLE(std::string& out, uint64_t value, size_t bytes);
uint64_t GetLE(std::string_view in, size_t offset, size_t bytes);

// The state file: "KORVEMU1", the body's length (4 bytes LE), the body (sections: name length
// byte, name, data length 4 bytes LE, data) and this CRC-32 of the body (4 bytes LE).
uint32_t StateChecksum(std::string_view body);

// The start options of an emulated register.
struct Options {
    uint32_t password = 30;      // connection password (the number, sent as 4 bytes LE)
    int ffd = 120;               // FN's format version: 105, 110 or 120
    bool registered = false;     // start with a registered FN holding a few documents
    std::string stateFile;       // empty: state kept in memory only
    int printMsPerLine = 0;      // printing time per printed line (0: instant)
    int baud = 0;                // 0: no byte-time model; else bytes take 10 bits at this rate
    bool tcpAckPrefixFF = false; // on TCP, send 0xFF before the ACK of a frame (adapter style)
};

// Field structure of a settings table field (as answered by 0x2E).
struct FieldDef {
    std::string name; // caption, cp1251
    bool isString = false;
    uint8_t size = 1; // bytes
    int64_t min = 0;  // numeric fields only
    int64_t max = 255;
};

struct TableDef {
    std::string name; // cp1251
    uint16_t rows = 1;
    std::vector<FieldDef> fields; // field n is fields[n - 1]
};

// The settings tables: structure and values. Values are raw field bytes of the field's size.
class Tables {
public:
    Tables(); // the register's tables with their default values

    const TableDef* Table(uint8_t table) const;
    const FieldDef* Field(uint8_t table, uint8_t field) const;
    // Raw bytes of a field; false when the address does not exist.
    bool Get(uint8_t table, uint16_t row, uint8_t field, std::string& out) const;
    // Writes a field as 0x1E does; returns the result code.
    uint8_t Set(uint8_t table, uint16_t row, uint8_t field, std::string_view bytes);
    // Convenience accessors (no checks of ranges; unknown addresses give 0 / "").
    int64_t GetInt(uint8_t table, uint16_t row, uint8_t field) const;
    std::string GetStr(uint8_t table, uint16_t row, uint8_t field) const; // without 0x00 padding
    void SetInt(uint8_t table, uint16_t row, uint8_t field, int64_t value);
    void SetStr(uint8_t table, uint16_t row, uint8_t field, std::string_view value);

    std::string Serialize() const;
    void Deserialize(std::string_view data);

private:
    std::map<uint8_t, TableDef> defs_;
    std::map<uint32_t, std::string> values_; // key: table << 24 | row << 8 | field
};

// Printer submodes as the short state reports them.
namespace submode {
constexpr uint8_t Idle = 0;
constexpr uint8_t PaperOutIdle = 1;   // no paper, nothing to print
constexpr uint8_t PaperOutActive = 2; // paper ran out while printing: printing stopped
constexpr uint8_t PaperBack = 3;      // paper back after 2: waits for 0xB0
constexpr uint8_t PrintingReport = 4;
constexpr uint8_t Printing = 5;
} // namespace submode

// Thrown by Register::Commit when a power-loss fault fires: the link stops without answering.
struct PowerLoss {};

// Per-command entry of the dispatch table.
using Handler = std::function<Answer(Register&, std::string_view data)>;
struct CommandRule {
    size_t minLen = 0;    // data bytes after the password
    size_t maxLen = 255;  // longer data gets result 1
    bool password = true; // the command carries the 4-byte connection password
};

class Dispatcher {
public:
    // Codes: 0x00..0xFE one byte; 0xFF00 | nn for the two-byte codes 0xFF nn.
    void RegisterCommand(uint16_t code, size_t minLen, Handler handler);
    void RegisterCommand(uint16_t code, CommandRule rule, Handler handler);
    bool Has(uint16_t code) const { return table_.count(code) != 0; }
    // Runs one command message (code bytes + password + data) and returns the answer message
    // (code echo + result + data). Thrown PowerLoss passes through.
    std::string Execute(Register& reg, std::string_view message) const;
    // Splits the code off a message; 0 bytes used when the message is empty or cut short.
    static size_t CodeLength(std::string_view message);
    static uint16_t CodeOf(std::string_view message);
    static std::string CodeBytes(uint16_t code);

private:
    struct Entry {
        CommandRule rule;
        Handler handler;
    };
    std::map<uint16_t, Entry> table_;
};

// Installs the non-fiscal commands (state, tables, registers, clock, printing).
void RegisterCoreCommands(Dispatcher& d);
// Provided by the fiscal part: creates the register's FN (Register::SetFiscalStorage), adds
// its state section and installs every fiscal command.
void RegisterFiscalCommands(Register& reg, Dispatcher& d, const Options& opt);

// One command as seen by the register, for the command log.
struct LogEntry {
    uint16_t code = 0;
    uint8_t result = 0;
    std::string request; // message as received (code, password, data)
    std::string answer;  // message as sent (code, result, data); empty when none was sent
};

// One line of the control protocol split at blanks; words[0] is the command word.
struct ControlLine {
    std::vector<std::string> words;
    size_t Size() const { return words.size(); }
    // Word i in upper case; "" past the end.
    std::string Upper(size_t i) const;
    // Word i as a number (decimal, or hexadecimal after "0x"); `dflt` when the line ends
    // before it. False when the word is no number.
    bool Number(size_t i, long long dflt, long long* out) const;
};

// Parses a command code: "0x8D", "8D", "FF46", "0xFF46" or decimal with a "d" suffix ("141d").
// A word that reads as a command code in hexadecimal is one: "8D" is 0x8D, never decimal 8.
bool ParseCommandCode(std::string_view text, uint16_t* code);

// Bytes as upper-case hexadecimal text, and back (false for anything else but pairs of
// hexadecimal digits).
std::string HexText(std::string_view bytes);
bool HexToBytes(std::string_view hex, std::string* out);

// The register clock as text, "YYYY-MM-DDTHH:MM:SS".
std::string ClockText(time_t t);

// Adds the core's control words: LOG, CASHREG, OPERREG, SETCASHREG, SETOPERREG, FAULT, PAPER,
// COVER, DRAWER, PRINTER, CLOCK, TAPE, SAVE.
void RegisterCoreControls(Register& reg);

// A fault armed through the control interface. Kinds and their parameters:
struct Fault {
    enum Kind {
        ResultCode,        // answer `value` as result code to the next `count` commands `code`
        Silence,           // no answer at all to the next `count` frames
        Delay,             // delay the answer by `value` ms (next `count` frames)
        DropByte,          // drop one byte (index `value` of the answer frame)
        CorruptLrc,        // send the next answer with a wrong LRC
        CloseBefore,       // TCP: close the connection instead of answering
        CloseAfter,        // TCP: close the connection right after the answer
        PaperOut,          // the paper runs out during the next printing
        PowerBeforeCommit, // power loss just before the next document commit
        PowerAfterCommit,  // power loss just after the next document commit
    };
    Kind kind = ResultCode;
    uint16_t code = 0; // 0: any command (ResultCode requires a code)
    int count = 1;
    int value = 0;
};

class Register {
public:
    explicit Register(Options opt = {});
    ~Register();
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    const Options& Opts() const { return opt_; }
    std::recursive_mutex& Mutex() const { return mu_; }

    // --- Operating mode ------------------------------------------------------------------
    // Mode byte of the short/full state: low nibble the mode, high nibble its status.
    // 1 data output, 2 shift open, 3 shift open over 24 h, 4 shift closed, 8 receipt open
    // (high nibble: 0 sale, 1 purchase, 2 sale return, 3 purchase return).
    uint8_t Mode() const;
    uint8_t Submode() const;
    bool ShiftIsOpen() const { return shiftOpen_; }
    // True while the open shift is older than 24 hours (register time).
    bool ShiftExpired() const;
    time_t ShiftOpenedAt() const { return shiftOpenedAt_; }
    void OpenShift(time_t at);
    void CloseShift();
    // -1: no receipt open; else the receipt type of 0x8D (0..3, 128..131).
    int ReceiptType() const { return receiptType_; }
    void SetReceiptType(int type) { receiptType_ = type; }
    bool DataOutput() const { return dataOutput_; }
    void SetDataOutput(bool on) { dataOutput_ = on; }

    // --- Flags ---------------------------------------------------------------------------
    // Bits of the 2-byte flags word: 1 receipt roll present, 7 paper at the receipt tape's
    // optical sensor, 10 cover open, 11 drawer open. Other bits stay 0.
    uint16_t Flags() const;
    bool PaperPresent() const { return paper_; }
    void SetPaper(bool present); // paper out / paper back
    bool CoverOpen() const { return cover_; }
    void SetCoverOpen(bool open) { cover_ = open; }
    bool DrawerOpen() const { return drawer_; }
    void SetDrawerOpen(bool open) { drawer_ = open; }

    // --- Clock ---------------------------------------------------------------------------
    // Register time in seconds since 1970 read as the register's local time (no zone).
    time_t Now() const;
    int64_t ClockOffset() const { return clockOffset_; }
    // The register's clock shows 2000-01-01 to 2099-12-31 (a two-digit year). An offset that
    // would take it outside that range (or overflow) is refused: false, nothing changes.
    bool SetClockOffset(int64_t seconds);
    bool MoveClock(int64_t seconds); // adds to the offset, with the same check

    // --- Settings tables ---------------------------------------------------------------
    class Tables& Tables() {
        return tables_;
    }
    const class Tables& Tables() const { return tables_; }

    // --- Money and operation registers (kopecks / counts) --------------------------------
    void AddCashReg(uint16_t n, int64_t delta);
    int64_t CashReg(uint16_t n) const;
    void SetCashReg(uint16_t n, int64_t value);
    void AddOperReg(uint16_t n, int64_t delta);
    int64_t OperReg(uint16_t n) const;
    void SetOperReg(uint16_t n, int64_t value);

    // --- Parts owned elsewhere -----------------------------------------------------------
    FiscalStorage* Fn() const { return fn_.get(); }
    void SetFiscalStorage(std::shared_ptr<FiscalStorage> fn) { fn_ = std::move(fn); }
    class Tape& Paper() {
        return *tape_;
    }

    // --- Printing ------------------------------------------------------------------------
    // Accounts for `lines` printed lines: the printer is busy for lines * printMsPerLine and a
    // PaperOut fault stops it. Called by the core after each command for what reached the tape;
    // handlers need not call it.
    void Printed(int lines);
    // The same for the tape elements from the absolute position `from` on (what one command
    // printed); a paper-out armed by ArmPaperOut stops the printer among them.
    void PrintedFrom(uint64_t from);
    // Keeps the printer busy (printing) for `ms` more milliseconds.
    void HoldPrinter(int ms);
    // The paper runs out after `afterLines` more printed lines; the rest of that document is
    // printed after the continue command. With `backAfterPolls` > 0 the paper comes back by
    // itself once the short state was asked that many times while it was out.
    void ArmPaperOut(int afterLines, int backAfterPolls);
    // Called by the short-state command.
    void StatePolled();
    // Printing is allowed now (not stopped for paper); else the result code to answer.
    uint8_t CanPrint() const;
    // 0xB0: resume after paper back.
    uint8_t ContinuePrinting();

    // Working memory of the printing and clock commands (not kept in the state file).
    struct Scratch {
        std::map<uint8_t, std::string> graphics; // graphics lines loaded by 0xC0
        std::map<uint8_t, std::string> qrBlocks; // QR code data blocks loaded by 0xDD
        std::string pendingDate;                 // day, month, year of 0x22 awaiting 0x23
    };
    Scratch& Work() { return work_; }

    // --- Persistence ---------------------------------------------------------------------
    // A part of the state file, saved and loaded by name.
    void AddStateSection(std::string name, std::function<std::string()> save,
                         std::function<void(std::string_view)> load);
    // Call after each fiscal document is wholly built: writes the state file atomically.
    // Throws PowerLoss when a power-loss fault is armed (before or after the write).
    void Commit();
    // Reads the state file (if any) into all sections; false with `err` on a damaged file.
    bool Load(std::string* err);
    // Writes the state file now (no fault hooks); true when there is none to write.
    bool SaveState(std::string* err);
    // The whole state file image, and loading one (nothing changes when it is damaged).
    std::string SerializeState() const;
    bool DeserializeState(std::string_view image, std::string* err);
    // The core's own section: shift, clock offset, flags, registers, tables. An open receipt
    // is not kept: after a power loss it is gone, as on a real register.
    std::string SerializeCore() const;
    void DeserializeCore(std::string_view data);

    // --- Faults and the command log (used by the link and the control interface) ---------
    void ArmFault(const Fault& f);
    void ClearFaults();
    // Takes the first armed fault of a kind that applies to `code` (0 = a frame of any code),
    // counting it down. False when none applies.
    bool TakeFault(Fault::Kind kind, uint16_t code, Fault* out = nullptr);
    void AddLog(LogEntry e);
    std::vector<LogEntry> Log() const;
    // Handlers that failed with an exception (answered with result 57); 0 in a sound emulator.
    void CountInternalError() { ++internalErrors_; }
    int InternalErrors() const { return internalErrors_; }

    // --- The control line protocol ---------------------------------------------------------
    // Each part adds its own words. `usage` gives the word's forms, separated by " | " (HELP
    // prints it). The handler answers "OK ..." or "ERR ..." lines; it returns "" when the line
    // does not fit the usage, which is then answered as "ERR usage: <usage>". Handlers run with
    // the register's lock held.
    using ControlHandler = std::function<std::string(const ControlLine&)>;
    void AddControlCommand(std::string word, std::string usage, ControlHandler handler);
    // Runs one line; the answer's lines each end in "\n".
    std::string RunControl(std::string_view line);
    // Every word's usage, one word a line, in alphabetical order.
    std::string ControlHelp() const;

private:
    Options opt_;
    mutable std::recursive_mutex mu_;
    bool shiftOpen_ = false;
    time_t shiftOpenedAt_ = 0;
    int receiptType_ = -1;
    bool dataOutput_ = false;
    bool paper_ = true;
    bool cover_ = false;
    bool drawer_ = false;
    int64_t clockOffset_ = 0;
    class Tables tables_;
    std::map<uint16_t, int64_t> cashRegs_;
    std::map<uint16_t, int64_t> operRegs_;
    std::shared_ptr<FiscalStorage> fn_;
    std::unique_ptr<class Tape> tape_;
    // printer
    std::chrono::steady_clock::time_point busyUntil_{};
    bool stopped_ = false; // paper ran out while printing
    bool paperBackWaiting_ = false;
    int64_t pendingMs_ = 0;         // printing left when the paper ran out
    int paperOutAfterLines_ = -1;   // armed paper-out: lines left on the roll
    int paperBackAfterPolls_ = 0;   // paper back by itself after this many state polls
    std::vector<TapeElement> held_; // what waits for new paper
    struct Section {
        std::string name;
        std::function<std::string()> save;
        std::function<void(std::string_view)> load;
    };
    std::vector<Section> sections_;
    Scratch work_;
    std::vector<Fault> faults_;
    std::vector<LogEntry> log_;
    int internalErrors_ = 0;
    struct ControlWord {
        std::string usage;
        ControlHandler handler;
    };
    std::map<std::string, ControlWord> control_;
};

} // namespace emu
