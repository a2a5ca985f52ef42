#include "driver/uEcrDriver4004.h"

#include "common/uEquipmentErrors.h"
#include "driver/uDriverXml.h"

#include <cmath>

namespace korv {

namespace {

TEcrlDriver& Ecr(TCustomDriver& D) {
    return static_cast<TEcrlDriver&>(D);
}

/// The frame of every fiscal method: check the count, select the device
/// named by parameter 1, run the work, record the verdict.
template <class FWork>
bool EcrCall(TCustomDriver& D, V8Variant* R, V8Variant* P, long N, int ACount, FWork&& AWork) {
    try {
        Param(P, N, ACount - 1);
        Ecr(D).SelectDevice(V8AsWideString(&P[0]));
        AWork();
        D.SetSuccess(R);
    } catch (const std::exception& E) {
        Ecr(D).HandleEcrException(E, R);
    } catch (...) {
        D.HandleUnknownException(R);
    }
    return true;
}

void ReadXml(const V8Variant* V, pugi::xml_document& ADoc) {
    ParseXmlInput(V8AsWideString(V), ADoc);
}

bool GetDataKKTH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 2, [&] {
        pugi::xml_document Out;
        Ecr(D).GetDataKKT(Out);
        D.SetOutText(&P[1], XmlText(Out));
    });
}

bool OperationFNH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        auto OperationType = static_cast<std::uint8_t>(V8AsInteger(&P[1]) & 0xFF);
        pugi::xml_document In;
        ReadXml(&P[2], In);
        Ecr(D).OperationFN(OperationType, In);
    });
}

template <void (TEcrlDriver::*Op)(const pugi::xml_document&, pugi::xml_document&)>
bool InOutH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        pugi::xml_document In, Out;
        ReadXml(&P[1], In);
        (Ecr(D).*Op)(In, Out);
        D.SetOutText(&P[2], XmlText(Out));
    });
}

bool GetCurrentStatusH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        // Its input only asks for the counters: input that does not read
        // counts as not asking.
        pugi::xml_document In, Out;
        try {
            ReadXml(&P[1], In);
        } catch (const std::exception&) {
            In.reset();
        }
        Ecr(D).GetCurrentStatus(In, Out);
        D.SetOutText(&P[2], XmlText(Out));
    });
}

template <void (TEcrlDriver::*Op)(const pugi::xml_document&)>
bool InH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 2, [&] {
        pugi::xml_document In;
        ReadXml(&P[1], In);
        (Ecr(D).*Op)(In);
    });
}

template <void (TEcrlDriver::*Op)()>
bool NoArgsH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 1, [&] { (Ecr(D).*Op)(); });
}

bool ProcessCheckH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 4, [&] {
        bool Electronically = V8AsBoolean(&P[1]);
        pugi::xml_document In, Out;
        ReadXml(&P[2], In);
        Ecr(D).ProcessCheck(Electronically, In, Out, false);
        D.SetOutText(&P[3], XmlText(Out));
    });
}

bool ProcessCorrectionCheckH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 4, [&] {
        bool Electronically = V8AsBoolean(&P[1]);
        pugi::xml_document In, Out;
        ReadXml(&P[2], In);
        Ecr(D).ProcessCorrectionCheck(Electronically, In, Out);
        D.SetOutText(&P[3], XmlText(Out));
    });
}

bool CashInOutcomeH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        pugi::xml_document In;
        ReadXml(&P[1], In);
        TCurrency Amount = DoubleToCurrency(V8AsDouble(&P[2]));
        Ecr(D).CashInOutcome(In, Amount);
    });
}

bool GetLineLengthH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 2, [&] {
        std::int32_t LineLength = 0;
        Ecr(D).GetLineLength(LineLength);
        D.V8SetInt(&P[1], LineLength);
    });
}

bool PrintCheckCopyH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 2, [&] { Ecr(D).PrintCheckCopy(V8AsWideString(&P[1])); });
}

bool GetProcessingKMResultH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        pugi::xml_document Out;
        std::int32_t RequestStatus = 0;
        Ecr(D).GetProcessingKMResult(Out, RequestStatus);
        D.SetOutText(&P[1], XmlText(Out));
        D.V8SetInt(&P[2], RequestStatus);
    });
}

bool ConfirmKMH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        std::u16string Guid = V8AsWideString(&P[1]);
        Ecr(D).ConfirmKM(Guid, V8AsInteger(&P[2]));
    });
}

bool SetDateTimeH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 2, [&] { Ecr(D).SetDateTime(V8AsWideString(&P[1])); });
}

