// Internals of the engine binding: scanning contexts, the scanner implementation and the root's state.
#pragma once

#include "engine/AvCore.h"
#include "contract/CoreAbi.h"
#include "engine/CoreProxy.h"

#include <boost/thread/mutex.hpp>

#include <set>

namespace AvCore {

// One scanning context of the engine; closed when the last owner lets go.
class CCoreHandle : boost::noncopyable {
public:
    // Throws AvCoreException "CoreInit failed" when the engine refuses the context.
    explicit CCoreHandle(const boost::shared_ptr<CCoreProxy>& proxy);
    ~CCoreHandle();

    const boost::shared_ptr<CCoreProxy> proxy;
    uint32_t coreId;
};

class CAvCoreScannerImpl : boost::noncopyable {
public:
    CAvCoreScannerImpl(const boost::shared_ptr<CCoreProxy>& proxy, uint32_t flags, const uint32_t* options);
    ~CAvCoreScannerImpl();

    CAvCoreScanner::ObjectSignal onObject;
    CAvCoreScanner::ThreatSignal onThreat;

    // A scan call (mode 0).
    CAvCoreScanner::Verdict Scan(const wchar_t* path, Reason* reason);
    // A cure call (mode 1): true when the engine reports the cure carried out.
    bool Cure(const wchar_t* path);
    void Stop();

    // The engine's callback for the scanner scanning on the calling thread.
    int32_t OnEngineObject(const wchar_t* objectName, uint32_t verdict, const char* threatName);

private:
    uint32_t CallEngine(const wchar_t* path, uint32_t mode);
    Threat& NextThreat(const char* ansiName, size_t maxLength, const wchar_t* object, bool fromCallback,
                       bool codeIsOne, bool curable);

    boost::shared_ptr<CCoreHandle> context_;
    boost::mutex contextMutex_;
    uint32_t flags_;
    ScanOptions options_;
    ScanOutcome outcome_;
    char threatName_[ThreatNameBufferSize];
    Threat threat_;
    volatile long stop_;
};

class CAvCoreImpl : boost::noncopyable {
public:
    explicit CAvCoreImpl(const boost::shared_ptr<CCoreProxy>& proxy) : proxy(proxy) {}

    void Register(CAvCoreScannerImpl* scanner);
    void Release(CAvCoreScannerImpl* scanner);  // unregisters and deletes

    boost::shared_ptr<CCoreProxy> proxy;
    std::set<CAvCoreScannerImpl*> scanners;
    boost::mutex mutex;
};

}  // namespace AvCore
