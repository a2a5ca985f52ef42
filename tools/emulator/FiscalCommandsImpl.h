// The fiscal command set of the emulated register, shared by its source files: the result
// codes, the helpers for documents and their printing, and the handlers (class Commands).
// Internal to the fiscal part; RegisterFiscalCommands (EmuCore.h) is its public face.
#pragma once

#include "EmuCore.h"
#include "FiscalStorage.h"
#include "Tape.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace emu::fiscal {

// Result codes of the fiscal part (those not in rc::).
inline constexpr uint8_t kFnFailure = 3; // the FN does not work (its image is damaged)
inline constexpr uint8_t kTryAgain = 4;
inline constexpr uint8_t kBadDateTime =
    7; // earlier than the FN's last document      // the FN's check of a code: ask again
inline constexpr uint8_t kNoData = 8;        // nothing of that in the archive
inline constexpr uint8_t kForbiddenTag = 11; // a requisite the FN does not take here
inline constexpr uint8_t kItemLimit = 14;    // too many items in a receipt
inline constexpr uint8_t kTlvTooLong = 16;   // document data over the FN's limit
inline constexpr uint8_t kNotAsRegistered = 25;
inline constexpr uint8_t kPaymentShort = 69;
inline constexpr uint8_t kCashlessOver = 77;
inline constexpr uint8_t kNoCash = 70;
inline constexpr uint8_t kReceiptType = 73; // operation not possible in a receipt of this type
inline constexpr uint8_t kTotalOverflow = 72;
inline constexpr uint8_t kBadOperation = 94;
inline constexpr uint8_t kMulOverflow = 96;
inline constexpr uint8_t kQuantityRange = 98;
inline constexpr uint8_t kDepartmentRange = 99;
inline constexpr uint8_t kMarkingOff = 160;
inline constexpr uint8_t kKmSequence = 161;
inline constexpr uint8_t kKmTableFull = 163;
inline constexpr uint8_t kKmUnchecked = 165;

inline constexpr uint8_t kOperator = 30; // the administrator: the operator of the default password
inline constexpr size_t kMaxItems = 1000;
inline constexpr size_t kMaxDocTags = 4096; // bytes of requisites one document takes
inline constexpr size_t kMaxItemTags = 1024;
inline constexpr uint64_t kMoneyMax = 0xFFFFFFFFFFULL; // five bytes

// Requisites the FN forms itself: sent from outside they are refused.
bool FnOwnTag(uint16_t tag);

// UTF-8 source text to the register's cp1251 (Cyrillic, Ё/ё and № only).
std::string W(std::string_view utf8);

// Kopecks as roubles with two decimals: "12.30".
std::string Money(uint64_t kopecks);

// A quantity in millionths without trailing zero decimals: "1.5".
std::string Quantity(uint64_t millionths);

// Register time as printed on documents: "dd.mm.yy hh:mm".
std::string DateText(int64_t t);

// Date and time as the FN answers them: year since 2000, month, day, hour, minute.
void PutFnDate(std::string& out, int64_t t);

// Cut or blank-padded to exactly n bytes.
std::string Padded(std::string s, size_t n);

// Without leading blanks and trailing blanks or NUL padding.
std::string Trim(std::string s);

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
    // What was printed between the lines of the receipt (texts, codes, pictures), put here.
    void Printed(std::vector<TapeElement> elements) {
        if (!elements.empty())
            lines_.push_back({3, {}, {}, 0, std::move(elements)});
    }
    // Puts the document on the tape under the company's name and address.
    void Print();

