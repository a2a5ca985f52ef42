#include "common/uFiscalNames.h"

namespace korv {

std::u16string PaymentMethodName(int Value) {
    static const char16_t* const Names[] = {
        u"ПРЕДОПЛАТА 100%",           u"ПРЕДОПЛАТА",        u"АВАНС",         u"ПОЛНЫЙ РАСЧЕТ",
        u"ЧАСТИЧНЫЙ РАСЧЕТ И КРЕДИТ", u"ПЕРЕДАЧА В КРЕДИТ", u"ОПЛАТА КРЕДИТА"};
    if (Value < 1 || Value > 7)
        return {};
    return Names[Value - 1];
}

std::u16string CalculationSubjectName(int Value) {
    static const char16_t* const Names[] = {u"ТОВАР",
                                            u"ПОДАКЦИЗНЫЙ ТОВАР",
                                            u"РАБОТА",
                                            u"УСЛУГА",
                                            u"СТАВКА АЗАРТНОЙ ИГРЫ",
                                            u"ВЫИГРЫШ АЗАРТНОЙ ИГРЫ",
                                            u"ЛОТЕРЕЙНЫЙ БИЛЕТ",
                                            u"ВЫИГРЫШ ЛОТЕРЕИ",
                                            u"ПРЕДОСТАВЛЕНИЕ РИД",
                                            u"ПЛАТЕЖ",
                                            u"АГЕНТСКОЕ ВОЗНАГРАЖДЕНИЕ",
                                            u"СОСТАВНОЙ ПРЕДМЕТ РАСЧЕТА",
                                            u"ИНОЙ ПРЕДМЕТ РАСЧЕТА",
                                            u"ИМУЩЕСТВЕННОЕ ПРАВО",
                                            u"ВНЕРЕАЛИЗАЦИОННЫЙ ДОХОД",
                                            u"СТРАХОВЫЕ ВЗНОСЫ",
                                            u"ТОРГОВЫЙ СБОР",
                                            u"КУРОРТНЫЙ СБОР",
                                            u"ЗАЛОГ",
                                            u"РАСХОД",
                                            u"ВЗНОСЫ НА ОПС ИП",
                                            u"ВЗНОСЫ НА ОПС",
                                            u"ВЗНОСЫ НА ОМС ИП",
                                            u"ВЗНОСЫ НА ОМС",
                                            u"ВЗНОСЫ НА ОСС",
                                            u"ПЛАТЕЖ КАЗИНО",
                                            u"ВЫДАЧА ДС",
                                            u"",
                                            u"",
                                            u"АТНМ",
                                            u"АТМ",
                                            u"ТНМ",
                                            u"ТМ"};
    if (Value < 1 || Value > 33)
        return {};
    return Names[Value - 1];
}

} // namespace korv
