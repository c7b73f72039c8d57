// vellumcrest-card: keys, certificates and data files on a card.
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <iostream>

#include "CardTool.h"

using namespace Vellumcrest::Core;

namespace CardTool {

namespace {

struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

int noPassword(char*, int, int, void*) { return 0; }

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void applyCommon(CardCommonAttribute& common, const Args& args, const std::vector<unsigned char>* defaultId) {
    if (args.Has("label")) {
        std::string label = args.Get("label");
        if (!common.SetLabelUtf8(label.data(), label.size())) throw Failure("the label is longer than 80 bytes");
    }
    if (args.Has("id")) {
        std::vector<unsigned char> id = ParseHex(args.Get("id"), 64);
        common.SetId(id.data(), id.size());
    } else if (defaultId != nullptr) {
        common.SetId(defaultId->data(), defaultId->size());
    }
}

// Stores a key pair in a new container of the card, with label and identifier.
std::vector<unsigned char> storeKey(Card& card, EVP_PKEY* key, int flags, bool imported, const Args& args) {
    CardImage& image = card.Image();
    size_t size = CardCrypto::RsaSize(key);
    if (size != 128 && size != 256) throw Failure("only RSA keys of 1024 or 2048 bits are supported");
    if (args.Has("id") && FindKeyById(image, ParseHex(args.Get("id"), 64)) != nullptr)
        throw Failure("the card already holds a key with ID " + args.Get("id"));
    ImageContainer* container = nullptr;
    int rc = CardContent::AddContainer(image, std::string(), CardObjectTypeKeyContainer, &container);
    ImagePrivateKey* priv = nullptr;
    ImagePublicKey* pub = nullptr;
    if (rc == CoreOk)
        rc = CardContent::AddKeyPair(image, container->record.containerId, flags, key, imported, &priv, &pub);
    if (rc == CoreCardMemoryFull) throw Failure("the card's memory is full");
    if (rc == CoreNoFreeKeyPlace) throw Failure("no free e-signature place on the card");
    if (rc != CoreOk) throw Failure("the key could not be stored (error " + std::to_string(rc) + ")");
    std::vector<unsigned char> sha1 = CardCrypto::Sha1(pub->modulus.data(), pub->modulus.size());
    applyCommon(pub->record.common, args, &sha1);
    applyCommon(priv->record.common, args, &sha1);
    if (image.FreeMemory() < 0) throw Failure("the card's memory is full");
    card.Save();
    return pub->record.common.GetId();
}

X509Ptr readCertificate(const Args& args) {
    if (args.Has("der") == args.Has("pem")) throw Usage("give one of --der FILE and --pem FILE");
    std::string path = args.Has("der") ? args.Get("der") : args.Get("pem");
    std::vector<unsigned char> bytes = ReadBinaryFile(path);
    X509* x509 = nullptr;
    if (args.Has("der")) {
        const unsigned char* cursor = bytes.data();
        x509 = d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size()));
        if (x509 != nullptr && cursor != bytes.data() + bytes.size()) {
            X509_free(x509);
            x509 = nullptr;
        }
    } else {
        BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
        if (bio != nullptr) x509 = PEM_read_bio_X509(bio, nullptr, noPassword, nullptr);
        BIO_free(bio);
    }
    if (x509 == nullptr) throw Failure("cannot read a certificate from " + path);
    return X509Ptr(x509);
}

X509Ptr readCertificateFile(const std::string& path) {
    std::vector<unsigned char> bytes = ReadBinaryFile(path);
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    X509* x509 = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, noPassword, nullptr) : nullptr;
    BIO_free(bio);
    if (x509 == nullptr) {
        const unsigned char* cursor = bytes.data();
        x509 = d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size()));
    }
    if (x509 == nullptr) throw Failure("cannot read a certificate from " + path);
    return X509Ptr(x509);
}

