// Core objects on a real virtual card made with the card tool: loading, computed labels,
// and objects whose records were deleted.
#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>

#include "OpensslHelpers.h"
#include "TempDir.h"
#include "core/CoreObjects.h"
#include "core/Reader.h"

using namespace Vellumcrest::Core;
using namespace coretest;

namespace {

std::string RunCommand(const std::string& command, int* status = nullptr) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[512];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
    int rc = ::pclose(pipe);
    if (status != nullptr) *status = rc;
    return output;
}

template <class T>
std::string Label(T* object, ReaderCardPair* pair) {
    unsigned long length = 0;
    const unsigned char* value = object->GetAttrLabel(pair, &length);
    return std::string(reinterpret_cast<const char*>(value), length);
}

template <class T>
std::string Id(T* object, ReaderCardPair* pair) {
    unsigned long length = 0;
    const unsigned char* value = object->GetAttrId(pair, &length);
    return Hex(value, length);
}

class CardObjects : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir();
        std::string readers = dir_->File("readers");
        ::mkdir(readers.c_str(), 0700);
        ::setenv("VELLUMCREST_READERS_DIR", readers.c_str(), 1);

        // A CA made here; the card tool issues the client certificate with it.
        Pkey caKey = RsaKey(2048);
        CertOptions caOptions;
        caOptions.subjectCN = "Test Root CA";
        caOptions.ca = true;
        Cert ca = MakeCert(caKey.get(), nullptr, caOptions);
        Bytes caDer = Der(ca.get());
        FILE* f = std::fopen(dir_->File("ca.pem").c_str(), "w");
        PEM_write_X509(f, ca.get());
        std::fclose(f);
        f = std::fopen(dir_->File("ca.key").c_str(), "w");
        PEM_write_PrivateKey(f, caKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(f);
        WriteText(dir_->File("ca.der"), std::string(caDer.begin(), caDer.end()));
        WriteText(dir_->File("data.bin"), std::string("\x01\x02\x03 data file", 14));

        Tool("reader-add R1");
        Tool("card-create " + dir_->File("card.vcard") + " --type 3 --user-pin 1234 --so-pin 12345678");
        Tool("card-insert R1 " + dir_->File("card.vcard"));
        Tool("key-generate @R1 --bits 1024 --label 'Signing key' --id 0a0b --usage sign,decrypt");
        Tool("cert-issue @R1 --id 0a0b --subject '/CN=Alice Example' --ca-cert " + dir_->File("ca.pem") +
             " --ca-key " + dir_->File("ca.key"));
        Tool("cert-add @R1 --der " + dir_->File("ca.der") + " --kind root --label 'Root CA'");
        Tool("key-generate @R1 --bits 1024 --id 0c0d --usage decrypt");
        Tool("data-add @R1 --file " + dir_->File("data.bin") + " --label notes");
    }

    static void TearDownTestSuite() {
        delete dir_;
    }

    static void Tool(const std::string& arguments) {
        int status = 0;
        std::string output = RunCommand(std::string(VC_TOOL_PATH) + " --readers-dir " + dir_->File("readers") + " " +
                                 arguments, &status);
        ASSERT_EQ(status, 0) << arguments << ": " << output;
    }

    void SetUp() override {
        ASSERT_EQ(readers_.Update(false), 0);
        pair_ = readers_.GetReaderCardPair(readers_.GetFirstHandle(), true);
        ASSERT_NE(pair_, nullptr);
        ASSERT_TRUE(pair_->IsSupportedCardPresent());
    }
    void TearDown() override {
        if (pair_ != nullptr) pair_->Unlock();
    }

    // Objects of the list in order, each with its cryptoki ID set.
    std::vector<CoreObject*> Load(CoreObjectList& list) {
        EXPECT_EQ(list.AddAllObjectFromCard(pair_), 0);
        std::vector<CoreObject*> objects;
        unsigned long handle = 0;
        for (CoreObject* object = list.GetFirst(handle, false); object != nullptr; object = list.GetNext(handle, false)) {
            EXPECT_EQ(object->SetCryptokiID(pair_), 0);
            objects.push_back(object);
        }
        return objects;
    }

    static TempDir* dir_;
    ReaderCardPairList readers_;
    ReaderCardPair* pair_ = nullptr;
};

TempDir* CardObjects::dir_ = nullptr;

Certificate* FindCertificate(const std::vector<CoreObject*>& objects, bool ca) {
    for (CoreObject* object : objects)
        if (object->GetCoreObjectType() == CoreObjectTypeCertificate &&
            static_cast<Certificate*>(object)->IsCACertificate() == ca)
            return static_cast<Certificate*>(object);
    return nullptr;
}

template <class T>
std::vector<T*> Keys(const std::vector<CoreObject*>& objects, KeyType type) {
    std::vector<T*> keys;
    for (CoreObject* object : objects)
        if (object->GetCoreObjectType() == CoreObjectTypeKey && static_cast<Key*>(object)->GetKeyType() == type)
            keys.push_back(static_cast<T*>(object));
    return keys;
}

}  // namespace

