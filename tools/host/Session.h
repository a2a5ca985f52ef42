// One run of the host tool: the loaded library, one object of its class, the variables of the
// script, and the account of expectations and memory faults.
#pragma once

#include "HostAbi.h"
#include "HostConnection.h"
#include "HostMemory.h"
#include "HostValue.h"
#include "Script.h"

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace khost {

struct TSessionOptions {
    std::string ClassName; // empty: the first class the library offers
    bool Quiet = false;
    bool StopOnFailure = false;
    bool AllowMemoryFaults = false;
    bool Unload = true;
};

class THostSession {
public:
    explicit THostSession(TSessionOptions options);
    THostSession(const THostSession&) = delete;
    THostSession& operator=(const THostSession&) = delete;
    ~THostSession();

    // Loads the library, creates the object and hands it the memory manager and the connection.
    // False (with a message on stderr) when any of that fails.
    bool Open(const std::string& libraryPath);
    // Runs one line; `where` ("file:line") prefixes messages. Throws TScriptError for a
    // malformed line.
    void RunLine(const std::string& line, const std::string& where);
    // True once an expectation failed and the run should stop (StopOnFailure).
    bool Stopped() const { return FStopped; }
    // Ends the object (Done, DestroyObject), unloads the library, reports memory faults and
    // returns the exit status: 0, or 1 when an expectation failed or memory was mishandled.
    int Close();

    // The summary shown when the tool runs without commands.
    void RunSummary();

private:
    struct TArg {
        THostValue Value;
        std::string OutName; // non-empty for out:name
    };

    // Creates an object of the class, hands it the memory manager and the connection and makes
    // it the current one; false with `error` set when the library gives none.
    bool NewObject(std::string& error);
    // Done and DestroyObject for object `index`; the first remaining one becomes current.
    void EndObject(std::size_t index);
    void Fail(const std::string& message);
    void Note(const std::string& line);
    void Say(const std::string& line);
    void DrainConnection();
    void CheckMemory();

    THostValue Literal(const TToken& token) const;
    std::vector<TArg> Args(const std::vector<TToken>& tokens, std::size_t from) const;
    // A method or property name: a bare word as written, or a string value.
    std::string NameArg(const TToken& token) const;
    THostValue Value(const std::vector<TToken>& tokens, std::size_t index) const;

    void Call(const std::string& name, const std::vector<TToken>& tokens, std::size_t from);
    void FetchLastError();
    std::string TakeHostString(const WCHAR_T* p, const char* what);
    std::string MethodName(long n, long alias);
    std::string PropName(long n, long alias);

    void ListClasses();
    void ListInfo();
    void ListMethods();
    void ListProps();
    void CheckNames();
    void GetProp(const std::vector<TToken>& tokens);
    void SetProp(const std::vector<TToken>& tokens);
    void Expect(const std::string& command, const std::vector<TToken>& tokens);

    TSessionOptions FOptions;
    void* FLibrary = nullptr;
    GetClassNamesFn FGetClassNames = nullptr;
    GetClassObjectFn FGetClassObject = nullptr;
    DestroyObjectFn FDestroyObject = nullptr;
    GetAttachTypeFn FGetAttachType = nullptr;
    std::string FClassName;
    // Every object created, in order; FObject is the one commands talk to.
    std::vector<IComponentBase*> FObjects;
    IComponentBase* FObject = nullptr;
    THostMemory FMemory;
    THostConnection FConnection;

    std::map<std::string, THostValue> FVars;
    std::string FWhere;
    // Outcome of the last call.
    bool FLastEntryOk = true;
    THostValue FLastRet;
    std::optional<std::pair<int64_t, std::string>> FLastError;
    std::vector<THostError> FLastHostErrors;

    std::size_t FMemoryFaultsSeen = 0;
    unsigned FFailures = 0;
    bool FStopped = false;
};

} // namespace khost
