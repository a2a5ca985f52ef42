// The register's fiscal commands: shifts and reports, receipts, corrections, cash in and
// out, FN registration and closing, FN queries, the read-out of archived documents and the
// marking-code commands. Each document is built wholly in register memory, then stored in the
// FN and committed to the state file in one step.
#include "FiscalCommands.h"

#include "EmuCore.h"
#include "FiscalStorage.h"
#include "Tape.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

namespace emu {

namespace {

// Result codes of the fiscal part (those not in rc::).
constexpr uint8_t kFnFailure = 3;     // the FN does not work (its image is damaged)
constexpr uint8_t kTryAgain = 4;      // the FN's check of a code: ask again
constexpr uint8_t kNoData = 8;        // nothing of that in the archive
constexpr uint8_t kForbiddenTag = 11; // a requisite the FN does not take here
constexpr uint8_t kItemLimit = 14;    // too many items in a receipt
constexpr uint8_t kTlvTooLong = 16;   // document data over the FN's limit
constexpr uint8_t kNotAsRegistered = 25;
constexpr uint8_t kPaymentShort = 69;
constexpr uint8_t kCashlessOver = 77;
constexpr uint8_t kNoCash = 70;
constexpr uint8_t kReceiptType = 73; // operation not possible in a receipt of this type
constexpr uint8_t kTotalOverflow = 72;
constexpr uint8_t kBadOperation = 94;
constexpr uint8_t kMulOverflow = 96;
constexpr uint8_t kQuantityRange = 98;
constexpr uint8_t kDepartmentRange = 99;
constexpr uint8_t kMarkingOff = 160;
constexpr uint8_t kKmSequence = 161;
constexpr uint8_t kKmTableFull = 163;
constexpr uint8_t kKmUnchecked = 165;

constexpr uint8_t kOperator = 30; // the administrator: the operator of the default password
constexpr size_t kMaxItems = 250;
constexpr size_t kMaxDocTags = 4096; // bytes of requisites one document takes
constexpr size_t kMaxItemTags = 1024;
constexpr uint64_t kMoneyMax = 0xFFFFFFFFFFULL; // five bytes
constexpr int64_t kShiftTime = 24 * 3600;

// Requisites the FN forms itself: sent from outside they are refused.
bool FnOwnTag(uint16_t tag) {
    static const uint16_t own[] = {1012, 1018, 1020, 1031, 1037, 1038, 1040, 1041,
                                   1042, 1054, 1059, 1077, 1081, 1102, 1103, 1104,
                                   1105, 1106, 1107, 1209, 1215, 1216, 1217};
    return std::find(std::begin(own), std::end(own), tag) != std::end(own);
}

// UTF-8 source text to the register's cp1251 (Cyrillic, Ё/ё and № only).
std::string W(std::string_view utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const uint8_t c = uint8_t(utf8[i]);
        if (c < 0x80 || i + 1 >= utf8.size()) {
            out.push_back(char(c));
            continue;
        }
        if ((c & 0xE0) == 0xC0) {
            const uint32_t cp = ((c & 0x1Fu) << 6) | (uint8_t(utf8[i + 1]) & 0x3Fu);
            ++i;
            if (cp >= 0x410 && cp <= 0x44F)
                out.push_back(char(cp - 0x410 + 0xC0));
            else if (cp == 0x401)
                out.push_back(char(0xA8));
            else if (cp == 0x451)
                out.push_back(char(0xB8));
            else
                out.push_back('?');
        } else if ((c & 0xF0) == 0xE0 && i + 2 < utf8.size()) {
            const uint32_t cp = ((c & 0x0Fu) << 12) | ((uint8_t(utf8[i + 1]) & 0x3Fu) << 6) |
                                (uint8_t(utf8[i + 2]) & 0x3Fu);
            i += 2;
            out.push_back(cp == 0x2116 ? char(0xB9) : '?');
        } else {
            out.push_back('?');
        }
    }
    return out;
}

std::string Money(uint64_t kopecks) {
    std::string s = std::to_string(kopecks / 100) + ".";
    const uint64_t k = kopecks % 100;
    s += char('0' + k / 10);
    s += char('0' + k % 10);
    return s;
}

std::string Quantity(uint64_t millionths) {
    std::string s = std::to_string(millionths / 1000000);
    uint64_t frac = millionths % 1000000;
    if (frac) {
        std::string f = std::to_string(frac);
        f = std::string(6 - f.size(), '0') + f;
        while (!f.empty() && f.back() == '0')
            f.pop_back();
        s += "." + f;
    }
    return s;
}

std::string DateText(int64_t t) {
    const time_t tt = time_t(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year % 100, tm.tm_hour, tm.tm_min);
    return buf;
}

// Date and time as the FN answers them: year since 2000, month, day, hour, minute.
void PutFnDate(std::string& out, int64_t t) {
    if (t <= 0) {
        out.append(5, '\0');
        return;
    }
    const time_t tt = time_t(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    out.push_back(char(tm.tm_year - 100));
    out.push_back(char(tm.tm_mon + 1));
    out.push_back(char(tm.tm_mday));
    out.push_back(char(tm.tm_hour));
    out.push_back(char(tm.tm_min));
}

std::string Padded(std::string s, size_t n) {
    s.resize(n, ' ');
    return s;
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    size_t b = 0;
    while (b < s.size() && s[b] == ' ')
        ++b;
    return s.substr(b);
}

// Lines of a printed fiscal document.
class Slip {
public:
    explicit Slip(Register& reg) : reg_(reg), width_(reg.Paper().Options().CharsPerLine) {}
    void Title(const std::string& cp1251, int number = 0) {
        lines_.push_back({2, cp1251, "", number});
    }
    void Line(const std::string& left, const std::string& right = {}, bool bold = false) {
        lines_.push_back({bold ? 1 : 0, left, right, 0});
    }
    void Qr(const std::string& data) { qr_ = data; }
    void Print() {
        Tape& t = reg_.Paper();
        t.BeginDocument();
        const std::string company = reg_.Tables().GetStr(18, 1, 7);
        const std::string address = reg_.Tables().GetStr(18, 1, 9);
        if (!company.empty())
            t.Text(company.substr(0, size_t(width_)));
        if (!address.empty())
            t.Text(address.substr(0, size_t(width_)));
        for (const Row& r : lines_) {
            if (r.kind == 2) {
                t.Title(r.left, r.number);
                continue;
            }
            std::string line = r.left;
            if (!r.right.empty()) {
                const size_t w = size_t(width_);
                if (line.size() + r.right.size() + 1 > w)
                    line.resize(w > r.right.size() + 1 ? w - r.right.size() - 1 : 0);
                line += std::string(w - line.size() - r.right.size(), ' ') + r.right;
            }
            t.Text(line, 1, r.kind == 1);
        }
        if (!qr_.empty())
            t.Qr(qr_, 4, 1);
        t.EndDocument();
    }

private:
    struct Row {
        int kind; // 0 text, 1 bold text, 2 title
        std::string left, right;
        int number;
    };
    Register& reg_;
    int width_;
    std::vector<Row> lines_;
    std::string qr_;
};

// Shared state of the command set.
struct Ctx {
    bool commit = true; // false while the start-up demo documents are made
};

FiscalStorage& Fn(Register& reg) {
    return *reg.Fn();
}

bool PrintOn(const Register& reg) {
    return reg.Tables().GetInt(17, 1, 7) != 2; // print mode 2: electronic documents only
}

// May a document be printed now (when printing is on)?
uint8_t PrintReady(const Register& reg) {
    return PrintOn(reg) ? reg.CanPrint() : rc::Ok;
}

// Register memory keeps requisites for the document being formed.
std::string TakeDraftTags(FiscalStorage& fn, std::vector<uint16_t> skip = {}) {
    TlvWriter w;
    for (const TlvItem& t : fn.Draft().tags)
        if (std::find(skip.begin(), skip.end(), t.tag) == skip.end())
            w.Item(t);
    return w.Data();
}

const TlvItem* DraftTag(const FiscalStorage& fn, uint16_t tag) {
    for (const TlvItem& t : fn.Draft().tags)
        if (t.tag == tag)
            return &t;
    return nullptr;
}

std::string Cashier(const FiscalStorage& fn) {
    const TlvItem* t = DraftTag(fn, 1021);
    return t ? Cp866ToCp1251(t->value) : std::string();
}

void FooterLines(Slip& s, const FiscalStorage& fn, const FnDocument& d) {
    s.Line(W("РН ККТ"), Trim(fn.Registration().rnm));
    s.Line(W("ФН"), fn.Serial());
    s.Line(W("ФД"), std::to_string(d.number));
    s.Line(W("ФП"), std::to_string(d.fiscalSign));
    s.Line(DateText(d.time));
}

// The shift's accumulating registers start again with each new shift.
void ResetShiftRegisters(Register& reg) {
    for (uint16_t n = 193; n <= 200; ++n)
        reg.SetCashReg(n, 0);
    for (uint16_t n = 4180; n <= 4191; ++n)
        reg.SetCashReg(n, 0);
    for (uint16_t n : {242, 243, 4224, 4225})
        reg.SetCashReg(n, 0);
    for (uint16_t n : {144, 145, 146, 147, 153, 154, 202, 203})
        reg.SetOperReg(n, 0);
}

// The common gate of commands that form a document or change the receipt.
uint8_t NotReading(const Register& reg) {
    return Fn(const_cast<Register&>(reg)).Reading() || reg.DataOutput() ? rc::WrongMode : rc::Ok;
}

Answer OperatorAnswer() {
    return Ok(std::string(1, char(kOperator)));
}

std::string SignAnswer(const FnDocument& d) {
    std::string out;
    PutLE(out, d.number, 4);
    PutLE(out, d.fiscalSign, 4);
    return out;
}

class Commands {
public:
    explicit Commands(std::shared_ptr<Ctx> ctx) : ctx_(std::move(ctx)) {}

    void Commit(Register& reg) const {
        if (ctx_->commit)
            reg.Commit();
    }

    // ---- shifts and reports ------------------------------------------------------------

    Answer BeginShiftOpen(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (!fn.Fiscalized() || fn.ShiftOpen())
            return Fail(rc::FnState);
        fn.Draft().Reset();
        fn.Draft().docType = doc::ShiftOpen;
        return Ok();
    }

    Answer OpenShift(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (reg.ShiftIsOpen() || fn.ShiftOpen())
            return Fail(rc::ShiftOpen);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        const int64_t now = reg.Now();
        fn.SetShiftOpen(now);
        TlvWriter body;
        body.U32(1038, fn.ShiftNumber());
        body.Raw(TakeDraftTags(fn));
        const std::string cashier = Cashier(fn);
        const FnDocument& d = fn.AddDocument(doc::ShiftOpen, now, body.Data());
        fn.Draft().Reset();
        reg.OpenShift(time_t(now));
        ResetShiftRegisters(reg);
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(W("ОТЧЕТ ОБ ОТКРЫТИИ СМЕНЫ"));
            s.Line(W("СМЕНА"), std::to_string(fn.ShiftNumber()));
            if (!cashier.empty())
                s.Line(W("КАССИР"), cashier);
            FooterLines(s, fn, d);
            s.Print();
        }
        Commit(reg);
        return OperatorAnswer();
    }

    void ReportTotals(Register& reg, Slip& s) const {
        static const char* kinds[] = {"ПРИХОД", "РАСХОД", "ВОЗВРАТ ПРИХОДА", "ВОЗВРАТ РАСХОДА"};
        static const uint16_t counts[] = {144, 145, 146, 147};
        for (int i = 0; i < 4; ++i) {
            int64_t sum = 0;
            for (uint16_t base : {193, 197, 4180, 4184, 4188})
                sum += reg.CashReg(uint16_t(base + i));
            s.Line(W(kinds[i]) + " (" + std::to_string(reg.OperReg(counts[i])) + ")",
                   Money(uint64_t(std::max<int64_t>(sum, 0))));
        }
        s.Line(W("ВНЕСЕНИЙ (") + std::to_string(reg.OperReg(153)) + ")",
               Money(uint64_t(std::max<int64_t>(reg.CashReg(242), 0))));
        s.Line(W("ВЫПЛАТ (") + std::to_string(reg.OperReg(154)) + ")",
               Money(uint64_t(std::max<int64_t>(reg.CashReg(243), 0))));
        s.Line(W("НАЛИЧНЫХ В КАССЕ"), Money(uint64_t(std::max<int64_t>(reg.CashReg(241), 0))),
               true);
    }

    Answer XReport(Register& reg, std::string_view) const {
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(W("ОТЧЕТ БЕЗ ГАШЕНИЯ"));
            s.Line(W("СМЕНА"), std::to_string(Fn(reg).ShiftNumber()));
            ReportTotals(reg, s);
            s.Line(DateText(reg.Now()));
            s.Print();
        }
        return OperatorAnswer();
    }

