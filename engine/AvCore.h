// The program's face of the engine: the engine root CAvCore, which hands out scanners, and
// CAvCoreScanner, which owns one scanning context, scans or cures one file per call and reports
// every object and detection through its signals (emitted on the scanning thread).
#pragma once

#include "engine/AvCoreException.h"
#include "base/Reason.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <string>

namespace AvCore {

enum ObjectType : uint32_t { File = 1 };

// One detection; a plain value that consumers copy.
struct Threat {
    uint32_t id = 0;       // process-wide sequence number; the first record of a process is 2
    std::wstring name;     // converted from the engine's ANSI text; empty when that fails
    std::wstring object;   // the scanned path, or the object name given to the callback
    ObjectType type = File;
    bool fromCallback = false;
    bool codeIsOne = false;
    bool curable = false;  // from the scan outcome; always false for callback records
};

class CAvCoreImpl;
class CAvCoreScannerImpl;

class CAvCoreScanner : boost::noncopyable {
public:
    typedef boost::signals2::signal<void(const wchar_t*, ObjectType, bool)> ObjectSignal;
    typedef boost::signals2::signal<void(const Threat&)> ThreatSignal;

    ObjectSignal onObject;  // (object name, File, true) for every object the engine reports
    ThreatSignal onThreat;  // every detection

    ~CAvCoreScanner();

    enum class Verdict { Clean, Detected, NotScanned };

    // Clean, detected (onThreat has then been emitted), or not scanned: the engine could not read the
    // file or gave up on it, and the reason is written to *reason when given.
    Verdict Scan(const wchar_t* path, Reason* reason = nullptr);
    // True only when clean; a file that was not scanned is not clean.
    bool FScan(const wchar_t* path);
    // Only action 1 reaches the engine; true when the engine reports the action carried out.
    bool Cure(const wchar_t* path, int action);
    // The engine is told to stop at its next callback in the running call.
    void Stop();

private:
    friend class CAvCore;
    CAvCoreScanner(CAvCoreScannerImpl* impl, const boost::shared_ptr<CAvCoreImpl>& root);

    CAvCoreScannerImpl* impl_;               // owned; given back to the root on destruction
    boost::shared_ptr<CAvCoreImpl> root_;    // keeps the root's bookkeeping alive while scanners exist
};

class CAvCore : boost::noncopyable {
public:
    // Loads the engine library from the folder; throws what the loader throws.
    explicit CAvCore(const wchar_t* engineFolder);
    ~CAvCore();

    // options: eight values. Empty when the engine refuses a context or anything else fails.
    boost::shared_ptr<CAvCoreScanner> CreateScanner(uint32_t flags, const uint32_t* options);
    uint32_t GetCoreVersion();
    uint32_t GetRecordCount();

private:
    boost::shared_ptr<CAvCoreImpl> impl_;
};

}  // namespace AvCore
