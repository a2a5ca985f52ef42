// Connection settings and XML parameter texts as a host might pass them:
// any UTF-16 text. Cleaning, parsing, applying the settings to a device
// instance and writing a document back must cope, and what the driver
// writes must parse again.

#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include "common/uText.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    using namespace korv;
    std::u16string Text(Size / 2, u'\0');
    std::memcpy(Text.data(), Data, Size / 2 * 2);

    pugi::xml_document Doc;
    try {
        ParseXmlInput(Text, Doc);
    } catch (const std::exception&) {
        return 0;
    }

    // The written form of any accepted document reads back.
    pugi::xml_document Again;
    std::string Written = U16ToUtf8(XmlText(Doc));
    if (!Again.load_string(Written.c_str()))
        std::abort();

    // Only the settings are applied: a fuzzed address is never connected to.
    TDriver Driver;
    TDeviceDriver Instance;
    try {
        Driver.ApplySettings(Doc, Instance);
    } catch (const std::exception&) {
    }
    return 0;
}