    Answer BeginShiftClose(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized() || !fn.ShiftOpen())
            return Fail(rc::FnState);
        fn.Draft().Reset();
        fn.Draft().docType = doc::ShiftClose;
        return Ok();
    }

    Answer CloseShift(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (!reg.ShiftIsOpen() || !fn.ShiftOpen())
            return Fail(rc::WrongMode);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        const int64_t now = reg.Now();
        TlvWriter body;
        body.U32(1038, fn.ShiftNumber());
        body.U32(1118, fn.ReceiptNumber());
        body.U32(1111, fn.DocsInShift() + 1);
        // Unsent documents, this report included.
        const uint32_t unsent = fn.UnsentCount() + 1;
        body.U32(1097, unsent);
        const FnDocument* first = fn.FirstUnsent();
        body.Time(1098, first ? first->time : now);
        if (fn.FfdCode() >= 3) {
            body.Byte(1050, 0); // FN resource running out
            body.Byte(1051, 0); // FN to be replaced urgently
            body.Byte(1052, 0); // FN memory full
            body.Byte(1053, 0); // OFD answer overdue
        }
        body.Raw(TakeDraftTags(fn));
        const std::string cashier = Cashier(fn);
        const FnDocument& d = fn.AddDocument(doc::ShiftClose, now, body.Data());
        fn.SetShiftClosed();
        fn.Draft().Reset();
        reg.CloseShift();
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(W("ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ"));
            s.Line(W("СМЕНА"), std::to_string(fn.ShiftNumber()));
            if (!cashier.empty())
                s.Line(W("КАССИР"), cashier);
            ReportTotals(reg, s);
            s.Line(W("ЧЕКОВ ЗА СМЕНУ"), std::to_string(fn.ReceiptNumber()));
            s.Line(W("НЕПЕРЕДАННЫХ ФД"), std::to_string(fn.UnsentCount()));
            FooterLines(s, fn, d);
            s.Print();
        }
        Commit(reg);
        return OperatorAnswer();
    }

    Answer BeginSettlementReport(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        fn.Draft().Reset();
        fn.Draft().docType = doc::SettlementReport;
        return Ok();
    }

    Answer SettlementReport(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        const int64_t now = reg.Now();
        const uint32_t unsent = fn.UnsentCount();
        // Copied: the archive grows below.
        const FnDocument* oldest = fn.FirstUnsent();
        const uint32_t firstNumber = oldest ? oldest->number : 0;
        const int64_t firstTime = oldest ? oldest->time : 0;
        TlvWriter body;
        if (fn.ShiftOpen())
            body.U32(1038, fn.ShiftNumber());
        body.U32(1097, unsent);
        if (firstNumber) {
            body.U32(1116, firstNumber);
            body.Time(1098, firstTime);
        }
        body.Raw(TakeDraftTags(fn));
        const FnDocument& d = fn.AddDocument(doc::SettlementReport, now, body.Data());
        fn.Draft().Reset();
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(W("ОТЧЕТ О ТЕКУЩЕМ СОСТОЯНИИ РАСЧЕТОВ"));
            s.Line(W("НЕПЕРЕДАННЫХ ФД"), std::to_string(unsent));
            if (firstNumber) {
                s.Line(W("ПЕРВЫЙ НЕПЕРЕДАННЫЙ ФД"), std::to_string(firstNumber));
                s.Line(W("ФД НЕ ПЕРЕДАНЫ С"), DateText(firstTime));
            }
            FooterLines(s, fn, d);
            s.Print();
        }
        Commit(reg);
        return Ok(SignAnswer(d));
    }

    // ---- FN life cycle -----------------------------------------------------------------

    Answer BeginRegistration(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        const uint8_t type = uint8_t(data[0]);
        if (type > 1)
            return Fail(rc::FnBadParams);
        // Type 0 begins the registration; 1 a re-registration (done by 0xFF34).
        if ((type == 0 && fn.GetPhase() != FiscalStorage::Ready) || (type == 1 && !fn.Fiscalized()))
            return Fail(rc::FnState);
        fn.Draft().Reset();
        fn.Draft().docType = type == 0 ? doc::Registration : doc::Reregistration;
        return Ok();
    }

    static bool DigitsAndBlanks(std::string_view s, size_t minDigits) {
        size_t digits = 0;
        bool blanks = false;
        for (char c : s) {
            if (c >= '0' && c <= '9') {
                if (blanks)
                    return false;
                ++digits;
            } else if (c == ' ' || c == '\0') {
                blanks = true;
            } else {
                return false;
            }
        }
        return digits >= minDigits;
    }

    // Registration data of 0xFF06 / 0xFF34 and the register's tables: the document body.
    uint8_t Registration(Register& reg, std::string_view data, bool rereg, uint8_t reason,
                         uint32_t& docNumber) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return r;
        if (reg.ReceiptType() >= 0)
            return rc::ReceiptOpen;
        if (rereg ? !fn.Fiscalized() : fn.GetPhase() != FiscalStorage::Ready)
            return rc::FnState;
        if (!rereg && fn.Draft().docType != doc::Registration)
            return rc::FnState; // 0xFF05 first
        if (reg.ShiftIsOpen() || fn.ShiftOpen())
            return rc::ShiftOpen;
        FnRegistration r;
        r.inn = std::string(data.substr(0, 12));
        r.rnm = std::string(data.substr(12, 20));
        r.taxMask = uint8_t(data[32]);
        r.workMode = uint8_t(data[33]);
        if (!DigitsAndBlanks(r.inn, 10) || !DigitsAndBlanks(r.rnm, 1))
            return rc::FnBadParams;
        if (r.taxMask == 0 || (r.taxMask & 0xC0) != 0)
            return rc::FnBadParams;
        if (rereg && (reason == 0 || reason > 32))
            return rc::FnBadParams;
        Tables& t = reg.Tables();
        int64_t code = t.GetInt(17, 1, 17);
        if (code < 2 || code > 4)
            code = FiscalStorage::FfdCodeOf(fn.Ffd());
        if (code > FiscalStorage::FfdCodeOf(fn.Ffd()))
            return rc::FnBadParams; // the FN does not know that format
        r.ffdCode = uint8_t(code);
        r.extMode = code >= 4 ? uint8_t(t.GetInt(18, 1, 21)) : 0;
        r.reasons = rereg ? (r.ffdCode >= 4 ? 1u << (reason - 1) : reason) : 0;
        r.ofdInn = Padded(t.GetStr(18, 1, 12), 12);
        if (uint8_t p = PrintReady(reg))
            return p;

        const int64_t now = reg.Now();
        TlvWriter b;
        auto text = [&](uint16_t tag, uint8_t field) {
            const std::string v = Trim(t.GetStr(18, 1, field));
            if (!v.empty())
                b.Str(tag, Cp1251ToCp866(v));
        };
        b.Str(1018, r.inn);
        b.Str(1037, r.rnm);
        text(1048, 7);
        text(1009, 9);
        text(1187, 14);
        text(1013, 1);
        b.Byte(1062, r.taxMask);
        b.Byte(1056, r.workMode & 0x01);
        b.Byte(1002, (r.workMode >> 1) & 1);
        b.Byte(1001, (r.workMode >> 2) & 1);
        b.Byte(1109, (r.workMode >> 3) & 1);
        b.Byte(1110, (r.workMode >> 4) & 1);
        b.Byte(1108, (r.workMode >> 5) & 1);
        if (r.ffdCode >= 4) {
            b.Byte(1207, r.extMode & 0x01);
            b.Byte(1193, (r.extMode >> 1) & 1);
            b.Byte(1126, (r.extMode >> 2) & 1);
            b.Byte(1221, (r.extMode >> 3) & 1);
        }
        if ((r.workMode & 0x04) != 0) {
            const std::string automatic = Trim(t.GetStr(24, 1, 1));
            if (!automatic.empty())
                b.Str(1036, automatic);
        }
        if ((r.workMode & 0x02) == 0) { // an OFD only when not autonomous
            text(1046, 10);
            if (!Trim(r.ofdInn).empty())
                b.Str(1017, r.ofdInn);
        }
        text(1117, 15);
        text(1060, 13);
        const uint8_t agents = uint8_t(t.GetInt(18, 1, 16));
        if (agents != 0 && r.ffdCode < 4)
            b.Byte(1057, agents);
        if (rereg) {
            if (r.ffdCode >= 4) {
                std::string reasons;
                PutLE(reasons, r.reasons, 4);
                b.Bytes(1205, reasons);
            } else
                b.Byte(1101, reason);
        }
        b.Byte(1209, r.ffdCode);
        b.Byte(1189, 4); // the register knows formats up to 1.2
        b.Byte(1190, FiscalStorage::FfdCodeOf(fn.Ffd()));
        b.Raw(TakeDraftTags(fn));

        const FnDocument& d =
            fn.AddDocument(rereg ? doc::Reregistration : doc::Registration, now, b.Data());
        r.docNumber = d.number;
        r.time = now;
        fn.SetRegistered(r);
        fn.Draft().Reset();
        // The register keeps its copy of the registration in table 18.
        t.SetStr(18, 1, 2, r.inn);
        t.SetStr(18, 1, 3, r.rnm);
        t.SetStr(18, 1, 4, fn.Serial());
        t.SetInt(18, 1, 5, r.taxMask);
        t.SetInt(18, 1, 6, r.workMode);
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(rereg ? W("ОТЧЕТ ОБ ИЗМ. ПАРАМЕТРОВ РЕГИСТРАЦИИ") : W("ОТЧЕТ О РЕГИСТРАЦИИ"));
            s.Line(W("ИНН"), Trim(r.inn));
            s.Line(W("ФФД"), r.ffdCode == 2 ? "1.05" : r.ffdCode == 3 ? "1.1" : "1.2");
            FooterLines(s, fn, d);
            s.Print();
        }
        docNumber = d.number;
        return rc::Ok;
    }

    Answer Register6(Register& reg, std::string_view data) const {
        uint32_t number = 0;
        if (uint8_t r = Registration(reg, data, false, 0, number))
            return Fail(r);
        Commit(reg);
        return Ok(SignAnswer(*Fn(reg).Document(number)));
    }

    Answer Reregister(Register& reg, std::string_view data) const {
        uint32_t number = 0;
        if (uint8_t r = Registration(reg, data, true, uint8_t(data[34]), number))
            return Fail(r);
        Commit(reg);
        return Ok(SignAnswer(*Fn(reg).Document(number)));
    }

    Answer CloseFn(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (reg.ShiftIsOpen() || fn.ShiftOpen())
            return Fail(rc::ShiftOpen);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        const FnDocument& d = fn.AddDocument(doc::FnClose, reg.Now(), TakeDraftTags(fn));
        fn.SetClosed();
        fn.Draft().Reset();
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(W("ОТЧЕТ О ЗАКРЫТИИ ФН"));
            FooterLines(s, fn, d);
            s.Print();
        }
        Commit(reg);
        return Ok(SignAnswer(d));
    }

    // ---- receipts ----------------------------------------------------------------------

    // Operation type of the items (1054) that a receipt of a 0x8D type takes.
    static uint8_t OperationOf(int receiptType) {
        switch (receiptType & 0x7F) {
        case 0:
            return 1;
        case 1:
            return 3;
        case 2:
            return 2;
        default:
            return 4;
        }
    }

    Answer OpenReceipt(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        const uint8_t type = uint8_t(data[0]);
        if ((type & 0x7F) > 3 || (type & 0x80 && type > 131))
            return Fail(rc::BadParams);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (!reg.ShiftIsOpen())
            return Fail(rc::WrongMode);
        if (reg.ShiftExpired())
            return Fail(rc::Shift24hOver);
        if ((type & 0x80) && fn.FfdCode() < 3)
            return Fail(rc::BadParams); // the correction receipt with items came with 1.1
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        // Requisites sent before the receipt was opened belong to it.
        if (fn.Draft().docType != 0)
            fn.Draft().tags.clear();
        fn.Draft().items.clear();
        fn.Draft().docType = (type & 0x80) ? doc::Correction : doc::Receipt;
        fn.Draft().receiptType = type;
        reg.SetReceiptType(type);
        return Ok();
    }

    static uint64_t Field5(std::string_view d, size_t at) { return GetLE(d, at, 5); }

    Answer RegisterItem(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() < 0)
            return Fail(rc::ReceiptClosed);
        if (reg.ShiftExpired())
            return Fail(rc::Shift24hOver);
        FnDraft& draft = fn.Draft();
        if (draft.items.size() >= kMaxItems)
            return Fail(kItemLimit);
        ReceiptItem it;
        it.operation = uint8_t(data[0]);
        it.quantity = GetLE(data, 1, 6);
        it.price = Field5(data, 7);
        const uint64_t sum = Field5(data, 12);
        const uint64_t vat = Field5(data, 17);
        const uint8_t taxByte = uint8_t(data[22]);
        it.department = uint8_t(data[23]);
        it.method = uint8_t(data[24]);
        it.subject = uint8_t(data[25]);
        std::string name(data.substr(26));
        while (!name.empty() && name.back() == '\0')
            name.pop_back();
        if (name.size() > 128)
            name.resize(128);
        it.name = Cp1251ToCp866(name);

        if (it.operation < 1 || it.operation > 4)
            return Fail(rc::BadParams);
        if (it.operation != OperationOf(reg.ReceiptType()))
            return Fail(kReceiptType);
        if (it.quantity == 0)
            return Fail(kQuantityRange);
        if (it.department > 16)
            return Fail(kDepartmentRange);
        if (it.method > 7 || it.subject > 33)
            return Fail(rc::BadParams);
        if (taxByte != 0) {
            if ((taxByte & (taxByte - 1)) != 0 || taxByte > 0x20)
                return Fail(rc::BadParams);
            it.taxNumber = uint8_t(__builtin_ctz(taxByte) + 1);
        }
        if (sum == kMoneyMax) { // the register computes the sum
            const unsigned __int128 s =
                ((unsigned __int128)it.price * it.quantity + 500000) / 1000000;
            if (s >= kMoneyMax)
                return Fail(kMulOverflow);
            it.sum = uint64_t(s);
        } else {
            it.sum = sum;
        }
        if (vat == kMoneyMax) // VAT left to the register: from the sum at the item's rate
            it.vat = VatOf(it.sum, it.taxNumber);
        else
            it.vat = vat;
        uint64_t total = it.sum;
        for (const ReceiptItem& o : draft.items)
            total += o.sum;
        if (total >= kMoneyMax)
            return Fail(kTotalOverflow);
        draft.items.push_back(std::move(it));
        return Ok();
    }

    // VAT included in `sum` at the rate of tax number n, rounded to the kopeck.
    static uint64_t VatOf(uint64_t sum, uint8_t n) {
        switch (n) {
        case 1:
        case 5:
            return (sum * 20 + 60) / 120;
        case 2:
        case 6:
            return (sum * 10 + 55) / 110;
        default:
            return 0;
        }
    }

    // FFD rate code (1199) of a tax number.
    static uint8_t RateCode(uint8_t n) {
        static const uint8_t codes[] = {6, 1, 2, 5, 6, 3, 4};
        return n <= 6 ? codes[n] : 6;
    }

    uint8_t CheckTlvCommand(std::string_view data, TlvItem& item) const {
        if (data.size() < 4)
            return rc::BadFormat;
        const size_t len = size_t(GetLE(data, 2, 2));
        if (data.size() != 4 + len)
            return rc::BadFormat;
        item.tag = uint16_t(GetLE(data, 0, 2));
        item.value = std::string(data.substr(4));
        const TlvResult r = TlvValidate(data);
        if (r.status == TlvResult::UnknownTag || FnOwnTag(item.tag))
            return kForbiddenTag;
        if (!r)
            return rc::FnBadParams;
        return rc::Ok;
    }

    Answer SetDocumentTag(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        TlvItem item;
        if (uint8_t r = CheckTlvCommand(data, item))
            return Fail(r);
        size_t total = data.size();
        for (const TlvItem& t : fn.Draft().tags)
            total += 4 + t.value.size();
        if (total > kMaxDocTags)
            return Fail(kTlvTooLong);
        // Taken by the document being formed, or kept for the next one.
        fn.Draft().tags.push_back(std::move(item));
        return Ok();
    }

    Answer SetItemTag(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() < 0)
            return Fail(rc::ReceiptClosed);
        if (fn.Draft().items.empty())
            return Fail(kBadOperation);
        TlvItem item;
        if (uint8_t r = CheckTlvCommand(data, item))
            return Fail(r);
        ReceiptItem& last = fn.Draft().items.back();
        size_t total = data.size();
        for (const TlvItem& t : last.tags)
            total += 4 + t.value.size();
        if (total > kMaxItemTags)
            return Fail(kTlvTooLong);
        last.tags.push_back(std::move(item));
        return Ok();
    }

    // Money registers of a receipt: cash, electronic, prepayment, credit, barter.
    static void AddReceiptRegisters(Register& reg, int receiptType, const uint64_t pay[5],
                                    uint64_t total) {
        const int kind = receiptType & 3;
        if (receiptType & 0x80) {
            if (kind == 0) {
                reg.AddOperReg(202, 1);
                reg.AddCashReg(4224, int64_t(total));
            } else if (kind == 1) {
                reg.AddOperReg(203, 1);
                reg.AddCashReg(4225, int64_t(total));
            }
            return;
        }
        static const uint16_t counts[] = {144, 145, 146, 147};
        reg.AddOperReg(counts[kind], 1);
        const uint16_t bases[] = {193, 197, 4180, 4184, 4188};
        for (int i = 0; i < 5; ++i)
            reg.AddCashReg(uint16_t(bases[i] + kind), int64_t(pay[i]));
    }

    // Cash that a receipt of this kind brings into the drawer (negative: takes out).
    static int64_t DrawerSign(int receiptType) {
        const int kind = receiptType & 3;
        return kind == 0 || kind == 3 ? 1 : -1; // income and expense return bring cash in
    }

    uint8_t TaxSystem(const FiscalStorage& fn, uint8_t given, uint8_t& out) const {
        const uint8_t mask = fn.Registration().taxMask;
        if (given == 0) {
            out = uint8_t(mask & -mask); // the first registered system
            return rc::Ok;
        }
        if ((given & (given - 1)) != 0 || (given & mask) == 0)
            return kNotAsRegistered;
        out = given;
        return rc::Ok;
    }

    static const char* ReceiptKind(int receiptType) {
        static const char* kinds[] = {"ПРИХОД", "РАСХОД", "ВОЗВРАТ ПРИХОДА", "ВОЗВРАТ РАСХОДА"};
        return kinds[receiptType & 3];
    }

    // The correction's basis: 1177, 1178, 1179 go into one structure 1174.
    static void CorrectionBasis(const FiscalStorage& fn, TlvWriter& body) {
        if (const TlvItem* t = DraftTag(fn, 1173))
            body.Item(*t);
        TlvWriter basis;
        for (uint16_t tag : {1177, 1178, 1179})
            if (const TlvItem* t = DraftTag(fn, tag))
                basis.Item(*t);
        if (!basis.Empty())
            body.Stlv(1174, basis);
    }

    Answer CloseReceipt(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() < 0)
            return Fail(rc::ReceiptClosed);
        if (reg.ShiftExpired())
            return Fail(rc::ShiftOver24h);
        const int type = reg.ReceiptType();
        FnDraft& draft = fn.Draft();
        uint64_t pay[16];
        uint64_t paid = 0;
        for (int i = 0; i < 16; ++i) {
            pay[i] = Field5(data, size_t(i) * 5);
            paid += pay[i];
        }
        const uint8_t rounding = uint8_t(data[80]);
        uint64_t taxes[6];
        for (int i = 0; i < 6; ++i)
            taxes[i] = Field5(data, 81 + size_t(i) * 5);
        uint8_t taxSystem = 0;
        if (uint8_t r = TaxSystem(fn, uint8_t(data[111]), taxSystem))
            return Fail(r);
        std::string closingText(data.substr(112));
        while (!closingText.empty() && closingText.back() == '\0')
            closingText.pop_back();

        uint64_t total = 0;
        uint64_t rateVat[7] = {};
        uint64_t rateSum[7] = {};
        bool marked = false;
        for (const ReceiptItem& it : draft.items) {
            total += it.sum;
            rateVat[it.taxNumber] += it.vat;
            rateSum[it.taxNumber] += it.sum;
            marked = marked || it.marked;
        }
        if (rounding > 99 || rounding > total)
            return Fail(rc::BadParams);
        total -= rounding;
        if (paid < total)
            return Fail(kPaymentShort);
        const uint64_t cashless = paid - pay[0];
        if (cashless > total)
            return Fail(kCashlessOver);
        const uint64_t change = paid - total;
        const uint64_t netCash = pay[0] - change;
        const int64_t drawerDelta = DrawerSign(type) * int64_t(netCash);
        if (reg.CashReg(241) + drawerDelta < 0)
            return Fail(kNoCash);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);

        // The document, whole.
        const int64_t now = reg.Now();
        const uint32_t receiptNo = fn.ReceiptNumber() + 1;
        const bool correction = (type & 0x80) != 0;
        TlvWriter body;
        body.U32(1038, fn.ShiftNumber());
        body.U32(1042, receiptNo);
        body.Byte(1054, OperationOf(type));
        body.Byte(1055, taxSystem);
        const std::string address = Trim(reg.Tables().GetStr(18, 1, 9));
        if (!address.empty())
            body.Str(1009, Cp1251ToCp866(address));
        const std::string place = Trim(reg.Tables().GetStr(18, 1, 14));
        if (!place.empty())
            body.Str(1187, Cp1251ToCp866(place));
        if (correction) {
            CorrectionBasis(fn, body);
            body.Raw(TakeDraftTags(fn, {1173, 1177, 1178, 1179}));
        } else {
            body.Raw(TakeDraftTags(fn));
        }
        for (const ReceiptItem& it : draft.items) {
            TlvWriter item;
            if (it.method)
                item.Byte(1214, it.method);
            if (it.subject)
                item.Byte(1212, it.subject);
            item.Str(1030, it.name);
            item.Vln(1079, it.price);
            item.Bytes(1023, QuantityFvln(it.quantity));
            item.Byte(1199, RateCode(it.taxNumber));
            if (it.taxNumber == 1 || it.taxNumber == 2 || it.taxNumber == 5 || it.taxNumber == 6)
                item.Vln(1200, it.vat);
            item.Vln(1043, it.sum);
            for (const TlvItem& t : it.tags)
                item.Item(t);
            body.Stlv(1059, item);
        }
        body.Vln(1020, total);
        body.Vln(1031, pay[0]);
        uint64_t electronic = 0;
        for (int i = 1; i <= 12; ++i)
            electronic += pay[i];
        body.Vln(1081, electronic);
        body.Vln(1215, pay[13]);
        body.Vln(1216, pay[14]);
        body.Vln(1217, pay[15]);
        // VAT totals: as the close command gives them, else the register's sums of the items.
        const uint64_t vat20 = taxes[0] ? taxes[0] : rateVat[1];
        const uint64_t vat10 = taxes[1] ? taxes[1] : rateVat[2];
        const uint64_t vat120 = taxes[4] ? taxes[4] : rateVat[5];
        const uint64_t vat110 = taxes[5] ? taxes[5] : rateVat[6];
        if (vat20)
            body.Vln(1102, vat20);
        if (vat10)
            body.Vln(1103, vat10);
        if (rateSum[3])
            body.Vln(1104, rateSum[3]);
        if (rateSum[4] + rateSum[0])
            body.Vln(1105, rateSum[4] + rateSum[0]);
        if (vat120)
            body.Vln(1106, vat120);
        if (vat110)
            body.Vln(1107, vat110);
        const std::string cashier = Cashier(fn);
        if (body.Data().size() > 0xFFF0)
            return Fail(kTlvTooLong);

        const std::vector<ReceiptItem> items = draft.items;
        const FnDocument& d =
            fn.AddDocument(correction ? doc::Correction : doc::Receipt, now, body.Data(), marked);
        fn.NextReceiptNumber();
        const uint64_t money[5] = {netCash, electronic, pay[13], pay[14], pay[15]};
        AddReceiptRegisters(reg, type, money, total);
        reg.AddCashReg(241, drawerDelta);
        reg.SetReceiptType(-1);
        draft.Reset();
        fn.Km().Clear();
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(correction ? W("ЧЕК КОРРЕКЦИИ") : W("КАССОВЫЙ ЧЕК"), int(receiptNo));
            s.Line(W(ReceiptKind(type)));
            for (const ReceiptItem& it : items) {
                s.Line(Cp866ToCp1251(it.name));
                s.Line("  " + Quantity(it.quantity) + " x " + Money(it.price), "=" + Money(it.sum));
                if (it.taxNumber == 1 || it.taxNumber == 5)
                    s.Line(W("  НДС 20%"), Money(it.vat));
                else if (it.taxNumber == 2 || it.taxNumber == 6)
                    s.Line(W("  НДС 10%"), Money(it.vat));
                if (it.marked)
                    s.Line(W("  [М]"));
            }
            s.Line(W("ИТОГ"), "=" + Money(total), true);
            if (pay[0])
                s.Line(W("НАЛИЧНЫМИ"), "=" + Money(pay[0]));
            if (electronic)
                s.Line(W("БЕЗНАЛИЧНЫМИ"), "=" + Money(electronic));
            if (pay[13])
                s.Line(W("ПРЕДВАРИТЕЛЬНАЯ ОПЛАТА"), "=" + Money(pay[13]));
            if (pay[14])
                s.Line(W("ПОСЛЕДУЮЩАЯ ОПЛАТА"), "=" + Money(pay[14]));
            if (pay[15])
                s.Line(W("ИНОЕ ПРЕДОСТАВЛЕНИЕ"), "=" + Money(pay[15]));
            if (change)
                s.Line(W("СДАЧА"), "=" + Money(change));
            if (!closingText.empty())
                s.Line(closingText);
            if (!cashier.empty())
                s.Line(W("КАССИР"), cashier);
            s.Line(W("СМЕНА"), std::to_string(fn.ShiftNumber()));
            FooterLines(s, fn, d);
            const time_t tt = time_t(d.time);
            std::tm tm{};
            gmtime_r(&tt, &tm);
            char qr[160];
            std::snprintf(qr, sizeof qr, "t=%04d%02d%02dT%02d%02d&s=%s&fn=%s&i=%u&fp=%u&n=%d",
                          tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          Money(total).c_str(), fn.Serial().c_str(), d.number, d.fiscalSign,
                          int(OperationOf(type)));
            s.Qr(qr);
            s.Print();
        }
        Commit(reg);
        std::string out;
        PutLE(out, change, 5);
        out += SignAnswer(d);
        return Ok(out);
    }

    Answer VoidReceipt(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() < 0)
            return Fail(rc::ReceiptClosed);
        reg.SetReceiptType(-1);
        fn.Draft().Reset();
        if (PrintOn(reg) && reg.CanPrint() == rc::Ok) {
            Slip s(reg);
            s.Line(W("ЧЕК АННУЛИРОВАН"), {}, true);
            s.Line(DateText(reg.Now()));
            s.Print();
        }
        return OperatorAnswer();
    }

    Answer Cash(Register& reg, std::string_view data, bool in) const {
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!reg.ShiftIsOpen())
            return Fail(rc::WrongMode);
        if (reg.ShiftExpired())
            return Fail(rc::Shift24hOver);
        const uint64_t amount = Field5(data, 0);
        if (!in && int64_t(amount) > reg.CashReg(241))
            return Fail(kNoCash);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);
        reg.AddCashReg(241, in ? int64_t(amount) : -int64_t(amount));
        reg.AddCashReg(in ? 242 : 243, int64_t(amount));
        reg.AddOperReg(in ? 153 : 154, 1);
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(in ? W("ВНЕСЕНИЕ") : W("ВЫПЛАТА"));
            s.Line(W("СУММА"), "=" + Money(amount), true);
            s.Line(W("НАЛИЧНЫХ В КАССЕ"), Money(uint64_t(reg.CashReg(241))));
            s.Line(DateText(reg.Now()));
            s.Print();
        }
        Commit(reg);
        return OperatorAnswer();
    }

    // ---- corrections of the older formats ------------------------------------------------

    Answer BeginCorrection(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (!reg.ShiftIsOpen())
            return Fail(rc::WrongMode);
        fn.Draft().Reset();
        fn.Draft().docType = doc::Correction;
        return Ok();
    }

    Answer Correction(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        if (!fn.Fiscalized())
            return Fail(rc::FnState);
        if (!reg.ShiftIsOpen())
            return Fail(rc::WrongMode);
        if (reg.ShiftExpired())
            return Fail(rc::ShiftOver24h);
        const uint8_t kind = uint8_t(data[0]);
        const uint8_t sign = uint8_t(data[1]);
        if (kind > 1 || sign < 1 || sign > 4)
            return Fail(rc::BadParams);
        uint64_t v[12];
        for (int i = 0; i < 12; ++i)
            v[i] = Field5(data, 2 + size_t(i) * 5);
        const uint64_t total = v[0];
        if (v[1] + v[2] + v[3] + v[4] + v[5] != total)
            return Fail(rc::FnBadParams);
        uint8_t taxSystem = 0;
        if (uint8_t r = TaxSystem(fn, uint8_t(data[62]), taxSystem))
            return Fail(r);
        // Cash flows as in a receipt of that settlement sign.
        const int receiptType = sign == 1 ? 0 : sign == 3 ? 1 : sign == 2 ? 2 : 3;
        const int64_t drawerDelta = DrawerSign(receiptType) * int64_t(v[1]);
        if (reg.CashReg(241) + drawerDelta < 0)
            return Fail(kNoCash);
        if (uint8_t r = PrintReady(reg))
            return Fail(r);

        const int64_t now = reg.Now();
        const uint32_t receiptNo = fn.ReceiptNumber() + 1;
        TlvWriter body;
        body.U32(1038, fn.ShiftNumber());
        body.U32(1042, receiptNo);
        body.Byte(1054, sign);
        body.Byte(1055, taxSystem);
        if (!DraftTag(fn, 1173))
            body.Byte(1173, kind);
        CorrectionBasis(fn, body);
        body.Raw(TakeDraftTags(fn, {1173, 1177, 1178, 1179}));
        body.Vln(1020, total);
        body.Vln(1031, v[1]);
        body.Vln(1081, v[2]);
        body.Vln(1215, v[3]);
        body.Vln(1216, v[4]);
        body.Vln(1217, v[5]);
        const uint16_t vatTags[] = {1102, 1103, 1104, 1105, 1106, 1107};
        for (int i = 0; i < 6; ++i)
            if (v[6 + i])
                body.Vln(vatTags[i], v[6 + i]);
        const std::string cashier = Cashier(fn);
        const FnDocument& d = fn.AddDocument(doc::Correction, now, body.Data());
        fn.NextReceiptNumber();
        const uint64_t money[5] = {v[1], v[2], v[3], v[4], v[5]};
        AddReceiptRegisters(reg, 0x80 | receiptType, money, total);
        reg.AddCashReg(241, drawerDelta);
        fn.Draft().Reset();
        if (PrintOn(reg)) {
            Slip s(reg);
            s.Title(W("ЧЕК КОРРЕКЦИИ"), int(receiptNo));
            s.Line(W(ReceiptKind(receiptType)));
            s.Line(W("ИТОГ"), "=" + Money(total), true);
            if (v[1])
                s.Line(W("НАЛИЧНЫМИ"), "=" + Money(v[1]));
            if (v[2])
                s.Line(W("БЕЗНАЛИЧНЫМИ"), "=" + Money(v[2]));
            if (!cashier.empty())
                s.Line(W("КАССИР"), cashier);
            FooterLines(s, fn, d);
            s.Print();
        }
        Commit(reg);
        std::string out;
        PutLE(out, receiptNo, 2);
        out += SignAnswer(d);
        return Ok(out);
    }

    // ---- FN queries ----------------------------------------------------------------------

    Answer Status(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        std::string out;
        out.push_back(char(fn.GetPhase()));
        out.push_back(char(fn.CurrentDocumentCode()));
        out.push_back(char(fn.Draft().tags.empty() ? 0 : 1));
        out.push_back(char(fn.ShiftOpen() ? 1 : 0));
        out.push_back(char(WarningFlags(reg)));
        const FnDocument* last = fn.Document(fn.LastDocNumber());
        PutFnDate(out, last ? last->time : 0);
        out += Padded(fn.Serial(), 16);
        PutLE(out, fn.LastDocNumber(), 4);
        return Ok(out);
    }

    static uint8_t WarningFlags(const Register& reg) {
        FiscalStorage& fn = Fn(const_cast<Register&>(reg));
        std::tm tm{};
        tm.tm_year = fn.ValidYear() - 1900;
        tm.tm_mon = fn.ValidMonth() - 1;
        tm.tm_mday = fn.ValidDay();
        const int64_t until = int64_t(timegm(&tm));
        const int64_t now = reg.Now();
        uint8_t f = 0;
        if (now > until - 30 * 24 * 3600)
            f |= 0x01; // to be replaced soon
        if (now > until - 3 * 24 * 3600)
            f |= 0x02; // resource exhausted
        return f;
    }

    Answer Validity(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        std::string out;
        out.push_back(char(fn.ValidYear() % 100));
        out.push_back(char(fn.ValidMonth()));
        out.push_back(char(fn.ValidDay()));
        out.push_back(char(std::max(0, 30 - fn.Registrations()))); // registrations left
        out.push_back(char(fn.Registrations()));
        return Ok(out);
    }

    Answer Version(Register& reg, std::string_view) const {
        const int ffd = Fn(reg).Ffd();
        const char* text = ffd == 120 ? "FN-1.2 v.27" : ffd == 110 ? "FN-1.1 v.22" : "FN-1.0 v.19";
        std::string out = Padded(text, 16);
        out.push_back(1); // a production FN, not a debugging one
        return Ok(out);
    }

    Answer FiscalizationTotals(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (fn.GetPhase() == FiscalStorage::Ready)
            return Fail(rc::FnState);
        const FnRegistration& r = fn.Registration();
        std::string out;
        PutFnDate(out, r.time);
        out += Padded(r.inn, 12);
        out += Padded(r.rnm, 20);
        out.push_back(char(r.taxMask));
        out.push_back(char(r.workMode));
        if (r.ffdCode >= 4) {
            out.push_back(char(r.extMode));
            out += Padded(r.ofdInn, 12);
            PutLE(out, r.reasons, 4);
        }
        const FnDocument* d = fn.Document(r.docNumber);
        PutLE(out, r.docNumber, 4);
        PutLE(out, d ? d->fiscalSign : 0, 4);
        return Ok(out);
    }

    Answer ExchangeStatus(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        const FnDocument* first = fn.FirstUnsent();
        std::string out;
        out.push_back(char(first ? 0x02 : 0x00)); // a message for the OFD waits
        out.push_back(0);                         // no message being read by the OFD
        PutLE(out, std::min<uint32_t>(fn.UnsentCount(), 0xFFFF), 2);
        PutLE(out, first ? first->number : 0, 4);
        PutFnDate(out, first ? first->time : 0);
        return Ok(out);
    }

    Answer ShiftParams(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        std::string out;
        out.push_back(char(fn.ShiftOpen() ? 1 : 0));
        PutLE(out, fn.ShiftNumber(), 2);
        PutLE(out, fn.ReceiptNumber(), 2);
        return Ok(out);
    }

    Answer RequestDocument(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (fn.Reading() || reg.DataOutput())
            return Fail(rc::WrongMode);
        if (reg.ReceiptType() >= 0)
            return Fail(rc::ReceiptOpen);
        uint16_t type = 0, length = 0;
        if (uint8_t r = fn.BeginRead(uint32_t(GetLE(data, 0, 4)), type, length))
            return Fail(r);
        reg.SetDataOutput(true);
        std::string out;
        PutLE(out, type, 2);
        PutLE(out, length, 2);
        return Ok(out);
    }

    Answer ReadDocument(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (!fn.Reading())
            return Fail(kNoData);
        std::string item;
        if (!fn.ReadNext(item)) {
            reg.SetDataOutput(false);
            return Ok();
        }
        return Ok(item);
    }

    // ---- marking codes -----------------------------------------------------------------

    uint8_t MarkingAllowed(Register& reg) const {
        FiscalStorage& fn = Fn(reg);
        if (fn.FfdCode() < 4)
            return rc::NotSupported;
        if (!fn.Fiscalized())
            return rc::FnState;
        if ((fn.Registration().extMode & 0x10) == 0)
            return kMarkingOff;
        return rc::Ok;
    }

    Answer CheckCode(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (uint8_t r = MarkingAllowed(reg))
            return Fail(r);
        KmRequest req;
        if (uint8_t r = ParseKmRequest(data, req))
            return Fail(r);
        if (fn.Km().TakeTryAgain(req.code))
            return Fail(kTryAgain);
        const KmOutcome outcome = fn.Km().OutcomeOf(req.code);
        if (!fn.Km().AddChecked(req.code, outcome, req.plannedStatus))
            return Fail(kKmTableFull);
        return Ok(KmCheckAnswer(req, outcome, reg.Now()));
    }

    Answer BindCode(Register& reg, std::string_view data) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = NotReading(reg))
            return Fail(r);
        if (uint8_t r = MarkingAllowed(reg))
            return Fail(r);
        const size_t len = uint8_t(data[0]);
        const bool gtin = data.size() == 2 + len && uint8_t(data.back()) == 0xFF;
        if (len == 0 || (data.size() != 1 + len && !gtin))
            return Fail(rc::BadFormat);
        const std::string code(data.substr(1, len));
        if (reg.ReceiptType() < 0)
            return Fail(rc::ReceiptClosed);
        FnDraft& draft = fn.Draft();
        if (draft.items.empty() || draft.items.back().marked)
            return Fail(kKmSequence);
        ReceiptItem& item = draft.items.back();
        TlvWriter product;
        if (gtin) {
            // Sold by its GTIN (catering): no check of a code of the item itself.
            product.Str(1303, code);
            item.tags.push_back(TlvItem{1163, product.Data()});
            item.marked = true;
            return Ok(std::string(1, '\0'));
        }
        const Marking::Entry* e = fn.Km().Find(code);
        if (!e)
            return Fail(kKmUnchecked);
        if (!fn.Km().Bindable(code))
            return Fail(kKmSequence);
        product.Str(1305, code);
        item.tags.push_back(TlvItem{1163, product.Data()});
        const uint8_t result = e->outcome == KmOutcome::Valid     ? 0x0F
                               : e->outcome == KmOutcome::Invalid ? 0x05
                                                                  : 0x03;
        item.tags.push_back(TlvItem{2102, std::string(1, '\0')});
        item.tags.push_back(TlvItem{2106, std::string(1, char(result))});
        item.tags.push_back(TlvItem{2110, std::string(1, char(e->plannedStatus))});
        item.marked = true;
        return Ok(std::string(1, char(result)));
    }

    Answer DecideCode(Register& reg, std::string_view data) const {
        if (uint8_t r = MarkingAllowed(reg))
            return Fail(r);
        return Answer{Fn(reg).Km().Decide(uint8_t(data[0])), {}};
    }

    Answer MarkingStatus(Register& reg, std::string_view) const {
        FiscalStorage& fn = Fn(reg);
        if (uint8_t r = MarkingAllowed(reg))
            return Fail(r);
        uint8_t inReceipt = 0;
        for (const ReceiptItem& it : fn.Draft().items)
            inReceipt = uint8_t(inReceipt + (it.marked ? 1 : 0));
        const uint32_t waiting = fn.UnsentNotifications();
        std::string out;
        out.push_back(char(fn.Km().Count() ? 1 : 0)); // checks made, results kept
        out.push_back(char(inReceipt ? 1 : 0));       // a notification being formed
        out.push_back(char(0x0F));                    // every marking command allowed
        out.push_back(char(std::min<size_t>(fn.Km().Count(), 255)));
        out.push_back(char(inReceipt));
        out.push_back(char(std::min<uint32_t>(waiting / 10, 100))); // fill, % of 1000
        PutLE(out, std::min<uint32_t>(waiting, 0xFFFF), 2);
        return Ok(out);
    }

