// Sessions and session groups.
#include <atomic>
#include <future>
#include <thread>

#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using Sessions = P11Test;

TEST_F(Sessions, OpenChecksItsArguments) {
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
}

TEST_F(Sessions, OpenWritesTheCallBlock) {
    CK_SLOT_ID slot = Card("R");
    Env().ClearLog();
    CK_SESSION_HANDLE session = Open(slot, true);
    std::string log = Env().ReadLog();
    char entry[64];
    std::snprintf(entry, sizeof entry, "Pkcs11Provider::C_OpenSession(0x%lX, RW, ", slot);
    size_t at = log.find(entry);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.rfind("--------------------------------------------------", at), std::string::npos);
    EXPECT_NE(log.find("Process: ", at), std::string::npos);
    EXPECT_NE(log.find("Version: 4.0 (", at), std::string::npos);
    EXPECT_NE(log.find("Vellumcrest: 4.0.0-test (7)", at), std::string::npos);
    EXPECT_NE(log.find("Pkcs11Provider::C_OpenSession() => CKR_OK", at), std::string::npos);
    char detail[32];
    std::snprintf(detail, sizeof detail, "    hSession: 0x%lX\n", session);
    EXPECT_NE(log.find(detail, at), std::string::npos);

    Env().ClearLog();
    Open(slot, false);
    EXPECT_TRUE(LogHas(", RO, (nil), (nil), 0x"));
}

TEST_F(Sessions, InfoReportsSlotStateAndFlags) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE ro = Open(slot, false);
    CK_SESSION_HANDLE rw = Open(slot, true);
    EXPECT_NE(ro, rw);

    CK_SESSION_INFO info;
    std::memset(&info, 0xCD, sizeof info);
    ASSERT_EQ(p11->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.slotID, slot);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION));
    EXPECT_EQ(info.ulDeviceError, 0u);
    ASSERT_EQ(p11->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));
    EXPECT_EQ(info.flags, static_cast<CK_FLAGS>(CKF_SERIAL_SESSION | CKF_RW_SESSION));

    EXPECT_EQ(p11->C_GetSessionInfo(0, &info), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSessionInfo(ro, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_GetSessionInfo(60000, &info), CKR_SESSION_HANDLE_INVALID);
}

