// Non-fiscal text documents: text lines, cut markers, barcodes, QR codes and
// lines of graphic text, and the [gtN] markup of text lines.

#include "common/uBase64.h"
#include "common/uCodePages.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "device/uDevice.h"
#include "driver/uDriver.h"
#include "driver/uDriverInternal.h"
#include "driver/uDriverXml.h"

#include <cstdlib>

namespace korv {

using namespace drv;

namespace {

char16_t Lower(char16_t C) {
    return C >= u'A' && C <= u'Z' ? static_cast<char16_t>(C - u'A' + u'a') : C;
}

/// A tag "[gtN]" (or, with AClosing, "[/gtN]" with one or more slashes) at
/// APos: its length and preset digit, or 0 when there is none.
std::size_t TagAt(std::u16string_view AText, std::size_t APos, bool AClosing, int& ADigit) {
    std::size_t I = APos;
    if (I >= AText.size() || AText[I] != u'[')
        return 0;
    ++I;
    if (AClosing) {
        const std::size_t Slashes = I;
        while (I < AText.size() && AText[I] == u'/')
            ++I;
        if (I == Slashes)
            return 0;
    }
    if (I + 4 > AText.size() || Lower(AText[I]) != u'g' || Lower(AText[I + 1]) != u't' ||
        AText[I + 2] < u'1' || AText[I + 2] > u'5' || AText[I + 3] != u']')
        return 0;
    ADigit = AText[I + 2] - u'0';
    return I + 4 - APos;
}

struct TTag {
    std::size_t Pos = std::u16string_view::npos;
    std::size_t Length = 0;
    int Digit = 0;
};

TTag FindTag(std::u16string_view AText, bool AClosing) {
    TTag Tag;
    for (std::size_t I = AText.find(u'['); I != std::u16string_view::npos;
         I = AText.find(u'[', I + 1)) {
        if (std::size_t Length = TagAt(AText, I, AClosing, Tag.Digit)) {
            Tag.Pos = I;
            Tag.Length = Length;
            return Tag;
        }
    }
    return Tag;
}

/// An element or attribute name compared without regard to case.
bool NameIs(const char* AName, std::u16string_view AWanted) {
    return SameTextI(XmlToU16(AName), AWanted);
}

pugi::xml_node ChildI(pugi::xml_node ANode, std::u16string_view AName) {
    for (pugi::xml_node Child : ANode.children())
        if (Child.type() == pugi::node_element && NameIs(Child.name(), AName))
            return Child;
    return {};
}

/// An attribute's integer value, ADefault when it is missing or not a number.
int IntAttr(pugi::xml_attribute AAttr, int ADefault) {
    std::string Text = U16ToUtf8(TrimView(XmlToU16(AAttr.value())));
    if (Text.empty())
        return ADefault;
    char* End = nullptr;
    long Value = std::strtol(Text.c_str(), &End, 10);
    if (*End != '\0' || Value < -1000000 || Value > 1000000)
        return ADefault;
    return static_cast<int>(Value);
}

[[noreturn]] void InputError() {
    throw EquException(1004, GetDriverErrorText(1004));
}

} // namespace

void TDriver::GraphicTextSettings(int AIndex, std::u16string& AFontName, int& AFontSize,
                                  std::u16string& AFontStyle) const {
    if (!FInstance || AIndex < 1 || AIndex > TDeviceDriver::KGraphicPresets)
        InputError();
    const int I = AIndex - 1;
    AFontName = FInstance->FGTFontName[I];
    AFontSize = FInstance->FGTFontSize[I];
    AFontStyle.clear();
    if (FInstance->FGTIsBold[I])
        AFontStyle += u"bold ";
    if (FInstance->FGTIsItalic[I])
        AFontStyle += u"italic ";
    if (FInstance->FGTIsStrikeout[I])
        AFontStyle += u"strikeout ";
    if (FInstance->FGTIsUnderline[I])
        AFontStyle += u"underline";
}

bool TDriver::PrintGraphicTextMarkup(std::u16string_view AText) {
    const TTag Open = FindTag(AText, false);
    const TTag Close = FindTag(AText, true);
    // A closing tag before the opening one encloses nothing: plain text.
    if (Open.Pos == std::u16string_view::npos || Close.Pos == std::u16string_view::npos ||
        Close.Pos < Open.Pos + Open.Length)
        return false;
    std::u16string FontName, FontStyle;
    int FontSize = 0;
    GraphicTextSettings(Open.Digit, FontName, FontSize, FontStyle);
    const std::size_t Start = Open.Pos + Open.Length;
    PrintGraphicLine(AText.substr(Start, Close.Pos - Start), FontName, FontSize, FontStyle);
    return true;
}

void TDriver::PrintGraphicLine(std::u16string_view AText, std::u16string_view AFontName,
                               int AFontSize, std::u16string_view AFontStyle) {
    const TTextGraphic Line(std::u16string(AText), AFontSize, std::u16string(AFontStyle),
                            std::u16string(AFontName));
    CurrentDevice().PrintGraphicText(Line);
}

void TDriver::PrintTextDocument(const pugi::xml_document& ADocumentPackage) {
    TDevice& Device = CurrentDevice();
    ReconnectSocket();
    try {
        Device.UnlockDataOutputMode();
        Device.PrintPrevDoc();
        // A text document is printed whatever the print settings say.
        Device.SetFieldAsByte(KPrintModeTable, KPrintModeRow, KPrintModeField, 0);

        pugi::xml_node Root = ADocumentPackage.document_element();
        if (!Root || !NameIs(Root.name(), u"Document"))
            InputError();
        pugi::xml_node Positions = ChildI(Root, u"Positions");
        if (!Positions)
            InputError();
        const bool NoCut = BoolAttr(Root.attribute("NoCut"));
        Device.WaitForEndPrinting();

        for (pugi::xml_node Position : Positions.children()) {
            if (Position.type() != pugi::node_element)
                continue;
            if (NameIs(Position.name(), u"TextString")) {
                const std::u16string Text = XmlToU16(Position.attribute("Text").value());
                if (!FInstance->FCutMarker.empty() &&
                    UpperCase(Text).find(FInstance->FCutMarker) != std::u16string::npos) {
                    CutAfterDocument(false, false, FInstance->FFeedCount);
                } else if (!PrintGraphicTextMarkup(Text)) {
                    Device.PrintString(Text);
                }
            } else if (NameIs(Position.name(), u"Barcode")) {
                std::string Value = U16ToAnsi(XmlToU16(Position.attribute("Value").value()));
                if (Value.empty())
                    Value = Base64Decode(Position.attribute("ValueBase64").value());
                const std::u16string Type(TrimView(XmlToU16(Position.attribute("Type").value())));
                if (SameTextI(Type, u"EAN13"))
                    Device.PrintEAN13(Value);
                else if (SameTextI(Type, u"QR"))
                    Device.PrintQRCode(Value);
                else if (SameTextI(Type, u"EAN8") || SameTextI(Type, u"CODE39"))
                    throw EquException(1003, GetDriverErrorText(1003));
                // Other kinds the register cannot print are left out.
            } else if (NameIs(Position.name(), u"GraphicText")) {
                PrintGraphicLine(XmlToU16(Position.attribute("Text").value()),
                                 XmlToU16(Position.attribute("FontName").value()),
                                 IntAttr(Position.attribute("FontSize"), 12),
                                 XmlToU16(Position.attribute("FontStyle").value()));
            }
        }
        Device.WaitForPrint();
        CutAfterDocument(NoCut, false, FInstance->FFeedCount);
    } catch (...) {
        RestoreAfterFailure();
        throw;
    }
    try {
        RestorePrintMode();
    } catch (...) {
        DisconnectSocket();
        throw;
    }
    DisconnectSocket();
}

} // namespace korv
