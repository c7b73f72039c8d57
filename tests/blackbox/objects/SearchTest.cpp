// Object search: matching by template, paging, the search shared by the sessions of a
// slot, and the lazy filling of the slot's object list.
#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "ObjectsSupport.h"

using namespace objtest;
using vctest::TestEnv;

namespace {

constexpr size_t kPublicObjects = 7;   // 3 certificates, 3 public keys, 1 data file
constexpr size_t kAllObjects = 10;     // and 3 private keys

class Search : public ::testing::Test {
protected:
    void SetUp() override {
        card_ = &Main();
        slot_ = SlotOf(card_->reader);
        session_ = vctest::OpenSession(slot_, false);
    }
    void TearDown() override { CloseAll(slot_); }

    size_t countClass(CK_OBJECT_CLASS cls) {
        return Find(session_, {{CKA_CLASS, &cls, sizeof cls}}).size();
    }

    const MainCard* card_ = nullptr;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = 0;
};

TEST_F(Search, EmptyTemplateGivesEveryVisibleObjectInListOrder) {
    std::vector<CK_OBJECT_HANDLE> all = Find(session_, {});
    ASSERT_EQ(all.size(), kPublicObjects);
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    for (CK_OBJECT_HANDLE object : all) EXPECT_NE(Ulong(session_, object, CKA_CLASS), CKO_PRIVATE_KEY);

    Login(session_);
    std::vector<CK_OBJECT_HANDLE> everything = Find(session_, {});
    EXPECT_EQ(everything.size(), kAllObjects);
    // The handles seen before the login stay the same objects.
    for (CK_OBJECT_HANDLE object : all)
        EXPECT_NE(std::find(everything.begin(), everything.end(), object), everything.end());
}

TEST_F(Search, ByClass) {
    EXPECT_EQ(countClass(CKO_CERTIFICATE), 3u);
    EXPECT_EQ(countClass(CKO_PUBLIC_KEY), 3u);
    EXPECT_EQ(countClass(CKO_DATA), 1u);
    EXPECT_EQ(countClass(CKO_PRIVATE_KEY), 0u);
    EXPECT_EQ(countClass(CKO_SECRET_KEY), 0u);
    Login(session_);
    EXPECT_EQ(countClass(CKO_PRIVATE_KEY), 3u);

    // A CK_ULONG value given with another length matches nothing.
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    EXPECT_TRUE(Find(session_, {{CKA_CLASS, &cls, 4}}).empty());
    // Booleans are one byte.
    CK_BBOOL yes = CK_TRUE;
    EXPECT_EQ(Find(session_, {{CKA_TOKEN, &yes, 1}}).size(), kAllObjects);
    CK_ULONG wide = CK_TRUE;
    EXPECT_TRUE(Find(session_, {{CKA_TOKEN, &wide, sizeof wide}}).empty());
}

TEST_F(Search, ByIdLabelAndValue) {
    Bytes id = card_->signKeyId;
    EXPECT_EQ(Find(session_, {{CKA_ID, id.data(), id.size()}}).size(), 2u);
    Bytes prefix(id.begin(), id.end() - 1);
    EXPECT_TRUE(Find(session_, {{CKA_ID, prefix.data(), prefix.size()}}).empty());

    std::string label = card_->dataLabel;
    auto byLabel = Find(session_, {{CKA_LABEL, label.data(), label.size()}});
    ASSERT_EQ(byLabel.size(), 1u);
    EXPECT_EQ(Ulong(session_, byLabel[0], CKA_CLASS), CKO_DATA);
    std::string rootLabel = card_->rootLabel;
    auto root = Find(session_, {{CKA_LABEL, rootLabel.data(), rootLabel.size()}});
    ASSERT_EQ(root.size(), 1u);
    EXPECT_EQ(Value(session_, root[0], CKA_ID), card_->rootId);
    std::string missing = "no such label";
    EXPECT_TRUE(Find(session_, {{CKA_LABEL, missing.data(), missing.size()}}).empty());

    Bytes der = card_->caDer;
    auto byValue = Find(session_, {{CKA_VALUE, der.data(), der.size()}});
    ASSERT_EQ(byValue.size(), 1u);
    EXPECT_EQ(byValue, root);
    der.back() ^= 1;
    EXPECT_TRUE(Find(session_, {{CKA_VALUE, der.data(), der.size()}}).empty());
    Bytes data = card_->data;
    EXPECT_EQ(Find(session_, {{CKA_VALUE, data.data(), data.size()}}), byLabel);

    // Every attribute of the template has to match.
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    Bytes value = card_->caDer;
    EXPECT_TRUE(Find(session_, {{CKA_CLASS, &cls, sizeof cls}, {CKA_VALUE, value.data(), value.size()}}).empty());
    // An attribute the object does not have never matches.
    CK_ULONG bits = 2048;
    auto keys = Find(session_, {{CKA_MODULUS_BITS, &bits, sizeof bits}});
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(Value(session_, keys[0], CKA_ID), card_->signKeyId);

    Login(session_);
    EXPECT_EQ(Find(session_, {{CKA_ID, id.data(), id.size()}}).size(), 3u);
    // The private key has no CKA_MODULUS_BITS; the search still reaches every object.
    EXPECT_EQ(Find(session_, {{CKA_MODULUS_BITS, &bits, sizeof bits}}), keys);
}

TEST_F(Search, PagingByOneAndByNone) {
    std::vector<CK_OBJECT_HANDLE> all = Find(session_, {});
    ASSERT_EQ(P11()->C_FindObjectsInit(session_, nullptr, 0), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> paged;
    for (size_t i = 0; i < all.size() + 5; ++i) {
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG count = 99;
        ASSERT_EQ(P11()->C_FindObjects(session_, &handle, 1, &count), CKR_OK);
        if (i < all.size()) {
            ASSERT_EQ(count, 1u);
            paged.push_back(handle);
        } else {
            EXPECT_EQ(count, 0u);  // past the end: nothing, again and again
        }
    }
    EXPECT_EQ(paged, all);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OK);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OPERATION_NOT_INITIALIZED);

