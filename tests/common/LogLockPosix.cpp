// The log against another process that holds today's file locked.

#include "common/Common.Log.h"
#include "common/uText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korv;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A child process that locks the file the way a driver appending to it does,
// until it is told to let go.
class TLockingProcess {
public:
    explicit TLockingProcess(const fs::path& AFile) {
        int Ready[2], Release[2];
        if (::pipe(Ready) != 0 || ::pipe(Release) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::close(Ready[0]);
            ::close(Release[1]);
            const int Fd = ::open(AFile.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
            char C = Fd >= 0 && ::flock(Fd, LOCK_EX) == 0 ? 'L' : 'E';
            if (::write(Ready[1], &C, 1) != 1)
                ::_exit(1);
            while (::read(Release[0], &C, 1) < 0) {
            }
            ::_exit(0);
        }
        ::close(Ready[1]);
        ::close(Release[0]);
        FRelease = Release[1];
        char C = 0;
        Locked = ::read(Ready[0], &C, 1) == 1 && C == 'L';
        ::close(Ready[0]);
    }
    ~TLockingProcess() { Stop(); }
    void Stop() {
        if (FRelease >= 0)
            ::close(FRelease); // the child's read returns 0 and it exits
        FRelease = -1;
        if (FPid > 0)
            ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }

    bool Locked = false;

private:
    pid_t FPid = -1;
    int FRelease = -1;
};

class LogLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* Base = std::getenv("KORVANDER_TEST_TMP");
        fs::path Root = Base ? fs::path(Base) : fs::temp_directory_path();
        fs::create_directories(Root);
        std::string Templ = (Root / "loglockXXXXXX").string();
        ASSERT_NE(::mkdtemp(Templ.data()), nullptr);
        Dir = Templ;
        ::setenv("KORVANDER_LOG_DIR", Dir.c_str(), 1);
        SetLogName(u"Korvander");
        SetLogClock([] {
            TLogTime T;
            T.Year = 2026;
            T.Month = 12;
            T.Day = 9;
            return T;
        });
        ClearLogTrouble();
        SetLogMode(3);
    }
    void TearDown() override {
        SetLogMode(0);
        SetLogClock({});
        SetLogLockWait(DefaultLogLockWait);
        ClearLogTrouble();
        fs::remove_all(Dir);
    }
    std::string Read() const {
        std::ifstream In(File(), std::ios::binary);
        std::stringstream S;
        S << In.rdbuf();
        return S.str();
    }
    fs::path File() const { return Dir / "Korvander_2026.12.09.log"; }

    fs::path Dir;
};

} // namespace

TEST_F(LogLockTest, ALockHeldBrieflyIsWaitedFor) {
    // Another driver appending holds the lock for a moment: the line waits and
    // is written. (The wait is long here so that a loaded machine cannot end it.)
    SetLogLockWait(std::chrono::seconds(30));
    auto Other = std::make_unique<TLockingProcess>(File());
    ASSERT_TRUE(Other->Locked);
    std::thread Release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Other->Stop();
    });
    WriteLog("TTest", "waited", TLogLevel::Info);
    Release.join();
    EXPECT_NE(Read().find("waited"), std::string::npos);
    EXPECT_EQ(LogTrouble(), u"");
}

TEST_F(LogLockTest, AFileLockedByAnotherProcessCostsOneBoundedWaitAndDropsLines) {
    WriteLog("TTest", "before", TLogLevel::Info);
    ASSERT_NE(Read().find("before"), std::string::npos);

    TLockingProcess Other(File());
    ASSERT_TRUE(Other.Locked);

    // The first line waits for the lock about 200 ms, then is dropped.
    auto Start = Clock::now();
    WriteLog("TTest", "dropped first", TLogLevel::Info);
    const auto FirstWait = Clock::now() - Start;
    EXPECT_GE(FirstWait, std::chrono::milliseconds(150));
    EXPECT_LT(FirstWait, std::chrono::seconds(3));

    // While the file stays locked, later lines are dropped without a new wait
    // (ten waits would take two seconds).
    Start = Clock::now();
    for (int i = 0; i < 10; ++i)
        WriteLog("TTest", "dropped later", TLogLevel::Error);
    EXPECT_LT(Clock::now() - Start, std::chrono::seconds(1));

    EXPECT_EQ(Read().find("dropped"), std::string::npos);
    const std::string Trouble = U16ToUtf8(LogTrouble());
    EXPECT_NE(Trouble.find("занят другим процессом"), std::string::npos) << Trouble;
    EXPECT_NE(Trouble.find("пропущено строк: 11"), std::string::npos) << Trouble;

    // Once the other process lets go, lines are written again. The wait given
    // up above may hold the lock for an instant as it ends, so a line written
    // just then can still be dropped: try a few.
    Other.Stop();
    bool Written = false;
    for (int i = 0; i < 100 && !Written; ++i) {
        WriteLog("TTest", "after " + std::to_string(i), TLogLevel::Info);
        Written = Read().find("after ") != std::string::npos;
        if (!Written)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(Written);
}
