// The PC/SC platform layer without a PC/SC service: the reader-feature parse, the library
// loading and the backend setting.
#include <gtest/gtest.h>

#include <PCSC/reader.h>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "core/Config.h"
#include "core/PcscChannel.h"
#include "core/PcscLibrary.h"
#include "core/Reader.h"

using namespace Vellumcrest::Core;

namespace {

// The process-wide configuration is loaded once: it names the pcsc backend from the start.
const std::string kPcscConfig = [] {
    std::string base = VC_TEST_TMP;
    ::mkdir(base.c_str(), 0700);
    std::string path = base + "/core-pcsc-global-" + std::to_string(::getpid()) + ".conf";
    std::ofstream(path) << "[Core]\nReaderBackend=pcsc\n";
    ::setenv(kConfigPathVariable, path.c_str(), 1);
    return path;
}();

// A pcscd answers on its socket (a stale socket file does not).
bool pcscdAnswers() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, "/run/pcscd/pcscd.comm", sizeof address.sun_path - 1);
    bool answers = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return answers;
}

using Bytes = std::vector<unsigned char>;

bool verifyPinCode(const Bytes& tlv, uint32_t* code) {
    return FindReaderFeature(tlv.data(), tlv.size(), FEATURE_VERIFY_PIN_DIRECT, code);
}

}  // namespace

TEST(ReaderFeatures, VerifyPinDirectIsFoundOnlyInAWellFormedAnswer) {
    uint32_t code = 0;
    // A PIN-pad reader: several features, VERIFY_PIN_DIRECT among them.
    Bytes pinPad = {0x12, 0x04, 0x42, 0x33, 0x00, 0x12, 0x06, 0x04, 0x42, 0x33,
                    0x00, 0x06, 0x07, 0x04, 0x42, 0x33, 0x00, 0x07};
    ASSERT_TRUE(verifyPinCode(pinPad, &code));
    EXPECT_EQ(code, 0x42330006u);

    struct Case {
        const char* what;
        Bytes tlv;
    } refused[] = {
        {"empty answer", {}},
        {"other features only", {0x12, 0x04, 0x42, 0x33, 0x00, 0x12, 0x07, 0x04, 0x42, 0x33, 0x00, 0x07}},
        {"feature with a short value", {0x06, 0x02, 0x42, 0x33}},
        {"feature with a long value", {0x06, 0x05, 0x42, 0x33, 0x00, 0x06, 0x00}},
        {"truncated value", {0x06, 0x04, 0x42, 0x33}},
        {"length past the end before the feature", {0x12, 0xFF, 0x06, 0x04, 0x42, 0x33, 0x00, 0x06}},
        {"lone tag", {0x06}},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.what);
        code = 0;
        EXPECT_FALSE(verifyPinCode(c.tlv, &code));
    }
    EXPECT_FALSE(FindReaderFeature(nullptr, 8, FEATURE_VERIFY_PIN_DIRECT, &code));
}

TEST(PcscLibrary, AMissingLibraryGivesNoEntryPointsAndSaysWhy) {
    std::string why;
    EXPECT_EQ(LoadPcscApi("libvellumcrest-no-such-pcsclite.so.1", &why), nullptr);
    EXPECT_NE(why.find("libvellumcrest-no-such-pcsclite"), std::string::npos) << why;
    // A library without the entry points is refused as well.
    EXPECT_EQ(LoadPcscApi("libcrypto.so.3", &why), nullptr);
    EXPECT_NE(why.find("SCard"), std::string::npos) << why;
}

TEST(PcscLibrary, WithoutTheServiceThereAreNoReadersAndNoCard) {
    // Only meaningful where no pcscd runs; with one, readers may well be there.
    if (pcscdAnswers()) GTEST_SKIP() << "a pcscd is running";
    PcscContext context;
    std::vector<std::string> names = {"stale"};
    LONG rc = PcscListReaders(&context, &names);
    EXPECT_TRUE(names.empty());
    EXPECT_NE(rc, SCARD_S_SUCCESS);
    PcscChannel channel("Vellumcrest Virtual 00 00");
    unsigned count = 7;
    EXPECT_EQ(channel.Status(&count), PcscChannel::Presence::Gone);
    Apdu::Response response;
    EXPECT_NE(channel.Transmit({0x00, 0xA4, 0x04, 0x00, 0x00}, &response), 0);
    EXPECT_NE(channel.LastError(), 0u);
}

TEST(PcscMonitorConcurrency, CancelFromAnotherThreadEndsAWaitWithoutTheService) {
    if (pcscdAnswers()) GTEST_SKIP() << "a pcscd is running: its readers would be events";
    ASSERT_EQ(GetConfigGlobal()->GetReaderBackend(), ReaderBackend::Pcsc);
    ReaderCardPairList list;
    ReaderCardPairMon monitor;
    unsigned long slot = 0;
    EXPECT_EQ(monitor.Run(&list, &slot, false), 0);  // no service: no reader, no event
    for (int round = 1; round <= 3; ++round) {
        std::atomic<int> result{99};
        std::thread waiter([&] {
            unsigned long event = 0;
            result = monitor.Run(&list, &event, true);
        });
        // Cancel meets the wait in its retry pause or while it lists the readers.
        std::this_thread::sleep_for(std::chrono::milliseconds(120 * round));
        EXPECT_EQ(result.load(), 99) << "the wait returned without an event";
        monitor.Cancel();
        waiter.join();
        EXPECT_EQ(result.load(), -1);
    }
    EXPECT_EQ(list.Update(false), CoreOk);
    EXPECT_EQ(list.GetFirstHandle(), 0u);
}

TEST(ReaderBackendConfig, DirectoryUnlessPcscIsNamed) {
    std::string base = VC_TEST_TMP;
    std::string path = base + "/core-pcsc-" + std::to_string(::getpid()) + ".conf";
    ::mkdir(base.c_str(), 0700);
    const char* old = std::getenv(kConfigPathVariable);
    std::string saved = old != nullptr ? old : "";
    ::setenv(kConfigPathVariable, path.c_str(), 1);
    struct Case {
        const char* text;
        ReaderBackend backend;
        const char* unknown;
    } cases[] = {
        {nullptr, ReaderBackend::Directory, ""},
        {"[Core]\nLogFile=\n", ReaderBackend::Directory, ""},
        {"[Core]\nReaderBackend=directory\n", ReaderBackend::Directory, ""},
        {"[Core]\nReaderBackend = PCSC \n", ReaderBackend::Pcsc, ""},
        {"[core]\nreaderbackend=pcsc\n", ReaderBackend::Pcsc, ""},
        {"[Core]\nReaderBackend=pcsclite\n", ReaderBackend::Directory, "pcsclite"},
        {"[Pkcs11]\nReaderBackend=pcsc\n", ReaderBackend::Directory, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text != nullptr ? c.text : "(no file)");
        ::unlink(path.c_str());
        if (c.text != nullptr) std::ofstream(path) << c.text;
        ConfigGlobal config;
        config.Load(nullptr);
        EXPECT_EQ(config.GetReaderBackend(), c.backend);
        EXPECT_EQ(config.GetUnknownReaderBackend(), c.unknown);
    }
    ::unlink(path.c_str());
    if (old != nullptr) ::setenv(kConfigPathVariable, saved.c_str(), 1);
    else ::unsetenv(kConfigPathVariable);
}
