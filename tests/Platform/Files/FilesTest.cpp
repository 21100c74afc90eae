#include "Platform/Files/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include <sys/stat.h>

#include "../../Support/OrdinaryUser.h"

namespace veltrane {
namespace {
namespace fs = std::filesystem;

std::span<const std::uint8_t> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string textOf(const fs::path& path)
{
    const auto bytes = Files::readAll(path);
    return {bytes.begin(), bytes.end()};
}

class FilesTest : public testing::Test {
protected:
    void SetUp() override
    {
        root = fs::path(testing::TempDir()) / ("files-test-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root);
        for (const char* v : {"HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME"}) {
            const char* old = std::getenv(v);
            saved.emplace_back(v, old ? std::optional<std::string>(old) : std::nullopt);
        }
    }
    void TearDown() override
    {
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        fs::remove_all(root);
    }
    fs::path root;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(FilesTest, FoldersFollowTheXdgVariablesAndFallBackToHome)
{
    setenv("HOME", (root / "home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    setenv("XDG_CACHE_HOME", "relative/cache", 1); // not absolute: ignored
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Files::dataFolder(), root / "data" / "Veltrane");
    EXPECT_EQ(Files::cacheFolder(), root / "home" / ".cache" / "Veltrane");
    EXPECT_EQ(Files::configFolder(), root / "home" / ".config" / "Veltrane");
    EXPECT_EQ(Files::musicFolder(), root / "home" / "Music");

    fs::create_directories(root / "home" / ".config");
    std::ofstream(root / "home" / ".config" / "user-dirs.dirs") << "# written by xdg-user-dirs-update\n"
                                                                << "XDG_MUSIC_DIR=\"$HOME/Sound/Tunes\"\n";
    EXPECT_EQ(Files::musicFolder(), root / "home" / "Sound" / "Tunes");
}

TEST_F(FilesTest, AtomicWritesReplaceOrRefuseAndLeaveNoTemporaryFiles)
{
    const fs::path file = root / "a.mid";
    EXPECT_TRUE(Files::createAtomically(file, bytesOf("first")));
    EXPECT_FALSE(Files::createAtomically(file, bytesOf("second"))); // never replaces
    EXPECT_EQ(textOf(file), "first");
    Files::replaceAtomically(file, bytesOf("third"));
    EXPECT_EQ(textOf(file), "third");
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator{}), 1);

    EXPECT_THROW(Files::replaceAtomically(root / "missing" / "b", bytesOf("x")), Files::Error);
    try {
        Files::readAll(root / "none");
        FAIL();
    } catch (const Files::Error& error) {
        EXPECT_NE(std::string(error.what()).find("No such file or directory"), std::string::npos);
    }
    EXPECT_THROW(Files::readAll(root), Files::Error); // a folder
}

TEST_F(FilesTest, PendingFilesReachTheirDestinationOnlyWhenCommitted)
{
    const fs::path file = root / "take.mov";
    std::ofstream(file) << "old";
    auto entries = [&] { return std::distance(fs::directory_iterator(root), fs::directory_iterator{}); };
    {
        Files::PendingFile pending(file);
        EXPECT_EQ(pending.path().parent_path(), root);
        EXPECT_EQ(pending.path().filename().string().front(), '.');
        std::ofstream(pending.path()) << "abandoned";
        EXPECT_EQ(entries(), 2);
    } // dropped: as good as a cancelled write
    EXPECT_EQ(textOf(file), "old");
    EXPECT_EQ(entries(), 1);

    Files::PendingFile moved = [&] {
        Files::PendingFile pending(file);
        std::ofstream(pending.path()) << "new";
        return pending;
    }();
    EXPECT_EQ(textOf(file), "old");
    moved.commit();
    EXPECT_EQ(textOf(file), "new");
    EXPECT_EQ(entries(), 1);

    // A folder that takes no new file is refused up front, naming the destination. Root writes
    // anywhere, so the check runs in a child process as an ordinary user.
    const fs::path locked = testsupport::readOnlyFolder(root, "locked");
    EXPECT_EXIT(
        {
            if (!testsupport::becomeOrdinaryUser()) std::_Exit(2);
            try {
                Files::PendingFile refused(locked / "x.mov");
            } catch (const Files::Error& error) {
                std::_Exit(error.path() == locked / "x.mov" && std::string(error.what()) == "Permission denied" ? 0
                                                                                                                : 3);
            }
            std::_Exit(4); // created: the folder took the file
        },
        testing::ExitedWithCode(0), "");
}

// A folder on another file system than `root` where the test can make one (a tmpfs at /dev/shm);
// empty when there is none, and then the copy path is reached through a folder of its own below.
fs::path otherFileSystem(const fs::path& root)
{
    struct stat a {
    }, b{};
    if (::stat(root.c_str(), &a) != 0 || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) return {};
    const fs::path folder = fs::path("/dev/shm") / ("files-test-" + std::to_string(::getpid()));
    std::error_code error;
    fs::create_directories(folder, error);
    return error ? fs::path() : folder;
}

TEST_F(FilesTest, MovesReplaceInOneFileSystemAndCopyAcrossThem)
{
    auto entries = [](const fs::path& folder) {
        return std::distance(fs::directory_iterator(folder), fs::directory_iterator{});
    };
    const fs::path destination = root / "song.wav";
    std::ofstream(destination) << "old";
    std::ofstream(root / "rec.wav") << "recording";
    Files::moveReplacing(root / "rec.wav", destination);
    EXPECT_EQ(textOf(destination), "recording");
    EXPECT_EQ(entries(root), 1);

    // Another file system: the bytes are copied beside the destination and renamed over it.
    const fs::path other = otherFileSystem(root);
    struct Cleanup {
        fs::path folder;
        ~Cleanup()
        {
            if (!folder.empty()) fs::remove_all(folder);
        }
    } cleanup{other};
    std::vector<fs::path> sources{root / "rec.wav"};
    if (other.empty()) {
        std::cout << "no second file system here (/dev/shm is on the same device): the copy is not tried\n";
    } else {
        const std::string big(3 << 20, 'x'); // several rounds of the copy buffer
        std::ofstream(other / "rec.wav") << big;
        Files::moveReplacing(other / "rec.wav", destination);
        EXPECT_EQ(textOf(destination), big);
        EXPECT_FALSE(fs::exists(other / "rec.wav"));
        EXPECT_EQ(entries(root), 1); // no temporary copy left beside it

        // A destination that cannot take the copy: the source stays, nothing appears.
        std::ofstream(other / "rec.wav") << "moved";
        EXPECT_THROW(Files::moveReplacing(other / "rec.wav", root / "missing" / "song.wav"), Files::Error);
        fs::create_directories(root / "folder" / "inside");
        EXPECT_THROW(Files::moveReplacing(other / "rec.wav", root / "folder"), Files::Error);
        EXPECT_TRUE(fs::exists(root / "folder" / "inside"));
        fs::remove_all(root / "folder");
        EXPECT_EQ(entries(root), 1);
        fs::permissions(other, fs::perms::others_exec | fs::perms::others_write, fs::perm_options::add);
        sources.push_back(other / "rec.wav");
    }

    // An unwritable folder: both files survive. Root writes anywhere, so the moves run in a child
    // process as an ordinary user.
    std::ofstream(root / "rec.wav") << "moved";
    fs::permissions(root, fs::perms::others_exec | fs::perms::others_write, fs::perm_options::add);
    const fs::path locked = testsupport::readOnlyFolder(root, "locked");
    const fs::path kept = locked / "song.wav";
    std::ofstream(kept) << "old"; // root writes where the child may not
    EXPECT_EXIT(
        {
            if (!testsupport::becomeOrdinaryUser()) std::_Exit(2);
            for (const fs::path& from : sources) {
                try {
                    Files::moveReplacing(from, kept);
                    std::_Exit(3);
                } catch (const Files::Error& error) {
                    if (error.path() != kept || std::string(error.what()) != "Permission denied") std::_Exit(4);
                }
            }
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(textOf(kept), "old");
    for (const fs::path& from : sources) EXPECT_EQ(textOf(from), "moved");
    EXPECT_EQ(entries(locked), 1);
}

TEST_F(FilesTest, UserDefaultsReadLenientlyAndWriteThrough)
{
    Files::UserDefaults defaults(root / "config" / "defaults.json");
    EXPECT_FALSE(defaults.value("exportHUD"));
    EXPECT_TRUE(defaults.boolValue("exportHUD", true));
    defaults.set("exportHUD", false);
    defaults.set("exportWAVToo", true);
    EXPECT_FALSE(defaults.boolValue("exportHUD", true));
    EXPECT_TRUE(Files::UserDefaults(defaults.file()).boolValue("exportWAVToo", false));

    std::ofstream(defaults.file()) << "[1, 2"; // broken: reads as empty, and the next write repairs it
    EXPECT_TRUE(defaults.boolValue("exportHUD", true));
    defaults.set("exportHUD", false);
    EXPECT_FALSE(defaults.boolValue("exportHUD", true));
}

} // namespace
} // namespace veltrane
