// Reading the receipt package: values converted and checked before the
// register is told anything, and the text helpers of the receipt.

#include "driver/uDriverReceipt.h"

#include "common/uBase64.h"
#include "common/uBytes.h"
#include "common/uCodePages.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "driver/uDeviceDriver.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace korv::rcpt {

namespace {

[[noreturn]] void BadInput(const char* AName, std::u16string_view AWhy) {
    throw EquException(1004, u"Ошибка входных параметров команды: " + Utf8ToU16(AName) + u" " +
                                 std::u16string(AWhy));
}

std::string TrimmedUtf8(pugi::xml_attribute A) {
    return U16ToUtf8(TrimView(XmlToU16(A.value())));
}

} // namespace

int AttrInt(pugi::xml_node ANode, const char* AName, int ADefault) {
    pugi::xml_attribute A = ANode.attribute(AName);
    const std::string Text = TrimmedUtf8(A);
    if (Text.empty())
        return ADefault;
    int Value = 0;
    const char* Begin = Text.data();
    if (*Begin == '+')
        ++Begin;
    auto Res = std::from_chars(Begin, Text.data() + Text.size(), Value);
    if (Res.ec != std::errc() || Res.ptr != Text.data() + Text.size())
        BadInput(AName, u"не является целым числом");
    return Value;
}

double AttrNumber(pugi::xml_node ANode, const char* AName) {
    std::string Text = TrimmedUtf8(ANode.attribute(AName));
    if (Text.empty())
        return 0;
    for (char& C : Text)
        if (C == ',')
            C = '.';
    double Value = 0;
    const char* Begin = Text.data();
    if (*Begin == '+')
        ++Begin;
    auto Res = std::from_chars(Begin, Text.data() + Text.size(), Value);
    if (Res.ec != std::errc() || Res.ptr != Text.data() + Text.size() || !std::isfinite(Value))
        BadInput(AName, u"не является числом");
    return Value;
}

TCurrency ToCurrency(double AValue) {
    // Beyond the register's five-byte money fields in any case.
    if (!std::isfinite(AValue) || std::fabs(AValue) > 1e13)
        throw EquException(1004);
    return static_cast<TCurrency>(std::nearbyint(AValue * CurrencyScale));
}

TCurrency AttrCurrency(pugi::xml_node ANode, const char* AName) {
    return ToCurrency(AttrNumber(ANode, AName));
}

std::u16string AttrText(pugi::xml_node ANode, const char* AName) {
    return XmlToU16(ANode.attribute(AName).value());
}

std::u16string AttrTrim(pugi::xml_node ANode, const char* AName) {
    return std::u16string(TrimView(AttrText(ANode, AName)));
}

std::string AttrBase64(pugi::xml_node ANode, const char* AName) {
    const std::string Text = ANode.attribute(AName).value();
    try {
        return Base64Decode(Text);
    } catch (const EquException&) {
        BadInput(AName, u"не в кодировке Base64");
    }
}

std::u16string NormalizeINN(std::u16string_view AINN) {
    std::u16string INN(TrimView(AINN));
    if (INN.size() == 10)
        INN += u"  ";
    return INN;
}

std::vector<std::u16string> NormalizePhones(std::u16string_view APhones) {
    std::vector<std::u16string> Result;
    std::u16string Part;
    auto Flush = [&] {
        if (!Part.empty())
            Result.push_back(u"+" + Part);
        Part.clear();
    };
    for (char16_t C : APhones) {
        if (C == u';' || C == u',')
            Flush();
        else if (C >= u'0' && C <= u'9')
            Part += C;
    }
    Flush();
    return Result;
}

std::u16string JustifyLine(std::u16string_view ALeft, TCurrency AAmount, int AWidth) {
    const std::size_t Width = AWidth > 0 ? static_cast<std::size_t>(AWidth) : 24;
    const std::int64_t Kopecks = CurrencyToKopecks(AAmount < 0 ? -AAmount : AAmount);
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "%lld.%02lld", static_cast<long long>(Kopecks / 100),
                  static_cast<long long>(Kopecks % 100));
    const std::u16string Amount = Utf8ToU16(Buf);
    std::u16string Left(ALeft.substr(0, Width > Amount.size() ? Width - Amount.size() : 0));
    if (Left.size() + Amount.size() < Width)
        Left.append(Width - Left.size() - Amount.size(), u' ');
    return Left + Amount;
}

