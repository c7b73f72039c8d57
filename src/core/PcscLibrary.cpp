#include "core/PcscLibrary.h"

#include <dlfcn.h>

#include <memory>

#include "core/Log.h"

namespace Vellumcrest {
namespace Core {

namespace {

template <typename Fn>
bool bind(void* library, const char* name, Fn* fn, std::string* why) {
    *fn = reinterpret_cast<Fn>(::dlsym(library, name));
    if (*fn == nullptr && why->empty()) *why = std::string("chybi funkce ") + name;
    return *fn != nullptr;
}

}  // namespace

const PcscApi* LoadPcscApi(const char* library, std::string* why) {
    why->clear();
    // Stays loaded for the life of the process: contexts and card handles outlive any scope.
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* error = ::dlerror();
        *why = error != nullptr ? error : library;
        return nullptr;
    }
    auto api = std::make_unique<PcscApi>();
    bool ok = bind(handle, "SCardEstablishContext", &api->EstablishContext, why) &
              bind(handle, "SCardReleaseContext", &api->ReleaseContext, why) &
              bind(handle, "SCardListReaders", &api->ListReaders, why) &
              bind(handle, "SCardConnect", &api->Connect, why) &
              bind(handle, "SCardReconnect", &api->Reconnect, why) &
              bind(handle, "SCardDisconnect", &api->Disconnect, why) &
              bind(handle, "SCardBeginTransaction", &api->BeginTransaction, why) &
              bind(handle, "SCardEndTransaction", &api->EndTransaction, why) &
              bind(handle, "SCardTransmit", &api->Transmit, why) &
              bind(handle, "SCardControl", &api->Control, why) &
              bind(handle, "SCardGetStatusChange", &api->GetStatusChange, why) &
              bind(handle, "SCardCancel", &api->Cancel, why);
    if (!ok) {
        ::dlclose(handle);
        return nullptr;
    }
    return api.release();
}

const PcscApi* GetPcscApi() {
    static const PcscApi* const api = [] {
        std::string why;
        const PcscApi* loaded = LoadPcscApi(kPcscLibraryName, &why);
        if (loaded == nullptr)
            GetCoreLog()->Error("PC/SC: knihovnu %s nelze nacist (%s), ctecky PC/SC nejsou k dispozici",
                                kPcscLibraryName, why.c_str());
        return loaded;
    }();
    return api;
}

bool PcscContextLost(LONG rc) {
    return rc == SCARD_E_NO_SERVICE || rc == SCARD_E_SERVICE_STOPPED || rc == SCARD_E_INVALID_HANDLE;
}

bool PcscCardGone(LONG rc) {
    return rc == SCARD_W_REMOVED_CARD || rc == SCARD_E_NO_SMARTCARD || rc == SCARD_W_UNPOWERED_CARD ||
           rc == SCARD_E_READER_UNAVAILABLE || rc == SCARD_E_UNKNOWN_READER;
}

bool PcscNoAnswer(unsigned long code) {
    switch (static_cast<uint32_t>(code)) {
        case static_cast<uint32_t>(SCARD_E_NOT_TRANSACTED):
        case static_cast<uint32_t>(SCARD_F_COMM_ERROR):
        case static_cast<uint32_t>(SCARD_E_PROTO_MISMATCH):
        case static_cast<uint32_t>(SCARD_W_UNRESPONSIVE_CARD):
        case static_cast<uint32_t>(SCARD_W_UNSUPPORTED_CARD):
            return true;
        default:
            return false;
    }
}

PcscContext::~PcscContext() { Release(); }

LONG PcscContext::Get(SCARDCONTEXT* context) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (valid_) {
        *context = context_;
        return SCARD_S_SUCCESS;
    }
    const PcscApi* api = GetPcscApi();
    if (api == nullptr) return SCARD_E_NO_SERVICE;
    SCARDCONTEXT fresh = 0;
    LONG rc = api->EstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &fresh);
    if (rc != SCARD_S_SUCCESS) return rc;
    context_ = fresh;
    valid_ = true;
    *context = fresh;
    return SCARD_S_SUCCESS;
}

void PcscContext::Check(LONG rc) {
    if (PcscContextLost(rc)) Release();
}

void PcscContext::Release() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!valid_) return;
    valid_ = false;
    if (const PcscApi* api = GetPcscApi()) api->ReleaseContext(context_);
    context_ = 0;
}

void PcscContext::Cancel() {
    // Without the mutex: Release never runs while a wait on the context is blocked.
    if (!valid_) return;
    if (const PcscApi* api = GetPcscApi()) api->Cancel(context_);
}

LONG PcscListReaders(PcscContext* context, std::vector<std::string>* names) {
    names->clear();
    const PcscApi* api = GetPcscApi();
    if (api == nullptr) return SCARD_E_NO_SERVICE;
    SCARDCONTEXT handle = 0;
    LONG rc = context->Get(&handle);
    if (rc != SCARD_S_SUCCESS) return rc;
    std::vector<char> buffer;
    // A reader added between the size query and the listing makes the buffer short: ask again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD size = 0;
        rc = api->ListReaders(handle, nullptr, nullptr, &size);
        if (rc == SCARD_S_SUCCESS) {
            buffer.assign(size + 1, '\0');
            rc = api->ListReaders(handle, nullptr, buffer.data(), &size);
        }
        if (rc != SCARD_E_INSUFFICIENT_BUFFER) break;
    }
    context->Check(rc);
    if (rc == SCARD_E_NO_READERS_AVAILABLE) return SCARD_S_SUCCESS;
    if (rc != SCARD_S_SUCCESS) return rc;
    // A multi-string: names ended by a NUL each, the list by an empty one.
    for (size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
        std::string name(&buffer[at]);
        at += name.size() + 1;
        names->push_back(name);
    }
    return SCARD_S_SUCCESS;
}

}  // namespace Core
}  // namespace Vellumcrest
