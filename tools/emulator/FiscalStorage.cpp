#include "FiscalStorage.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <stdexcept>

namespace emu {

namespace {

constexpr char kMagic[] = "KFN1";
constexpr uint8_t kNotFound = 8;

// Little-endian image writer and a bounds-checked reader for the state file.
class Out {
public:
    void U(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            s.push_back(char((v >> (8 * i)) & 0xFF));
    }
    void Str(std::string_view v) {
        U(v.size(), 4);
        s.append(v);
    }
    std::string s;
};

class In {
public:
    explicit In(std::string_view d) : d_(d) {}
    uint64_t U(int bytes) {
        Need(size_t(bytes));
        uint64_t v = 0;
        for (int i = bytes; i-- > 0;)
            v = (v << 8) | uint8_t(d_[pos_ + size_t(i)]);
        pos_ += size_t(bytes);
        return v;
    }
    std::string Str() {
        const size_t n = size_t(U(4));
        Need(n);
        std::string v(d_.substr(pos_, n));
        pos_ += n;
        return v;
    }
    bool End() const { return pos_ == d_.size(); }

private:
    void Need(size_t n) const {
        if (d_.size() - pos_ < n)
            throw std::runtime_error("FN image cut short");
    }
    std::string_view d_;
    size_t pos_ = 0;
};

int64_t S64(uint64_t v) {
    return int64_t(v);
}

} // namespace

FiscalStorage::FiscalStorage(int ffd, int64_t made) : ffd_(ffd) {
    if (ffd_ != 105 && ffd_ != 110 && ffd_ != 120)
        ffd_ = 120;
    // The FN number tells the FN's generation, as on the FN's own label.
    serial_ = ffd_ == 120   ? "7380440700012345"
              : ffd_ == 110 ? "9289440300012345"
                            : "9999078900012345";
    const time_t t = time_t(made);
    std::tm tm{};
    gmtime_r(&t, &tm);
    validYear_ = tm.tm_year + 1900 + 3; // a 36-month FN
    validMonth_ = tm.tm_mon + 1;
    validDay_ = tm.tm_mday > 28 ? 28 : tm.tm_mday;
}

uint8_t FiscalStorage::FfdCodeOf(int ffd) {
    return ffd == 105 ? 2 : ffd == 110 ? 3 : 4;
}

uint8_t FiscalStorage::FfdCode() const {
    return reg_.ffdCode ? reg_.ffdCode : FfdCodeOf(ffd_);
}

void FiscalStorage::SetRegistered(const FnRegistration& r) {
    reg_ = r;
    phase_ = Fiscal;
    ++registrations_;
}

void FiscalStorage::SetShiftOpen(int64_t at) {
    ++shiftNumber_;
    shiftOpen_ = true;
    shiftOpenedAt_ = at;
    receiptNumber_ = 0;
    docsInShift_ = 0;
}

void FiscalStorage::SetShiftClosed() {
    shiftOpen_ = false;
}

uint64_t FiscalStorage::Sign(uint32_t number, std::string_view bytes) const {
    // FNV-1a over the FN number, the document number and the document: the same document
    // in the same FN always gets the same sign.
    uint64_t h = 0xcbf29ce484222325ULL;
    auto mix = [&h](std::string_view s) {
        for (char c : s) {
            h ^= uint8_t(c);
            h *= 0x100000001b3ULL;
        }
    };
    mix(serial_);
    mix(std::string_view(reinterpret_cast<const char*>(&number), sizeof number));
    mix(bytes);
    return h;
}

const FnDocument& FiscalStorage::AddDocument(uint16_t type, int64_t time, std::string_view body,
                                             bool marked) {
    FnDocument d;
    d.number = lastDoc_ + 1;
    d.type = type;
    d.time = time;
    d.marked = marked;
    TlvWriter w;
    w.Time(1012, time);
    w.U32(1040, d.number);
    w.Str(1041, serial_);
    const bool registering = type == doc::Registration || type == doc::Reregistration;
    if (phase_ != Ready && !registering) {
        w.Str(1018, reg_.inn);
        w.Str(1037, reg_.rnm);
    }
    w.Raw(body);
    const uint64_t sign = Sign(d.number, w.Data());
    d.fiscalSign = uint32_t(sign & 0xFFFFFFFFu);
    if (d.fiscalSign == 0)
        d.fiscalSign = 1;
    // The 6-byte sign field: two bytes of the message authentication, then the sign (BE).
    std::string fpd;
    fpd.push_back(char((sign >> 40) & 0xFF));
    fpd.push_back(char((sign >> 32) & 0xFF));
    for (int i = 3; i >= 0; --i)
        fpd.push_back(char((d.fiscalSign >> (8 * i)) & 0xFF));
    w.Bytes(1077, fpd);
    d.tlv = w.Data();
    archive_.push_back(std::move(d));
    lastDoc_ = archive_.back().number;
    if (shiftOpen_ || type == doc::ShiftClose)
        ++docsInShift_;
    return archive_.back();
}

const FnDocument* FiscalStorage::Document(uint32_t number) const {
    // Numbers run from 1 without gaps, so the number is the index.
    if (number == 0 || number > archive_.size())
        return nullptr;
    return &archive_[number - 1];
}

const FnDocument* FiscalStorage::FirstUnsent() const {
    return lastSent_ < lastDoc_ ? Document(lastSent_ + 1) : nullptr;
}

uint32_t FiscalStorage::UnsentNotifications() const {
    uint32_t n = 0;
    for (uint32_t i = lastSent_; i < archive_.size(); ++i)
        n += archive_[i].marked ? 1 : 0;
    return n;
}

void FiscalStorage::AcknowledgeOfd(uint32_t count) {
    lastSent_ = count >= UnsentCount() ? lastDoc_ : lastSent_ + count;
}

uint8_t FiscalStorage::BeginRead(uint32_t number, uint16_t& type, uint16_t& length) {
    const FnDocument* d = Document(number);
    if (!d)
        return kNotFound;
    type = d->type;
    length = uint16_t(d->tlv.size() > 0xFFFF ? 0xFFFF : d->tlv.size());
    reading_ = true;
    readDoc_ = number;
    readPos_ = 0;
    return 0;
}

bool FiscalStorage::ReadNext(std::string& item) {
    item.clear();
    const FnDocument* d = reading_ ? Document(readDoc_) : nullptr;
    if (!d || readPos_ + 4 > d->tlv.size()) {
        StopRead();
        return false;
    }
    const size_t len = size_t(TlvUint(std::string_view(d->tlv).substr(readPos_ + 2, 2)));
    const size_t end = std::min(d->tlv.size(), readPos_ + 4 + len);
    item = d->tlv.substr(readPos_, end - readPos_);
    readPos_ = end;
    return true;
}

void FiscalStorage::StopRead() {
    reading_ = false;
    readDoc_ = 0;
    readPos_ = 0;
}

uint8_t FiscalStorage::CurrentDocumentCode() const {
    switch (draft_.docType) {
    case doc::Registration:
        return 0x01;
    case doc::ShiftOpen:
        return 0x02;
    case doc::Receipt:
        return 0x04;
    case doc::ShiftClose:
        return 0x08;
    case doc::FnClose:
        return 0x10;
    case doc::Reregistration:
        return 0x12;
    case doc::Correction:
        return 0x14;
    case doc::SettlementReport:
        return 0x17;
    }
    return 0;
}

bool FiscalStorage::LoadImage(std::string_view image, std::string* err) {
    try {
        Deserialize(image);
        damaged_.clear();
        return true;
    } catch (const std::exception& e) {
        if (err)
            *err = e.what();
        damaged_ = image.empty() ? std::string(1, '\0') : std::string(image);
        return false;
    }
}

std::string FiscalStorage::Serialize() const {
    if (Damaged())
        return damaged_;
    Out o;
    o.s.append(kMagic, 4);
    o.U(uint64_t(ffd_), 2);
    o.Str(serial_);
    o.U(phase_, 1);
    o.U(uint64_t(validYear_), 2);
    o.U(uint64_t(validMonth_), 1);
    o.U(uint64_t(validDay_), 1);
    o.Str(reg_.inn);
    o.Str(reg_.rnm);
    o.U(reg_.taxMask, 1);
    o.U(reg_.workMode, 1);
    o.U(reg_.extMode, 1);
    o.U(reg_.ffdCode, 1);
    o.U(reg_.reasons, 4);
    o.Str(reg_.ofdInn);
    o.U(reg_.docNumber, 4);
    o.U(uint64_t(reg_.time), 8);
    o.U(uint64_t(registrations_), 2);
    o.U(lastDoc_, 4);
    o.U(lastSent_, 4);
    o.U(shiftNumber_, 4);
    o.U(shiftOpen_ ? 1 : 0, 1);
    o.U(uint64_t(shiftOpenedAt_), 8);
    o.U(receiptNumber_, 4);
    o.U(docsInShift_, 4);
    o.U(archive_.size(), 4);
    for (const FnDocument& d : archive_) {
        o.U(d.number, 4);
        o.U(d.type, 2);
        o.U(uint64_t(d.time), 8);
        o.U(d.fiscalSign, 4);
        o.U(d.marked ? 1 : 0, 1);
        o.Str(d.tlv);
    }
    // The table of checked marking codes.
    o.U(km_.Table().size(), 2);
    for (const auto& [code, e] : km_.Table()) {
        o.Str(code);
        o.U(uint8_t(e.outcome), 1);
        o.U(uint8_t(e.state), 1);
        o.U(e.plannedStatus, 1);
    }
    o.Str(km_.LastChecked());
    return o.s;
}

void FiscalStorage::Deserialize(std::string_view image) {
    if (image.size() < 4 || image.substr(0, 4) != std::string_view(kMagic, 4))
        throw std::runtime_error("not an FN image");
    In in(image.substr(4));
    FiscalStorage f(120, 0);
    f.ffd_ = int(in.U(2));
    if (f.ffd_ != 105 && f.ffd_ != 110 && f.ffd_ != 120)
        throw std::runtime_error("FN image: unknown format version");
    f.serial_ = in.Str();
    const uint8_t phase = uint8_t(in.U(1));
    if (phase != Ready && phase != Fiscal && phase != PostFiscal)
        throw std::runtime_error("FN image: unknown phase");
    f.phase_ = Phase(phase);
    f.validYear_ = int(in.U(2));
    f.validMonth_ = int(in.U(1));
    f.validDay_ = int(in.U(1));
    f.reg_.inn = in.Str();
    f.reg_.rnm = in.Str();
    f.reg_.taxMask = uint8_t(in.U(1));
    f.reg_.workMode = uint8_t(in.U(1));
    f.reg_.extMode = uint8_t(in.U(1));
    f.reg_.ffdCode = uint8_t(in.U(1));
    f.reg_.reasons = uint32_t(in.U(4));
    f.reg_.ofdInn = in.Str();
    f.reg_.docNumber = uint32_t(in.U(4));
    f.reg_.time = S64(in.U(8));
    f.registrations_ = int(in.U(2));
    f.lastDoc_ = uint32_t(in.U(4));
    f.lastSent_ = uint32_t(in.U(4));
    f.shiftNumber_ = uint32_t(in.U(4));
    f.shiftOpen_ = in.U(1) != 0;
    f.shiftOpenedAt_ = S64(in.U(8));
    f.receiptNumber_ = uint32_t(in.U(4));
    f.docsInShift_ = uint32_t(in.U(4));
    const uint64_t count = in.U(4);
    if (count != f.lastDoc_ || f.lastSent_ > f.lastDoc_)
        throw std::runtime_error("FN image: counters do not match the archive");
    for (uint64_t i = 0; i < count; ++i) {
        FnDocument d;
        d.number = uint32_t(in.U(4));
        d.type = uint16_t(in.U(2));
        d.time = S64(in.U(8));
        d.fiscalSign = uint32_t(in.U(4));
        d.marked = in.U(1) != 0;
        d.tlv = in.Str();
        if (d.number != i + 1)
            throw std::runtime_error("FN image: documents out of order");
        f.archive_.push_back(std::move(d));
    }
    std::map<std::string, Marking::Entry> table;
    const uint64_t codes = in.U(2);
    if (codes > Marking::kTableSize)
        throw std::runtime_error("FN image: too many checked codes");
    for (uint64_t i = 0; i < codes; ++i) {
        std::string code = in.Str();
        Marking::Entry e;
        const uint8_t outcome = uint8_t(in.U(1));
        const uint8_t state = uint8_t(in.U(1));
        if (outcome > uint8_t(KmOutcome::NoAnswer) || state > uint8_t(Marking::State::Rejected))
            throw std::runtime_error("FN image: bad checked code");
        e.outcome = KmOutcome(outcome);
        e.state = Marking::State(state);
        e.plannedStatus = uint8_t(in.U(1));
        table[std::move(code)] = e;
    }
    std::string last = in.Str();
    if (!in.End())
        throw std::runtime_error("FN image: trailing bytes");
    // The control interface's marking settings outlive a restart of the register.
    f.km_ = std::move(km_);
    f.km_.Restore(std::move(table), std::move(last));
    *this = std::move(f);
}

} // namespace emu
