#include "common/uEquipmentErrors.h"

#include <gtest/gtest.h>

using namespace korv;

TEST(DriverErrorText, TableTextsAndFallbacks) {
    EXPECT_EQ(GetDriverErrorText(3005), u"Смена закрыта");
    EXPECT_EQ(GetDriverErrorText(0), u"Нет ошибок");
    EXPECT_EQ(GetDriverErrorText(1014), u"Ошибка протокола обмена");
    EXPECT_EQ(GetDriverErrorText(3002),
              u"Длительность смены превысила 24 часа. Необходимо снять Z-отчет");
    EXPECT_EQ(GetDriverErrorText(16002),
              u"Кофемашина в сосотояни ожидания запроса на приготовление продукта");
    EXPECT_EQ(GetDriverErrorText(99115),
              u"Специфичная для данного класса устройств ошибка. "
              u"Расширенная информация в дополнительном описании ошибки");
    // The given text wins for a non-zero code only.
    EXPECT_EQ(GetDriverErrorText(3005, u"Своя причина"), u"Своя причина");
    EXPECT_EQ(GetDriverErrorText(0, u"Своя причина"), u"Нет ошибок");
    // Unknown codes.
    EXPECT_EQ(GetDriverErrorText(5000), u"Неизвестная ошибка");
    EXPECT_EQ(GetDriverErrorText(5000, {}, u"Запасной текст"), u"Запасной текст");
    EXPECT_EQ(GetDriverErrorText(-1), u"Неизвестная ошибка");
}

TEST(DriverErrorText, EveryCodeHasItsOwnText) {
    const int Codes[] = {
        0,     70,    74,    201,   1001,  1002,  1003,  1004,  1005,  1006,  1007,  1008,  1009,
        1010,  1011,  1012,  1013,  1014,  1015,  1016,  1017,  1018,  1019,  1020,  2001,  3001,
        3002,  3003,  3004,  3005,  3006,  3007,  3008,  3009,  3010,  3011,  3012,  3013,  3014,
        3015,  3017,  3018,  3019,  3020,  3021,  3022,  3023,  3024,  3025,  3026,  3027,  3028,
        3029,  3030,  4001,  4002,  4003,  4004,  4005,  4006,  4007,  4008,  6001,  7001,  8001,
        11001, 12001, 13001, 14001, 14002, 14003, 15001, 16001, 16002, 17001, 18001, 99001, 99102,
        99103, 99104, 99105, 99106, 99107, 99108, 99109, 99110, 99111, 99112, 99113, 99114, 99115};
    ASSERT_EQ(std::size(Codes), 91u);
    for (int Code : Codes) {
        const std::u16string Text = GetDriverErrorText(Code, {}, u"-");
        EXPECT_NE(Text, u"-") << Code;
        if (Code != 1001) {
            EXPECT_NE(Text, u"Неизвестная ошибка") << Code;
        }
    }
    EXPECT_EQ(GetDriverErrorText(3016, {}, u"-"), u"-");
}

TEST(EquExceptionTest, CarriesCodeAndMessage) {
    try {
        throw EquException(1004);
    } catch (const EquException& E) {
        EXPECT_EQ(E.Code, 1004);
        EXPECT_EQ(E.Message(), u"Ошибка входных параметров команды");
        EXPECT_STREQ(E.what(), "Ошибка входных параметров команды");
        EXPECT_TRUE(E.StrCode.empty());
    }
    const EquException Own(3026, u"Длина ИНН кассира не равна 12");
    EXPECT_EQ(ExceptionMessage(Own), u"Длина ИНН кассира не равна 12");
    EXPECT_EQ(ExceptionMessage(EDriverError(u"Нет бумаги")), u"Нет бумаги");
    EXPECT_EQ(ExceptionMessage(std::runtime_error("Сбой")), u"Сбой");
}
