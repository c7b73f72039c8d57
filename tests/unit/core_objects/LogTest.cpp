#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "core/Log.h"

using namespace Vellumcrest::Core;
using coretest::ReadText;
using coretest::TempDir;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The text after "<stamp> [tid] app: ".
std::string Body(const std::string& line, const std::string& app) {
    size_t at = line.find("] " + app + ": ");
    return at == std::string::npos ? std::string("<no prefix>") : line.substr(at + app.size() + 4);
}

void Open(Log& log, const char* app, const std::string& path, int level) {
    log.SetApplication(app);
    log.SetFileName(path.c_str());
    log.SetLevel(level);
}

}  // namespace

TEST(Log, LineFormatDataDumpAndLengthCap) {
    TempDir dir;
    Log log;
    Open(log, "Pkcs11", dir.File("a.log"), Log::LevelDebug);
    log.Info("hello %s %lu 0x%lX", "world", 42ul, 0x1234ABCDul);
    unsigned char data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>(0x2E + i * 3);
    data[0] = 0x30;
    data[1] = 0x82;
    log.InfoData(data, sizeof(data), "    title %d:", 7);
    log.WriteData(1, nullptr, 5, "null");
    std::string medium(5000, 'm'), huge(200000, 'h');
    log.Info("%s", medium.c_str());
    log.Info("%s!", huge.c_str());

    auto lines = Lines(ReadText(dir.File("a.log")));
    ASSERT_EQ(lines.size(), 8u);
    std::regex format(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[(\d+)\] Pkcs11: hello world 42 0x1234ABCD$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, format)) << lines[0];
    EXPECT_EQ(std::stol(match[1]), static_cast<long>(::gettid()));
    const char* expected[] = {
        "    title 7:",
        "    0000: 30 82 34 37 3a 3d 40 43 46 49 4c 4f 52 55 58 5b  |0.47:=@CFILORUX[|",
        "    0010: 5e 61 64 67                                      |^adg|", nullptr,
        "    (null, 5 bytes)"};
    for (int i = 0; i < 5; ++i) {
        if (expected[i] == nullptr) continue;
        EXPECT_EQ(Body(lines[1 + i], "Pkcs11"), expected[i]);
    }
    EXPECT_EQ(Body(lines[6], "Pkcs11"), medium);
    std::string cut = Body(lines[7], "Pkcs11");
    EXPECT_EQ(cut.size(), 64u * 1024u);
    EXPECT_EQ(cut.substr(cut.size() - 4), "h...");
}

TEST(Log, LevelsSelectLinesAndDisabledLevelsDoNotFormat) {
    TempDir dir;
    Log log;
    Open(log, "T", dir.File("l.log"), Log::LevelWarning);
    EXPECT_TRUE(log.IsEnabled(Log::LevelError));
    EXPECT_TRUE(log.IsEnabled(Log::LevelWarning));
    EXPECT_FALSE(log.IsEnabled(Log::LevelInfo));
    log.Error("e");
    log.Warning("w");
    log.Info("i");
    log.Debug("d");
    log.Write(2, "write2");
    log.Write(3, "write3");
    // Arguments of a disabled level are never read: this pointer would crash a printf.
    const char* invalid = reinterpret_cast<const char*>(16);
    log.Info("%s", invalid);
    log.Debug("%s", invalid);
    log.Write(4, "%s", invalid);
    log.InfoData(invalid, 100, "%s", invalid);
    log.DebugData(invalid, 100, "%s", invalid);
    log.WriteData(3, invalid, 100, "%s", invalid);
    auto lines = Lines(ReadText(dir.File("l.log")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(Body(lines[0], "T"), "e");
    EXPECT_EQ(Body(lines[1], "T"), "w");
    EXPECT_EQ(Body(lines[2], "T"), "write2");

    // Without a file nothing is formatted either (level zero and an empty path are checked
    // by the client configuration script).
    Log noFile;
    noFile.SetLevel(Log::LevelDebug);
    EXPECT_FALSE(noFile.IsEnabled(Log::LevelError));
    noFile.Error("%s", invalid);
}

TEST(Log, TwoLogsShareOneFileAndThreadsDoNotInterleave) {
    TempDir dir;
    std::string path = dir.File("shared.log");
    Log a, b;
    a.SetApplication("Pkcs11");
    b.SetApplication("Pkcs11-core");
    for (Log* log : {&a, &b}) {
        log->SetFileName(path.c_str());
        log->SetLevel(Log::LevelDebug);
    }
    const int kLines = 400;
    std::string payload(300, 'x');
    unsigned char dump[64];
    for (int i = 0; i < 64; ++i) dump[i] = static_cast<unsigned char>(i);
    auto writer = [&](Log* log, char tag) {
        for (int i = 0; i < kLines; ++i) {
            log->Info("%c%04d %s", tag, i, payload.c_str());
            if (i % 50 == 0) log->InfoData(dump, sizeof(dump), "%c dump", tag);
        }
    };
    std::thread t1(writer, &a, 'A'), t2(writer, &b, 'B'), t3(writer, &a, 'C');
    t1.join();
    t2.join();
    t3.join();
    auto lines = Lines(ReadText(path));
    ASSERT_EQ(lines.size(), 3u * (kLines + 8 * 5));
    std::regex line(R"(^\S+ \S+ \[\d+\] (Pkcs11|Pkcs11-core): ([ABC]\d{4} x{300}|[ABC] dump|    00[0-3]0: .*\|)$)");
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(std::regex_match(lines[i], line)) << lines[i];
        // A dump stays in one piece: title then its four lines.
        if (lines[i].find(" dump") != std::string::npos) {
            ASSERT_LT(i + 4, lines.size());
            for (int k = 0; k < 4; ++k) EXPECT_NE(lines[i + 1 + k].find("    00" + std::to_string(k) + "0: "), std::string::npos);
        }
    }
}

TEST(Log, FileRemovedWhileOpenIsCreatedAgain) {
    TempDir dir;
    std::string path = dir.File("rot.log");
    Log log;
    Open(log, "R", path, Log::LevelInfo);
    log.Info("before");
    ASSERT_EQ(::unlink(path.c_str()), 0);
    log.Info("after");
    auto lines = Lines(ReadText(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(Body(lines[0], "R"), "after");
    struct stat info;
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);  // not readable by others
}
