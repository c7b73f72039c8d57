// Two processes that write the same card at the same time lose none of each other's
// changes: every write starts from the newest image under the card's lock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "ImportSupport.h"
#include "support/TestEnv.h"

using namespace imptest;

namespace {

constexpr int kObjectsPerWriter = 12;

// In a child process: a fresh module creates data objects and relabels each. The exit
// code is the number of failed calls.
int writer(const std::string& reader, int id) {
    CK_FUNCTION_LIST_PTR p11 = FreshModule();
    if (p11 == nullptr) return 100;
    CK_SLOT_ID slot = SlotIn(p11, reader);
    CK_SESSION_HANDLE session = 0;
    int failures = 0;
    if (p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK) return 101;
    CK_UTF8CHAR pin[] = {'1', '2', '3', '4'};
    if (p11->C_Login(session, CKU_USER, pin, sizeof pin) != CKR_OK) return 102;
    for (int i = 0; i < kObjectsPerWriter; ++i) {
        const std::string name = "w" + std::to_string(id) + "-" + std::to_string(i);
        Template tmpl = DataTemplate(Bytes(16, static_cast<unsigned char>(i)), name);
        CK_OBJECT_HANDLE handle = 0;
        if (p11->C_CreateObject(session, tmpl.data(), tmpl.size(), &handle) != CKR_OK) {
            ++failures;
            continue;
        }
        std::string label = name + "-r";
        CK_ATTRIBUTE attribute = {CKA_LABEL, label.data(), label.size()};
        if (p11->C_SetAttributeValue(session, handle, &attribute, 1) != CKR_OK) ++failures;
    }
    p11->C_CloseAllSessions(slot);
    p11->C_Finalize(nullptr);
    return failures;
}

}  // namespace

TEST(ConcurrentWriters, TwoProcessesLoseNoUpdate) {
    CK_SLOT_ID slot = NewCard("shared", 1);
    ASSERT_NE(slot, 0u);
    pid_t children[2];
    for (int id = 0; id < 2; ++id) {
        children[id] = ::fork();
        ASSERT_GE(children[id], 0);
        if (children[id] == 0) ::_exit(writer("shared", id));
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer failed: " << status;
    }

    // The loaded module reads the card for the first time now.
    CK_SESSION_HANDLE session = Session(slot);
    CK_OBJECT_CLASS dataClass = CKO_DATA;
    CK_ATTRIBUTE search = {CKA_CLASS, &dataClass, sizeof dataClass};
    std::set<std::string> labels;
    for (CK_OBJECT_HANDLE object : vctest::FindAll(session, &search, 1)) {
        Bytes label = vctest::Attribute(session, object, CKA_LABEL);
        labels.insert(std::string(label.begin(), label.end()));
    }
    std::set<std::string> expected;
    for (int id = 0; id < 2; ++id)
        for (int i = 0; i < kObjectsPerWriter; ++i)
            expected.insert("w" + std::to_string(id) + "-" + std::to_string(i) + "-r");
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}

// A card whose lock cannot be taken (here its lock file is a directory) is not written:
// the write fails instead of racing other processes.
TEST(ConcurrentWriters, NoWriteWithoutTheCardLock) {
    CK_SLOT_ID slot = NewCard("nolock", 1);
    CK_SESSION_HANDLE session = Session(slot);
    const std::string lock = vctest::TestEnv::Get().ReadersDir() + "/nolock/card.vcard.lock";
    ::unlink(lock.c_str());
    ASSERT_EQ(::mkdir(lock.c_str(), 0700), 0);
    Template data = DataTemplate({1, 2, 3}, "d");
    CK_OBJECT_HANDLE handle = 0;
    EXPECT_EQ(Create(session, data, &handle), CKR_FUNCTION_FAILED);
    EXPECT_EQ(Count(Dump("nolock"), "data file "), 0u);
    ::rmdir(lock.c_str());
    EXPECT_EQ(Create(session, data, &handle), CKR_OK);
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}

// The module keeps the card's lock file open between calls: a write of another process is
// still seen by the next call, and a lock file removed and made anew (as when a reader is
// removed and added again) is the one the module waits for.
TEST(ConcurrentWriters, NextCallSeesOtherWritersAndWaitsForANewLockFile) {
    CK_SLOT_ID slot = NewCard("relock", 1);
    ASSERT_NE(slot, 0u);
    CK_SESSION_HANDLE session = Session(slot);
    Template first = DataTemplate(Bytes(8, 1), "first");
    CK_OBJECT_HANDLE handle = 0;
    ASSERT_EQ(Create(session, first, &handle), CKR_OK);  // the module now holds the lock file open

    auto freeMemory = [&] {
        CK_TOKEN_INFO info;
        EXPECT_EQ(P11()->C_GetTokenInfo(slot, &info), CKR_OK);
        return info.ulFreePublicMemory;
    };
    Sh("printf 'other writer' > '" + vctest::TestEnv::Get().Path("other.bin") + "'");
    for (int round = 0; round < 4; ++round) {
        CK_ULONG before = freeMemory();
        vctest::TestEnv::Get().ToolOk("data-add @relock --file '" + vctest::TestEnv::Get().Path("other.bin") +
                                      "' --label other-" + std::to_string(round));
        EXPECT_LT(freeMemory(), before) << "round " << round;
    }

    const std::string lockPath = vctest::TestEnv::Get().ReadersDir() + "/relock/card.vcard.lock";
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::future<CK_RV> write = std::async(std::launch::async, [&] {
        Template second = DataTemplate(Bytes(8, 2), "second");
        CK_OBJECT_HANDLE created = 0;
        return Create(session, second, &created);
    });
    EXPECT_EQ(write.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the write went ahead under the removed lock file";
    ::flock(fd, LOCK_UN);
    ::close(fd);
    EXPECT_EQ(write.get(), CKR_OK);
    EXPECT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
}
