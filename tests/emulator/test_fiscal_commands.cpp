// The fiscal commands through the register's dispatch: their effect on the register, the FN
// and its archive, the answers the driver decodes, and the result codes of wrong sequences.
#include "EmuTestClient.h"
#include "test_fiscal_helpers.h"

#include <cstdio>
#include <unistd.h>

using namespace fiscaltest;
using emu::doc::Receipt;

namespace {

class FiscalCommands : public Fiscal {};

TEST_F(FiscalCommands, RegistrationMakesTheFnFiscalAndIsReadBack) {
    Start();
    EXPECT_EQ(Cmd(0xFF01).data[0], 0x01);               // ready for registration
    EXPECT_EQ(Cmd(0xFF09).rc, 2);                       // nothing registered yet
    EXPECT_EQ(Cmd(0xFF06, std::string(34, '1')).rc, 2); // registration without its beginning
    Register();

    const Res st = Cmd(0xFF01);
    ASSERT_EQ(st.rc, 0);
    ASSERT_EQ(st.data.size(), 30u);
    EXPECT_EQ(st.data[0], 0x03);
    EXPECT_EQ(st.Le(26, 4), 1u); // last document: the registration report
    EXPECT_EQ(st.data.substr(10, 16), Fn().Serial());

    const Res p = Cmd(0xFF09);
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.data.size(), 64u); // format 1.2: the long form, document number at 57
    EXPECT_EQ(p.data.substr(5, 12), "7701234567  ");
    EXPECT_EQ(p.data.substr(17, 20), "0000000001012345    ");
    EXPECT_EQ(uint8_t(p.data[37]), 0x03);
    EXPECT_EQ(uint8_t(p.data[39]), 0x10);
    EXPECT_EQ(p.Le(56, 4), 1u);

    uint16_t type = 0;
    const auto doc = Items(ReadBack(1, &type));
    EXPECT_EQ(type, emu::doc::Registration);
    EXPECT_EQ(doc.at(1209), std::string(1, '\x04'));
    EXPECT_EQ(doc.at(1018), "7701234567  ");
    EXPECT_EQ(doc.at(1203), "500100732259"); // requisite sent after 0xFF05
    EXPECT_EQ(doc.at(1048), "Shop Ltd");
    EXPECT_EQ(Reg().Tables().GetStr(18, 1, 4), Fn().Serial());

    // Registered once: a second registration is refused, a re-registration is not.
    EXPECT_EQ(Cmd(0xFF05, std::string(1, '\0')).rc, 2);
    std::string rereg = "7701234567  0000000001012345    ";
    rereg += std::string("\x01\x00\x02", 3);
    const Res rr = Cmd(0xFF34, rereg);
    ASSERT_EQ(rr.rc, 0);
    EXPECT_EQ(rr.Le(0, 4), 2u);
    EXPECT_EQ(Cmd(0xFF09).Le(56, 4), 2u);
    EXPECT_EQ(Items(ReadBack(2, &type)).at(1205), std::string("\x02\0\0\0", 4));
    EXPECT_EQ(type, emu::doc::Reregistration);
}

// A closed FN keeps its archive readable and takes no further fiscal document.
TEST_F(FiscalCommands, AClosedFnRefusesEveryFiscalDocument) {
    Start();
    Register();
    OpenShift();
    ASSERT_EQ(Cmd(0xFF42).rc, 0);
    ASSERT_EQ(Cmd(0x41).rc, 0);
    ASSERT_EQ(Cmd(0xFF3E).rc, 0);
    EXPECT_EQ(Cmd(0xFF01).data[0], 0x07);
    uint16_t type = 0;
    EXPECT_FALSE(ReadBack(4, &type).empty());
    EXPECT_EQ(type, emu::doc::FnClose);
    std::string rereg = "7701234567  0000000001012345    ";
    rereg += std::string("\x01\x00\x04", 3);
    struct Refused {
        uint16_t code;
        std::string data;
    };
    for (const Refused& r :
         {Refused{0xFF41, {}}, Refused{0xE0, {}}, Refused{0x8D, std::string(1, '\0')},
          Refused{0xFF05, std::string(1, '\0')}, Refused{0xFF05, std::string(1, '\1')},
          Refused{0xFF34, rereg}, Refused{0xFF3E, {}}, Refused{0xFF35, {}}, Refused{0xFF37, {}}})
        EXPECT_EQ(Cmd(r.code, r.data).rc, 2) << std::hex << r.code;
    EXPECT_EQ(Fn().LastDocNumber(), 4u);
}

