// Printing on the register's own printer, and waiting for it.

#include "device/uDevice.h"

#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <algorithm>

namespace korv {

namespace {

// Printer submodes of the short state.
constexpr int SubmodePaperOut = 2;    // printing stopped, paper ran out
constexpr int SubmodeAwaitResume = 3; // paper back, waiting for the continue command
constexpr int SubmodePrinting = 4;    // 4 and above: printing in progress

constexpr int EndPrintingPollMs = 50;
// A printer that reports printing without any change for this long is stuck;
// the longest real report prints well within it.
constexpr int EndPrintingLimitMs = 120000;
constexpr int PaperPollMs = 1000;
constexpr int PaperPolls = 100;

constexpr std::size_t QRBlockSize = 64;

} // namespace

void TDevice::PrintNormalString(int AFlag, std::string_view AData) {
    Execute(TCommandId::PrintNormalString, ByteField(AFlag) + std::string(AData));
}

void TDevice::PrintBoldString(int AFlag, std::string_view AData) {
    Execute(TCommandId::PrintBoldString, ByteField(AFlag) + std::string(AData));
}

void TDevice::PrintFontString(int AFlag, std::string_view AData, int AFontSize) {
    Execute(TCommandId::PrintFontString,
            ByteField(AFlag) + ByteField(AFontSize) + std::string(AData));
}

void TDevice::PrintString(std::u16string_view AText) {
    const std::size_t width = FLineLen;
    std::size_t start = 0;
    while (start <= AText.size()) {
        std::size_t end = AText.find(u'\r', start);
        if (end == std::u16string_view::npos)
            end = AText.size();
        std::u16string_view piece = AText.substr(start, end - start);
        // Without a known line length a piece goes out as one line.
        while (!piece.empty()) {
            const std::size_t n = width == 0 ? piece.size() : std::min(width, piece.size());
            PrintNormalString(3, U16ToAnsi(piece.substr(0, n)));
            piece.remove_prefix(n);
        }
        start = end + 1;
    }
}

void TDevice::PrintDocTitle(std::string_view AData) {
    std::string title(AData.substr(0, 30));
    title.resize(30, '\0');
    title += std::string("\x00\x01", 2);
    Execute(TCommandId::PrintDocTitle, title);
}

void TDevice::PrintDocCopy() {
    WaitForEndPrinting();
    Execute(TCommandId::PrintDocCopy);
}

void TDevice::ContinuePrint() {
    Execute(TCommandId::ContinuePrint);
}

void TDevice::PrintPrevDoc() {
    std::string flags;
    int mode = 0, submode = 0;
    GetECRState(flags, mode, submode);
    ResumeStoppedDocument(submode);
}

void TDevice::ResumeStoppedDocument(int ASubmode) {
    if (ASubmode != SubmodePaperOut && ASubmode != SubmodeAwaitResume)
        return;
    ContinuePrint();
    WaitForEndPrinting();
    std::string flags;
    int mode = 0, submode = 0;
    GetECRState(flags, mode, submode);
    if (submode == SubmodePaperOut || submode == SubmodeAwaitResume)
        throw EquException(3027);
}

TDevice::TPrinterState TDevice::ReadPrinterState(bool AUnlockDataOutput) {
    std::string flags;
    TPrinterState state;
    GetECRState(flags, state.Mode, state.Submode);
    if (AUnlockDataOutput && state.Mode == DataOutputMode) {
        FinishDocumentRead();
        GetECRState(flags, state.Mode, state.Submode);
    }
    return state;
}

void TDevice::PrepareForDocument(bool AUnlockDataOutput) {
    PrepareForDocument(ReadPrinterState(AUnlockDataOutput));
}

void TDevice::PrepareForDocument(const TPrinterState& AState) {
    if (AState.Submode < SubmodePaperOut) {
        // The printer stands idle: nothing to resume or wait for, and the
        // state read still tells whether a receipt is open.
        CancelOpenReceipt(AState.Mode);
        return;
    }
    ResumeStoppedDocument(AState.Submode);
    WaitForEndPrinting();
    CancelReceipt();
}

bool TDevice::StandsIdle(const TPrinterState& AState) {
    return AState.Submode < SubmodePaperOut && (AState.Mode & ReceiptOpenBit) == 0 &&
           AState.Mode != DataOutputMode;
}

void TDevice::Cut(bool AFullCut) {
    WaitForEndPrinting();
    if (FDisableCut)
        return;
    Execute(TCommandId::Cut, ByteField(AFullCut ? 0 : 1));
}

void TDevice::Feed(int ALineCount) {
    WaitForEndPrinting();
    Execute(TCommandId::Feed, ByteField(0x02) + ByteField(ALineCount));
}

void TDevice::FeedAndCut(int ALineCount) {
    if (ALineCount != 0)
        Feed(ALineCount);
    Cut(false);
}

void TDevice::OpenDrawer() {
    Execute(TCommandId::OpenDrawer, ByteField(0));
}

void TDevice::Beep() {
    try {
        ExecuteCode(TCommandId::Beep);
    } catch (const std::exception&) {
        // A beep is a courtesy: nothing depends on it.
    }
}

void TDevice::LoadGraphics(int ALineNumber, std::string_view AData) {
    Execute(TCommandId::LoadGraphics, ByteField(ALineNumber) + std::string(AData));
}

void TDevice::PrintGraphics(int AFirstLineNumber, int ALastLineNumber) {
    Execute(TCommandId::PrintGraphics, ByteField(AFirstLineNumber) + ByteField(ALastLineNumber));
}

void TDevice::PrintEAN13(std::string_view ABarCode) {
    WaitForEndPrinting();
    if (ABarCode.empty())
        RaiseCommandError(CommandInfo(TCommandId::PrintEAN13).Context, 1004);
    // The register adds the check digit itself.
    const std::string_view digits = ABarCode.substr(0, 12);
    std::uint64_t number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            number = 0;
            break;
        }
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    Execute(TCommandId::PrintEAN13, LEField(5, number));
}

