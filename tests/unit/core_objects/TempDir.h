// A temporary directory for one test, removed afterwards.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace coretest {

class TempDir {
public:
    TempDir() {
        std::string base = VC_TEST_TMP;
        ::mkdir(base.c_str(), 0700);
        std::string pattern = base + "/core-objects-XXXXXX";
        char* made = ::mkdtemp(&pattern[0]);
        path_ = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        if (path_ != "/tmp") std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream out;
    out << file.rdbuf();
    return out.str();
}

}  // namespace coretest
