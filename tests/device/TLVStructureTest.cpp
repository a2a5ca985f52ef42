// Item lists of the FN: the tag table, every value decoder, malformed items,
// and documents read back through FF 3A / FF 3B.

#include "ScriptedDevice.h"

#include "common/uEquipmentErrors.h"

#include <gtest/gtest.h>

#include <set>

namespace korv::test {

namespace {

std::u16string Decode(int ATag, const std::string& AValue) {
    TFFD type = TFFD::ffdUknown;
    std::u16string name;
    FindTag(ATag, type, name);
    return GetTLVValue(ATag, type, AValue);
}

// An FF 3A answer: document type and length.
void AnswerDocumentRequest(TScriptedDevice& ADev, int AType) {
    ADev.Answer(0, B({AType, 0, 0x40, 0}));
}

} // namespace

TEST(TagTable, RowsAreUniqueAndTyped) {
    std::size_t count = 0;
    const TTagInfo* rows = TagTable(count);
    ASSERT_EQ(count, 206u);
    std::set<int> tags;
    std::size_t unnamed = 0, structures = 0;
    TFFD type0{};
    std::u16string name0;
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_TRUE(tags.insert(rows[i].Tag).second) << rows[i].Tag;
        unnamed += std::u16string_view(rows[i].ReqName).empty();
        structures += rows[i].DataType == TFFD::ffdSTLV;
        TFFD type{};
        std::u16string name;
        EXPECT_TRUE(FindTag(rows[i].Tag, type, name)) << rows[i].Tag;
    }
    EXPECT_EQ(unnamed, 3u);
    // 1223 (agent) and 1224 (supplier) hold further items: a receipt that
    // carries them must read back.
    EXPECT_EQ(structures, 25u);
    ASSERT_TRUE(FindTag(1223, type0, name0));
    EXPECT_EQ(type0, TFFD::ffdSTLV);

    TFFD type{};
    std::u16string name;
    ASSERT_TRUE(FindTag(1000, type, name));
    EXPECT_EQ(name, u"наимен. документа");
    EXPECT_EQ(type, TFFD::ffdString);
    int tag = 0;
    ASSERT_TRUE(FindTag(B({0x23, 0x04}), tag, type, name));
    EXPECT_EQ(tag, 1059);
    EXPECT_EQ(name, u"предмет расчета");
    EXPECT_EQ(type, TFFD::ffdSTLV);
    EXPECT_FALSE(FindTag(999, type, name));
    EXPECT_FALSE(FindTag(1003, type, name));
    EXPECT_FALSE(FindTag(B({0x23}), tag, type, name));
}

TEST(TLVValues, EveryType) {
    // Strings come in the FN's code page.
    EXPECT_EQ(Decode(1021, "\x8A\xA0\xE1\xE1\xA8\xE0"), u"Кассир");
    EXPECT_EQ(Decode(1021, ""), u"");
    EXPECT_EQ(Decode(1209, B({4})), u"4");                  // byte
    EXPECT_EQ(Decode(1040, B({0x01, 0x02, 0, 0})), u"513"); // uint32
    EXPECT_EQ(Decode(1040, B({0xFF, 0xFF, 0xFF, 0xFF})), u"4294967295");
    EXPECT_EQ(Decode(1012, B({0x80, 0x51, 0x01, 0x00})), u"86400"); // unix time
    EXPECT_EQ(Decode(1020, B({0x39, 0x30})), u"123.45");            // VLN
    EXPECT_EQ(Decode(1020, B({0x10, 0x27})), u"100");
    EXPECT_EQ(Decode(1020, B({0x78})), u"1.2");
    EXPECT_EQ(Decode(1020, B({5})), u"0.05");
    EXPECT_EQ(Decode(1020, ""), u"0");
    EXPECT_EQ(Decode(1023, B({3, 0xDC, 0x05})), u"1.5"); // FVLN
    EXPECT_EQ(Decode(1023, B({0, 7})), u"7");
    EXPECT_EQ(Decode(1023, B({4, 5})), u"0.0005");
    EXPECT_EQ(Decode(1077, B({0x00, 0x01, 0x12, 0x34, 0x56, 0x78})), u"305419896"); // fiscal sign
    EXPECT_EQ(Decode(1057, B({0x01, 0x02})), u"513");                               // register
    EXPECT_EQ(Decode(1055, B({0x02, 0xFF})), u"2"); // the first byte only
    EXPECT_EQ(Decode(1054, B({0x01, 0x09})), u"1");
    // Tags outside the table are read as text.
    EXPECT_EQ(GetTLVValue(9999, TFFD::ffdUknown, "AB"), u"AB");
}

