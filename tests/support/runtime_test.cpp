#include <windows.h>

#include <fcntl.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/runtime.h"
#include "tests/common/test_support.h"

namespace {

class Runtime : public TempDirTest {};

bool is_list_name(const std::string &name) {
    unsigned number = 0;
    char tail[8] = {};
    return name.size() == 12 && std::sscanf(name.c_str(), "MX%6X%4s", &number, tail) == 2 &&
           std::string(tail) == ".LST";
}

TEST_F(Runtime, CreattempMakesDistinctNewFiles) {
    char first[64] = "";
    char second[64] = "";
    const int a = creattemp(first, sizeof first, 0);
    const int b = creattemp(second, sizeof second, 0);
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1);
    EXPECT_TRUE(is_list_name(first)) << first;
    EXPECT_STRNE(first, second);
    EXPECT_EQ(filelength(a), 0);
    EXPECT_EQ(_write(a, "ab", 2), 2) << "open for writing";
    EXPECT_EQ(_close(a), 0);
    EXPECT_EQ(_close(b), 0);
    EXPECT_EQ(read_file(first), "ab");
    EXPECT_TRUE(file_exists(second));
}

TEST_F(Runtime, CreattempSkipsATakenName) {
    char probe[64] = "";
    const int fd = creattemp(probe, sizeof probe, 0);
    ASSERT_NE(fd, -1);
    _close(fd);
    // Names follow one another: occupy the next one, as a file and as a
    // directory, and the two calls after must step over them.
    const unsigned number = std::strtoul(probe + 2, nullptr, 16);
    char next[16], after[16];
    std::snprintf(next, sizeof next, "MX%06X.LST", (number + 1) & 0xFFFFFF);
    std::snprintf(after, sizeof after, "MX%06X.LST", (number + 2) & 0xFFFFFF);
    write_file(next, "keep");
    make_dir(after);
    char made[64] = "";
    const int fd2 = creattemp(made, sizeof made, 0);
    ASSERT_NE(fd2, -1);
    _close(fd2);
    EXPECT_STRNE(made, next);
    EXPECT_STRNE(made, after);
    EXPECT_EQ(read_file(next), "keep");
    EXPECT_TRUE(dir_exists(after));
}

TEST_F(Runtime, CreattempInTheRootOfTheCurrentDrive) {
    char path[64] = "\\";
    const int fd = creattemp(path, sizeof path, 0);
    ASSERT_NE(fd, -1) << "root of " << dir().substr(0, 2) << " not writable";
    _close(fd);
    EXPECT_EQ(path[0], '\\');
    EXPECT_TRUE(is_list_name(path + 1)) << path;
    const std::string in_root = dir().substr(0, 2) + path;
    EXPECT_TRUE(file_exists(in_root)) << in_root;
    DeleteFileA(in_root.c_str());
}

TEST_F(Runtime, CreattempFailureLeavesThePath) {
    char missing[64] = "no such dir\\";
    EXPECT_EQ(creattemp(missing, sizeof missing, 0), -1);
    EXPECT_STREQ(missing, "no such dir\\");
    char small[12] = "";  // the name takes 12 bytes with its terminator
    EXPECT_EQ(creattemp(small, sizeof small, 0), -1);
    EXPECT_STREQ(small, "");
    EXPECT_TRUE(dir_entries(dir()).empty());
}

TEST_F(Runtime, FileTimeRoundTripsInDosForm) {
    write_file("t.txt", "x");
    // 2001-05-17 13:45:30 (seconds stored halved).
    const std::uint32_t stamp = ((21u << 9 | 5u << 5 | 17u) << 16) | (13u << 11 | 45u << 5 | 15u);
    int fd = _open("t.txt", _O_RDWR | _O_BINARY);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(setftime(fd, stamp), 0);
    _close(fd);
    fd = _open("t.txt", _O_RDONLY | _O_BINARY);
    std::uint32_t read_back = 0;
    EXPECT_EQ(getftime(fd, &read_back), 0);
    _close(fd);
    EXPECT_EQ(read_back, stamp) << std::hex << "wrote " << stamp << " read " << read_back;

    // A fresh file carries the present time, to two seconds.
    write_file("now.txt", "x");
    fd = _open("now.txt", _O_RDONLY | _O_BINARY);
    EXPECT_EQ(getftime(fd, &read_back), 0);
    _close(fd);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    FILETIME local{};
    WORD date = 0, time = 0;
    SystemTimeToFileTime(&now, &local);
    FileTimeToDosDateTime(&local, &date, &time);
    EXPECT_EQ(read_back >> 16, date);
    EXPECT_LE(std::abs(static_cast<int>(read_back & 0xFFFF) - time), 1) << "two-second steps";
    EXPECT_EQ(getftime(-1, &read_back), -1);
}

TEST_F(Runtime, DiskFollowsTheCurrentDirectory) {
    const int drive = getdisk();
    ASSERT_EQ(drive, dir()[0] - 'A') << dir();
    EXPECT_EQ(setdisk(drive), 0);
    EXPECT_EQ(setdisk(26), -1);
    const DWORD drives = GetLogicalDrives();
    for (int d = 25; d >= 0; --d)
        if (!(drives & (1u << d))) {
            EXPECT_EQ(setdisk(d), -1) << "drive " << char('A' + d) << " does not exist";
            EXPECT_EQ(getcurdir(d + 1, std::array<char, 256>{}.data(), 256), -1);
            break;
        }
    EXPECT_EQ(getdisk(), drive);
}

TEST_F(Runtime, GetcurdirGivesTheOemFormOfTheDirectory) {
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 1252";
    const char ansi_name[] = "\xE9t\xE9";
    ASSERT_TRUE(CreateDirectoryA(ansi_name, nullptr));
    ASSERT_TRUE(SetCurrentDirectoryA(ansi_name));
    // dir() is "T:\name\": the expected text is "name\été".
    const std::string expected = dir().substr(3) + ansi_name;
    const int drive = dir()[0] - 'A' + 1;
    for (int asked : {0, drive}) {
        std::array<char, 256> oem{};
        ASSERT_EQ(getcurdir(asked, oem.data(), oem.size()), 0) << "drive " << asked;
        EXPECT_EQ(std::string(oem.data()).find('\xE9'), std::string::npos) << "still ANSI: " << oem.data();
        std::array<char, 256> ansi{};
        OemToCharA(oem.data(), ansi.data());
        EXPECT_EQ(std::string(ansi.data()), expected) << "drive " << asked;
    }
    std::array<char, 4> tiny{};
    EXPECT_EQ(getcurdir(0, tiny.data(), tiny.size()), -1);
    SetCurrentDirectoryA("\\");
    std::array<char, 256> root{'#'};
    EXPECT_EQ(getcurdir(0, root.data(), root.size()), 0);
    EXPECT_STREQ(root.data(), "");
}

}  // namespace
