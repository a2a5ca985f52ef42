#pragma once
// A point in time that a whole exchange must end by. It is handed down
// through every partial read, so that no wait restarts the clock: a wait
// takes the smaller of its own limit and what is left of the deadline.

#include <algorithm>
#include <chrono>
#include <climits>

namespace korv {

class TDeadline {
public:
    using TClock = std::chrono::steady_clock;

    /// AMs milliseconds from now (0 or less: already passed).
    static TDeadline After(long long AMs) {
        return TDeadline(TClock::now() + std::chrono::milliseconds(std::max(AMs, 0LL)));
    }
    /// No limit at all.
    static TDeadline Never() { return TDeadline(TClock::time_point::max()); }

    bool IsNever() const { return FAt == TClock::time_point::max(); }
    /// Milliseconds left, rounded up (0 once passed; INT_MAX for no limit).
    int LeftMs() const {
        if (IsNever())
            return INT_MAX;
        const auto Left = FAt - TClock::now();
        if (Left <= TClock::duration::zero())
            return 0;
        const auto Ms = std::chrono::ceil<std::chrono::milliseconds>(Left).count();
        return Ms > INT_MAX ? INT_MAX : static_cast<int>(Ms);
    }
    bool Passed() const { return !IsNever() && TClock::now() >= FAt; }
    /// The wait for one step: AMs (negative: no limit of its own), cut to what
    /// is left. Negative only when neither limits it.
    int Wait(int AMs) const {
        if (IsNever())
            return AMs;
        const int Left = LeftMs();
        return AMs < 0 ? Left : std::min(AMs, Left);
    }
    /// The earlier of this deadline and AOther.
    TDeadline Sooner(const TDeadline& AOther) const {
        return TDeadline(std::min(FAt, AOther.FAt));
    }

private:
    explicit TDeadline(TClock::time_point AAt) : FAt(AAt) {}
    TClock::time_point FAt;
};

} // namespace korv
