// Start-up lines in the card core's log: the configuration file, the readers directory
// and the number of readers in it, so that "no slots" can be told apart from a wrong path.
#pragma once

namespace Vellumcrest {
namespace Pkcs11 {

// Called once when the library is loaded, after the logs are set up. Costs nothing
// while the core log is below the warning level.
void LogStartupSettings();

}  // namespace Pkcs11
}  // namespace Vellumcrest
