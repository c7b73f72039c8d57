// Throughput harness for PKCS#11 modules: loads any module by path (or, with --openssl, uses
// OpenSSL directly on the same keys) and prints one line per case: "<case> <value> <unit>".
// scripts/bench.sh runs it on several modules, interleaved, and prints the comparison table.
//
// Tokens are found by label: "bench-a" and "bench-b" hold the RSA keys labelled "rsa2048" and
// "rsa1024" (private and public halves); "bench-<N>" tokens hold the objects of the search case.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string module;
    std::string pin = "1234";
    double seconds = 1.0;
    std::string key2048, key1024;  // PEM files for --openssl
    bool openssl = false;
    std::vector<std::string> cases;
    int setupData = 0;
    std::string token;
};

[[noreturn]] void fail(const char* what, unsigned long rv = 0) {
    std::fprintf(stderr, "vc-bench: %s (0x%lx)\n", what, rv);
    std::exit(1);
}

void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) fail(what, rv);
}

// SHA-256 DigestInfo of a fixed message: the input of a raw CKM_RSA_PKCS signature.
std::vector<unsigned char> digestInfo() {
    static const unsigned char prefix[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    std::vector<unsigned char> out(prefix, prefix + sizeof prefix);
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest("vellumcrest bench", 17, digest, &length, EVP_sha256(), nullptr);
    out.insert(out.end(), digest, digest + 32);
    return out;
}

// Runs op repeatedly for the given time; operations per second.
double rate(double seconds, const std::function<void()>& op) {
    op();  // warm-up, and any one-time set-up of the module
    long count = 0;
    Clock::time_point start = Clock::now(), end = start + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(seconds));
    Clock::time_point now;
    do {
        for (int i = 0; i < 8; ++i) op();
        count += 8;
        now = Clock::now();
    } while (now < end);
    return count / std::chrono::duration<double>(now - start).count();
}

// ---- PKCS#11 module -----------------------------------------------------------------

class Module {
public:
    explicit Module(const std::string& path) {
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) fail(dlerror());
        auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList"));
        if (get == nullptr) fail("no C_GetFunctionList");
        check(get(&f_), "C_GetFunctionList");
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        check(f_->C_Initialize(&args), "C_Initialize");
    }
    ~Module() {
        f_->C_Finalize(nullptr);
        // The module stays mapped: some modules register exit handlers.
    }
    CK_FUNCTION_LIST_PTR F() const { return f_; }

    CK_SLOT_ID Slot(const std::string& label) const {
        CK_ULONG count = 0;
        check(f_->C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
        std::vector<CK_SLOT_ID> slots(count);
        check(f_->C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_TOKEN_INFO info;
            if (f_->C_GetTokenInfo(slots[i], &info) != CKR_OK) continue;
            std::string text(reinterpret_cast<char*>(info.label), sizeof info.label);
            text.erase(text.find_last_not_of(" .") + 1);  // blank- or dot-padded
            if (text == label) return slots[i];
        }
        std::fprintf(stderr, "vc-bench: no token \"%s\"\n", label.c_str());
        std::exit(1);
    }

    CK_SESSION_HANDLE Open(CK_SLOT_ID slot, const std::string& pin) const {
        CK_SESSION_HANDLE session = 0;
        check(f_->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
              "C_OpenSession");
        CK_RV rv = f_->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin.data(), pin.size());
        if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) fail("C_Login", rv);
        return session;
    }

    CK_OBJECT_HANDLE Key(CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls, const char* label) const {
        CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_LABEL, (void*)label, std::strlen(label)}};
        check(f_->C_FindObjectsInit(session, tmpl, 2), "C_FindObjectsInit");
        CK_OBJECT_HANDLE object = 0;
        CK_ULONG found = 0;
        check(f_->C_FindObjects(session, &object, 1, &found), "C_FindObjects");
        f_->C_FindObjectsFinal(session);
        if (found != 1) fail("key not found");
        return object;
    }

private:
    void* handle_ = nullptr;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
};

