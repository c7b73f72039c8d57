// The readers directory: one subdirectory per virtual reader with its "reader.conf"
// (name=, pinpad=0|1, pinpad_pin=) and, while a card is inserted, its "card.vcard".
#pragma once

#include <string>
#include <vector>

#include "core/CardImage.h"

namespace Vellumcrest {
namespace Core {

constexpr const char* kReaderConfFileName = "reader.conf";
constexpr const char* kRemovedCardsDirName = ".removed";
constexpr size_t kReaderNameMaxLength = 128;

struct ReaderEntry {
    std::string name;
    std::string directory;  // absolute or as given with the readers directory
    bool pinPad = false;
    bool hasPinPadPin = false;
    std::string pinPadPin;
    CardFileStamp confStamp;  // of reader.conf, taken before it was read

    std::string ImagePath() const { return directory + "/card.vcard"; }
};

// Readers found in the directory, sorted by name; a missing directory gives none.
std::vector<ReaderEntry> ScanReaders(const std::string& readersDir);
// Reads directory/reader.conf; false when it does not exist.
bool ReadReaderConf(const std::string& directory, ReaderEntry* entry);
bool FindReader(const std::string& readersDir, const std::string& name, ReaderEntry* entry);
// Stamp of a directory: it changes when an entry is added, removed or renamed in it.
CardFileStamp DirectoryStamp(const std::string& path);
// Writes reader.conf atomically; 0 or CoreIoError.
int WriteReaderConf(const ReaderEntry& entry);
// A reader name is 1 to 128 bytes without control characters.
bool IsValidReaderName(const std::string& name);
// Directory name for a reader name: safe characters kept, others %XX-encoded.
std::string ReaderDirectoryName(const std::string& name);

}  // namespace Core
}  // namespace Vellumcrest
