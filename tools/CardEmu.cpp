// vellumcrest-card-emu: serves one card image as a card in a virtual reader of vpcd (the
// vsmartcard PC/SC driver). The emulator connects to vpcd's port: connected is inserted,
// disconnected is pulled. Each vpcd message is a 2-byte big-endian length and a payload: one
// control byte (0 power off, 1 power on, 2 reset, 4 the ATR is wanted) or a command APDU,
// answered with the response APDU. The private keys are unsealed in this process only.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "core/CardApduServer.h"
#include "core/CardImage.h"
#include "core/CardReaders.h"
#include "core/Config.h"
#include "core/Reader.h"

#ifndef VC_VERSION
#define VC_VERSION "unknown"
#endif

using namespace Vellumcrest::Core;

namespace {

constexpr int kDefaultPort = 35963;
constexpr int kRetryMs = 200;

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) { stopRequested = 1; }

enum Control : unsigned char { PowerOff = 0, PowerOn = 1, ResetCard = 2, GetAtr = 4 };

struct Options {
    std::string host = "127.0.0.1";
    int port = kDefaultPort;
    std::string readersDir;
    std::string card;
};

void usage(std::ostream& out) {
    out << "usage: vellumcrest-card-emu [--vpcd-host HOST] [--vpcd-port PORT] [--readers-dir DIR] CARD\n"
           "       vellumcrest-card-emu --help | --version\n\n"
           "Serves the card image CARD (a path, or @READER for the card in a virtual reader) as a\n"
           "smart card in a vpcd virtual reader of pcscd. Connects to vpcd at HOST:PORT (default\n"
           "127.0.0.1:35963), retrying every 200 ms until it can, and again after a lost connection.\n"
           "Prints \"serving CARD on vpcd HOST:PORT\" once connected. SIGTERM or SIGINT stops it (the\n"
           "card is pulled). See vellumcrest-card-emu(1).\n";
}

// 2: usage error (message printed).
int parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string value;
        auto takeValue = [&](const char* name) {
            std::string prefix = std::string(name) + "=";
            if (word.compare(0, prefix.size(), prefix) == 0) {
                value = word.substr(prefix.size());
                return true;
            }
            if (word != name) return false;
            if (i + 1 >= argc) throw std::runtime_error(std::string("option ") + name + " needs a value");
            value = argv[++i];
            return true;
        };
        if (takeValue("--vpcd-host")) {
            options->host = value;
        } else if (takeValue("--vpcd-port")) {
            char* end = nullptr;
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 1 || port > 65535)
                throw std::runtime_error("--vpcd-port must be 1 to 65535");
            options->port = static_cast<int>(port);
        } else if (takeValue("--readers-dir")) {
            options->readersDir = value;
        } else if (!word.empty() && word[0] == '-' && word != "-") {
            throw std::runtime_error("unknown option '" + word + "'");
        } else if (options->card.empty()) {
            options->card = word;
        } else {
            throw std::runtime_error("only one CARD may be given");
        }
    }
    if (options->card.empty()) throw std::runtime_error("no CARD given");
    return 0;
}

// Sleeps up to ms, cut short by a stop signal.
void pause(int ms) {
    for (int slept = 0; slept < ms && !stopRequested; slept += 20) ::usleep(20 * 1000);
}

