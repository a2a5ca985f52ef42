#include "common/Common.Log.h"
#include "common/Common.LogPlatform.h"
#include "common/uText.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

using namespace korv;
namespace fs = std::filesystem;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Folder = std::make_unique<korvtest::TTempFolder>("log");
        Dir = Folder->Path();
        ::setenv("KORVANDER_LOG_DIR", Dir.c_str(), 1);
        SetLogMode(0);
        SetLogName(u"Korvander");
        SetLogSink({});
        ClearLogTrouble();
        Day = 8;
        SetLogClock([this] {
            TLogTime T;
            T.Year = 2026;
            T.Month = 12;
            T.Day = Day;
            T.Hour = 9;
            T.Minute = 5;
            T.Second = 3;
            T.Millisecond = 7;
            return T;
        });
    }
    void TearDown() override {
        SetLogMode(0);
        SetLogClock({});
        SetLogSink({});
        ClearLogTrouble();
        Folder.reset();
    }

    std::string Read(const std::string& Name = "Korvander_2026.12.08.log") const {
        std::ifstream In(Dir / Name, std::ios::binary);
        std::stringstream S;
        S << In.rdbuf();
        return S.str();
    }
    // The lines of the file without the banners.
    std::vector<std::string> Lines() const {
        std::vector<std::string> Out;
        std::string All = Read();
        std::size_t Pos = 0;
        while (Pos < All.size()) {
            std::size_t End = All.find("\r\n", Pos);
            if (End == std::string::npos)
                End = All.size();
            std::string L = All.substr(Pos, End - Pos);
            if (L.rfind("2026.", 0) == 0)
                Out.push_back(L);
            Pos = End + 2;
        }
        return Out;
    }

    std::unique_ptr<korvtest::TTempFolder> Folder;
    fs::path Dir;
    int Day = 8;
};

void WriteAllLevels() {
    WriteLog("Src", "info", TLogLevel::Info);
    WriteLog("Src", "debug", TLogLevel::Debug);
    WriteLog("Src", "error", TLogLevel::Error);
}

} // namespace

TEST_F(LogTest, ModesFilterLevels) {
    struct Case {
        int Mode;
        std::vector<std::string> Levels;
    };
    for (const Case& C :
         {Case{1, {"ERROR"}}, Case{2, {"INFO", "ERROR"}}, Case{3, {"INFO", "DEBUG", "ERROR"}}}) {
        SetLogMode(C.Mode);
        WriteAllLevels();
        const auto L = Lines();
        ASSERT_EQ(L.size(), C.Levels.size()) << "mode " << C.Mode;
        for (std::size_t i = 0; i < L.size(); ++i)
            EXPECT_NE(L[i].find("\t" + C.Levels[i] + "\t"), std::string::npos) << L[i];
        // Callers that skip building a line when it is not wanted lose none of these.
        const auto Has = [&](const char* AWord) {
            return std::find(C.Levels.begin(), C.Levels.end(), AWord) != C.Levels.end();
        };
        EXPECT_EQ(LogWanted(TLogLevel::Info), Has("INFO")) << "mode " << C.Mode;
        EXPECT_EQ(LogWanted(TLogLevel::Debug), Has("DEBUG")) << "mode " << C.Mode;
        EXPECT_EQ(LogWanted(TLogLevel::Error), Has("ERROR")) << "mode " << C.Mode;
        SetLogMode(0);
        fs::remove(Dir / "Korvander_2026.12.08.log");
    }
    for (int Mode : {0, 4}) {
        SetLogMode(Mode);
        EXPECT_FALSE(LogWanted(TLogLevel::Error)) << "mode " << Mode;
        WriteAllLevels();
        StartLog();
        SetLogMode(0);
        EXPECT_FALSE(fs::exists(Dir / "Korvander_2026.12.08.log")) << "mode " << Mode;
    }
    EXPECT_EQ(LogTrouble(), u"");
}

