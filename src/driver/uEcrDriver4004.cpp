#include "driver/uEcrDriver4004.h"

#include "common/uEquipmentErrors.h"
#include "driver/uDriverXml.h"

#include <cmath>

namespace korv {

namespace {

/// The frame of every fiscal method: the device named by parameter 1 is
/// selected before the work, and driver errors keep their codes.
constexpr TBarrierHooks KBarrierFiscal{
    .Enter = [](TCustomDriver& D,
                V8Variant* P) { static_cast<TEcrlDriver&>(D).SelectDevice(V8AsWideString(&P[0])); },
    .CodeOf = &DriverErrorCode,
};

void ReadXml(const V8Variant* V, pugi::xml_document& ADoc) {
    ParseXmlInput(V8AsWideString(V), ADoc);
}

void GetDataKKTH(TEcrlDriver& D, TParams<2> P) {
    pugi::xml_document Out;
    D.GetDataKKT(Out);
    D.SetOutText(P.At<1>(), XmlText(Out));
}

void OperationFNH(TEcrlDriver& D, TParams<3> P) {
    // A number past the operation codes is refused, not cut to its low byte.
    const auto Type = V8AsInteger(P.At<1>());
    if (Type < 0 || Type > 255)
        throw EquException(1004);
    pugi::xml_document In;
    try {
        ReadXml(P.At<2>(), In);
    } catch (const std::exception&) {
        throw EquException(1004); // an unreadable ParametersFiscal is bad input
    }
    D.OperationFN(static_cast<std::uint8_t>(Type), In);
}

template <void (TEcrlDriver::*Op)(const pugi::xml_document&, pugi::xml_document&)>
void InOutH(TEcrlDriver& D, TParams<3> P) {
    pugi::xml_document In, Out;
    ReadXml(P.At<1>(), In);
    (D.*Op)(In, Out);
    D.SetOutText(P.At<2>(), XmlText(Out));
}

void GetCurrentStatusH(TEcrlDriver& D, TParams<3> P) {
    // Its input only asks for the counters: input that does not read
    // counts as not asking.
    pugi::xml_document In, Out;
    try {
        ReadXml(P.At<1>(), In);
    } catch (const std::exception&) {
        In.reset();
    }
    D.GetCurrentStatus(In, Out);
    D.SetOutText(P.At<2>(), XmlText(Out));
}

template <void (TEcrlDriver::*Op)(const pugi::xml_document&)>
void InH(TEcrlDriver& D, TParams<2> P) {
    pugi::xml_document In;
    ReadXml(P.At<1>(), In);
    (D.*Op)(In);
}

template <void (TEcrlDriver::*Op)()> void NoArgsH(TEcrlDriver& D, TParams<1>) {
    (D.*Op)();
}

void ProcessCheckH(TEcrlDriver& D, TParams<4> P) {
    bool Electronically = V8AsBoolean(P.At<1>());
    pugi::xml_document In, Out;
    ReadXml(P.At<2>(), In);
    D.ProcessCheck(Electronically, In, Out, false);
    D.SetOutText(P.At<3>(), XmlText(Out));
}

void ProcessCorrectionCheckH(TEcrlDriver& D, TParams<4> P) {
    bool Electronically = V8AsBoolean(P.At<1>());
    pugi::xml_document In, Out;
    ReadXml(P.At<2>(), In);
    D.ProcessCorrectionCheck(Electronically, In, Out);
    D.SetOutText(P.At<3>(), XmlText(Out));
}

void CashInOutcomeH(TEcrlDriver& D, TParams<3> P) {
    pugi::xml_document In;
    ReadXml(P.At<1>(), In);
    TCurrency Amount = DoubleToCurrency(V8AsDouble(P.At<2>()));
    D.CashInOutcome(In, Amount);
}

void GetLineLengthH(TEcrlDriver& D, TParams<2> P) {
    std::int32_t LineLength = 0;
    D.GetLineLength(LineLength);
    D.V8SetInt(P.At<1>(), LineLength);
}

void PrintCheckCopyH(TEcrlDriver& D, TParams<2> P) {
    D.PrintCheckCopy(V8AsWideString(P.At<1>()));
}

void GetProcessingKMResultH(TEcrlDriver& D, TParams<3> P) {
    pugi::xml_document Out;
    std::int32_t RequestStatus = 0;
    D.GetProcessingKMResult(Out, RequestStatus);
    D.SetOutText(P.At<1>(), XmlText(Out));
    D.V8SetInt(P.At<2>(), RequestStatus);
}

void ConfirmKMH(TEcrlDriver& D, TParams<3> P) {
    std::u16string Guid = V8AsWideString(P.At<1>());
    D.ConfirmKM(Guid, V8AsInteger(P.At<2>()));
}

void SetDateTimeH(TEcrlDriver& D, TParams<2> P) {
    D.SetDateTime(V8AsWideString(P.At<1>()));
}

void GetDateTimeH(TEcrlDriver& D, TParams<2> P) {
    std::u16string DateTime;
    D.GetDateTime(DateTime);
    D.SetOutText(P.At<1>(), DateTime);
}

void GetDocumentInformationH(TEcrlDriver& D, TParams<3> P) {
    std::int32_t DocNumber = V8AsInteger(P.At<1>());
    pugi::xml_document Out;
    D.GetDocumentInformation(DocNumber, Out);
    D.SetOutText(P.At<2>(), XmlText(Out));
}

/// One line per fiscal method: its names and its handler.
template <auto H>
constexpr TExportMethod Fiscal(std::u16string_view AName, std::u16string_view ALoc) {
    return Export<H>(AName, ALoc, KBarrierFiscal);
}

using E = TEcrlDriver;

const TExportMethod KMethods[] = {
    Fiscal<GetDataKKTH>(u"GetDataKKT", u"ПолучитьПараметрыККТ"),
    Fiscal<OperationFNH>(u"OperationFN", u"ОперацияФН"),
    Fiscal<InOutH<&E::OpenShift>>(u"OpenShift", u"ОткрытьСмену"),
    Fiscal<InOutH<&E::CloseShift>>(u"CloseShift", u"ЗакрытьСмену"),
    Fiscal<ProcessCheckH>(u"ProcessCheck", u"СформироватьЧек"),
    Fiscal<ProcessCorrectionCheckH>(u"ProcessCorrectionCheck", u"СформироватьЧекКоррекции"),
    Fiscal<InH<&E::PrintTextDocument>>(u"PrintTextDocument", u"НапечататьТекстовыйДокумент"),
    Fiscal<CashInOutcomeH>(u"CashInOutcome", u"НапечататьЧекВнесенияВыемки"),
    Fiscal<InH<&E::PrintXReport>>(u"PrintXReport", u"НапечататьОтчетБезГашения"),
    Fiscal<GetCurrentStatusH>(u"GetCurrentStatus", u"ПолучитьТекущееСостояние"),
    Fiscal<InOutH<&E::ReportCurrentStatusOfSettlements>>(u"ReportCurrentStatusOfSettlements",
                                                         u"ОтчетОТекущемСостоянииРасчетов"),
    Fiscal<NoArgsH<&E::OpenCashDrawer>>(u"OpenCashDrawer", u"ОткрытьДенежныйЯщик"),
    Fiscal<GetLineLengthH>(u"GetLineLength", u"ПолучитьШиринуСтроки"),
    Fiscal<PrintCheckCopyH>(u"PrintCheckCopy", u"НапечататьКопиюЧека"),
    Fiscal<NoArgsH<&E::OpenSessionRegistrationKM>>(u"OpenSessionRegistrationKM",
                                                   u"ОткрытьСессиюРегистрацииКМ"),
    Fiscal<NoArgsH<&E::CloseSessionRegistrationKM>>(u"CloseSessionRegistrationKM",
                                                    u"ЗакрытьСессиюРегистрацииКМ"),
    Fiscal<InOutH<&E::RequestKM>>(u"RequestKM", u"ЗапросКМ"),
    Fiscal<GetProcessingKMResultH>(u"GetProcessingKMResult", u"ПолучитьРезультатыЗапросаКМ"),
    Fiscal<ConfirmKMH>(u"ConfirmKM", u"ПодтвердитьКМ"),
    Fiscal<SetDateTimeH>(u"SetDateTime", u"УстановитьДатуВремя"),
    Fiscal<GetDateTimeH>(u"GetDateTime", u"ПолучитьДатуВремя"),
    Fiscal<GetDocumentInformationH>(u"GetDocumentInformation", u"ПолучитьИнформациюПоДокументу"),
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

} // namespace korv
