#include "driver/uCustomDriver.h"

#include "common/Common.Log.h"
#include "common/uBytes.h"
#include "common/uText.h"

namespace korv {

namespace {

[[noreturn]] void BadValue(TPropType AType, std::u16string_view AText) {
    throw EDriverError(u"Invalid value \"" + std::u16string(AText) + u"\" for a property of type " +
                       PropTypeName(AType));
}

} // namespace

bool SameTextIName(std::u16string_view A, std::u16string_view B) {
    return SameTextI(A, B);
}

std::u16string PropTypeName(TPropType AType) {
    switch (AType) {
    case TPropType::Integer:
    case TPropType::Int64:
    case TPropType::Float:
        return u"Number";
    case TPropType::Text:
        return u"String";
    case TPropType::Boolean:
        return u"Boolean";
    }
    throw EDriverError(u"Enum value unacceptable");
}

TPropValue TextToPropValue(TPropType AType, std::u16string_view AText) {
    switch (AType) {
    case TPropType::Integer:
    case TPropType::Int64: {
        const auto V = TextToInt64(AText);
        if (!V)
            BadValue(AType, AText);
        return *V;
    }
    case TPropType::Boolean: {
        const auto V = TextToBool(AText);
        if (!V)
            BadValue(AType, AText);
        return *V;
    }
    case TPropType::Float: {
        const auto V = TextToFloat(AText);
        if (!V)
            BadValue(AType, AText);
        return *V;
    }
    case TPropType::Text:
        return std::u16string(AText);
    }
    throw EDriverError(u"Property type unacceptable");
}

TPropValue V8ToPropValue(TPropType AType, const V8Variant* AValue) {
    switch (AType) {
    case TPropType::Integer:
    case TPropType::Int64:
        return static_cast<std::int64_t>(V8AsInteger(AValue));
    case TPropType::Boolean:
        return V8AsBoolean(AValue);
    case TPropType::Float:
        return V8AsDouble(AValue);
    case TPropType::Text:
        if (!V8IsString(AValue))
            throw EDriverError(u"Value type unacceptable");
        return V8AsWideString(AValue);
    }
    throw EDriverError(u"Property type unacceptable");
}

void PropValueToV8(TV8UserObject& AObj, const TPropValue& AValue, V8Variant* ATarget) {
    if (const auto* I = std::get_if<std::int64_t>(&AValue))
        AObj.V8SetInt(ATarget, static_cast<std::int32_t>(*I));
    else if (const auto* B = std::get_if<bool>(&AValue))
        AObj.V8SetBool(ATarget, *B);
    else if (const auto* D = std::get_if<double>(&AValue))
        AObj.V8SetDouble(ATarget, *D);
    else
        AObj.V8SetWString(ATarget, std::get<std::u16string>(AValue));
}

void TResult::Clear() {
    ErrorCode = 0;
    ErrorDescription.clear();
    BoolResult = true;
}

void TResult::SetError(std::u16string_view ADescription, std::int32_t AErrorCode) {
    ErrorDescription = ADescription;
    ErrorCode = AErrorCode;
    BoolResult = false;
}

std::int32_t TResult::GetIntResult() const {
    if (BoolResult)
        return 0;
    return ErrorCode != 0 ? ErrorCode : 1001;
}

void ForEachExportTable(const TExportTable& AClass,
                        const std::function<void(const TExportTable&)>& F) {
    for (const TExportTable* T = &AClass; T; T = T->Parent)
        F(*T);
}

std::int32_t DriverErrorCode(const std::exception& E) {
    if (const auto* Equ = dynamic_cast<const EquException*>(&E))
        return Equ->Code;
    return 1001;
}

bool RunExported(const TExportMethod& AMethod, TCustomDriver& ADriver, V8Variant* RetValue,
                 V8Variant* AParams, long ACount) {
    const TBarrierHooks& Hooks = AMethod.Hooks ? *AMethod.Hooks : KBarrierCommon;
    if (!Hooks.RecordsOutcome) {
        if (const auto Result = AMethod.Invoke(ADriver, AParams); Result && RetValue)
            ADriver.V8SetInt(RetValue, *Result);
        return true;
    }
    // The hooks after the verdict never change it.
    auto Quietly = [](auto&& AHook) {
        try {
            AHook();
        } catch (...) {
        }
    };
    try {
        if (Hooks.Enter)
            Hooks.Enter(ADriver, AParams);
        const auto Result = AMethod.Invoke(ADriver, AParams);
        ADriver.SetSuccess(RetValue);
        if (Result && RetValue)
            ADriver.V8SetInt(RetValue, *Result);
    } catch (const std::exception& E) {
        ADriver.HandleException(E, RetValue, Hooks.CodeOf ? Hooks.CodeOf(E) : 1001);
        if (Hooks.Failed)
            Quietly([&] { Hooks.Failed(ADriver, AParams, ADriver.LastResult().ErrorDescription); });
    } catch (...) {
        ADriver.HandleUnknownException(RetValue);
        if (Hooks.Failed)
            Quietly([&] { Hooks.Failed(ADriver, AParams, ADriver.LastResult().ErrorDescription); });
    }
    if (Hooks.Leave)
        Quietly([&] { Hooks.Leave(ADriver, RetValue, AParams, ACount); });
    return true;
}

TCustomDriver::TCustomDriver() {
    FLastResult.Clear();
}

TClassReg& TCustomDriver::RegisterClass(const TExportTable& AClass, TV8ObjectFactory AFactory,
                                        std::u16string_view AExtension) {
    TClassReg& Reg = ClassRegistry().RegisterClass(std::move(AFactory), AExtension, AExtension);
    ForEachExportTable(AClass, [&](const TExportTable& T) {
        for (const TExportMethod& M : T.Methods) {
            const TExportMethod* Method = &M; // the tables are static
            Reg.AddFunc(
                M.Name, M.NameLoc,
                [Method](TV8UserObject& Obj, V8Variant* Ret, V8Variant* Params, long Count) {
                    return RunExported(*Method, dynamic_cast<TCustomDriver&>(Obj), Ret, Params,
                                       Count);
                },
                M.ParamCount);
        }
    });
    ForEachExportTable(AClass, [&](const TExportTable& T) {
        for (const auto& P : T.Props)
            Reg.AddProp(
                P.Name, P.NameLoc, true, !P.ReadOnly,
                [](TV8UserObject& Obj, const std::u16string& Name, V8Variant* Value, bool Get) {
                    return dynamic_cast<TCustomDriver&>(Obj).PropertyGetSet(Name, Value, Get);
                });
    });
    return Reg;
}

TClassReg& TCustomDriver::RegisterDriver(const TExportTable& AClass, TV8ObjectFactory AFactory,
                                         std::u16string_view AExtension) {
    TClassReg& Reg = RegisterClass(AClass, std::move(AFactory), AExtension);
    SetLogName(AExtension);
    StartLog();
    return Reg;
}

bool TCustomDriver::PropertyGetSet(const std::u16string& APropName, V8Variant* APropValue,
                                   bool AGet) {
    bool Found = false;
    ForEachExportTable(ClassExports(), [&](const TExportTable& T) {
        for (const auto& P : T.Props) {
            if (!PropNameIs(P, APropName))
                continue;
            Found = true;
            if (AGet) {
                PropValueToV8(*this, P.Get(*this), APropValue);
            } else {
                if (P.ReadOnly)
                    throw EDriverError(u"Property is read-only: " + APropName);
                P.Set(*this, V8ToPropValue(P.Type, APropValue));
            }
        }
    });
    if (!Found)
        throw EDriverError(u"Property not found: " + APropName);
    return true;
}

void TCustomDriver::PropertiesSetDefault() {
    ForEachExportTable(ClassExports(), [&](const TExportTable& T) {
        for (const auto& P : T.Props)
            if (!P.ReadOnly && !SameTextIName(P.Name, u"LogEnabled"))
                P.Set(*this, TextToPropValue(P.Type, P.DefValue));
    });
}

void TCustomDriver::SetOutText(V8Variant* ATarget, std::u16string_view AText) {
    if (!V8SetWString(ATarget, AText))
        throw EDriverError(u"Не удалось передать результат: приложение не выделило память");
}

void TCustomDriver::SetSuccess(V8Variant* RetValue) {
    FLastResult.Clear();
    if (RetValue)
        V8SetBool(RetValue, true);
}

std::u16string FailureLogText(const std::exception& E, std::int32_t ACode) {
    std::u16string Text = u"Code=" + IntToU16(ACode);
    const auto* Equ = dynamic_cast<const EquException*>(&E);
    if (Equ && Equ->Fault.Origin != TErrorOrigin::None) {
        const TCommandFault& F = Equ->Fault;
        Text += u"; Command=" + Utf8ToU16(BytesToHexText(F.Command, "")) + u"; Origin=" +
                Utf8ToU16(ErrorOriginName(F.Origin)) + u"; Result=" + IntToU16(F.ResultCode);
        if (!F.Reason.empty())
            Text += u"; Reason=" + F.Reason;
    }
    return Text + u"; " + ExceptionMessage(E);
}

void TCustomDriver::HandleException(const std::exception& E, V8Variant* RetValue,
                                    std::int32_t ACode) {
    FLastResult.SetError(ExceptionMessage(E), ACode);
    if (RetValue)
        V8SetBool(RetValue, false);
    WriteLog(u"Exception", FailureLogText(E, ACode), TLogLevel::Error);
}

void TCustomDriver::HandleUnknownException(V8Variant* RetValue) {
    HandleException(EDriverError(GetDriverErrorText(1001)), RetValue, 1001);
}

} // namespace korv
