#include "db/ODBCConn.hpp"

#include "config/ConnParams.hpp"
#include "config/MessLog.hpp"
#include "db/ODBC.hpp"
#include "platform/Metrics.hpp"
#include "platform/Paths.hpp"
#include "platform/Ping.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>

namespace db {
namespace {

constexpr const char* kLocalDriver = "SQLite3";
constexpr const char* kExtension = "libvelixsqlite.so";
constexpr const char* kInstalledExtension = "/usr/lib/velixcard/libvelixsqlite.so";
// The extension gives the {fn now()} escapes some statements use: next to the
// program, one folder up (the build's tests), or where the package puts it.
std::string ExtensionPath()
{
    const std::filesystem::path exe = platform::ExecutablePath();
    for (const auto& candidate : {exe.parent_path() / kExtension, exe.parent_path().parent_path() / kExtension,
                                  std::filesystem::path(kInstalledExtension)}) {
        std::error_code ec;
        if (std::filesystem::exists(candidate, ec))
            return candidate.string();
    }
    return std::string();
}

// The session judged by DatabaseTLS: the log line saying why it may not be
// used, or nullopt when it may.
std::optional<std::string> AdmitSession(TODBC& odbc, config::TDatabaseTls mode, TSessionTls& tls)
{
    tls = ReadSessionTls(odbc);
    if (const auto why = TlsRefusal(mode, tls))
        return std::string("Connection closed, DatabaseTLS ") + config::ToText(mode) + ": " + *why;
    return std::nullopt;
}

} // namespace

bool HostIsPinged(std::string_view host) noexcept
{
    constexpr std::size_t kLongestUnpingedName = 6;
    return host.size() > kLongestUnpingedName;
}

TODBCConn::TODBCConn(int pingTimeoutMs) : PingTimeout(pingTimeoutMs) {}

TODBCConn::~TODBCConn()
{
    CloseConnection();
}

void TODBCConn::SetParams(std::string dsn, std::string driver, std::string options, std::string password,
                          std::string user, std::string database)
{
    DSN = std::move(dsn);
    Driver = std::move(driver);
    Options = std::move(options);
    Password = std::move(password);
    UserName = std::move(user);
    DatabaseName = std::move(database);
}

void TODBCConn::SetLog(config::TMessLog* log)
{
    MessageLog = log;
    if (Binding && !Binding->MessageLog)
        Binding->MessageLog = log;
}

void TODBCConn::Log(const std::string& text, config::TLevel level) noexcept
{
    if (MessageLog)
        MessageLog->Log(text, level);
}

void TODBCConn::AcquireBinding()
{
    if (Binding)
        return;
    m_ownBinding = std::make_unique<TODBC>();
    OwnsBinding = true;
    Binding = m_ownBinding.get();
}

bool TODBCConn::EnsureConnected(TCheck check) noexcept
{
    std::scoped_lock lock(m_lock);
    try {
        AcquireBinding();
        if (!Binding) {
            Log("TODBC Could not be Created!", config::TLevel::Error);
            return false;
        }
        bool connected = Binding->Connected;
        const bool trusted = check == TCheck::TrustRecent && !Binding->ConnectionLost && Binding->AnsweredRecently();
        if (connected && !trusted && Binding->IsDead()) {
            Log("ODBC Connection 'Dead'!", config::TLevel::Warning);
            try {
                CloseConnection();
            } catch (...) {
            }
            AcquireBinding();
            connected = false;
        }
        if (!connected) {
            bool opened = false;
            try {
                opened = OpenConnection();
            } catch (...) {
                Log("Exception: ODBC Connect!", config::TLevel::Error);
                opened = false;
            }
            if (opened && Binding && Binding->Connected) {
                Log("Connected to DataSource!");
                if (m_connectedBefore)
                    platform::Metrics().Add("velixcard_database_reconnects_total");
                m_connectedBefore = true;
                LogReachedHost();
            } else {
                Log("Could not connect to DataSource, check your setup...", config::TLevel::Error);
                CloseConnection();
            }
        }
        return Binding && Binding->Connected;
    } catch (...) {
        Log("EXCEPTION: ConnectToODBC!", config::TLevel::Error);
        return Binding && Binding->Connected;
    }
}

// With a host list the driver takes the first host that answers: which one
// it was, by the server's own port (the list's item with that port), is what
// an operator needs after a failover.
void TODBCConn::LogReachedHost() noexcept
{
    try {
        const auto hosts = config::ParseHostList(PingHost, nullptr);
        if (hosts.size() < 2 || Binding->Kind() != dkMySql)
            return;
        TODBCStatement s(*Binding);
        if (!s.ExecSQL("SELECT @@hostname AS host_name, @@port AS port"))
            return;
        constexpr int kDefaultPort = 3306;
        const int port = s.AsInteger("port");
        std::string reached;
        int matches = 0;
        for (const auto& item : hosts) {
            const std::string host = config::HostOfItem(item);
            const std::size_t colon = item.rfind(':');
            const bool hasPort = host != item && colon != std::string::npos;
            if ((hasPort ? config::TextToInt(item.substr(colon + 1)) : kDefaultPort) == port) {
                reached = item;
                ++matches;
            }
        }
        Log("Connected to host " + (matches == 1 ? reached : s.AsString("host_name") + ":" + std::to_string(port)) +
            " of the list " + PingHost);
    } catch (...) {
    }
}

bool TODBCConn::OpenConnection()
{
    AcquireBinding();
    if (!Binding)
        return false;
    if (MessageLog) {
        Binding->ReportErrors = true;
        Binding->MessageLog = MessageLog;
        if (!DatabaseName.empty())
            Log("Connecting to " + DatabaseName);
        else if (!UserName.empty())
            Log("Connecting as " + UserName);
    } else {
        Binding->ReportErrors = false;
    }
    if (!TlsProblem.empty()) {
        Log(TlsProblem);
        LastRefusal = TlsProblem;
        Tls = TSessionTls{};
        PublishTls();
        return false;
    }
    bool ok = false;
    if (PingTimeout <= 0 || Ping())
        ok = Binding->Connect(DSN, UserName, Password, Driver, DatabaseName, Options, false);
    Binding->BindColumns = true;
    if (MessageLog)
        Binding->ReportErrors = true;
    ok = ok && AdmitByTls();
    if (!ok)
        CloseConnection();
    return ok;
}

bool TODBCConn::AdmitByTls() noexcept
{
    try {
        LastRefusal.clear();
        if (auto refusal = AdmitSession(*Binding, TlsMode, Tls)) {
            Log(*refusal, config::TLevel::Error);
            LastRefusal = std::move(*refusal);
            Tls = TSessionTls{};
        } else if (Tls.State == TSessionTls::TState::Encrypted) {
            Log("Connection encrypted: " + DescribeTls(Tls));
        }
        PublishTls();
        return LastRefusal.empty();
    } catch (...) {
        return false;
    }
}

void TODBCConn::PublishTls() noexcept
{
    try {
        // A local file has no link to describe.
        if (!ConnectionKind.empty() && Tls.State != TSessionTls::TState::LocalFile)
            platform::Metrics().Set("velixcard_database_tls", {{"loop", ConnectionKind}}, TlsLevel(Tls));
    } catch (...) {
    }
}

void TODBCConn::CloseConnection() noexcept
{
    if (Binding) {
        Binding->Disconnect();
        if (Binding->Connected)
            Log("Problem Disconnecting from the DataSource!", config::TLevel::Warning);
    }
    if (OwnsBinding) {
        Binding = nullptr;
        m_ownBinding.reset();
        OwnsBinding = false;
    }
}

// Each host of the list in turn; the first that answers will do. A short
// name counts as answering without a ping.
bool TODBCConn::Ping() noexcept
{
    auto hosts = config::ParseHostList(PingHost, nullptr);
    if (hosts.empty())
        hosts.push_back(PingHost);
    for (const auto& item : hosts) {
        const std::string host = config::HostOfItem(item);
        if (!HostIsPinged(host) || PingOne(host))
            return true;
    }
    return false;
}

bool TODBCConn::PingOne(const std::string& host) noexcept
{
    Log("Pinging - " + host);
    bool result = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const platform::TEcho echo = platform::SendEcho(host, std::chrono::milliseconds(PingTimeout));
        if (echo.Result == platform::TEchoResult::Unresolved) {
            Log("Ping Exception - " + echo.Error, config::TLevel::Error);
            result = false;
            break;
        }
        if (echo.Result != platform::TEchoResult::NotSent) {
            result = echo.Result == platform::TEchoResult::Answered;
            break;
        }
    }
    Log(result ? "Ping OK" : "Ping FAIL", result ? config::TLevel::Info : config::TLevel::Warning);
    return result;
}

