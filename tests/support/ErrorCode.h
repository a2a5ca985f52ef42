#pragma once
// What a driver error carries, read from an action that should raise one.

#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <functional>
#include <ostream>
#include <string>

namespace korvtest {

/// The code of the EquException that AAction raises; 0 when it raises none.
inline int EquCode(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const korv::EquException& E) {
        return E.Code;
    }
    return 0;
}

struct TEquError {
    int Code = 0;
    std::u16string Message;
    bool operator==(const TEquError&) const = default;
};

inline void PrintTo(const TEquError& E, std::ostream* AOut) {
    *AOut << E.Code << " \"" << korv::U16ToUtf8(E.Message) << "\"";
}

/// The code and message of the EquException that AAction raises; {0, ""}
/// when it raises none.
inline TEquError EquError(const std::function<void()>& AAction) {
    try {
        AAction();
    } catch (const korv::EquException& E) {
        return {E.Code, E.Message()};
    }
    return {};
}

} // namespace korvtest
