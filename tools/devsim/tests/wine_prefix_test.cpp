// Clearing a Wine prefix's port links. The links are made here and point
// at device paths, which creating, reading and removing a link never opens.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "devsim/wine_prefix.h"

namespace devsim {
namespace {

namespace fs = std::filesystem;

TEST(WinePortLinks, OnlyComLinksToSerialDevicesAreRemoved)
{
    const fs::path dosdevices = fs::path(::testing::TempDir()) / ("devsim_dosdevices_" + std::to_string(getpid()));
    fs::remove_all(dosdevices);
    fs::create_directories(dosdevices);
    const std::vector<std::pair<std::string, std::string>> links = {
        {"com1", "/dev/ttyS0"}, {"com2", "/dev/pts/7"}, {"com12", "/dev/ttyS11"}, {"COM3", "/dev/ttyS2"},
        {"lpt1", "/dev/ttyS0"}, {"comx", "/dev/ttyS0"}, {"c:", "../drive_c"},     {"com4", "/dev/ttyUSB0"},
    };
    for (const auto &link : links) {
        fs::create_symlink(link.second, dosdevices / link.first);
    }
    std::ofstream(dosdevices / "com5") << "not a link";

    std::vector<std::string> removed;
    ASSERT_EQ(RemoveSerialPortLinks(dosdevices.string(), removed), "");

    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{"COM3", "com1", "com12"}));
    for (const char *kept : {"com2", "lpt1", "comx", "c:", "com4", "com5"}) {
        EXPECT_TRUE(fs::exists(fs::symlink_status(dosdevices / kept))) << kept;
    }
    for (const std::string &gone : removed) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(dosdevices / gone))) << gone;
    }
    fs::remove_all(dosdevices);
}

TEST(WinePortLinks, MissingDosdevicesIsNothingToDo)
{
    std::vector<std::string> removed;
    EXPECT_EQ(RemoveSerialPortLinks(::testing::TempDir() + "devsim_no_such_prefix/dosdevices", removed), "");
    EXPECT_TRUE(removed.empty());
}

} // namespace
} // namespace devsim
