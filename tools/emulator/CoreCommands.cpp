// The register's non-fiscal commands: state queries, settings tables, money and operation
// registers, the clock and the printer.
#include "EmuCore.h"

#include "Tape.h"

#include <algorithm>

namespace emu {
namespace {

constexpr uint8_t kOperator = 30; // the operator the register reports (system administrator)

uint8_t Byte(std::string_view d, size_t i) {
    return static_cast<uint8_t>(d[i]);
}

CommandRule Exact(size_t n, bool password = true) {
    CommandRule s;
    s.minLen = n;
    s.maxLen = n;
    s.password = password;
    return s;
}

CommandRule Range(size_t min, size_t max) {
    CommandRule s;
    s.minLen = min;
    s.maxLen = max;
    return s;
}

// Printing is refused while the register shows a document being read out, or the printer
// stands still for want of paper.
uint8_t PrintCheck(const Register& reg) {
    if (reg.DataOutput()) {
        return rc::WrongMode;
    }
    return reg.CanPrint();
}

struct tm RegisterTm(const Register& reg) {
    time_t now = reg.Now();
    struct tm t {};
    gmtime_r(&now, &t);
    return t;
}

bool ValidDate(int day, int month, int year) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) {
        return false;
    }
    int max = kDays[month - 1];
    if (month == 2 && year % 4 == 0) {
        max = 29; // years 2000..2099
    }
    return day <= max;
}

// Moves the register clock so that it shows `t` now.
void SetClock(Register& reg, struct tm t) {
    time_t target = timegm(&t);
    reg.SetClockOffset(static_cast<int64_t>(target) - static_cast<int64_t>(time(nullptr)));
}

Answer ShortState(Register& reg, std::string_view) {
    reg.StatePolled();
    std::string d;
    d.push_back(static_cast<char>(kOperator));
    PutLE(d, reg.Flags(), 2);
    d.push_back(static_cast<char>(reg.Mode()));
    d.push_back(static_cast<char>(reg.Submode()));
    d.push_back(0);                       // operations in the receipt, low byte
    d.push_back(static_cast<char>(0x9B)); // battery voltage
    d.push_back(static_cast<char>(0xC8)); // supply voltage
    d.push_back(0);                       // FN error
    d.push_back(0);                       // reserved
    d.push_back(0);                       // operations in the receipt, high byte
    d.append(4, '\0');                    // reserved
    return Ok(d);
}

Answer FullState(Register& reg, std::string_view) {
    const Tables& tables = reg.Tables();
    struct tm t = RegisterTm(reg);
    std::string d;
    d.push_back(static_cast<char>(kOperator));
    d += "A1";                           // firmware version
    PutLE(d, 1014, 2);                   // firmware build
    d += std::string("\x0F\x03\x1A", 3); // firmware date 15.03.26
    d.push_back(1);                      // hall number
    PutLE(d, 0, 2);                      // current document number
    PutLE(d, reg.Flags(), 2);
    d.push_back(static_cast<char>(reg.Mode()));
    d.push_back(static_cast<char>(reg.Submode()));
    d.push_back(0);    // port
    d.append(7, '\0'); // FN firmware version, build and date
    d.push_back(static_cast<char>(t.tm_mday));
    d.push_back(static_cast<char>(t.tm_mon + 1));
    d.push_back(static_cast<char>(t.tm_year % 100));
    d.push_back(static_cast<char>(t.tm_hour));
    d.push_back(static_cast<char>(t.tm_min));
    d.push_back(static_cast<char>(t.tm_sec));
    d.push_back(0); // FN flags
    std::string serial = tables.GetStr(18, 1, 1);
    uint64_t serialNumber = 0;
    for (char c : serial) {
        if (c >= '0' && c <= '9') {
            serialNumber = (serialNumber * 10 + static_cast<uint64_t>(c - '0')) % 4294967296u;
        }
    }
    PutLE(d, serialNumber, 4);
    PutLE(d, 0, 2);    // last closed shift
    PutLE(d, 0, 2);    // free records
    d.push_back(0);    // re-registrations
    d.push_back(0);    // re-registrations left
    d.append(6, '\0'); // INN
    return Ok(d);
}

