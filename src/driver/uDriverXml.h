#pragma once
// XML documents exchanged with the host: cleaning and parsing the input
// texts, and the text form of the documents the driver returns.

#include <pugixml.hpp>

#include <string>
#include <string_view>

namespace korv {

/// Loads host XML text into ADoc: characters that XML does not allow are
/// removed first (FilterText), then the text is parsed. A parse error raises
/// EDriverError with the parser's description.
void ParseXmlInput(std::u16string_view AText, pugi::xml_document& ADoc);

/// The text handed back to the host: an XML declaration of version "1.0"
/// without encoding, then the document's nodes.
std::u16string XmlText(const pugi::xml_document& ADoc);

/// UTF-8 of pugixml as host text and back.
std::u16string XmlToU16(const char* AText);
std::string U16ToXml(std::u16string_view AText);

/// Appends the attribute AName with AValue (host text, UTF-8 text or a decimal integer) to ANode.
void SetAttr(pugi::xml_node ANode, const char* AName, std::u16string_view AValue);
void SetAttr(pugi::xml_node ANode, const char* AName, const std::string& AValue);
void SetAttr(pugi::xml_node ANode, const char* AName, long long AValue);

} // namespace korv
