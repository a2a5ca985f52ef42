#include "driver/uDriverXml.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <sstream>

namespace korv {

void ParseXmlInput(std::u16string_view AText, pugi::xml_document& ADoc) {
    std::string utf8 = U16ToUtf8(FilterText(AText));
    pugi::xml_parse_result result =
        ADoc.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result)
        throw EDriverError(Utf8ToU16(result.description()));
}

std::u16string XmlText(const pugi::xml_document& ADoc) {
    std::ostringstream out;
    out << "<?xml version=\"1.0\"?>";
    for (pugi::xml_node node : ADoc.children()) {
        if (node.type() == pugi::node_declaration)
            continue;
        out << '\n';
        node.print(out, "", pugi::format_raw, pugi::encoding_utf8);
    }
    return Utf8ToU16(out.str());
}

std::u16string XmlToU16(const char* AText) {
    return Utf8ToU16(AText ? AText : "");
}

std::string U16ToXml(std::u16string_view AText) {
    return U16ToUtf8(AText);
}

void SetAttr(pugi::xml_node ANode, const char* AName, std::u16string_view AValue) {
    ANode.append_attribute(AName).set_value(U16ToXml(AValue).c_str());
}

void SetAttr(pugi::xml_node ANode, const char* AName, const std::string& AValue) {
    ANode.append_attribute(AName).set_value(AValue.c_str());
}

void SetAttr(pugi::xml_node ANode, const char* AName, long long AValue) {
    ANode.append_attribute(AName).set_value(std::to_string(AValue).c_str());
}

} // namespace korv
