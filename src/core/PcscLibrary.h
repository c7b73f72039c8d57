// pcsc-lite, loaded at first use with dlopen, so that the module loads (and simply has no
// PC/SC readers) on a machine without it. The types and constants come from its headers;
// nothing links against it.
#pragma once

#include <PCSC/winscard.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace Vellumcrest {
namespace Core {

constexpr const char* kPcscLibraryName = "libpcsclite.so.1";
// Pseudo reader whose state changes when a reader is added or removed.
constexpr const char* kPcscPnpReader = "\\\\?PnP?\\Notification";

struct PcscApi {
    LONG (*EstablishContext)(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT);
    LONG (*ReleaseContext)(SCARDCONTEXT);
    LONG (*ListReaders)(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD);
    LONG (*Connect)(SCARDCONTEXT, LPCSTR, DWORD, DWORD, LPSCARDHANDLE, LPDWORD);
    LONG (*Reconnect)(SCARDHANDLE, DWORD, DWORD, DWORD, LPDWORD);
    LONG (*Disconnect)(SCARDHANDLE, DWORD);
    LONG (*BeginTransaction)(SCARDHANDLE);
    LONG (*EndTransaction)(SCARDHANDLE, DWORD);
    LONG (*Transmit)(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE, LPDWORD);
    LONG (*Control)(SCARDHANDLE, DWORD, LPCVOID, DWORD, LPVOID, DWORD, LPDWORD);
    LONG (*GetStatusChange)(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD);
    LONG (*Cancel)(SCARDCONTEXT);
};

// The library's entry points, or null when it cannot be loaded (said once in the core log).
const PcscApi* GetPcscApi();
// Loads the named library; null when it or one of its entry points is missing, with the
// reason in *why. Every call loads anew (tests name libraries that do not exist).
const PcscApi* LoadPcscApi(const char* library, std::string* why);

// True for the results after which a context is of no further use: the service stopped,
// or the context is no longer known to it.
bool PcscContextLost(LONG rc);
// True for the results that mean the card was pulled or is not there.
bool PcscCardGone(LONG rc);
// True for the failures of a card that gives no usable answer to a command (mute, garbled).
bool PcscNoAnswer(unsigned long code);

// A context of pcsc-lite, established when first needed and again after the service went
// away. pcsc-lite serialises the calls on one context (a blocked SCardGetStatusChange or
// SCardBeginTransaction holds up every other), so each reader and each wait has its own.
class PcscContext {
public:
    PcscContext() = default;
    ~PcscContext();
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    // SCARD_S_SUCCESS with *context set, or the failure (SCARD_E_NO_SERVICE without the
    // library or the service).
    LONG Get(SCARDCONTEXT* context);
    // To be called with the result of every call on the context: a lost context is released,
    // so that the next Get establishes a new one.
    void Check(LONG rc);
    void Release();
    // Ends a SCardGetStatusChange blocked on this context; callable from any thread.
    void Cancel();

private:
    std::mutex mutex_;
    std::atomic<bool> valid_{false};
    std::atomic<SCARDCONTEXT> context_{0};
};

// The PC/SC readers, in the order pcsc-lite gives them; none when the library or the service
// is missing. 0 or the SCard failure.
LONG PcscListReaders(PcscContext* context, std::vector<std::string>* names);

}  // namespace Core
}  // namespace Vellumcrest
