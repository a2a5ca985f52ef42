// The host tool's command language: one command per line, words separated by blanks.
//
//   word           a bare word: GetDescription, out:d, int:5, $id
//   "text"         a quoted string, with \" \\ \n \r \t and \uXXXX escapes (any other
//                  backslash pair is kept as written)
//   str:"text"     a bare prefix directly followed by a quoted string
//   # ...          a comment, up to the end of the line
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace khost {

// A malformed line; the message says what is wrong.
class TScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TToken {
    std::string Word; // the bare part (before any quote)
    bool Quoted = false;
    std::string Text; // the quoted part, escapes resolved (UTF-8)

    // The token as written, for messages.
    std::string Source() const;
};

// Splits one line into tokens; throws TScriptError for an unterminated quote or a bad escape.
std::vector<TToken> Tokenize(const std::string& line);

} // namespace khost
