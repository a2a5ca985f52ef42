#pragma once
// The register command layer: one TDevice per connected register, one method
// per register operation. Every method builds the command's data, runs it
// through RunCommand, turns a non-zero result into an exception naming the
// operation and the register's reason, checks the answer's length and decodes
// it. TComDevice and TSocketDevice put the commands on a serial line or TCP.
//
// Errors: a register result code (or a link failure) raises EDriverError
// "<context>. <reason>"; an answer too short for its command raises
// EquException 1014; a command whose data does not fit the frame, or a value
// that does not fit its field, raises EquException 1004 before anything is sent.

#include "common/uEquipmentErrors.h"
#include "device/uDeviceCommon.h"
#include "device/uTLVStructure.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korv {

class TCustomLinkProtocol;

/// Every register command the layer sends. The row of each in the command
/// table (uDevice.cpp) holds its code, context message, password flag,
/// time-out and minimum answer length.
enum class TCommandId {
    ECRState,              // 0x10
    StateKKT,              // 0x11
    PrintBoldString,       // 0x12
    Beep,                  // 0x13
    PrintNormalString,     // 0x17
    PrintDocTitle,         // 0x18
    CashReg,               // 0x1A, one-byte register number
    CashKReg,              // 0x1A, two-byte register number
    OperationReg,          // 0x1B
    WriteField,            // 0x1E
    ReadField,             // 0x1F
    SetTime,               // 0x21
    SetDate,               // 0x22
    ConfirmDate,           // 0x23
    Cut,                   // 0x25
    OpenDrawer,            // 0x28
    Feed,                  // 0x29
    FieldStruct,           // 0x2E
    PrintFontString,       // 0x2F
    XReport,               // 0x40
    ZReport,               // 0x41
    CashIn,                // 0x50
    CashOut,               // 0x51
    CancelCheck,           // 0x88
    PrintDocCopy,          // 0x8C
    OpenReceipt,           // 0x8D
    ContinuePrint,         // 0xB0
    LoadGraphics,          // 0xC0
    PrintGraphics,         // 0xC1
    PrintEAN13,            // 0xC2
    QRCodeLoad,            // 0xDD
    QRCodePrint,           // 0xDE
    OpenDay,               // 0xE0
    QueryEx,               // 0xF7
    DeviceType,            // 0xFC
    FNStatus,              // FF 01
    FNValidity,            // FF 03
    FNVersion,             // FF 04
    FNBeginRegistration,   // FF 05
    FNBuildRegistration,   // FF 06
    FNFiscalization,       // FF 09
    FNRequisite,           // FF 0C
    FNBuildReregistration, // FF 34
    CorrectionBegin,       // FF 35
    CalculationBegin,      // FF 37
    CalculationReport,     // FF 38
    FNInfoExchange,        // FF 39
    FNRequestDocument,     // FF 3A
    FNReadDocument,        // FF 3B
    FNClose,               // FF 3E
    SessionParams,         // FF 40
    OpenDayBegin,          // FF 41
    ZReportBegin,          // FF 42
    CloseCheckEx,          // FF 45
    RegisterItem,          // FF 46
    CorrectionCheck,       // FF 4A
    FNOperationRequisite,  // FF 4D
    CheckMarkingCode,      // FF 61
    BindMarkingCode,       // FF 67
    AcceptMarkingCode,     // FF 69, accept or reject
    ClearBufferKM,         // FF 69, clear
    MarkingStatus,         // FF 70
    Count
};

/// One row of the command table.
struct TCommandInfo {
    TCommandId Id;
    std::string_view Code;       // 1 byte, or 2 bytes FF nn
    std::u16string_view Context; // empty: every failure is a protocol error (1014)
    bool SendPwd;
    int Timeout;           // ms; 0 = the link's default
    std::size_t MinLength; // of the answer, result code included
};
const TCommandInfo& CommandInfo(TCommandId AId);

