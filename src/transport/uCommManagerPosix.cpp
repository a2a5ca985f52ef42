#include "transport/uCommManager.h"

#include "common/uText.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace korv {

namespace {

int Fd(std::intptr_t AHandle) {
    return static_cast<int>(AHandle);
}

std::u16string SystemText(int AErr) {
    return Utf8ToU16(std::strerror(AErr));
}

speed_t SpeedOf(TBaudRate ARate, bool& AOk) {
    AOk = true;
    switch (ARate) {
    case TBaudRate::br110:
        return B110;
    case TBaudRate::br300:
        return B300;
    case TBaudRate::br600:
        return B600;
    case TBaudRate::br1200:
        return B1200;
    case TBaudRate::br2400:
        return B2400;
    case TBaudRate::br4800:
        return B4800;
    case TBaudRate::br9600:
        return B9600;
    case TBaudRate::br19200:
        return B19200;
    case TBaudRate::br38400:
        return B38400;
    case TBaudRate::br57600:
        return B57600;
    case TBaudRate::br115200:
        return B115200;
    case TBaudRate::br14400:
    case TBaudRate::br56000:
        break;
    }
    AOk = false;
    return B9600;
}

} // namespace

std::string ComPortSystemName(int APortNumber) {
    struct TRange {
        int First;
        const char* Prefix;
    };
    static const TRange Ranges[] = {
        {1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}, {97, "/dev/ttyAMA"}};
    for (const TRange& R : Ranges)
        if (APortNumber >= R.First && APortNumber < R.First + 32)
            return R.Prefix + std::to_string(APortNumber - R.First);
    return {};
}

void TComm::PlatformLastError(std::u16string& AText, std::u16string& AReason) {
    const int Err = errno;
    AText = SystemText(Err);
    switch (Err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        AReason = u"нет такого устройства";
        break;
    case ENOTTY:
    case EINVAL:
        AReason = u"не является последовательным портом";
        break;
    case EWOULDBLOCK:
    case EBUSY:
        AReason = u"занят другим приложением";
        break;
    case EACCES:
    case EPERM:
        AReason = u"нет доступа";
        break;
    default:
        AReason = AText;
        break;
    }
}

