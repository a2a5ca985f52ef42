#include "common/uCommonUtils.h"

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

bool IsBlank(char16_t c) {
    return c <= u' ';
}

std::u16string_view TrimView(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
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

std::string PadText(std::string_view Text, std::size_t Len, bool Cut) {
    std::string Out(Cut && Text.size() > Len ? Text.substr(0, Len) : Text);
    if (Out.size() < Len)
        Out.append(Len - Out.size(), ' ');
    return Out;
}

std::string PadBytes(std::string_view Text, std::size_t Len, char Fill) {
    std::string Out(Text.substr(0, std::min(Len, Text.size())));
    Out.append(Len - Out.size(), Fill);
    return Out;
}

std::u16string FilterText(std::u16string_view Text) {
    std::u16string Out;
    Out.reserve(Text.size());
    for (char16_t c : Text) {
        if (c == 9 || c == 10 || c == 13 || (c >= 0x20 && c <= 0xD7FF) ||
            (c >= 0xE000 && c <= 0xFFFD))
            Out.push_back(c);
    }
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

std::uint8_t ReverseBits(std::uint8_t Byte) {
    std::uint8_t Out = 0;
    for (int i = 0; i < 8; ++i)
        if (Byte & (1u << i))
            Out = static_cast<std::uint8_t>(Out | (0x80u >> i));
    return Out;
}

std::string ZeroPad(std::uint64_t Value, int Width) {
    std::string Out = std::to_string(Value);
    if (Width > 0 && Out.size() < static_cast<std::size_t>(Width))
        Out.insert(0, static_cast<std::size_t>(Width) - Out.size(), '0');
    return Out;
}

std::vector<std::u16string> SplitText(std::u16string_view Text, std::size_t Size) {
    std::vector<std::u16string> Out;
    if (Size == 0) {
        if (!Text.empty())
            Out.emplace_back(Text);
        return Out;
    }
    for (std::size_t i = 0; i < Text.size(); i += Size)
        Out.emplace_back(Text.substr(i, Size));
    return Out;
}

void WrapText(std::u16string_view Text, std::size_t Width,
              const std::function<void(std::u16string_view)>& LineSink) {
    std::u16string Norm;
    Norm.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (Text[i] == u'\r') {
            Norm.push_back(u'\n');
            if (i + 1 < Text.size() && Text[i + 1] == u'\n')
                ++i;
        } else {
            Norm.push_back(Text[i]);
        }
    }
    std::u16string_view Rest(Norm);
    while (true) {
        const std::size_t Nl = Rest.find(u'\n');
        std::u16string_view Line = Rest.substr(0, Nl);
        while (Width > 0 && Line.size() > Width) {
            std::size_t Cut = Line.substr(0, Width + 1).find_last_of(u' ');
            std::size_t Next;
            if (Cut == std::u16string_view::npos || Cut == 0) {
                Cut = Width;
                Next = Width;
            } else {
                Next = Cut + 1;
            }
            LineSink(TrimView(Line.substr(0, Cut)));
            Line.remove_prefix(Next);
        }
        LineSink(TrimView(Line));
        if (Nl == std::u16string_view::npos)
            break;
        Rest.remove_prefix(Nl + 1);
    }
}

std::u16string PaymentMethodName(int Value) {
    static const char16_t* const Names[] = {
        u"ПРЕДОПЛАТА 100%",           u"ПРЕДОПЛАТА",        u"АВАНС",         u"ПОЛНЫЙ РАСЧЕТ",
        u"ЧАСТИЧНЫЙ РАСЧЕТ И КРЕДИТ", u"ПЕРЕДАЧА В КРЕДИТ", u"ОПЛАТА КРЕДИТА"};
    if (Value < 1 || Value > 7)
        return {};
    return Names[Value - 1];
}

std::u16string CalculationSubjectName(int Value) {
    static const char16_t* const Names[] = {u"ТОВАР",
                                            u"ПОДАКЦИЗНЫЙ ТОВАР",
                                            u"РАБОТА",
                                            u"УСЛУГА",
                                            u"СТАВКА АЗАРТНОЙ ИГРЫ",
                                            u"ВЫИГРЫШ АЗАРТНОЙ ИГРЫ",
                                            u"ЛОТЕРЕЙНЫЙ БИЛЕТ",
                                            u"ВЫИГРЫШ ЛОТЕРЕИ",
                                            u"ПРЕДОСТАВЛЕНИЕ РИД",
                                            u"ПЛАТЕЖ",
                                            u"АГЕНТСКОЕ ВОЗНАГРАЖДЕНИЕ",
                                            u"СОСТАВНОЙ ПРЕДМЕТ РАСЧЕТА",
                                            u"ИНОЙ ПРЕДМЕТ РАСЧЕТА",
                                            u"ИМУЩЕСТВЕННОЕ ПРАВО",
                                            u"ВНЕРЕАЛИЗАЦИОННЫЙ ДОХОД",
                                            u"СТРАХОВЫЕ ВЗНОСЫ",
                                            u"ТОРГОВЫЙ СБОР",
                                            u"КУРОРТНЫЙ СБОР",
                                            u"ЗАЛОГ",
                                            u"РАСХОД",
                                            u"ВЗНОСЫ НА ОПС ИП",
                                            u"ВЗНОСЫ НА ОПС",
                                            u"ВЗНОСЫ НА ОМС ИП",
                                            u"ВЗНОСЫ НА ОМС",
                                            u"ВЗНОСЫ НА ОСС",
                                            u"ПЛАТЕЖ КАЗИНО",
                                            u"ВЫДАЧА ДС",
                                            u"",
                                            u"",
                                            u"АТНМ",
                                            u"АТМ",
                                            u"ТНМ",
                                            u"ТМ"};
    if (Value < 1 || Value > 33)
        return {};
    return Names[Value - 1];
}

} // namespace korv
