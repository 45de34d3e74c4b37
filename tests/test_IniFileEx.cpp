#include "config/IniFileEx.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

using testing_support::ReadFile;
using testing_support::TTempDir;
using testing_support::WriteFile;

TEST(IniFileEx, AbsentKeysAreWrittenWithTheirDefaults)
{
    TTempDir dir;
    const std::string path = dir / "velixcard.ini";
    {
        config::TIniFileEx ini(path);
        EXPECT_EQ(ini.ReadIntegerInit("Settings", "Email Port", 25), 25);
        EXPECT_TRUE(ini.ReadBoolInit("Settings", "AutoReset", true));
        EXPECT_EQ(ini.ReadStringInit("Settings", "Email Server", ""), "");
    }
    EXPECT_EQ(ReadFile(path), "[Settings]\r\nEmail Port=25\r\nAutoReset=1\r\nEmail Server=\r\n");

    // A later call returns what the file holds, not the default.
    WriteFile(path, "[Settings]\r\nEmail Port=2525\r\n");
    config::TIniFileEx again(path);
    EXPECT_EQ(again.ReadIntegerInit("Settings", "Email Port", 25), 2525);
    EXPECT_EQ(ReadFile(path), "[Settings]\r\nEmail Port=2525\r\n");
}

TEST(IniFileEx, ReadsLikeAProfileFile)
{
    const std::string text = "; site settings\n"
                             "[Other]\n"
                             "Baud=1200\n"
                             "\n"
                             "[ settings ]\n"
                             "  BAUD = 9600  \n"
                             "Name=\"Gate 1\"\n"
                             "Hex=0x1F\n"
                             "Bad=12abc\n"
                             "Flag=0\n";
    struct TCase {
        const char* what;
        std::string file;
    };
    const TCase cases[] = {{"LF", text}, {"CR LF", [&] {
                                              std::string out;
                                              for (char c : text) {
                                                  if (c == '\n')
                                                      out += '\r';
                                                  out += c;
                                              }
                                              return out;
                                          }()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        WriteFile(dir / "a.ini", c.file);
        config::TIniFileEx ini(dir / "a.ini");
        EXPECT_EQ(ini.ReadInteger("SETTINGS", "baud", 0), 9600);
        EXPECT_EQ(ini.ReadString("Settings", "Name", ""), "Gate 1");
        EXPECT_EQ(ini.ReadInteger("Settings", "Hex", 0), 31);
        EXPECT_EQ(ini.ReadInteger("Settings", "Bad", 7), 7);
        EXPECT_FALSE(ini.ReadBool("Settings", "Flag", true));
        EXPECT_EQ(ini.ReadString("Settings", "Missing", "dflt"), "dflt");
        EXPECT_FALSE(ini.ValueExists("Other", "Name"));
    }
}

TEST(IniFileEx, WritesIntoTheRightSectionAndKeepsTheRest)
{
    TTempDir dir;
    const std::string path = dir / "a.ini";
    WriteFile(path, "; keep me\n[Settings]\nBaud=9600\n\n[Other]\nX=1\n");
    config::TIniFileEx ini(path);
    EXPECT_EQ(ini.ReadIntegerInit("settings", "Loop Delay", 30), 30);
    EXPECT_EQ(ini.ReadStringInit("New", "Key", "v"), "v");
    EXPECT_TRUE(ini.WriteString("Other", "x", "2"));
    EXPECT_EQ(ReadFile(path), "; keep me\r\n[Settings]\r\nBaud=9600\r\nLoop Delay=30\r\n\r\n[Other]\r\nx=2\r\n"
                              "\r\n[New]\r\nKey=v\r\n");
}

TEST(IniFileEx, UnwritableFileStillAnswersWithDefaults)
{
    TTempDir dir;
    config::TIniFileEx ini(dir / "no/such/folder/a.ini");
    EXPECT_EQ(ini.ReadIntegerInit("Settings", "Baud", 9600), 9600);
    EXPECT_EQ(ini.ReadStringInit("Settings", "Name", "x"), "x");
}
