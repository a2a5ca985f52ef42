#include "Session.h"

#include <dlfcn.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

namespace khost {

namespace {

bool ParseInt(const std::string& text, int64_t& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0)
        return false;
    out = v;
    return true;
}

bool ParseReal(const std::string& text, double& out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != 0)
        return false;
    out = v;
    return true;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw TScriptError("cannot read " + path);
    std::ostringstream buf;
    buf << in.rdbuf();
    return buf.str();
}

THostValue ParseTm(const std::string& text) {
    struct tm tm = {};
    int y, mo, d, h = 0, mi = 0, s = 0;
    char tail = 0;
    int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail);
    if (n != 3 && n != 6)
        throw TScriptError("tm: needs YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS, not " + text);
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return THostValue::DateTm(tm);
}

std::string ParseHex(const std::string& text) {
    if (text.size() % 2)
        throw TScriptError("blob: needs an even number of hexadecimal digits");
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int64_t v = 0;
        char* end = nullptr;
        std::string pair = text.substr(i, 2);
        v = std::strtol(pair.c_str(), &end, 16);
        if (*end != 0)
            throw TScriptError("blob: bad hexadecimal digits " + pair);
        out += char(v);
    }
    return out;
}

// The type named in `expect-type`: "I4" or "VTYPE_I4".
// A value for the call log: very long texts (whole XML documents) are cut; `print` and `save`
// give them whole.
std::string Shown(const THostValue& value) {
    constexpr std::size_t limit = 3000;
    std::string text = Format(value);
    if (text.size() <= limit)
        return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + "... (" + std::to_string(value.Text.size()) + " bytes)";
}

bool TypeMatches(TYPEVAR vt, std::string name) {
    if (name.rfind("VTYPE_", 0) != 0)
        name = "VTYPE_" + name;
    return TypeName(vt) == name;
}

} // namespace

THostSession::THostSession(TSessionOptions options) : FOptions(std::move(options)) {}

THostSession::~THostSession() {
    if (FLibrary && FOptions.Unload)
        dlclose(FLibrary);
}

void THostSession::Say(const std::string& line) {
    if (!FOptions.Quiet)
        std::cout << line << '\n';
}

void THostSession::Note(const std::string& line) {
    Say("  " + line);
}

void THostSession::Fail(const std::string& message) {
    ++FFailures;
    std::cout.flush();
    std::cerr << "FAIL " << FWhere << ": " << message << std::endl;
    if (FOptions.StopOnFailure)
        FStopped = true;
}

void THostSession::DrainConnection() {
    for (const std::string& note : FConnection.TakeNotes())
        Note(note);
    for (THostError& e : FConnection.TakeErrors())
        FLastHostErrors.push_back(std::move(e));
}

void THostSession::CheckMemory() {
    const auto& faults = FMemory.Faults();
    for (; FMemoryFaultsSeen < faults.size(); ++FMemoryFaultsSeen) {
        std::cout.flush();
        std::cerr << "MEMORY " << FWhere << ": " << faults[FMemoryFaultsSeen] << std::endl;
    }
}

bool THostSession::Open(const std::string& libraryPath) {
    FWhere = "load";
    FLibrary = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!FLibrary) {
        std::cerr << "cannot load " << libraryPath << ": " << dlerror() << std::endl;
        return false;
    }
    FGetClassNames = reinterpret_cast<GetClassNamesFn>(dlsym(FLibrary, "GetClassNames"));
    FGetClassObject = reinterpret_cast<GetClassObjectFn>(dlsym(FLibrary, "GetClassObject"));
    FDestroyObject = reinterpret_cast<DestroyObjectFn>(dlsym(FLibrary, "DestroyObject"));
    FGetAttachType = reinterpret_cast<GetAttachTypeFn>(dlsym(FLibrary, "GetAttachType"));
    if (!FGetClassNames || !FGetClassObject || !FDestroyObject || !FGetAttachType) {
        std::cerr << libraryPath
                  << " lacks one of the exports GetClassNames, GetClassObject, DestroyObject, "
                     "GetAttachType"
                  << std::endl;
        return false;
    }
    FClassName = FOptions.ClassName;
    if (FClassName.empty()) {
        FClassName = ToUtf8(FGetClassNames());
        FClassName = FClassName.substr(0, FClassName.find('|'));
    }
    std::string error;
    if (!NewObject(error)) {
        std::cerr << error << std::endl;
        return false;
    }
    return true;
}

