// Throughput harness for PKCS#11 modules: loads any number of modules by path, and OpenSSL
// itself on the same keys, into one process and measures each case on all of them
// interleaved in short slices, so that the ratios between them hold on a busy machine. One
// line per target and case: "<target> <case> <value> <unit>". scripts/bench.sh prints the
// comparison table.
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
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <p11-kit/pkcs11.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::vector<std::pair<std::string, std::string>> modules;  // name, path
    std::map<std::string, std::string> configs;                // name, VELLUMCREST_CONFIG while it loads
    std::string pin = "1234";
    double seconds = 1.0;
    std::string key2048, key1024;  // PEM files of the OpenSSL target
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

Clock::duration span(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// One measured operation of a target; more than one op runs them on that many threads at
// once (ops[i] on thread i).
struct Runner {
    std::string target;
    std::vector<std::function<void()>> ops;
};

// Runs every runner in turn for a slice at a time until each had `seconds` in total;
// operations per second of each.
std::vector<double> interleaved(std::vector<Runner>& runners, double seconds, double slice) {
    std::vector<long> counts(runners.size(), 0);
    std::vector<double> elapsed(runners.size(), 0);
    for (Runner& runner : runners)
        for (auto& op : runner.ops) op();  // warm-up, and any one-time set-up
    while (elapsed[0] < seconds) {
        for (size_t r = 0; r < runners.size(); ++r) {
            std::atomic<long> done{0};
            Clock::time_point start = Clock::now(), end = start + span(slice);
            auto loop = [&](const std::function<void()>& op) {
                long n = 0;
                do {
                    op();
                    ++n;
                } while (Clock::now() < end);
                done += n;
            };
            if (runners[r].ops.size() == 1) {
                loop(runners[r].ops[0]);
            } else {
                std::vector<std::thread> threads;
                for (auto& op : runners[r].ops) threads.emplace_back(loop, std::cref(op));
                for (std::thread& thread : threads) thread.join();
            }
            counts[r] += done;
            elapsed[r] += std::chrono::duration<double>(Clock::now() - start).count();
        }
    }
    std::vector<double> rates;
    for (size_t r = 0; r < runners.size(); ++r) rates.push_back(counts[r] / elapsed[r]);
    return rates;
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

// ---- Cases ------------------------------------------------------------------------------

struct Target {
    std::string name;
    std::unique_ptr<Module> module;  // null: OpenSSL
};

struct SslKeys {
    Pkey key2048, key1024, public2048, public1024, second2048;  // second2048: the key of the second "slot"
    std::vector<unsigned char> signature, cipher, cipher1024;
};

std::function<void()> moduleOp(const std::string& name, const KeyOps& k, const std::vector<unsigned char>& data) {
    CK_FUNCTION_LIST_PTR f = k.module->F();
    CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
    if (name == "sign") {
        return [k, data, out = std::vector<unsigned char>()]() mutable { p11Sign(k, data, &out); };
    }
    std::vector<unsigned char> signature, cipher(k.size);
    p11Sign(k, data, &signature);
    CK_ULONG length = cipher.size();
    check(f->C_EncryptInit(k.session, &mechanism, k.publicKey), "C_EncryptInit");
    check(f->C_Encrypt(k.session, (CK_BYTE_PTR)data.data(), 32, cipher.data(), &length), "C_Encrypt");
    cipher.resize(length);
    if (name == "decrypt") {
        return [=, plain = std::vector<unsigned char>(k.size)]() mutable {
            check(f->C_DecryptInit(k.session, &mechanism, k.privateKey), "C_DecryptInit");
            CK_ULONG plainLength = plain.size();
            check(f->C_Decrypt(k.session, cipher.data(), cipher.size(), plain.data(), &plainLength), "C_Decrypt");
            if (plainLength != 32) fail("C_Decrypt: wrong length");
        };
    }
    if (name == "verify") {
        return [=]() mutable {
            check(f->C_VerifyInit(k.session, &mechanism, k.publicKey), "C_VerifyInit");
            check(f->C_Verify(k.session, (CK_BYTE_PTR)data.data(), data.size(), signature.data(), signature.size()),
                  "C_Verify");
        };
    }
    return [=, out = std::vector<unsigned char>(k.size)]() mutable {
        check(f->C_EncryptInit(k.session, &mechanism, k.publicKey), "C_EncryptInit");
        CK_ULONG outLength = out.size();
        check(f->C_Encrypt(k.session, (CK_BYTE_PTR)data.data(), 32, out.data(), &outLength), "C_Encrypt");
    };
}

std::function<void()> sslCaseOp(const std::string& name, EVP_PKEY* key, const SslKeys& keys,
                                 const std::vector<unsigned char>& data) {
    std::vector<unsigned char> out(256);
    if (name == "sign") return [=]() mutable { sslOp(key, 0, data, &out); };
    if (name == "decrypt") {
        const std::vector<unsigned char>& cipher = key == keys.key1024.get() ? keys.cipher1024 : keys.cipher;
        return [=, &cipher]() mutable { sslOp(key, 1, cipher, &out); };
    }
    if (name == "verify")
        return [=, &keys] {
            if (!sslVerify(keys.public2048.get(), data, keys.signature)) fail("verification failed");
        };
    return [=, &keys]() mutable { sslOp(keys.public2048.get(), 2, data, &out); };
}

// Time of the first search after login, alternating the modules: a new session each round
// (the module reads the card again once the slot's last session closed). Median in ms.
void findCase(std::vector<Target>& targets, const Options& options, const std::string& name) {
    unsigned long count = std::stoul(name.substr(5));
    std::vector<std::vector<double>> times(targets.size());
    std::vector<CK_OBJECT_HANDLE> handles(4096);
    Clock::time_point stop = Clock::now() + span(options.seconds * targets.size());
    while (times[0].size() < 3 || (Clock::now() < stop && times[0].size() < 200)) {
        for (size_t t = 0; t < targets.size(); ++t) {
            if (!targets[t].module) continue;
            const Module& module = *targets[t].module;
            CK_FUNCTION_LIST_PTR f = module.F();
            CK_SESSION_HANDLE session = module.Open(module.Slot("bench-" + name.substr(5)), options.pin);
            Clock::time_point t0 = Clock::now();
            check(f->C_FindObjectsInit(session, nullptr, 0), "C_FindObjectsInit");
            CK_ULONG found = 0, all = 0;
            do {
                check(f->C_FindObjects(session, handles.data(), handles.size(), &found), "C_FindObjects");
                all += found;
            } while (found > 0);
            f->C_FindObjectsFinal(session);
            times[t].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            f->C_Logout(session);
            f->C_CloseSession(session);
            if (all < count) fail("search found too few objects");
        }
    }
    for (size_t t = 0; t < targets.size(); ++t) {
        if (times[t].empty()) continue;
        std::sort(times[t].begin(), times[t].end());
        std::printf("%s %s %.4f ms\n", targets[t].name.c_str(), name.c_str(), times[t][times[t].size() / 2]);
    }
}

// A module with its own configuration file: the module reads VELLUMCREST_CONFIG while it is
// loaded and initialised, so a copy of it at another path is a second instance with its own.
std::unique_ptr<Module> loadModule(const Options& options, const std::string& name, const std::string& path) {
    auto config = options.configs.find(name);
    if (config == options.configs.end()) return std::make_unique<Module>(path);
    const char* previous = std::getenv("VELLUMCREST_CONFIG");
    std::string saved = previous != nullptr ? previous : "";
    setenv("VELLUMCREST_CONFIG", config->second.c_str(), 1);
    auto module = std::make_unique<Module>(path);
    if (previous != nullptr) setenv("VELLUMCREST_CONFIG", saved.c_str(), 1);
    else unsetenv("VELLUMCREST_CONFIG");
    return module;
}

void run(const Options& options) {
    std::vector<Target> targets;
    for (const auto& module : options.modules)
        targets.push_back(Target{module.first, loadModule(options, module.first, module.second)});
    SslKeys keys;
    const std::vector<unsigned char> data = digestInfo();
    if (!options.key2048.empty()) {
        targets.push_back(Target{"openssl", nullptr});
        keys.key2048 = loadKey(options.key2048);
        keys.second2048 = loadKey(options.key2048);
        keys.key1024 = loadKey(options.key1024);
        keys.public2048 = publicOnly(keys.key2048.get());
        keys.signature.resize(256);
        keys.cipher.resize(256);
        sslOp(keys.key2048.get(), 0, data, &keys.signature);
        sslOp(keys.public2048.get(), 2, data, &keys.cipher);
        keys.public1024 = publicOnly(keys.key1024.get());
        keys.cipher1024.resize(128);
        sslOp(keys.public1024.get(), 2, data, &keys.cipher1024);
    }
    if (targets.empty()) fail("no target");

    for (const std::string& name : options.cases) {
        if (name.compare(0, 5, "find-") == 0) {
            findCase(targets, options, name);
            std::fflush(stdout);
            continue;
        }
        bool threads = name == "threads";
        std::string op = threads ? "sign" : name.substr(0, name.size() - 4);
        const bool small = name.size() > 4 && name.compare(name.size() - 4, 4, "1024") == 0;
        const char* label = small ? "rsa1024" : "rsa2048";
        if (!threads && op != "sign" && op != "decrypt" && op != "verify" && op != "encrypt")
            fail(("unknown case " + name).c_str());
        std::vector<Runner> runners;
        std::vector<KeyOps> opened;
        for (Target& target : targets) {
            if (target.module) {
                const Module& module = *target.module;
                KeyOps a = openKey(module, module.Slot("bench-a"), options.pin, label);
                opened.push_back(a);
                if (!threads) {
                    runners.push_back(Runner{target.name + " " + name, {moduleOp(op, a, data)}});
                    continue;
                }
                KeyOps b = openKey(module, module.Slot("bench-b"), options.pin, label);
                opened.push_back(b);
                runners.push_back(Runner{target.name + " threads1", {moduleOp(op, a, data)}});
                runners.push_back(Runner{target.name + " threads2", {moduleOp(op, a, data), moduleOp(op, b, data)}});
            } else {
                EVP_PKEY* key = small ? keys.key1024.get() : keys.key2048.get();
                if (!threads) {
                    runners.push_back(Runner{target.name + " " + name, {sslCaseOp(op, key, keys, data)}});
                    continue;
                }
                runners.push_back(Runner{target.name + " threads1", {sslCaseOp(op, key, keys, data)}});
                runners.push_back(Runner{target.name + " threads2",
                                         {sslCaseOp(op, key, keys, data),
                                          sslCaseOp(op, keys.second2048.get(), keys, data)}});
            }
        }
        std::vector<double> rates = interleaved(runners, options.seconds, threads ? 0.1 : 0.02);
        for (size_t r = 0; r < runners.size(); ++r) std::printf("%s %.3f ops/s\n", runners[r].target.c_str(), rates[r]);
        std::fflush(stdout);
        for (const KeyOps& k : opened) k.module->F()->C_CloseSession(k.session);
    }
}

void setupData(const Options& options) {
    Module module(options.modules.at(0).second);
    CK_FUNCTION_LIST_PTR f = module.F();
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
}

void usage() {
    std::fprintf(stderr,
                 "usage: vc-bench [--module NAME=PATH [--config NAME=FILE]]... [--openssl KEY2048.pem KEY1024.pem]\n"
                 "                [--pin PIN] [--seconds S] CASE...\n"
                 "       vc-bench --module NAME=PATH --token LABEL --setup-data N [--pin PIN]\n"
                 "cases: sign2048 sign1024 decrypt2048 decrypt1024 verify2048 encrypt2048 threads find-<N>\n"
                 "(threads: 1 and 2 threads signing with RSA-2048 on the tokens bench-a and bench-b;\n"
                 " --config: VELLUMCREST_CONFIG of module NAME while it is loaded and initialised)\n");
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
        if (arg == "--module") {
            std::string named = value();
            size_t equals = named.find('=');
            if (equals == std::string::npos) usage();
            options.modules.emplace_back(named.substr(0, equals), named.substr(equals + 1));
        } else if (arg == "--config") {
            std::string named = value();
            size_t equals = named.find('=');
            if (equals == std::string::npos) usage();
            options.configs[named.substr(0, equals)] = named.substr(equals + 1);
        } else if (arg == "--openssl") {
            options.key2048 = value();
            options.key1024 = value();
        } else if (arg == "--pin") options.pin = value();
        else if (arg == "--seconds") options.seconds = std::atof(value().c_str());
        else if (arg == "--setup-data") options.setupData = std::atoi(value().c_str());
        else if (arg == "--token") options.token = value();
        else if (!arg.empty() && arg[0] == '-') usage();
        else options.cases.push_back(arg);
    }
    if (options.setupData > 0) {
        if (options.modules.empty() || options.token.empty()) usage();
        setupData(options);
    } else {
        run(options);
    }
    return 0;
}
