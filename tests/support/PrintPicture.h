#pragma once
// A picture of graphic text in the register's print format (a set bit is a
// black dot, the leftmost dot of a byte its lowest bit), read back for checks.
// Plain C++ only: the Windows test programs include it too.

#include <cstddef>
#include <string>
#include <utility>

namespace korv::test {

struct TPicture {
    int Width = 0;
    int Height = 0;
    std::string Data; // print format

    bool Black(int AX, int AY) const {
        const auto byte = static_cast<unsigned char>(
            Data[static_cast<std::size_t>(AY) * static_cast<std::size_t>(Width / 8) +
                 static_cast<std::size_t>(AX / 8)]);
        return ((byte >> (AX % 8)) & 1) != 0;
    }
    int BlackInRow(int AY) const {
        int n = 0;
        for (int x = 0; x < Width; ++x)
            n += Black(x, AY);
        return n;
    }
    int BlackCount() const {
        int n = 0;
        for (int y = 0; y < Height; ++y)
            n += BlackInRow(y);
        return n;
    }
    /// Leftmost and rightmost black column (-1 when blank).
    std::pair<int, int> InkColumns() const {
        int left = -1, right = -1;
        for (int x = 0; x < Width; ++x)
            for (int y = 0; y < Height; ++y)
                if (Black(x, y)) {
                    if (left < 0)
                        left = x;
                    right = x;
                }
        return {left, right};
    }
    /// Rows with ink across at least AInkWidth - 2 dots (underline, strikeout).
    int FullRows(int AInkWidth) const {
        int n = 0;
        for (int y = 0; y < Height; ++y)
            n += BlackInRow(y) >= AInkWidth - 2;
        return n;
    }
    /// ACount rows from AFirst, as the print data holds them.
    std::string Rows(int AFirst, int ACount) const {
        const std::size_t row = static_cast<std::size_t>(Width / 8);
        return Data.substr(static_cast<std::size_t>(AFirst) * row,
                           static_cast<std::size_t>(ACount) * row);
    }
    /// The picture as text, for failure messages.
    std::string Art() const {
        std::string s;
        for (int y = 0; y < Height; ++y) {
            for (int x = 0; x < Width; ++x)
                s += Black(x, y) ? '#' : '.';
            s += '\n';
        }
        return s;
    }
};

} // namespace korv::test