/// One line of graphic text to print: the text and its font.
class TTextGraphic {
public:
    TTextGraphic(std::u16string AText, int AFontSize, std::u16string AFontStyle,
                 std::u16string AFontName)
        : FText(std::move(AText)), FFontName(std::move(AFontName)),
          FFontStyle(std::move(AFontStyle)), FFontSize(AFontSize) {}
    const std::u16string& Text() const { return FText; }
    const std::u16string& FontName() const { return FFontName; }
    /// Style words: "bold", "italic", "underline", "strikeout".
    const std::u16string& FontStyle() const { return FFontStyle; }
    /// Points; 0 or less: the default size.
    int FontSize() const { return FFontSize; }

private:
    std::u16string FText;
    std::u16string FFontName;
    std::u16string FFontStyle;
    int FFontSize;
};

/// The longest message a frame carries (its length byte).
inline constexpr std::size_t MaxMessageLength = 255;
/// The connection password that registers ship with.
inline constexpr std::uint32_t DefaultConnectPassword = 30;

/// The register's mode and printer submode from one short state query.
struct TPrinterState {
    int Mode = 0;
    int Submode = 0;
};

class TDevice {
public:
    TDevice();
    virtual ~TDevice();
    TDevice(const TDevice&) = delete;
    TDevice& operator=(const TDevice&) = delete;

