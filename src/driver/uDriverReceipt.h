#pragma once
// The receipt package read whole before anything is sent: every value is
// converted and checked first, so that bad input never leaves a receipt
// half made on the register. Shared by receipts and correction receipts.

#include "device/uDevice.h"
#include "device/uDeviceCommon.h"

#include <pugixml.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korv {

class TTaxValues;

namespace rcpt {

// ---- Reading values -----------------------------------------------------------

/// An integer attribute: absent or empty gives ADefault; text that is not a
/// decimal integer raises 1004.
int AttrInt(pugi::xml_node ANode, const char* AName, int ADefault);
/// A number attribute ("," or "." before the decimals): absent or empty
/// gives 0; text that is not a finite number raises 1004.
double AttrNumber(pugi::xml_node ANode, const char* AName);
/// A money attribute as a fixed-point amount (four decimals, ties to even).
TCurrency AttrCurrency(pugi::xml_node ANode, const char* AName);
/// The attribute's text, empty when absent.
std::u16string AttrText(pugi::xml_node ANode, const char* AName);
/// The same, trimmed.
std::u16string AttrTrim(pugi::xml_node ANode, const char* AName);
/// A Base64 attribute decoded (line breaks and blanks skipped); not Base64 raises 1004.
std::string AttrBase64(pugi::xml_node ANode, const char* AName);
/// An amount as a fixed-point value; beyond the register's range raises 1004.
TCurrency ToCurrency(double AValue);

// ---- Helpers of the receipt ----------------------------------------------------

/// Trimmed; ten characters get two blanks appended.
std::u16string NormalizeINN(std::u16string_view AINN);
/// Split at ";" and ","; each part "+" and its digits; empty parts dropped.
std::vector<std::u16string> NormalizePhones(std::u16string_view APhones);
/// ALeft and AAmount (two decimals) as one line of AWidth characters (24 when 0).
std::u16string JustifyLine(std::u16string_view ALeft, TCurrency AAmount, int AWidth);
/// The receipt text as printed lines of at most AWidth characters; lines
/// empty after trimming are dropped.
std::vector<std::u16string> WrapReceiptText(std::u16string_view AText, int AWidth);
/// A GS1 DataMatrix code as the product code of the older formats: "DM",
/// the GTIN as 6 bytes big-endian, the serial number. Raises
/// "Некорректный код маркировки <code>" for a code of another shape.
std::string GS1ToProductCode(std::string_view ACode);
/// The register's tax number (1..6, 0 none) of a VAT rate; the rates the
/// register cannot take raise "Налог %s не поддержан".
int TaxNumberOfRate(const TTaxValues& ATaxes, std::u16string_view ARate);

// ---- The package -----------------------------------------------------------------

struct TAgentData {
    std::u16string AgentOperation, AgentPhone, PaymentProcessorPhone, AcquirerOperatorPhone,
        AcquirerOperatorName, AcquirerOperatorAddress, AcquirerOperatorINN;
};

struct TVendorData {
    std::u16string VendorPhone, VendorName, VendorINN;
};

struct TIndustryAttribute {
    std::u16string IdentifierFOIV, DocumentDate, DocumentNumber, AttributeValue;
    bool Empty() const {
        return IdentifierFOIV.empty() && DocumentDate.empty() && DocumentNumber.empty() &&
               AttributeValue.empty();
    }
};

/// GoodCodeData: the decoded codes by attribute, in the order of precedence
/// NotIdentified, EAN8, EAN13, ITF14, GS1.0, GS1.M, KMK, MI, EGAIS20, EGAIS30.
struct TGoodCode {
    static constexpr int KCount = 10;
    bool Present[KCount] = {};
    std::string Value[KCount];
    std::string FFD11Code; // the MarkingCode attribute of the older formats
};
/// The index of each GoodCodeData attribute.
enum TGoodCodeKind {
    gcNotIdentified,
    gcEAN8,
    gcEAN13,
    gcITF14,
    gcGS10,
    gcGS1M,
    gcKMK,
    gcMI,
    gcEGAIS20,
    gcEGAIS30
};

struct TItem {
    std::u16string Name;
    double Quantity = 0;
    TCurrency Price = 0, Amount = 0, Discount = 0, VATAmount = 0, ExciseAmount = 0;
    std::u16string VATRate;
    int TaxNumber = 0;
    int Department = 0, CalculationSubject = -1, PaymentMethod = -1, CalculationAgent = -1;
    int MeasureOfQuantity = 0;
    std::string MarkingCode;
    std::u16string MeasurementUnit, CountryOfOrigin, CustomsDeclaration, AdditionalAttribute;
    TAgentData Agent;
    TVendorData Vendor;
    bool HasGoodCode = false;
    TGoodCode GoodCode;
    TIndustryAttribute Industry;
};

enum class TPositionKind { Item, Text, Barcode, GraphicText };

struct TPosition {
    TPositionKind Kind = TPositionKind::Item;
    TItem Item;
    std::u16string Text; // TextString, GraphicText
    std::u16string FontName, FontStyle;
    int FontSize = 12;
    std::u16string BarcodeType; // EAN13 or QR (others print nothing)
    std::string BarcodeValue;
};

struct TReceipt {
    int OperationType = 0;
    std::u16string CashierName, CashierINN, CustomerEmail, CustomerPhone, SenderEmail,
        AdditionalAttribute, ReceiptText;
    int TaxationSystem = 0;
    int AgentType = -1;
    bool HasUserAttribute = false;
    std::u16string UserAttributeName, UserAttributeValue;
    bool HasCustomerDetail = false;
    std::u16string CustomerInfo, CustomerINN, DateOfBirth, Citizenship, DocumentTypeCode,
        DocumentData, CustomerAddress;
    bool HasOperationalAttribute = false;
    std::u16string OperationDateTime, OperationID, OperationData;
    TIndustryAttribute Industry;
    bool HasCorrectionData = false;
    int CorrectionType = 0;
    std::u16string CorrectionDate, CorrectionNumber;
    TAgentData Agent;
    TVendorData Vendor;
    std::vector<TPosition> Positions;
    TCurrency Payments[16] = {};
};

/// Reads and checks a receipt package for a register of AFFD (TFFDVersion).
/// Missing Parameters, Positions or Payments, bad numbers and bad dates give
/// 1004; the range checks give their codes (3020, 3021, 3023, 3026).
TReceipt ReadReceipt(const pugi::xml_document& APackage, int AFFD, bool AIsCorrection,
                     const TTaxValues& ATaxes, bool AGraphicText);

/// The correction package of FFD 1.0 and 1.05 (totals only), read and
/// checked whole: 1004 for missing nodes, a bad date or operation, 3010 for
/// a VAT rate the totals command has no sum for.
struct TTotalsCorrection {
    int OperationType = 0;
    int TaxationSystem = 0;
    int Type = 0;
    std::u16string Description, Number;
    TDateTimeValue Date = 0;
    TDevice::TCorrectionSums Sums{};
};
TTotalsCorrection ReadTotalsCorrection(const pugi::xml_document& APackage, const TTaxValues& ATaxes,
                                       TDateTimeValue AToday);

/// A marking-code request: the element RequestKM as the root or under it
/// (1004 "Не найдена структура RequestKM" without one); a code that is not
/// Base64, empty or longer than 255 bytes and bad numbers give 1004.
struct TKMRequest {
    std::string GUID, Code;
    int PlannedStatus = 0, Measure = 0, Numerator = 0, Denominator = 0;
    double Quantity = 0;
};
TKMRequest ReadKMRequest(const pugi::xml_document& AInput);

} // namespace rcpt
} // namespace korv
