#include "transport/uCommManager.h"

#include "common/uText.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace korv {

namespace {

constexpr int kBaudRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                              14400, 19200, 38400, 56000, 57600, 115200};

const char16_t* const kWriteFailed = u"Не удалось записать данные в порт";
const char16_t* const kReadFailed = u"Ошибка при чтении данных из порта";
const char16_t* const kNoAnswer = u"Устройство не отвечает";
const char16_t* const kNotOpen = u"Порт не открыт";

} // namespace

int BaudRateToInt(TBaudRate ARate) {
    const auto i = static_cast<std::size_t>(ARate);
    return i < std::size(kBaudRates) ? kBaudRates[i] : 0;
}

bool IntToBaudRate(int AValue, TBaudRate& ARate) {
    for (std::size_t i = 0; i < std::size(kBaudRates); ++i) {
        if (kBaudRates[i] == AValue) {
            ARate = static_cast<TBaudRate>(i);
            return true;
        }
    }
    return false;
}

std::string ComPortDeviceName(int APortNumber) {
    if (const char* Dir = std::getenv("KORVANDER_COM_DIR"); Dir && *Dir) {
        std::string Path(Dir);
        if (Path.back() != '/' && Path.back() != '\\')
            Path.push_back('/');
        return Path + "COM" + std::to_string(APortNumber);
    }
    return ComPortSystemName(APortNumber);
}

TComm::TComm() = default;

TComm::~TComm() {
    Close();
}

std::string TComm::DeviceName() const {
    return ComPortDeviceName(FPortNumber);
}

bool TComm::Opened() const {
    return FHandle != -1;
}

void TComm::SetOsError(std::u16string_view APrefix) {
    std::u16string Text;
    PlatformLastError(Text, FSystemReason);
    FExtResultDescription = APrefix.empty() ? Text : std::u16string(APrefix) + u". " + Text;
}

bool TComm::Open() {
    if (Opened())
        return true;
    FExtResultDescription.clear();
    FSystemReason.clear();
    if (DeviceName().empty()) {
        FExtResultDescription = u"Ошибка открытия порта. Нет порта COM" + IntToU16(FPortNumber);
        FSystemReason = u"нет такого порта";
        return false;
    }
    if (!PlatformOpen())
        return false;
    if (!PlatformPurge(true) || !PlatformApplyLineState() || !PlatformApplyTimeouts()) {
        PlatformClose();
        FHandle = -1;
        return false;
    }
    return true;
}

bool TComm::Close() {
    if (!Opened())
        return true;
    PlatformSetDTR(false); // fails harmlessly on lines without modem control
    PlatformPurge(true);
    PlatformClose();
    FHandle = -1;
    return true;
}

bool TComm::Purge(bool AAbort) {
    if (!Open())
        return false;
    return PlatformPurge(AAbort);
}

bool TComm::PurgeInput() {
    if (!Open())
        return false;
    return PlatformPurgeInput();
}

bool TComm::WriteChar(char AValue) {
    return WriteStr(std::string_view(&AValue, 1));
}

bool TComm::WriteByte(std::uint8_t AValue) {
    return WriteChar(static_cast<char>(AValue));
}

bool TComm::WriteStr(std::string_view AData, int ASleepTime) {
    FFailed = false;
    if (AData.empty())
        return true;
    FFailed = true; // a failed write is the port's own failure
    if (!Open())
        return false;
    // The write time-outs: a total limit for the whole write (none when both parts are 0).
    const std::uint64_t Limit =
        std::uint64_t{FTimeouts.WriteTotalTimeoutMultiplier} * AData.size() +
        FTimeouts.WriteTotalTimeoutConstant;
    const TDeadline Deadline =
        Limit > 0 ? TDeadline::After(static_cast<long long>(Limit)) : TDeadline::Never();
    std::size_t Written = 0;
    if (!PlatformWrite(AData, Written, Deadline))
        return false;
    if (Written != AData.size()) {
        FExtResultDescription = kWriteFailed;
        return false;
    }
    FFailed = false;
    if (ASleepTime > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ASleepTime));
    return true;
}

bool TComm::ReadByte(std::uint8_t& AValue, int ATimeout) {
    return ReadByteAwaiting(AValue, ATimeout, 1);
}

bool TComm::ReadByteAwaiting(std::uint8_t& AValue, int ATimeout, std::size_t AExpected) {
    FFailed = false;
    if (!Opened()) {
        FExtResultDescription = kNotOpen;
        FFailed = true;
        return false;
    }
    const int Ready = PlatformWaitInput(ATimeout < 0 ? 0 : ATimeout, AExpected);
    if (Ready < 0) {
        FFailed = true;
        return false;
    }
    if (Ready == 0) {
        FExtResultDescription = kReadFailed;
        return false;
    }
    // The byte is there: one read takes it. Only a line that reported input
    // and gave none goes the long way, under the port time-outs.
    char Byte = 0;
    const long n = PlatformRead(&Byte, 1);
    if (n < 0) {
        FFailed = true;
        return false;
    }
    if (n == 0)
        return ReadByte(AValue);
    AValue = static_cast<std::uint8_t>(Byte);
    return true;
}

