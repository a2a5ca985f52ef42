// The fiscal storage's TLV data: items of tag (2 bytes LE), length (2 bytes LE) and value,
// a structure item (STLV) holding a further list in its value. The FN checks every item it
// receives against its table of tags before it takes it into a document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// How the FN stores the value of a tag.
enum class TlvType : uint8_t {
    String,   // cp866 text
    Byte,     // one byte
    UInt32,   // 4 bytes LE
    UnixTime, // 4 bytes LE, seconds since 1970 (register time, no zone)
    Vln,      // unsigned LE integer of 1..8 bytes (money in kopecks)
    Fvln,     // 1 byte of decimal places, then an unsigned LE integer
    Mask,     // bit mask / small unsigned integer of 1..4 bytes
    Bytes,    // raw bytes
    Stlv,     // a nested TLV list
};

struct TagInfo {
    uint16_t tag = 0;
    TlvType type = TlvType::Bytes;
    uint16_t maxLen = 0; // longest value the FN takes
};

// The FN's tag table entry, or nullptr for a tag it does not know.
const TagInfo* FindTag(uint16_t tag);

struct TlvItem {
    uint16_t tag = 0;
    std::string value;
    bool operator==(const TlvItem&) const = default;
};

// Outcome of reading or checking a TLV list: what was wrong and where.
struct TlvResult {
    enum Status : uint8_t {
        Valid,
        Truncated,  // an item's header or value runs past the end of the data
        UnknownTag, // a tag the FN does not know
        BadLength,  // a value length the tag's type does not allow
        BadValue,   // a value the tag does not allow (e.g. decimal places of an FVLN)
        TooDeep,    // structures nested too deeply
    };
    Status status = Valid;
    size_t offset = 0; // offset of the offending item in the outermost data
    uint16_t tag = 0;  // its tag (0 when the header itself is cut)
    explicit operator bool() const { return status == Valid; }
    std::string Description() const;
};

// Splits a flat list into items without looking at the tags.
TlvResult TlvSplit(std::string_view data, std::vector<TlvItem>& out);
// Checks a list item by item against the tag table, structures recursively.
TlvResult TlvValidate(std::string_view data);

// One encoded item.
std::string TlvEncode(uint16_t tag, std::string_view value);
// Little-endian unsigned value of up to 8 bytes.
uint64_t TlvUint(std::string_view value);
// Shortest little-endian form of `v` (at least one byte).
std::string TlvVlnBytes(uint64_t v);

// Builds a TLV list.
class TlvWriter {
public:
    TlvWriter& Raw(std::string_view encoded) {
        data_.append(encoded);
        return *this;
    }
    TlvWriter& Bytes(uint16_t tag, std::string_view value);
    TlvWriter& Str(uint16_t tag, std::string_view cp866) { return Bytes(tag, cp866); }
    TlvWriter& Byte(uint16_t tag, uint8_t value);
    TlvWriter& U32(uint16_t tag, uint32_t value);
    TlvWriter& Time(uint16_t tag, int64_t unixTime) { return U32(tag, uint32_t(unixTime)); }
    TlvWriter& Vln(uint16_t tag, uint64_t value);
    TlvWriter& Fvln(uint16_t tag, uint8_t decimals, uint64_t mantissa);
    TlvWriter& Stlv(uint16_t tag, const TlvWriter& inner) { return Bytes(tag, inner.Data()); }
    TlvWriter& Item(const TlvItem& item) { return Bytes(item.tag, item.value); }

    const std::string& Data() const { return data_; }
    bool Empty() const { return data_.empty(); }

private:
    std::string data_;
};

// Quantity in millionths as an FVLN value (trailing zero decimals dropped).
std::string QuantityFvln(uint64_t millionths);

// Register texts are cp1251; the FN keeps its texts in cp866. Characters without a
// counterpart become '?'.
std::string Cp1251ToCp866(std::string_view s);
std::string Cp866ToCp1251(std::string_view s);

} // namespace emu
