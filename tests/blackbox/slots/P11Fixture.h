// Shared fixture of the slot, session and login tests: an initialised module, no readers
// and no sessions at the start of every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestEnv.h"

namespace vctest {

inline std::string Text(const CK_UTF8CHAR* field, size_t size) {
    return std::string(reinterpret_cast<const char*>(field), size);
}

inline std::string Padded(const std::string& text, size_t size) {
    std::string padded = text.substr(0, size);
    padded.resize(size, ' ');
    return padded;
}

class P11Test : public ::testing::Test {
protected:
    void SetUp() override {
        p11 = TestEnv::Get().P11();
        CK_RV rv = p11->C_Initialize(nullptr);
        ASSERT_TRUE(rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) << rv;
        CloseAll();
        TestEnv::Get().ResetReaders();
        CK_ULONG count = 0;
        p11->C_GetSlotList(CK_FALSE, nullptr, &count);  // forgets the readers of earlier tests
        TestEnv::Get().ClearLog();
    }

    void TearDown() override {
        CK_RV rv = p11->C_Initialize(nullptr);
        if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) CloseAll();
    }

    // Closes the sessions of every slot this process has seen.
    void CloseAll() {
        for (CK_SLOT_ID slot = 1; slot <= 64; ++slot) p11->C_CloseAllSessions(slot);
    }

    const TestEnv& Env() const { return TestEnv::Get(); }

    std::vector<CK_SLOT_ID> Slots(bool tokenPresent) {
        CK_ULONG count = 0;
        EXPECT_EQ(p11->C_GetSlotList(tokenPresent, nullptr, &count), CKR_OK);
        std::vector<CK_SLOT_ID> slots(count + 4);
        count = slots.size();
        EXPECT_EQ(p11->C_GetSlotList(tokenPresent, slots.data(), &count), CKR_OK);
        slots.resize(count);
        return slots;
    }

    // Slot of the reader with this name (0 when not listed).
    CK_SLOT_ID SlotOf(const std::string& reader) {
        for (CK_SLOT_ID slot : Slots(false)) {
            CK_SLOT_INFO info;
            if (p11->C_GetSlotInfo(slot, &info) != CKR_OK) continue;
            if (Text(info.slotDescription, sizeof info.slotDescription) == Padded(reader, 64)) return slot;
        }
        return 0;
    }

    // A reader with a fresh card (user PIN 1234, SO PIN 12345678 unless given) and its slot.
    CK_SLOT_ID Card(const std::string& reader, int type = 1, const std::string& extra = "",
                    const std::string& userPin = "1234", const std::string& soPin = "12345678") {
        Env().MakeReaderWithCard(reader, type, userPin, soPin, extra);
        CK_SLOT_ID slot = SlotOf(reader);
        EXPECT_NE(slot, 0u) << reader;
        return slot;
    }

    CK_SESSION_HANDLE Open(CK_SLOT_ID slot, bool rw) { return OpenSession(slot, rw); }

    CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE type, const std::string& pin) {
        return p11->C_Login(session, type, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())),
                            pin.size());
    }

    CK_STATE State(CK_SESSION_HANDLE session) {
        CK_SESSION_INFO info;
        EXPECT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
        return info.state;
    }

    CK_FLAGS TokenFlags(CK_SLOT_ID slot) {
        CK_TOKEN_INFO info;
        EXPECT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
        return info.flags;
    }

    bool LogHas(const std::string& text) { return Env().ReadLog().find(text) != std::string::npos; }

    // Whether the session handle is still known.
    CK_RV InfoRv(CK_SESSION_HANDLE session) {
        CK_SESSION_INFO info;
        return p11->C_GetSessionInfo(session, &info);
    }

    // Removes the card of a reader and puts the same image back: a new insertion.
    void Reinsert(const std::string& reader, const std::string& image) {
        Env().ToolOk("card-remove '" + reader + "' " + Env().Path(image));
        Env().ToolOk("card-insert '" + reader + "' " + Env().Path(image));
    }

    CK_FUNCTION_LIST_PTR p11 = nullptr;
};

}  // namespace vctest
