// Readers and card changes: handles, change detection reported once, the monitor and
// the cross-process lock.
#include <atomic>
#include <chrono>
#include <thread>

#include "CardTestUtil.h"

using namespace Vellumcrest::Core;
using cardtest::CardTest;

namespace {

bool changedByUpdate(ReaderCardPairList& list, ReaderCardPair* pair) {
    EXPECT_EQ(list.Update(false), CoreOk);
    return pair->GetReader()->GetCardChanged();
}

bool changedByState(ReaderCardPair* pair) {
    bool changed = false;
    EXPECT_EQ(pair->GetReader()->UpdateReaderState(&changed), CoreOk);
    return changed;
}

}  // namespace

TEST_F(CardTest, ReadersKeepTheirHandlesWhileTheProcessRuns) {
    ToolOk("reader-add B");
    ToolOk("reader-add A");
    ASSERT_EQ(list_.Update(false), CoreOk);
    unsigned long a = 0, b = 0, c = 0;
    ASSERT_NE(PairOf(list_, "A", &a), nullptr);
    ASSERT_NE(PairOf(list_, "B", &b), nullptr);
    EXPECT_EQ(a, 1u) << "readers are taken in name order";
    EXPECT_EQ(b, 2u);
    EXPECT_EQ(list_.GetReaderCardPair(0, false), nullptr);
    EXPECT_EQ(list_.GetReaderCardPair(99, true), nullptr);

    ToolOk("reader-remove A");
    ToolOk("reader-add C");
    ASSERT_EQ(list_.Update(false), CoreOk);
    ReaderCardPair* pairA = PairOf(list_, "A");
    ASSERT_NE(pairA, nullptr);
    EXPECT_FALSE(pairA->IsValidReader());
    EXPECT_FALSE(pairA->IsSupportedCardPresent());
    EXPECT_EQ(pairA->Open(), CoreCardNotPresent);
    ASSERT_NE(PairOf(list_, "C", &c), nullptr);
    EXPECT_EQ(c, 3u);

    ToolOk("reader-add A --pinpad");
    ASSERT_EQ(list_.Update(false), CoreOk);
    unsigned long again = 0;
    EXPECT_EQ(PairOf(list_, "A", &again), pairA);
    EXPECT_EQ(again, a);
    EXPECT_TRUE(pairA->IsValidReader());
    EXPECT_TRUE(pairA->GetReader()->GetSpeEnabled()) << "the reader's settings are read again";
    EXPECT_EQ(list_.AddNewReaders(), CoreOk);
    int count = 0;
    for (unsigned long h = list_.GetFirstHandle(); h != 0; h = list_.GetNextHandle(h)) ++count;
    EXPECT_EQ(count, 3);
}

TEST_F(CardTest, CardChangesAreReportedOnceByWhicheverLooksFirst) {
    ToolOk("reader-add R");
    ASSERT_EQ(list_.Update(false), CoreOk);
    ReaderCardPair* pair = PairOf(list_, "R");
    ASSERT_NE(pair, nullptr);
    EXPECT_FALSE(pair->GetReader()->GetCardChanged());

    std::string image = InsertNewCard("R", "--type 1 --user-pin 1234");
    EXPECT_TRUE(changedByUpdate(list_, pair)) << "inserted";
    EXPECT_FALSE(changedByUpdate(list_, pair));
    EXPECT_FALSE(changedByState(pair));
    EXPECT_EQ(pair->GetCardType(), 1);

    // Removed: the pair reports the card it last saw until it looks again.
    ToolOk("card-remove R " + cardtest::Quote(root_ + "/out.vcard"));
    EXPECT_EQ(pair->GetCardType(), 1);
    EXPECT_TRUE(changedByState(pair)) << "removed";
    EXPECT_EQ(pair->GetCardType(), 0);
    EXPECT_FALSE(changedByUpdate(list_, pair)) << "already reported";
    EXPECT_EQ(pair->Open(), CoreCardNotPresent);
    EXPECT_EQ(Login(pair, 1, "1234"), CoreCardNotPresent);

    // The same card put back is a new insertion.
    ToolOk("card-insert R " + cardtest::Quote(root_ + "/out.vcard"));
    EXPECT_TRUE(changedByUpdate(list_, pair)) << "re-inserted";
    EXPECT_FALSE(changedByState(pair));
    pair->GetPinCache()->Write(reinterpret_cast<const unsigned char*>("1234"), 4);
    ASSERT_EQ(Login(pair, 1, "1234"), CoreOk);

    // Replaced by another card between two looks.
    ToolOk("card-remove R " + cardtest::Quote(root_ + "/first.vcard"));
    InsertNewCard("R", "--type 2 --user-pin 1234");
    EXPECT_TRUE(changedByState(pair)) << "replaced";
    EXPECT_FALSE(changedByUpdate(list_, pair));
    EXPECT_EQ(pair->GetCardType(), 2);
    unsigned char pin[16];
    unsigned long length = sizeof pin;
    EXPECT_EQ(pair->GetPinCache()->Read(pin, &length), CoreNotFound) << "another card: the PIN is forgotten";
    unsigned char data[20] = {};
    unsigned char signature[128];
    unsigned long signatureLength = sizeof signature;
    ToolOk("key-generate @R --bits 1024");
    ASSERT_EQ(pair->GetPrivateKeyRecords().size(), 1u);
    EXPECT_EQ(pair->Sign(pair->GetPrivateKeyRecords()[0], data, sizeof data, signature, &signatureLength),
              CoreSecurityStatus)
        << "the login of the other card is forgotten";

    // Changes of the contents are no card change, but become visible.
    EXPECT_FALSE(changedByUpdate(list_, pair));
    ToolOk("data-add @R --file " + cardtest::Quote(image.empty() ? "/dev/null" : ReaderDir("R") + "/reader.conf"));
    EXPECT_FALSE(changedByState(pair));
    EXPECT_EQ(pair->GetFileStorageRecords().size(), 1u);

    // An invalidating update reads the card again and reports nothing.
    ASSERT_EQ(list_.Update(true), CoreOk);
    EXPECT_FALSE(pair->GetReader()->GetCardChanged());
}

