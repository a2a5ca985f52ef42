// Shifts, reports, cash, copies and text documents of TDriver against the
// register emulator on 127.0.0.1: what the operations answer, what reaches
// the register and its tape, and how they behave when the register or the
// printer fails.

#include "DriverTestHost.h"
#include "support/DriverPackages.h"

#include "EmuCore.h"
#include "Emulator.h"
#include "FiscalStorage.h"
#include "Tape.h"

#include "common/Common.Log.h"
#include "common/uBase64.h"
#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"

#include <pugixml.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace korv;
using namespace korvtest;

namespace {

std::vector<std::string> AttributeNames(pugi::xml_node ANode) {
    std::vector<std::string> Names;
    for (pugi::xml_attribute A : ANode.attributes())
        Names.push_back(A.name());
    return Names;
}

std::vector<std::string> ChildNames(pugi::xml_node ANode) {
    std::vector<std::string> Names;
    for (pugi::xml_node C : ANode.children())
        Names.push_back(C.name());
    return Names;
}

/// The driver's error code of a call (0: it succeeded).
int CodeOf(const std::function<void()>& ACall) {
    try {
        ACall();
        return 0;
    } catch (const EquException& E) {
        return E.Code;
    } catch (const std::exception&) {
        return 1001;
    }
}

std::u16string MessageOf(const std::function<void()>& ACall) {
    try {
        ACall();
        return {};
    } catch (const std::exception& E) {
        return ExceptionMessage(E);
    }
}

class ShiftsOnEmulator : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogMode(0);
        emu::Options Options;
        Options.registered = true;
        Emu = std::make_unique<emu::Emulator>(Options);
        std::string Err;
        ASSERT_TRUE(Emu->StartTcp(0, &Err)) << Err;
        Connect(u"");
    }
    void TearDown() override {
        Driver.DisconnectEquipment(ID);
        Emu->Stop();
    }

    void Connect(std::u16string_view AExtra) {
        if (!ID.empty())
            Driver.DisconnectEquipment(ID);
        Driver.ConnectEquipment(Xml(u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
                                    u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>"
                                    u"<Parameter Name=\"IPPort\" Value=\"" +
                                    IntToU16(Emu->TcpPort()) +
                                    u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/>"
                                    u"<Parameter Name=\"CutString\" Value=\"[cut]\"/>" +
                                    std::u16string(AExtra) + u"</Parameters>"));
        ID = Driver.DeviceID();
        Driver.SelectDevice(ID);
    }

    std::string Control(const std::string& ALine) {
        std::string Answer = Emu->Control(ALine);
        EXPECT_EQ(Answer.rfind("OK", 0), 0u) << ALine << ": " << Answer;
        return Answer;
    }
    emu::Register& Reg() { return Emu->Reg(); }
    int PrintMode() {
        std::lock_guard Lock(Reg().Mutex());
        return static_cast<int>(Reg().Tables().GetInt(17, 1, 7));
    }
    std::uint32_t LastDocument() {
        std::lock_guard Lock(Reg().Mutex());
        return Reg().Fn()->LastDocNumber();
    }
    std::string TapeText() {
        std::lock_guard Lock(Reg().Mutex());
        return Reg().Paper().ToText();
    }
    std::size_t LogSize() { return Reg().Log().size(); }
    /// The commands the register received since the log had ASince entries.
    std::vector<emu::LogEntry> LogSince(std::size_t ASince) {
        std::vector<emu::LogEntry> Log = Reg().Log();
        return std::vector<emu::LogEntry>(Log.begin() + static_cast<std::ptrdiff_t>(ASince),
                                          Log.end());
    }

    void OpenShift(std::u16string_view AAttributes = u"") {
        pugi::xml_document Out;
        Driver.OpenShift(Input(AAttributes), Out);
    }
    pugi::xml_document Status() {
        pugi::xml_document Out;
        Driver.GetCurrentStatus(Input(), Out);
        return Out;
    }
    std::string ShiftState() {
        return Status()
            .child("OutputParameters")
            .child("Parameters")
            .attribute("ShiftState")
            .value();
    }

    std::unique_ptr<emu::Emulator> Emu;
    TDriver Driver;
    std::u16string ID;
};

