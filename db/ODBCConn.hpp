#pragma once

#include "config/ConnParams.hpp"
#include "config/LogLevel.hpp"
#include "db/ODBCTls.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace config {
class TMessLog;
}

namespace db {

class TODBC;

// Whether a host is pinged before connecting: names of six characters or
// fewer ("::1", "server") are taken as reachable without one.
bool HostIsPinged(std::string_view host) noexcept;

// Keeps one ODBC connection usable for its owner: EnsureConnected before each
// piece of work notices a dead connection, drops it and connects again,
// pinging the host first. A connection that DatabaseTLS does not admit is
// closed and counts as not made. Never throws; every step is logged.
class TODBCConn {
public:
    // pingTimeoutMs <= 0 switches the ping off; the service uses 700.
    explicit TODBCConn(int pingTimeoutMs);
    ~TODBCConn();
    TODBCConn(const TODBCConn&) = delete;
    TODBCConn& operator=(const TODBCConn&) = delete;

    void SetParams(std::string dsn, std::string driver, std::string options, std::string password,
                   std::string user, std::string database);
    void SetLog(config::TMessLog* log);

    // True when the binding is connected on return. Probe asks the server
    // whether the connection lives (a round trip); TrustRecent takes one that
    // answered a moment ago as alive, for callers that recover when a
    // statement finds it lost after all.
    enum class TCheck { Probe, TrustRecent };
    bool EnsureConnected(TCheck check = TCheck::Probe) noexcept;
    bool OpenConnection();
    void CloseConnection() noexcept;
    // PingHost may be a host list: true when any of its hosts answers.
    bool Ping() noexcept;

    // Assigned by the creator right after construction, and must outlive this
    // manager; without one the manager makes and owns its own.
    TODBC* Binding = nullptr;
    bool OwnsBinding = false;
    config::TMessLog* MessageLog = nullptr;
    std::string DSN;
    std::string DatabaseName;
    std::string UserName;
    std::string Password;
    std::string Driver;
    std::string Options;
    std::string PingHost;
    int PingTimeout;
    config::TDatabaseTls TlsMode = config::TDatabaseTls::Off;
    // Set when DatabaseTLS has a value the service does not know: nothing is connected.
    std::string TlsProblem;
    // The velixcard_database_tls label: "startup", a loop's id, "offline copy",
    // "journal replay"; empty publishes nothing.
    std::string ConnectionKind;
    // The TLS of the connection last made, and why the last one was refused
    // (empty when it was not).
    TSessionTls Tls;
    std::string LastRefusal;

private:
    void AcquireBinding();
    void LogReachedHost() noexcept;
    bool AdmitByTls() noexcept;
    void PublishTls() noexcept;
    bool m_connectedBefore = false;  // a later connect is a reconnect
    bool PingOne(const std::string& host) noexcept;
    void Log(const std::string& text, config::TLevel level = config::TLevel::Info) noexcept;

    std::unique_ptr<TODBC> m_ownBinding;  // only when no binding was assigned
    std::recursive_mutex m_lock;
};

// The one way the service reaches its site database, by the registry's
// parameters: a manager for the binding (which must outlive it) that logs to
// log and pings the host first, under the TLS the registry demands; kind as
// TODBCConn::ConnectionKind. Not yet connected.
std::unique_ptr<TODBCConn> MakeConnection(const config::TConnParams& params, TODBC& binding, config::TMessLog* log,
                                          std::string kind);
// How a local SQLite file is kept: the journal in WAL mode with every commit
// on the disk before it returns; the copy, which is rebuilt when lost, with a
// rollback journal, so a file renamed into its place never meets a stale log.
enum class TLocalFile { Journal, Copy };
// Connects to an SQLite file of this computer (made when missing) through the
// SQLite ODBC driver, with the project's extension when it is installed.
bool ConnectLocalFile(TODBC& odbc, const std::string& path, TLocalFile kind) noexcept;

// One connection made as the service makes it, for the operator commands:
// nullptr with the driver's reason, or the TLS refusal, when it cannot be
// made; tls (when given) receives the session's TLS.
std::unique_ptr<TODBC> ConnectOnce(const config::TConnParams& params, std::string& problem,
                                   TSessionTls* tls = nullptr);

} // namespace db
