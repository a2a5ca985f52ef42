// Showing a file in the desktop's viewer: the opener is started with the
// file's name and not waited for; without a desktop or an opener the error
// names the file.

#include "DriverTestHost.h"

#include "common/uEquipmentErrors.h"
#include "common/uText.h"
#include "ui/uViewer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>

using namespace korv;
using namespace korvtest;

namespace {

/// Sets an environment variable for the scope, restoring the old value.
class TEnv {
public:
    TEnv(const char* AName, const char* AValue) : FName(AName) {
        if (const char* Old = std::getenv(AName))
            FOld = Old;
        if (AValue)
            setenv(AName, AValue, 1);
        else
            unsetenv(AName);
    }
    ~TEnv() {
        if (FOld)
            setenv(FName, FOld->c_str(), 1);
        else
            unsetenv(FName);
    }

private:
    const char* FName;
    std::optional<std::string> FOld;
};

std::u16string ViewerError(const std::u16string& AFile) {
    try {
        OpenInViewer(AFile);
    } catch (const EDriverError& E) {
        return E.Message();
    }
    return {};
}

/// Up to ASize bytes from a FIFO, waiting at most 10 s for them.
std::string ReadFifo(int AFd, std::size_t ASize) {
    std::string Got;
    pollfd Pfd{AFd, POLLIN, 0};
    while (Got.size() < ASize && poll(&Pfd, 1, 10000) > 0) {
        char Buf[256];
        ssize_t N = read(AFd, Buf, sizeof Buf);
        if (N <= 0)
            break;
        Got.append(Buf, static_cast<std::size_t>(N));
    }
    return Got;
}

class Viewer : public ::testing::Test {
protected:
    void SetUp() override {
        Dir = TestLogFolder() / ("viewer-" + std::to_string(getpid()));
        std::filesystem::remove_all(Dir);
        std::filesystem::create_directories(Dir);
    }
    void TearDown() override { std::filesystem::remove_all(Dir); }

    std::filesystem::path Dir;
};

TEST_F(Viewer, WithoutADesktopTheFileIsNamed) {
    TEnv D("DISPLAY", nullptr), W("WAYLAND_DISPLAY", nullptr);
    std::u16string Msg = ViewerError(u"/tmp/some file.html");
    EXPECT_NE(Msg.find(u"/tmp/some file.html"), std::u16string::npos);
    EXPECT_NE(Msg.find(u"DISPLAY"), std::u16string::npos);
}

TEST_F(Viewer, MissingOpenerIsReportedWithTheFile) {
    TEnv D("DISPLAY", ":99"), P("PATH", Dir.string().c_str());
    std::u16string Msg = ViewerError(u"/tmp/help.html");
    EXPECT_NE(Msg.find(u"xdg-open"), std::u16string::npos) << U16ToUtf8(Msg);
    EXPECT_NE(Msg.find(u"/tmp/help.html"), std::u16string::npos);
}

TEST_F(Viewer, OpenerGetsTheFileAndIsNotWaitedFor) {
    // The stand-in opener reports its argument through a FIFO and then stays
    // until the test lets it go: the call must return while it still runs,
    // and the opener must not have inherited the test's end of that FIFO
    // (else it would never see the end and never exit).
    std::filesystem::path Fifo = Dir / "seen", Release = Dir / "release", Done = Dir / "done";
    ASSERT_EQ(mkfifo(Fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(Done.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(Release.c_str(), 0600), 0);
    {
        std::ofstream Script(Dir / "xdg-open");
        Script << "#!/bin/sh\nexec > /dev/null 2>&1 3< '" << Release.string() << "'\n"
               << "printf '%s' \"$1\" > '" << Fifo.string() << "'\n"
               << "cat <&3\nprintf x > '" << Done.string() << "'\n";
    }
    std::filesystem::permissions(Dir / "xdg-open", std::filesystem::perms::owner_all);
    // Both FIFOs are held open read-write here, so neither end ever blocks the test.
    int Seen = open(Fifo.c_str(), O_RDWR | O_NONBLOCK);
    int Hold = open(Release.c_str(), O_RDWR);
    int Finished = open(Done.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(Finished, 0);
    ASSERT_GE(Seen, 0);
    ASSERT_GE(Hold, 0);

    const std::string Path = (Dir / "Korvander help.html").string();
    {
        TEnv D("DISPLAY", ":99"), P("PATH", (Dir.string() + ":/usr/bin:/bin").c_str());
        OpenInViewer(Utf8ToU16(Path));
    }
    EXPECT_EQ(ReadFifo(Seen, Path.size()), Path);
    close(Hold); // the opener's cat sees the end and it exits
    EXPECT_EQ(ReadFifo(Finished, 1), "x") << "the opener kept the test's end of the FIFO";
    close(Seen);
    close(Finished);
}

} // namespace
