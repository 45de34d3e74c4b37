// velixcard CHECK: what the service would find, before it is started.
#include "config/ConnParams.hpp"
#include "config/Format.hpp"
#include "config/IniFileEx.hpp"
#include "config/RegistryEx.hpp"
#include "db/ODBC.hpp"
#include "db/ODBCConn.hpp"
#include "db/SiteColumns.hpp"
#include "loop/Loop.hpp"
#include "mail/Mail.hpp"
#include "platform/FileText.hpp"
#include "platform/Paths.hpp"
#include "platform/Ping.hpp"
#include "platform/SerialPort.hpp"
#include "service/Operator.hpp"
#include "service/PlannedTasks.hpp"
#include "service/Startup.hpp"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace service {
namespace {

constexpr auto kPingTimeout = std::chrono::milliseconds(700);

struct TFindings {
    std::vector<std::string> Blocking;  // the service could not start
    std::vector<std::string> Warnings;
    std::vector<std::string> Notes;  // the service does without it
};

// The user this runs as: CHECK run as the service's user tells what that user
// cannot do.
std::string UserName()
{
    const passwd* pw = ::getpwuid(::geteuid());
    return pw ? pw->pw_name : "uid " + std::to_string(::geteuid());
}

void PrintUser(std::FILE* out)
{
    std::string groups;
    gid_t list[64];
    const int n = ::getgroups(64, list);
    for (int i = 0; i < n; ++i) {
        const group* g = ::getgrgid(list[i]);
        groups += (groups.empty() ? "" : ", ") + (g ? std::string(g->gr_name) : std::to_string(list[i]));
    }
    std::fprintf(out, "Checked as user %s (uid %u; groups %s)\n", UserName().c_str(), ::geteuid(),
                 groups.empty() ? "none" : groups.c_str());
}

// Why this user cannot read a file that exists; nullopt when it can.
std::optional<std::string> CannotRead(const std::string& path)
{
    if (platform::IsDirectory(path))
        return "is a folder";
    if (::access(path.c_str(), R_OK) != 0)
        return "cannot be read by user " + UserName() + " (" + std::strerror(errno) + ")";
    return std::nullopt;
}

// Reads a configuration file and says how that went.
std::optional<std::string> ReadConfiguration(std::FILE* out, const std::string& what, const std::string& path,
                                             std::vector<std::string>& findings)
{
    auto text = platform::ReadWholeFile(path);
    std::string state = text ? "read" : "missing, defaults used";
    if (!text && platform::FileExists(path)) {
        const std::string problem = CannotRead(path).value_or("cannot be read");
        state = "NOT READABLE, defaults used: " + problem;
        findings.push_back(what + " " + path + " " + problem);
    }
    std::fprintf(out, "%s %s: %s\n", what.c_str(), path.c_str(), state.c_str());
    return text;
}

// Without its registry the service would run on the defaults: that stops a start.
// Under the unit the file comes as a credential.
void CheckRegistry(std::FILE* out, const config::TConnParams& params, TFindings& f)
{
    const std::string path = platform::RegistryPath();
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    const bool credential = credentials && *credentials && path.rfind(std::string(credentials) + "/", 0) == 0;
    ReadConfiguration(out, credential ? "Registry credential" : "Registry file", path, f.Blocking);
    TTextTable table({"Value", "Effective", "From"});
    for (const auto& s : params.Sources)
        table.Add({s.Name, s.Shown, s.FromFile ? "file" : "default"});
    table.Add({"ComputerName", config::LowerCase(config::ComputerName()), "file or host name"});
    table.Print(out);
}

// A mail setting that cannot be followed sends no notice; the gates go on.
void CheckMail(std::FILE* out, TFindings& f)
{
    const mail::TMailSecurity mail = mail::ReadMailSecurity();
    const char* tls = mail.Tls == mail::TMailTls::StartTls ? "starttls" : mail.Tls == mail::TMailTls::Tls ? "tls" : "none";
    std::fprintf(out, "Mail: EmailSecurity %s, %s, certificate %s\n\n", tls,
                 mail.User.empty() ? "no login" : ("login as " + mail.User).c_str(),
                 mail.Tls == mail::TMailTls::None ? "not used" : mail.Verify ? "checked" : "NOT CHECKED");
    if (!mail.Problem.empty())
        f.Warnings.push_back("no mail is sent: " + mail.Problem);
}

void CheckSettings(std::FILE* out, TFindings& f)
{
    const auto text = ReadConfiguration(out, "Settings file", platform::SettingsFilePath(), f.Warnings);
    const auto ini = config::TIniFileEx::FromText(text.value_or(""));
    TTextTable table({"Setting", "Effective", "From"});
    for (const auto& k : loop::kLoopSettingKeys) {
        const bool present = ini.ValueExists("Settings", k.Key);
        table.Add({k.Key, present ? ini.ReadString("Settings", k.Key, "") : k.Default, present ? "file" : "default"});
    }
    table.Print(out);
}

// Settings that leave the link weaker than they look: an SSLVERIFY the driver
// reads as 0, a credentials folder that is not there, and DatabaseTLS off,
// which refuses no session in clear, towards a database on another computer.
void WarnOfTlsSettings(const config::TConnParams& params, const db::TSessionTls& tls, TFindings& f)
{
    const std::string options = params.ConnectOptions();
    if (const auto verify = db::ConnectionPairValue(options, "SSLVERIFY");
        verify && !verify->empty() && !std::isdigit(static_cast<unsigned char>(verify->front())) &&
        params.TlsMode() != config::TDatabaseTls::Verified)
        f.Warnings.push_back("ODBCOptions: SSLVERIFY=" + *verify +
                             " reads as 0 to the driver, so the host name is not checked (write SSLVERIFY=1)");
    const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (params.ODBCOptions.find("%c") != std::string::npos && !(credentials && *credentials))
        f.Warnings.push_back("ODBCOptions names %c, the credentials folder, but CREDENTIALS_DIRECTORY is not set");
    if (params.TlsMode() != config::TDatabaseTls::Off)
        return;
    std::string remote;
    for (const auto& item : params.Hosts())
        if (!db::IsThisComputer(config::HostOfItem(item), platform::HostName()))
            remote += (remote.empty() ? "" : ", ") + config::HostOfItem(item);
    if (remote.empty())
        return;
    f.Warnings.push_back("DatabaseTLS is off and the database host " + remote + " is not this computer: " +
                         (tls.State == db::TSessionTls::TState::Encrypted
                              ? "the connection is encrypted now, but one in clear would not be refused"
                              : "card numbers and names cross the network in clear"));
}

std::unique_ptr<db::TODBC> CheckConnection(std::FILE* out, const config::TConnParams& params, TFindings& f,
                                           db::TSessionTls& tls)
{
    TTextTable table({"Check", "Result"});
    if (!params.DSNName.empty()) {
        const bool known = db::DataSourceExists(params.DSNName) || platform::FileExists(params.DSNName);
        table.Add({"Data source " + params.DSNName, known ? "registered" : "NOT REGISTERED"});
        if (!known)
            f.Warnings.push_back("the data source " + params.DSNName + " is not registered with unixODBC");
    }
    if (!params.ODBCDriver.empty()) {
        const bool known = db::DriverRegistered(params.ODBCDriver);
        table.Add({"ODBC driver " + params.ODBCDriver, known ? "registered" : "NOT REGISTERED"});
        if (!known && params.DSNName.empty())
            f.Blocking.push_back("the ODBC driver \"" + params.ODBCDriver + "\" is not registered (odbcinst.ini)");
    }
    // The service goes on when any host of the list answers.
    std::vector<std::string> problems;
    bool anyAnswered = false;
    for (const auto& item : params.Hosts(&problems)) {
        const std::string host = config::HostOfItem(item);
        const bool pinging = db::HostIsPinged(host);
        const auto echo = pinging ? platform::SendEcho(host, kPingTimeout) : platform::TEcho{};
        const bool pinged = !pinging || echo.Result == platform::TEchoResult::Answered;
        anyAnswered = anyAnswered || pinged;
        table.Add({"Ping " + host, !pinging ? "not pinged (short name)"
                                   : pinged ? "answered"
                                            : "NO ANSWER " + echo.Error});
    }
    for (const auto& p : problems)
        f.Warnings.push_back(p);
    if (!anyAnswered)
        f.Blocking.push_back("no database host of " + params.Host + " answers a ping");
    std::string problem;
    auto odbc = db::ConnectOnce(params, problem, &tls);
    table.Add({"Connection", odbc ? "connected" : "FAILED: " + problem});
    if (!odbc)
        f.Blocking.push_back("no connection to the database: " + problem);
    table.Print(out);
    WarnOfTlsSettings(params, tls, f);
    return odbc;
}

std::vector<std::string> Columns(db::TODBC& odbc, const std::string& table)
{
    db::TODBCStatement s(odbc);
    std::string list = s.ListColumns(table);
    std::vector<std::string> out;
    std::stringstream ss(list);
    for (std::string item; std::getline(ss, item, ',');)
        out.push_back(config::LowerCase(config::TrimText(item)));
    return out;
}

bool HasColumn(const std::vector<std::string>& present, std::string_view column)
{
    return std::find(present.begin(), present.end(), config::LowerCase(column)) != present.end();
}

void Append(std::string& list, std::string_view item)
{
    list += (list.empty() ? "" : ", ") + std::string(item);
}

// Judged by the columns the service's statements use: a missing table or
// required column fails the statements that name it; a column start-up adds
// is a warning, an optional one a note. Columns beyond the list are the site's own.
void CheckSchema(std::FILE* out, db::TODBC& odbc, TFindings& f)
{
    TTextTable table({"Table", "Missing"});
    for (const db::TSiteTable& t : db::SiteTables()) {
        const std::string name(t.Name);
        const auto present = Columns(odbc, name);
        std::string missing, added, optional;
        if (present.empty() && t.MadeAtStartUp) {
            missing = "THE TABLE (start-up makes it)";
            f.Warnings.push_back("table " + name + " is missing (start-up makes it)");
        } else if (present.empty()) {
            missing = "THE TABLE";
            f.Blocking.push_back("table " + name + " is missing");
        } else {
            for (const db::TSiteColumn& c : t.Columns) {
                if (HasColumn(present, c.Name))
                    continue;
                const std::string column = config::LowerCase(c.Name);
                if (c.Use == db::TColumnUse::Optional) {
                    Append(optional, column + " (optional)");
                    f.Notes.push_back("table " + name + ": no " + column + " (" + std::string(c.WhenAbsent) + ")");
                } else {
                    Append(c.Use == db::TColumnUse::AddedAtStartUp ? added : missing, column);
                }
            }
            if (!missing.empty())
                f.Blocking.push_back("table " + name + ": missing " + missing);
            if (!added.empty())
                f.Warnings.push_back("table " + name + ": missing " + added + " (start-up adds them)");
        }
        std::string shown = missing;
        for (const std::string& more : {added, optional})
            if (!more.empty())
                Append(shown, more);
        table.Add({name, shown.empty() ? "-" : shown});
    }
    std::fprintf(out, "Schema (the tables and columns the service reads or writes):\n");
    table.Print(out);
}

// Why the service could not write a folder or file it needs; nullopt when it can.
std::optional<std::string> CannotWrite(const std::string& path, bool folder)
{
    if (!platform::FileExists(path))
        return std::nullopt;
    if (platform::IsDirectory(path) != folder)
        return folder ? "is not a folder" : "is a folder";
    if (::access(path.c_str(), folder ? W_OK | X_OK : W_OK) != 0)
        return "cannot be written by user " + UserName() + " (" + std::strerror(errno) + ")";
    return std::nullopt;
}

// The home folder holds the log, the settings file and the planned-task dates.
void CheckHome(std::FILE* out, TFindings& f)
{
    const std::string home = platform::HomeFolder();
    struct TItem {
        const char* what;
        std::string path;
        bool folder;
    };
    const TItem items[] = {
        {"Home folder", home, true},
        {"Log folder", platform::ParentFolder(MainLogFileName()), true},
        {"Settings file", platform::SettingsFilePath(), false},
        {"Planned-task dates", PlannedTasksFileName(), false},
    };
    TTextTable table({"Written", "Path", "State"});
    for (const auto& item : items) {
        auto problem = CannotWrite(item.path, item.folder);
        if (!problem && item.path == home && !platform::FileExists(home))
            problem = "is missing";
        table.Add({item.what, item.path, problem ? "NO: " + *problem : platform::FileExists(item.path) ? "writable" : "made when needed"});
        if (problem)
            f.Blocking.push_back(std::string(item.what) + " " + item.path + " " + *problem);
    }
    table.Print(out);
}

// The ids of the loops this computer serves.
std::vector<int> CheckLoops(std::FILE* out, db::TODBC& odbc, TFindings& f)
{
    std::vector<int> ids;
    const std::string name = config::LowerCase(config::ComputerName());
    TTextTable table({"Loop", "Name", "Enabled", "Port", "Path", "Port now"});
    int served = 0;
    db::TODBCStatement s(odbc);
    for (bool more = s.ExecSQL(ServedLoopsSql(odbc, name)); more; more = s.Next()) {
        ++served;
        ids.push_back(s.AsInteger("id"));
        const int port = s.AsInteger("port");
        const bool enabled = s.AsBool("enabled");
        const std::string path = platform::SerialPortPath(port);
        std::string state = "-";
        if (enabled) {
            platform::TSerialPort probe;
            const auto error = probe.Open(path, 9600);
            state = !platform::FileExists(path) ? "MISSING"
                    : error                     ? "CANNOT OPEN as user " + UserName() + ": " + *error
                                                : "can be opened";
            if (!platform::FileExists(path) || error)
                f.Warnings.push_back("loop " + s.AsString("id") + ": port " + path + " " + state);
        }
        table.Add({s.AsString("id"), s.AsString("name"), enabled ? "yes" : "no", std::to_string(port),
                   enabled ? path : "-", state});
    }
    std::fprintf(out, "Loops for computer name \"%s\" (and POE/POF):\n", name.c_str());
    table.Print(out);
    if (served == 0)
        f.Blocking.push_back("no loop in the database is named \"" + name + "\" (nor POE/POF)");
    return ids;
}

// Each kind of connection the service makes, made the way it makes it, with
// its TLS as the server shows it; CHECK's own stands for STATUS's too.
void CheckDatabaseTls(std::FILE* out, const config::TConnParams& params, const std::vector<int>& loops,
                      const db::TSessionTls& own, TFindings& f)
{
    std::vector<std::string> kinds = {"startup"};
    for (const int id : loops)
        kinds.push_back(std::to_string(id));
    if (config::ReadOfflineParams().Decisions)
        kinds.insert(kinds.end(), {"offline copy", "journal replay"});
    TTextTable table({"Connection", "Encrypted", "Protocol", "Cipher", "Certificate"});
    const auto add = [&](const std::string& name, const db::TSessionTls& tls) {
        const bool encrypted = tls.State == db::TSessionTls::TState::Encrypted;
        const char* state = encrypted ? "yes"
                            : tls.State == db::TSessionTls::TState::Clear     ? "NO"
                            : tls.State == db::TSessionTls::TState::LocalFile ? "local file"
                                                                               : "unknown";
        table.Add({name, state, encrypted ? tls.Version : "-", encrypted ? tls.Cipher : "-",
                   encrypted ? db::ToText(tls.Certificate) : "-"});
    };
    for (const auto& kind : kinds) {
        const std::string name = std::isdigit(static_cast<unsigned char>(kind.front())) ? "loop " + kind : kind;
        db::TODBC odbc;
        const auto connection = db::MakeConnection(params, odbc, nullptr, kind);
        connection->PingTimeout = 0;  // pinged above
        if (connection->EnsureConnected()) {
            add(name, connection->Tls);
            continue;
        }
        const std::string why = connection->LastRefusal.empty() ? "the driver refused it" : connection->LastRefusal;
        table.Add({name, "FAILED: " + why, "-", "-", "-"});
        f.Blocking.push_back("the " + name + " connection could not be made: " + why);
    }
    add("CHECK, STATUS", own);
    std::fprintf(out, "Database connections and their TLS (DatabaseTLS %s):\n", config::ToText(params.TlsMode()));
    table.Print(out);
}

} // namespace

int RunCheck(std::FILE* out)
{
    TFindings f;
    PrintUser(out);
    const config::TConnParams params(std::string(), config::TConnParams::TAccess::ReadOnly);
    CheckRegistry(out, params, f);
    CheckSettings(out, f);
    CheckMail(out, f);
    CheckHome(out, f);
    for (auto& w : PrintOfflineState(out))
        f.Warnings.push_back(std::move(w));
    db::TSessionTls tls;
    if (auto odbc = CheckConnection(out, params, f, tls)) {
        CheckSchema(out, *odbc, f);
        const auto loops = CheckLoops(out, *odbc, f);
        CheckDatabaseTls(out, params, loops, tls, f);
    }
    for (const auto& n : f.Notes)
        std::fprintf(out, "Note: %s\n", n.c_str());
    for (const auto& w : f.Warnings)
        std::fprintf(out, "Warning: %s\n", w.c_str());
    for (const auto& b : f.Blocking)
        std::fprintf(out, "PROBLEM: %s\n", b.c_str());
    std::fprintf(out, "%s\n", f.Blocking.empty() ? "The service can start." : "The service cannot start.");
    return f.Blocking.empty() ? 0 : 1;
}

} // namespace service
