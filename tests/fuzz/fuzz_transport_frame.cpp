// Feeds arbitrary bytes to the frame decoder and to the answer dialogue as if
// a register had sent them.

#include "transport/uByteStream.h"
#include "transport/uFrameCodec.h"
#include "transport/uFrameDialogue.h"

#include <cstdlib>
#include <string>

namespace {

class TMemoryStream : public korv::TByteStream {
public:
    explicit TMemoryStream(std::string_view AData) : FData(AData) {}
    bool StreamOpened() const override { return true; }
    bool StreamWrite(std::string_view) override { return true; }
    bool StreamReadByte(std::uint8_t& AValue, int) override {
        if (FPos >= FData.size())
            return false;
        AValue = static_cast<std::uint8_t>(FData[FPos++]);
        return true;
    }
    bool StreamReadBlock(std::size_t ACount, std::string& AData, const korv::TDeadline&) override {
        AData.assign(FData.substr(FPos, ACount));
        FPos += AData.size();
        return true;
    }
    void StreamPurge() override {}
    std::u16string StreamError() const override { return u"end of data"; }
    bool StreamFailed() const override { return false; }

private:
    std::string_view FData;
    std::size_t FPos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
    std::string Response;
    if (korv::ParseAnswerFrame(Bytes, Response) == korv::TFrameStatus::Ok) {
        // A frame that passed holds its answer inside its message.
        if (Response.size() + 3 > Size)
            std::abort();
        if (korv::BuildFrame(Bytes.substr(2, Size - 3)) != Bytes && Size > 3)
            std::abort();
    }
    korv::FrameCommandCode(Bytes);

    TMemoryStream Stream(Bytes);
    korv::TFrameDialogue Dialogue(Stream, {"Fuzz", false, true, true});
    Dialogue.ReceiveAnswer(Response, "\x10", 1, korv::TDeadline::After(1));
    TMemoryStream Again(Bytes);
    korv::TFrameDialogue Handshake(Again, {"Fuzz", true, true, true});
    std::string Answer;
    Handshake.RunCommand(Answer, "\x10\x1E\x00\x00\x00", 1, 1, true);
    return 0;
}
