// The change queue behind the per-call card checks: every change that can alter what a reader
// directory holds ends quiet, looking at the card does not, and a forked child neither
// inherits quiet marks nor takes its parent's events.
#include <fcntl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>

#include "core/CardImage.h"
#include "core/DirectoryWatch.h"
#include "unit/core_card/CardTestUtil.h"

namespace cardtest {
namespace {

using Vellumcrest::Core::CardFileLock;
using Vellumcrest::Core::DirectoryQuiet;
using Vellumcrest::Core::MarkDirectory;
using Vellumcrest::Core::QueueRead;
using Vellumcrest::Core::WatchMark;

class DirectoryWatchTest : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        char real[PATH_MAX];
        ASSERT_NE(::realpath(root_.c_str(), real), nullptr);
        dir_ = std::string(real) + "/a/reader";
        ASSERT_EQ(std::system(("mkdir -p " + Quote(dir_)).c_str()), 0);
        WriteBytes(dir_ + "/card.vcard", {1, 2, 3});
    }

    // Marks the directory, runs change and tells whether the mark stayed quiet.
    bool QuietAfter(const std::function<void()>& change) {
        WatchMark mark = MarkDirectory(dir_);
        EXPECT_TRUE(mark.Valid()) << dir_;
        EXPECT_TRUE(DirectoryQuiet(mark, QueueRead::Always));
        change();
        return DirectoryQuiet(mark, QueueRead::Always);
    }

    std::string dir_;
};

TEST_F(DirectoryWatchTest, EveryChangeOfTheDirectoryOrItsPathEndsQuiet) {
    const std::string card = dir_ + "/card.vcard";
    EXPECT_FALSE(QuietAfter([&] { WriteBytes(card, {9, 9, 9}); })) << "rewritten in place";
    EXPECT_FALSE(QuietAfter([&] {
        WriteBytes(dir_ + "/new", {4});
        ::rename((dir_ + "/new").c_str(), card.c_str());
    })) << "replaced";
    EXPECT_FALSE(QuietAfter([&] { ::chmod(card.c_str(), 0400); })) << "attributes";
    EXPECT_FALSE(QuietAfter([&] { ::unlink(card.c_str()); })) << "removed";
    EXPECT_FALSE(QuietAfter([&] { WriteBytes(dir_ + "/reader.conf", {'x'}); })) << "reader.conf";
    EXPECT_FALSE(QuietAfter([&] { ::rename(dir_.c_str(), (dir_ + "-moved").c_str()); })) << "directory moved";
    ::rename((dir_ + "-moved").c_str(), dir_.c_str());
    const std::string parent = root_ + "/a";
    EXPECT_FALSE(QuietAfter([&] { ::rename(parent.c_str(), (parent + "-moved").c_str()); })) << "ancestor moved";
    ::rename((parent + "-moved").c_str(), parent.c_str());
    EXPECT_FALSE(QuietAfter([&] { std::system(("rm -rf " + Quote(dir_)).c_str()); })) << "directory removed";
    // A directory made anew under the same path is watched anew.
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
    EXPECT_FALSE(QuietAfter([&] { WriteBytes(dir_ + "/card.vcard", {1}); }));
}

TEST_F(DirectoryWatchTest, LookingAtTheCardAndLockingItStayQuiet) {
    WriteBytes(dir_ + "/card.vcard.lock", {});
    CardFileLock lock;
    EXPECT_TRUE(QuietAfter([&] {
        EXPECT_EQ(ReadBytes(dir_ + "/card.vcard").size(), 3u);
        struct stat st;
        ::stat((dir_ + "/card.vcard").c_str(), &st);
        ASSERT_EQ(lock.Lock(dir_ + "/card.vcard"), 0);
        lock.Unlock();
        ASSERT_EQ(lock.Lock(dir_ + "/card.vcard"), 0);
        EXPECT_TRUE(lock.QueueReadUnderLock()) << "the kept lock file is used again";
        lock.Unlock();
    }));
}