TEST_F(ShiftsOnEmulator, EachOperationWritesItsFieldsInTheirOrder) {
    struct TCase {
        const char* Name;
        std::function<void(TDriver&, pugi::xml_document&)> Call;
        std::vector<std::string> Attributes;
        std::vector<std::string> Children;
        const char* ShiftState;
    };
    const std::vector<std::string> Counters = {"CountersOperationType1", "CountersOperationType2",
                                               "CountersOperationType3", "CountersOperationType4"};
    const std::vector<TCase> Cases = {
        {"OpenShift",
         [](TDriver& D, pugi::xml_document& O) { D.OpenShift(Input(), O); },
         {"FNError", "FNFail", "FNOverflow", "FNValidityDate", "ShiftNumber", "DateTime",
          "ShiftState"},
         {},
         "2"},
        {"ReportCurrentStatusOfSettlements",
         [](TDriver& D, pugi::xml_document& O) { D.ReportCurrentStatusOfSettlements(Input(), O); },
         {"CashBalance", "ShiftState", "BacklogDocumentsCounter", "BacklogDocumentFirstNumber",
          "BacklogDocumentFirstDateTime"},
         Counters,
         "2"},
        {"CloseShift",
         [](TDriver& D, pugi::xml_document& O) { D.CloseShift(Input(), O); },
         {"FNError", "FNFail", "FNOverflow", "FNValidityDate", "CashBalance", "ShiftNumber",
          "DateTime", "ShiftState", "BacklogDocumentsCounter", "BacklogDocumentFirstNumber",
          "BacklogDocumentFirstDateTime"},
         Counters,
         "1"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::uint32_t Before = LastDocument();
        pugi::xml_document Out;
        C.Call(Driver, Out);
        EXPECT_EQ(LastDocument(), Before + 1); // one FN document each
        pugi::xml_node P = Out.child("OutputParameters").child("Parameters");
        EXPECT_EQ(AttributeNames(P), C.Attributes);
        EXPECT_EQ(ChildNames(P), C.Children);
        EXPECT_FALSE(Out.child("OutputParameters").child("Payments"));
        EXPECT_STREQ(P.attribute("ShiftState").value(), C.ShiftState);
        if (P.attribute("ShiftNumber")) {
            EXPECT_STREQ(P.attribute("ShiftNumber").value(), "2");
        }
        if (P.attribute("FNError")) {
            EXPECT_STREQ(P.attribute("FNError").value(), "false");
        }
    }
    // The shift had no sales, and the counters say so.
    pugi::xml_document Out;
    Driver.GetCurrentStatus(Input(u"GetCounters=\"true\""), Out);
    EXPECT_STREQ(Out.child("OutputParameters")
                     .child("Parameters")
                     .child("CountersOperationType1")
                     .attribute("CheckCount")
                     .value(),
                 "0");
    const std::string Tape = TapeText();
    for (const char* Title : {"ОТЧЕТ ОБ ОТКРЫТИИ СМЕНЫ", "ОТЧЕТ О ТЕКУЩЕМ СОСТОЯНИИ РАСЧЕТОВ",
                              "ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ"})
        EXPECT_NE(Tape.find(Title), std::string::npos) << Title;
}

TEST_F(ShiftsOnEmulator, CashierGoesToTheFNInTheOemCodePageAndItsINNIsChecked) {
    const std::size_t Mark = LogSize();
    OpenShift(u"CashierName=\"Смирнова Е.В.\" CashierINN=\"771234567890\"");
    std::vector<std::string> Tags;
    for (const emu::LogEntry& E : LogSince(Mark))
        if (E.code == 0xFF0C)
            Tags.push_back(E.request.substr(6)); // code, password
    const std::string Name = U16ToOem(u"Смирнова Е.В.");
    ASSERT_EQ(Tags.size(), 2u);
    EXPECT_EQ(Tags[0], std::string("\xFD\x03", 2) + char(Name.size()) + '\0' + Name);
    EXPECT_EQ(Tags[1], std::string("\xB3\x04\x0C\x00", 4) + "771234567890");

    // An INN of 11 characters is refused before anything is sent; an empty
    // one is not written at all.
    const std::size_t Refused = LogSize();
    pugi::xml_document Out;
    EXPECT_EQ(CodeOf([&] { Driver.CloseShift(Input(u"CashierINN=\"77123456789\""), Out); }), 3026);
    for (const emu::LogEntry& E : LogSince(Refused))
        EXPECT_NE(E.code, 0x41);
    const std::size_t Closing = LogSize();
    pugi::xml_document Closed;
    Driver.CloseShift(Input(u"CashierName=\"Смирнова Е.В.\" CashierINN=\"  \""), Closed);
    int NameTags = 0, InnTags = 0;
    for (const emu::LogEntry& E : LogSince(Closing)) {
        if (E.code != 0xFF0C)
            continue;
        NameTags += E.request.compare(6, 2, "\xFD\x03") == 0;
        InnTags += E.request.compare(6, 2, "\xB3\x04") == 0;
    }
    EXPECT_EQ(NameTags, 1);
    EXPECT_EQ(InnTags, 0);
}

TEST_F(ShiftsOnEmulator, ShiftStateRules) {
    pugi::xml_document Out;
    // Closed: closing fails, opening works.
    EXPECT_EQ(ShiftState(), "1");
    EXPECT_EQ(CodeOf([&] { Driver.CloseShift(Input(), Out); }), 3005);
    OpenShift();
    EXPECT_EQ(ShiftState(), "2");
    EXPECT_EQ(Driver.GetShiftState(), 1);
    // Open: opening again fails.
    EXPECT_EQ(CodeOf([&] { OpenShift(); }), 3015);
    // Over 24 hours: every output says 3, opening fails with 3002, closing works.
    Control("CLOCK ADD 90000");
    EXPECT_EQ(ShiftState(), "3");
    EXPECT_EQ(Driver.GetShiftState(), 2);
    EXPECT_EQ(CodeOf([&] { OpenShift(); }), 3002);
    const std::uint32_t BeforeSale = LastDocument();
    EXPECT_EQ(CodeOf([&] {
                  Driver.ProcessCheck(
                      false,
                      Xml(u"<CheckPackage><Parameters CashierName=\"Иванов\" "
                          u"OperationType=\"1\" TaxationSystem=\"0\"/><Positions><FiscalString "
                          u"Name=\"Чай\" Quantity=\"1\" PriceWithDiscount=\"10\" "
                          u"AmountWithDiscount=\"10\" VATRate=\"20\" VATAmount=\"0\"/>"
                          u"</Positions><Payments Cash=\"10\"/></CheckPackage>"),
                      Out, false);
              }),
              3002);
    EXPECT_EQ(LastDocument(), BeforeSale);
    pugi::xml_document Settlements;
    Driver.ReportCurrentStatusOfSettlements(Input(), Settlements);
    EXPECT_STREQ(
        Settlements.child("OutputParameters").child("Parameters").attribute("ShiftState").value(),
        "3");
    const std::uint32_t Before = LastDocument();
    pugi::xml_document Closed;
    Driver.CloseShift(Input(), Closed);
    EXPECT_EQ(LastDocument(), Before + 1);
    EXPECT_STREQ(
        Closed.child("OutputParameters").child("Parameters").attribute("ShiftState").value(), "1");
}

TEST_F(ShiftsOnEmulator, PrintModeOfTheOperationIsPutBackAlsoOnFailure) {
    OpenShift();
    Control("SETCASHREG 241 100000");
    struct TCase {
        const char* Name;
        std::uint16_t Command; // the register refuses it
        std::function<void(TDriver&)> Call;
    };
    const auto NoPrint = Input(u"PrintRequired=\"false\"");
    const std::vector<TCase> Cases = {
        {"PrintXReport", 0x40, [&](TDriver& D) { D.PrintXReport(NoPrint); }},
        {"ReportCurrentStatusOfSettlements", 0xFF38,
         [&](TDriver& D) {
             pugi::xml_document O;
             D.ReportCurrentStatusOfSettlements(NoPrint, O);
         }},
        {"CashIn", 0x50, [&](TDriver& D) { D.CashInOutcome(NoPrint, 150000); }},
        {"CashOut", 0x51, [&](TDriver& D) { D.CashInOutcome(NoPrint, -150000); }},
        {"CloseShift", 0x41,
         [&](TDriver& D) {
             pugi::xml_document O;
             D.CloseShift(NoPrint, O);
         }},
    };
    ASSERT_EQ(PrintMode(), 0);
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        char Fault[64];
        std::snprintf(Fault, sizeof Fault, "FAULT RESULT %X 115", C.Command);
        Control(Fault);
        const std::size_t Mark = LogSize();
        EXPECT_NE(CodeOf([&] { C.Call(Driver); }), 0);
        EXPECT_EQ(PrintMode(), 0);
        // The refused command was sent while documents were not printed.
        int ModeAtCommand = -1, Mode = -1;
        for (const emu::LogEntry& E : LogSince(Mark)) {
            if (E.code == 0x1E && E.request.compare(5, 4, std::string("\x11\x01\x00\x07", 4)) == 0)
                Mode = static_cast<unsigned char>(E.request.back());
            if (E.code == C.Command)
                ModeAtCommand = Mode;
        }
        EXPECT_EQ(ModeAtCommand, 2);
        // The same call without the fault works and leaves the mode as well.
        EXPECT_EQ(CodeOf([&] { C.Call(Driver); }), 0);
        EXPECT_EQ(PrintMode(), 0);
    }
}