PkeyPtr readPrivateKey(const std::string& path) {
    std::vector<unsigned char> bytes = ReadBinaryFile(path);
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, noPassword, nullptr) : nullptr;
    BIO_free(bio);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    if (key == nullptr) throw Failure("cannot read an unencrypted PEM private key from " + path);
    return PkeyPtr(key);
}

std::vector<unsigned char> der(X509* x509) {
    int length = i2d_X509(x509, nullptr);
    if (length <= 0) throw Failure("cannot encode the certificate");
    std::vector<unsigned char> bytes(static_cast<size_t>(length));
    unsigned char* cursor = bytes.data();
    i2d_X509(x509, &cursor);
    return bytes;
}

// Public key of the card with the certificate's modulus, or null.
ImagePublicKey* keyOfCertificate(CardImage& image, X509* x509) {
    EVP_PKEY* key = X509_get0_pubkey(x509);
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return nullptr;
    std::vector<unsigned char> modulus, exponent;
    if (!CardCrypto::RsaComponents(key, &modulus, &exponent)) return nullptr;
    for (auto& pub : image.publicKeys)
        if (pub->modulus == modulus && pub->exponent == exponent) return pub.get();
    return nullptr;
}

// Returns the new certificate record's number.
uint32_t storeCertificate(Card& card, const std::vector<unsigned char>& bytes, int kind, ImagePublicKey* key,
                          const Args& args, bool quiet) {
    CardImage& image = card.Image();
    uint32_t containerId = 0;
    if (kind == CertificateKindClient) {
        containerId = key->record.containerId;
        for (const auto& cert : image.certificates)
            if (cert->record.containerId == containerId)
                throw Failure("the key's container already holds a certificate");
    }
    ImageCertificate* record = nullptr;
    int rc = CardContent::AddCertificate(image, containerId, kind, bytes.data(), bytes.size(), &record);
    if (rc == CoreCardMemoryFull) throw Failure("the card's memory is full");
    if (rc != CoreOk) throw Failure("the certificate could not be stored (error " + std::to_string(rc) + ")");
    std::vector<unsigned char> keyId;
    if (key != nullptr) keyId = KeyId(*key);
    applyCommon(record->record.common, args, key != nullptr ? &keyId : nullptr);
    if (image.FreeMemory() < 0) throw Failure("the card's memory is full");
    card.Save();
    static const char* kinds[] = {"", "root", "client", "partner"};
    if (!quiet)
        std::cout << kinds[kind] << " certificate " << record->record.recordId << " stored ("
              << bytes.size() << " bytes)\n";
    return record->record.recordId;
}

std::string nameLine(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return "?";
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    std::string text(data != nullptr ? data : "", data != nullptr ? static_cast<size_t>(length) : 0);
    BIO_free(bio);
    return text;
}

std::string timeLine(const ASN1_TIME* time) {
    struct tm value = {};
    if (ASN1_TIME_to_tm(time, &value) != 1) return "?";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &value);
    return text;
}

void addName(X509_NAME* name, const std::string& field, const std::string& value, const std::string& dn) {
    if (field.empty() ||
        X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.data()),
                                   static_cast<int>(value.size()), -1, 0) != 1)
        throw Failure("bad subject '" + dn + "' (e.g. \"/CN=Name/O=Org\" or \"CN=Name,O=Org\")");
}

// "/CN=a/O=b" or "CN=a,O=b".
void parseSubject(X509_NAME* name, const std::string& dn) {
    char separator = !dn.empty() && dn[0] == '/' ? '/' : ',';
    std::string text = separator == '/' ? dn.substr(1) : dn;
    size_t start = 0;
    int parts = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        size_t first = part.find_first_not_of(' ');
        if (first != std::string::npos) part = part.substr(first);
        if (!part.empty()) {
            size_t equals = part.find('=');
            if (equals == std::string::npos || equals == 0) throw Failure("bad subject '" + dn + "'");
            addName(name, part.substr(0, equals), part.substr(equals + 1), dn);
            ++parts;
        }
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (parts == 0) throw Failure("empty subject");
}

