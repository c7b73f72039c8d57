// vellumcrest-card: shared parts of the command implementations (docs/card-tool.md).
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/CardImage.h"
#include "core/CardReaders.h"

namespace CardTool {

// A failure that ends the command: message on stderr, exit code 1 (2 for usage errors).
struct Failure : std::runtime_error {
    Failure(const std::string& message, int exitCode = 1) : std::runtime_error(message), code(exitCode) {}
    int code;
};

struct Usage : Failure {
    explicit Usage(const std::string& message) : Failure(message, 2) {}
};

class Args;
using CommandFunction = int (*)(const std::string& readersDir, const Args& args);

// One command: its synopsis (after "vellumcrest-card"), the options that take a value,
// the options that take none, and what --help prints about it.
struct Command {
    const char* name;
    CommandFunction run;
    const char* synopsis;
    std::vector<std::string> values;
    std::vector<std::string> flags;
    const char* help;
};

// The words after the command: "--name VALUE", "--name=VALUE", flags and positional
// arguments. An option the command does not know is a usage error that names it.
class Args {
public:
    Args(const std::vector<std::string>& words, const Command& command);
    const std::vector<std::string>& Positional() const { return positional_; }
    bool Has(const std::string& option) const { return options_.count(option) != 0; }
    std::string Get(const std::string& option, const std::string& fallback = std::string()) const;
    std::string Require(const std::string& option) const;
    void ExpectPositional(size_t minimum, size_t maximum) const;

private:
    const Command& command_;
    std::vector<std::string> positional_;
    std::map<std::string, std::string> options_;
};

// A card image opened for reading or changing: a path or "@READER".
class Card {
public:
    Card(const std::string& readersDir, const std::string& argument, bool write);
    Vellumcrest::Core::CardImage& Image() { return *image_; }
    const std::string& Path() const { return path_; }
    void Save();

private:
    std::string path_;
    Vellumcrest::Core::CardFileLock lock_;
    std::unique_ptr<Vellumcrest::Core::CardImage> image_;
};

Vellumcrest::Core::ReaderEntry RequireReader(const std::string& readersDir, const std::string& name);
std::vector<unsigned char> ParseHex(const std::string& text, size_t maxBytes);
std::string Hex(const std::vector<unsigned char>& bytes);
std::vector<unsigned char> ReadBinaryFile(const std::string& path);
void CheckPin(const std::string& pin, const char* what);
unsigned long ParseNumber(const std::string& text, unsigned long minimum, unsigned long maximum, const char* what);
// Key-pair flags of a usage list (sign, decrypt, esign, app).
int ParseUsage(const std::string& list);
// Identifier of a key: its record's identifier, else SHA-1 of the modulus.
std::vector<unsigned char> KeyId(const Vellumcrest::Core::ImagePublicKey& key);
Vellumcrest::Core::ImagePublicKey* FindKeyById(Vellumcrest::Core::CardImage& image,
                                               const std::vector<unsigned char>& id);

int CommandReaderAdd(const std::string& readersDir, const Args& args);
int CommandReaderRemove(const std::string& readersDir, const Args& args);
int CommandList(const std::string& readersDir, const Args& args);
int CommandCardCreate(const std::string& readersDir, const Args& args);
int CommandCardInsert(const std::string& readersDir, const Args& args);
int CommandCardRemove(const std::string& readersDir, const Args& args);
int CommandDump(const std::string& readersDir, const Args& args);
int CommandKeyGenerate(const std::string& readersDir, const Args& args);
int CommandKeyImport(const std::string& readersDir, const Args& args);
int CommandPubkeyExport(const std::string& readersDir, const Args& args);
int CommandCertAdd(const std::string& readersDir, const Args& args);
int CommandCertIssue(const std::string& readersDir, const Args& args);
int CommandDataAdd(const std::string& readersDir, const Args& args);
int CommandEmuStart(const std::string& readersDir, const Args& args);
int CommandEmuList(const std::string& readersDir, const Args& args);
int CommandEmuStop(const std::string& readersDir, const Args& args);

}  // namespace CardTool