TEST(TLVValues, MalformedValuesAreProtocolErrors) {
    EXPECT_EQ(EquCode([] { Decode(1020, std::string(9, '\x01')); }), 1014);
    EXPECT_EQ(EquCode([] { Decode(1023, ""); }), 1014);
    EXPECT_EQ(EquCode([] { Decode(1023, B({1}) + std::string(9, '\x01')); }), 1014);
    EXPECT_EQ(EquCode([] { Decode(1023, B({200, 1})); }), 1014);
}

TEST(TLVList, WalkAndBounds) {
    std::vector<int> seen;
    const std::string list = Item(1020, B({1})) + Item(1021, "") + Item(9999, "xyz");
    ForEachTLV(list, [&](const TTLVItem& AItem) { seen.push_back(AItem.Tag); });
    EXPECT_EQ(seen, (std::vector<int>{1020, 1021, 9999}));

    // A length past the end is an error, never a read past it.
    std::string cut = Item(1021, "ABCDEF");
    cut.resize(cut.size() - 1);
    EXPECT_EQ(EquCode([&] { ForEachTLV(cut, [](const TTLVItem&) {}); }), 1014);
    EXPECT_EQ(EquCode([] {
                  ForEachTLV(B({0x23, 0x04, 0xFF, 0xFF}), [](const TTLVItem&) {});
              }),
              1014);
    // Fewer bytes than a header are ignored.
    seen.clear();
    ForEachTLV(Item(1020, B({1})) + B({1, 2, 3}),
               [&](const TTLVItem& AItem) { seen.push_back(AItem.Tag); });
    EXPECT_EQ(seen.size(), 1u);

    std::map<int, std::u16string> tags{{5, u"old"}};
    ReadTLVList(list + Item(1057, B({0x01, 0x01})), tags);
    EXPECT_EQ(tags.size(), 4u);
    EXPECT_EQ(tags[1020], u"0.01");
    EXPECT_EQ(tags[9999], u"xyz");
    EXPECT_EQ(tags[1057], u"257");
}

TEST(FNDocument, ReadsItemsAndNestedStructures) {
    TScriptedDevice dev;
    AnswerDocumentRequest(dev, 3);
    dev.Answer(0, Item(1000, "\x97\xA5\xAA")); // "Чек"
    dev.Answer(0, Item(1040, B({7, 0, 0, 0})));
    dev.Answer(0, Item(4000, "skipped"));
    const std::string code = Item(1305, "010460");
    dev.Answer(0,
               Item(1059, Item(1030, "AB") + Item(1079, B({0x10, 0x27})) +
                              Item(1023, B({3, 0xDC, 0x05})) + Item(1163, code) + Item(4001, "x")));
    dev.Answer(0, Item(1020, B({0x39, 0x30})));
    dev.Answer(0);
    int type = 0;
    ASSERT_EQ(dev.GetFiscalTagList(7, type), 0);
    EXPECT_EQ(type, 3);
    EXPECT_EQ(dev.Sent[0].Cmd, "\xFF\x3A");
    EXPECT_EQ(dev.Sent[0].Data, B({7, 0, 0, 0}));

    const auto& list = dev.DocElementList();
    std::vector<int> tags;
    for (const auto& e : list)
        tags.push_back(e.Tag);
    EXPECT_EQ(tags, (std::vector<int>{1000, 1040, 1059, 1030, 1079, 1023, 1305, 1020}));
    EXPECT_EQ(list[0].Value, u"Чек");
    EXPECT_EQ(list[2].Value, u"");
    EXPECT_EQ(list[2].TagSection, TTagSection::tsMain);
    EXPECT_EQ(list[3].TagSection, TTagSection::tsGoodPosition);
    EXPECT_EQ(list[6].TagSection, TTagSection::tsGoodPosition);
    EXPECT_EQ(list[6].RawValue, "010460");
    EXPECT_EQ(list[7].TagSection, TTagSection::tsMain);
    EXPECT_EQ(dev.GetTagValue(1079), u"100");
    EXPECT_EQ(dev.GetTagValue(1023), u"1.5");
    EXPECT_EQ(dev.GetTagValue(1040), u"7");
    EXPECT_EQ(dev.GetTagValue(1041), u"");
}

