// The command pattern: result codes to texts, short answers, the password,
// oversize messages.

#include "ScriptedDevice.h"

#include "common/uEquipmentErrors.h"

#include <gtest/gtest.h>

#include <functional>

namespace korv::test {

namespace {

template <typename F> std::u16string DriverErrorText(F&& AAction) {
    try {
        AAction();
    } catch (const EDriverError& E) {
        return E.Message();
    }
    ADD_FAILURE() << "no EDriverError";
    return {};
}

} // namespace

TEST(DeviceCommand, ResultCodeBecomesContextAndReason) {
    TScriptedDevice dev;
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 0));
    dev.Answer(79);
    EXPECT_EQ(DriverErrorText([&] { dev.OpenReceipt(0); }),
              u"Ошибка команды открытия чека. Неверный пароль");
    dev.Answer(10);
    EXPECT_EQ(DriverErrorText([&] { dev.OpenReceipt(0); }),
              u"Ошибка команды открытия чека. Неизвестная ошибка");
}

TEST(DeviceCommand, LinkFailuresUseTheirOwnTexts) {
    TScriptedDevice dev;
    dev.Raw(1007, "");
    EXPECT_EQ(DriverErrorText([&] { dev.XReport(); }),
              u"Ошибка ожидания конца печати. "
              u"Ошибка команды короткого запроса состояния ККТ. Устройство не отвечает");
    dev.Raw(606, "");
    EXPECT_EQ(DriverErrorText([&] { dev.OpenDrawer(); }),
              u"Ошибка команды открытия денежного ящика. Ошибка при получении ответа от сервера");
}

TEST(DeviceCommand, FailuresCarryCommandCodeAndOrigin) {
    struct TCase {
        const char* Name;
        std::function<void(TScriptedDevice&)> Script;
        std::function<void(TScriptedDevice&)> Run;
        int Code; // of the exception
        TErrorOrigin Origin;
        std::string Command;
        int ResultCode;
    };
    const auto Drawer = [](TScriptedDevice& D) { D.OpenDrawer(); };
    const auto State = [](TScriptedDevice& D) {
        std::string Flags;
        int Mode = 0, Submode = 0;
        D.GetECRState(Flags, Mode, Submode);
    };
    const TCase Cases[] = {
        {"register refusal", [](TScriptedDevice& D) { D.Answer(79); }, Drawer, 1001,
         TErrorOrigin::Register, "\x28", 79},
        {"silent link", [](TScriptedDevice& D) { D.Raw(1007, ""); }, Drawer, 1001,
         TErrorOrigin::Silent, "\x28", 1007},
        {"socket failure", [](TScriptedDevice& D) { D.Raw(606, ""); }, Drawer, 1001,
         TErrorOrigin::System, "\x28", 606},
        {"bad frame", [](TScriptedDevice& D) { D.Raw(1014, ""); }, Drawer, 1001,
         TErrorOrigin::BadFrame, "\x28", 1014},
        {"empty answer", [](TScriptedDevice& D) { D.Raw(0, ""); }, Drawer, 1001,
         TErrorOrigin::BadFrame, "\x28", 1014},
        {"short answer", [](TScriptedDevice& D) { D.Answer(0, "\x01"); }, State, 1014,
         TErrorOrigin::BadFrame, "\x10", 1014},
        {"silence while waiting for the printer",
         [](TScriptedDevice& D) { D.Standing("\x40", B({0})); },
         [](TScriptedDevice& D) { D.XReport(); }, 1001, TErrorOrigin::Silent, "\x10", 1007},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        TScriptedDevice dev;
        C.Script(dev);
        try {
            C.Run(dev);
            ADD_FAILURE() << "no error";
        } catch (const EquException& E) {
            EXPECT_EQ(E.Code, C.Code);
            EXPECT_EQ(E.Fault.Origin, C.Origin);
            EXPECT_EQ(E.Fault.Command, C.Command);
            EXPECT_EQ(E.Fault.ResultCode, C.ResultCode);
        }
    }
}

