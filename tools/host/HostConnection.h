// The host's connection object handed to the add-in by Init: records what the add-in reports.
#pragma once

#include "HostAbi.h"

#include <string>
#include <vector>

namespace khost {

struct THostError {
    unsigned short Code;
    std::string Source; // UTF-8
    std::string Description;
    long SCode;
};

class THostConnection final : public IAddInDefBase {
public:
    bool AddError(unsigned short wcode, const WCHAR_T* source, const WCHAR_T* descr,
                  long scode) override;
    bool Read(WCHAR_T* wszPropName, tVariant* pVal, long* pErrCode,
              WCHAR_T** errDescriptor) override;
    bool Write(WCHAR_T* wszPropName, tVariant* pVar) override;
    bool RegisterProfileAs(WCHAR_T* wszProfileName) override;
    bool SetEventBufferDepth(long lDepth) override;
    long GetEventBufferDepth() override { return FEventBufferDepth; }
    bool ExternalEvent(WCHAR_T* wszSource, WCHAR_T* wszMessage, WCHAR_T* wszData) override;
    void CleanEventBuffer() override {}
    bool SetStatusLine(WCHAR_T* wszStatusLine) override;
    void ResetStatusLine() override {}

    // Everything reported since the last call of Take (errors, events, status lines), oldest
    // first, as printable lines.
    std::vector<std::string> TakeNotes();
    // The errors reported since the last call of TakeErrors.
    std::vector<THostError> TakeErrors();

private:
    std::vector<THostError> FErrors;
    std::vector<std::string> FNotes;
    long FEventBufferDepth = 1;
};

} // namespace khost
