// The fault matrix: every driver operation that makes a document, run against
// the register emulator with one fault injected on each command it sends
// (the link dropped before and after the answer, a corrupted answer, silence),
// with the power lost just before and just after the document's commit, and
// with the paper running out in the middle of the document.
//
// Each run must end either in success with exactly one new document, or in
// failure with no new document and nothing left open; after a failure the
// same call is made again without the fault and must make exactly one
// document. Anything else is counted as lost or duplicated. An X report or a
// text document, which the register does not count, cannot be judged after a
// failure: when the retry prints it again, that is shown apart.
//
// A fault on a command code hits the first command of that code the
// operation sends.
//
// korv-faults            the whole matrix, as a table
// korv-faults --quick    a small part of it (the receipt and the Z report)
// korv-faults --op NAME  the rows of one operation

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDeviceLinks.h"
#include "driver/uDriver.h"
#include "driver/uDriverXml.h"
#include "support/DriverPackages.h"
#include "support/TempFolder.h"

#include "EmuCore.h"
#include "Emulator.h"
#include "FiscalStorage.h"
#include "Tape.h"
#include "Tlv.h"

#include <pugixml.hpp>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace korv;
using namespace korvtest;

/// A TCP register whose pauses between printer polls are short: a paper-out
/// that never ends gives up at once.
class TQuickSocketDevice : public TSocketDevice {
protected:
    void Pause(int) override {}
};

class TQuickDriver : public TDriver {
protected:
    std::unique_ptr<TDevice> CreateDevice(bool) override {
        return std::make_unique<TQuickSocketDevice>();
    }
};

/// What every operation of the matrix is given.
pugi::xml_document Cashier() {
    return Input(u"CashierName=\"Иванов\"");
}

/// The one item of the matrix's receipts.
std::string Bread() {
    return Item("Хлеб", "100", "1", "100", "20", "16.67");
}

const char* const KCash = "Cash=\"100\" ElectronicPayment=\"0\"";

const char* const KRegistration =
    "<ParametersFiscal FFDVersion=\"1.2\" INN=\"7701234567\" KKTNumber=\"0000000001012345\" "
    "TaxationSystems=\"0,3\" CompanyName=\"ООО Ромашка\" CashierName=\"Петров\" "
    "CashierINN=\"500100732259\" OFDCompany=\"ОФД\" OFDCompanyINN=\"7704211201\" "
    "IsOnline=\"true\" IsMarking=\"true\" SaleLocation=\"Зал 1\" SaleAddress=\"Москва\"/>";

const char* const KTextMark = "FAULT MATRIX SLIP";

/// How many times AText appears in AIn.
std::int64_t Occurrences(const std::string& AIn, std::string_view AText) {
    std::int64_t N = 0;
    for (std::size_t At = AIn.find(AText); At != std::string::npos;
         At = AIn.find(AText, At + AText.size()))
        ++N;
    return N;
}

/// What makes one operation: its precondition, the call, and the count its
/// document raises.
struct TOperation {
    const char* Name;
    bool Registered;  // false: a fresh FN (registration)
    bool ShiftOpen;   // the shift open before the call
    bool CashInFirst; // cash in the drawer before the call (cash out)
    bool Counted;     // the register counts the document (FN, cash registers): else a print
    std::function<void(TDriver&)> Call;
    std::function<std::int64_t(emu::Register&)> Count;
};

std::int64_t FnDocuments(emu::Register& R) {
    return static_cast<std::int64_t>(R.Fn()->LastDocNumber());
}