TEST_F(LogTest, BannersAndLineFormat) {
    SetLogMode(3);
    WriteLog(u"  TCOMProtocol ", u"-> 05 ", TLogLevel::Info);
    WriteLog(u"TDriver", u"", TLogLevel::Error);
    WriteLog(u"TDriver", u"Чек №1", TLogLevel::Debug);
    SetLogMode(0);
    SetLogMode(0);
    const std::string All = Read();
    const std::string Blanks(40, ' ');
    const std::string Head = Blanks + "\r\n============Start log=============\r\nOS version:\t";
    ASSERT_EQ(All.compare(0, Head.size(), Head), 0) << All;
    EXPECT_NE(All.find("\r\nApplication:\t"), std::string::npos);
    EXPECT_NE(All.find("\r\nApp. version:\t1.0.0.1\r\n" + Blanks + "\r\n"), std::string::npos);
    const std::string Body = "2026.12.08 09:05:03.007\tINFO\tTCOMProtocol: \t-> 05\r\n"
                             "2026.12.08 09:05:03.007\tERROR\tTDriver\r\n"
                             "2026.12.08 09:05:03.007\tDEBUG\tTDriver: \t" +
                             U16ToUtf8(u"Чек №1") +
                             "\r\n============Stop log===============\r\n\r\n";
    ASSERT_GE(All.size(), Body.size());
    EXPECT_EQ(All.substr(All.size() - Body.size()), Body);
    EXPECT_EQ(All.find("Start log"), All.rfind("Start log"));
    EXPECT_EQ(All.find("Stop log"), All.rfind("Stop log"));
}

TEST_F(LogTest, StopBannerOnlyAfterAStart) {
    SetLogMode(3);
    SetLogMode(0); // nothing was written: no banners, no file
    EXPECT_FALSE(fs::exists(Dir / "Korvander_2026.12.08.log"));
    SetLogMode(3);
    StartLog();
    SetLogMode(4); // the undetermined mode suppresses the stop banner
    SetLogMode(0);
    const std::string All = Read();
    EXPECT_NE(All.find("Start log"), std::string::npos);
    EXPECT_EQ(All.find("Stop log"), std::string::npos);
    // A new logging period starts with a new banner.
    SetLogMode(2);
    WriteLog("Src", "x", TLogLevel::Info);
    SetLogMode(0);
    const std::string Again = Read();
    EXPECT_NE(Again.find("Start log"), Again.rfind("Start log"));
    EXPECT_NE(Again.find("Stop log"), std::string::npos);
}

TEST_F(LogTest, NewFileEachDay) {
    SetLogMode(3);
    WriteLog("Src", "first day", TLogLevel::Info);
    Day = 9;
    WriteLog("Src", "second day", TLogLevel::Info);
    EXPECT_NE(Read("Korvander_2026.12.08.log").find("first day"), std::string::npos);
    const std::string Second = Read("Korvander_2026.12.09.log");
    EXPECT_NE(Second.find("2026.12.09 09:05:03.007\tINFO\tSrc: \tsecond day"), std::string::npos);
    EXPECT_EQ(Second.find("first day"), std::string::npos);
    EXPECT_EQ(GetLogFileName(false), (Dir / "Korvander_2026.12.09.log").u16string());
    EXPECT_EQ(GetLogFileName(true), Dir.u16string() + u"/");
}

TEST_F(LogTest, FilesAreNotWorldWritable) {
    SetLogMode(3);
    WriteLog("Src", "x", TLogLevel::Info);
    const auto Perm = fs::status(Dir / "Korvander_2026.12.08.log").permissions();
    EXPECT_EQ(Perm & (fs::perms::others_write | fs::perms::group_write), fs::perms::none);
    ::setenv("KORVANDER_LOG_DIR", (Dir / "made" / "here").c_str(), 1);
    WriteLog("Src", "y", TLogLevel::Info);
    const auto DirPerm = fs::status(Dir / "made" / "here").permissions();
    EXPECT_EQ(DirPerm & fs::perms::others_write, fs::perms::none);
    EXPECT_TRUE(fs::exists(Dir / "made" / "here" / "Korvander_2026.12.08.log"));
}

TEST_F(LogTest, UnwritableFolderNeverFailsTheCaller) {
    // A regular file where the folder should be: no user can create it.
    std::ofstream(Dir / "blocker") << "x";
    ::setenv("KORVANDER_LOG_DIR", (Dir / "blocker" / "sub").c_str(), 1);
    std::vector<std::u16string> Seen;
    SetLogSink(
        [&](std::u16string_view, std::u16string_view M, TLogLevel) { Seen.emplace_back(M); });
    SetLogMode(3);
    EXPECT_NO_THROW(WriteLog("Src", "lost", TLogLevel::Error));
    EXPECT_NO_THROW(WriteLog("Src", "lost too", TLogLevel::Error));
    const std::u16string Trouble = LogTrouble();
    EXPECT_FALSE(Trouble.empty());
    EXPECT_NE(U16ToUtf8(Trouble).find("blocker"), std::string::npos);
    // The sink still saw everything.
    EXPECT_EQ(Seen, (std::vector<std::u16string>{u"lost", u"lost too"}));
    // Only the first trouble is kept.
    ::setenv("KORVANDER_LOG_DIR", (Dir / "blocker" / "other").c_str(), 1);
    WriteLog("Src", "x", TLogLevel::Error);
    EXPECT_EQ(LogTrouble(), Trouble);
}

