#pragma once
// Folders for what the tests make the code write: under KORVANDER_TEST_TMP
// (set by the build for every test), else the system's temporary folder;
// never the machine's own folders.

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>

namespace korvtest {

/// The root of the tests' folders, created when missing.
inline std::filesystem::path TestTempRoot() {
    const char* Base = std::getenv("KORVANDER_TEST_TMP");
    std::filesystem::path Root =
        Base && *Base ? std::filesystem::path(Base) : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(Root);
    return Root;
}

/// A named folder under the root, created when missing and kept.
inline std::filesystem::path TestTempFolder(const std::string& AName) {
    std::filesystem::path Dir = TestTempRoot() / AName;
    std::filesystem::create_directories(Dir);
    return Dir;
}

/// A fresh folder of its own (AStem + six random characters) under the root,
/// removed with everything in it when the object goes.
class TTempFolder {
public:
    explicit TTempFolder(const std::string& AStem = "tmp") {
        std::string Templ = (TestTempRoot() / (AStem + "XXXXXX")).string();
        if (!::mkdtemp(Templ.data()))
            throw std::filesystem::filesystem_error(
                "mkdtemp", Templ, std::error_code(errno, std::generic_category()));
        FPath = Templ;
    }
    ~TTempFolder() {
        std::error_code Ec;
        std::filesystem::remove_all(FPath, Ec);
    }
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::filesystem::path operator/(const std::string& AName) const { return FPath / AName; }

private:
    std::filesystem::path FPath;
};

} // namespace korvtest
