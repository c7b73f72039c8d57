// Card writes against crashes and against each other: writers killed with SIGKILL in the
// middle of a write leave the old or the new image, never a damaged one; two processes
// writing one card (the card tool and the module) lose no update. Both print their counts
// (VC_CRASH_KILLS sets the number of kills, default 120).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/CardKeys.h"
#include "support/TestEnv.h"

namespace {

using vctest::TestEnv;

struct Contents {
    bool parses = false;
    long generation = -1;
    int dataFiles = 0;
};

Contents readCard(const std::string& card) {
    vctest::ToolResult dump = TestEnv::Get().Tool("dump '" + card + "'");
    Contents contents;
    contents.parses = dump.exitCode == 0;
    std::istringstream lines(dump.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 10, "data file ") == 0) ++contents.dataFiles;
        if (line.compare(0, 14, "  generation: ") == 0) contents.generation = std::atol(line.c_str() + 14);
    }
    return contents;
}

// Starts the card tool with arguments (no shell), output discarded.
pid_t spawnTool(const std::vector<std::string>& args) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    std::vector<std::string> all = {VC_TOOL_PATH, "--readers-dir", TestEnv::Get().ReadersDir()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(VC_TOOL_PATH, argv.data());
    ::_exit(127);
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

}  // namespace

TEST(CardWriteCrash, WritersKilledMidWriteLeaveTheOldOrTheNewImage) {
    TestEnv& env = TestEnv::Get();
    std::string card = env.MakeReaderWithCard("Crash", 1, "1234", "12345678", "--memory 60000000");
    env.ToolOk("key-generate '" + card + "' --bits 1024");
    // A larger payload makes the write take long enough for kills to land in it.
    std::string payload = env.Path("payload.bin");
    vctest::WriteFile(payload, std::string(256 * 1024, 'p'));

    // How long one complete write takes, to spread the kills over it.
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(WEXITSTATUS(waitFor(spawnTool({"data-add", card, "--file", payload, "--label", "timing"}))), 0);
    long writeMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    // Most of that is starting the tool and reading the card, as a dump does.
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(WEXITSTATUS(waitFor(spawnTool({"dump", card}))), 0);
    long readMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    // The delay before a kill follows the write: later after a kill that came before it,
    // earlier after one that came after the rename.
    long delay = readMicros, step = std::max(100L, writeMicros / 40);

    const char* configured = std::getenv("VC_CRASH_KILLS");
    const int kills = configured != nullptr ? std::atoi(configured) : 120;
    std::mt19937 random(7);
    int killedBefore = 0, killedAfter = 0, finished = 0, midWrite = 0;
    const std::string image = env.ReadersDir() + "/Crash/card.vcard";
    Contents before = readCard(card);
    ASSERT_TRUE(before.parses);
    for (int i = 0; i < kills; ++i) {
        SCOPED_TRACE("kill " + std::to_string(i));
        pid_t writer = spawnTool({"data-add", card, "--file", payload, "--label", "w" + std::to_string(i)});
        long jitter = static_cast<long>(random() % (2 * step + 1)) - step;
        std::this_thread::sleep_for(std::chrono::microseconds(std::max(0L, delay + jitter)));
        ::kill(writer, SIGKILL);
        int status = waitFor(writer);
        // A writer killed between creating its temporary file and the rename leaves the file.
        bool inWrite = ::access((image + ".tmp-" + std::to_string(writer)).c_str(), F_OK) == 0;
        if (inWrite) ++midWrite;
        Contents after = readCard(card);
        ASSERT_TRUE(after.parses) << "the image does not parse after a kill";
        if (after.generation == before.generation) {
            EXPECT_EQ(after.dataFiles, before.dataFiles);
            ++killedBefore;
            if (!inWrite) delay += step;
        } else {
            delay = std::max(0L, delay - step);
            EXPECT_EQ(after.generation, before.generation + 1);
            EXPECT_EQ(after.dataFiles, before.dataFiles + 1);
            if (WIFSIGNALED(status)) ++killedAfter; else ++finished;
        }
        before = after;
    }
    // The next write removes what killed writers left behind.
    env.ToolOk("data-add '" + card + "' --file '" + payload + "' --label last");
    std::string listing = env.Tool("dump '" + card + "'").output;
    FILE* pipe = ::popen(("ls -a '" + env.ReadersDir() + "/Crash'").c_str(), "r");
    char name[256];
    int temporaries = 0;
    while (pipe != nullptr && std::fgets(name, sizeof name, pipe) != nullptr)
        if (std::strstr(name, ".tmp-") != nullptr) ++temporaries;
    if (pipe != nullptr) ::pclose(pipe);
    EXPECT_EQ(temporaries, 0);
    std::printf("crash: %d writers killed with SIGKILL (a write takes %ld us), %d of them while writing their "
                "temporary image: %d left the old image, %d the new one (killed after the rename), %d had "
                "finished; the image parsed every time\n",
                kills, writeMicros, midWrite, killedBefore, killedAfter, finished);
    EXPECT_GT(midWrite, 0) << "no kill landed in a write";
}

TEST(CardWriteCrash, TwoProcessesWritingOneCardLoseNoUpdate) {
    TestEnv& env = TestEnv::Get();
    vctest::InitialiseModule();
    std::string card = env.MakeReaderWithCard("Shared", 1, "1111", "12345678");
    CK_SLOT_ID slot = vctest::SlotOf("Shared");
    ASSERT_NE(slot, 0u);
    const int rounds = 25;
    const std::string note = env.Path("note.txt");
    vctest::WriteFile(note, "note");

    // The module in a child process changes the user PIN back and forth, each change a write.
    pid_t module = ::fork();
    if (module == 0) {
        CK_FUNCTION_LIST_PTR p11 = TestEnv::Get().P11();
        CK_SESSION_HANDLE session = 0;
        int failures = 0;
        if (p11->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session) != CKR_OK)
            ::_exit(2);
        const char* pins[2] = {"1111", "2222"};
        for (int i = 0; i < rounds; ++i) {
            const char* from = pins[i % 2];
            const char* to = pins[(i + 1) % 2];
            if (p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)from, 4) != CKR_OK) ++failures;
            if (p11->C_SetPIN(session, (CK_UTF8CHAR_PTR)from, 4, (CK_UTF8CHAR_PTR)to, 4) != CKR_OK) ++failures;
            p11->C_Logout(session);
        }
        ::_exit(failures == 0 ? 0 : 3);
    }
    // The card tool in other processes adds data files meanwhile.
    for (int i = 0; i < rounds; ++i)
        EXPECT_EQ(WEXITSTATUS(waitFor(spawnTool({"data-add", card, "--file", note, "--label", "n" + std::to_string(i)}))),
                  0);
    int status = waitFor(module);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "PIN changes in the module process failed";

    Contents contents = readCard(card);
    EXPECT_EQ(contents.dataFiles, rounds) << "a data file added by the tool was lost";
    // The last PIN change holds: after an odd number of changes the PIN is the second one.
    CK_FUNCTION_LIST_PTR p11 = env.P11();
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    EXPECT_EQ(p11->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR) "2222", 4), CKR_OK) << "a PIN change was lost";
    p11->C_CloseSession(session);
    std::printf("two writers: %d PIN changes by the module and %d data files by the card tool, none lost "
                "(generation %ld)\n",
                rounds, rounds, contents.generation);
}