int connectTo(const Options& options) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string port = std::to_string(options.port);
    if (::getaddrinfo(options.host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd >= 0) {
        // Each APDU is one small message that the reader waits for.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// Reads exactly size bytes. 1 done, 0 connection closed or failed, -1 stop requested.
int readFully(int fd, unsigned char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        if (stopRequested) return -1;
        pollfd p = {fd, POLLIN, 0};
        int ready = ::poll(&p, 1, kRetryMs);
        if (ready < 0 && errno != EINTR) return 0;
        if (ready <= 0) continue;
        // vpcd writes a frame's length and payload apart without TCP_NODELAY: an immediate
        // ACK of the length lets the payload follow at once instead of after a delayed ACK.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        ssize_t n = ::recv(fd, data + done, size - done, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return 0;
        done += static_cast<size_t>(n);
    }
    return 1;
}

bool sendMessage(int fd, const Apdu::Bytes& payload) {
    if (payload.size() > 0xFFFF) return false;
    Apdu::Bytes frame = {static_cast<unsigned char>(payload.size() >> 8), static_cast<unsigned char>(payload.size())};
    frame.insert(frame.end(), payload.begin(), payload.end());
    size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Serves one connection until vpcd closes it or a stop is requested (then true). *messages
// counts what vpcd sent.
bool serve(int fd, CardApduServer& server, size_t* messages) {
    Apdu::Bytes payload;
    for (;; ++*messages) {
        unsigned char header[2];
        int rc = readFully(fd, header, sizeof header);
        if (rc <= 0) return rc < 0;
        size_t length = static_cast<size_t>(header[0]) << 8 | header[1];
        payload.assign(length, 0);
        rc = length > 0 ? readFully(fd, payload.data(), length) : 1;
        if (rc <= 0) {
            WipeBytes(&payload);
            return rc < 0;
        }
        if (length == 0) continue;
        bool sent = true;
        if (length == 1) {
            switch (payload[0]) {
            case PowerOff:
            case PowerOn:
            case ResetCard: server.Reset(); break;
            case GetAtr: sent = sendMessage(fd, CardApduServer::Atr()); break;
            default: break;  // unknown control bytes are ignored, as vpcd's own cards do
            }
        } else {
            Apdu::Bytes response = server.Process(payload.data(), payload.size());
            WipeBytes(&payload);
            sent = sendMessage(fd, response);
            WipeBytes(&response);
        }
        if (!sent) return false;
    }
}

std::string resolveCard(const Options& options) {
    if (options.card.size() > 1 && options.card[0] == '@') {
        std::string readersDir =
            options.readersDir.empty() ? std::string(GetConfigGlobal()->GetReadersDir()) : options.readersDir;
        ReaderEntry entry;
        if (readersDir.empty() || !FindReader(readersDir, options.card.substr(1), &entry))
            throw std::runtime_error("unknown reader '" + options.card.substr(1) + "'");
        return entry.ImagePath();
    }
    return options.card;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            usage(std::cout);
            return 0;
        }
        if (word == "--version" || word == "-V") {
            std::cout << "vellumcrest-card-emu " << VC_VERSION << "\n";
            return 0;
        }
    }
    Options options;
    std::string path;
    try {
        parseOptions(argc, argv, &options);
        path = resolveCard(options);
    } catch (const std::exception& error) {
        std::cerr << "vellumcrest-card-emu: " << error.what() << " (see vellumcrest-card-emu --help)\n";
        return 2;
    }
    std::unique_ptr<CardImage> image;
    CardFileStamp stamp;
    int rc = ReadCardImage(path, &image, &stamp);
    if (rc == CoreCardNotPresent || rc == CoreIoError) {
        std::cerr << "vellumcrest-card-emu: cannot read the card image " << path << "\n";
        return 1;
    }
    if (rc != CoreOk)
        std::cerr << "vellumcrest-card-emu: " << path << " is not a valid card image; served as a foreign card\n";
    image.reset();

    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<ReaderCardPair> pair = ReaderCardPair::ForImage("vellumcrest-card-emu", path);
    CardApduServer server(pair.get());
    bool announced = false;
    while (!stopRequested) {
        int fd = connectTo(options);
        if (fd < 0) {
            pause(kRetryMs);
            continue;
        }
        if (!announced) {
            std::printf("serving %s on vpcd %s:%d\n", options.card.c_str(), options.host.c_str(), options.port);
            std::fflush(stdout);
            announced = true;
        }
        server.Reset();
        size_t messages = 0;
        bool stop = serve(fd, server, &messages);
        ::close(fd);
        server.Reset();  // pulled: nothing stays verified
        if (stop || stopRequested) break;
        // A vpcd that takes the connection and drops it at once (its reader has a card) is
        // retried quietly.
        if (messages > 0)
            std::fprintf(stderr, "vellumcrest-card-emu: vpcd %s:%d closed the connection; retrying\n",
                         options.host.c_str(), options.port);
        pause(kRetryMs);
    }
    return 0;
}