    // ---- Link ---------------------------------------------------------------
    /// Runs one command: ACmd (1 or 2 bytes), the password when ASendPwd, then
    /// AData. Leaves the answer (result code first) in FResponse and returns
    /// the link's code (0, 1007, 1011, 1014, 600..607). ATimeout 0 = default.
    /// The base class has no link: it returns 0 and leaves FResponse empty.
    virtual int RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout,
                           bool ASendPwd, bool AWaitResponse);
    virtual int Enable(int APort, int ABaud);
    virtual int Enable(const std::string& AIPAddress, int ATCPPort);
    virtual void Disable();
    virtual std::string GetIPAddress() const;
    virtual void SetIPAddress(const std::string& AValue);
    virtual int GetTCPPort() const;
    virtual void SetTCPPort(int AValue);
    virtual int GetPortNumber() const;
    virtual void SetPortNumber(int AValue);
    virtual int GetBaudRate() const;
    virtual void SetBaudRate(int AValue);

    /// The transport code when non-zero; else 1014 for an empty answer; else
    /// the register's result code.
    int CheckResultCode(int AErrorCode) const;
    /// Extended query 0xF7 (no password); AData receives the whole answer,
    /// result code included (at least 32 bytes, else EquException 1014).
    void RunQueryEx(std::uint8_t AQueryType, std::string& AData);
    /// Text of a register result code, link code (600..607) or driver code
    /// (above 1000), with the driver code's text and AExtra appended.
    static std::u16string GetErrorDescription(int ACode, int ADriverCode = 0,
                                              std::u16string_view AExtra = {});
    /// Refuses (EquException 1004) a message that would not fit one frame.
    static void CheckMessageSize(std::string_view ACmd, std::string_view AData, bool ASendPwd);

    /// The answer of the last command, result code first.
    const std::string& Response() const { return FResponse; }
    /// The link's reason and origin of the last command's failure (empty and
    /// None after a success, or when the link gave none).
    const std::u16string& LinkReason() const { return FLinkReason; }
    TErrorOrigin LinkOrigin() const { return FLinkOrigin; }

    // ---- Properties ---------------------------------------------------------
    int GetConnectionType() const { return FConnectionType; }
    void SetConnectionType(int AValue) { FConnectionType = AValue; }
    int GetLineLen() const { return FLineLen; }
    void SetLineLen(int AValue) { FLineLen = static_cast<std::uint8_t>(AValue); }
    int GetFRLineLenValue() const { return FFRLineLen; }
    const std::string& GetConnectPwd() const { return FConnectPwd; }
    /// The 4 bytes sent on the wire (see ConnectPasswordBytes).
    void SetConnectPwd(const std::string& AValue);
    const std::string& GetOperatorPwd() const { return FOperatorPwd; }
    void SetOperatorPwd(const std::string& AValue) { FOperatorPwd = AValue; }
    int GetFeedCount() const { return FFeedCount; }
    /// A value of 256 or more becomes 0.
    void SetFeedCount(int AValue) { FFeedCount = AValue >= 256 || AValue < 0 ? 0 : AValue; }
    bool GetDisableCut() const { return FDisableCut; }
    void SetDisableCut(bool AValue) { FDisableCut = AValue; }
    TFFDVersion GetFFDVersion() const { return FFFDVersion; }
    void SetFFDVersion(TFFDVersion AValue) { FFFDVersion = AValue; }
    int GetCheckMarkCount() const { return FCheckMarkCount; }
    void SetCheckMarkCount(int AValue) { FCheckMarkCount = AValue; }
    std::map<std::string, TKMResult>& KMListResult() { return FKMListResult; }
    const std::vector<TDocElement>& DocElementList() const { return FDocElementList; }
    const std::map<int, std::u16string>& TagList() const { return FTagList; }

    // ---- Register state, tables and fields ---------------------------------
    /// Short state: AFlag = the two raw flag bytes, AMode = low four bits of
    /// the mode byte, ASubmode = the submode byte.
    void GetECRState(std::string& AFlag, int& AMode, int& ASubmode);
    /// Full state: AMode = the whole mode byte.
    void GetStateKKT(int& AMode);
    /// The register's clock; ADateTime is left alone when the register's date
    /// or time is not valid.
    void GetDateTimeKKT(TDateTimeValue& ADateTime);
    void GetDeviceType(int& AProtocolVersion, int& AProtocolSubversion, std::string& AModelName,
                       int& AModelIndex, int& ALngCode);
    void GetCashReg(int ARegNum, TCurrency& AData);
    void GetCashKReg(int ARegNum, TCurrency& AData);
    void GetOperationReg(int ARegNum, std::string& AData);
    void GetOperationRegAsInt(int ARegNum, int& AData);
    /// AValue is left alone when the answer holds no value byte.
    void GetFieldAsByte(int ATable, int ARow, int ACol, int& AValue);
    void GetFieldAsCurrency(int ATable, int ARow, int ACol, TCurrency& AValue);
    void GetFieldAsHex(int ATable, int ARow, int ACol, std::string& AValue);
    void GetFieldAsStr(int ATable, int ARow, int ACol, std::string& AValue);
    /// The whole answer, result code first.
    void GetFieldAsBIN(int ATable, int ARow, int ACol, std::string& AValue);
    void GetFieldStruct(int ATable, int ACol, int& AFieldSize);
    void SetFieldAsByte(int ATable, int ARow, int ACol, int AValue);
    /// At most 99.99 (two BCD bytes of hundredths).
    void SetFieldAsCurrency(int ATable, int ARow, int ACol, TCurrency AValue);
    /// At most 9999 (two BCD bytes).
    void SetFieldAsBCD(int ATable, int ARow, int ACol, std::uint64_t AValue);
    /// AValue is hexadecimal text; ASize bytes (0 = half the text's length).
    void SetFieldAsHex(int ATable, int ARow, int ACol, std::string_view AValue, int ASize);
    /// Cut to the field's size (read first) and padded with 0x00 to it.
    void SetFieldAsStr(int ATable, int ARow, int ACol, std::string_view AValue);
    void SetDateTime(TDateTimeValue AValue);
    void GetLineLength(int& AValue);
    /// Reads the line length into FFRLineLen; returns the code, never raises.
    int GetFRLineLen();
    /// Reads what later commands need (the print line length).
    void SetParams();
    /// The register's mode (low four bits) while a document is being read out.
    static constexpr int DataOutputMode = 1;
    /// Bit 3 of the mode byte: a receipt is open.
    static constexpr int ReceiptOpenBit = 0x08;
    /// Drains a document left half read, so the register takes commands again.
    void UnlockDataOutputMode();
    /// Reads the document being read out to its end (FF 3B until it is empty).
    void FinishDocumentRead();
    static int Convert2CharToInt(std::uint8_t ASecond, std::uint8_t AFirst) {
        return ASecond * 256 + AFirst;
    }

    // ---- Receipts -------------------------------------------------------------
    /// APrinterIdle: a short state read since the last printing command told
    /// the printer idle (TDevice::StandsIdle), so it is not waited for again.
    void OpenReceipt(int APaymentType, bool APrinterIdle = false);
    void RegisterItem(int APaymentType, double AQuantity, TCurrency APrice, TCurrency ASum,
                      TCurrency ATaxSum, int ATax, int ADepartment, int ASignMethodCalculation,
                      int ASignCalculationObject, std::string_view AName);
    /// ASums: the 16 payment sums (1 = cash); ATaxes: the six tax sums.
    void CloseCheckEx(const TCurrency (&ASums)[16], int ARoundSum, const TCurrency (&ATaxes)[6],
                      int ATaxVariant, std::string_view AText, std::string& AFiscalSign,
                      TDateTimeValue& ADateTime);
    /// Voids the receipt left open, if any.
    void CancelReceipt();
    /// Voids the receipt that AMode, the mode byte of a short state, shows open.
    void CancelOpenReceipt(int AMode);
    /// The correction amounts of ProcessCorrectionCheck, in the order sent.
    struct TCorrectionSums {
        TCurrency CorrectionSum, Cash, ElectronicPayment, AdvancePayment, Credit, CashProvision,
            SumTAX20, SumTAX10, SumTAX0, SumTAXNone, SumTAX120, SumTAX110;
    };
    void ProcessCorrectionCheck(std::string& AFiscalSign, std::int64_t& ADocumentNumber,
                                int ACorrectionType, int APaymentType, int ATaxVariant,
                                const TCorrectionSums& ASums, std::string_view ABaseCorrection,
                                std::string_view ADocNumberCorrection,
                                TDateTimeValue ACorrectionBaseDate, std::string_view ACashierName,
                                std::string_view ACashierVATIN);
    void Encash(TCurrency ASumm);
    void SetFNRequisite(int ATag, std::string_view AValue);
    void SetFNRequisite(int ATag, int AValue);
    void SetFNOperationRequisite(int ATag, std::string_view AValue);
    void SetFNOperationRequisite(int ATag, int AValue);
    /// One item: tag, length, value.
    static std::string SetTLV(int ATag, std::string_view AValue);
    static std::string SetTLV(int ATag, int AValue);

    // ---- FN queries and documents --------------------------------------------
    void GetFNCurrentStatus(TFNCurrentStatus& AFNCurrentStatus);
    /// "20yy-mm-ddT00:00:00".
    void GetFNValidityDate(std::u16string& AText);
    /// "1.0", "1.1" or "1.2".
    void GetFFDVersionFN(std::string& AFNVersion);
    TFFDVersion GetFFD();
    void GetFiscalizationParameters(TDateTimeValue& ADateTime, std::string& AUserINN,
                                    std::uint8_t& AExtWorkMode, std::uint64_t& ARegDocNumber,
                                    int& ATaxationSystems, std::string& ARegNumber, int& AWorkMode);
    void GetFNInfoExchangeStatus(int& AUnsentCount, std::uint64_t& AFirstUnsentNumber,
                                 TDateTimeValue& AFirstUnsentDate);
    /// FF 3A: returns the result code (raises only for a bad number).
    int GetFNRequestFiscalDocumentTLV(std::uint64_t ADocNumber, int& ADocType, int& ADocLength);
    /// FF 3B: one item of the document being read; empty when it is done.
    void GetFNReadFiscalDocumentTLV(std::string& AData);
    /// Reads a document into DocElementList; returns the request's result code.
    int GetFiscalTagList(std::uint64_t ADocNumber, int& ADocType);
    /// The value of the first element with that tag; empty when none.
    std::u16string GetTagValue(int ATag) const;
    /// Decodes a flat item list into TagList.
    void ReadTLVList(std::string_view AData);

    // ---- Shifts, reports and the FN life cycle -----------------------------------
    /// 0 closed, 1 open, 2 open for more than 24 hours; AState is left alone
    /// for any other value.
    void IsDayOpened(std::uint8_t& AState);
    void GetCurrentSessionParams(std::uint8_t& AFNSessionState, std::int64_t& ASessionNumber,
                                 std::int64_t& AReceiptNumber);
    void OpenDay(std::string_view ACashierName, std::string_view ACashierVATIN);
    void XReport();
    void ZReport(std::string_view ACashierName, std::string_view ACashierVATIN);
    void CalculationStateReport(std::string_view ACashierName, std::string_view ACashierVATIN);
    void FNBeginRegistrationReport(int ATypeReport);
    void FNBuildRegistrationReport(std::string_view AUserINN, std::string_view ARegNumber,
                                   int ATaxVariant, int AMode);
    void FNBuildReregistrationReport(std::string_view AUserINN, std::string_view ARegNumber,
                                     int ATaxVariant, int AMode, int AReasonCode);
    void FNClose();

    // ---- Printing -----------------------------------------------------------------
    void PrintNormalString(int AFlag, std::string_view AData);
    void PrintBoldString(int AFlag, std::string_view AData);
    void PrintFontString(int AFlag, std::string_view AData, int AFontSize);
    /// Host text split at CR and into lines of LineLen characters.
    void PrintString(std::u16string_view AText);
    void PrintDocTitle(std::string_view AData);
    void PrintDocCopy();
    void ContinuePrint();
    /// Resumes a document stopped by a paper-out (EquException 3027 when it
    /// cannot be finished).
    void PrintPrevDoc();
    using TPrinterState = korv::TPrinterState;
    /// The short state PrepareForDocument works from. AUnlockDataOutput: a
    /// document left half read is read out first (UnlockDataOutputMode on the
    /// same query: the short state holds the mode too) and the state asked
    /// again, so that the register takes commands again.
    TPrinterState ReadPrinterState(bool AUnlockDataOutput);
    /// PrintPrevDoc, WaitForEndPrinting and CancelReceipt in one; a register
    /// whose printer stands idle answers one state query for all three.
    void PrepareForDocument(bool AUnlockDataOutput = false);
    /// The same from a state read before (by ReadPrinterState): commands that
    /// change neither the mode nor the printer may stand between them.
    void PrepareForDocument(const TPrinterState& AState);
    /// True when AState tells a printer standing idle, no receipt open and no
    /// document being read out: PrepareForDocument has nothing to do then and
    /// the printer nothing to wait for.
    static bool StandsIdle(const TPrinterState& AState);
    /// IsDayOpened from a state read before (by ReadPrinterState), with only
    /// commands that neither print nor change the mode between them: when it
    /// StandsIdle, the printer is not waited for and the mode (3: over 24
    /// hours) is taken from it, so only the FN is asked.
    void IsDayOpened(std::uint8_t& AState, const TPrinterState& ABefore);
    void Cut(bool AFullCut);
    void Feed(int ALineCount);
    void FeedAndCut(int ALineCount);
    void OpenDrawer();
    /// Never fails.
    void Beep();
    void LoadGraphics(int ALineNumber, std::string_view AData);
    void PrintGraphics(int AFirstLineNumber, int ALastLineNumber);
    /// Prints a monochrome raster (rendered text, for example): AHeight lines
    /// of AWidth / 8 bytes each, loaded from the first free graphics line that
    /// the extended query reports.
    void PrintGraphicRaster(std::string_view ARaster, int AWidth, int AHeight);
    /// Renders the text 40 mm wide (narrower when the register's graphics
    /// line is), centred, broken between words, and prints it as a raster.
    /// Nothing is sent for an empty text.
    void PrintGraphicText(const TTextGraphic& ATextGraphic);
    void PrintEAN13(std::string_view ABarCode);
    void PrintQRCode(std::string_view ABarCode);
    /// Polls the short state until the printer is idle.
    void WaitForEndPrinting();
    /// Waits for the end of printing and walks the register through paper-outs.
    void WaitForPrint();

    // ---- Marking codes ---------------------------------------------------------------
    void CheckMarkingCode(int APlannedStatus, std::string_view AMarkingCode, double AQuantity,
                          int AMeasureOfQuantity, int ANumerator, int ADenominator,
                          TKMResult& AKMResult);
    void BindMarkingCode(std::string_view AMarkingCode, int AGTINSale);
    void AcceptMarkingCode(bool AIsAccepted);
    void ClearBufferKM();
    void GetMarkingCodeWorkStatus(int& ACheckStatus, int& ANotificationStatus, int& ACommandFlags,
                                  int& ACheckResultSavedCount, int& ARealizationCount,
                                  int& AStorageSize, int& AMessageCount);
    /// 8 bytes: decimal places, then the digits as a 7-byte integer.
    static std::string EncodeFVLN(double AQuantity);

