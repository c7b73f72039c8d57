// C_DestroyObject, the vendor C_DeleteContainer and C_CopyObject on cards filled by the
// card tool: what goes from the card (checked in the tool's dump) and from the object list.
#include "KeygenSupport.h"

using namespace kgtest;

namespace {

// A card with a key pair (ID a1) and its client certificate, a second key pair (ID b2),
// a root certificate (ID cc) and a data file.
CK_SLOT_ID CardWithContents(const std::string& reader) {
    const TestEnv& env = TestEnv::Get();
    CK_SLOT_ID slot = FreshCard(reader, 2);
    const std::string dir = env.Path(reader + "-pki");
    const std::string card = "@" + reader;
    int rc = std::system(("mkdir -p '" + dir + "' && cd '" + dir +
                          "' && openssl req -x509 -newkey rsa:1024 -nodes -keyout ca.key -out ca.pem -days 30"
                          " -subj '/CN=Destroy CA' -addext basicConstraints=critical,CA:TRUE 2>/dev/null"
                          " && openssl x509 -in ca.pem -outform DER -out ca.der && echo data > data.bin")
                             .c_str());
    EXPECT_EQ(rc, 0);
    env.ToolOk("key-generate " + card + " --bits 1024 --id a1 --label pair-a");
    env.ToolOk("cert-issue " + card + " --id a1 --subject /CN=Client --ca-cert '" + dir + "/ca.pem' --ca-key '" +
               dir + "/ca.key'");
    env.ToolOk("key-generate " + card + " --bits 1024 --id b2 --label pair-b");
    env.ToolOk("cert-add " + card + " --der '" + dir + "/ca.der' --kind root --id cc");
    env.ToolOk("data-add " + card + " --file '" + dir + "/data.bin' --label notes");
    return slot;
}

CK_OBJECT_HANDLE One(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls, const Bytes& id) {
    return vctest::OneObject(session, cls, id);
}

CK_OBJECT_HANDLE DataFile(CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS cls = CKO_DATA;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}};
    std::vector<CK_OBJECT_HANDLE> found = vctest::FindAll(session, tmpl, 1);
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? 0 : found[0];
}

bool Exists(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    CK_OBJECT_CLASS cls = 0;
    CK_ATTRIBUTE attribute = {CKA_CLASS, &cls, sizeof cls};
    CK_RV rv = P11()->C_GetAttributeValue(session, object, &attribute, 1);
    EXPECT_TRUE(rv == CKR_OK || rv == CKR_OBJECT_HANDLE_INVALID) << std::hex << rv;
    return rv == CKR_OK;
}

const Bytes kPairA = {0xa1}, kPairB = {0xb2}, kRoot = {0xcc};

}  // namespace

// Keys and certificates one by one: the container goes with its last object.
TEST(DestroyObject, EachObjectAloneAndTheEmptyContainerWithTheLast) {
    CK_SLOT_ID slot = CardWithContents("ds-order");
    CK_SESSION_HANDLE session = UserSession(slot);
    CK_OBJECT_HANDLE privA = One(session, CKO_PRIVATE_KEY, kPairA), pubA = One(session, CKO_PUBLIC_KEY, kPairA);
    CK_OBJECT_HANDLE certA = One(session, CKO_CERTIFICATE, kPairA);
    const size_t before = Containers("ds-order");

    ASSERT_EQ(P11()->C_DestroyObject(session, privA), CKR_OK);
    EXPECT_FALSE(Exists(session, privA));
    EXPECT_TRUE(Exists(session, pubA));
    ASSERT_EQ(P11()->C_DestroyObject(session, pubA), CKR_OK);
    EXPECT_EQ(Containers("ds-order"), before);  // the client certificate keeps it
    std::string dump = Dump("ds-order");
    EXPECT_EQ(Count(dump, "private key "), 1u) << dump;
    EXPECT_EQ(Count(dump, "public key "), 1u) << dump;

    TestEnv::Get().ClearLog();
    ASSERT_EQ(P11()->C_DestroyObject(session, certA), CKR_OK);
    EXPECT_NE(TestEnv::Get().ReadLog().find("C_DestroyObject(): prazdny kontejner smazan"), std::string::npos);
    EXPECT_EQ(Containers("ds-order"), before - 1);

    // Neither a data file nor a root certificate takes a key container with it.
    TestEnv::Get().ClearLog();
    ASSERT_EQ(P11()->C_DestroyObject(session, DataFile(session)), CKR_OK);
    ASSERT_EQ(P11()->C_DestroyObject(session, One(session, CKO_CERTIFICATE, kRoot)), CKR_OK);
    EXPECT_EQ(TestEnv::Get().ReadLog().find("prazdny kontejner smazan"), std::string::npos);
    dump = Dump("ds-order");
    EXPECT_EQ(dump.find("data file"), std::string::npos) << dump;
    EXPECT_NE(dump.find("label=\"pair-b\""), std::string::npos) << dump;

    // Read again from the card, the list holds the second pair alone.
    ASSERT_EQ(P11()->C_CloseAllSessions(slot), CKR_OK);
    session = UserSession(slot);
    std::vector<CK_OBJECT_HANDLE> all = vctest::FindAll(session, nullptr, 0);
    EXPECT_EQ(all.size(), 2u);
    P11()->C_CloseAllSessions(slot);
}

