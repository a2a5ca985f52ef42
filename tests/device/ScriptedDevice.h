#pragma once
// A register command object whose link is a script: a command with a standing
// answer for its code always gets that; any other takes the next scripted
// answer (silence, 1007, when none is left). Every command is recorded with
// the bytes it would have sent.

#include "device/uDevice.h"

#include "common/uEquipmentErrors.h"
#include "support/ErrorCode.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace korv::test {

using korvtest::EquCode;

struct TSentCommand {
    std::string Cmd;
    std::string Data;
    int Timeout;
    bool SendPwd;
    bool WaitResponse;
};

struct TScriptedAnswer {
    int LinkCode;         // what the link returns
    std::string Response; // the answer, result code first
};

class TScriptedDevice : public TDevice {
public:
    TScriptedDevice() { SetConnectPwd(ConnectPasswordBytes(DefaultConnectPassword)); }

    /// Queues an answer: result code, then the data bytes.
    void Answer(int AResult, std::string AData = {}) {
        Script.push_back({0, std::string(1, static_cast<char>(AResult)) + AData});
    }
    /// Queues a raw answer (possibly empty) with a link code.
    void Raw(int ALinkCode, std::string AResponse) {
        Script.push_back({ALinkCode, std::move(AResponse)});
    }
    /// The answer always given to a command code.
    void Standing(std::string ACmd, std::string AResponse) {
        StandingAnswers[std::move(ACmd)] = std::move(AResponse);
    }
    /// A short state answer with this mode byte and submode (15 bytes).
    static std::string ECRState(int AMode, int ASubmode) {
        std::string r(15, '\0');
        r[4] = static_cast<char>(AMode);
        r[5] = static_cast<char>(ASubmode);
        return r;
    }
    /// Commands sent, skipping short state queries when ASkipState.
    std::vector<TSentCommand> SentCommands(bool ASkipState = true) const {
        std::vector<TSentCommand> out;
        for (const auto& c : Sent)
            if (!ASkipState || c.Cmd != "\x10")
                out.push_back(c);
        return out;
    }

    int RunCommand(std::string_view ACmd, std::string_view AData, int ATimeout, bool ASendPwd,
                   bool AWaitResponse) override {
        Sent.push_back({std::string(ACmd), std::string(AData), ATimeout, ASendPwd, AWaitResponse});
        FResponse.clear();
        const auto it = StandingAnswers.find(std::string(ACmd));
        if (it != StandingAnswers.end()) {
            FResponse = it->second;
            return 0;
        }
        if (!Script.empty()) {
            TScriptedAnswer a = Script.front();
            Script.pop_front();
            FResponse = a.Response;
            return a.LinkCode;
        }
        return 1007;
    }

    std::vector<TSentCommand> Sent;
    std::deque<TScriptedAnswer> Script;
    std::map<std::string, std::string> StandingAnswers;
    std::vector<int> Pauses;

protected:
    void Pause(int AMilliseconds) override { Pauses.push_back(AMilliseconds); }
};

/// Bytes from a list of values: B({0x21, 0x0A}).
inline std::string B(std::initializer_list<int> AValues) {
    std::string s;
    for (int v : AValues)
        s += static_cast<char>(v);
    return s;
}

/// One TLV item.
inline std::string Item(int ATag, const std::string& AValue) {
    return B({ATag & 0xFF, ATag >> 8, static_cast<int>(AValue.size() & 0xFF),
              static_cast<int>(AValue.size() >> 8)}) +
           AValue;
}

} // namespace korv::test
