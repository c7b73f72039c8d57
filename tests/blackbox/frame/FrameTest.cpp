// The module frame through the loaded library: function table, initialisation,
// library information and the log lines of C_Initialize.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestEnv.h"

namespace {

using vctest::TestEnv;

CK_FUNCTION_LIST_PTR P11() { return TestEnv::Get().P11(); }

// Text of the module's log lines ("Pkcs11: " lines), in order.
std::vector<std::string> ModuleLines() {
    std::istringstream in(TestEnv::Get().ReadLog());
    std::vector<std::string> lines;
    std::string line;
    const std::string marker = "] Pkcs11: ";
    while (std::getline(in, line)) {
        size_t at = line.find(marker);
        if (at != std::string::npos) lines.push_back(line.substr(at + marker.size()));
    }
    return lines;
}

std::string ExecutablePath() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) return "";
    path[length] = '\0';
    return path;
}

// Each test starts and ends with the module finalised and an empty log.
class Frame : public ::testing::Test {
protected:
    void SetUp() override {
        P11()->C_Finalize(nullptr);
        TestEnv::Get().ClearLog();
    }
    void TearDown() override { P11()->C_Finalize(nullptr); }
};

std::atomic<int> mutexCalls{0};
CK_RV CreateMutexCb(CK_VOID_PTR_PTR) { ++mutexCalls; return CKR_OK; }
CK_RV DestroyMutexCb(CK_VOID_PTR) { ++mutexCalls; return CKR_OK; }
CK_RV LockMutexCb(CK_VOID_PTR) { ++mutexCalls; return CKR_OK; }
CK_RV UnlockMutexCb(CK_VOID_PTR) { ++mutexCalls; return CKR_OK; }

CK_C_INITIALIZE_ARGS Args(bool create, bool destroy, bool lock, bool unlock, CK_FLAGS flags) {
    CK_C_INITIALIZE_ARGS args;
    std::memset(&args, 0, sizeof args);
    args.CreateMutex = create ? CreateMutexCb : nullptr;
    args.DestroyMutex = destroy ? DestroyMutexCb : nullptr;
    args.LockMutex = lock ? LockMutexCb : nullptr;
    args.UnlockMutex = unlock ? UnlockMutexCb : nullptr;
    args.flags = flags;
    return args;
}

bool Initialised() {
    CK_INFO info;
    return P11()->C_GetInfo(&info) == CKR_OK;
}

