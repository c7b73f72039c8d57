// Threads on one and on two slots sign, search, log in and out while the card tool takes
// the card of the second reader out and puts it back. Each thread has its own sessions and
// its own operations; every signature the module returns must verify with OpenSSL against
// the public key the card tool exports for the key the thread chose. Runs for a fixed time
// (VC_STRESS_SECONDS, default 20) and prints its counts.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/CardKeys.h"
#include "support/TestEnv.h"

namespace {

using vctest::TestEnv;
using Clock = std::chrono::steady_clock;

constexpr const char* kPin = "1234";

struct CardKey {
    std::string idHex;
    EVP_PKEY* publicKey = nullptr;
};

struct Card {
    std::string reader;
    std::vector<CardKey> keys;
};

// Results the module may give while another thread logs out or the card is swapped; any
// other result fails the test. A C_Sign fails (CKR_FUNCTION_FAILED) when another session of
// the slot logged out after its C_SignInit (the PIN cache is empty); on the swapped slot any
// call fails so when the card's pair or objects go away under it.
bool expectedTrouble(const char* call, CK_RV rv, bool swapped) {
    switch (rv) {
    case CKR_FUNCTION_FAILED:
        return swapped || std::strcmp(call, "C_Sign") == 0;
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_USER_NOT_LOGGED_IN:
    case CKR_USER_ALREADY_LOGGED_IN:
    case CKR_OPERATION_NOT_INITIALIZED:
    case CKR_OPERATION_ACTIVE:
    case CKR_OBJECT_HANDLE_INVALID:
    case CKR_KEY_HANDLE_INVALID:
    case CKR_SLOT_ID_INVALID:
        return true;
    default:
        return false;
    }
}

class Tally {
public:
    explicit Tally(bool swapped) : swapped_(swapped) {}
    void Count(const char* call, CK_RV rv) {
        ++calls_;
        if (rv == CKR_OK || expectedTrouble(call, rv, swapped_)) return;
        std::lock_guard<std::mutex> guard(mutex_);
        unexpected_[std::string(call) + " -> 0x" + hex(rv)]++;
    }
    void Signed(bool verified) { (verified ? verified_ : wrong_)++; }
    unsigned long Calls() const { return calls_; }
    unsigned long Verified() const { return verified_; }
    unsigned long Wrong() const { return wrong_; }
    std::map<std::string, unsigned long> Unexpected() {
        std::lock_guard<std::mutex> guard(mutex_);
        return unexpected_;
    }

private:
    static std::string hex(CK_RV rv) {
        char text[20];
        std::snprintf(text, sizeof text, "%lX", rv);
        return text;
    }
    const bool swapped_;
    std::atomic<unsigned long> calls_{0}, verified_{0}, wrong_{0};
    std::mutex mutex_;
    std::map<std::string, unsigned long> unexpected_;
};

bool verifies(EVP_PKEY* key, const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_verify(ctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

CK_SLOT_ID slotOf(const std::string& reader) {
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (TestEnv::Get().P11()->C_GetSlotList(CK_FALSE, slots, &count) != CKR_OK) return 0;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_SLOT_INFO info;
        if (TestEnv::Get().P11()->C_GetSlotInfo(slots[i], &info) != CKR_OK) continue;
        std::string name(reinterpret_cast<char*>(info.slotDescription), sizeof info.slotDescription);
        if (name.compare(0, reader.size(), reader) == 0 && (name.size() == reader.size() || name[reader.size()] == ' '))
            return slots[i];
    }
    return 0;
}

// One worker: a session of its own on its card's slot, the card's keys looked up once per
// session, a key chosen at random for each signature, searches, and now and then a logout
// (which logs every session of the slot out) or a new session.
void worker(const Card& card, unsigned seed, Clock::time_point end, Tally& tally) {
    CK_FUNCTION_LIST_PTR p11 = TestEnv::Get().P11();
    std::mt19937 random(seed);
    CK_SESSION_HANDLE session = 0;
    std::vector<CK_OBJECT_HANDLE> handles;  // by index of card.keys
    auto lost = [](CK_RV rv) {
        return rv == CKR_SESSION_HANDLE_INVALID || rv == CKR_SESSION_CLOSED || rv == CKR_TOKEN_NOT_PRESENT ||
               rv == CKR_DEVICE_REMOVED || rv == CKR_OBJECT_HANDLE_INVALID || rv == CKR_KEY_HANDLE_INVALID;
    };
    while (Clock::now() < end) {
        if (session == 0) {
            CK_SLOT_ID slot = slotOf(card.reader);
            CK_RV rv = slot == 0 ? CKR_TOKEN_NOT_PRESENT
                                 : p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
            tally.Count("C_OpenSession", rv);
            if (rv != CKR_OK) {
                session = 0;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            CK_RV login = p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kPin, 4);
            tally.Count("C_Login", login);
            handles.assign(card.keys.size(), 0);
            for (size_t k = 0; k < card.keys.size(); ++k) {
                std::vector<unsigned char> id = vctest::FromHex(card.keys[k].idHex);
                CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
                CK_ATTRIBUTE findKey[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id.data(), id.size()}};
                CK_RV find = p11->C_FindObjectsInit(session, findKey, 2);
                tally.Count("C_FindObjectsInit", find);
                CK_ULONG found = 0;
                if (find == CKR_OK) {
                    tally.Count("C_FindObjects", p11->C_FindObjects(session, &handles[k], 1, &found));
                    tally.Count("C_FindObjectsFinal", p11->C_FindObjectsFinal(session));
                }
                if (found != 1) handles[k] = 0;
            }
        }

        // Signatures with keys chosen at random.
        CK_RV rv = CKR_OK;
        for (int i = 0; i < 8 && !lost(rv); ++i) {
            size_t k = random() % card.keys.size();
            if (handles[k] == 0) {
                rv = CKR_OBJECT_HANDLE_INVALID;
                break;
            }
            CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
            rv = p11->C_SignInit(session, &mechanism, handles[k]);
            tally.Count("C_SignInit", rv);
            if (rv != CKR_OK) continue;
            std::vector<unsigned char> data(32);
            for (unsigned char& byte : data) byte = static_cast<unsigned char>(random());
            std::vector<unsigned char> signature(512);
            CK_ULONG length = signature.size();
            rv = p11->C_Sign(session, data.data(), data.size(), signature.data(), &length);
            tally.Count("C_Sign", rv);
            if (rv == CKR_OK) {
                signature.resize(length);
                tally.Signed(verifies(card.keys[k].publicKey, data, signature));
            } else if (rv == CKR_USER_NOT_LOGGED_IN) {
                rv = p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kPin, 4);
                tally.Count("C_Login", rv);
            }
        }

        // A search over everything on the card.
        if (!lost(rv)) {
            rv = p11->C_FindObjectsInit(session, nullptr, 0);
            tally.Count("C_FindObjectsInit", rv);
            if (rv == CKR_OK) {
                CK_OBJECT_HANDLE all[16];
                CK_ULONG count = 0;
                tally.Count("C_FindObjects", p11->C_FindObjects(session, all, 16, &count));
                tally.Count("C_FindObjectsFinal", p11->C_FindObjectsFinal(session));
            }
        }
        if (!lost(rv) && random() % 8 == 0) {
            rv = p11->C_Logout(session);
            tally.Count("C_Logout", rv);
            rv = p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kPin, 4);
            tally.Count("C_Login", rv);
        }
        if (lost(rv) || random() % 32 == 0) {
            tally.Count("C_CloseSession", p11->C_CloseSession(session));
            session = 0;
        }
    }
    if (session != 0) p11->C_CloseSession(session);
}

}  // namespace