TEST_F(CardTest, VanishedReaderIsAChangeToo) {
    ReaderCardPair* pair = Card("--type 1", "R");
    ToolOk("reader-remove R");
    EXPECT_TRUE(changedByState(pair));
    EXPECT_FALSE(pair->IsValidReader());
    EXPECT_FALSE(changedByUpdate(list_, pair));
    EXPECT_EQ(pair->GetCardInfo(true), nullptr);
    EXPECT_EQ(ToolOk("list"), "");
    EXPECT_EQ(Tool("card-insert R x").exitCode, 1);
}

TEST_F(CardTest, MonitorReportsEventsAndCancels) {
    ToolOk("reader-add Q");
    ASSERT_EQ(list_.Update(false), CoreOk);
    ReaderCardPairMon monitor;
    unsigned long slot = 0;
    // A change after the module last looked counts, also when it came before the first wait.
    InsertNewCard("Q", "--type 1");
    ASSERT_EQ(monitor.Run(&list_, &slot, false), 1);
    unsigned long q = 0;
    ReaderCardPair* pairQ = PairOf(list_, "Q", &q);
    EXPECT_EQ(slot, q);
    EXPECT_EQ(monitor.Run(&list_, &slot, false), 0) << "reported once";
    // The monitor's view is its own: the pair still has the change to report.
    EXPECT_TRUE(changedByUpdate(list_, pairQ));

    InsertNewCard("R", "--type 1");
    ASSERT_EQ(monitor.Run(&list_, &slot, false), 1);
    unsigned long expected = 0;
    ReaderCardPair* pair = PairOf(list_, "R", &expected);
    ASSERT_NE(pair, nullptr) << "an unknown reader is added to the list_";
    EXPECT_EQ(slot, expected);
    EXPECT_FALSE(changedByUpdate(list_, pair)) << "a new pair starts with the card it finds";

    // A waiting Run wakes up for a change made by another process.
    std::atomic<int> result{99};
    std::thread waiter([&] { result = monitor.Run(&list_, &slot, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(result.load(), 99);
    ToolOk("reader-add S");
    waiter.join();
    EXPECT_EQ(result.load(), 1);
    unsigned long s = 0;
    PairOf(list_, "S", &s);
    EXPECT_EQ(slot, s);

    // Cancel ends every waiting Run promptly; without a waiter it is not remembered.
    std::atomic<int> first{99}, second{99};
    std::thread a([&] { unsigned long x; first = monitor.Run(&list_, &x, true); });
    std::thread b([&] { unsigned long x; second = monitor.Run(&list_, &x, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    auto start = std::chrono::steady_clock::now();
    monitor.Cancel();
    a.join();
    b.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(first.load(), -1);
    EXPECT_EQ(second.load(), -1);
    EXPECT_EQ(monitor.Run(&list_, &slot, false), 0);

    // Two changes at once come out one after the other.
    ToolOk("card-remove R " + cardtest::Quote(root_ + "/r.vcard"));
    ToolOk("reader-remove S");
    ASSERT_EQ(monitor.Run(&list_, &slot, false), 1);
    EXPECT_EQ(slot, expected);
    ASSERT_EQ(monitor.Run(&list_, &slot, false), 1);
    EXPECT_EQ(slot, s);
    EXPECT_EQ(monitor.Run(&list_, &slot, false), 0);
    EXPECT_EQ(monitor.Run(nullptr, &slot, false), -2);
}

TEST_F(CardTest, OpenCardKeepsOtherProcessesOut) {
    ReaderCardPair* pair = Card("--type 1", "R");
    ASSERT_EQ(pair->Open(), CoreOk);
    std::string data = root_ + "/data.bin";
    cardtest::WriteBytes(data, {1, 2, 3, 4});
    std::atomic<bool> done{false};
    std::thread writer([&] {
        ToolOk("data-add @R --file " + cardtest::Quote(data));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done.load()) << "the tool waits for the card";
    EXPECT_TRUE(pair->GetFileStorageRecords().empty());
    pair->Close();
    writer.join();
    EXPECT_TRUE(done.load());
    ASSERT_EQ(pair->Open(), CoreOk);
    EXPECT_EQ(pair->GetFileStorageRecords().size(), 1u) << "Open reads the card again";
    pair->Close();
}

TEST_F(CardTest, UnlockByAnotherThreadIsIgnored) {
    InsertNewCard("R", "--type 1");
    ASSERT_EQ(list_.Update(false), CoreOk);
    unsigned long slot = 0;
    PairOf(list_, "R", &slot);
    ReaderCardPair* pair = list_.GetReaderCardPair(slot, true);
    std::thread other([&] { pair->Unlock(); });
    other.join();
    pair->Unlock();
    std::atomic<bool> locked{false};
    std::thread next([&] {
        list_.GetReaderCardPair(slot, true);
        locked = true;
        pair->Unlock();
    });
    next.join();
    EXPECT_TRUE(locked.load());
}
