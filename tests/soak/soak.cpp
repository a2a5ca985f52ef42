// The soak: two registers driven at once from two threads, each through an object of its own,
// the library loaded through its exports as the host loads it. Each thread makes OPS operations
// (receipts, a return now and then, a cash-in every tenth, the shift closed and opened again
// every SHIFT receipts), then the archive is read back and every document must be there
// exactly once, of the kind made; each shift's cash-ins are counted once by the register.
// Before and after: the resident size, the open descriptors and the host memory.
//
//   korvander-soak LIBRARY TCP_PORT COM_NUMBER OPS [SHIFT [log]]
//
// The registers are emulators started by the caller: one on 127.0.0.1:TCP_PORT, one on a
// pseudo-terminal that serial port COM_NUMBER is mapped to (KORVANDER_COM_DIR).

#include "HostAbi.h"
#include "HostConnection.h"
#include "HostValue.h"

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>
#include <variant>
#include <vector>

using namespace khost;

namespace {

std::mutex GOutput;

void Say(const std::string& ALine) {
    std::lock_guard<std::mutex> Lock(GOutput);
    std::printf("%s\n", ALine.c_str());
    std::fflush(stdout);
}

// The host's memory manager: every block the add-in takes is counted and kept until it comes
// back; nothing is kept once freed, so a long run costs the host nothing.
class TCountingMemory final : public IMemoryManager {
public:
    bool AllocMemory(void** pMemory, unsigned long ulCountByte) override {
        *pMemory = std::malloc(ulCountByte ? ulCountByte : 1);
        if (*pMemory == nullptr)
            return false;
        ++Allocs;
        Live.insert(*pMemory);
        return true;
    }
    void FreeMemory(void** pMemory) override {
        if (*pMemory == nullptr)
            return;
        if (Live.erase(*pMemory) == 0)
            ++BadFrees;
        else
            std::free(*pMemory);
        ++Frees;
        *pMemory = nullptr;
    }
    std::size_t Allocs = 0;
    std::size_t Frees = 0;
    std::size_t BadFrees = 0;
    std::unordered_set<void*> Live;
};

long ResidentKiB() {
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("VmRSS:", 0) == 0)
            return std::atol(Line.c_str() + 6);
    return -1;
}

int OpenDescriptors() {
    DIR* D = opendir("/proc/self/fd");
    if (D == nullptr)
        return -1;
    int Count = 0;
    while (dirent* E = readdir(D))
        if (E->d_name[0] != '.')
            ++Count;
    closedir(D);
    return Count - 1; // the directory's own
}

struct TOut {};
using TArg = std::variant<std::string, bool, int, double, TOut>;

// The text of attribute ANAME in an XML text, empty when absent.
std::string Attribute(const std::string& AXml, const std::string& AName) {
    const std::string Key = " " + AName + "=\"";
    const auto At = AXml.find(Key);
    if (At == std::string::npos)
        return {};
    const auto From = At + Key.size();
    return AXml.substr(From, AXml.find('"', From) - From);
}

// One register: an object of the add-in with its own memory manager and connection.
class TRegister {
public:
    TRegister(GetClassObjectFn AGet, DestroyObjectFn ADestroy, const std::u16string& AClass,
              std::string AName)
        : Name(std::move(AName)), FDestroy(ADestroy) {
        if (AGet(AClass.c_str(), &FObject) == 0 || FObject == nullptr)
            throw std::runtime_error("GetClassObject gave no object");
        FObject->setMemManager(static_cast<IMemoryManager*>(&Memory));
        FObject->Init(static_cast<IAddInDefBase*>(&FConnection));
    }
    ~TRegister() { Destroy(); }
    void Destroy() {
        if (FObject == nullptr)
            return;
        FObject->Done();
        FDestroy(&FObject);
        FObject = nullptr;
    }

