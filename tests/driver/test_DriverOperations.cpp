// The operations of TDriver on a register whose link is a table of answers:
// connection, instances, the shared checks, the status and the documents.

#include "DriverTestHost.h"

#include "common/Common.Log.h"
#include "common/uBase64.h"
#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include <pugixml.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

using namespace korv;
using namespace korvtest;

namespace {

std::string Bytes(std::initializer_list<int> AValues) {
    std::string S;
    for (int V : AValues)
        S += static_cast<char>(V);
    return S;
}

/// A register that answers from a table: first by command and data, then by
/// command alone; anything else gets success and zero bytes.
class TTableRegister : public TDevice {
public:
    int EnableCode = 0;
    int Enables = 0, Disables = 0;
    std::map<std::string, std::string> Answers;
    /// Commands (with their data) that get no answer: the link's code.
    std::map<std::string, int> Silent;
    std::vector<std::string> Commands;
    /// Every command with its data, also kept here when set (for registers
    /// the driver frees).
    std::vector<std::pair<std::string, std::string>> Sent;
    std::vector<std::pair<std::string, std::string>>* SentLog = nullptr;

    int Enable(int, int) override { return ++Enables, EnableCode; }
    int Enable(const std::string&, int) override { return ++Enables, EnableCode; }
    /// Also counts the link closings here, for registers the driver frees.
    int* DisableCount = nullptr;
    void Disable() override {
        ++Disables;
        if (DisableCount)
            ++*DisableCount;
    }

    int RunCommand(std::string_view ACmd, std::string_view AData, int, bool, bool) override {
        std::string Key(ACmd);
        Commands.push_back(Key);
        Sent.emplace_back(Key, AData);
        if (SentLog)
            SentLog->emplace_back(Key, AData);
        auto Lost = Silent.find(Key + std::string(AData));
        if (Lost != Silent.end()) {
            FResponse.clear();
            return Lost->second;
        }
        auto It = Answers.find(Key + std::string(AData));
        if (It == Answers.end())
            It = Answers.find(Key);
        FResponse = It != Answers.end() ? It->second : std::string(40, '\0');
        return 0;
    }
    /// The answer of a table cell read (table, row, field).
    void Cell(int ATable, int ARow, int AField, std::string AValue) {
        Answers["\x1F" + Bytes({ATable, ARow, 0, AField})] = std::string(1, '\0') + AValue;
    }

protected:
    void Pause(int) override {}
};

/// The driver with table registers in place of real links.
class TTableDriver : public TDriver {
public:
    std::function<void(TTableRegister&)> Setup;
    std::vector<TTableRegister*> Made;

protected:
    std::unique_ptr<TDevice> CreateDevice(bool) override {
        auto Device = std::make_unique<TTableRegister>();
        // A registration query the FN refuses: the version comes from table 17.
        Device->Answers["\xFF\x09"] = Bytes({2});
        Device->Cell(17, 1, 17, Bytes({4}));
        Device->Cell(9, 1, 3, Bytes({48}));
        if (Setup)
            Setup(*Device);
        Made.push_back(Device.get());
        return Device;
    }
};

pugi::xml_document Settings(std::u16string_view AParameters) {
    pugi::xml_document Doc;
    ParseXmlInput(u"<Parameters>" + std::u16string(AParameters) + u"</Parameters>", Doc);
    return Doc;
}

const std::u16string KTcp = u"<Parameter Name=\"PortNumber\" Value=\"9999\"/>"
                            u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>";

class DriverOperations : public ::testing::Test {
protected:
    void SetUp() override { SetLogMode(0); }
    void TearDown() override { SetLogMode(0); }

    /// Connects and selects a register; returns its DeviceID.
    std::u16string Connect(std::u16string_view AParameters = KTcp) {
        Driver.ConnectEquipment(Settings(AParameters));
        std::u16string ID = Driver.DeviceID();
        Driver.SelectDevice(ID);
        return ID;
    }

