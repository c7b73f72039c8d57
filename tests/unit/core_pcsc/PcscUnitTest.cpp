// The PC/SC platform layer without a PC/SC service: the reader-feature parse, the library
// loading and the backend setting.
#include <gtest/gtest.h>

#include <PCSC/reader.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "core/Config.h"
#include "core/PcscChannel.h"
#include "core/PcscLibrary.h"

using namespace Vellumcrest::Core;

namespace {

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
    if (::access("/run/pcscd/pcscd.comm", F_OK) == 0) GTEST_SKIP() << "a pcscd is running";
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
