// Printing commands and the waits for the printer.

#include "ScriptedDevice.h"

#include "common/uEquipmentErrors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korv::test {

TEST(DevicePrint, PrintStringSplitsAtCRAndLineLength) {
    TScriptedDevice dev;
    dev.SetLineLen(48);
    for (int i = 0; i < 5; ++i)
        dev.Answer(0);
    dev.PrintString(std::u16string(100, u'ж') + u"\rИтог");
    ASSERT_EQ(dev.Sent.size(), 4u);
    EXPECT_EQ(dev.Sent[0].Cmd, "\x17");
    EXPECT_EQ(dev.Sent[0].Data, "\x03" + std::string(48, '\xE6')); // flags 3, ANSI text
    EXPECT_EQ(dev.Sent[1].Data.size(), 49u);
    EXPECT_EQ(dev.Sent[2].Data, "\x03" + std::string(4, '\xE6'));
    EXPECT_EQ(dev.Sent[3].Data, "\x03\xC8\xF2\xEE\xE3");

    dev.Sent.clear();
    dev.PrintString(u"");
    EXPECT_TRUE(dev.Sent.empty());
}

TEST(DevicePrint, CutFeedDrawerAndTitle) {
    TScriptedDevice dev;
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 0));
    dev.SetDisableCut(true);
    dev.Cut(true);
    EXPECT_TRUE(dev.SentCommands().empty());
    EXPECT_EQ(dev.Sent.size(), 1u); // it still waited for printing

    dev.SetDisableCut(false);
    dev.Answer(0);
    dev.Answer(0);
    dev.FeedAndCut(3);
    auto sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].Cmd, "\x29");
    EXPECT_EQ(sent[0].Data, B({0x02, 3}));
    EXPECT_EQ(sent[1].Cmd, "\x25");
    EXPECT_EQ(sent[1].Data, B({1})); // partial cut

    dev.Sent.clear();
    dev.Answer(0);
    dev.FeedAndCut(0);
    sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Cmd, "\x25");

    dev.Answer(0);
    dev.OpenDrawer();
    EXPECT_EQ(dev.Sent.back().Cmd, "\x28");
    EXPECT_EQ(dev.Sent.back().Data, B({0}));

    dev.Answer(0);
    dev.PrintDocTitle("ЧЕК");
    EXPECT_EQ(dev.Sent.back().Data.size(), 32u);
    EXPECT_EQ(dev.Sent.back().Data.substr(30), B({0, 1}));

    dev.SetFeedCount(300);
    EXPECT_EQ(dev.GetFeedCount(), 0);
    dev.SetFeedCount(5);
    EXPECT_EQ(dev.GetFeedCount(), 5);
}

TEST(DevicePrint, BeepNeverFails) {
    TScriptedDevice dev;
    dev.Answer(0x4F);
    EXPECT_NO_THROW(dev.Beep());
    dev.Raw(1007, "");
    EXPECT_NO_THROW(dev.Beep());
    EXPECT_EQ(dev.Sent.back().Cmd, "\x13");
}

TEST(DevicePrint, QRCodeInBlocksOf64) {
    TScriptedDevice dev;
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 0));
    for (int i = 0; i < 4; ++i)
        dev.Answer(0);
    const std::string text(130, 'Q');
    dev.PrintQRCode(text);
    const auto sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].Cmd, "\xDD");
        EXPECT_EQ(sent[i].Data.substr(0, 2), B({0, i}));
    }
    EXPECT_EQ(sent[0].Data.size(), 66u);
    EXPECT_EQ(sent[2].Data.size(), 4u);
    EXPECT_EQ(sent[3].Cmd, "\xDE");
    EXPECT_EQ(sent[3].Data, B({0x03, 0x82, 0x00, 0x00, 0, 0, 6, 0, 2, 1}));

    dev.Sent.clear();
    dev.PrintQRCode("");
    EXPECT_TRUE(dev.Sent.empty());
    EXPECT_EQ(EquCode([&] { dev.PrintQRCode(std::string(64 * 256 + 1, 'Q')); }), 1004);
    EXPECT_TRUE(dev.Sent.empty());
}

TEST(DevicePrint, EAN13SendsTheFirstTwelveDigits) {
    TScriptedDevice dev;
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 0));
    dev.Answer(0);
    dev.PrintEAN13("4601234567893");
    EXPECT_EQ(dev.SentCommands()[0].Data, LEField(5, 460123456789ULL));
    dev.Answer(0);
    dev.PrintEAN13("46012345A7893");
    EXPECT_EQ(dev.SentCommands()[1].Data, LEField(5, 0));
    EXPECT_THROW(dev.PrintEAN13(""), EDriverError);
}