    TTableDriver Driver;
};

TEST_F(DriverOperations, TwoInstancesAreIndependentAndTcpIsClosedBetweenOperations) {
    const std::u16string A = Connect(KTcp + u"<Parameter Name=\"MaxReceiptRowLength\" "
                                            u"Value=\"32\"/><Parameter Name=\"Nope\" Value=\"1\"/>"
                                            u"<Parameter Name=\"Device\" Value=\"x\"/>");
    const std::u16string B = Connect(u"<Parameter Name=\"PortNumber\" Value=\"3\"/>");
    ASSERT_NE(A, B);
    EXPECT_EQ(Driver.InstanceCount(), 2u);
    TTableRegister& Tcp = *Driver.Made[0];
    TTableRegister& Serial = *Driver.Made[1];
    // The TCP link was opened for the connection and closed at its end.
    EXPECT_EQ(Tcp.Enables, 1);
    EXPECT_EQ(Tcp.Disables, 1);

    std::int32_t Width = 0;
    Driver.SelectDevice(A);
    Driver.GetLineLength(Width);
    EXPECT_EQ(Width, 32); // the setting overrides the register's 48
    EXPECT_EQ(Tcp.Enables, 2);
    EXPECT_EQ(Tcp.Disables, 3); // before reconnecting, and at the end
    Driver.SelectDevice(B);
    Driver.GetLineLength(Width);
    EXPECT_EQ(Width, 48);
    EXPECT_EQ(Serial.Disables, 0); // a serial port stays open

    // A failing operation closes the TCP link too.
    Driver.SelectDevice(A);
    Tcp.Answers["\x28"] = Bytes({0x50});
    EXPECT_THROW(Driver.OpenCashDrawer(), std::exception);
    EXPECT_EQ(Tcp.Enables, 3);
    EXPECT_EQ(Tcp.Disables, 5);

    Driver.DisconnectEquipment(A);
    EXPECT_EQ(Driver.InstanceCount(), 1u);
    Driver.SelectDevice(B);
    Driver.GetLineLength(Width);
    EXPECT_EQ(Width, 48);
    try {
        Driver.SelectDevice(A);
        FAIL() << "a freed instance was selected";
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Экземпляр устройства c идентификатором " + A +
                                   u" не существует или уже был отключен");
    }
}

TEST_F(DriverOperations, FailedConnectionKeepsTheLinkCodeAndFreesTheInstance) {
    Driver.Setup = [](TTableRegister& D) { D.EnableCode = 601; };
    try {
        Driver.ConnectEquipment(Settings(KTcp));
        FAIL() << "connected";
    } catch (const EquException& E) {
        EXPECT_EQ(E.Code, 601);
        EXPECT_EQ(E.Message(), u"Ошибка соединения с ККТ");
    }
    EXPECT_EQ(Driver.InstanceCount(), 0u);
    EXPECT_EQ(Driver.Instance(), nullptr);

    // A register that fails after the link is up is let go too.
    int Closed = 0;
    Driver.Setup = [&](TTableRegister& D) {
        D.Answers["\x1F" + Bytes({17, 1, 0, 7})] = Bytes({0x5E});
        D.DisableCount = &Closed;
    };
    EXPECT_THROW(Driver.ConnectEquipment(Settings(KTcp)), EDriverError);
    EXPECT_EQ(Driver.InstanceCount(), 0u);
    EXPECT_EQ(Closed, 1);
}

TEST_F(DriverOperations, RefusedTcpPortThroughTheRealLink) {
    // A port of 127.0.0.1 that nothing listens on: bound, never listened.
    int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(Fd, 0);
    sockaddr_in Addr{};
    Addr.sin_family = AF_INET;
    Addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(Fd, reinterpret_cast<sockaddr*>(&Addr), sizeof Addr), 0);
    socklen_t Len = sizeof Addr;
    ASSERT_EQ(::getsockname(Fd, reinterpret_cast<sockaddr*>(&Addr), &Len), 0);
    const int Port = ntohs(Addr.sin_port);

    TDriver Real;
    try {
        Real.ConnectEquipment(
            Settings(KTcp + u"<Parameter Name=\"IPPort\" Value=\"" + IntToU16(Port) + u"\"/>"));
        ADD_FAILURE() << "connected";
    } catch (const EquException& E) {
        EXPECT_GE(E.Code, 600);
        EXPECT_LE(E.Code, 607);
        EXPECT_EQ(E.Message(), u"Ошибка соединения с ККТ");
    }
    ::close(Fd);
    EXPECT_EQ(Real.InstanceCount(), 0u);
}