TEST_F(FiscalCommands, OlderFormatsAnswerTheShortForms) {
    emu::Options o;
    o.ffd = 110;
    Start(o);
    const Res v = Cmd(0xFF04);
    ASSERT_EQ(v.data.size(), 17u);
    EXPECT_NE(v.data.find("1.1"), std::string::npos);
    Register(3, 0);
    const Res p = Cmd(0xFF09);
    ASSERT_EQ(p.data.size(), 47u); // 48 bytes with the result: the number at 40
    EXPECT_EQ(p.Le(39, 4), 1u);
    EXPECT_EQ(Items(ReadBack(1)).at(1209), std::string(1, '\x03'));
    // Marking codes are a matter of format 1.2.
    EXPECT_EQ(Cmd(0xFF70).rc, 55);
    // A 1.1 FN cannot be registered for 1.2.
    Start(o);
    Reg().Tables().SetInt(17, 1, 17, 4);
    ASSERT_EQ(Cmd(0xFF05, std::string(1, '\0')).rc, 0);
    EXPECT_EQ(Cmd(0xFF06, std::string("7701234567  0000000001012345    \x01\x00", 34)).rc, 9);
}

TEST_F(FiscalCommands, WrongSequencesGetTheRegistersCodes) {
    Start();
    EXPECT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 2); // no receipts before registration
    Register();
    EXPECT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 115); // shift closed
    EXPECT_EQ(Cmd(0x41).rc, 115);
    EXPECT_EQ(Cmd(0x50, Money5(100)).rc, 115);
    EXPECT_EQ(Cmd(0xFF42).rc, 2);
    EXPECT_EQ(Cmd(0xFF46, Item(1, 1000000, 100, 1, "x")).rc, 85);
    EXPECT_EQ(Cmd(0xFF45, Close({{0, 100}})).rc, 85);
    EXPECT_EQ(Cmd(0x88).rc, 85);
    OpenShift();
    EXPECT_EQ(Cmd(0xE0).rc, 60);
    EXPECT_EQ(Cmd(0xFF41).rc, 2);
    EXPECT_EQ(Cmd(0xFF3E).rc, 60); // closing the FN needs a closed shift
    ASSERT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 0);
    EXPECT_EQ(Reg().Mode(), 0x08);
    EXPECT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 74);
    EXPECT_EQ(Cmd(0x41).rc, 74);
    EXPECT_EQ(Cmd(0x40).rc, 74);
    EXPECT_EQ(Cmd(0x51, Money5(1)).rc, 74);
    EXPECT_EQ(Cmd(0xFF46, Item(2, 1000000, 100, 1, "x")).rc, 73); // a return in a sale
    EXPECT_EQ(Cmd(0xFF46, Item(1, 0, 100, 1, "x")).rc, 98);
    EXPECT_EQ(Cmd(0xFF46, Item(1, 1000000, 100, 0x03, "x")).rc, 51); // two tax rates
    EXPECT_EQ(Cmd(0xFF4D, Tag(1230, "643")).rc, 94);                 // no item yet
    EXPECT_EQ(Cmd(0x88).rc, 0);
    EXPECT_EQ(Reg().Mode(), 0x02);
    EXPECT_EQ(Fn().LastDocNumber(), 2u); // a voided receipt is no document

    // The shift runs out after 24 hours: receipts 78, the FN refuses documents with 22, the
    // shift can still be closed.
    ASSERT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 0);
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 100, 1, "x")).rc, 0);
    Reg().SetClockOffset(Reg().ClockOffset() + 25 * 3600);
    EXPECT_EQ(Reg().Mode(), 0x08);
    EXPECT_EQ(Cmd(0xFF46, Item(1, 1000000, 100, 1, "x")).rc, 78);
    EXPECT_EQ(Cmd(0xFF45, Close({{0, 100}})).rc, 22);
    EXPECT_EQ(Cmd(0x88).rc, 0);
    EXPECT_EQ(Reg().Mode(), 0x03);
    EXPECT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 78);
    EXPECT_EQ(Cmd(0x50, Money5(100)).rc, 78);
    EXPECT_EQ(Cmd(0x41).rc, 0);
    EXPECT_EQ(Reg().Mode(), 0x04);
    // A clock set back before the last document: the FN refuses to date a document so.
    Reg().SetClockOffset(Reg().ClockOffset() - 26 * 3600);
    EXPECT_EQ(Cmd(0xE0).rc, 7);
    EXPECT_EQ(Reg().Mode(), 0x04);
}

