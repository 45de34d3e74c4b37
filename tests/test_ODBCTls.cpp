#include "db/ODBCTls.hpp"

#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "platform/Metrics.hpp"

#include "TestDb.hpp"

#include <gtest/gtest.h>

using config::TDatabaseTls;
using db::TCertificateCheck;
using db::TSessionTls;
using testing_support::Env;
using testing_support::ReadFile;
using testing_support::TDbFamily;
using testing_support::TTempDir;
using testing_support::TTestDatabase;

TEST(ODBCTls, CertificateCheckFollowsWhatTheDriverReads)
{
    struct TCase {
        const char* options;
        TCertificateCheck check;
    };
    const TCase cases[] = {
        {"SERVER=db1", TCertificateCheck::None},
        {"SERVER=db1;SSLCA=/etc/velix/ca.pem", TCertificateCheck::Chain},
        {"sslcapath = /etc/ssl/certs ;SERVER=db1", TCertificateCheck::Chain},
        {"SSLCA=;SSLCERT=/c.pem", TCertificateCheck::None},
        {"SSLVERIFY=1", TCertificateCheck::ChainAndHost},
        {"SSLCA=/ca.pem;SSLVERIFY=0", TCertificateCheck::Chain},
        // The driver reads a number: these leave the host name unchecked.
        {"SSLCA=/ca.pem;SSLVERIFY=yes", TCertificateCheck::Chain},
        {"SSLVERIFY=true", TCertificateCheck::None},
        {"SSLVERIFY= 2", TCertificateCheck::ChainAndHost},
        {"PWD={p;SSLVERIFY=1};SSLCA=/ca.pem", TCertificateCheck::Chain},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        EXPECT_EQ(db::CertificateCheckOf(c.options), c.check);
    }
}

TEST(ODBCTls, OptionsGetWhatTheModeAsksOfMySqlFamilyDrivers)
{
    struct TCase {
        TDatabaseTls mode;
        const char* driver;
        const char* options;
        const char* expected;
    };
    const TCase cases[] = {
        {TDatabaseTls::Off, "MariaDB", "SERVER=db1;SSLCA=/ca.pem", "SERVER=db1;SSLCA=/ca.pem"},
        {TDatabaseTls::Required, "MariaDB", "SERVER=db1", "SERVER=db1;FORCETLS=1"},
        {TDatabaseTls::Required, "MySQL ODBC 3.51 Driver", "SERVER=db1;ForceTls=0;PORT=3307",
         "SERVER=db1;FORCETLS=1;PORT=3307"},
        {TDatabaseTls::Verified, "MariaDB", "SERVER=db1;SSLVERIFY=0;SSLCA=/ca.pem",
         "SERVER=db1;SSLVERIFY=1;SSLCA=/ca.pem;FORCETLS=1"},
        {TDatabaseTls::Verified, "MariaDB", "PWD={x;SSLVERIFY=0}", "PWD={x;SSLVERIFY=0};FORCETLS=1;SSLVERIFY=1"},
        {TDatabaseTls::Required, "SQLite3", "LoadExt=/x.so", "LoadExt=/x.so"},
        {TDatabaseTls::Unknown, "MariaDB", "SERVER=db1", "SERVER=db1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        EXPECT_EQ(db::TlsOptions(c.mode, c.driver, c.options), c.expected);
    }
}

TEST(ODBCTls, RefusalFollowsTheModeAndTheSession)
{
    using TState = TSessionTls::TState;
    const TSessionTls clear{TState::Clear, "", "", TCertificateCheck::Chain};
    const TSessionTls chain{TState::Encrypted, "TLSv1.3", "TLS_AES_256_GCM_SHA384", TCertificateCheck::Chain};
    const TSessionTls verified{TState::Encrypted, "TLSv1.3", "TLS_AES_256_GCM_SHA384", TCertificateCheck::ChainAndHost};
    const TSessionTls unknown{TState::Unknown, "", "", TCertificateCheck::None};
    const TSessionTls local{TState::LocalFile, "", "", TCertificateCheck::None};
    struct TCase {
        const char* what;
        TDatabaseTls mode;
        TSessionTls tls;
        const char* refusal;  // nullptr: admitted; else a piece of the reason
    };
    const TCase cases[] = {
        {"off takes a clear session", TDatabaseTls::Off, clear, nullptr},
        {"off takes what it cannot judge", TDatabaseTls::Off, unknown, nullptr},
        {"required refuses clear", TDatabaseTls::Required, clear, "not encrypted"},
        {"required takes an unverified session", TDatabaseTls::Required, chain, nullptr},
        {"required refuses what it cannot judge", TDatabaseTls::Required, unknown, "does not tell"},
        {"a local file needs no TLS", TDatabaseTls::Verified, local, nullptr},
        {"verified refuses a chain-only check", TDatabaseTls::Verified, chain, "SSLVERIFY"},
        {"verified refuses clear", TDatabaseTls::Verified, clear, "not encrypted"},
        {"verified takes a verified session", TDatabaseTls::Verified, verified, nullptr},
        {"an unknown mode takes nothing", TDatabaseTls::Unknown, verified, "not off, required or verified"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string refusal = db::TlsRefusal(c.mode, c.tls).value_or("(admitted)");
        if (!c.refusal)
            EXPECT_EQ(refusal, "(admitted)");
        else
            EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
    }
    EXPECT_EQ(db::TlsLevel(clear), 0);
    EXPECT_EQ(db::TlsLevel(chain), 1);
    EXPECT_EQ(db::TlsLevel(verified), 2);
}

TEST(ODBCTls, ThisComputerIsLoopbackOrItsOwnName)
{
    struct TCase {
        const char* host;
        bool local;
    };
    const TCase cases[] = {
        {"127.0.0.1", true},      {"127.1.2.3", true},         {"::1", true},
        {"LocalHost", true},      {"gatepc", true},            {"GATEPC.site.example", true},
        {"127.0.0.1.example", false}, {"128.0.0.1", false},    {"db1", false},
        {"gatepc.other.example", false}, {"10.0.0.5", false},  {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(db::IsThisComputer(c.host, "gatepc.site.example"), c.local);
    }
    EXPECT_TRUE(db::IsThisComputer("gatepc.site.example", "gatepc"));
}

namespace {

// The registry's values for one test database, with DatabaseTLS and the
// driver's TLS keys of a case.
config::TConnParams Params(const TTestDatabase& db, const std::string& host, const std::string& mode,
                           const std::string& tlsOptions)
{
    config::TConnParams p = db.ConnParams();
    const std::string port =
        Env(db.Family() == TDbFamily::MariaDBTls ? "VELIX_MARIADB_TLS_PORT" : "VELIX_MARIADB_PORT");
    p.Host = host;
    p.ODBCOptions = "SERVER=%h;PORT=" + port + ";database=%d" + (tlsOptions.empty() ? "" : ";" + tlsOptions);
    p.DatabaseTLS = mode;
    return p;
}

// The session's cipher as the server shows it, asked in a way of its own.
std::string ServerCipher(db::TODBC& odbc)
{
    db::TODBCStatement s(odbc);
    return s.Exec("SELECT VARIABLE_VALUE AS v FROM information_schema.SESSION_STATUS WHERE VARIABLE_NAME = 'SSL_CIPHER'")
               ? s.AsString("v")
               : "(not read)";
}

std::string TlsFile(const std::string& name)
{
    return Env("VELIX_TLS_DIR") + "/" + name;
}

class ODBCTlsServers : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Env("VELIX_TLS_DIR").empty()) << "VELIX_TLS_DIR is not set: the test servers are not running";
        m_tls = std::make_unique<TTestDatabase>(TDbFamily::MariaDBTls);
        ASSERT_TRUE(m_tls->Ready()) << m_tls->Problem();
        m_plain = std::make_unique<TTestDatabase>(TDbFamily::MariaDB);
        ASSERT_TRUE(m_plain->Ready()) << m_plain->Problem();
    }
    std::unique_ptr<TTestDatabase> m_tls, m_plain;
};

} // namespace

