#include "common/uText.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korv {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendCodePoint(std::u16string& Out, char32_t C) {
    if (C >= 0x10000) {
        C -= 0x10000;
        Out.push_back(static_cast<char16_t>(0xD800 + (C >> 10)));
        Out.push_back(static_cast<char16_t>(0xDC00 + (C & 0x3FF)));
    } else {
        Out.push_back(static_cast<char16_t>(C));
    }
}

void AppendUtf8(std::string& Out, char32_t C) {
    if (C < 0x80) {
        Out.push_back(static_cast<char>(C));
    } else if (C < 0x800) {
        Out.push_back(static_cast<char>(0xC0 | (C >> 6)));
        Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    } else if (C < 0x10000) {
        Out.push_back(static_cast<char>(0xE0 | (C >> 12)));
        Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
        Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    } else {
        Out.push_back(static_cast<char>(0xF0 | (C >> 18)));
        Out.push_back(static_cast<char>(0x80 | ((C >> 12) & 0x3F)));
        Out.push_back(static_cast<char>(0x80 | ((C >> 6) & 0x3F)));
        Out.push_back(static_cast<char>(0x80 | (C & 0x3F)));
    }
}

char16_t UpperChar(char16_t C) {
    if (C >= u'a' && C <= u'z')
        return static_cast<char16_t>(C - 32);
    if (C >= 0x0430 && C <= 0x044F) // а..я
        return static_cast<char16_t>(C - 0x20);
    if (C >= 0x0450 && C <= 0x045F) // ѐ..џ (ё, є, ї, ў ...)
        return static_cast<char16_t>(C - 0x50);
    if (C == 0x0491) // ґ
        return 0x0490;
    if ((C >= 0x00E0 && C <= 0x00FE) && C != 0x00F7)
        return static_cast<char16_t>(C - 0x20);
    return C;
}

char16_t LowerChar(char16_t C) {
    if (C >= u'A' && C <= u'Z')
        return static_cast<char16_t>(C + 32);
    if (C >= 0x0410 && C <= 0x042F)
        return static_cast<char16_t>(C + 0x20);
    if (C >= 0x0400 && C <= 0x040F)
        return static_cast<char16_t>(C + 0x50);
    if (C == 0x0490)
        return 0x0491;
    if ((C >= 0x00C0 && C <= 0x00DE) && C != 0x00D7)
        return static_cast<char16_t>(C + 0x20);
    return C;
}

/// The trimmed text as ASCII for the number parsers ("," read as "." when
/// AComma); empty when it holds anything outside ASCII.
std::string NumberAscii(std::u16string_view Text, bool AComma) {
    std::string Out;
    for (char16_t C : TrimView(Text)) {
        if (C > 0x7F)
            return {};
        Out.push_back(AComma && C == u',' ? '.' : static_cast<char>(C));
    }
    return Out;
}

} // namespace

std::u16string Utf8ToU16(std::string_view s) {
    std::u16string Out;
    Out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            Out.push_back(b);
            ++i;
            continue;
        }
        int Extra;
        char32_t C;
        char32_t Min;
        if (b >= 0xC2 && b <= 0xDF) {
            Extra = 1;
            C = b & 0x1F;
            Min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            Extra = 2;
            C = b & 0x0F;
            Min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            Extra = 3;
            C = b & 0x07;
            Min = 0x10000;
        } else {
            Out.push_back(kReplacement);
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool Ok = true;
        for (int k = 0; k < Extra; ++k, ++j) {
            if (j >= s.size() || (static_cast<unsigned char>(s[j]) & 0xC0) != 0x80) {
                Ok = false;
                break;
            }
            C = (C << 6) | (static_cast<unsigned char>(s[j]) & 0x3F);
        }
        if (!Ok || C < Min || C > 0x10FFFF || (C >= 0xD800 && C <= 0xDFFF)) {
            // One replacement per broken sequence; go on at the first byte
            // that did not belong to it.
            Out.push_back(kReplacement);
            i = j;
            continue;
        }
        AppendCodePoint(Out, C);
        i = j;
    }
    return Out;
}

std::string U16ToUtf8(std::u16string_view s) {
    std::string Out;
    Out.reserve(s.size() * 2);
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t C = s[i];
        if (C >= 0xD800 && C <= 0xDBFF) {
            if (i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
                C = 0x10000 + ((C - 0xD800) << 10) + (s[i + 1] - 0xDC00);
                ++i;
            } else {
                C = kReplacement;
            }
        } else if (C >= 0xDC00 && C <= 0xDFFF) {
            C = kReplacement;
        }
        AppendUtf8(Out, C);
    }
    return Out;
}