// Attribute values, flags and search through the exported functions are covered by the
// object black-box tests; here: what the objects compute themselves.
TEST_F(CardObjects, LoadOnceComputedLabelsAndDerivedPublicKey) {
    CoreObjectList list;
    std::vector<CoreObject*> objects = Load(list);
    ASSERT_EQ(objects.size(), 7u);
    EXPECT_EQ(list.AddAllObjectFromCard(pair_), 0);
    EXPECT_EQ(list.GetCount(), 7) << "loading again adds nothing the list holds";

    Certificate* root = FindCertificate(objects, true);
    Certificate* client = FindCertificate(objects, false);
    ASSERT_NE(root, nullptr);
    ASSERT_NE(client, nullptr);
    auto publicKeys = Keys<RsaPublicKey>(objects, KeyTypeRsaPublicKey);
    auto privateKeys = Keys<RsaPrivateKey>(objects, KeyTypeRsaPrivateKey);
    ASSERT_EQ(publicKeys.size(), 2u);
    ASSERT_EQ(privateKeys.size(), 2u);
    RsaPublicKey* signPublic = Id(publicKeys[0], pair_) == "0a0b" ? publicKeys[0] : publicKeys[1];
    RsaPublicKey* decryptPublic = signPublic == publicKeys[0] ? publicKeys[1] : publicKeys[0];
    RsaPrivateKey* signPrivate = Id(privateKeys[0], pair_) == "0a0b" ? privateKeys[0] : privateKeys[1];
    RsaPrivateKey* decryptPrivate = signPrivate == privateKeys[0] ? privateKeys[1] : privateKeys[0];

    EXPECT_EQ(Label(client, pair_), "Alice Example");  // no label stored: the subject CN
    EXPECT_TRUE(client->IsIssuedByCert(root));
    EXPECT_EQ(Label(decryptPrivate, pair_).rfind("Key ", 0), 0u);
    EXPECT_EQ(Label(decryptPrivate, pair_), Label(decryptPublic, pair_));

    // The public half derived from the private one is the stored public key.
    std::unique_ptr<RsaPublicKey> derived(signPrivate->GetPublicKey(pair_));
    ASSERT_TRUE(derived);
    EXPECT_EQ(Bytes(derived->GetModulus(), derived->GetModulus() + derived->GetModulusSize()),
              Bytes(signPublic->GetModulus(), signPublic->GetModulus() + signPublic->GetModulusSize()));

    // A label written to the record shows at once; the other half keeps its own.
    CardPrivateKeyRecord* record = signPrivate->GetCardPrivateKeyRecord(pair_);
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(record->common.SetLabelUtf8("renamed", 7));
    EXPECT_EQ(Label(signPrivate, pair_), "renamed");
    EXPECT_EQ(Label(signPublic, pair_), "Signing key");
    ASSERT_TRUE(record->common.SetLabelUtf8("Signing key", 11));
}

TEST_F(CardObjects, ObjectsOfDeletedRecordsReportTheLoss) {
    // A card of its own, so that the other tests keep their records.
    Tool("reader-add R2");
    Tool("card-create " + dir_->File("second.vcard") + " --type 1 --user-pin 1234 --so-pin 12345678");
    Tool("card-insert R2 " + dir_->File("second.vcard"));
    Tool("key-generate @R2 --bits 1024 --usage sign");
    ASSERT_EQ(readers_.Update(false), 0);
    ReaderCardPair* second = nullptr;
    for (unsigned long handle = readers_.GetFirstHandle(); handle != 0; handle = readers_.GetNextHandle(handle)) {
        ReaderCardPair* candidate = readers_.GetReaderCardPair(handle, false);
        if (candidate != nullptr && std::string(candidate->GetReader()->GetReaderName()) == "R2") second = candidate;
    }
    ASSERT_NE(second, nullptr);
    second->Lock();
    CoreObjectList list;
    ASSERT_EQ(list.AddAllObjectFromCard(second), 0);
    ASSERT_EQ(list.GetCount(), 2);
    unsigned long handle = 0;
    auto* publicKey = static_cast<RsaPublicKey*>(list.GetFirst(handle, false));
    auto* privateKey = static_cast<RsaPrivateKey*>(list.GetNext(handle, false));
    ASSERT_EQ(privateKey->SetCryptokiID(second), 0);
    std::string id = Id(privateKey, second);
    EXPECT_FALSE(id.empty());
    EXPECT_EQ(Id(publicKey, second), id);

    ASSERT_EQ(second->DeleteKeyPair(privateKey->GetCardPrivateKeyRecord(second),
                                    publicKey->GetCardPublicKeyRecord(second)),
              0);
    EXPECT_NE(privateKey->SetCryptokiID(second), 0);
    EXPECT_NE(publicKey->SetCryptokiID(second), 0);
    EXPECT_EQ(privateKey->GetPublicKey(second), nullptr);
    unsigned char out[128];
    unsigned long outLength = sizeof(out);
    EXPECT_NE(privateKey->Decrypt(second, out, 128, out, &outLength), 0);
    EXPECT_EQ(Id(privateKey, second), id);  // the ID derived before stays known
    second->Unlock();

    Tool("card-remove R2 " + dir_->File("removed.vcard"));
    ASSERT_EQ(readers_.Update(false), 0);
    second->Lock();
    CoreObjectList empty;
    EXPECT_EQ(empty.AddAllObjectFromCard(second), CoreCardNotPresent);
    second->Unlock();
}
