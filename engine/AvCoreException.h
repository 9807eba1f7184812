// The exception type of the engine binding.
#pragma once

#include <stdexcept>
#include <string>

namespace AvCore {

class AvCoreException : public std::runtime_error {
public:
    explicit AvCoreException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace AvCore
