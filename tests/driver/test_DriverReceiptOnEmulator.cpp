// Receipts, correction receipts and marking codes through the driver against
// the emulated register: what lands in the FN's archive, what the host reads
// back, bad input, and the faults of the close (exactly one document).

#include "DriverTestHost.h"
#include "EmulatedRegister.h"
#include "support/DriverPackages.h"

#include "common/Common.Log.h"
#include "common/uBase64.h"
#include "common/uBytes.h"
#include "common/uCodePages.h"
#include "common/uDateTime.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "driver/uDriverReceipt.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>

using namespace korv;
using namespace korvtest;

namespace {

std::string B64(std::string_view ABytes) {
    return Base64Encode(ABytes);
}

/// A correction receipt of one 150-rouble item, paid in cash, by an order.
std::string CorrectionPackage() {
    return "<CheckCorrectionPackage><Parameters CashierName=\"Иванов\" OperationType=\"1\" "
           "TaxationSystem=\"0\"><CorrectionData Type=\"1\" Description=\"Предписание\" "
           "Date=\"2024-03-01T00:00:00\" Number=\"17\"/></Parameters><Positions>" +
           Item("Коррекция", "150", "1", "150", "20", "25") +
           "</Positions><Payments Cash=\"150\"/></CheckCorrectionPackage>";
}

class ReceiptTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogMode(0); }

    /// APrintMode: the register's print mode when the driver connects.
    void Start(int AFfd, std::u16string_view AExtraSettings = {}, int APrintMode = 0) {
        Reg = std::make_unique<TEmulatedRegister>(AFfd);
        {
            std::lock_guard Lock(Reg->Emu->Reg().Mutex());
            Reg->Emu->Reg().Tables().SetInt(17, 1, 7, APrintMode);
        }
        Driver.ConnectEquipment(Xml(Reg->Settings(AExtraSettings)));
        ID = Driver.DeviceID();
        Driver.SelectDevice(ID);
    }

    /// ProcessCheck; the output document's Parameters.
    pugi::xml_document Sell(std::u16string_view APackage, bool AElectronically = false) {
        pugi::xml_document Out;
        Driver.SelectDevice(ID);
        Driver.ProcessCheck(AElectronically, Xml(APackage), Out, false);
        return Out;
    }

    /// The document read back through the driver.
    pugi::xml_document ReadBack(int ANumber) {
        pugi::xml_document Out;
        Driver.SelectDevice(ID);
        Driver.GetDocumentInformation(ANumber, Out);
        return Out;
    }

    std::string Std(std::u16string_view A) { return U16ToUtf8(A); }

    /// The number of the first ATag in a TLV list (~0 when absent).
    static std::uint64_t Num(std::string_view ATlv, std::uint16_t ATag) {
        const auto V = TlvValues(ATlv, ATag);
        return V.empty() ? ~0ULL : emu::GetLE(V[0], 0, V[0].size());
    }

    /// The item structures (1059) of an archived document.
    std::vector<std::string> Items(const emu::FnDocument& ADoc) {
        return TlvValues(ADoc.tlv, 1059);
    }

    std::unique_ptr<TEmulatedRegister> Reg;
    TEmuDriver Driver;
    std::u16string ID;
};

// ---- Sales on every format ------------------------------------------------------------

class ReceiptOnEveryFormat : public ReceiptTest, public ::testing::WithParamInterface<int> {};

TEST_P(ReceiptOnEveryFormat, ItemsPaymentsAndOutputsMatchTheArchive) {
    Start(GetParam());
    const std::uint32_t Before = Reg->LastDoc();
    pugi::xml_document Out = Sell(
        Package("CustomerEmail=\"buyer@example.com\" CashierINN=\"500100732259\" "
                "ReceiptText=\"Гарантия 14 дней&#13;&#10;Сохраняйте чек\"",
                Item("Чай", "100.50", "2", "201", "20", "33.50") +
                    Item("Сахар", "45", "0.5", "22.5", "10", "2.05", "DiscountAmount=\"2.5\"") +
                    "<TextString Text=\"Спасибо\"/><GraphicText Text=\"Акция\" FontSize=\"14\"/>" +
                    Item("Пакет", "3", "1", "3", "none"),
                "Cash=\"200\" ElectronicPayment=\"26.5\""));
    ASSERT_EQ(Reg->LastDoc(), Before + 1);
    EXPECT_FALSE(Reg->ReceiptOpen());
    const emu::FnDocument Doc = Reg->Document(Before + 1);
    EXPECT_EQ(Doc.type, 3);

    pugi::xml_node P = Out.child("DocumentOutputParameters").child("Parameters");
    EXPECT_EQ(P.attribute("CheckNumber").as_uint(), Before + 1);
    EXPECT_EQ(P.attribute("FiscalSign").as_uint(), Doc.fiscalSign);
    EXPECT_EQ(P.attribute("ShiftNumber").as_int(), 1);
    EXPECT_EQ(P.attribute("ShiftClosingCheckNumber").as_int(), 1);
    EXPECT_STREQ(P.attribute("AddressSiteInspections").value(), "www.nalog.gov.ru");

    // The items as sent.
    const auto Items = this->Items(Doc);
    ASSERT_EQ(Items.size(), 3u);
    EXPECT_EQ(Num(Items[0], 1079), 10050u);
    EXPECT_EQ(Num(Items[0], 1043), 20100u);
    EXPECT_EQ(Num(Items[0], 1200), 3350u);
    EXPECT_EQ(Num(Items[1], 1200), 205u);
    // Document tags: the buyer's address, the cashier (OEM) and the INN.
    EXPECT_EQ(TlvValues(Doc.tlv, 1008), std::vector<std::string>{"buyer@example.com"});
    EXPECT_EQ(TlvValues(Doc.tlv, 1021), std::vector<std::string>{U16ToOem(u"Иванов")});
    EXPECT_EQ(TlvValues(Doc.tlv, 1203), std::vector<std::string>{"500100732259"});

    // The host reads back what was sold.
    pugi::xml_document Back = ReadBack(static_cast<int>(Before + 1));
    pugi::xml_node Pos = Back.child("CheckPackage").child("Positions");
    std::vector<std::string> Names, Prices;
    for (pugi::xml_node F : Pos.children("FiscalString")) {
        Names.push_back(F.attribute("Name").value());
        Prices.push_back(F.attribute("PriceWithDiscount").value());
    }
    EXPECT_EQ(Names, (std::vector<std::string>{"Чай", "Сахар", "Пакет"}));
    EXPECT_EQ(Prices, (std::vector<std::string>{"100.5", "45", "3"}));
    pugi::xml_node Pay = Back.child("CheckPackage").child("Payments");
    EXPECT_STREQ(Pay.attribute("Cash").value(), "200");
    EXPECT_STREQ(Pay.attribute("ElectronicPayment").value(), "26.5");

    // The tape shows the receipt, its discount line and its text.
    const std::string Tape = Reg->TapeText();
    EXPECT_NE(Tape.find("Спасибо"), std::string::npos);
    EXPECT_NE(Tape.find("СКИДКА"), std::string::npos);
    EXPECT_NE(Tape.find("Пакет"), std::string::npos);
    EXPECT_NE(Tape.find("Гарантия 14 дней"), std::string::npos);
    EXPECT_NE(Tape.find("Сохраняйте чек"), std::string::npos);
    // The lines printed between the items stand between them on the paper.
    const auto Sugar = Tape.rfind("Сахар"), Discount = Tape.rfind("СКИДКА"),
               Thanks = Tape.rfind("Спасибо"), Bag = Tape.rfind("Пакет");
    EXPECT_LT(Sugar, Discount);
    EXPECT_LT(Discount, Thanks);
    EXPECT_LT(Thanks, Bag);

    // A return of the same goods is a receipt of its own kind.
    Sell(Package("OperationType=\"2\"", Item("Пакет", "3", "1", "3", "none"), "Cash=\"3\""));
    EXPECT_EQ(Reg->LastDoc(), Before + 2);
    EXPECT_EQ(TlvValues(Reg->Document(Before + 2).tlv, 1054), std::vector<std::string>{"\x02"});
}