std::unique_ptr<TODBCConn> MakeConnection(const config::TConnParams& params, TODBC& binding, config::TMessLog* log,
                                          std::string kind)
{
    constexpr int kPingTimeoutMs = 700;
    auto connection = std::make_unique<TODBCConn>(kPingTimeoutMs);
    connection->Binding = &binding;
    connection->SetLog(log);
    connection->SetParams(params.DSNName, params.ODBCDriver,
                          TlsOptions(params.TlsMode(), params.ODBCDriver, params.ConnectOptions()), params.Pass,
                          params.User, params.Database);
    connection->PingHost = params.Host;
    connection->TlsMode = params.TlsMode();
    connection->TlsProblem = params.TlsProblem();
    connection->ConnectionKind = std::move(kind);
    std::vector<std::string> problems;
    params.Hosts(&problems);
    if (log)
        for (const auto& p : problems)
            log->Log(p, config::TLevel::Warning);
    return connection;
}

bool ConnectLocalFile(TODBC& odbc, const std::string& path, TLocalFile kind) noexcept
{
    try {
        std::string options =
            kind == TLocalFile::Journal ? "JournalMode=WAL;SyncPragma=FULL" : "JournalMode=DELETE;SyncPragma=NORMAL";
        if (const std::string extension = ExtensionPath(); !extension.empty())
            options += ";LoadExt=" + extension;
        odbc.BindColumns = true;
        odbc.ReportErrors = true;
        return odbc.Connect("", "", "", kLocalDriver, path, options, false);
    } catch (...) {
        return false;
    }
}

std::unique_ptr<TODBC> ConnectOnce(const config::TConnParams& params, std::string& problem, TSessionTls* tls)
{
    if (problem = params.TlsProblem(); !problem.empty())
        return nullptr;
    auto odbc = std::make_unique<TODBC>();
    odbc->ReportErrors = true;
    odbc->BindColumns = true;
    if (!odbc->Connect(params.DSNName, params.User, params.Pass, params.ODBCDriver, params.Database,
                       TlsOptions(params.TlsMode(), params.ODBCDriver, params.ConnectOptions()), false)) {
        problem = odbc->LastDiagnostic.empty() ? "the driver gave no reason" : odbc->LastDiagnostic;
        return nullptr;
    }
    TSessionTls session;
    if (auto refusal = AdmitSession(*odbc, params.TlsMode(), session)) {
        problem = std::move(*refusal);
        return nullptr;
    }
    if (tls)
        *tls = session;
    return odbc;
}

} // namespace db