std::vector<std::u16string> WrapReceiptText(std::u16string_view AText, int AWidth) {
    std::vector<std::u16string> Lines;
    const std::size_t Width = AWidth > 0 ? static_cast<std::size_t>(AWidth) : 24;
    WrapText(AText, Width, [&](std::u16string_view ALine) {
        if (!TrimView(ALine).empty())
            Lines.emplace_back(ALine);
    });
    return Lines;
}

std::string GS1ToProductCode(std::string_view ACode) {
    auto Fail = [&]() -> std::string {
        throw EDriverError(u"Некорректный код маркировки " + AnsiToU16(ACode));
    };
    const std::size_t At = ACode.find("01");
    if (At != 0 && At != 1)
        return Fail();
    if (ACode.size() < At + 16)
        return Fail();
    const std::string Gtin = std::string(TrimView(ACode.substr(At + 2, 14)));
    std::string_view Rest = ACode.substr(At + 16);
    if (Rest.find("21") == std::string_view::npos)
        return Fail();
    Rest.remove_prefix(2);
    std::size_t End = Rest.find('\x1D');
    if (End == std::string_view::npos)
        End = Rest.find("92");
    if (End == std::string_view::npos)
        return Fail();
    const std::string Serial = std::string(TrimView(Rest.substr(0, End)));
    std::uint64_t Number = 0;
    auto Res = std::from_chars(Gtin.data(), Gtin.data() + Gtin.size(), Number);
    if (Gtin.empty() || Res.ec != std::errc() || Res.ptr != Gtin.data() + Gtin.size() ||
        Number >= (std::uint64_t{1} << 48))
        return Fail();
    return "DM" + IntToBEBytesN(6, Number) + Serial;
}

int TaxNumberOfRate(const TTaxValues& ATaxes, std::u16string_view ARate) {
    // Positions in the rate list: 20, 18, 10, 0, none, 20/120, 18/118, 10/110,
    // then the rates this register cannot take.
    static constexpr int KTaxNumber[] = {0, 1, 1, 2, 3, 4, 5, 5, 6};
    const int Id = ATaxes.IDOfTax(TrimView(ARate));
    if (Id >= 9)
        throw EDriverError(drv::Format(u"Налог %s не поддержан", ARate));
    return KTaxNumber[Id];
}

