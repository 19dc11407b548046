// The folder the deliverables are built into, which the run command starts from: the library
// loads its bus libraries from its own folder, so a test double there would stand in for the
// real one without a word.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// An entry of each fake bus library's test control; the real libraries have none of them.
constexpr const char* kFakeEntries[] = {"aaFakeReset", "armFakeReset", "spFakeReset"};

TEST(RunFolder, HoldsNoTestDoubleOfABusLibrary) {
    const std::filesystem::path folder = CORVANE_RUN_FOLDER;
    ASSERT_TRUE(std::filesystem::is_directory(folder)) << folder;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().string().find(".so") == std::string::npos) continue;
        std::ifstream file(entry.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (const char* fake : kFakeEntries)
            EXPECT_EQ(bytes.find(std::string(fake) + '\0'), std::string::npos) << entry.path() << " is a test double";
    }
}

} // namespace
