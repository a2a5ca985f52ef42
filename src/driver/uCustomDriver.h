#pragma once
// TCustomDriver: the base of the driver objects handed to the host. It keeps
// per class a table of what the host may call (methods, properties,
// additional actions), fills the class registry from those tables, serves
// property reads and writes, and keeps the outcome of the last call.

#include "addin/v8napi.h"
#include "common/uEquipmentErrors.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <span>
#include <string>
#include <string_view>
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

/// A method handler: the object, the return value (null when called as a
/// procedure), the parameters and their count.
using TDriverHandler = bool (*)(TCustomDriver& ADriver, V8Variant* RetValue, V8Variant* Params,
                                long Count);

struct TExportMethod {
    std::u16string_view Name;    // English
    std::u16string_view NameLoc; // Russian
    int ParamCount = 0;
    TDriverHandler Handler = nullptr;
};

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
    /// given) becomes false; the message is logged.
    virtual void HandleException(const std::exception& E, V8Variant* RetValue, std::int32_t ACode);
    /// The same for an error of unknown kind.
    void HandleUnknownException(V8Variant* RetValue);

    const TResult& LastResult() const { return FLastResult; }
    const std::u16string& DeviceID() const { return FDeviceID; }

protected:
    TResult FLastResult;
    std::u16string FDeviceID; // the device being connected or tested
};

/// The parameter with 0-based number AIndex, checked against the count the
/// host passed (EDriverError when the host passed fewer).
V8Variant* Param(V8Variant* AParams, long ACount, int AIndex);

/// Runs the work of an exported method inside its error trap: success is
/// recorded after AWork returns; an error is recorded with the code ACodeOf
/// gives for it. Always true: the verdict is the method's return value.
template <class FWork, class FCode>
bool RunTrapped(TCustomDriver& ADriver, V8Variant* RetValue, FWork&& AWork, FCode&& ACodeOf) {
    try {
        AWork();
        ADriver.SetSuccess(RetValue);
    } catch (const std::exception& E) {
        ADriver.HandleException(E, RetValue, ACodeOf(E));
    } catch (...) {
        ADriver.HandleUnknownException(RetValue);
    }
    return true;
}

/// RunTrapped with code 1001 for every error.
template <class FWork> bool RunTrapped(TCustomDriver& ADriver, V8Variant* RetValue, FWork&& AWork) {
    return RunTrapped(ADriver, RetValue, std::forward<FWork>(AWork),
                      [](const std::exception&) { return 1001; });
}

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
