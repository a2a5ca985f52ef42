#include "device/uTLVStructure.h"

#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"

#include <iterator>

namespace korv {

namespace {

// Sorted by tag; looked up by binary search.
const TTagInfo Tags[] = {
    {1000, u"наимен. документа", TFFD::ffdString},
    {1001, u"признак автоматического режима", TFFD::ffdByte},
    {1002, u"признак автономного режима", TFFD::ffdByte},
    {1005, u"адрес оператора перевода", TFFD::ffdString},
    {1008, u"телефон или эл. адрес покупателя", TFFD::ffdString},
    {1009, u"адрес расчетов", TFFD::ffdString},
    {1012, u"дата, время", TFFD::ffdUnixTime},
    {1013, u"заводской номер ККТ", TFFD::ffdString},
    {1016, u"ИНН оператора перевода", TFFD::ffdString},
    {1017, u"ИНН ОФД", TFFD::ffdString},
    {1018, u"ИНН пользователя", TFFD::ffdString},
    {1020, u"ИТОГ", TFFD::ffdVLN},
    {1021, u"кассир", TFFD::ffdString},
    {1022, u"код ответа ОФД", TFFD::ffdByte},
    {1023, u"количество предмета расчета", TFFD::ffdFVLN},
    {1026, u"наимен. оператора перевода", TFFD::ffdString},
    {1030, u"наимен. предмета расчета", TFFD::ffdString},
    {1031, u"сумма по чеку (БСО) наличными", TFFD::ffdVLN},
    {1036, u"номер автомата", TFFD::ffdString},
    {1037, u"рег. номер ККТ", TFFD::ffdString},
    {1038, u"номер смены", TFFD::ffdUInt32},
    {1040, u"номер ФД", TFFD::ffdUInt32},
    {1041, u"номер ФН", TFFD::ffdString},
    {1042, u"номер чека за смену", TFFD::ffdUInt32},
    {1043, u"стоимость предмета расчета", TFFD::ffdVLN},
    {1044, u"операция банк. агента", TFFD::ffdString},
    {1046, u"наимен. ОФД", TFFD::ffdString},
    {1048, u"наимен. пользователя", TFFD::ffdString},
    {1050, u"признак исчерпания ресурса ФН", TFFD::ffdByte},
    {1051, u"признак необходимости срочной замены ФН", TFFD::ffdByte},
    {1052, u"признак переполнения памяти ФН", TFFD::ffdByte},
    {1053, u"признак превышения времени ожидания ответа ОФД", TFFD::ffdByte},
    {1054, u"признак расчета", TFFD::ffdByte},
    {1055, u"СНО", TFFD::ffdRegister},
    {1056, u"признак шифрования", TFFD::ffdByte},
    {1057, u"признак агента", TFFD::ffdRegister},
    {1059, u"предмет расчета", TFFD::ffdSTLV},
    {1060, u"адрес сайта ФНС", TFFD::ffdString},
    {1062, u"системы налогообложения", TFFD::ffdByte},
    {1068, u"сообщение оператора для ФН", TFFD::ffdSTLV},
    {1073, u"телефон платежного агента", TFFD::ffdString},
    {1074, u"телефон оператора по приему платежей", TFFD::ffdString},
    {1075, u"телефон оператора перевода", TFFD::ffdString},
    {1077, u"ФПД", TFFD::ffdBytes},
    {1078, u"ФПО", TFFD::ffdBytes},
    {1079, u"цена за единицу предмета расчета", TFFD::ffdVLN},
    {1081, u"сумма по чеку (БСО) безналичными", TFFD::ffdVLN},
    {1084, u"", TFFD::ffdSTLV},
    {1085, u"наимен. доп. реквизита пользователя", TFFD::ffdString},
    {1086, u"значение доп. реквизита пользователя", TFFD::ffdString},
    {1097, u"кол-во непереданных ФД", TFFD::ffdUInt32},
    {1098, u"дата первого непереданного документа", TFFD::ffdUnixTime},
    {1101, u"код причины перерегистрации", TFFD::ffdByte},
    {1102, u"сумма НДС чека по ставке 20%", TFFD::ffdVLN},
    {1103, u"сумма НДС чека по ставке 10%", TFFD::ffdVLN},
    {1104, u"сумма расчета по чеку с НДС по ставке 0%", TFFD::ffdVLN},
    {1105, u"сумма расчета по чеку без НДС", TFFD::ffdVLN},
    {1106, u"сумма НДС чека по расч. ставке 20/120", TFFD::ffdVLN},
    {1107, u"сумма НДС чека по расч. ставке 10/110", TFFD::ffdVLN},
    {1108, u"признак ККТ для расчетов в Интернет", TFFD::ffdByte},
    {1109, u"признак расчетов за услуги", TFFD::ffdByte},
    {1110, u"признак АС БСО", TFFD::ffdByte},
    {1111, u"общее кол-во ФД за смену", TFFD::ffdUInt32},
    {1116, u"номер первого непереданного документа", TFFD::ffdUInt32},
    {1117, u"адрес эл. почты отправителя чека", TFFD::ffdString},
    {1118, u"кол-во кассовых чеков (БСО) за смену", TFFD::ffdUInt32},
    {1126, u"признак проведения лотереи", TFFD::ffdByte},
    {1129, u"счетчики операций «приход»", TFFD::ffdSTLV},
    {1130, u"счетчики операций «возврат прихода»", TFFD::ffdSTLV},
    {1131, u"счетчики операций «расход»", TFFD::ffdSTLV},
    {1132, u"счетчики операций «возврат расхода»", TFFD::ffdSTLV},
    {1133, u"счетчики операций по чекам коррекции", TFFD::ffdSTLV},
    {1134, u"кол-во чеков (БСО) со всеми признаками расчетов", TFFD::ffdUInt32},
    {1135, u"кол-во чеков по признаку расчетов", TFFD::ffdUInt32},
    {1136, u"сумма расчетов наличными", TFFD::ffdVLN},
    {1138, u"сумма расчетов безналичными", TFFD::ffdVLN},
    {1139, u"сумма НДС по ставке 20%", TFFD::ffdVLN},
    {1140, u"сумма НДС по ставке 10%", TFFD::ffdVLN},
    {1141, u"сумма НДС по расч. ставке 20/120", TFFD::ffdVLN},
    {1142, u"сумма НДС по расч. ставке 10/110", TFFD::ffdVLN},
    {1143, u"сумма расчетов с НДС по ставке 0%", TFFD::ffdVLN},
    {1144, u"кол-во чеков коррекции", TFFD::ffdUInt32},
    {1145, u"", TFFD::ffdSTLV},
    {1146, u"", TFFD::ffdSTLV},
    {1157, u"счетчики итогов ФН", TFFD::ffdSTLV},
    {1158, u"счетчики итогов непереданных ФД", TFFD::ffdSTLV},
    {1163, u"код товара", TFFD::ffdSTLV},
    {1171, u"телефон поставщика", TFFD::ffdString},
    {1173, u"тип коррекции", TFFD::ffdByte},
    {1174, u"основание для коррекции", TFFD::ffdSTLV},
    {1178, u"дата документа основания для коррекции", TFFD::ffdUnixTime},
    {1179, u"номер документа основания для коррекции", TFFD::ffdString},
    {1183, u"сумма расчетов без НДС", TFFD::ffdVLN},
    {1187, u"место расчетов", TFFD::ffdString},
    {1188, u"версия ККТ", TFFD::ffdString},
    {1189, u"версия ФФД ККТ", TFFD::ffdByte},
    {1190, u"версия ФФД ФН", TFFD::ffdByte},
    {1191, u"доп. реквизит предмета расчета", TFFD::ffdString},
    {1192, u"доп. реквизит чека (БСО)", TFFD::ffdString},
    {1193, u"признак проведения азартных игр", TFFD::ffdByte},
    {1194, u"счетчики итогов смены", TFFD::ffdSTLV},
    {1196, u"QR-код", TFFD::ffdString},
    {1197, u"единица измерения предмета расчета", TFFD::ffdString},
    {1198, u"размер НДС за единицу предмета расчета", TFFD::ffdVLN},
    {1199, u"ставка НДС", TFFD::ffdByte},
    {1200, u"сумма НДС за предмет расчета", TFFD::ffdVLN},
    {1201, u"общая итоговая сумма в чеках (БСО)", TFFD::ffdVLN},
    {1203, u"ИНН кассира", TFFD::ffdString},
    {1205, u"коды причин изменения сведений о ККТ", TFFD::ffdRegister},
    {1206, u"сообщение оператора", TFFD::ffdRegister},
    {1207, u"признак торговли подакцизными товарами", TFFD::ffdByte},
    {1208, u"сайт чеков", TFFD::ffdString},
    {1209, u"версия ФФД", TFFD::ffdByte},
    {1212, u"признак предмета расчета", TFFD::ffdByte},
    {1213, u"ресурс ключей ФП", TFFD::ffdUInt32},
    {1214, u"признак способа расчета", TFFD::ffdByte},
    {1215, u"сумма по чеку (БСО) предоплатой", TFFD::ffdVLN},
    {1216, u"сумма по чеку (БСО) постоплатой", TFFD::ffdVLN},
    {1217, u"сумма по чеку (БСО) встречным предоставлением", TFFD::ffdVLN},
    {1218, u"сумма предоплат (зачетов авансов)", TFFD::ffdVLN},
    {1219, u"сумма постоплат (кредитов)", TFFD::ffdVLN},
    {1220, u"сумма встречных предоставлений", TFFD::ffdVLN},
    {1221, u"признак установки принтера в автомате", TFFD::ffdByte},
    {1222, u"признак агента по предмету расчета", TFFD::ffdRegister},
    {1223, u"данные агента", TFFD::ffdSTLV},
    {1224, u"данные поставщика", TFFD::ffdSTLV},
    {1225, u"наимен. поставщика", TFFD::ffdString},
    {1226, u"ИНН поставщика", TFFD::ffdString},
    {1227, u"покупатель (клиент)", TFFD::ffdString},
    {1228, u"ИНН покупателя (клиента)", TFFD::ffdString},
    {1229, u"сумма акциза", TFFD::ffdVLN},
    {1230, u"код страны происхождения товара", TFFD::ffdString},
    {1231, u"номер таможенной декларации", TFFD::ffdString},
    {1232, u"счетчики коррекций «возврат прихода»", TFFD::ffdSTLV},
    {1233, u"счетчики коррекций «возврат расхода»", TFFD::ffdSTLV},
    {1243, u"дата рождения покупателя (клиента)", TFFD::ffdString},
    {1244, u"гражданство", TFFD::ffdString},
    {1245, u"код вида документа, удостоверяющего личность", TFFD::ffdString},
    {1246, u"данные документа, удостоверяющего личность", TFFD::ffdString},
    {1254, u"адрес покупателя (клиента)", TFFD::ffdString},
    {1256, u"сведения о покупателе (клиенте)", TFFD::ffdSTLV},
    {1260, u"отраслевой реквизит предмета расчета", TFFD::ffdSTLV},
    {1261, u"отраслевой реквизит чека", TFFD::ffdSTLV},
    {1262, u"идентификатор ФОИВ", TFFD::ffdString},
    {1263, u"дата документа основания", TFFD::ffdString},
    {1264, u"номер документа основания", TFFD::ffdString},
    {1265, u"значение отраслевого реквизита", TFFD::ffdString},
    {1270, u"операционный реквизит чека", TFFD::ffdSTLV},
    {1271, u"идентификатор операции", TFFD::ffdByte},
    {1272, u"данные операции", TFFD::ffdString},
    {1273, u"дата, время операции", TFFD::ffdUnixTime},
    {1274, u"доп. реквизит ОР", TFFD::ffdString},
    {1275, u"доп. данные ОР", TFFD::ffdBytes},
    {1276, u"доп. реквизит ООС", TFFD::ffdString},
    {1277, u"доп. данные ООС", TFFD::ffdBytes},
    {1278, u"доп. реквизит ОЗС", TFFD::ffdString},
    {1279, u"доп. данные ОЗС", TFFD::ffdBytes},
    {1280, u"доп. реквизит ОТР", TFFD::ffdString},
    {1281, u"доп. данные ОТР", TFFD::ffdBytes},
    {1282, u"доп. реквизит ОЗФН", TFFD::ffdString},
    {1283, u"доп. данные ОЗФН", TFFD::ffdBytes},
    {1290, u"признаки условий применения ККТ", TFFD::ffdRegister},
    {1291, u"дробное количество маркированного товара", TFFD::ffdSTLV},
    {1292, u"дробная часть", TFFD::ffdString},
    {1293, u"числитель", TFFD::ffdVLN},
    {1294, u"знаменатель", TFFD::ffdVLN},
    {1300, u"КТ Н", TFFD::ffdString},
    {1301, u"КТ EAN-8", TFFD::ffdString},
    {1302, u"КТ EAN-13", TFFD::ffdString},
    {1303, u"КТ ITF-14", TFFD::ffdString},
    {1304, u"КТ GS1.0", TFFD::ffdString},
    {1305, u"КТ GS1.М", TFFD::ffdString},
    {1306, u"КТ КМК", TFFD::ffdString},
    {1307, u"КТ МИ", TFFD::ffdString},
    {1308, u"КТ ЕГАИС-2.0", TFFD::ffdString},
    {1309, u"КТ ЕГАИС-3.0", TFFD::ffdString},
    {1320, u"КТ Ф.1", TFFD::ffdString},
    {1321, u"КТ Ф.2", TFFD::ffdString},
    {1322, u"КТ Ф.3", TFFD::ffdString},
    {1323, u"КТ Ф.4", TFFD::ffdString},
    {1324, u"КТ Ф.5", TFFD::ffdString},
    {1325, u"КТ Ф.6", TFFD::ffdString},
    {2000, u"код маркировки", TFFD::ffdString},
    {2001, u"номер запроса", TFFD::ffdUInt32},
    {2002, u"номер уведомления", TFFD::ffdUInt32},
    {2003, u"планируемый статус товара", TFFD::ffdByte},
    {2004, u"результат проверки КМ", TFFD::ffdRegister},
    {2005, u"результаты обработки запроса", TFFD::ffdRegister},
    {2006, u"результат проверки КМ в ФН", TFFD::ffdByte},
    {2007, u"данные о маркированном товаре", TFFD::ffdSTLV},
    {2100, u"тип кода маркировки", TFFD::ffdByte},
    {2101, u"идентификатор товара", TFFD::ffdString},
    {2102, u"режим обработки кода маркировки", TFFD::ffdByte},
    {2104, u"кол-во непереданных уведомлений", TFFD::ffdUInt32},
    {2105, u"код обработки запроса", TFFD::ffdByte},
    {2106, u"результат проверки сведений о товаре", TFFD::ffdRegister},
    {2107, u"результаты проверки товаров", TFFD::ffdByte},
    {2108, u"мера количества предмета расчета", TFFD::ffdByte},
    {2109, u"ответ ОИСМ о статусе товара", TFFD::ffdByte},
    {2110, u"присвоенный статус товара", TFFD::ffdByte},
    {2111, u"коды обработки уведомления", TFFD::ffdByte},
    {2112, u"признак некорректных КМ", TFFD::ffdRegister},
    {2113, u"признак некорректных запросов и уведомлений", TFFD::ffdRegister},
    {2114, u"дата и время запроса", TFFD::ffdUnixTime},
    {2115, u"контрольный код КМ", TFFD::ffdString},
    {2116, u"вид операции", TFFD::ffdRegister},
};

static_assert(std::size(Tags) == 206);

std::u16string AsciiToU16(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

std::u16string UIntText(std::uint64_t v) {
    return AsciiToU16(std::to_string(v));
}

// The decimal text of AValue / 10^APlaces with no trailing zeros after the point.
std::u16string ScaledText(std::uint64_t AValue, unsigned APlaces) {
    std::string digits = std::to_string(AValue);
    if (APlaces == 0)
        return AsciiToU16(digits);
    if (digits.size() <= APlaces)
        digits.insert(0, APlaces - digits.size() + 1, '0');
    std::string whole = digits.substr(0, digits.size() - APlaces);
    std::string frac = digits.substr(digits.size() - APlaces);
    while (!frac.empty() && frac.back() == '0')
        frac.pop_back();
    return AsciiToU16(frac.empty() ? whole : whole + "." + frac);
}

[[noreturn]] void Malformed() {
    throw EquException(1014);
}

} // namespace

const TTagInfo* TagTable(std::size_t& ACount) {
    ACount = std::size(Tags);
    return Tags;
}

bool FindTag(int ATag, TFFD& ADataType, std::u16string& AReqName) {
    std::size_t lo = 0, hi = std::size(Tags);
    while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (Tags[mid].Tag < ATag)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == std::size(Tags) || Tags[lo].Tag != ATag)
        return false;
    ADataType = Tags[lo].DataType;
    AReqName = Tags[lo].ReqName;
    return true;
}

bool FindTag(std::string_view ATagBytes, int& ATag, TFFD& ADataType, std::u16string& AReqName) {
    if (ATagBytes.size() < 2)
        return false;
    ATag = static_cast<int>(static_cast<unsigned char>(ATagBytes[0]) |
                            static_cast<unsigned char>(ATagBytes[1]) << 8);
    return FindTag(ATag, ADataType, AReqName);
}

void ForEachTLV(std::string_view AData, const std::function<void(const TTLVItem&)>& AVisit) {
    std::size_t pos = 0;
    while (AData.size() - pos >= 4) {
        const auto byteAt = [&](std::size_t i) {
            return static_cast<std::size_t>(static_cast<unsigned char>(AData[pos + i]));
        };
        TTLVItem item;
        item.Tag = static_cast<int>(byteAt(0) | byteAt(1) << 8);
        const std::size_t len = byteAt(2) | byteAt(3) << 8;
        pos += 4;
        if (len > AData.size() - pos)
            Malformed();
        item.Value = AData.substr(pos, len);
        pos += len;
        AVisit(item);
    }
}

std::uint64_t GetTLVUInt(std::string_view AValue) {
    if (AValue.size() > 8)
        Malformed();
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < AValue.size(); ++i)
        v |= static_cast<std::uint64_t>(static_cast<unsigned char>(AValue[i])) << (8 * i);
    return v;
}

