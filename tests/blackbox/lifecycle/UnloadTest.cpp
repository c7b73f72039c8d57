// Loading and unloading the module again and again, as a host that loads modules on
// demand does: what a cycle leaves open (sessions, groups, objects, logins, running
// operations) and the library's own start-up objects are freed at unload. Under
// LeakSanitizer the process exit reports anything left; in a normal build the heap may
// grow only by what the C library and OpenSSL keep per load (well under 1 KiB; sessions,
// groups and objects alone were several KiB).
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>

#include <cstring>

#include <gtest/gtest.h>

#include "support/TestEnv.h"

using vctest::TestEnv;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kHeapCounted = false;  // LeakSanitizer checks at exit instead
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kHeapCounted = false;
#else
constexpr bool kHeapCounted = true;
#endif
#else
constexpr bool kHeapCounted = true;
#endif

size_t openDescriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

// One load, use and unload of a private copy of the module (the copy the test binary
// holds open would never be unloaded).
void cycle(const std::string& path, bool finalize) {
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto getFunctionList = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(::dlsym(module, "C_GetFunctionList"));
    ASSERT_NE(getFunctionList, nullptr);
    CK_FUNCTION_LIST_PTR p11 = nullptr;
    ASSERT_EQ(getFunctionList(&p11), CKR_OK);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    CK_SLOT_ID slots[4];
    CK_ULONG count = 4;
    ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, slots, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    for (CK_ULONG s = 0; s < count; ++s) {
        CK_SESSION_HANDLE sessions[3];
        for (CK_SESSION_HANDLE& session : sessions)
            ASSERT_EQ(p11->C_OpenSession(slots[s], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
                      CKR_OK);
        CK_USER_TYPE user = s == 0 ? CKU_USER : CKU_SO;
        const char* pin = s == 0 ? "1234" : "12345678";
        ASSERT_EQ(p11->C_Login(sessions[0], user, (CK_UTF8CHAR_PTR)pin, strlen(pin)), CKR_OK);
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE findKeys = {CKA_CLASS, &keyClass, sizeof keyClass};
        ASSERT_EQ(p11->C_FindObjectsInit(sessions[1], &findKeys, 1), CKR_OK);
        CK_OBJECT_HANDLE key = 0;
        CK_ULONG found = 0;
        ASSERT_EQ(p11->C_FindObjects(sessions[1], &key, 1, &found), CKR_OK);
        // The search stays open; so do a sign and a digest operation.
        CK_MECHANISM sign = {CKM_RSA_PKCS, nullptr, 0};
        if (found == 1 && s == 0) {
            EXPECT_EQ(p11->C_SignInit(sessions[2], &sign, key), CKR_OK);
        }
        CK_MECHANISM digest = {CKM_SHA_1, nullptr, 0};
        EXPECT_EQ(p11->C_DigestInit(sessions[0], &digest), CKR_OK);
    }
    if (finalize) {
        EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    }
    ASSERT_EQ(::dlclose(module), 0);
    EXPECT_EQ(::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "the module stayed loaded";
}

}  // namespace

TEST(Unload, RepeatedLoadUseAndUnloadFreesEverything) {
    TestEnv& env = TestEnv::Get();
    env.MakeReaderWithCard("R1", 1, "1234", "12345678");
    env.ToolOk("key-generate @R1 --bits 1024 --label k1");
    env.MakeReaderWithCard("R2", 2, "1234", "12345678");
    env.ToolOk("key-generate @R2 --bits 1024 --label k2");
    const std::string copy = env.Path("module-copy.so");
    ASSERT_EQ(std::system(("cp '" + std::string(VC_MODULE_PATH) + "' '" + copy + "'").c_str()), 0);

    for (int i = 0; i < 3; ++i) cycle(copy, i % 2 == 0);  // first loads settle caches
    size_t before = mallinfo2().uordblks;
    const size_t descriptorsBefore = openDescriptors();
    const int cycles = 20;
    for (int i = 0; i < cycles; ++i) {
        SCOPED_TRACE(i);
        cycle(copy, i % 2 == 0);
        if (HasFatalFailure()) return;
    }
    size_t after = mallinfo2().uordblks;
    EXPECT_EQ(openDescriptors(), descriptorsBefore) << "file descriptors kept open after unload";
    if (kHeapCounted) {
        long growth = static_cast<long>(after) - static_cast<long>(before);
        EXPECT_LT(growth / cycles, 1024) << "bytes kept per load and unload (" << growth << " in " << cycles << ")";
    }
}
