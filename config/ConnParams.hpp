#pragma once

#include <string>

namespace config {

// The connection and global parameters of the product key, read afresh by the
// constructor; every read failure becomes the value's default. Never throws.
class TConnParams {
public:
    // registryFile defaults to the program's registry file.
    explicit TConnParams(std::string registryFile = std::string());

    // ODBCOptions with %h, %d, %u and %p replaced (case-sensitive, all occurrences).
    std::string ConnectOptions() const;

    std::string DSNName;
    std::string Host;
    std::string Database;
    std::string User;
    std::string Pass;
    std::string ODBCDriver;
    std::string ODBCOptions;
    bool DebugLog = true;
};

inline constexpr const char* kProductKey = "\\Software\\Trellant\\Velix\\";

} // namespace config
