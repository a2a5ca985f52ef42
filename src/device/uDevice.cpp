#include "device/uDevice.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <chrono>
#include <iterator>
#include <thread>

namespace korv {

namespace {

using C = TCommandId;

// One row per command: code, context message, password sent, time-out (ms,
// 0 = default), minimum answer length (result code included).
constexpr TCommandInfo Commands[] = {
    {C::ECRState, "\x10", u"Ошибка команды короткого запроса состояния ККТ", true, 0, 15},
    {C::StateKKT, "\x11", u"Ошибка команды запроса состояния ККТ", true, 0, 47},
    {C::PrintBoldString, "\x12", u"Ошибка команды печати жирной строки", true, 0, 1},
    {C::Beep, "\x13", u"", true, 0, 1},
    {C::PrintNormalString, "\x17", u"Ошибка команды печати стандартной строки", true, 0, 1},
    {C::PrintDocTitle, "\x18", u"Ошибка команды печати заголовка документа", true, 0, 1},
    // The cash register answers: result, operator, six bytes of kopecks.
    {C::CashReg, "\x1A", u"", true, 0, 8},
    {C::CashKReg, "\x1A", u"", true, 0, 8},
    {C::OperationReg, "\x1B", u"Ошибка команды запроса операционного регистра", true, 0, 4},
    {C::WriteField, "\x1E", u"Ошибка команды программирования системной таблицы", true, 0, 1},
    {C::ReadField, "\x1F", u"Ошибка команды чтения системной таблицы", true, 0, 1},
    {C::SetTime, "\x21", u"Ошибка команды программирования времени", true, 0, 1},
    {C::SetDate, "\x22", u"Ошибка команды программирования даты", true, 0, 1},
    {C::ConfirmDate, "\x23", u"Ошибка команды программирования даты", true, 0, 1},
    {C::Cut, "\x25", u"Ошибка команды отрезки", true, 0, 1},
    {C::OpenDrawer, "\x28", u"Ошибка команды открытия денежного ящика", true, 0, 1},
    {C::Feed, "\x29", u"Ошибка команды промотки чековой ленты", true, 0, 1},
    // The field size is byte 42 of the field structure.
    {C::FieldStruct, "\x2E", u"Ошибка команды чтения системной таблицы", true, 0, 43},
    {C::PrintFontString, "\x2F", u"Ошибка печати стандартной строки заданным шрифтом", true, 0, 1},
    {C::XReport, "\x40", u"Ошибка команды снятия X-отчета", true, 0, 1},
    {C::ZReport, "\x41", u"Ошибка команды формирования суточного отчета с гашением", true, 40000,
     1},
    {C::CashIn, "\x50", u"Ошибка команды внесения/изъятия", true, 0, 1},
    {C::CashOut, "\x51", u"Ошибка команды внесения/изъятия", true, 0, 1},
    {C::CancelCheck, "\x88", u"Ошибка команды аннулирования чека", true, 0, 1},
    {C::PrintDocCopy, "\x8C", u"Ошибка печати копии последнего документа", true, 0, 1},
    {C::OpenReceipt, "\x8D", u"Ошибка команды открытия чека", true, 0, 1},
    {C::ContinuePrint, "\xB0", u"Ошибка команды продолжения печати", true, 0, 1},
    {C::LoadGraphics, "\xC0", u"Ошибка загрузки графики", true, 0, 1},
    {C::PrintGraphics, "\xC1", u"Ошибка печати графики", true, 0, 1},
    {C::PrintEAN13, "\xC2", u"Ошибка команды печати EAN-13", true, 0, 1},
    {C::QRCodeLoad, "\xDD", u"Ошибка команды загрузки данных для печати QRCode", true, 0, 1},
    {C::QRCodePrint, "\xDE", u"Ошибка команды печати QRCode", true, 0, 1},
    {C::OpenDay, "\xE0", u"Ошибка команды открытия смены", true, 20000, 1},
    {C::QueryEx, "\xF7", u"Ошибка выполнения расширенного запроса", false, 0, 32},
    // Model name from byte 7 on.
    {C::DeviceType, "\xFC", u"Ошибка команды получения типа устройства", false, 2000, 7},
    // Phase .. flags at 1..5, the last document number at 27..30.
    {C::FNStatus, "\xFF\x01", u"Ошибка команды запроса статуса ФН", true, 0, 31},
    {C::FNValidity, "\xFF\x03", u"Ошибка запроса срока действия ФН", true, 0, 4},
    {C::FNVersion, "\xFF\x04", u"", true, 0, 18},
    {C::FNBeginRegistration, "\xFF\x05", u"Ошибка команды начала формирования отчета о регистрации",
     true, 0, 1},
    {C::FNBuildRegistration, "\xFF\x06", u"Ошибка команды формирования отчета о регистрации", true,
     5000, 1},
    {C::FNFiscalization, "\xFF\x09", u"Ошибка команды запроса итогов фискализации ФН", true, 0, 48},
    {C::FNRequisite, "\xFF\x0C", u"Ошибка передачи произвольной TLV структуры с тегом ", true, 0,
     1},
    {C::FNBuildReregistration, "\xFF\x34", u"Ошибка команды формирования отчета о перерегистрации",
     true, 5000, 1},
    {C::CorrectionBegin, "\xFF\x35", u"Ошибка команды формирования чека коррекции", true, 0, 1},
    {C::CalculationBegin, "\xFF\x37",
     u"Ошибка команды начала формирования отчета о состоянии расчетов", true, 0, 1},
    {C::CalculationReport, "\xFF\x38", u"Ошибка команды формирования отчета о состоянии расчетов",
     true, 0, 1},
    {C::FNInfoExchange, "\xFF\x39", u"Ошибка команды получения статуса информационного обмена",
     true, 0, 6},
    {C::FNRequestDocument, "\xFF\x3A", u"", true, 0, 5},
    {C::FNReadDocument, "\xFF\x3B", u"Ошибка команды чтения документа в TLV", true, 0, 1},
    {C::FNClose, "\xFF\x3E", u"Ошибка команды закрытия ФН", true, 2000, 1},
    {C::SessionParams, "\xFF\x40", u"Ошибка команды запроса параметров смены", true, 0, 6},
    {C::OpenDayBegin, "\xFF\x41", u"Ошибка команды начала открытия смены", true, 0, 1},
    {C::ZReportBegin, "\xFF\x42", u"Ошибка команды начала закрытия смены", true, 0, 1},
    // Change (5 bytes), document number and fiscal sign (4 bytes each).
    {C::CloseCheckEx, "\xFF\x45", u"Ошибка команды закрытия чека", true, 0, 14},
    {C::RegisterItem, "\xFF\x46", u"Ошибка регистрации товарной позиции", true, 0, 1},
    // Receipt number (2), document number (4), fiscal sign (4).
    {C::CorrectionCheck, "\xFF\x4A", u"Ошибка команды формирования чека коррекции", true, 0, 11},
    {C::FNOperationRequisite, "\xFF\x4D",
     u"Ошибка передачи произвольной TLV структуры, привязанной к операции, с тегом ", true, 0, 1},
    {C::CheckMarkingCode, "\xFF\x61", u"Ошибка проверки маркированного товара", true, 20000, 5},
    {C::BindMarkingCode, "\xFF\x67", u"Ошибка привязки маркированного товара к позиции", true,
     20000, 1},
    {C::AcceptMarkingCode, "\xFF\x69", u"Ошибка принятия введенного кода маркировки", true, 0, 1},
    {C::ClearBufferKM, "\xFF\x69", u"Ошибка очистки буфера проверенных кодов маркировки", true, 0,
     1},
    {C::MarkingStatus, "\xFF\x70", u"Ошибка запроса статуса по работе с кодами маркировки", true, 0,
     9},
};

static_assert(std::size(Commands) == static_cast<std::size_t>(TCommandId::Count));

constexpr bool CommandTableInOrder() {
    for (std::size_t i = 0; i < std::size(Commands); ++i)
        if (static_cast<std::size_t>(Commands[i].Id) != i)
            return false;
    return true;
}
static_assert(CommandTableInOrder(), "the command table follows TCommandId");

struct TCodeText {
    int Code;
    const char16_t* Text;
};

// Register result codes and TCP link codes.
const TCodeText ResultTexts[] = {
    {0, u"Ошибок нет"},
    {1, u"Неизвестная команда, неверный формат посылки или неизвестные параметры (Команда с таким "
        u"кодом не найдена. Или формат, длина, состав (тип, формат) параметров не соответствует "
        u"спецификации)"},
    {2, u"Неверное состояние ФН (Данная команда требует другого состояния ФН)"},
    {3, u"Отказ ФН (Запросить расширенные сведения об ошибке)"},
    {4, u"Отказ КС (Запросить расширенные сведения об ошибке)"},
    {5, u"Параметры команды не соответствуют сроку жизни ФН"},
    {6, u"Архив ФН переполнен"},
    {7, u"Неверные дата и/или время (Дата и время операции не соответствуют логике работы ФН)"},
    {8, u"Нет запрошенных данных (запрошенные данные отсутствуют в Архиве ФН)"},
    {9, u"Некорректное значение параметров команды (Параметры команды имеют правильный формат, но "
        u"их значение не верно)"},
    {11, u"Неразрешенные реквизиты"},
    {13, u"Отсутствуют данные, необходимые для корректного учета в ФН"},
    {14, u"Количество позиций, подлежащих учету в документе, превысило разрешенный лимит"},
    {16, u"Превышение размеров TLV данных"},
    {17, u"Нет транспортного соединения (Транспортное соединение (ТС) отсутствует. Необходимо "
         u"установить ТС с ОФД и передать в ФН команду «Транспортное соединение с ОФД»)"},
    {18, u"Исчерпан ресурс ФН (Требуется закрытие фискального режима)"},
    {20, u"Ограничение ресурса ФН (Ресурс для хранения документов для ОФД исчерпан)"},
    {21, u"Исчерпан ресурс ожидания передачи сообщения"},
    {22, u"Продолжительность смены более 24 часов"},
    {23, u"Некорректные данные о промежутке времени между фискальными документами. (Разница более "
         u"чем на 5 минут отличается от разницы, определенной по внутреннему таймеру ФН)"},
    {25, u"Реквизит не соответствует установкам при регистрации"},
    {32, u"Сообщение от ОФД не может быть принято"},
    {47, u"Таймаут обмена с ФН"},
    {48, u"ФН не отвечает"},
    {51, u"Некорректные параметры в команде"},
    {52, u"Нет данных"},
    {53, u"Некорректный параметр при данных настройках"},
    {54, u"Некорректные параметры в команде для данной реализации ККТ"},
    {55, u"Команда не поддерживается в данной реализации ККТ"},
    {56, u"Ошибка в ПЗУ"},
    {57, u"Внутренняя ошибка ПО ККТ"},
    {58, u"Переполнение накопления по надбавкам в смене"},
    {60, u"Смена открыта операция невозможна"},
    {61, u"Переполнение накопления по секциям в смене"},
    {62, u"Переполнение накопления по секциям в смене"},
    {63, u"Переполнение накопления по скидкам в смене"},
    {64, u"Переполнение диапазона скидок"},
    {65, u"Переполнение диапазона оплаты наличными"},
    {66, u"Переполнение диапазона оплаты типом 2"},
    {67, u"Переполнение диапазона оплаты типом 3"},
    {68, u"Переполнение диапазона оплаты типом 4"},
    {69, u"Cумма всех типов оплаты меньше итога чека"},
    {70, u"Не хватает наличности в кассе"},
    {71, u"Переполнение накопления по налогам в смене"},
    {72, u"Переполнение итога чека"},
    {73, u"Операция невозможна в открытом чеке данного типа"},
    {74, u"Открыт чек - операция невозможна"},
    {75, u"Буфер чека переполнен"},
    {76, u"Переполнение накопления по обороту налогов в смене"},
    {77, u"Вносимая безналичной оплатой сумма больше суммы чека"},
    {78, u"Смена превысила 24 часа"},
    {79, u"Неверный пароль"},
    {80, u"Идет печать результатов выполнения предыдущей команды"},
    {81, u"Переполнение накоплений наличными в смене"},
    {82, u"Переполнение накоплений по типу оплаты 2 в смене"},
    {83, u"Переполнение накоплений по типу оплаты 3 в смене"},
    {84, u"Переполнение накоплений по типу оплаты 4 в смене"},
    {85, u"Чек закрыт – операция невозможна"},
    {86, u"Нет документа для повтора"},
    {88, u"Ожидание команды продолжения печати"},
    {89, u"Документ открыт другим оператором"},
    {91, u"Переполнение диапазона надбавок"},
    {92, u"Понижено напряжение 24В"},
    {93, u"Таблица не определена"},
    {94, u"Некорректная операция"},
    {95, u"Отрицательный итог чека"},
    {96, u"Переполнение при умножении"},
    {97, u"Переполнение диапазона цены"},
    {98, u"Переполнение диапазона количества"},
    {99, u"Переполнение диапазона отдела"},
    {100, u"ФП отсутствует"},
    {101, u"Не хватает денег в секции"},
    {102, u"Переполнение денег в секции"},
    {104, u"Не хватает денег по обороту налогов"},
    {105, u"Переполнение денег по обороту налогов"},
    {106, u"Ошибка питания в момент ответа по I2C"},
    {107, u"Нет чековой ленты"},
    {109, u"Не хватает денег по налогу"},
    {110, u"Переполнение денег по налогу"},
    {111, u"Переполнение по выплате в смене"},
    {113, u"Ошибка отрезчика"},
    {114, u"Команда не поддерживается в данном подрежиме"},
    {115, u"Команда не поддерживается в данном режиме"},
    {116, u"Ошибка ОЗУ"},
    {117, u"Ошибка питания"},
    {119, u"Ошибка принтера: нет сигнала с датчиков"},
    {120, u"Замена ПО"},
    {121, u"Ошибка часов"},
    {122, u"Поле не редактируется"},
    {123, u"Ошибка оборудования"},
    {124, u"Не совпадает дата"},
    {125, u"Неверный формат даты"},
    {126, u"Неверное значение в поле длины"},
    {127, u"Переполнение диапазона итога чека"},
    {132, u"Переполнение наличности"},
    {133, u"Переполнение по продажам в смене"},
    {134, u"Переполнение по покупкам в смене"},
    {135, u"Переполнение по возвратам продаж в смене"},
    {136, u"Переполнение по возвратам покупок в смене"},
    {137, u"Переполнение по внесению в смене"},
    {138, u"Переполнение по надбавкам в чеке"},
    {139, u"Переполнение по скидкам в чеке"},
    {140, u"Отрицательный итог надбавки в чеке"},
    {141, u"Отрицательный итог скидки в чеке"},
    {142, u"Нулевой итог чека"},
    {144, u"Поле превышает размер, установленный в настройках"},
    {145, u"Выход за границу поля печати при данных настройках шрифта"},
    {146, u"Наложение полей"},
    {147, u"Восстановление ОЗУ прошло успешно"},
    {148, u"Исчерпан лимит операций в чеке"},
    {160, u"Запрещена работа с маркированным товарами (При активации ФН 1.2 не был установлен "
          u"признак работы с маркированными товарами)"},
    {161, u"Неверная последовательность команд группы BXh (Нарушена правильная последовательность "
          u"подачи команд для обработки маркированных товаров)"},
    {162, u"Работа с маркированными товарами временно заблокирована (Область временного хранения "
          u"уведомлений о реализации маркированного товара полностью заполнена. Невозможно "
          u"формирование новых уведомлений)"},
    {163, u"Переполнена таблица проверки кодов маркировки (ФН допускает включение в чек не более "
          u"128 штук КМ. ФН сохраняет результаты проверки КМ в таблице проверки)"},
    {164,
     u"В блоке TLV отсутствуют необходимые реквизиты (В переданном блоке данных, который должен "
     u"содержать реквизиты в TLV формате, отсутствуют необходимые реквизиты. Такой код ошибки "
     u"может сопровождаться в ответе ФН номером отсутствующего реквизита в формате Uint16, LE)"},
    {165, u"В реквизите 2007 содержится КМ, который ранее не проверялся в ФН"},
    {192, u"Контроль даты и времени (подтвердите дату и время)"},
    {194, u"Превышение напряжения в блоке питания"},
    {196, u"Несовпадение номеров смен"},
    {199, u"Поле не редактируется в данном режиме"},
    {200, u"Нет связи с принтером или отсутствуют импульсы от таходатчика"},
    {211, u"Код товара не распознан"},
    {600, u"Ошибка при создании сокета"},
    {601, u"Ошибка при установлении подключения к ФР"},
    {602, u"Не является целым числом"},
    {603, u"Номер порта должен лежать в диапазоне 1-65535"},
    {604, u"Синтаксическая ошибка в IP-адресе"},
    {605, u"Ошибка при отправке данных серверу"},
    {606, u"Ошибка при получении ответа от сервера"},
    {607, u"Ошибка инициализации библиотеки WinSock"},
};

const char16_t* FindResultText(int ACode) {
    for (const auto& row : ResultTexts)
        if (row.Code == ACode)
            return row.Text;
    return nullptr;
}

const std::u16string_view UnknownError = u"Неизвестная ошибка";

} // namespace

const TCommandInfo& CommandInfo(TCommandId AId) {
    return Commands[static_cast<std::size_t>(AId)];
}

TDevice::TDevice() = default;

TDevice::~TDevice() = default;

int TDevice::RunCommand(std::string_view, std::string_view, int, bool, bool) {
    return 0;
}
int TDevice::Enable(int, int) {
    return 0;
}
int TDevice::Enable(const std::string&, int) {
    return 0;
}
void TDevice::Disable() {}
std::string TDevice::GetIPAddress() const {
    return {};
}
void TDevice::SetIPAddress(const std::string& AValue) {
    FIPAddress = AValue;
}
int TDevice::GetTCPPort() const {
    return 0;
}
void TDevice::SetTCPPort(int AValue) {
    FTCPPort = AValue;
}
int TDevice::GetPortNumber() const {
    return 0;
}
void TDevice::SetPortNumber(int AValue) {
    FPortNumber = AValue;
}
int TDevice::GetBaudRate() const {
    return 0;
}
void TDevice::SetBaudRate(int AValue) {
    FBaudRate = AValue;
}

void TDevice::SetConnectPwd(const std::string& AValue) {
    if (AValue.size() != 4)
        throw EquException(1004);
    FConnectPwd = AValue;
}

int TDevice::CheckResultCode(int AErrorCode) const {
    if (AErrorCode != 0)
        return AErrorCode;
    if (FResponse.empty())
        return 1014;
    return static_cast<unsigned char>(FResponse[0]);
}

std::u16string TDevice::GetErrorDescription(int ACode, int ADriverCode,
                                            std::u16string_view AExtra) {
    std::u16string text;
    if ((ACode >= 0 && ACode <= 211) || (ACode >= 600 && ACode <= 607)) {
        const char16_t* found = FindResultText(ACode);
        text = found ? found : UnknownError;
    } else if (ACode > 1000) {
        text = GetDriverErrorText(ACode);
    } else {
        text = UnknownError;
    }
    if (ACode != 0 && ADriverCode != 0)
        text += u"; " + GetDriverErrorText(ADriverCode);
    if (ACode != 0) {
        const std::u16string extra(TrimView(AExtra));
        if (!extra.empty())
            text += u"; " + extra;
    }
    return text;
}

void TDevice::CheckMessageSize(std::string_view ACmd, std::string_view AData, bool ASendPwd) {
    const std::size_t size = ACmd.size() + (ASendPwd ? 4 : 0) + AData.size();
    if (ACmd.empty() || size > MaxMessageLength)
        throw EquException(1004);
}

void TDevice::RaiseCommandError(std::u16string_view AContext, int ACode) const {
    TCommandFault Fault;
    Fault.Command = FLastCommand;
    Fault.ResultCode = ACode;
    if (ACode > 0 && ACode <= 255) {
        Fault.Origin = TErrorOrigin::Register;
    } else if (ACode != 0 && ACode == FLastLinkCode) {
        Fault.Origin = FLinkOrigin;
        Fault.Reason = FLinkReason;
    }
    if (Fault.Origin == TErrorOrigin::None) {
        // A link that did not say: the code tells.
        if (ACode == 1007)
            Fault.Origin = TErrorOrigin::Silent;
        else if (ACode == 1014)
            Fault.Origin = TErrorOrigin::BadFrame; // also: an empty answer
        else if (ACode == 1011 || (ACode >= 600 && ACode <= 607))
            Fault.Origin = TErrorOrigin::System;
    }
    throw EDriverError(std::u16string(AContext) + u". " + GetErrorDescription(ACode),
                       std::move(Fault));
}

void TDevice::RaiseShortAnswer() const {
    throw EquException(1014, GetDriverErrorText(1014),
                       TCommandFault{TErrorOrigin::BadFrame, FLastCommand, 1014,
                                     u"Ответ короче ожидаемого"});
}

int TDevice::ExecuteCode(TCommandId AId, std::string_view AData) {
    const TCommandInfo& info = CommandInfo(AId);
    CheckMessageSize(info.Code, AData, info.SendPwd);
    FLastCommand = std::string(info.Code);
    FLinkReason.clear();
    FLinkOrigin = TErrorOrigin::None;
    FLastLinkCode = RunCommand(info.Code, AData, info.Timeout, info.SendPwd, true);
    return CheckResultCode(FLastLinkCode);
}

const std::string& TDevice::Execute(TCommandId AId, std::string_view AData,
                                    std::u16string_view AContextTail,
                                    std::initializer_list<int> AAccepted) {
    const TCommandInfo& info = CommandInfo(AId);
    const int rc = ExecuteCode(AId, AData);
    bool accepted = rc == 0;
    for (int code : AAccepted)
        accepted = accepted || rc == code;
    if (!accepted) {
        // Commands without a context of their own fail only as protocol errors.
        if (info.Context.empty())
            RaiseShortAnswer();
        RaiseCommandError(std::u16string(info.Context) + std::u16string(AContextTail), rc);
    }
    if (FResponse.size() < info.MinLength)
        RaiseShortAnswer();
    return FResponse;
}

void TDevice::RunQueryEx(std::uint8_t AQueryType, std::string& AData) {
    AData = Execute(TCommandId::QueryEx, std::string(1, static_cast<char>(AQueryType)));
}

void TDevice::Pause(int AMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

} // namespace korv
