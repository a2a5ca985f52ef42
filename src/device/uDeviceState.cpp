// Register state, settings tables and fields, the clock, the line length.

#include "device/uDevice.h"

#include "common/uEquipmentErrors.h"

namespace korv {

namespace {

unsigned char At(const std::string& s, std::size_t i) {
    return static_cast<unsigned char>(s[i]);
}

// Table address: table (1 byte), row (2 bytes little-endian), field (1 byte).
std::string TableAddress(int ATable, int ARow, int ACol) {
    return ByteField(ATable) + ByteField(ARow) + '\0' + ByteField(ACol);
}

// Hexadecimal text to bytes, left-padded with "0" to ASize bytes.
std::string HexFieldBytes(std::string_view AText, std::size_t ASize) {
    if (AText.size() > 2 * ASize)
        throw EquException(1004);
    std::string digits(2 * ASize - AText.size(), '0');
    digits += AText;
    std::string out;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        int byte = 0;
        for (std::size_t j = 0; j < 2; ++j) {
            const char c = digits[i + j];
            int v;
            if (c >= '0' && c <= '9')
                v = c - '0';
            else if (c >= 'A' && c <= 'F')
                v = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f')
                v = c - 'a' + 10;
            else
                throw EquException(1004);
            byte = byte * 16 + v;
        }
        out += static_cast<char>(byte);
    }
    return out;
}

} // namespace

void TDevice::GetECRState(std::string& AFlag, int& AMode, int& ASubmode) {
    const std::string& r = Execute(TCommandId::ECRState);
    AFlag = r.substr(2, 2);
    AMode = At(r, 4) & 0x0F;
    ASubmode = At(r, 5);
}

void TDevice::GetStateKKT(int& AMode) {
    const std::string& r = Execute(TCommandId::StateKKT);
    AMode = At(r, 14);
}

void TDevice::GetDateTimeKKT(TDateTimeValue& ADateTime) {
    const std::string& r = Execute(TCommandId::StateKKT);
    TryEncodeDateTime(At(r, 26) + 2000, At(r, 25), At(r, 24), At(r, 27), At(r, 28), At(r, 29),
                      ADateTime);
}

void TDevice::GetDeviceType(int& AProtocolVersion, int& AProtocolSubversion,
                            std::string& AModelName, int& AModelIndex, int& ALngCode) {
    const std::string& r = Execute(TCommandId::DeviceType);
    AProtocolVersion = At(r, 3);
    AProtocolSubversion = At(r, 4);
    AModelIndex = At(r, 5);
    ALngCode = At(r, 6);
    AModelName = r.substr(7);
}

void TDevice::GetCashReg(int ARegNum, TCurrency& AData) {
    const std::string& r = Execute(TCommandId::CashReg, ByteField(ARegNum));
    AData = static_cast<TCurrency>(ReadLE(r, 2, 6)) * (CurrencyScale / 100);
}

void TDevice::GetCashKReg(int ARegNum, TCurrency& AData) {
    if (ARegNum < 0)
        throw EquException(1004);
    const std::string& r =
        Execute(TCommandId::CashKReg, LEField(2, static_cast<std::uint64_t>(ARegNum)));
    AData = static_cast<TCurrency>(ReadLE(r, 2, 6)) * (CurrencyScale / 100);
}

void TDevice::GetOperationReg(int ARegNum, std::string& AData) {
    const std::string& r = Execute(TCommandId::OperationReg, ByteField(ARegNum));
    AData = r.substr(2, 2);
}

void TDevice::GetOperationRegAsInt(int ARegNum, int& AData) {
    // Here a short answer is a plain error, not a coded one.
    const TCommandInfo& info = CommandInfo(TCommandId::OperationReg);
    const int rc = ExecuteCode(TCommandId::OperationReg, ByteField(ARegNum));
    if (rc != 0)
        RaiseCommandError(info.Context, rc);
    if (FResponse.size() < info.MinLength)
        throw EDriverError(u"Ошибка протокола обмена");
    AData = static_cast<int>(ReadLE(FResponse, 2, 2));
}

void TDevice::GetFieldAsByte(int ATable, int ARow, int ACol, int& AValue) {
    const std::string& r = Execute(TCommandId::ReadField, TableAddress(ATable, ARow, ACol));
    if (r.size() >= 2)
        AValue = At(r, 1);
}

void TDevice::GetFieldAsCurrency(int ATable, int ARow, int ACol, TCurrency& AValue) {
    const std::string& r = Execute(TCommandId::ReadField, TableAddress(ATable, ARow, ACol));
    if (r.size() < 3)
        throw EquException(1014);
    AValue =
        static_cast<TCurrency>(ReadBCD(std::string_view(r).substr(1, 2))) * (CurrencyScale / 100);
}