TEST_F(FiscalCommands, ReceiptComputesSumVatAndChangeAndArchivesItems) {
    Start();
    Register();
    OpenShift();
    ASSERT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1008, "buyer@example.org")).rc, 0);
    // 1.5 x 33.33 = 49.995 -> 50.00; VAT 20/120 of it: 8.33.
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1500000, 3333, 0x01, "Tea")).rc, 0);
    ASSERT_EQ(Cmd(0xFF4D, Tag(1230, "643")).rc, 0);
    // Sum and VAT given by the caller: taken as they are.
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 1000, 0x02, "Cup", 900, 82)).rc, 0);
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 700, 0x08, "Bag")).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1021, "Cashier")).rc, 0);

    // 65.00 is due: 60 in cash and 4 by card are short; the receipt stays open.
    EXPECT_EQ(Cmd(0xFF45, Close({{0, 6000}, {1, 400}})).rc, 69);
    EXPECT_EQ(Cmd(0xFF45, Close({{0, 6000}, {1, 7000}})).rc, 77); // card over the total
    EXPECT_EQ(Reg().ReceiptType(), 0);
    const Res r = Cmd(0xFF45, Close({{0, 10000}, {1, 500}}));
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.data.size(), 13u);
    EXPECT_EQ(r.Le(0, 5), 10000u + 500u - 6600u); // change: 39.00
    EXPECT_EQ(r.Le(5, 4), 3u);                    // document number
    const emu::FnDocument* d = Fn().Document(3);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(r.Le(9, 4), d->fiscalSign); // the sign the driver reads at answer bytes 10..13
    EXPECT_EQ(Reg().ReceiptType(), -1);

    uint16_t type = 0;
    const std::string tlv = ReadBack(3, &type);
    EXPECT_EQ(type, Receipt);
    const auto top = Items(tlv);
    EXPECT_EQ(emu::TlvUint(top.at(1020)), 6600u);
    EXPECT_EQ(emu::TlvUint(top.at(1031)), 10000u);
    EXPECT_EQ(emu::TlvUint(top.at(1081)), 500u);
    EXPECT_EQ(emu::TlvUint(top.at(1102)), 833u);
    EXPECT_EQ(emu::TlvUint(top.at(1103)), 82u);
    EXPECT_EQ(emu::TlvUint(top.at(1105)), 700u);
    EXPECT_EQ(top.at(1054), std::string(1, '\x01'));
    EXPECT_EQ(top.at(1055), std::string(1, '\x01'));
    EXPECT_EQ(top.at(1008), "buyer@example.org");
    EXPECT_EQ(top.at(1021), "Cashier");
    EXPECT_EQ(emu::TlvUint(top.at(1042)), 1u);

    std::vector<std::map<uint16_t, std::string>> items;
    for (const auto& i : List(tlv))
        if (i.tag == 1059)
            items.push_back(Items(i.value));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].at(1030), "Tea");
    EXPECT_EQ(emu::TlvUint(items[0].at(1043)), 5000u);
    EXPECT_EQ(emu::TlvUint(items[0].at(1200)), 833u);
    EXPECT_EQ(items[0].at(1023), std::string("\x01\x0f", 2)); // 1.5
    EXPECT_EQ(items[0].at(1199), std::string(1, '\x01'));
    EXPECT_EQ(items[0].at(1230), "643"); // bound to the item registered before it
    EXPECT_EQ(items[1].count(1230), 0u);
    EXPECT_EQ(emu::TlvUint(items[1].at(1043)), 900u);
    EXPECT_EQ(items[2].at(1199), std::string(1, '\x06'));
    EXPECT_EQ(items[2].count(1200), 0u);

    // Registers of the shift and the drawer; the FN's shift parameters.
    EXPECT_EQ(Reg().OperReg(144), 1);
    EXPECT_EQ(Reg().CashReg(193), 10000 - 3900); // cash kept: paid less change
    EXPECT_EQ(Reg().CashReg(197), 500);
    EXPECT_EQ(Reg().CashReg(241), 6100);
    const Res sp = Cmd(0xFF40);
    ASSERT_EQ(sp.data.size(), 5u);
    EXPECT_EQ(sp.data[0], 1);
    EXPECT_EQ(sp.Le(1, 2), 1u);
    EXPECT_EQ(sp.Le(3, 2), 1u);
    EXPECT_NE(Reg().Paper().ToText().find("Tea"), std::string::npos);
}

