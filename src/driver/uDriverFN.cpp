// The registration data of the register (GetDataKKT).

#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"

namespace korv {

using namespace drv;

namespace {

// Table 18 (registration data), row 1.
constexpr int KInnField = 2, KRegNumberField = 3, KFNSerialField = 4, KTaxField = 5,
              KWorkModeField = 6, KCompanyField = 7, KAddressField = 9, KOFDNameField = 10,
              KOFDInnField = 12, KFNSUrlField = 13, KPlaceField = 14, KEmailField = 15,
              KAgentField = 16, KExtWorkModeField = 21;

constexpr const char* KWorkModeNames[8] = {"IsEncrypted",        "IsOffline",       "IsAutomatic",
                                           "IsService",          "BSOSing",         "IsOnline",
                                           "IsCateringServices", "IsWholesaleTrade"};
constexpr const char* KExtWorkModeNames[8] = {"IsExcisable",        "IsGambling",      "IsLottery",
                                              "IsAutomaticPrinter", "IsMarking",       "IsPawnshop",
                                              "IsAssurance",        "IsVendingMachine"};

} // namespace

std::u16string FFDVersionName(int AVersion) {
    switch (AVersion) {
    case 1:
        return u"1.0";
    case 2:
        return u"1.0.5";
    case 3:
        return u"1.1";
    case 4:
        return u"1.2";
    }
    throw EDriverError(u"Неизвестная версия ФФД");
}

std::u16string BitListText(unsigned AMask, int ACount) {
    std::u16string Text;
    for (int Bit = 0; Bit < ACount; ++Bit) {
        if (!(AMask & (1u << Bit)))
            continue;
        if (!Text.empty())
            Text += u',';
        Text += IntToU16(Bit);
    }
    return Text;
}

void TDriver::GetDataKKT(pugi::xml_document& ATableParametersKKT) {
    Operate([&](TDevice& Device) {
        std::string FNVersion;
        Device.GetFFDVersionFN(FNVersion);
        const bool Fiscal = IsFiscalized();
        pugi::xml_node Params = ATableParametersKKT.append_child("Parameters");
        SetAttr(Params, "Fiscal", BoolText(Fiscal));
        if (!Fiscal)
            return;
        auto Text = [&](int AField) {
            std::string Value;
            Device.GetFieldAsStr(KRegTable, KRegRow, AField, Value);
            return AnsiToU16(TrimView(Value.substr(0, Value.find('\0'))));
        };
        auto Byte = [&](int AField) {
            int Value = 0;
            Device.GetFieldAsByte(KRegTable, KRegRow, AField, Value);
            return static_cast<unsigned>(Value);
        };
        try {
            TDateTimeValue RegDate = KUnsetDate;
            std::string UserINN, RegNumber;
            std::uint8_t ExtMode = 0;
            std::uint64_t RegDoc = 0;
            int Taxes = 0, WorkMode = 0;
            Device.GetFiscalizationParameters(RegDate, UserINN, ExtMode, RegDoc, Taxes, RegNumber,
                                              WorkMode);
            SetAttr(Params, "DocumentNumber", static_cast<long long>(RegDoc));
            SetAttr(Params, "DateTime", DateText(RegDate));
            SetAttr(Params, "KKTSerialNumber", Text(KSerialField));
            SetAttr(Params, "FFDVersionFN", FNVersion);
            const std::u16string Kkt = FFDVersionName(FInstance->FFFDVersion + 1);
            SetAttr(Params, "FFDVersionKKT", Kkt);
            SetAttr(Params, "FFDVersion", Kkt);
            SetAttr(Params, "INN", Text(KInnField));
            SetAttr(Params, "KKTNumber", Text(KRegNumberField));
            SetAttr(Params, "FNSerialNumber", Text(KFNSerialField));
            SetAttr(Params, "TaxationSystems", BitListText(Byte(KTaxField), 6));
            SetAttr(Params, "CompanyName", Text(KCompanyField));
            SetAttr(Params, "SaleAddress", Text(KAddressField));
            SetAttr(Params, "SaleLocation", Text(KPlaceField));
            SetAttr(Params, "OFDCompany", Text(KOFDNameField));
            SetAttr(Params, "OFDCompanyINN", Text(KOFDInnField));
            SetAttr(Params, "AgentTypes", BitListText(Byte(KAgentField), 7));
            SetAttr(Params, "FNSURL", Text(KFNSUrlField));
            SetAttr(Params, "SenderEmail", Text(KEmailField));
            const unsigned Mode = Byte(KWorkModeField);
            for (int Bit = 0; Bit < 8; ++Bit)
                SetAttr(Params, KWorkModeNames[Bit], BoolText(Mode & (1u << Bit)));
            const unsigned ExtModeByte = Byte(KExtWorkModeField);
            for (int Bit = 0; Bit < 8; ++Bit)
                SetAttr(Params, KExtWorkModeNames[Bit], BoolText(ExtModeByte & (1u << Bit)));
            SetAttr(Params, "PermissiveMarking", BoolText(true));
        } catch (const std::exception&) {
            // A register that refuses one of its cells (an older model
            // lacks some) ends the list where it stands. A link that broke
            // down gave no answer at all: that is a failure, not data.
            if (Device.Response().empty())
                throw;
        }
    });
}

} // namespace korv