namespace {

TAgentData ReadAgent(pugi::xml_node N) {
    TAgentData A;
    A.AgentOperation = AttrTrim(N, "AgentOperation");
    A.AgentPhone = AttrTrim(N, "AgentPhone");
    A.PaymentProcessorPhone = AttrTrim(N, "PaymentProcessorPhone");
    A.AcquirerOperatorPhone = AttrTrim(N, "AcquirerOperatorPhone");
    A.AcquirerOperatorName = AttrTrim(N, "AcquirerOperatorName");
    A.AcquirerOperatorAddress = AttrTrim(N, "AcquirerOperatorAddress");
    A.AcquirerOperatorINN = AttrTrim(N, "AcquirerOperatorINN");
    return A;
}

TVendorData ReadVendor(pugi::xml_node N) {
    TVendorData V;
    V.VendorPhone = AttrTrim(N, "VendorPhone");
    V.VendorName = AttrTrim(N, "VendorName");
    V.VendorINN = AttrTrim(N, "VendorINN");
    return V;
}

TIndustryAttribute ReadIndustry(pugi::xml_node N) {
    TIndustryAttribute I;
    I.IdentifierFOIV = AttrTrim(N, "IdentifierFOIV");
    I.DocumentDate = AttrTrim(N, "DocumentDate");
    I.DocumentNumber = AttrTrim(N, "DocumentNumber");
    I.AttributeValue = AttrTrim(N, "AttributeValue");
    return I;
}

void CheckAgent(int AValue) {
    if (AValue != -1 && (AValue < 0 || AValue > 6))
        throw EquException(3023);
}

constexpr const char* KGoodCodeNames[TGoodCode::KCount] = {
    "NotIdentified", "EAN8", "EAN13", "ITF14", "GS1.0", "GS1.M", "KMK", "MI", "EGAIS20", "EGAIS30"};

TItem ReadItem(pugi::xml_node N, int AFFD, const TTaxValues& ATaxes) {
    TItem It;
    It.Agent = ReadAgent(N.child("AgentData"));
    It.Vendor = ReadVendor(N.child("VendorData"));
    pugi::xml_node Good = N.child("GoodCodeData");
    It.Industry = ReadIndustry(N.child("IndustryAttribute"));

    It.CalculationSubject = AttrInt(N, "CalculationSubject", -1);
    if (It.CalculationSubject < 1 || It.CalculationSubject > 33)
        throw EquException(3020);
    It.PaymentMethod = AttrInt(N, "PaymentMethod", -1);
    if (It.PaymentMethod < 1 || It.PaymentMethod > 7)
        throw EquException(3021);
    It.Name = AttrText(N, "Name").substr(0, 126);
    It.Quantity = AttrNumber(N, "Quantity");
    It.Price = AttrCurrency(N, "PriceWithDiscount");
    It.Amount = AttrCurrency(N, "AmountWithDiscount");
    It.Discount = AttrCurrency(N, "DiscountAmount");
    It.VATRate = AttrText(N, "VATRate");
    It.VATAmount = AttrCurrency(N, "VATAmount");
    It.Department = AttrInt(N, "Department", 0);
    It.CalculationAgent = AttrInt(N, "CalculationAgent", -1);
    CheckAgent(It.CalculationAgent);
    It.MarkingCode = AttrBase64(N, "MarkingCode");
    It.MeasurementUnit = AttrTrim(N, "MeasurementUnit");
    It.MeasureOfQuantity = AttrInt(N, "MeasureOfQuantity", 0);
    It.CountryOfOrigin = AttrTrim(N, "CountryOfOrigin");
    It.CustomsDeclaration = AttrTrim(N, "CustomsDeclaration");
    It.ExciseAmount = AttrCurrency(N, "ExciseAmount");
    It.AdditionalAttribute = AttrTrim(N, "AdditionalAttribute");
    It.TaxNumber = TaxNumberOfRate(ATaxes, It.VATRate);

    // The fields the register takes must fit them: refused here, not mid-receipt.
    if (It.Department < 0 || It.Department > 255 || It.MeasureOfQuantity < 0 ||
        It.MeasureOfQuantity > 255 || It.Price < 0 || It.Amount < 0 || It.VATAmount < 0 ||
        It.ExciseAmount < 0 || !(It.Quantity >= 0) || It.Quantity > 1e8)
        throw EquException(1004);

    if (Good) {
        It.HasGoodCode = true;
        if (AFFD == static_cast<int>(TFFDVersion::ffd12)) {
            for (int I = 0; I < TGoodCode::KCount; ++I) {
                pugi::xml_attribute A = Good.attribute(KGoodCodeNames[I]);
                if (!A)
                    continue;
                It.GoodCode.Present[I] = true;
                It.GoodCode.Value[I] = I == gcMI ? U16ToAnsi(XmlToU16(A.value()))
                                                 : AttrBase64(Good, KGoodCodeNames[I]);
            }
        } else {
            It.GoodCode.FFD11Code = AttrBase64(Good, "MarkingCode");
        }
    }
    return It;
}

} // namespace