INSTANTIATE_TEST_SUITE_P(Formats, ReceiptOnEveryFormat, ::testing::Values(105, 110, 120),
                         [](const auto& I) { return "FFD" + std::to_string(I.param); });

TEST_F(ReceiptTest, FiveHundredItemsMakeOneDocument) {
    Start(120);
    std::string Positions;
    for (int I = 0; I < 500; ++I)
        Positions += Item("Позиция " + std::to_string(I), "1.5", "2", "3", I % 2 ? "10" : "20");
    const std::uint32_t Before = Reg->LastDoc();
    Sell(Package({}, Positions, "Cash=\"1500\""));
    ASSERT_EQ(Reg->LastDoc(), Before + 1);
    const auto Items = this->Items(Reg->Document(Before + 1));
    ASSERT_EQ(Items.size(), 500u);
    EXPECT_EQ(TlvValues(Items[499], 1030), std::vector<std::string>{U16ToOem(u"Позиция 499")});
}

// Generated receipts go in through ProcessCheck and come back through
// GetDocumentInformation as they were sold.
TEST_P(ReceiptOnEveryFormat, GeneratedReceiptsReadBackAsSold) {
    Start(GetParam());
    std::mt19937 Random(20240501u + static_cast<unsigned>(GetParam()));
    auto Pick = [&](int N) { return static_cast<int>(Random() % static_cast<unsigned>(N)); };
    const char* Names[] = {"Хлеб", "Молоко 1л",      "Сыр весовой",
                           "Tea",  "Кофе 'Арабика'", "Батарейки AA"};
    const char* Rates[] = {"20", "10", "0", "none", "20/120", "10/110", ""};
    const double Quantities[] = {1, 2, 0.5, 1.25, 3, 0.001};
    for (int Run = 0; Run < 15; ++Run) {
        struct TLine {
            std::string Name;
            long long Price, Amount; // kopecks
            double Quantity;
        };
        std::vector<TLine> Lines(static_cast<std::size_t>(1 + Pick(6)));
        std::string Positions;
        long long Total = 0;
        for (TLine& L : Lines) {
            L.Name = Names[Pick(6)];
            L.Quantity = Quantities[Pick(6)];
            L.Price = 1 + Pick(200000);
            L.Amount = std::llround(static_cast<double>(L.Price) * L.Quantity);
            if (L.Amount == 0)
                L.Amount = 1;
            Total += L.Amount;
            auto Money = [](long long K) {
                return std::to_string(K / 100) + "." + (K % 100 < 10 ? "0" : "") +
                       std::to_string(K % 100);
            };
            char Qty[32];
            std::snprintf(Qty, sizeof Qty, "%g", L.Quantity);
            std::string Marked;
            if (GetParam() == 120 && Pick(3) == 0)
                Marked = "MarkingCode=\"" +
                         B64("0104601234567893215R" + std::to_string(Run) +
                             "\x1d"
                             "93abcd") +
                         "\" CalculationSubject=\"33\"";
            Positions +=
                Item(L.Name, Money(L.Price), Qty, Money(L.Amount), Rates[Pick(7)], "0", Marked);
        }
        const int Operation = 1 + Pick(4);
        const long long Cash = Pick(2) ? Total : Total / 2;
        auto Money = [](long long K) {
            return std::to_string(K / 100) + "." + (K % 100 < 10 ? "0" : "") +
                   std::to_string(K % 100);
        };
        const std::uint32_t Before = Reg->LastDoc();
        // A purchase and its return take no cash out beyond the drawer: paid electronically.
        const std::string Payments =
            Operation == 1 || Operation == 4
                ? "Cash=\"" + Money(Cash) + "\" ElectronicPayment=\"" + Money(Total - Cash) + "\""
                : "ElectronicPayment=\"" + Money(Total) + "\"";
        ASSERT_NO_THROW(Sell(
            Package("OperationType=\"" + std::to_string(Operation) + "\"", Positions, Payments)))
            << Run;
        ASSERT_EQ(Reg->LastDoc(), Before + 1) << Run;
        pugi::xml_document Back = ReadBack(static_cast<int>(Before + 1));
        pugi::xml_node Root = Back.child("CheckPackage");
        EXPECT_EQ(Root.child("Parameters").attribute("OperationType").as_int(), Operation) << Run;
        std::size_t N = 0;
        for (pugi::xml_node F : Root.child("Positions").children("FiscalString")) {
            ASSERT_LT(N, Lines.size()) << Run;
            const TLine& L = Lines[N++];
            EXPECT_EQ(F.attribute("Name").value(), L.Name) << Run;
            EXPECT_EQ(std::llround(F.attribute("PriceWithDiscount").as_double() * 100), L.Price)
                << Run;
            EXPECT_EQ(std::llround(F.attribute("AmountWithDiscount").as_double() * 100), L.Amount)
                << Run;
            EXPECT_DOUBLE_EQ(F.attribute("Quantity").as_double(), L.Quantity) << Run;
        }
        EXPECT_EQ(N, Lines.size()) << Run;
        pugi::xml_node Pay = Root.child("Payments");
        EXPECT_EQ(std::llround(Pay.attribute("Cash").as_double() * 100) +
                      std::llround(Pay.attribute("ElectronicPayment").as_double() * 100),
                  Total)
            << Run;
    }
}