bool TComm::ReadChar(char& AValue, int ATimeout) {
    std::uint8_t Byte = 0;
    if (!ReadByte(Byte, ATimeout))
        return false;
    AValue = static_cast<char>(Byte);
    return true;
}

bool TComm::ReadByte(std::uint8_t& AValue) {
    std::string Buf;
    if (!ReadString(1, Buf))
        return false;
    if (Buf.empty()) {
        FExtResultDescription = kNoAnswer;
        return false;
    }
    AValue = static_cast<std::uint8_t>(Buf[0]);
    return true;
}

bool TComm::ReadString(std::size_t ACount, std::string& ABuff, const TDeadline& ADeadline) {
    ABuff.clear();
    FFailed = false;
    if (!Opened()) {
        FExtResultDescription = kNotOpen;
        FFailed = true;
        return false;
    }
    if (ACount == 0)
        return true;
    // The port time-outs: a total limit for the whole read (none when both
    // parts are 0) and an interval limit between bytes once data flows. The
    // caller's deadline bounds both.
    const std::uint64_t Total = std::uint64_t{FTimeouts.ReadTotalTimeoutMultiplier} * ACount +
                                FTimeouts.ReadTotalTimeoutConstant;
    const TDeadline Deadline =
        Total > 0 ? TDeadline::After(static_cast<long long>(Total)).Sooner(ADeadline) : ADeadline;
    const int Interval = static_cast<int>(FTimeouts.ReadIntervalTimeout);
    ABuff.resize(ACount);
    std::size_t Got = 0;
    int EmptyReads = 0;
    while (Got < ACount) {
        int Wait = Deadline.Wait(-1); // -1: no limit
        if (Got > 0 && Interval > 0 && (Wait < 0 || Interval < Wait))
            Wait = Interval;
        const int Ready = PlatformWaitInput(Wait, ACount - Got);
        if (Ready < 0) {
            if (Got > 0)
                break;
            ABuff.clear();
            FFailed = true;
            return false;
        }
        if (Ready == 0)
            break;
        const long n = PlatformRead(ABuff.data() + Got, ACount - Got);
        if (n < 0) {
            if (Got > 0)
                break;
            ABuff.clear();
            FFailed = true;
            return false;
        }
        if (n == 0) {
            // Readable but nothing to read: the line is going away.
            if (++EmptyReads >= 2)
                break;
            continue;
        }
        EmptyReads = 0;
        Got += static_cast<std::size_t>(n);
    }
    ABuff.resize(Got);
    return true;
}

std::chrono::nanoseconds TComm::LineTime(std::size_t ABytes) const {
    // Start bit, data bits, parity bit and stop bits, counted in half bits.
    const long long HalfBits = 2 * (1 + FDataBits + (FParity == TParity::prNone ? 0 : 1)) +
                               (FStopBits == TStopBits::sbOneStopBit     ? 2
                                : FStopBits == TStopBits::sbOne5StopBits ? 3
                                                                         : 4);
    const long long Rate = BaudRateAsInt();
    if (Rate <= 0)
        return std::chrono::nanoseconds::zero();
    const auto Bytes = static_cast<long long>(std::min<std::size_t>(ABytes, 1u << 20));
    return std::chrono::nanoseconds(Bytes * HalfBits * 500'000'000LL / Rate);
}

bool TComm::SetCommDTR(bool AValue) {
    return Open() && PlatformSetDTR(AValue);
}

bool TComm::SetCommRTS(bool AValue) {
    return Open() && PlatformSetRTS(AValue);
}

bool TComm::SetBaudRate(TBaudRate AValue) {
    if (AValue == FBaudRate)
        return true;
    FBaudRate = AValue;
    return !Opened() || PlatformApplyLineState();
}

void TComm::SetBaudRateAsInt(int AValue) {
    TBaudRate Rate;
    if (IntToBaudRate(AValue, Rate))
        SetBaudRate(Rate);
}

bool TComm::SetTimeouts(const TCommTimeouts& AValue) {
    FTimeouts = AValue;
    return Open() && PlatformApplyTimeouts();
}

TComPort::TComPort() {
    FBaudRate = TBaudRate::br115200;
    FTimeouts.ReadIntervalTimeout = 50;
    FTimeouts.ReadTotalTimeoutMultiplier = 1000;
    FTimeouts.ReadTotalTimeoutConstant = 0;
    FTimeouts.WriteTotalTimeoutMultiplier = 0;
    FTimeouts.WriteTotalTimeoutConstant = 500;
}

} // namespace korv
