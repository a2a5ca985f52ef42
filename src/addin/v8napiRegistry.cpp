// The class registry, the per-device log switch, and library load/unload.

#include "addin/v8napi.h"

#include "common/uText.h"

#include <stdexcept>
#include <utility>

namespace korv {

namespace {

/// Library-wide state. Constant-initialised and trivially destructible, so
/// that it is usable whatever the order in which the library's static
/// objects are built and torn down; V8NapiUnload frees what it holds.
struct TLibraryState {
    TClassRegList* Registry = nullptr;
    std::map<std::u16string, bool>* LogFlags = nullptr;
    int LoadCount = 0;
};

constinit TLibraryState GState;

TLibraryState& State() {
    return GState;
}

bool IsHex(char16_t C) {
    return (C >= u'0' && C <= u'9') || (C >= u'a' && C <= u'f') || (C >= u'A' && C <= u'F');
}

} // namespace

// ---------------------------------------------------------------------------
// Default parameter values

TDefParamValue& TDefParamList::Append(int ParamNum, std::uint16_t Type) {
    auto Item = std::make_unique<TDefParamValue>();
    Item->Num = ParamNum - 1;
    Item->Value.vt = Type;
    Values.push_back(std::move(Item));
    TempParam = Values.back().get();
    return *TempParam;
}

void TDefParamList::AddInt(std::int32_t Value, int ParamNum) {
    Append(ParamNum, VTYPE_I4).Value.lVal = Value;
}

void TDefParamList::AddDouble(double Value, int ParamNum) {
    Append(ParamNum, VTYPE_R8).Value.dblVal = Value;
}

void TDefParamList::AddBool(bool Value, int ParamNum) {
    Append(ParamNum, VTYPE_BOOL).Value.bVal = Value;
}

void TDefParamList::AddWString(std::u16string_view Value, int ParamNum) {
    FWideTexts.push_back(std::make_unique<std::u16string>(Value));
    auto& V = Append(ParamNum, VTYPE_PWSTR).Value;
    V.pwstrVal = FWideTexts.back()->data();
    V.wstrLen = static_cast<std::uint32_t>(Value.size());
}

void TDefParamList::AddAString(std::string_view Value, int ParamNum) {
    FTexts.push_back(std::make_unique<std::string>(Value));
    auto& V = Append(ParamNum, VTYPE_PSTR).Value;
    V.pstrVal = FTexts.back()->data();
    V.strLen = static_cast<std::uint32_t>(Value.size());
}

void TDefParamList::AddDate(TDateTime Value, int ParamNum) {
    Append(ParamNum, VTYPE_DATE).Value.date = Value;
}

bool TMethReg::Call(TV8UserObject& Obj, V8Variant* RetValue, V8Variant* Params, long Count) const {
    if (!Params || Count < 0)
        Count = 0;
    if (Count < ParamCount)
        throw std::invalid_argument("Метод " + U16ToUtf8(MethName) +
                                    " вызван с недостаточным числом параметров: передано " +
                                    std::to_string(Count) + ", нужно " +
                                    std::to_string(ParamCount));
    return Execute ? Execute(Obj, RetValue, Params, Count) : false;
}

const TDefParamValue* TDefParamList::Find(int Num) const {
    for (const auto& V : Values)
        if (V->Num == Num)
            return V.get();
    return nullptr;
}

// ---------------------------------------------------------------------------
// Classes

TClassReg::TClassReg(TV8ObjectFactory AUserClass, std::u16string ARegisterExtensionAs,
                     std::u16string ANatApiClassName)
    : UserClass(std::move(AUserClass)), RegisterExtensionAs(std::move(ARegisterExtensionAs)),
      NatApiClassName(std::move(ANatApiClassName)) {}

TMethReg& TClassReg::AddMethod(std::u16string_view MethName, std::u16string_view MethNameLoc,
                               bool IsFunction, TV8CallAsFunc ExecuteProc, int ParamCount) {
    auto M = std::make_unique<TMethReg>();
    M->MethName = MethName;
    M->MethNameLoc = MethNameLoc;
    M->IsFunction = IsFunction;
    M->ParamCount = ParamCount;
    M->Execute = std::move(ExecuteProc);
    MethList.push_back(std::move(M));
    return *MethList.back();
}

TMethReg& TClassReg::AddFunc(std::u16string_view MethName, std::u16string_view MethNameLoc,
                             TV8CallAsFunc ExecuteProc, int ParamCount) {
    return AddMethod(MethName, MethNameLoc, true, std::move(ExecuteProc), ParamCount);
}

TMethReg& TClassReg::AddProc(std::u16string_view MethName, std::u16string_view MethNameLoc,
                             TV8CallAsProc ExecuteProc, int ParamCount) {
    return AddMethod(MethName, MethNameLoc, false, std::move(ExecuteProc), ParamCount);
}

TPropReg& TClassReg::AddProp(std::u16string_view PropName, std::u16string_view PropNameLoc,
                             bool IsReadable, bool IsWritable, TV8PropertyGetSet PropGetSet) {
    auto P = std::make_unique<TPropReg>();
    P->PropName = PropName;
    P->PropNameLoc = PropNameLoc;
    P->IsReadable = IsReadable;
    P->IsWritable = IsWritable;
    P->PropGetSet = std::move(PropGetSet);
    PropList.push_back(std::move(P));
    return *PropList.back();
}

TMethReg* TClassReg::Method(long Num) const {
    if (Num < 0 || Num >= static_cast<long>(MethList.size()))
        return nullptr;
    return MethList[static_cast<std::size_t>(Num)].get();
}

TPropReg* TClassReg::Prop(long Num) const {
    if (Num < 0 || Num >= static_cast<long>(PropList.size()))
        return nullptr;
    return PropList[static_cast<std::size_t>(Num)].get();
}

// Names compare exactly (case-sensitive): the host looks members up by the
// names it was given.
long TClassReg::FindMethod(std::u16string_view Name) const {
    for (std::size_t I = 0; I < MethList.size(); ++I)
        if (MethList[I]->MethNameLoc == Name || MethList[I]->MethName == Name)
            return static_cast<long>(I);
    return -1;
}

long TClassReg::FindProp(std::u16string_view Name) const {
    for (std::size_t I = 0; I < PropList.size(); ++I)
        if (PropList[I]->PropNameLoc == Name || PropList[I]->PropName == Name)
            return static_cast<long>(I);
    return -1;
}

TClassReg& TClassRegList::RegisterClass(TV8ObjectFactory UserClass,
                                        std::u16string_view RegisterExtensionAs,
                                        std::u16string_view NatApiClassName) {
    ClassList.push_back(std::make_unique<TClassReg>(std::move(UserClass),
                                                    std::u16string(RegisterExtensionAs),
                                                    std::u16string(NatApiClassName)));
    if (!ClassNames.empty())
        ClassNames += u'|';
    ClassNames += NatApiClassName;
    return *ClassList.back();
}

TClassReg* TClassRegList::Find(std::u16string_view NatApiClassName) const {
    for (const auto& C : ClassList)
        if (C->NatApiClassName == NatApiClassName)
            return C.get();
    return nullptr;
}

TClassRegList& ClassRegistry() {
    auto& S = State();
    if (!S.Registry)
        S.Registry = std::make_unique<TClassRegList>().release();
    return *S.Registry;
}

// ---------------------------------------------------------------------------
// Per-device log switch

std::map<std::u16string, bool>& DeviceLogFlags() {
    auto& S = State();
    if (!S.LogFlags)
        S.LogFlags = std::make_unique<std::map<std::u16string, bool>>().release();
    return *S.LogFlags;
}

void SetDeviceLogFlag(const std::u16string& DeviceID, bool Enabled) {
    DeviceLogFlags()[DeviceID] = Enabled;
}

bool GetDeviceLogFlag(const std::u16string& DeviceID) {
    const auto& Flags = DeviceLogFlags();
    auto It = Flags.find(DeviceID);
    return It != Flags.end() && It->second;
}

void RemoveDeviceLogFlag(const std::u16string& DeviceID) {
    DeviceLogFlags().erase(DeviceID);
}

bool IsDeviceIDText(std::u16string_view Text) {
    // 8-4-4-4-12 hexadecimal digits
    if (Text.size() != 36)
        return false;
    for (std::size_t I = 0; I < Text.size(); ++I) {
        const bool Dash = I == 8 || I == 13 || I == 18 || I == 23;
        if (Dash ? Text[I] != u'-' : !IsHex(Text[I]))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Load and unload

void V8NapiLoad() {
    auto& S = State();
    if (S.LoadCount++ > 0)
        return;
    // Entry tables are built on first use; touch them now so that the host
    // never races their construction.
    V8InitDoneTable();
    V8LanguageExtenderTable();
    V8LocaleTable();
    V8UserLanguageTable();
    ClassRegistry();
    DeviceLogFlags();
}

void V8NapiUnload() {
    auto& S = State();
    if (S.LoadCount == 0 || --S.LoadCount > 0)
        return;
    std::unique_ptr<TClassRegList>(std::exchange(S.Registry, nullptr)).reset();
    std::unique_ptr<std::map<std::u16string, bool>>(std::exchange(S.LogFlags, nullptr)).reset();
}

} // namespace korv
