#pragma once
// Host calls on a register over TCP, timed the same way for the Linux library and the Windows
// DLL (under Wine), so that `./run bench` can set them side by side: rounds of
// ConnectEquipment (each followed by an untimed DisconnectEquipment), then, on one connected
// register, rounds of GetDateTime and GetDataKKT. Each command prints one line:
//   <command> <median ms> <fastest ms> <rounds>
// The register is the emulator on 127.0.0.1:PORT, started by the caller.
//
// THost::Call(name, inputs, outputs) calls a method with text parameters (an empty slot for an
// absent input) and returns its Boolean result with the parameters' texts after the call.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace korvbench {

using TTexts = std::vector<std::optional<std::u16string>>;

inline std::u16string TcpBenchSettings(const std::u16string& APort) {
    auto P = [](const char16_t* AName, const std::u16string& AValue) {
        return u"<Parameter Name=\"" + std::u16string(AName) + u"\" Value=\"" + AValue + u"\"/>";
    };
    return u"<Parameters>" + P(u"PortNumber", u"9999") + P(u"IPAddress", u"127.0.0.1") +
           P(u"IPPort", APort) + P(u"ConnectPwd", u"30") + P(u"LogEnabled", u"false") +
           u"</Parameters>";
}

// Times ACall ARounds times, running AAfter untimed after each; prints the line, false when a
// call failed.
template <class F, class G> bool TimeCalls(const char* AName, int ARounds, F&& ACall, G&& AAfter) {
    std::vector<double> Ms;
    for (int i = 0; i < ARounds; ++i) {
        const auto Start = std::chrono::steady_clock::now();
        const bool Called = ACall();
        const auto End = std::chrono::steady_clock::now();
        if (!Called || !AAfter()) {
            std::printf("%s failed\n", AName);
            return false;
        }
        Ms.push_back(std::chrono::duration<double, std::milli>(End - Start).count());
    }
    std::sort(Ms.begin(), Ms.end());
    std::printf("%s %.3f %.3f %d\n", AName, Ms[Ms.size() / 2], Ms.front(), ARounds);
    std::fflush(stdout);
    return true;
}

template <class THost> int RunTcpCalls(THost& AHost, const std::u16string& APort, int ARounds) {
    const std::u16string Settings = TcpBenchSettings(APort);
    std::vector<std::u16string> Out;
    const auto Nothing = [] { return true; };
    const bool Connects = TimeCalls(
        "ConnectEquipment", ARounds,
        [&] {
            return AHost.Call(u"ConnectEquipment", {std::nullopt, u"", Settings}, Out);
        },
        [&] {
            std::vector<std::u16string> Ignored;
            return AHost.Call(u"DisconnectEquipment", {Out[0]}, Ignored);
        });
    if (!Connects || !AHost.Call(u"ConnectEquipment", {std::nullopt, u"", Settings}, Out))
        return 1;
    const std::u16string Id = Out[0];
    const bool Ok = TimeCalls(
                        "GetDataKKT", ARounds,
                        [&] {
                            return AHost.Call(u"GetDataKKT", {Id, std::nullopt}, Out);
                        },
                        Nothing) &&
                    TimeCalls(
                        "GetDateTime", ARounds,
                        [&] {
                            return AHost.Call(u"GetDateTime", {Id, std::nullopt}, Out);
                        },
                        Nothing);
    AHost.Call(u"DisconnectEquipment", {Id}, Out);
    return Ok ? 0 : 1;
}

} // namespace korvbench