// ---- Tags of the document and of the items ---------------------------------------------

TEST_F(ReceiptTest, TagsOfTheNewFormatLandInTheirStructures) {
    Start(120);
    const std::uint32_t Before = Reg->LastDoc();
    Sell(Package("AdditionalAttribute=\"доп\" SenderEmail=\"shop@example.com\"",
                 Item("Товар агента", "10", "1", "10", "20", "0", "CalculationAgent=\"1\"",
                      "<AgentData AgentPhone=\"+7 (900) 111-22-33, 8-900-444-55-66\" "
                      "AgentOperation=\"Прием\"/><VendorData VendorName=\"Поставщик\" "
                      "VendorINN=\"7712345678\" VendorPhone=\"+7 495 000-00-01\"/>"),
                 "Cash=\"10\"",
                 "<CustomerDetail Info=\"ООО Покупатель\" INN=\"7700000001\"/>"
                 "<UserAttribute Name=\"n\" Value=\"v\"/>"
                 "<OperationalAttribute DateTime=\"2024-05-01T10:00:00\" OperationID=\"7\" "
                 "OperationData=\"данные\"/>"
                 "<IndustryAttribute IdentifierFOIV=\"030\" DocumentDate=\"01.05.2024\" "
                 "DocumentNumber=\"12\" AttributeValue=\"x\"/>"));
    const emu::FnDocument Doc = Reg->Document(Before + 1);
    EXPECT_EQ(TlvValues(Doc.tlv, 1192), std::vector<std::string>{U16ToAnsi(u"доп")});
    EXPECT_EQ(TlvValues(Doc.tlv, 1117), std::vector<std::string>{"shop@example.com"});
    const auto Customer = TlvValues(Doc.tlv, 1256);
    ASSERT_EQ(Customer.size(), 1u);
    EXPECT_EQ(TlvValues(Customer[0], 1227), std::vector<std::string>{U16ToOem(u"ООО Покупатель")});
    EXPECT_EQ(TlvValues(Customer[0], 1228), std::vector<std::string>{"7700000001  "});
    const auto User = TlvValues(Doc.tlv, 1084);
    ASSERT_EQ(User.size(), 1u);
    EXPECT_EQ(TlvValues(User[0], 1085), std::vector<std::string>{"n"});
    const auto Oper = TlvValues(Doc.tlv, 1270);
    ASSERT_EQ(Oper.size(), 1u);
    EXPECT_EQ(TlvValues(Oper[0], 1271), std::vector<std::string>{"\x07"});
    EXPECT_EQ(TlvValues(Oper[0], 1273).size(), 1u);
    const auto Industry = TlvValues(Doc.tlv, 1261);
    ASSERT_EQ(Industry.size(), 1u);
    EXPECT_EQ(TlvValues(Industry[0], 1262), std::vector<std::string>{"030"});

    const auto Items = this->Items(Doc);
    ASSERT_EQ(Items.size(), 1u);
    EXPECT_EQ(TlvValues(Items[0], 1222), std::vector<std::string>{"\x02"});
    const auto Agent = TlvValues(Items[0], 1223);
    ASSERT_EQ(Agent.size(), 1u);
    EXPECT_EQ(TlvValues(Agent[0], 1073),
              (std::vector<std::string>{"+79001112233", "+89004445566"}));
    EXPECT_EQ(TlvValues(Agent[0], 1044), std::vector<std::string>{U16ToOem(u"Прием")});
    EXPECT_EQ(TlvValues(Items[0], 1226), std::vector<std::string>{"7712345678  "});
    const auto Vendor = TlvValues(Items[0], 1224);
    ASSERT_EQ(Vendor.size(), 1u);
    EXPECT_EQ(TlvValues(Vendor[0], 1171), std::vector<std::string>{"+74950000001"});
    EXPECT_EQ(TlvValues(Vendor[0], 1225), std::vector<std::string>{U16ToOem(u"Поставщик")});
    EXPECT_EQ(TlvValues(Items[0], 2108), std::vector<std::string>{std::string(1, '\0')});
    // The agent and supplier structures read back as structures.
    pugi::xml_document Back = ReadBack(static_cast<int>(Before + 1));
    EXPECT_STREQ(Back.child("CheckPackage")
                     .child("Positions")
                     .child("FiscalString")
                     .attribute("Name")
                     .value(),
                 "Товар агента");
}

TEST_F(ReceiptTest, OlderFormatSendsAgentDataPerTagAndTheProductCode) {
    Start(105);
    const std::uint32_t Before = Reg->LastDoc();
    const std::string Gs1 = "0104601234567893215abcDEF\x1d"
                            "93dGVz";
    Sell(Package(
        "AgentType=\"2\"",
        Item("Обувь", "1000", "1", "1000", "20", "0",
             "MarkingCode=\"" + B64(Gs1) + "\" MeasurementUnit=\"пара\"") +
            Item("Шапка", "500", "1", "500", "20", "0", {},
                 "<GoodCodeData MarkingCode=\"" + B64(std::string("\x44\x4d\x00\x01", 4)) + "\"/>"),
        "Cash=\"1500\"",
        "<AgentData AgentPhone=\"8 900 1234567;+7 900 7654321\"/>"
        "<VendorData VendorPhone=\"111\"/>"));
    const emu::FnDocument Doc = Reg->Document(Before + 1);
    EXPECT_EQ(TlvValues(Doc.tlv, 1057), std::vector<std::string>{"\x04"});
    EXPECT_EQ(TlvValues(Doc.tlv, 1073), (std::vector<std::string>{"+89001234567", "+79007654321"}));
    EXPECT_EQ(TlvValues(Doc.tlv, 1171), std::vector<std::string>{"+111"});
    const auto Items = this->Items(Doc);
    ASSERT_EQ(Items.size(), 2u);
    EXPECT_EQ(TlvValues(Items[0], 1162),
              std::vector<std::string>{"DM" + IntToBEBytesN(6, 4601234567893ULL) + "5abcDEF"});
    EXPECT_EQ(TlvValues(Items[0], 1197), std::vector<std::string>{U16ToOem(u"пара")});
    EXPECT_EQ(TlvValues(Items[1], 1162),
              std::vector<std::string>{std::string("\x44\x4d\x00\x01", 4)});
}

// ---- Marking codes ----------------------------------------------------------------------