bool THostSession::NewObject(std::string& error) {
    FMemory.SetContext(FWhere + " GetClassObject");
    IComponentBase* object = nullptr;
    long created = FGetClassObject(FromUtf8(FClassName).c_str(), &object);
    if (created == 0 || !object) {
        error = "GetClassObject(" + Quote(FClassName) + ") returned " + std::to_string(created) +
                ": no object";
        return false;
    }
    // The host's order: the memory manager first, then the connection.
    FMemory.SetContext(FWhere + " setMemManager");
    if (!object->setMemManager(static_cast<IMemoryManager*>(&FMemory)))
        std::cerr << "warning: setMemManager returned false" << std::endl;
    FMemory.SetContext(FWhere + " Init");
    if (!object->Init(static_cast<IAddInDefBase*>(&FConnection)))
        std::cerr << "warning: Init returned false" << std::endl;
    FObjects.push_back(object);
    FObject = object;
    DrainConnection();
    CheckMemory();
    return true;
}

void THostSession::EndObject(std::size_t index) {
    IComponentBase* object = FObjects[index];
    FMemory.SetContext(FWhere + " Done");
    object->Done();
    FMemory.SetContext(FWhere + " DestroyObject");
    long result = FDestroyObject(&object);
    if (result != 0)
        Fail("DestroyObject returned " + std::to_string(result));
    FObjects.erase(FObjects.begin() + long(index));
    FObject = FObjects.empty() ? nullptr : FObjects.front();
    DrainConnection();
    CheckMemory();
}

int THostSession::Close() {
    FWhere = "unload";
    while (!FObjects.empty())
        EndObject(FObjects.size() - 1);
    DrainConnection();
    if (FLibrary && FOptions.Unload) {
        FMemory.SetContext("unloading the library");
        dlclose(FLibrary);
        FLibrary = nullptr;
    }
    CheckMemory();
    std::vector<std::string> leaks = FMemory.Leaks();
    for (const std::string& leak : leaks) {
        std::cout.flush();
        std::cerr << "MEMORY leak: " << leak << std::endl;
    }
    bool memoryBad = !leaks.empty() || !FMemory.Faults().empty();
    std::cout.flush();
    if (memoryBad || FFailures)
        std::cerr << "host memory: " << FMemory.AllocCount() << " allocated, "
                  << FMemory.FreeCount() << " freed, " << leaks.size() << " leaked, "
                  << FMemory.Faults().size() << " bad frees; " << FFailures
                  << " failed expectation(s)" << std::endl;
    if (FFailures)
        return 1;
    if (memoryBad && !FOptions.AllowMemoryFaults)
        return 1;
    return 0;
}

// ---- values ----

