#include "common/uBase64.h"
#include "common/uEquipmentErrors.h"

namespace korv {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

[[noreturn]] void BadBase64() {
    throw EquException(1004);
}

} // namespace

std::string Base64Encode(std::string_view Bytes) {
    std::string Out;
    Out.reserve((Bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= Bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(Bytes[i]) << 16 |
                           static_cast<unsigned char>(Bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(Bytes[i + 2]);
        Out.push_back(kAlphabet[(v >> 18) & 63]);
        Out.push_back(kAlphabet[(v >> 12) & 63]);
        Out.push_back(kAlphabet[(v >> 6) & 63]);
        Out.push_back(kAlphabet[v & 63]);
    }
    const std::size_t Left = Bytes.size() - i;
    if (Left > 0) {
        unsigned v = static_cast<unsigned char>(Bytes[i]) << 16;
        if (Left == 2)
            v |= static_cast<unsigned char>(Bytes[i + 1]) << 8;
        Out.push_back(kAlphabet[(v >> 18) & 63]);
        Out.push_back(kAlphabet[(v >> 12) & 63]);
        Out.push_back(Left == 2 ? kAlphabet[(v >> 6) & 63] : '=');
        Out.push_back('=');
    }
    return Out;
}

std::string Base64Decode(std::string_view Text) {
    std::string Out;
    Out.reserve(Text.size() / 4 * 3);
    unsigned Acc = 0;
    int Bits = 0;
    int Quad = 0;    // characters of the current group, padding included
    int Padding = 0; // '=' seen
    for (char c : Text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            // Padding only ends a group after two or three data characters.
            if (Quad < 2)
                BadBase64();
            ++Padding;
            ++Quad;
            if (Quad == 4)
                Quad = 0;
            continue;
        }
        const int v = Sextet(c);
        if (v < 0 || Padding > 0)
            BadBase64();
        Acc = (Acc << 6) | static_cast<unsigned>(v);
        Bits += 6;
        if (Bits >= 8) {
            Bits -= 8;
            Out.push_back(static_cast<char>((Acc >> Bits) & 0xFF));
        }
        Quad = (Quad + 1) % 4;
    }
    // A group may end without its padding, but one lone character is not a byte.
    if (Quad == 1 || Padding > 2)
        BadBase64();
    return Out;
}

} // namespace korv
