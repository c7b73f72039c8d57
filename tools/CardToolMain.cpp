// vellumcrest-card: command table, help and the entry point.
#include <cstring>
#include <iostream>

#include "CardTool.h"
#include "core/Config.h"

#ifndef VC_VERSION
#define VC_VERSION "unknown"
#endif

namespace CardTool {
namespace {

constexpr const char* kCardTypes =
    "Card types (--type):\n"
    "  1  Vellumcrest T1: labels of up to 40 bytes, hardware version 3.0\n"
    "  2  Vellumcrest T2: labels of up to 40 bytes, hardware version 3.2\n"
    "  3  Vellumcrest T3: labels of up to 80 bytes, hardware version 3.5\n"
    "  4  Vellumcrest T4: as type 3, with places for e-signature keys (--esign-places); a signature\n"
    "     key generated through PKCS#11 becomes an e-signature or an application key\n";

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"reader-add", CommandReaderAdd, "reader-add NAME [--pinpad] [--pinpad-pin PIN]", {"pinpad-pin"}, {"pinpad"},
         "Adds a virtual reader (a slot). With --pinpad it has a PIN pad; --pinpad-pin is the PIN the\n"
         "pad enters when the module asks it for one (and implies --pinpad).\n"},
        {"reader-remove", CommandReaderRemove, "reader-remove NAME", {}, {},
         "Unplugs a reader. A card in it is moved to READERS_DIR/.removed/CARD-ID.vcard.\n"},
        {"list", CommandList, "list", {}, {},
         "Lists the readers with their PIN-pad flag and the card in each, one per line:\n"
         "NAME<TAB>pinpad=yes|no<TAB>card=ID type=N | card=none | card=unreadable.\n"},
        {"card-create", CommandCardCreate,
         "card-create FILE --type 1..4 [--id ID32] [--model TEXT] [--so-pin PIN] [--user-pin PIN]\n"
         "    [--user-tries N] [--so-tries N] [--memory BYTES] [--esign-places N] [--firmware MAJ.MIN]\n"
         "    [--third-code PIN]",
         {"type", "id", "model", "so-pin", "user-pin", "user-tries", "so-tries", "memory", "esign-places", "firmware",
          "third-code"},
         {},
         "Makes a new, empty card image FILE and prints the card identifier. Without --so-pin the token\n"
         "is not initialised, without --user-pin the user PIN is not set. PINs are 4 to 12 characters.\n"
         "Defaults: a random --id, 3 user tries, 5 SO tries, 65536 bytes, 1 e-signature place.\n\n"},
        {"card-insert", CommandCardInsert, "card-insert READER FILE", {}, {},
         "Moves the card image FILE into READER (FILE is gone afterwards). Fails when the reader holds\n"
         "a card already.\n"},
        {"card-remove", CommandCardRemove, "card-remove READER [DEST]", {}, {},
         "Takes the card out of READER, to DEST or to READERS_DIR/.removed/CARD-ID.vcard, and prints\n"
         "where it went.\n"},
        {"dump", CommandDump, "dump CARD", {}, {},
         "Prints the card information and every container, key, certificate and data file.\n"},
        {"key-generate", CommandKeyGenerate,
         "key-generate CARD --bits 1024|2048 [--label L] [--id HEX] [--usage LIST]", {"bits", "label", "id", "usage"},
         {},
         "Generates an RSA key pair in a new container of the card and prints its ID in hex (without\n"
         "--id: the SHA-1 of the modulus, the ID the module shows). LIST is a comma-separated list of\n"
         "sign, decrypt, esign (an e-signature key, type-4 cards only) and app (an application signature\n"
         "key); default sign,decrypt.\n"},
        {"key-import", CommandKeyImport, "key-import CARD --pem FILE [--label L] [--id HEX] [--usage LIST]",
         {"pem", "label", "id", "usage"}, {},
         "Stores an unencrypted PEM RSA private key (1024 or 2048 bits) as a key pair and prints its ID.\n"},
        {"pubkey-export", CommandPubkeyExport, "pubkey-export CARD --id HEX --out FILE", {"id", "out"}, {},
         "Writes the public key with that ID as PEM.\n"},
        {"cert-add", CommandCertAdd,
         "cert-add CARD (--der FILE | --pem FILE) [--kind root|client|partner] [--label L] [--id HEX]",
         {"der", "pem", "kind", "label", "id"}, {},
         "Stores a certificate. A client certificate goes into the container of the key with the same\n"
         "modulus and gets its ID. Default kind: client when the card holds that key, else root for CA or\n"
         "self-signed certificates, else partner.\n"},
        {"cert-issue", CommandCertIssue,
         "cert-issue CARD --id HEX --subject DN --ca-cert FILE --ca-key FILE [--label L] [--days N]",
         {"id", "subject", "ca-cert", "ca-key", "label", "days"}, {},
         "Issues a client certificate for the card key with that ID, signed with the CA's key, stores it\n"
         "in the key's container and prints what it stored. DN is \"/CN=Name/O=Org\" or \"CN=Name,O=Org\";\n"
         "default validity 365 days.\n"},
        {"data-add", CommandDataAdd, "data-add CARD --file FILE [--label L]", {"file", "label"}, {},
         "Stores a data file (label: the file name unless --label is given).\n"},
        {"emu-start", CommandEmuStart, "emu-start CARD --vpcd-port PORT [--vpcd-host HOST]", {"vpcd-port", "vpcd-host"},
         {},
         "Starts vellumcrest-card-emu in the background: it serves CARD as a smart card in the vpcd\n"
         "virtual reader of pcscd that listens on HOST:PORT (default host 127.0.0.1). Waits until the\n"
         "emulator reached vpcd, at most 5 s (it keeps trying after that), and prints its line as\n"
         "emu-list does. Its process ID goes to READERS_DIR/.emu/PORT.pid, its output to PORT.log.\n"},
        {"emu-list", CommandEmuList, "emu-list", {}, {},
         "Lists the running card emulators, one per line: PORT<TAB>pid=PID<TAB>card=CARD.\n"},
        {"emu-stop", CommandEmuStop, "emu-stop PORT | emu-stop --all", {}, {"all"},
         "Stops the card emulator of a vpcd port (or every one): its card is pulled from the reader.\n"},
    };
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands())
        if (name == command.name) return &command;
    return nullptr;
}

