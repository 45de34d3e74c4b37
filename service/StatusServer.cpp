#include "service/StatusServer.hpp"

#include "config/Format.hpp"
#include "config/MessLog.hpp"
#include "platform/Metrics.hpp"
#include "platform/SiteState.hpp"
#include "platform/SysLog.hpp"
#include "platform/ThreadGuard.hpp"
#include "service/StatusPage.hpp"

#include <httplib.h>

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <optional>
#include <semaphore>
#include <thread>

namespace service {
namespace {

constexpr int kServingThreads = 4;  // requests served at once; more wait their turn
constexpr auto kClientTimeout = std::chrono::seconds(2);
constexpr std::size_t kKeepAliveRequests = 20;
// Requests are small GETs: no body, a handful of short headers.
constexpr std::size_t kMaxBody = 0;
constexpr std::size_t kMaxHeaders = 100;
constexpr std::size_t kMaxHeaderBytes = 8 * 1024;

std::string JsonText(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += config::Format("\\u%04x", static_cast<int>(c));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The listener's threads yield to the poll threads and the loops: a gate
// matters more than a page.
constexpr int kListenerNice = 10;

void LowerThisThread()
{
    thread_local bool lowered = false;
    if (!lowered)
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kListenerNice);
    lowered = true;
}

// Serves each accepted connection at a low priority. The acceptor waits here
// while kConnectionsHeld are held, so it takes no more from the kernel.
class TLowPriorityPool : public httplib::ThreadPool {
public:
    using ThreadPool::ThreadPool;
    void enqueue(std::function<void()> work) override
    {
        m_held.acquire();
        ThreadPool::enqueue([this, work = std::move(work)] {
            struct TRelease {
                std::counting_semaphore<>& Held;
                ~TRelease() { Held.release(); }
            } release{m_held};
            LowerThisThread();
            work();
        });
    }

private:
    std::counting_semaphore<> m_held{TStatusServer::kConnectionsHeld};
};

const char* Bool(bool b)
{
    return b ? "true" : "false";
}

// Why a request is refused before it is routed; nullopt for one we serve.
std::optional<std::pair<int, const char*>> Refusal(const httplib::Request& request)
{
    if (request.method != "GET" && request.method != "HEAD")
        return std::pair{405, "GET only\n"};
    std::size_t bytes = 0;
    for (const auto& [name, value] : request.headers)
        bytes += name.size() + value.size() + 4;  // ": " and the line end
    if (request.headers.size() > kMaxHeaders || bytes > kMaxHeaderBytes)
        return std::pair{431, "too many or too long headers\n"};
    // The library leaves a GET's body unread, to be taken for the next request.
    const bool body = (request.has_header("Content-Length") && request.get_header_value("Content-Length") != "0") ||
                      request.has_header("Transfer-Encoding");
    if (body)
        return std::pair{400, "GET and HEAD take no body\n"};
    return std::nullopt;
}

} // namespace

std::optional<TListenAddress> ParseListenAddress(const std::string& text)
{
    const std::string t = config::TrimText(text);
    std::string host, port;
    if (!t.empty() && t.front() == '[') {
        const auto close = t.find(']');
        if (close == std::string::npos || close + 1 >= t.size() || t[close + 1] != ':')
            return std::nullopt;
        host = t.substr(1, close - 1);
        port = t.substr(close + 2);
    } else {
        const auto colon = t.rfind(':');
        if (colon == std::string::npos || t.find(':') != colon)
            return std::nullopt;
        host = t.substr(0, colon);
        port = t.substr(colon + 1);
    }
    int number = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (host.empty() || ec != std::errc() || end != port.data() + port.size() || number < 1 || number > 65535)
        return std::nullopt;
    return TListenAddress{host, number};
}

std::string StatusJson()
{
    const auto s = platform::SiteState().Snapshot();
    std::string out = "{";
    out += std::string("\"started\":") + Bool(s.Started) + ",\"startProblem\":" + JsonText(s.StartProblem);
    out += std::string(",\"database\":") + Bool(s.MainDatabase);
    out += ",\"loops\":[";
    bool first = true;
    for (const auto& [id, up] : s.LoopDatabase) {
        const auto lost = s.LoopPortLost.find(id);
        out += std::string(first ? "" : ",") + "{\"id\":" + std::to_string(id) + ",\"database\":" + Bool(up) +
               ",\"portLost\":" + Bool(lost != s.LoopPortLost.end() && lost->second) + "}";
        first = false;
    }
    out += "],\"devices\":[";
    first = true;
    for (const auto& [key, d] : s.Devices) {
        out += std::string(first ? "" : ",") + "{\"loop\":" + std::to_string(d.Loop) +
               ",\"address\":" + std::to_string(d.Address) + ",\"name\":" + JsonText(d.Name) +
               ",\"type\":" + JsonText(d.Type) + ",\"online\":" + Bool(d.Online) + ",\"gateHeld\":" + Bool(d.GateHeld) +
               ",\"printer\":" + JsonText(d.Printer) + ",\"lastCard\":" + JsonText(d.LastCard) +
               ",\"lastResult\":" + JsonText(d.LastResult) + ",\"doorAjar\":" + Bool(d.DoorAjar) +
               ",\"fire\":" + Bool(d.Fire) + "}";
        first = false;
    }
    out += "],\"lots\":[";
    first = true;
    for (const auto& l : s.Lots) {
        out += std::string(first ? "" : ",") + "{\"id\":" + std::to_string(l.Id) + ",\"name\":" + JsonText(l.Name) +
               ",\"count\":" + std::to_string(l.Count) + ",\"capacity\":" + std::to_string(l.Capacity) + "}";
        first = false;
    }
    out += "],\"decisions\":[";
    first = true;
    for (const auto& d : s.Decisions) {
        out += std::string(first ? "" : ",") + "{\"time\":" + JsonText(d.Time) + ",\"device\":" + JsonText(d.Device) +
               ",\"card\":" + JsonText(d.Card) + ",\"result\":" + JsonText(d.Result) + "}";
        first = false;
    }
    out += std::string("],\"offline\":{\"on\":") + Bool(s.OfflineOn) +
           ",\"copyAgeSeconds\":" + std::to_string(s.OfflineCopyAgeSeconds) +
           ",\"journalDepth\":" + std::to_string(s.JournalDepth) + "}}";
    return out;
}

std::pair<int, std::string> Health()
{
    const auto s = platform::SiteState().Snapshot();
    std::string reasons;
    if (!s.Started)
        reasons += s.StartProblem.empty() ? "not started\n" : "retrying start-up: " + s.StartProblem + "\n";
    for (const auto& [id, up] : s.LoopDatabase)
        if (!up)
            reasons += "loop " + std::to_string(id) + " without its database\n";
    for (const auto& [id, lost] : s.LoopPortLost)
        if (lost)
            reasons += "loop " + std::to_string(id) + " lost its port\n";
    // A thread that failed again and again, until it has run steadily for a while.
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [name, trouble] : s.FailingThreads)
        if (now - trouble.At < platform::kSteadyRun)
            reasons += "the " + name + " thread keeps failing (" + trouble.What + ")\n";
    // The gates work without a copy; the next outage would find none.
    const std::string warnings =
        s.OfflineOn && !s.OfflineCopyProblem.empty()
            ? "warning: the offline copy cannot be made: " + s.OfflineCopyProblem + "\n"
            : std::string();
    return reasons.empty() ? std::pair{200, "ok\n" + warnings} : std::pair{503, reasons + warnings};
}

