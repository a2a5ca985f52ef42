// ConnectEquipment against the register emulator: the format version it
// learns for every format the FN can be registered in, what it costs on the
// wire, document reads after one that was broken off, and what a register on
// TCP and on a serial line alike gives: a silent one, the configured line length.

#include "EmulatedRegister.h"

#include "support/LinkPeers.h"

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"
#include "driver/uDeviceDriver.h"

#include <set>
#include <sstream>
#include <utility>

using namespace korv;
using namespace korvtest;

namespace {

struct TConnectCase {
    const char* Name;
    int Ffd;                    // the FN's format (105, 110, 120)
    bool Registered;            // false: an FN fresh from the factory
    int TableFfd;               // table 17, field 17 after registration (-1: left alone)
    TFFDVersion Expect;         // what the connection learns
    const char16_t* Kkt;        // FFDVersionKKT of GetDataKKT (nullptr: not fiscal)
    std::uint32_t HalfRead = 0; // a document left half read before (0: none)
};

/// Starts reading document ANumber and stops after two items, as a link
/// lost in the middle of a read leaves the FN.
void LeaveHalfRead(TEmulatedRegister& ARegister, std::uint32_t ANumber) {
    std::string Number;
    emu::PutLE(Number, ANumber, 4);
    ASSERT_EQ(ARegister.Cmd(0xFF3A, Number).first, 0);
    for (int I = 0; I < 2; ++I)
        ASSERT_EQ(ARegister.Cmd(0xFF3B).first, 0);
}

// The commands of a connection that do not depend on the document: the line
// length, the KT setting written, print mode, auto cut, the short state, the
// registration query, the document request and the empty block that ends it.
constexpr std::size_t KFixedCommands = 8;

class ConnectOnEmulator : public ::testing::TestWithParam<TConnectCase> {
protected:
    void SetUp() override { SetLogMode(0); }
};

TEST_P(ConnectOnEmulator, LearnsTheFormatReadingTheRegistrationOnce) {
    const TConnectCase& C = GetParam();
    TEmulatedRegister R(C.Ffd, {}, C.Registered);
    std::size_t Items = 0;
    {
        std::lock_guard Lock(R.Emu->Reg().Mutex());
        if (C.TableFfd >= 0)
            R.Emu->Reg().Tables().SetInt(17, 1, 17, C.TableFfd);
        if (C.Registered) {
            const emu::FiscalStorage& Fn = *R.Emu->Reg().Fn();
            Items = TlvList(Fn.Document(Fn.Registration().docNumber)->tlv).size();
            ASSERT_GT(Items, 10u);
        }
    }
    if (C.HalfRead != 0)
        LeaveHalfRead(R, C.HalfRead);
    const std::size_t Before = R.Emu->Reg().Log().size();

    TEmuDriver Driver;
    pugi::xml_document Settings;
    ParseXmlInput(R.Settings(), Settings);
    Driver.ConnectEquipment(Settings);
    const std::vector<emu::LogEntry> Log = R.Emu->Reg().Log();
    const std::vector<emu::LogEntry> Sent(Log.begin() + static_cast<std::ptrdiff_t>(Before),
                                          Log.end());

    TDeviceDriver& Instance = *Driver.Instance();
    EXPECT_EQ(Instance.FFFDVersion, static_cast<int>(C.Expect));
    EXPECT_EQ(Instance.GetDevice().GetFFDVersion(), C.Expect);
    EXPECT_EQ(Instance.FLineLen, 48); // the register's own, from the link's opening

    // One block per item of the registration document and nothing else twice:
    // the document is the only thing worth its commands. (A read left half
    // done costs a state query, its rest and the request again.)
    if (C.HalfRead == 0) {
        EXPECT_LE(Sent.size(), KFixedCommands + Items);
        std::set<std::string> Seen;
        for (const emu::LogEntry& E : Sent) {
            if (E.code != 0xFF3B) {
                EXPECT_TRUE(Seen.insert(E.request).second)
                    << std::hex << E.code << " sent twice with the same data";
            }
        }
    }
    // The document was read to its end: the register takes every command again.
    EXPECT_FALSE(R.Emu->Reg().DataOutput());

    Driver.SelectDevice(Driver.DeviceID());
    pugi::xml_document Data;
    Driver.GetDataKKT(Data);
    const pugi::xml_node Params = Data.child("Parameters");
    EXPECT_STREQ(Params.attribute("Fiscal").value(), C.Kkt ? "true" : "false");
    if (C.Kkt) {
        EXPECT_EQ(XmlToU16(Params.attribute("FFDVersionKKT").value()), C.Kkt);
    }
}

std::string XmlText(const pugi::xml_document& ADoc) {
    std::ostringstream Out;
    ADoc.save(Out);
    return Out.str();
}

// A document read broken off (the link lost in its middle) is not mistaken for
// the next one asked for: the answer is the same as on a register left clean.
TEST(DocumentRead, AReadLeftHalfDoneIsNotTakenForTheNextDocument) {
    SetLogMode(0);
    TEmulatedRegister R(120);
    TEmuDriver Driver;
    pugi::xml_document Settings;
    ParseXmlInput(R.Settings(), Settings);
    Driver.ConnectEquipment(Settings);
    Driver.SelectDevice(Driver.DeviceID());
    const std::uint32_t Shift = R.LastDoc();

    pugi::xml_document Clean;
    Driver.GetDocumentInformation(static_cast<std::int32_t>(Shift), Clean);
    ASSERT_TRUE(Clean.first_child());
    LeaveHalfRead(R, Shift - 1); // the registration before it
    pugi::xml_document After;
    Driver.GetDocumentInformation(static_cast<std::int32_t>(Shift), After);
    EXPECT_EQ(XmlText(After), XmlText(Clean));
    EXPECT_FALSE(R.Emu->Reg().DataOutput());
}

// ---- The same register over TCP and over a serial line ---------------------------------

enum class TLink { Tcp, Serial };

class LinkOnEmulator : public ::testing::TestWithParam<TLink> {
protected:
    void SetUp() override {
        SetLogMode(0);
        if (GetParam() == TLink::Serial) {
            std::string Err;
            ASSERT_TRUE(R.Emu->StartPty((Ports.Dir() / "COM5").string(), &Err)) << Err;
        }
    }

