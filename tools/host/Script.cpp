#include "Script.h"

#include "HostValue.h"

namespace khost {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

std::string TToken::Source() const {
    return Quoted ? Word + Quote(Text) : Word;
}

std::vector<TToken> Tokenize(const std::string& line) {
    std::vector<TToken> out;
    std::size_t i = 0;
    while (true) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        TToken token;
        while (i < line.size() && !IsBlank(line[i]) && line[i] != '"')
            token.Word += line[i++];
        if (i < line.size() && line[i] == '"') {
            token.Quoted = true;
            ++i;
            std::u16string units; // collected as UTF-16 so that \u escapes pair up
            std::string pending;  // UTF-8 bytes not yet converted
            auto flush = [&] {
                units += FromUtf8(pending);
                pending.clear();
            };
            bool closed = false;
            while (i < line.size()) {
                char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c != '\\') {
                    pending += c;
                    continue;
                }
                if (i >= line.size())
                    throw TScriptError("a backslash ends the line");
                char e = line[i++];
                switch (e) {
                case '"':
                    pending += '"';
                    break;
                case '\\':
                    pending += '\\';
                    break;
                case 'n':
                    pending += '\n';
                    break;
                case 'r':
                    pending += '\r';
                    break;
                case 't':
                    pending += '\t';
                    break;
                case 'u': {
                    int value = 0;
                    for (int k = 0; k < 4; ++k) {
                        int d = i < line.size() ? HexDigit(line[i]) : -1;
                        if (d < 0)
                            throw TScriptError("\\u needs four hexadecimal digits");
                        value = value * 16 + d;
                        ++i;
                    }
                    flush();
                    units += char16_t(value);
                    break;
                }
                default:
                    // Kept as written, so that regular expressions read naturally.
                    pending += '\\';
                    pending += e;
                }
            }
            if (!closed)
                throw TScriptError("unterminated quoted string");
            flush();
            token.Text = ToUtf8(units);
            if (i < line.size() && !IsBlank(line[i]))
                throw TScriptError("a quoted string must end its word: " + token.Source());
        }
        out.push_back(std::move(token));
    }
    return out;
}

} // namespace khost
