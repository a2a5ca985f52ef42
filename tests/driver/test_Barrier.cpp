// The one error barrier of the exported methods and the method tables: a
// handler's parameter count is the method's, a table cannot say otherwise,
// the registry refuses a short call before any handler runs, and the hooks
// around the barrier run in their order without changing the verdict.

#include "DriverTestHost.h"

#include "common/Common.Log.h"
#include "common/uEquipmentErrors.h"
#include "common/uText.h"

#include <stdexcept>
#include <string>
#include <vector>

using namespace korv;
using namespace korvtest;

namespace {

class TBarrierProbe : public TCustomDriver {
public:
    static const TExportTable& ExportTable();
    const TExportTable& ClassExports() const override { return ExportTable(); }

    std::vector<std::string> Steps;
    std::function<void()> Work;
};

void Run(TBarrierProbe& D, TParams<2> P) {
    D.Steps.push_back("work");
    if (D.Work)
        D.Work();
    D.V8SetWString(P.At<1>(), u"out");
}

void Run3(TBarrierProbe& D, TParams<3>) {
    D.Steps.push_back("work");
    if (D.Work)
        D.Work();
}

std::int32_t Count(TBarrierProbe& D, TParams<0>) {
    D.Steps.push_back("count");
    if (D.Work)
        D.Work();
    return static_cast<std::int32_t>(D.Steps.size());
}

TBarrierProbe& Probe(TCustomDriver& D) {
    return static_cast<TBarrierProbe&>(D);
}

constexpr TBarrierHooks KTraced{
    .Enter = [](TCustomDriver& D, V8Variant*) { Probe(D).Steps.push_back("enter"); },
    .CodeOf = &DriverErrorCode,
    .Failed =
        [](TCustomDriver& D, V8Variant* P, const std::u16string& AMessage) {
            Probe(D).Steps.push_back("failed");
            D.V8SetWString(&P[1], AMessage);
            throw std::runtime_error("a failing hook changes nothing");
        },
    .Leave =
        [](TCustomDriver& D, V8Variant*, V8Variant*, long ACount) {
            Probe(D).Steps.push_back("leave " + std::to_string(ACount));
            throw std::runtime_error("a failing hook changes nothing");
        },
};

const TExportMethod KMethods[] = {
    Export<Run>(u"Common", u"Общий", KBarrierCommon),
    Export<Run>(u"Coded", u"СКодом", KBarrierDriverCodes),
    Export<Run3>(u"Traced", u"СоСледом", KTraced),
    Export<Count>(u"Count", u"Счёт", KBarrierQuery),
};

const TExportTable& TBarrierProbe::ExportTable() {
    static const TExportTable Table{nullptr, KMethods, {}, {}};
    return Table;
}

// --- what a table cannot be built with (checked while compiling) ---------

template <std::size_t N, std::size_t I>
concept CanRead = requires(TParams<N> P) {
    P.template At<I>();
};

static_assert(CanRead<3, 2>);
static_assert(!CanRead<3, 3>, "a handler cannot read past its method's count");
static_assert(!CanRead<0, 0>);

// Handlers of another shape make no table line: the old form with its own
// count check, a result the host cannot take, an object that is no driver.
bool OldForm(TCustomDriver&, V8Variant*, V8Variant*, long) {
    return true;
}
bool BoolResult(TBarrierProbe&, TParams<1>) {
    return true;
}
void NotADriver(TV8UserObject&, TParams<1>) {}

static_assert(ExportHandler<&Run>);
static_assert(ExportHandler<&Count>);
static_assert(!ExportHandler<&OldForm>);
static_assert(!ExportHandler<&BoolResult>);
static_assert(!ExportHandler<&NotADriver>);

// The count in the table is the handler's.
static_assert(Export<Run>(u"A", u"А", KBarrierCommon).ParamCount == 2);
static_assert(Export<Run3>(u"A", u"А", KBarrierCommon).ParamCount == 3);
static_assert(Export<Count>(u"A", u"А", KBarrierQuery).ParamCount == 0);

class Barrier : public ::testing::Test {
protected:
    void SetUp() override { Driver.V8MM = Mem.Host(); }
    bool Verdict(const THostCall& C) { return C.Ret.vt == VTYPE_BOOL && C.Ret.bVal; }

