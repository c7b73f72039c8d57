#include "module/StartupReport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/CardReaders.h"
#include "core/Config.h"
#include "core/Log.h"

namespace Vellumcrest {
namespace Pkcs11 {

namespace {

// Where the readers directory in use comes from.
const char* readersDirSource(const char* readersDir) {
    const char* fromEnvironment = std::getenv(Core::kReadersDirVariable);
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') return Core::kReadersDirVariable;
    if (std::strcmp(readersDir, Core::kDefaultReadersDir) == 0) return "vychozi";
    return "ReadersDir";
}

}  // namespace

void LogStartupSettings() {
    try {
        Core::Log* log = Core::GetCoreLog();
        if (!log->IsEnabled(Core::Log::LevelWarning)) return;
        Core::ConfigGlobal* config = Core::GetConfigGlobal();

        const char* configPath = config->GetConfigPath();
        if (configPath[0] == '\0')
            log->Warning("Konfiguracni soubor: cesta je delsi nez 260 znaku, plati vychozi hodnoty");
        else if (::access(configPath, R_OK) != 0)
            log->Warning("Konfiguracni soubor: %s nelze cist (%s), plati vychozi hodnoty", configPath,
                         std::strerror(errno));
        else
            log->Info("Konfiguracni soubor: %s", configPath);

        std::string readersDir = config->GetReadersDir();
        log->Info("Adresar ctecek: %s (%s)", readersDir.c_str(), readersDirSource(readersDir.c_str()));
        struct stat st;
        if (::stat(readersDir.c_str(), &st) != 0) {
            log->Warning("Adresar ctecek %s neexistuje (%s): zadne sloty", readersDir.c_str(), std::strerror(errno));
            return;
        }
        if (!S_ISDIR(st.st_mode)) {
            log->Warning("Adresar ctecek %s neni adresar: zadne sloty", readersDir.c_str());
            return;
        }
        if (::access(readersDir.c_str(), R_OK | X_OK) != 0) {
            log->Warning("Adresar ctecek %s nelze cist (%s): zadne sloty", readersDir.c_str(), std::strerror(errno));
            return;
        }
        size_t readers = Core::ScanReaders(readersDir).size();
        if (readers == 0)
            log->Warning("Nalezeno ctecek: 0 v %s: zadne sloty", readersDir.c_str());
        else
            log->Info("Nalezeno ctecek: %zu", readers);
    } catch (...) {
        // Loading never fails for the sake of a log line.
    }
}

}  // namespace Pkcs11
}  // namespace Vellumcrest