const std::vector<TOperation>& Operations() {
    static const std::vector<TOperation> Ops = {
        {"receipt", true, true, false, true,
         [](TDriver& D) {
             pugi::xml_document Out;
             D.ProcessCheck(false, Xml(Package("OperationType=\"1\"", Bread(), KCash)), Out, false);
         },
         FnDocuments},
        {"return", true, true, true, true,
         [](TDriver& D) {
             pugi::xml_document Out;
             D.ProcessCheck(false, Xml(Package("OperationType=\"2\"", Bread(), KCash)), Out, false);
         },
         FnDocuments},
        {"correction", true, true, false, true,
         [](TDriver& D) {
             pugi::xml_document Out;
             D.ProcessCorrectionCheck(
                 false,
                 Xml(U("<CheckCorrectionPackage><Parameters CashierName=\"Иванов\" "
                       "OperationType=\"1\" TaxationSystem=\"0\"><CorrectionData Type=\"1\" "
                       "Description=\"Предписание\" Date=\"2024-03-01T00:00:00\" Number=\"17\"/>"
                       "</Parameters><Positions>" +
                       Bread() + "</Positions><Payments Cash=\"100\"/></CheckCorrectionPackage>")),
                 Out);
         },
         FnDocuments},
        {"cash in", true, true, false, true, [](TDriver& D) { D.CashInOutcome(Cashier(), 150000); },
         [](emu::Register& R) { return R.OperReg(153); }},
        {"cash out", true, true, true, true, [](TDriver& D) { D.CashInOutcome(Cashier(), -10000); },
         [](emu::Register& R) { return R.OperReg(154); }},
        {"open shift", true, false, false, true,
         [](TDriver& D) {
             pugi::xml_document Out;
             D.OpenShift(Cashier(), Out);
         },
         FnDocuments},
        {"Z report", true, true, false, true,
         [](TDriver& D) {
             pugi::xml_document Out;
             D.CloseShift(Cashier(), Out);
         },
         FnDocuments},
        {"X report", true, true, false, false, [](TDriver& D) { D.PrintXReport(Cashier()); },
         [](emu::Register& R) { return Occurrences(R.Paper().ToText(), "ОТЧЕТ БЕЗ ГАШЕНИЯ"); }},
        {"settlements", true, true, false, true,
         [](TDriver& D) {
             pugi::xml_document Out;
             D.ReportCurrentStatusOfSettlements(Cashier(), Out);
         },
         FnDocuments},
        {"text document", true, true, false, false,
         [](TDriver& D) {
             D.PrintTextDocument(Xml(U(std::string("<Document><Positions><TextString Text=\"") +
                                       KTextMark + "\"/></Positions></Document>")));
         },
         [](emu::Register& R) { return Occurrences(R.Paper().ToText(), KTextMark); }},
        {"registration", false, false, false, true,
         [](TDriver& D) { D.OperationFN(1, Xml(U(KRegistration))); }, FnDocuments},
    };
    return Ops;
}

/// The emulated register of one run, served on one TCP port for the whole
/// run: after a power loss it comes back from its state file on that port.
class TRig {
public:
    TRig(const TOperation& AOp, const std::filesystem::path& AState) : FOp(AOp) {
        std::filesystem::remove(AState);
        FOptions.registered = AOp.Registered;
        FOptions.stateFile = AState.string();
        Start(0);
        if (AOp.ShiftOpen && !FEmu->Reg().ShiftIsOpen())
            OpenShift();
        std::string Err;
        if (!FEmu->Reg().SaveState(&Err))
            throw std::runtime_error("state: " + Err);
        FWatcher = std::thread([this] { Watch(); });
    }
    ~TRig() {
        {
            std::lock_guard Lock(FMu);
            FDone = true;
        }
        FCv.notify_all();
        FWatcher.join();
        FEmu->Stop();
    }

    std::uint16_t Port() const { return FPort; }

