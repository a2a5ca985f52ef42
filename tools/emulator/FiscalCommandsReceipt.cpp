// Receipts: opening, items with the sums and VAT the register computes, requisites of the
// document and of the item, closing with the payments, voiding; the older correction
// receipt; cash in and out.
#include "FiscalCommandsImpl.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace emu::fiscal {

// The tape's absolute position (elements printed so far).
static uint64_t TapePosition(Register& reg) {
    return reg.Paper().Dropped() + reg.Paper().Size();
}

// Operation type of the items (1054) that a receipt of a 0x8D type takes.
uint8_t Commands::OperationOf(int receiptType) {
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

Answer Commands::OpenReceipt(Register& reg, std::string_view data) const {
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
    fn.Draft().tapeMark = TapePosition(reg);
    reg.SetReceiptType(type);
    return Ok();
}

Answer Commands::RegisterItem(Register& reg, std::string_view data) const {
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
        // price * quantity needs 128 bits; __int128 is a compiler extension.
        __extension__ typedef unsigned __int128 Wide;
        const Wide s = (Wide(it.price) * it.quantity + 500000) / 1000000;
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
    it.tapeMark = TapePosition(reg);
    draft.items.push_back(std::move(it));
    return Ok();
}

// VAT included in `sum` at the rate of tax number n, rounded to the kopeck.
uint64_t Commands::VatOf(uint64_t sum, uint8_t n) {
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
uint8_t Commands::RateCode(uint8_t n) {
    static const uint8_t codes[] = {6, 1, 2, 5, 6, 3, 4};
    return n <= 6 ? codes[n] : 6;
}

uint8_t Commands::CheckTlvCommand(std::string_view data, TlvItem& item) const {
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

Answer Commands::SetDocumentTag(Register& reg, std::string_view data) const {
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

Answer Commands::SetItemTag(Register& reg, std::string_view data) const {
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
void Commands::AddReceiptRegisters(Register& reg, int receiptType, const uint64_t pay[5],
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
int64_t Commands::DrawerSign(int receiptType) {
    const int kind = receiptType & 3;
    return kind == 0 || kind == 3 ? 1 : -1; // income and expense return bring cash in
}

uint8_t Commands::TaxSystem(const FiscalStorage& fn, uint8_t given, uint8_t& out) const {
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

const char* Commands::ReceiptKind(int receiptType) {
    static const char* kinds[] = {"ПРИХОД", "РАСХОД", "ВОЗВРАТ ПРИХОДА", "ВОЗВРАТ РАСХОДА"};
    return kinds[receiptType & 3];
}

// The correction's basis: 1177, 1178, 1179 go into one structure 1174.
void Commands::CorrectionBasis(const FiscalStorage& fn, TlvWriter& body) {
    if (const TlvItem* t = DraftTag(fn, 1173))
        body.Item(*t);
    TlvWriter basis;
    for (uint16_t tag : {1177, 1178, 1179})
        if (const TlvItem* t = DraftTag(fn, tag))
            basis.Item(*t);
    if (!basis.Empty())
        body.Stlv(1174, basis);
}

Answer Commands::CloseReceipt(Register& reg, std::string_view data) const {
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
    if (uint8_t r = DocumentReady(reg))
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
    // What the receipt printed while it was open (texts, codes, pictures between the
    // items) goes on the paper in its place among the receipt's lines.
    const uint64_t openMark = draft.tapeMark;
    std::vector<TapeElement> printed;
    if (PrintOn(reg))
        printed = reg.Paper().TakeFrom(openMark);
    auto PrintedBetween = [&](uint64_t from, uint64_t to) {
        std::vector<TapeElement> part;
        for (uint64_t i = from; i < to && i - openMark < printed.size(); ++i)
            part.push_back(printed[size_t(i - openMark)]);
        return part;
    };
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
        const uint64_t endMark = openMark + printed.size();
        s.Printed(PrintedBetween(openMark, items.empty() ? endMark : items[0].tapeMark));
        for (size_t n = 0; n < items.size(); ++n) {
            const ReceiptItem& it = items[n];
            s.Line(Cp866ToCp1251(it.name));
            s.Line("  " + Quantity(it.quantity) + " x " + Money(it.price), "=" + Money(it.sum));
            if (it.taxNumber == 1 || it.taxNumber == 5)
                s.Line(W("  НДС 20%"), Money(it.vat));
            else if (it.taxNumber == 2 || it.taxNumber == 6)
                s.Line(W("  НДС 10%"), Money(it.vat));
            if (it.marked)
                s.Line(W("  [М]"));
            s.Printed(PrintedBetween(it.tapeMark,
                                     n + 1 < items.size() ? items[n + 1].tapeMark : endMark));
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

Answer Commands::VoidReceipt(Register& reg, std::string_view) const {
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

Answer Commands::Cash(Register& reg, std::string_view data, bool in) const {
    if (uint8_t r = NoReceiptOpen(reg))
        return Fail(r);
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

Answer Commands::BeginCorrection(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = FiscalNoReceipt(reg))
        return Fail(r);
    if (!reg.ShiftIsOpen())
        return Fail(rc::WrongMode);
    fn.Draft().Reset();
    fn.Draft().docType = doc::Correction;
    return Ok();
}

Answer Commands::Correction(Register& reg, std::string_view data) const {
    FiscalStorage& fn = Fn(reg);
    if (uint8_t r = FiscalNoReceipt(reg))
        return Fail(r);
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
    if (uint8_t r = DocumentReady(reg))
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

} // namespace emu::fiscal
