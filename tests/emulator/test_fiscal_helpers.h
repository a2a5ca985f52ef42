// An in-process emulated register for the fiscal tests: commands go through the register's
// own dispatch table exactly as the link hands them over, and helpers make the usual steps
// of a trading day (registration, shift, receipts) in the register's wire form.
#pragma once

#include "EmuCore.h"
#include "Emulator.h"
#include "FiscalStorage.h"
#include "Tape.h"
#include "Tlv.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace fiscaltest {

struct Res {
    uint8_t rc = 0xFF;
    std::string data; // answer bytes after the result code
    uint64_t Le(size_t at, size_t n) const { return emu::GetLE(data, at, n); }
};

inline std::string Money5(uint64_t kopecks) {
    std::string s;
    emu::PutLE(s, kopecks, 5);
    return s;
}

// 0xFF46 data. `sum`/`vat` of ~0 leave the value to the register.
inline std::string Item(uint8_t op, uint64_t qtyMillionths, uint64_t price, uint8_t taxByte,
                        std::string_view name, uint64_t sum = ~0ULL, uint64_t vat = ~0ULL) {
    std::string d(1, char(op));
    emu::PutLE(d, qtyMillionths, 6);
    emu::PutLE(d, price, 5);
    if (sum == ~0ULL)
        d.append(5, char(0xFF));
    else
        emu::PutLE(d, sum, 5);
    if (vat == ~0ULL)
        d.append(5, char(0xFF));
    else
        emu::PutLE(d, vat, 5);
    d.push_back(char(taxByte));
    d.push_back(1); // department
    d.push_back(4); // full payment
    d.push_back(1); // goods
    d += name;
    return d;
}

// 0xFF45 data: payments by type (index 0 = cash, 1 = electronic, 13 prepayment, ...).
inline std::string Close(std::map<int, uint64_t> pays, uint8_t taxSystem = 1,
                         std::string_view text = {}) {
    std::string d;
    for (int i = 0; i < 16; ++i)
        d += Money5(pays.count(i) ? pays[i] : 0);
    d.push_back(0); // rounding
    d.append(30, '\0');
    d.push_back(char(taxSystem));
    d += text;
    return d;
}

inline std::string Tag(uint16_t tag, std::string_view value) {
    return emu::TlvEncode(tag, value);
}

// Items of a TLV list by tag (first occurrence), or "" when absent.
inline std::map<uint16_t, std::string> Items(std::string_view tlv) {
    std::vector<emu::TlvItem> items;
    emu::TlvSplit(tlv, items);
    std::map<uint16_t, std::string> out;
    for (auto& i : items)
        out.emplace(i.tag, i.value);
    return out;
}

inline std::vector<emu::TlvItem> List(std::string_view tlv) {
    std::vector<emu::TlvItem> items;
    emu::TlvSplit(tlv, items);
    return items;
}

class Fiscal : public ::testing::Test {
protected:
    void Start(emu::Options o = {}) {
        emu_.reset();
        emu_ = std::make_unique<emu::Emulator>(o);
        std::string err;
        ASSERT_TRUE(emu_->Load(&err)) << err;
    }
    void TearDown() override { emu_.reset(); }

    emu::Register& Reg() { return emu_->Reg(); }
    emu::FiscalStorage& Fn() { return *emu_->Reg().Fn(); }

    Res Cmd(uint16_t code, std::string_view data = {}) {
        std::string msg = emu::Dispatcher::CodeBytes(code);
        emu::PutLE(msg, 30, 4);
        msg += data;
        std::lock_guard lock(Reg().Mutex());
        const std::string a = emu_->Commands().Execute(Reg(), msg);
        const size_t cl = code > 0xFF ? 2 : 1;
        Res r;
        if (a.size() > cl) {
            r.rc = uint8_t(a[cl]);
            r.data = a.substr(cl + 1);
        }
        return r;
    }

    // Fields of table 18 that a registration takes, then 0xFF05 and 0xFF06.
    void Register(uint8_t ffdCode = 4, uint8_t extMode = 0x10, uint8_t taxMask = 0x03) {
        auto& t = Reg().Tables();
        t.SetStr(18, 1, 7, "Shop Ltd");
        t.SetStr(18, 1, 9, "1 Main street");
        t.SetStr(18, 1, 10, "OFD Ltd");
        t.SetStr(18, 1, 12, "7704211201  ");
        t.SetInt(17, 1, 17, ffdCode);
        t.SetInt(18, 1, 21, extMode);
        ASSERT_EQ(Cmd(0xFF05, std::string(1, '\0')).rc, 0);
        ASSERT_EQ(Cmd(0xFF0C, Tag(1203, "500100732259")).rc, 0);
        std::string d = "7701234567  ";
        d += "0000000001012345    ";
        d.push_back(char(taxMask));
        d.push_back(0);
        const Res r = Cmd(0xFF06, d);
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.data.size(), 8u);
    }

    void OpenShift(std::string_view cashier = "Cashier") {
        ASSERT_EQ(Cmd(0xFF41).rc, 0);
        ASSERT_EQ(Cmd(0xFF0C, Tag(1021, cashier)).rc, 0);
        ASSERT_EQ(Cmd(0xE0).rc, 0);
    }

    // A sale of one item paid in cash; returns the close answer.
    Res Sale(uint64_t price, uint64_t cash, uint8_t receiptType = 0) {
        EXPECT_EQ(Cmd(0x8D, std::string(1, char(receiptType))).rc, 0);
        const uint8_t op = receiptType == 0 ? 1 : receiptType == 1 ? 3 : receiptType == 2 ? 2 : 4;
        EXPECT_EQ(Cmd(0xFF46, Item(op, 1000000, price, 0x01, "Tea")).rc, 0);
        return Cmd(0xFF45, Close({{0, cash}}));
    }

    // The whole archived document as the driver reads it: 0xFF3A, then 0xFF3B until empty.
    std::string ReadBack(uint32_t number, uint16_t* type = nullptr) {
        std::string n;
        emu::PutLE(n, number, 4);
        const Res a = Cmd(0xFF3A, n);
        if (a.rc != 0)
            return {};
        if (type)
            *type = uint16_t(a.Le(0, 2));
        std::string doc;
        for (int i = 0; i < 1000; ++i) {
            const Res r = Cmd(0xFF3B);
            EXPECT_EQ(r.rc, 0);
            if (r.rc != 0 || r.data.empty())
                break;
            doc += r.data;
        }
        EXPECT_EQ(a.Le(2, 2), doc.size());
        return doc;
    }

    std::unique_ptr<emu::Emulator> emu_;
};

} // namespace fiscaltest
