#pragma once

#include <chrono>
#include <memory>

namespace tools {

// A TCP relay on loopback that holds every chunk, in each direction, for a
// set time before passing it on, in order: a database "further away" by
// twice that time per round trip. For benchmarks and tests only.
class TDelayProxy {
public:
    // Listens on 127.0.0.1 (a free port) and relays to 127.0.0.1:targetPort.
    TDelayProxy(int targetPort, std::chrono::microseconds oneWay);
    ~TDelayProxy();
    TDelayProxy(const TDelayProxy&) = delete;
    TDelayProxy& operator=(const TDelayProxy&) = delete;

    int Port() const noexcept;
    // Applies to chunks read from now on.
    void SetDelay(std::chrono::microseconds oneWay) noexcept;

private:
    struct TImpl;
    std::unique_ptr<TImpl> m_impl;
};

} // namespace tools