TEST(DeviceCommand, GetErrorDescription) {
    EXPECT_EQ(TDevice::GetErrorDescription(0), u"Ошибок нет");
    EXPECT_EQ(TDevice::GetErrorDescription(69), u"Cумма всех типов оплаты меньше итога чека");
    EXPECT_EQ(TDevice::GetErrorDescription(211), u"Код товара не распознан");
    EXPECT_EQ(TDevice::GetErrorDescription(212), u"Неизвестная ошибка");
    EXPECT_EQ(TDevice::GetErrorDescription(604), u"Синтаксическая ошибка в IP-адресе");
    EXPECT_EQ(TDevice::GetErrorDescription(608), u"Неизвестная ошибка");
    EXPECT_EQ(TDevice::GetErrorDescription(1014), u"Ошибка протокола обмена");
    EXPECT_EQ(TDevice::GetErrorDescription(1000), u"Неизвестная ошибка");
    EXPECT_EQ(TDevice::GetErrorDescription(-1), u"Неизвестная ошибка");
    EXPECT_EQ(TDevice::GetErrorDescription(79, 1007, u"  порт 3 "),
              u"Неверный пароль; Устройство не отвечает; порт 3");
    // A success carries nothing extra.
    EXPECT_EQ(TDevice::GetErrorDescription(0, 1007, u"x"), u"Ошибок нет");
}

TEST(DeviceCommand, CheckResultCode) {
    TScriptedDevice dev;
    EXPECT_EQ(dev.CheckResultCode(0), 1014); // nothing answered yet
    EXPECT_EQ(dev.CheckResultCode(1007), 1007);
    dev.Answer(0x4F);
    dev.RunCommand("\x11", "", 0, true, true);
    EXPECT_EQ(dev.CheckResultCode(0), 0x4F);
    dev.Raw(0, "");
    dev.RunCommand("\x11", "", 0, true, true);
    EXPECT_EQ(dev.CheckResultCode(0), 1014);
    // An empty answer to a command is a protocol error in its context.
    dev.Raw(0, "");
    EXPECT_EQ(DriverErrorText([&] { dev.OpenDrawer(); }),
              u"Ошибка команды открытия денежного ящика. Ошибка протокола обмена");
}

TEST(DeviceCommand, RunQueryExNeedsThirtyTwoBytes) {
    TScriptedDevice dev;
    dev.Answer(0, std::string(30, '\x01')); // 31 bytes with the result code
    std::string data;
    EXPECT_EQ(EquCode([&] { dev.RunQueryEx(1, data); }), 1014);
    ASSERT_EQ(dev.Sent.size(), 1u);
    EXPECT_EQ(dev.Sent[0].Cmd, "\xF7");
    EXPECT_EQ(dev.Sent[0].Data, B({1}));
    EXPECT_FALSE(dev.Sent[0].SendPwd);

    dev.Answer(0, std::string(31, '\x02'));
    dev.RunQueryEx(1, data);
    EXPECT_EQ(data, std::string(1, '\0') + std::string(31, '\x02'));

    dev.Answer(0x37);
    EXPECT_EQ(DriverErrorText([&] { dev.RunQueryEx(1, data); }),
              u"Ошибка выполнения расширенного запроса. Команда не поддерживается в данной "
              u"реализации ККТ");
}

TEST(DeviceCommand, ShortAnswersAreProtocolErrors) {
    TScriptedDevice dev;
    std::string flags;
    int mode = 0, submode = 0;
    dev.Answer(0, std::string(13, '\0')); // 14 bytes
    EXPECT_EQ(EquCode([&] { dev.GetECRState(flags, mode, submode); }), 1014);
    dev.Answer(0, std::string(14, '\0'));
    dev.GetECRState(flags, mode, submode);

    // The operation register as an integer reports a short answer as plain text.
    int value = 0;
    dev.Answer(0, B({1, 2}));
    EXPECT_EQ(DriverErrorText([&] { dev.GetOperationRegAsInt(5, value); }),
              u"Ошибка протокола обмена");
    dev.Answer(0, B({1, 0x34, 0x12}));
    dev.GetOperationRegAsInt(5, value);
    EXPECT_EQ(value, 0x1234);
}