protected:
    /// The command pattern: checks the message size, runs the command, raises
    /// for a non-zero result (unless in AAccepted) and for a short answer.
    /// AContextTail is appended to the row's context. Returns FResponse.
    const std::string& Execute(TCommandId AId, std::string_view AData = {},
                               std::u16string_view AContextTail = {},
                               std::initializer_list<int> AAccepted = {});
    /// Runs a command and returns CheckResultCode's value without raising
    /// (the message size is still checked).
    int ExecuteCode(TCommandId AId, std::string_view AData = {});
    /// Raises EDriverError "<context>. <reason of ACode>", carrying the last
    /// command, ACode and where it failed (the register, or the link's origin).
    [[noreturn]] void RaiseCommandError(std::u16string_view AContext, int ACode) const;
    /// Raises EquException 1014 for an answer too short for the last command.
    [[noreturn]] void RaiseShortAnswer() const;
    /// What RunCommand of a link variant does: runs the command on ALink,
    /// leaves the answer in FResponse and the link's reason and origin.
    int RunOnLink(TCustomLinkProtocol& ALink, std::string_view ACmd, std::string_view AData,
                  int ATimeout, bool ASendPwd, bool AWaitResponse);
    /// What Enable of a link variant does when reading the settings over a
    /// link just opened fails with AFailure: the reason (AWhere, then "ККТ не
    /// отвечает" for silence or the failure's text) and origin kept, the
    /// failure logged; returns 1011.
    int SettingsReadFailed(const std::exception& AFailure, std::u16string_view AWhere);
    /// Pauses between printer polls and command retries.
    virtual void Pause(int AMilliseconds);

    int FConnectionType = 0;
    std::vector<TDocElement> FDocElementList;
    std::map<int, std::u16string> FTagList;
    std::uint8_t FLineLen = 0;
    int FFRLineLen = 0;
    int FPortNumber = 0;
    int FBaudRate = 0;
    std::string FIPAddress;
    int FTCPPort = 0;
    int FFeedCount = 0;
    bool FDisableCut = false;
    TFFDVersion FFFDVersion = TFFDVersion::ffd10;
    std::map<std::string, TKMResult> FKMListResult;
    std::string FOperatorPwd;
    std::string FConnectPwd;
    std::string FResponse;
    int FCheckMarkCount = 0;
    /// The code of the last command run, its link code, and the link's words.
    std::string FLastCommand;
    int FLastLinkCode = 0;
    std::u16string FLinkReason;
    TErrorOrigin FLinkOrigin = TErrorOrigin::None;

private:
    void ReadStructure(int AParentTag, std::string_view AData, int ADepth);
    /// The part of PrintPrevDoc after the state query, ASubmode its answer.
    void ResumeStoppedDocument(int ASubmode);
};

} // namespace korv