private:
    std::shared_ptr<Ctx> ctx_;
};

CommandSpec Exact(size_t n) {
    CommandSpec s;
    s.minLen = n;
    s.maxLen = n;
    return s;
}

CommandSpec Between(size_t min, size_t max) {
    CommandSpec s;
    s.minLen = min;
    s.maxLen = max;
    return s;
}

// Runs a command of the set directly (start-up demo), as the dispatcher would.
void Run(Register& reg, const Commands& c,
         Answer (Commands::*fn)(Register&, std::string_view) const, std::string_view data) {
    [[maybe_unused]] const Answer a = (c.*fn)(reg, data);
}

std::string Money5(uint64_t kopecks) {
    std::string s;
    PutLE(s, kopecks, 5);
    return s;
}

std::string ItemData(uint8_t op, uint64_t qty, uint64_t price, uint8_t taxByte,
                     const std::string& name) {
    std::string d;
    d.push_back(char(op));
    PutLE(d, qty, 6);
    PutLE(d, price, 5);
    d.append(5, char(0xFF)); // the register computes the sum
    d.append(5, char(0xFF)); // and the VAT
    d.push_back(char(taxByte));
    d.push_back(1); // department
    d.push_back(4); // full payment
    d.push_back(1); // goods
    d += name;
    return d;
}

