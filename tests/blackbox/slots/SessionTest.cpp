// Sessions and session groups.
#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using Sessions = P11Test;

// Waits for the workers; a worker that does not finish means a deadlock, so the binary stops.
void JoinOrDie(std::vector<std::future<void>>& workers, const char* what) {
    for (auto& worker : workers) {
        if (worker.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << what << " deadlocked";
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
}

TEST_F(Sessions, OpenAndInfoCheckTheirArguments) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = 0x55;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_RW_SESSION, nullptr, nullptr, &session),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(p11->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(session, 0x55u);
    // Unknown flag bits are ignored.
    ASSERT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION | 0x100, nullptr, nullptr, &session), CKR_OK);
    EXPECT_NE(session, 0u);
    EXPECT_LE(session, 65535u);

    CK_SESSION_HANDLE rw = Open(slot, true);
    CK_SESSION_INFO info;
    std::memset(&info, 0xCD, sizeof info);
    ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
    EXPECT_EQ(info.slotID, slot);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION));
    EXPECT_EQ(info.ulDeviceError, 0u);
    ASSERT_EQ(p11->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION));
    EXPECT_EQ(p11->C_GetSessionInfo(0, &info), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSessionInfo(rw, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSessionInfo(60000, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Sessions, LoginIsSharedByTheSessionsOfASlot) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE ro = Open(slot, false);
    CK_SESSION_HANDLE rw = Open(slot, true);
    CK_SESSION_HANDLE elsewhere = Open(Card("Other"), true);

    ASSERT_EQ(Login(rw, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    EXPECT_EQ(State(elsewhere), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));

    // Closing one session keeps the login; closing the last forgets it.
    ASSERT_EQ(p11->C_CloseSession(rw), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    ASSERT_EQ(p11->C_CloseSession(ro), CKR_OK);
    EXPECT_EQ(State(Open(slot, false)), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
}

TEST_F(Sessions, CloseAndCloseAll) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE a = Open(slot, false);
    CK_SESSION_HANDLE b = Open(slot, true);
    CK_SESSION_HANDLE c = Open(Card("Other"), false);

    EXPECT_EQ(p11->C_CloseSession(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_CloseSession(a), CKR_OK);
    EXPECT_EQ(p11->C_CloseSession(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11->C_CloseAllSessions(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_CloseAllSessions(4000), CKR_OK);
    EXPECT_EQ(p11->C_CloseAllSessions(slot), CKR_OK);
    EXPECT_EQ(p11->C_CloseAllSessions(slot), CKR_OK);
    EXPECT_EQ(InfoRv(b), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(InfoRv(c), CKR_OK);
}

TEST_F(Sessions, FinalizeKeepsSessions) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(InfoRv(session), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_CloseSession(session), CKR_CRYPTOKI_NOT_INITIALIZED);
    CK_SESSION_HANDLE none = 0;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &none), CKR_CRYPTOKI_NOT_INITIALIZED);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(State(session), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
}

// Calls on the same slot from several threads, with sessions closed under the feet of
// the others, must neither deadlock nor crash.
TEST_F(Sessions, ConcurrentCallsOnOneSlot) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE shared = Open(slot, true);
    ASSERT_EQ(Login(shared, CKU_USER, "1234"), CKR_OK);  // pays the PIN check once
    ASSERT_EQ(p11->C_Logout(shared), CKR_OK);

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    auto loop = [&](std::function<bool()> round) {
        return std::async(std::launch::async, [&stop, &failures, round] {
            while (!stop)
                if (!round()) ++failures;
        });
    };
    auto openClose = [&] {
        CK_SESSION_HANDLE h = 0;
        return p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h) == CKR_OK &&
               InfoRv(h) == CKR_OK && p11->C_CloseSession(h) == CKR_OK;
    };
    std::vector<std::future<void>> workers;
    workers.push_back(loop([&] {
        CK_RV rv = Login(shared, CKU_USER, "1234");
        return (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) && p11->C_Logout(shared) == CKR_OK;
    }));
    workers.push_back(loop(openClose));
    workers.push_back(loop(openClose));
    workers.push_back(loop([&] {
        CK_ULONG count = 0;
        CK_TOKEN_INFO token;
        return InfoRv(shared) == CKR_OK && p11->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK &&
               p11->C_GetTokenInfo(slot, &token) == CKR_OK;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    JoinOrDie(workers, "calls on one slot");
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(InfoRv(shared), CKR_OK);
}

// A card change sweeps sessions that other threads are using at that moment.
TEST_F(Sessions, SweepWhileOtherThreadsUseTheSessions) {
    CK_SLOT_ID slot = Card("R");
    for (int round = 0; round < 3; ++round) {
        std::vector<CK_SESSION_HANDLE> sessions;
        for (int i = 0; i < 4; ++i) sessions.push_back(Open(slot, i % 2 == 0));
        ASSERT_EQ(Login(sessions[0], CKU_USER, "1234"), CKR_OK);

        std::atomic<int> unexpected{0};
        std::atomic<CK_RV> lastUnexpected{CKR_OK};
        auto user = [&](CK_SESSION_HANDLE session) {
            for (;;) {
                CK_RV rv = InfoRv(session);
                if (rv == CKR_SESSION_HANDLE_INVALID) return;
                if (rv != CKR_OK) ++unexpected, lastUnexpected = rv;
                rv = Login(session, CKU_USER, "1234");
                // Closed before the call, found closed by it, or closed while it ran (its
                // group is gone then).
                if (rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
                    rv == CKR_FUNCTION_FAILED)
                    return;
                if (rv != CKR_USER_ALREADY_LOGGED_IN && rv != CKR_OK) ++unexpected, lastUnexpected = rv;
            }
        };
        std::vector<std::future<void>> users;
        for (CK_SESSION_HANDLE session : sessions) users.push_back(std::async(std::launch::async, user, session));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        Reinsert("R", "sweep" + std::to_string(round) + ".vcard");
        Slots(true);  // sweeps the slot: every session goes, also those in use
        JoinOrDie(users, "a sweep");
        EXPECT_EQ(unexpected.load(), 0) << "last: 0x" << std::hex << lastUnexpected.load();
        CK_SESSION_HANDLE fresh = Open(slot, false);
        EXPECT_EQ(State(fresh), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
        p11->C_CloseSession(fresh);
    }
}

}  // namespace
}  // namespace vctest
