// vellumcrest-card: creates and manages virtual readers and cards.
#include "CardTool.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "core/CardAuth.h"
#include "core/Config.h"
#include "core/OrvoString.h"

using namespace Vellumcrest::Core;

namespace CardTool {

// ---- Helpers ---------------------------------------------------------------------

namespace {

bool listed(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& item : names)
        if (item == name) return true;
    return false;
}

}  // namespace

Args::Args(const std::vector<std::string>& words, const Command& command) : command_(command) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() <= 2 || word.compare(0, 2, "--") != 0) {
            positional_.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::string value;
        size_t equals = name.find('=');
        bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        if (listed(command.flags, name)) {
            if (inlineValue) throw Usage("option --" + name + " takes no value");
            options_[name] = "1";
        } else if (listed(command.values, name)) {
            if (!inlineValue) {
                if (i + 1 >= words.size()) throw Usage("option --" + name + " needs a value");
                value = words[++i];
            }
            options_[name] = value;
        } else {
            throw Usage("unknown option --" + name + " for " + command.name + " (see vellumcrest-card " +
                        command.name + " --help)");
        }
    }
}

std::string Args::Get(const std::string& option, const std::string& fallback) const {
    auto it = options_.find(option);
    return it != options_.end() ? it->second : fallback;
}

std::string Args::Require(const std::string& option) const {
    auto it = options_.find(option);
    if (it == options_.end()) throw Usage("option --" + option + " is required");
    return it->second;
}

void Args::ExpectPositional(size_t minimum, size_t maximum) const {
    if (positional_.size() < minimum || positional_.size() > maximum)
        throw Usage(std::string("usage: vellumcrest-card ") + command_.synopsis);
}

std::vector<unsigned char> ParseHex(const std::string& text, size_t maxBytes) {
    std::string digits = text;
    if (digits.size() >= 2 && (digits.compare(0, 2, "0x") == 0 || digits.compare(0, 2, "0X") == 0))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() % 2 != 0) throw Failure("bad hex value '" + text + "'");
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        int value = 0;
        for (size_t j = i; j < i + 2; ++j) {
            char c = digits[j];
            int nibble = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (nibble < 0) throw Failure("bad hex value '" + text + "'");
            value = value * 16 + nibble;
        }
        bytes.push_back(static_cast<unsigned char>(value));
    }
    if (bytes.size() > maxBytes)
        throw Failure("hex value '" + text + "' is longer than " + std::to_string(maxBytes) + " bytes");
    return bytes;
}

std::string Hex(const std::vector<unsigned char>& bytes) { return CardCrypto::ToHex(bytes.data(), bytes.size()); }

std::vector<unsigned char> ReadBinaryFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot read " + path + ": " + std::strerror(errno));
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw Failure("cannot read " + path);
    return bytes;
}

void CheckPin(const std::string& pin, const char* what) {
    if (pin.size() < 4 || pin.size() > 12)
        throw Failure(std::string(what) + " must be 4 to 12 characters long");
    for (unsigned char c : pin)
        if (c < 0x20 || c == 0x7F) throw Failure(std::string(what) + " contains a control character");
}

unsigned long ParseNumber(const std::string& text, unsigned long minimum, unsigned long maximum, const char* what) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw Failure(std::string("bad ") + what + " '" + text + "'");
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || value < minimum || value > maximum)
        throw Failure(std::string(what) + " must be " + std::to_string(minimum) + " to " + std::to_string(maximum));
    return static_cast<unsigned long>(value);
}

int ParseUsage(const std::string& list) {
    int flags = 0;
    std::stringstream in(list);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        if (item == "sign") flags |= KeyPairFlagSign;
        else if (item == "decrypt") flags |= KeyPairFlagDecrypt;
        else if (item == "esign") flags |= KeyPairFlagSign | KeyPairFlagEsign;
        else if (item == "app") flags |= KeyPairFlagSign | KeyPairFlagApplication;
        else throw Failure("unknown usage '" + item + "' (sign, decrypt, esign, app)");
        any = true;
    }
    if (!any) throw Failure("empty usage list");
    if ((flags & KeyPairFlagEsign) != 0 && (flags & (KeyPairFlagDecrypt | KeyPairFlagApplication)) != 0)
        throw Failure("usage esign cannot be combined with decrypt or app");
    return flags;
}

