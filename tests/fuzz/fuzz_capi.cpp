// C_ call sequences. The input is read as a program: each step picks a C_ function by
// one byte and takes its arguments (handles from the ones seen so far or raw values,
// templates, PINs, data, output buffer sizes) from the following bytes. The module runs
// on virtual cards in a temporary readers directory (tmpfs when there is one), made once
// with the card tool and put back before every input, so that a blocked PIN or a
// re-initialised token does not carry over. Every output buffer is allocated with exactly
// the size the call is told, so that a write past it is caught.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vellumcrest/pkcs11.h"
#include "vellumcrest/vendor.h"

namespace {

std::string gRoot;
std::vector<std::pair<std::string, std::string>> gPristine;  // card image path, content
CK_FUNCTION_LIST_PTR p11 = nullptr;

void runTool(const std::string& args) {
    std::string command = "ASAN_OPTIONS=detect_leaks=0 '" + std::string(VC_TOOL_PATH) + "' --readers-dir '" + gRoot +
                          "/readers' " + args + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "fuzz_capi: card tool failed: %s\n", args.c_str());
        std::exit(1);
    }
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void removeRoot() {
    if (!gRoot.empty()) std::system(("rm -rf '" + gRoot + "'").c_str());
}

// Puts the cards back as they were made (atomically, as the card core writes them).
void restoreCards() {
    for (const auto& card : gPristine) {
        std::string temp = card.first + ".fuzz-restore";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << card.second;
        }
        std::rename(temp.c_str(), card.first.c_str());
    }
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return offset_ >= size_; }
    uint8_t U8() { return offset_ < size_ ? data_[offset_++] : 0; }
    uint32_t U32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | U8();
        return value;
    }
    std::vector<unsigned char> Bytes(size_t max) {
        size_t length = U8() % (max + 1);
        std::vector<unsigned char> out;
        while (out.size() < length && !Empty()) out.push_back(U8());
        return out;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// A buffer of exactly the size handed to the module; empty() gives a null pointer.
struct OutBuffer {
    std::vector<unsigned char> bytes;
    CK_ULONG length = 0;
    bool null = false;
    unsigned char* Data() { return null ? nullptr : (bytes.empty() ? reinterpret_cast<unsigned char*>(1) : bytes.data()); }
};

OutBuffer outBuffer(Input& in) {
    static const CK_ULONG sizes[] = {0, 1, 16, 20, 64, 127, 128, 255, 256, 512, 4096};
    OutBuffer out;
    uint8_t pick = in.U8();
    if (pick % 8 == 0) {
        out.null = true;
        out.length = pick % 3 == 0 ? 0 : 256;
        return out;
    }
    out.length = sizes[pick % (sizeof sizes / sizeof sizes[0])];
    out.bytes.assign(out.length == 0 ? 1 : out.length, 0xCC);  // a zero-length buffer still needs a valid pointer
    if (out.length == 0) out.bytes.clear();
    return out;
}

struct State {
    std::vector<CK_SLOT_ID> slots;
    std::vector<CK_SESSION_HANDLE> sessions;
    std::vector<CK_OBJECT_HANDLE> objects;
};

template <typename T>
T pick(Input& in, const std::vector<T>& known) {
    uint8_t choice = in.U8();
    if (choice < 200 && !known.empty()) return known[choice % known.size()];
    switch (choice % 4) {
    case 0: return 0;
    case 1: return static_cast<T>(in.U8());
    case 2: return static_cast<T>(0xFFFF);
    default: return static_cast<T>(in.U32());
    }
}

CK_MECHANISM_TYPE mechanism(Input& in) {
    static const CK_MECHANISM_TYPE known[] = {CKM_RSA_PKCS, CKM_RSA_X_509, CKM_SHA1_RSA_PKCS, CKM_SHA256_RSA_PKCS,
                                              CKM_MD5_RSA_PKCS, CKM_SHA_1, CKM_SHA256, CKM_SHA384, CKM_SHA512,
                                              CKM_MD5, CKM_MD2, CKM_RSA_PKCS_KEY_PAIR_GEN, CKM_SHA224};
    uint8_t choice = in.U8();
    if (choice < 240) return known[choice % (sizeof known / sizeof known[0])];
    return in.U32();
}

CK_ATTRIBUTE_TYPE attributeType(Input& in) {
    static const CK_ATTRIBUTE_TYPE known[] = {
        CKA_CLASS, CKA_TOKEN, CKA_PRIVATE, CKA_LABEL, CKA_APPLICATION, CKA_VALUE, CKA_OBJECT_ID,
        CKA_CERTIFICATE_TYPE, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_SUBJECT, CKA_ID, CKA_KEY_TYPE, CKA_SENSITIVE,
        CKA_ENCRYPT, CKA_DECRYPT, CKA_SIGN, CKA_VERIFY, CKA_MODULUS, CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT,
        CKA_EXTRACTABLE, CKA_MODIFIABLE, CKA_ALWAYS_AUTHENTICATE, CKA_TRUSTED, CKA_ESIGN, CKA_VELLUMCREST_PROOF,
        CKA_ORVOAPP, CKA_TWINS, CKA_PRIVATE_EXPONENT, CKA_LOCAL, CKA_START_DATE};
    uint8_t choice = in.U8();
    if (choice < 240) return known[choice % (sizeof known / sizeof known[0])];
    return in.U32();
}

// A template with values from the input; the storage lives in values.
std::vector<CK_ATTRIBUTE> inputTemplate(Input& in, std::vector<std::vector<unsigned char>>& values) {
    size_t count = in.U8() % 6;
    std::vector<CK_ATTRIBUTE> attributes;
    values.clear();
    values.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        CK_ATTRIBUTE_TYPE type = attributeType(in);
        uint8_t form = in.U8();
        std::vector<unsigned char> value;
        if (form % 4 == 0) {
            CK_ULONG number = in.U8() % 5;  // CKO_DATA .. CKO_SECRET_KEY, or CKK_RSA
            value.assign(reinterpret_cast<unsigned char*>(&number), reinterpret_cast<unsigned char*>(&number) + sizeof number);
        } else if (form % 4 == 1) {
            value.push_back(in.U8() & 1);  // CK_BBOOL
        } else {
            value = in.Bytes(96);
        }
        values.push_back(value);
        bool nullValue = form >= 250;
        attributes.push_back({type, nullValue || values.back().empty() ? nullptr : values.back().data(),
                              nullValue ? 0 : static_cast<CK_ULONG>(values.back().size())});
    }
    return attributes;
}

