// devsim's command line and image loading.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "devsim/options.h"

namespace devsim {
namespace {

TEST(DevsimOptions, EveryOptionReachesItsSetting)
{
    Options options;
    ASSERT_EQ(ParseOptions({"--log", "run.log", "--silent", "--answer-acks", "--long-text", "--image=img.bin",
                            "--big-reply", "5000", "--split-delay=800", "--vanish-after", "127",
                            "--wine-prefix=/tmp/pfx", "--xon-xoff", "--", "wine", "comtrace.exe"},
                           options),
              "");
    EXPECT_EQ(options.logPath, "run.log");
    EXPECT_TRUE(options.device.silent && options.device.answerAcks && options.device.longText);
    EXPECT_EQ(options.imagePath, "img.bin");
    EXPECT_EQ(options.device.bigReply, std::optional<std::size_t>(5000));
    EXPECT_EQ(options.device.splitDelayMs, std::optional<unsigned>(800));
    EXPECT_EQ(options.vanishAfter, std::optional<unsigned>(127));
    EXPECT_EQ(options.winePrefix, "/tmp/pfx");
    EXPECT_TRUE(options.xonXoff);
    EXPECT_EQ(options.command, (std::vector<std::string>{"wine", "comtrace.exe"}));

    Options relative;
    char directory[4096];
    ASSERT_NE(getcwd(directory, sizeof directory), nullptr);
    ASSERT_EQ(ParseOptions({"--wine-prefix", "pfx", "wine"}, relative), "");
    EXPECT_EQ(relative.winePrefix, std::string(directory) + "/pfx");
}

TEST(DevsimOptions, CommandStartsAtDoubleDashOrFirstNonOption)
{
    const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> cases = {
        {{"--", "sh", "-c", "exit 0", "--silent"}, {"sh", "-c", "exit 0", "--silent"}},
        {{"--silent", "sh", "--long-text"}, {"sh", "--long-text"}},
        {{"--", "--silent"}, {"--silent"}},
        {{"--version"}, {}},
    };
    for (const auto &[arguments, command] : cases) {
        Options options;
        EXPECT_EQ(ParseOptions(arguments, options), "");
        EXPECT_EQ(options.command, command);
    }
}

TEST(DevsimOptions, MistakesAreNamed)
{
    const std::vector<std::pair<std::vector<std::string>, const char *>> cases = {
        {{"--verbose", "--", "x"}, "unknown option --verbose"},
        {{"--log"}, "--log needs a value"},
        {{"--log=", "--", "x"}, "--log needs a non-empty value"},
        {{"--silent=yes", "--", "x"}, "--silent takes no value"},
        {{"--version=2", "--", "x"}, "--version takes no value"},
        {{"--big-reply", "0", "--", "x"}, "--big-reply takes a decimal number from 1 to 1048576"},
        {{"--big-reply", "0x10", "--", "x"}, "not '0x10'"},
        {{"--split-delay", "-5", "--", "x"}, "--split-delay takes"},
        {{"--split-delay", "60001", "--", "x"}, "--split-delay takes"},
        {{"--vanish-after", "128", "--", "x"}, "from 0 to 127"},
        {{"--silent", "--"}, "no COMMAND"},
        {{"--absent", "--wine-prefix", "/tmp/p", "--", "wine", "x"}, "cannot be combined"},
        {{"--absent", "--xon-xoff", "--", "x"}, "there is no line"},
        {{"--socket", "/tmp/s", "--xon-xoff", "--", "x"}, "it replaces the pty"},
    };
    for (const auto &[arguments, mentions] : cases) {
        Options options;
        const std::string problem = ParseOptions(arguments, options);
        EXPECT_NE(problem.find(mentions), std::string::npos) << arguments[0] << " gave '" << problem << "'";
    }
}

TEST(DevsimImage, OnlyAnImageOfExactlyOneMemoryIsLoaded)
{
    const std::string path = ::testing::TempDir() + "devsim_image_" + std::to_string(getpid()) + ".bin";
    for (std::size_t size : {std::size_t{0}, ImageSize - 1, ImageSize + 1, ImageSize}) {
        {
            std::ofstream file(path, std::ios::binary | std::ios::trunc);
            for (std::size_t i = 0; i < size; ++i) {
                file.put(static_cast<char>(i * 7));
            }
        }
        Bytes image{1, 2, 3};
        const std::string problem = LoadImage(path, image);
        if (size != ImageSize) {
            EXPECT_NE(problem.find("must be exactly 4096 bytes"), std::string::npos) << size << ": " << problem;
            EXPECT_EQ(image, (Bytes{1, 2, 3})) << "image changed for size " << size;
        } else {
            ASSERT_EQ(problem, "");
            ASSERT_EQ(image.size(), ImageSize);
            EXPECT_EQ(image[ImageSize - 1], static_cast<std::uint8_t>((ImageSize - 1) * 7));
        }
    }
    ASSERT_EQ(std::remove(path.c_str()), 0) << "the missing-file case needs " << path << " gone";
    Bytes image;
    EXPECT_NE(LoadImage(path, image).find("cannot open"), std::string::npos);
}

} // namespace
} // namespace devsim
