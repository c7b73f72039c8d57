// A thread that holds a reader/card pair or a core object may use the list it came from
// while another thread waits for the same element: a look-up never waits for an element
// with the list locked. Before, each case deadlocked; a watchdog ends the test then.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "core/CoreObjects.h"
#include "unit/core_card/CardTestUtil.h"

namespace cardtest {
namespace {

using namespace std::chrono_literals;
using Vellumcrest::Core::CoreObject;
using Vellumcrest::Core::CoreObjectList;
using Vellumcrest::Core::FileStorage;
using Vellumcrest::Core::ReaderCardPair;

// Runs work on this thread; ends the process when it does not return within 20 s.
template <typename Work>
void WithoutDeadlock(const char* what, Work work) {
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !finished; ++i) std::this_thread::sleep_for(100ms);
        if (!finished) {
            std::fprintf(stderr, "deadlock: %s\n", what);
            std::_Exit(1);
        }
    });
    work();
    finished = true;
    watchdog.join();
}

class LockOrder : public CardTest {};

TEST_F(LockOrder, HolderOfAPairUsesThePairListWhileAnotherThreadWaitsForThePair) {
    Card("--type 1 --user-pin 1234 --so-pin 12345678");
    Card("--type 2 --user-pin 1234 --so-pin 12345678", "R2");
    unsigned long slot = list_.GetFirstHandle();
    ReaderCardPair* held = list_.GetReaderCardPair(slot, true);
    ASSERT_NE(held, nullptr);

    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        ReaderCardPair* pair = list_.GetReaderCardPair(slot, true);
        taken = true;
        if (pair != nullptr) pair->Unlock();
    });
    std::this_thread::sleep_for(200ms);  // the waiter now waits for the pair
    WithoutDeadlock("pair list", [&] {
        EXPECT_EQ(list_.Update(false), Vellumcrest::Core::CoreOk);
        ReaderCardPair* other = list_.GetReaderCardPair(list_.GetNextHandle(slot), true);
        ASSERT_NE(other, nullptr);
        other->Unlock();
    });
    EXPECT_FALSE(taken.load());
    held->Unlock();
    waiter.join();
    EXPECT_TRUE(taken.load());
}

TEST_F(LockOrder, HolderOfAnObjectUsesTheObjectListWhileAnotherThreadWaitsForTheObject) {
    CoreObjectList objects;
    unsigned long handles[2];
    for (unsigned long& handle : handles) {
        auto* file = new FileStorage();
        handle = objects.Add(file);
        ASSERT_NE(handle, 0u);
    }
    CoreObject* held = objects.FindObject(handles[0], true);
    ASSERT_NE(held, nullptr);

    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        unsigned long handle = 0;
        CoreObject* object = objects.GetFirst(handle, true);
        taken = true;
        if (object != nullptr) object->Unlock();
    });
    std::this_thread::sleep_for(200ms);
    WithoutDeadlock("object list", [&] {
        unsigned long handle = handles[0];
        CoreObject* next = objects.GetNext(handle, true);
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(handle, handles[1]);
        next->Unlock();
    });
    EXPECT_FALSE(taken.load());
    held->Unlock();
    waiter.join();
    EXPECT_TRUE(taken.load());
}

}  // namespace
}  // namespace cardtest
