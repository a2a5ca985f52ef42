// The register's fiscal commands: shifts and reports, receipts, corrections, cash in and
// out, FN registration and closing, FN queries, the read-out of archived documents and the
// marking-code commands. Each document is built wholly in register memory, then stored in the
// FN and committed to the state file in one step.
#include "FiscalCommandsImpl.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sstream>

namespace emu {

namespace fiscal {

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

void Slip::Print() {
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
        if (r.kind == 3) {
            t.PutBack(r.printed);
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
    // A register set to cut by itself (table 1, field 7: 1 partial, 2 full) does so after
    // each of its documents.
    if (const int64_t autoCut = reg_.Tables().GetInt(1, 1, 7))
        t.Cut(autoCut == 2);
}

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
uint8_t DocumentReady(Register& reg) {
    const FiscalStorage& fn = Fn(reg);
    const FnDocument* last = fn.Document(fn.LastDocNumber());
    if (last && int64_t(reg.Now()) < last->time)
        return kBadDateTime;
    return PrintReady(reg);
}

std::string TakeDraftTags(FiscalStorage& fn, std::vector<uint16_t> skip) {
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

uint8_t NoReceiptOpen(const Register& reg) {
    if (uint8_t r = NotReading(reg))
        return r;
    return reg.ReceiptType() >= 0 ? rc::ReceiptOpen : rc::Ok;
}

uint8_t FiscalNoReceipt(Register& reg) {
    if (uint8_t r = NoReceiptOpen(reg))
        return r;
    return Fn(reg).Fiscalized() ? rc::Ok : rc::FnState;
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

} // namespace fiscal

using namespace fiscal;

namespace {

CommandRule Exact(size_t n) {
    CommandRule s;
    s.minLen = n;
    s.maxLen = n;
    return s;
}

CommandRule Between(size_t min, size_t max) {
    CommandRule s;
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

bool ParseOutcome(const std::string& w, KmOutcome& out) {
    if (w == "VALID")
        out = KmOutcome::Valid;
    else if (w == "INVALID")
        out = KmOutcome::Invalid;
    else if (w == "NOANSWER")
        out = KmOutcome::NoAnswer;
    else
        return false;
    return true;
}

// The control words of the fiscal part: the OFD's verdicts on marking codes, the OFD taking
// documents from the queue, and the FN's status in one line.
void AddFiscalControls(Register& reg, FiscalStorage* fn) {
    reg.AddControlCommand(
        "MARK",
        "MARK CODE|hex:HEX VALID|INVALID|NOANSWER [TRYAGAIN] | "
        "MARK DEFAULT VALID|INVALID|NOANSWER | MARK CLEAR",
        [fn](const ControlLine& l) -> std::string {
            if (l.Upper(1) == "CLEAR" && l.Size() == 2) {
                fn->Km().ClearSettings();
                return "OK";
            }
            KmOutcome outcome = KmOutcome::Valid;
            long long tries = 0;
            if (l.Size() < 3 || l.Size() > 4 || !ParseOutcome(l.Upper(2), outcome) ||
                !l.Number(3, 0, &tries) || tries < 0 || tries > 1000)
                return "";
            if (l.Upper(1) == "DEFAULT" && l.Size() == 3) {
                fn->Km().SetDefaultOutcome(outcome);
                return "OK";
            }
            std::string code = l.words[1];
            if (l.Upper(1).rfind("HEX:", 0) == 0 && !HexToBytes(l.words[1].substr(4), &code))
                return "ERR bad hexadecimal code";
            if (code.empty() || code.size() > 255)
                return "ERR a code is 1 to 255 bytes";
            fn->Km().SetOutcome(code, outcome, int(tries));
            return "OK";
        });
    reg.AddControlCommand("OFD", "OFD ACK N|ALL", [fn](const ControlLine& l) -> std::string {
        long long n = 0;
        if (l.Size() != 3 || l.Upper(1) != "ACK")
            return "";
        if (l.Upper(2) == "ALL")
            n = fn->UnsentCount();
        else if (!l.Number(2, 0, &n) || n < 0)
            return "";
        fn->AcknowledgeOfd(uint32_t(std::min<long long>(n, fn->UnsentCount())));
        return "OK " + std::to_string(fn->UnsentCount());
    });
    reg.AddControlCommand("FN", "FN", [fn](const ControlLine& l) -> std::string {
        if (l.Size() != 1)
            return "";
        std::ostringstream o;
        const FnDocument* first = fn->FirstUnsent();
        o << "OK phase=" << int(fn->GetPhase()) << " ffd=" << fn->Ffd()
          << " docs=" << fn->LastDocNumber() << " shift=" << fn->ShiftNumber()
          << " open=" << (fn->ShiftOpen() ? 1 : 0) << " receipts=" << fn->ReceiptNumber()
          << " unsent=" << fn->UnsentCount() << " first_unsent=" << (first ? first->number : 0)
          << " km_checked=" << fn->Km().Count();
        return o.str();
    });
}

} // namespace

void RegisterFiscalCommands(Register& reg, Dispatcher& d, const Options& opt) {
    auto fn = std::make_shared<FiscalStorage>(opt.ffd, int64_t(reg.Now()));
    reg.SetFiscalStorage(fn);
    // The register's format setting follows the FN it was started with.
    reg.Tables().SetInt(17, 1, 17, FiscalStorage::FfdCodeOf(fn->Ffd()));
    FiscalStorage* raw = fn.get();
    reg.AddStateSection(
        "fn", [raw] { return raw->Serialize(); },
        [raw](std::string_view data) { raw->LoadImage(data); });
    AddFiscalControls(reg, raw);

    auto ctx = std::make_shared<Ctx>();
    auto cmds = std::make_shared<Commands>(ctx);
    using M = Answer (Commands::*)(Register&, std::string_view) const;
    auto add = [&d, cmds](uint16_t code, CommandRule rule, M m) {
        d.RegisterCommand(code, rule, [cmds, m](Register& r, std::string_view data) {
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
