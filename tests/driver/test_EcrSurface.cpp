// The marshalling of the fiscal methods around their operations, on a
// driver whose operations record what they were given.

#include "DriverTestHost.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "driver/uDeviceDriver.h"
#include "driver/uDriver.h"
#include "driver/uEcrDriver4004.h"

#include <optional>

using namespace korv;
using namespace korvtest;

namespace {

class TProbeDriver : public TEcrlDriver {
public:
    // What the operations saw, and what they fail with when set.
    std::u16string Selected;
    std::string InputXml;
    std::optional<TCurrency> Amount;
    std::function<void()> Fail;

    void SelectDevice(const std::u16string& ADeviceID) override { Selected = ADeviceID; }
    std::int32_t InterfaceRevision() const override { return 4004; }

    void Record(const pugi::xml_document& ADoc) {
        pugi::xml_node Root = ADoc.document_element();
        InputXml = Root ? Root.attribute("Text").value() : "";
        if (Fail)
            Fail();
    }
    void Answer(pugi::xml_document& AOut) {
        if (Fail)
            Fail();
        AOut.append_child("Answer").append_attribute("Ok").set_value("true");
    }

    void GetDataKKT(pugi::xml_document& A) override { Answer(A); }
    void OperationFN(std::uint8_t, const pugi::xml_document& A) override { Record(A); }
    void OpenShift(const pugi::xml_document& In, pugi::xml_document& Out) override {
        Record(In);
        Answer(Out);
    }
    void CloseShift(const pugi::xml_document& In, pugi::xml_document& Out) override {
        Record(In);
        Answer(Out);
    }
    void ProcessCheck(bool, const pugi::xml_document& In, pugi::xml_document& Out, bool) override {
        Record(In);
        Answer(Out);
    }
    void ProcessCorrectionCheck(bool, const pugi::xml_document& In,
                                pugi::xml_document& Out) override {
        Record(In);
        Answer(Out);
    }
    void PrintTextDocument(const pugi::xml_document& In) override { Record(In); }
    void CashInOutcome(const pugi::xml_document& In, TCurrency A) override {
        Amount = A;
        Record(In);
    }
    void PrintXReport(const pugi::xml_document& In) override { Record(In); }
    void GetCurrentStatus(const pugi::xml_document& In, pugi::xml_document& Out) override {
        Record(In);
        Answer(Out);
    }
    void ReportCurrentStatusOfSettlements(const pugi::xml_document& In,
                                          pugi::xml_document& Out) override {
        Record(In);
        Answer(Out);
    }
    void OpenCashDrawer() override {}
    void GetLineLength(std::int32_t& L) override {
        if (Fail)
            Fail();
        L = 48;
    }
    void PrintCheckCopy(const std::u16string&) override {}
    void OpenSessionRegistrationKM() override {}
    void CloseSessionRegistrationKM() override {}
    void RequestKM(const pugi::xml_document& In, pugi::xml_document& Out) override {
        Record(In);
        Answer(Out);
    }
    void GetProcessingKMResult(pugi::xml_document& Out, std::int32_t& Status) override {
        Answer(Out);
        Status = 2;
    }
    void ConfirmKM(const std::u16string&, std::int32_t) override {}
    void SetDateTime(const std::u16string&) override {}
    void GetDateTime(std::u16string& D) override {
        if (Fail)
            Fail();
        D = u"2024-01-31T13:05:09";
    }
    void GetDocumentInformation(std::int32_t, pugi::xml_document& Out) override { Answer(Out); }
};

class EcrSurface : public ::testing::Test {
protected:
    void SetUp() override { Driver.V8MM = Mem.Host(); }

    std::pair<int, std::u16string> LastError() {
        return {Driver.LastResult().GetIntResult(), Driver.LastResult().ErrorDescription};
    }

