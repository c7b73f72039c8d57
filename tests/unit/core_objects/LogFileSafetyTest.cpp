// The log file path may sit in a directory other users can write to: the log must never
// follow a link or write into a file someone else prepared.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TempDir.h"
#include "core/Log.h"

using namespace Vellumcrest::Core;
using coretest::ReadText;
using coretest::TempDir;
using coretest::WriteText;

namespace {

void Use(Log& log, const std::string& path) {
    log.SetApplication("Pkcs11");
    log.SetFileName(path.c_str());
    log.SetLevel(Log::LevelDebug);
    log.Info("secret-looking line");
}

mode_t ModeOf(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace

TEST(LogFileSafety, NewFileIsPrivateEvenWithAnOpenUmask) {
    TempDir dir;
    mode_t old = ::umask(0);
    {
        Log log;
        Use(log, dir.File("new.log"));
    }
    ::umask(old);
    EXPECT_EQ(ModeOf(dir.File("new.log")), 0600u);
    EXPECT_NE(ReadText(dir.File("new.log")).find("secret-looking line"), std::string::npos);
}

TEST(LogFileSafety, PreparedPathsReceiveNothingAndLoggingIsOff) {
    TempDir dir;
    const std::string target = dir.File("victim");
    WriteText(target, "original\n");
    ::chmod(target.c_str(), 0600);

    struct Case {
        const char* name;
        std::string path;
    };
    std::vector<Case> cases;
    // A symbolic link to a file of ours, and one to a name that does not exist yet.
    ::symlink(target.c_str(), dir.File("link.log").c_str());
    cases.push_back({"symlink", dir.File("link.log")});
    ::symlink(dir.File("created-through-link").c_str(), dir.File("dangling.log").c_str());
    cases.push_back({"dangling symlink", dir.File("dangling.log")});
    // A file that anybody may write to.
    WriteText(dir.File("open.log"), "");
    ::chmod(dir.File("open.log").c_str(), 0666);
    cases.push_back({"world-writable", dir.File("open.log")});
    // A second name of one of our files.
    ::link(target.c_str(), dir.File("hardlink.log").c_str());
    cases.push_back({"hard link", dir.File("hardlink.log")});
    // A FIFO must neither block nor receive lines.
    ::mkfifo(dir.File("fifo.log").c_str(), 0600);
    cases.push_back({"fifo", dir.File("fifo.log")});
    // A file of another user (only root can make one here).
    if (::geteuid() == 0) {
        WriteText(dir.File("foreign.log"), "");
        ::chmod(dir.File("foreign.log").c_str(), 0644);
        ASSERT_EQ(::chown(dir.File("foreign.log").c_str(), 65534, 65534), 0);
        cases.push_back({"other owner", dir.File("foreign.log")});
    }

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Log log;
        Use(log, c.path);
        EXPECT_FALSE(log.IsEnabled(Log::LevelError));
        log.Error("second line");
    }
    EXPECT_EQ(ReadText(target), "original\n");
    EXPECT_EQ(ReadText(dir.File("open.log")), "");
    EXPECT_FALSE(::access(dir.File("created-through-link").c_str(), F_OK) == 0);
    if (::geteuid() == 0) {
        EXPECT_EQ(ReadText(dir.File("foreign.log")), "");
    }
}

TEST(LogFileSafety, FileSwappedForALinkAfterOpeningIsNotFollowed) {
    TempDir dir;
    const std::string path = dir.File("swap.log");
    const std::string target = dir.File("victim");
    WriteText(target, "original\n");
    Log log;
    Use(log, path);
    ASSERT_NE(ReadText(path).find("secret-looking line"), std::string::npos);

    ::unlink(path.c_str());
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    log.Info("after the swap");
    EXPECT_EQ(ReadText(target), "original\n");
    EXPECT_FALSE(log.IsEnabled(Log::LevelError));

    // A new file name switches it on again.
    log.SetFileName(dir.File("other.log").c_str());
    log.Info("on again");
    EXPECT_NE(ReadText(dir.File("other.log")).find("on again"), std::string::npos);
}