TEST(DevicePrint, WaitForEndPrintingPollsUntilIdle) {
    TScriptedDevice dev;
    dev.Raw(0, TScriptedDevice::ECRState(0, 5));
    dev.Raw(0, TScriptedDevice::ECRState(0, 4));
    dev.Raw(0, TScriptedDevice::ECRState(0, 3));
    dev.WaitForEndPrinting();
    EXPECT_EQ(dev.Sent.size(), 3u);
    EXPECT_EQ(dev.Pauses, (std::vector<int>{50, 50}));

    dev.Raw(0, B({0x4F}));
    try {
        dev.WaitForEndPrinting();
        FAIL();
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Ошибка ожидания конца печати. Ошибка команды короткого запроса "
                               u"состояния ККТ. Неверный пароль");
    }
}

TEST(DevicePrint, WaitForEndPrintingGivesUpOnAPrinterThatNeverChanges) {
    // Printing that goes on, its submode changing, is waited for however long.
    TScriptedDevice busy;
    for (int i = 0; i < 3000; ++i)
        busy.Raw(0, TScriptedDevice::ECRState(0, 4 + i % 2));
    busy.Raw(0, TScriptedDevice::ECRState(0, 0));
    busy.WaitForEndPrinting();
    EXPECT_EQ(busy.Pauses.size(), 3000u);

    // The same submode for two minutes of polls: the printer is stuck.
    TScriptedDevice stuck;
    stuck.Standing("\x10", TScriptedDevice::ECRState(0, 5));
    try {
        stuck.WaitForEndPrinting();
        FAIL();
    } catch (const EquException& E) {
        EXPECT_EQ(E.Code, 3027);
        EXPECT_NE(E.Message().find(u"подрежим 5"), std::u16string::npos);
        EXPECT_NE(E.Message().find(u"120 с"), std::u16string::npos);
    }
    EXPECT_EQ(stuck.Pauses.size(), 120000u / 50);
}

TEST(DevicePrint, WaitForPrintResumesPaperThatIsBackAlready) {
    TScriptedDevice dev;
    dev.Raw(0, TScriptedDevice::ECRState(0, 0)); // end of printing
    dev.Raw(0, TScriptedDevice::ECRState(0, 3)); // paper back, waiting for the continue command
    dev.Answer(0);                               // continue
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.WaitForPrint();
    ASSERT_EQ(dev.SentCommands().size(), 1u);
    EXPECT_EQ(dev.SentCommands()[0].Cmd, "\xB0");
    EXPECT_TRUE(dev.Pauses.empty());

    // A register that stays waiting whatever it is told is given up on.
    TScriptedDevice stays;
    stays.Standing("\x10", TScriptedDevice::ECRState(0, 3));
    stays.Standing("\xB0", B({0}));
    EXPECT_EQ(EquCode([&] { stays.WaitForPrint(); }), 3027);
}

TEST(DevicePrint, WaitForPrintWalksThroughPaperOuts) {
    TScriptedDevice dev;
    // Paper out, paper back, continue; then idle.
    dev.Raw(0, TScriptedDevice::ECRState(0, 0)); // end of printing
    dev.Raw(0, TScriptedDevice::ECRState(0, 2)); // paper out
    dev.Raw(0, TScriptedDevice::ECRState(0, 2));
    dev.Raw(0, TScriptedDevice::ECRState(0, 3)); // paper back
    dev.Answer(0);                               // continue
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.WaitForPrint();
    EXPECT_EQ(dev.SentCommands().size(), 1u);
    EXPECT_EQ(dev.SentCommands()[0].Cmd, "\xB0");
    EXPECT_EQ(dev.Pauses, (std::vector<int>{1000, 1000}));
}

TEST(DevicePrint, WaitForPrintGivesUp) {
    TScriptedDevice dev;
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 2));
    EXPECT_EQ(EquCode([&] { dev.WaitForPrint(); }), 3027);
    EXPECT_EQ(dev.Pauses.size(), 100u);

    TScriptedDevice other;
    other.Raw(0, TScriptedDevice::ECRState(0, 0));
    other.Raw(0, TScriptedDevice::ECRState(0, 2));
    other.Raw(0, TScriptedDevice::ECRState(0, 1)); // paper-out dropped without resuming
    EXPECT_EQ(EquCode([&] { other.WaitForPrint(); }), 3027);
}

