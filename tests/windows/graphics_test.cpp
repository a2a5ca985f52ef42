// The GDI text renderer under Wine: the same layout rules as the FreeType
// renderer's tests (wrapping at a word, measured height, centring, default
// size, styles, Windows names), drawn by DrawTextW into a one-bit bitmap.
//
// usage: graphics_test.exe      exit status 0 when every check passed
#include "common/uEquipmentErrors.h"
#include "graphics/uGraphicText.h"
#include "support/PrintPicture.h"

#include <cstdio>
#include <string>
#include <utility>

namespace {

int Failures = 0;

void Check(bool AOk, const char* AWhat) {
    std::printf("%s: %s\n", AOk ? "ok" : "FAILED", AWhat);
    if (!AOk)
        ++Failures;
}

using korv::test::TPicture;

TPicture Draw(const std::u16string& AText, int ASize = 12, const std::u16string& AName = u"Arial",
              const std::u16string& AStyle = u"", const std::u16string& AAlign = u"center") {
    TPicture p;
    korv::TPrintGraphicText::GetGraphicText(AText, 40, 0, ASize, AName, AStyle, AAlign, u"center",
                                            true, p.Data, p.Width, p.Height);
    return p;
}

} // namespace

int main() {
    try {
        const TPicture one = Draw(u"Хлеб");
        const TPicture first = Draw(u"Хлеб ржаной");
        const TPicture both = Draw(u"Хлеб ржаной нарезной батон");
        const TPicture second = Draw(u"нарезной батон");
        const std::size_t row = 40;
        Check(one.Width == 320 && one.Height > 20, "a line is 320 dots wide and has a height");
        Check(both.Height == 2 * one.Height, "two lines are twice as high as one");
        Check(both.Data.substr(0, row * one.Height) == first.Data,
              "the first line holds the words before the break");
        Check(both.Data.substr(row * one.Height) == second.Data,
              "the second line holds the words after it");
        Check(Draw(u"").Height == one.Height, "an empty text measures one line");
        Check(Draw(u"A\r\nB").Height == 2 * Draw(u"A").Height, "CR LF breaks the line");

        Check(Draw(u"Итого", 0).Data == Draw(u"Итого", korv::DefaultFontSize).Data,
              "size 0 keeps the default size");
        Check(Draw(u"Итого", 0).Height < one.Height, "the default size is smaller than 12");

        const auto [l0, l1] = Draw(u"Чек", 12, u"Arial", u"", u"left").InkColumns();
        const auto [c0, c1] = Draw(u"Чек").InkColumns();
        const auto [r0, r1] = Draw(u"Чек", 12, u"Arial", u"", u"right").InkColumns();
        Check(l0 < 4 && r1 > 320 - 6, "left and right alignment reach the edges");
        Check(c0 + c1 > 2 * 160 - 8 && c0 + c1 < 2 * 160 + 8, "centred text is in the middle");
        Check(l1 - l0 == c1 - c0 && r1 - r0 == c1 - c0, "alignment does not change the text");

        const std::u16string text = u"Магазин";
        const TPicture regular = Draw(text, 14);
        const TPicture bold = Draw(text, 14, u"Arial", u"Bold");
        const auto [i0, i1] = regular.InkColumns();
        const int ink = i1 - i0 + 1;
        Check(bold.BlackCount() > regular.BlackCount() * 11 / 10, "bold has more ink");
        Check(Draw(text, 14, u"Arial", u"ITALIC").Data != regular.Data, "italic differs");
        Check(regular.FullRows(ink) == 0, "regular text has no full rows");
        Check(Draw(text, 14, u"Arial", u"underline").FullRows(ink) >= 1, "underline is drawn");
        Check(Draw(text, 14, u"Arial", u"strikeout").FullRows(ink) >= 1, "strikeout is drawn");

        Check(Draw(text, 12, u"No Such Font Anywhere").BlackCount() > 0,
              "an unknown font name still draws");
    } catch (const korv::EquException& E) {
        std::printf("FAILED: EquException %d: %s\n", E.Code, E.what());
        return 1;
    }
    std::printf("%s: %d failed\n", Failures == 0 ? "graphics test passed" : "graphics test failed",
                Failures);
    return Failures == 0 ? 0 : 1;
}
