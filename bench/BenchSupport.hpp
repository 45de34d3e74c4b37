#pragma once

#include "db/ODBC.hpp"

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace bench {

std::string Env(const char* name);
// Runs a statement; false, after printing it, when it fails.
bool Run(db::TODBC& odbc, const std::string& sql);
// Runs a schema file, one statement per ";" at a line end.
bool RunScript(db::TODBC& odbc, const std::string& path);
// One raw round trip: execute, fetch every row and read every column as text.
void RawStatement(db::TODBC& odbc, const std::string& sql);
double Percentile(std::vector<double> values, double fraction);

// One backend of the benchmarks: a fresh database with the shipped schema.
struct TSite {
    const char* Name;
    std::string Driver, Database, Options, User, Pass, Schema;
    std::string RegistryOptions;  // ODBCOptions for a loop controller reading the registry
    bool MySql;
};
// SQLite first, then MariaDB: after a large fill the server stays busy for a while.
std::vector<TSite> Sites(const std::string& name);
// Drops and re-creates the site's database and runs its schema.
bool Prepare(const TSite& site, db::TODBC& odbc);
// A registry file that points a loop controller at the site (DebugLog off
// unless asked).
void WriteRegistry(const std::string& path, const TSite& site, bool debugLog = false);

// A loop-1 entry device, one card type open at all times, its message row, and
// cards numbered 1 .. cards.
bool FillCards(const TSite& site, db::TODBC& odbc, int cards);

// The device simulator, a process of its own, at the far end of link; its
// standard output (a line per frame) is Out.
struct TSim {
    int Pid = -1;
    std::FILE* Out = nullptr;
};
TSim StartSim(const std::string& link, const std::string& addresses);

// Clients of the status listener on 127.0.0.1:port fetching the page, the
// status and the metrics in turn as fast as they can, until destroyed. Here
// they share the service's cores; Elsewhere stands in for browsers on other
// computers: the clients' own work only gets what the service leaves.
enum class TClientsAt { Here, Elsewhere };
inline constexpr int kLowestPriority = 19;
class TPageLoad {
public:
    TPageLoad(int port, int clients, TClientsAt where);
    ~TPageLoad();
    TPageLoad(const TPageLoad&) = delete;
    TPageLoad& operator=(const TPageLoad&) = delete;
    long Requests() const noexcept { return m_requests; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_requests{0};
    std::vector<std::thread> m_clients;
};

} // namespace bench