TEST(DevicePrint, PrintPrevDocResumesAStoppedDocument) {
    TScriptedDevice dev;
    dev.Raw(0, TScriptedDevice::ECRState(0, 1));
    dev.PrintPrevDoc();
    EXPECT_EQ(dev.Sent.size(), 1u);

    dev.Sent.clear();
    dev.Raw(0, TScriptedDevice::ECRState(0, 3));
    dev.Answer(0);
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.PrintPrevDoc();
    EXPECT_EQ(dev.SentCommands()[0].Cmd, "\xB0");

    dev.Raw(0, TScriptedDevice::ECRState(0, 2));
    dev.Answer(0);
    dev.Raw(0, TScriptedDevice::ECRState(0, 0));
    dev.Raw(0, TScriptedDevice::ECRState(0, 2));
    EXPECT_EQ(EquCode([&] { dev.PrintPrevDoc(); }), 3027);
}

// What an operation does before its document: an idle printer costs one state
// query; a stopped or busy one takes the whole way (resume, wait, state again).
// A document left half read is drained when asked, found by the same query.
TEST(DevicePrint, PrepareForDocumentAsksOnceWhileThePrinterIsIdle) {
    const std::string Ok(1, '\0');
    const std::string Block = Ok + "\x11\x04\x01\x00\x05"; // one item of a document
    const auto State = TScriptedDevice::ECRState;
    struct TCase {
        const char* Name;
        bool Unlock; // drain a document left half read
        std::vector<std::string> Answers;
        std::string Commands; // codes sent
    };
    const TCase Cases[] = {
        {"idle", false, {State(0x04, 0)}, "\x10"},
        {"idle, receipt open", false, {State(0x08, 1), Ok}, "\x10\x88"},
        {"printing",
         false,
         {State(0x08, 5), State(0x08, 5), State(0x08, 0), State(0x08, 0), Ok},
         "\x10\x10\x10\x10\x88"},
        {"paper out",
         false,
         {State(0x04, 2), Ok, State(0x04, 0), State(0x04, 0), State(0x04, 0), State(0x04, 0)},
         "\x10\xB0\x10\x10\x10\x10"},
        {"data output left alone", false, {State(0x01, 0)}, "\x10"},
        {"idle, drain asked", true, {State(0x04, 0)}, "\x10"},
        {"data output drained",
         true,
         {State(0x01, 0), Block, Block, Ok, State(0x08, 0), Ok},
         "\x10\xFF\x3B\xFF\x3B\xFF\x3B\x10\x88"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TScriptedDevice dev;
        for (const std::string& A : C.Answers)
            dev.Raw(0, A);
        dev.PrepareForDocument(C.Unlock);
        std::string Codes;
        for (const TSentCommand& S : dev.Sent)
            Codes += S.Cmd;
        EXPECT_EQ(Codes, C.Commands);
        EXPECT_TRUE(dev.Script.empty());
    }

    // A paper-out that does not end still fails the way PrintPrevDoc does.
    TScriptedDevice stuck;
    for (const std::string& A : {State(0, 2), Ok, State(0, 0), State(0, 2)})
        stuck.Raw(0, A);
    EXPECT_EQ(EquCode([&] { stuck.PrepareForDocument(); }), 3027);
}

} // namespace korv::test

namespace korv::test {

TEST(DevicePrint, GraphicRasterFromTheFirstFreeLine) {
    TScriptedDevice dev;
    std::string query(31, '\0');
    query[10] = static_cast<char>(200); // byte 11 of the answer
    dev.Answer(0, query);
    dev.Answer(0);
    dev.Answer(0);
    dev.Answer(0);
    dev.PrintGraphicRaster(B({1, 2, 3, 4}), 16, 2);
    ASSERT_EQ(dev.Sent.size(), 4u);
    EXPECT_EQ(dev.Sent[1].Cmd, "\xC0");
    EXPECT_EQ(dev.Sent[1].Data, B({200, 1, 2}));
    EXPECT_EQ(dev.Sent[2].Data, B({201, 3, 4}));
    EXPECT_EQ(dev.Sent[3].Cmd, "\xC1");
    EXPECT_EQ(dev.Sent[3].Data, B({200, 201}));

    // Past line 255 nothing is loaded.
    dev.Sent.clear();
    dev.Answer(0, query);
    EXPECT_THROW(dev.PrintGraphicRaster(std::string(2 * 60, '\0'), 16, 60), EquException);
    EXPECT_EQ(dev.Sent.size(), 1u);
}

} // namespace korv::test