    // Calls method AName with AArgs (the rest empty); the texts of the out parameters land in
    // AOut. False with AError set when the call or its Boolean result failed.
    bool Call(const char16_t* AName, const std::vector<TArg>& AArgs, std::vector<std::string>& AOut,
              std::string& AError) {
        AOut.clear();
        ILanguageExtenderBase* Ext = FObject;
        const long N = Ext->FindMethod(AName);
        const long Count = N < 0 ? -1 : Ext->GetNParams(N);
        if (Count < 0 || Count < static_cast<long>(AArgs.size())) {
            AError = "no method " + ToUtf8(AName) + " of that many parameters";
            return false;
        }
        std::vector<tVariant> Params(static_cast<std::size_t>(Count));
        for (std::size_t I = 0; I < AArgs.size(); ++I) {
            tVariant& P = Params[I];
            if (const auto* S = std::get_if<std::string>(&AArgs[I])) {
                const std::u16string W = FromUtf8(*S);
                void* Block = nullptr;
                Memory.AllocMemory(&Block, static_cast<unsigned long>((W.size() + 1) * 2));
                std::copy(W.c_str(), W.c_str() + W.size() + 1, static_cast<char16_t*>(Block));
                P.vt = VTYPE_PWSTR;
                P.wstrVal.pwstrVal = static_cast<char16_t*>(Block);
                P.wstrVal.wstrLen = static_cast<uint32_t>(W.size());
            } else if (const auto* B = std::get_if<bool>(&AArgs[I])) {
                P.vt = VTYPE_BOOL;
                P.bVal = *B;
            } else if (const auto* V = std::get_if<int>(&AArgs[I])) {
                P.vt = VTYPE_I4;
                P.lVal = *V;
            } else if (const auto* D = std::get_if<double>(&AArgs[I])) {
                P.vt = VTYPE_R8;
                P.dblVal = *D;
            }
        }
        tVariant Ret{};
        const bool Called =
            Ext->CallAsFunc(N, &Ret, Params.empty() ? nullptr : Params.data(), Count);
        const bool Ok = Called && Ret.vt == VTYPE_BOOL && Ret.bVal;
        Release(Ret);
        for (std::size_t I = 0; I < Params.size(); ++I) {
            if (I < AArgs.size() && std::holds_alternative<TOut>(AArgs[I]))
                AOut.push_back(Params[I].vt == VTYPE_PWSTR
                                   ? ToUtf8(std::u16string_view(Params[I].wstrVal.pwstrVal,
                                                                Params[I].wstrVal.wstrLen))
                                   : std::string());
            Release(Params[I]);
        }
        FConnection.TakeNotes();
        FConnection.TakeErrors();
        if (!Ok)
            AError = ToUtf8(AName) + ": " + (Called ? LastError() : "the call failed");
        return Ok;
    }

    TCountingMemory Memory;
    std::string Name;

private:
    void Release(tVariant& V) {
        if ((V.vt == VTYPE_PWSTR || V.vt == VTYPE_PSTR || V.vt == VTYPE_BLOB) &&
            V.strVal.pstrVal != nullptr) {
            void* P = V.strVal.pstrVal;
            Memory.FreeMemory(&P);
        }
        V = tVariant{};
    }
    std::string LastError() {
        ILanguageExtenderBase* Ext = FObject;
        const long N = Ext->FindMethod(u"GetLastError");
        tVariant Ret{};
        tVariant Text{};
        if (N < 0 || !Ext->CallAsFunc(N, &Ret, &Text, 1))
            return "(no GetLastError)";
        std::string Result =
            std::to_string(Ret.lVal) + " " +
            (Text.vt == VTYPE_PWSTR
                 ? ToUtf8(std::u16string_view(Text.wstrVal.pwstrVal, Text.wstrVal.wstrLen))
                 : std::string());
        Release(Ret);
        Release(Text);
        FConnection.TakeNotes();
        FConnection.TakeErrors();
        return Result;
    }

