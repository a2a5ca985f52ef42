#include "common/uBytes.h"

#include <algorithm>
#include <cmath>

namespace korv {

namespace {

const char kHexDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string HexOf(std::uint64_t Value) {
    std::string Out;
    do {
        Out.insert(Out.begin(), kHexDigits[Value & 0xF]);
        Value >>= 4;
    } while (Value != 0);
    return Out;
}

} // namespace

std::string BytesToHexText(std::string_view Bytes, std::string_view Separator) {
    std::string Out;
    Out.reserve(Bytes.size() * (2 + Separator.size()));
    for (char c : Bytes) {
        const auto b = static_cast<unsigned char>(c);
        Out.push_back(kHexDigits[b >> 4]);
        Out.push_back(kHexDigits[b & 0xF]);
        Out.append(Separator);
    }
    return Out;
}

std::string PadBytes(std::string_view Text, std::size_t Len, char Fill) {
    std::string Out(Text.substr(0, std::min(Len, Text.size())));
    Out.append(Len - Out.size(), Fill);
    return Out;
}

std::int64_t HexToInt64(std::string_view Text) {
    if (!Text.empty() && (Text.back() == 'H' || Text.back() == 'h'))
        Text.remove_suffix(1);
    if (Text.empty())
        return 0;
    std::uint64_t Value = 0;
    for (char c : Text) {
        const int d = HexValue(c);
        if (d < 0)
            return 0;
        Value = (Value << 4) | static_cast<std::uint64_t>(d);
    }
    return static_cast<std::int64_t>(Value);
}

std::uint64_t LEBytesToInt(std::string_view Bytes) {
    std::uint64_t Value = 0;
    // Bytes beyond the eighth cannot be represented; they are ignored.
    const std::size_t n = std::min<std::size_t>(Bytes.size(), 8);
    for (std::size_t i = n; i-- > 0;)
        Value = (Value << 8) | static_cast<unsigned char>(Bytes[i]);
    return Value;
}

std::string IntToLEBytes(int Digits, std::uint64_t Value) {
    std::string Hex = HexOf(Value);
    if (Digits > 0 && Hex.size() < static_cast<std::size_t>(Digits))
        Hex.insert(0, static_cast<std::size_t>(Digits) - Hex.size(), '0');
    if (Hex.size() % 2 != 0)
        Hex.insert(Hex.begin(), '0');
    std::string Out;
    for (std::size_t i = Hex.size(); i >= 2; i -= 2)
        Out.push_back(static_cast<char>(HexValue(Hex[i - 2]) * 16 + HexValue(Hex[i - 1])));
    return Out;
}

std::string IntToLEBytesN(int Count, std::uint64_t Value) {
    std::string Out;
    for (int i = 0; i < Count; ++i) {
        Out.push_back(static_cast<char>(i < 8 ? (Value >> (8 * i)) & 0xFF : 0));
    }
    return Out;
}

std::string IntToBEBytesN(int Count, std::uint64_t Value) {
    std::string Out = IntToLEBytesN(Count, Value);
    std::reverse(Out.begin(), Out.end());
    return Out;
}

std::string HexTextToBytes(std::string_view Text, int Count) {
    std::string Hex(Text);
    const std::size_t Want = Count > 0 ? static_cast<std::size_t>(Count) * 2 : Hex.size();
    if (Hex.size() < Want)
        Hex.insert(0, Want - Hex.size(), '0');
    if (Hex.size() % 2 != 0)
        Hex.insert(Hex.begin(), '0');
    std::string Out;
    Out.reserve(Hex.size() / 2);
    for (std::size_t i = 0; i + 1 < Hex.size(); i += 2) {
        // A character that is not a hexadecimal digit counts as 0.
        const int Hi = std::max(HexValue(Hex[i]), 0);
        const int Lo = std::max(HexValue(Hex[i + 1]), 0);
        Out.push_back(static_cast<char>(Hi * 16 + Lo));
    }
    return Out;
}

std::string BytesToHexTextN(std::string_view Bytes, int Count) {
    if (Count > 0 && static_cast<std::size_t>(Count) < Bytes.size())
        Bytes = Bytes.substr(0, static_cast<std::size_t>(Count));
    return BytesToHexText(Bytes, "");
}

std::uint64_t BCDToInt(std::string_view Bytes, int Count) {
    const std::size_t n =
        Count > 0 ? std::min(Bytes.size(), static_cast<std::size_t>(Count)) : Bytes.size();
    std::uint64_t Value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(Bytes[i]);
        const int Hi = b >> 4, Lo = b & 0xF;
        if (Hi > 9 || Lo > 9)
            return 0;
        Value = Value * 100 + static_cast<std::uint64_t>(Hi * 10 + Lo);
    }
    return Value;
}

std::string IntToBCD(int Count, std::uint64_t Value) {
    if (Count <= 0)
        return {};
    const std::size_t Width = static_cast<std::size_t>(Count) * 2;
    std::string Digits = std::to_string(Value);
    if (Digits.size() < Width)
        Digits.insert(0, Width - Digits.size(), '0');
    else
        Digits.resize(Width); // a longer number keeps its leading digits
    std::string Out;
    for (std::size_t i = 0; i < Width; i += 2)
        Out.push_back(static_cast<char>(((Digits[i] - '0') << 4) | (Digits[i + 1] - '0')));
    return Out;
}

std::string MoneyToLE6(double Amount) {
    // Money is held to four decimals; rounding to the kopeck from there keeps
    // values such as 1.005 from falling to 1.00 through binary error.
    const double Fixed4 = std::round(Amount * 10000.0);
    const long long Kopecks = std::llround(Fixed4 / 100.0);
    return IntToLEBytesN(6, static_cast<std::uint64_t>(Kopecks));
}

bool TestBit(std::uint64_t Value, int Bit) {
    return Bit >= 0 && Bit < 64 && ((Value >> Bit) & 1) != 0;
}

std::uint64_t SetBit(std::uint64_t Value, int Bit) {
    return Bit >= 0 && Bit < 64 ? Value | (std::uint64_t{1} << Bit) : Value;
}

std::uint8_t SetByteBit(std::uint8_t Value, int Bit, bool On) {
    if (Bit < 0 || Bit > 7)
        return Value;
    const auto Mask = static_cast<std::uint8_t>(1u << Bit);
    return On ? static_cast<std::uint8_t>(Value | Mask) : static_cast<std::uint8_t>(Value & ~Mask);
}

} // namespace korv
