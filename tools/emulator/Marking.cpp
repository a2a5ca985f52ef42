#include "Marking.h"

#include "Tlv.h"

namespace emu {

namespace {
constexpr uint8_t kOk = 0;
constexpr uint8_t kBadFormat = 1;
constexpr uint8_t kBadParams = 9;
constexpr uint8_t kSequence = 161;

// Bits of the check result (2106) and of the processing result (2005).
constexpr uint8_t kCheckedByFn = 0x01;
constexpr uint8_t kFnPositive = 0x02;
constexpr uint8_t kCheckedByOfd = 0x04;
constexpr uint8_t kOfdPositive = 0x08;
} // namespace

uint8_t ParseKmRequest(std::string_view data, KmRequest& out) {
    if (data.size() < 4)
        return kBadFormat;
    const size_t codeLen = uint8_t(data[2]);
    const size_t tlvLen = uint8_t(data[3]);
    if (data.size() != 4 + codeLen + tlvLen)
        return kBadFormat;
    if (codeLen == 0)
        return kBadParams;
    out.plannedStatus = uint8_t(data[0]);
    out.mode = uint8_t(data[1]);
    out.code = std::string(data.substr(4, codeLen));
    out.tlv = std::string(data.substr(4 + codeLen, tlvLen));
    const bool statusOk = (out.plannedStatus >= 1 && out.plannedStatus <= 4) ||
                          out.plannedStatus == 255; // 255: status unchanged
    if (!statusOk || out.mode != 0)
        return kBadParams;
    if (!out.tlv.empty() && !TlvValidate(out.tlv))
        return kBadParams;
    return kOk;
}

uint8_t KmType(std::string_view code) {
    // A GS1 DataMatrix code starts with the GTIN application identifier and carries a
    // serial (21) and the check key (91/92); short codes and unknown forms are told apart
    // by length only, as the FN does without the OFD.
    const bool gs1 = code.size() >= 18 && code.substr(0, 2) == "01";
    if (gs1 && code.find('\x1d') != std::string_view::npos)
        return 5;
    if (gs1)
        return 3;
    if (code.size() == 29)
        return 1;
    if (code.size() == 14)
        return 2;
    return 0;
}

std::string KmCheckAnswer(const KmRequest& req, KmOutcome outcome, int64_t now) {
    uint8_t local = kCheckedByFn; // the FN looked at the code
    uint8_t requestStatus = 0;    // 0: the OFD answered
    uint8_t result = 0;
    TlvWriter tlv;
    switch (outcome) {
    case KmOutcome::Valid:
        local |= kFnPositive;
        result = kCheckedByFn | kFnPositive | kCheckedByOfd | kOfdPositive;
        break;
    case KmOutcome::Invalid:
        result = kCheckedByFn | kCheckedByOfd;
        break;
    case KmOutcome::NoAnswer:
        local |= kFnPositive;
        requestStatus = 1;
        result = kCheckedByFn | kFnPositive;
        break;
    }
    if (outcome != KmOutcome::NoAnswer) {
        tlv.Byte(2005, result);
        tlv.Byte(2100, KmType(req.code));
        tlv.Byte(2105, 0);                                   // the request was processed
        tlv.Byte(2109, outcome == KmOutcome::Valid ? 1 : 2); // planned status fits
    } else {
        tlv.Byte(2100, KmType(req.code));
    }
    tlv.Time(2114, now);

    std::string block;
    block.push_back(char(requestStatus));
    block.push_back(char(result));
    block += tlv.Data();

    std::string out;
    out.push_back(char(local));
    out.push_back(0); // reason of a negative local check (none here)
    out.push_back(0); // reserved
    out.push_back(char(block.size()));
    out += block;
    return out;
}

void Marking::SetOutcome(const std::string& code, KmOutcome outcome, int tryAgain) {
    settings_[code] = Setting{outcome, tryAgain < 0 ? 0 : tryAgain};
}

void Marking::ClearSettings() {
    settings_.clear();
    default_ = KmOutcome::Valid;
}

bool Marking::TakeTryAgain(const std::string& code) {
    auto it = settings_.find(code);
    if (it == settings_.end() || it->second.tryAgain <= 0)
        return false;
    --it->second.tryAgain;
    return true;
}

KmOutcome Marking::OutcomeOf(const std::string& code) const {
    auto it = settings_.find(code);
    return it == settings_.end() ? default_ : it->second.outcome;
}

bool Marking::AddChecked(const std::string& code, KmOutcome outcome, uint8_t plannedStatus) {
    if (table_.count(code) == 0 && table_.size() >= kTableSize)
        return false;
    table_[code] = Entry{outcome, State::Checked, plannedStatus};
    last_ = code;
    return true;
}

uint8_t Marking::Decide(uint8_t action) {
    if (action == 2) {
        Clear();
        return kOk;
    }
    if (action > 2)
        return kBadParams;
    auto it = table_.find(last_);
    if (last_.empty() || it == table_.end())
        return kSequence;
    it->second.state = action == 1 ? State::Accepted : State::Rejected;
    return kOk;
}

bool Marking::Bindable(const std::string& code) const {
    auto it = table_.find(code);
    if (it == table_.end())
        return false;
    switch (it->second.state) {
    case State::Accepted:
        return true;
    case State::Rejected:
        return false;
    case State::Checked:
        // Without an explicit decision a code the check did not refuse is taken.
        return it->second.outcome != KmOutcome::Invalid;
    }
    return false;
}

const Marking::Entry* Marking::Find(const std::string& code) const {
    auto it = table_.find(code);
    return it == table_.end() ? nullptr : &it->second;
}

void Marking::Restore(std::map<std::string, Entry> table, std::string last) {
    table_ = std::move(table);
    last_ = table_.count(last) ? std::move(last) : std::string();
}

void Marking::Clear() {
    table_.clear();
    last_.clear();
}

} // namespace emu
