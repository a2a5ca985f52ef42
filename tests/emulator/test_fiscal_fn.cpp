// The FN model on its own: TLV reading and checking, code pages, the archive and its signs,
// the read-out, the OFD queue, the marking-code table and the state image.
#include "FiscalStorage.h"
#include "Marking.h"
#include "Tlv.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace emu;

namespace {

std::string Hex(std::initializer_list<int> b) {
    std::string s;
    for (int v : b)
        s.push_back(char(v));
    return s;
}

TEST(FiscalTlv, WriterAndSplitRoundTripWithStructures) {
    TlvWriter item;
    item.Str(1030, "Tea").Vln(1079, 12345).Bytes(1023, QuantityFvln(500000)).Byte(1199, 1);
    TlvWriter doc;
    doc.U32(1040, 7).Stlv(1059, item).Vln(1020, 0);
    ASSERT_TRUE(TlvValidate(doc.Data()));

    std::vector<TlvItem> top;
    ASSERT_TRUE(TlvSplit(doc.Data(), top));
    ASSERT_EQ(top.size(), 3u);
    EXPECT_EQ(top[0].tag, 1040);
    EXPECT_EQ(top[0].value, Hex({7, 0, 0, 0}));
    EXPECT_EQ(top[1].value, item.Data());
    EXPECT_EQ(top[2].value, Hex({0})); // zero money still takes one byte

    std::vector<TlvItem> inner;
    ASSERT_TRUE(TlvSplit(top[1].value, inner));
    ASSERT_EQ(inner.size(), 4u);
    EXPECT_EQ(TlvUint(inner[1].value), 12345u);
    EXPECT_EQ(inner[2].value, Hex({1, 5})); // 0.5: one decimal, mantissa 5
}

TEST(FiscalTlv, QuantityKeepsOnlyNeededDecimals) {
    EXPECT_EQ(QuantityFvln(2000000), Hex({0, 2}));
    EXPECT_EQ(QuantityFvln(1234000), Hex({3, 0xD2, 0x04}));
    EXPECT_EQ(QuantityFvln(1), Hex({6, 1}));
}

TEST(FiscalTlv, ValidationNamesTheFaultAndItsPlace) {
    // Header cut short, value running past the end.
    auto r = TlvValidate(Hex({0xFD, 0x03, 0x02}));
    EXPECT_EQ(r.status, TlvResult::Truncated);
    r = TlvValidate(TlvEncode(1021, "ab").substr(0, 5));
    EXPECT_EQ(r.status, TlvResult::Truncated);
    EXPECT_EQ(r.tag, 1021);
    // Unknown tag after a good item: the offset points at it.
    const std::string good = TlvEncode(1021, "Ivanov");
    r = TlvValidate(good + TlvEncode(999, "x"));
    EXPECT_EQ(r.status, TlvResult::UnknownTag);
    EXPECT_EQ(r.offset, good.size());
    EXPECT_NE(r.Description().find("999"), std::string::npos);
    // Type lengths: a byte tag with two bytes, a 32-bit tag with three, an INN of 13.
    EXPECT_EQ(TlvValidate(TlvEncode(1212, "ab")).status, TlvResult::BadLength);
    EXPECT_EQ(TlvValidate(TlvEncode(1040, "abc")).status, TlvResult::BadLength);
    EXPECT_EQ(TlvValidate(TlvEncode(1203, std::string(13, '1'))).status, TlvResult::BadLength);
    EXPECT_EQ(TlvValidate(TlvEncode(1023, Hex({16, 1}))).status, TlvResult::BadValue);
    // A fault inside a structure is found, with its place in the outer data.
    const std::string bad = TlvEncode(1084, TlvEncode(1085, "n") + TlvEncode(1, "x"));
    r = TlvValidate(bad);
    EXPECT_EQ(r.status, TlvResult::UnknownTag);
    EXPECT_EQ(r.offset, 4u + 5u);
    // Nesting without end.
    std::string deep = TlvEncode(1085, "x");
    for (int i = 0; i < 6; ++i)
        deep = TlvEncode(1084, deep);
    EXPECT_EQ(TlvValidate(deep).status, TlvResult::TooDeep);
}

TEST(FiscalTlv, CodePagesRoundTripCyrillic) {
    // "Ёж и ящик №5" in cp1251.
    const std::string cp1251 =
        Hex({0xA8, 0xE6, ' ', 0xE8, ' ', 0xFF, 0xF9, 0xE8, 0xEA, ' ', 0xB9, '5'});
    const std::string cp866 = Cp1251ToCp866(cp1251);
    EXPECT_EQ(cp866, Hex({0xF0, 0xA6, ' ', 0xA8, ' ', 0xEF, 0xE9, 0xA8, 0xAA, ' ', 0xFC, '5'}));
    EXPECT_EQ(Cp866ToCp1251(cp866), cp1251);
    EXPECT_EQ(Cp1251ToCp866(Hex({0x80})), "?"); // no counterpart
}

TEST(FiscalStorageArchive, DocumentsAreNumberedStampedAndSigned) {
    FiscalStorage fn(120, 1700000000);
    const FnDocument& a = fn.AddDocument(doc::Registration, 1700000000, TlvEncode(1209, "\x04"));
    EXPECT_EQ(a.number, 1u);
    const FnDocument& b = fn.AddDocument(doc::SettlementReport, 1700000100, {});
    EXPECT_EQ(b.number, 2u);
    EXPECT_EQ(fn.LastDocNumber(), 2u);

    auto items = [](const FnDocument& d) {
        std::vector<TlvItem> v;
        TlvSplit(d.tlv, v);
        return v;
    };
    const auto first = items(*fn.Document(1));
    EXPECT_EQ(first.front().tag, 1012);
    EXPECT_EQ(TlvUint(first.front().value), 1700000000u);
    EXPECT_EQ(TlvUint(first[1].value), 1u); // 1040
    // The sign field: bytes 2..5 hold the sign, most significant byte first.
    const std::string& fpd = first.back().value;
    ASSERT_EQ(first.back().tag, 1077);
    ASSERT_EQ(fpd.size(), 6u);
    const uint32_t fromField = uint32_t(uint8_t(fpd[2])) << 24 | uint32_t(uint8_t(fpd[3])) << 16 |
                               uint32_t(uint8_t(fpd[4])) << 8 | uint32_t(uint8_t(fpd[5]));
    EXPECT_EQ(fromField, fn.Document(1)->fiscalSign);

    // The same documents in another FN of the same kind get the same signs; other content
    // gets another sign.
    FiscalStorage twin(120, 1700000000);
    twin.AddDocument(doc::Registration, 1700000000, TlvEncode(1209, "\x04"));
    EXPECT_EQ(twin.Document(1)->fiscalSign, fn.Document(1)->fiscalSign);
    FiscalStorage other(120, 1700000000);
    other.AddDocument(doc::Registration, 1700000001, TlvEncode(1209, "\x04"));
    EXPECT_NE(other.Document(1)->fiscalSign, fn.Document(1)->fiscalSign);

    EXPECT_EQ(fn.Document(0), nullptr);
    EXPECT_EQ(fn.Document(3), nullptr);
}

TEST(FiscalStorageArchive, ReadOutGivesEachTopLevelItemThenEnds) {
    FiscalStorage fn;
    TlvWriter item;
    item.Str(1030, "Tea");
    TlvWriter body;
    body.Stlv(1059, item).Vln(1020, 500);
    const FnDocument& d = fn.AddDocument(doc::Receipt, 1700000000, body.Data());
    uint16_t type = 0, len = 0;
    EXPECT_EQ(fn.BeginRead(2, type, len), 8);
    EXPECT_FALSE(fn.Reading());
    ASSERT_EQ(fn.BeginRead(1, type, len), 0);
    EXPECT_EQ(type, doc::Receipt);
    EXPECT_EQ(len, d.tlv.size());
    std::string all, one;
    int count = 0;
    while (fn.ReadNext(one)) {
        EXPECT_TRUE(TlvValidate(one));
        all += one;
        ++count;
    }
    EXPECT_EQ(all, d.tlv);
    EXPECT_EQ(count, 6); // 1012, 1040, 1041, 1059, 1020, 1077
    EXPECT_FALSE(fn.Reading());
    EXPECT_FALSE(fn.ReadNext(one));
}

TEST(FiscalStorageArchive, OfdQueueCountsFromTheOldestUnsent) {
    FiscalStorage fn;
    EXPECT_EQ(fn.FirstUnsent(), nullptr);
    for (int i = 0; i < 4; ++i)
        fn.AddDocument(doc::Receipt, 1700000000 + i, {}, i == 2);
    EXPECT_EQ(fn.UnsentCount(), 4u);
    EXPECT_EQ(fn.UnsentNotifications(), 1u);
    fn.AcknowledgeOfd(3);
    EXPECT_EQ(fn.UnsentCount(), 1u);
    EXPECT_EQ(fn.FirstUnsent()->number, 4u);
    EXPECT_EQ(fn.UnsentNotifications(), 0u);
    fn.AcknowledgeOfd(10);
    EXPECT_EQ(fn.UnsentCount(), 0u);
}

TEST(FiscalStorageImage, RoundTripKeepsArchiveCountersAndCheckedCodes) {
    FiscalStorage fn(110, 1700000000);
    FnRegistration r;
    r.inn = "7701234567  ";
    r.rnm = "0000000001012345    ";
    r.taxMask = 3;
    r.ffdCode = 3;
    r.docNumber = 1;
    fn.AddDocument(doc::Registration, 1700000000, TlvEncode(1209, "\x03"));
    fn.SetRegistered(r);
    fn.SetShiftOpen(1700000100);
    fn.AddDocument(doc::ShiftOpen, 1700000100, {});
    fn.NextReceiptNumber();
    fn.AddDocument(doc::Receipt, 1700000200, TlvEncode(1020, "\x01"), true);
    fn.AcknowledgeOfd(1);
    fn.Draft().docType = doc::Receipt;
    fn.Km().SetOutcome("X", KmOutcome::Invalid);
    fn.Km().AddChecked("X", KmOutcome::Invalid, 1);
    fn.Km().AddChecked("Z", KmOutcome::Valid, 3);
    fn.Km().Decide(0); // Z rejected

    const std::string image = fn.Serialize();
    FiscalStorage back;
    back.Km().SetOutcome("Y", KmOutcome::NoAnswer, 2);
    back.Deserialize(image);
    EXPECT_EQ(back.Serialize(), image);
    EXPECT_EQ(back.Ffd(), 110);
    EXPECT_TRUE(back.Fiscalized());
    EXPECT_EQ(back.Registration().inn, r.inn);
    EXPECT_TRUE(back.ShiftOpen());
    EXPECT_EQ(back.ShiftNumber(), 1u);
    EXPECT_EQ(back.ReceiptNumber(), 1u);
    EXPECT_EQ(back.UnsentCount(), 2u);
    EXPECT_EQ(back.Archive().size(), 3u);
    EXPECT_EQ(back.Document(3)->fiscalSign, fn.Document(3)->fiscalSign);
    EXPECT_TRUE(back.Document(3)->marked);
    // The FN's table of checked codes comes back; register memory starts empty; the
    // control settings of this run stay.
    EXPECT_EQ(back.Km().Count(), 2u);
    EXPECT_EQ(back.Km().LastChecked(), "Z");
    EXPECT_FALSE(back.Km().Bindable("Z"));
    EXPECT_EQ(back.Km().Find("Z")->plannedStatus, 3);
    EXPECT_EQ(back.Km().Find("X")->outcome, KmOutcome::Invalid);
    EXPECT_EQ(back.Draft().docType, 0);
    EXPECT_EQ(back.Km().OutcomeOf("Y"), KmOutcome::NoAnswer);
}

TEST(FiscalStorageImage, DamagedImagesAreRefusedAndChangeNothing) {
    FiscalStorage fn;
    fn.AddDocument(doc::Receipt, 1700000000, TlvEncode(1020, "\x05"));
    const std::string image = fn.Serialize();
    FiscalStorage target(105, 0);
    target.AddDocument(doc::Receipt, 1, {});
    const std::string before = target.Serialize();
    for (size_t n = 0; n < image.size(); ++n)
        EXPECT_THROW(target.Deserialize(image.substr(0, n)), std::runtime_error) << n;
    EXPECT_THROW(target.Deserialize(image + "x"), std::runtime_error);
    std::string wrongPhase = image;
    wrongPhase[4 + 2 + 4 + 16] = 9;
    EXPECT_THROW(target.Deserialize(wrongPhase), std::runtime_error);
    EXPECT_EQ(target.Serialize(), before);
}

TEST(FiscalStorageImage, AnUnreadableImageIsKeptAsItWas) {
    FiscalStorage fn;
    std::string err;
    EXPECT_FALSE(fn.LoadImage("KFN1 not really", &err));
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(fn.Damaged());
    EXPECT_EQ(fn.Serialize(), "KFN1 not really"); // saved again unchanged: nothing is lost
    FiscalStorage good;
    good.AddDocument(doc::Receipt, 1, {});
    EXPECT_TRUE(fn.LoadImage(good.Serialize()));
    EXPECT_FALSE(fn.Damaged());
    EXPECT_EQ(fn.LastDocNumber(), 1u);
}

TEST(FiscalMarking, CheckedCodesAreBindableUnlessRefused) {
    Marking km;
    EXPECT_FALSE(km.Bindable("A"));
    EXPECT_EQ(km.Decide(1), 161); // nothing checked yet
    ASSERT_TRUE(km.AddChecked("A", KmOutcome::Valid, 1));
    ASSERT_TRUE(km.AddChecked("B", KmOutcome::Invalid, 1));
    EXPECT_TRUE(km.Bindable("A"));
    EXPECT_FALSE(km.Bindable("B")); // the check refused it: only an acceptance lets it in
    EXPECT_EQ(km.Decide(1), 0);     // accepts the code checked last: B
    EXPECT_TRUE(km.Bindable("B"));
    ASSERT_TRUE(km.AddChecked("C", KmOutcome::NoAnswer, 1));
    EXPECT_TRUE(km.Bindable("C"));
    EXPECT_EQ(km.Decide(0), 0);
    EXPECT_FALSE(km.Bindable("C"));
    EXPECT_EQ(km.Decide(3), 9);
    EXPECT_EQ(km.Decide(2), 0);
    EXPECT_EQ(km.Count(), 0u);
    EXPECT_FALSE(km.Bindable("A"));
}

TEST(FiscalMarking, TryAgainCountsDownAndTableHasALimit) {
    Marking km;
    km.SetOutcome("A", KmOutcome::Invalid, 2);
    EXPECT_TRUE(km.TakeTryAgain("A"));
    EXPECT_TRUE(km.TakeTryAgain("A"));
    EXPECT_FALSE(km.TakeTryAgain("A"));
    EXPECT_FALSE(km.TakeTryAgain("B"));
    EXPECT_EQ(km.OutcomeOf("A"), KmOutcome::Invalid);
    EXPECT_EQ(km.OutcomeOf("B"), KmOutcome::Valid);
    km.SetDefaultOutcome(KmOutcome::NoAnswer);
    EXPECT_EQ(km.OutcomeOf("B"), KmOutcome::NoAnswer);

    for (size_t i = 0; i < Marking::kTableSize; ++i)
        ASSERT_TRUE(km.AddChecked("code" + std::to_string(i), KmOutcome::Valid, 1));
    EXPECT_FALSE(km.AddChecked("one more", KmOutcome::Valid, 1));
    EXPECT_TRUE(km.AddChecked("code0", KmOutcome::Valid, 1)); // a re-check takes no room
}

TEST(FiscalMarking, RequestParsingIsStrict) {
    KmRequest r;
    const std::string code = "0104600439931256215abcdef";
    std::string d = Hex({1, 0, int(code.size()), 0}) + code;
    ASSERT_EQ(ParseKmRequest(d, r), 0);
    EXPECT_EQ(r.code, code);
    EXPECT_EQ(ParseKmRequest(d + "x", r), 1);           // length does not add up
    EXPECT_EQ(ParseKmRequest(d.substr(0, 10), r), 1);   // cut short
    EXPECT_EQ(ParseKmRequest(Hex({1, 0, 0, 0}), r), 9); // empty code
    d[0] = 0;
    EXPECT_EQ(ParseKmRequest(d, r), 9); // no planned status
    // Measured goods: the TLV block is checked.
    const std::string tlv = TlvEncode(2108, Hex({11})) + TlvEncode(1023, Hex({1, 5}));
    std::string m = Hex({2, 0, int(code.size()), int(tlv.size())}) + code + tlv;
    ASSERT_EQ(ParseKmRequest(m, r), 0);
    EXPECT_EQ(r.tlv, tlv);
    m.back() = char(0x50); // FVLN with 80 decimal places
    m[m.size() - 2] = char(0x50);
    EXPECT_EQ(ParseKmRequest(m, r), 9);
}

} // namespace