TEST_F(ShiftsOnEmulator, PaperRunningOutInTheMiddleOfAReportIsWaitedFor) {
    // The roll ends four lines into the report; a new one is in after two
    // state requests (already when the driver first looks again) or three
    // (while it waits for it).
    for (const char* Back : {"2", "3"}) {
        SCOPED_TRACE(Back);
        OpenShift();
        const std::size_t TapeBefore = TapeText().size();
        Control(std::string("PRINTER PAPEROUT 4 BACK ") + Back);
        const std::uint32_t Before = LastDocument();
        const std::size_t Mark = LogSize();
        pugi::xml_document Out;
        Driver.CloseShift(Input(), Out);
        EXPECT_EQ(LastDocument(), Before + 1);
        const std::string Tape = TapeText().substr(TapeBefore);
        // The whole report is on paper, its end after the new roll, then the cut.
        const std::size_t Title = Tape.find("ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ");
        const std::size_t End = Tape.find("НЕПЕРЕДАННЫХ ФД");
        const std::size_t Cut = Tape.rfind("cut");
        EXPECT_NE(Title, std::string::npos);
        EXPECT_NE(End, std::string::npos);
        EXPECT_NE(Cut, std::string::npos);
        EXPECT_LT(End, Cut);
        int Resumes = 0;
        for (const emu::LogEntry& E : LogSince(Mark))
            Resumes += E.code == 0xB0 && E.result == 0;
        EXPECT_EQ(Resumes, 1);
        EXPECT_STREQ(
            Out.child("OutputParameters").child("Parameters").attribute("ShiftState").value(), "1");
    }
}