TEST_F(DriverOperations, SelectDeviceTexts) {
    Connect();
    for (std::u16string_view Empty : {u"", u"   "}) {
        try {
            Driver.SelectDevice(std::u16string(Empty));
            FAIL();
        } catch (const EDriverError& E) {
            EXPECT_EQ(E.Message(), u"Не передан идентификатор устройства");
        }
    }
}

TEST_F(DriverOperations, ShiftStateChecks) {
    Connect();
    TTableRegister& D = *Driver.Made[0];
    auto State = [&](int AFNState, int AMode) {
        D.Answers["\xFF\x40"] = Bytes({0, AFNState, 7, 0, 3, 0});
        std::string Full(48, '\0');
        Full[14] = static_cast<char>(AMode);
        D.Answers["\x11"] = Full;
    };
    auto Code = [&](bool AClosedRequired) {
        try {
            Driver.CheckShiftState(AClosedRequired);
            return 0;
        } catch (const EquException& E) {
            return E.Code;
        }
    };
    State(0, 4);
    EXPECT_EQ(Code(true), 0);
    EXPECT_EQ(Code(false), 3005);
    EXPECT_EQ(Driver.GetShiftState(), 0);
    State(1, 2);
    EXPECT_EQ(Code(true), 3015);
    EXPECT_EQ(Code(false), 0);
    EXPECT_EQ(Driver.GetShiftState(), 1);
    State(1, 3); // open for more than 24 hours
    EXPECT_EQ(Code(true), 3002);
    EXPECT_EQ(Code(false), 3002);
    EXPECT_EQ(Driver.GetShiftState(), 2);
}

TEST_F(DriverOperations, CashierParametersAndPrintModeOfTheOperation) {
    Connect(KTcp + u"<Parameter Name=\"EnableReportPrinting\" Value=\"2\"/>");
    TTableRegister& D = *Driver.Made[0];
    auto Read = [&](std::u16string_view AXml) {
        pugi::xml_document In;
        ParseXmlInput(AXml, In);
        Driver.ReadCashierParameters(In);
    };
    Read(u"<InputParameters><Parameters CashierName=\"Петров\" CashierINN=\" 123456789012 \" "
         u"PrintRequired=\"FALSE\"/></InputParameters>");
    EXPECT_EQ(Driver.Instance()->FCashierName, u"Петров");
    EXPECT_EQ(Driver.Instance()->FCashierINN, u"123456789012");
    EXPECT_EQ(Driver.Instance()->FPrintRequired, 0);
    Read(u"<InputParameters><Parameters PrintRequired=\"maybe\"/></InputParameters>");
    EXPECT_EQ(Driver.Instance()->FPrintRequired, -1);
    EXPECT_EQ(Driver.Instance()->FCashierINN, u"");
    try {
        Read(u"<InputParameters><Parameters CashierINN=\"12345678901\"/></InputParameters>");
        FAIL();
    } catch (const EquException& E) {
        EXPECT_EQ(E.Code, 3026);
        EXPECT_EQ(E.Message(), u"Длина ИНН кассира не равна 12");
    }

    // Not given by the cashier: the report setting 2 writes PrintMode 2.
    D.Commands.clear();
    D.Answers.erase("\x1E");
    Driver.Instance()->FPrintRequired = -1;
    Driver.ApplyReportPrinting();
    ASSERT_FALSE(D.Commands.empty());
    EXPECT_EQ(D.Commands.back(), "\x1E");
}

