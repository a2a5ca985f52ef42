// The FN item reader: flat lists, value decoders, and whole documents read
// through the command object, on arbitrary bytes. Malformed input may raise
// EquException; it must never read outside its data or raise anything else.

#include "common/uEquipmentErrors.h"
#include "device/uDevice.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace {

// Answers FF 3A with success, then hands out the input in blocks whose sizes
// the input itself chooses, then an empty block.
class TFuzzDevice : public korv::TDevice {
public:
    explicit TFuzzDevice(std::string_view AData) : FData(AData) {}

    int RunCommand(std::string_view ACmd, std::string_view, int, bool, bool) override {
        FResponse.assign(1, '\0');
        if (ACmd == "\xFF\x3A") {
            FResponse += std::string("\x01\x00\x10\x00", 4);
            return 0;
        }
        if (FData.empty())
            return 0;
        std::size_t n = static_cast<unsigned char>(FData[0]) + 1;
        FData.remove_prefix(1);
        n = std::min(n, FData.size());
        FResponse += FData.substr(0, n);
        FData.remove_prefix(n);
        return 0;
    }

private:
    std::string_view FData;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize) {
    const std::string_view data(reinterpret_cast<const char*>(AData), ASize);
    try {
        std::map<int, std::u16string> tags;
        korv::ReadTLVList(data, tags);
    } catch (const korv::EquException&) {
    }
    try {
        TFuzzDevice dev(data);
        int type = 0;
        dev.GetFiscalTagList(1, type);
        for (const auto& e : dev.DocElementList())
            (void)dev.GetTagValue(e.Tag);
    } catch (const korv::EquException&) {
    }
    return 0;
}