// The short state read at the start of an operation spares the later state
// queries only while the printer stands idle: one still printing is waited for
// before the document, whatever the operation.
TEST_F(ShiftsOnEmulator, BusyPrinterIsWaitedForBeforeTheDocument) {
    const std::u16string Sale =
        u"<CheckPackage><Parameters CashierName=\"Иванов\" OperationType=\"1\" "
        u"TaxationSystem=\"0\"/><Positions><FiscalString Name=\"Чай\" Quantity=\"1\" "
        u"PriceWithDiscount=\"10\" AmountWithDiscount=\"10\" VATRate=\"20\" VATAmount=\"0\" "
        u"CalculationSubject=\"1\" PaymentMethod=\"4\" Department=\"1\"/></Positions>"
        u"<Payments Cash=\"10\"/></CheckPackage>";
    struct TCase {
        const char* Name;
        std::uint16_t Document;
        std::function<void()> Call;
        const char* Tape; // on the paper after the call
    };
    pugi::xml_document Out;
    const TCase Cases[] = {
        {"PrintXReport", 0x40, [&] { Driver.PrintXReport(Input()); }, "ОТЧЕТ БЕЗ ГАШЕНИЯ"},
        {"OpenShift", 0xE0, [&] { Driver.OpenShift(Input(), Out); }, "ОТЧЕТ ОБ ОТКРЫТИИ СМЕНЫ"},
        {"sale", 0x8D, [&] { Driver.ProcessCheck(false, Xml(Sale), Out, false); }, "Чай"},
        {"CashIn", 0x50, [&] { Driver.CashInOutcome(Input(), 100000); }, "ВНЕСЕНИЕ"},
        {"CloseShift", 0x41, [&] { Driver.CloseShift(Input(), Out); }, "ОТЧЕТ О ЗАКРЫТИИ СМЕНЫ"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::size_t TapeBefore = TapeText().size();
        Control("PRINTER BUSY 300");
        const std::size_t Mark = LogSize();
        C.Call();
        bool SawBusy = false, DocumentAfterIdle = false;
        int LastSubmode = -1;
        for (const emu::LogEntry& E : LogSince(Mark)) {
            if (E.code == 0x10 && E.answer.size() > 6) {
                LastSubmode = static_cast<unsigned char>(E.answer[6]);
                SawBusy = SawBusy || LastSubmode >= 4;
            }
            if (E.code == C.Document)
                DocumentAfterIdle = LastSubmode >= 0 && LastSubmode < 4;
        }
        EXPECT_TRUE(SawBusy);
        EXPECT_TRUE(DocumentAfterIdle);
        EXPECT_NE(TapeText().substr(TapeBefore).find(C.Tape), std::string::npos);
    }
}

TEST_F(ShiftsOnEmulator, ADocumentMadeDespiteALostAnswerIsNotRepeated) {
    OpenShift();
    struct TCase {
        const char* Name;
        const char* Fault;
        std::function<void(TDriver&)> Call;
        std::function<std::int64_t(emu::Register&)> Count;
    };
    const std::vector<TCase> Cases = {
        {"CashIn", "FAULT CLOSE BEFORE 50", [](TDriver& D) { D.CashInOutcome(Input(), 250000); },
         [](emu::Register& R) { return R.OperReg(153); }},
        {"CashOut", "FAULT CLOSE BEFORE 51", [](TDriver& D) { D.CashInOutcome(Input(), -100000); },
         [](emu::Register& R) { return R.OperReg(154); }},
        {"CloseShift", "FAULT CLOSE BEFORE 41",
         [](TDriver& D) {
             pugi::xml_document O;
             D.CloseShift(Input(), O);
             EXPECT_STREQ(
                 O.child("OutputParameters").child("Parameters").attribute("ShiftState").value(),
                 "1");
         },
         [](emu::Register& R) { return static_cast<std::int64_t>(R.Fn()->LastDocNumber()); }},
        {"OpenShift", "FAULT CLOSE BEFORE E0",
         [](TDriver& D) {
             pugi::xml_document O;
             D.OpenShift(Input(), O);
         },
         [](emu::Register& R) { return static_cast<std::int64_t>(R.Fn()->LastDocNumber()); }},
        // The answer arrives, then the link drops while the document is printed.
        {"CashIn, link lost after the answer", "FAULT CLOSE AFTER 50",
         [](TDriver& D) { D.CashInOutcome(Input(), 50000); },
         [](emu::Register& R) { return R.OperReg(153); }},
        {"CloseShift, link lost after the answer", "FAULT CLOSE AFTER 41",
         [](TDriver& D) {
             pugi::xml_document O;
             D.CloseShift(Input(), O);
         },
         [](emu::Register& R) { return static_cast<std::int64_t>(R.Fn()->LastDocNumber()); }},
        {"OpenShift, link lost after the answer", "FAULT CLOSE AFTER E0",
         [](TDriver& D) {
             pugi::xml_document O;
             D.OpenShift(Input(), O);
         },
         [](emu::Register& R) { return static_cast<std::int64_t>(R.Fn()->LastDocNumber()); }},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::int64_t Before = 0;
        {
            std::lock_guard Lock(Reg().Mutex());
            Before = C.Count(Reg());
        }
        Control(C.Fault);
        EXPECT_EQ(CodeOf([&] { C.Call(Driver); }), 0);
        std::lock_guard Lock(Reg().Mutex());
        EXPECT_EQ(C.Count(Reg()), Before + 1);
    }
    // A refusal of the register is still a failure.
    pugi::xml_document Closed;
    Driver.CloseShift(Input(), Closed);
    Control("FAULT RESULT E0 22");
    EXPECT_EQ(CodeOf([&] { OpenShift(); }), 1001);
    EXPECT_EQ(ShiftState(), "1");
}

TEST_F(ShiftsOnEmulator, CopyOfTheLastDocument) {
    OpenShift();
    Driver.CashInOutcome(Input(), 1000000);
    const std::u16string Last = IntToU16(LastDocument());
    struct TCase {
        std::u16string Number;
        bool Prints;
    };
    const std::vector<TCase> Cases = {
        {u"0", true},
        {Last, true},
        {u" " + Last + u" ", true},
        {u"5", false},
        {IntToU16(LastDocument() + 1), false},
        {u"abc", false},
        {u"-1", false},
        {u"", false},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(U16ToUtf8(C.Number));
        const std::size_t Mark = LogSize();
        const std::u16string Message = MessageOf([&] { Driver.PrintCheckCopy(C.Number); });
        bool Sent = false;
        for (const emu::LogEntry& E : LogSince(Mark))
            Sent = Sent || E.code == 0x8C;
        EXPECT_EQ(Sent, C.Prints);
        EXPECT_EQ(Message,
                  C.Prints ? u"" : u"Печать по номеру документа не поддерживается устройством");
    }
    EXPECT_NE(TapeText().find("КОПИЯ"), std::string::npos);
}

TEST_F(ShiftsOnEmulator, TextDocumentWithLinesCutsBarcodesAndQRCodes) {
    {
        std::lock_guard Lock(Reg().Mutex());
        Reg().Tables().SetInt(17, 1, 7, 2); // the register is set not to print
    }
    Connect(u"");
    ASSERT_EQ(PrintMode(), 2);
    const std::string Qr = "https://example.org/slip?n=42&t=" + std::string(80, 'x');
    std::string Wrapped = Base64Encode(Qr);
    for (std::size_t I = 76; I < Wrapped.size(); I += 78)
        Wrapped.insert(I, "\r\n");
    const std::size_t Mark = LogSize();
    Driver.PrintTextDocument(
        Xml(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Document NoCut=\"false\" Extra=\"1\">\n"
            u"\t<Positions>\n"
            u"\t\t<TextString Text=\"Квитанция к заказу 42\" Unknown=\"x\"/>\n"
            u"\t\t<textstring Text=\"--[CUT]--\"/>\n"
            u"\t\t<TextString Text=\"[gt1] only an opening tag\"/>\n"
            u"\t\t<TextString Text=\"[/gt2] closing first [gt2]\"/>\n"
            u"\t\t<Barcode Type=\"EAN13\" Value=\"4600000000008\"/>\n"
            u"\t\t<Barcode Type=\"qr\" Value=\"\" ValueBase64=\"" +
            Utf8ToU16(Wrapped) +
            u"\"/>\n"
            u"\t\t<Barcode Type=\"CODE128\" Value=\"12345\"/>\n"
            u"\t\t<Picture Data=\"ignored\"/>\n"
            u"\t</Positions>\n</Document>"));
    // Printed although the register was set not to print; the mode put back.
    EXPECT_EQ(PrintMode(), 2);
    const std::string Tape = TapeText();
    for (const std::string& Line :
         {std::string("Квитанция к заказу 42"), std::string("[gt1] only an opening tag"),
          std::string("[/gt2] closing first [gt2]"), std::string("[EAN-13 4600000000008]"),
          "[QR " + Qr + "]"})
        EXPECT_NE(Tape.find(Line), std::string::npos) << Line;
    EXPECT_EQ(Tape.find("CUT]"), std::string::npos);
    int Cuts = 0;
    for (const emu::LogEntry& E : LogSince(Mark))
        Cuts += E.code == 0x25;
    EXPECT_EQ(Cuts, 2); // the marker's and the final one

    // NoCut: the marker still cuts, the end does not.
    const std::size_t NoCutMark = LogSize();
    Driver.PrintTextDocument(Xml(u"<Document NoCut=\"TRUE\"><Positions><TextString Text=\"a\"/>"
                                 u"<TextString Text=\"[cut]\"/><TextString Text=\"b\"/>"
                                 u"</Positions></Document>"));
    Cuts = 0;
    for (const emu::LogEntry& E : LogSince(NoCutMark))
        Cuts += E.code == 0x25;
    EXPECT_EQ(Cuts, 1);
}

TEST_F(ShiftsOnEmulator, TextDocumentFailuresKeepWhatWasPrintedAndThePrintMode) {
    struct TCase {
        const char16_t* Document;
        int Code;
        const char* PrintedBefore;
    };
    const std::vector<TCase> Cases = {
        {u"<Document><Positions><TextString Text=\"before ean8\"/>"
         u"<Barcode Type=\"EAN8\" Value=\"1234567\"/><TextString Text=\"never\"/>"
         u"</Positions></Document>",
         1003, "before ean8"},
        {u"<Document><Positions><TextString Text=\"before code39\"/>"
         u"<Barcode Type=\"Code39\" Value=\"AB\"/></Positions></Document>",
         1003, "before code39"},
        {u"<Document><Lines/></Document>", 1004, nullptr},
        {u"<Other><Positions/></Other>", 1004, nullptr},
        {u"<Document><Positions><Barcode Type=\"QR\" ValueBase64=\"*not base64*\"/></Positions>"
         u"</Document>",
         1004, nullptr},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(U16ToUtf8(C.Document));
        EXPECT_EQ(CodeOf([&] { Driver.PrintTextDocument(Xml(C.Document)); }), C.Code);
        EXPECT_EQ(PrintMode(), 0);
        if (C.PrintedBefore) {
            EXPECT_NE(TapeText().find(C.PrintedBefore), std::string::npos);
        }
    }
    EXPECT_EQ(TapeText().find("never"), std::string::npos);
}

TEST_F(ShiftsOnEmulator, GraphicTextPresetsAndMarkup) {
    Connect(u"<Parameter Name=\"GTFontName2\" Value=\"Arial\"/>"
            u"<Parameter Name=\"GTFontSize2\" Value=\"18\"/>"
            u"<Parameter Name=\"GTIsBold2\" Value=\"true\"/>"
            u"<Parameter Name=\"GTIsUnderline2\" Value=\"true\"/>"
            u"<Parameter Name=\"GTIsBold5\" Value=\"true\"/>"
            u"<Parameter Name=\"GTIsItalic5\" Value=\"true\"/>"
            u"<Parameter Name=\"GTIsStrikeout5\" Value=\"true\"/>"
            u"<Parameter Name=\"GTIsUnderline5\" Value=\"true\"/>");
    std::u16string Name, Style;
    int Size = 0;
    Driver.GraphicTextSettings(2, Name, Size, Style);
    EXPECT_EQ(Name, u"Arial");
    EXPECT_EQ(Size, 18);
    EXPECT_EQ(Style, u"bold underline");
    Driver.GraphicTextSettings(5, Name, Size, Style);
    EXPECT_EQ(Style, u"bold italic strikeout underline");
    Driver.GraphicTextSettings(1, Name, Size, Style);
    EXPECT_EQ(Style, u"");

    // Markup in any case, with extra slashes or another closing digit, draws
    // the text between the tags with the opening tag's preset; the rest of
    // the line is left out. A GraphicText position is drawn as well.
    const std::size_t Before = TapeText().size();
    Driver.PrintTextDocument(
        Xml(u"<Document><Positions>"
            u"<TextString Text=\"left [gt2]Итого[/gt2] right\"/>"
            u"<TextString Text=\"[GT2]Итого[//gt5]\"/>"
            u"<GraphicText Text=\"Спасибо\" FontName=\"Times New Roman\" FontSize=\"x\" "
            u"FontStyle=\"italic\"/>"
            u"</Positions></Document>"));
    const std::string Tape = TapeText().substr(Before);
    int Pictures = 0;
    for (std::size_t At = Tape.find("[graphic "); At != std::string::npos;
         At = Tape.find("[graphic ", At + 1))
        ++Pictures;
    EXPECT_EQ(Pictures, 3) << Tape;
    EXPECT_EQ(Tape.find("left"), std::string::npos);
    EXPECT_EQ(Tape.find("right"), std::string::npos);
    EXPECT_EQ(Tape.find("gt"), std::string::npos);

    // Lines without a complete markup, or with the closing tag first, are not graphic text.
    for (std::u16string_view Plain : {u"Total", u"[gt2]Total", u"Total[/gt2]", u"[/gt2]Total[gt2]",
                                      u"[gt6]Total[/gt6]", u"[gt2]Total[\\gt2]"})
        EXPECT_FALSE(Driver.PrintGraphicTextMarkup(Plain)) << U16ToUtf8(Plain);
}

} // namespace