THostValue THostSession::Literal(const TToken& token) const {
    if (token.Quoted) {
        if (token.Word.empty() || token.Word == "str:")
            return THostValue::WString(token.Text);
        if (token.Word == "pstr:")
            return THostValue::PString(token.Text);
        if (token.Word == "file:")
            return THostValue::WString(ReadFile(token.Text));
        throw TScriptError("a quoted string may follow only str:, pstr: or file:, not " +
                           token.Word);
    }
    const std::string& w = token.Word;
    if (w == "empty")
        return THostValue::Empty();
    if (w == "null")
        return THostValue::Null();
    if (w == "true" || w == "false")
        return THostValue::Boolean(w == "true");
    if (!w.empty() && w[0] == '$') {
        auto it = FVars.find(w.substr(1));
        if (it == FVars.end())
            throw TScriptError("no variable " + w);
        return it->second;
    }
    std::size_t colon = w.find(':');
    if (colon != std::string::npos) {
        std::string prefix = w.substr(0, colon);
        std::string rest = w.substr(colon + 1);
        int64_t i = 0;
        double d = 0;
        if (prefix == "str")
            return THostValue::WString(rest);
        if (prefix == "pstr")
            return THostValue::PString(rest);
        if (prefix == "file")
            return THostValue::WString(ReadFile(rest));
        if (prefix == "int") {
            if (!ParseInt(rest, i) || i < INT32_MIN || i > INT32_MAX)
                throw TScriptError("int: needs a 32-bit integer, not " + rest);
            return THostValue::I4(int32_t(i));
        }
        if (prefix == "long") {
            if (!ParseInt(rest, i))
                throw TScriptError("long: needs a 64-bit integer, not " + rest);
            return THostValue::I8(i);
        }
        if (prefix == "double") {
            if (!ParseReal(rest, d))
                throw TScriptError("double: needs a number, not " + rest);
            return THostValue::R8(d);
        }
        if (prefix == "date") {
            if (!ParseReal(rest, d))
                throw TScriptError("date: needs days since 1899-12-30, not " + rest);
            THostValue v = THostValue::R8(d);
            v.Type = VTYPE_DATE;
            return v;
        }
        if (prefix == "bool") {
            if (rest == "true" || rest == "1")
                return THostValue::Boolean(true);
            if (rest == "false" || rest == "0")
                return THostValue::Boolean(false);
            throw TScriptError("bool: needs true or false, not " + rest);
        }
        if (prefix == "tm")
            return ParseTm(rest);
        if (prefix == "blob")
            return THostValue::Blob(ParseHex(rest));
        if (prefix == "vt") {
            if (!ParseInt(rest, i) || i < 0 || i > 0xFFFF)
                throw TScriptError("vt: needs a type code 0..65535, not " + rest);
            THostValue v;
            v.Type = TYPEVAR(i);
            return v;
        }
    }
    int64_t i = 0;
    double d = 0;
    if (ParseInt(w, i))
        return (i >= INT32_MIN && i <= INT32_MAX) ? THostValue::I4(int32_t(i)) : THostValue::I8(i);
    if (ParseReal(w, d))
        return THostValue::R8(d);
    throw TScriptError("not a value: " + w + " (strings need quotes or str:)");
}

std::string THostSession::NameArg(const TToken& token) const {
    if (!token.Quoted && (token.Word.empty() || token.Word[0] != '$'))
        return token.Word;
    return PlainText(Literal(token));
}

THostValue THostSession::Value(const std::vector<TToken>& tokens, std::size_t index) const {
    if (index >= tokens.size())
        throw TScriptError(tokens[0].Word + ": a value is missing");
    return Literal(tokens[index]);
}

std::vector<THostSession::TArg> THostSession::Args(const std::vector<TToken>& tokens,
                                                   std::size_t from) const {
    std::vector<TArg> out;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        const TToken& t = tokens[i];
        TArg arg;
        if (!t.Quoted && t.Word.rfind("out:", 0) == 0) {
            arg.OutName = t.Word.substr(4);
            if (arg.OutName.empty())
                throw TScriptError("out: needs a variable name");
            // The host passes the variable's current value; the add-in replaces it.
            auto it = FVars.find(arg.OutName);
            if (it != FVars.end())
                arg.Value = it->second;
        } else {
            arg.Value = Literal(t);
        }
        out.push_back(std::move(arg));
    }
    return out;
}

// ---- calls ----

std::string THostSession::TakeHostString(const WCHAR_T* p, const char* what) {
    if (!p)
        return {};
    std::string text = ToUtf8(p);
    if (!FMemory.IsLive(p)) {
        Fail(std::string(what) + " returned a string not allocated by the host's memory manager");
        return text;
    }
    FMemory.FreeOwned(const_cast<WCHAR_T*>(p), what);
    return text;
}

std::string THostSession::MethodName(long n, long alias) {
    return TakeHostString(FObject->GetMethodName(n, alias), "GetMethodName");
}