    std::u16string Settings(std::u16string_view AExtra = {}) const {
        if (GetParam() == TLink::Tcp)
            return R.Settings(AExtra);
        return u"<Parameters><Parameter Name=\"PortNumber\" Value=\"5\"/>"
               u"<Parameter Name=\"BaudRate\" Value=\"115200\"/>"
               u"<Parameter Name=\"ConnectPwd\" Value=\"30\"/>" +
               std::u16string(AExtra) + u"</Parameters>";
    }
    /// Where a connection failure says the register is.
    std::u16string Where() const {
        if (GetParam() == TLink::Tcp)
            return u"адрес 127.0.0.1:" + IntToU16(R.Emu->TcpPort());
        return u"порт COM5";
    }
    void Connect(std::u16string_view AExtra = {}) {
        pugi::xml_document Doc;
        ParseXmlInput(Settings(AExtra), Doc);
        Driver.ConnectEquipment(Doc);
        Driver.SelectDevice(Driver.DeviceID());
    }
    std::size_t LogSize() { return R.Emu->Reg().Log().size(); }
    /// How many times the register was asked for its line length since the log had ASince entries.
    int LineLengthReads(std::size_t ASince) {
        const std::vector<emu::LogEntry> Log = R.Emu->Reg().Log();
        int Reads = 0;
        for (std::size_t I = ASince; I < Log.size(); ++I)
            Reads += Log[I].code == 0x1F &&
                     Log[I].request.substr(5) == std::string("\x09\x01\x00\x03", 4);
        return Reads;
    }