struct KeyOps {
    const Module* module;
    CK_SESSION_HANDLE session;
    CK_OBJECT_HANDLE privateKey, publicKey;
    CK_ULONG size;
};

KeyOps openKey(const Module& module, CK_SLOT_ID slot, const std::string& pin, const char* label) {
    KeyOps ops{&module, module.Open(slot, pin), 0, 0, 0};
    ops.privateKey = module.Key(ops.session, CKO_PRIVATE_KEY, label);
    ops.publicKey = module.Key(ops.session, CKO_PUBLIC_KEY, label);
    CK_BYTE modulus[1024];
    CK_ATTRIBUTE attribute = {CKA_MODULUS, modulus, sizeof modulus};
    check(module.F()->C_GetAttributeValue(ops.session, ops.publicKey, &attribute, 1), "C_GetAttributeValue");
    ops.size = attribute.ulValueLen;
    return ops;
}

void p11Sign(const KeyOps& k, const std::vector<unsigned char>& data, std::vector<unsigned char>* out) {
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    CK_FUNCTION_LIST_PTR f = k.module->F();
    check(f->C_SignInit(k.session, &mechanism, k.privateKey), "C_SignInit");
    out->resize(k.size);
    CK_ULONG length = out->size();
    check(f->C_Sign(k.session, (CK_BYTE_PTR)data.data(), data.size(), out->data(), &length), "C_Sign");
    out->resize(length);
}