TReceipt ReadReceipt(const pugi::xml_document& APackage, int AFFD, bool AIsCorrection,
                     const TTaxValues& ATaxes, bool AGraphicText) {
    pugi::xml_node Root = APackage.document_element();
    pugi::xml_node Params = Root.child("Parameters");
    pugi::xml_node Positions = Root.child("Positions");
    pugi::xml_node Payments = Root.child("Payments");
    if (!Params || !Positions || !Payments)
        throw EquException(1004);
    const bool Old = AFFD < static_cast<int>(TFFDVersion::ffd12);

    TReceipt R;
    R.OperationType = AttrInt(Params, "OperationType", 0);
    if (R.OperationType < 1 || R.OperationType > 4)
        throw EquException(1004);
    R.CashierName = AttrText(Params, "CashierName");
    R.CashierINN = std::u16string(TrimView(AttrText(Params, "CashierINN")));
    TDriver::CheckCashierINN(R.CashierINN);
    R.CashierINN = NormalizeINN(R.CashierINN);
    R.CustomerEmail = AttrTrim(Params, "CustomerEmail");
    R.CustomerPhone = AttrTrim(Params, "CustomerPhone");
    R.TaxationSystem = AttrInt(Params, "TaxationSystem", 0);
    if (R.TaxationSystem < 0 || R.TaxationSystem > 7)
        throw EquException(1004);
    R.SenderEmail = AttrTrim(Params, "SenderEmail");
    R.AgentType = AttrInt(Params, "AgentType", -1);
    CheckAgent(R.AgentType);
    R.AdditionalAttribute = AttrTrim(Params, "AdditionalAttribute");
    R.ReceiptText = AttrText(Params, "ReceiptText");

    if (pugi::xml_node U = Params.child("UserAttribute")) {
        R.UserAttributeName = AttrText(U, "Name");
        R.UserAttributeValue = AttrText(U, "Value");
        R.HasUserAttribute = !R.UserAttributeName.empty() && !R.UserAttributeValue.empty();
    }
    if (pugi::xml_node C = Params.child("CustomerDetail")) {
        R.HasCustomerDetail = true;
        R.CustomerInfo = AttrTrim(C, "Info");
        R.CustomerINN = NormalizeINN(AttrTrim(C, "INN"));
        R.DateOfBirth = AttrTrim(C, "DateOfBirth");
        R.Citizenship = AttrTrim(C, "Citizenship");
        R.DocumentTypeCode = AttrTrim(C, "DocumentTypeCode");
        R.DocumentData = AttrTrim(C, "DocumentData");
        R.CustomerAddress = AttrTrim(C, "Address");
    }
    if (pugi::xml_node O = Params.child("OperationalAttribute"); O && !Old) {
        R.HasOperationalAttribute = true;
        R.OperationDateTime = AttrTrim(O, "DateTime");
        R.OperationID = AttrTrim(O, "OperationID");
        R.OperationData = AttrTrim(O, "OperationData");
        if (!R.OperationDateTime.empty())
            DateTextToUnix(R.OperationDateTime); // 1004 for a bad date
        if (!R.OperationID.empty())
            AttrInt(O, "OperationID", 0);
    }
    if (pugi::xml_node I = Params.child("IndustryAttribute"); I && !Old)
        R.Industry = ReadIndustry(I);
    if (pugi::xml_node C = Params.child("CorrectionData"); C && AIsCorrection) {
        R.HasCorrectionData = true;
        R.CorrectionType = AttrInt(C, "Type", 0);
        if (R.CorrectionType < 0 || R.CorrectionType > 255)
            throw EquException(1004);
        R.CorrectionDate = AttrTrim(C, "Date");
        if (!R.CorrectionDate.empty())
            DateTextToUnix(R.CorrectionDate);
        R.CorrectionNumber = AttrTrim(C, "Number");
    }
    R.Agent = ReadAgent(Params.child("AgentData"));
    R.Vendor = ReadVendor(Params.child("VendorData"));

    for (pugi::xml_node N : Positions.children()) {
        if (N.type() != pugi::node_element)
            continue;
        const std::u16string Name = XmlToU16(N.name());
        TPosition P;
        if (SameTextI(Name, u"FiscalString")) {
            P.Kind = TPositionKind::Item;
            P.Item = ReadItem(N, AFFD, ATaxes);
        } else if (SameTextI(Name, u"TextString")) {
            P.Kind = TPositionKind::Text;
            P.Text = AttrText(N, "Text");
        } else if (SameTextI(Name, u"Barcode")) {
            P.Kind = TPositionKind::Barcode;
            P.BarcodeType = AttrTrim(N, "Type");
            if (SameTextI(P.BarcodeType, u"EAN8") || SameTextI(P.BarcodeType, u"CODE39"))
                throw EquException(1003);
            const std::u16string Value = AttrText(N, "Value");
            P.BarcodeValue = Value.empty() ? AttrBase64(N, "ValueBase64") : U16ToAnsi(Value);
        } else if (SameTextI(Name, u"GraphicText")) {
            // Rendering text into a picture is not part of this build yet.
            if (!AGraphicText)
                throw EquException(1003);
            P.Kind = TPositionKind::GraphicText;
            P.Text = AttrText(N, "Text");
            P.FontName = AttrTrim(N, "FontName");
            P.FontStyle = AttrTrim(N, "FontStyle");
            P.FontSize = AttrInt(N, "FontSize", 12);
        } else {
            continue;
        }
        R.Positions.push_back(std::move(P));
    }

    static constexpr const char* KPaymentNames[16] = {"Cash",        "ElectronicPayment",
                                                      "Payment6",    "Payment7",
                                                      "Payment8",    "Payment9",
                                                      "Payment10",   nullptr,
                                                      nullptr,       nullptr,
                                                      nullptr,       nullptr,
                                                      nullptr,       "PrePayment",
                                                      "PostPayment", "Barter"};
    for (int I = 0; I < 16; ++I) {
        if (!KPaymentNames[I])
            continue;
        R.Payments[I] = AttrCurrency(Payments, KPaymentNames[I]);
        if (R.Payments[I] < 0)
            throw EquException(1004);
    }
    return R;
}

} // namespace korv::rcpt