    std::string Control(const std::string& ALine) {
        std::lock_guard Lock(FEmuMu);
        return FEmu->Control(ALine);
    }
    template <class F> auto Locked(F&& AWork) {
        std::lock_guard Lock(FEmuMu);
        std::lock_guard RegLock(FEmu->Reg().Mutex());
        return AWork(FEmu->Reg());
    }
    std::int64_t Count() {
        return Locked([this](emu::Register& R) { return FOp.Count(R); });
    }
    bool Open() {
        return Locked([](emu::Register& R) { return R.ReceiptType() >= 0; });
    }
    std::vector<std::uint16_t> Codes(std::size_t AFrom) {
        std::lock_guard Lock(FEmuMu);
        std::vector<std::uint16_t> Out;
        const auto Log = FEmu->Reg().Log();
        for (std::size_t I = AFrom; I < Log.size(); ++I)
            Out.push_back(Log[I].code);
        return Out;
    }
    std::size_t LogSize() {
        std::lock_guard Lock(FEmuMu);
        return FEmu->Reg().Log().size();
    }
    /// Waits until a register that lost its power is back.
    bool PowerCycled() {
        std::unique_lock Lock(FMu);
        FCv.wait(Lock, [this] { return !FPowerLost; });
        return FCycled;
    }

private:
    void Start(std::uint16_t APort) {
        auto Emu = std::make_unique<emu::Emulator>(FOptions);
        std::string Err;
        if (!Emu->Load(&Err) || !Emu->StartTcp(APort, &Err))
            throw std::runtime_error("emulator: " + Err);
        Emu->OnPowerLoss([this] {
            {
                std::lock_guard Lock(FMu);
                FPowerLost = true;
            }
            FCv.notify_all();
        });
        FPort = Emu->TcpPort();
        std::lock_guard Lock(FEmuMu);
        FEmu = std::move(Emu);
    }
    /// The power comes back at once: the register restarts from its state file.
    void Watch() {
        std::unique_lock Lock(FMu);
        for (;;) {
            FCv.wait(Lock, [this] { return FDone || FPowerLost; });
            if (FDone)
                return;
            Lock.unlock();
            std::unique_ptr<emu::Emulator> Old;
            {
                std::lock_guard EmuLock(FEmuMu);
                Old = std::move(FEmu);
            }
            Old->Stop();
            Old.reset();
            Start(FPort);
            Lock.lock();
            FPowerLost = false;
            FCycled = true;
            FCv.notify_all();
        }
    }
    std::pair<int, std::string> Cmd(std::uint16_t ACode, std::string_view AData = {}) {
        std::string Msg = emu::Dispatcher::CodeBytes(ACode);
        emu::PutLE(Msg, 30, 4);
        Msg += AData;
        std::lock_guard Lock(FEmu->Reg().Mutex());
        const std::string A = FEmu->Commands().Execute(FEmu->Reg(), Msg);
        const std::size_t Cl = ACode > 0xFF ? 2 : 1;
        if (A.size() <= Cl)
            return {-1, {}};
        return {static_cast<std::uint8_t>(A[Cl]), A.substr(Cl + 1)};
    }
    void OpenShift() {
        if (Cmd(0xFF41).first != 0 || Cmd(0xFF0C, emu::TlvEncode(1021, "Cashier")).first != 0 ||
            Cmd(0xE0).first != 0)
            throw std::runtime_error("the shift does not open");
    }

    const TOperation& FOp;
    emu::Options FOptions;
    std::mutex FEmuMu;
    std::unique_ptr<emu::Emulator> FEmu;
    std::uint16_t FPort = 0;
    std::mutex FMu;
    std::condition_variable FCv;
    bool FPowerLost = false;
    bool FCycled = false;
    bool FDone = false;
    std::thread FWatcher;
};

