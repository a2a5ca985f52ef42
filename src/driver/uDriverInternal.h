#pragma once
// What the operation files of TDriver share: the register's setting cells,
// small text helpers and the refusal of operations this build lacks.

#include "common/uEquipmentErrors.h"
#include "device/uDeviceCommon.h"
#include "driver/uDriverXml.h"

#include <pugixml.hpp>

#include <limits>
#include <string>
#include <string_view>

namespace korv::drv {

// Register setting cells (table, row, field).
inline constexpr int KPrintModeTable = 17, KPrintModeRow = 1, KPrintModeField = 7;
inline constexpr int KReceiveAllKTField = 41;
inline constexpr int KAutoCutTable = 1, KAutoCutRow = 1, KAutoCutField = 7;
inline constexpr int KRegTable = 18, KRegRow = 1;
inline constexpr int KSerialField = 1;
inline constexpr int KTcpPortNumber = 9999;
inline constexpr int KConnectionSerial = 0, KConnectionTcp = 1;

/// APattern with its first "%s" replaced by AArg.
std::u16string Format(std::u16string_view APattern, std::u16string_view AArg);

/// The attribute as a Boolean (TextToBool); false when missing or not a Boolean.
bool BoolAttr(pugi::xml_attribute AAttr);

/// A money amount as a decimal number with a point ("12.5", "0", "-3.25").
std::string CurrencyText(TCurrency AValue);

/// A date the register or the FN did not give (the reading left it alone).
inline constexpr TDateTimeValue KUnsetDate = std::numeric_limits<TDateTimeValue>::min();
/// "yyyy-mm-ddThh:nn:ss"; an unset date is the zero date of the host's
/// calendar, 1899-12-30T00:00:00.
std::u16string DateText(TDateTimeValue AValue);

/// Operations whose register work is not part of this build.
[[noreturn]] void NotSupported();

} // namespace korv::drv