// An FN registered some days ago with one closed shift of two receipts.
void MakeRegisteredDemo(Register& reg, const Commands& c) {
    Tables& t = reg.Tables();
    t.SetStr(18, 1, 7, W("ООО \"Ромашка\""));
    t.SetStr(18, 1, 9, W("г. Москва, ул. Примерная, д. 1"));
    t.SetStr(18, 1, 14, W("Магазин"));
    t.SetStr(18, 1, 10, W("ООО \"Оператор данных\""));
    t.SetStr(18, 1, 12, "7704211201");
    t.SetStr(18, 1, 13, "www.nalog.gov.ru");
    t.SetStr(18, 1, 15, "kassa@example.org");
    const int ffd = Fn(reg).Ffd();
    t.SetInt(17, 1, 17, FiscalStorage::FfdCodeOf(ffd));
    t.SetInt(18, 1, 21, ffd == 120 ? 0x10 : 0); // marked goods
    const int64_t offset = reg.ClockOffset();
    reg.SetClockOffset(offset - 3 * 24 * 3600); // the documents are some days old

    Run(reg, c, &Commands::BeginRegistration, std::string(1, '\0'));
    std::string regData = Padded("7701234567", 12) + Padded("0000000001012345", 20);
    regData.push_back(0x03); // general and simplified taxation
    regData.push_back(0x00);
    Run(reg, c, &Commands::Register6, regData);

    Run(reg, c, &Commands::BeginShiftOpen, {});
    const std::string cashier = TlvEncode(1021, Cp1251ToCp866(W("Иванова А.А.")));
    Run(reg, c, &Commands::SetDocumentTag, cashier);
    Run(reg, c, &Commands::OpenShift, {});
    c.Cash(reg, Money5(500000), true);

    Run(reg, c, &Commands::OpenReceipt, std::string(1, '\0'));
    Run(reg, c, &Commands::RegisterItem, ItemData(1, 2000000, 4990, 0x01, W("Молоко 1л")));
    Run(reg, c, &Commands::RegisterItem, ItemData(1, 500000, 12000, 0x02, W("Сыр весовой")));
    Run(reg, c, &Commands::SetDocumentTag, cashier);
    std::string pay = Money5(20000) + std::string(75, '\0') + std::string(1, '\0') +
                      std::string(30, '\0') + std::string(1, 0x01);
    Run(reg, c, &Commands::CloseReceipt, pay);

    Run(reg, c, &Commands::OpenReceipt, std::string(1, '\x02'));
    Run(reg, c, &Commands::RegisterItem, ItemData(2, 1000000, 4990, 0x01, W("Молоко 1л")));
    Run(reg, c, &Commands::SetDocumentTag, cashier);
    pay = Money5(4990) + std::string(75, '\0') + std::string(1, '\0') + std::string(30, '\0') +
          std::string(1, 0x01);
    Run(reg, c, &Commands::CloseReceipt, pay);

    Run(reg, c, &Commands::BeginShiftClose, {});
    Run(reg, c, &Commands::SetDocumentTag, cashier);
    Run(reg, c, &Commands::CloseShift, {});
    reg.SetClockOffset(offset);
    Fn(reg).AcknowledgeOfd(Fn(reg).UnsentCount() - 1); // the OFD has all but the last
    reg.Paper().Clear();
}

