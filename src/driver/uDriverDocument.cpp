// A fiscal document read back from the FN archive (GetDocumentInformation),
// as the CheckPackage the host reads.

#include "common/uBase64.h"
#include "common/uCodePages.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"

#include <charconv>

namespace korv {

using namespace drv;

namespace {

enum class TTarget { Parameters, Position, Payments };

struct TTagAttr {
    int Tag;
    TTarget Target;
    const char* Name;
};

// The tags the CheckPackage carries, and where each goes.
constexpr TTagAttr KTagAttrs[] = {
    {1040, TTarget::Parameters, "DocNumber"},        {1012, TTarget::Parameters, "DateTime"},
    {1077, TTarget::Parameters, "FiscalSign"},       {1054, TTarget::Parameters, "OperationType"},
    {1055, TTarget::Parameters, "TaxationSystem"},   {1021, TTarget::Parameters, "CashierName"},
    {1203, TTarget::Parameters, "CashierINN"},       {1030, TTarget::Position, "Name"},
    {1079, TTarget::Position, "PriceWithDiscount"},  {1023, TTarget::Position, "Quantity"},
    {1043, TTarget::Position, "AmountWithDiscount"}, {1200, TTarget::Position, "VATAmount"},
    {1212, TTarget::Position, "CalculationSubject"}, {1214, TTarget::Position, "PaymentMethod"},
    {1305, TTarget::Position, "MarkingCode"},        {1031, TTarget::Payments, "Cash"},
    {1081, TTarget::Payments, "ElectronicPayment"},  {1215, TTarget::Payments, "PrePayment"},
    {1216, TTarget::Payments, "PostPayment"},        {1217, TTarget::Payments, "Barter"},
};

constexpr int KItemTag = 1059;

const TTagAttr* FindTagAttr(int ATag) {
    for (const TTagAttr& A : KTagAttrs)
        if (A.Tag == ATag)
            return &A;
    return nullptr;
}

/// The attribute's text: times as dates, marking codes as Base64 of their
/// bytes, the rest as decoded.
std::u16string AttrValue(const TDocElement& AElement) {
    if (AElement.Tag == 1305)
        return Utf8ToU16(Base64Encode(U16ToAnsi(AElement.Value)));
    if (AElement.DataType == TFFD::ffdUnixTime) {
        const std::string Digits = U16ToUtf8(AElement.Value);
        std::int64_t Seconds = 0;
        auto Res = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Seconds);
        if (Res.ec == std::errc() && Res.ptr == Digits.data() + Digits.size())
            return UnixToIsoText(Seconds);
    }
    return AElement.Value;
}

} // namespace

void BuildCheckPackage(int ADocType, const std::vector<TDocElement>& AElements,
                       pugi::xml_document& AOutputParameters) {
    pugi::xml_node Root = AOutputParameters.append_child("CheckPackage");
    pugi::xml_node Params = Root.append_child("Parameters");
    SetAttr(Params, "DocumentType", ADocType);
    pugi::xml_node Positions, Payments, Position;
    for (const TDocElement& E : AElements) {
        if (E.TagSection == TTagSection::tsGoodPosition) {
            const TTagAttr* A = FindTagAttr(E.Tag);
            // An item attribute before any item structure has nowhere to go.
            if (A && A->Target == TTarget::Position && Position)
                SetAttr(Position, A->Name, AttrValue(E));
            continue;
        }
        if (E.Tag == KItemTag) {
            if (!Positions)
                Positions = Root.append_child("Positions");
            Position = Positions.append_child("FiscalString");
            continue;
        }
        const TTagAttr* A = FindTagAttr(E.Tag);
        if (!A)
            continue;
        if (A->Target == TTarget::Parameters) {
            SetAttr(Params, A->Name, AttrValue(E));
        } else if (A->Target == TTarget::Payments) {
            if (!Payments)
                Payments = Root.append_child("Payments");
            SetAttr(Payments, A->Name, AttrValue(E));
        }
    }
}

void TDriver::GetDocumentInformation(std::int32_t ADocNumber,
                                     pugi::xml_document& AOutputParameters) {
    Operate([&](TDevice& Device) {
        TFNCurrentStatus Status;
        Device.GetFNCurrentStatus(Status);
        const std::uint64_t Number =
            ADocNumber > 0 ? static_cast<std::uint64_t>(ADocNumber) : Status.LastFDNumber;
        int DocType = 0;
        const int Rc = Device.GetFiscalTagList(Number, DocType);
        if (Rc != 0)
            throw EDriverError(u"Ошибка извлечения данных из ФН. " +
                               TDevice::GetErrorDescription(Rc));
        BuildCheckPackage(DocType, Device.DocElementList(), AOutputParameters);
    });
}

} // namespace korv
