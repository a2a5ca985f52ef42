// Graphic text as register commands: the extended query, one graphics line
// per row, then the print command.

#include "ScriptedDevice.h"

#include "graphics/uGraphicText.h"

#include <gtest/gtest.h>

namespace korv::test {

namespace {

// The answer to the extended query: bytes per graphics line (byte 5), the
// first and last graphics line (bytes 11 and 12), result code not included.
std::string Query(int ALineBytes, int AFirst, int ALast) {
    std::string q(31, '\0');
    q[4] = static_cast<char>(ALineBytes);
    q[10] = static_cast<char>(AFirst);
    q[11] = static_cast<char>(ALast);
    return q;
}

// The rows the device should send for a 12-point centred line AWidth mm wide.
std::string Rendered(const std::u16string& AText, double AWidth, int& AHeight) {
    std::string data;
    int width = 0;
    TPrintGraphicText::GetGraphicText(AText, AWidth, 5, 12, u"Arial", u"", u"center", u"center",
                                      true, data, width, AHeight);
    return data;
}

} // namespace

TEST(DeviceGraphic, EachRowIsOneLoadThenOnePrint) {
    struct {
        int LineBytes; // as the register reports them
        std::size_t RowBytes;
    } const cases[] = {{72, 40}, {40, 40}, {0, 40}, {32, 32}};
    const std::u16string text = u"Итого к оплате";
    for (const auto& c : cases) {
        int height = 0;
        const std::string rows = Rendered(text, static_cast<double>(c.RowBytes), height);
        ASSERT_GT(height, 0);
        TScriptedDevice dev;
        dev.Answer(0, Query(c.LineBytes, 3, 255));
        dev.Standing("\xC0", B({0, 30}));
        dev.Standing("\xC1", B({0, 30}));
        dev.PrintGraphicText(TTextGraphic(text, 12, u"", u"Arial"));
        const auto sent = dev.SentCommands();
        ASSERT_EQ(sent.size(), static_cast<std::size_t>(height) + 2) << c.LineBytes;
        EXPECT_EQ(sent[0].Cmd, "\xF7");
        EXPECT_EQ(sent[0].Data, B({1}));
        for (int n = 0; n < height; ++n) {
            const auto& load = sent[static_cast<std::size_t>(n) + 1];
            ASSERT_EQ(load.Cmd, "\xC0");
            EXPECT_EQ(static_cast<unsigned char>(load.Data[0]), 3 + n);
            EXPECT_EQ(load.Data.substr(1),
                      rows.substr(static_cast<std::size_t>(n) * c.RowBytes, c.RowBytes))
                << "row " << n << " of a " << c.LineBytes << "-byte register";
        }
        EXPECT_EQ(sent.back().Cmd, "\xC1");
        EXPECT_EQ(sent.back().Data, B({3, 3 + height - 1}));
    }
}

TEST(DeviceGraphic, NothingIsLoadedWhenThePictureDoesNotFit) {
    TScriptedDevice dev;
    dev.Answer(0, Query(72, 250, 255)); // six lines left
    EXPECT_EQ(EquCode([&] { dev.PrintGraphicText(TTextGraphic(u"Итого", 12, u"", u"Arial")); }),
              1004);
    EXPECT_EQ(dev.SentCommands().size(), 1u);
}

TEST(DeviceGraphic, AnEmptyTextSendsNothing) {
    TScriptedDevice dev;
    dev.PrintGraphicText(TTextGraphic(u"", 12, u"bold", u"Arial"));
    EXPECT_TRUE(dev.Sent.empty());
}

} // namespace korv::test
