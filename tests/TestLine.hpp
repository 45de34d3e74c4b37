#pragma once

#include "tools/devsim/DeviceSim.hpp"

#include "TestSupport.hpp"

#include <chrono>
#include <string>

namespace testing_support {

// A pseudo-terminal whose far end is linked at linkPath (a loop's COM<n>);
// the near end (Master) is for the device simulator. Closed, and its link
// removed, at destruction.
class TPseudoTerminal {
public:
    explicit TPseudoTerminal(const std::string& linkPath);
    ~TPseudoTerminal();
    TPseudoTerminal(const TPseudoTerminal&) = delete;
    TPseudoTerminal& operator=(const TPseudoTerminal&) = delete;
    int Master() const { return m_master; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_link;
};

// Whether the simulator received data (letter and payload) for the address in time.
bool Received(tools::TDeviceSimulator& sim, int address, const std::string& data,
              std::chrono::milliseconds deadline = std::chrono::seconds(3));

} // namespace testing_support
