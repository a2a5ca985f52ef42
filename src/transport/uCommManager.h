#pragma once
// TComm: a serial port opened by its number (COM1..COM128), raw 8N1 by
// default, with byte, block and string reads under time-outs. TComPort has
// the register link's defaults (115200 bit/s, block reads that end 50 ms
// after the last byte). Nothing here raises: operations return false (or a
// driver code) and leave the reason in ExtResultDescription().
//
// On Linux COM n is /dev/ttyS(n-1) for 1..32, /dev/ttyUSB(n-33) for 33..64,
// /dev/ttyACM(n-65) for 65..96 and /dev/ttyAMA(n-97) for 97..128. When the
// environment variable KORVANDER_COM_DIR names a folder, COM n is the file
// "COM<n>" in it (usually a link to a pseudo-terminal or an adapter).

#include "transport/uByteStream.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace korv {

enum class TBaudRate {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200
};
enum class TParity { prNone, prOdd, prEven, prMark, prSpace };
enum class TStopBits { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum class TControlDtr { dtrDisable, dtrEnable, dtrHandshake };
enum class TControlRts { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };

struct TFlowControl {
    bool FOutCtsFlow = false;
    bool FOutDsrFlow = false;
    TControlDtr FControlDtr = TControlDtr::dtrDisable;
    TControlRts FControlRts = TControlRts::rtsDisable;
    bool FXonXoffOut = false;
    bool FXonXoffIn = false;
};

/// Port time-outs in milliseconds. A block read of N bytes waits at most
/// ReadTotalTimeoutMultiplier * N + ReadTotalTimeoutConstant in all (no limit
/// when both are 0) and ends early when ReadIntervalTimeout passes between two
/// bytes (0: no interval limit). A write may take WriteTotalTimeoutMultiplier
/// * N + WriteTotalTimeoutConstant (no limit when both are 0).
struct TCommTimeouts {
    std::uint32_t ReadIntervalTimeout = 100;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 100;
    std::uint32_t WriteTotalTimeoutMultiplier = 50;
    std::uint32_t WriteTotalTimeoutConstant = 100;
};

/// Bits per second of a rate, and the rate of a number (false when the number
/// is not one of the rates).
int BaudRateToInt(TBaudRate ARate);
bool IntToBaudRate(int AValue, TBaudRate& ARate);

/// The device file of COM APortNumber (see the head of this file); empty when
/// the number maps to none.
std::string ComPortDeviceName(int APortNumber);
/// The platform's own name of COM APortNumber, without the override.
std::string ComPortSystemName(int APortNumber);

class TComm : public TByteStream {
public:
    TComm();
    ~TComm() override;
    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;

    /// Opens the port (true when it already is): exclusive access, line state
    /// from the fields, port time-outs, both directions purged. On failure
    /// the reason is "Ошибка открытия порта. <system text>".
    bool Open();
    /// Always true; lowers DTR, purges and closes an open port.
    bool Close();
    bool Opened() const;
    /// Drops pending input and output (opens the port first when closed).
    bool Purge(bool AAbort);
    /// Drops pending input only: bytes already written still go out.
    bool PurgeInput();

    /// Writes one byte (opens the port first when closed).
    bool WriteChar(char AValue);
    bool WriteByte(std::uint8_t AValue);
    /// Writes all of AData (true at once, port untouched, for no data); then
    /// pauses ASleepTime ms when positive. Fails with "Не удалось записать
    /// данные в порт" when not every byte was written within the write time-out.
    bool WriteStr(std::string_view AData, int ASleepTime = 0);
    /// Waits up to ATimeout ms for a byte ("Ошибка при чтении данных из порта"
    /// when none came), then reads it.
    bool ReadByte(std::uint8_t& AValue, int ATimeout);
    bool ReadChar(char& AValue, int ATimeout);
    /// Reads one byte under the port time-outs ("Устройство не отвечает" when
    /// none came).
    bool ReadByte(std::uint8_t& AValue);
    /// Reads up to ACount bytes under the port time-outs, and at the latest by
    /// ADeadline; ABuff holds what came. A short read is not a failure; false
    /// only when the port failed.
    bool ReadString(std::size_t ACount, std::string& ABuff,
                    const TDeadline& ADeadline = TDeadline::Never());

    bool SetCommDTR(bool AValue);
    bool SetCommRTS(bool AValue);

