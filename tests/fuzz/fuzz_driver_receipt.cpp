// Receipt, correction and marking-code request packages as a host might pass
// them: any text. Reading them for every format version must either give a
// checked package or fail with a driver error, never crash, hang or leak.

#include "driver/uDeviceDriver.h"
#include "driver/uDriverReceipt.h"
#include "driver/uDriverXml.h"

#include "common/uText.h"

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    using namespace korv;
    const std::string Utf8(reinterpret_cast<const char*>(Data), Size);
    pugi::xml_document Doc;
    try {
        ParseXmlInput(Utf8ToU16(Utf8), Doc);
    } catch (const std::exception&) {
        return 0;
    }
    static const TTaxValues Taxes;
    for (int Ffd = 0; Ffd <= 3; ++Ffd) {
        for (bool Correction : {false, true}) {
            try {
                const rcpt::TReceipt R = rcpt::ReadReceipt(Doc, Ffd, Correction, Taxes, true);
                // What was accepted is within the register's fields.
                if (R.OperationType < 1 || R.OperationType > 4)
                    std::abort();
                for (const auto& P : R.Positions)
                    if (P.Kind == rcpt::TPositionKind::Item &&
                        (P.Item.Price < 0 || P.Item.Amount < 0 || P.Item.Department > 255))
                        std::abort();
            } catch (const std::exception&) {
            }
        }
    }
    try {
        rcpt::ReadTotalsCorrection(Doc, Taxes, 0);
    } catch (const std::exception&) {
    }
    try {
        const rcpt::TKMRequest K = rcpt::ReadKMRequest(Doc);
        if (K.Code.empty() || K.Code.size() > 255)
            std::abort();
    } catch (const std::exception&) {
    }
    return 0;
}