    THostMemory Mem;
    TBarrierProbe Driver;
};

TEST_F(Barrier, RegistryTakesTheHandlersCountsAndRefusesAShortCall) {
    TClassReg& Reg = TCustomDriver::RegisterClass(
        TBarrierProbe::ExportTable(),
        [] { return std::unique_ptr<TV8UserObject>(std::make_unique<TBarrierProbe>()); },
        u"BarrierProbe");
    ASSERT_EQ(Reg.MethCount(), 4);
    EXPECT_EQ(Reg.Method(0)->ParamCount, 2);
    EXPECT_EQ(Reg.Method(2)->ParamCount, 3);
    EXPECT_EQ(Reg.Method(3)->ParamCount, 0);

    THostCall Short(Mem, 1);
    EXPECT_THROW(Reg.Method(0)->Call(Driver, &Short.Ret, Short.Params.data(), Short.Count()),
                 std::invalid_argument);
    EXPECT_THROW(Reg.Method(0)->Call(Driver, &Short.Ret, nullptr, 2), std::invalid_argument);
    EXPECT_TRUE(Driver.Steps.empty()) << "the handler ran";
    EXPECT_TRUE(Driver.LastResult().BoolResult) << "a refused call is no outcome";

    // More than the method takes is harmless.
    THostCall Long(Mem, 3);
    EXPECT_TRUE(Reg.Method(0)->Call(Driver, &Long.Ret, Long.Params.data(), Long.Count()));
    EXPECT_TRUE(Verdict(Long));
    EXPECT_EQ(Long.Text(1), u"out");
}

TEST_F(Barrier, ErrorsBecomeTheVerdictWithTheCodeTheHooksGive) {
    struct TCase {
        const char16_t* Method;
        std::function<void()> Work;
        std::int32_t Code;
        std::u16string Text;
    };
    const TCase Cases[] = {
        {u"Common", [] { throw EquException(5, u"Особая"); }, 1001, u"Особая"},
        {u"Coded", [] { throw EquException(5, u"Особая"); }, 5, u"Особая"},
        {u"Coded", [] { throw EDriverError(u"Простая"); }, 1001, u"Простая"},
        {u"Coded", [] { throw std::out_of_range("вне"); }, 1001, u"вне"},
        {u"Coded", [] { throw 42; }, 1001, u"Неизвестная ошибка"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(U16ToUtf8(C.Text));
        Driver.Work = C.Work;
        THostCall Call(Mem, 2);
        Call.Int(1, 7);
        ASSERT_TRUE(CallExport(Driver, C.Method, Call));
        EXPECT_FALSE(Verdict(Call));
        EXPECT_EQ(Driver.LastResult().GetIntResult(), C.Code);
        EXPECT_EQ(Driver.LastResult().ErrorDescription, C.Text);
        // Outputs are written only by a call that succeeds.
        EXPECT_EQ(Call.Params[1].vt, VTYPE_I4);
    }
    Driver.Work = nullptr;
    THostCall Ok(Mem, 2);
    ASSERT_TRUE(CallExport(Driver, u"Coded", Ok));
    EXPECT_TRUE(Verdict(Ok));
    EXPECT_EQ(Driver.LastResult().GetIntResult(), 0);
}

TEST_F(Barrier, HooksRunInTheirOrderAndNeverChangeTheVerdict) {
    THostCall Good(Mem, 3);
    ASSERT_TRUE(CallExport(Driver, u"Traced", Good));
    EXPECT_TRUE(Verdict(Good));
    EXPECT_EQ(Driver.Steps, (std::vector<std::string>{"enter", "work", "leave 3"}));

    Driver.Steps.clear();
    Driver.Work = [] { throw EquException(1007); };
    THostCall Bad(Mem, 3);
    ASSERT_TRUE(CallExport(Driver, u"Traced", Bad));
    EXPECT_FALSE(Verdict(Bad));
    EXPECT_EQ(Driver.Steps, (std::vector<std::string>{"enter", "work", "failed", "leave 3"}));
    EXPECT_EQ(Driver.LastResult().GetIntResult(), 1007);
    EXPECT_EQ(Bad.Text(1), GetDriverErrorText(1007));
}

TEST_F(Barrier, QueriesRecordNoOutcomeAndLetTheirErrorsEscape) {
    Driver.Work = [] { throw EquException(5, u"Особая"); };
    THostCall Failed(Mem, 2);
    ASSERT_TRUE(CallExport(Driver, u"Coded", Failed));

    Driver.Work = nullptr;
    Driver.Steps.clear();
    THostCall Q(Mem, 0);
    ASSERT_TRUE(CallExport(Driver, u"Count", Q));
    EXPECT_EQ(Q.Ret.vt, VTYPE_I4);
    EXPECT_EQ(Q.Ret.lVal, 1);
    EXPECT_EQ(Driver.LastResult().GetIntResult(), 5) << "the earlier outcome stands";

    // An error of a query is no outcome either: the host's own trap reports it.
    Driver.Work = [] { throw std::runtime_error("сбой"); };
    THostCall Q2(Mem, 0);
    EXPECT_THROW(CallExport(Driver, u"Count", Q2), std::runtime_error);
    EXPECT_EQ(Driver.LastResult().GetIntResult(), 5);
}

TEST_F(Barrier, TheLogReadsTheNumbersOfAFailure) {
    std::vector<std::u16string> Lines;
    SetLogSink([&](std::u16string_view ASource, std::u16string_view AText, TLogLevel ALevel) {
        if (ASource == u"Exception" && ALevel == TLogLevel::Error)
            Lines.emplace_back(AText);
    });
    const TCommandFault Refused{TErrorOrigin::Register, std::string("\xFF\x41", 2), 126, u""};
    const TCommandFault Stale{TErrorOrigin::BadFrame, "\x10", 1014,
                              u"ответ на команду 11, ожидалась 10"};
    struct TCase {
        const char16_t* Method;
        std::function<void()> Work;
        std::u16string Line;
    };
    const TCase Cases[] = {
        {u"Coded", [&] { throw EDriverError(u"Отказ. Нет бумаги", Refused); },
         u"Code=1001; Command=FF41; Origin=register; Result=126; Отказ. Нет бумаги"},
        {u"Coded", [&] { throw EquException(1014, u"Ошибка протокола обмена", Stale); },
         u"Code=1014; Command=10; Origin=frame; Result=1014; "
         u"Reason=ответ на команду 11, ожидалась 10; Ошибка протокола обмена"},
        {u"Common", [&] { throw EquException(1014, u"Ошибка протокола обмена", Stale); },
         u"Code=1001; Command=10; Origin=frame; Result=1014; "
         u"Reason=ответ на команду 11, ожидалась 10; Ошибка протокола обмена"},
        {u"Coded", [] { throw EquException(3005); }, u"Code=3005; Смена закрыта"},
        {u"Coded", [] { throw std::runtime_error("plain"); }, u"Code=1001; plain"},
    };
    for (const TCase& C : Cases) {
        Driver.Work = C.Work;
        THostCall Call(Mem, 2);
        ASSERT_TRUE(CallExport(Driver, C.Method, Call));
    }
    SetLogSink({});
    ASSERT_EQ(Lines.size(), std::size(Cases));
    for (std::size_t I = 0; I < Lines.size(); ++I)
        EXPECT_EQ(U16ToUtf8(Lines[I]), U16ToUtf8(Cases[I].Line));
}

} // namespace
