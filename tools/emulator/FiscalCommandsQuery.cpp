// FN queries, the read-out of archived documents and the marking-code commands.
#include "FiscalCommandsImpl.h"

#include <algorithm>
#include <ctime>

namespace emu::fiscal {

Answer Commands::Status(Register& reg, std::string_view) const {
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

uint8_t Commands::WarningFlags(const Register& reg) {
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

Answer Commands::Validity(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    std::string out;
    out.push_back(char(fn.ValidYear() % 100));
    out.push_back(char(fn.ValidMonth()));
    out.push_back(char(fn.ValidDay()));
    out.push_back(char(std::max(0, 30 - fn.Registrations()))); // registrations left
    out.push_back(char(fn.Registrations()));
    return Ok(out);
}

Answer Commands::Version(Register& reg, std::string_view) const {
    const int ffd = Fn(reg).Ffd();
    const char* text = ffd == 120 ? "FN-1.2 v.27" : ffd == 110 ? "FN-1.1 v.22" : "FN-1.0 v.19";
    std::string out = Padded(text, 16);
    out.push_back(1); // a production FN, not a debugging one
    return Ok(out);
}

Answer Commands::FiscalizationTotals(Register& reg, std::string_view) const {
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

Answer Commands::ExchangeStatus(Register& reg, std::string_view) const {
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

Answer Commands::ShiftParams(Register& reg, std::string_view) const {
    FiscalStorage& fn = Fn(reg);
    std::string out;
    out.push_back(char(fn.ShiftOpen() ? 1 : 0));
    PutLE(out, fn.ShiftNumber(), 2);
    PutLE(out, fn.ReceiptNumber(), 2);
    return Ok(out);
}

Answer Commands::RequestDocument(Register& reg, std::string_view data) const {
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

Answer Commands::ReadDocument(Register& reg, std::string_view) const {
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

uint8_t Commands::MarkingAllowed(Register& reg) const {
    FiscalStorage& fn = Fn(reg);
    if (fn.FfdCode() < 4)
        return rc::NotSupported;
    if (!fn.Fiscalized())
        return rc::FnState;
    if ((fn.Registration().extMode & 0x10) == 0)
        return kMarkingOff;
    return rc::Ok;
}

Answer Commands::CheckCode(Register& reg, std::string_view data) const {
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
    Persist(reg);
    return Ok(KmCheckAnswer(req, outcome, reg.Now()));
}

Answer Commands::BindCode(Register& reg, std::string_view data) const {
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

Answer Commands::DecideCode(Register& reg, std::string_view data) const {
    if (uint8_t r = MarkingAllowed(reg))
        return Fail(r);
    const uint8_t r = Fn(reg).Km().Decide(uint8_t(data[0]));
    if (r == rc::Ok)
        Persist(reg);
    return Answer{r, {}};
}

Answer Commands::MarkingStatus(Register& reg, std::string_view) const {
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

} // namespace emu::fiscal