TEST_F(DriverOperations, EquipmentTestDescribesPrintsAndLeavesNoInstance) {
    std::vector<std::pair<std::string, std::string>> Sent;
    Driver.Setup = [&](TTableRegister& D) {
        D.Answers["\xFC"] = Bytes({0, 0, 0, 1, 2, 3, 0}) + std::string("KKT-1\0\0", 7);
        D.Cell(18, 1, 1, std::string("00012345678901234567\0", 21));
        std::string Fn(40, '\0');
        Fn[1] = 3;
        D.Answers["\xFF\x01"] = Fn;
        D.Cell(17, 1, 7, Bytes({2})); // the register is set not to print
        D.SentLog = &Sent;
    };
    std::u16string Description, Demo = u"x";
    Driver.EquipmentTest(Settings(KTcp + u"<Parameter Name=\"EnablePrinting\" Value=\"0\"/>"),
                         Description, Demo);
    EXPECT_EQ(Description, u"KKT-1, № 0001234567890123, ФИСК");
    EXPECT_EQ(Demo, u"");
    EXPECT_EQ(Driver.InstanceCount(), 0u);
    EXPECT_EQ(Driver.DeviceID(), u"");
    // The description printed as one line while printing was on, then the
    // print mode put back as it was read.
    const std::string PrintMode = Bytes({17, 1, 0, 7});
    std::vector<std::string> Steps;
    for (const auto& [Cmd, Data] : Sent) {
        if (Cmd == "\x17")
            Steps.push_back("print " + Data.substr(1));
        else if (Cmd == "\x1E" && Data.rfind(PrintMode, 0) == 0)
            Steps.push_back("mode " + std::to_string(Data.back()));
    }
    EXPECT_EQ(Steps,
              (std::vector<std::string>{"mode 0", "print " + U16ToAnsi(Description), "mode 2"}));

    // A register that does not answer: the failure reaches the caller, no instance stays.
    Driver.Setup = [](TTableRegister& D) { D.Silent["\x1F" + Bytes({17, 1, 0, 7})] = 1007; };
    EXPECT_THROW(Driver.EquipmentTest(Settings(KTcp), Description, Demo), std::exception);
    EXPECT_EQ(Description, u"");
    EXPECT_EQ(Driver.InstanceCount(), 0u);
    EXPECT_EQ(Driver.Instance(), nullptr);
}

TEST(TaxValues, RatesInTheRegistersOrder) {
    TTaxValues Taxes;
    ASSERT_EQ(Taxes.Count(), 12u);
    EXPECT_EQ(Taxes.IDOfTax(u"20"), 1);
    EXPECT_EQ(Taxes.IDOfTax(u"0"), 4);
    EXPECT_EQ(Taxes.IDOfTax(u"NONE"), 5);
    EXPECT_EQ(Taxes.IDOfTax(u"10/110"), 8);
    EXPECT_EQ(Taxes.IDOfTax(u"7/107"), 12);
    EXPECT_EQ(Taxes.IDOfTax(u"22"), 0);
    EXPECT_EQ(Taxes.IDOfTax(u""), 0);
    EXPECT_EQ(Taxes.IDOfTax(u"20 "), 0);
}

TEST(RegistrationTexts, BitListsAndFormatVersions) {
    EXPECT_EQ(BitListText(5, 6), u"0,2");
    EXPECT_EQ(BitListText(0, 6), u"");
    EXPECT_EQ(BitListText(0xFF, 6), u"0,1,2,3,4,5");
    EXPECT_EQ(BitListText(0x40, 6), u"");
    EXPECT_EQ(FFDVersionName(2), u"1.0.5");
    EXPECT_EQ(FFDVersionName(4), u"1.2");
    EXPECT_THROW(FFDVersionName(5), EDriverError);
}