bool ParseOutcome(std::string_view w, KmOutcome& out) {
    if (w == "valid")
        out = KmOutcome::Valid;
    else if (w == "invalid")
        out = KmOutcome::Invalid;
    else if (w == "noanswer")
        out = KmOutcome::NoAnswer;
    else
        return false;
    return true;
}

bool FromHex(std::string_view hex, std::string& out) {
    if (hex.size() % 2 != 0)
        return false;
    auto nibble = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(char(hi * 16 + lo));
    }
    return true;
}

// Splits off the first blank-separated word of `rest`.
std::string_view Word(std::string_view& rest) {
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    const size_t end = std::min(rest.find(' '), rest.size());
    std::string_view w = rest.substr(0, end);
    rest.remove_prefix(end);
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    return w;
}

} // namespace

std::string FiscalControl(Register& reg, std::string_view line) {
    std::lock_guard lock(reg.Mutex());
    FiscalStorage* fn = reg.Fn();
    if (!fn)
        return "error no FN\n";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    std::string_view rest = line;
    const std::string_view what = Word(rest);
    if (what == "fn") {
        std::ostringstream o;
        const FnDocument* first = fn->FirstUnsent();
        o << "phase=" << int(fn->GetPhase()) << " ffd=" << fn->Ffd()
          << " docs=" << fn->LastDocNumber() << " shift=" << fn->ShiftNumber()
          << " open=" << (fn->ShiftOpen() ? 1 : 0) << " receipts=" << fn->ReceiptNumber()
          << " unsent=" << fn->UnsentCount() << " first_unsent=" << (first ? first->number : 0)
          << " km_checked=" << fn->Km().Count() << "\n";
        return o.str();
    }
    if (what == "ofd") {
        if (Word(rest) != "ack")
            return "error usage: ofd ack <N|all>\n";
        const std::string_view n = Word(rest);
        if (n == "all") {
            fn->AcknowledgeOfd(fn->UnsentCount());
            return "ok\n";
        }
        if (n.empty() || n.size() > 9 ||
            n.find_first_not_of("0123456789") != std::string_view::npos)
            return "error usage: ofd ack <N|all>\n";
        fn->AcknowledgeOfd(uint32_t(std::stoul(std::string(n))));
        return "ok\n";
    }
    if (what == "km") {
        const std::string_view verb = Word(rest);
        KmOutcome outcome = KmOutcome::Valid;
        if (verb == "clear") {
            fn->Km().ClearSettings();
            return "ok\n";
        }
        if (verb == "default") {
            if (!ParseOutcome(Word(rest), outcome))
                return "error usage: km default valid|invalid|noanswer\n";
            fn->Km().SetDefaultOutcome(outcome);
            return "ok\n";
        }
        if (!ParseOutcome(verb, outcome))
            return "error usage: km valid|invalid|noanswer [retry=N] <code>\n";
        int retry = 0;
        if (rest.substr(0, 6) == "retry=") {
            std::string_view n = Word(rest).substr(6);
            if (n.empty() || n.size() > 4 ||
                n.find_first_not_of("0123456789") != std::string_view::npos)
                return "error bad retry count\n";
            retry = std::stoi(std::string(n));
        }
        std::string code(rest);
        if (rest.substr(0, 4) == "hex:" && !FromHex(rest.substr(4), code))
            return "error bad hex code\n";
        if (code.empty() || code.size() > 255)
            return "error no code\n";
        fn->Km().SetOutcome(code, outcome, retry);
        return "ok\n";
    }
    return "error unknown fiscal control command\n";
}

