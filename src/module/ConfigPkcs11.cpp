// The module's own settings, read once from section "Pkcs11" when the library is loaded.
#include "module/ConfigPkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {
namespace {
constexpr const char* kSection = "Pkcs11";
}

ConfigPkcs11::ConfigPkcs11() = default;

ConfigPkcs11::ConfigPkcs11(const ConfigPkcs11& other)
    : Core::ConfigBase(other),
      logLevelPkcs11_(other.logLevelPkcs11_),
      logLevelCore_(other.logLevelCore_),
      mzvMode_(other.mzvMode_),
      protectAuthPath_(other.protectAuthPath_),
      signatureKeyType_(other.signatureKeyType_),
      esignErrorDialog_(other.esignErrorDialog_),
      extendedMechanisms_(other.extendedMechanisms_) {}

ConfigPkcs11& ConfigPkcs11::operator=(const ConfigPkcs11& other) {
    if (this != &other) {
        Core::ConfigBase::operator=(other);
        logLevelPkcs11_ = other.logLevelPkcs11_;
        logLevelCore_ = other.logLevelCore_;
        mzvMode_ = other.mzvMode_;
        protectAuthPath_ = other.protectAuthPath_;
        signatureKeyType_ = other.signatureKeyType_;
        esignErrorDialog_ = other.esignErrorDialog_;
        extendedMechanisms_ = other.extendedMechanisms_;
    }
    return *this;
}

// Nothing to steal: moving copies.
ConfigPkcs11::ConfigPkcs11(ConfigPkcs11&& other) : ConfigPkcs11(static_cast<const ConfigPkcs11&>(other)) {}

ConfigPkcs11& ConfigPkcs11::operator=(ConfigPkcs11&& other) {
    return *this = static_cast<const ConfigPkcs11&>(other);
}

ConfigPkcs11::~ConfigPkcs11() = default;

void ConfigPkcs11::Load(void* moduleHandle) {
    Core::ConfigBase::Load(moduleHandle);
    const char* path = GetConfigPath();

    int logLevelPkcs11 = Core::GetPrivateProfileInt(kSection, "LogLevelPkcs11", 0, path);
    int logLevelCore = Core::GetPrivateProfileInt(kSection, "LogLevelCore", 0, path);
    int mzvMode = Core::GetPrivateProfileInt(kSection, "MzvMode", 0, path);
    int protectAuthPath = Core::GetPrivateProfileInt(kSection, "ProtectAuthPath", 0, path);
    int signatureKeyType = Core::GetPrivateProfileInt(kSection, "SignatureKeyType", 0, path);
    int esignErrorDialog = Core::GetPrivateProfileInt(kSection, "EsignErrorDialog", 1, path);
    int extendedMechanisms = Core::GetPrivateProfileInt(kSection, "ExtendedMechanisms", 0, path);

    logLevelPkcs11_ = logLevelPkcs11;
    logLevelCore_ = logLevelCore;
    mzvMode_ = mzvMode == 1;
    protectAuthPath_ = protectAuthPath == 1;
    esignErrorDialog_ = esignErrorDialog == 1;
    extendedMechanisms_ = extendedMechanisms == 1;
    switch (signatureKeyType) {
        case Core::SignatureKeyTypeApplication:
        case Core::SignatureKeyTypeEsign:
            signatureKeyType_ = static_cast<Core::SignatureKeyType>(signatureKeyType);
            break;
        default:
            signatureKeyType_ = Core::SignatureKeyTypeAsk;
            break;
    }
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