TEST(DeviceCommand, OversizeMessageIsRefusedBeforeSending) {
    TScriptedDevice dev;
    // Code, password and flags leave 249 bytes of text in one frame.
    dev.Answer(0);
    dev.PrintNormalString(3, std::string(249, 'x'));
    ASSERT_EQ(dev.Sent.size(), 1u);
    EXPECT_EQ(dev.Sent[0].Data.size(), 250u);

    dev.Sent.clear();
    EXPECT_EQ(EquCode([&] { dev.PrintNormalString(3, std::string(250, 'x')); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.SetFNRequisite(1021, std::string(300, 'x')); }), 1004);
    EXPECT_TRUE(dev.Sent.empty());
    EXPECT_EQ(EquCode([] { TDevice::CheckMessageSize("\x17", std::string(251, 'x'), true); }),
              1004);
    EXPECT_NO_THROW(TDevice::CheckMessageSize("\xF7", std::string(254, 'x'), false));
}

TEST(DeviceCommand, FieldValuesWiderThanTheirFieldAreRefused) {
    TScriptedDevice dev;
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 0));
    EXPECT_EQ(EquCode([&] { dev.OpenReceipt(256); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.Feed(-1); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.SetFieldAsByte(1, 256, 1, 0); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.SetFieldAsBCD(1, 1, 1, 10000); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.SetFieldAsCurrency(1, 1, 1, 100 * CurrencyScale); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.SetFieldAsHex(1, 1, 1, "12345", 2); }), 1004);
    EXPECT_EQ(EquCode([&] { dev.SetFieldAsHex(1, 1, 1, "12G4", 2); }), 1004);
    EXPECT_EQ(EquCode([&] {
                  dev.RegisterItem(1, 1, 1LL << 50, 0, 0, 1, 1, 4, 1, "x"); // price past 5 bytes
              }),
              1004);
    EXPECT_EQ(EquCode([&] { dev.RegisterItem(1, -1, 0, 0, 0, 1, 1, 4, 1, "x"); }), 1004);
    EXPECT_TRUE(dev.SentCommands().empty());
}

TEST(DeviceCommand, PasswordAndCommandTable) {
    EXPECT_EQ(ConnectPasswordBytes(30), B({0x1E, 0, 0, 0}));
    EXPECT_EQ(ConnectPasswordBytes(258), B({0x02, 0x01, 0, 0}));
    EXPECT_EQ(ConnectPasswordBytes(0xFFFFFFFF), B({0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_THROW(ConnectPasswordBytes(0x100000000ULL), EquException);
    TScriptedDevice dev;
    EXPECT_THROW(dev.SetConnectPwd("123"), EquException);

    // Every command of the table carries its password flag, time-out and code.
    dev.Standing("\x10", TScriptedDevice::ECRState(0, 0));
    dev.Answer(0);
    dev.ZReport("", "");
    dev.Answer(0);
    dev.OpenDay("", "");
    const auto sent = dev.SentCommands();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].Cmd, "\x41");
    EXPECT_EQ(sent[0].Timeout, 40000);
    EXPECT_TRUE(sent[0].SendPwd);
    EXPECT_EQ(sent[1].Cmd, "\xE0");
    EXPECT_EQ(sent[1].Timeout, 20000);
    EXPECT_EQ(CommandInfo(TCommandId::DeviceType).Timeout, 2000);
    EXPECT_FALSE(CommandInfo(TCommandId::DeviceType).SendPwd);
    EXPECT_EQ(CommandInfo(TCommandId::FNClose).Code, "\xFF\x3E");
}

} // namespace korv::test