void TDevice::GetFieldAsHex(int ATable, int ARow, int ACol, std::string& AValue) {
    const std::string& r = Execute(TCommandId::ReadField, TableAddress(ATable, ARow, ACol));
    static const char Digits[] = "0123456789ABCDEF";
    AValue.clear();
    for (std::size_t i = 1; i < r.size(); ++i) {
        AValue += Digits[At(r, i) >> 4];
        AValue += Digits[At(r, i) & 0x0F];
    }
}

void TDevice::GetFieldAsStr(int ATable, int ARow, int ACol, std::string& AValue) {
    const std::string& r = Execute(TCommandId::ReadField, TableAddress(ATable, ARow, ACol));
    AValue = r.substr(1);
}

void TDevice::GetFieldAsBIN(int ATable, int ARow, int ACol, std::string& AValue) {
    AValue = Execute(TCommandId::ReadField, TableAddress(ATable, ARow, ACol));
}

void TDevice::GetFieldStruct(int ATable, int ACol, int& AFieldSize) {
    const std::string& r = Execute(TCommandId::FieldStruct, ByteField(ATable) + ByteField(ACol));
    AFieldSize = At(r, 42);
}

void TDevice::SetFieldAsByte(int ATable, int ARow, int ACol, int AValue) {
    Execute(TCommandId::WriteField, TableAddress(ATable, ARow, ACol) + ByteField(AValue));
}

void TDevice::SetFieldAsCurrency(int ATable, int ARow, int ACol, TCurrency AValue) {
    const std::int64_t hundredths = CurrencyToKopecks(AValue);
    if (hundredths < 0)
        throw EquException(1004);
    Execute(TCommandId::WriteField,
            TableAddress(ATable, ARow, ACol) + BCDField(2, static_cast<std::uint64_t>(hundredths)));
}

void TDevice::SetFieldAsBCD(int ATable, int ARow, int ACol, std::uint64_t AValue) {
    Execute(TCommandId::WriteField, TableAddress(ATable, ARow, ACol) + BCDField(2, AValue));
}

void TDevice::SetFieldAsHex(int ATable, int ARow, int ACol, std::string_view AValue, int ASize) {
    if (ASize < 0)
        throw EquException(1004);
    const std::size_t size = ASize == 0 ? (AValue.size() + 1) / 2 : static_cast<std::size_t>(ASize);
    Execute(TCommandId::WriteField, TableAddress(ATable, ARow, ACol) + HexFieldBytes(AValue, size));
}

void TDevice::SetFieldAsStr(int ATable, int ARow, int ACol, std::string_view AValue) {
    int size = 0;
    GetFieldStruct(ATable, ACol, size);
    std::string value(AValue.substr(0, static_cast<std::size_t>(size)));
    value.resize(static_cast<std::size_t>(size), '\0');
    Execute(TCommandId::WriteField, TableAddress(ATable, ARow, ACol) + value);
}

void TDevice::SetDateTime(TDateTimeValue AValue) {
    const TDateTimeParts p = DecodeDateTime(AValue);
    // The register keeps a two-digit year counted from 2000.
    if (p.Year < 2000 || p.Year > 2099)
        throw EquException(1004);
    Execute(TCommandId::SetTime, ByteField(p.Hour) + ByteField(p.Minute) + ByteField(p.Second));
    const std::string date = ByteField(p.Day) + ByteField(p.Month) + ByteField(p.Year - 2000);
    Execute(TCommandId::SetDate, date);
    Execute(TCommandId::ConfirmDate, date);
}

void TDevice::GetLineLength(int& AValue) {
    GetFieldAsByte(9, 1, 3, AValue);
}

int TDevice::GetFRLineLen() {
    const int rc = ExecuteCode(TCommandId::ReadField, std::string("\x02\x00\x01\x37", 4));
    if (rc != 0)
        return rc;
    if (FResponse.size() < 3)
        return 1014;
    FFRLineLen = static_cast<int>(ReadBCD(std::string_view(FResponse).substr(2, 1)));
    return 0;
}

void TDevice::SetParams() {
    int len = FLineLen;
    GetLineLength(len);
    FLineLen = static_cast<std::uint8_t>(len);
}

void TDevice::UnlockDataOutputMode() {
    int mode = 0;
    GetStateKKT(mode);
    if ((mode & 0x0F) == DataOutputMode)
        FinishDocumentRead();
}

void TDevice::FinishDocumentRead() {
    std::string block;
    // A document holds at most 64 KiB of items, so the register runs dry
    // long before this bound; it only guards against a register that never does.
    for (int i = 0; i < 65536; ++i) {
        GetFNReadFiscalDocumentTLV(block);
        if (block.empty())
            return;
    }
    throw EquException(1014);
}

} // namespace korv
