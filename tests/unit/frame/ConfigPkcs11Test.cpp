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
}

TEST_F(ConfigPkcs11Test, AllZeroBeforeLoad) {
    ConfigPkcs11 config;
    EXPECT_EQ(config.GetLogLevelPkcs11(), 0);
    EXPECT_EQ(config.GetLogLevelCore(), 0);
    EXPECT_FALSE(config.GetMzvMode());
    EXPECT_FALSE(config.GetProtectAuthPath());
    EXPECT_EQ(config.GetSignatureKeyType(), Vellumcrest::Core::SignatureKeyTypeAsk);
    EXPECT_FALSE(config.GetEsignErrorDialog());
}

TEST_F(ConfigPkcs11Test, MissingFileSectionOrKeysGiveDefaults) {
    ::setenv("VELLUMCREST_CONFIG", (dir_ + "/missing.conf").c_str(), 1);
    ConfigPkcs11 missing;
    missing.Load(nullptr);
    ExpectDefaults(missing);

    ExpectDefaults(Load("[Core]\nLogFile=/tmp/x.log\nLogLevelPkcs11=4\n"));
    ExpectDefaults(Load("[Pkcs11]\nSomethingElse=1\n"));
    ExpectDefaults(Load(""));
}

TEST_F(ConfigPkcs11Test, ReadsAllSixKeys) {
    ConfigPkcs11 config = Load(
        "[Core]\nLogFile=/tmp/x.log\n"
        "[pkcs11]\nLogLevelPkcs11=4\nloglevelcore=2\nMzvMode=1\nProtectAuthPath=1\n"
        "SignatureKeyType=6\nEsignErrorDialog=0\n");
    EXPECT_EQ(config.GetLogLevelPkcs11(), 4);
    EXPECT_EQ(config.GetLogLevelCore(), 2);
    EXPECT_TRUE(config.GetMzvMode());
    EXPECT_TRUE(config.GetProtectAuthPath());
    EXPECT_EQ(config.GetSignatureKeyType(), Vellumcrest::Core::SignatureKeyTypeEsign);
    EXPECT_FALSE(config.GetEsignErrorDialog());
}

TEST_F(ConfigPkcs11Test, BooleansAreOnOnlyForOne) {
    ConfigPkcs11 two = Load("[Pkcs11]\nMzvMode=2\nProtectAuthPath=-1\nEsignErrorDialog=2\n");
    EXPECT_FALSE(two.GetMzvMode());
    EXPECT_FALSE(two.GetProtectAuthPath());
    EXPECT_FALSE(two.GetEsignErrorDialog());

    ConfigPkcs11 one = Load("[Pkcs11]\nMzvMode=1\nProtectAuthPath=1\nEsignErrorDialog=1\n");
    EXPECT_TRUE(one.GetMzvMode());
    EXPECT_TRUE(one.GetProtectAuthPath());
    EXPECT_TRUE(one.GetEsignErrorDialog());
}

TEST_F(ConfigPkcs11Test, SignatureKeyTypeOutsideTheKnownValuesIsZero) {
    for (int value : {1, 3, 4, 5, 7, -6, 600})
        EXPECT_EQ(Load("[Pkcs11]\nSignatureKeyType=" + std::to_string(value) + "\n").GetSignatureKeyType(),
                  Vellumcrest::Core::SignatureKeyTypeAsk)
            << value;
    EXPECT_EQ(Load("[Pkcs11]\nSignatureKeyType=2\n").GetSignatureKeyType(),
              Vellumcrest::Core::SignatureKeyTypeApplication);
    EXPECT_EQ(Load("[Pkcs11]\nSignatureKeyType=6\n").GetSignatureKeyType(),
              Vellumcrest::Core::SignatureKeyTypeEsign);
    EXPECT_EQ(Load("[Pkcs11]\nSignatureKeyType=0\n").GetSignatureKeyType(),
              Vellumcrest::Core::SignatureKeyTypeAsk);
}

TEST_F(ConfigPkcs11Test, LevelsAreStoredAsRead) {
    ConfigPkcs11 config = Load("[Pkcs11]\nLogLevelPkcs11=-3\nLogLevelCore=17\n");
    EXPECT_EQ(config.GetLogLevelPkcs11(), -3);
    EXPECT_EQ(config.GetLogLevelCore(), 17);
}

TEST_F(ConfigPkcs11Test, CopyAndMoveCarryBaseAndFields) {
    ConfigPkcs11 source = Load("[Pkcs11]\nLogLevelPkcs11=3\nLogLevelCore=1\nMzvMode=1\nSignatureKeyType=2\n"
                               "EsignErrorDialog=0\n");
    std::string path = source.GetConfigPath();
    EXPECT_EQ(path, dir_ + "/vellumcrest.conf");

    auto same = [&](const ConfigPkcs11& other) {
        EXPECT_EQ(std::string(other.GetConfigPath()), path);
        EXPECT_EQ(other.GetLogLevelPkcs11(), 3);
        EXPECT_EQ(other.GetLogLevelCore(), 1);
        EXPECT_TRUE(other.GetMzvMode());
        EXPECT_FALSE(other.GetProtectAuthPath());
        EXPECT_EQ(other.GetSignatureKeyType(), Vellumcrest::Core::SignatureKeyTypeApplication);
        EXPECT_FALSE(other.GetEsignErrorDialog());
    };

    ConfigPkcs11 copied(source);
    same(copied);
    ConfigPkcs11 assigned;
    assigned = source;
    same(assigned);
    ConfigPkcs11 moved(std::move(copied));
    same(moved);
    same(copied);  // moving copies: the source keeps its values
    ConfigPkcs11 moveAssigned;
    moveAssigned = std::move(assigned);
    same(moveAssigned);
    same(source);
    ConfigPkcs11& self = source;
    source = self;
    same(source);
}

}  // namespace