TEST_F(FiscalCommands, ReturnsNeedCashInTheDrawerAndCountApart) {
    Start();
    Register();
    OpenShift();
    EXPECT_EQ(Sale(1000, 1000, 2).rc, 70); // a return with an empty drawer
    EXPECT_EQ(Cmd(0x88).rc, 0);
    EXPECT_EQ(Cmd(0x51, Money5(1)).rc, 70);
    ASSERT_EQ(Cmd(0x50, Money5(5000)).rc, 0);
    ASSERT_EQ(Sale(1000, 1000, 2).rc, 0);
    ASSERT_EQ(Sale(300, 300, 1).rc, 0); // purchase: cash goes out too
    ASSERT_EQ(Sale(200, 200, 3).rc, 0); // purchase return: cash comes in
    ASSERT_EQ(Cmd(0x51, Money5(1500)).rc, 0);
    EXPECT_EQ(Reg().CashReg(241), 5000 - 1000 - 300 + 200 - 1500);
    EXPECT_EQ(Reg().OperReg(146), 1);
    EXPECT_EQ(Reg().CashReg(195), 1000);
    EXPECT_EQ(Reg().OperReg(145), 1);
    EXPECT_EQ(Reg().CashReg(194), 300);
    EXPECT_EQ(Reg().OperReg(147), 1);
    EXPECT_EQ(Reg().CashReg(196), 200);
    EXPECT_EQ(Reg().CashReg(242), 5000);
    EXPECT_EQ(Reg().CashReg(243), 1500);
    EXPECT_EQ(Reg().OperReg(153), 1);
    EXPECT_EQ(Reg().OperReg(154), 1);
    // The shift's registers start again with the next shift; the drawer keeps its cash.
    ASSERT_EQ(Cmd(0x41).rc, 0);
    EXPECT_EQ(Reg().OperReg(146), 1); // still readable after the Z report
    OpenShift();
    EXPECT_EQ(Reg().OperReg(146), 0);
    EXPECT_EQ(Reg().CashReg(242), 0);
    EXPECT_EQ(Reg().CashReg(241), 2400);
}

TEST_F(FiscalCommands, RequisitesAreCheckedBeforeTheFnTakesThem) {
    Start();
    Register();
    OpenShift();
    ASSERT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 0);
    std::string cut = Tag(1008, "a@b.c");
    cut.pop_back();
    EXPECT_EQ(Cmd(0xFF0C, cut).rc, 1);                                // length field
    EXPECT_EQ(Cmd(0xFF0C, Tag(999, "x")).rc, 11);                     // unknown tag
    EXPECT_EQ(Cmd(0xFF0C, Tag(1040, std::string(4, '\x01'))).rc, 11); // the FN's own
    EXPECT_EQ(Cmd(0xFF0C, Tag(1173, "ab")).rc, 9);                    // byte tag, 2 bytes
    EXPECT_EQ(Cmd(0xFF0C, Tag(1084, Tag(1085, "n") + "\x01")).rc, 9); // broken structure
    EXPECT_EQ(Cmd(0xFF0C, Tag(1084, Tag(1085, "n") + Tag(1086, "v"))).rc, 0);
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 100, 1, "x")).rc, 0);
    EXPECT_EQ(Cmd(0xFF4D, Tag(1229, "")).rc, 9); // money of no bytes
    for (int i = 0; i < 100 && Cmd(0xFF0C, Tag(1192, std::string(60, 'a'))).rc == 0; ++i) {
    }
    EXPECT_EQ(Cmd(0xFF0C, Tag(1192, std::string(60, 'a'))).rc, 16); // the document is full
}

