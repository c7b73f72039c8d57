// Memory running out in the middle of a call: the test replaces operator new for the whole
// process (the loaded module included) and makes the n-th allocation of a call sequence throw,
// for every n the sequence reaches. No exception may leave the module, and no lock may stay
// taken: the same sequence then runs clean.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <new>

#include "blackbox/slots/P11Fixture.h"

namespace {

// Allocations left before one fails on this thread; negative: none fails.
thread_local long allocationsLeft = -1;

void* allocate(std::size_t size) {
    if (allocationsLeft >= 0 && allocationsLeft-- == 0) throw std::bad_alloc();
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void* allocateOrNull(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

// Every form the module uses, so that new and delete always come in pairs of this file
// (also under a sanitizer, which brings its own).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace vctest {
namespace {

class OutOfMemory : public P11Test {
protected:
    // One application round: list, open, log in, search, read, sign, close. The results
    // of the round's calls, in order (room made before, so that only the module allocates).
    std::vector<CK_RV> Round(CK_SLOT_ID slot) {
        std::vector<CK_RV> rvs;
        rvs.reserve(16);
        Round(slot, rvs);
        return rvs;
    }

    void Round(CK_SLOT_ID slot, std::vector<CK_RV>& rvs) {
        CK_ULONG count = 0;
        rvs.push_back(p11->C_GetSlotList(CK_TRUE, nullptr, &count));
        CK_SLOT_INFO slotInfo;
        rvs.push_back(p11->C_GetSlotInfo(slot, &slotInfo));
        CK_TOKEN_INFO tokenInfo;
        rvs.push_back(p11->C_GetTokenInfo(slot, &tokenInfo));
        CK_SESSION_HANDLE session = 0;
        rvs.push_back(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session));
        rvs.push_back(Login(session, CKU_USER, "1234"));
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE find = {CKA_CLASS, &keyClass, sizeof keyClass};
        CK_OBJECT_HANDLE key = 0;
        CK_ULONG found = 0;
        rvs.push_back(p11->C_FindObjectsInit(session, &find, 1));
        rvs.push_back(p11->C_FindObjects(session, &key, 1, &found));
        rvs.push_back(p11->C_FindObjectsFinal(session));
        unsigned char modulus[512];
        CK_ATTRIBUTE read[] = {{CKA_MODULUS, modulus, sizeof modulus}, {CKA_LABEL, nullptr, 0}};
        rvs.push_back(p11->C_GetAttributeValue(session, key, read, 2));
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        unsigned char data[] = "data to sign", signature[512];
        CK_ULONG signatureLength = sizeof signature;
        rvs.push_back(p11->C_SignInit(session, &mechanism, key));
        rvs.push_back(p11->C_Sign(session, data, sizeof data - 1, signature, &signatureLength));
        rvs.push_back(p11->C_Logout(session));
        rvs.push_back(p11->C_CloseSession(session));
    }
};

TEST_F(OutOfMemory, NoExceptionLeavesTheModuleAndNoLockStaysTaken) {
    std::string image = Env().MakeReaderWithCard("R", 1, "1234", "12345678");
    Env().ToolOk("key-generate " + image + " --bits 1024 --label k --usage sign");
    CK_SLOT_ID slot = SlotOf("R");
    const std::vector<CK_RV> clean = Round(slot);
    ASSERT_EQ(clean, std::vector<CK_RV>(clean.size(), CKR_OK));

    int hostMemory = 0;
    bool exhausted = false;
    long failing = 0;
    for (; failing < 20000 && !exhausted; ++failing) {
        // A lock left taken would hang the next round: a watchdog ends the test then.
        auto round = std::async(std::launch::async, [&] {
            std::vector<CK_RV> rvs;
            rvs.reserve(16);
            allocationsLeft = failing;
            Round(slot, rvs);
            bool reached = allocationsLeft < 0;
            allocationsLeft = -1;
            p11->C_CloseAllSessions(slot);
            return std::make_pair(reached, rvs);
        });
        if (round.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            std::fprintf(stderr, "round %ld hangs: a lock stayed taken\n", failing);
            std::_Exit(1);
        }
        auto [reached, rvs] = round.get();
        exhausted = !reached;
        for (CK_RV rv : rvs) hostMemory += rv == CKR_HOST_MEMORY;
        ASSERT_EQ(Round(slot), clean) << "after a failure at allocation " << failing;
    }
    EXPECT_TRUE(exhausted) << "the round allocates more than the test tries";
    RecordProperty("allocations", static_cast<int>(failing));
    RecordProperty("hostMemory", hostMemory);
    EXPECT_GT(hostMemory, 0);
}

}  // namespace
}  // namespace vctest