    TBaudRate BaudRate() const { return FBaudRate; }
    /// Applies the rate at once when the port is open.
    bool SetBaudRate(TBaudRate AValue);
    int BaudRateAsInt() const { return BaudRateToInt(FBaudRate); }
    /// A number that is not a known rate leaves the rate unchanged.
    void SetBaudRateAsInt(int AValue);
    int PortNumber() const { return FPortNumber; }
    /// Takes effect at the next Open.
    void SetPortNumber(int AValue) { FPortNumber = AValue; }
    const TCommTimeouts& Timeouts() const { return FTimeouts; }
    /// Opens the port first when closed, as the line state needs it.
    bool SetTimeouts(const TCommTimeouts& AValue);
    TParity Parity() const { return FParity; }
    void SetParity(TParity AValue) { FParity = AValue; }
    const TFlowControl& FlowControl() const { return FFlowControl; }
    void SetFlowControl(const TFlowControl& AValue) { FFlowControl = AValue; }
    std::uint8_t DataBits() const { return FDataBits; }
    void SetDataBits(std::uint8_t AValue) { FDataBits = AValue; }
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits AValue) { FStopBits = AValue; }
    bool AbortOnError() const { return FAbortOnError; }
    void SetAbortOnError(bool AValue) { FAbortOnError = AValue; }
    std::uint8_t EvtChar() const { return FEvtChar; }
    void SetEvtChar(std::uint8_t AValue) { FEvtChar = AValue; }
    std::uint16_t XonLimit() const { return FXonLimit; }
    std::uint16_t XoffLimit() const { return FXoffLimit; }
    /// The reason of the last failure.
    const std::u16string& ExtResultDescription() const { return FExtResultDescription; }
    /// The system's own words for the last failure, short and lower-case
    /// ("нет такого устройства"); empty when the system gave none.
    const std::u16string& SystemReason() const { return FSystemReason; }
    /// The device file the port opens (see ComPortDeviceName).
    std::string DeviceName() const;

    // TByteStream
    bool StreamOpened() const override { return Opened(); }
    bool StreamWrite(std::string_view AData) override { return WriteStr(AData); }
    bool StreamReadByte(std::uint8_t& AValue, int ATimeoutMs) override {
        return ReadByte(AValue, ATimeoutMs);
    }
    bool StreamReadByteBefore(std::uint8_t& AValue, int ATimeoutMs,
                              std::size_t AFollowing) override {
        return ReadByteAwaiting(AValue, ATimeoutMs, 1 + AFollowing);
    }
    bool StreamReadBlock(std::size_t ACount, std::string& AData,
                         const TDeadline& ADeadline) override {
        return ReadString(ACount, AData, ADeadline);
    }
    /// Before an enquiry only stale input is dropped: a full purge would also
    /// discard an ACK just written and not yet on the wire, and the register
    /// would keep offering the same held answer.
    void StreamPurge() override { PurgeInput(); }
    std::u16string StreamError() const override { return FExtResultDescription; }
    bool StreamFailed() const override { return FFailed; }

protected:
    std::uint8_t FEvtChar = 0;
    std::uint16_t FXonLimit = 256;
    std::uint16_t FXoffLimit = 256;
    std::intptr_t FHandle = -1;
    TBaudRate FBaudRate = TBaudRate::br9600;
    int FPortNumber = 1;
    TCommTimeouts FTimeouts;
    TParity FParity = TParity::prNone;
    TFlowControl FFlowControl;
    bool FAbortOnError = false;
    std::uint8_t FDataBits = 8;
    TStopBits FStopBits = TStopBits::sbOneStopBit;
    std::u16string FExtResultDescription;
    std::u16string FSystemReason;
    /// The last failure was the port's own, not a time-out.
    bool FFailed = false;
    /// Bytes a wait took off the line before they were asked for (platforms
    /// whose wait for input consumes it); reads deliver them first.
    std::string FPending;

private:
    // Platform parts (uCommManagerPosix.cpp / uCommManagerWin.cpp). They set
    // FExtResultDescription on failure.
    bool PlatformOpen();
    void PlatformClose();
    bool PlatformApplyLineState();
    bool PlatformApplyTimeouts();
    bool PlatformPurge(bool AAbort);
    bool PlatformPurgeInput();
    /// Writes what it can of AData by ADeadline (the port's write time-outs;
    /// platforms whose port applies them itself may ignore it).
    bool PlatformWrite(std::string_view AData, std::size_t& AWritten, const TDeadline& ADeadline);
    /// Waits up to ATimeoutMs (negative: no limit) for input: 1 data, 0 none, -1 failure.
    /// AExpected is how many bytes the caller still waits for: rather than wake
    /// for each of them, a platform may first let their line time pass (within
    /// ATimeoutMs) so that one read takes them all.
    int PlatformWaitInput(int ATimeoutMs, std::size_t AExpected);
    /// Reads what is there, up to ACount bytes: the count, 0 at end of data, -1 failure.
    long PlatformRead(char* ABuf, std::size_t ACount);
    bool PlatformSetDTR(bool AValue);
    bool PlatformSetRTS(bool AValue);
    /// ReadByte(AValue, ATimeout) when AExpected bytes are on their way: the
    /// wait may let all of them come before the first is read.
    bool ReadByteAwaiting(std::uint8_t& AValue, int ATimeout, std::size_t AExpected);
    /// The time ABytes characters take on the line at the port's rate and framing.
    std::chrono::nanoseconds LineTime(std::size_t ABytes) const;
    /// The system's text of its last error, and the same in short words.
    static void PlatformLastError(std::u16string& AText, std::u16string& AReason);
    /// Records the system's last error: "<prefix>. <text>" (the text alone
    /// without a prefix), and its short reason.
    void SetOsError(std::u16string_view APrefix);
};

/// The serial port of the register link: 115200 bit/s; block reads may take
/// 1000 ms per byte but end 50 ms after the last byte; writes give up after 500 ms.
class TComPort : public TComm {
public:
    TComPort();
};

} // namespace korv