std::vector<unsigned char> pin(Input& in) {
    switch (in.U8() % 5) {
    case 0: return {'1', '2', '3', '4'};
    case 1: return {'1', '2', '3', '4', '5', '6', '7', '8'};
    case 2: return {'0', '0', '0', '0'};
    case 3: return {'n', 'o', 'n', 'e'};
    default: return in.Bytes(20);
    }
}

void step(Input& in, State& s) {
    CK_RV rv = CKR_OK;
    switch (in.U8() % 36) {
    case 0: {
        OutBuffer out = outBuffer(in);
        CK_ULONG count = out.length / sizeof(CK_SLOT_ID);
        std::vector<CK_SLOT_ID> list(count + 1);
        rv = p11->C_GetSlotList(in.U8() & 1, out.null ? nullptr : list.data(), &count);
        if (rv == CKR_OK && !out.null) s.slots.assign(list.begin(), list.begin() + count);
        break;
    }
    case 1: {
        CK_SLOT_INFO info;
        p11->C_GetSlotInfo(pick(in, s.slots), in.U8() == 0 ? nullptr : &info);
        break;
    }
    case 2: {
        CK_TOKEN_INFO info;
        p11->C_GetTokenInfo(pick(in, s.slots), in.U8() == 0 ? nullptr : &info);
        break;
    }
    case 3: {
        CK_SESSION_HANDLE session = 0;
        CK_FLAGS flags = in.U8() % 4 == 0 ? CKF_SERIAL_SESSION : CKF_SERIAL_SESSION | CKF_RW_SESSION;
        if (in.U8() == 0) flags = 0;
        if (p11->C_OpenSession(pick(in, s.slots), flags, nullptr, nullptr, &session) == CKR_OK)
            s.sessions.push_back(session);
        break;
    }
    case 4: p11->C_CloseSession(pick(in, s.sessions)); break;
    case 5: p11->C_CloseAllSessions(pick(in, s.slots)); break;
    case 6: {
        CK_SESSION_INFO info;
        p11->C_GetSessionInfo(pick(in, s.sessions), in.U8() == 0 ? nullptr : &info);
        break;
    }
    case 7: {
        CK_USER_TYPE user = in.U8() % 4;  // SO, user, context specific, invalid
        std::vector<unsigned char> value = pin(in);
        p11->C_Login(pick(in, s.sessions), user, value.empty() ? nullptr : value.data(), value.size());
        break;
    }
    case 8: p11->C_Logout(pick(in, s.sessions)); break;
    case 9: {
        std::vector<std::vector<unsigned char>> values;
        std::vector<CK_ATTRIBUTE> attributes = inputTemplate(in, values);
        p11->C_FindObjectsInit(pick(in, s.sessions), attributes.empty() ? nullptr : attributes.data(),
                               attributes.size());
        break;
    }
    case 10: {
        CK_ULONG max = in.U8() % 9;
        std::vector<CK_OBJECT_HANDLE> found(max == 0 ? 1 : max);
        CK_ULONG count = 0;
        if (p11->C_FindObjects(pick(in, s.sessions), found.data(), max, &count) == CKR_OK && count <= max)
            s.objects.insert(s.objects.end(), found.begin(), found.begin() + count);
        break;
    }
    case 11: p11->C_FindObjectsFinal(pick(in, s.sessions)); break;
    case 12: {
        size_t count = 1 + in.U8() % 4;
        std::vector<CK_ATTRIBUTE> attributes(count);
        std::vector<OutBuffer> buffers(count);
        for (size_t i = 0; i < count; ++i) {
            buffers[i] = outBuffer(in);
            attributes[i] = {attributeType(in), buffers[i].null ? nullptr : buffers[i].Data(), buffers[i].length};
        }
        p11->C_GetAttributeValue(pick(in, s.sessions), pick(in, s.objects), attributes.data(), count);
        break;
    }
    case 13: {
        CK_ULONG size = 0;
        p11->C_GetObjectSize(pick(in, s.sessions), pick(in, s.objects), &size);
        break;
    }
    case 14:
    case 15:
    case 16:
    case 17:
    case 18: {
        // Init of sign, verify, encrypt, decrypt or digest.
        int which = 0;
        in.U8();
        CK_MECHANISM mech = {mechanism(in), nullptr, 0};
        std::vector<unsigned char> parameter;
        if (in.U8() >= 240) {
            parameter = in.Bytes(16);
            mech.pParameter = parameter.empty() ? nullptr : parameter.data();
            mech.ulParameterLen = parameter.size();
        }
        CK_SESSION_HANDLE session = pick(in, s.sessions);
        CK_OBJECT_HANDLE key = pick(in, s.objects);
        which = in.U8() % 5;
        switch (which) {
        case 0: p11->C_SignInit(session, &mech, key); break;
        case 1: p11->C_VerifyInit(session, &mech, key); break;
        case 2: p11->C_EncryptInit(session, &mech, key); break;
        case 3: p11->C_DecryptInit(session, &mech, key); break;
        default: p11->C_DigestInit(session, in.U8() == 0 ? nullptr : &mech); break;
        }
        break;
    }
    case 19:
    case 20:
    case 21: {
        // One-part sign, encrypt, decrypt or digest.
        CK_SESSION_HANDLE session = pick(in, s.sessions);
        std::vector<unsigned char> data = in.Bytes(255);
        OutBuffer out = outBuffer(in);
        CK_ULONG length = out.length;
        unsigned char* input = data.empty() ? nullptr : data.data();
        switch (in.U8() % 4) {
        case 0: p11->C_Sign(session, input, data.size(), out.Data(), &length); break;
        case 1: p11->C_Encrypt(session, input, data.size(), out.Data(), &length); break;
        case 2: p11->C_Decrypt(session, input, data.size(), out.Data(), &length); break;
        default: p11->C_Digest(session, input, data.size(), out.Data(), &length); break;
        }
        break;
    }
    case 22: {
        CK_SESSION_HANDLE session = pick(in, s.sessions);
        std::vector<unsigned char> data = in.Bytes(255);
        std::vector<unsigned char> signature = in.Bytes(255);
        p11->C_Verify(session, data.empty() ? nullptr : data.data(), data.size(),
                      signature.empty() ? nullptr : signature.data(), signature.size());
        break;
    }
    case 23: {
        // Multi-part continuations and finals.
        CK_SESSION_HANDLE session = pick(in, s.sessions);
        std::vector<unsigned char> data = in.Bytes(200);
        unsigned char* input = data.empty() ? nullptr : data.data();
        OutBuffer out = outBuffer(in);
        CK_ULONG length = out.length;
        switch (in.U8() % 6) {
        case 0: p11->C_SignUpdate(session, input, data.size()); break;
        case 1: p11->C_SignFinal(session, out.Data(), &length); break;
        case 2: p11->C_DigestUpdate(session, input, data.size()); break;
        case 3: p11->C_DigestFinal(session, out.Data(), &length); break;
        case 4: p11->C_VerifyUpdate(session, input, data.size()); break;
        default: p11->C_VerifyFinal(session, input, data.size()); break;
        }
        break;
    }
    case 24: {
        OutBuffer out = outBuffer(in);
        CK_ULONG count = out.length / sizeof(CK_MECHANISM_TYPE);
        std::vector<CK_MECHANISM_TYPE> list(count + 1);
        p11->C_GetMechanismList(pick(in, s.slots), out.null ? nullptr : list.data(), &count);
        CK_MECHANISM_INFO info;
        p11->C_GetMechanismInfo(pick(in, s.slots), mechanism(in), &info);
        break;
    }
    case 25: {
        std::vector<unsigned char> oldPin = pin(in), newPin = pin(in);
        p11->C_SetPIN(pick(in, s.sessions), oldPin.empty() ? nullptr : oldPin.data(), oldPin.size(),
                      newPin.empty() ? nullptr : newPin.data(), newPin.size());
        break;
    }
    case 26: {
        std::vector<unsigned char> value = pin(in);
        p11->C_InitPIN(pick(in, s.sessions), value.empty() ? nullptr : value.data(), value.size());
        break;
    }
    case 27: {
        std::vector<unsigned char> value = pin(in);
        unsigned char label[32];
        std::memset(label, ' ', sizeof label);
        std::vector<unsigned char> text = in.Bytes(32);
        if (!text.empty()) std::memcpy(label, text.data(), text.size());
        p11->C_InitToken(pick(in, s.slots), value.empty() ? nullptr : value.data(), value.size(),
                         in.U8() == 0 ? nullptr : label);
        break;
    }
    case 28: {
        std::vector<std::vector<unsigned char>> values;
        std::vector<CK_ATTRIBUTE> attributes = inputTemplate(in, values);
        CK_OBJECT_HANDLE object = 0;
        if (p11->C_CreateObject(pick(in, s.sessions), attributes.empty() ? nullptr : attributes.data(),
                                attributes.size(), &object) == CKR_OK)
            s.objects.push_back(object);
        break;
    }
    case 29: p11->C_DestroyObject(pick(in, s.sessions), pick(in, s.objects)); break;
    case 30: {
        std::vector<std::vector<unsigned char>> values;
        std::vector<CK_ATTRIBUTE> attributes = inputTemplate(in, values);
        p11->C_SetAttributeValue(pick(in, s.sessions), pick(in, s.objects),
                                 attributes.empty() ? nullptr : attributes.data(), attributes.size());
        break;
    }
    case 31: {
        // Key-pair generation is slow; only 1024-bit keys, and only on an explicit byte.
        if (in.U8() != 0x4B) break;
        CK_MECHANISM mech = {CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_ULONG bits = 1024;
        CK_BBOOL yes = CK_TRUE;
        CK_ATTRIBUTE publicTemplate[] = {{CKA_MODULUS_BITS, &bits, sizeof bits}, {CKA_VERIFY, &yes, sizeof yes}};
        CK_ATTRIBUTE privateTemplate[] = {{CKA_SIGN, &yes, sizeof yes}};
        CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
        if (p11->C_GenerateKeyPair(pick(in, s.sessions), &mech, publicTemplate, 2, privateTemplate, 1, &publicKey,
                                   &privateKey) == CKR_OK) {
            s.objects.push_back(publicKey);
            s.objects.push_back(privateKey);
        }
        break;
    }
    case 32: C_DeleteContainer(pick(in, s.sessions), pick(in, s.objects)); break;
    case 33: C_PINPadPseudoLogin(pick(in, s.sessions)); break;
    case 34: {
        CK_SLOT_ID slot = 0;
        p11->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr);  // never the blocking form
        CK_INFO info;
        p11->C_GetInfo(&info);
        CK_ULONG count = 8;
        CK_SLOT_ID list[8];
        C_GetSlotListEx(CK_FALSE, list, &count, in.U8() & 1);
        break;
    }
    default: {
        // Finalize and initialize again: sessions stay as they are.
        p11->C_Finalize(nullptr);
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = in.U8() & 1 ? CKF_OS_LOCKING_OK : 0;
        p11->C_Initialize(in.U8() & 1 ? &args : nullptr);
        break;
    }
    }
    (void)rv;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/vc-fuzz-capi-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) return 1;
    gRoot = pattern;
    std::atexit(removeRoot);
    ::mkdir((gRoot + "/readers").c_str(), 0700);
    ::setenv("VELLUMCREST_READERS_DIR", (gRoot + "/readers").c_str(), 1);

    runTool("reader-add R1");
    runTool("card-create '" + gRoot + "/c1.vcard' --type 1 --user-pin 1234 --so-pin 12345678");
    runTool("card-insert R1 '" + gRoot + "/c1.vcard'");
    runTool("key-generate @R1 --bits 1024 --label sign --usage sign,decrypt");
    {
        std::ofstream(gRoot + "/data.bin") << "fuzz data object";
    }
    runTool("data-add @R1 --file '" + gRoot + "/data.bin' --label notes");
    runTool("reader-add R2 --pinpad --pinpad-pin 1234");
    runTool("card-create '" + gRoot + "/c2.vcard' --type 4 --user-pin 1234 --so-pin 12345678 --esign-places 1");
    runTool("card-insert R2 '" + gRoot + "/c2.vcard'");
    runTool("key-generate @R2 --bits 1024 --label esign --usage esign");
    runTool("reader-add R3");  // empty
    for (const char* reader : {"R1", "R2"}) {
        std::string path = gRoot + "/readers/" + reader + "/card.vcard";
        gPristine.emplace_back(path, readAll(path));
    }
    return C_GetFunctionList(&p11) == CKR_OK ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    restoreCards();
    p11->C_Initialize(nullptr);
    Input in(data, size);
    State s;
    for (int steps = 0; steps < 48 && !in.Empty(); ++steps) step(in, s);
    // Nothing carries over to the next input: every session is closed.
    p11->C_Initialize(nullptr);
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    if (p11->C_GetSlotList(CK_FALSE, slots, &count) == CKR_OK)
        for (CK_ULONG i = 0; i < count; ++i) p11->C_CloseAllSessions(slots[i]);
    for (CK_SLOT_ID slot : s.slots) p11->C_CloseAllSessions(slot);
    p11->C_Finalize(nullptr);
    return 0;
}
