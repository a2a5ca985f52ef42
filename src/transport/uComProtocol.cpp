#include "transport/uComProtocol.h"

namespace korv {

namespace {

const TLinkDialect kSerialDialect{"TCOMProtocol", /*PurgeBeforeEnquiry*/ true,
                                  /*DropByteAfterUnknown*/ false, /*AcceptFFThenAck*/ false};

} // namespace

TCustomCOMProtocol::TCustomCOMProtocol(TComm* AComPort)
    : TCustomLinkProtocol(kSerialDialect), FComPort(AComPort) {}

TCustomCOMProtocol::~TCustomCOMProtocol() = default;

int TCustomCOMProtocol::AnswerTimeout(int ATimeout) const {
    return ATimeout > 0 ? ATimeout : FControlTimeout;
}

int TCustomCOMProtocol::PrepareLink() {
    if (!FComPort)
        return LinkFailure(1011, u"Порт не открыт");
    if (!FComPort->Opened() && !FComPort->Open())
        return LinkFailure(1011, FComPort->ExtResultDescription());
    return 0;
}

TCOMProtocol::TCOMProtocol(TComm* AComPort) : TCustomCOMProtocol(AComPort) {}

TCOMProtocol::~TCOMProtocol() = default;

} // namespace korv
