// Receipt, shift and marking-code commands: the bytes they send and what
// they take from the answers.

#include "ScriptedDevice.h"

#include "common/uEquipmentErrors.h"

#include <gtest/gtest.h>

namespace korv::test {

namespace {

constexpr TCurrency Rub(double ARoubles) {
    return static_cast<TCurrency>(ARoubles * CurrencyScale + (ARoubles >= 0 ? 0.5 : -0.5));
}

// A device whose printer is always idle.
struct TIdleDevice : TScriptedDevice {
    TIdleDevice() { Standing("\x10", ECRState(0, 0)); }
};

} // namespace

TEST(Fields, MoneyAndQuantityRounding) {
    EXPECT_EQ(MoneyField(10050), LEField(5, 100)); // 100.5 kopecks: to even
    EXPECT_EQ(MoneyField(10150), LEField(5, 102));
    EXPECT_EQ(MoneyField(Rub(0.01)), B({1, 0, 0, 0, 0}));
    EXPECT_EQ(QuantityField(0.5), B({0x20, 0xA1, 0x07, 0, 0, 0}));
    EXPECT_EQ(CurrencyToKopecks(-150), -2); // -1.5 kopecks to even
    EXPECT_THROW(MoneyField(-100), EquException);
    EXPECT_EQ(LEField(2, 0xFFFF), B({0xFF, 0xFF}));
    EXPECT_THROW(LEField(2, 0x10000), EquException);
}

TEST(Receipt, RegisterItemFields) {
    TIdleDevice dev;
    dev.Answer(0);
    dev.RegisterItem(1, 0.5, Rub(100), Rub(50), 0, 1, 2, 4, 1, "Tea");
    const auto sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Cmd, "\xFF\x46");
    const std::string& d = sent[0].Data;
    EXPECT_EQ(d, B({1}) + QuantityField(0.5) + LEField(5, 10000) + LEField(5, 5000) +
                     std::string(5, '\xFF') + B({1, 2, 4, 1}) + "Tea");

    dev.Answer(0);
    dev.RegisterItem(1, 1, Rub(1), Rub(1), Rub(0.01), 1, 1, 4, 1, "");
    EXPECT_EQ(dev.Sent.back().Data.substr(17, 5), B({1, 0, 0, 0, 0}));
}

TEST(Receipt, CloseCheckExAcceptsStillPrinting) {
    TIdleDevice dev;
    const TCurrency sums[16] = {Rub(10)};
    const TCurrency taxes[6] = {};
    // Result 0x50, change 5 bytes, document number, fiscal sign.
    dev.Answer(0x50, std::string(5, '\0') + B({1, 0, 0, 0}) + B({0x78, 0x56, 0x34, 0x12}));
    std::string r(47, '\0');
    r[24] = 1, r[25] = 2, r[26] = 26;
    dev.Raw(0, r);
    std::string sign;
    TDateTimeValue when = 0;
    dev.CloseCheckEx(sums, 0, taxes, 1, "Thanks", sign, when);
    EXPECT_EQ(sign, "305419896");
    TDateTimeValue want = 0;
    TryEncodeDateTime(2026, 2, 1, 0, 0, 0, want);
    EXPECT_EQ(when, want);
    const auto sent = dev.SentCommands();
    EXPECT_EQ(sent[0].Data.size(), 112u + 6);
    EXPECT_EQ(sent[0].Data.substr(0, 5), LEField(5, 1000));
    EXPECT_EQ(sent[0].Data.substr(111, 1), B({1}));
}

TEST(Receipt, CancelReceiptOnlyWhenOneIsOpen) {
    TScriptedDevice dev;
    dev.Raw(0, TScriptedDevice::ECRState(0x04, 0)); // bit 3 clear
    dev.CancelReceipt();
    EXPECT_EQ(dev.Sent.size(), 1u);

    dev.Sent.clear();
    dev.Raw(0, TScriptedDevice::ECRState(0x08, 0));
    dev.Answer(0);
    dev.CancelReceipt();
    ASSERT_EQ(dev.Sent.size(), 2u);
    EXPECT_EQ(dev.Sent[1].Cmd, "\x88");

    // A short state answer: nothing more is sent.
    dev.Sent.clear();
    dev.Answer(0, B({0, 0, 0x08}));
    dev.CancelReceipt();
    EXPECT_EQ(dev.Sent.size(), 1u);

    dev.Raw(0, TScriptedDevice::ECRState(0x08, 0));
    dev.Answer(0x55);
    try {
        dev.CancelReceipt();
        FAIL();
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Ошибка команды аннулирования чека. Чек закрыт – операция "
                               u"невозможна");
    }
}

