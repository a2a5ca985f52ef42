// The object record handed to the host, its entry-point tables, the traced
// method call and the bodies of the library's exports.
//
// The tables are built by hand: plain functions taking the interface pointer
// first, behind as many null destructor slots as the host's compiler puts
// there. That keeps one layout rule for every platform, whatever C++ ABI our
// own compiler uses. No exception leaves an entry point.

#include "addin/v8napi.h"

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"

#include <array>
#include <cstring>

namespace korv {

namespace {

constexpr unsigned short AddInErrorCode = 1006;
constexpr const WCHAR_T* AddInErrorSource = u"Внешняя компонента";
constexpr long E_FAIL_CODE = static_cast<long>(0x80004005UL);

/// The driver object: four words after whichever interface pointer the host
/// called through.
TV8UserObject& Self(void* This) {
    return *static_cast<TV8UserObject* const*>(This)[4];
}

TClassReg* Reg(void* This) {
    return Self(This).ClassReg;
}

/// Reports an error that escaped a call: the host's AddError and the log.
/// The host copies the text during AddError and does not take ownership of
/// it, so the host-memory copy is handed back as soon as AddError returns.
void ReportError(TV8UserObject& D, const std::u16string& Message) noexcept {
    try {
        const std::u16string Local(Message);
        WCHAR_T* Descr = V8HostString(D.V8MM, Message);
        V8AddError(D.V8, AddInErrorCode, AddInErrorSource, Descr ? Descr : Local.c_str(),
                   E_FAIL_CODE);
        if (Descr)
            V8FreeMemory(D.V8MM, reinterpret_cast<void**>(&Descr));
        WriteLog(u"EXCEPTION", Message, TLogLevel::Error);
    } catch (...) {
    }
}

/// Runs Body inside the host-boundary error trap.
template <class F> bool Trapped(void* This, F&& Body) noexcept {
    try {
        return Body();
    } catch (const std::exception& E) {
        ReportError(Self(This), ExceptionMessage(E));
    } catch (...) {
        ReportError(Self(This), u"Unknown error");
    }
    return false;
}

/// Picks this call's log mode from its first parameter: a DeviceID switches
/// logging to the device's flag; anything else writes nothing.
void ChooseLogMode(const V8Variant* Params, long Count) {
    SetLogMode(4);
    if (Count <= 0 || !Params || Params[0].vt == VTYPE_BLOB)
        return;
    const std::u16string First = V8TraceText(&Params[0]);
    if (IsDeviceIDText(First))
        SetLogMode(GetDeviceLogFlag(First) ? 3 : 0);
}

bool TracedCall(void* This, long Meth, V8Variant* RetValue, V8Variant* Params, long Count,
                bool AsFunc) {
    return Trapped(This, [&] {
        TClassReg* R = Reg(This);
        TMethReg* M = R ? R->Method(Meth) : nullptr;
        if (!M)
            return false;
        if (!Params || Count < 0)
            Count = 0;
        ChooseLogMode(Params, Count);
        WriteLog(u"> " + M->MethName, u"Params: " + V8ParamsText(Params, Count), TLogLevel::Debug);
        const bool Result = M->Call(Self(This), RetValue, Params, Count);
        std::u16string After;
        if (AsFunc)
            After = u"Result=" + V8TraceText(RetValue);
        After += u"; Params: " + V8ParamsText(Params, Count);
        WriteLog(u"< " + M->MethName, After, TLogLevel::Debug);
        return Result;
    });
}

bool PropCall(void* This, long Num, V8Variant* Value, bool Get) {
    return Trapped(This, [&] {
        TClassReg* R = Reg(This);
        TPropReg* P = R ? R->Prop(Num) : nullptr;
        if (!P || !P->PropGetSet)
            return false;
        return P->PropGetSet(Self(This), P->PropName, Value, Get);
    });
}

/// A host-memory copy of a name, or null.
const WCHAR_T* HostName(void* This, const std::u16string* Name) {
    try {
        return Name ? V8HostString(Self(This).V8MM, *Name) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

// --- init/done -------------------------------------------------------------

bool KORV_STDCALL EInit(void* This, void* Disp) {
    Self(This).V8 = static_cast<TV8AddInDefBase*>(Disp);
    return Trapped(This, [&] { return Self(This).Init(); });
}

bool KORV_STDCALL ESetMemManager(void* This, void* Mem) {
    Self(This).V8MM = static_cast<TV8MemoryManager*>(Mem);
    return Trapped(This, [&] { return Self(This).SetMemManager(); });
}

long KORV_STDCALL EGetInfo(void* This) {
    try {
        return Self(This).GetInfo();
    } catch (...) {
        return 0;
    }
}

void KORV_STDCALL EDone(void* This) {
    Trapped(This, [&] {
        Self(This).Done();
        return true;
    });
}

// --- language extender -----------------------------------------------------

bool KORV_STDCALL ERegisterExtensionAs(void* This, WCHAR_T** Name) {
    TClassReg* R = Reg(This);
    if (Name)
        *Name = const_cast<WCHAR_T*>(HostName(This, R ? &R->RegisterExtensionAs : nullptr));
    return true;
}

long KORV_STDCALL EGetNProps(void* This) {
    TClassReg* R = Reg(This);
    return R ? R->PropCount() : 0;
}

long KORV_STDCALL EFindProp(void* This, const WCHAR_T* Name) {
    TClassReg* R = Reg(This);
    return R && Name ? R->FindProp(Name) : -1;
}

const WCHAR_T* KORV_STDCALL EGetPropName(void* This, long Num, long Alias) {
    TClassReg* R = Reg(This);
    TPropReg* P = R ? R->Prop(Num) : nullptr;
    return P ? HostName(This, Alias == 0 ? &P->PropName : &P->PropNameLoc) : nullptr;
}

bool KORV_STDCALL EGetPropVal(void* This, long Num, V8Variant* Value) {
    return PropCall(This, Num, Value, true);
}

bool KORV_STDCALL ESetPropVal(void* This, long Num, V8Variant* Value) {
    return PropCall(This, Num, Value, false);
}

bool KORV_STDCALL EIsPropReadable(void* This, long Num) {
    TClassReg* R = Reg(This);
    TPropReg* P = R ? R->Prop(Num) : nullptr;
    return P && P->IsReadable;
}

bool KORV_STDCALL EIsPropWritable(void* This, long Num) {
    TClassReg* R = Reg(This);
    TPropReg* P = R ? R->Prop(Num) : nullptr;
    return P && P->IsWritable;
}

long KORV_STDCALL EGetNMethods(void* This) {
    TClassReg* R = Reg(This);
    return R ? R->MethCount() : 0;
}

long KORV_STDCALL EFindMethod(void* This, const WCHAR_T* Name) {
    TClassReg* R = Reg(This);
    return R && Name ? R->FindMethod(Name) : -1;
}

const WCHAR_T* KORV_STDCALL EGetMethodName(void* This, long Num, long Alias) {
    TClassReg* R = Reg(This);
    TMethReg* M = R ? R->Method(Num) : nullptr;
    return M ? HostName(This, Alias == 0 ? &M->MethName : &M->MethNameLoc) : nullptr;
}

// A method number the host never gave out has no parameters.
long KORV_STDCALL EGetNParams(void* This, long Num) {
    TClassReg* R = Reg(This);
    TMethReg* M = R ? R->Method(Num) : nullptr;
    return M ? M->ParamCount : 0;
}

// Text defaults are copied into host memory: the host owns what it is given.
bool KORV_STDCALL EGetParamDefValue(void* This, long Meth, long Param, V8Variant* Value) {
    try {
        TClassReg* R = Reg(This);
        TMethReg* M = R ? R->Method(Meth) : nullptr;
        const TDefParamValue* D = M && Value ? M->DefParams.Find(static_cast<int>(Param)) : nullptr;
        if (!D)
            return false;
        TV8MemoryManager* MM = Self(This).V8MM;
        switch (D->Value.vt) {
        case VTYPE_PWSTR:
            return V8SetWString(MM, Value,
                                std::u16string_view(D->Value.pwstrVal, D->Value.wstrLen));
        case VTYPE_PSTR:
            return V8SetString(MM, Value, std::string_view(D->Value.pstrVal, D->Value.strLen));
        default:
            std::memcpy(static_cast<void*>(Value), &D->Value, sizeof(V8Variant));
            return true;
        }
    } catch (...) {
        return false;
    }
}

bool KORV_STDCALL EHasRetVal(void* This, long Num) {
    TClassReg* R = Reg(This);
    TMethReg* M = R ? R->Method(Num) : nullptr;
    return M && M->IsFunction;
}

bool KORV_STDCALL ECallAsProc(void* This, long Meth, V8Variant* Params, long Count) {
    return TracedCall(This, Meth, nullptr, Params, Count, false);
}

bool KORV_STDCALL ECallAsFunc(void* This, long Meth, V8Variant* RetValue, V8Variant* Params,
                              long Count) {
    return TracedCall(This, Meth, RetValue, Params, Count, true);
}

// --- locale and user language ----------------------------------------------

void KORV_STDCALL ESetLocale(void* This, const WCHAR_T* Loc) {
    Trapped(This, [&] {
        Self(This).locale = Loc ? std::u16string(Loc) : std::u16string();
        Self(This).SetLocale();
        return true;
    });
}

void KORV_STDCALL ESetUserInterfaceLanguageCode(void*, const WCHAR_T*) {}

template <class F> TV8Slot Slot(F Fn) {
    return reinterpret_cast<TV8Slot>(Fn);
}

/// A table: the null destructor slots, then the methods.
template <std::size_t N>
std::array<TV8Slot, V8DestructorSlots + N> MakeTable(const std::array<TV8Slot, N>& Methods) {
    std::array<TV8Slot, V8DestructorSlots + N> T{};
    for (std::size_t I = 0; I < N; ++I)
        T[V8DestructorSlots + I] = Methods[I];
    return T;
}

} // namespace

const TV8Slot* V8InitDoneTable() {
    static const auto T =
        MakeTable<4>({Slot(&EInit), Slot(&ESetMemManager), Slot(&EGetInfo), Slot(&EDone)});
    return T.data();
}

const TV8Slot* V8LanguageExtenderTable() {
    static const auto T = MakeTable<16>({
        Slot(&ERegisterExtensionAs),
        Slot(&EGetNProps),
        Slot(&EFindProp),
        Slot(&EGetPropName),
        Slot(&EGetPropVal),
        Slot(&ESetPropVal),
        Slot(&EIsPropReadable),
        Slot(&EIsPropWritable),
        Slot(&EGetNMethods),
        Slot(&EFindMethod),
        Slot(&EGetMethodName),
        Slot(&EGetNParams),
        Slot(&EGetParamDefValue),
        Slot(&EHasRetVal),
        Slot(&ECallAsProc),
        Slot(&ECallAsFunc),
    });
    return T.data();
}

const TV8Slot* V8LocaleTable() {
    static const auto T = MakeTable<1>({Slot(&ESetLocale)});
    return T.data();
}

const TV8Slot* V8UserLanguageTable() {
    static const auto T = MakeTable<1>({Slot(&ESetUserInterfaceLanguageCode)});
    return T.data();
}

std::u16string V8ParamsText(const V8Variant* Params, long Count) {
    std::u16string R = u"[";
    for (long I = 0; Params && I < Count; ++I) {
        if (I > 0)
            R += u"; ";
        R += Params[I].vt == VTYPE_BLOB ? std::u16string(u"BLOB") : V8TraceText(&Params[I]);
    }
    return R + u"]";
}

// --- exports ---------------------------------------------------------------

const WCHAR_T* V8GetClassNames() {
    try {
        return ClassRegistry().ClassNames.c_str();
    } catch (...) {
        return u"";
    }
}

long V8GetClassObject(const WCHAR_T* ClassName, void** Object) {
    if (!ClassName || !Object)
        return 0;
    try {
        TClassReg* R = ClassRegistry().Find(ClassName);
        if (!R || !R->UserClass)
            return 0;
        std::unique_ptr<TV8UserObject> D = R->UserClass();
        if (!D)
            return 0;
        auto Rec = std::make_unique<TV8ComponentRecord>();
        Rec->Tables[0] = V8InitDoneTable();
        Rec->Tables[1] = V8LanguageExtenderTable();
        Rec->Tables[2] = V8LocaleTable();
        Rec->Tables[3] = V8UserLanguageTable();
        D->ClassReg = R;
        for (auto& P : Rec->Driver)
            P = D.get();
        D.release();
        *Object = Rec.release();
        return 1;
    } catch (...) {
        return 0;
    }
}

long V8DestroyObject(void** Object) {
    if (!Object || !*Object)
        return 0;
    std::unique_ptr<TV8ComponentRecord> Rec(static_cast<TV8ComponentRecord*>(*Object));
    *Object = nullptr;
    try {
        std::unique_ptr<TV8UserObject> D(Rec->Driver[0]);
    } catch (...) {
        // the record is released all the same
    }
    return 0;
}

int V8GetAttachType() {
    return 3;
}

} // namespace korv