void addExtension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value);
    if (ext == nullptr || X509_add_ext(cert, ext, -1) != 1) {
        X509_EXTENSION_free(ext);
        throw Failure(std::string("cannot add the extension ") + value);
    }
    X509_EXTENSION_free(ext);
}

}  // namespace

int CommandKeyGenerate(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    std::string bitsText = args.Require("bits");
    if (bitsText != "1024" && bitsText != "2048") throw Failure("--bits must be 1024 or 2048");
    int bits = bitsText == "2048" ? 2048 : 1024;
    int flags = ParseUsage(args.Get("usage", "sign,decrypt")) | (bits == 2048 ? KeyPairFlag2048 : 0);
    if (args.Has("id")) ParseHex(args.Get("id"), 64);
    Card card(readersDir, args.Positional()[0], true);
    if ((flags & KeyPairFlagEsign) != 0 &&
        (card.Image().type != 4 || card.Image().EsignKeysInUse() >= static_cast<long>(card.Image().esignPlaces)))
        throw Failure("no free e-signature place on the card");
    PkeyPtr key = CardCrypto::GenerateRsa(bits);
    if (!key) throw Failure("the key could not be generated");
    std::cout << Hex(storeKey(card, key.get(), flags, false, args)) << "\n";
    return 0;
}

int CommandKeyImport(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    PkeyPtr key = readPrivateKey(args.Require("pem"));
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) throw Failure("the key is not an RSA key");
    int flags = ParseUsage(args.Get("usage", "sign,decrypt"));
    if (args.Has("id")) ParseHex(args.Get("id"), 64);
    Card card(readersDir, args.Positional()[0], true);
    std::cout << Hex(storeKey(card, key.get(), flags, true, args)) << "\n";
    return 0;
}

int CommandPubkeyExport(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    std::vector<unsigned char> id = ParseHex(args.Require("id"), 64);
    std::string out = args.Require("out");
    Card card(readersDir, args.Positional()[0], false);
    ImagePublicKey* key = FindKeyById(card.Image(), id);
    if (key == nullptr) throw Failure("no key with ID " + args.Get("id") + " on the card");
    PkeyPtr pkey = CardCrypto::RsaPublicFromComponents(key->modulus, key->exponent);
    FILE* file = pkey ? std::fopen(out.c_str(), "w") : nullptr;
    if (file == nullptr) throw Failure("cannot write " + out);
    bool ok = PEM_write_PUBKEY(file, pkey.get()) == 1;
    if (std::fclose(file) != 0 || !ok) throw Failure("cannot write " + out);
    return 0;
}

int CommandCertAdd(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    X509Ptr x509 = readCertificate(args);
    if (args.Has("id")) ParseHex(args.Get("id"), 64);
    Card card(readersDir, args.Positional()[0], true);
    ImagePublicKey* key = keyOfCertificate(card.Image(), x509.get());
    int kind;
    std::string kindText = args.Get("kind");
    if (kindText == "client") {
        if (key == nullptr) throw Failure("the card holds no key for this certificate");
        kind = CertificateKindClient;
    } else if (kindText == "root") {
        kind = CertificateKindRoot;
    } else if (kindText == "partner") {
        kind = CertificateKindPartner;
    } else if (!kindText.empty()) {
        throw Failure("unknown kind '" + kindText + "' (root, client, partner)");
    } else if (key != nullptr) {
        kind = CertificateKindClient;
    } else {
        bool ca = (X509_get_extension_flags(x509.get()) & EXFLAG_CA) != 0;
        kind = ca || X509_self_signed(x509.get(), 1) == 1 ? CertificateKindRoot : CertificateKindPartner;
    }
    storeCertificate(card, der(x509.get()), kind, kind == CertificateKindClient ? key : nullptr, args, false);
    return 0;
}

