#include "LogCapture.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "module/Globals.h"

namespace vcframe {

std::string MakeTempDir(const char* prefix) {
    std::string base = VC_TEST_TMP;
    ::mkdir(base.c_str(), 0755);
    std::string pattern = base + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << pattern;
        return base;
    }
    return buffer.data();
}

void RemoveTree(const std::string& path) {
    if (std::getenv("VC_KEEP_TMP") != nullptr || path.empty()) return;
    std::string command = "rm -rf '" + path + "'";
    if (std::system(command.c_str()) != 0) ADD_FAILURE() << command;
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

LogCapture::LogCapture(int level) : dir_(MakeTempDir("unit-frame-log")), path_(dir_ + "/module.log") {
    Vellumcrest::Core::Log* log = Vellumcrest::Pkcs11::GetPkcs11Log();
    log->SetApplication("Pkcs11");
    log->SetFileName(path_.c_str());
    log->SetLevel(level);
}

LogCapture::~LogCapture() {
    Vellumcrest::Core::Log* log = Vellumcrest::Pkcs11::GetPkcs11Log();
    log->SetLevel(0);
    log->SetFileName("");
    RemoveTree(dir_);
}

std::vector<std::string> LogCapture::Lines() const {
    std::ifstream in(path_, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    const std::string marker = "] Pkcs11: ";
    while (std::getline(in, line)) {
        size_t at = line.find(marker);
        if (at == std::string::npos) {
            ADD_FAILURE() << "log line without application name: " << line;
            continue;
        }
        lines.push_back(line.substr(at + marker.size()));
    }
    return lines;
}

void LogCapture::Clear() const { std::ofstream(path_, std::ios::trunc); }

}  // namespace vcframe
