// Marking codes (format 1.2): the FN's check of a code with the OFD, its table of checked
// codes, and what the control interface sets as the OFD's verdict per code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace emu {

// The OFD's verdict on a code, as the control interface sets it.
enum class KmOutcome : uint8_t {
    Valid,    // checked by the FN and confirmed by the OFD
    Invalid,  // the FN's check fails and the OFD confirms the code is not valid
    NoAnswer, // the FN checks the code, the OFD does not answer
};

// A check request (data of 0xFF61).
struct KmRequest {
    uint8_t plannedStatus = 0; // tag 2003
    uint8_t mode = 0;
    std::string code;
    std::string tlv; // 2108, 1291, 1023 for items sold by measure
};

// Parses the data of 0xFF61; returns the result code (0 when it is well formed).
uint8_t ParseKmRequest(std::string_view data, KmRequest& out);

// Type of a code (tag 2100) as the FN recognises it from its form.
uint8_t KmType(std::string_view code);

// Answer data of 0xFF61 for a verdict: local result byte, reserved bytes, the answer block
// length and the block (request status, check result, TLV 2005/2100/2105/2109/2114).
std::string KmCheckAnswer(const KmRequest& req, KmOutcome outcome, int64_t now);

// The FN's table of checked codes and the per-code settings of the control interface.
class Marking {
public:
    static constexpr size_t kTableSize = 128; // codes a receipt may hold at most

    enum class State : uint8_t { Checked, Accepted, Rejected };
    struct Entry {
        KmOutcome outcome = KmOutcome::Valid;
        State state = State::Checked;
        uint8_t plannedStatus = 0;
    };

    // --- control interface
    // Verdict for one code; `tryAgain` checks of it are first answered with result 4.
    void SetOutcome(const std::string& code, KmOutcome outcome, int tryAgain = 0);
    void SetDefaultOutcome(KmOutcome outcome) { default_ = outcome; }
    void ClearSettings();

    // --- the FN side
    // True (and counts it down) when this check must be answered "try again".
    bool TakeTryAgain(const std::string& code);
    KmOutcome OutcomeOf(const std::string& code) const;
    // Records a finished check; false when the table is full.
    bool AddChecked(const std::string& code, KmOutcome outcome, uint8_t plannedStatus);
    // 0xFF69: 1 accepts, 0 rejects the code checked last; 2 empties the table.
    uint8_t Decide(uint8_t action);
    // The code may be bound to an item: it was checked and not refused.
    bool Bindable(const std::string& code) const;
    const Entry* Find(const std::string& code) const;
    const std::string& LastChecked() const { return last_; }
    size_t Count() const { return table_.size(); }
    // Forget every checked code (table cleared, e.g. after the receipt took them).
    void Clear();
    // The table lives in the FN: it is saved and restored with the FN's image.
    const std::map<std::string, Entry>& Table() const { return table_; }
    void Restore(std::map<std::string, Entry> table, std::string last);

private:
    struct Setting {
        KmOutcome outcome = KmOutcome::Valid;
        int tryAgain = 0;
    };
    std::map<std::string, Setting> settings_;
    KmOutcome default_ = KmOutcome::Valid;
    std::map<std::string, Entry> table_;
    std::string last_;
};

} // namespace emu