void printHelp() {
    std::cout << "usage: vellumcrest-card [--readers-dir DIR] COMMAND [ARGUMENTS]\n"
                 "       vellumcrest-card COMMAND --help | --help | --version\n\n"
                 "Creates and manages virtual Vellumcrest readers and cards.\n\n"
                 "Commands:\n";
    for (const Command& command : commands()) std::cout << "  " << command.synopsis << "\n";
    std::cout << "\nCARD is a card image path or @READER (the card inserted in READER).\n"
                 "The readers directory is --readers-dir, else VELLUMCREST_READERS_DIR, else ReadersDir of\n"
                 "the configuration file (VELLUMCREST_CONFIG, default /etc/vellumcrest/vellumcrest.conf).\n\n"
              << kCardTypes
              << "\nExit status: 0 success, 1 failure, 2 usage error. See vellumcrest-card(1).\n";
}

void printCommandHelp(const Command& command) {
    std::cout << "usage: vellumcrest-card [--readers-dir DIR] " << command.synopsis << "\n\n" << command.help;
    if (std::strcmp(command.name, "card-create") == 0) std::cout << kCardTypes;
}

bool isHelp(const std::string& word) { return word == "--help" || word == "-h" || word == "help"; }

}  // namespace
}  // namespace CardTool

int main(int argc, char** argv) {
    using namespace CardTool;
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string readersDir;
    std::vector<std::string> rest;
    bool haveReadersDir = false;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--readers-dir" || words[i].compare(0, 14, "--readers-dir=") == 0) {
            if (words[i].size() > 13) {
                readersDir = words[i].substr(14);
            } else if (i + 1 < words.size()) {
                readersDir = words[++i];
            } else {
                std::cerr << "vellumcrest-card: option --readers-dir needs a value\n";
                return 2;
            }
            haveReadersDir = true;
        } else {
            rest.push_back(words[i]);
        }
    }
    if (rest.empty()) {
        printHelp();
        return 2;
    }
    if (isHelp(rest[0])) {
        const Command* about = rest.size() > 1 ? findCommand(rest[1]) : nullptr;
        if (about != nullptr) printCommandHelp(*about);
        else printHelp();
        return 0;
    }
    if (rest[0] == "--version" || rest[0] == "-V") {
        std::cout << "vellumcrest-card " << VC_VERSION << "\n";
        return 0;
    }
    const Command* command = findCommand(rest[0]);
    if (command == nullptr) {
        std::cerr << "vellumcrest-card: unknown command '" << rest[0] << "' (see vellumcrest-card --help)\n";
        return 2;
    }
    std::vector<std::string> commandWords(rest.begin() + 1, rest.end());
    for (const std::string& word : commandWords) {
        if (word == "--help" || word == "-h") {
            printCommandHelp(*command);
            return 0;
        }
    }
    if (!haveReadersDir) readersDir = Vellumcrest::Core::GetConfigGlobal()->GetReadersDir();
    if (readersDir.empty()) {
        std::cerr << "vellumcrest-card: no readers directory\n";
        return 2;
    }
    try {
        Args args(commandWords, *command);
        return command->run(readersDir, args);
    } catch (const Failure& failure) {
        std::cerr << "vellumcrest-card: " << failure.what() << "\n";
        return failure.code;
    } catch (const std::exception& error) {
        std::cerr << "vellumcrest-card: " << error.what() << "\n";
        return 1;
    }
}