std::string THostSession::PropName(long n, long alias) {
    return TakeHostString(FObject->GetPropName(n, alias), "GetPropName");
}

void THostSession::Call(const std::string& name, const std::vector<TToken>& tokens,
                        std::size_t from) {
    std::vector<TArg> args = Args(tokens, from);
    FLastEntryOk = true;
    FLastRet = THostValue::Empty();
    FLastError.reset();
    FLastHostErrors.clear();
    FMemory.SetContext(FWhere + " " + name);

    ILanguageExtenderBase* ext = FObject;
    long n = ext->FindMethod(FromUtf8(name).c_str());
    if (n < 0) {
        FLastEntryOk = false;
        Fail("no method " + name);
        return;
    }
    long count = ext->GetNParams(n);
    bool hasRet = ext->HasRetVal(n);
    if (count < 0 || static_cast<std::size_t>(count) < args.size()) {
        Fail(name + " takes " + std::to_string(count) + " parameter(s), " +
             std::to_string(args.size()) + " given");
        return;
    }
    std::vector<tVariant> params(static_cast<std::size_t>(count));
    bool prepared = true;
    for (std::size_t i = 0; i < params.size() && prepared; ++i) {
        if (i < args.size()) {
            prepared = ToVariant(args[i].Value, FMemory, params[i]);
            continue;
        }
        // A parameter left out takes the method's default value, copied into host memory.
        tVariant def{};
        if (!ext->GetParamDefValue(n, long(i), &def)) {
            Fail(name + ": parameter " + std::to_string(i + 1) + " missing and has no default");
            prepared = false;
            break;
        }
        std::string fault;
        THostValue v = FromVariant(def, FMemory, fault);
        prepared = ToVariant(v, FMemory, params[i]);
    }
    if (!prepared) {
        for (tVariant& p : params)
            ReleaseVariant(p, FMemory, "the host");
        CheckMemory();
        return;
    }

    tVariant ret{};
    tVariant* array = params.empty() ? nullptr : params.data();
    bool ok = hasRet ? ext->CallAsFunc(n, &ret, array, count) : ext->CallAsProc(n, array, count);
    FLastEntryOk = ok;
    FMemory.SetContext(FWhere + " after " + name);
    std::string fault;
    if (hasRet) {
        THostValue v = FromVariant(ret, FMemory, fault);
        if (!fault.empty())
            Fail(name + " return value: " + fault);
        if (ok)
            FLastRet = v;
        ReleaseVariant(ret, FMemory, "the host (return value)");
    }
    Say("> " + name + (ok ? "" : "  [the call failed: the entry point returned false]"));
    if (ok && hasRet)
        Note("= " + Shown(FLastRet));
    for (std::size_t i = 0; i < params.size(); ++i) {
        THostValue v = FromVariant(params[i], FMemory, fault);
        if (!fault.empty())
            Fail(name + " parameter " + std::to_string(i + 1) + ": " + fault);
        if (i < args.size() && !args[i].OutName.empty()) {
            FVars[args[i].OutName] = v;
            Note(args[i].OutName + " = " + Shown(v));
        }
        ReleaseVariant(params[i], FMemory, "the host (parameter)");
    }
    DrainConnection();
    FVars["ret"] = FLastRet;
    if (ok && FLastRet.Type == VTYPE_BOOL && !FLastRet.Bool)
        FetchLastError();
    CheckMemory();
}

void THostSession::FetchLastError() {
    ILanguageExtenderBase* ext = FObject;
    long n = ext->FindMethod(u"GetLastError");
    if (n < 0 || ext->GetNParams(n) != 1 || !ext->HasRetVal(n))
        return;
    FMemory.SetContext(FWhere + " GetLastError");
    tVariant ret{};
    tVariant text{};
    if (!ext->CallAsFunc(n, &ret, &text, 1)) {
        Fail("GetLastError failed");
        DrainConnection();
        return;
    }
    std::string fault;
    THostValue code = FromVariant(ret, FMemory, fault);
    if (!fault.empty())
        Fail("GetLastError return value: " + fault);
    THostValue description = FromVariant(text, FMemory, fault);
    if (!fault.empty())
        Fail("GetLastError parameter: " + fault);
    ReleaseVariant(ret, FMemory, "the host (GetLastError)");
    ReleaseVariant(text, FMemory, "the host (GetLastError)");
    FLastError = std::make_pair(code.Int, description.Text);
    FVars["errcode"] = code;
    FVars["errtext"] = description;
    Note("GetLastError = " + std::to_string(code.Int) + " " + Quote(description.Text));
}