TEST_F(DriverOperations, CurrentStatusWithAndWithoutCounters) {
    Connect();
    TTableRegister& D = *Driver.Made[0];
    std::string Fn(40, '\0');
    Fn[1] = 3;    // phase: fiscalized
    Fn[4] = 1;    // shift open
    Fn[5] = 0x05; // urgent replacement and memory full
    Fn[27] = 42;  // last document
    D.Answers["\xFF\x01"] = Fn;
    D.Answers["\xFF\x39"] = std::string(14, '\0'); // nothing unsent, no date
    D.Answers["\xFF\x40"] = Bytes({0, 1, 7, 0, 3, 0});
    std::string State(15, '\0');
    State[2] = 0x02;        // receipt roll, but no paper at the sensor
    State[3] = 0x08 | 0x04; // drawer open, cover open
    D.Answers["\x10"] = State;
    // Cash in the drawer 1234.50; sales in cash 100.00, electronically 20.05.
    D.Answers["\x1A" + Bytes({241})] = Bytes({0, 1}) + Bytes({0x3A, 0xE2, 1, 0, 0, 0});
    D.Answers["\x1A" + Bytes({193})] = Bytes({0, 1}) + Bytes({0x10, 0x27, 0, 0, 0, 0});
    D.Answers["\x1A" + Bytes({197})] = Bytes({0, 1}) + Bytes({0xD5, 0x07, 0, 0, 0, 0});
    D.Answers["\x1B" + Bytes({144})] = Bytes({0, 1, 3, 0});

    auto Status = [&](std::u16string_view AInput) {
        pugi::xml_document In, Out;
        ParseXmlInput(AInput, In);
        Driver.GetCurrentStatus(In, Out);
        return XmlText(Out);
    };
    pugi::xml_document Doc;
    ASSERT_TRUE(Doc.load_string(U16ToUtf8(Status(u"<InputParameters><Parameters/>"
                                                 u"</InputParameters>"))
                                    .c_str()));
    pugi::xml_node P = Doc.child("OutputParameters").child("Parameters");
    std::vector<std::string> Names;
    for (pugi::xml_attribute A : P.attributes())
        Names.push_back(A.name());
    EXPECT_EQ(Names,
              (std::vector<std::string>{
                  "CashBalance", "RecState", "DrawerState", "CoverOpen", "ShiftNumber",
                  "CheckNumber", "ShiftClosingCheckNumber", "ShiftState", "BacklogDocumentsCounter",
                  "BacklogDocumentFirstNumber", "BacklogDocumentFirstDateTime"}));
    EXPECT_STREQ(P.attribute("CashBalance").value(), "1234.5");
    EXPECT_STREQ(P.attribute("RecState").value(), "1");
    EXPECT_STREQ(P.attribute("DrawerState").value(), "1");
    EXPECT_STREQ(P.attribute("CoverOpen").value(), "1");
    EXPECT_STREQ(P.attribute("ShiftNumber").value(), "7");
    EXPECT_STREQ(P.attribute("CheckNumber").value(), "42");
    EXPECT_STREQ(P.attribute("ShiftClosingCheckNumber").value(), "3");
    EXPECT_STREQ(P.attribute("ShiftState").value(), "2");
    EXPECT_STREQ(P.attribute("BacklogDocumentFirstDateTime").value(), "1899-12-30T00:00:00");
    EXPECT_FALSE(P.first_child());
    EXPECT_FALSE(Doc.child("OutputParameters").child("Payments"));

    pugi::xml_document Full;
    ASSERT_TRUE(Full.load_string(
        U16ToUtf8(Status(u"<InputParameters><Parameters GetCounters=\"TRUE\"/></InputParameters>"))
            .c_str()));
    pugi::xml_node Sale =
        Full.child("OutputParameters").child("Parameters").child("CountersOperationType1");
    EXPECT_STREQ(Sale.attribute("CheckCount").value(), "3");
    EXPECT_STREQ(Sale.attribute("TotalChecksAmount").value(), "120.05");
    EXPECT_TRUE(Full.child("OutputParameters").child("Parameters").child("CountersOperationType4"));
    EXPECT_TRUE(Full.child("OutputParameters").child("Parameters").child("CashOut"));
    pugi::xml_node NonCash = Full.child("OutputParameters").child("Payments").child("NonCash");
    EXPECT_STREQ(NonCash.attribute("Sell").value(), "20.05");
    EXPECT_STREQ(NonCash.attribute("SellReturn").value(), "0");
}

