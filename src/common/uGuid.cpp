#include "common/uGuid.h"
#include "common/uEquipmentErrors.h"

namespace korv {

std::u16string NewGuidText() {
    unsigned char b[16];
    if (!OsRandomBytes(b, sizeof b))
        throw EquException(1001, u"Не удалось получить случайные данные для идентификатора");
    // Version 4 (random), variant 10xx.
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    static const char16_t Hex[] = u"0123456789ABCDEF";
    std::u16string Out;
    Out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            Out.push_back(u'-');
        Out.push_back(Hex[b[i] >> 4]);
        Out.push_back(Hex[b[i] & 0xF]);
    }
    return Out;
}

} // namespace korv
