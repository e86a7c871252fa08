// devsim's command line and image loading.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "devsim/options.h"
#include "text_files.h"

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

// The options --help lists, as "--name".
std::vector<std::string> OptionsInHelp()
{
    std::vector<std::string> names;
    const std::regex optionLine("^  (--[a-z-]+)");
    for (const std::string &line : support::Lines(UsageText())) {
        std::smatch match;
        if (std::regex_search(line, match, optionLine)) {
            names.push_back(match[1]);
        }
    }
    return names;
}

// True when text names the option written so, not merely a longer one
// that starts the same way ("--log" in "--long-text").
bool Mentions(const std::string &text, const std::string &written)
{
    for (std::size_t at = text.find(written); at != std::string::npos; at = text.find(written, at + 1)) {
        const std::size_t end = at + written.size();
        if (end == text.size() ||
            (std::islower(static_cast<unsigned char>(text[end])) == 0 && text[end] != '-' && text[end] != '\\')) {
            return true;
        }
    }
    return false;
}

TEST(DevsimOptions, EveryOptionInTheHelpIsDocumented)
{
    const std::vector<std::string> names = OptionsInHelp();
    ASSERT_GE(names.size(), 15u) << UsageText();
    struct Document {
        const char *path;
        bool roff; // a man page writes each "-" as "\-"
    };
    for (const Document &document : {Document{DEVSIM_MAN_PAGE, true}, Document{DEVSIM_README, false}}) {
        const std::string text = support::Slurp(document.path);
        ASSERT_FALSE(text.empty()) << "cannot read " << document.path;
        for (const std::string &name : names) {
            const std::string written = document.roff ? std::regex_replace(name, std::regex("-"), "\\-") : name;
            EXPECT_TRUE(Mentions(text, written)) << name << " is not in " << document.path;
        }
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