std::vector<unsigned char> KeyId(const ImagePublicKey& key) {
    if (key.record.common.HasId()) return key.record.common.GetId();
    return CardCrypto::Sha1(key.modulus.data(), key.modulus.size());
}

ImagePublicKey* FindKeyById(CardImage& image, const std::vector<unsigned char>& id) {
    for (auto& key : image.publicKeys)
        if (KeyId(*key) == id) return key.get();
    return nullptr;
}

ReaderEntry RequireReader(const std::string& readersDir, const std::string& name) {
    ReaderEntry entry;
    if (!FindReader(readersDir, name, &entry)) throw Failure("unknown reader '" + name + "'");
    return entry;
}

Card::Card(const std::string& readersDir, const std::string& argument, bool write) {
    if (argument.size() > 1 && argument[0] == '@') {
        ReaderEntry reader = RequireReader(readersDir, argument.substr(1));
        path_ = reader.ImagePath();
    } else {
        path_ = argument;
    }
    if (write && lock_.Lock(path_) != CoreOk) throw Failure("cannot lock " + path_);
    CardFileStamp stamp;
    int rc = ReadCardImage(path_, &image_, &stamp);
    if (rc == CoreCardNotPresent)
        throw Failure(argument[0] == '@' ? "no card in reader '" + argument.substr(1) + "'" : "no card image " + path_);
    if (rc == CoreCardUnsupported) throw Failure(path_ + " is not a valid card image");
    if (rc != CoreOk) throw Failure("cannot read " + path_);
}

void Card::Save() {
    if (WriteCardImage(path_, *image_, nullptr) != CoreOk) throw Failure("cannot write " + path_);
}

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

void makeDirectories(const std::string& path) {
    std::string partial;
    std::stringstream in(path);
    std::string part;
    if (!path.empty() && path[0] == '/') partial = "/";
    while (std::getline(in, part, '/')) {
        if (part.empty()) continue;
        partial += part;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            throw Failure("cannot create directory " + partial + ": " + std::strerror(errno));
        partial += "/";
    }
}

// Moves a file, also across file systems (then as a durable copy).
void moveFile(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) return;
    if (errno != EXDEV) throw Failure("cannot move " + from + " to " + to + ": " + std::strerror(errno));
    std::vector<unsigned char> bytes = ReadBinaryFile(from);
    if (WriteFileAtomic(to, bytes, nullptr) != CoreOk) throw Failure("cannot write " + to);
    ::unlink(from.c_str());
}

// Where a removed card goes by default: READERS_DIR/.removed/<card id>.vcard.
std::string removedPath(const std::string& readersDir, const std::string& image) {
    std::string directory = readersDir + "/" + kRemovedCardsDirName;
    makeDirectories(directory);
    std::unique_ptr<CardImage> card;
    CardFileStamp stamp;
    if (ReadCardImage(image, &card, &stamp) == CoreOk) return directory + "/" + card->cardId + ".vcard";
    return directory + "/unreadable-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(::getpid()) +
           ".vcard";
}

std::string pinState(const CardPin* pin) {
    if (pin == nullptr) return "absent";
    std::string text = pin->initialised ? "set" : "not set";
    text += ", " + std::to_string(pin->triesLeft) + "/" + std::to_string(pin->maxTries) + " tries";
    if (pin->Blocked()) text += ", BLOCKED";
    text += ", length " + std::to_string(pin->minLength) + ".." + std::to_string(pin->maxLength);
    return text;
}

std::string commonText(const CardCommonAttribute& common) {
    std::string text;
    if (common.HasLabel()) text += " label=\"" + common.GetLabel() + "\"";
    if (common.HasId()) text += " id=" + Hex(common.GetId());
    return text;
}

std::string usageText(int flags) {
    std::string text;
    auto add = [&](const char* name) { text += text.empty() ? name : std::string(",") + name; };
    if (flags & KeyPairFlagSign) add("sign");
    if (flags & KeyPairFlagDecrypt) add("decrypt");
    if (flags & KeyPairFlagEsign) add("esign");
    if (flags & KeyPairFlagApplication) add("app");
    return text.empty() ? "-" : text;
}

std::string nameText(const X509_NAME* name) {
    if (name == nullptr) return "?";
    char buffer[512];
    X509_NAME_oneline(name, buffer, sizeof buffer);
    return buffer;
}