void TDevice::PrintQRCode(std::string_view ABarCode) {
    if (ABarCode.empty())
        return;
    // Block numbers are one byte: refuse a text that needs more blocks before
    // any of it is loaded.
    if (ABarCode.size() > QRBlockSize * 256)
        throw EquException(1004);
    for (std::size_t i = 0; i * QRBlockSize < ABarCode.size(); ++i) {
        Execute(TCommandId::QRCodeLoad,
                ByteField(0) + ByteField(static_cast<long long>(i)) +
                    std::string(ABarCode.substr(i * QRBlockSize, QRBlockSize)));
    }
    WaitForEndPrinting();
    Execute(TCommandId::QRCodePrint, ByteField(0x03) + LEField(2, ABarCode.size()) + ByteField(0) +
                                         std::string("\x00\x00\x06\x00\x02\x01", 6));
}

void TDevice::WaitForEndPrinting() {
    std::string flags;
    int mode = 0, submode = 0;
    int last = -1, unchangedMs = 0;
    for (;;) {
        try {
            GetECRState(flags, mode, submode);
        } catch (const std::exception& E) {
            const auto* Equ = dynamic_cast<const EquException*>(&E);
            throw EDriverError(u"Ошибка ожидания конца печати. " + ExceptionMessage(E),
                               Equ ? Equ->Fault : TCommandFault{});
        }
        if (submode < SubmodePrinting)
            return;
        if (submode != last) {
            last = submode;
            unchangedMs = 0;
        } else if (unchangedMs >= EndPrintingLimitMs) {
            throw EquException(3027, u"Ошибка ожидания конца печати. Принтер ККТ сообщает о печати "
                                     u"(подрежим " +
                                         IntToU16(submode) + u") без перемен более " +
                                         IntToU16(EndPrintingLimitMs / 1000) + u" с");
        }
        Pause(EndPrintingPollMs);
        unchangedMs += EndPrintingPollMs;
    }
}

void TDevice::WaitForPrint() {
    std::string flags;
    int mode = 0, submode = 0;
    // Each pass handles one paper-out; a document may run out of paper more than once.
    for (int pass = 0;; ++pass) {
        if (pass > PaperPolls)
            throw EquException(3027);
        WaitForEndPrinting();
        GetECRState(flags, mode, submode);
        if (submode == SubmodeAwaitResume) {
            // The paper is back already: the document is finished now, not left stopped.
            ContinuePrint();
            continue;
        }
        if (submode != SubmodePaperOut)
            return;
        bool resumed = false;
        for (int i = 0; i < PaperPolls && !resumed; ++i) {
            Pause(PaperPollMs);
            GetECRState(flags, mode, submode);
            if (submode < SubmodePaperOut || submode == 4 || submode == 5)
                throw EquException(3027);
            resumed = submode == SubmodeAwaitResume;
        }
        if (!resumed)
            throw EquException(3027);
        ContinuePrint();
    }
}

} // namespace korv
