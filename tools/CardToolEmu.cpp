// vellumcrest-card: emu-start, emu-list and emu-stop - card emulators (vellumcrest-card-emu)
// running detached, one per vpcd port, recorded in READERS_DIR/.emu/PORT.pid (the pid alone,
// for shell use) and PORT.card (the card served), with their output in PORT.log.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "CardTool.h"

namespace CardTool {

namespace {

constexpr const char* kEmulatorName = "vellumcrest-card-emu";
constexpr int kWaitMs = 5000;

struct Emulator {
    int port = 0;
    pid_t pid = 0;
    std::string card;
};

std::string emuDir(const std::string& readersDir) { return readersDir + "/.emu"; }
std::string pidFile(const std::string& readersDir, int port) {
    return emuDir(readersDir) + "/" + std::to_string(port) + ".pid";
}
std::string cardFile(const std::string& readersDir, int port) {
    return emuDir(readersDir) + "/" + std::to_string(port) + ".card";
}
std::string logFile(const std::string& readersDir, int port) {
    return emuDir(readersDir) + "/" + std::to_string(port) + ".log";
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// True while pid is a running (not zombie) card emulator: a pid file may outlive its
// process, and the pid may then belong to another program.
bool isRunningEmulator(pid_t pid) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM)) return false;
    std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && (stat[close + 2] == 'Z' || stat[close + 2] == 'X'))
        return false;
    std::string cmdline = readText("/proc/" + std::to_string(pid) + "/cmdline");
    std::string program = cmdline.substr(0, cmdline.find('\0'));
    return program.size() >= std::strlen(kEmulatorName) &&
           program.compare(program.size() - std::strlen(kEmulatorName), std::string::npos, kEmulatorName) == 0;
}

void forget(const std::string& readersDir, int port) {
    ::unlink(pidFile(readersDir, port).c_str());
    ::unlink(cardFile(readersDir, port).c_str());
}

bool readRecord(const std::string& readersDir, int port, Emulator* emulator) {
    std::ifstream in(pidFile(readersDir, port));
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || pid > INT_MAX) return false;
    emulator->port = port;
    emulator->pid = static_cast<pid_t>(pid);
    std::ifstream card(cardFile(readersDir, port));
    std::getline(card, emulator->card);
    return true;
}

// Emulators on record; records of processes that are gone are removed.
std::vector<Emulator> runningEmulators(const std::string& readersDir) {
    std::vector<Emulator> running;
    DIR* dir = ::opendir(emuDir(readersDir).c_str());
    if (dir == nullptr) return running;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() < 5 || name.compare(name.size() - 4, 4, ".pid") != 0) continue;
        std::string digits = name.substr(0, name.size() - 4);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        int port = std::stoi(digits);
        Emulator emulator;
        if (readRecord(readersDir, port, &emulator) && isRunningEmulator(emulator.pid))
            running.push_back(emulator);
        else
            forget(readersDir, port);
    }
    ::closedir(dir);
    std::sort(running.begin(), running.end(), [](const Emulator& a, const Emulator& b) { return a.port < b.port; });
    return running;
}

std::string line(const Emulator& emulator) {
    return std::to_string(emulator.port) + "\tpid=" + std::to_string(emulator.pid) + "\tcard=" + emulator.card;
}

// The emulator beside this program, else the one on PATH.
std::string emulatorPath() {
    if (const char* given = std::getenv("VELLUMCREST_CARD_EMU")) return given;
    char self[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        std::string beside = path.substr(0, path.find_last_of('/') + 1) + kEmulatorName;
        if (::access(beside.c_str(), X_OK) == 0) return beside;
    }
    return kEmulatorName;
}

std::string absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return ::getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