    IComponentBase* FObject = nullptr;
    DestroyObjectFn FDestroy;
    THostConnection FConnection;
};

// With ALog both registers log (to KORVANDER_LOG_DIR): the two threads share the day's file.
std::string Settings(const std::string& AKind, const std::string& AValue, bool ALog) {
    auto P = [](const char* AName, const std::string& V) {
        return std::string("<Parameter Name=\"") + AName + "\" Value=\"" + V + "\"/>";
    };
    if (AKind == "tcp")
        return "<Parameters>" + P("PortNumber", "9999") + P("IPAddress", "127.0.0.1") +
               P("IPPort", AValue) + P("ConnectPwd", "30") +
               P("LogEnabled", ALog ? "true" : "false") + "</Parameters>";
    return "<Parameters>" + P("PortNumber", AValue) + P("BaudRate", "115200") +
           P("ConnectPwd", "30") + P("LogEnabled", ALog ? "true" : "false") + "</Parameters>";
}

const std::string KCashier = "CashierName=\"Soak\" CashierINN=\"771234567890\"";

// The receipt of operation AIndex: one to three items, cash or card, every 25th a return
// paid by card. Every tenth operation is a cash-in instead (see Drive).
std::string Receipt(int AIndex) {
    const bool Return = AIndex % 25 == 24;
    std::string Positions;
    int Cents = 0;
    for (int I = 0; I <= AIndex % 3; ++I) {
        const int Price = 100 + (AIndex * 7 + I * 13) % 900; // kopecks
        Cents += Price;
        const std::string Sum = std::to_string(Price / 100) + "." +
                                std::to_string(Price % 100 / 10) + std::to_string(Price % 10);
        Positions += "<FiscalString Name=\"Item " + std::to_string(I + 1) +
                     "\" Quantity=\"1\" PriceWithDiscount=\"" + Sum + "\" AmountWithDiscount=\"" +
                     Sum + "\" VATRate=\"20\" CalculationSubject=\"1\" PaymentMethod=\"4\"/>";
    }
    const std::string Total = std::to_string(Cents / 100) + "." + std::to_string(Cents % 100 / 10) +
                              std::to_string(Cents % 10);
    const bool Card = Return || AIndex % 2 == 1;
    return "<CheckPackage><Parameters " + KCashier + " OperationType=\"" + (Return ? "2" : "1") +
           "\" TaxationSystem=\"0\"/><Positions>" + Positions + "</Positions><Payments " +
           (Card ? "ElectronicPayment" : "Cash") + "=\"" + Total + "\"/></CheckPackage>";
}

struct TOutcome {
    int Operations = 0;
    int Made = 0;      // documents made: the receipts and the shifts' openings and closings
    int CashIns = 0;   // made, and each counted once by the register
    int Documents = 0; // read back, each of the kind made
    std::string Error;
};