class MarkingTest : public ReceiptTest {
public:
    /// RequestKM through the driver; the output's Checking/CheckingResult.
    std::string Request(std::string_view ACode, std::string_view AGuid = "g-1") {
        pugi::xml_document Out;
        Driver.SelectDevice(ID);
        Driver.RequestKM(Xml(U("<RequestKM GUID=\"" + std::string(AGuid) + "\" MarkingCode=\"" +
                               B64(ACode) + "\" PlannedStatus=\"1\" Quantity=\"1\"/>")),
                         Out);
        pugi::xml_node R = Out.child("RequestKMResult");
        return std::string(R.attribute("Checking").value()) + "/" +
               R.attribute("CheckingResult").value();
    }
    void Confirm() {
        Driver.SelectDevice(ID);
        Driver.ConfirmKM(u"g", 0);
    }
    static std::string Marked(std::string_view AName, std::string_view ACode) {
        return Item(AName, "100", "1", "100", "20", "0",
                    "CalculationSubject=\"33\" MarkingCode=\"" + B64(ACode) + "\"");
    }
    /// The marking code items of an item: its 1163 with 1305, and 2106 when bound.
    static std::pair<std::string, bool> CodeOf(const std::string& AItem) {
        std::string Code;
        for (const auto& S : TlvValues(AItem, 1163))
            for (const auto& V : TlvValues(S, 1305))
                Code = V;
        return {Code, !TlvValues(AItem, 2106).empty()};
    }
};

TEST_F(MarkingTest, CheckedCodesBindAndAnUnconfirmedOneIsDropped) {
    Start(120);
    const std::string A = "0104601234567893215AAAAA\x1d"
                          "93abcd";
    const std::string Bc = "0104601234567893215BBBBB\x1d"
                           "93abcd";
    const std::string C = "0104601234567893215CCCCC\x1d"
                          "93abcd";
    const std::string D = "0104601234567893215DDDDD\x1d"
                          "93abcd";
    Reg->Control("MARK hex:" + BytesToHexText(D, "") + " INVALID");

    Driver.OpenSessionRegistrationKM();
    pugi::xml_document Empty;
    std::int32_t Status = -1;
    Driver.GetProcessingKMResult(Empty, Status);
    EXPECT_STREQ(Empty.child("ProcessingKMResult").attribute("GUID").value(), "");
    EXPECT_EQ(Status, 0);

    EXPECT_EQ(Request(A, "guid-a"), "true/true");
    pugi::xml_document Res;
    Driver.GetProcessingKMResult(Res, Status);
    EXPECT_STREQ(Res.child("ProcessingKMResult").attribute("GUID").value(), "guid-a");
    Confirm();
    Request(Bc); // neither confirmed nor followed by a reset: dropped by the next request
    EXPECT_EQ(Request(D), "true/false"); // refused by the check: the host does not sell it
    Request(C);
    Confirm();
    const std::uint32_t Before = Reg->LastDoc();
    Sell(Package({}, Marked("A", A) + Marked("B", Bc) + Marked("C", C), "Cash=\"300\""));
    const auto Items = this->Items(Reg->Document(Before + 1));
    ASSERT_EQ(Items.size(), 3u);
    EXPECT_EQ(CodeOf(Items[0]), std::make_pair(A, true));
    EXPECT_EQ(CodeOf(Items[1]), std::make_pair(Bc.substr(0, 32), false));
    EXPECT_EQ(CodeOf(Items[2]), std::make_pair(C, true));
    Driver.CloseSessionRegistrationKM();

    // A code the FN never checked, bound as a product code: the register refuses it
    // and nothing is made.
    const std::string Unchecked = "0104601234567893215ZZZZZ\x1d"
                                  "93abcd";
    EXPECT_THROW(Sell(Package({},
                              Item("Z", "1", "1", "1", "20", "0", {},
                                   "<GoodCodeData GS1.M=\"" + B64(Unchecked) + "\"/>"),
                              "Cash=\"1\"")),
                 EDriverError);
    EXPECT_EQ(Reg->LastDoc(), Before + 1);
    EXPECT_FALSE(Reg->ReceiptOpen());
}

TEST_F(MarkingTest, OperationsOfOlderFormats) {
    Start(110);
    // The session operations succeed without the register; the others refuse.
    Driver.OpenSessionRegistrationKM();
    Driver.CloseSessionRegistrationKM();
    try {
        Request("x");
        FAIL() << "requested on FFD 1.1";
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Данная операция не поддерживается");
    }
    EXPECT_THROW(Confirm(), EDriverError);
}

TEST_F(MarkingTest, RequestInputErrors) {
    Start(120);
    Driver.OpenSessionRegistrationKM();
    pugi::xml_document Out;
    struct TCase {
        const char* Xml;
        int Code;
    } Cases[] = {
        {"<Other GUID=\"1\"/>", 1004},
        {"<RequestKM MarkingCode=\"@@@\"/>", 1004},
        {"<RequestKM MarkingCode=\"\"/>", 1004},
        {"<RequestKM MarkingCode=\"QUJD\" PlannedStatus=\"x\"/>", 1004},
    };
    for (const auto& C : Cases) {
        try {
            Driver.RequestKM(Xml(U(C.Xml)), Out);
            ADD_FAILURE() << C.Xml;
        } catch (const EquException& E) {
            EXPECT_EQ(E.Code, C.Code) << C.Xml;
        }
    }
    // The element may also stand under the root.
    EXPECT_NO_THROW(Driver.RequestKM(
        Xml(u"<Root><RequestKM GUID=\"1\" MarkingCode=\"QUJDREVG\" PlannedStatus=\"1\"/></Root>"),
        Out));
}

// ---- Corrections --------------------------------------------------------------------------

class CorrectionOnEveryFormat : public ReceiptTest, public ::testing::WithParamInterface<int> {};

TEST_P(CorrectionOnEveryFormat, MakesOneCorrectionDocument) {
    Start(GetParam());
    const std::uint32_t Before = Reg->LastDoc();
    pugi::xml_document Out;
    Driver.ProcessCorrectionCheck(
        false,
        Xml(U("<CheckCorrectionPackage><Parameters CashierName=\"Иванов\" OperationType=\"1\" "
              "TaxationSystem=\"0\" TaxationSystems=\"0\"><CorrectionData Type=\"1\" "
              "Description=\"Предписание\" Date=\"2024-03-01T00:00:00\" Number=\"17\"/>"
              "</Parameters><Positions>" +
              Item("Коррекция", "150", "1", "150", "20", "25") +
              "</Positions><Payments Cash=\"100\" ElectronicPayment=\"50\"/>"
              "</CheckCorrectionPackage>")),
        Out);
    ASSERT_EQ(Reg->LastDoc(), Before + 1);
    const emu::FnDocument Doc = Reg->Document(Before + 1);
    EXPECT_EQ(Doc.type, 31);
    EXPECT_EQ(TlvValues(Doc.tlv, 1173), std::vector<std::string>{"\x01"});
    EXPECT_NE(Out.child("DocumentOutputParameters").child("Parameters").attribute("FiscalSign"),
              pugi::xml_attribute());
    // Items travel only on the formats that take them.
    EXPECT_EQ(Items(Doc).size(), GetParam() == 105 ? 0u : 1u);
    EXPECT_FALSE(Reg->ReceiptOpen());
}

