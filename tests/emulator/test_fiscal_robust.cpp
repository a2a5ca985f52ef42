// Random and half-valid data for every fiscal command: the register answers each one, and the
// archive stays whole (every document a valid TLV list, numbered without gaps, its image
// restorable).
#include "test_fiscal_helpers.h"

#include <random>

using namespace fiscaltest;

namespace {

class FiscalRobust : public Fiscal {};

TEST_F(FiscalRobust, NoDataBreaksTheArchive) {
    Start();
    Register();
    OpenShift();
    ASSERT_EQ(Cmd(0x50, Money5(1000000)).rc, 0);
    std::mt19937 rng(20261208);
    auto byte = [&] { return char(rng() & 0xFF); };
    auto bytes = [&](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i)
            s.push_back(byte());
        return s;
    };
    // FF3E (closing the FN) is left out: it would end the day at once.
    const uint16_t codes[] = {0x40,   0x41,   0xE0,   0x88,   0x8D,   0x50,   0x51,   0xFF01,
                              0xFF03, 0xFF04, 0xFF05, 0xFF06, 0xFF09, 0xFF0C, 0xFF34, 0xFF35,
                              0xFF37, 0xFF38, 0xFF39, 0xFF3A, 0xFF3B, 0xFF40, 0xFF41, 0xFF42,
                              0xFF45, 0xFF46, 0xFF4A, 0xFF4D, 0xFF61, 0xFF67, 0xFF69, 0xFF70};
    const std::vector<uint16_t> tags = {1008, 1021, 1084, 1173, 1178, 1192, 1203,
                                        1229, 1230, 1262, 2108, 1163, 1040};
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        const uint16_t code = codes[rng() % std::size(codes)];
        std::string data;
        switch (rng() % 4) {
        case 0: // anything
            data = bytes(rng() % 80);
            break;
        case 1: // a TLV item of a known tag with a value of any length
            data = Tag(tags[rng() % tags.size()], bytes(rng() % 20));
            break;
        case 2: // the data a well-formed command of this code has, with random values
            switch (code) {
            case 0x8D:
                data = std::string(1, char(rng() % 4));
                break;
            case 0xFF46:
                data = Item(1, 1 + rng() % 3000000, rng() % 100000, uint8_t(1u << (rng() % 6)),
                            bytes(rng() % 10));
                break;
            case 0xFF45:
                data = Close({{0, rng() % 300000}, {int(rng() % 16), rng() % 1000}},
                             uint8_t(rng() % 4));
                break;
            case 0xFF61:
            case 0xFF67: {
                const std::string km = "0104600439931256215" + bytes(rng() % 12);
                data = code == 0xFF61 ? std::string{char(1 + rng() % 4), 0, char(km.size()), 0} + km
                                      : std::string(1, char(km.size())) + km;
                break;
            }
            case 0xFF3A:
                data = std::string{char(rng() % 12), 0, 0, 0};
                break;
            default:
                data = bytes(rng() % 40);
            }
            break;
        default: // nothing
            break;
        }
        const Res r = Cmd(code, data);
        ASSERT_NE(r.rc, 0xFF) << "no answer to " << code;
        accepted += r.rc == 0 ? 1 : 0;
        if (i % 997 == 0 && Reg().ReceiptType() >= 0)
            Cmd(0x88);
    }
    EXPECT_GT(accepted, 1000);
    // Let any read-out end before the checks.
    while (Fn().Reading())
        Cmd(0xFF3B);

    const auto& archive = Fn().Archive();
    ASSERT_EQ(archive.size(), Fn().LastDocNumber());
    EXPECT_GT(archive.size(), 4u);
    for (size_t n = 0; n < archive.size(); ++n) {
        EXPECT_EQ(archive[n].number, n + 1);
        EXPECT_TRUE(emu::TlvValidate(archive[n].tlv)) << n + 1;
    }
    EXPECT_GE(Reg().CashReg(241), 0);
    const std::string image = Fn().Serialize();
    emu::FiscalStorage copy;
    copy.Deserialize(image);
    EXPECT_EQ(copy.Serialize(), image);
}

} // namespace