std::u16string Settings(std::uint16_t APort) {
    return u"<Parameters><Parameter Name=\"PortNumber\" Value=\"9999\"/>"
           u"<Parameter Name=\"IPAddress\" Value=\"127.0.0.1\"/>"
           u"<Parameter Name=\"IPPort\" Value=\"" +
           Utf8ToU16(std::to_string(APort)) +
           u"\"/><Parameter Name=\"ConnectPwd\" Value=\"30\"/></Parameters>";
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

std::string Hex(std::uint16_t ACode) {
    char B[8];
    std::snprintf(B, sizeof B, "%X", ACode);
    return B;
}

/// A command code as the emulator's control words take it: decimal with the
/// suffix d, since a hexadecimal code ending in D (8D, FF4D) would read as
/// decimal.
std::string CodeWord(std::uint16_t ACode) {
    return std::to_string(ACode) + "d";
}

enum class TOutcome {
    Ok,
    FailedRetryOk,
    Lost,
    Duplicated,
    MadeButFailed,
    Reprinted,
    LeftOpen,
    RetryFailed,
    NotHit,
    Setup
};

const char* OutcomeText(TOutcome A) {
    switch (A) {
    case TOutcome::Ok:
        return "ok";
    case TOutcome::FailedRetryOk:
        return "fail+retry";
    case TOutcome::Lost:
        return "LOST";
    case TOutcome::Duplicated:
        return "DUPLICATED";
    case TOutcome::Reprinted:
        return "reprinted";
    case TOutcome::MadeButFailed:
        return "MADE, FAILED";
    case TOutcome::LeftOpen:
        return "LEFT OPEN";
    case TOutcome::RetryFailed:
        return "RETRY FAILED";
    case TOutcome::NotHit:
        return "-";
    case TOutcome::Setup:
        return "SETUP";
    }
    return "?";
}

bool Bad(TOutcome A) {
    return A != TOutcome::Ok && A != TOutcome::FailedRetryOk && A != TOutcome::NotHit &&
           A != TOutcome::Reprinted;
}

struct TRun {
    TOutcome Outcome = TOutcome::Setup;
    std::string Detail;
};

/// One run of AOp with AFault armed (empty: none) before the call.
TRun RunOnce(const TOperation& AOp, const std::vector<std::string>& AFault,
             const std::filesystem::path& AState, std::vector<std::uint16_t>* ACodes = nullptr) {
    TRun R;
    try {
        TRig Rig(AOp, AState);
        TQuickDriver Driver;
        Driver.ConnectEquipment(Xml(Settings(Rig.Port())));
        Driver.SelectDevice(Driver.DeviceID());
        if (AOp.CashInFirst)
            Driver.CashInOutcome(Cashier(), 500000);
        const std::int64_t Before = Rig.Count();
        const std::size_t Mark = Rig.LogSize();
        for (const std::string& Line : AFault) {
            const std::string A = Rig.Control(Line);
            if (A.rfind("OK", 0) != 0)
                throw std::runtime_error(Line + ": " + A);
        }
        const int Code = CodeOf([&] { AOp.Call(Driver); });
        if (ACodes)
            *ACodes = Rig.Codes(Mark);
        const bool Cycled = !AFault.empty() && Rig.PowerCycled();
        Rig.Control("FAULT CLEAR");
        Rig.Control("PAPER IN");
        const std::int64_t Made = Rig.Count() - Before;
        const bool Open = Rig.Open();
        R.Detail = "code " + std::to_string(Code) + ", made " + std::to_string(Made) +
                   (Cycled ? ", power cycled" : "");
        if (Code == 0) {
            R.Outcome = Made == 1   ? TOutcome::Ok
                        : Made == 0 ? TOutcome::Lost
                                    : TOutcome::Duplicated;
            if (R.Outcome == TOutcome::Ok && Open)
                R.Outcome = TOutcome::LeftOpen;
            return R;
        }
        if (Open) {
            R.Outcome = TOutcome::LeftOpen;
            return R;
        }
        // The host tries again once the fault is gone.
        const int Again = CodeOf([&] { AOp.Call(Driver); });
        const std::int64_t Total = Rig.Count() - Before;
        R.Detail += "; retry code " + std::to_string(Again) + ", made " + std::to_string(Total);
        if (Total > 1)
            R.Outcome = TOutcome::Duplicated;
        else if (Made > 0)
            R.Outcome = TOutcome::MadeButFailed; // the host is told of a failure: it repeats
        else if (Again != 0 || Total != 1)
            R.Outcome = Again == 0 ? TOutcome::Lost : TOutcome::RetryFailed;
        else
            R.Outcome = Rig.Open() ? TOutcome::LeftOpen : TOutcome::FailedRetryOk;
        // A print the register does not count (an X report, a text document)
        // cannot be judged after a failure: the host's retry prints it again.
        if (!AOp.Counted &&
            (R.Outcome == TOutcome::Duplicated || R.Outcome == TOutcome::MadeButFailed))
            R.Outcome = TOutcome::Reprinted;
    } catch (const std::exception& E) {
        R.Outcome = TOutcome::Setup;
        R.Detail = E.what();
    }
    return R;
}

struct TFault {
    const char* Name;
    bool PerCommand;
    std::function<std::vector<std::string>(std::uint16_t)> Lines;
};

const std::vector<TFault>& Faults() {
    static const std::vector<TFault> List = {
        {"drop before", true,
         [](std::uint16_t C) {
             return std::vector<std::string>{"FAULT CLOSE BEFORE " + CodeWord(C)};
         }},
        {"drop after", true,
         [](std::uint16_t C) {
             return std::vector<std::string>{"FAULT CLOSE AFTER " + CodeWord(C)};
         }},
        {"corrupt", true,
         [](std::uint16_t C) { return std::vector<std::string>{"FAULT LRC " + CodeWord(C)}; }},
        {"silence", true,
         [](std::uint16_t C) {
             return std::vector<std::string>{"FAULT SILENCE 1 " + CodeWord(C)};
         }},
        {"power before", false,
         [](std::uint16_t) { return std::vector<std::string>{"FAULT POWER BEFORE"}; }},
        {"power after", false,
         [](std::uint16_t) { return std::vector<std::string>{"FAULT POWER AFTER"}; }},
        {"paper back", false,
         [](std::uint16_t) { return std::vector<std::string>{"PRINTER PAPEROUT 2 BACK 2"}; }},
        {"paper gone", false,
         [](std::uint16_t) { return std::vector<std::string>{"PRINTER PAPEROUT 2"}; }},
    };
    return List;
}

} // namespace