TEST_F(FiscalCommands, CorrectionReceiptsOfBothKinds) {
    Start();
    Register();
    OpenShift();
    // Format 1.1 and later: a receipt opened as a correction, with items.
    ASSERT_EQ(Cmd(0x8D, std::string(1, char(128))).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1173, "\x01")).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1178, std::string("\x00\x10\x5e\x65", 4))).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1179, "N 5")).rc, 0);
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 1200, 1, "Fix")).rc, 0);
    ASSERT_EQ(Cmd(0xFF45, Close({{0, 1200}})).rc, 0);
    uint16_t type = 0;
    auto top = Items(ReadBack(3, &type));
    EXPECT_EQ(type, emu::doc::Correction);
    EXPECT_EQ(top.at(1173), std::string(1, '\x01'));
    const auto basis = Items(top.at(1174));
    EXPECT_EQ(basis.at(1179), "N 5");
    EXPECT_EQ(basis.count(1178), 1u);
    EXPECT_EQ(top.count(1179), 0u);
    EXPECT_EQ(Reg().OperReg(202), 1);
    EXPECT_EQ(Reg().CashReg(4224), 1200);
    EXPECT_EQ(Reg().OperReg(144), 0);

    // The older single command: totals only.
    ASSERT_EQ(Cmd(0xFF35).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1177, "Order 1")).rc, 0);
    std::string d;
    d.push_back(0); // on its own
    d.push_back(1); // income
    for (uint64_t v : {1500, 1000, 500, 0, 0, 0, 250, 0, 0, 0, 0, 0})
        d += Money5(v);
    d.push_back(1);
    std::string bad = d;
    bad[2] = 1; // the total is not the sum of the payments
    EXPECT_EQ(Cmd(0xFF4A, bad).rc, 9);
    const Res r = Cmd(0xFF4A, d);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.data.size(), 10u);
    EXPECT_EQ(r.Le(0, 2), 2u); // receipt number in the shift
    EXPECT_EQ(r.Le(2, 4), 4u); // document number
    EXPECT_EQ(r.Le(6, 4), Fn().Document(4)->fiscalSign);
    top = Items(ReadBack(4));
    EXPECT_EQ(emu::TlvUint(top.at(1020)), 1500u);
    EXPECT_EQ(emu::TlvUint(top.at(1102)), 250u);
    EXPECT_EQ(Items(top.at(1174)).at(1177), "Order 1");
    EXPECT_EQ(Reg().OperReg(202), 2);
    EXPECT_EQ(Reg().CashReg(4224), 2700);
    EXPECT_EQ(Reg().CashReg(241), 2200);
}

TEST_F(FiscalCommands, ReportsQueueAndClosingTheFn) {
    Start();
    Register();
    OpenShift();
    ASSERT_EQ(Sale(1000, 1000).rc, 0);
    ASSERT_EQ(Cmd(0x40).rc, 0); // X report: no document
    EXPECT_EQ(Fn().LastDocNumber(), 3u);
    EXPECT_NE(Reg().Paper().ToText().find("1 "), std::string::npos);

    ASSERT_EQ(Cmd(0xFF37).rc, 0);
    ASSERT_EQ(Cmd(0xFF0C, Tag(1021, "Boss")).rc, 0);
    const Res s = Cmd(0xFF38);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.Le(0, 4), 4u);
    auto rep = Items(ReadBack(4));
    EXPECT_EQ(emu::TlvUint(rep.at(1097)), 3u);
    EXPECT_EQ(emu::TlvUint(rep.at(1116)), 1u);
    EXPECT_EQ(rep.at(1021), "Boss");

    Fn().AcknowledgeOfd(2);
    const Res q = Cmd(0xFF39);
    ASSERT_EQ(q.data.size(), 13u);
    EXPECT_EQ(q.Le(2, 2), 2u);
    EXPECT_EQ(q.Le(4, 4), 3u);
    EXPECT_NE(q.data[8], 0); // a valid year of the first unsent document

    ASSERT_EQ(Cmd(0xFF42).rc, 0);
    ASSERT_EQ(Cmd(0x41).rc, 0);
    rep = Items(ReadBack(5));
    EXPECT_EQ(emu::TlvUint(rep.at(1118)), 1u); // receipts of the shift
    EXPECT_EQ(emu::TlvUint(rep.at(1111)), 4u); // documents: open, receipt, report, close
    EXPECT_EQ(Cmd(0xFF40).data[0], 0);

    const Res c = Cmd(0xFF3E);
    ASSERT_EQ(c.rc, 0);
    EXPECT_EQ(c.Le(0, 4), 6u);
    EXPECT_EQ(Cmd(0xFF01).data[0], 0x07);
    EXPECT_EQ(Cmd(0xFF41).rc, 2);
    EXPECT_EQ(Cmd(0xE0).rc, 2);
    EXPECT_FALSE(ReadBack(6).empty()); // the archive stays readable
}