TEST(DestroyObject, AccessRulesAndFailedDeletionsKeepTheObject) {
    CK_SLOT_ID slot = CardWithContents("ds-rules");
    P11()->C_CloseAllSessions(slot);
    CK_SESSION_HANDLE session = vctest::OpenSession(slot, true);
    CK_OBJECT_HANDLE root = One(session, CKO_CERTIFICATE, kRoot);

    EXPECT_EQ(P11()->C_DestroyObject(0, root), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_DestroyObject(session, 0), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(P11()->C_DestroyObject(session, 0xFFFF), CKR_OBJECT_HANDLE_INVALID);
    CK_OBJECT_HANDLE copy = 0;
    EXPECT_EQ(P11()->C_CopyObject(session, root, nullptr, 0, &copy), CKR_FUNCTION_NOT_SUPPORTED);

    // A public token object without a login: the card cannot be logged in from the empty
    // PIN cache, and the object stays.
    EXPECT_EQ(P11()->C_DestroyObject(session, root), CKR_FUNCTION_FAILED);
    EXPECT_TRUE(Exists(session, root));

    // A private object needs a user session; once logged in the same handle goes.
    ASSERT_EQ(P11()->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, 4), CKR_OK);
    CK_OBJECT_HANDLE privB = One(session, CKO_PRIVATE_KEY, kPairB);
    ASSERT_EQ(P11()->C_Logout(session), CKR_OK);
    EXPECT_EQ(P11()->C_DestroyObject(session, privB), CKR_TOKEN_WRITE_PROTECTED);
    ASSERT_EQ(P11()->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kUserPin, 4), CKR_OK);
    EXPECT_EQ(P11()->C_DestroyObject(session, privB), CKR_OK);
    EXPECT_EQ(P11()->C_DestroyObject(session, privB), CKR_OBJECT_HANDLE_INVALID);
    P11()->C_CloseAllSessions(slot);
}

TEST(DeleteContainer, PublicKeyTakesThePairAndItsCertificate) {
    auto deleteContainer =
        reinterpret_cast<vctest::DeleteContainerFn>(TestEnv::Get().Symbol("C_DeleteContainer"));
    ASSERT_NE(deleteContainer, nullptr);
    CK_SLOT_ID slot = CardWithContents("dc-pair");
    CK_SESSION_HANDLE session = UserSession(slot);
    CK_OBJECT_HANDLE pubA = One(session, CKO_PUBLIC_KEY, kPairA), privA = One(session, CKO_PRIVATE_KEY, kPairA);
    CK_OBJECT_HANDLE certA = One(session, CKO_CERTIFICATE, kPairA), pubB = One(session, CKO_PUBLIC_KEY, kPairB);
    // A second session of the slot shares the object list.
    CK_SESSION_HANDLE other = vctest::OpenSession(slot, false);
    const size_t before = Containers("dc-pair");

    EXPECT_EQ(deleteContainer(session, 0), CKR_ARGUMENTS_BAD);
    TestEnv::Get().ClearLog();
    EXPECT_EQ(deleteContainer(session, DataFile(session)), CKR_FUNCTION_FAILED);
    EXPECT_NE(TestEnv::Get().ReadLog().find("C_DeleteContainer(): z objektu tohoto typu (0x3) neni mozne dohledat "
                                            "kontejner"),
              std::string::npos);

    ASSERT_EQ(deleteContainer(session, pubA), CKR_OK);
    for (CK_OBJECT_HANDLE gone : {pubA, privA, certA}) {
        CK_OBJECT_CLASS cls = 0;
        CK_ATTRIBUTE attribute = {CKA_CLASS, &cls, sizeof cls};
        EXPECT_EQ(P11()->C_GetAttributeValue(other, gone, &attribute, 1), CKR_OBJECT_HANDLE_INVALID);
        EXPECT_EQ(P11()->C_DestroyObject(session, gone), CKR_OBJECT_HANDLE_INVALID);
    }
    EXPECT_TRUE(Exists(session, pubB));
    EXPECT_EQ(Containers("dc-pair"), before - 1);
    std::string dump = Dump("dc-pair");
    EXPECT_EQ(dump.find("pair-a"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("CN=Client"), std::string::npos) << dump;
    P11()->C_CloseAllSessions(slot);
}