INSTANTIATE_TEST_SUITE_P(Formats, CorrectionOnEveryFormat, ::testing::Values(105, 110, 120),
                         [](const auto& I) { return "FFD" + std::to_string(I.param); });

// What a receipt, a correction receipt and a totals correction ask before their
// document: the link's line length, one state query for the data output, a
// stopped print and an open receipt (before the print mode, which a data output
// refuses), the print mode, the shift, the FN's last document. The state query
// answers the shift check too (an idle printer, the mode of a shift over 24
// hours): only the FN is asked about the shift, and the idle printer is not
// waited for before the receipt opens.
TEST_F(ReceiptTest, DocumentsAskTheStateOnceBeforeTheirDocument) {
    const std::string Correction = CorrectionPackage();
    struct TCase {
        const char* Name;
        int Ffd;
        bool IsCorrection;
    };
    for (const TCase& C : {TCase{"sale", 120, false}, TCase{"correction receipt", 110, true},
                           TCase{"totals correction", 105, true}}) {
        SCOPED_TRACE(C.Name);
        Start(C.Ffd);
        const std::uint32_t Before = Reg->LastDoc();
        const std::size_t Mark = Reg->Emu->Reg().Log().size();
        pugi::xml_document Out;
        if (C.IsCorrection)
            Driver.ProcessCorrectionCheck(false, Xml(U(Correction)), Out);
        else
            Sell(Package("", Item("Чай", "10", "1", "10"), "Cash=\"10\""));
        EXPECT_EQ(Reg->LastDoc(), Before + 1);
        const std::vector<emu::LogEntry> Log = Reg->Emu->Reg().Log();
        std::vector<int> Codes;
        for (std::size_t I = Mark; I < Log.size() && Codes.size() < 6; ++I)
            Codes.push_back(Log[I].code);
        const int Document = C.IsCorrection && C.Ffd < 110 ? 0xFF35 : 0x8D;
        EXPECT_EQ(Codes, (std::vector<int>{0x1F, 0x10, 0x1E, 0xFF40, 0xFF01, Document}));
        Driver.DisconnectEquipment(ID);
    }
}

// A read of a document broken off (the link lost while the host read one back)
// leaves the register in data output, where it refuses table writes and
// documents until the document is read to its end. Every operation that makes
// a document reads it out before its first such command, makes exactly one
// document and puts back the print mode the register had.
TEST_F(ReceiptTest, EveryDocumentReadsOutADocumentLeftHalfRead) {
    const auto Input = [](std::string_view AAttributes = {}) {
        return Xml(U("<InputParameters><Parameters CashierName=\"Иванов\" " +
                     std::string(AAttributes) + "/></InputParameters>"));
    };
    const std::u16string Sale = Package("", Item("Чай", "10", "1", "10"), "Cash=\"10\"");
    const std::string Correction = CorrectionPackage();
    struct TCase {
        const char* Name;
        int Ffd;
        std::uint16_t Document; // the command of a register document; 0: a document of the FN
        std::function<void()> Prepare;
        std::function<void()> Call;
        int PrintModeAfter = 2; // the register's, put back
    };
    const auto DataOutput = [&] {
        std::lock_guard Lock(Reg->Emu->Reg().Mutex());
        return Reg->Emu->Reg().DataOutput();
    };
    const auto PrintMode = [&] {
        std::lock_guard Lock(Reg->Emu->Reg().Mutex());
        return Reg->Emu->Reg().Tables().GetInt(17, 1, 7);
    };
    // The host began reading the registration document back and lost the link.
    const auto LeaveADocumentHalfRead = [&] {
        ASSERT_EQ(Reg->Cmd(0xFF3A, std::string("\x01\x00\x00\x00", 4)).first, 0);
        ASSERT_EQ(Reg->Cmd(0xFF3B).first, 0);
        ASSERT_TRUE(DataOutput());
    };
    pugi::xml_document Out;
    const TCase Cases[] = {
        {"sale", 120, 0, [] {}, [&] { Sell(Sale); }},
        {"correction receipt", 120, 0, [] {},
         [&] { Driver.ProcessCorrectionCheck(false, Xml(U(Correction)), Out); }},
        {"totals correction", 105, 0, [] {},
         [&] { Driver.ProcessCorrectionCheck(false, Xml(U(Correction)), Out); }},
        {"OpenShift", 120, 0, [&] { Driver.CloseShift(Input(), Out); },
         [&] { Driver.OpenShift(Input(), Out); }},
        {"CloseShift", 120, 0, [] {}, [&] { Driver.CloseShift(Input(), Out); }},
        {"ReportCurrentStatusOfSettlements", 120, 0, [] {},
         [&] { Driver.ReportCurrentStatusOfSettlements(Input(), Out); }},
        {"PrintXReport", 120, 0x40, [] {}, [&] { Driver.PrintXReport(Input()); }},
        {"CashIn", 120, 0x50, [] {}, [&] { Driver.CashInOutcome(Input(), 100000); }},
        {"CashOut", 120, 0x51, [&] { Reg->Control("SETCASHREG 241 100000"); },
         [&] { Driver.CashInOutcome(Input(), -100000); }},
        {"PrintCheckCopy", 120, 0x8C, [] {}, [&] { Driver.PrintCheckCopy(u"0"); }},
        {"PrintTextDocument", 120, 0x17, [] {},
         [&] {
             Driver.PrintTextDocument(
                 Xml(u"<Document><Positions><TextString Text=\"Строка\"/></Positions></Document>"));
         }},
        // Registration leaves the print mode of its report.
        {"re-registration", 120, 0, [&] { Driver.CloseShift(Input(), Out); },
         [&] {
             Driver.OperationFN(2, Xml(u"<ParametersFiscal FFDVersion=\"1.2\" INN=\"7701234567\" "
                                       u"KKTNumber=\"0000000001012345\" TaxationSystems=\"0\" "
                                       u"RegistrationReasonCode=\"4\"/>"));
         },
         0},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        Start(C.Ffd, {}, /*APrintMode=*/2);
        C.Prepare();
        LeaveADocumentHalfRead();
        const std::uint32_t Before = Reg->LastDoc();
        const std::size_t Mark = Reg->Emu->Reg().Log().size();

        EXPECT_NO_THROW(C.Call());

        EXPECT_EQ(Reg->LastDoc(), Before + (C.Document == 0 ? 1 : 0));
        if (C.Document != 0) {
            const std::vector<emu::LogEntry> Log = Reg->Emu->Reg().Log();
            EXPECT_EQ(std::count_if(Log.begin() + static_cast<std::ptrdiff_t>(Mark), Log.end(),
                                    [&](const emu::LogEntry& E) {
                                        return E.code == C.Document && E.result == 0;
                                    }),
                      1);
        }
        EXPECT_FALSE(DataOutput());
        EXPECT_FALSE(Reg->ReceiptOpen());
        EXPECT_EQ(PrintMode(), C.PrintModeAfter);
        Driver.DisconnectEquipment(ID);
    }

    // A receipt refused after the print mode was written puts it back too.
    Start(120, {}, /*APrintMode=*/2);
    LeaveADocumentHalfRead();
    EXPECT_EQ(Reg->Control("FAULT RESULT FF45 3").rfind("OK", 0), 0u);
    const std::uint32_t Before = Reg->LastDoc();
    EXPECT_ANY_THROW(Sell(Sale));
    EXPECT_EQ(Reg->LastDoc(), Before);
    EXPECT_FALSE(DataOutput());
    EXPECT_FALSE(Reg->ReceiptOpen());
    EXPECT_EQ(PrintMode(), 2);
}

