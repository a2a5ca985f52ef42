#pragma once
// TCustomDriver: the base of the driver objects handed to the host. It keeps
// per class a table of what the host may call (methods, properties,
// additional actions), fills the class registry from those tables, serves
// property reads and writes, and keeps the outcome of the last call.

#include "addin/v8napi.h"
#include "common/uEquipmentErrors.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace korv {

// ---------------------------------------------------------------------------
// Properties, generic over the object that owns them (the driver object, a
// device instance).

/// Case-insensitive comparison of member names (Latin and Cyrillic).
bool SameTextIName(std::u16string_view A, std::u16string_view B);

/// What a property holds; decides how host values and texts convert into it.
enum class TPropType { Integer, Int64, Boolean, Float, Text };

/// A property's value in transit between the host (or a settings text) and
/// the owner's field.
using TPropValue = std::variant<std::int64_t, bool, double, std::u16string>;

/// One exported property of TOwner: its names, what the settings form shows
/// for it, and accessors to the owner's field.
template <class TOwner> struct TPropDesc {
    std::u16string_view Name;    // English name
    std::u16string_view NameLoc; // Russian name
    std::u16string_view Caption; // label in the settings form
    std::u16string_view DefValue;
    bool ReadOnly = false;
    TPropType Type = TPropType::Text;
    std::function<TPropValue(const TOwner&)> Get;
    std::function<void(TOwner&, const TPropValue&)> Set;
};

/// True when AName is the property's English or Russian name, without regard to case.
template <class TOwner> bool PropNameIs(const TPropDesc<TOwner>& P, std::u16string_view AName) {
    return SameTextIName(P.Name, AName) || (!P.NameLoc.empty() && SameTextIName(P.NameLoc, AName));
}

/// The first property whose English or Russian name equals AName without
/// regard to case, or null.
template <class TOwner>
const TPropDesc<TOwner>* FindPropDesc(std::span<const TPropDesc<TOwner>> AProps,
                                      std::u16string_view AName);

/// "Number", "String" or "Boolean": the type name of the settings form.
std::u16string PropTypeName(TPropType AType);
/// A setting's text converted to the property's type. Integers and numbers
/// are decimal ("." or "," as the separator); Booleans "true"/"false" in any
/// case or a number (non-zero is true). Raises EDriverError naming the text
/// when it does not convert.
TPropValue TextToPropValue(TPropType AType, std::u16string_view AText);
/// A host value converted to the property's type. Text properties take only
/// string values ("Value type unacceptable" otherwise).
TPropValue V8ToPropValue(TPropType AType, const V8Variant* AValue);
/// Writes a property's value into a host value (integers as 32-bit).
void PropValueToV8(TV8UserObject& AObj, const TPropValue& AValue, V8Variant* ATarget);

template <class T> T PropAs(const TPropValue& V) {
    return std::get<T>(V);
}
inline std::int64_t PropInt(const TPropValue& V) {
    return std::get<std::int64_t>(V);
}
inline bool PropBool(const TPropValue& V) {
    return std::get<bool>(V);
}
inline double PropFloat(const TPropValue& V) {
    return std::get<double>(V);
}
inline const std::u16string& PropText(const TPropValue& V) {
    return std::get<std::u16string>(V);
}