std::u16string GetVLN(std::string_view AValue) {
    return ScaledText(GetTLVUInt(AValue), 2);
}

std::u16string GetFVLN(std::string_view AValue) {
    if (AValue.empty())
        Malformed();
    const unsigned places = static_cast<unsigned char>(AValue[0]);
    if (places > 30)
        Malformed();
    return ScaledText(GetTLVUInt(AValue.substr(1)), places);
}

std::u16string GetTLVValue(int ATag, TFFD ADataType, std::string_view AValue) {
    if (ATag == 1054 || ATag == 1055)
        return AValue.empty() ? std::u16string() : UIntText(static_cast<unsigned char>(AValue[0]));
    switch (ADataType) {
    case TFFD::ffdUnixTime:
    case TFFD::ffdUInt32:
        return AValue.empty() ? std::u16string() : UIntText(GetTLVUInt(AValue.substr(0, 4)));
    case TFFD::ffdByte:
        return AValue.empty() ? std::u16string() : UIntText(static_cast<unsigned char>(AValue[0]));
    case TFFD::ffdInteger:
    case TFFD::ffdRegister:
        return AValue.empty() ? std::u16string() : UIntText(GetTLVUInt(AValue));
    case TFFD::ffdBytes: {
        // A fiscal sign field: two bytes of header, then the sign big-endian.
        std::uint64_t v = 0;
        for (std::size_t i = 2; i < 6 && i < AValue.size(); ++i)
            v = v << 8 | static_cast<unsigned char>(AValue[i]);
        return UIntText(v);
    }
    case TFFD::ffdVLN:
        return GetVLN(AValue);
    case TFFD::ffdFVLN:
        return GetFVLN(AValue);
    default:
        return OemToU16(AValue);
    }
}

void ReadTLVList(std::string_view AData, std::map<int, std::u16string>& ATagList) {
    ATagList.clear();
    ForEachTLV(AData, [&](const TTLVItem& AItem) {
        TFFD type = TFFD::ffdUknown;
        std::u16string name;
        FindTag(AItem.Tag, type, name);
        ATagList.emplace(AItem.Tag, GetTLVValue(AItem.Tag, type, AItem.Value));
    });
}

} // namespace korv
