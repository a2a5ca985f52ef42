#include "Tlv.h"

#include <algorithm>

namespace emu {

namespace {

constexpr uint16_t kAnyLen = 1024; // a structure or text without a tighter limit
constexpr int kMaxDepth = 4;

struct TagRange {
    uint16_t from;
    uint16_t to;
    TlvType type;
    uint16_t maxLen;
};

// The tags this FN knows, with the type and the longest value it takes.
constexpr TagRange kTags[] = {
    // texts
    {1000, 1000, TlvType::String, 64},
    {1005, 1005, TlvType::String, 256},
    {1008, 1008, TlvType::String, 64},
    {1009, 1009, TlvType::String, 256},
    {1013, 1013, TlvType::String, 20},
    {1016, 1016, TlvType::String, 12},
    {1017, 1017, TlvType::String, 12},
    {1018, 1018, TlvType::String, 12},
    {1021, 1021, TlvType::String, 64},
    {1026, 1026, TlvType::String, 64},
    {1030, 1030, TlvType::String, 128},
    {1036, 1036, TlvType::String, 20},
    {1037, 1037, TlvType::String, 20},
    {1041, 1041, TlvType::String, 16},
    {1044, 1044, TlvType::String, 24},
    {1046, 1046, TlvType::String, 256},
    {1048, 1048, TlvType::String, 256},
    {1060, 1060, TlvType::String, 256},
    {1073, 1075, TlvType::String, 19},
    {1085, 1086, TlvType::String, 256},
    {1117, 1117, TlvType::String, 64},
    {1162, 1162, TlvType::Bytes, 32},
    {1171, 1171, TlvType::String, 19},
    {1177, 1177, TlvType::String, 256},
    {1179, 1179, TlvType::String, 32},
    {1187, 1187, TlvType::String, 256},
    {1188, 1188, TlvType::String, 8},
    {1191, 1192, TlvType::String, 64},
    {1196, 1197, TlvType::String, 64},
    {1203, 1203, TlvType::String, 12},
    {1208, 1208, TlvType::String, 256},
    {1225, 1225, TlvType::String, 256},
    {1226, 1226, TlvType::String, 12},
    {1227, 1227, TlvType::String, 256},
    {1228, 1228, TlvType::String, 12},
    {1230, 1230, TlvType::String, 3},
    {1231, 1231, TlvType::String, 32},
    {1243, 1246, TlvType::String, 64},
    {1254, 1254, TlvType::String, 256},
    {1262, 1265, TlvType::String, 256},
    {1272, 1272, TlvType::String, 64},
    {1274, 1274, TlvType::String, 32},
    {1276, 1276, TlvType::String, 32},
    {1278, 1278, TlvType::String, 32},
    {1280, 1280, TlvType::String, 32},
    {1282, 1282, TlvType::String, 32},
    {1292, 1292, TlvType::String, 32},
    {1300, 1309, TlvType::String, 255},
    {1320, 1325, TlvType::String, 255},
    {2000, 2000, TlvType::String, 255},
    {2101, 2101, TlvType::String, 255},
    {2115, 2115, TlvType::String, 8},
    // single bytes
    {1001, 1002, TlvType::Byte, 1},
    {1022, 1022, TlvType::Byte, 1},
    {1050, 1054, TlvType::Byte, 1},
    {1056, 1056, TlvType::Byte, 1},
    {1062, 1062, TlvType::Byte, 1},
    {1101, 1101, TlvType::Byte, 1},
    {1108, 1110, TlvType::Byte, 1},
    {1126, 1126, TlvType::Byte, 1},
    {1173, 1173, TlvType::Byte, 1},
    {1189, 1190, TlvType::Byte, 1},
    {1193, 1193, TlvType::Byte, 1},
    {1199, 1199, TlvType::Byte, 1},
    {1207, 1207, TlvType::Byte, 1},
    {1209, 1209, TlvType::Byte, 1},
    {1212, 1212, TlvType::Byte, 1},
    {1214, 1214, TlvType::Byte, 1},
    {1221, 1221, TlvType::Byte, 1},
    {1271, 1271, TlvType::Byte, 1},
    {2003, 2003, TlvType::Byte, 1},
    {2006, 2006, TlvType::Byte, 1},
    {2100, 2100, TlvType::Byte, 1},
    {2102, 2102, TlvType::Byte, 1},
    {2105, 2105, TlvType::Byte, 1},
    {2107, 2111, TlvType::Byte, 1},
    // 32-bit numbers
    {1038, 1038, TlvType::UInt32, 4},
    {1040, 1040, TlvType::UInt32, 4},
    {1042, 1042, TlvType::UInt32, 4},
    {1097, 1097, TlvType::UInt32, 4},
    {1111, 1111, TlvType::UInt32, 4},
    {1116, 1116, TlvType::UInt32, 4},
    {1118, 1118, TlvType::UInt32, 4},
    {1134, 1135, TlvType::UInt32, 4},
    {1144, 1144, TlvType::UInt32, 4},
    {1213, 1213, TlvType::UInt32, 4},
    {2001, 2002, TlvType::UInt32, 4},
    {2104, 2104, TlvType::UInt32, 4},
    // times
    {1012, 1012, TlvType::UnixTime, 4},
    {1098, 1098, TlvType::UnixTime, 4},
    {1178, 1178, TlvType::UnixTime, 4},
    {1273, 1273, TlvType::UnixTime, 4},
    {2114, 2114, TlvType::UnixTime, 4},
    // money and other variable-length numbers
    {1020, 1020, TlvType::Vln, 6},
    {1031, 1031, TlvType::Vln, 6},
    {1043, 1043, TlvType::Vln, 6},
    {1079, 1079, TlvType::Vln, 6},
    {1081, 1081, TlvType::Vln, 6},
    {1102, 1107, TlvType::Vln, 6},
    {1136, 1136, TlvType::Vln, 6},
    {1138, 1143, TlvType::Vln, 6},
    {1183, 1183, TlvType::Vln, 6},
    {1198, 1198, TlvType::Vln, 6},
    {1200, 1201, TlvType::Vln, 6},
    {1215, 1220, TlvType::Vln, 6},
    {1229, 1229, TlvType::Vln, 6},
    {1293, 1294, TlvType::Vln, 8},
    {1023, 1023, TlvType::Fvln, 8},
    // bit masks and small registers
    {1055, 1055, TlvType::Mask, 1},
    {1057, 1057, TlvType::Mask, 1},
    {1205, 1206, TlvType::Mask, 4},
    {1222, 1222, TlvType::Mask, 1},
    {1290, 1290, TlvType::Mask, 4},
    {2004, 2005, TlvType::Mask, 1},
    {2106, 2106, TlvType::Mask, 1},
    {2112, 2113, TlvType::Mask, 1},
    {2116, 2116, TlvType::Mask, 1},
    // raw bytes
    {1077, 1078, TlvType::Bytes, 18},
    {1275, 1275, TlvType::Bytes, 6},
    {1277, 1277, TlvType::Bytes, 6},
    {1279, 1279, TlvType::Bytes, 6},
    {1281, 1281, TlvType::Bytes, 6},
    {1283, 1283, TlvType::Bytes, 6},
    // structures
    {1059, 1059, TlvType::Stlv, kAnyLen},
    {1068, 1068, TlvType::Stlv, kAnyLen},
    {1084, 1084, TlvType::Stlv, 328},
    {1129, 1133, TlvType::Stlv, kAnyLen},
    {1145, 1146, TlvType::Stlv, kAnyLen},
    {1157, 1158, TlvType::Stlv, kAnyLen},
    {1163, 1163, TlvType::Stlv, kAnyLen},
    {1174, 1174, TlvType::Stlv, kAnyLen},
    {1194, 1194, TlvType::Stlv, kAnyLen},
    {1223, 1224, TlvType::Stlv, kAnyLen},
    {1232, 1233, TlvType::Stlv, kAnyLen},
    {1256, 1256, TlvType::Stlv, kAnyLen},
    {1260, 1261, TlvType::Stlv, kAnyLen},
    {1270, 1270, TlvType::Stlv, kAnyLen},
    {1291, 1291, TlvType::Stlv, kAnyLen},
    {2007, 2007, TlvType::Stlv, kAnyLen},
};

TlvResult Check(std::string_view data, size_t base, int depth) {
    TlvResult r;
    if (depth > kMaxDepth) {
        r.status = TlvResult::TooDeep;
        r.offset = base;
        return r;
    }
    size_t pos = 0;
    while (pos < data.size()) {
        r.offset = base + pos;
        if (data.size() - pos < 4) {
            r.status = TlvResult::Truncated;
            r.tag = 0;
            return r;
        }
        const uint16_t tag = uint16_t(TlvUint(data.substr(pos, 2)));
        const size_t len = size_t(TlvUint(data.substr(pos + 2, 2)));
        r.tag = tag;
        if (data.size() - pos - 4 < len) {
            r.status = TlvResult::Truncated;
            return r;
        }
        const std::string_view value = data.substr(pos + 4, len);
        const TagInfo* info = FindTag(tag);
        if (!info) {
            r.status = TlvResult::UnknownTag;
            return r;
        }
        bool lenOk = len <= info->maxLen;
        switch (info->type) {
        case TlvType::Byte:
            lenOk = len == 1;
            break;
        case TlvType::UInt32:
        case TlvType::UnixTime:
            lenOk = len == 4;
            break;
        case TlvType::Vln:
        case TlvType::Mask:
            lenOk = lenOk && len >= 1;
            break;
        case TlvType::Fvln:
            lenOk = lenOk && len >= 2;
            break;
        case TlvType::String:
        case TlvType::Bytes:
        case TlvType::Stlv:
            break;
        }
        if (!lenOk) {
            r.status = TlvResult::BadLength;
            return r;
        }
        if (info->type == TlvType::Fvln && uint8_t(value[0]) > 15) {
            r.status = TlvResult::BadValue;
            return r;
        }
        if (info->type == TlvType::Stlv) {
            TlvResult inner = Check(value, base + pos + 4, depth + 1);
            if (!inner)
                return inner;
        }
        pos += 4 + len;
    }
    return TlvResult{};
}

// cp866 <-> cp1251 for the Cyrillic letters and the few signs both have.
struct CpPair {
    uint8_t cp1251;
    uint8_t cp866;
};
constexpr CpPair kExtra[] = {
    {0xA8, 0xF0}, // Ё
    {0xB8, 0xF1}, // ё
    {0xB9, 0xFC}, // №
    {0xA0, 0xFF}, // no-break space
    {0xB0, 0xF8}, // degree
    {0xAA, 0xF2}, // Є
    {0xBA, 0xF3}, // є
    {0xAF, 0xF4}, // Ї
    {0xBF, 0xF5}, // ї
    {0xA1, 0xF6}, // Ў
    {0xA2, 0xF7}, // ў
    {0xB7, 0xFA}, // middle dot
    {0xA4, 0xFD}, // currency sign
};

uint8_t To866(uint8_t c) {
    if (c < 0x80)
        return c;
    if (c >= 0xC0 && c <= 0xEF) // А..п
        return uint8_t(c - 0xC0 + 0x80);
    if (c >= 0xF0) // р..я
        return uint8_t(c - 0xF0 + 0xE0);
    for (const CpPair& p : kExtra)
        if (p.cp1251 == c)
            return p.cp866;
    return '?';
}

uint8_t To1251(uint8_t c) {
    if (c < 0x80)
        return c;
    if (c >= 0x80 && c <= 0xAF) // А..п
        return uint8_t(c - 0x80 + 0xC0);
    if (c >= 0xE0 && c <= 0xEF) // р..я
        return uint8_t(c - 0xE0 + 0xF0);
    for (const CpPair& p : kExtra)
        if (p.cp866 == c)
            return p.cp1251;
    return '?';
}

} // namespace

const TagInfo* FindTag(uint16_t tag) {
    static const std::vector<TagInfo> table = [] {
        std::vector<TagInfo> t;
        for (const TagRange& r : kTags)
            for (uint32_t n = r.from; n <= r.to; ++n)
                t.push_back(TagInfo{uint16_t(n), r.type, r.maxLen});
        std::sort(t.begin(), t.end(),
                  [](const TagInfo& a, const TagInfo& b) { return a.tag < b.tag; });
        return t;
    }();
    auto it = std::lower_bound(table.begin(), table.end(), tag,
                               [](const TagInfo& a, uint16_t t) { return a.tag < t; });
    if (it == table.end() || it->tag != tag)
        return nullptr;
    return &*it;
}

std::string TlvResult::Description() const {
    const std::string where = " at offset " + std::to_string(offset);
    const std::string which = " (tag " + std::to_string(tag) + ")";
    switch (status) {
    case Valid:
        return "ok";
    case Truncated:
        return "item cut short" + where + (tag ? which : std::string());
    case UnknownTag:
        return "unknown tag" + which + where;
    case BadLength:
        return "value length not allowed for the tag" + which + where;
    case BadValue:
        return "value not allowed for the tag" + which + where;
    case TooDeep:
        return "structures nested too deeply" + where;
    }
    return "?";
}

TlvResult TlvSplit(std::string_view data, std::vector<TlvItem>& out) {
    size_t pos = 0;
    while (pos < data.size()) {
        TlvResult r;
        r.offset = pos;
        if (data.size() - pos < 4) {
            r.status = TlvResult::Truncated;
            return r;
        }
        const uint16_t tag = uint16_t(TlvUint(data.substr(pos, 2)));
        const size_t len = size_t(TlvUint(data.substr(pos + 2, 2)));
        if (data.size() - pos - 4 < len) {
            r.status = TlvResult::Truncated;
            r.tag = tag;
            return r;
        }
        out.push_back(TlvItem{tag, std::string(data.substr(pos + 4, len))});
        pos += 4 + len;
    }
    return TlvResult{};
}

TlvResult TlvValidate(std::string_view data) {
    return Check(data, 0, 0);
}

std::string TlvEncode(uint16_t tag, std::string_view value) {
    std::string out;
    out.reserve(4 + value.size());
    out.push_back(char(tag & 0xFF));
    out.push_back(char(tag >> 8));
    out.push_back(char(value.size() & 0xFF));
    out.push_back(char((value.size() >> 8) & 0xFF));
    out.append(value);
    return out;
}

uint64_t TlvUint(std::string_view value) {
    uint64_t v = 0;
    const size_t n = std::min<size_t>(value.size(), 8);
    for (size_t i = n; i-- > 0;)
        v = (v << 8) | uint8_t(value[i]);
    return v;
}

std::string TlvVlnBytes(uint64_t v) {
    std::string out;
    do {
        out.push_back(char(v & 0xFF));
        v >>= 8;
    } while (v != 0);
    return out;
}

TlvWriter& TlvWriter::Bytes(uint16_t tag, std::string_view value) {
    data_.append(TlvEncode(tag, value));
    return *this;
}

TlvWriter& TlvWriter::Byte(uint16_t tag, uint8_t value) {
    return Bytes(tag, std::string(1, char(value)));
}

TlvWriter& TlvWriter::U32(uint16_t tag, uint32_t value) {
    std::string v;
    for (int i = 0; i < 4; ++i)
        v.push_back(char((value >> (8 * i)) & 0xFF));
    return Bytes(tag, v);
}

TlvWriter& TlvWriter::Vln(uint16_t tag, uint64_t value) {
    return Bytes(tag, TlvVlnBytes(value));
}

TlvWriter& TlvWriter::Fvln(uint16_t tag, uint8_t decimals, uint64_t mantissa) {
    return Bytes(tag, std::string(1, char(decimals)) + TlvVlnBytes(mantissa));
}

std::string QuantityFvln(uint64_t millionths) {
    uint8_t decimals = 6;
    while (decimals > 0 && millionths % 10 == 0) {
        millionths /= 10;
        --decimals;
    }
    return std::string(1, char(decimals)) + TlvVlnBytes(millionths);
}

std::string Cp1251ToCp866(std::string_view s) {
    std::string out(s.size(), '\0');
    std::transform(s.begin(), s.end(), out.begin(), [](char c) { return char(To866(uint8_t(c))); });
    return out;
}

std::string Cp866ToCp1251(std::string_view s) {
    std::string out(s.size(), '\0');
    std::transform(s.begin(), s.end(), out.begin(),
                   [](char c) { return char(To1251(uint8_t(c))); });
    return out;
}

} // namespace emu
