#pragma once

namespace config {

// What a log line is about, for the system journal (the log file looks the same).
enum class TLevel { Info, Warning, Error };

} // namespace config
