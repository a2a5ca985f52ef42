// Pictures on the register's printer: a raster loaded into the graphics
// memory line by line and printed, and text rendered in a Windows font.

#include "device/uDevice.h"

#include "common/uEquipmentErrors.h"
#include "graphics/uGraphicText.h"

#include <algorithm>

namespace korv {

namespace {

// The printer's graphics memory, from the answer to the extended query of
// type 1 (result code = byte 0).
constexpr std::size_t QueryLineBytes = 5; // bytes of one graphics line
constexpr std::size_t QueryFirstLine = 11;
constexpr std::size_t QueryLastLine = 12;

// Graphic text is drawn 40 mm wide, as high as the text.
constexpr double GraphicTextWidthMM = 40;
constexpr double FontPointsToMM = 0.376;
// At 8 dots per millimetre one millimetre of width is one byte of a line.
constexpr double BytesPerMM = 1;

std::uint8_t QueryByte(const std::string& AQuery, std::size_t AIndex) {
    return AIndex < AQuery.size() ? static_cast<std::uint8_t>(AQuery[AIndex]) : 0;
}

// Loads AHeight lines of the raster from the first free graphics line and
// prints them. A picture that does not fit the graphics memory is refused
// before any of it is loaded.
void LoadAndPrint(TDevice& ADevice, const std::string& AQuery, std::string_view ARaster, int AWidth,
                  int AHeight) {
    const std::size_t lineBytes = static_cast<std::size_t>(AWidth) / 8;
    const int first = QueryByte(AQuery, QueryFirstLine);
    // Line numbers are one byte; a register that reports its last line keeps us below it.
    const int reportedLast = QueryByte(AQuery, QueryLastLine);
    const int last = reportedLast >= first && reportedLast > 0 ? reportedLast : 255;
    if (first + AHeight - 1 > last)
        throw EquException(1004, GetDriverErrorText(1004) +
                                     u". Картинка не помещается в графическую память ККТ");
    for (int n = 0; n < AHeight; ++n)
        ADevice.LoadGraphics(first + n,
                             ARaster.substr(static_cast<std::size_t>(n) * lineBytes, lineBytes));
    ADevice.PrintGraphics(first, first + AHeight - 1);
}

} // namespace

void TDevice::PrintGraphicRaster(std::string_view ARaster, int AWidth, int AHeight) {
    if (AWidth < 8 || AHeight <= 0)
        throw EquException(1004);
    const std::size_t lineBytes = static_cast<std::size_t>(AWidth) / 8;
    if (ARaster.size() < lineBytes * static_cast<std::size_t>(AHeight))
        throw EquException(1004);
    std::string query;
    RunQueryEx(1, query);
    LoadAndPrint(*this, query, ARaster, AWidth, AHeight);
}

void TDevice::PrintGraphicText(const TTextGraphic& ATextGraphic) {
    if (ATextGraphic.Text().empty())
        return;
    std::string query;
    RunQueryEx(1, query);
    // A printer whose graphics line is narrower than 40 mm gets its own width.
    double width = GraphicTextWidthMM;
    const int registerLineBytes = QueryByte(query, QueryLineBytes);
    if (registerLineBytes > 0)
        width = std::min(width, registerLineBytes / BytesPerMM);
    const double height = RoundHalfEven(std::max(ATextGraphic.FontSize(), 0) * FontPointsToMM);
    std::string raster;
    int dotsWide = 0, dotsHigh = 0;
    TPrintGraphicText::GetGraphicText(ATextGraphic.Text(), width, height, ATextGraphic.FontSize(),
                                      ATextGraphic.FontName(), ATextGraphic.FontStyle(), u"center",
                                      u"center", true, raster, dotsWide, dotsHigh);
    if (dotsHigh == 0 || dotsWide < 8)
        return;
    LoadAndPrint(*this, query, raster, dotsWide, dotsHigh);
}

} // namespace korv
