#pragma once
// The checks of the Windows test programs: a failed check prints its text at
// once (the programs run under Wine, whose output may be cut short), and the
// program ends with a line of the counts and exit code 1 if any failed.

#include <cstdio>
#include <string>

namespace wintest {

inline int gChecks = 0;
inline int gFailures = 0;

inline void Check(bool AOk, const std::string& AWhat) {
    ++gChecks;
    if (!AOk) {
        ++gFailures;
        std::printf("FAIL: %s\n", AWhat.c_str());
        std::fflush(stdout);
    }
}

} // namespace wintest
