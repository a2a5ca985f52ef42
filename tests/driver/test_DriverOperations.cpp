// The operations of TDriver on a register whose link is a table of answers:
// connection, instances, the shared checks, the status and the documents.

#include "DriverTestHost.h"

#include "common/Common.Log.h"
#include "common/uBase64.h"
#include "common/uBytes.h"
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

#include <algorithm>
#include <functional>
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

    // Like the real links, an opened link reads the line length.
    int Enable(int, int) override { return Open(); }
    int Enable(const std::string&, int) override { return Open(); }
    int Open() {
        ++Enables;
        if (EnableCode == 0)
            SetParams();
        return EnableCode;
    }
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
        if (OnCommand)
            OnCommand(Key);
        return 0;
    }
    /// Called after each answered command with its code: the register's state may change.
    std::function<void(const std::string&)> OnCommand;
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

// Settings the host leaves out take the settings form's defaults, not zero.
TEST_F(DriverOperations, SettingsLeftOutTakeTheFormsDefaults) {
    Connect(KTcp + u"<Parameter Name=\"FeedCount\" Value=\"3\"/>");
    const TDeviceDriver& I = *Driver.Instance();
    EXPECT_EQ(Driver.Made[0]->GetConnectPwd(), Bytes({30, 0, 0, 0}));
    EXPECT_EQ(I.FIPPort, 7778);
    EXPECT_EQ(I.FBaudRate, 115200);
    EXPECT_EQ(I.FFeedCount, 3); // given
    EXPECT_EQ(I.FCutString, u"[cut]");
    EXPECT_TRUE(I.FReceiveAllKT);
    EXPECT_TRUE(I.FReceiptTextAvailable);
    EXPECT_EQ(I.FReceiptFontNumber, 1);
    EXPECT_EQ(I.FGTFontName[4], u"Arial");
    EXPECT_EQ(I.FGTFontSize[0], 40);
    // Every setting an instance has is on the form with a default it can take.
    pugi::xml_document Form;
    ParseXmlInput(Driver.EquipmentParameters(), Form);
    for (const auto& P : TDeviceDriver::Properties()) {
        SCOPED_TRACE(U16ToUtf8(P.Name));
        pugi::xml_node Node;
        for (pugi::xpath_node X : Form.select_nodes("//Parameter"))
            if (Utf8ToU16(X.node().attribute("Name").value()) == P.Name)
                Node = X.node();
        ASSERT_TRUE(Node.attribute("DefaultValue"));
        EXPECT_NO_THROW(TextToPropValue(P.Type, Utf8ToU16(Node.attribute("DefaultValue").value())));
    }
}