void RegisterFiscalCommands(Register& reg, Dispatcher& d, const Options& opt) {
    auto fn = std::make_shared<FiscalStorage>(opt.ffd, int64_t(reg.Now()));
    reg.SetFiscalStorage(fn);
    // The register's format setting follows the FN it was started with.
    reg.Tables().SetInt(17, 1, 17, FiscalStorage::FfdCodeOf(fn->Ffd()));
    FiscalStorage* raw = fn.get();
    reg.AddStateSection(
        "fn", [raw] { return raw->Serialize(); },
        [raw](std::string_view data) { raw->LoadImage(data); });

    auto ctx = std::make_shared<Ctx>();
    auto cmds = std::make_shared<Commands>(ctx);
    using M = Answer (Commands::*)(Register&, std::string_view) const;
    auto add = [&d, cmds](uint16_t code, CommandSpec spec, M m) {
        d.RegisterCommand(code, spec, [cmds, m](Register& r, std::string_view data) {
            if (r.Fn()->Damaged())
                return Fail(kFnFailure);
            return ((*cmds).*m)(r, data);
        });
    };

    add(0x40, Exact(0), &Commands::XReport);
    add(0x41, Exact(0), &Commands::CloseShift);
    add(0xE0, Exact(0), &Commands::OpenShift);
    add(0x88, Exact(0), &Commands::VoidReceipt);
    add(0x8D, Exact(1), &Commands::OpenReceipt);
    for (const bool in : {true, false})
        d.RegisterCommand(in ? 0x50 : 0x51, Exact(5),
                          [cmds, in](Register& r, std::string_view data) {
                              if (r.Fn()->Damaged())
                                  return Fail(kFnFailure);
                              return cmds->Cash(r, data, in);
                          });

    add(0xFF01, Exact(0), &Commands::Status);
    add(0xFF03, Exact(0), &Commands::Validity);
    add(0xFF04, Exact(0), &Commands::Version);
    add(0xFF05, Exact(1), &Commands::BeginRegistration);
    add(0xFF06, Exact(34), &Commands::Register6);
    add(0xFF09, Exact(0), &Commands::FiscalizationTotals);
    add(0xFF0C, Between(4, 255), &Commands::SetDocumentTag);
    add(0xFF34, Exact(35), &Commands::Reregister);
    add(0xFF35, Exact(0), &Commands::BeginCorrection);
    add(0xFF37, Exact(0), &Commands::BeginSettlementReport);
    add(0xFF38, Exact(0), &Commands::SettlementReport);
    add(0xFF39, Exact(0), &Commands::ExchangeStatus);
    add(0xFF3A, Exact(4), &Commands::RequestDocument);
    add(0xFF3B, Exact(0), &Commands::ReadDocument);
    add(0xFF3E, Exact(0), &Commands::CloseFn);
    add(0xFF40, Exact(0), &Commands::ShiftParams);
    add(0xFF41, Exact(0), &Commands::BeginShiftOpen);
    add(0xFF42, Exact(0), &Commands::BeginShiftClose);
    add(0xFF45, Between(112, 255), &Commands::CloseReceipt);
    add(0xFF46, Between(26, 255), &Commands::RegisterItem);
    add(0xFF4A, Exact(63), &Commands::Correction);
    add(0xFF4D, Between(4, 255), &Commands::SetItemTag);
    add(0xFF61, Between(5, 255), &Commands::CheckCode);
    add(0xFF67, Between(2, 255), &Commands::BindCode);
    add(0xFF69, Exact(1), &Commands::DecideCode);
    add(0xFF70, Exact(0), &Commands::MarkingStatus);

    if (opt.registered) {
        ctx->commit = false; // the state file, if any, is loaded over this afterwards
        MakeRegisteredDemo(reg, *cmds);
        ctx->commit = true;
    }
}

} // namespace emu
