// The fiscal storage (FN) of the emulated register: its phase, counters, registration, the
// archive of fiscal documents (each a TLV list, numbered and signed), the queue of documents
// not yet sent to the OFD, the read-out of archived documents, and the table of checked
// marking codes. The register's fiscal commands (FiscalCommands.cpp) drive it.
//
// Not thread-safe on its own: it lives inside a Register and is used under its mutex.
#pragma once

#include "Marking.h"
#include "Tlv.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// Fiscal document types as the FN numbers them.
namespace doc {
constexpr uint16_t Registration = 1;
constexpr uint16_t ShiftOpen = 2;
constexpr uint16_t Receipt = 3;
constexpr uint16_t ShiftClose = 5;
constexpr uint16_t FnClose = 6;
constexpr uint16_t Reregistration = 11;
constexpr uint16_t SettlementReport = 21;
constexpr uint16_t Correction = 31;
} // namespace doc

struct FnDocument {
    uint32_t number = 0;
    uint16_t type = 0;
    int64_t time = 0; // register time, seconds since 1970 without a zone
    uint32_t fiscalSign = 0;
    bool marked = false; // a receipt that sold marked goods (a notification for the OFD)
    std::string tlv;     // the document's items, as read back by 0xFF3B
};

// What the last registration or re-registration fixed.
struct FnRegistration {
    std::string inn; // 12 characters, blank padded
    std::string rnm; // 20 characters, blank padded
    uint8_t taxMask = 0;
    uint8_t workMode = 0;
    uint8_t extMode = 0;
    uint8_t ffdCode = 0; // tag 1209: 2 = 1.05, 3 = 1.1, 4 = 1.2
    uint32_t reasons = 0;
    std::string ofdInn; // 12 characters
    uint32_t docNumber = 0;
    int64_t time = 0;
};

// An item of the receipt being formed.
struct ReceiptItem {
    uint8_t operation = 1; // 1 income, 2 income return, 3 expense, 4 expense return
    uint64_t quantity = 0; // millionths
    uint64_t price = 0;    // kopecks
    uint64_t sum = 0;      // kopecks
    uint64_t vat = 0;      // kopecks
    uint8_t taxNumber = 0; // 1..6, 0 for none
    uint8_t department = 0;
    uint8_t method = 0;  // 1214
    uint8_t subject = 0; // 1212
    std::string name;    // cp866
    std::vector<TlvItem> tags;
    bool marked = false;
    uint64_t tapeMark = 0; // the tape's position once the item was registered
};

// The document the register is forming (register memory: lost on a power loss).
struct FnDraft {
    uint16_t docType = 0;      // 0: none begun
    int receiptType = -1;      // the 0x8D type while a receipt is open
    std::vector<TlvItem> tags; // document-level requisites received
    std::vector<ReceiptItem> items;
    uint64_t tapeMark = 0; // the tape's position when the receipt was opened
    void Reset() { *this = FnDraft{}; }
};

class FiscalStorage {
public:
    enum Phase : uint8_t {
        Ready = 0x01,      // not fiscalized yet
        Fiscal = 0x03,     // registered
        PostFiscal = 0x07, // closed: only the archive can be read
    };

    // `ffd`: the FN's format version, 105, 110 or 120. `made`: register time of its making,
    // from which the validity date follows.
    explicit FiscalStorage(int ffd = 120, int64_t made = 0);

    // --- identity and life cycle --------------------------------------------------------
    int Ffd() const { return ffd_; }
    // Format version code in force: that of the registration, else the FN's own.
    uint8_t FfdCode() const;
    static uint8_t FfdCodeOf(int ffd);
    const std::string& Serial() const { return serial_; }
    Phase GetPhase() const { return phase_; }
    bool Fiscalized() const { return phase_ == Fiscal; }
    int ValidYear() const { return validYear_; }
    int ValidMonth() const { return validMonth_; }
    int ValidDay() const { return validDay_; }
    const FnRegistration& Registration() const { return reg_; }
    int Registrations() const { return registrations_; }
    // State changes that go with the registration and closing documents.
    void SetRegistered(const FnRegistration& r);
    void SetClosed() { phase_ = PostFiscal; }

