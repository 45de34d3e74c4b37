#include "config/ConnParams.hpp"
#include "config/RegistryEx.hpp"
#include "config/Scrambler.hpp"
#include "platform/Paths.hpp"
#include "platform/RegistryFile.hpp"

#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

using testing_support::ReadFile;
using testing_support::TTempDir;
using testing_support::WriteFile;

namespace {

const std::string kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";
const std::string kKey = "[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n";

std::string Utf16WithBom(const std::string& utf8)
{
    return "\xFF\xFE" + platform::Utf8ToUtf16Le(utf8);
}

} // namespace

TEST(RegistryEx, ProductKeyWithoutValuesGivesTheDefaults)
{
    TTempDir dir;
    WriteFile(dir / "r.reg", kHeader + kKey);
    const config::TConnParams p(dir / "r.reg");
    EXPECT_EQ(p.DSNName, "");
    EXPECT_EQ(p.Host, "127.0.0.1");
    EXPECT_EQ(p.Database, "gtw");
    EXPECT_EQ(p.User, "svcuser");
    EXPECT_EQ(p.Pass, "pelmox");
    EXPECT_EQ(p.ODBCDriver, "MySQL ODBC 3.51 Driver");
    EXPECT_EQ(p.ConnectOptions(), "SERVER=127.0.0.1;database=gtw");
    EXPECT_TRUE(p.DebugLog);
}