TEST_F(Frame, FunctionListIsOneStaticTableOfTheExports) {
    auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(TestEnv::Get().Symbol("C_GetFunctionList"));
    ASSERT_NE(getFunctionList, nullptr);
    CK_FUNCTION_LIST_PTR first = nullptr, second = nullptr;
    EXPECT_EQ(getFunctionList(&first), CKR_OK);
    EXPECT_EQ(getFunctionList(&second), CKR_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, P11());
    EXPECT_EQ(getFunctionList(nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->version.major, 2);
    EXPECT_EQ(first->version.minor, 20);

#define VC_EXPECT_EXPORT(name) \
    EXPECT_EQ(reinterpret_cast<void*>(first->name), TestEnv::Get().Symbol(#name)) << #name;
    VC_EXPECT_EXPORT(C_Initialize) VC_EXPECT_EXPORT(C_Finalize) VC_EXPECT_EXPORT(C_GetInfo)
    VC_EXPECT_EXPORT(C_GetFunctionList) VC_EXPECT_EXPORT(C_GetSlotList) VC_EXPECT_EXPORT(C_GetSlotInfo)
    VC_EXPECT_EXPORT(C_GetTokenInfo) VC_EXPECT_EXPORT(C_GetMechanismList) VC_EXPECT_EXPORT(C_GetMechanismInfo)
    VC_EXPECT_EXPORT(C_InitToken) VC_EXPECT_EXPORT(C_InitPIN) VC_EXPECT_EXPORT(C_SetPIN)
    VC_EXPECT_EXPORT(C_OpenSession) VC_EXPECT_EXPORT(C_CloseSession) VC_EXPECT_EXPORT(C_CloseAllSessions)
    VC_EXPECT_EXPORT(C_GetSessionInfo) VC_EXPECT_EXPORT(C_GetOperationState)
    VC_EXPECT_EXPORT(C_SetOperationState) VC_EXPECT_EXPORT(C_Login) VC_EXPECT_EXPORT(C_Logout)
    VC_EXPECT_EXPORT(C_CreateObject) VC_EXPECT_EXPORT(C_CopyObject) VC_EXPECT_EXPORT(C_DestroyObject)
    VC_EXPECT_EXPORT(C_GetObjectSize) VC_EXPECT_EXPORT(C_GetAttributeValue)
    VC_EXPECT_EXPORT(C_SetAttributeValue) VC_EXPECT_EXPORT(C_FindObjectsInit) VC_EXPECT_EXPORT(C_FindObjects)
    VC_EXPECT_EXPORT(C_FindObjectsFinal) VC_EXPECT_EXPORT(C_EncryptInit) VC_EXPECT_EXPORT(C_Encrypt)
    VC_EXPECT_EXPORT(C_EncryptUpdate) VC_EXPECT_EXPORT(C_EncryptFinal) VC_EXPECT_EXPORT(C_DecryptInit)
    VC_EXPECT_EXPORT(C_Decrypt) VC_EXPECT_EXPORT(C_DecryptUpdate) VC_EXPECT_EXPORT(C_DecryptFinal)
    VC_EXPECT_EXPORT(C_DigestInit) VC_EXPECT_EXPORT(C_Digest) VC_EXPECT_EXPORT(C_DigestUpdate)
    VC_EXPECT_EXPORT(C_DigestKey) VC_EXPECT_EXPORT(C_DigestFinal) VC_EXPECT_EXPORT(C_SignInit)
    VC_EXPECT_EXPORT(C_Sign) VC_EXPECT_EXPORT(C_SignUpdate) VC_EXPECT_EXPORT(C_SignFinal)
    VC_EXPECT_EXPORT(C_SignRecoverInit) VC_EXPECT_EXPORT(C_SignRecover) VC_EXPECT_EXPORT(C_VerifyInit)
    VC_EXPECT_EXPORT(C_Verify) VC_EXPECT_EXPORT(C_VerifyUpdate) VC_EXPECT_EXPORT(C_VerifyFinal)
    VC_EXPECT_EXPORT(C_VerifyRecoverInit) VC_EXPECT_EXPORT(C_VerifyRecover)
    VC_EXPECT_EXPORT(C_DigestEncryptUpdate) VC_EXPECT_EXPORT(C_DecryptDigestUpdate)
    VC_EXPECT_EXPORT(C_SignEncryptUpdate) VC_EXPECT_EXPORT(C_DecryptVerifyUpdate)
    VC_EXPECT_EXPORT(C_GenerateKey) VC_EXPECT_EXPORT(C_GenerateKeyPair) VC_EXPECT_EXPORT(C_WrapKey)
    VC_EXPECT_EXPORT(C_UnwrapKey) VC_EXPECT_EXPORT(C_DeriveKey) VC_EXPECT_EXPORT(C_SeedRandom)
    VC_EXPECT_EXPORT(C_GenerateRandom) VC_EXPECT_EXPORT(C_GetFunctionStatus)
    VC_EXPECT_EXPORT(C_CancelFunction) VC_EXPECT_EXPORT(C_WaitForSlotEvent)
#undef VC_EXPECT_EXPORT

    for (const char* vendor : {"C_GetSlotListEx", "C_GetReaderCardPair", "C_PINPadPseudoLogin", "C_DeleteContainer"})
        EXPECT_NE(TestEnv::Get().Symbol(vendor), nullptr) << vendor;

    EXPECT_EQ(TestEnv::Get().ReadLog(), "");  // no log line from C_GetFunctionList
}

TEST_F(Frame, InitializeWithoutArgumentsAndTwice) {
    EXPECT_FALSE(Initialised());
    EXPECT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_TRUE(Initialised());
    EXPECT_EQ(P11()->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    CK_C_INITIALIZE_ARGS args = Args(false, false, false, false, 0);
    EXPECT_EQ(P11()->C_Initialize(&args), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    EXPECT_TRUE(Initialised());
}

TEST_F(Frame, InitializeMutexRules) {
    mutexCalls = 0;
    struct Case {
        CK_C_INITIALIZE_ARGS args;
        CK_RV expected;
    } cases[] = {
        {Args(true, true, true, true, CKF_OS_LOCKING_OK), CKR_OK},
        {Args(true, true, true, true, CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS), CKR_OK},
        {Args(true, true, true, true, 0), CKR_CANT_LOCK},
        {Args(true, true, true, true, CKF_LIBRARY_CANT_CREATE_OS_THREADS), CKR_CANT_LOCK},
        {Args(false, false, false, false, 0), CKR_OK},
        {Args(false, false, false, false, CKF_OS_LOCKING_OK), CKR_OK},
        {Args(false, false, false, false, 0xFFFF), CKR_OK},
        {Args(true, false, false, false, CKF_OS_LOCKING_OK), CKR_ARGUMENTS_BAD},
        {Args(false, true, true, false, 0), CKR_ARGUMENTS_BAD},
        {Args(true, true, false, true, CKF_OS_LOCKING_OK), CKR_ARGUMENTS_BAD},
        {Args(false, false, false, true, CKF_OS_LOCKING_OK), CKR_ARGUMENTS_BAD},
    };
    int index = 0;
    for (Case& c : cases) {
        EXPECT_EQ(P11()->C_Initialize(&c.args), c.expected) << "case " << index;
        EXPECT_EQ(Initialised(), c.expected == CKR_OK) << "case " << index;
        if (c.expected == CKR_OK) {
            CK_INFO info;
            EXPECT_EQ(P11()->C_GetInfo(&info), CKR_OK);
            EXPECT_EQ(P11()->C_Finalize(nullptr), CKR_OK);
        }
        ++index;
    }
    EXPECT_EQ(mutexCalls.load(), 0);  // supplied callbacks are never called
}

TEST_F(Frame, InitializeWithReservedPointer) {
    int something = 0;
    CK_C_INITIALIZE_ARGS args = Args(false, false, false, false, 0);
    args.pReserved = &something;
    EXPECT_EQ(P11()->C_Initialize(&args), CKR_ARGUMENTS_BAD);
    EXPECT_FALSE(Initialised());
    args = Args(true, true, true, true, CKF_OS_LOCKING_OK);
    args.pReserved = &something;
    EXPECT_EQ(P11()->C_Initialize(&args), CKR_ARGUMENTS_BAD);
    EXPECT_FALSE(Initialised());
}

TEST_F(Frame, FinalizeRules) {
    EXPECT_EQ(P11()->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    int something = 0;
    EXPECT_EQ(P11()->C_Finalize(&something), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(Initialised());
    EXPECT_EQ(P11()->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(P11()->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_FALSE(Initialised());
    // Initialising again after finalising is allowed.
    EXPECT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(P11()->C_Finalize(nullptr), CKR_OK);
}

TEST_F(Frame, GetInfoFields) {
    CK_INFO info;
    EXPECT_EQ(P11()->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(P11()->C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);

    std::memset(&info, 0xA5, sizeof info);
    ASSERT_EQ(P11()->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(info.cryptokiVersion.major, 2);
    EXPECT_EQ(info.cryptokiVersion.minor, 20);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32), "Orvo" + std::string(28, ' '));
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.libraryDescription), 32), "Orvo Vellumcrest PKCS#11 Library");
    EXPECT_EQ(info.libraryVersion.major, 4);
    EXPECT_EQ(info.libraryVersion.minor, 0);
}

TEST_F(Frame, InitializeLogLines) {
    ASSERT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(P11()->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);

    std::string process = "Process: " + ExecutablePath().substr(0, 260);
    std::vector<std::string> lines = ModuleLines();
    ASSERT_EQ(lines.size(), 12u) << TestEnv::Get().ReadLog();
    for (int call = 0; call < 2; ++call) {
        const std::string* block = &lines[call * 6];
        EXPECT_EQ(block[0], std::string(50, '-'));
        EXPECT_EQ(block[1], "Pkcs11Provider::C_Initialize((nil))");
        EXPECT_EQ(block[2], process);
        EXPECT_EQ(block[3].rfind("Version: 4.0 (", 0), 0u) << block[3];
        EXPECT_EQ(block[3].substr(block[3].size() - 9), ", x86_64)") << block[3];
        EXPECT_EQ(block[4], "Vellumcrest: 4.0.0-test (7)");
    }
    EXPECT_EQ(lines[5], "Pkcs11Provider::C_Initialize() => CKR_OK");
    EXPECT_EQ(lines[11], "Pkcs11Provider::C_Initialize() => CKR_CRYPTOKI_ALREADY_INITIALIZED");

    // "Version: 4.0 (Mmm dd yyyy hh:mm:ss, platform)"
    const std::string& version = lines[3];
    ASSERT_GE(version.size(), 14u + 20u);
    std::string stamp = version.substr(14, 20);
    EXPECT_EQ(stamp[3], ' ');
    EXPECT_EQ(stamp[6], ' ');
    EXPECT_EQ(stamp[11], ' ');
    EXPECT_EQ(stamp[14], ':');
    EXPECT_EQ(stamp[17], ':');
}

TEST_F(Frame, FinalizeAndGetInfoLogLines) {
    CK_INFO info;
    ASSERT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    TestEnv::Get().ClearLog();
    P11()->C_GetInfo(nullptr);
    P11()->C_GetInfo(&info);
    P11()->C_Finalize(nullptr);
    P11()->C_Finalize(nullptr);

    char infoArgument[64];
    std::snprintf(infoArgument, sizeof infoArgument, "Pkcs11Provider::C_GetInfo(%p)", static_cast<void*>(&info));
    EXPECT_EQ(ModuleLines(), (std::vector<std::string>{
                                 "Pkcs11Provider::C_GetInfo((nil))",
                                 "Pkcs11Provider::C_GetInfo() => CKR_ARGUMENTS_BAD",
                                 infoArgument,
                                 "Pkcs11Provider::C_GetInfo() => CKR_OK",
                                 "Pkcs11Provider::C_Finalize((nil))",
                                 "Pkcs11Provider::C_Finalize() => CKR_OK",
                                 "Pkcs11Provider::C_Finalize((nil))",
                                 "Pkcs11Provider::C_Finalize() => CKR_CRYPTOKI_NOT_INITIALIZED",
                             }));
}

TEST_F(Frame, FinalizeWakesABlockedWaitForSlotEvent) {
    ASSERT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    std::promise<CK_RV> result;
    std::future<CK_RV> waited = result.get_future();
    std::thread waiter([&result] {
        CK_SLOT_ID slot = 0;
        result.set_value(P11()->C_WaitForSlotEvent(0, &slot, nullptr));
    });
    // The wait must still be blocked before C_Finalize.
    EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_EQ(P11()->C_Finalize(nullptr), CKR_OK);
    if (waited.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "C_WaitForSlotEvent still blocked after C_Finalize";
        waiter.detach();
        return;
    }
    EXPECT_EQ(waited.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
    waiter.join();
}

TEST_F(Frame, ConcurrentCallsFromManyThreads) {
    ASSERT_EQ(P11()->C_Initialize(nullptr), CKR_OK);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 200; ++i) {
                CK_FUNCTION_LIST_PTR list = nullptr;
                CK_INFO info;
                if (P11()->C_GetFunctionList(&list) != CKR_OK || list != P11()) ++failures;
                if (P11()->C_GetInfo(&info) != CKR_OK || info.libraryVersion.major != 4) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    // Every log line arrived whole.
    for (const std::string& line : ModuleLines())
        EXPECT_TRUE(line == "Pkcs11Provider::C_GetInfo() => CKR_OK" || line.rfind("Pkcs11Provider::C_GetInfo(0x", 0) == 0 ||
                    line.rfind("Pkcs11Provider::C_Initialize", 0) == 0 || line.rfind("Process: ", 0) == 0 ||
                    line.rfind("Version: ", 0) == 0 || line.rfind("Vellumcrest: ", 0) == 0 ||
                    line == std::string(50, '-'))
            << line;
}

}  // namespace