void runModule(const Options& options) {
    Module module(options.module);
    CK_FUNCTION_LIST_PTR f = module.F();
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    const std::vector<unsigned char> data = digestInfo();

    if (options.setupData > 0) {
        CK_SESSION_HANDLE session = module.Open(module.Slot(options.token), options.pin);
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        for (int i = 0; i < options.setupData; ++i) {
            std::string label = "data " + std::to_string(i), value = "value " + std::to_string(i);
            CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                                   {CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_LABEL, (void*)label.data(), label.size()},
                                   {CKA_VALUE, (void*)value.data(), value.size()}};
            CK_OBJECT_HANDLE object = 0;
            check(f->C_CreateObject(session, tmpl, 4, &object), "C_CreateObject");
        }
        return;
    }

    for (const std::string& name : options.cases) {
        double value = 0;
        const char* unit = "ops/s";
        if (name == "sign2048" || name == "sign1024") {
            KeyOps k = openKey(module, module.Slot("bench-a"), options.pin, name == "sign2048" ? "rsa2048" : "rsa1024");
            std::vector<unsigned char> signature;
            value = rate(options.seconds, [&] { p11Sign(k, data, &signature); });
            f->C_CloseSession(k.session);
        } else if (name == "decrypt2048") {
            KeyOps k = openKey(module, module.Slot("bench-a"), options.pin, "rsa2048");
            std::vector<unsigned char> cipher(k.size), plain(k.size);
            CK_ULONG length = cipher.size();
            check(f->C_EncryptInit(k.session, &mechanism, k.publicKey), "C_EncryptInit");
            check(f->C_Encrypt(k.session, (CK_BYTE_PTR)data.data(), 32, cipher.data(), &length), "C_Encrypt");
            value = rate(options.seconds, [&] {
                check(f->C_DecryptInit(k.session, &mechanism, k.privateKey), "C_DecryptInit");
                CK_ULONG plainLength = plain.size();
                check(f->C_Decrypt(k.session, cipher.data(), length, plain.data(), &plainLength), "C_Decrypt");
                if (plainLength != 32) fail("C_Decrypt: wrong length");
            });
            f->C_CloseSession(k.session);
        } else if (name == "verify2048") {
            KeyOps k = openKey(module, module.Slot("bench-a"), options.pin, "rsa2048");
            std::vector<unsigned char> signature;
            p11Sign(k, data, &signature);
            value = rate(options.seconds, [&] {
                check(f->C_VerifyInit(k.session, &mechanism, k.publicKey), "C_VerifyInit");
                check(f->C_Verify(k.session, (CK_BYTE_PTR)data.data(), data.size(), signature.data(),
                                  signature.size()),
                      "C_Verify");
            });
            f->C_CloseSession(k.session);
        } else if (name == "encrypt2048") {
            KeyOps k = openKey(module, module.Slot("bench-a"), options.pin, "rsa2048");
            std::vector<unsigned char> cipher(k.size);
            value = rate(options.seconds, [&] {
                check(f->C_EncryptInit(k.session, &mechanism, k.publicKey), "C_EncryptInit");
                CK_ULONG length = cipher.size();
                check(f->C_Encrypt(k.session, (CK_BYTE_PTR)data.data(), 32, cipher.data(), &length), "C_Encrypt");
            });
            f->C_CloseSession(k.session);
        } else if (name == "threads2") {
            KeyOps keys[2] = {openKey(module, module.Slot("bench-a"), options.pin, "rsa2048"),
                              openKey(module, module.Slot("bench-b"), options.pin, "rsa2048")};
            std::atomic<long> total{0};
            std::atomic<bool> go{false};
            Clock::time_point start;
            std::vector<std::thread> threads;
            for (const KeyOps& k : keys) {
                threads.emplace_back([&, k] {
                    std::vector<unsigned char> signature;
                    p11Sign(k, data, &signature);
                    while (!go) std::this_thread::yield();
                    long count = 0;
                    Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(options.seconds));
                    while (Clock::now() < end) {
                        p11Sign(k, data, &signature);
                        ++count;
                    }
                    total += count;
                });
            }
            start = Clock::now();
            go = true;
            for (std::thread& thread : threads) thread.join();
            value = total / std::chrono::duration<double>(Clock::now() - start).count();
            for (const KeyOps& k : keys) f->C_CloseSession(k.session);
        } else if (name.compare(0, 5, "find-") == 0) {
            // Time of the first search after login: a new session each round (the module
            // reads the card again once the slot's last session closed).
            CK_SLOT_ID slot = module.Slot("bench-" + name.substr(5));
            std::vector<double> times;
            std::vector<CK_OBJECT_HANDLE> handles(4096);
            Clock::time_point stop = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(options.seconds));
            while (times.size() < 3 || (Clock::now() < stop && times.size() < 200)) {
                CK_SESSION_HANDLE session = module.Open(slot, options.pin);
                Clock::time_point t0 = Clock::now();
                check(f->C_FindObjectsInit(session, nullptr, 0), "C_FindObjectsInit");
                CK_ULONG found = 0, all = 0;
                do {
                    check(f->C_FindObjects(session, handles.data(), handles.size(), &found), "C_FindObjects");
                    all += found;
                } while (found > 0);
                f->C_FindObjectsFinal(session);
                times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
                f->C_Logout(session);
                f->C_CloseSession(session);
                if (all < std::stoul(name.substr(5))) fail("search found too few objects");
            }
            std::sort(times.begin(), times.end());
            value = times[times.size() / 2];
            unit = "ms";
        } else {
            fail(("unknown case " + name).c_str());
        }
        std::printf("%s %.3f %s\n", name.c_str(), value, unit);
        std::fflush(stdout);
    }
}

// ---- OpenSSL with kept keys -----------------------------------------------------------

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Pkey loadKey(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) fail("cannot open key file");
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (key == nullptr) fail("cannot read key file");
    return Pkey(key);
}

Pkey publicOnly(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    int length = i2d_PUBKEY(key, &der);
    const unsigned char* cursor = der;
    Pkey result(d2i_PUBKEY(nullptr, &cursor, length));
    OPENSSL_free(der);
    return result;
}

// One PKCS#1 v1.5 operation with a fresh context on a kept key, as a module would do it.
void sslOp(EVP_PKEY* key, int kind, const std::vector<unsigned char>& in, std::vector<unsigned char>* out) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    int ok = ctx != nullptr;
    size_t length = out->size();
    switch (kind) {
    case 0:
        ok = ok && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_sign(ctx, out->data(), &length, in.data(), in.size()) == 1;
        break;
    case 1:
        ok = ok && EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_decrypt(ctx, out->data(), &length, in.data(), in.size()) == 1;
        break;
    case 2:
        ok = ok && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_encrypt(ctx, out->data(), &length, in.data(), 32) == 1;
        break;
    }
    EVP_PKEY_CTX_free(ctx);
    if (!ok) fail("OpenSSL operation failed");
}