TEST(RegistryEx, OfflineRefreshIsEveryMinuteUnlessSetAndNeverSwitchedOffByZero)
{
    const struct {
        const char* value;  // as the file holds it; empty: absent
        int minutes;
    } cases[] = {{"", 1}, {"\"OfflineRefreshMinutes\"=dword:00000000\r\n", 1},
                 {"\"OfflineRefreshMinutes\"=dword:ffffffff\r\n", 1}, {"\"OfflineRefreshMinutes\"=dword:0000000a\r\n", 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        TTempDir dir;
        WriteFile(dir / "r.reg", kHeader + kKey + c.value);
        EXPECT_EQ(config::ReadOfflineParams(dir / "r.reg").RefreshMinutes, c.minutes);
    }
}

TEST(RegistryEx, ReadsValuesByTypeTellingMissingFromEmpty)
{
    const std::string body = kHeader + kKey +
                             "\"Host\"=dword:00000005\r\n"          // wrong type: missing
                             "\"Database\"=\"\"\r\n"                 // empty, not missing
                             "\"user\"=\"Site \\\"A\\\" \\\\ops\"\r\n"  // escapes; name case ignored
                             "\"ODBCDriver\"=hex(2):4d,00,61,00,72,00,69,00,61,00,\\\r\n"
                             "  44,00,42,00,00,00\r\n"
                             "\"ODBCOptions\"=\"%h;%h;%D;%u\"\r\n"
                             "\"DebugLog\"=dword:00000000\r\n"
                             "\"Pass\"=\"\"\r\n"
                             "\"DSNName\"=hex:01,02\r\n";
    struct TCase {
        const char* what;
        std::string file;
    };
    const TCase cases[] = {
        {"UTF-8", body},
        {"UTF-8 with BOM", "\xEF\xBB\xBF" + body},
        {"UTF-16 with BOM", Utf16WithBom(body)},
        {"LF line ends", [&] {
             std::string s = body;
             std::string out;
             for (char c : s)
                 if (c != '\r')
                     out += c;
             return out;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        WriteFile(dir / "r.reg", c.file);
        const config::TConnParams p(dir / "r.reg");
        EXPECT_EQ(p.Host, "127.0.0.1");
        EXPECT_EQ(p.Database, "");
        EXPECT_EQ(p.User, "Site \"A\" \\ops");
        EXPECT_EQ(p.ODBCDriver, "MariaDB");
        EXPECT_EQ(p.ConnectOptions(), "127.0.0.1;127.0.0.1;%D;Site \"A\" \\ops");
        EXPECT_FALSE(p.DebugLog);
        EXPECT_EQ(p.Pass, "");
        EXPECT_EQ(p.DSNName, "");
    }
}

TEST(RegistryEx, DatabaseTlsIsReadAndNeverWritten)
{
    struct TCase {
        std::string value;  // the line in the product key; empty: none
        config::TDatabaseTls mode;
        const char* problem;  // nullptr: none
    };
    const TCase cases[] = {
        {"", config::TDatabaseTls::Off, nullptr},
        {"\"DatabaseTLS\"=\"\"\r\n", config::TDatabaseTls::Off, nullptr},
        {"\"DatabaseTLS\"=\" Required \"\r\n", config::TDatabaseTls::Required, nullptr},
        {"\"databasetls\"=\"VERIFIED\"\r\n", config::TDatabaseTls::Verified, nullptr},
        {"\"DatabaseTLS\"=dword:00000001\r\n", config::TDatabaseTls::Off, nullptr},
        {"\"DatabaseTLS\"=\"yes\"\r\n", config::TDatabaseTls::Unknown,
         "DatabaseTLS \"yes\" is not off, required or verified: no connection is made"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        TTempDir dir;
        WriteFile(dir / "r.reg", kHeader + kKey + c.value);
        const config::TConnParams p(dir / "r.reg");
        EXPECT_EQ(p.TlsMode(), c.mode);
        EXPECT_EQ(p.TlsProblem(), c.problem ? c.problem : "");
        EXPECT_EQ(ReadFile(dir / "r.reg"), kHeader + kKey + c.value);
    }
}

TEST(RegistryEx, CredentialsFolderGoesIntoTheOptionsWhereTheUnitGivesOne)
{
    TTempDir dir;
    WriteFile(dir / "r.reg", kHeader + kKey +
                                 "\"ODBCOptions\"=\"SERVER=%h;PWD=%p;SSLCA=%c/db-ca.pem;SSLKEY=%c/db-key.pem\"\r\n"
                                 "\"Pass\"=\"" + config::Scramble("a%cb").value_or("") + "\"\r\n");
    const config::TConnParams p(dir / "r.reg");
    ::setenv("CREDENTIALS_DIRECTORY", "/run/credentials/VELIXCard.service", 1);
    const std::string under = p.ConnectOptions();
    ::unsetenv("CREDENTIALS_DIRECTORY");
    EXPECT_EQ(under, "SERVER=127.0.0.1;PWD=a%cb;SSLCA=/run/credentials/VELIXCard.service/db-ca.pem;"
                     "SSLKEY=/run/credentials/VELIXCard.service/db-key.pem");
    EXPECT_EQ(p.ConnectOptions(), "SERVER=127.0.0.1;PWD=a%cb;SSLCA=%c/db-ca.pem;SSLKEY=%c/db-key.pem");
}

TEST(RegistryEx, LastMissingFollowsEachRead)
{
    TTempDir dir;
    WriteFile(dir / "r.reg", kHeader + kKey + "\"Empty\"=\"\"\r\n\"Num\"=dword:ffffffff\r\n");
    config::TRegistryEx reg(config::kProductKey, dir / "r.reg");
    EXPECT_EQ(reg.GetString("Empty"), "");
    EXPECT_FALSE(reg.LastMissing);
    EXPECT_EQ(reg.GetString("Absent"), "");
    EXPECT_TRUE(reg.LastMissing);
    EXPECT_EQ(reg.GetInteger("Num"), -1);
    EXPECT_FALSE(reg.LastMissing);
    EXPECT_EQ(reg.GetInteger("Empty"), 0);
    EXPECT_TRUE(reg.LastMissing);
    EXPECT_EQ(reg.GetIntegerDef("Absent", 42), 42);
    EXPECT_EQ(reg.GetStringDef("Empty", "x"), "");
}

TEST(RegistryEx, AbsentKeyIsCreatedOnRead)
{
    struct TCase {
        const char* what;
        std::string before;
        bool utf16;
    };
    const TCase cases[] = {
        {"missing file", "", false},
        {"file with another key", kHeader + "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n\"a\"=\"b\"", false},
        {"UTF-16 file", Utf16WithBom(kHeader + "[HKEY_LOCAL_MACHINE\\Software\\Other]\r\n"), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        if (!c.before.empty())
            WriteFile(dir / "r.reg", c.before);
        {
            config::TRegistryEx reg(config::kProductKey, dir / "r.reg");
            EXPECT_EQ(reg.GetStringDef("Host", "127.0.0.1"), "127.0.0.1");
        }
        const std::string after = ReadFile(dir / "r.reg");
        ASSERT_FALSE(after.empty());
        platform::TRegistryFile file(dir / "r.reg");
        EXPECT_TRUE(file.Parsed());
        EXPECT_TRUE(file.KeyExists("HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix"));
        if (!c.before.empty()) {
            EXPECT_EQ(after.substr(0, c.before.size()), c.before) << "the old text stays as it was";
            EXPECT_TRUE(file.KeyExists("HKEY_LOCAL_MACHINE\\Software\\Other"));
        }
        EXPECT_EQ(after.substr(0, 2) == "\xFF\xFE", c.utf16);
        // A second reader finds the key and leaves the file alone.
        { config::TRegistryEx again(config::kProductKey, dir / "r.reg"); (void)again.GetString("Host"); }
        EXPECT_EQ(ReadFile(dir / "r.reg"), after);
    }
}

TEST(RegistryEx, UnusableFilesReadAsEmptyAndStayUntouched)
{
    struct TCase {
        const char* what;
        std::string bytes;
    };
    const TCase cases[] = {
        {"no header", "[HKEY_LOCAL_MACHINE\\Software\\Trellant\\Velix]\r\n\"Host\"=\"10.0.0.1\"\r\n"},
        {"binary noise", std::string("\x01\x02\x00\x7f\xff garbage", 14)},
        {"broken lines", kHeader + kKey + "\"Host\"=\"unterminated\r\n\"User\"=\r\n\"=\"\r\n[\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        WriteFile(dir / "r.reg", c.bytes);
        const config::TConnParams p(dir / "r.reg");
        EXPECT_EQ(p.Host, "127.0.0.1");
        EXPECT_EQ(p.User, "svcuser");
        EXPECT_EQ(ReadFile(dir / "r.reg"), c.bytes);
    }
    TTempDir dir;
    std::filesystem::create_directories(dir / "r.reg");  // a folder where the file should be
    const config::TConnParams p(dir / "r.reg");
    EXPECT_EQ(p.Database, "gtw");
}

TEST(RegistryEx, ComputerNameComesFromTheFileOrTheHost)
{
    TTempDir dir;
    WriteFile(dir / "a.reg", kHeader + kKey);
    EXPECT_EQ(config::ComputerName(dir / "a.reg"), platform::HostName());
    WriteFile(dir / "b.reg",
              kHeader + "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\r\n"
                        "\"ComputerName\"=\"GATEPC\"\r\n");
    EXPECT_EQ(config::ComputerName(dir / "b.reg"), "GATEPC");
}

TEST(Scrambler, AlphabetHoldsNinetyDistinctPrintableCharacters)
{
    const std::set<char> distinct(config::kScramblerAlphabet.begin(), config::kScramblerAlphabet.end());
    EXPECT_EQ(distinct.size(), 90u);
    for (char c : config::kScramblerAlphabet)
        EXPECT_TRUE(c >= ' ' && c <= '~') << c;
}

TEST(Scrambler, ShiftsEachCharacterByItsPosition)
{
    // "A" at position 1 is stored as "B"; "~" (last) at position 2 wraps to "B".
    EXPECT_EQ(config::Unscramble("B"), "A");
    EXPECT_EQ(config::Unscramble("BB"), "A~");
    EXPECT_EQ(config::Scramble("A~"), "BB");
    EXPECT_EQ(config::Unscramble(""), "");
    // A character outside the alphabet counts as position 0.
    EXPECT_EQ(config::Unscramble("\""), "}");
    EXPECT_FALSE(config::Scramble("pa\"ss").has_value());

    for (const std::string& plain : std::vector<std::string>{"pelmox", "s3cr3t pass!", std::string(200, 'z'), "{|}~ 0"}) {
        const auto stored = config::Scramble(plain);
        ASSERT_TRUE(stored.has_value());
        EXPECT_NE(*stored, plain);
        EXPECT_EQ(config::Unscramble(*stored), plain);
    }
}

TEST(Scrambler, StoredPasswordIsReadBackByConnParams)
{
    TTempDir dir;
    const auto stored = config::Scramble("Top;Secret 9");
    ASSERT_TRUE(stored);
    WriteFile(dir / "r.reg", kHeader + kKey + "\"Pass\"=\"" + *stored + "\"\r\n");
    EXPECT_EQ(config::TConnParams(dir / "r.reg").Pass, "Top;Secret 9");
}
