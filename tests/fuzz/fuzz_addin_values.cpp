// Host values as a host might pass them: any type code, any scalar bytes,
// any text. Every reader and the trace rendering must cope.

#include "addin/v8napi.h"

#include <cstdint>
#include <cstring>
#include <exception>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    using namespace korv;
    if (Size < 2)
        return 0;
    V8Variant V{};
    std::memcpy(&V.vt, Data, 2);
    Data += 2;
    Size -= 2;

    // Text and blobs point at the rest of the input; scalars take its bytes.
    std::vector<char16_t> Wide(Size / 2 + 1, 0);
    std::memcpy(Wide.data(), Data, Size / 2 * 2);
    std::vector<char> Bytes(Data, Data + Size);
    Bytes.push_back(0);
    switch (V.vt & VTYPE_TYPEMASK) {
    case VTYPE_PWSTR:
        V.pwstrVal = Wide.data();
        V.wstrLen = static_cast<std::uint32_t>(Wide.size() - 1);
        break;
    case VTYPE_PSTR:
    case VTYPE_BLOB:
        V.pstrVal = Bytes.data();
        V.strLen = static_cast<std::uint32_t>(Size);
        break;
    case VTYPE_INTERFACE:
    case VTYPE_VARIANT:
        break; // pointers the fuzzer cannot make valid
    default:
        std::memcpy(&V, Data, Size < sizeof V.tmVal ? Size : sizeof V.tmVal);
        if (sizeof V.tmVal > 36)
            std::memset(reinterpret_cast<char*>(&V.tmVal) + 36, 0, sizeof V.tmVal - 36);
        break;
    }

    (void)V8TypeName(&V);
    (void)V8IsString(&V);
    (void)V8AsInteger(&V);
    (void)V8AsDouble(&V);
    (void)V8AsBoolean(&V);
    (void)V8AsWideString(&V);
    try {
        (void)V8AsDateTime(&V);
    } catch (const std::exception&) {
    }
    try {
        (void)V8ParamsText(&V, 1);
    } catch (const std::exception&) {
    }
    return 0;
}