bool waitGone(pid_t pid, int ms) {
    for (int waited = 0; waited < ms; waited += 50) {
        if (!isRunningEmulator(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return !isRunningEmulator(pid);
}

void stop(const std::string& readersDir, const Emulator& emulator) {
    ::kill(emulator.pid, SIGTERM);
    bool gone = waitGone(emulator.pid, kWaitMs);
    if (!gone) {
        ::kill(emulator.pid, SIGKILL);
        waitGone(emulator.pid, 1000);
    }
    forget(readersDir, emulator.port);
    std::cout << "stopped " << line(emulator) << (gone ? "" : " (killed: it did not stop in 5 s)") << "\n";
}

}  // namespace

int CommandEmuStart(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(1, 1);
    int port = static_cast<int>(ParseNumber(args.Require("vpcd-port"), 1, 65535, "--vpcd-port"));
    std::string host = args.Get("vpcd-host", "127.0.0.1");
    std::string card = args.Positional()[0];
    if (card[0] != '@') {
        card = absolute(card);
        if (::access(card.c_str(), R_OK) != 0) throw Failure("no card image " + card);
    } else {
        RequireReader(readersDir, card.substr(1));
    }
    for (const Emulator& emulator : runningEmulators(readersDir))
        if (emulator.port == port) throw Failure("vpcd port " + std::to_string(port) + " is served already: " + line(emulator));
    if (::mkdir(emuDir(readersDir).c_str(), 0700) != 0 && errno != EEXIST)
        throw Failure("cannot create " + emuDir(readersDir) + ": " + std::strerror(errno));

    std::string log = logFile(readersDir, port);
    int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (logFd < 0) throw Failure("cannot write " + log + ": " + std::strerror(errno));
    std::string program = emulatorPath();
    std::vector<std::string> words = {program, "--readers-dir", readersDir, "--vpcd-host", host,
                                      "--vpcd-port", std::to_string(port), card};
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(logFd);
        throw Failure(std::string("cannot start the emulator: ") + std::strerror(errno));
    }
    if (pid == 0) {
        // Detached: its own session, no terminal, output to the log.
        ::setsid();
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        ::dup2(logFd, 1);
        ::dup2(logFd, 2);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(&word[0]);
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        std::fprintf(stderr, "vellumcrest-card: cannot run %s: %s\n", argv[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(logFd);
    Emulator emulator{port, pid, card};
    {
        std::ofstream served(cardFile(readersDir, port), std::ios::trunc);
        served << card << "\n";
        std::ofstream record(pidFile(readersDir, port), std::ios::trunc);
        record << pid << "\n";
        if (!served.flush() || !record.flush()) throw Failure("cannot write to " + emuDir(readersDir));
    }
    // Until it says it serves, exits or 5 s pass (vpcd may come later: it keeps trying).
    for (int waited = 0;; waited += 50) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            forget(readersDir, port);
            std::string output = readText(log);
            throw Failure("the emulator ended at once" + (output.empty() ? std::string() : ":\n" + output));
        }
        if (readText(log).find("serving ") != std::string::npos) {
            std::cout << line(emulator) << "\n";
            return 0;
        }
        if (waited >= kWaitMs) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::cout << line(emulator) << "\n";
    std::cerr << "vellumcrest-card: the emulator runs but has not reached vpcd on " << host << ":" << port
              << " yet (is pcscd with vpcd running?); it keeps trying\n";
    return 0;
}

int CommandEmuList(const std::string& readersDir, const Args& args) {
    args.ExpectPositional(0, 0);
    for (const Emulator& emulator : runningEmulators(readersDir)) std::cout << line(emulator) << "\n";
    return 0;
}

int CommandEmuStop(const std::string& readersDir, const Args& args) {
    bool all = args.Has("all");
    args.ExpectPositional(all ? 0 : 1, all ? 0 : 1);
    std::vector<Emulator> running = runningEmulators(readersDir);
    if (all) {
        for (const Emulator& emulator : running) stop(readersDir, emulator);
        return 0;
    }
    int port = static_cast<int>(ParseNumber(args.Positional()[0], 1, 65535, "PORT"));
    for (const Emulator& emulator : running) {
        if (emulator.port != port) continue;
        stop(readersDir, emulator);
        return 0;
    }
    throw Failure("no emulator serves vpcd port " + std::to_string(port));
}

}  // namespace CardTool