// What the driver does on its own is in the "off" cases: a CA given, it falls
// back to a clear session when the server has no TLS.
TEST_F(ODBCTlsServers, EachModeAdmitsOnlyTheSessionsItAllows)
{
    const std::string ca = "SSLCA=" + TlsFile("ca.pem");
    const std::string otherCa = "SSLCA=" + TlsFile("other-ca.pem");
    struct TCase {
        const char* what;
        bool tlsServer;
        const char* host;
        const char* mode;
        std::string options;
        int level;            // velixcard_database_tls; -1: not connected
        const char* logged;   // a piece of the log
    };
    const TCase cases[] = {
        {"off, CA given, server without TLS: clear", false, "127.0.0.1", "off", ca, 0, "Connected to DataSource!"},
        {"off, nothing asked, TLS server: clear", true, "127.0.0.1", "off", "", 0, "Connected to DataSource!"},
        {"off, CA given, TLS server: chain checked", true, "127.0.0.1", "off", ca, 1,
         "Connection encrypted: TLSv1."},
        {"required, server without TLS", false, "127.0.0.1", "required", ca, -1,
         "Connection closed, DatabaseTLS required: the session is not encrypted"},
        {"required, nothing asked, TLS server: encrypted", true, "127.0.0.1", "required", "", 1,
         "certificate not checked"},
        {"required, another CA", true, "127.0.0.1", "required", otherCa, -1, "TLS/SSL error"},
        {"verified", true, "127.0.0.1", "verified", ca, 2, "certificate and host name verified"},
        {"verified, a name the certificate lacks", true, "127.0.0.2", "verified", ca, -1,
         "Validation of SSL server certificate failed"},
        {"verified, the site's SSLVERIFY=0 overruled", true, "127.0.0.2", "verified", ca + ";SSLVERIFY=0", -1,
         "Validation of SSL server certificate failed"},
        {"verified, another CA", true, "127.0.0.1", "verified", otherCa, -1, "TLS/SSL error"},
        {"verified, the system's store", true, "127.0.0.1", "verified", "", -1, "TLS/SSL error"},
        {"verified, server without TLS", false, "127.0.0.1", "verified", ca, -1, "TLS/SSL error"},
        {"an unknown value", true, "127.0.0.1", " Strict ", ca, -1,
         "DatabaseTLS \"Strict\" is not off, required or verified: no connection is made"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TTempDir dir;
        const TTestDatabase& server = c.tlsServer ? *m_tls : *m_plain;
        config::TMessLog log(dir / "conn.log", config::TMessLog::TOptions{.NoHeader = true}, "");
        db::TODBC odbc;
        const auto connection = db::MakeConnection(Params(server, c.host, c.mode, c.options), odbc, &log, "7");
        const bool connected = connection->EnsureConnected();
        log.Log("");
        const std::string text = ReadFile(dir / "conn.log");
        EXPECT_EQ(connected, c.level >= 0) << text;
        EXPECT_EQ(odbc.Connected, connected);
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        if (!connected) {
            EXPECT_NE(text.find("Could not connect to DataSource, check your setup..."), std::string::npos) << text;
            continue;
        }
        EXPECT_EQ(platform::Metrics().Value("velixcard_database_tls", {{"loop", "7"}}), c.level);
        // The session as the server itself shows it, on the connection admitted.
        EXPECT_EQ(ServerCipher(odbc).empty(), c.level == 0);
    }
}

// An SQLite site database is a file of this computer: nothing to encrypt, and
// no series that would read as a link in clear.
TEST(ODBCTlsLocal, SqliteSiteDatabaseIsAdmittedUnderEveryMode)
{
    TTestDatabase sqlite(TDbFamily::SQLite);
    ASSERT_TRUE(sqlite.Ready()) << sqlite.Problem();
    for (const char* mode : {"required", "verified"}) {
        SCOPED_TRACE(mode);
        config::TConnParams params = sqlite.ConnParams();
        params.DatabaseTLS = mode;
        db::TODBC odbc;
        const auto connection = db::MakeConnection(params, odbc, nullptr, "local " + std::string(mode));
        connection->PingTimeout = 0;
        EXPECT_TRUE(connection->EnsureConnected()) << connection->LastRefusal;
        EXPECT_EQ(connection->Tls.State, TSessionTls::TState::LocalFile);
        EXPECT_EQ(platform::Metrics().Render().find("loop=\"local " + std::string(mode) + "\""), std::string::npos);
    }
}

TEST_F(ODBCTlsServers, OperatorConnectionsAreRefusedAlike)
{
    std::string problem;
    EXPECT_FALSE(db::ConnectOnce(Params(*m_plain, "127.0.0.1", "required", ""), problem));
    EXPECT_NE(problem.find("Connection closed, DatabaseTLS required: the session is not encrypted"),
              std::string::npos)
        << problem;
    problem.clear();
    EXPECT_FALSE(db::ConnectOnce(Params(*m_tls, "127.0.0.2", "verified", "SSLCA=" + TlsFile("ca.pem")), problem));
    EXPECT_NE(problem.find("Validation of SSL server certificate failed"), std::string::npos) << problem;

    TSessionTls tls;
    problem.clear();
    const auto odbc = db::ConnectOnce(Params(*m_tls, "127.0.0.1", "verified", "SSLCA=" + TlsFile("ca.pem")), problem, &tls);
    ASSERT_TRUE(odbc) << problem;
    EXPECT_EQ(tls.State, TSessionTls::TState::Encrypted);
    EXPECT_EQ(tls.Certificate, TCertificateCheck::ChainAndHost);
    EXPECT_EQ(tls.Version.rfind("TLSv1.", 0), 0u) << tls.Version;
    EXPECT_EQ(ServerCipher(*odbc), tls.Cipher);
}

// A client certificate from the test authority reaches the server: a user
// that requires one logs in with SSLCERT and SSLKEY only.
TEST_F(ODBCTlsServers, ClientCertificateReachesTheServer)
{
    db::TODBC admin;
    ASSERT_TRUE(admin.Connect("", "svcuser", "pelmox", "MariaDB", "",
                              "SERVER=127.0.0.1;PORT=" + Env("VELIX_MARIADB_TLS_PORT"), false));
    const std::string user = m_tls->Params().User;
    ASSERT_TRUE(m_tls->Run(admin, "ALTER USER '" + user + "'@'127.0.0.1' REQUIRE SUBJECT '/CN=velixcard'"));
    const std::string ca = "SSLCA=" + TlsFile("ca.pem");
    std::string problem;
    EXPECT_FALSE(db::ConnectOnce(Params(*m_tls, "127.0.0.1", "verified", ca), problem));
    EXPECT_NE(problem.find("Access denied"), std::string::npos) << problem;
    const std::string withCert = ca + ";SSLCERT=" + TlsFile("client.pem") + ";SSLKEY=" + TlsFile("client-key.pem");
    problem.clear();
    EXPECT_TRUE(db::ConnectOnce(Params(*m_tls, "127.0.0.1", "verified", withCert), problem)) << problem;
}
