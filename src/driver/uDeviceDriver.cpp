#include "driver/uDeviceDriver.h"

#include "common/uEquipmentErrors.h"
#include "common/uResources.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriverXml.h"

#include <pugixml.hpp>

#include <deque>
#include <limits>
#include <vector>

namespace korv {

namespace {

using TDesc = TPropDesc<TDeviceDriver>;

template <auto Field> TDesc IntProp(std::u16string_view AName) {
    return {
        AName,
        AName,
        {},
        {},
        false,
        TPropType::Integer,
        [](const TDeviceDriver& D) -> TPropValue { return static_cast<std::int64_t>(D.*Field); },
        [](TDeviceDriver& D, const TPropValue& V) {
            using T = std::remove_reference_t<decltype(D.*Field)>;
            std::int64_t Value = PropInt(V);
            // A number that does not fit the setting is refused, not wrapped around.
            if (Value < std::numeric_limits<T>::min() || Value > std::numeric_limits<T>::max())
                throw EDriverError(u"Value out of range: " + IntToU16(Value));
            D.*Field = static_cast<T>(Value);
        }};
}

template <auto Field> TDesc BoolProp(std::u16string_view AName) {
    return {AName,
            AName,
            {},
            {},
            false,
            TPropType::Boolean,
            [](const TDeviceDriver& D) -> TPropValue { return D.*Field; },
            [](TDeviceDriver& D, const TPropValue& V) { D.*Field = PropBool(V); }};
}

template <auto Field> TDesc TextProp(std::u16string_view AName) {
    return {AName,
            AName,
            {},
            {},
            false,
            TPropType::Text,
            [](const TDeviceDriver& D) -> TPropValue { return D.*Field; },
            [](TDeviceDriver& D, const TPropValue& V) { D.*Field = PropText(V); }};
}

std::u16string GTName(const char16_t* APrefix, int AIndex) {
    return std::u16string(APrefix) + IntToU16(AIndex + 1);
}

std::vector<TDesc> BuildProperties() {
    using D = TDeviceDriver;
    std::vector<TDesc> P = {
        IntProp<&D::FPortNumber>(u"PortNumber"),
        IntProp<&D::FBaudRate>(u"BaudRate"),
        TextProp<&D::FIPAddress>(u"IPAddress"),
        IntProp<&D::FIPPort>(u"IPPort"),
        IntProp<&D::FConnectPwd>(u"ConnectPwd"),
        IntProp<&D::FFeedCount>(u"FeedCount"),
        TextProp<&D::FCutString>(u"CutString"),
        IntProp<&D::FLineLength>(u"MaxReceiptRowLength"),
        BoolProp<&D::FDisableCut>(u"DisableCut"),
        IntProp<&D::FEnablePrinting>(u"EnablePrinting"),
        IntProp<&D::FEnableReportPrinting>(u"EnableReportPrinting"),
        IntProp<&D::FReceiptFontNumber>(u"ReceiptFontNumber"),
        BoolProp<&D::FReceiveAllKT>(u"ReceiveAllKT"),
    };
    static std::deque<std::u16string> Names; // stable storage behind the views
    for (int I = 0; I < D::KGraphicPresets; ++I) {
        auto Name = [&](const char16_t* APrefix) -> std::u16string_view {
            Names.push_back(GTName(APrefix, I));
            return Names.back();
        };
        P.push_back({Name(u"GTFontName"),
                     {},
                     {},
                     {},
                     false,
                     TPropType::Text,
                     [I](const D& O) -> TPropValue { return O.FGTFontName[I]; },
                     [I](D& O, const TPropValue& V) { O.FGTFontName[I] = PropText(V); }});
        P.push_back({Name(u"GTFontSize"),
                     {},
                     {},
                     {},
                     false,
                     TPropType::Integer,
                     [I](const D& O) -> TPropValue { return std::int64_t{O.FGTFontSize[I]}; },
                     [I](D& O, const TPropValue& V) {
                         O.FGTFontSize[I] = static_cast<std::int32_t>(PropInt(V));
                     }});
        bool(D::*Flags[])[D::KGraphicPresets] = {&D::FGTIsBold, &D::FGTIsItalic, &D::FGTIsStrikeout,
                                                 &D::FGTIsUnderline};
        const char16_t* FlagNames[] = {u"GTIsBold", u"GTIsItalic", u"GTIsStrikeout",
                                       u"GTIsUnderline"};
        for (int F = 0; F < 4; ++F) {
            auto Arr = Flags[F];
            P.push_back({Name(FlagNames[F]),
                         {},
                         {},
                         {},
                         false,
                         TPropType::Boolean,
                         [I, Arr](const D& O) -> TPropValue { return (O.*Arr)[I]; },
                         [I, Arr](D& O, const TPropValue& V) { (O.*Arr)[I] = PropBool(V); }});
        }
    }
    P.push_back(BoolProp<&D::FReceiptTextAvailable>(u"ReceiptTextAvailable"));
    P.push_back(BoolProp<&D::FLogEnabled>(u"LogEnabled"));
    return P;
}

} // namespace

std::span<const TPropDesc<TDeviceDriver>> TDeviceDriver::Properties() {
    static const std::vector<TDesc> Props = BuildProperties();
    return Props;
}

TTaxValues::TTaxValues() {
    std::u16string_view Rest = KCommaText;
    for (;;) {
        auto Comma = Rest.find(u',');
        FItems.emplace_back(Rest.substr(0, Comma));
        if (Comma == std::u16string_view::npos)
            break;
        Rest.remove_prefix(Comma + 1);
    }
}

int TTaxValues::IDOfTax(std::u16string_view ATaxValue) const {
    for (std::size_t I = 0; I < FItems.size(); ++I)
        if (SameTextI(FItems[I], ATaxValue))
            return static_cast<int>(I + 1);
    return 0;
}

namespace {

// Collects the Parameter elements of the settings form, at any depth.
void FormParameters(pugi::xml_node ANode, std::vector<pugi::xml_node>& AOut) {
    for (pugi::xml_node Child : ANode.children()) {
        if (Child.type() != pugi::node_element)
            continue;
        if (SameTextI(XmlToU16(Child.name()), u"Parameter"))
            AOut.push_back(Child);
        else
            FormParameters(Child, AOut);
    }
}

// The settings form's default of every setting an instance has, read once from the form
// compiled into the library.
const std::vector<std::pair<const TDesc*, TPropValue>>& FormDefaults() {
    static const auto Defaults = [] {
        std::vector<std::pair<const TDesc*, TPropValue>> D;
        auto Form = FindResource("Parameters");
        pugi::xml_document Doc;
        if (!Form || !Doc.load_buffer(Form->data(), Form->size()))
            return D;
        std::vector<pugi::xml_node> Params;
        FormParameters(Doc, Params);
        for (pugi::xml_node Node : Params) {
            pugi::xml_attribute Default = Node.attribute("DefaultValue");
            const TDesc* P =
                FindPropDesc(TDeviceDriver::Properties(), XmlToU16(Node.attribute("Name").value()));
            if (!P || !Default)
                continue;
            try {
                D.emplace_back(P, TextToPropValue(P->Type, XmlToU16(Default.value())));
            } catch (const std::exception&) {
                // A default the setting cannot take leaves the setting empty.
            }
        }
        return D;
    }();
    return Defaults;
}

} // namespace

TDeviceDriver::TDeviceDriver() {
    for (const auto& [Prop, Value] : FormDefaults())
        Prop->Set(*this, Value);
}

// Freeing the instance frees its register command object, which closes the link.
TDeviceDriver::~TDeviceDriver() = default;

void TDeviceDriver::SetDevice(std::unique_ptr<TDevice> ADevice) {
    FDevice = std::move(ADevice);
}

TDevice& TDeviceDriver::GetDevice() {
    if (!FDevice)
        throw EDriverError(u"Устройство не включено");
    return *FDevice;
}

} // namespace korv