bool GetDateTimeH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 2, [&] {
        std::u16string DateTime;
        Ecr(D).GetDateTime(DateTime);
        D.SetOutText(&P[1], DateTime);
    });
}

bool GetDocumentInformationH(TCustomDriver& D, V8Variant* R, V8Variant* P, long N) {
    return EcrCall(D, R, P, N, 3, [&] {
        std::int32_t DocNumber = V8AsInteger(&P[1]);
        pugi::xml_document Out;
        Ecr(D).GetDocumentInformation(DocNumber, Out);
        D.SetOutText(&P[2], XmlText(Out));
    });
}

using E = TEcrlDriver;

const TExportMethod KMethods[] = {
    {u"GetDataKKT", u"ПолучитьПараметрыККТ", 2, GetDataKKTH},
    {u"OperationFN", u"ОперацияФН", 3, OperationFNH},
    {u"OpenShift", u"ОткрытьСмену", 3, InOutH<&E::OpenShift>},
    {u"CloseShift", u"ЗакрытьСмену", 3, InOutH<&E::CloseShift>},
    {u"ProcessCheck", u"СформироватьЧек", 4, ProcessCheckH},
    {u"ProcessCorrectionCheck", u"СформироватьЧекКоррекции", 4, ProcessCorrectionCheckH},
    {u"PrintTextDocument", u"НапечататьТекстовыйДокумент", 2, InH<&E::PrintTextDocument>},
    {u"CashInOutcome", u"НапечататьЧекВнесенияВыемки", 3, CashInOutcomeH},
    {u"PrintXReport", u"НапечататьОтчетБезГашения", 2, InH<&E::PrintXReport>},
    {u"GetCurrentStatus", u"ПолучитьТекущееСостояние", 3, GetCurrentStatusH},
    {u"ReportCurrentStatusOfSettlements", u"ОтчетОТекущемСостоянииРасчетов", 3,
     InOutH<&E::ReportCurrentStatusOfSettlements>},
    {u"OpenCashDrawer", u"ОткрытьДенежныйЯщик", 1, NoArgsH<&E::OpenCashDrawer>},
    {u"GetLineLength", u"ПолучитьШиринуСтроки", 2, GetLineLengthH},
    {u"PrintCheckCopy", u"НапечататьКопиюЧека", 2, PrintCheckCopyH},
    {u"OpenSessionRegistrationKM", u"ОткрытьСессиюРегистрацииКМ", 1,
     NoArgsH<&E::OpenSessionRegistrationKM>},
    {u"CloseSessionRegistrationKM", u"ЗакрытьСессиюРегистрацииКМ", 1,
     NoArgsH<&E::CloseSessionRegistrationKM>},
    {u"RequestKM", u"ЗапросКМ", 3, InOutH<&E::RequestKM>},
    {u"GetProcessingKMResult", u"ПолучитьРезультатыЗапросаКМ", 3, GetProcessingKMResultH},
    {u"ConfirmKM", u"ПодтвердитьКМ", 3, ConfirmKMH},
    {u"SetDateTime", u"УстановитьДатуВремя", 2, SetDateTimeH},
    {u"GetDateTime", u"ПолучитьДатуВремя", 2, GetDateTimeH},
    {u"GetDocumentInformation", u"ПолучитьИнформациюПоДокументу", 3, GetDocumentInformationH},
};

} // namespace

TCurrency DoubleToCurrency(double AValue) {
    double Scaled = AValue * 10000.0;
    // The largest magnitude that still fits a 64-bit amount after rounding.
    if (!std::isfinite(Scaled) || std::fabs(Scaled) >= 9.2e18)
        throw EquException(1004);
    return static_cast<TCurrency>(std::llround(Scaled));
}

TEcrlDriver::TEcrlDriver() {
    UpdateDriverInfo(DriverInfo());
}

const TExportTable& TEcrlDriver::ExportTable() {
    static const TExportTable Table{&TCommonDriver::ExportTable(), KMethods, {}, {}};
    return Table;
}

void TEcrlDriver::UpdateDriverInfo(TDriverInfo& ADriverInfo) {
    TCommonDriver::UpdateDriverInfo(ADriverInfo);
    ADriverInfo.EquipmentType = TEquipmentType::etECR;
    ADriverInfo.IntegrationComponent = false;
}

void TEcrlDriver::HandleEcrException(const std::exception& E, V8Variant* RetValue) {
    if (const auto* Equ = dynamic_cast<const EquException*>(&E))
        HandleException(E, RetValue, Equ->Code);
    else
        HandleException(E, RetValue, 1001);
}

} // namespace korv
