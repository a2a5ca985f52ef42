#pragma once
// Fiscal data items (tag, length, value) as the FN stores them: the table of
// known tags with their names and value types, the value decoders, and a
// bounds-checked reader for lists of items.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace korv {

/// Value type of a tag.
enum class TFFD : std::uint8_t {
    ffdUknown,
    ffdString,   // text in the FN's code page (866)
    ffdInteger,  // unsigned little-endian
    ffdRegister, // unsigned little-endian of any width (bit masks, codes)
    ffdUnixTime, // 4 bytes, seconds since 1970
    ffdUInt32,   // 4 bytes little-endian
    ffdByte,     // 1 byte
    ffdBytes,    // raw bytes; bytes 2..5 big-endian hold a fiscal sign
    ffdVLN,      // unsigned little-endian kopecks
    ffdFVLN,     // decimal places byte, then unsigned little-endian
    ffdSTLV      // a list of further items
};

/// Where an element of a document belongs.
enum class TTagSection : std::uint8_t { tsMain, tsGoodPosition };

/// One decoded item of a document.
struct TDocElement {
    int Tag = 0;
    std::u16string ReqName;
    TFFD DataType = TFFD::ffdUknown;
    /// The decoded value as text: numbers in decimal ("." before decimals),
    /// times as decimal seconds since 1970, strings converted from the FN's
    /// code page. Empty for a structure.
    std::u16string Value;
    TTagSection TagSection = TTagSection::tsMain;
    /// The value bytes as stored in the FN (for callers that need the
    /// bytes themselves, such as marking codes).
    std::string RawValue;
};

/// One row of the tag table.
struct TTagInfo {
    int Tag;
    const char16_t* ReqName;
    TFFD DataType;
};

/// The table of known tags (206 rows).
const TTagInfo* TagTable(std::size_t& ACount);

/// Looks up a tag number; false when the tag is not in the table.
bool FindTag(int ATag, TFFD& ADataType, std::u16string& AReqName);
/// The same for the two tag bytes of an item (little-endian).
bool FindTag(std::string_view ATagBytes, int& ATag, TFFD& ADataType, std::u16string& AReqName);

/// One raw item of a list.
struct TTLVItem {
    int Tag = 0;
    std::string_view Value;
};

/// Walks a list of items. Each item is tag (2 bytes), length (2 bytes), value.
/// An item whose header or value runs past the end of AData raises
/// EquException 1014; nothing outside AData is ever read. Trailing bytes too
/// few for a header (fewer than 4) are ignored.
void ForEachTLV(std::string_view AData, const std::function<void(const TTLVItem&)>& AVisit);

/// Unsigned little-endian value of a number field (at most 8 bytes, else
/// EquException 1014).
std::uint64_t GetTLVUInt(std::string_view AValue);
/// A money value: kopecks / 100 as decimal text ("123.45", "100").
std::u16string GetVLN(std::string_view AValue);
/// A value with its own decimal places: first byte p, then the unsigned
/// value; value / 10^p as decimal text ("1.5").
std::u16string GetFVLN(std::string_view AValue);
/// Decodes a value by its tag and type. Number fields longer than 8 bytes
/// and an FVLN without its decimal-places byte raise EquException 1014.
std::u16string GetTLVValue(int ATag, TFFD ADataType, std::string_view AValue);

/// Decodes a flat list of items into ATagList (emptied first): tag -> value.
/// Tags missing from the table keep their number and are decoded as text.
void ReadTLVList(std::string_view AData, std::map<int, std::u16string>& ATagList);

} // namespace korv