TEST(Receipt, EncashAndRequisites) {
    TIdleDevice dev;
    dev.Encash(0);
    EXPECT_TRUE(dev.Sent.empty());
    dev.Answer(0);
    dev.Encash(Rub(-150));
    auto sent = dev.SentCommands();
    EXPECT_EQ(sent[0].Cmd, "\x51");
    EXPECT_EQ(sent[0].Data, LEField(5, 15000));
    dev.Answer(0);
    dev.Encash(Rub(1));
    EXPECT_EQ(dev.SentCommands()[1].Cmd, "\x50");

    EXPECT_EQ(TDevice::SetTLV(1021, "AB"), B({0xFD, 0x03, 2, 0}) + "AB");
    EXPECT_EQ(TDevice::SetTLV(2108, 11), B({0x3C, 0x08, 1, 0, 11}));
    EXPECT_EQ(TDevice::SetTLV(2108, 0x1234), B({0x3C, 0x08, 2, 0, 0x34, 0x12}));
    dev.Answer(0x0B);
    try {
        dev.SetFNRequisite(1203, "123456789012");
        FAIL();
    } catch (const EDriverError& E) {
        EXPECT_EQ(
            E.Message(),
            u"Ошибка передачи произвольной TLV структуры с тегом 1203. Неразрешенные реквизиты");
    }
    dev.Answer(0);
    dev.SetFNOperationRequisite(2108, 0);
    EXPECT_EQ(dev.Sent.back().Cmd, "\xFF\x4D");
}

TEST(Receipt, CorrectionCheckSendsItsRequisitesFirst) {
    TIdleDevice dev;
    dev.Answer(0x02); // begin: its result is ignored
    dev.Answer(0);    // 1021
    dev.Answer(0);    // 1178
    dev.Answer(0, B({5, 0, 9, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
    std::string sign;
    std::int64_t number = 0;
    TDevice::TCorrectionSums sums{};
    sums.CorrectionSum = Rub(10);
    sums.Cash = Rub(10);
    TDateTimeValue basis = 0;
    TryEncodeDateTime(2026, 1, 2, 15, 30, 0, basis);
    dev.ProcessCorrectionCheck(sign, number, 0, 1, 1, sums, "", "", basis, "Ivanov", "");
    const auto sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].Cmd, "\xFF\x35");
    EXPECT_EQ(sent[1].Data.substr(0, 2), B({0xFD, 0x03}));
    EXPECT_EQ(sent[2].Data.substr(0, 4), B({0x9A, 0x04, 4, 0}));
    TDateTimeValue midnight = 0;
    TryEncodeDateTime(2026, 1, 2, 0, 0, 0, midnight);
    EXPECT_EQ(sent[2].Data.substr(4), LEField(4, static_cast<std::uint64_t>(midnight)));
    EXPECT_EQ(sent[3].Cmd, "\xFF\x4A");
    EXPECT_EQ(sent[3].Data.size(), 63u);
    EXPECT_EQ(number, 9);
    EXPECT_EQ(sign, "305419896");
}

TEST(Shift, OpenDayAndReports) {
    TIdleDevice dev;
    dev.Answer(0);
    dev.OpenDay("", "");
    auto sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Cmd, "\xE0");

    dev.Sent.clear();
    for (int i = 0; i < 4; ++i)
        dev.Answer(0);
    dev.OpenDay("Petrov", "123456789012");
    sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0].Cmd, "\xFF\x41");
    EXPECT_EQ(sent[1].Data, TDevice::SetTLV(1021, "Petrov"));
    EXPECT_EQ(sent[2].Data, TDevice::SetTLV(1203, "123456789012"));
    EXPECT_EQ(sent[3].Cmd, "\xE0");

    dev.Sent.clear();
    dev.Answer(0);
    dev.Answer(0);
    dev.Answer(0x50); // still printing counts as done
    dev.CalculationStateReport("Petrov", "");
    sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].Cmd, "\xFF\x38");

    dev.Answer(0x50);
    EXPECT_THROW(dev.XReport(), EDriverError);
}

TEST(Shift, SessionParamsAndDayState) {
    TIdleDevice dev;
    std::uint8_t state = 9;
    std::int64_t shift = 0, receipt = 0;
    dev.Answer(0, B({1, 0x2C, 0x01, 5, 0}));
    dev.GetCurrentSessionParams(state, shift, receipt);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(shift, 300);
    EXPECT_EQ(receipt, 5);
    dev.Answer(0, B({1, 0x2C, 0x01, 5}));
    EXPECT_EQ(EquCode([&] { dev.GetCurrentSessionParams(state, shift, receipt); }), 1014);

    std::string full(47, '\0');
    full[14] = 3; // shift open, 24 hours over
    dev.Answer(0, B({1, 1, 0, 0, 0}));
    dev.Raw(0, full);
    state = 9;
    dev.IsDayOpened(state);
    EXPECT_EQ(state, 2);

    full[14] = 2;
    dev.Answer(0, B({7, 1, 0, 0, 0})); // a state the driver does not know
    dev.Raw(0, full);
    dev.IsDayOpened(state);
    EXPECT_EQ(state, 2);
    dev.Answer(0, B({0, 1, 0, 0, 0}));
    dev.Raw(0, full);
    dev.IsDayOpened(state);
    EXPECT_EQ(state, 0);
}