    korvtest::TComDir Ports;
    TEmulatedRegister R{120};
    TEmuDriver Driver;
};

// The configured row length holds for every operation, not only for the first
// one after the connection: a TCP link opened again reads the register's own
// width, which must not replace it.
TEST_P(LinkOnEmulator, TheConfiguredLineLengthHoldsForEveryOperation) {
    const std::u16string Line = u"abcdefghijklmnopqrstuvwxyz0123"; // 30 characters
    struct TCase {
        int Setting;         // MaxReceiptRowLength (0: the register's 48)
        const char* Printed; // the line on the tape
    };
    for (const TCase& C : {TCase{20, "abcdefghijklmnopqrst\nuvwxyz0123\n"},
                           TCase{0, "abcdefghijklmnopqrstuvwxyz0123\n"}}) {
        SCOPED_TRACE(C.Setting);
        Connect(u"<Parameter Name=\"MaxReceiptRowLength\" Value=\"" + IntToU16(C.Setting) +
                u"\"/>");
        for (int Round = 0; Round < 2; ++Round) {
            const std::size_t Before = R.TapeText().size();
            pugi::xml_document Doc;
            ParseXmlInput(u"<Document><Positions><TextString Text=\"" + Line +
                              u"\"/></Positions></Document>",
                          Doc);
            Driver.PrintTextDocument(Doc);
            EXPECT_EQ(R.TapeText().substr(Before, std::string(C.Printed).size()), C.Printed)
                << "round " << Round;
        }
        // The width asked for is read from the register once, whatever the link.
        const std::size_t Mark = LogSize();
        std::int32_t Width = 0;
        Driver.GetLineLength(Width);
        EXPECT_EQ(Width, C.Setting > 0 ? C.Setting : 48);
        EXPECT_EQ(LineLengthReads(Mark), 1);
        Driver.DisconnectEquipment(Driver.DeviceID());
    }
}

// A register that does not answer the connection is a connection failure on
// either link: the same code, the fixed text and where and why.
TEST_P(LinkOnEmulator, ASilentRegisterFailsTheConnectionAlike) {
    ASSERT_EQ(R.Control("FAULT SILENCE 1000000").rfind("OK", 0), 0u);
    try {
        Connect();
        ADD_FAILURE() << "connected";
    } catch (const EquException& E) {
        EXPECT_EQ(E.Code, 1011);
        EXPECT_EQ(E.Message(), u"Ошибка соединения с ККТ; " + Where() + u": ККТ не отвечает");
        EXPECT_EQ(E.Fault.Origin, TErrorOrigin::Silent);
    }
    EXPECT_EQ(Driver.InstanceCount(), 0u);
    // Nothing of the failed attempt stands in the way once the register answers.
    ASSERT_EQ(R.Control("FAULT CLEAR").rfind("OK", 0), 0u);
    Connect();
    EXPECT_EQ(Driver.InstanceCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Links, LinkOnEmulator, ::testing::Values(TLink::Tcp, TLink::Serial),
                         [](const ::testing::TestParamInfo<TLink>& AInfo) {
                             return AInfo.param == TLink::Tcp ? "Tcp" : "Serial";
                         });

INSTANTIATE_TEST_SUITE_P(
    Formats, ConnectOnEmulator,
    ::testing::Values(TConnectCase{"FFD105", 105, true, -1, TFFDVersion::ffd105, u"1.0.5"},
                      TConnectCase{"FFD110", 110, true, -1, TFFDVersion::ffd11, u"1.1"},
                      TConnectCase{"FFD120", 120, true, -1, TFFDVersion::ffd12, u"1.2"},
                      // The registration is what counts, not the table changed after it.
                      TConnectCase{"TagOverTable", 105, true, 4, TFFDVersion::ffd105, u"1.0.5"},
                      TConnectCase{"TagOverTable12", 120, true, 2, TFFDVersion::ffd12, u"1.2"},
                      // The rest of another document is not the registration.
                      TConnectCase{"AfterAHalfRead", 105, true, 4, TFFDVersion::ffd105, u"1.0.5",
                                   2},
                      // Without a registration the table tells; 0 there is taken as 1.0.
                      TConnectCase{"Unregistered", 120, false, 3, TFFDVersion::ffd11, nullptr},
                      TConnectCase{"UnregisteredZero", 110, false, 0, TFFDVersion::ffd10, nullptr}),
    [](const ::testing::TestParamInfo<TConnectCase>& AInfo) { return AInfo.param.Name; });

} // namespace