int main(int argc, char** argv) {
    bool Quick = false;
    std::string Only;
    for (int I = 1; I < argc; ++I) {
        if (std::strcmp(argv[I], "--quick") == 0)
            Quick = true;
        else if (std::strcmp(argv[I], "--op") == 0 && I + 1 < argc)
            Only = argv[++I];
        else {
            std::fprintf(stderr, "usage: %s [--quick] [--op NAME]\n", argv[0]);
            return 2;
        }
    }
    SetLogMode(0);
    const std::filesystem::path Dir =
        korvtest::TestTempFolder("faults-" + std::to_string(::getpid()));
    const std::filesystem::path State = Dir / "register.state";

    std::map<TOutcome, int> Counts;
    // Per operation and fault: runs that succeeded, that failed cleanly (the
    // retry made the one document), and that lost or doubled a document.
    struct TCell {
        int Ok = 0, Failed = 0, Reprinted = 0, Bad = 0;
    };
    std::map<std::pair<std::string, std::string>, TCell> Grid;
    int Lost = 0, Duplicated = 0, Other = 0;
    std::printf("%-14s %-20s %-8s %s\n", "operation", "fault", "command", "outcome");
    for (const TOperation& Op : Operations()) {
        if (!Only.empty() && Only != Op.Name)
            continue;
        if (Quick && std::string(Op.Name) != "receipt" && std::string(Op.Name) != "Z report")
            continue;
        std::vector<std::uint16_t> Sent;
        const TRun Clean = RunOnce(Op, {}, State, &Sent);
        std::printf("%-14s %-20s %-8s %s (%s)\n", Op.Name, "none", "", OutcomeText(Clean.Outcome),
                    Clean.Detail.c_str());
        ++Counts[Clean.Outcome];
        if (Clean.Outcome != TOutcome::Ok) {
            ++Other;
            continue;
        }
        // Every command the operation sends, once each (a fault hits the first of a code).
        std::vector<std::uint16_t> Codes;
        for (std::uint16_t C : Sent)
            if (std::find(Codes.begin(), Codes.end(), C) == Codes.end())
                Codes.push_back(C);
        for (const TFault& F : Faults()) {
            if (Quick && std::string(F.Name) == "silence")
                continue;
            std::vector<std::uint16_t> Targets =
                F.PerCommand ? Codes : std::vector<std::uint16_t>{0};
            if (Quick && F.PerCommand && Targets.size() > 4)
                Targets.erase(Targets.begin() + 1, Targets.end() - 3);
            for (std::uint16_t C : Targets) {
                const TRun R = RunOnce(Op, F.Lines(C), State);
                ++Counts[R.Outcome];
                TCell& Cell = Grid[{Op.Name, F.Name}];
                (R.Outcome == TOutcome::Ok              ? Cell.Ok
                 : R.Outcome == TOutcome::FailedRetryOk ? Cell.Failed
                 : R.Outcome == TOutcome::Reprinted     ? Cell.Reprinted
                                                        : Cell.Bad)++;
                if (R.Outcome == TOutcome::Lost)
                    ++Lost;
                else if (R.Outcome == TOutcome::Duplicated || R.Outcome == TOutcome::MadeButFailed)
                    ++Duplicated;
                else if (Bad(R.Outcome))
                    ++Other;
                std::printf("%-14s %-20s %-8s %-12s %s\n", Op.Name, F.Name,
                            F.PerCommand ? Hex(C).c_str() : "", OutcomeText(R.Outcome),
                            R.Detail.c_str());
                std::fflush(stdout);
            }
        }
    }
    std::filesystem::remove_all(Dir);
    std::printf("\nok / failed, the retry made it / printed again / lost or doubled\n%-14s", "");
    for (const TFault& F : Faults())
        std::printf(" %-12.12s", F.Name);
    for (const TOperation& Op : Operations()) {
        bool Any = false;
        for (const TFault& F : Faults())
            Any = Any || Grid.count({Op.Name, F.Name});
        if (!Any)
            continue;
        std::printf("\n%-14s", Op.Name);
        for (const TFault& F : Faults()) {
            const TCell C = Grid[{Op.Name, F.Name}];
            const std::string Text = std::to_string(C.Ok) + "/" + std::to_string(C.Failed) + "/" +
                                     std::to_string(C.Reprinted) + "/" + std::to_string(C.Bad);
            std::printf(" %-12s", Text.c_str());
        }
    }
    std::printf("\n\nruns:");
    for (const auto& [O, N] : Counts)
        std::printf(" %s %d,", OutcomeText(O), N);
    std::printf("\nlost %d, duplicated or failed although made %d, other failures %d; "
                "uncounted prints made again by the retry %d\n",
                Lost, Duplicated, Other, Counts[TOutcome::Reprinted]);
    return Lost + Duplicated + Other == 0 ? 0 : 1;
}