Answer DeviceType(Register&, std::string_view) {
    std::string d;
    d.push_back(0); // type: fiscal register
    d.push_back(0); // subtype
    d.push_back(1); // protocol version
    d.push_back(6); // protocol subversion
    d.push_back(0); // model index
    d.push_back(0); // language: Russian
    d += "KKT-EMULATOR";
    return Ok(d);
}

Answer ExtendedQuery(Register&, std::string_view data) {
    if (Byte(data, 0) != 1) {
        return Fail(rc::BadParams);
    }
    // Printer capabilities. Positions count from the result code as 0.
    std::string d(39, '\0');
    d[0] = 1;                             // 1: query type
    d[1] = static_cast<char>(576 & 0xFF); // 2-3: print width in dots
    d[2] = static_cast<char>(576 >> 8);
    d[3] = 48;                      // 4: characters per line of font 1
    d[4] = 72;                      // 5: bytes per graphics line
    d[5] = static_cast<char>(255);  // 6: graphics lines in memory
    d[9] = 1;                       // 10: graphics supported
    d[10] = 1;                      // 11: first graphics line number
    d[11] = static_cast<char>(255); // 12: last graphics line number
    return Ok(d);
}

bool ValidCashReg(uint16_t n) {
    return n < 0x2000;
}

Answer CashRegister(Register& reg, std::string_view data) {
    auto n = static_cast<uint16_t>(GetLE(data, 0, data.size()));
    if (!ValidCashReg(n)) {
        return Fail(rc::BadParams);
    }
    std::string d;
    d.push_back(static_cast<char>(kOperator));
    PutLE(d, static_cast<uint64_t>(reg.CashReg(n)), 6);
    return Ok(d);
}

Answer OperationRegister(Register& reg, std::string_view data) {
    auto n = static_cast<uint16_t>(GetLE(data, 0, data.size()));
    if (!ValidCashReg(n)) {
        return Fail(rc::BadParams);
    }
    std::string d;
    d.push_back(static_cast<char>(kOperator));
    PutLE(d, static_cast<uint64_t>(reg.OperReg(n)), 2);
    return Ok(d);
}

Answer WriteField(Register& reg, std::string_view data) {
    if (reg.DataOutput()) {
        return Fail(rc::WrongMode);
    }
    auto table = Byte(data, 0);
    auto row = static_cast<uint16_t>(GetLE(data, 1, 2));
    auto field = Byte(data, 3);
    uint8_t r = reg.Tables().Set(table, row, field, data.substr(4));
    if (r == rc::Ok) {
        reg.SaveState(nullptr);
    }
    return Fail(r);
}

Answer ReadField(Register& reg, std::string_view data) {
    auto table = Byte(data, 0);
    if (reg.Tables().Table(table) == nullptr) {
        return Fail(rc::NoTable);
    }
    std::string value;
    if (!reg.Tables().Get(table, static_cast<uint16_t>(GetLE(data, 1, 2)), Byte(data, 3), value)) {
        return Fail(rc::BadParams);
    }
    return Ok(value);
}

Answer FieldStructure(Register& reg, std::string_view data) {
    auto table = Byte(data, 0);
    if (reg.Tables().Table(table) == nullptr) {
        return Fail(rc::NoTable);
    }
    const FieldDef* f = reg.Tables().Field(table, Byte(data, 1));
    if (f == nullptr) {
        return Fail(rc::BadParams);
    }
    std::string d = f->name.substr(0, 40);
    d.resize(40, '\0');
    d.push_back(f->isString ? 1 : 0);
    d.push_back(static_cast<char>(f->size));
    if (!f->isString) {
        PutLE(d, static_cast<uint64_t>(f->min), f->size);
        PutLE(d, static_cast<uint64_t>(f->max), f->size);
    }
    return Ok(d);
}