// A session broken off while the host read a document back leaves the register
// in data output, where it refuses table writes and printing. Connecting (the
// equipment test connects, writes the print mode and prints) reads it out
// before the first write, found by the state query the connection asks anyway:
// a register in its normal mode is asked the state once before the print.
TEST_F(ReceiptTest, ConnectingReadsOutADocumentLeftHalfRead) {
    for (const bool HalfRead : {false, true}) {
        SCOPED_TRACE(HalfRead ? "half read" : "normal");
        Reg = std::make_unique<TEmulatedRegister>(120);
        {
            std::lock_guard Lock(Reg->Emu->Reg().Mutex());
            Reg->Emu->Reg().Tables().SetInt(17, 1, 7, 2);
            Reg->Emu->Reg().Tables().SetInt(17, 1, 41, 0);
        }
        if (HalfRead) {
            ASSERT_EQ(Reg->Cmd(0xFF3A, std::string("\x01\x00\x00\x00", 4)).first, 0);
            ASSERT_EQ(Reg->Cmd(0xFF3B).first, 0);
        }
        const std::size_t Mark = Reg->Emu->Reg().Log().size();
        std::u16string Description, Demo;
        EXPECT_NO_THROW(Driver.EquipmentTest(
            Xml(Reg->Settings(u"<Parameter Name=\"ReceiveAllKT\" Value=\"true\"/>")), Description,
            Demo));
        std::lock_guard Lock(Reg->Emu->Reg().Mutex());
        emu::Register& R = Reg->Emu->Reg();
        EXPECT_FALSE(R.DataOutput());
        EXPECT_EQ(R.Tables().GetInt(17, 1, 41), 2); // the connection's setting is written
        EXPECT_EQ(R.Tables().GetInt(17, 1, 7), 2);  // the print mode put back
        EXPECT_NE(R.Paper().ToText().find(U16ToUtf8(Description)), std::string::npos);
        if (!HalfRead) {
            const std::vector<emu::LogEntry> Log = R.Log();
            int StateQueries = 0;
            for (std::size_t I = Mark; I < Log.size() && Log[I].code != 0x17; ++I)
                StateQueries += Log[I].code == 0x10 || Log[I].code == 0x11;
            EXPECT_EQ(StateQueries, 1);
        }
    }
}

TEST_F(ReceiptTest, TotalsCorrectionRefusesAnUnknownRateAndOperation) {
    Start(105);
    const std::uint32_t Before = Reg->LastDoc();
    auto Correct = [&](std::string_view AOp, std::string_view ARate) {
        pugi::xml_document Out;
        Driver.ProcessCorrectionCheck(
            false,
            Xml(U("<P><Parameters OperationType=\"" + std::string(AOp) +
                  "\"><CorrectionData Type=\"0\"/></Parameters><Positions>" +
                  Item("x", "1", "1", "1", ARate, "0") + "</Positions><Payments Cash=\"1\"/></P>")),
            Out);
    };
    for (auto [Op, Rate, Code] :
         {std::tuple{"1", "", 3010}, std::tuple{"1", "5", 3010}, std::tuple{"2", "20", 1004}}) {
        try {
            Correct(Op, Rate);
            ADD_FAILURE() << Op << " " << Rate;
        } catch (const EquException& E) {
            EXPECT_EQ(E.Code, Code) << Op << " " << Rate;
        }
    }
    EXPECT_EQ(Reg->LastDoc(), Before);
}

// ---- Bad input ------------------------------------------------------------------------------

TEST_F(ReceiptTest, BadInputMakesNoDocumentAndLeavesNothingOpen) {
    Start(120);
    const std::string Ok = Item("x", "1", "1", "1");
    struct TCase {
        std::u16string Package;
        int Code; // 0: a general error (no driver code)
    } Cases[] = {
        {U("<CheckPackage><Parameters OperationType=\"1\"/><Positions/></CheckPackage>"), 1004},
        {Package("OperationType=\"7\"", Ok, "Cash=\"1\""), 1004},
        {Package({}, Item("x", "1.0.0", "1", "1"), "Cash=\"1\""), 1004},
        {Package({}, Ok, "Cash=\"abc\""), 1004},
        {Package({}, Item("x", "1", "1", "1", "20", "0", "CalculationSubject=\"0\""), "Cash=\"1\""),
         3020},
        {Package({}, Item("x", "1", "1", "1", "20", "0", "PaymentMethod=\"9\""), "Cash=\"1\""),
         3021},
        {Package({}, Item("x", "1", "1", "1", "20", "0", "CalculationAgent=\"8\""), "Cash=\"1\""),
         3023},
        {Package("CashierINN=\"1234567890\"", Ok, "Cash=\"1\""), 3026},
        {Package({}, Ok + "<Barcode Type=\"EAN8\" Value=\"1234567\"/>", "Cash=\"1\""), 1003},
        {Package({}, Item("x", "1", "1", "1", "20", "0", "MarkingCode=\"%%%\""), "Cash=\"1\""),
         1004},
        {Package({}, Item("x", "1", "1", "1", "5"), "Cash=\"1\""), 0},
        {Package({}, Item("x", "1", "1", "1", "20", "0", "Department=\"300\""), "Cash=\"1\""),
         1004},
        // The register refuses the item (department out of its range): voided.
        {Package({}, Ok + Item("y", "1", "1", "1", "20", "0", "Department=\"40\""), "Cash=\"2\""),
         0},
    };
    const std::uint32_t Before = Reg->LastDoc();
    for (const auto& C : Cases) {
        try {
            Sell(C.Package);
            ADD_FAILURE() << Std(C.Package);
        } catch (const EDriverError& E) {
            EXPECT_EQ(C.Code, 0) << Std(C.Package) << " " << Std(E.Message());
        } catch (const EquException& E) {
            EXPECT_EQ(E.Code, C.Code) << Std(C.Package);
        }
        EXPECT_FALSE(Reg->ReceiptOpen()) << Std(C.Package);
    }
    EXPECT_EQ(Reg->LastDoc(), Before);
    // The refused rate is named.
    try {
        Sell(Package({}, Item("x", "1", "1", "1", "5/105"), "Cash=\"1\""));
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Налог 5/105 не поддержан");
    }
}

