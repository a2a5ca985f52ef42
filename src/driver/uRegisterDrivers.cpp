#include "driver/uRegisterDrivers.h"

#include "driver/uDriver.h"

namespace korv {

void RegisterDrivers() {
    TCommonDriver::RegisterDriver<TDriver>(u"Korvander",
                                           u"Драйвер ККТ Зарник 1С:Совместимо для 1С:БПО NativeAPI",
                                           u"Драйвер ККТ Зарник");
}

} // namespace korv
