#include "HostConnection.h"

#include "HostValue.h"

#include <cstdio>

namespace khost {

bool THostConnection::AddError(unsigned short wcode, const WCHAR_T* source, const WCHAR_T* descr,
                               long scode) {
    THostError e{wcode, source ? ToUtf8(source) : "", descr ? ToUtf8(descr) : "", scode};
    char code[32];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(scode) & 0xFFFFFFFFul);
    FNotes.push_back("AddError " + std::to_string(wcode) + " " + Quote(e.Source) + " " +
                     Quote(e.Description) + " " + code);
    FErrors.push_back(std::move(e));
    return true;
}

bool THostConnection::Read(WCHAR_T* wszPropName, tVariant* pVal, long* pErrCode,
                           WCHAR_T** errDescriptor) {
    FNotes.push_back("Read " + Quote(wszPropName ? ToUtf8(wszPropName) : ""));
    if (pVal)
        *pVal = tVariant{};
    if (pErrCode)
        *pErrCode = 0;
    if (errDescriptor)
        *errDescriptor = nullptr;
    return false;
}

bool THostConnection::Write(WCHAR_T* wszPropName, tVariant*) {
    FNotes.push_back("Write " + Quote(wszPropName ? ToUtf8(wszPropName) : ""));
    return false;
}

bool THostConnection::RegisterProfileAs(WCHAR_T* wszProfileName) {
    FNotes.push_back("RegisterProfileAs " + Quote(wszProfileName ? ToUtf8(wszProfileName) : ""));
    return true;
}

bool THostConnection::SetEventBufferDepth(long lDepth) {
    FEventBufferDepth = lDepth;
    return true;
}

bool THostConnection::ExternalEvent(WCHAR_T* wszSource, WCHAR_T* wszMessage, WCHAR_T* wszData) {
    FNotes.push_back("ExternalEvent " + Quote(wszSource ? ToUtf8(wszSource) : "") + " " +
                     Quote(wszMessage ? ToUtf8(wszMessage) : "") + " " +
                     Quote(wszData ? ToUtf8(wszData) : ""));
    return true;
}

bool THostConnection::SetStatusLine(WCHAR_T* wszStatusLine) {
    FNotes.push_back("SetStatusLine " + Quote(wszStatusLine ? ToUtf8(wszStatusLine) : ""));
    return true;
}

std::vector<std::string> THostConnection::TakeNotes() {
    std::vector<std::string> out;
    out.swap(FNotes);
    return out;
}

std::vector<THostError> THostConnection::TakeErrors() {
    std::vector<THostError> out;
    out.swap(FErrors);
    return out;
}

} // namespace khost