// One call sees the directory as of its first check; the next call, and a check under the
// card's lock, see what changed since.
TEST_F(DirectoryWatchTest, ACallReadsTheQueueOnceAndTheNextCallSeesTheChange) {
    WatchMark mark = MarkDirectory(dir_);
    {
        Vellumcrest::Core::CallSpan call;
        EXPECT_TRUE(DirectoryQuiet(mark, QueueRead::OncePerCall));
        WriteBytes(dir_ + "/card.vcard", {5});
        EXPECT_TRUE(DirectoryQuiet(mark, QueueRead::OncePerCall));
        EXPECT_FALSE(DirectoryQuiet(mark, QueueRead::Always));
    }
    mark = MarkDirectory(dir_);
    {
        Vellumcrest::Core::CallSpan call;
        EXPECT_TRUE(DirectoryQuiet(mark, QueueRead::OncePerCall));
    }
    WriteBytes(dir_ + "/card.vcard", {6});
    Vellumcrest::Core::CallSpan call;
    EXPECT_FALSE(DirectoryQuiet(mark, QueueRead::OncePerCall));
    EXPECT_FALSE(DirectoryQuiet(mark, QueueRead::No));
}

TEST_F(DirectoryWatchTest, PathsThatCouldPartFromTheWatchAreNotWatched) {
    ASSERT_EQ(::symlink(dir_.c_str(), (root_ + "/link").c_str()), 0);
    EXPECT_FALSE(MarkDirectory(root_ + "/link").Valid());
    EXPECT_FALSE(MarkDirectory(dir_ + "/").Valid());
    EXPECT_FALSE(MarkDirectory("a/reader").Valid());
    EXPECT_FALSE(MarkDirectory(dir_ + "/missing").Valid());
    EXPECT_FALSE(DirectoryQuiet(WatchMark(), QueueRead::Always));
}

// A card file rewritten in place through a second name of it (no event in the reader's
// directory) is seen at the next check.
TEST_F(CardTest, CardRewrittenThroughAnotherNameIsSeen) {
    Vellumcrest::Core::ReaderCardPair* pair = Card("--type 1 --memory 1000");
    ASSERT_NE(pair, nullptr);
    const std::string image = ReaderDir("R1") + "/card.vcard";
    const std::string other = root_ + "/other-name.vcard";
    ASSERT_EQ(::link(image.c_str(), other.c_str()), 0);
    ASSERT_NE(pair->GetCardInfo(true), nullptr);
    EXPECT_EQ(pair->GetCardInfo(true)->freePublicMemory, 1000);

    const std::string copy = root_ + "/copy.vcard";
    WriteBytes(copy, ReadBytes(image));
    WriteBytes(root_ + "/data.bin", std::vector<unsigned char>(100, 'x'));
    ToolOk("data-add " + Quote(copy) + " --file " + Quote(root_ + "/data.bin") + " --label d");
    WriteBytes(other, ReadBytes(copy));  // in place, through the other name
    const Vellumcrest::Core::CardInfo* info = pair->GetCardInfo(true);
    ASSERT_NE(info, nullptr);
    EXPECT_LT(info->freePublicMemory, 1000);
}

// A child shares the queue with its parent after fork: it must not report its parent's marks
// quiet, and its own checks must not take events the parent has yet to see.
TEST_F(DirectoryWatchTest, ForkedChildNeitherTrustsNorStealsTheParentsQueue) {
    WatchMark mark = MarkDirectory(dir_);
    ASSERT_TRUE(mark.Valid());
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = DirectoryQuiet(mark, QueueRead::Always) ? 1 : 0;
        WriteBytes(dir_ + "/card.vcard", {7});
        if (!MarkDirectory(dir_).Valid()) code |= 2;
        DirectoryQuiet(MarkDirectory(dir_), QueueRead::Always);
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status) & 1, 0) << "the child took the parent's mark as quiet";
    EXPECT_EQ(WEXITSTATUS(status) & 2, 0) << "the child could not watch on its own";
    EXPECT_FALSE(DirectoryQuiet(mark, QueueRead::Always)) << "the child's write was lost to the parent";
}

}  // namespace
}  // namespace cardtest