TEST(FNDocument, RequestResults) {
    TScriptedDevice dev;
    int type = 0;
    // Nothing in the archive: the code comes back, nothing is read.
    dev.Answer(8);
    EXPECT_EQ(dev.GetFiscalTagList(1, type), 8);
    EXPECT_EQ(dev.Sent.size(), 1u);

    // 0x73 while another read is under way (mode 1): its rest is read out
    // and thrown away, and the document is asked for again.
    std::string state(47, '\0');
    state[14] = 1;
    dev.Sent.clear();
    dev.Answer(0x73);
    dev.Raw(0, state);
    dev.Answer(0, Item(1041, "rest of another"));
    dev.Answer(0);
    AnswerDocumentRequest(dev, 2);
    dev.Answer(0, Item(1040, B({1, 0, 0, 0})));
    dev.Answer(0);
    EXPECT_EQ(dev.GetFiscalTagList(1, type), 0);
    EXPECT_EQ(type, 2);
    ASSERT_EQ(dev.DocElementList().size(), 1u);
    EXPECT_EQ(dev.DocElementList()[0].Tag, 1040);
    ASSERT_EQ(dev.Sent.size(), 7u);
    EXPECT_EQ(dev.Sent[4].Cmd, "\xFF\x3A");
    EXPECT_EQ(dev.Sent[4].Data, B({1, 0, 0, 0}));
    // The FN refusing again gives its code.
    dev.Answer(0x73);
    dev.Raw(0, state);
    dev.Answer(0);
    dev.Answer(0x73);
    EXPECT_EQ(dev.GetFiscalTagList(1, type), 0x73);

    state[14] = 4;
    dev.Answer(0x73);
    dev.Raw(0, state);
    EXPECT_EQ(dev.GetFiscalTagList(1, type), 0x73);
    EXPECT_TRUE(dev.DocElementList().empty());

    // A failing read of an item raises in its own context.
    AnswerDocumentRequest(dev, 1);
    dev.Answer(0x02);
    try {
        dev.GetFiscalTagList(1, type);
        FAIL();
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Ошибка команды чтения документа в TLV. Неверное состояние ФН "
                               u"(Данная команда требует другого состояния ФН)");
    }
}

TEST(FNDocument, MalformedItemsAreProtocolErrors) {
    TScriptedDevice dev;
    int type = 0;
    AnswerDocumentRequest(dev, 1);
    std::string cut = Item(1059, Item(1030, "ABCD"));
    cut[2] = static_cast<char>(cut[2] + 1); // the structure claims one byte more
    dev.Answer(0, cut);
    EXPECT_EQ(EquCode([&] { dev.GetFiscalTagList(1, type); }), 1014);

    AnswerDocumentRequest(dev, 1);
    std::string inner = Item(1059, Item(1030, "ABCD"));
    inner[6] = static_cast<char>(inner[6] + 1); // the nested item runs past the structure
    dev.Answer(0, inner);
    EXPECT_EQ(EquCode([&] { dev.GetFiscalTagList(1, type); }), 1014);

    AnswerDocumentRequest(dev, 1);
    dev.Answer(0, B({0x10, 0x04}));
    EXPECT_EQ(EquCode([&] { dev.GetFiscalTagList(1, type); }), 1014);

    // Structures nested beyond reason.
    std::string deep = Item(1030, "x");
    for (int i = 0; i < 40; ++i)
        deep = Item(1059, deep);
    AnswerDocumentRequest(dev, 1);
    dev.Answer(0, deep);
    EXPECT_EQ(EquCode([&] { dev.GetFiscalTagList(1, type); }), 1014);
}

TEST(FNQueries, StatusValidityAndVersion) {
    TScriptedDevice dev;
    std::string status = B({3, 1, 0, 1, 0x05}) + std::string(21, '\0') + B({0x10, 0x27, 0, 0});
    dev.Answer(0, status);
    TFNCurrentStatus st;
    dev.GetFNCurrentStatus(st);
    EXPECT_EQ(st.FNPhase, 3);
    EXPECT_TRUE(st.IsFiscalized());
    EXPECT_EQ(st.ShiftState, 1);
    EXPECT_EQ(st.WarningFlags, 5);
    EXPECT_EQ(st.LastFDNumber, 10000u);
    dev.Answer(0, B({3, 1, 0, 1, 0}));
    EXPECT_EQ(EquCode([&] { dev.GetFNCurrentStatus(st); }), 1014);

    dev.Answer(0, B({27, 6, 30}));
    std::u16string validity;
    dev.GetFNValidityDate(validity);
    EXPECT_EQ(validity, u"2027-06-30T00:00:00");

    std::string version;
    dev.Answer(0, std::string("fn-v1_1-beta    ") + "x");
    dev.GetFFDVersionFN(version);
    EXPECT_EQ(version, "1.1");
    dev.Answer(0, std::string("release 1.2     ") + "x");
    dev.GetFFDVersionFN(version);
    EXPECT_EQ(version, "1.2");
    dev.Answer(0, std::string("unknown         ") + "x");
    dev.GetFFDVersionFN(version);
    EXPECT_EQ(version, "1.0");
    dev.Answer(0, std::string(16, 'x')); // 17 bytes
    EXPECT_EQ(EquCode([&] { dev.GetFFDVersionFN(version); }), 1014);
}

