// Module settings read from section "Pkcs11" of the configuration file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "LogCapture.h"
#include "core/CoreTypes.h"
#include "module/ConfigPkcs11.h"

namespace {

using Vellumcrest::Core::SignatureKeyType;
using Vellumcrest::Pkcs11::ConfigPkcs11;

class ConfigPkcs11Test : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = vcframe::MakeTempDir("unit-frame-config");
        const char* previous = std::getenv("VELLUMCREST_CONFIG");
        hadPrevious_ = previous != nullptr;
        if (hadPrevious_) previous_ = previous;
    }
    void TearDown() override {
        if (hadPrevious_) ::setenv("VELLUMCREST_CONFIG", previous_.c_str(), 1);
        else ::unsetenv("VELLUMCREST_CONFIG");
        vcframe::RemoveTree(dir_);
    }

    // Loads a configuration object from a file with the given text.
    ConfigPkcs11 Load(const std::string& text) {
        std::string path = dir_ + "/vellumcrest.conf";
        vcframe::WriteText(path, text);
        ::setenv("VELLUMCREST_CONFIG", path.c_str(), 1);
        ConfigPkcs11 config;
        config.Load(nullptr);
        return config;
    }

    std::string dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

void ExpectDefaults(const ConfigPkcs11& config) {
    EXPECT_EQ(config.GetLogLevelPkcs11(), 0);
    EXPECT_EQ(config.GetLogLevelCore(), 0);
    EXPECT_FALSE(config.GetMzvMode());
    EXPECT_FALSE(config.GetProtectAuthPath());
    EXPECT_EQ(config.GetSignatureKeyType(), Vellumcrest::Core::SignatureKeyTypeAsk);
    EXPECT_TRUE(config.GetEsignErrorDialog());
    EXPECT_FALSE(config.GetExtendedMechanisms());
}

TEST_F(ConfigPkcs11Test, MissingFileSectionOrKeysGiveDefaults) {
    ::setenv("VELLUMCREST_CONFIG", (dir_ + "/missing.conf").c_str(), 1);
    ConfigPkcs11 missing;
    missing.Load(nullptr);
    ExpectDefaults(missing);
    ExpectDefaults(Load("[Core]\nLogFile=/tmp/x.log\nLogLevelPkcs11=4\n"));
    ExpectDefaults(Load("[Pkcs11]\nSomethingElse=1\n"));
}

TEST_F(ConfigPkcs11Test, ReadsAllKeysAndCopiesCarryThem) {
    ConfigPkcs11 source = Load(
        "[Core]\nLogFile=/tmp/x.log\n"
        "[pkcs11]\nLogLevelPkcs11=-3\nloglevelcore=17\nMzvMode=1\nProtectAuthPath=1\n"
        "SignatureKeyType=6\nEsignErrorDialog=0\nExtendedMechanisms=1\n");
    auto same = [&](const ConfigPkcs11& config) {
        EXPECT_EQ(std::string(config.GetConfigPath()), dir_ + "/vellumcrest.conf");
        EXPECT_EQ(config.GetLogLevelPkcs11(), -3);
        EXPECT_EQ(config.GetLogLevelCore(), 17);
        EXPECT_TRUE(config.GetMzvMode());
        EXPECT_TRUE(config.GetProtectAuthPath());
        EXPECT_EQ(config.GetSignatureKeyType(), Vellumcrest::Core::SignatureKeyTypeEsign);
        EXPECT_FALSE(config.GetEsignErrorDialog());
        EXPECT_TRUE(config.GetExtendedMechanisms());
    };
    same(source);
    ConfigPkcs11 copied(source);
    same(copied);
    ConfigPkcs11 assigned;
    assigned = source;
    same(assigned);
    ConfigPkcs11 moved(std::move(copied));
    same(moved);
    ConfigPkcs11& self = source;
    source = self;
    same(source);
}

TEST_F(ConfigPkcs11Test, BooleansAreOnOnlyForOneAndUnknownKeyTypesAreAsk) {
    ConfigPkcs11 two =
        Load("[Pkcs11]\nMzvMode=2\nProtectAuthPath=-1\nEsignErrorDialog=2\nExtendedMechanisms=2\n");
    EXPECT_FALSE(two.GetExtendedMechanisms());
    EXPECT_FALSE(two.GetMzvMode());
    EXPECT_FALSE(two.GetProtectAuthPath());
    EXPECT_FALSE(two.GetEsignErrorDialog());
    for (int value : {0, 1, 3, 4, 5, 7, -6, 600})
        EXPECT_EQ(Load("[Pkcs11]\nSignatureKeyType=" + std::to_string(value) + "\n").GetSignatureKeyType(),
                  Vellumcrest::Core::SignatureKeyTypeAsk)
            << value;
    EXPECT_EQ(Load("[Pkcs11]\nSignatureKeyType=2\n").GetSignatureKeyType(),
              Vellumcrest::Core::SignatureKeyTypeApplication);
}

}  // namespace