TEST_F(FiscalCommands, DocumentReadOutHoldsTheRegisterInDataOutputMode) {
    Start();
    Register();
    std::string one;
    emu::PutLE(one, 1, 4);
    std::string missing;
    emu::PutLE(missing, 9, 4);
    EXPECT_EQ(Cmd(0xFF3A, missing).rc, 8);
    EXPECT_EQ(Cmd(0xFF3B).rc, 8); // nothing requested
    ASSERT_EQ(Cmd(0xFF3A, one).rc, 0);
    EXPECT_EQ(Reg().Mode() & 0x0F, 1);
    EXPECT_EQ(Cmd(0xFF3A, one).rc, 115);
    EXPECT_EQ(Cmd(0xE0).rc, 115);
    EXPECT_EQ(Cmd(0xFF0C, Tag(1021, "x")).rc, 115);
    EXPECT_EQ(Cmd(0xFF01).rc, 0); // queries still answer
    while (!Cmd(0xFF3B).data.empty()) {
    }
    EXPECT_NE(Reg().Mode() & 0x0F, 1);
    EXPECT_EQ(Cmd(0xFF3B).rc, 8);
    OpenShift();
}

TEST_F(FiscalCommands, MarkingCodesAreCheckedBoundAndReported) {
    Start();
    const std::string good = "0104600439931256215abcdefghijk\x1d"
                             "91EE06\x1d"
                             "92abcd";
    const std::string bad = "0104600439931256215zzzzzzzzzzz";
    const std::string silent = "0104600439931256215ssssssssss";
    auto check = [&](const std::string& code) {
        std::string d = {1, 0, char(code.size()), 0};
        return Cmd(0xFF61, d + code);
    };
    EXPECT_EQ(check(good).rc, 2); // the FN is not registered yet
    Register(4, 0x00);            // registered without marked goods
    EXPECT_EQ(check(good).rc, 160);
    Start();
    Register();
    OpenShift();

    Fn().Km().SetOutcome(good, emu::KmOutcome::Valid, 2);
    Fn().Km().SetOutcome(bad, emu::KmOutcome::Invalid);
    Fn().Km().SetOutcome(silent, emu::KmOutcome::NoAnswer);
    EXPECT_EQ(check(good).rc, 4);
    EXPECT_EQ(check(good).rc, 4);
    const Res v = check(good);
    ASSERT_EQ(v.rc, 0);
    EXPECT_EQ(v.data[0], 0x03); // checked, positive
    const size_t n = uint8_t(v.data[3]);
    ASSERT_EQ(v.data.size(), 4 + n);
    EXPECT_EQ(v.data[4], 0); // the OFD answered
    EXPECT_EQ(v.data[5], 0x0F);
    const auto block = Items(v.data.substr(6));
    EXPECT_EQ(block.at(2005), std::string(1, '\x0f'));
    EXPECT_EQ(block.at(2100), std::string(1, '\x05'));
    EXPECT_EQ(block.at(2105), std::string(1, '\0'));
    EXPECT_EQ(block.at(2109), std::string(1, '\x01'));
    EXPECT_EQ(block.at(2114).size(), 4u);

    const Res b = check(bad);
    EXPECT_EQ(b.data[0], 0x01); // checked, negative
    EXPECT_EQ(Items(b.data.substr(6)).at(2109), std::string(1, '\x02'));
    const Res s = check(silent);
    EXPECT_EQ(s.data[0], 0x03);
    EXPECT_NE(s.data[4], 0); // no answer from the OFD
    EXPECT_EQ(Items(s.data.substr(6)).count(2005), 0u);

    const Res st = Cmd(0xFF70);
    ASSERT_EQ(st.rc, 0);
    ASSERT_EQ(st.data.size(), 8u);
    EXPECT_EQ(st.data[3], 3); // three codes checked

    ASSERT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 0);
    auto bind = [&](const std::string& code, bool gtin = false) {
        std::string d(1, char(code.size()));
        d += code;
        if (gtin)
            d.push_back(char(0xFF));
        return Cmd(0xFF67, d).rc;
    };
    EXPECT_EQ(bind(good), 161); // no item yet
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 10000, 1, "Shoes")).rc, 0);
    EXPECT_EQ(bind("0104600439931256215neverchecked"), 165);
    EXPECT_EQ(bind(bad), 161); // refused by the check and not accepted
    EXPECT_EQ(bind(good), 0);
    EXPECT_EQ(bind(silent), 161); // one code per item
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 10000, 1, "Boots")).rc, 0);
    ASSERT_EQ(check(bad).rc, 0);
    ASSERT_EQ(Cmd(0xFF69, "\x01").rc, 0); // accepts the code checked last
    EXPECT_EQ(bind(bad), 0);
    ASSERT_EQ(Cmd(0xFF46, Item(1, 1000000, 500, 1, "Coffee")).rc, 0);
    EXPECT_EQ(bind("04600439931256", true), 0); // sold by GTIN, no check
    EXPECT_EQ(Cmd(0xFF70).data[4], 3);          // codes in the notification being formed
    ASSERT_EQ(Cmd(0xFF45, Close({{0, 20500}})).rc, 0);
    EXPECT_EQ(Cmd(0xFF70).Le(6, 2), 1u); // one notification waits for the OFD
    EXPECT_EQ(Fn().Km().Count(), 0u);    // the receipt took the checked codes

    std::vector<std::map<uint16_t, std::string>> items;
    for (const auto& i : List(ReadBack(3)))
        if (i.tag == 1059)
            items.push_back(Items(i.value));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(Items(items[0].at(1163)).at(1305), good);
    EXPECT_EQ(items[0].at(2106), std::string(1, '\x0f'));
    EXPECT_EQ(Items(items[1].at(1163)).at(1305), bad);
    EXPECT_EQ(Items(items[2].at(1163)).at(1303), "04600439931256");

    ASSERT_EQ(check(good).rc, 0);
    EXPECT_EQ(Cmd(0xFF69, "\x02").rc, 0);
    EXPECT_EQ(Fn().Km().Count(), 0u);
}

