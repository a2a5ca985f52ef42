// The TCP host calls of TcpCalls.h on the Linux add-in, called through its raw entry slots as
// the host calls them (bench/wine_tcp.sh sets them beside the Windows DLL's under Wine).
//
// usage: tcp_calls PORT ROUNDS
#include "BenchHost.h"
#include "TcpCalls.h"

#include "common/uText.h"

namespace {

using namespace korv;

class TLinuxHost {
public:
    bool Call(const char16_t* AName, const korvbench::TTexts& AIn,
              std::vector<std::u16string>& AOut) {
        std::vector<V8Variant> Params;
        for (const auto& T : AIn)
            Params.push_back(T ? FHost.Text(*T) : V8Variant{});
        V8Variant Ret{};
        const bool Called = FHost.CallAsFunc(FHost.FindMethod(AName), &Ret, Params.data(),
                                             static_cast<long>(Params.size()));
        AOut.clear();
        for (auto& V : Params) {
            AOut.push_back(V.vt == VTYPE_PWSTR ? V8AsWideString(&V) : std::u16string());
            korvbench::ReleaseValue(FHost.Memory, V);
        }
        const bool Ok = Called && Ret.vt == VTYPE_BOOL && Ret.bVal;
        korvbench::ReleaseValue(FHost.Memory, Ret);
        return Ok;
    }

private:
    korvbench::THostObject FHost;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::printf("usage: tcp_calls PORT ROUNDS\n");
        return 2;
    }
    const korvbench::TScratchCleanup Cleanup;
    TLinuxHost Host;
    const std::string Port = argv[1];
    return korvbench::RunTcpCalls(Host, std::u16string(Port.begin(), Port.end()),
                                  std::atoi(argv[2]));
}