TEST(Marking, CheckRequestLayouts) {
    TScriptedDevice dev;
    TKMResult result;
    dev.Answer(0, B({3, 0, 0, 0}));
    dev.CheckMarkingCode(1, "CODE", 1, 0, 0, 0, result);
    EXPECT_EQ(dev.Sent.back().Data, B({1, 0, 4, 0}) + "CODE");
    EXPECT_EQ(dev.Sent.back().Timeout, 20000);
    EXPECT_EQ(result.LocalValidationResult, 3);

    dev.Answer(0, B({3, 0, 0, 0}));
    dev.CheckMarkingCode(2, "K", 0, 0, 1, 4, result);
    const std::string fraction =
        TDevice::SetTLV(1293, LEField(8, 1)) + TDevice::SetTLV(1294, LEField(8, 4));
    const std::string tlv = TDevice::SetTLV(2108, B({0})) + TDevice::SetTLV(1291, fraction) +
                            TDevice::SetTLV(1023, B({0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dev.Sent.back().Data, B({2, 0, 1, static_cast<int>(tlv.size())}) + "K" + tlv);

    dev.Answer(0, B({3, 0, 0, 0}));
    dev.CheckMarkingCode(2, "K", 0.5, 11, 0, 0, result);
    EXPECT_EQ(dev.Sent.back().Data.substr(4 + 1),
              TDevice::SetTLV(2108, B({11})) + TDevice::SetTLV(1023, B({1, 5, 0, 0, 0, 0, 0, 0})));

    dev.Answer(0, B({3, 0, 0, 0}));
    dev.CheckMarkingCode(4, "K", 0, 0, 4, 4, result);
    EXPECT_EQ(dev.Sent.back().Data.substr(5), TDevice::SetTLV(2108, B({0})));

    EXPECT_EQ(TDevice::EncodeFVLN(12.25), B({2, 0xC9, 0x04, 0, 0, 0, 0, 0}));
    EXPECT_THROW(TDevice::EncodeFVLN(3000000000.0), EquException);
}

TEST(Marking, CheckAnswerRetriesAndList) {
    TScriptedDevice dev;
    TKMResult result;
    const std::string items = Item(2100, B({3})) + Item(2005, B({0x0F})) + Item(2109, B({1}));
    const std::string block = B({1, 0x0F}) + items;
    dev.Answer(4);
    dev.Answer(4);
    dev.Answer(0, B({3, 0, 0, static_cast<int>(block.size())}) + block);
    dev.CheckMarkingCode(1, "KM1", 1, 0, 0, 0, result);
    EXPECT_EQ(dev.Pauses, (std::vector<int>{1000, 1000}));
    EXPECT_EQ(dev.GetCheckMarkCount(), 2);
    EXPECT_EQ(result.RequestStatus, 2);
    EXPECT_EQ(result.MarkingValidationResult, 0x0F);
    EXPECT_EQ(result.KMType, 3);
    EXPECT_EQ(result.ProcessingResult, 15);
    EXPECT_EQ(result.StatusInfo, 1);
    EXPECT_EQ(result.TLVList, "2100;2005;2109;");
    EXPECT_EQ(dev.KMListResult().count("KM1"), 1u);

    // The fourth busy answer raises; the result is listed all the same.
    dev.SetCheckMarkCount(0);
    for (int i = 0; i < 4; ++i)
        dev.Answer(4);
    TKMResult failed;
    failed.GUID = "g";
    EXPECT_THROW(dev.CheckMarkingCode(1, "KM2", 1, 0, 0, 0, failed), EDriverError);
    ASSERT_EQ(dev.KMListResult().count("KM2"), 1u);
    EXPECT_EQ(dev.KMListResult().at("KM2").GUID, "g");

    // An answer block longer than the answer.
    dev.Answer(0, B({3, 0, 0, 9, 1}));
    EXPECT_EQ(EquCode([&] { dev.CheckMarkingCode(1, "KM3", 1, 0, 0, 0, result); }), 1014);
}

TEST(Marking, BindAcceptClearStatus) {
    TScriptedDevice dev;
    dev.Answer(0);
    dev.BindMarkingCode("ABC", 1);
    EXPECT_EQ(dev.Sent.back().Data, B({3}) + "ABC\xFF");
    dev.Answer(0);
    dev.BindMarkingCode("ABC", 0);
    EXPECT_EQ(dev.Sent.back().Data, B({3}) + "ABC");
    dev.Answer(0);
    dev.AcceptMarkingCode(false);
    EXPECT_EQ(dev.Sent.back().Data, B({0}));
    dev.Answer(0);
    dev.ClearBufferKM();
    EXPECT_EQ(dev.Sent.back().Data, B({2}));
    int a, b, c, d, e, f, g;
    dev.Answer(0, B({1, 2, 3, 4, 5, 6, 0x01, 0x01}));
    dev.GetMarkingCodeWorkStatus(a, b, c, d, e, f, g);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(f, 6);
    EXPECT_EQ(g, 257);
    dev.Answer(0, B({1, 2, 3}));
    EXPECT_EQ(EquCode([&] { dev.GetMarkingCodeWorkStatus(a, b, c, d, e, f, g); }), 1014);
}

} // namespace korv::test
