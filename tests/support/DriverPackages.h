#pragma once
// The host's XML for the driver's operations, as tests write it: input
// parameters, receipt packages and their items.

#include "common/uText.h"
#include "driver/uDriverXml.h"

#include <pugixml.hpp>

#include <string>
#include <string_view>

namespace korvtest {

/// The host's text read as the driver reads it.
inline pugi::xml_document Xml(std::u16string_view AText) {
    pugi::xml_document Doc;
    korv::ParseXmlInput(AText, Doc);
    return Doc;
}

inline std::u16string U(std::string_view AUtf8) {
    return korv::Utf8ToU16(AUtf8);
}

/// The InputParameters of a shift, report or cash operation.
inline pugi::xml_document Input(std::u16string_view AAttributes = u"") {
    return Xml(
        u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<InputParameters>\r\n\t<Parameters " +
        std::u16string(AAttributes) + u"/>\r\n</InputParameters>");
}

/// ADefaults (name="value" pairs) without those AExtra gives, then AExtra.
inline std::string Attrs(std::string_view ADefaults, std::string_view AExtra) {
    std::string Out;
    std::size_t At = 0;
    while ((At = ADefaults.find_first_not_of(' ', At)) != std::string_view::npos) {
        const std::size_t Eq = ADefaults.find('=', At);
        const std::size_t End = ADefaults.find('"', ADefaults.find('"', Eq) + 1) + 1;
        const std::string_view Name = ADefaults.substr(At, Eq - At);
        const std::string Key = " " + std::string(Name) + "=";
        if ((" " + std::string(AExtra)).find(Key) == std::string::npos)
            Out += std::string(ADefaults.substr(At, End - At)) + " ";
        At = End;
    }
    return Out + std::string(AExtra);
}

/// A receipt package: Parameters attributes and children, positions, payments.
inline std::u16string Package(std::string_view AParams, std::string_view APositions,
                              std::string_view APayments, std::string_view AParamChildren = {}) {
    return U("<CheckPackage><Parameters " +
             Attrs("CashierName=\"Иванов\" OperationType=\"1\" TaxationSystem=\"0\"", AParams) +
             ">" + std::string(AParamChildren) + "</Parameters><Positions>" +
             std::string(APositions) + "</Positions><Payments " + std::string(APayments) +
             "/></CheckPackage>");
}

/// One item of a receipt; AExtra overrides the subject, method and department.
inline std::string Item(std::string_view AName, std::string_view APrice, std::string_view AQty,
                        std::string_view AAmount, std::string_view AVat = "20",
                        std::string_view AVatAmount = "0", std::string_view AExtra = {},
                        std::string_view AChildren = {}) {
    return "<FiscalString Name=\"" + std::string(AName) + "\" Quantity=\"" + std::string(AQty) +
           "\" PriceWithDiscount=\"" + std::string(APrice) + "\" AmountWithDiscount=\"" +
           std::string(AAmount) + "\" VATRate=\"" + std::string(AVat) + "\" VATAmount=\"" +
           std::string(AVatAmount) + "\" " +
           Attrs("CalculationSubject=\"1\" PaymentMethod=\"4\" Department=\"1\"", AExtra) + ">" +
           std::string(AChildren) + "</FiscalString>";
}

} // namespace korvtest