TEST_F(FiscalCommands, ControlLinesSetVerdictsAndTheOfdQueue) {
    Start();
    Register();
    OpenShift();
    const std::string code = "0104600439931256215abc\x1d"
                             "93dGVz";
    std::string hex = "hex:";
    for (unsigned char ch : code) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", ch);
        hex += b;
    }
    auto control = [&](const std::string& line) { return emu_->Control(line); };
    EXPECT_EQ(control("MARK " + hex + " INVALID 1\n"), "OK\n");
    EXPECT_EQ(control("mark default noanswer"), "OK\n");
    for (const char* bad : {"MARK 0104 MAYBE", "MARK hex:zz VALID", "MARK hex:303 VALID",
                            "MARK 0104 VALID -1", "OFD ACK many", "OFD", "FN 1", "BOGUS"})
        EXPECT_EQ(control(bad).substr(0, 3), "ERR") << bad;
    EXPECT_EQ(Fn().Km().OutcomeOf(code), emu::KmOutcome::Invalid);
    EXPECT_EQ(Fn().Km().OutcomeOf("other"), emu::KmOutcome::NoAnswer);
    std::string d = {1, 0, char(code.size()), 0};
    EXPECT_EQ(Cmd(0xFF61, d + code).rc, 4);
    EXPECT_EQ(Cmd(0xFF61, d + code).data[0], 0x01);

    EXPECT_EQ(control("FN"), "OK phase=3 ffd=120 docs=2 shift=1 open=1 receipts=0 unsent=2 "
                             "first_unsent=1 km_checked=1\n");
    EXPECT_EQ(control("OFD ACK 1"), "OK 1\n");
    EXPECT_EQ(Cmd(0xFF39).Le(2, 2), 1u);
    EXPECT_EQ(control("OFD ACK ALL"), "OK 0\n");
    const Res q = Cmd(0xFF39);
    EXPECT_EQ(q.Le(2, 2), 0u);
    EXPECT_EQ(q.data.substr(4), std::string(9, '\0')); // no first document, no date
    EXPECT_EQ(control("MARK CLEAR"), "OK\n");
    EXPECT_EQ(Fn().Km().OutcomeOf(code), emu::KmOutcome::Valid);
}