Answer SetTime(Register& reg, std::string_view data) {
    int h = Byte(data, 0), m = Byte(data, 1), s = Byte(data, 2);
    if (h > 23 || m > 59 || s > 59) {
        return Fail(rc::BadParams);
    }
    struct tm t = RegisterTm(reg);
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    SetClock(reg, t);
    reg.SaveState(nullptr);
    return Ok();
}

Answer SetDate(Register& reg, std::string_view data) {
    if (reg.ShiftIsOpen()) {
        return Fail(rc::ShiftOpen);
    }
    if (!ValidDate(Byte(data, 0), Byte(data, 1), Byte(data, 2)) || Byte(data, 2) > 99) {
        return Fail(rc::BadDate);
    }
    reg.Work().pendingDate = std::string(data);
    return Ok();
}

Answer ConfirmDate(Register& reg, std::string_view data) {
    if (reg.ShiftIsOpen()) {
        return Fail(rc::ShiftOpen);
    }
    if (reg.Work().pendingDate != data) {
        return Fail(124); // the date differs from the one programmed
    }
    reg.Work().pendingDate.clear();
    struct tm t = RegisterTm(reg);
    t.tm_mday = Byte(data, 0);
    t.tm_mon = Byte(data, 1) - 1;
    t.tm_year = Byte(data, 2) + 100;
    SetClock(reg, t);
    reg.SaveState(nullptr);
    return Ok();
}