std::u16string UpperCase(std::u16string_view s) {
    std::u16string Out(s);
    for (auto& c : Out)
        c = UpperChar(c);
    return Out;
}

std::u16string LowerCase(std::u16string_view s) {
    std::u16string Out(s);
    for (auto& c : Out)
        c = LowerChar(c);
    return Out;
}

bool SameTextI(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (UpperChar(a[i]) != UpperChar(b[i]))
            return false;
    return true;
}

std::u16string IntToU16(long long v) {
    char Buf[32];
    auto Res = std::to_chars(Buf, Buf + sizeof Buf, v);
    return std::u16string(Buf, Res.ptr);
}

std::u16string FloatToU16(double v) {
    if (std::isnan(v))
        return u"NAN";
    if (std::isinf(v))
        return v < 0 ? u"-INF" : u"INF";
    if (v == 0)
        return u"0";
    char Buf[400];
    const double a = std::fabs(v);
    // Plain decimal notation for every value a till or a host shows; the
    // shortest text that reads back as the same double.
    const auto Fmt =
        (a >= 1e-9 && a < 1e21) ? std::chars_format::fixed : std::chars_format::general;
    auto Res = std::to_chars(Buf, Buf + sizeof Buf, v, Fmt);
    return std::u16string(Buf, Res.ptr);
}

std::u16string_view TrimView(std::u16string_view Text) {
    while (!Text.empty() && IsTrimmedChar(Text.front()))
        Text.remove_prefix(1);
    while (!Text.empty() && IsTrimmedChar(Text.back()))
        Text.remove_suffix(1);
    return Text;
}

std::string_view TrimView(std::string_view Bytes) {
    const auto Trimmed = [](char c) { return IsTrimmedChar(static_cast<unsigned char>(c)); };
    while (!Bytes.empty() && Trimmed(Bytes.front()))
        Bytes.remove_prefix(1);
    while (!Bytes.empty() && Trimmed(Bytes.back()))
        Bytes.remove_suffix(1);
    return Bytes;
}

std::optional<std::int64_t> TextToInt64(std::u16string_view Text) {
    const std::string S = NumberAscii(Text, false);
    std::string_view T = S;
    if (!T.empty() && T.front() == '+' && T.size() > 1 && T[1] != '-')
        T.remove_prefix(1);
    std::int64_t Value = 0;
    const auto Res = std::from_chars(T.data(), T.data() + T.size(), Value);
    if (T.empty() || Res.ec != std::errc() || Res.ptr != T.data() + T.size())
        return std::nullopt;
    return Value;
}

std::optional<double> TextToFloat(std::u16string_view Text) {
    const std::string S = NumberAscii(Text, true);
    std::string_view T = S;
    if (!T.empty() && T.front() == '+' && T.size() > 1 && T[1] != '-')
        T.remove_prefix(1);
    double Value = 0;
    const auto Res = std::from_chars(T.data(), T.data() + T.size(), Value);
    if (T.empty() || Res.ec != std::errc() || Res.ptr != T.data() + T.size() ||
        !std::isfinite(Value))
        return std::nullopt;
    return Value;
}

std::optional<bool> TextToBool(std::u16string_view Text) {
    const std::u16string_view T = TrimView(Text);
    if (SameTextI(T, u"true"))
        return true;
    if (SameTextI(T, u"false"))
        return false;
    if (const auto Number = TextToFloat(T))
        return *Number != 0;
    return std::nullopt;
}

const char* BoolText(bool AValue) {
    return AValue ? "true" : "false";
}

std::string PadText(std::string_view Text, std::size_t Len, bool Cut) {
    std::string Out(Cut && Text.size() > Len ? Text.substr(0, Len) : Text);
    if (Out.size() < Len)
        Out.append(Len - Out.size(), ' ');
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

std::u16string FilterText(std::u16string_view Text) {
    std::u16string Out;
    Out.reserve(Text.size());
    for (std::size_t i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i];
        if (c == 9 || c == 10 || c == 13 || (c >= 0x20 && c <= 0xD7FF) ||
            (c >= 0xE000 && c <= 0xFFFD)) {
            Out.push_back(c);
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < Text.size() && Text[i + 1] >= 0xDC00 &&
                   Text[i + 1] <= 0xDFFF) {
            // A character beyond U+FFFF (an emoji) is a character XML allows:
            // kept whole, so that it reaches the register as one '?'.
            Out.push_back(c);
            Out.push_back(Text[++i]);
        }
    }
    return Out;
}

} // namespace korv