// ---- listings ----

void THostSession::ListClasses() {
    std::string names = ToUtf8(FGetClassNames());
    FVars["ret"] = THostValue::WString(names);
    std::cout << names << '\n';
}

void THostSession::ListInfo() {
    std::cout << "class names: " << ToUtf8(FGetClassNames()) << '\n';
    std::cout << "attach type: " << FGetAttachType() << '\n';
    std::cout << "info: " << FObject->GetInfo() << '\n';
    FMemory.SetContext(FWhere + " RegisterExtensionAs");
    WCHAR_T* ext = nullptr;
    bool ok = FObject->RegisterExtensionAs(&ext);
    std::cout << "extension: " << (ok ? TakeHostString(ext, "RegisterExtensionAs") : "(false)")
              << '\n';
    std::cout << "methods: " << FObject->GetNMethods() << ", properties: " << FObject->GetNProps()
              << '\n';
    CheckMemory();
}

void THostSession::ListMethods() {
    FMemory.SetContext(FWhere + " methods");
    long n = FObject->GetNMethods();
    for (long i = 0; i < n; ++i) {
        std::cout << i << ' ' << MethodName(i, 0) << ' ' << MethodName(i, 1) << ' '
                  << FObject->GetNParams(i) << ' '
                  << (FObject->HasRetVal(i) ? "function" : "procedure") << '\n';
    }
    FVars["ret"] = THostValue::I4(int32_t(n));
    CheckMemory();
}

void THostSession::ListProps() {
    FMemory.SetContext(FWhere + " props");
    long n = FObject->GetNProps();
    for (long i = 0; i < n; ++i) {
        std::cout << i << ' ' << PropName(i, 0) << ' ' << PropName(i, 1) << ' '
                  << (FObject->IsPropReadable(i) ? "readable" : "unreadable") << ' '
                  << (FObject->IsPropWritable(i) ? "writable" : "read-only") << '\n';
    }
    FVars["ret"] = THostValue::I4(int32_t(n));
    CheckMemory();
}

void THostSession::CheckNames() {
    FMemory.SetContext(FWhere + " check-names");
    ILanguageExtenderBase* ext = FObject;
    // Each name must find a method that carries the same pair of names (an earlier entry may
    // shadow a later one of the same name).
    for (long i = 0; i < ext->GetNMethods(); ++i) {
        std::string en = MethodName(i, 0), ru = MethodName(i, 1);
        for (const std::string& name : {en, ru}) {
            long found = ext->FindMethod(FromUtf8(name).c_str());
            if (found < 0 || MethodName(found, 0) != en || MethodName(found, 1) != ru)
                Fail("FindMethod(" + Quote(name) + ") = " + std::to_string(found) +
                     ", not method " + std::to_string(i));
        }
    }
    for (long i = 0; i < ext->GetNProps(); ++i) {
        std::string en = PropName(i, 0), ru = PropName(i, 1);
        for (const std::string& name : {en, ru}) {
            long found = ext->FindProp(FromUtf8(name).c_str());
            if (found < 0 || PropName(found, 0) != en || PropName(found, 1) != ru)
                Fail("FindProp(" + Quote(name) + ") = " + std::to_string(found) +
                     ", not property " + std::to_string(i));
        }
    }
    CheckMemory();
}