TEST(Stress, ThreadsSignSearchAndLogInAndOutWhileCardsAreSwapped) {
    TestEnv& env = TestEnv::Get();
    vctest::InitialiseModule();
    Card cards[2] = {{"Stress One", {}}, {"Stress Two", {}}};
    const char* ids[2][2] = {{"a1", "a2"}, {"b1", "b2"}};
    for (int c = 0; c < 2; ++c) {
        std::string card = env.MakeReaderWithCard(cards[c].reader, 1 + c, kPin, "12345678");
        for (const char* id : ids[c]) {
            env.ToolOk("key-generate '" + card + "' --bits 1024 --id " + id + " --usage sign,decrypt");
            std::string pem = env.Path(std::string("key-") + id + ".pem");
            env.ToolOk("pubkey-export '" + card + "' --id " + id + " --out '" + pem + "'");
            FILE* file = std::fopen(pem.c_str(), "r");
            ASSERT_NE(file, nullptr);
            EVP_PKEY* key = PEM_read_PUBKEY(file, nullptr, nullptr, nullptr);
            std::fclose(file);
            ASSERT_NE(key, nullptr);
            cards[c].keys.push_back({id, key});
        }
    }

    const char* seconds = std::getenv("VC_STRESS_SECONDS");
    Clock::time_point end = Clock::now() + std::chrono::seconds(seconds != nullptr ? std::atoi(seconds) : 20);
    Tally tallies[2] = {Tally(false), Tally(true)};
    std::vector<std::thread> threads;
    // Four threads share the first slot; two work on the second, whose card is swapped.
    for (unsigned t = 0; t < 6; ++t) {
        int c = t < 4 ? 0 : 1;
        threads.emplace_back(worker, std::cref(cards[c]), 1000 + t, end, std::ref(tallies[c]));
    }

    unsigned long swaps = 0;
    const std::string parked = env.Path("parked.vcard");
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        vctest::ToolResult out = env.Tool("card-remove '" + cards[1].reader + "' '" + parked + "'");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        vctest::ToolResult in = env.Tool("card-insert '" + cards[1].reader + "' '" + parked + "'");
        ASSERT_EQ(out.exitCode, 0) << out.output;
        ASSERT_EQ(in.exitCode, 0) << in.output;
        ++swaps;
    }
    for (std::thread& thread : threads) thread.join();

    for (int c = 0; c < 2; ++c) {
        Tally& tally = tallies[c];
        std::printf("stress: %s: %lu calls, %lu signatures verified, %lu wrong%s\n", cards[c].reader.c_str(),
                    tally.Calls(), tally.Verified(), tally.Wrong(),
                    c == 1 ? (", " + std::to_string(swaps) + " card swaps").c_str() : "");
        EXPECT_EQ(tally.Wrong(), 0u) << cards[c].reader << ": signatures that do not verify with the key asked for";
        EXPECT_GT(tally.Verified(), 0u) << cards[c].reader;
        for (const auto& entry : tally.Unexpected())
            ADD_FAILURE() << cards[c].reader << ": " << entry.first << " (" << entry.second << " times)";
    }
    for (Card& card : cards)
        for (CardKey& key : card.keys) EVP_PKEY_free(key.publicKey);
}
