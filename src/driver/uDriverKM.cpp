// Marking codes checked with the FN before the sale: the session, the
// request and its result, the confirmation. The receipt binds the checked
// codes to their items.

#include "driver/uDriverReceipt.h"

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

namespace korv {

using namespace drv;
using namespace rcpt;

namespace {

bool IsFFD12(int AFFD) {
    return AFFD == static_cast<int>(TFFDVersion::ffd12);
}

/// The request element: the root itself, or a child of the root.
pugi::xml_node RequestNode(const pugi::xml_document& ADoc) {
    pugi::xml_node Root = ADoc.document_element();
    if (std::string_view(Root.name()) == "RequestKM")
        return Root;
    if (pugi::xml_node Child = Root.child("RequestKM"))
        return Child;
    throw EquException(1004, u"Не найдена структура RequestKM");
}

} // namespace

namespace rcpt {

TKMRequest ReadKMRequest(const pugi::xml_document& AInput) {
    pugi::xml_node Request = RequestNode(AInput);
    pugi::xml_node Fraction = Request.child("FractionalQuantity");
    TKMRequest R;
    R.Code = AttrBase64(Request, "MarkingCode");
    R.GUID = U16ToUtf8(AttrText(Request, "GUID"));
    R.PlannedStatus = AttrInt(Request, "PlannedStatus", 0);
    R.Quantity = AttrNumber(Request, "Quantity");
    R.Measure = AttrInt(Request, "MeasureOfQuantity", 0);
    R.Numerator = AttrInt(Fraction, "Numerator", 0);
    R.Denominator = AttrInt(Fraction, "Denominator", 0);
    if (R.Code.empty() || R.Code.size() > 255)
        throw EquException(1004, u"Ошибка входных параметров команды: MarkingCode");
    return R;
}

} // namespace rcpt

void TDriver::CheckKMSupported() {
    CurrentDevice();
    if (!IsFFD12(FInstance->FFFDVersion))
        throw EDriverError(u"Данная операция не поддерживается");
}

void TDriver::ResetMarkingSession() {
    CurrentDevice();
    if (!IsFFD12(FInstance->FFFDVersion))
        return;
    Operate([&](TDevice& Device) {
        CheckShiftState(false);
        PrepareDevice();
        Device.ClearBufferKM();
        Device.KMListResult().clear();
        FInstance->FRequestCounter = 0;
    });
}

void TDriver::OpenSessionRegistrationKM() {
    ResetMarkingSession();
}

void TDriver::CloseSessionRegistrationKM() {
    ResetMarkingSession();
}

void TDriver::RequestKM(const pugi::xml_document& AInputParameters,
                        pugi::xml_document& AOutputParameters) {
    CheckKMSupported();
    TDeviceDriver& Instance = *FInstance;
    Operate([&](TDevice& Device) {
        CheckShiftState(false);
        const TKMRequest R = ReadKMRequest(AInputParameters);
        // The previous code was neither confirmed nor followed by a session
        // reset: it is not sold.
        if (Instance.FRequestCounter == 1) {
            Device.KMListResult().erase(Instance.FCurrentKM);
            Instance.FRequestCounter = 0;
        }
        const std::string& Code = R.Code;
        Instance.FCurrentKM = Code;

        Device.SetCheckMarkCount(0);
        TKMResult Result;
        try {
            Device.CheckMarkingCode(R.PlannedStatus, Code, R.Quantity, R.Measure, R.Numerator,
                                    R.Denominator, Result);
        } catch (...) {
            Device.KMListResult().erase(Code);
            throw;
        }
        Result.GUID = R.GUID;
        Result.KM = Code;
        Instance.FKMResult = Result;
        pugi::xml_node Out = AOutputParameters.append_child("RequestKMResult");
        SetAttr(Out, "Checking", BoolText((Result.LocalValidationResult & 1) != 0));
        SetAttr(Out, "CheckingResult", BoolText((Result.LocalValidationResult & 2) != 0));
        if (Instance.FRequestCounter == 0)
            Instance.FRequestCounter = 1;
    });
}

void TDriver::GetProcessingKMResult(pugi::xml_document& AOutputParameters,
                                    std::int32_t& ARequestStatus) {
    CheckKMSupported();
    const TKMResult& R = FInstance->FKMResult;
    pugi::xml_node Out = AOutputParameters.append_child("ProcessingKMResult");
    SetAttr(Out, "GUID", Utf8ToU16(R.GUID));
    SetAttr(Out, "Result", BoolText((R.ProcessingResult & 2) != 0));
    SetAttr(Out, "ResultCode", R.MarkingValidationResult);
    SetAttr(Out, "StatusInfo", R.StatusInfo);
    SetAttr(Out, "HandleCode", R.ProcessingCode);
    ARequestStatus = R.RequestStatus;
}

void TDriver::ConfirmKM(const std::u16string&, std::int32_t) {
    CheckKMSupported();
    // The code stays in the list; the receipt binds it to its item.
    FInstance->FRequestCounter = 0;
}

} // namespace korv