template <class TOwner>
const TPropDesc<TOwner>* FindPropDesc(std::span<const TPropDesc<TOwner>> AProps,
                                      std::u16string_view AName) {
    for (const auto& P : AProps)
        if (PropNameIs(P, AName))
            return &P;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The outcome of the last host call.

struct TResult {
    std::int32_t ErrorCode = 0;
    std::u16string ErrorDescription;
    bool BoolResult = true;

    void Clear();
    void SetError(std::u16string_view ADescription, std::int32_t AErrorCode);
    /// 0 after success, else the code (1001 when the error carried none).
    std::int32_t GetIntResult() const;
};

// ---------------------------------------------------------------------------
// Exported members

class TCustomDriver;

/// The parameters of one host call, as many as the method takes. The
/// registry refuses a call with fewer before any handler runs, so a handler
/// reads them unchecked; reading past the count does not compile.
template <std::size_t N> class TParams {
public:
    static constexpr std::size_t Count = N;
    explicit TParams(V8Variant* AValues) noexcept : FValues(AValues) {}
    /// Parameter I, counted from 0.
    template <std::size_t I>
    requires(I < N) V8Variant* At() const noexcept { return &FValues[I]; }

private:
    V8Variant* FValues;
};

/// What differs between exported methods around their one error barrier
/// (RunExported). Every hook is optional.
struct TBarrierHooks {
    /// Runs first, inside the barrier (the fiscal methods select their device).
    void (*Enter)(TCustomDriver& ADriver, V8Variant* AParams) = nullptr;
    /// The code recorded for an error; without it every error is 1001.
    std::int32_t (*CodeOf)(const std::exception& E) = nullptr;
    /// Runs after a failure is recorded, with its message.
    void (*Failed)(TCustomDriver& ADriver, V8Variant* AParams,
                   const std::u16string& AMessage) = nullptr;
    /// Runs last, after either outcome is recorded (a trace of its own).
    void (*Leave)(TCustomDriver& ADriver, V8Variant* RetValue, V8Variant* AParams,
                  long ACount) = nullptr;
    /// False for the queries that report on earlier calls (GetLastError, the
    /// revision): they record no outcome, and an error escapes to the host.
    bool RecordsOutcome = true;
};

/// The code the host sees for an error: an EquException's own, 1001 for any other.
std::int32_t DriverErrorCode(const std::exception& E);
/// The log's entry for a failed call, from the numbers the error carries:
/// "Code=1001; Command=FF41; Origin=register; Result=126; Reason=...; "
/// and the message (the command part only for a failed register command).
std::u16string FailureLogText(const std::exception& E, std::int32_t ACode);

/// Methods whose every error is reported with code 1001.
inline constexpr TBarrierHooks KBarrierCommon{};
/// Methods whose driver errors keep their code.
inline constexpr TBarrierHooks KBarrierDriverCodes{.CodeOf = &DriverErrorCode};
/// Queries: the result is the handler's, no outcome is recorded.
inline constexpr TBarrierHooks KBarrierQuery{.RecordsOutcome = false};

/// A handler, called once the barrier runs: its result (an integer result
/// for the host, or none for a Boolean verdict).
using TExportInvoke = std::optional<std::int32_t> (*)(TCustomDriver& ADriver, V8Variant* AParams);

struct TExportMethod {
    std::u16string_view Name;    // English
    std::u16string_view NameLoc; // Russian
    int ParamCount = 0;          // the handler's own
    TExportInvoke Invoke = nullptr;
    const TBarrierHooks* Hooks = &KBarrierCommon;
};

/// The shape of a handler: `void F(C&, TParams<N>)` (a Boolean verdict) or
/// `std::int32_t F(C&, TParams<N>)` (an integer result), C a driver class.
template <class F> struct THandlerTraits;
template <class R, class C, std::size_t N> struct THandlerTraits<R (*)(C&, TParams<N>)> {
    using Result = R;
    using Class = C;
    static constexpr std::size_t Count = N;
};

template <class F> inline constexpr bool IsExportHandler = false;
template <class R, class C, std::size_t N>
inline constexpr bool
    IsExportHandler<R (*)(C&, TParams<N>)> = std::derived_from<C, TCustomDriver> &&
                                             (std::is_void_v<R> || std::is_same_v<R, std::int32_t>);

template <auto H>
concept ExportHandler = IsExportHandler<decltype(H)>;

template <auto H>
requires ExportHandler<H> std::optional<std::int32_t> InvokeExport(TCustomDriver& ADriver,
                                                                   V8Variant* AParams) {
    using T = THandlerTraits<decltype(H)>;
    auto& Obj = static_cast<typename T::Class&>(ADriver);
    if constexpr (std::is_void_v<typename T::Result>) {
        H(Obj, TParams<T::Count>(AParams));
        return std::nullopt;
    } else {
        return H(Obj, TParams<T::Count>(AParams));
    }
}

/// One line of a method table: the English and Russian names and the
/// handler, whose parameter count is the method's.
template <auto H>
requires ExportHandler<H>
constexpr TExportMethod Export(std::u16string_view AName, std::u16string_view ANameLoc,
                               const TBarrierHooks& AHooks) {
    return {AName, ANameLoc, static_cast<int>(THandlerTraits<decltype(H)>::Count), &InvokeExport<H>,
            &AHooks};
}

/// A method offered in the host's list of additional actions.
struct TAdditionalAction {
    std::u16string_view Name;
    std::u16string_view Caption;
    void (*Run)(TCustomDriver& ADriver) = nullptr;
};

/// What one class exports, in declaration order, and its parent's table.
struct TExportTable {
    const TExportTable* Parent = nullptr;
    std::span<const TExportMethod> Methods;
    std::span<const TPropDesc<TCustomDriver>> Props;
    std::span<const TAdditionalAction> Actions;
};

/// Calls F for every table from AClass up to the root.
void ForEachExportTable(const TExportTable& AClass,
                        const std::function<void(const TExportTable&)>& F);

class TCustomDriver : public TV8UserObject {
public:
    TCustomDriver();

    /// The export table of the object's own class.
    virtual const TExportTable& ClassExports() const = 0;

    /// Registers a class with the library's registry under AExtension and
    /// fills its method and property lists from the class's tables.
    static TClassReg& RegisterClass(const TExportTable& AClass, TV8ObjectFactory AFactory,
                                    std::u16string_view AExtension);
    /// RegisterClass, then names and starts the driver log.
    static TClassReg& RegisterDriver(const TExportTable& AClass, TV8ObjectFactory AFactory,
                                     std::u16string_view AExtension);

    /// Reads (AGet) or writes an exported property of this object by its
    /// English or Russian name, without regard to case. Raises "Property not
    /// found: <name>" or "Property is read-only: <name>".
    bool PropertyGetSet(const std::u16string& APropName, V8Variant* APropValue, bool AGet);
    bool PropertySet(const std::u16string& APropName, V8Variant* APropValue) {
        return PropertyGetSet(APropName, APropValue, false);
    }
    /// Sets every writable exported property except LogEnabled from its default text.
    void PropertiesSetDefault();

    /// Stores a setting's text into the same-named property of ATarget (found
    /// without regard to case). Raises "Property "<name>" not found in Source
    /// object." when ATarget has no such property. Setting LogEnabled also
    /// records the value for FDeviceID in the per-device log switch.
    template <class TOwner>
    bool SetInstanceProperty(std::span<const TPropDesc<TOwner>> AProps, std::u16string_view AName,
                             std::u16string_view AValue, TOwner& ATarget);

    /// Writes an output text for the host; raises EDriverError when the host
    /// refuses the memory for it, so the call does not report success
    /// without its result.
    void SetOutText(V8Variant* ATarget, std::u16string_view AText);

    /// Records success; RetValue (when given) becomes true.
    void SetSuccess(V8Variant* RetValue);
    /// Records a failure with ACode and the error's message; RetValue (when
    /// given) becomes false; the failure is logged (FailureLogText).
    virtual void HandleException(const std::exception& E, V8Variant* RetValue, std::int32_t ACode);
    /// The same for an error of unknown kind.
    void HandleUnknownException(V8Variant* RetValue);

    const TResult& LastResult() const { return FLastResult; }
    const std::u16string& DeviceID() const { return FDeviceID; }

protected:
    TResult FLastResult;
    std::u16string FDeviceID; // the device being connected or tested
};

/// The one error barrier of the exported methods: runs AMethod's handler
/// (the registry has checked the count) with its hooks, records success or
/// the error (code by the hooks, message as raised) in LastResult and makes
/// the return value the verdict. Always true for the host entry point,
/// except that a query's error escapes to the host's own trap.
bool RunExported(const TExportMethod& AMethod, TCustomDriver& ADriver, V8Variant* RetValue,
                 V8Variant* AParams, long ACount);

template <class TOwner>
bool TCustomDriver::SetInstanceProperty(std::span<const TPropDesc<TOwner>> AProps,
                                        std::u16string_view AName, std::u16string_view AValue,
                                        TOwner& ATarget) {
    const TPropDesc<TOwner>* P = FindPropDesc(AProps, AName);
    if (!P)
        throw EDriverError(u"Property \"" + std::u16string(AName) +
                           u"\" not found in Source object.");
    TPropValue V = TextToPropValue(P->Type, AValue);
    P->Set(ATarget, V);
    const bool* On = std::get_if<bool>(&V);
    if (On && SameTextIName(P->Name, u"LogEnabled") && !FDeviceID.empty())
        SetDeviceLogFlag(FDeviceID, *On);
    return true;
}

} // namespace korv
