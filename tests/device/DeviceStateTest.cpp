// Register state, settings tables, fields and the clock: byte-exact requests
// and the decoding of answers.

#include "ScriptedDevice.h"

#include "common/uEquipmentErrors.h"

#include <gtest/gtest.h>

namespace korv::test {

namespace {

// A full state answer (47 bytes) with a mode byte and a clock.
std::string FullState(int AMode, int ADay, int AMonth, int AYear, int AHour, int AMinute,
                      int ASecond) {
    std::string r(47, '\0');
    r[14] = static_cast<char>(AMode);
    r[24] = static_cast<char>(ADay);
    r[25] = static_cast<char>(AMonth);
    r[26] = static_cast<char>(AYear);
    r[27] = static_cast<char>(AHour);
    r[28] = static_cast<char>(AMinute);
    r[29] = static_cast<char>(ASecond);
    return r;
}

} // namespace

TEST(DeviceState, SetDateTimeSendsTimeThenDateTwice) {
    TScriptedDevice dev;
    TDateTimeValue t = 0;
    ASSERT_TRUE(TryEncodeDateTime(2026, 3, 5, 10, 7, 9, t));
    dev.Answer(0);
    dev.Answer(0);
    dev.Answer(0);
    dev.SetDateTime(t);
    ASSERT_EQ(dev.Sent.size(), 3u);
    EXPECT_EQ(dev.Sent[0].Cmd, "\x21");
    EXPECT_EQ(dev.Sent[0].Data, B({0x0A, 0x07, 0x09}));
    EXPECT_EQ(dev.Sent[1].Cmd, "\x22");
    EXPECT_EQ(dev.Sent[1].Data, B({0x05, 0x03, 0x1A}));
    EXPECT_EQ(dev.Sent[2].Cmd, "\x23");
    EXPECT_EQ(dev.Sent[2].Data, B({0x05, 0x03, 0x1A}));
    for (const auto& c : dev.Sent)
        EXPECT_TRUE(c.SendPwd);

    // A refused date is not confirmed.
    dev.Sent.clear();
    dev.Answer(0);
    dev.Answer(0x7D);
    try {
        dev.SetDateTime(t);
        FAIL();
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Ошибка команды программирования даты. Неверный формат даты");
    }
    EXPECT_EQ(dev.Sent.size(), 2u);
    // Years the register cannot hold are refused.
    ASSERT_TRUE(TryEncodeDateTime(1999, 12, 31, 0, 0, 0, t));
    EXPECT_THROW(dev.SetDateTime(t), EquException);
}

TEST(DeviceState, DateTimeRoundTrip) {
    TDateTimeValue t = 0;
    ASSERT_TRUE(TryEncodeDateTime(2024, 2, 29, 23, 59, 59, t));
    const TDateTimeParts p = DecodeDateTime(t);
    EXPECT_EQ(p.Year, 2024);
    EXPECT_EQ(p.Month, 2);
    EXPECT_EQ(p.Day, 29);
    EXPECT_EQ(p.Hour, 23);
    EXPECT_EQ(p.Second, 59);
    ASSERT_TRUE(TryEncodeDateTime(1970, 1, 1, 0, 0, 0, t));
    EXPECT_EQ(t, 0);
    EXPECT_FALSE(TryEncodeDateTime(2023, 2, 29, 0, 0, 0, t));
    EXPECT_FALSE(TryEncodeDateTime(2023, 13, 1, 0, 0, 0, t));
    EXPECT_FALSE(TryEncodeDateTime(2023, 1, 1, 24, 0, 0, t));
}

TEST(DeviceState, GetDateTimeKKTKeepsTheValueForAnInvalidClock) {
    TScriptedDevice dev;
    TDateTimeValue t = 12345;
    dev.Raw(0, FullState(0, 31, 2, 24, 10, 0, 0));
    dev.GetDateTimeKKT(t);
    EXPECT_EQ(t, 12345);
    dev.Raw(0, FullState(0, 5, 3, 26, 10, 7, 9));
    dev.GetDateTimeKKT(t);
    TDateTimeValue want = 0;
    TryEncodeDateTime(2026, 3, 5, 10, 7, 9, want);
    EXPECT_EQ(t, want);
    EXPECT_EQ(dev.Sent.back().Cmd, "\x11");
}

TEST(DeviceState, ShortStateDecoding) {
    TScriptedDevice dev;
    std::string r = TScriptedDevice::ECRState(0x38, 4);
    r[2] = '\x12';
    r[3] = '\x34';
    dev.Raw(0, r);
    std::string flags;
    int mode = 0, submode = 0;
    dev.GetECRState(flags, mode, submode);
    EXPECT_EQ(flags, B({0x12, 0x34}));
    EXPECT_EQ(mode, 8); // low four bits
    EXPECT_EQ(submode, 4);
}

TEST(DeviceState, TableFieldsAreAddressedTableRowRowField) {
    TScriptedDevice dev;
    dev.Answer(0, B({48}));
    int value = 0;
    dev.GetLineLength(value);
    EXPECT_EQ(value, 48);
    EXPECT_EQ(dev.Sent.back().Cmd, "\x1F");
    EXPECT_EQ(dev.Sent.back().Data, B({9, 1, 0, 3}));

    // No value byte: the caller's value stays.
    dev.Answer(0);
    value = 7;
    dev.GetFieldAsByte(17, 1, 7, value);
    EXPECT_EQ(value, 7);

    dev.Answer(0);
    dev.SetFieldAsByte(17, 1, 7, 2);
    EXPECT_EQ(dev.Sent.back().Cmd, "\x1E");
    EXPECT_EQ(dev.Sent.back().Data, B({17, 1, 0, 7, 2}));

    dev.Answer(0, B({0xAB, 0x01}));
    std::string hex;
    dev.GetFieldAsHex(1, 2, 3, hex);
    EXPECT_EQ(hex, "AB01");

    dev.Answer(0, B({0x12, 0x34}));
    TCurrency money = 0;
    dev.GetFieldAsCurrency(1, 2, 3, money);
    EXPECT_EQ(money, 1234 * CurrencyScale / 100);
}

TEST(DeviceState, BCDAndCurrencyFields) {
    TScriptedDevice dev;
    dev.Answer(0);
    dev.SetFieldAsBCD(5, 1, 2, 7);
    EXPECT_EQ(dev.Sent.back().Data, B({5, 1, 0, 2, 0x00, 0x07}));
    dev.Answer(0);
    dev.SetFieldAsBCD(5, 1, 2, 9999);
    EXPECT_EQ(dev.Sent.back().Data.substr(4), B({0x99, 0x99}));
    dev.Answer(0);
    dev.SetFieldAsCurrency(5, 1, 2, 1234 * CurrencyScale / 100); // 12.34
    EXPECT_EQ(dev.Sent.back().Data.substr(4), B({0x12, 0x34}));
    dev.Answer(0);
    dev.SetFieldAsHex(5, 1, 2, "abc", 3);
    EXPECT_EQ(dev.Sent.back().Data.substr(4), B({0x00, 0x0A, 0xBC}));
    dev.Answer(0);
    dev.SetFieldAsHex(5, 1, 2, "1234", 0);
    EXPECT_EQ(dev.Sent.back().Data.substr(4), B({0x12, 0x34}));
    EXPECT_EQ(BCDField(2, 123), B({0x01, 0x23}));
    EXPECT_EQ(ReadBCD(B({0x12, 0x34})), 1234u);
    EXPECT_EQ(ReadBCD(B({0x1A})), 0u);
}

TEST(DeviceState, SetFieldAsStrFitsTheFieldSize) {
    TScriptedDevice dev;
    std::string structure(42, '\0');
    structure += '\x05'; // field size at byte 42
    dev.Raw(0, structure);
    dev.Answer(0);
    dev.SetFieldAsStr(4, 1, 1, "ABCDEFGH");
    ASSERT_EQ(dev.Sent.size(), 2u);
    EXPECT_EQ(dev.Sent[0].Cmd, "\x2E");
    EXPECT_EQ(dev.Sent[0].Data, B({4, 1}));
    EXPECT_EQ(dev.Sent[1].Data, B({4, 1, 0, 1}) + "ABCDE");

    dev.Raw(0, structure);
    dev.Answer(0);
    dev.SetFieldAsStr(4, 1, 1, "AB");
    EXPECT_EQ(dev.Sent.back().Data, B({4, 1, 0, 1}) + std::string("AB\0\0\0", 5));

    // A field structure without the size byte is a protocol error.
    dev.Raw(0, std::string(42, '\0'));
    EXPECT_THROW(dev.SetFieldAsStr(4, 1, 1, "AB"), EquException);
}

TEST(DeviceState, RegistersAndDeviceType) {
    TScriptedDevice dev;
    dev.Answer(0, B({1, 0x39, 0x30, 0, 0, 0, 0})); // 12345 kopecks
    TCurrency cash = 0;
    dev.GetCashReg(241, cash);
    EXPECT_EQ(cash, 12345 * CurrencyScale / 100);
    EXPECT_EQ(dev.Sent.back().Data, B({241}));
    dev.Answer(0, B({1, 0x39, 0x30, 0, 0, 0, 0}));
    dev.GetCashKReg(4096, cash);
    EXPECT_EQ(dev.Sent.back().Data, B({0x00, 0x10}));
    // Failing or short answers of the cash register are protocol errors.
    dev.Answer(0x5D);
    EXPECT_THROW(dev.GetCashReg(241, cash), EquException);
    dev.Answer(0, B({1, 0x39}));
    EXPECT_THROW(dev.GetCashReg(241, cash), EquException);

    dev.Answer(0, B({0, 1, 2, 3, 4, 5}) + "KV-01");
    int version = 0, subversion = 0, index = 0, lang = 0;
    std::string model;
    dev.GetDeviceType(version, subversion, model, index, lang);
    EXPECT_EQ(version, 2);
    EXPECT_EQ(subversion, 3);
    EXPECT_EQ(index, 4);
    EXPECT_EQ(lang, 5);
    EXPECT_EQ(model, "KV-01");
    EXPECT_FALSE(dev.Sent.back().SendPwd);
    dev.Answer(0, B({0, 1, 2}));
    EXPECT_THROW(dev.GetDeviceType(version, subversion, model, index, lang), EquException);
}

TEST(DeviceState, GetFRLineLenReportsByItsResult) {
    TScriptedDevice dev;
    dev.Answer(0, B({0, 0x48}));
    EXPECT_EQ(dev.GetFRLineLen(), 0);
    EXPECT_EQ(dev.GetFRLineLenValue(), 48);
    EXPECT_EQ(dev.Sent.back().Data, B({0x02, 0x00, 0x01, 0x37}));
    dev.Answer(0, B({0}));
    EXPECT_EQ(dev.GetFRLineLen(), 1014);
    dev.Answer(0x5D);
    EXPECT_EQ(dev.GetFRLineLen(), 0x5D);
    dev.Raw(1007, "");
    EXPECT_EQ(dev.GetFRLineLen(), 1007);
}

TEST(DeviceState, UnlockDataOutputModeDrainsTheDocument) {
    TScriptedDevice dev;
    dev.Raw(0, FullState(0x21, 1, 1, 26, 0, 0, 0)); // mode 1 with a status bit above
    dev.Answer(0, "\x01\x04\x01\x00\x07");
    dev.Answer(0, "\x02\x04\x01\x00\x07");
    dev.Answer(0);
    dev.UnlockDataOutputMode();
    ASSERT_EQ(dev.Sent.size(), 4u);
    EXPECT_EQ(dev.Sent[3].Cmd, "\xFF\x3B");

    dev.Sent.clear();
    dev.Raw(0, FullState(4, 1, 1, 26, 0, 0, 0));
    dev.UnlockDataOutputMode();
    EXPECT_EQ(dev.Sent.size(), 1u);
}

} // namespace korv::test
