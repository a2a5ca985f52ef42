// Graphic text printed on the emulated register over a real 127.0.0.1 socket:
// the rows rendered here are the rows the register loads, prints and shows on
// its tape.

#include "common/uEquipmentErrors.h"
#include "device/uDeviceLinks.h"
#include "graphics/uGraphicText.h"
#include "support/TempFolder.h"

#include "Emulator.h"
#include "Tape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>

namespace korv::test {

namespace {

class GraphicPrint : public ::testing::Test {
protected:
    void SetUp() override {
        FEmulator = std::make_unique<emu::Emulator>(emu::Options{});
        std::string err;
        ASSERT_TRUE(FEmulator->StartTcp(0, &err)) << err;
        FDevice.SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword));
        ASSERT_EQ(FDevice.Enable("127.0.0.1", FEmulator->TcpPort()), 0);
    }
    void TearDown() override {
        FDevice.Disable();
        FEmulator->Stop();
        ReleaseFontConfiguration();
        emu::ReleaseDrawingCaches();
    }
    // The tape as a PNG in the test folder; false when it cannot be written.
    bool SaveTapePng(const std::string& AName) {
        const std::string png = (korvtest::TestTempRoot() / AName).string();
        std::string err;
        std::lock_guard lock(FEmulator->Reg().Mutex());
        return FEmulator->Reg().Paper().SavePng(png, &err) && std::filesystem::file_size(png) > 0;
    }

    std::unique_ptr<emu::Emulator> FEmulator;
    TSocketDevice FDevice;
};

} // namespace

TEST_F(GraphicPrint, RowsAreLoadedPrintedAndShownOnTheTape) {
    const std::u16string text = u"Магазин «Ромашка» на углу";
    std::string expected;
    int width = 0, height = 0;
    // The same request as the device makes: 40 mm, 12 * 0.376 mm rounded, centred.
    TPrintGraphicText::GetGraphicText(text, 40, 5, 12, u"Arial", u"bold", u"center", u"center",
                                      true, expected, width, height);
    ASSERT_EQ(width, 320);
    ASSERT_GT(height, 0);

    FDevice.PrintGraphicText(TTextGraphic(text, 12, u"bold", u"Arial"));

    std::lock_guard lock(FEmulator->Reg().Mutex());
    // Loaded from the register's first graphics line (1), one row a line.
    const auto& lines = FEmulator->Reg().Work().graphics;
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(height));
    EXPECT_EQ(lines.begin()->first, 1);
    EXPECT_EQ(lines.rbegin()->first, height);
    const emu::Tape& tape = FEmulator->Reg().Paper();
    ASSERT_GE(tape.Size(), 1u);
    const emu::TapeElement& picture = tape.At(tape.Size() - 1);
    EXPECT_EQ(picture.Kind, emu::TapeKind::Graphic);
    EXPECT_EQ(picture.A, 320);
    EXPECT_EQ(picture.B, height);
    EXPECT_EQ(picture.Data, expected);

    const std::string tapeText = tape.ToText();
    const std::string marker = "[graphic 320x" + std::to_string(height) + "]\n";
    const std::size_t at = tapeText.find(marker);
    ASSERT_NE(at, std::string::npos) << tapeText;
    // Below the marker the picture itself: (height + 1) / 2 lines of blocks.
    const std::string art = tapeText.substr(at + marker.size());
    EXPECT_EQ(static_cast<int>(std::count(art.begin(), art.end(), '\n')), (height + 1) / 2);
    EXPECT_NE(art.find("\xE2\x96\x88"), std::string::npos) << art; // a full block
}

TEST_F(GraphicPrint, TextIsDrawnAfterTheEmulatorFreedItsFontCaches) {
    // The emulator draws its tape with cairo and then ends fontconfig (FcFini);
    // the renderer shares fontconfig with it in one process.
    FDevice.PrintGraphicText(TTextGraphic(u"До", 12, u"", u"Arial"));
    EXPECT_TRUE(SaveTapePng("graphic-text-tape.png"));
    ReleaseFontConfiguration();
    emu::ReleaseDrawingCaches();
    FDevice.PrintGraphicText(TTextGraphic(u"После", 12, u"", u"Arial"));
    EXPECT_TRUE(SaveTapePng("graphic-text-tape.png"));
    std::lock_guard lock(FEmulator->Reg().Mutex());
    const emu::Tape& tape = FEmulator->Reg().Paper();
    ASSERT_GE(tape.Size(), 2u);
    EXPECT_EQ(tape.At(tape.Size() - 1).Kind, emu::TapeKind::Graphic);
    EXPECT_EQ(tape.At(tape.Size() - 2).Kind, emu::TapeKind::Graphic);
}

TEST_F(GraphicPrint, TwoLinesOfTextFollowEachOtherOnTheTape) {
    FDevice.PrintGraphicText(TTextGraphic(u"Первая", 10, u"", u"Times New Roman"));
    FDevice.PrintGraphicText(TTextGraphic(u"Вторая строка", 10, u"italic", u""));
    std::lock_guard lock(FEmulator->Reg().Mutex());
    const emu::Tape& tape = FEmulator->Reg().Paper();
    ASSERT_GE(tape.Size(), 2u);
    EXPECT_EQ(tape.At(tape.Size() - 2).Kind, emu::TapeKind::Graphic);
    EXPECT_EQ(tape.At(tape.Size() - 1).Kind, emu::TapeKind::Graphic);
    EXPECT_NE(tape.At(tape.Size() - 2).Data, tape.At(tape.Size() - 1).Data);
}

} // namespace korv::test