TEST_F(Sessions, LoginIsSharedByTheSessionsOfASlot) {
    CK_SLOT_ID slot = Card("R");
    CK_SLOT_ID other = Card("Other");
    CK_SESSION_HANDLE ro = Open(slot, false);
    CK_SESSION_HANDLE rw = Open(slot, true);
    CK_SESSION_HANDLE elsewhere = Open(other, true);

    ASSERT_EQ(Login(rw, CKU_USER, "1234"), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    EXPECT_EQ(State(rw), static_cast<CK_STATE>(CKS_RW_USER_FUNCTIONS));
    EXPECT_EQ(State(elsewhere), static_cast<CK_STATE>(CKS_RW_PUBLIC_SESSION));

    // Closing one session keeps the login; closing the last forgets it.
    ASSERT_EQ(p11->C_CloseSession(rw), CKR_OK);
    EXPECT_EQ(State(ro), static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    ASSERT_EQ(p11->C_CloseSession(ro), CKR_OK);
    CK_SESSION_HANDLE again = Open(slot, false);
    EXPECT_EQ(State(again), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
}

TEST_F(Sessions, CloseAndCloseAll) {
    CK_SLOT_ID slot = Card("R");
    CK_SLOT_ID other = Card("Other");
    CK_SESSION_HANDLE a = Open(slot, false);
    CK_SESSION_HANDLE b = Open(slot, true);
    CK_SESSION_HANDLE c = Open(other, false);

    EXPECT_EQ(p11->C_CloseSession(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_CloseSession(a), CKR_OK);
    EXPECT_EQ(p11->C_CloseSession(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_TRUE(LogHas("Pkcs11Provider::C_CloseSession() => CKR_SESSION_HANDLE_INVALID"));

    EXPECT_EQ(p11->C_CloseAllSessions(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_CloseAllSessions(4000), CKR_OK);
    EXPECT_EQ(p11->C_CloseAllSessions(slot), CKR_OK);
    EXPECT_EQ(p11->C_CloseAllSessions(slot), CKR_OK);
    CK_SESSION_INFO info;
    EXPECT_EQ(p11->C_GetSessionInfo(b, &info), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(p11->C_GetSessionInfo(c, &info), CKR_OK);
}

TEST_F(Sessions, FinalizeKeepsSessions) {
    CK_SLOT_ID slot = Card("R");
    CK_SESSION_HANDLE session = Open(slot, true);
    ASSERT_EQ(Login(session, CKU_USER, "1234"), CKR_OK);
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    CK_SESSION_INFO info;
    EXPECT_EQ(p11->C_GetSessionInfo(session, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
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
    auto expect = [&](bool ok) {
        if (!ok) ++failures;
    };
    auto loginLoop = [&] {
        while (!stop) {
            CK_RV rv = Login(shared, CKU_USER, "1234");
            expect(rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN);
            rv = p11->C_Logout(shared);
            expect(rv == CKR_OK);
        }
    };
    auto openCloseLoop = [&] {
        while (!stop) {
            CK_SESSION_HANDLE h = 0;
            CK_RV rv = p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h);
            expect(rv == CKR_OK);
            CK_SESSION_INFO info;
            expect(p11->C_GetSessionInfo(h, &info) == CKR_OK);
            expect(p11->C_CloseSession(h) == CKR_OK);
        }
    };
    auto queryLoop = [&] {
        while (!stop) {
            CK_SESSION_INFO info;
            expect(p11->C_GetSessionInfo(shared, &info) == CKR_OK);
            CK_ULONG count = 0;
            expect(p11->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK);
            CK_TOKEN_INFO token;
            expect(p11->C_GetTokenInfo(slot, &token) == CKR_OK);
        }
    };
    std::vector<std::future<void>> workers;
    workers.push_back(std::async(std::launch::async, loginLoop));
    workers.push_back(std::async(std::launch::async, openCloseLoop));
    workers.push_back(std::async(std::launch::async, openCloseLoop));
    workers.push_back(std::async(std::launch::async, queryLoop));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stop = true;
    for (auto& worker : workers) {
        if (worker.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ADD_FAILURE() << "calls on one slot deadlocked";
            std::fflush(nullptr);
            std::_Exit(1);
        }
    }
    EXPECT_EQ(failures.load(), 0);
    CK_SESSION_INFO info;
    EXPECT_EQ(p11->C_GetSessionInfo(shared, &info), CKR_OK);
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
                CK_SESSION_INFO info;
                CK_RV rv = p11->C_GetSessionInfo(session, &info);
                if (rv == CKR_SESSION_HANDLE_INVALID) return;
                if (rv != CKR_OK) {
                    ++unexpected;
                    lastUnexpected = rv;
                }
                rv = Login(session, CKU_USER, "1234");
                // Closed before the call, found closed by it, or closed while it ran (its
                // group is gone then).
                if (rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_DEVICE_REMOVED || rv == CKR_TOKEN_NOT_PRESENT ||
                    rv == CKR_FUNCTION_FAILED)
                    return;
                if (rv != CKR_USER_ALREADY_LOGGED_IN && rv != CKR_OK) {
                    ++unexpected;
                    lastUnexpected = rv;
                }
            }
        };
        std::vector<std::future<void>> users;
        for (CK_SESSION_HANDLE session : sessions) users.push_back(std::async(std::launch::async, user, session));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

        std::string image = Env().Path("sweep" + std::to_string(round) + ".vcard");
        Env().ToolOk("card-remove R " + image);
        Env().ToolOk("card-insert R " + image);
        Slots(true);  // sweeps the slot: every session goes, also those in use
        for (auto& worker : users) {
            if (worker.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                ADD_FAILURE() << "a sweep deadlocked";
                std::fflush(nullptr);
                std::_Exit(1);
            }
        }
        EXPECT_EQ(unexpected.load(), 0) << "last: 0x" << std::hex << lastUnexpected.load();
        CK_SESSION_HANDLE fresh = Open(slot, false);
        EXPECT_EQ(State(fresh), static_cast<CK_STATE>(CKS_RO_PUBLIC_SESSION));
        p11->C_CloseSession(fresh);
    }
}

}  // namespace
}  // namespace vctest