    THostMemory Mem;
    TProbeDriver Driver;
};

TEST_F(EcrSurface, InputXmlIsCleanedOfCharactersXmlForbids) {
    THostCall C(Mem, 4);
    C.Str(0, u"ID").Bool(1, false).Str(2, u"<Check Text=\"a\u0001b\uFFFEc\"/>");
    ASSERT_TRUE(CallExport(Driver, u"ProcessCheck", C));
    EXPECT_TRUE(C.Ret.bVal);
    EXPECT_EQ(Driver.Selected, u"ID");
    EXPECT_EQ(Driver.InputXml, "abc");
    EXPECT_EQ(C.Text(3), u"<?xml version=\"1.0\"?>\n<Answer Ok=\"true\"/>");

    // A character beyond the basic plane is an XML character and stays whole
    // (the register later gets a replacement for it); a lone surrogate goes.
    THostCall S(Mem, 2);
    S.Str(0, u"ID").Str(1, u"<Doc Text=\"x\U0001F600y\xD800\"/>");
    ASSERT_TRUE(CallExport(Driver, u"PrintXReport", S));
    EXPECT_EQ(Driver.InputXml, "x\xF0\x9F\x98\x80y");
}

TEST_F(EcrSurface, MalformedPackageFailsWithTheParsersMessage) {
    THostCall C(Mem, 4);
    C.Str(0, u"ID").Str(2, u"<Check Text=\"unterminated/>").Int(3, 5);
    ASSERT_TRUE(CallExport(Driver, u"ProcessCheck", C));
    EXPECT_FALSE(C.Ret.bVal);
    auto [Code, Text] = LastError();
    EXPECT_EQ(Code, 1001);
    EXPECT_EQ(Text, u"Error parsing element attribute"); // pugixml's description
    EXPECT_EQ(C.Params[3].vt, VTYPE_I4);                 // output untouched
}

TEST_F(EcrSurface, CashAmountBecomesFourDecimalFixedPoint) {
    const std::pair<double, TCurrency> Cases[] = {
        {100.5, 1005000}, {-50, -500000}, {0.00005, 1}, {19.99, 199900}, {0, 0}};
    for (auto [Value, Expected] : Cases) {
        THostCall C(Mem, 3);
        C.Str(0, u"ID").Str(1, u"<InputParameters/>").Dbl(2, Value);
        ASSERT_TRUE(CallExport(Driver, u"CashInOutcome", C));
        EXPECT_TRUE(C.Ret.bVal);
        EXPECT_EQ(Driver.Amount, Expected) << Value;
    }
    // Amounts given as text read with a point.
    THostCall T(Mem, 3);
    T.Str(0, u"ID").Str(1, u"<InputParameters/>").Str(2, u"12.34");
    ASSERT_TRUE(CallExport(Driver, u"CashInOutcome", T));
    EXPECT_EQ(Driver.Amount, 123400);

    // An amount that cannot be a sum of money is refused before the operation.
    Driver.Amount.reset();
    THostCall Huge(Mem, 3);
    Huge.Str(0, u"ID").Str(1, u"<InputParameters/>").Dbl(2, 1e300);
    ASSERT_TRUE(CallExport(Driver, u"CashInOutcome", Huge));
    EXPECT_FALSE(Huge.Ret.bVal);
    EXPECT_EQ(LastError().first, 1004);
    EXPECT_FALSE(Driver.Amount.has_value());
}

TEST_F(EcrSurface, DriverErrorsKeepTheirCodeOthersBecome1001) {
    Driver.Fail = [] { throw EquException(5, u"Особая ошибка"); };
    THostCall C(Mem, 2);
    C.Str(0, u"ID");
    ASSERT_TRUE(CallExport(Driver, u"GetDataKKT", C));
    EXPECT_FALSE(C.Ret.bVal);
    EXPECT_EQ(LastError(), std::make_pair(5, std::u16string(u"Особая ошибка")));
    EXPECT_EQ(C.Params[1].vt, VTYPE_EMPTY);

    Driver.Fail = [] { throw std::runtime_error("plain"); };
    ASSERT_TRUE(CallExport(Driver, u"GetDataKKT", C));
    EXPECT_EQ(LastError(), std::make_pair(1001, std::u16string(u"plain")));

    Driver.Fail = [] { throw 42; };
    ASSERT_TRUE(CallExport(Driver, u"GetDataKKT", C));
    EXPECT_EQ(LastError().first, 1001);

    Driver.Fail = nullptr;
    ASSERT_TRUE(CallExport(Driver, u"GetDataKKT", C));
    EXPECT_TRUE(C.Ret.bVal);
    EXPECT_EQ(LastError(), std::make_pair(0, std::u16string()));
}

TEST_F(EcrSurface, OutputsAreWrittenOnlyOnSuccessWithTheirTypes) {
    THostCall K(Mem, 3);
    K.Str(0, u"ID").Str(1, u"before").Int(2, 9);
    Driver.Fail = [] { throw EquException(1007); };
    ASSERT_TRUE(CallExport(Driver, u"GetProcessingKMResult", K));
    EXPECT_FALSE(K.Ret.bVal);
    EXPECT_EQ(K.Text(1), u"before");
    EXPECT_EQ(K.Params[2].lVal, 9);
    EXPECT_EQ(LastError(), std::make_pair(1007, std::u16string(u"Устройство не отвечает")));

    Driver.Fail = nullptr;
    ASSERT_TRUE(CallExport(Driver, u"GetProcessingKMResult", K));
    EXPECT_TRUE(K.Ret.bVal);
    EXPECT_EQ(K.Text(1), u"<?xml version=\"1.0\"?>\n<Answer Ok=\"true\"/>");
    EXPECT_EQ(K.Params[2].vt, VTYPE_I4);
    EXPECT_EQ(K.Params[2].lVal, 2);

    THostCall L(Mem, 2);
    L.Str(0, u"ID");
    ASSERT_TRUE(CallExport(Driver, u"GetLineLength", L));
    EXPECT_EQ(L.Params[1].vt, VTYPE_I4);
    EXPECT_EQ(L.Params[1].lVal, 48);

    THostCall D(Mem, 2);
    D.Str(0, u"ID");
    ASSERT_TRUE(CallExport(Driver, u"GetDateTime", D));
    EXPECT_EQ(D.Params[1].vt, VTYPE_PWSTR);
    EXPECT_EQ(D.Text(1), u"2024-01-31T13:05:09");
}

TEST_F(EcrSurface, CommonConnectMakesADeviceID) {
    THostCall C(Mem, 3);
    C.Str(2, u"<Parameters/>");
    ASSERT_TRUE(CallExport(Driver, u"ConnectEquipment", C));
    EXPECT_TRUE(C.Ret.bVal);
    std::u16string ID = C.Text(0);
    EXPECT_EQ(ID.size(), 36u);
    EXPECT_TRUE(IsDeviceIDText(ID));

    // The common test connects, describes and disconnects.
    THostCall T(Mem, 4);
    T.Str(1, u"<Parameters/>");
    ASSERT_TRUE(CallExport(Driver, u"EquipmentTest", T));
    EXPECT_TRUE(T.Ret.bVal);
    EXPECT_EQ(Driver.DeviceID(), u"");
}

TEST(DriverProperties, SettingsTextsConvertToTheDevicesProperties) {
    THostMemory Mem;
    TProbeDriver Driver;
    TDeviceDriver Device;
    auto Props = TDeviceDriver::Properties();
    Driver.SetInstanceProperty(Props, u"portnumber", u"9999", Device);
    Driver.SetInstanceProperty(Props, u"IPAddress", u"127.0.0.1", Device);
    Driver.SetInstanceProperty(Props, u"GTIsBold3", u"True", Device);
    Driver.SetInstanceProperty(Props, u"GTFontSize5", u"  40 ", Device);
    Driver.SetInstanceProperty(Props, u"DisableCut", u"1", Device);
    Driver.SetInstanceProperty(Props, u"EnablePrinting", u"2", Device);
    EXPECT_EQ(Device.FPortNumber, 9999);
    EXPECT_EQ(Device.FIPAddress, u"127.0.0.1");
    EXPECT_TRUE(Device.FGTIsBold[2]);
    EXPECT_FALSE(Device.FGTIsBold[1]);
    EXPECT_EQ(Device.FGTFontSize[4], 40);
    EXPECT_TRUE(Device.FDisableCut);
    EXPECT_EQ(Device.FEnablePrinting, 2);

    try {
        Driver.SetInstanceProperty(Props, u"Speed", u"1", Device);
        FAIL() << "no error";
    } catch (const EDriverError& E) {
        EXPECT_EQ(E.Message(), u"Property \"Speed\" not found in Source object.");
    }
    EXPECT_THROW(Driver.SetInstanceProperty(Props, u"BaudRate", u"fast", Device), EDriverError);
    EXPECT_THROW(Driver.SetInstanceProperty(Props, u"EnablePrinting", u"258", Device),
                 EDriverError);
    EXPECT_THROW(Driver.SetInstanceProperty(Props, u"IPPort", u"4294967303", Device), EDriverError);
    EXPECT_EQ(Device.FEnablePrinting, 2);
    EXPECT_THROW(Driver.SetInstanceProperty(Props, u"DisableCut", u"yes", Device), EDriverError);
}

TEST(DriverProperties, LogEnabledOfADeviceSetsItsLogSwitch) {
    TProbeDriver Driver;
    THostMemory Mem;
    Driver.V8MM = Mem.Host();
    THostCall C(Mem, 3);
    C.Str(2, u"<Parameters/>");
    ASSERT_TRUE(CallExport(Driver, u"ConnectEquipment", C));
    std::u16string ID = Driver.DeviceID();
    TDeviceDriver Device;
    auto Props = TDeviceDriver::Properties();
    Driver.SetInstanceProperty(Props, u"LogEnabled", u"true", Device);
    EXPECT_TRUE(GetDeviceLogFlag(ID));
    Driver.SetInstanceProperty(Props, u"LogEnabled", u"false", Device);
    EXPECT_FALSE(GetDeviceLogFlag(ID));
    RemoveDeviceLogFlag(ID);
}

TEST(DriverResult, ErrorWithoutCodeCountsAsUnknown) {
    TResult R;
    EXPECT_EQ(R.GetIntResult(), 0);
    R.SetError(u"x", 0);
    EXPECT_EQ(R.GetIntResult(), 1001);
    R.SetError(u"x", 3005);
    EXPECT_EQ(R.GetIntResult(), 3005);
    R.Clear();
    EXPECT_EQ(R.GetIntResult(), 0);
    EXPECT_EQ(R.ErrorDescription, u"");
}

} // namespace

namespace {

TEST(DriverChecks, CashierINNIsEmptyOrTwelveCharacters) {
    EXPECT_NO_THROW(TDriver::CheckCashierINN(u""));
    EXPECT_NO_THROW(TDriver::CheckCashierINN(u"  "));
    EXPECT_NO_THROW(TDriver::CheckCashierINN(u" 123456789012 "));
    EXPECT_EQ(EquError([] { TDriver::CheckCashierINN(u"12345678901"); }),
              (TEquError{3026, u"Длина ИНН кассира не равна 12"}));
}

} // namespace