bool TComm::PlatformOpen() {
    const std::string Name = DeviceName();
    const int h = ::open(Name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (h < 0) {
        SetOsError(u"Ошибка открытия порта");
        return false;
    }
    // No sharing: a second opener, in this process or another, is refused.
    if (::flock(h, LOCK_EX | LOCK_NB) != 0) {
        SetOsError(u"Ошибка открытия порта");
        ::close(h);
        return false;
    }
    ::ioctl(h, TIOCEXCL);
    FHandle = h;
    return true;
}

void TComm::PlatformClose() {
    ::ioctl(Fd(FHandle), TIOCNXCL);
    ::close(Fd(FHandle));
}

bool TComm::PlatformApplyLineState() {
    termios Tio{};
    if (::tcgetattr(Fd(FHandle), &Tio) != 0) {
        SetOsError({});
        return false;
    }
    ::cfmakeraw(&Tio);
    Tio.c_cflag |= CLOCAL | CREAD;
    Tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    Tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (FDataBits) {
    case 5:
        Tio.c_cflag |= CS5;
        break;
    case 6:
        Tio.c_cflag |= CS6;
        break;
    case 7:
        Tio.c_cflag |= CS7;
        break;
    default:
        Tio.c_cflag |= CS8;
        break;
    }
    switch (FParity) {
    case TParity::prNone:
        break;
    case TParity::prOdd:
        Tio.c_cflag |= PARENB | PARODD;
        break;
    case TParity::prEven:
        Tio.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
    case TParity::prMark:
        Tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case TParity::prSpace:
        Tio.c_cflag |= PARENB | CMSPAR;
        break;
#else
    default:
        FExtResultDescription = u"Контроль чётности не поддерживается";
        return false;
#endif
    }
    if (FStopBits != TStopBits::sbOneStopBit)
        Tio.c_cflag |= CSTOPB;
    if (FFlowControl.FOutCtsFlow || FFlowControl.FControlRts == TControlRts::rtsHandshake)
        Tio.c_cflag |= CRTSCTS;
    Tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (FFlowControl.FXonXoffOut)
        Tio.c_iflag |= IXON;
    if (FFlowControl.FXonXoffIn)
        Tio.c_iflag |= IXOFF;
    Tio.c_cc[VSTART] = 0x11;
    Tio.c_cc[VSTOP] = 0x13;
    // Reads never block in the kernel: every wait is a poll with a deadline.
    Tio.c_cc[VMIN] = 0;
    Tio.c_cc[VTIME] = 0;
    bool Known;
    const speed_t Speed = SpeedOf(FBaudRate, Known);
    if (!Known) {
        FExtResultDescription =
            u"Скорость " + IntToU16(BaudRateAsInt()) + u" бит/с не поддерживается";
        return false;
    }
    ::cfsetispeed(&Tio, Speed);
    ::cfsetospeed(&Tio, Speed);
    if (::tcsetattr(Fd(FHandle), TCSANOW, &Tio) != 0) {
        SetOsError({});
        return false;
    }
    // DTR and RTS follow their settings; lines without modem control refuse
    // this, which does not matter.
    PlatformSetDTR(FFlowControl.FControlDtr != TControlDtr::dtrDisable);
    PlatformSetRTS(FFlowControl.FControlRts != TControlRts::rtsDisable);
    return true;
}

bool TComm::PlatformApplyTimeouts() {
    return true;
} // they are applied by every read and write

bool TComm::PlatformPurge(bool) {
    if (::tcflush(Fd(FHandle), TCIOFLUSH) != 0) {
        SetOsError({});
        return false;
    }
    return true;
}

bool TComm::PlatformPurgeInput() {
    if (::tcflush(Fd(FHandle), TCIFLUSH) != 0) {
        SetOsError({});
        return false;
    }
    return true;
}

bool TComm::PlatformWrite(std::string_view AData, std::size_t& AWritten,
                          const TDeadline& ADeadline) {
    AWritten = 0;
    while (AWritten < AData.size()) {
        const ssize_t n = ::write(Fd(FHandle), AData.data() + AWritten, AData.size() - AWritten);
        if (n > 0) {
            AWritten += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            SetOsError({});
            return false;
        }
        if (ADeadline.Passed())
            break; // short write: the caller reports it
        pollfd P{Fd(FHandle), POLLOUT, 0};
        const int r = ::poll(&P, 1, ADeadline.Wait(-1));
        if (r < 0 && errno != EINTR) {
            SetOsError({});
            return false;
        }
        if (r == 0)
            break;
    }
    return true;
}

int TComm::PlatformWaitInput(int ATimeoutMs, std::size_t AExpected) {
    const TDeadline Deadline = ATimeoutMs < 0 ? TDeadline::Never() : TDeadline::After(ATimeoutMs);
    // Bytes come one by one at the line's pace: a wait that woke at the first
    // of them would wake again for every next one. When more than one is
    // awaited, the time the missing ones need on the line is slept through
    // first (never beyond the wait's own limit), and the poll below then
    // finds them all there.
    int Queued = 0;
    if (AExpected > 1 && ATimeoutMs != 0 && ::ioctl(Fd(FHandle), FIONREAD, &Queued) == 0 &&
        Queued >= 0 && static_cast<std::size_t>(Queued) < AExpected) {
        auto Sleep = LineTime(AExpected - static_cast<std::size_t>(Queued));
        if (ATimeoutMs > 0)
            Sleep =
                std::min<std::chrono::nanoseconds>(Sleep, std::chrono::milliseconds(ATimeoutMs));
        // The poll below waits for whatever the sleep did not cover.
        std::this_thread::sleep_for(Sleep);
    }
    while (true) {
        const int Wait = Deadline.Wait(-1);
        pollfd P{Fd(FHandle), POLLIN, 0};
        const int r = ::poll(&P, 1, Wait);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            SetOsError(u"Ошибка при чтении данных из порта");
            return -1;
        }
        if (r == 0)
            return 0;
        if (P.revents & POLLIN)
            return 1;
        // POLLHUP without data: the other end of the line is gone.
        if (P.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            FExtResultDescription = u"Ошибка при чтении данных из порта. Линия разорвана";
            return -1;
        }
    }
}

long TComm::PlatformRead(char* ABuf, std::size_t ACount) {
    while (true) {
        const ssize_t n = ::read(Fd(FHandle), ABuf, ACount);
        if (n >= 0)
            return static_cast<long>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return 0;
        if (errno == EIO) {
            // A pseudo-terminal whose other side has closed.
            FExtResultDescription = u"Ошибка при чтении данных из порта. Линия разорвана";
            return -1;
        }
        SetOsError(u"Ошибка при чтении данных из порта");
        return -1;
    }
}

bool TComm::PlatformSetDTR(bool AValue) {
    int Bits = TIOCM_DTR;
    return ::ioctl(Fd(FHandle), AValue ? TIOCMBIS : TIOCMBIC, &Bits) == 0;
}

bool TComm::PlatformSetRTS(bool AValue) {
    int Bits = TIOCM_RTS;
    return ::ioctl(Fd(FHandle), AValue ? TIOCMBIS : TIOCMBIC, &Bits) == 0;
}

} // namespace korv
