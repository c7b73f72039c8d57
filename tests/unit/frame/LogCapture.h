// Points the module log at a temporary file and reads back the text of its lines.
#pragma once

#include <string>
#include <vector>

namespace vcframe {

class LogCapture {
public:
    explicit LogCapture(int level = 4);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Text of each line after the time stamp, thread id and "Pkcs11: ".
    std::vector<std::string> Lines() const;
    void Clear() const;
    const std::string& Path() const { return path_; }

private:
    std::string dir_;
    std::string path_;
};

// A fresh temporary directory below VC_TEST_TMP.
std::string MakeTempDir(const char* prefix);
void RemoveTree(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

}  // namespace vcframe
