#pragma once
// Printed names of fiscal enumerations.

#include <string>

namespace korv {

/// Name of payment method 1..7 ("ПОЛНЫЙ РАСЧЕТ" for 4); empty outside.
std::u16string PaymentMethodName(int Value);
/// Name of calculation subject 1..33 ("ТОВАР" for 1); empty for 28, 29 and outside.
std::u16string CalculationSubjectName(int Value);

} // namespace korv