TEST_F(DriverOperations, FailedConnectionKeepsTheLinkCodeAndFreesTheInstance) {
    Driver.Setup = [](TTableRegister& D) { D.EnableCode = 601; };
    EXPECT_EQ(EquError([&] { Driver.ConnectEquipment(Settings(KTcp)); }),
              (TEquError{601, u"Ошибка соединения с ККТ"}));
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
        // The fixed text, then why.
        EXPECT_EQ(E.Message(), u"Ошибка соединения с ККТ; адрес 127.0.0.1:" + IntToU16(Port) +
                                   u": соединение отклонено");
        EXPECT_EQ(E.Fault.Origin, TErrorOrigin::System);
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
        return EquCode([&] { Driver.CheckShiftState(AClosedRequired); });
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
    EXPECT_EQ(
        EquError([&] {
            Read(u"<InputParameters><Parameters CashierINN=\"12345678901\"/></InputParameters>");
        }),
        (TEquError{3026, u"Длина ИНН кассира не равна 12"}));

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
    std::string FullState(48, '\0');
    FullState[14] = 2; // mode: shift open
    D.Answers["\x11"] = FullState;
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
    // The same shift past its 24 hours (register mode 3) is expired: 3.
    FullState[14] = 3;
    D.Answers["\x11"] = FullState;
    pugi::xml_document Expired;
    ASSERT_TRUE(Expired.load_string(
        U16ToUtf8(Status(u"<InputParameters><Parameters/></InputParameters>")).c_str()));
    EXPECT_STREQ(
        Expired.child("OutputParameters").child("Parameters").attribute("ShiftState").value(), "3");

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

pugi::xml_document FiscalParameters(std::u16string_view AAttributes) {
    pugi::xml_document Doc;
    ParseXmlInput(u"<ParametersFiscal " + std::u16string(AAttributes) + u"/>", Doc);
    return Doc;
}

/// A register for OperationFN: text fields 64 bytes wide; it records what
/// the operation sent, apart from the state polls and field structure reads.
class RegistrationOperations : public DriverOperations {
protected:
    TTableRegister& Reg() {
        if (Driver.Made.empty()) {
            Connect();
            Driver.Made[0]->Answers["\x2E"] = std::string(42, '\0') + Bytes({64});
            std::string State(48, '\0');
            State[14] = 4; // shift closed
            Driver.Made[0]->Answers["\x11"] = State;
        }
        return *Driver.Made[0];
    }
    std::vector<std::pair<std::string, std::string>> Run(std::uint8_t AType,
                                                         std::u16string_view AAttributes) {
        Reg().Sent.clear();
        Driver.OperationFN(AType, FiscalParameters(AAttributes));
        std::vector<std::pair<std::string, std::string>> Out;
        for (const auto& C : Reg().Sent)
            if (C.first != "\x10" && C.first != "\x2E" && C.first != "\x11")
                Out.push_back(C);
        return Out;
    }
    /// The data of the first command ACmd sent, or "(none)".
    static std::string DataOf(const std::vector<std::pair<std::string, std::string>>& ASent,
                              std::string_view ACmd) {
        for (const auto& C : ASent)
            if (C.first == ACmd)
                return C.second;
        return "(none)";
    }
    /// The table cells written, in order, as "table.row.field".
    static std::vector<std::string>
    Written(const std::vector<std::pair<std::string, std::string>>& ASent) {
        std::vector<std::string> Cells;
        for (const auto& [Cmd, Data] : ASent)
            if (Cmd == "\x1E")
                Cells.push_back(std::to_string(std::uint8_t(Data[0])) + "." +
                                std::to_string(std::uint8_t(Data[1])) + "." +
                                std::to_string(std::uint8_t(Data[3])));
        return Cells;
    }
};

TEST_F(RegistrationOperations, RegistrationWritesTheTablesThenTheReport) {
    auto Sent = Run(1, u"FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"0000000001012345\" "
                       u"TaxationSystems=\"0,3\" CashierINN=\" 500100732259 \" "
                       u"CashierName=\"Петров\" IsOnline=\"TRUE\" IsAutomatic=\"true\" "
                       u"AutomaticNumber=\"42\" IsMarking=\"True\" IsExcisable=\"yes\" "
                       u"AgentTypes=\"1\" OFDCompanyINN=\"7704211201\" SaleAddress=\"Москва\"");
    std::vector<std::string> Cmds;
    for (const auto& C : Sent)
        Cmds.push_back(C.first);
    // The print mode of a report first, then the clock, the report's beginning, the
    // cashier's INN and the tables; the report last.
    EXPECT_EQ(Written(Sent), (std::vector<std::string>{"17.1.7", "18.1.10", "18.1.12", "18.1.7",
                                                       "18.1.8", "18.1.9", "18.1.14", "18.1.15",
                                                       "18.1.13", "17.1.17", "18.1.21", "24.1.1"}));
    EXPECT_EQ(DataOf(Sent, "\xFF\x05"), std::string(1, '\0'));
    EXPECT_EQ(DataOf(Sent, "\xFF\x0C"), Bytes({0xB3, 0x04, 12, 0}) + "500100732259");
    EXPECT_EQ(DataOf(Sent, "\xFF\x06"),
              "7701234567  0000000001012345    " + Bytes({0x09, 0x24})); // bits 0, 3; 2, 5
    EXPECT_EQ(DataOf(Sent, "\xFF\x34"), "(none)");
    const auto Cell = [&](std::string_view AAddress) {
        for (const auto& [Cmd, Data] : Sent)
            if (Cmd == "\x1E" && Data.substr(0, 4) == AAddress)
                return Data.substr(4);
        return std::string("(none)");
    };
    EXPECT_EQ(Cell(Bytes({18, 1, 0, 12})), PadBytes("7704211201  ", 64, '\0'));
    EXPECT_EQ(Cell(Bytes({18, 1, 0, 8})), PadBytes(U16ToAnsi(u"Петров"), 64, '\0'));
    EXPECT_EQ(Cell(Bytes({18, 1, 0, 9})), PadBytes(U16ToAnsi(u"Москва"), 64, '\0'));
    EXPECT_EQ(Cell(Bytes({17, 1, 0, 17})), Bytes({4}));
    EXPECT_EQ(Cell(Bytes({18, 1, 0, 21})), Bytes({0x10})); // "yes" is not true
    EXPECT_EQ(Cell(Bytes({24, 1, 0, 1})), PadBytes("42" + std::string(18, ' '), 64, '\0'));
    // The clock is set before the report's beginning, the report is the last command.
    const auto At = [&](std::string_view ACmd) {
        return std::find(Cmds.begin(), Cmds.end(), ACmd) - Cmds.begin();
    };
    EXPECT_LT(At("\x22"), At("\xFF\x05"));
    EXPECT_LT(At("\xFF\x05"), At("\xFF\x0C"));
    const auto FirstTable18 =
        std::find_if(Sent.begin(), Sent.end(),
                     [](const auto& C) { return C.first == "\x1E" && C.second[0] == 18; }) -
        Sent.begin();
    EXPECT_LT(At("\xFF\x0C"), FirstTable18);
    const auto LastWrite =
        std::find_if(Sent.rbegin(), Sent.rend(), [](const auto& C) { return C.first == "\x1E"; });
    EXPECT_GT(At("\xFF\x06"), Sent.rend() - LastWrite - 1);
}

TEST_F(RegistrationOperations, MasksReasonsAndFormatsOfTheReports) {
    struct Case {
        std::uint8_t Type;
        std::u16string Attributes;
        std::string Report; // FF 06 / FF 34 after the INN and the number
        int Agents;         // the agent mask written to 18.1.16; -1: none written
    };
    const std::u16string Tax = u"FFDVersion=\"1.2\" TaxationSystems=\"0\" ";
    const Case Cases[] = {
        // "10" holds the digits 0 and 1.
        {1, u"FFDVersion=\"1.2\" TaxationSystems=\"10\"", Bytes({0x03, 0}), -1},
        {1,
         u"FFDVersion=\"1.2\" TaxationSystems=\"5\" IsEncrypted=\"true\" IsWholesaleTrade=\"TRUE\"",
         Bytes({0x20, 0x81}), -1},
        {2, Tax + u"RegistrationReasonCode=\"1,4\"", Bytes({1, 0, 1}), -1},
        {2, Tax + u"RegistrationReasonCode=\" 4 . 2 \"", Bytes({1, 0, 2}), -1},
        {2, Tax + u"RegistrationReasonCode=\"3,4\"", Bytes({1, 0, 4}), -1},
        {2, Tax, Bytes({1, 0, 4}), -1},
        {2, u"FFDVersion=\"1.1\" TaxationSystems=\"0\" AgentTypes=\"0,6\"", Bytes({1, 0, 4}), 0x41},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(U16ToUtf8(C.Attributes));
        pugi::xml_document Doc;
        ParseXmlInput(u"<P INN=\"770123456789\" KKTNumber=\"1\" " + C.Attributes + u"/>", Doc);
        Reg().Sent.clear();
        Driver.OperationFN(C.Type, Doc);
        const auto Sent = Reg().Sent;
        const std::string Report = DataOf(Sent, C.Type == 1 ? "\xFF\x06" : "\xFF\x34");
        ASSERT_EQ(Report.substr(0, 32), "770123456789" + PadBytes("1", 20, ' '));
        EXPECT_EQ(Report.substr(32), C.Report);
        EXPECT_EQ(DataOf(Sent, "\xFF\x05") != "(none)", C.Type == 1);
        int Agents = -1;
        for (const auto& [Cmd, Data] : Sent)
            if (Cmd == "\x1E" && Data.substr(0, 4) == Bytes({18, 1, 0, 16}))
                Agents = std::uint8_t(Data[4]);
        EXPECT_EQ(Agents, C.Agents);
    }
}

TEST_F(RegistrationOperations, ClosingTheFnSendsOnlyTheClosing) {
    auto Sent = Run(3, u"FFDVersion=\"1.1\"");
    EXPECT_EQ(DataOf(Sent, "\xFF\x3E"), "");
    EXPECT_EQ(Written(Sent), std::vector<std::string>{"17.1.7"}); // the report's print mode
    EXPECT_EQ(DataOf(Sent, "\xFF\x06"), "(none)");
    EXPECT_EQ(DataOf(Sent, "\xFF\x0C"), "(none)");
}

// Input the register would refuse, or that cannot be read, fails before the
// first command: no table is half written.
TEST_F(RegistrationOperations, BadInputFailsWith1004AndSendsNothing) {
    struct Case {
        std::uint8_t Type;
        std::u16string Xml;
    };
    const std::u16string Good = u"FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"1\" "
                                u"TaxationSystems=\"0\"";
    auto Doc = [&](std::u16string_view AExtra) {
        return u"<P " + Good + u" " + std::u16string(AExtra) + u"/>";
    };
    const Case Cases[] = {
        {1, u"<P INN=\"7701234567\" KKTNumber=\"1\" TaxationSystems=\"0\"/>"}, // no format
        {1, u"<P FFDVersion=\"1.05\" INN=\"7701234567\" KKTNumber=\"1\" TaxationSystems=\"0\"/>"},
        {3, u"<P FFDVersion=\"1.0\"/>"},
        {1, Doc(u"CashierINN=\"50010073225\"")},
        {2, Doc(u"RegistrationReasonCode=\"1,x\"")},
        {2, Doc(u"RegistrationReasonCode=\"1,\"")},
        {2, Doc(u"RegistrationReasonCode=\"99999999999999999999\"")},
        {0, Doc(u"")},
        {4, Doc(u"")},
        {1, u"<P FFDVersion=\"1.2\" INN=\"770123456\" KKTNumber=\"1\" TaxationSystems=\"0\"/>"},
        {2, u"<P FFDVersion=\"1.2\" KKTNumber=\"1\" TaxationSystems=\"0\"/>"},
        {1, u"<P FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"000000000101234567890\" "
            u"TaxationSystems=\"0\"/>"},
        {1, u"<P FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"1\"/>"},
        {1, u"<P FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"1\" TaxationSystems=\"9\"/>"},
        {1, u""}, // no document at all
    };
    TTableRegister& D = Reg();
    for (const Case& C : Cases) {
        SCOPED_TRACE(U16ToUtf8(C.Xml));
        pugi::xml_document In;
        if (!C.Xml.empty())
            ParseXmlInput(C.Xml, In);
        D.Sent.clear();
        EXPECT_EQ(EquError([&] { Driver.OperationFN(C.Type, In); }),
                  (TEquError{1004, u"Ошибка входных параметров команды"}));
        EXPECT_TRUE(D.Sent.empty());
    }
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

namespace {

TEST_F(DriverOperations, ADocumentIsJudgedByWhatTheRegisterCounted) {
    Connect();
    std::uint64_t Count = 5;
    auto Code = [](const std::function<void()>& ACall) {
        try {
            ACall();
            return 0;
        } catch (const EquException& E) {
            return E.Code;
        } catch (const std::exception&) {
            return 1001;
        }
    };
    auto Witness = [&] { return Count; };
    // Done without trouble.
    EXPECT_FALSE(Driver.MakeDocumentOnce(Witness, [&] { ++Count; }));
    // Made although its answer was lost: the failure is dropped.
    bool Dropped = false;
    EXPECT_EQ(Code([&] {
                  Dropped = Driver.MakeDocumentOnce(Witness, [&] {
                      ++Count;
                      throw EquException(1007, u"lost");
                  });
              }),
              0);
    EXPECT_TRUE(Dropped);
    // Not made: the failure stands.
    EXPECT_EQ(Code([&] { Driver.MakeDocumentOnce(Witness, [] { throw EquException(3027); }); }),
              3027);
    // The count cannot be read afterwards: the first failure stands, not the second.
    int Reads = 0;
    EXPECT_EQ(Code([&] {
                  Driver.MakeDocumentOnce(
                      [&] {
                          if (++Reads > 1)
                              throw EquException(1007, u"no link");
                          return Count;
                      },
                      [] { throw EquException(3027); });
              }),
              3027);
    // The count cannot be read before: nothing is sent.
    bool Sent = false;
    EXPECT_EQ(Code([&] {
                  Driver.MakeDocumentOnce([]() -> std::uint64_t { throw EquException(1007); },
                                          [&] { Sent = true; });
              }),
              1007);
    EXPECT_FALSE(Sent);
}

} // namespace

namespace {

TEST_F(DriverOperations, AShiftOpenedBeforeThePaperRanOutIsNotOpenedAgain) {
    Connect();
    TTableRegister& D = *Driver.Made[0];
    auto FnStatus = [](int ALastDocument) {
        std::string Fn(40, '\0');
        Fn[1] = 3;
        Fn[27] = static_cast<char>(ALastDocument);
        return Fn;
    };
    D.Answers["\xFF\x01"] = FnStatus(5);
    D.Answers["\xFF\x40"] = Bytes({0, 0, 7, 0, 0, 0});
    std::string Full(48, '\0');
    Full[14] = 4; // shift closed
    D.Answers["\x11"] = Full;
    std::string State(15, '\0');
    D.Answers["\x10"] = State;
    // The FN's archive: the newest document is a shift opening (type 2).
    D.Answers["\xFF\x3A"] = Bytes({0, 2, 0, 0, 0});
    D.Answers["\xFF\x3B"] = Bytes({0});
    // The shift is opened; then the paper runs out and never comes back.
    D.OnCommand = [&](const std::string& ACode) {
        if (ACode != "\xE0")
            return;
        D.Answers["\xFF\x01"] = FnStatus(6);
        D.Answers["\xFF\x40"] = Bytes({0, 1, 8, 0, 0, 0});
        State[5] = 2; // printing stopped for paper
        D.Answers["\x10"] = State;
    };
    pugi::xml_document In, Out;
    ParseXmlInput(u"<InputParameters><Parameters/></InputParameters>", In);
    Driver.OpenShift(In, Out);
    EXPECT_STREQ(Out.child("OutputParameters").child("Parameters").attribute("ShiftNumber").value(),
                 "8");
    int Opened = 0;
    for (const std::string& C : D.Commands)
        Opened += C == "\xE0";
    EXPECT_EQ(Opened, 1);

    // Without a new document the same trouble is a failure.
    D.Commands.clear();
    D.OnCommand = {};
    D.Answers["\xFF\x40"] = Bytes({0, 0, 8, 0, 0, 0});
    D.Answers["\x10"] = std::string(15, '\0');
    D.Answers["\xE0"] = Bytes({0x6B}); // no paper
    pugi::xml_document Refused;
    EXPECT_THROW(Driver.OpenShift(In, Refused), EDriverError);
}

} // namespace