struct TStatusServer::TImpl {
    httplib::Server Server;
    std::thread Thread;
    int Port = 0;
};

TStatusServer::TStatusServer() : m_impl(std::make_unique<TImpl>()) {}

TStatusServer::~TStatusServer()
{
    if (m_impl->Thread.joinable()) {
        m_impl->Server.stop();
        m_impl->Thread.join();
    }
}

int TStatusServer::Port() const noexcept
{
    return m_impl->Port;
}

bool TStatusServer::Start(const std::string& listen, config::TMessLog& log)
{
    const auto address = ParseListenAddress(listen);
    if (!address) {
        log.Log("StatusListen \"" + listen + "\" is not an address and port (127.0.0.1:9510, [::1]:9510): no status listener", config::TLevel::Error);
        return false;
    }
    httplib::Server& server = m_impl->Server;
    server.new_task_queue = [] { return new TLowPriorityPool(kServingThreads); };
    server.set_read_timeout(kClientTimeout);
    server.set_write_timeout(kClientTimeout);
    server.set_keep_alive_timeout(kClientTimeout.count());
    server.set_keep_alive_max_count(kKeepAliveRequests);
    server.set_payload_max_length(kMaxBody);  // any method's body is read no further
    // The library's default adds SO_REUSEPORT, which lets a second listener
    // share a taken port without a word: address reuse only.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_pre_routing_handler([](const httplib::Request& request, httplib::Response& response) {
        const auto refusal = Refusal(request);
        if (!refusal)
            return httplib::Server::HandlerResponse::Unhandled;
        response.status = refusal->first;
        if (refusal->first == 405)
            response.set_header("Allow", "GET, HEAD");
        // What is left of the request on the connection is never read as another.
        response.set_header("Connection", "close");
        response.set_content(refusal->second, "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    server.Get("/metrics", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(platform::Metrics().Render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
        const auto [status, text] = Health();
        response.status = status;
        response.set_content(text, "text/plain; charset=utf-8");
    });
    server.Get("/status.json", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(StatusJson(), "application/json");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(StatusPageHtml(), "text/html; charset=utf-8");
    });
    if (!server.bind_to_port(address->Host, address->Port)) {
        log.Log("StatusListen " + listen + ": the address cannot be used or the port is taken: no status listener", config::TLevel::Error);
        return false;
    }
    m_impl->Port = address->Port;
    // It outlives the message log of a start-up: its failures go to syslog.
    m_impl->Thread = std::thread([&server] {
        LowerThisThread();
        platform::RunGuarded("status listener", {}, [&server](std::stop_token) { server.listen_after_bind(); },
                             [](const std::string& thread, const std::string& what) {
                                 platform::SysLogError("The " + thread + " thread failed (" + what + "); it starts again");
                             });
    });
    log.Log("Status listener on " + listen + " (/, /metrics, /healthz, /status.json)");
    return true;
}

} // namespace service
