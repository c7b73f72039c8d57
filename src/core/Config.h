// INI-format configuration. The file is the one named by the environment variable
// VELLUMCREST_CONFIG, or /etc/vellumcrest/vellumcrest.conf when it is not set.
#pragma once

#include <string>

namespace Vellumcrest {
namespace Core {

constexpr const char* kConfigPathVariable = "VELLUMCREST_CONFIG";
constexpr const char* kDefaultConfigPath = "/etc/vellumcrest/vellumcrest.conf";
constexpr const char* kReadersDirVariable = "VELLUMCREST_READERS_DIR";
constexpr const char* kDefaultReadersDir = "/var/lib/vellumcrest/readers";

// GetPrivateProfileIntA semantics: the key's text read as a decimal integer (leading
// sign and digits; trailing text ignored, out-of-range values clamped); a missing file,
// section or key, or an empty value, gives the default; text that does not start with a
// number gives 0. Section and key names ignore case.
int GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* path);
// The key's text with surrounding blanks removed, or the default.
std::string GetPrivateProfileString(const char* section, const char* key, const char* defaultValue,
                                    const char* path);

// Expands %NAME% references to environment variables; an unset variable stays as
// written. Returns the length needed including the terminator; writes only when it fits.
unsigned long ExpandEnvironmentStrings(const char* source, char* destination, unsigned long size);

class ConfigBase {
public:
    ConfigBase();
    ConfigBase(const ConfigBase& other);
    ConfigBase& operator=(const ConfigBase& other);
    virtual ~ConfigBase();

    // Finds the configuration file and stores its path (at most 260 characters).
    virtual void Load(void* moduleHandle);
    const char* GetConfigPath() const { return path_; }

protected:
    char path_[261];
};

// Settings of the card core: section "Core".
//   LogFile      path of the shared log file (empty: no log)
//   Version      version text of the product
//   CustomerCode integer
//   ReadersDir   directory of the virtual readers (VELLUMCREST_READERS_DIR overrides)
//   CspKeyType   answer of the key-type dialog: 2 application, 6 e-signature, else cancelled
//   ReaderBackend where the readers are: "directory" (the readers directory, the default)
//                or "pcsc" (the PC/SC readers of pcsc-lite)
enum class ReaderBackend { Directory, Pcsc };

class ConfigGlobal : public ConfigBase {
public:
    void Load(void* moduleHandle) override;
    const char* GetLogFile() const { return logFile_.c_str(); }
    const char* GetVersion() const { return version_.c_str(); }
    long GetCustomerCode() const { return customerCode_; }
    // VELLUMCREST_READERS_DIR when set (read at each call), else ReadersDir, else the default.
    const char* GetReadersDir() const;
    int GetCspKeyTypeAnswer() const { return cspKeyType_; }
    ReaderBackend GetReaderBackend() const { return readerBackend_; }
    // The configured text when it named no known backend (the directory one is used), else "".
    const std::string& GetUnknownReaderBackend() const { return unknownReaderBackend_; }

private:
    std::string logFile_;
    std::string version_ = "4.0.0";
    long customerCode_ = 0;
    std::string readersDir_ = kDefaultReadersDir;
    int cspKeyType_ = 0;
    ReaderBackend readerBackend_ = ReaderBackend::Directory;
    std::string unknownReaderBackend_;
};

// The global core configuration, loaded on first use.
ConfigGlobal* GetConfigGlobal();

}  // namespace Core
}  // namespace Vellumcrest
