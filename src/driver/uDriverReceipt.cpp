// ProcessCheck: one receipt on the register, from the host's package to the
// fiscal document, and its output parameters.

#include "driver/uDriverReceipt.h"

#include "common/Common.Log.h"
#include "common/uBase64.h"
#include "common/uBytes.h"
#include "common/uCodePages.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

#include <exception>

namespace korv {

using namespace drv;
using namespace rcpt;

namespace {

// Document types of the FN archive.
constexpr int KReceiptDocument = 3;
constexpr int KCorrectionDocument = 31;

/// The failure of a receipt whose close failed while the FN could not be
/// asked whether it was made.
class EOutcomeUnknown : public EquException {
public:
    using EquException::EquException;
};

/// AFailure (the close's) with its code, its text told that the outcome is
/// not known and that the same call may be repeated.
[[noreturn]] void ThrowOutcomeUnknown(const std::exception_ptr& AFailure) {
    const std::u16string Tail = u". " + std::u16string(KReceiptOutcomeUnknownText);
    try {
        std::rethrow_exception(AFailure);
    } catch (const EquException& E) {
        EOutcomeUnknown Unknown(E.Code, E.Message() + Tail, E.Fault);
        Unknown.StrCode = E.StrCode;
        throw Unknown;
    } catch (const std::exception& E) {
        throw EOutcomeUnknown(1001, ExceptionMessage(E) + Tail);
    } catch (...) {
        throw EOutcomeUnknown(1001, GetDriverErrorText(1001) + Tail);
    }
}

void LogPending(std::u16string_view AText, TLogLevel ALevel = TLogLevel::Info) {
    WriteLog(u"DocumentOutcome", AText, ALevel);
}

bool IsFFD12(int AFFD) {
    return AFFD == static_cast<int>(TFFDVersion::ffd12);
}

std::string Ansi(std::u16string_view AText) {
    return U16ToAnsi(AText);
}

std::string Oem(std::u16string_view AText) {
    return U16ToOem(AText);
}

/// The date part of an ISO 8601 text as seconds since 1970, four bytes.
std::string DateBytes(std::u16string_view AText) {
    std::int64_t Seconds = DateTextToUnix(AText);
    Seconds -= ((Seconds % 86400) + 86400) % 86400;
    if (Seconds < 0 || Seconds > 0xFFFFFFFFLL)
        throw EquException(1004);
    return LEField(4, static_cast<std::uint64_t>(Seconds));
}

std::string TimeBytes(std::u16string_view AText) {
    const std::int64_t Seconds = DateTextToUnix(AText);
    if (Seconds < 0 || Seconds > 0xFFFFFFFFLL)
        throw EquException(1004);
    return LEField(4, static_cast<std::uint64_t>(Seconds));
}

/// Sends a tag of the document or of the last item.
class TTagSender {
public:
    TTagSender(TDevice& ADevice, bool AItem) : FDevice(ADevice), FItem(AItem) {}
    void Send(int ATag, std::string_view AValue) const {
        if (FItem)
            FDevice.SetFNOperationRequisite(ATag, AValue);
        else
            FDevice.SetFNRequisite(ATag, AValue);
    }
    void SendText(int ATag, std::u16string_view AText, bool AOem = false) const {
        if (!AText.empty())
            Send(ATag, AOem ? Oem(AText) : Ansi(AText));
    }

private:
    TDevice& FDevice;
    bool FItem;
};

/// Agent and supplier data of the document (each a tag of its own) or of
/// an item (joined into 1223 and 1224).
void SendAgentData(TDevice& ADevice, const TAgentData& A, const TVendorData& V, bool AItem) {
    const TTagSender S(ADevice, AItem);
    if (!AItem) {
        S.SendText(1044, A.AgentOperation, true);
        for (const auto& P : NormalizePhones(A.AgentPhone))
            S.SendText(1073, P);
        for (const auto& P : NormalizePhones(A.PaymentProcessorPhone))
            S.SendText(1074, P);
        for (const auto& P : NormalizePhones(A.AcquirerOperatorPhone))
            S.SendText(1075, P);
        S.SendText(1026, A.AcquirerOperatorName, true);
        S.SendText(1005, A.AcquirerOperatorAddress, true);
        S.SendText(1016, NormalizeINN(A.AcquirerOperatorINN));
        for (const auto& P : NormalizePhones(V.VendorPhone))
            S.SendText(1171, P);
        return;
    }
    std::string Agent;
    auto Add = [](std::string& AList, int ATag, const std::string& AValue) {
        if (!AValue.empty())
            AList += TDevice::SetTLV(ATag, AValue);
    };
    Add(Agent, 1044, Oem(A.AgentOperation));
    for (const auto& P : NormalizePhones(A.AgentPhone))
        Add(Agent, 1073, Ansi(P));
    for (const auto& P : NormalizePhones(A.PaymentProcessorPhone))
        Add(Agent, 1074, Ansi(P));
    for (const auto& P : NormalizePhones(A.AcquirerOperatorPhone))
        Add(Agent, 1075, Ansi(P));
    Add(Agent, 1026, Oem(A.AcquirerOperatorName));
    Add(Agent, 1005, Oem(A.AcquirerOperatorAddress));
    Add(Agent, 1016, Ansi(NormalizeINN(A.AcquirerOperatorINN)));
    if (!Agent.empty())
        S.Send(1223, Agent);
    S.SendText(1226, NormalizeINN(V.VendorINN));
    std::string Vendor;
    for (const auto& P : NormalizePhones(V.VendorPhone))
        Add(Vendor, 1171, Ansi(P));
    Add(Vendor, 1225, Oem(V.VendorName));
    if (!Vendor.empty())
        S.Send(1224, Vendor);
}

void SendItemIndustryAttribute(TDevice& ADevice, const TIndustryAttribute& I) {
    const TTagSender S(ADevice, true);
    S.SendText(1262, I.IdentifierFOIV, true);
    S.SendText(1263, I.DocumentDate);
    S.SendText(1264, I.DocumentNumber, true);
    S.SendText(1265, I.AttributeValue, true);
}

/// The product code of GoodCodeData as one TLV (FFD 1.2); empty without one.
std::string ProductCodeTLV(const TGoodCode& G) {
    for (int I = 0; I < TGoodCode::KCount; ++I)
        if (G.Present[I])
            return TDevice::SetTLV(1300 + I, G.Value[I]);
    return {};
}

/// The marking or product code of an item, after the item was registered.
void SendItemCode(TDevice& ADevice, const TItem& It, int AFFD) {
    const TTagSender S(ADevice, true);
    if (!IsFFD12(AFFD)) {
        std::string Code = It.GoodCode.FFD11Code;
        if (Code.empty() && !It.MarkingCode.empty())
            Code = GS1ToProductCode(It.MarkingCode);
        if (!Code.empty())
            S.Send(1162, Code);
        S.SendText(1197, It.MeasurementUnit, true);
        return;
    }
    ADevice.SetFNOperationRequisite(2108, It.MeasureOfQuantity);
    const TGoodCode& G = It.GoodCode;
    if (G.Present[gcITF14] && !G.Value[gcITF14].empty() &&
        SameTextI(It.Industry.AttributeValue, u"mode=horeca")) {
        ADevice.BindMarkingCode(G.Value[gcITF14], 1);
        SendItemIndustryAttribute(ADevice, It.Industry);
        return;
    }
    if (!It.MarkingCode.empty()) {
        if (ADevice.KMListResult().count(It.MarkingCode) != 0) {
            ADevice.BindMarkingCode(It.MarkingCode, 0);
            SendItemIndustryAttribute(ADevice, It.Industry);
        } else {
            S.Send(1163, TDevice::SetTLV(1305, It.MarkingCode.substr(0, 32)));
        }
        return;
    }
    const std::string Product = ProductCodeTLV(G);
    if (Product.empty())
        return;
    if (G.Present[gcNotIdentified]) {
        S.Send(1300, G.Value[gcNotIdentified]);
        return;
    }
    for (int Kind : {gcKMK, gcGS10, gcGS1M, gcEGAIS20, gcEGAIS30}) {
        if (G.Present[Kind]) {
            ADevice.BindMarkingCode(G.Value[Kind], 0);
            return;
        }
    }
    S.Send(1163, Product);
}

void SendDocumentTags(TDevice& ADevice, const TReceipt& R, int AFFD, bool AIsCorrection) {
    const TTagSender S(ADevice, false);
    const bool New = IsFFD12(AFFD);
    if (AIsCorrection && R.HasCorrectionData) {
        S.Send(1173, ByteField(R.CorrectionType));
        if (!R.CorrectionDate.empty())
            S.Send(1178, DateBytes(R.CorrectionDate));
        S.SendText(1179, R.CorrectionNumber, true);
    }
    if (!New && R.AgentType != -1)
        S.Send(1057, ByteField(1 << R.AgentType));
    if (R.HasUserAttribute)
        S.Send(1084, TDevice::SetTLV(1085, Ansi(R.UserAttributeName)) +
                         TDevice::SetTLV(1086, Ansi(R.UserAttributeValue)));
    if (!New)
        SendAgentData(ADevice, R.Agent, R.Vendor, false);
    S.SendText(1192, R.AdditionalAttribute);
    S.SendText(1203, R.CashierINN);
    if (R.HasCustomerDetail) {
        if (New) {
            std::string List;
            auto Add = [&](int ATag, const std::u16string& AText, bool AOem) {
                if (!AText.empty())
                    List += TDevice::SetTLV(ATag, AOem ? Oem(AText) : Ansi(AText));
            };
            Add(1227, R.CustomerInfo, true);
            Add(1228, R.CustomerINN, false);
            Add(1243, R.DateOfBirth, false);
            Add(1244, R.Citizenship, false);
            Add(1245, R.DocumentTypeCode, false);
            Add(1246, R.DocumentData, true);
            Add(1254, R.CustomerAddress, true);
            if (!List.empty())
                S.Send(1256, List);
        } else {
            S.SendText(1227, R.CustomerInfo, true);
            S.SendText(1228, R.CustomerINN);
        }
    }
    if (!New)
        return;
    if (R.HasOperationalAttribute) {
        std::string List;
        if (!R.OperationDateTime.empty())
            List += TDevice::SetTLV(1273, TimeBytes(R.OperationDateTime));
        if (!R.OperationID.empty())
            List += TDevice::SetTLV(1271, ByteField(std::stoll(U16ToUtf8(R.OperationID))));
        if (!R.OperationData.empty())
            List += TDevice::SetTLV(1272, Oem(R.OperationData));
        if (!List.empty())
            S.Send(1270, List);
    }
    std::string Industry;
    auto AddIndustry = [&](int ATag, const std::u16string& AText, bool AOem) {
        if (!AText.empty())
            Industry += TDevice::SetTLV(ATag, AOem ? Oem(AText) : Ansi(AText));
    };
    AddIndustry(1262, R.Industry.IdentifierFOIV, true);
    AddIndustry(1263, R.Industry.DocumentDate, false);
    AddIndustry(1264, R.Industry.DocumentNumber, true);
    AddIndustry(1265, R.Industry.AttributeValue, true);
    if (!Industry.empty())
        S.Send(1261, Industry);
}

void RegisterItem(TDevice& ADevice, const TReceipt& R, const TItem& It, int AFFD, int ALineLen,
                  TCurrency (&ATaxes)[6]) {
    if (It.TaxNumber >= 1)
        ATaxes[It.TaxNumber - 1] += It.VATAmount;
    ADevice.RegisterItem(R.OperationType, It.Quantity, It.Price, It.Amount, It.VATAmount,
                         It.TaxNumber >= 1 ? 1 << (It.TaxNumber - 1) : 0, It.Department,
                         It.PaymentMethod, It.CalculationSubject, Ansi(It.Name));
    SendItemCode(ADevice, It, AFFD);
    const TTagSender S(ADevice, true);
    S.SendText(1230, It.CountryOfOrigin);
    S.SendText(1231, It.CustomsDeclaration, true);
    if (It.ExciseAmount != 0)
        S.Send(1229, LEField(6, static_cast<std::uint64_t>(CurrencyToKopecks(It.ExciseAmount))));
    S.SendText(1191, It.AdditionalAttribute, true);
    if (It.CalculationAgent != -1)
        S.Send(1222, ByteField(1 << It.CalculationAgent));
    SendAgentData(ADevice, It.Agent, It.Vendor, true);
    if (It.Discount > 0)
        ADevice.PrintString(JustifyLine(u"СКИДКА", It.Discount, ALineLen));
    else if (It.Discount < 0)
        ADevice.PrintString(JustifyLine(u"НАЦЕНКА", It.Discount, ALineLen));
}

} // namespace

void TDriver::FillDocumentOutputParameters(pugi::xml_document& AOutput) {
    TDevice& Device = CurrentDevice();
    TFNCurrentStatus Status;
    Device.GetFNCurrentStatus(Status);
    std::uint8_t SessionState = 0;
    std::int64_t Shift = 0, Receipt = 0;
    Device.GetCurrentSessionParams(SessionState, Shift, Receipt);
    std::string Site;
    Device.GetFieldAsStr(KRegTable, KRegRow, 13, Site);
    pugi::xml_node P = AOutput.append_child("DocumentOutputParameters").append_child("Parameters");
    SetAttr(P, "ShiftNumber", Shift);
    SetAttr(P, "CheckNumber", static_cast<long long>(Status.LastFDNumber));
    SetAttr(P, "ShiftClosingCheckNumber", Receipt);
    SetAttr(P, "DateTime", DateText(FInstance->FDateTime));
    SetAttr(P, "FiscalSign", FInstance->FFiscalSign);
    SetAttr(P, "AddressSiteInspections",
            AnsiToU16(TrimView(std::string_view(Site).substr(0, Site.find('\0')))));
}

void TDriver::FillDocumentOutputFromArchive(pugi::xml_document& AOutput) {
    TDevice& Device = CurrentDevice();
    auto Number = [&](int ATag) -> long long {
        const std::string Text = U16ToUtf8(Device.GetTagValue(ATag));
        try {
            return Text.empty() ? 0 : std::stoll(Text);
        } catch (const std::exception&) {
            return 0;
        }
    };
    FInstance->FFiscalSign = U16ToUtf8(Device.GetTagValue(1077));
    FInstance->FDateTime = Number(1012);
    std::string Site;
    try {
        Device.GetFieldAsStr(KRegTable, KRegRow, 13, Site);
    } catch (const std::exception&) {
        // Not part of the document; the receipt stands without it.
    }
    pugi::xml_node P = AOutput.append_child("DocumentOutputParameters").append_child("Parameters");
    SetAttr(P, "ShiftNumber", Number(1038));
    SetAttr(P, "CheckNumber", Number(1040));
    SetAttr(P, "ShiftClosingCheckNumber", Number(1042));
    SetAttr(P, "DateTime", DateText(FInstance->FDateTime));
    SetAttr(P, "FiscalSign", FInstance->FFiscalSign);
    SetAttr(P, "AddressSiteInspections",
            AnsiToU16(TrimView(std::string_view(Site).substr(0, Site.find('\0')))));
}

void TDriver::FinishDocument(std::uint64_t ABefore, int AType, bool AFromArchive,
                             pugi::xml_document& AOutput) {
    if (!AFromArchive) {
        try {
            CurrentDevice().WaitForPrint();
            CutAfterDocument(false, true, -1);
            FillDocumentOutputParameters(AOutput);
            return;
        } catch (const std::exception& E) {
            WriteLog(u"FinishDocument", u"after the close: " + Utf8ToU16(E.what()),
                     TLogLevel::Error);
            AFromArchive = DocumentMade(ABefore, {AType});
        }
    }
    AOutput.reset();
    if (AFromArchive) {
        try {
            FillDocumentOutputFromArchive(AOutput);
            return;
        } catch (const std::exception& E) {
            WriteLog(u"FinishDocument", u"reading the archive: " + Utf8ToU16(E.what()),
                     TLogLevel::Error);
            AOutput.reset();
        }
    }
    // The register signed the document but cannot be asked now: what the
    // close answered.
    pugi::xml_node P = AOutput.append_child("DocumentOutputParameters").append_child("Parameters");
    SetAttr(P, "DateTime", DateText(FInstance->FDateTime));
    SetAttr(P, "FiscalSign", FInstance->FFiscalSign);
}

bool TDriver::JudgePendingReceipt(int AType, const std::u16string& APackage,
                                  pugi::xml_document& AOutput) {
    TDeviceDriver& Instance = *FInstance;
    if (!Instance.FPendingReceipt)
        return false;
    const TPendingReceipt Pending = *Instance.FPendingReceipt;
    const std::u16string After = IntToU16(static_cast<long long>(Pending.Before));
    if (Pending.DocType != AType || Pending.Package != APackage) {
        Instance.FPendingReceipt.reset();
        LogPending(u"the receipt of unknown outcome after document " + After +
                   u" is forgotten: this call brings another package");
        return false;
    }
    // The receipt, had it been made, is the document right after the one
    // read before it opened, whatever was made since.
    TDevice& Device = CurrentDevice();
    TFNCurrentStatus Status;
    Device.GetFNCurrentStatus(Status);
    if (Status.LastFDNumber <= Pending.Before) {
        Instance.FPendingReceipt.reset();
        LogPending(u"the receipt of unknown outcome after document " + After +
                   u" was not made: it is made now");
        return false;
    }
    const std::uint64_t Number = Pending.Before + 1;
    int DocType = 0;
    if (Device.GetFiscalTagList(Number, DocType) != 0)
        throw EDriverError(u"Не удалось прочитать документ " +
                           IntToU16(static_cast<long long>(Number)) + u" из ФН");
    if (DocType != Pending.DocType) {
        Instance.FPendingReceipt.reset();
        LogPending(u"the receipt of unknown outcome after document " + After +
                   u" was not made (document " + IntToU16(static_cast<long long>(Number)) +
                   u" is of type " + IntToU16(DocType) + u"): it is made now");
        return false;
    }
    FillDocumentOutputFromArchive(AOutput);
    Instance.FPendingReceipt.reset();
    LogPending(u"the receipt of unknown outcome is fiscal document " +
               IntToU16(static_cast<long long>(Number)) +
               u": the repeated call returns it and makes no other");
    return true;
}

void TDriver::ProcessCheck(bool AElectronically, const pugi::xml_document& ACheckPackage,
                           pugi::xml_document& ADocumentOutputParameters, bool AIsCorrection) {
    TDevice& Device = CurrentDevice();
    TDeviceDriver& Instance = *FInstance;
    const int Type = AIsCorrection ? KCorrectionDocument : KReceiptDocument;
    const std::u16string PackageText = XmlText(ACheckPackage);
    ReconnectSocket();
    try {
        // Before anything is sent: a repeated call of a receipt whose outcome
        // stayed unknown gets the receipt the FN holds.
        if (JudgePendingReceipt(Type, PackageText, ADocumentOutputParameters)) {
            DisconnectSocket();
            return;
        }
    } catch (...) {
        ADocumentOutputParameters.reset();
        DisconnectSocket();
        // Still not judged: the same call may be repeated later.
        if (Instance.FPendingReceipt)
            ThrowOutcomeUnknown(std::current_exception());
        throw;
    }
    try {
        const int Setting = Instance.FEnablePrinting;
        const bool Print = Setting == 2 ? false : Setting == 1 ? !AElectronically : true;
        // A document left half read would refuse the print mode: it is read
        // out first, found by the state query the preparation works from.
        const TDevice::TPrinterState State = Device.ReadPrinterState(/*AUnlockDataOutput=*/true);
        Device.SetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField, Print ? 0 : 2);
        Device.PrepareForDocument(State);
        // An idle printer and the mode (a shift over 24 hours too) are known
        // from that state: only the FN is asked about the shift.
        CheckShiftState(false, State);
        const int FFD = Instance.FFFDVersion;
        const TReceipt R = ReadReceipt(ACheckPackage, FFD, AIsCorrection, Instance.FTaxValues,
                                       /*AGraphicText=*/true);
        const std::uint64_t Before = LastFiscalDocumentNumber();

        static constexpr int KReceiptType[] = {0, 2, 1, 3};
        // Nothing printed since that state either.
        Device.OpenReceipt(KReceiptType[R.OperationType - 1] | (AIsCorrection ? 128 : 0),
                           TDevice::StandsIdle(State));
        SendDocumentTags(Device, R, FFD, AIsCorrection);
        TCurrency Taxes[6] = {};
        for (const TPosition& P : R.Positions) {
            switch (P.Kind) {
            case TPositionKind::Item:
                RegisterItem(Device, R, P.Item, FFD, Instance.FLineLen, Taxes);
                break;
            case TPositionKind::Text:
                if (!PrintGraphicTextMarkup(P.Text))
                    Device.PrintString(P.Text);
                break;
            case TPositionKind::Barcode:
                if (SameTextI(P.BarcodeType, u"EAN13"))
                    Device.PrintEAN13(P.BarcodeValue);
                else if (SameTextI(P.BarcodeType, u"QR"))
                    Device.PrintQRCode(P.BarcodeValue);
                break;
            case TPositionKind::GraphicText:
                Device.PrintGraphicText(TTextGraphic(P.Text, P.FontSize, P.FontStyle, P.FontName));
                break;
            }
        }
        const TTagSender S(Device, false);
        if (!R.CustomerEmail.empty())
            S.SendText(1008, R.CustomerEmail);
        else
            S.SendText(1008, R.CustomerPhone);
        S.Send(1021, Oem(R.CashierName));
        S.SendText(1117, R.SenderEmail);
        for (const std::u16string& Line : WrapReceiptText(R.ReceiptText, Instance.FLineLen))
            Device.PrintFontString(7, Ansi(Line), Instance.FReceiptFontNumber);

        bool FromArchive = false;
        try {
            Device.CloseCheckEx(R.Payments, 0, Taxes, 1 << R.TaxationSystem, {},
                                Instance.FFiscalSign, Instance.FDateTime);
        } catch (...) {
            const TDocumentOutcome Outcome = JudgeDocument(Before, {Type});
            if (Outcome == TDocumentOutcome::NotMade)
                throw;
            if (Outcome == TDocumentOutcome::Unknown) {
                // The register is gone with the receipt's fate: the next
                // receipt call on this device asks the FN first.
                Instance.FPendingReceipt = TPendingReceipt{Type, Before, PackageText};
                LogPending(u"the receipt after document " +
                               IntToU16(static_cast<long long>(Before)) +
                               u" may or may not have been made: judged by the next receipt call",
                           TLogLevel::Error);
                ThrowOutcomeUnknown(std::current_exception());
            }
            FromArchive = true;
        }
        FinishDocument(Before, Type, FromArchive, ADocumentOutputParameters);
    } catch (const EOutcomeUnknown&) {
        // Whatever is still open is voided if the register answers; its
        // failure must not hide that the outcome is unknown.
        try {
            VoidAfterFailure();
        } catch (const std::exception& E) {
            WriteLog(u"ProcessCheck", u"voiding after the close: " + Utf8ToU16(E.what()),
                     TLogLevel::Error);
        }
        RestoreAfterFailure();
        throw;
    } catch (...) {
        // Voids what is open; a failure here replaces the first one.
        VoidAfterFailure();
        RestoreAfterFailure();
        throw;
    }
    // The document is made: trouble while tidying up is logged, not reported.
    try {
        PrepareDevice();
        RestorePrintMode();
    } catch (const std::exception& E) {
        WriteLog(u"ProcessCheck", u"after the receipt: " + Utf8ToU16(E.what()), TLogLevel::Error);
    }
    DisconnectSocket();
}

} // namespace korv