// Text lines: flags (bit 1: the receipt tape), then the text.
Answer TextLine(Register& reg, std::string_view data, int font, bool bold) {
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    if ((Byte(data, 0) & 0x02) != 0) {
        reg.Paper().Text(data.substr(1), font, bold, false);
    }
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer FontLine(Register& reg, std::string_view data) {
    int font = Byte(data, 1);
    if (font < 1 || font > 7) {
        return Fail(rc::BadParams);
    }
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    if ((Byte(data, 0) & 0x02) != 0) {
        reg.Paper().Text(data.substr(2), font, false, false);
    }
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer DocTitle(Register& reg, std::string_view data) {
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    reg.Paper().Title(data.substr(0, 30), static_cast<int>(GetLE(data, 30, 2)));
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer DocCopy(Register& reg, std::string_view) {
    if (reg.ReceiptType() >= 0) {
        return Fail(rc::ReceiptOpen);
    }
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    if (!reg.Paper().CopyLastDocument()) {
        return Fail(rc::NoDocument);
    }
    // A register that cuts after its documents cuts after their copies too.
    if (const int64_t autoCut = reg.Tables().GetInt(1, 1, 7)) {
        reg.Paper().Cut(autoCut == 2);
    }
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer CutPaper(Register& reg, std::string_view data) {
    if (Byte(data, 0) > 1) {
        return Fail(rc::BadParams);
    }
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    reg.Paper().Cut(Byte(data, 0) == 0);
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer Drawer(Register& reg, std::string_view data) {
    if (Byte(data, 0) > 1) {
        return Fail(rc::BadParams);
    }
    reg.SetDrawerOpen(true);
    reg.Paper().Drawer();
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer FeedPaper(Register& reg, std::string_view data) {
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    if ((Byte(data, 0) & 0x02) != 0 && Byte(data, 1) != 0) {
        reg.Paper().Feed(Byte(data, 1));
    }
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer Beep(Register& reg, std::string_view) {
    reg.Paper().Beep();
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer Continue(Register& reg, std::string_view) {
    if (uint8_t r = reg.ContinuePrinting()) {
        return Fail(r);
    }
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer LoadGraphics(Register& reg, std::string_view data) {
    if (reg.DataOutput()) {
        return Fail(rc::WrongMode);
    }
    reg.Work().graphics[Byte(data, 0)] = std::string(data.substr(1));
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer PrintGraphics(Register& reg, std::string_view data) {
    int first = Byte(data, 0), last = Byte(data, 1);
    if (first > last) {
        return Fail(rc::BadParams);
    }
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    const auto& lines = reg.Work().graphics;
    std::vector<std::string> rows;
    size_t width = 1;
    for (int n = first; n <= last; ++n) {
        auto it = lines.find(static_cast<uint8_t>(n));
        rows.push_back(it == lines.end() ? std::string() : it->second);
        width = std::max(width, rows.back().size());
    }
    reg.Paper().Graphic(static_cast<int>(width * 8), rows);
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer Ean13(Register& reg, std::string_view data) {
    uint64_t number = GetLE(data, 0, 5);
    if (number > 999999999999ull) {
        return Fail(rc::BadParams);
    }
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    reg.Paper().Ean13Number(number);
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer QrLoad(Register& reg, std::string_view data) {
    if (Byte(data, 0) != 0) {
        return Fail(rc::BadParams);
    }
    reg.Work().qrBlocks[Byte(data, 1)] = std::string(data.substr(2));
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

Answer QrPrint(Register& reg, std::string_view data) {
    if (Byte(data, 0) != 3) {
        return Fail(rc::BadParams); // only QR codes
    }
    size_t length = GetLE(data, 1, 2);
    auto& blocks = reg.Work().qrBlocks;
    std::string text;
    for (int n = Byte(data, 3); n < 256 && text.size() < length; ++n) {
        auto it = blocks.find(static_cast<uint8_t>(n));
        if (it == blocks.end()) {
            break;
        }
        text += it->second;
    }
    if (length == 0 || text.size() < length) {
        return Fail(rc::BadParams);
    }
    if (uint8_t r = PrintCheck(reg)) {
        return Fail(r);
    }
    text.resize(length);
    int moduleSize = Byte(data, 6) == 0 ? 4 : Byte(data, 6);
    reg.Paper().Qr(text, moduleSize, std::min<int>(Byte(data, 8), 3));
    blocks.clear();
    return Ok(std::string(1, static_cast<char>(kOperator)));
}

} // namespace

void RegisterCoreCommands(Dispatcher& d) {
    d.RegisterCommand(0x10, Exact(0), ShortState);
    d.RegisterCommand(0x11, Exact(0), FullState);
    d.RegisterCommand(0x12, Range(1, 200),
                      [](Register& r, std::string_view x) { return TextLine(r, x, 1, true); });
    d.RegisterCommand(0x13, Exact(0), Beep);
    d.RegisterCommand(0x17, Range(1, 200),
                      [](Register& r, std::string_view x) { return TextLine(r, x, 1, false); });
    d.RegisterCommand(0x18, Exact(32), DocTitle);
    d.RegisterCommand(0x1A, Range(1, 2), CashRegister);
    d.RegisterCommand(0x1B, Range(1, 2), OperationRegister);
    d.RegisterCommand(0x1E, Range(5, 250), WriteField);
    d.RegisterCommand(0x1F, Exact(4), ReadField);
    d.RegisterCommand(0x21, Exact(3), SetTime);
    d.RegisterCommand(0x22, Exact(3), SetDate);
    d.RegisterCommand(0x23, Exact(3), ConfirmDate);
    d.RegisterCommand(0x25, Exact(1), CutPaper);
    d.RegisterCommand(0x28, Exact(1), Drawer);
    d.RegisterCommand(0x29, Exact(2), FeedPaper);
    d.RegisterCommand(0x2E, Exact(2), FieldStructure);
    d.RegisterCommand(0x2F, Range(2, 200), FontLine);
    d.RegisterCommand(0x8C, Exact(0), DocCopy);
    d.RegisterCommand(0xB0, Exact(0), Continue);
    d.RegisterCommand(0xC0, Range(2, 73), LoadGraphics);
    d.RegisterCommand(0xC1, Exact(2), PrintGraphics);
    d.RegisterCommand(0xC2, Exact(5), Ean13);
    d.RegisterCommand(0xDD, Range(2, 66), QrLoad);
    d.RegisterCommand(0xDE, Exact(10), QrPrint);
    d.RegisterCommand(0xF7, Exact(1, false), ExtendedQuery);
    d.RegisterCommand(0xFC, Exact(0, false), DeviceType);
}

} // namespace emu
