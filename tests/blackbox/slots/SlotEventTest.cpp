// C_WaitForSlotEvent: argument rules, waking on card events made by the card tool (another
// process) and cancellation by C_Finalize from another thread.
#include <future>
#include <memory>
#include <thread>

#include "blackbox/slots/P11Fixture.h"

namespace vctest {
namespace {

using namespace std::chrono;

struct WaitResult {
    CK_RV rv;
    CK_SLOT_ID slot;
};

// A wait in another thread; a wait still blocked when the test ends is cancelled.
class Waiter {
public:
    explicit Waiter(CK_FUNCTION_LIST_PTR p11) : p11_(p11) {
        future_ = std::async(std::launch::async, [p11] {
            WaitResult result{CKR_GENERAL_ERROR, 0};
            result.rv = p11->C_WaitForSlotEvent(0, &result.slot, nullptr);
            return result;
        });
    }
    ~Waiter() {
        if (!future_.valid() || Ready(milliseconds(0))) return;
        p11_->C_Finalize(nullptr);
        if (!Ready(seconds(10))) {
            std::fprintf(stderr, "C_WaitForSlotEvent is not cancelled by C_Finalize\n");
            std::_Exit(1);
        }
        p11_->C_Initialize(nullptr);
    }
    bool Ready(milliseconds timeout) { return future_.wait_for(timeout) == std::future_status::ready; }
    WaitResult Get() { return future_.get(); }

private:
    CK_FUNCTION_LIST_PTR p11_;
    std::future<WaitResult> future_;
};

class SlotEvent : public P11Test {
protected:
    // A wait that is not answered at once by an event that happened before it: the
    // monitor reports such events to the next wait, so they are consumed first.
    std::unique_ptr<Waiter> QuietWait() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            auto waiter = std::make_unique<Waiter>(p11);
            if (!waiter->Ready(milliseconds(400))) return waiter;
            waiter->Get();
        }
        return nullptr;
    }
};

TEST_F(SlotEvent, ArgumentRules) {
    CK_SLOT_ID slot = 0;
    int reserved = 0;
    EXPECT_EQ(p11->C_WaitForSlotEvent(0x2, &slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_WaitForSlotEvent(0, nullptr, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11->C_WaitForSlotEvent(0, &slot, &reserved), CKR_ARGUMENTS_BAD);
    EXPECT_FALSE(LogHas("Flag CKF_DONT_BLOCK not supported."));
    // Not blocking is refused, before the module is even initialised.
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    Env().ClearLog();
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_TRUE(LogHas("Flag CKF_DONT_BLOCK not supported."));
    EXPECT_EQ(p11->C_WaitForSlotEvent(0, &slot, nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11->C_WaitForSlotEvent(0, &slot, &reserved), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(SlotEvent, WakesWhenACardIsInsertedAndRemoved) {
    Env().ToolOk("reader-add 'Event Reader'");
    CK_SLOT_ID slot = SlotOf("Event Reader");
    ASSERT_NE(slot, 0u);
    Env().ToolOk("card-create " + Env().Path("event.vcard") + " --type 1 --user-pin 1234 --so-pin 12345678");

    auto wait = QuietWait();
    ASSERT_TRUE(wait) << "slot events do not stop";
    auto start = steady_clock::now();
    Env().ToolOk("card-insert 'Event Reader' " + Env().Path("event.vcard"));
    ASSERT_TRUE(wait->Ready(seconds(5))) << "no wake-up on card insertion";
    WaitResult event = wait->Get();
    EXPECT_EQ(event.rv, CKR_OK);
    EXPECT_EQ(event.slot, slot);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 3000);
    EXPECT_EQ(Slots(true).size(), 1u);

    wait = QuietWait();
    ASSERT_TRUE(wait) << "slot events do not stop";
    Env().ToolOk("card-remove 'Event Reader' " + Env().Path("event-out.vcard"));
    ASSERT_TRUE(wait->Ready(seconds(5))) << "no wake-up on card removal";
    event = wait->Get();
    EXPECT_EQ(event.rv, CKR_OK);
    EXPECT_EQ(event.slot, slot);
}

TEST_F(SlotEvent, FinalizeFromAnotherThreadCancelsTheWait) {
    Card("R");
    auto wait = QuietWait();
    ASSERT_TRUE(wait) << "slot events do not stop";
    auto start = steady_clock::now();
    ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
    ASSERT_TRUE(wait->Ready(seconds(3))) << "C_Finalize did not cancel the wait";
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 1000);
    EXPECT_EQ(wait->Get().rv, CKR_CRYPTOKI_NOT_INITIALIZED);

    // Waiting works again after a new C_Initialize.
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    wait = QuietWait();
    ASSERT_TRUE(wait) << "slot events do not stop";
    Env().ToolOk("reader-add 'Late Reader'");
    ASSERT_TRUE(wait->Ready(seconds(5))) << "no wake-up on a new reader";
    EXPECT_EQ(wait->Get().rv, CKR_OK);
}

}  // namespace
}  // namespace vctest
