// vellumcrest-card-emu and the card tool's emu-* commands against a stand-in for vpcd: a
// loopback listener that speaks vpcd's framing (2-byte length, control byte or APDU).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include "ApduTestUtil.h"

extern char** environ;

using namespace Vellumcrest::Core;
using namespace apdutest;

namespace {

std::string emulatorPath() {
    std::string tool = VC_TOOL_PATH;
    return tool.substr(0, tool.find_last_of('/') + 1) + "vellumcrest-card-emu";
}

class FakeVpcd {
public:
    FakeVpcd() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(::listen(listener_, 4), 0);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~FakeVpcd() {
        Drop();
        ::close(listener_);
    }
    int Port() const { return port_; }
    // Waits up to 10 s for the card to connect.
    bool Accept() {
        Drop();
        pollfd p = {listener_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return false;
        card_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        return card_ >= 0;
    }
    void Drop() {
        if (card_ >= 0) ::close(card_);
        card_ = -1;
    }
    void Control(unsigned char byte) { send(Bytes{byte}); }
    Bytes Atr() {
        send(Bytes{4});
        return receive();
    }
    Response Transmit(const Bytes& apdu) {
        send(apdu);
        Bytes raw = receive();
        Response response;
        EXPECT_TRUE(Apdu::ParseResponse(raw.data(), raw.size(), &response));
        return response;
    }
    // True when the card closed the connection within 10 s.
    bool Closed() {
        pollfd p = {card_, POLLIN, 0};
        unsigned char byte;
        return ::poll(&p, 1, 10000) == 1 && ::recv(card_, &byte, 1, 0) == 0;
    }

private:
    void send(const Bytes& payload) {
        Bytes frame = {static_cast<unsigned char>(payload.size() >> 8), static_cast<unsigned char>(payload.size())};
        frame.insert(frame.end(), payload.begin(), payload.end());
        ASSERT_EQ(::send(card_, frame.data(), frame.size(), MSG_NOSIGNAL), static_cast<ssize_t>(frame.size()));
    }
    bool readFully(unsigned char* data, size_t size) {
        size_t done = 0;
        while (done < size) {
            pollfd p = {card_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) return false;
            ssize_t n = ::recv(card_, data + done, size - done, 0);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    Bytes receive() {
        unsigned char header[2];
        if (!readFully(header, 2)) return Bytes();
        Bytes payload(static_cast<size_t>(header[0] << 8 | header[1]));
        if (!readFully(payload.data(), payload.size())) return Bytes();
        return payload;
    }
    int listener_ = -1;
    int card_ = -1;
    int port_ = 0;
};

const Bytes kSelect = Apdu::BuildCommand(0x00, Apdu::InsSelect, 0x04, 0x00, Bytes(Apdu::kAid, Apdu::kAid + 8), 256);

Bytes verify(const std::string& pin) {
    return Apdu::BuildCommand(0x00, Apdu::InsVerify, 0x00, 0x81, Bytes(pin.begin(), pin.end()), 0);
}

pid_t spawn(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    std::vector<std::string> copy = words;
    for (std::string& word : copy) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int exitCode(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST_F(ApduTest, EmulatorSpeaksVpcdReconnectsAsANewInsertionAndStopsCleanly) {
    std::string card = InsertNewCard("R1", "--type 3 --so-pin 87654321 --user-pin 1234");
    FakeVpcd vpcd;
    pid_t pid = spawn({emulatorPath(), "--readers-dir", readers_, "--vpcd-port", std::to_string(vpcd.Port()), "@R1"});
    ASSERT_TRUE(vpcd.Accept()) << "the emulator connects";
    vpcd.Control(1);
    EXPECT_EQ(vpcd.Atr(), CardApduServer::Atr());
    EXPECT_EQ(vpcd.Transmit(kSelect).sw, Apdu::SwOk);
    EXPECT_EQ(vpcd.Transmit(verify("1234")).sw, Apdu::SwOk);
    // A frame of almost 64 KiB in and out: a data file of 60000 bytes, read back.
    Apdu::TlvWriter file;
    file.Add(Apdu::TagName, Text("f")).AddU32(Apdu::TagContainer, ContainerId_DATA).AddU32(Apdu::TagFlags, 0);
    file.Add(Apdu::TagContent, Bytes(60000, 0x5A));
    EXPECT_EQ(vpcd.Transmit(Apdu::BuildCommand(0x80, Apdu::InsCreate, Apdu::ItemDataFile, 0, file.Data(), 256)).sw,
              Apdu::SwOk);
    Bytes offset = Apdu::TlvWriter().AddU32(Apdu::TagOffset, 0).Take();
    Response image = vpcd.Transmit(Apdu::BuildCommand(0x00, Apdu::InsReadBinaryOdd, 0x50, 0x01, offset, 65536));
    EXPECT_EQ(image.sw, Apdu::SwEndOfFile) << "the whole image in one response";
    EXPECT_GT(image.data.size(), 60000u);

    // A reset, and a pulled and re-inserted card, forget the verified PIN and the selection.
    vpcd.Control(2);
    EXPECT_EQ(vpcd.Transmit(verify("1234")).sw, Apdu::SwConditionsNotSatisfied);
    EXPECT_EQ(vpcd.Transmit(kSelect).sw, Apdu::SwOk);
    EXPECT_EQ(vpcd.Transmit(verify("1234")).sw, Apdu::SwOk);
    vpcd.Drop();
    ASSERT_TRUE(vpcd.Accept()) << "the emulator comes back";
    EXPECT_EQ(vpcd.Transmit(kSelect).sw, Apdu::SwOk);
    EXPECT_EQ(vpcd.Transmit(Apdu::BuildCommand(0x00, Apdu::InsVerify, 0x00, 0x81, Bytes(), 0)).sw, 0x63C3);

    // SIGTERM between commands: exit 0, the card pulled, the image intact.
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_TRUE(vpcd.Closed());
    EXPECT_EQ(exitCode(pid), 0);
    std::unique_ptr<CardImage> parsed;
    CardFileStamp stamp;
    ASSERT_EQ(ReadCardImage(card, &parsed, &stamp), CoreOk);
    EXPECT_EQ(parsed->files.size(), 1u);

    // Usage errors and a card that is not there.
    EXPECT_EQ(exitCode(spawn({emulatorPath(), "--vpcd-port", "0", card})), 2);
    EXPECT_EQ(exitCode(spawn({emulatorPath(), "--bogus", card})), 2);
    EXPECT_EQ(exitCode(spawn({emulatorPath(), "--vpcd-port", "1", root_ + "/none.vcard"})), 1);
}

TEST_F(ApduTest, CardToolStartsListsAndStopsEmulators) {
    std::string card = InsertNewCard("R1", "--type 1 --user-pin 1234");
    FakeVpcd first, second;
    std::string p1 = std::to_string(first.Port()), p2 = std::to_string(second.Port());
    std::string started = ToolOk("emu-start @R1 --vpcd-port " + p1);
    EXPECT_EQ(started.compare(0, p1.size() + 5, p1 + "\tpid="), 0) << started;
    EXPECT_NE(started.find("\tcard=@R1"), std::string::npos);
    std::string pid = started.substr(p1.size() + 5, started.find("\tcard=") - p1.size() - 5);
    EXPECT_EQ(cardtest::ReadBytes(readers_ + "/.emu/" + p1 + ".pid"), Text(pid + "\n")) << "the pid alone";
    ASSERT_TRUE(first.Accept());
    EXPECT_EQ(first.Transmit(kSelect).sw, Apdu::SwOk);
    cardtest::ToolRun again = Tool("emu-start @R1 --vpcd-port " + p1);
    EXPECT_EQ(again.exitCode, 1) << "one emulator per port";
    ToolOk("emu-start " + cardtest::Quote(card) + " --vpcd-port " + p2);
    ASSERT_TRUE(second.Accept());

    std::string list = ToolOk("emu-list");
    EXPECT_NE(list.find(p1 + "\tpid="), std::string::npos) << list;
    EXPECT_NE(list.find(p2 + "\tpid="), std::string::npos) << list;
    EXPECT_NE(list.find("card=" + card), std::string::npos) << "paths are recorded absolute: " << list;

    std::string stopped = ToolOk("emu-stop " + p1);
    EXPECT_EQ(stopped.find("killed"), std::string::npos) << stopped;
    EXPECT_TRUE(first.Closed());
    EXPECT_EQ(ToolOk("emu-list").find(p1 + "\t"), std::string::npos);
    EXPECT_EQ(Tool("emu-stop " + p1).exitCode, 1);
    ToolOk("emu-stop --all");
    EXPECT_TRUE(second.Closed());
    EXPECT_EQ(ToolOk("emu-list"), "");
    EXPECT_EQ(Tool("emu-start " + cardtest::Quote(root_ + "/none.vcard") + " --vpcd-port " + p1).exitCode, 1);
    EXPECT_EQ(Tool("emu-start @R1").exitCode, 2);
}