TEST_F(FiscalCommands, SettlementReportPrintsTheOldestUnsentDocument) {
    Start();
    Register();
    OpenShift();
    ASSERT_EQ(Cmd(0xFF38).rc, 0);
    const std::string tape = Reg().Paper().ToText();
    const size_t at = tape.find("ПЕРВЫЙ НЕПЕРЕДАННЫЙ ФД");
    ASSERT_NE(at, std::string::npos);
    const std::string line = tape.substr(at, tape.find('\n', at) - at);
    EXPECT_EQ(line.substr(line.find_last_not_of("0123456789") + 1), "1");
}

TEST_F(FiscalCommands, ADamagedFnAnswersFnFailure) {
    Start();
    Register();
    Fn().LoadImage("broken");
    EXPECT_EQ(Cmd(0xFF01).rc, 3);
    EXPECT_EQ(Cmd(0xE0).rc, 3);
    EXPECT_EQ(Cmd(0x50, Money5(1)).rc, 3);
    EXPECT_EQ(Cmd(0x10).rc, 0); // the register itself still answers
}

TEST_F(FiscalCommands, RegisteredStartHoldsDocumentsToRead) {
    emu::Options o;
    o.registered = true;
    Start(o);
    EXPECT_TRUE(Fn().Fiscalized());
    EXPECT_FALSE(Reg().ShiftIsOpen());
    const Res st = Cmd(0xFF01);
    EXPECT_EQ(st.Le(26, 4), 5u); // registration, shift open, two receipts, shift close
    EXPECT_EQ(Cmd(0xFF39).Le(2, 2), 1u);
    int receipts = 0;
    for (uint32_t n = 1; n <= 5; ++n) {
        uint16_t type = 0;
        EXPECT_FALSE(ReadBack(n, &type).empty());
        receipts += type == Receipt ? 1 : 0;
    }
    EXPECT_EQ(receipts, 2);
    EXPECT_GT(Reg().CashReg(241), 0);
    EXPECT_TRUE(Reg().Paper().Elements().empty());
    OpenShift();
    EXPECT_EQ(Sale(100, 100).rc, 0);
}

TEST_F(FiscalCommands, PowerLossAroundTheCommitKeepsDocumentsWhole) {
    const std::string file =
        emutest::TestDir() + "/emufn_power_" + std::to_string(::getpid()) + ".state";
    std::remove(file.c_str());
    emu::Options o;
    o.stateFile = file;
    Start(o);
    Register();
    OpenShift();
    ASSERT_EQ(Sale(1000, 1000).rc, 0);

    // The closing command comes over the link; the power fails around its commit.
    auto closeOverLink = [&](emu::Fault::Kind kind) {
        std::string err;
        EXPECT_TRUE(emu_->StartTcp(0, &err)) << err;
        emutest::RawClient c(emu_->TcpPort());
        emu::Fault f;
        f.kind = kind;
        Reg().ArmFault(f);
        EXPECT_EQ(Cmd(0x8D, std::string(1, '\0')).rc, 0);
        EXPECT_EQ(Cmd(0xFF46, Item(1, 1000000, 2000, 1, "Cake")).rc, 0);
        EXPECT_EQ(c.Command(emutest::Msg(0xFF45, Close({{0, 2000}}))), ""); // no answer
        EXPECT_TRUE(emu_->PoweredOff());
        emu_.reset();
        Start(o);
    };

    closeOverLink(emu::Fault::PowerBeforeCommit);
    EXPECT_EQ(Fn().LastDocNumber(), 3u);
    EXPECT_EQ(Reg().CashReg(241), 1000);
    EXPECT_EQ(Reg().ReceiptType(), -1);
    EXPECT_TRUE(Reg().ShiftIsOpen());
    EXPECT_EQ(Cmd(0xFF40).Le(3, 2), 1u);

    closeOverLink(emu::Fault::PowerAfterCommit);
    EXPECT_EQ(Fn().LastDocNumber(), 4u);
    EXPECT_EQ(Reg().CashReg(241), 3000);
    EXPECT_EQ(Cmd(0xFF40).Le(3, 2), 2u);
    EXPECT_EQ(emu::TlvUint(Items(ReadBack(4)).at(1020)), 2000u);
    std::remove(file.c_str());
}

} // namespace