void THostSession::GetProp(const std::vector<TToken>& tokens) {
    if (tokens.size() < 2 || tokens.size() > 3)
        throw TScriptError("usage: get NAME [out:VAR]");
    std::string name = NameArg(tokens[1]);
    std::string var;
    if (tokens.size() == 3) {
        if (tokens[2].Word.rfind("out:", 0) != 0 || tokens[2].Word.size() < 5)
            throw TScriptError("usage: get NAME [out:VAR]");
        var = tokens[2].Word.substr(4);
    }
    FLastHostErrors.clear();
    FLastError.reset();
    FMemory.SetContext(FWhere + " get " + name);
    long n = FObject->FindProp(FromUtf8(name).c_str());
    if (n < 0) {
        FLastEntryOk = false;
        Fail("no property " + name);
        return;
    }
    tVariant value{};
    FLastEntryOk = FObject->GetPropVal(n, &value);
    std::string fault;
    THostValue v = FromVariant(value, FMemory, fault);
    if (!fault.empty())
        Fail("property " + name + ": " + fault);
    ReleaseVariant(value, FMemory, "the host (property)");
    FLastRet = FLastEntryOk ? v : THostValue::Empty();
    Say("> get " + name + (FLastEntryOk ? "" : "  [GetPropVal returned false]"));
    if (FLastEntryOk)
        Note("= " + Shown(v));
    FVars["ret"] = FLastRet;
    if (!var.empty())
        FVars[var] = FLastRet;
    DrainConnection();
    CheckMemory();
}

void THostSession::SetProp(const std::vector<TToken>& tokens) {
    if (tokens.size() != 3)
        throw TScriptError("usage: set NAME VALUE");
    std::string name = NameArg(tokens[1]);
    THostValue v = Literal(tokens[2]);
    FLastHostErrors.clear();
    FLastError.reset();
    FMemory.SetContext(FWhere + " set " + name);
    long n = FObject->FindProp(FromUtf8(name).c_str());
    if (n < 0) {
        FLastEntryOk = false;
        Fail("no property " + name);
        return;
    }
    tVariant value{};
    if (!ToVariant(v, FMemory, value)) {
        Fail("set " + name + ": the host could not allocate the value");
        return;
    }
    FLastEntryOk = FObject->SetPropVal(n, &value);
    ReleaseVariant(value, FMemory, "the host (property)");
    FLastRet = THostValue::Boolean(FLastEntryOk);
    FVars["ret"] = FLastRet;
    Say("> set " + name);
    Note("= " + Format(FLastRet));
    DrainConnection();
    CheckMemory();
}

// ---- expectations ----