bool sslVerify(EVP_PKEY* key, const std::vector<unsigned char>& data, const std::vector<unsigned char>& signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx != nullptr && EVP_PKEY_verify_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_verify(ctx, signature.data(), signature.size(), data.data(), data.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

void runOpenSsl(const Options& options) {
    Pkey key2048 = loadKey(options.key2048), key1024 = loadKey(options.key1024);
    Pkey public2048 = publicOnly(key2048.get());
    const std::vector<unsigned char> data = digestInfo();
    std::vector<unsigned char> out(256), signature(256), cipher(256);
    sslOp(key2048.get(), 0, data, &signature);
    sslOp(public2048.get(), 2, data, &cipher);
    for (const std::string& name : options.cases) {
        double value = 0;
        if (name == "sign2048") {
            value = rate(options.seconds, [&] { sslOp(key2048.get(), 0, data, &out); });
        } else if (name == "sign1024") {
            std::vector<unsigned char> small(128);
            value = rate(options.seconds, [&] { sslOp(key1024.get(), 0, data, &small); });
        } else if (name == "decrypt2048") {
            value = rate(options.seconds, [&] { sslOp(key2048.get(), 1, cipher, &out); });
        } else if (name == "verify2048") {
            value = rate(options.seconds, [&] {
                if (!sslVerify(public2048.get(), data, signature)) fail("verification failed");
            });
        } else if (name == "encrypt2048") {
            value = rate(options.seconds, [&] { sslOp(public2048.get(), 2, data, &out); });
        } else if (name == "threads2") {
            // Two threads, each with its own copy of the key (as two tokens would hold it).
            std::atomic<long> total{0};
            Clock::time_point start = Clock::now();
            std::vector<std::thread> threads;
            for (int t = 0; t < 2; ++t) {
                threads.emplace_back([&] {
                    Pkey key = loadKey(options.key2048);
                    std::vector<unsigned char> local(256);
                    long count = 0;
                    Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(options.seconds));
                    while (Clock::now() < end) {
                        sslOp(key.get(), 0, data, &local);
                        ++count;
                    }
                    total += count;
                });
            }
            for (std::thread& thread : threads) thread.join();
            value = total / std::chrono::duration<double>(Clock::now() - start).count();
        } else {
            continue;  // no OpenSSL counterpart (searches)
        }
        std::printf("%s %.3f ops/s\n", name.c_str(), value);
        std::fflush(stdout);
    }
}

void usage() {
    std::fprintf(stderr,
                 "usage: vc-bench (--module PATH | --openssl --key-2048 PEM --key-1024 PEM) [--pin PIN]\n"
                 "                [--seconds S] CASE...\n"
                 "       vc-bench --module PATH --token LABEL --setup-data N [--pin PIN]\n"
                 "cases: sign2048 sign1024 decrypt2048 verify2048 encrypt2048 threads2 find-<N>\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage();
            return argv[++i];
        };
        if (arg == "--module") options.module = value();
        else if (arg == "--openssl") options.openssl = true;
        else if (arg == "--key-2048") options.key2048 = value();
        else if (arg == "--key-1024") options.key1024 = value();
        else if (arg == "--pin") options.pin = value();
        else if (arg == "--seconds") options.seconds = std::atof(value().c_str());
        else if (arg == "--setup-data") options.setupData = std::atoi(value().c_str());
        else if (arg == "--token") options.token = value();
        else if (!arg.empty() && arg[0] == '-') usage();
        else options.cases.push_back(arg);
    }
    if (options.openssl ? (options.key2048.empty() || options.key1024.empty()) : options.module.empty()) usage();
    if (options.openssl) runOpenSsl(options);
    else runModule(options);
    return 0;
}
