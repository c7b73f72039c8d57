#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/CoreObjects.h"

using namespace Vellumcrest::Core;

namespace {

std::atomic<int> destroyed{0};

class CountedFile : public FileStorage {
public:
    ~CountedFile() override { ++destroyed; }
};

}  // namespace

TEST(CoreObjectList, OwnsItsObjectsAndWalksInOrder) {
    destroyed = 0;
    {
        CoreObjectList list;
        CountedFile* a = new CountedFile;
        CountedFile* b = new CountedFile;
        CountedFile* c = new CountedFile;
        unsigned long ha = list.Add(a), hb = list.Add(b), hc = list.Add(c);
        EXPECT_NE(ha, 0u);
        EXPECT_LT(ha, hb);
        EXPECT_LT(hb, hc);
        EXPECT_EQ(list.GetCount(), 3);

        unsigned long handle = 0;
        EXPECT_EQ(list.GetFirst(handle, false), a);
        EXPECT_EQ(handle, ha);
        EXPECT_EQ(list.GetNext(handle, false), b);
        EXPECT_EQ(list.GetNext(handle, false), c);
        EXPECT_EQ(list.GetNext(handle, false), nullptr);
        EXPECT_EQ(handle, 0u);
        handle = 0;
        EXPECT_EQ(list.GetLast(handle, false), c);
        EXPECT_EQ(list.GetPrev(handle, false), b);
        EXPECT_EQ(list.FindObject(hb, false), b);
        EXPECT_EQ(list.FindObject(2, false), c);
        EXPECT_EQ(list.FindObject(static_cast<unsigned long>(999), false), nullptr);
        unsigned long unknown = 999;
        EXPECT_EQ(list.GetNext(unknown, false), nullptr);
        EXPECT_EQ(unknown, 0u);

        list.Remove(hb);  // leaves the list; the caller destroys it
        delete b;
        EXPECT_EQ(destroyed.load(), 1);
    }
    EXPECT_EQ(destroyed.load(), 3);  // the list destroyed the two it still held
}

TEST(CoreObjectList, LockedLookUpsHoldTheObjectUntilUnlock) {
    CoreObjectList list;
    FileStorage* file = new FileStorage;
    unsigned long handle = list.Add(file);
    CoreObject* locked = list.FindObject(handle, true);
    ASSERT_EQ(locked, file);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        CoreObject* again = list.FindObject(handle, true);
        acquired = true;
        again->Unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired.load());
    locked->Unlock();
    other.join();
    EXPECT_TRUE(acquired.load());

    // The owner thread may take its own lock again (re-entrant).
    unsigned long first = 0;
    CoreObject* a = list.GetFirst(first, true);
    CoreObject* b = list.FindObject(first, true);
    EXPECT_EQ(a, b);
    b->Unlock();
    a->Unlock();
}

TEST(CoreObjectList, LoadingWithoutACardFails) {
    CoreObjectList list;
    EXPECT_NE(list.AddAllObjectFromCard(nullptr), 0);
    EXPECT_NE(list.AddAllCertificateFromCard(nullptr), 0);
    EXPECT_NE(list.AddAllPublicKeyFromCard(nullptr), 0);
    EXPECT_NE(list.AddAllPrivateKeyFromCard(nullptr), 0);
    EXPECT_NE(list.AddAllFileStorageFromCard(nullptr), 0);
    EXPECT_EQ(list.GetCount(), 0);
}

TEST(CoreObjects, UnboundObjectsAnswerWithoutACard) {
    RsaPrivateKey key;
    EXPECT_EQ(key.GetKeyType(), KeyTypeRsaPrivateKey);
    EXPECT_EQ(key.GetPublicKey(nullptr), nullptr);
    EXPECT_EQ(key.GetCardPrivateKeyRecord(nullptr), nullptr);
    unsigned long length = 7;
    unsigned char out[16];
    EXPECT_NE(key.Decrypt(nullptr, out, 1, out, &length), 0);
    EXPECT_NE(key.SetPrivateKey(nullptr), 0);
    EXPECT_EQ(key.SetCryptokiID(nullptr), 0);
    EXPECT_EQ(key.GetAttrId(nullptr, &length)[0], 0);
    EXPECT_EQ(length, 0u);

    FileStorage file;
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(file.SetFileStorage(data, 3, false), 0);
    EXPECT_EQ(file.GetFileStorageDataSize(), 3u);
    EXPECT_NE(file.SetFileStorage(nullptr, 3, false), 0);
    EXPECT_EQ(file.GetFileStorageDataSize(), 3u);
    EXPECT_EQ(file.SetFileStorage(nullptr, 0, false), 0);
    EXPECT_EQ(file.GetFileStorageDataSize(), 0u);
    EXPECT_NE(file.SetFileStorage(nullptr, CardFileStorage()), 0);
    file.GetAttrLabel(nullptr, &length);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(file.SetCryptokiID(nullptr), 0);
    EXPECT_EQ(file.GetCryptokiID().length, 0u);
    EXPECT_EQ(file.GetCoreObjectType(), CoreObjectTypeFileStorage);
}