TEST_F(ReceiptTest, HostSurfaceTakesRealWorldPackages) {
    Start(120);
    // A declaration inside the host string, tabs and line breaks between the
    // elements, unknown attributes and elements, Base64 broken into lines.
    const std::string Code = std::string(40, 'Q');
    std::string Wrapped = B64(Code);
    Wrapped.insert(20, "\r\n");
    const std::u16string Text =
        U("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CheckPackage>\n\t<Parameters "
          "CashierName=\"Кассир 😀\" OperationType=\"1\" TaxationSystem=\"0\" Unknown=\"1\">\n\t"
          "<Strange/></Parameters>\n\t<Positions>\n\t\t") +
        U(Item("Товар 😀", "1", "1", "1", "20", "0", "MarkingCode=\"" + Wrapped + "\"")) +
        U("\n\t</Positions>\n\t<Payments Cash=\"1\"/>\n</CheckPackage>");
    THostMemory Mem;
    Driver.V8MM = Mem.Host();
    THostCall Call(Mem, 4);
    Call.Str(0, ID).Bool(1, false).Str(2, Text).Str(3, u"");
    const std::uint32_t Before = Reg->LastDoc();
    ASSERT_TRUE(CallExport(Driver, u"ProcessCheck", Call));
    ASSERT_TRUE(V8AsBoolean(&Call.Ret));
    EXPECT_EQ(Reg->LastDoc(), Before + 1);
    pugi::xml_document Out = Xml(Call.Text(3));
    EXPECT_EQ(Out.child("DocumentOutputParameters")
                  .child("Parameters")
                  .attribute("CheckNumber")
                  .as_uint(),
              Before + 1);
    const emu::FnDocument Doc = Reg->Document(Before + 1);
    // Characters outside the code page become a replacement character.
    EXPECT_EQ(TlvValues(Doc.tlv, 1021), std::vector<std::string>{U16ToOem(u"Кассир ?")});
    const auto Items = this->Items(Doc);
    ASSERT_EQ(Items.size(), 1u);
    EXPECT_EQ(MarkingTest::CodeOf(Items[0]).first, Code.substr(0, 32));

    // Malformed XML fails the call with nothing sent.
    THostCall Bad(Mem, 4);
    Bad.Str(0, ID).Bool(1, false).Str(2, u"<CheckPackage><Parameters").Str(3, u"");
    CallExport(Driver, u"ProcessCheck", Bad);
    EXPECT_FALSE(V8AsBoolean(&Bad.Ret));
    EXPECT_EQ(Reg->LastDoc(), Before + 1);
}

TEST_F(ReceiptTest, ElectronicReceiptIsNotPrintedAndThePrintModeIsRestored) {
    Start(120, u"<Parameter Name=\"EnablePrinting\" Value=\"1\"/>");
    const std::string TapeBefore = Reg->TapeText();
    Sell(Package("CustomerPhone=\"+79990000000\"", Item("Эл", "1", "1", "1"), "Cash=\"1\""), true);
    EXPECT_EQ(Reg->TapeText().find("Эл", TapeBefore.size()), std::string::npos);
    std::lock_guard Lock(Reg->Emu->Reg().Mutex());
    EXPECT_EQ(Reg->Emu->Reg().Tables().GetInt(17, 1, 7), 0);
}

// ---- Exactly one document ---------------------------------------------------------------------

struct TFault {
    const char* Name;
    std::string Control; // emulator control line
    bool Slow = false;   // waits for the link's time-out
};

TEST_F(MarkingTest, FaultMatrixGivesExactlyOneDocumentOrNone) {
    Start(120);
    const std::string Code = "0104601234567893215FAULT\x1d"
                             "93abcd";
    const std::u16string Receipt =
        Package("CustomerEmail=\"a@b.c\"",
                Item("Первый", "10", "1", "10") + Marked("Маркированный", Code) +
                    Item("Третий", "5", "2", "10", "10", "0.91"),
                "Cash=\"120\"");
    // Codes ending in a hexadecimal D are given in decimal ("141d" is 8D):
    // the control line reads a trailing "d" as the decimal suffix.
    const std::vector<TFault> Faults = {
        {"close dropped before the answer", "FAULT CLOSE BEFORE FF45"},
        {"close dropped after the answer", "FAULT CLOSE AFTER FF45"},
        {"close answer corrupted", "FAULT LRC FF45"},
        {"close answer cut short", "FAULT DROP 3 FF45"},
        {"close unanswered", "FAULT SILENCE 1 FF45", true},
        {"close answered too late", "FAULT DELAY 15000 1 FF45", true},
        {"paper out after the close", "FAULT PAPEROUT"},
        {"open dropped before the answer", "FAULT CLOSE BEFORE 141d"},
        {"item dropped after the answer", "FAULT CLOSE AFTER FF46"},
        {"binding dropped before the answer", "FAULT CLOSE BEFORE FF67"},
        {"item tag dropped before the answer", "FAULT CLOSE BEFORE 65357d"},
        {"document tag dropped before the answer", "FAULT CLOSE BEFORE FF0C"},
        {"item refused", "FAULT RESULT FF46 3"},
        {"close refused", "FAULT RESULT FF45 3"},
    };
    std::string Table = "\n  fault                                   | call | new docs | open | "
                        "retry docs\n";
    for (const TFault& F : Faults) {
        Driver.OpenSessionRegistrationKM();
        Request(Code);
        Confirm();
        const std::uint32_t Before = Reg->LastDoc();
        ASSERT_EQ(Reg->Control(F.Control), "OK\n") << F.Control;
        bool Ok = true;
        try {
            Sell(Receipt);
        } catch (const std::exception&) {
            Ok = false;
        }
        Reg->Control("FAULT CLEAR");
        Reg->Control("PAPER IN");
        const std::uint32_t Made = Reg->LastDoc() - Before;
        const bool Open = Reg->ReceiptOpen();
        // Only two outcomes: success with one new document, or failure with none.
        EXPECT_TRUE(Ok ? Made == 1 : Made == 0) << F.Name;
        EXPECT_FALSE(Open) << F.Name;
        std::uint32_t Retry = 0;
        if (!Ok) {
            Driver.OpenSessionRegistrationKM();
            Request(Code);
            Confirm();
            const std::uint32_t Again = Reg->LastDoc();
            EXPECT_NO_THROW(Sell(Receipt)) << F.Name;
            Retry = Reg->LastDoc() - Again;
            EXPECT_EQ(Retry, 1u) << F.Name;
            EXPECT_FALSE(Reg->ReceiptOpen()) << F.Name;
        }
        char Line[160];
        std::snprintf(Line, sizeof Line, "  %-39s | %-4s | %8u | %-4s | %s\n", F.Name,
                      Ok ? "ok" : "fail", Made, Open ? "yes" : "no",
                      Ok ? "-" : std::to_string(Retry).c_str());
        Table += Line;
    }
    std::printf("%s", Table.c_str());
}