const char* kindText(int kind) {
    switch (kind) {
    case CertificateKindRoot: return "root";
    case CertificateKindClient: return "client";
    case CertificateKindPartner: return "partner";
    default: return "?";
    }
}

}  // namespace

// ---- Readers ---------------------------------------------------------------------

int CommandReaderAdd(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    const std::string& name = args.Positional()[0];
    if (!IsValidReaderName(name))
        throw Failure("bad reader name: 1 to 128 characters, no control characters, no surrounding blanks");
    ReaderEntry entry;
    entry.name = name;
    entry.pinPad = args.Has("pinpad") || args.Has("pinpad-pin");
    if (args.Has("pinpad-pin")) {
        entry.pinPadPin = args.Get("pinpad-pin");
        CheckPin(entry.pinPadPin, "the PIN-pad PIN");
        entry.hasPinPadPin = true;
    }
    makeDirectories(readersDir);
    ReaderEntry existing;
    if (FindReader(readersDir, name, &existing)) throw Failure("reader '" + name + "' already exists");
    std::string base = readersDir + "/" + ReaderDirectoryName(name);
    std::string directory = base;
    for (int n = 2; exists(directory); ++n) directory = base + "-" + std::to_string(n);
    if (::mkdir(directory.c_str(), 0755) != 0)
        throw Failure("cannot create " + directory + ": " + std::strerror(errno));
    entry.directory = directory;
    if (WriteReaderConf(entry) != CoreOk) {
        ::rmdir(directory.c_str());
        throw Failure("cannot write the configuration of reader '" + name + "'");
    }
    std::cout << "reader '" << name << "' added" << (entry.pinPad ? " (PIN pad)" : "") << "\n";
    return 0;
}

int CommandReaderRemove(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    ReaderEntry reader = RequireReader(readersDir, args.Positional()[0]);
    std::string image = reader.ImagePath();
    CardFileLock lock;
    lock.Lock(image);
    if (exists(image)) {
        // The card is not thrown away with the reader.
        std::string target = removedPath(readersDir, image);
        moveFile(image, target);
        std::cout << "card moved to " << target << "\n";
    }
    DIR* dir = ::opendir(reader.directory.c_str());
    if (dir != nullptr) {
        while (struct dirent* item = ::readdir(dir)) {
            std::string name = item->d_name;
            if (name == "." || name == "..") continue;
            ::unlink((reader.directory + "/" + name).c_str());
        }
        ::closedir(dir);
    }
    lock.Unlock();
    if (::rmdir(reader.directory.c_str()) != 0)
        throw Failure("cannot remove " + reader.directory + ": " + std::strerror(errno));
    std::cout << "reader '" << reader.name << "' removed\n";
    return 0;
}