TEST_F(DriverOperations, RegistrationDataStopsAtARefusedCellButNotAtABrokenLink) {
    Connect();
    TTableRegister& D = *Driver.Made[0];
    std::string Fn(40, '\0');
    Fn[1] = 3;
    D.Answers["\xFF\x01"] = Fn;
    std::string Reg(61, '\0');
    Reg[57] = 1; // the registration document
    D.Answers["\xFF\x09"] = Reg;
    D.Cell(18, 1, 1, "0012345\0\0");
    D.Cell(18, 1, 2, "7701234567  ");
    const std::string CompanyCell = "\x1F" + Bytes({18, 1, 0, 7});
    D.Answers[CompanyCell] = Bytes({0x5E}); // the register has no such cell

    pugi::xml_document Doc;
    Driver.GetDataKKT(Doc);
    pugi::xml_node P = Doc.child("Parameters");
    EXPECT_STREQ(P.attribute("Fiscal").value(), "true");
    EXPECT_STREQ(P.attribute("DocumentNumber").value(), "1");
    EXPECT_STREQ(P.attribute("KKTSerialNumber").value(), "0012345");
    EXPECT_STREQ(P.attribute("INN").value(), "7701234567");
    EXPECT_STREQ(P.attribute("FFDVersionKKT").value(), "1.2");
    EXPECT_STREQ(P.attribute("TaxationSystems").value(), "");
    EXPECT_FALSE(P.attribute("CompanyName"));

    // The link breaking down is a failure, not a shorter list.
    D.Answers.erase(CompanyCell);
    D.Silent[CompanyCell] = 1007;
    pugi::xml_document Broken;
    EXPECT_THROW(Driver.GetDataKKT(Broken), std::exception);

    // Not fiscalized: only that.
    Fn[1] = 1;
    D.Answers["\xFF\x01"] = Fn;
    pugi::xml_document Fresh;
    Driver.GetDataKKT(Fresh);
    EXPECT_EQ(U16ToUtf8(XmlText(Fresh)), "<?xml version=\"1.0\"?>\n<Parameters Fiscal=\"false\"/>");
}

TDocElement Element(int ATag, TFFD AType, std::u16string AValue,
                    TTagSection ASection = TTagSection::tsMain) {
    TDocElement E;
    E.Tag = ATag;
    E.DataType = AType;
    E.Value = std::move(AValue);
    E.TagSection = ASection;
    return E;
}

TEST(CheckPackage, ItemsPaymentsAndParametersInDocumentOrder) {
    using S = TTagSection;
    const std::vector<TDocElement> Doc = {
        Element(1040, TFFD::ffdUInt32, u"12"),
        Element(1012, TFFD::ffdUnixTime, u"1764950400"),
        Element(1030, TFFD::ffdString, u"stray", S::tsGoodPosition), // before any item
        Element(1059, TFFD::ffdSTLV, u""),
        Element(1030, TFFD::ffdString, u"Хлеб", S::tsGoodPosition),
        Element(1023, TFFD::ffdFVLN, u"1.5", S::tsGoodPosition),
        Element(1305, TFFD::ffdString,
                u"010460\x1D"
                u"21abc",
                S::tsGoodPosition),
        Element(1059, TFFD::ffdSTLV, u""),
        Element(1030, TFFD::ffdString, u"Соль", S::tsGoodPosition),
        Element(1999, TFFD::ffdString, u"not ours", S::tsGoodPosition),
        Element(1031, TFFD::ffdVLN, u"100.5"),
        Element(1081, TFFD::ffdVLN, u"0"),
        Element(1021, TFFD::ffdString, u"Кассир"),
        Element(1048, TFFD::ffdString, u"not ours"),
    };
    pugi::xml_document Out;
    BuildCheckPackage(3, Doc, Out);
    EXPECT_EQ(U16ToUtf8(XmlText(Out)),
              "<?xml version=\"1.0\"?>\n<CheckPackage><Parameters DocumentType=\"3\" "
              "DocNumber=\"12\" DateTime=\"2025-12-05T16:00:00\" CashierName=\"Кассир\"/>"
              "<Positions><FiscalString Name=\"Хлеб\" Quantity=\"1.5\" MarkingCode=\"" +
                  Base64Encode("010460\x1D"
                               "21abc") +
                  "\"/><FiscalString Name=\"Соль\"/></Positions>"
                  "<Payments Cash=\"100.5\" ElectronicPayment=\"0\"/></CheckPackage>");

    // A shift report: no items, no payments.
    pugi::xml_document Report;
    BuildCheckPackage(5, {Element(1040, TFFD::ffdUInt32, u"13")}, Report);
    EXPECT_FALSE(Report.child("CheckPackage").child("Positions"));
    EXPECT_FALSE(Report.child("CheckPackage").child("Payments"));
}

} // namespace