namespace {

// An FF 09 answer of ASize bytes with the registration document number at APos.
std::string Fiscalization(std::size_t ASize, std::size_t ADocPos) {
    std::string r(ASize, '\0');
    const std::string head = B({26, 3, 5, 10, 7}) + "770123456789" + "0001234567890123    ";
    r.replace(1, head.size(), head);
    r[38] = 0x05;
    r[39] = 0x21;
    r[40] = 0x02;
    r[ADocPos] = 0x2A;
    return r;
}

} // namespace

TEST(FNQueries, FiscalizationParametersInBothLayouts) {
    TScriptedDevice dev;
    TDateTimeValue date = 0;
    std::string inn, reg;
    std::uint8_t ext = 0;
    std::uint64_t doc = 0;
    int taxes = 0, mode = 0;
    dev.Raw(0, Fiscalization(48, 41));
    dev.GetFiscalizationParameters(date, inn, ext, doc, taxes, reg, mode);
    TDateTimeValue want = 0;
    TryEncodeDateTime(2026, 3, 5, 10, 7, 0, want);
    EXPECT_EQ(date, want);
    EXPECT_EQ(inn, "770123456789");
    EXPECT_EQ(reg, "0001234567890123");
    EXPECT_EQ(taxes, 5);
    EXPECT_EQ(mode, 0x21);
    EXPECT_EQ(ext, 0);       // only read for FFD 1.2
    EXPECT_EQ(doc, 0x2A02u); // bytes 40..43

    dev.SetFFDVersion(TFFDVersion::ffd12);
    dev.Raw(0, Fiscalization(61, 57));
    dev.GetFiscalizationParameters(date, inn, ext, doc, taxes, reg, mode);
    EXPECT_EQ(ext, 2);
    EXPECT_EQ(doc, 0x2Au);

    dev.Raw(0, Fiscalization(47, 41));
    EXPECT_EQ(
        EquCode([&] { dev.GetFiscalizationParameters(date, inn, ext, doc, taxes, reg, mode); }),
        1014);
    dev.Raw(0, Fiscalization(56, 41)); // long layout without its document number
    EXPECT_EQ(
        EquCode([&] { dev.GetFiscalizationParameters(date, inn, ext, doc, taxes, reg, mode); }),
        1014);
}

TEST(FNQueries, InfoExchangeStatus) {
    TScriptedDevice dev;
    int count = 0;
    std::uint64_t first = 0;
    TDateTimeValue date = 99;
    dev.Answer(0, B({0, 0, 3, 0, 0x10, 0, 0, 0, 26, 13, 1, 0, 0})); // month 13
    dev.GetFNInfoExchangeStatus(count, first, date);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(first, 16u);
    EXPECT_EQ(date, 99);
    dev.Answer(0, B({0, 0, 2, 0, 0})); // the count alone
    dev.GetFNInfoExchangeStatus(count, first, date);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(first, 16u);
}

TEST(FNQueries, FFDFromTheRegistrationDocumentOrTheTable) {
    TScriptedDevice dev;
    dev.Raw(0, Fiscalization(48, 41));
    AnswerDocumentRequest(dev, 1);
    dev.Answer(0, Item(1209, B({4})));
    dev.Answer(0);
    EXPECT_EQ(dev.GetFFD(), TFFDVersion::ffd12);
    EXPECT_EQ(dev.Sent[1].Data, B({0x02, 0x2A, 0, 0}));

    // The registration document cannot be read: table 17, row 1, field 17.
    dev.Sent.clear();
    dev.Raw(0, Fiscalization(48, 41));
    dev.Answer(8);
    dev.Answer(0, B({3}));
    EXPECT_EQ(dev.GetFFD(), TFFDVersion::ffd11);
    EXPECT_EQ(dev.Sent.back().Data, B({17, 1, 0, 17}));

    // An FN not registered yet: no registration to read.
    dev.Sent.clear();
    dev.Answer(0x02);
    dev.Answer(0, B({4}));
    EXPECT_EQ(dev.GetFFD(), TFFDVersion::ffd12);
    EXPECT_EQ(dev.Sent.size(), 2u);

    dev.Raw(0, Fiscalization(48, 41));
    AnswerDocumentRequest(dev, 1);
    dev.Answer(0, Item(1209, B({9})));
    dev.Answer(0);
    dev.Answer(0, B({0}));
    EXPECT_EQ(dev.GetFFD(), TFFDVersion::ffd10);
}

} // namespace korv::test