void THostSession::Expect(const std::string& command, const std::vector<TToken>& tokens) {
    if (command == "expect") {
        if (tokens.size() != 2)
            throw TScriptError("usage: expect VALUE");
        THostValue want = Literal(tokens[1]);
        if (!FLastEntryOk)
            Fail("expected " + Format(want) + ", but the call itself failed");
        else if (!SameValue(FLastRet, want))
            Fail("expected " + Format(want) + ", got " + Format(FLastRet));
        return;
    }
    if (command == "expect-error") {
        if (tokens.size() < 2 || tokens.size() > 3)
            throw TScriptError("usage: expect-error CODE [TEXT]");
        int64_t code = Value(tokens, 1).Int;
        if (!FLastEntryOk || FLastRet.Type != VTYPE_BOOL || FLastRet.Bool) {
            Fail("expected a false result with error " + std::to_string(code) + ", got " +
                 (FLastEntryOk ? Format(FLastRet) : std::string("a failed call")));
            return;
        }
        if (!FLastError) {
            Fail("expected error " + std::to_string(code) + ", but GetLastError gave nothing");
            return;
        }
        if (FLastError->first != code)
            Fail("expected error " + std::to_string(code) + ", got " +
                 std::to_string(FLastError->first) + " " + Quote(FLastError->second));
        if (tokens.size() == 3) {
            std::string text = PlainText(Value(tokens, 2));
            if (FLastError->second != text)
                Fail("expected error text " + Quote(text) + ", got " + Quote(FLastError->second));
        }
        return;
    }
    if (command == "expect-host-error") {
        if (tokens.size() < 2 || tokens.size() > 3)
            throw TScriptError("usage: expect-host-error CODE [TEXT]");
        int64_t code = Value(tokens, 1).Int;
        std::string text = tokens.size() == 3 ? PlainText(Value(tokens, 2)) : "";
        for (const THostError& e : FLastHostErrors)
            if (e.Code == code && (tokens.size() == 2 || e.Description == text))
                return;
        std::string got;
        for (const THostError& e : FLastHostErrors)
            got += " " + std::to_string(e.Code) + " " + Quote(e.Description);
        Fail("expected AddError " + std::to_string(code) +
             (tokens.size() == 3 ? " " + Quote(text) : "") +
             (got.empty() ? ", none reported" : ", got" + got));
        return;
    }
    if (command == "expect-equal") {
        if (tokens.size() != 3)
            throw TScriptError("usage: expect-equal A B");
        THostValue a = Value(tokens, 1), b = Value(tokens, 2);
        if (!SameValue(a, b))
            Fail(tokens[1].Source() + ": expected " + Format(b) + ", got " + Format(a));
        return;
    }
    if (command == "expect-contains" || command == "expect-not-contains") {
        if (tokens.size() != 3)
            throw TScriptError("usage: " + command + " VALUE TEXT");
        std::string hay = PlainText(Value(tokens, 1));
        std::string needle = PlainText(Value(tokens, 2));
        bool found = hay.find(needle) != std::string::npos;
        if (found != (command == "expect-contains"))
            Fail(tokens[1].Source() + (found ? " contains " : " lacks ") + Quote(needle) + ": " +
                 Quote(hay.substr(0, 400)));
        return;
    }
    if (command == "expect-match") {
        if (tokens.size() != 3)
            throw TScriptError("usage: expect-match VALUE REGEX");
        std::string text = PlainText(Value(tokens, 1));
        std::string pattern = PlainText(Value(tokens, 2));
        std::regex re;
        try {
            re = std::regex(pattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            throw TScriptError("bad regular expression " + Quote(pattern) + ": " + e.what());
        }
        if (!std::regex_search(text, re))
            Fail(tokens[1].Source() + " does not match " + Quote(pattern) + ": " +
                 Quote(text.substr(0, 400)));
        return;
    }
    if (command == "expect-type") {
        if (tokens.size() != 3)
            throw TScriptError("usage: expect-type VALUE TYPE");
        THostValue v = Value(tokens, 1);
        if (!TypeMatches(v.Type, tokens[2].Word))
            Fail(tokens[1].Source() + ": expected type " + tokens[2].Word + ", got " +
                 TypeName(v.Type));
        return;
    }
    throw TScriptError("unknown command " + command);
}

// ---- dispatch ----

void THostSession::RunLine(const std::string& line, const std::string& where) {
    std::vector<TToken> tokens = Tokenize(line);
    if (tokens.empty())
        return;
    FWhere = where;
    if (tokens[0].Quoted)
        throw TScriptError("a line starts with a command or a method name");
    const std::string& cmd = tokens[0].Word;
    auto noArgs = [&] {
        if (tokens.size() != 1)
            throw TScriptError(cmd + " takes no arguments");
    };
    if (cmd == "call") {
        if (tokens.size() < 2)
            throw TScriptError("usage: call METHOD [ARG...]");
        Call(NameArg(tokens[1]), tokens, 2);
    } else if (cmd == "classes") {
        noArgs();
        ListClasses();
    } else if (cmd == "info") {
        noArgs();
        ListInfo();
    } else if (cmd == "methods") {
        noArgs();
        ListMethods();
    } else if (cmd == "props") {
        noArgs();
        ListProps();
    } else if (cmd == "check-names") {
        noArgs();
        CheckNames();
    } else if (cmd == "find-method" || cmd == "find-prop") {
        if (tokens.size() != 2)
            throw TScriptError("usage: " + cmd + " NAME");
        std::u16string name = FromUtf8(NameArg(tokens[1]));
        long n = cmd == "find-method" ? FObject->FindMethod(name.c_str())
                                      : FObject->FindProp(name.c_str());
        FLastEntryOk = true;
        FLastRet = THostValue::I4(int32_t(n));
        FVars["ret"] = FLastRet;
        Say("> " + cmd + " " + ToUtf8(name));
        Note("= " + std::to_string(n));
    } else if (cmd == "new-object") {
        noArgs();
        std::string error;
        if (!NewObject(error)) {
            Fail(error);
        } else {
            Say("> new-object");
            Note("= object " + std::to_string(FObjects.size() - 1));
        }
    } else if (cmd == "use-object" || cmd == "end-object") {
        THostValue n = Value(tokens, 1);
        if (tokens.size() != 2 || n.Int < 0 || n.Int >= int64_t(FObjects.size()))
            throw TScriptError("usage: " + cmd + " N (0.." + std::to_string(FObjects.size() - 1) +
                               ")");
        if (cmd == "use-object") {
            FObject = FObjects[std::size_t(n.Int)];
        } else {
            if (FObjects.size() == 1)
                throw TScriptError("end-object: the last object ends with the run");
            EndObject(std::size_t(n.Int));
            Say("> end-object " + std::to_string(n.Int) + " (now using object 0)");
        }
    } else if (cmd == "get") {
        GetProp(tokens);
    } else if (cmd == "set") {
        SetProp(tokens);
    } else if (cmd == "let") {
        if (tokens.size() != 3 || tokens[1].Quoted)
            throw TScriptError("usage: let NAME VALUE");
        FVars[tokens[1].Word] = Literal(tokens[2]);
    } else if (cmd == "print") {
        std::string out;
        for (std::size_t i = 1; i < tokens.size(); ++i)
            out += (i > 1 ? " " : "") + PlainText(Literal(tokens[i]));
        std::cout << out << '\n';
    } else if (cmd == "show") {
        for (std::size_t i = 1; i < tokens.size(); ++i)
            std::cout << tokens[i].Source() << " = " << Format(Literal(tokens[i])) << '\n';
    } else if (cmd == "save") {
        if (tokens.size() != 3)
            throw TScriptError("usage: save VALUE FILE");
        std::string path = PlainText(Literal(tokens[2]));
        std::ofstream out(path, std::ios::binary);
        out << PlainText(Literal(tokens[1]));
        if (!out)
            Fail("cannot write " + path);
    } else if (cmd == "locale" || cmd == "language") {
        if (tokens.size() != 2)
            throw TScriptError("usage: " + cmd + " TEXT");
        std::u16string text = FromUtf8(PlainText(Literal(tokens[1])));
        FMemory.SetContext(FWhere + " " + cmd);
        if (cmd == "locale")
            static_cast<LocaleBase*>(FObject)->SetLocale(text.c_str());
        else
            static_cast<UserLanguageBase*>(FObject)->SetUserInterfaceLanguageCode(text.c_str());
        DrainConnection();
        CheckMemory();
    } else if (cmd == "fail-alloc") {
        THostValue n = Value(tokens, 1);
        if (tokens.size() != 2 || n.Int < 0)
            throw TScriptError("usage: fail-alloc COUNT");
        FMemory.FailNext(unsigned(n.Int));
    } else if (cmd == "memory") {
        noArgs();
        std::cout << "host memory: " << FMemory.LiveCount() << " live, " << FMemory.AllocCount()
                  << " allocated, " << FMemory.FreeCount() << " freed, " << FMemory.Faults().size()
                  << " bad frees\n";
        FVars["ret"] = THostValue::I4(int32_t(FMemory.LiveCount()));
    } else if (cmd.rfind("expect", 0) == 0) {
        Expect(cmd, tokens);
    } else {
        Call(cmd, tokens, 1);
    }
    std::cout.flush();
}

void THostSession::RunSummary() {
    FWhere = "summary";
    ListInfo();
    std::cout << "\nmethods (number, name, Russian name, parameters, kind):\n";
    ListMethods();
    std::cout << "\nproperties:\n";
    ListProps();
}

} // namespace khost
