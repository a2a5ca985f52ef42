// Registration of the register with its FN, re-registration and closing the
// FN (OperationFN). The host's ParametersFiscal document is read and checked
// whole before the first command goes to the register, so that bad input
// leaves the register's tables as they were.

#include "common/Common.LogPlatform.h"
#include "common/uBytes.h"
#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

#include <cerrno>
#include <cstdlib>

namespace korv {

using namespace drv;

namespace {

// Table 18 (registration data), row 1: the fields the registration writes.
constexpr int KCashierField = 8, KAgentField = 16, KExtWorkModeField = 21;
// Table 17, row 1, field 17: the register's format version code.
constexpr int KFfdTable = 17, KFfdRow = 1, KFfdField = 17;
// Table 24, row 1, field 1: the number of the automatic device.
constexpr int KAutomaticTable = 24, KAutomaticRow = 1, KAutomaticField = 1;
constexpr int KCashierINNTag = 1203;

constexpr std::uint8_t KRegister = 1, KCloseFN = 3;
// FN document types of the registration reports and of closing the FN.
constexpr int KRegistrationDocument = 1, KReregistrationDocument = 11, KFnCloseDocument = 6;

[[noreturn]] void BadInput() {
    throw EquException(1004);
}

// The register's 8-bit text of a host text.
std::string Ansi(std::u16string_view AText) {
    return U16ToAnsi(AText);
}

// Bit i (i < ACount) is set when the digit text of i occurs anywhere in AList.
unsigned DigitMask(std::u16string_view AList, int ACount) {
    unsigned Mask = 0;
    for (int Bit = 0; Bit < ACount; ++Bit)
        if (AList.find(IntToU16(Bit)) != std::u16string_view::npos)
            Mask |= 1u << Bit;
    return Mask;
}

/// What OperationFN takes from ParametersFiscal, in the register's form.
struct TFiscalInput {
    int FfdCode = 0; // 3 for 1.1, 4 for 1.2
    std::string CashierINN, CashierName;
    std::string INN;       // 12 bytes: a 10-digit INN with two blanks
    std::string KKTNumber; // blank-padded to 20 bytes
    std::string AutomaticNumber;
    std::string CompanyName, SaleAddress, SaleLocation, OFDCompany, OFDCompanyINN, SenderEmail,
        FNSURL;
    unsigned TaxMask = 0, AgentMask = 0;
    std::uint8_t WorkMode = 0, ExtWorkMode = 0;
    bool IsAutomatic = false;
    int ReasonCode = 4; // re-registration: 1 or 2 when listed, else 4
};

// The register's order of the work mode bits and of the extended ones.
constexpr const char* KWorkModeBits[8] = {"IsEncrypted",        "IsOffline",       "IsAutomatic",
                                          "IsService",          "BSOSing",         "IsOnline",
                                          "IsCateringServices", "IsWholesaleTrade"};
constexpr const char* KExtWorkModeBits[8] = {"IsExcisable",        "IsGambling",      "IsLottery",
                                             "IsAutomaticPrinter", "IsMarking",       "IsPawnshop",
                                             "IsAssurance",        "IsVendingMachine"};

// The reason codes of RegistrationReasonCode ("1,4" or "1.4"): whether 1
// and 2 are among them. Every item must be a whole number.
int ReasonCodeOf(std::u16string_view AList) {
    bool One = false, Two = false;
    if (TrimView(AList).empty())
        return 4;
    std::size_t Start = 0;
    for (;;) {
        const std::size_t End = AList.find_first_of(u",.", Start);
        const std::string Item = U16ToUtf8(TrimView(AList.substr(
            Start, End == std::u16string_view::npos ? std::u16string_view::npos : End - Start)));
        char* Stop = nullptr;
        errno = 0;
        const long long Code = std::strtoll(Item.c_str(), &Stop, 10);
        if (Item.empty() || *Stop != '\0' || errno != 0)
            BadInput();
        One = One || Code == 1;
        Two = Two || Code == 2;
        if (End == std::u16string_view::npos)
            break;
        Start = End + 1;
    }
    return One ? 1 : Two ? 2 : 4;
}

TFiscalInput ReadFiscalInput(std::uint8_t AOperationType, const pugi::xml_document& ADoc) {
    if (AOperationType < KRegister || AOperationType > KCloseFN)
        BadInput();
    const pugi::xml_node Root = ADoc.document_element();
    if (!Root)
        BadInput();
    auto Text = [&](const char* AName) { return XmlToU16(Root.attribute(AName).value()); };
    auto Flag = [&](const char* AName) { return SameTextI(TrimView(Text(AName)), u"true"); };

    TFiscalInput In;
    const std::u16string Ffd(TrimView(Text("FFDVersion")));
    if (Ffd == u"1.1")
        In.FfdCode = 3;
    else if (Ffd == u"1.2")
        In.FfdCode = 4;
    else
        BadInput();
    In.CashierINN = Ansi(TrimView(Text("CashierINN")));
    if (!In.CashierINN.empty() && In.CashierINN.size() != 12)
        BadInput();
    In.CashierName = Ansi(Text("CashierName"));
    In.INN = Ansi(TrimView(Text("INN")));
    if (In.INN.size() == 10)
        In.INN += "  ";
    In.KKTNumber = Ansi(Text("KKTNumber"));
    if (In.KKTNumber.size() < 20)
        In.KKTNumber.resize(20, ' ');
    In.AutomaticNumber = Ansi(Text("AutomaticNumber"));
    if (!In.AutomaticNumber.empty() && In.AutomaticNumber.size() < 20)
        In.AutomaticNumber.resize(20, ' ');
    In.CompanyName = Ansi(Text("CompanyName"));
    In.SaleAddress = Ansi(Text("SaleAddress"));
    In.SaleLocation = Ansi(Text("SaleLocation"));
    In.OFDCompany = Ansi(Text("OFDCompany"));
    In.OFDCompanyINN = Ansi(TrimView(Text("OFDCompanyINN")));
    if (In.OFDCompanyINN.size() == 10)
        In.OFDCompanyINN += "  ";
    In.SenderEmail = Ansi(Text("SenderEmail"));
    In.FNSURL = Ansi(Text("FNSURL"));
    In.TaxMask = DigitMask(Text("TaxationSystems"), 6);
    In.AgentMask = DigitMask(Text("AgentTypes"), 7);
    for (int Bit = 0; Bit < 8; ++Bit) {
        In.WorkMode = SetByteBit(In.WorkMode, Bit, Flag(KWorkModeBits[Bit]));
        In.ExtWorkMode = SetByteBit(In.ExtWorkMode, Bit, Flag(KExtWorkModeBits[Bit]));
    }
    In.IsAutomatic = Flag("IsAutomatic");
    In.ReasonCode = ReasonCodeOf(Text("RegistrationReasonCode"));
    if (AOperationType != KCloseFN) {
        // The register takes the user's INN as exactly 12 bytes and the
        // registration number as 20, and at least one taxation system: what
        // it would refuse is refused here, before any table is written.
        if (In.INN.size() != 12 || In.KKTNumber.size() != 20 || In.TaxMask == 0)
            BadInput();
    }
    return In;
}

// The computer's wall clock now.
TDateTimeValue ComputerNow() {
    const TLogTime T = logplatform::LocalNow();
    TDateTimeValue Value = 0;
    if (!TryEncodeDateTime(T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second, Value))
        throw EDriverError(u"Неверные дата и время компьютера");
    return Value;
}

} // namespace

void TDriver::OperationFN(std::uint8_t AOperationType,
                          const pugi::xml_document& AParametersFiscal) {
    CurrentDevice();
    const TFiscalInput In = ReadFiscalInput(AOperationType, AParametersFiscal);
    Operate([&](TDevice& Device) {
        FInstance->FPrintRequired = -1;
        // Before the print mode's write, which a document left half read refuses.
        Device.UnlockDataOutputMode();
        ApplyReportPrinting();
        Device.PrintPrevDoc();
        Device.SetDateTime(ComputerNow());
        // The report is a fiscal document: when its answer is lost, the FN
        // tells whether it was made, so that a made report is not reported
        // as a failure (a retry could not make it again).
        const std::uint64_t Before = LastFiscalDocumentNumber();
        const int Type = AOperationType == KCloseFN    ? KFnCloseDocument
                         : AOperationType == KRegister ? KRegistrationDocument
                                                       : KReregistrationDocument;
        auto Finish = [&] {
            Device.WaitForPrint();
            CutAfterDocument(false, true, -1);
        };
        if (AOperationType == KCloseFN) {
            CloseOnce(Before, {Type}, [&] {
                Device.FNClose();
                Finish();
            });
        } else {
            if (AOperationType == KRegister)
                Device.FNBeginRegistrationReport(0);
            if (!In.CashierINN.empty())
                Device.SetFNRequisite(KCashierINNTag, std::string_view(In.CashierINN));
            const std::pair<int, const std::string*> Texts[] = {
                {10, &In.OFDCompany},  {12, &In.OFDCompanyINN},
                {7, &In.CompanyName},  {KCashierField, &In.CashierName},
                {9, &In.SaleAddress},  {14, &In.SaleLocation},
                {15, &In.SenderEmail}, {13, &In.FNSURL}};
            for (const auto& [Field, Value] : Texts)
                Device.SetFieldAsStr(KRegTable, KRegRow, Field, *Value);
            Device.SetFieldAsByte(KFfdTable, KFfdRow, KFfdField, In.FfdCode);
            Device.SetFieldAsByte(KRegTable, KRegRow, KExtWorkModeField, In.ExtWorkMode);
            if (In.IsAutomatic && !In.AutomaticNumber.empty())
                Device.SetFieldAsStr(KAutomaticTable, KAutomaticRow, KAutomaticField,
                                     In.AutomaticNumber);
            if (In.FfdCode == 3)
                Device.SetFieldAsByte(KRegTable, KRegRow, KAgentField,
                                      static_cast<int>(In.AgentMask));
            CloseOnce(Before, {Type}, [&] {
                if (AOperationType == KRegister)
                    Device.FNBuildRegistrationReport(In.INN, In.KKTNumber,
                                                     static_cast<int>(In.TaxMask), In.WorkMode);
                else
                    Device.FNBuildReregistrationReport(In.INN, In.KKTNumber,
                                                       static_cast<int>(In.TaxMask), In.WorkMode,
                                                       In.ReasonCode);
                Finish();
            });
        }
    });
}

} // namespace korv
