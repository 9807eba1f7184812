// Exceptions of the quarantine: every what() starts with "Quarantine error: ".
#pragma once

#include "base/Reason.h"
#include "resources/resource.h"

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace Quarantine {

class QuarantineException : public std::runtime_error {
public:
    explicit QuarantineException(const std::string& detail) : std::runtime_error("Quarantine error: " + detail) {}
    QuarantineException(const std::string& detail, const ::Reason& reason)
        : std::runtime_error("Quarantine error: " + detail), reason(reason) {}

    // What went wrong in plain words, filled in where it is known (the store's add and restore).
    ::Reason reason;
};

// A failed system call: "<detail> [GetLastError() = <code>]".
class IOError : public QuarantineException {
public:
    IOError(const std::string& detail, uint32_t code)
        : QuarantineException(detail + " [GetLastError() = " + std::to_string(code) + "]"), code_(code) {}
    uint32_t Code() const { return code_; }

private:
    uint32_t code_;
};

class CorruptedContainer : public QuarantineException {
public:
    explicit CorruptedContainer(const std::string& detail) : QuarantineException(detail) {}
};

class InvalidParameter : public QuarantineException {
public:
    explicit InvalidParameter(const std::string& detail) : QuarantineException(detail) {}
};

class InvalidIdentifier : public QuarantineException {
public:
    explicit InvalidIdentifier(int identifier)
        : QuarantineException("Invalid identifier '" + std::to_string(identifier) + "'") {}
};

// Why an operation of the quarantine failed: the exception's own reason, or its text as it stands.
inline ::Reason ReasonOf(const std::exception& e) {
    if (const QuarantineException* q = dynamic_cast<const QuarantineException*>(&e))
        if (q->reason) return q->reason;
    std::wstring text;
    for (const char* c = e.what(); *c; ++c) text += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return ::Reason(IDS_REASON_SYSTEM, text);
}

// Raises IOError with the error the system reports for the call that has just failed.
[[noreturn]] inline void ThrowLastError(const char* detail) { throw IOError(detail, ::GetLastError()); }

}  // namespace Quarantine
