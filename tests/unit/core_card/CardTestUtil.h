// Fixture for the virtual card core: a fresh readers directory per test (through
// VELLUMCREST_READERS_DIR) and the card tool to make readers and cards.
#pragma once

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Reader.h"

namespace cardtest {

inline std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''"; else quoted += c;
    }
    return quoted + "'";
}

struct ToolRun {
    int exitCode;
    std::string output;
};

inline std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

class CardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string base = VC_TEST_TMP;
        ::mkdir(base.c_str(), 0755);
        std::string pattern = base + "/core-card-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        ASSERT_NE(::mkdtemp(buffer.data()), nullptr);
        root_ = buffer.data();
        readers_ = root_ + "/readers";
        ::mkdir(readers_.c_str(), 0755);
        ::setenv("VELLUMCREST_READERS_DIR", readers_.c_str(), 1);
    }

    void TearDown() override {
        if (std::getenv("VC_KEEP_TMP") == nullptr) std::system(("rm -rf " + Quote(root_)).c_str());
    }

    ToolRun Tool(const std::string& args) {
        std::string command = std::string(VC_TOOL_PATH) + " --readers-dir " + Quote(readers_) + " " + args + " 2>&1";
        ToolRun run{-1, ""};
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) run.output.append(chunk, n);
        int status = ::pclose(pipe);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    std::string ToolOk(const std::string& args) {
        ToolRun run = Tool(args);
        EXPECT_EQ(run.exitCode, 0) << "vellumcrest-card " << args << "\n" << run.output;
        return run.output;
    }

    // A reader with a new card in it; returns the image path in the reader.
    std::string InsertNewCard(const std::string& reader, const std::string& createArgs) {
        if (!Exists(ReaderDir(reader))) ToolOk("reader-add " + Quote(reader));
        std::string image = root_ + "/new-" + std::to_string(serial_++) + ".vcard";
        ToolOk("card-create " + Quote(image) + " " + createArgs);
        ToolOk("card-insert " + Quote(reader) + " " + Quote(image));
        return ReaderDir(reader) + "/card.vcard";
    }

    // A new card in a new reader, seen through list_.
    Vellumcrest::Core::ReaderCardPair* Card(const std::string& createArgs, const std::string& reader = "R1") {
        InsertNewCard(reader, createArgs);
        EXPECT_EQ(list_.Update(false), Vellumcrest::Core::CoreOk);
        return PairOf(list_, reader);
    }

    // Directory of a reader whose name needs no escaping.
    std::string ReaderDir(const std::string& reader) const { return readers_ + "/" + reader; }

    // The pair of a reader, found by name in the list (nullptr when unknown).
    static Vellumcrest::Core::ReaderCardPair* PairOf(Vellumcrest::Core::ReaderCardPairList& list,
                                                     const std::string& reader, unsigned long* slot = nullptr) {
        for (unsigned long h = list.GetFirstHandle(); h != 0; h = list.GetNextHandle(h)) {
            Vellumcrest::Core::ReaderCardPair* pair = list.GetReaderCardPair(h, false);
            if (pair != nullptr && reader == pair->GetReader()->GetReaderName()) {
                if (slot != nullptr) *slot = h;
                return pair;
            }
        }
        return nullptr;
    }

    static int Login(Vellumcrest::Core::ReaderCardPair* pair, int authId, const std::string& pin) {
        return pair->Login(authId, reinterpret_cast<const unsigned char*>(pin.data()), pin.size());
    }

    std::string root_;
    std::string readers_;
    int serial_ = 0;
    Vellumcrest::Core::ReaderCardPairList list_;
};

}  // namespace cardtest
