// The module's own settings, section "Pkcs11" of the configuration file.
#pragma once

#include "core/Config.h"
#include "core/CoreTypes.h"
#include "vellumcrest/pkcs11.h"

namespace Vellumcrest {
namespace Pkcs11 {

class VC_EXPORT ConfigPkcs11 : public Core::ConfigBase {
public:
    ConfigPkcs11();
    ConfigPkcs11(const ConfigPkcs11& other);
    ConfigPkcs11& operator=(const ConfigPkcs11& other);
    ConfigPkcs11(ConfigPkcs11&& other);
    ConfigPkcs11& operator=(ConfigPkcs11&& other);
    ~ConfigPkcs11() override;

    void Load(void* moduleHandle) override;

    int GetLogLevelPkcs11() const { return logLevelPkcs11_; }
    int GetLogLevelCore() const { return logLevelCore_; }
    bool GetMzvMode() const { return mzvMode_; }
    bool GetProtectAuthPath() const { return protectAuthPath_; }
    Core::SignatureKeyType GetSignatureKeyType() const { return signatureKeyType_; }
    bool GetEsignErrorDialog() const { return esignErrorDialog_; }
    // PSS, hash-and-sign and OAEP mechanisms besides the classic list.
    bool GetExtendedMechanisms() const { return extendedMechanisms_; }

private:
    int32_t logLevelPkcs11_ = 0;
    int32_t logLevelCore_ = 0;
    bool mzvMode_ = false;
    bool protectAuthPath_ = false;
    Core::SignatureKeyType signatureKeyType_ = Core::SignatureKeyTypeAsk;
    bool esignErrorDialog_ = false;
    bool extendedMechanisms_ = false;
};

VC_EXPORT ConfigPkcs11* GetConfigPkcs11();

}  // namespace Pkcs11
}  // namespace Vellumcrest