    // Asking for no objects keeps a search at its start.
    ASSERT_EQ(P11()->C_FindObjectsInit(session_, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE handles[16];
    CK_ULONG count = 99;
    ASSERT_EQ(P11()->C_FindObjects(session_, handles, 0, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(P11()->C_FindObjects(session_, handles, 16, &count), CKR_OK);
    EXPECT_EQ(count, kPublicObjects);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OK);
}

TEST_F(Search, OneSearchPerSlotSharedBySessions) {
    CK_SESSION_HANDLE other = vctest::OpenSession(slot_, true);
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE tmpl = {CKA_CLASS, &cls, sizeof cls};
    ASSERT_EQ(P11()->C_FindObjectsInit(session_, &tmpl, 1), CKR_OK);
    EXPECT_EQ(P11()->C_FindObjectsInit(other, &tmpl, 1), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(P11()->C_FindObjectsInit(session_, &tmpl, 1), CKR_OPERATION_ACTIVE);

    // The second session continues where the first one stopped.
    CK_OBJECT_HANDLE first = 0, second = 0;
    CK_ULONG count = 0;
    ASSERT_EQ(P11()->C_FindObjects(session_, &first, 1, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(P11()->C_FindObjects(other, &second, 1, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_GT(second, first);

    // Final from the second session ends the first session's search.
    EXPECT_EQ(P11()->C_FindObjectsFinal(other), CKR_OK);
    EXPECT_EQ(P11()->C_FindObjects(session_, &first, 1, &count), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OPERATION_NOT_INITIALIZED);

    // Closing one session leaves a search of the other open.
    ASSERT_EQ(P11()->C_FindObjectsInit(other, &tmpl, 1), CKR_OK);
    ASSERT_EQ(P11()->C_CloseSession(other), CKR_OK);
    EXPECT_EQ(P11()->C_FindObjectsInit(session_, &tmpl, 1), CKR_OPERATION_ACTIVE);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OK);
}

TEST_F(Search, ArgumentsAndState) {
    CK_OBJECT_HANDLE handles[4];
    CK_ULONG count = 0;
    EXPECT_EQ(P11()->C_FindObjects(session_, handles, 4, &count), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(P11()->C_FindObjectsInit(0, nullptr, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_FindObjectsInit(0xFFF0, nullptr, 0), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(P11()->C_FindObjectsFinal(0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_FindObjectsFinal(0xFFF0), CKR_SESSION_HANDLE_INVALID);

    // A null template with a count is refused without being read; no search is opened.
    EXPECT_EQ(P11()->C_FindObjectsInit(session_, nullptr, 3), CKR_ARGUMENTS_BAD);
    // So is an entry that claims a value but has no buffer.
    CK_ATTRIBUTE noBuffer = {CKA_LABEL, nullptr, 4};
    EXPECT_EQ(P11()->C_FindObjectsInit(session_, &noBuffer, 1), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_FindObjects(session_, handles, 4, &count), CKR_OPERATION_NOT_INITIALIZED);

    ASSERT_EQ(P11()->C_FindObjectsInit(session_, nullptr, 0), CKR_OK);
    EXPECT_EQ(P11()->C_FindObjects(session_, nullptr, 4, &count), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_FindObjects(session_, handles, 4, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_FindObjects(0, handles, 4, &count), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_FindObjects(0xFFF0, handles, 4, &count), CKR_SESSION_HANDLE_INVALID);
    ASSERT_EQ(P11()->C_FindObjects(session_, handles, 4, &count), CKR_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(P11()->C_FindObjectsFinal(session_), CKR_OK);
}

TEST(SearchLoading, ListIsFilledOncePerSessionGroup) {
    Main();
    TestEnv& env = TestEnv::Get();
    std::string image = env.MakeReaderWithCard("objects-lazy", 2, kUserPin, kSoPin);
    std::string file = env.Path("first.bin");
    vctest::WriteFile(file, "first");
    env.ToolOk("data-add " + image + " --file " + file + " --label first");
    env.ToolOk("key-generate " + image + " --bits 1024");
    CK_SLOT_ID slot = SlotOf("objects-lazy");

    env.ClearLog();
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, false);
    CK_SESSION_HANDLE other = vctest::OpenSession(slot, false);
    std::vector<CK_OBJECT_HANDLE> first = Find(session, {});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(Find(session, {}), first);
    EXPECT_EQ(Find(other, {}), first);
    EXPECT_EQ(Count(env.ReadLog(), "    pridavam objekty do seznamu"), 1u);

    // A file that another process adds to the card is not seen by this group.
    file = env.Path("later.bin");
    vctest::WriteFile(file, "added later");
    env.ToolOk("data-add " + image + " --file " + file + " --label later");
    EXPECT_EQ(Find(session, {}), first);

    // Closing the last session drops the list and its handles; the next group reads the card again.
    CloseAll(slot);
    session = vctest::OpenSession(slot, false);
    CK_ATTRIBUTE attribute = {CKA_CLASS, nullptr, 0};
    EXPECT_EQ(P11()->C_GetAttributeValue(session, first[0], &attribute, 1), CKR_OBJECT_HANDLE_INVALID);
    std::string later = "later";
    std::vector<CK_OBJECT_HANDLE> added = Find(session, {{CKA_LABEL, later.data(), later.size()}});
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(Value(session, added[0], CKA_VALUE), Text("added later"));
    EXPECT_EQ(Count(env.ReadLog(), "    pridavam objekty do seznamu"), 2u);
    EXPECT_EQ(Find(session, {}).size(), 3u);
    CloseAll(slot);
}

TEST_F(Search, MatchingDoesNotFloodTheLogAndRestoresItsLevel) {
    Bytes der = card_->caDer;
    Find(session_, {});  // fill the list first
    TestEnv::Get().ClearLog();
    auto found = Find(session_, {{CKA_VALUE, der.data(), der.size()}});
    ASSERT_EQ(found.size(), 1u);
    std::string log = TestEnv::Get().ReadLog();
    EXPECT_EQ(log.find("attr->ulValueLen"), std::string::npos) << log;
    EXPECT_NE(log.find("        atribut (typ = CKA_VALUE) => shoda: ANO!"), std::string::npos) << log;

    TestEnv::Get().ClearLog();
    Value(session_, found[0], CKA_VALUE);
    EXPECT_NE(TestEnv::Get().ReadLog().find("attr->ulValueLen"), std::string::npos);
}

TEST_F(Search, ConcurrentSearchesOnTwoSlots) {
    CK_SLOT_ID esignSlot = SlotOf(Esign().reader);
    CK_SESSION_HANDLE esignSession = vctest::OpenSession(esignSlot, false);
    Bytes der = card_->caDer;
    auto worker = [&](CK_SESSION_HANDLE session, size_t expected) {
        for (int i = 0; i < 15; ++i) {
            CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
            EXPECT_EQ(Find(session, {{CKA_CLASS, &cls, sizeof cls}}).size(), expected);
        }
    };
    std::thread a(worker, session_, 3u);
    std::thread b(worker, esignSession, 1u);
    a.join();
    b.join();
    CloseAll(esignSlot);

    // The log level is back where it was.
    TestEnv::Get().ClearLog();
    Value(session_, One(session_, CKO_CERTIFICATE, card_->rootId), CKA_LABEL);
    EXPECT_NE(TestEnv::Get().ReadLog().find("attr->ulValueLen"), std::string::npos);
}

TEST(SearchCardRemoval, RemovedCardEndsTheSessionsCleanly) {
    Main();
    TestEnv& env = TestEnv::Get();
    std::string image = env.MakeReaderWithCard("objects-removal", 1, kUserPin, kSoPin);
    std::string file = env.Path("removal.bin");
    vctest::WriteFile(file, "x");
    env.ToolOk("data-add " + image + " --file " + file + " --label gone");
    CK_SLOT_ID slot = SlotOf("objects-removal");
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, false);
    CK_SESSION_HANDLE other = vctest::OpenSession(slot, false);
    ASSERT_EQ(P11()->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
    CK_OBJECT_HANDLE handles[4];
    CK_ULONG count = 0;
    ASSERT_EQ(P11()->C_FindObjects(session, handles, 4, &count), CKR_OK);
    ASSERT_EQ(count, 1u);

    env.ToolOk("card-remove objects-removal " + env.Path("removed.vcard"));
    CK_RV rv = P11()->C_FindObjects(session, handles, 4, &count);
    EXPECT_TRUE(rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_DEVICE_REMOVED) << rv;
    EXPECT_EQ(P11()->C_FindObjectsFinal(session), CKR_SESSION_HANDLE_INVALID);
    CK_ATTRIBUTE attribute = {CKA_CLASS, nullptr, 0};
    EXPECT_EQ(P11()->C_GetAttributeValue(other, handles[0], &attribute, 1), CKR_SESSION_HANDLE_INVALID);

    // The module still serves the other slot.
    CK_SLOT_ID mainSlot = SlotOf(Main().reader);
    CK_SESSION_HANDLE mainSession = vctest::OpenSession(mainSlot, false);
    EXPECT_EQ(Find(mainSession, {}).size(), kPublicObjects);
    CloseAll(mainSlot);
}

}  // namespace