int CommandCertIssue(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    std::vector<unsigned char> id = ParseHex(args.Require("id"), 64);
    std::string subject = args.Require("subject");
    X509Ptr caCert = readCertificateFile(args.Require("ca-cert"));
    PkeyPtr caKey = readPrivateKey(args.Require("ca-key"));
    long days = static_cast<long>(ParseNumber(args.Get("days", "365"), 1, 36500, "number of days"));
    if (X509_check_private_key(caCert.get(), caKey.get()) != 1)
        throw Failure("the CA key does not belong to the CA certificate");
    Card card(readersDir, args.Positional()[0], true);
    ImagePublicKey* key = FindKeyById(card.Image(), id);
    if (key == nullptr) throw Failure("no key with ID " + args.Get("id") + " on the card");
    PkeyPtr publicKey = CardCrypto::RsaPublicFromComponents(key->modulus, key->exponent);

    X509Ptr cert(X509_new());
    if (!cert || !publicKey) throw Failure("out of memory");
    X509_set_version(cert.get(), 2);
    std::vector<unsigned char> serial = CardCrypto::RandomVector(16);
    serial[0] &= 0x7F;
    serial[0] |= 0x01;
    BIGNUM* bn = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    ASN1_INTEGER* asn1Serial = bn != nullptr ? BN_to_ASN1_INTEGER(bn, nullptr) : nullptr;
    BN_free(bn);
    if (asn1Serial == nullptr || X509_set_serialNumber(cert.get(), asn1Serial) != 1) {
        ASN1_INTEGER_free(asn1Serial);
        throw Failure("out of memory");
    }
    ASN1_INTEGER_free(asn1Serial);
    parseSubject(X509_get_subject_name(cert.get()), subject);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_time_adj_ex(X509_getm_notAfter(cert.get()), static_cast<int>(days), 0, nullptr);
    X509_set_pubkey(cert.get(), publicKey.get());
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, caCert.get(), cert.get(), nullptr, nullptr, 0);
    addExtension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
    std::string usage = "critical,digitalSignature,nonRepudiation";
    if ((key->record.keyPairFlags & KeyPairFlagDecrypt) != 0) usage += ",keyEncipherment";
    addExtension(cert.get(), &ctx, NID_key_usage, usage.c_str());
    addExtension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), &ctx, NID_authority_key_identifier, "keyid,issuer");
    if (X509_sign(cert.get(), caKey.get(), EVP_sha256()) <= 0) throw Failure("the certificate could not be signed");
    std::vector<unsigned char> bytes = der(cert.get());
    uint32_t recordId = storeCertificate(card, bytes, CertificateKindClient, key, args, true);
    std::cout << "client certificate " << recordId << " issued for key " << Hex(KeyId(*key)) << " and stored ("
              << bytes.size() << " bytes DER)\n"
              << "  subject: " << nameLine(X509_get_subject_name(cert.get())) << "\n"
              << "  issuer: " << nameLine(X509_get_subject_name(caCert.get())) << "\n"
              << "  valid until: " << timeLine(X509_get0_notAfter(cert.get())) << "\n";
    return 0;
}

int CommandDataAdd(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    std::string path = args.Require("file");
    std::vector<unsigned char> data = ReadBinaryFile(path);
    std::string name = args.Has("label") ? args.Get("label") : baseName(path);
    if (name.size() > 80) throw Failure("the label is longer than 80 bytes");
    Card card(readersDir, args.Positional()[0], true);
    ImageFile* file = nullptr;
    int rc = CardContent::AddFile(card.Image(), ContainerId_DATA, name, 0, data.data(), data.size(), &file);
    if (rc == CoreCardMemoryFull) throw Failure("the card's memory is full");
    if (rc != CoreOk) throw Failure("the data file could not be stored (error " + std::to_string(rc) + ")");
    card.Save();
    std::cout << "data file " << file->record.recordId << " stored (" << data.size() << " bytes)\n";
    return 0;
}

}  // namespace CardTool