// The register off from the close on, through every round of asking the FN:
// the call cannot tell whether the receipt exists. The next receipt call on
// the device asks first; the same package again must not sell twice.
TEST_F(ReceiptTest, AReceiptOfUnknownOutcomeIsJudgedByTheNextReceiptCall) {
    const std::string State = (TestLogFolder() / "receipt-unknown.state").string();
    const std::u16string Bread = Package({}, Item("Хлеб", "40", "1", "40"), "Cash=\"40\"");
    const std::u16string Milk = Package({}, Item("Молоко", "70", "1", "70"), "Cash=\"70\"");
    struct TCase {
        const char* Name;
        const char* Fault;
        bool SamePackage;
        std::uint32_t FirstMade; // documents the failed call left
        std::uint32_t RetryMade; // documents the next call adds
    };
    const TCase Cases[] = {
        {"made, the same package again", "FAULT POWER AFTER", true, 1, 0},
        {"not made, the same package again", "FAULT POWER BEFORE", true, 0, 1},
        {"made, another package next", "FAULT POWER AFTER", false, 1, 1},
    };
    const std::u16string Tail = u". " + std::u16string(KReceiptOutcomeUnknownText);
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::filesystem::remove(State);
        Reg = std::make_unique<TEmulatedRegister>(120, State);
        Driver.ConnectEquipment(Xml(Reg->Settings()));
        ID = Driver.DeviceID();
        const std::uint32_t Before = Reg->LastDoc();
        ASSERT_EQ(Reg->Control(C.Fault), "OK\n");
        // The close's own error, told that the outcome is unknown; while the
        // register stays off, the same call again cannot judge it either.
        for (int Call = 0; Call < 2; ++Call) {
            try {
                Sell(Bread);
                ADD_FAILURE() << "the call succeeded with the register off";
            } catch (const EquException& E) {
                const std::u16string& M = E.Message();
                ASSERT_GT(M.size(), Tail.size());
                EXPECT_EQ(M.substr(M.size() - Tail.size()), Tail) << Std(M);
            }
        }
        Reg->PowerUp();
        EXPECT_EQ(Reg->LastDoc(), Before + C.FirstMade);

        const pugi::xml_document Out = Sell(C.SamePackage ? Bread : Milk);
        ASSERT_EQ(Reg->LastDoc(), Before + C.FirstMade + C.RetryMade);
        EXPECT_FALSE(Reg->ReceiptOpen());
        const emu::FnDocument Doc = Reg->Document(Reg->LastDoc());
        EXPECT_EQ(Doc.type, 3);
        EXPECT_EQ(Num(Doc.tlv, 1020), C.SamePackage ? 4000u : 7000u);
        // Returned from the archive or made now: the outputs are the document's.
        pugi::xml_node P = Out.child("DocumentOutputParameters").child("Parameters");
        EXPECT_EQ(P.attribute("CheckNumber").as_uint(), Reg->LastDoc());
        EXPECT_EQ(P.attribute("FiscalSign").as_uint(), Doc.fiscalSign);
        EXPECT_EQ(P.attribute("ShiftNumber").as_uint(), Num(Doc.tlv, 1038));
        EXPECT_EQ(P.attribute("ShiftClosingCheckNumber").as_uint(), Num(Doc.tlv, 1042));
        EXPECT_STREQ(P.attribute("AddressSiteInspections").value(), "www.nalog.gov.ru");

        // Judged once: the same package once more is a new sale.
        Sell(C.SamePackage ? Bread : Milk);
        EXPECT_EQ(Reg->LastDoc(), Before + C.FirstMade + C.RetryMade + 1);
        Driver.DisconnectEquipment(ID);
    }
}

TEST_F(MarkingTest, PowerLostAroundTheCommitGivesOneDocumentOrNone) {
    const std::string State = (TestLogFolder() / "receipt-power.state").string();
    std::filesystem::remove(State);
    Reg = std::make_unique<TEmulatedRegister>(120, State);
    Driver.ConnectEquipment(Xml(Reg->Settings()));
    ID = Driver.DeviceID();
    const std::string Code = "0104601234567893215POWER\x1d"
                             "93abcd";
    const std::u16string Receipt = Package(
        {}, Item("Первый", "10", "1", "10") + Marked("Маркированный", Code), "Cash=\"110\"");
    for (const char* Fault : {"FAULT POWER BEFORE", "FAULT POWER AFTER"}) {
        Driver.SelectDevice(ID);
        Driver.OpenSessionRegistrationKM();
        Request(Code);
        Confirm();
        const std::uint32_t Before = Reg->LastDoc();
        Reg->PowerCycleOnLoss();
        ASSERT_EQ(Reg->Control(Fault), "OK\n");
        bool Ok = true;
        try {
            Sell(Receipt);
        } catch (const std::exception&) {
            Ok = false;
        }
        Reg->AwaitPowerCycle();
        const std::uint32_t Made = Reg->LastDoc() - Before;
        EXPECT_TRUE(Ok ? Made == 1 : Made == 0) << Fault;
        EXPECT_FALSE(Reg->ReceiptOpen()) << Fault;
        std::printf("  %-20s | %-4s | %u new document(s)\n", Fault, Ok ? "ok" : "fail", Made);
        if (!Ok) {
            Driver.OpenSessionRegistrationKM();
            Request(Code);
            Confirm();
            EXPECT_NO_THROW(Sell(Receipt)) << Fault;
            EXPECT_EQ(Reg->LastDoc() - Before, 1u) << Fault;
        }
    }
}

} // namespace