private:
    struct Row {
        int kind; // 0 text, 1 bold text, 2 title, 3 elements printed as they came
        std::string left, right;
        int number;
        std::vector<TapeElement> printed;
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

// The register's FN (always present once the fiscal commands are installed).
FiscalStorage& Fn(Register& reg);

// Documents are printed unless the print mode (table 17, field 7) says electronic only.
bool PrintOn(const Register& reg);

// May a document be printed now (when printing is on)?
uint8_t PrintReady(const Register& reg);

// May a fiscal document be made now: the FN takes no document dated before its last one
// (the register clock was set back), and the printer must be ready when printing is on.
uint8_t DocumentReady(Register& reg);

// Register memory keeps requisites for the document being formed.
std::string TakeDraftTags(FiscalStorage& fn, std::vector<uint16_t> skip = {});

// The first requisite with that tag received for the document being formed.
const TlvItem* DraftTag(const FiscalStorage& fn, uint16_t tag);

// The cashier (1021) of the document being formed, in cp1251.
std::string Cashier(const FiscalStorage& fn);

// The closing lines of every fiscal document: register and FN numbers, document, sign, time.
void FooterLines(Slip& s, const FiscalStorage& fn, const FnDocument& d);

// The shift's accumulating registers start again with each new shift.
void ResetShiftRegisters(Register& reg);

// The common gate of commands that form a document or change the receipt.
uint8_t NotReading(const Register& reg);
// The same, for commands that are refused while a receipt is open.
uint8_t NoReceiptOpen(const Register& reg);
// The same, for documents outside a receipt, which need a fiscalized FN.
uint8_t FiscalNoReceipt(Register& reg);

// The answer of commands that report only the operator's number.
Answer OperatorAnswer();

// Document number and fiscal sign, 4 bytes each.
std::string SignAnswer(const FnDocument& d);

// The handlers of the fiscal commands. Each takes the command's data (after the password)
// and answers as the register does; a document is built whole in register memory, then
// stored in the FN and committed to the state file.
class Commands {
public:
    explicit Commands(std::shared_ptr<Ctx> ctx) : ctx_(std::move(ctx)) {}

    // ---- the state file
    // Writes the state file after a document (not while the start-up demo is made).
    void Commit(Register& reg) const;
    // Saves a change of the FN that is no document (a checked marking code): no power-loss
    // fault applies, those wait for documents.
    void Persist(Register& reg) const;

    // ---- shifts and reports
    Answer BeginShiftOpen(Register& reg, std::string_view) const;
    Answer OpenShift(Register& reg, std::string_view) const;
    void ReportTotals(Register& reg, Slip& s) const;
    Answer XReport(Register& reg, std::string_view) const;
    Answer BeginShiftClose(Register& reg, std::string_view) const;
    Answer CloseShift(Register& reg, std::string_view) const;
    Answer BeginSettlementReport(Register& reg, std::string_view) const;
    Answer SettlementReport(Register& reg, std::string_view) const;

    // ---- FN life cycle
    Answer BeginRegistration(Register& reg, std::string_view data) const;
    static bool DigitsAndBlanks(std::string_view s, size_t minDigits);
    // Registration data of 0xFF06 / 0xFF34 and the register's tables: the document body.
    uint8_t Registration(Register& reg, std::string_view data, bool rereg, uint8_t reason,
                         uint32_t& docNumber) const;
    Answer Register6(Register& reg, std::string_view data) const;
    Answer Reregister(Register& reg, std::string_view data) const;
    Answer CloseFn(Register& reg, std::string_view) const;

    // ---- receipts
    // Operation type of the items (1054) that a receipt of a 0x8D type takes.
    static uint8_t OperationOf(int receiptType);
    Answer OpenReceipt(Register& reg, std::string_view data) const;
    static uint64_t Field5(std::string_view d, size_t at) { return GetLE(d, at, 5); }
    Answer RegisterItem(Register& reg, std::string_view data) const;
    // VAT included in `sum` at the rate of tax number n, rounded to the kopeck.
    static uint64_t VatOf(uint64_t sum, uint8_t n);
    // FFD rate code (1199) of a tax number.
    static uint8_t RateCode(uint8_t n);
    uint8_t CheckTlvCommand(std::string_view data, TlvItem& item) const;
    Answer SetDocumentTag(Register& reg, std::string_view data) const;
    Answer SetItemTag(Register& reg, std::string_view data) const;
    // Money registers of a receipt: cash, electronic, prepayment, credit, barter.
    static void AddReceiptRegisters(Register& reg, int receiptType, const uint64_t pay[5],
                                    uint64_t total);
    // Cash that a receipt of this kind brings into the drawer (negative: takes out).
    static int64_t DrawerSign(int receiptType);
    uint8_t TaxSystem(const FiscalStorage& fn, uint8_t given, uint8_t& out) const;
    static const char* ReceiptKind(int receiptType);
    // The correction's basis: 1177, 1178, 1179 go into one structure 1174.
    static void CorrectionBasis(const FiscalStorage& fn, TlvWriter& body);
    Answer CloseReceipt(Register& reg, std::string_view data) const;
    Answer VoidReceipt(Register& reg, std::string_view) const;
    Answer Cash(Register& reg, std::string_view data, bool in) const;

    // ---- corrections of the older formats
    Answer BeginCorrection(Register& reg, std::string_view) const;
    Answer Correction(Register& reg, std::string_view data) const;

    // ---- FN queries
    Answer Status(Register& reg, std::string_view) const;
    static uint8_t WarningFlags(const Register& reg);
    Answer Validity(Register& reg, std::string_view) const;
    Answer Version(Register& reg, std::string_view) const;
    Answer FiscalizationTotals(Register& reg, std::string_view) const;
    Answer ExchangeStatus(Register& reg, std::string_view) const;
    Answer ShiftParams(Register& reg, std::string_view) const;
    Answer RequestDocument(Register& reg, std::string_view data) const;
    Answer ReadDocument(Register& reg, std::string_view) const;

    // ---- marking codes
    uint8_t MarkingAllowed(Register& reg) const;
    Answer CheckCode(Register& reg, std::string_view data) const;
    Answer BindCode(Register& reg, std::string_view data) const;
    Answer DecideCode(Register& reg, std::string_view data) const;
    Answer MarkingStatus(Register& reg, std::string_view) const;

private:
    std::shared_ptr<Ctx> ctx_;
};

} // namespace emu::fiscal