    // --- counters -----------------------------------------------------------------------
    uint32_t LastDocNumber() const { return lastDoc_; }
    uint32_t ShiftNumber() const { return shiftNumber_; }
    bool ShiftOpen() const { return shiftOpen_; }
    int64_t ShiftOpenedAt() const { return shiftOpenedAt_; }
    uint32_t ReceiptNumber() const { return receiptNumber_; } // receipts in the shift
    uint32_t DocsInShift() const { return docsInShift_; }
    void SetShiftOpen(int64_t at);
    void SetShiftClosed();
    uint32_t NextReceiptNumber() { return ++receiptNumber_; }

    // --- the archive --------------------------------------------------------------------
    // Numbers a wholly built document, adds the FN's own items (number, time, FN number,
    // user INN and register number once registered) around `body`, signs it and stores it.
    const FnDocument& AddDocument(uint16_t type, int64_t time, std::string_view body,
                                  bool marked = false);
    const FnDocument* Document(uint32_t number) const;
    const std::vector<FnDocument>& Archive() const { return archive_; }

    // --- the OFD queue ------------------------------------------------------------------
    uint32_t UnsentCount() const { return lastDoc_ - lastSent_; }
    const FnDocument* FirstUnsent() const;
    uint32_t UnsentNotifications() const; // unsent receipts with marked goods
    // The OFD confirmed the oldest `count` unsent documents (control interface).
    void AcknowledgeOfd(uint32_t count);

    // --- reading a document back ----------------------------------------------------------
    // Starts the read-out of document `number`; result 8 when there is none.
    uint8_t BeginRead(uint32_t number, uint16_t& type, uint16_t& length);
    bool Reading() const { return reading_; }
    // The next top-level item; false (and the read-out ends) when none is left.
    bool ReadNext(std::string& item);
    void StopRead();

    // --- register memory (not kept in the state file) ------------------------------------
    FnDraft& Draft() { return draft_; }
    const FnDraft& Draft() const { return draft_; }
    // The checked marking codes (kept in the state file) and the control interface's
    // verdicts (not kept).
    Marking& Km() { return km_; }
    const Marking& Km() const { return km_; }
    // Status bytes of FF01 for the document being formed.
    uint8_t CurrentDocumentCode() const;

    // --- the state file ------------------------------------------------------------------
    std::string Serialize() const;
    // Restores a Serialize() image; throws std::runtime_error on a damaged image and then
    // leaves the FN as it was.
    void Deserialize(std::string_view image);
    // Loading from the state file: a damaged image does not throw; the FN then keeps it
    // untouched (Serialize gives it back as it was, so nothing of the archive is lost) and
    // reports a failure of the FN to every command. `err` gets the reason.
    bool LoadImage(std::string_view image, std::string* err = nullptr);
    bool Damaged() const { return !damaged_.empty(); }

    // Deterministic fiscal sign of a document's bytes.
    uint64_t Sign(uint32_t number, std::string_view bytes) const;

private:
    int ffd_ = 120;
    std::string serial_;
    Phase phase_ = Ready;
    int validYear_ = 0, validMonth_ = 0, validDay_ = 0;
    FnRegistration reg_;
    int registrations_ = 0;
    uint32_t lastDoc_ = 0;
    uint32_t lastSent_ = 0;
    uint32_t shiftNumber_ = 0;
    bool shiftOpen_ = false;
    int64_t shiftOpenedAt_ = 0;
    uint32_t receiptNumber_ = 0;
    uint32_t docsInShift_ = 0;
    std::vector<FnDocument> archive_;

    std::string damaged_; // the image that could not be read, kept as it was

    // transient
    FnDraft draft_;
    Marking km_;
    bool reading_ = false;
    uint32_t readDoc_ = 0;
    size_t readPos_ = 0;
};

} // namespace emu
