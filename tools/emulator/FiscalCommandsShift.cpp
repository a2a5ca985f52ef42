// Shifts, reports and the FN life cycle: opening and closing the shift, the X report, the
// report on the state of settlements, registration, re-registration and closing the FN.
#include "FiscalCommandsImpl.h"

#include <algorithm>

namespace emu::fiscal {

void Commands::Commit(Register& reg) const {
    if (ctx_->commit)
        reg.Commit();
}

void Commands::Persist(Register& reg) const {
    if (ctx_->commit)
        reg.SaveState(nullptr);
}

Answer Commands::BeginShiftOpen(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = NotReading(reg))
        return Fail(r);
    if (!fn.Fiscalized() || fn.ShiftOpen())
        return Fail(rc::FnState);
    fn.Draft().Reset();
    fn.Draft().docType = doc::ShiftOpen;
    return Ok();
}

Answer Commands::OpenShift(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = NotReading(reg))
        return Fail(r);
    if (!fn.Fiscalized())
        return Fail(rc::FnState);
    if (reg.ShiftIsOpen() || fn.ShiftOpen())
        return Fail(rc::ShiftOpen);
    if (uint8_t r = DocumentReady(reg))
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

void Commands::ReportTotals(Register& reg, Slip& s) const {
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
    s.Line(W("НАЛИЧНЫХ В КАССЕ"), Money(uint64_t(std::max<int64_t>(reg.CashReg(241), 0))), true);
}

Answer Commands::XReport(Register& reg, std::string_view) const {
    if (uint8_t r = NoReceiptOpen(reg))
        return Fail(r);
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

Answer Commands::BeginShiftClose(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = NoReceiptOpen(reg))
        return Fail(r);
    if (!fn.Fiscalized() || !fn.ShiftOpen())
        return Fail(rc::FnState);
    fn.Draft().Reset();
    fn.Draft().docType = doc::ShiftClose;
    return Ok();
}

Answer Commands::CloseShift(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = FiscalNoReceipt(reg))
        return Fail(r);
    if (!reg.ShiftIsOpen() || !fn.ShiftOpen())
        return Fail(rc::WrongMode);
    if (uint8_t r = DocumentReady(reg))
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

Answer Commands::BeginSettlementReport(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = FiscalNoReceipt(reg))
        return Fail(r);
    fn.Draft().Reset();
    fn.Draft().docType = doc::SettlementReport;
    return Ok();
}

Answer Commands::SettlementReport(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = FiscalNoReceipt(reg))
        return Fail(r);
    if (uint8_t r = DocumentReady(reg))
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

Answer Commands::BeginRegistration(Register& reg, std::string_view data) const {
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

bool Commands::DigitsAndBlanks(std::string_view s, size_t minDigits) {
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
uint8_t Commands::Registration(Register& reg, std::string_view data, bool rereg, uint8_t reason,
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
    if (uint8_t p = DocumentReady(reg))
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

Answer Commands::Register6(Register& reg, std::string_view data) const {
    uint32_t number = 0;
    if (uint8_t r = Registration(reg, data, false, 0, number))
        return Fail(r);
    Commit(reg);
    return Ok(SignAnswer(*Fn(reg).Document(number)));
}

Answer Commands::Reregister(Register& reg, std::string_view data) const {
    uint32_t number = 0;
    if (uint8_t r = Registration(reg, data, true, uint8_t(data[34]), number))
        return Fail(r);
    Commit(reg);
    return Ok(SignAnswer(*Fn(reg).Document(number)));
}

Answer Commands::CloseFn(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = FiscalNoReceipt(reg))
        return Fail(r);
    if (reg.ShiftIsOpen() || fn.ShiftOpen())
        return Fail(rc::ShiftOpen);
    if (uint8_t r = DocumentReady(reg))
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

} // namespace emu::fiscal