// Makes AOps documents on register AReg, then reads the archive back.
TOutcome Drive(TRegister& AReg, const std::string& ASettings, int AOps, int AShift) {
    TOutcome R;
    std::vector<std::string> Out;
    std::string& Error = R.Error;
    if (!AReg.Call(u"ConnectEquipment", {TOut{}, std::string(), ASettings}, Out, Error))
        return R;
    const std::string Id = Out.at(0);
    const std::string Input = "<InputParameters><Parameters " + KCashier + "/></InputParameters>";
    // The documents made, in order: their kind (2 shift opened, 3 receipt, 5 shift closed).
    std::vector<int> Kinds;
    long First = -1;
    int InShift = 0;
    int CashInsInShift = 0;
    bool Open = false;
    // Closes the shift once the register's count of cash-ins agrees with those made in it.
    const auto CloseShift = [&] {
        if (!AReg.Call(u"GetCurrentStatus",
                       {Id,
                        std::string("<InputParameters><Parameters GetCounters=\"true\"/>"
                                    "</InputParameters>"),
                        TOut{}},
                       Out, Error))
            return false;
        const auto At = Out.at(0).find("<CashIn ");
        const std::string Counted =
            At == std::string::npos ? std::string() : Attribute(Out.at(0).substr(At), "Count");
        if (Counted != std::to_string(CashInsInShift)) {
            Error = "the register counts " + Counted + " cash-ins in the shift, " +
                    std::to_string(CashInsInShift) + " made";
            return false;
        }
        if (!AReg.Call(u"CloseShift", {Id, Input, TOut{}}, Out, Error))
            return false;
        Kinds.push_back(5);
        Open = false;
        return true;
    };
    while (R.Operations < AOps) {
        if (!Open) {
            if (!AReg.Call(u"OpenShift", {Id, Input, TOut{}}, Out, Error))
                return R;
            Kinds.push_back(2);
            Open = true;
            InShift = 0;
            CashInsInShift = 0;
        } else if (R.Operations % 10 == 9) {
            // A cash-in makes no FN document; the register counts it in the shift.
            if (!AReg.Call(u"CashInOutcome", {Id, Input, 100.0}, Out, Error))
                return R;
            ++CashInsInShift;
            ++R.CashIns;
        } else if (InShift == AShift) {
            if (!CloseShift())
                return R;
        } else {
            if (!AReg.Call(u"ProcessCheck", {Id, false, Receipt(R.Operations), TOut{}}, Out, Error))
                return R;
            const long Number = std::atol(Attribute(Out.at(0), "CheckNumber").c_str());
            if (First < 0)
                First = Number - static_cast<long>(Kinds.size());
            if (Number != First + static_cast<long>(Kinds.size())) {
                Error = "receipt numbered " + std::to_string(Number) + ", expected " +
                        std::to_string(First + static_cast<long>(Kinds.size()));
                return R;
            }
            Kinds.push_back(3);
            ++InShift;
        }
        ++R.Operations;
    }
    if (Open && !CloseShift())
        return R;
    R.Made = static_cast<int>(Kinds.size());
    if (First < 0) {
        Error = "no receipt made";
        return R;
    }
    // The archive read back: each document once, of its kind, and nothing after the last.
    for (std::size_t I = 0; I < Kinds.size(); ++I) {
        const long Number = First + static_cast<long>(I);
        if (!AReg.Call(u"GetDocumentInformation", {Id, static_cast<int>(Number), TOut{}}, Out,
                       Error))
            return R;
        const std::string Type = Attribute(Out.at(0), "DocumentType");
        if (Type != std::to_string(Kinds[I])) {
            Error = "document " + std::to_string(Number) + " is of type " + Type + ", made " +
                    std::to_string(Kinds[I]);
            return R;
        }
        ++R.Documents;
    }
    std::string Ignored;
    if (AReg.Call(u"GetDocumentInformation",
                  {Id, static_cast<int>(First + static_cast<long>(Kinds.size())), TOut{}}, Out,
                  Ignored)) {
        Error = "a document after the last one made";
        return R;
    }
    AReg.Call(u"DisconnectEquipment", {Id}, Out, Error);
    return R;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s LIBRARY TCP_PORT COM_NUMBER OPS [SHIFT [log]]\n", argv[0]);
        return 2;
    }
    const int Ops = std::atoi(argv[4]);
    const int Shift = argc > 5 ? std::atoi(argv[5]) : 500;
    const bool Log = argc > 6 && std::string(argv[6]) == "log";
    const int FdsBefore = OpenDescriptors();

    void* Library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (Library == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    auto Names = reinterpret_cast<GetClassNamesFn>(dlsym(Library, "GetClassNames"));
    auto Get = reinterpret_cast<GetClassObjectFn>(dlsym(Library, "GetClassObject"));
    auto Destroy = reinterpret_cast<DestroyObjectFn>(dlsym(Library, "DestroyObject"));
    if (Names == nullptr || Get == nullptr || Destroy == nullptr) {
        std::fprintf(stderr, "the library lacks its exports\n");
        return 1;
    }
    std::u16string Class = Names();
    Class = Class.substr(0, Class.find(u'|'));

    int Failures = 0;
    long RssStart = 0;
    long RssEnd = 0;
    {
        TRegister Tcp(Get, Destroy, Class, "tcp");
        TRegister Pty(Get, Destroy, Class, "pty");
        // The resident size once both are warm: a short run on each first.
        std::string Error;
        for (TRegister* Reg : {&Tcp, &Pty}) {
            const TOutcome W = Drive(*Reg,
                                     Reg == &Tcp ? Settings("tcp", argv[2], Log)
                                                 : Settings("serial", argv[3], Log),
                                     20, Shift);
            if (!W.Error.empty()) {
                Say(Reg->Name + ": warm-up failed: " + W.Error);
                return 1;
            }
        }
        RssStart = ResidentKiB();

        TOutcome Outcomes[2];
        std::thread Threads[2];
        TRegister* Regs[2] = {&Tcp, &Pty};
        const std::string Links[2] = {Settings("tcp", argv[2], Log),
                                      Settings("serial", argv[3], Log)};
        for (int I = 0; I < 2; ++I)
            Threads[I] =
                std::thread([&, I] { Outcomes[I] = Drive(*Regs[I], Links[I], Ops, Shift); });
        for (auto& T : Threads)
            T.join();
        RssEnd = ResidentKiB();

        for (int I = 0; I < 2; ++I) {
            const TOutcome& O = Outcomes[I];
            Say(Regs[I]->Name + ": " + std::to_string(O.Operations) + " operations, " +
                std::to_string(O.Made) + " documents made, " + std::to_string(O.Documents) +
                " read back once each, " + std::to_string(O.CashIns) + " cash-ins counted once" +
                (O.Error.empty() ? "" : ": FAILED: " + O.Error));
            if (!O.Error.empty() || O.Operations != Ops || O.Documents != O.Made)
                ++Failures;
        }
        for (TRegister* Reg : Regs) {
            Reg->Destroy();
            const auto& M = Reg->Memory;
            Say(Reg->Name + ": host memory " + std::to_string(M.Allocs) + " blocks taken, " +
                std::to_string(M.Frees) + " given back, " + std::to_string(M.Live.size()) +
                " left, " + std::to_string(M.BadFrees) + " bad frees");
            if (!M.Live.empty() || M.BadFrees != 0)
                ++Failures;
        }
    }
    dlclose(Library);
    const int FdsAfter = OpenDescriptors();
    Say("resident size: " + std::to_string(RssStart) + " KiB at the start, " +
        std::to_string(RssEnd) + " KiB at the end");
    Say("file descriptors: " + std::to_string(FdsBefore) + " before, " + std::to_string(FdsAfter) +
        " after");
    if (FdsAfter != FdsBefore)
        ++Failures;
        // Flat: the two threads' stacks and arenas, and a few kilobytes per thousand operations,
        // no more. A sanitizer's own memory (quarantine, shadow) only grows: reported there, not
        // judged.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const bool Judged = false;
#else
    // Nor under valgrind, whose tool is preloaded into the process.
    const char* Preload = std::getenv("LD_PRELOAD");
    const bool Judged = Preload == nullptr || std::strstr(Preload, "vgpreload") == nullptr;
#endif
    const long Allowed = 2048 + 8L * Ops / 1000;
    if (Judged && RssEnd - RssStart > Allowed) {
        Say("resident size grew by " + std::to_string(RssEnd - RssStart) + " KiB (allowed " +
            std::to_string(Allowed) + ")");
        ++Failures;
    }
    Say(Failures == 0 ? "soak: clean" : "soak: FAILED");
    return Failures == 0 ? 0 : 1;
}