TEST_F(LogTest, SinkSeesEveryMessageWhateverTheMode) {
    std::vector<std::string> Seen;
    SetLogSink([&](std::u16string_view S, std::u16string_view M, TLogLevel L) {
        Seen.push_back(U16ToUtf8(S) + "|" + U16ToUtf8(M) + "|" +
                       std::to_string(static_cast<int>(L)));
        // A sink that logs itself must not deadlock.
        if (M == u"again")
            WriteLog("Sink", "inner", TLogLevel::Debug);
    });
    EXPECT_TRUE(LogWanted(TLogLevel::Debug)); // the log is off, the sink still wants it
    WriteLog("A", "off", TLogLevel::Debug);
    SetLogMode(1);
    WriteLog("B", "again", TLogLevel::Info);
    EXPECT_EQ(Seen, (std::vector<std::string>{"A|off|1", "B|again|0", "Sink|inner|1"}));
    EXPECT_FALSE(fs::exists(Dir / "Korvander_2026.12.08.log"));
}

TEST_F(LogTest, ConcurrentWritersKeepWholeLines) {
    SetLogMode(3);
    std::vector<std::thread> Threads;
    for (int t = 0; t < 4; ++t)
        Threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                WriteLog("T" + std::to_string(t), std::string(100, char('a' + t)), TLogLevel::Info);
        });
    for (auto& T : Threads)
        T.join();
    const auto L = Lines();
    ASSERT_EQ(L.size(), 200u);
    for (const auto& Line : L)
        EXPECT_EQ(Line.size(), std::string("2026.12.08 09:05:03.007\tINFO\tT0: \t").size() + 100);
}

TEST_F(LogTest, FileOrFolderRemovedWhileOpenIsMadeAgain) {
    SetLogMode(3);
    WriteLog("Src", "first", TLogLevel::Info);
    fs::remove(Dir / "Korvander_2026.12.08.log");
    WriteLog("Src", "second", TLogLevel::Info);
    EXPECT_NE(Read().find("second"), std::string::npos);
    fs::remove_all(Dir);
    WriteLog("Src", "third", TLogLevel::Info);
    const std::string All = Read();
    EXPECT_NE(All.find("third"), std::string::npos);
    EXPECT_EQ(All.find("second"), std::string::npos);
    EXPECT_EQ(LogTrouble(), u"");
}

TEST_F(LogTest, StopBannerWhenTheLibraryUnloads) {
    ::testing::FLAGS_gtest_death_test_style = "fast";
    EXPECT_EXIT(
        {
            SetLogMode(3);
            WriteLog("Src", "last words", TLogLevel::Info);
            std::exit(0); // static objects end as at unload
        },
        ::testing::ExitedWithCode(0), "");
    const std::string All = Read();
    const std::string Tail = "last words\r\n============Stop log===============\r\n\r\n";
    ASSERT_GE(All.size(), Tail.size());
    EXPECT_EQ(All.substr(All.size() - Tail.size()), Tail);
}

TEST(LogFolder, DefaultCandidatesInOrder) {
    const char* OldState = std::getenv("XDG_STATE_HOME");
    const char* OldHome = std::getenv("HOME");
    const std::string KeepState = OldState ? OldState : "", KeepHome = OldHome ? OldHome : "";
    ::setenv("XDG_STATE_HOME", "/st", 1);
    ::setenv("HOME", "/home/u", 1);
    EXPECT_EQ(
        logplatform::LogFolderCandidates(u"Korvander"),
        (std::vector<std::u16string>{u"/var/log/Velmora/Korvander/", u"/st/Velmora/Korvander/",
                                     u"/home/u/.local/state/Velmora/Korvander/"}));
    ::setenv("XDG_STATE_HOME", "relative", 1); // not absolute: ignored
    EXPECT_EQ(logplatform::LogFolderCandidates(u"K").size(), 2u);
    OldState ? ::setenv("XDG_STATE_HOME", KeepState.c_str(), 1) : ::unsetenv("XDG_STATE_HOME");
    OldHome ? ::setenv("HOME", KeepHome.c_str(), 1) : ::unsetenv("HOME");
}