int CommandList(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(0, 0);
    struct stat st;
    if (::stat(readersDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw Failure("the readers directory " + readersDir + " does not exist (reader-add creates it; " +
                      "--readers-dir or VELLUMCREST_READERS_DIR names another)");
    if (::access(readersDir.c_str(), R_OK | X_OK) != 0)
        throw Failure("cannot read the readers directory " + readersDir + ": " + std::strerror(errno));
    for (const ReaderEntry& reader : ScanReaders(readersDir)) {
        std::cout << reader.name << "\tpinpad=" << (reader.pinPad ? "yes" : "no") << "\t";
        std::unique_ptr<CardImage> card;
        CardFileStamp stamp;
        int rc = ReadCardImage(reader.ImagePath(), &card, &stamp);
        if (rc == CoreOk) std::cout << "card=" << card->cardId << " type=" << card->type << "\n";
        else if (rc == CoreCardNotPresent) std::cout << "card=none\n";
        else std::cout << "card=unreadable\n";
    }
    return 0;
}

// ---- Cards -----------------------------------------------------------------------

int CommandCardCreate(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    const std::string& file = args.Positional()[0];
    CardSettings settings;
    settings.type = static_cast<int>(ParseNumber(args.Require("type"), 1, 4, "card type"));
    if (args.Has("id")) {
        settings.cardId = args.Get("id");
        if (!CardContent::IsValidCardId(settings.cardId))
            throw Failure("bad card identifier: 1 to 32 characters of 0-9, A-Z, a-z, '-', '_', '.'");
    }
    if (args.Has("model")) {
        settings.model = args.Get("model");
        if (settings.model.empty() || settings.model.size() > kCardModelMaxLength)
            throw Failure("the model text must be 1 to 32 characters long");
    }
    settings.userTries = static_cast<uint8_t>(ParseNumber(args.Get("user-tries", "3"), 1, 99, "number of user tries"));
    settings.soTries = static_cast<uint8_t>(ParseNumber(args.Get("so-tries", "5"), 1, 99, "number of SO tries"));
    settings.totalMemory = static_cast<uint32_t>(ParseNumber(args.Get("memory", "65536"), 0, 0x7FFFFFFF, "memory size"));
    settings.esignPlaces =
        static_cast<uint32_t>(ParseNumber(args.Get("esign-places", "1"), 0, 255, "number of e-signature places"));
    if (args.Has("firmware")) {
        std::string text = args.Get("firmware");
        size_t dot = text.find('.');
        if (dot == std::string::npos) throw Failure("bad firmware version '" + text + "' (MAJ.MIN)");
        settings.firmwareMajor = static_cast<uint8_t>(ParseNumber(text.substr(0, dot), 0, 255, "firmware version"));
        settings.firmwareMinor = static_cast<uint8_t>(ParseNumber(text.substr(dot + 1), 0, 255, "firmware version"));
    }
    std::string userPin = args.Get("user-pin"), soPin = args.Get("so-pin"), thirdPin = args.Get("third-code");
    if (args.Has("user-pin")) CheckPin(userPin, "the user PIN");
    if (args.Has("so-pin")) CheckPin(soPin, "the SO PIN");
    settings.thirdCode = args.Has("third-code");
    if (settings.thirdCode) CheckPin(thirdPin, "the third code");
    if (exists(file)) throw Failure(file + " already exists");

    std::unique_ptr<CardImage> image;
    if (CardContent::CreateCard(settings, &image) != CoreOk) throw Failure("the card could not be made");
    SecureBytes storage = image->storageOpen;
    auto set = [&](int authId, const std::string& pin) {
        if (CardAuth::SetPin(*image, authId, reinterpret_cast<const unsigned char*>(pin.data()), pin.size(),
                             &storage) != CoreOk)
            throw Failure("the PIN could not be set");
    };
    if (args.Has("user-pin")) set(CardAuthIdUser, userPin);
    if (args.Has("so-pin")) set(CardAuthIdSo, soPin);
    if (settings.thirdCode) set(CardAuthIdThird, thirdPin);
    CardAuth::NormaliseStorage(*image, &storage);
    CardFileLock lock;
    lock.Lock(file);
    int rc = WriteCardImage(file, *image, nullptr);
    lock.Unlock();
    ::unlink((file + ".lock").c_str());
    if (rc != CoreOk) throw Failure("cannot write " + file);
    std::cout << image->cardId << "\n";
    return 0;
}

int CommandCardInsert(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(2, 2);
    ReaderEntry reader = RequireReader(readersDir, args.Positional()[0]);
    const std::string& file = args.Positional()[1];
    std::string target = reader.ImagePath();
    CardFileLock lock;
    if (lock.Lock(target) != CoreOk) throw Failure("cannot lock the card of reader '" + reader.name + "'");
    if (exists(target)) throw Failure("reader '" + reader.name + "' already holds a card");
    std::unique_ptr<CardImage> image;
    CardFileStamp stamp;
    int rc = ReadCardImage(file, &image, &stamp);
    if (rc == CoreCardNotPresent) throw Failure("no card image " + file);
    if (rc != CoreOk) throw Failure(file + " is not a valid card image");
    // Every insertion is a new one, also of the same card.
    std::vector<unsigned char> serial = CardCrypto::RandomVector(8);
    uint64_t value = 0;
    for (unsigned char b : serial) value = value << 8 | b;
    if (value == image->insertionSerial) ++value;
    image->insertionSerial = value;
    if (WriteCardImage(target, *image, nullptr) != CoreOk) throw Failure("cannot write " + target);
    ::unlink(file.c_str());
    ::unlink((file + ".lock").c_str());
    std::cout << "card " << image->cardId << " inserted into '" << reader.name << "': " << file << " moved to "
              << target << "\n";
    return 0;
}

int CommandCardRemove(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 2);
    ReaderEntry reader = RequireReader(readersDir, args.Positional()[0]);
    std::string image = reader.ImagePath();
    CardFileLock lock;
    if (lock.Lock(image) != CoreOk) throw Failure("cannot lock the card of reader '" + reader.name + "'");
    if (!exists(image)) throw Failure("no card in reader '" + reader.name + "'");
    std::string target;
    if (args.Positional().size() == 2) {
        target = args.Positional()[1];
        if (exists(target)) throw Failure(target + " already exists");
    } else {
        target = removedPath(readersDir, image);
    }
    moveFile(image, target);
    std::cout << target << "\n";
    return 0;
}

int CommandDump(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    Card card(readersDir, args.Positional()[0], false);
    CardImage& image = card.Image();
    std::cout << "card " << image.cardId << "\n"
              << "  type: " << image.type << "\n"
              << "  model: " << image.model << "\n"
              << "  firmware: " << static_cast<int>(image.firmwareMajor) << "."
              << static_cast<int>(image.firmwareMinor) << "\n"
              << "  token initialised: " << (image.pins[CardAuthIdSo].initialised ? "yes" : "no") << "\n"
              << "  user PIN: " << pinState(image.Pin(CardAuthIdUser)) << "\n"
              << "  SO PIN: " << pinState(image.Pin(CardAuthIdSo)) << "\n"
              << "  third code: " << pinState(image.Pin(CardAuthIdThird)) << "\n"
              << "  memory: " << image.totalMemory << " total, " << image.FreeMemory() << " free\n"
              << "  e-signature places: " << image.EsignKeysInUse() << "/"
              << (image.type == 4 ? image.esignPlaces : 0) << " used\n"
              << "  next record id: " << image.nextRecordId << "\n"
              << "  generation: " << image.generation << "\n";
    std::vector<unsigned char> attestation;
    if (CardCrypto::AttestationPublicInfo(image.attestationKey, &attestation))
        std::cout << "  attestation key: " << Hex(attestation) << "\n";
    for (const auto& container : image.containers) {
        uint32_t id = container->record.containerId;
        std::cout << "container " << id << " type=" << container->record.type;
        std::string name = OrvoStringWToUtf8(container->record.name);
        if (!name.empty()) std::cout << " name=\"" << name << "\"";
        std::cout << "\n";
        for (const auto& key : image.publicKeys) {
            if (key->record.containerId != id) continue;
            std::cout << "  public key " << key->record.recordId << ": RSA " << key->modulus.size() * 8
                      << " usage=" << usageText(key->record.keyPairFlags)
                      << ((key->record.flags & CardRecordFlagImported) ? " imported" : "")
                      << commonText(key->record.common) << " keyid=" << Hex(KeyId(*key)) << "\n";
        }
        for (const auto& key : image.privateKeys) {
            if (key->record.containerId != id) continue;
            std::cout << "  private key " << key->record.recordId << ": RSA " << key->record.signatureLength * 8
                      << " usage=" << usageText(key->record.keyPairFlags) << " pin=" << key->record.authId
                      << ((key->record.flags & CardRecordFlagImported) ? " imported" : "")
                      << commonText(key->record.common) << "\n";
        }
        for (const auto& cert : image.certificates) {
            if (cert->record.containerId != id) continue;
            const unsigned char* cursor = cert->der.data();
            X509* x509 = d2i_X509(nullptr, &cursor, static_cast<long>(cert->der.size()));
            std::cout << "  certificate " << cert->record.recordId << ": " << kindText(cert->record.kind)
                      << " flags=0x" << std::hex << cert->record.flags << std::dec << " size=" << cert->der.size()
                      << commonText(cert->record.common) << "\n";
            if (x509 != nullptr) {
                std::cout << "    subject: " << nameText(X509_get_subject_name(x509)) << "\n"
                          << "    issuer: " << nameText(X509_get_issuer_name(x509)) << "\n";
                X509_free(x509);
            }
        }
    }
    for (const auto& file : image.files) {
        std::cout << "data file " << file->record.recordId << ": name=\"" << OrvoStringWToUtf8(file->record.name)
                  << "\" size=" << file->data.size() << " container=" << file->record.containerId
                  << commonText(file->record.common) << "\n";
    }
    return 0;
}

}  // namespace CardTool
