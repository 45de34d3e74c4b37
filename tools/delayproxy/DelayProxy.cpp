#include "tools/delayproxy/DelayProxy.hpp"

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <string>
#include <thread>

namespace tools {

using asio::ip::tcp;
using TClock = std::chrono::steady_clock;

namespace {

// Both directions of one relayed connection. Every handler holds the
// connection alive; an error in either direction closes both sockets.
struct TConnection : std::enable_shared_from_this<TConnection> {
    struct TDirection {
        TDirection(tcp::socket& from, tcp::socket& to, asio::io_context& context) : From(from), To(to), Timer(context) {}
        tcp::socket& From;
        tcp::socket& To;
        std::array<char, 64 * 1024> Buffer{};
        std::deque<std::pair<TClock::time_point, std::string>> Pending;
        asio::steady_timer Timer;
        bool Writing = false;
    };

    TConnection(asio::io_context& context, tcp::socket client, const std::atomic<long long>& delayUs)
        : Client(std::move(client)),
          Server(context),
          DelayUs(delayUs),
          Up(Client, Server, context),
          Down(Server, Client, context)
    {
    }

    void Start()
    {
        Read(Up);
        Read(Down);
    }

    void Read(TDirection& d)
    {
        d.From.async_read_some(asio::buffer(d.Buffer), [self = shared_from_this(), &d](std::error_code ec, std::size_t n) {
            if (ec)
                return self->Close();
            d.Pending.emplace_back(TClock::now() + std::chrono::microseconds(self->DelayUs.load()),
                                   std::string(d.Buffer.data(), n));
            self->Pump(d);
            self->Read(d);
        });
    }

    // Writes the oldest chunk once it is due; one write at a time keeps the order.
    void Pump(TDirection& d)
    {
        if (d.Writing || d.Pending.empty())
            return;
        d.Writing = true;
        d.Timer.expires_at(d.Pending.front().first);
        d.Timer.async_wait([self = shared_from_this(), &d](std::error_code) {
            asio::async_write(d.To, asio::buffer(d.Pending.front().second),
                              [self, &d](std::error_code ec, std::size_t) {
                                  d.Pending.pop_front();
                                  d.Writing = false;
                                  if (ec)
                                      return self->Close();
                                  self->Pump(d);
                              });
        });
    }

    void Close()
    {
        std::error_code ignored;
        Client.close(ignored);
        Server.close(ignored);
    }

    tcp::socket Client;
    tcp::socket Server;
    const std::atomic<long long>& DelayUs;
    TDirection Up;
    TDirection Down;
};

} // namespace

struct TDelayProxy::TImpl {
    TImpl(int targetPort, std::chrono::microseconds oneWay)
        : Acceptor(Context, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
          Target(asio::ip::address_v4::loopback(), static_cast<unsigned short>(targetPort)),
          DelayUs(oneWay.count())
    {
        Accept();
        Thread = std::thread([this] { Context.run(); });
    }
    ~TImpl()
    {
        Context.stop();
        Thread.join();
    }

    void Accept()
    {
        Acceptor.async_accept([this](std::error_code ec, tcp::socket client) {
            if (ec)
                return;
            auto connection = std::make_shared<TConnection>(Context, std::move(client), DelayUs);
            std::error_code connectError;
            connection->Server.connect(Target, connectError);
            if (connectError) {
                connection->Close();
            } else {
                // As the database client and server do: a small packet goes out at once.
                connection->Client.set_option(tcp::no_delay(true), connectError);
                connection->Server.set_option(tcp::no_delay(true), connectError);
                connection->Start();
            }
            Accept();
        });
    }

    asio::io_context Context;
    tcp::acceptor Acceptor;
    tcp::endpoint Target;
    std::atomic<long long> DelayUs;
    std::thread Thread;
};

TDelayProxy::TDelayProxy(int targetPort, std::chrono::microseconds oneWay)
    : m_impl(std::make_unique<TImpl>(targetPort, oneWay))
{
}

TDelayProxy::~TDelayProxy() = default;

int TDelayProxy::Port() const noexcept
{
    return m_impl->Acceptor.local_endpoint().port();
}

void TDelayProxy::SetDelay(std::chrono::microseconds oneWay) noexcept
{
    m_impl->DelayUs = oneWay.count();
}

} // namespace tools
