// The exception type of the engine binding.
#pragma once

#include <stdexcept>
#include <string>

namespace AvCore {

class AvCoreException : public std::runtime_error {
public:
    explicit AvCoreException(const std::string& message) : std::runtime_error(message) {}
};

// A failure of loading the engine library: what() is the fixed message ("Failed to load ScanMain.DLL",
// "ScanMain.DLL has invalid format", "Failed to init avcore"), detail says exactly what went wrong.
class EngineLoadError : public std::runtime_error {
public:
    EngineLoadError(const std::string& message, const std::string& detail)
        : std::runtime_error(message), detail(detail) {}
    std::string detail;
};

}  // namespace AvCore
