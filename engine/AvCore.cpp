// Engine root and scanners: contexts, scan calls, callbacks and Threat records.
#include "engine/AvCore.h"

#include "engine/AvCoreScannerImpl.h"
#include "base/DiagnosticLog.h"
#include "base/LiteralPath.h"
#include "resources/resource.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <exception>

namespace AvCore {
namespace {

std::atomic<uint32_t> lastThreatId(1);  // so the first record of the process gets 2

// Links an engine callback to the scanner that is inside CoreFScan on this thread.
thread_local CAvCoreScannerImpl* currentScanner = nullptr;

int32_t __stdcall ObjectCallback(uint32_t coreId, const wchar_t* objectName, uint32_t verdict,
                                 const char* threatName) {
    if (!IsValidCoreId(coreId)) return 0;
    CAvCoreScannerImpl* scanner = currentScanner;
    if (!scanner) return 0;
    return scanner->OnEngineObject(objectName, verdict, threatName);
}

int32_t __stdcall AuxCallback(uint32_t, uint32_t) { return 0; }

std::wstring FromAnsi(const char* text, size_t maxLength) {
    if (!text) return std::wstring();
    const size_t length = strnlen(text, maxLength);  // the engine may fill the buffer without a NUL
    if (length == 0) return std::wstring();
    const int wide = ::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    if (wide <= 0) return std::wstring();
    std::wstring result(static_cast<size_t>(wide), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &result[0], wide) != wide)
        return std::wstring();
    return result;
}

// Restores the thread's previous current scanner, so no pointer outlives the call.
class CurrentScannerScope {
public:
    explicit CurrentScannerScope(CAvCoreScannerImpl* scanner) : previous_(currentScanner) { currentScanner = scanner; }
    ~CurrentScannerScope() { currentScanner = previous_; }

private:
    CAvCoreScannerImpl* previous_;
};

}  // namespace

CCoreHandle::CCoreHandle(const boost::shared_ptr<CCoreProxy>& proxy) : proxy(proxy), coreId(0) {
    coreId = proxy->Init(ObjectCallback, AuxCallback, 0);
    if (!IsValidCoreId(coreId)) throw AvCoreException("CoreInit failed");
}

CCoreHandle::~CCoreHandle() { proxy->Free(coreId); }

CAvCoreScannerImpl::CAvCoreScannerImpl(const boost::shared_ptr<CCoreProxy>& proxy, uint32_t flags,
                                       const uint32_t* options)
    : context_(new CCoreHandle(proxy)), flags_(flags), options_(), outcome_(), threatName_(), stop_(0) {
    for (int i = 0; i < 8; ++i) options_.options[i] = options ? options[i] : 0;
    options_.one = 1;
    options_.zero2 = 0;
    DebugLine() << L"CAvCoreScannerImpl created" << L'\n';
}

CAvCoreScannerImpl::~CAvCoreScannerImpl() { DebugLine() << L"CAvCoreScannerImpl destroyed" << L'\n'; }

Threat& CAvCoreScannerImpl::NextThreat(const char* ansiName, size_t maxLength, const wchar_t* object,
                                       bool fromCallback, bool codeIsOne, bool curable) {
    threat_.id = ++lastThreatId;
    threat_.name = FromAnsi(ansiName, maxLength);
    threat_.object = object ? object : L"";
    threat_.type = File;
    threat_.fromCallback = fromCallback;
    threat_.codeIsOne = codeIsOne;
    threat_.curable = curable;
    return threat_;
}

uint32_t CAvCoreScannerImpl::CallEngine(const wchar_t* path, uint32_t mode) {
    CurrentScannerScope scope(this);
    ::InterlockedExchange(&stop_, 0);
    std::memset(&outcome_, 0, sizeof(outcome_));
    threatName_[0] = 0;  // so that a reason the engine gives is never an earlier call's name

    boost::shared_ptr<CCoreHandle> context;
    {
        boost::mutex::scoped_lock lock(contextMutex_);
        context = context_;
    }
    // The file itself, whatever its name: never a device or a file whose name lacks its trailing dot.
    const std::wstring literal = LiteralPath(path);
    CoreScanParams params = {literal.c_str(), mode, flags_, &options_, threatName_, &outcome_};
    return context->proxy->coreFScan(context->coreId, &params);
}

CAvCoreScanner::Verdict CAvCoreScannerImpl::Scan(const wchar_t* path, Reason* reason) {
    const uint32_t code = CallEngine(path, ScanModeScan);
    if (IsDetection(code)) {
        onThreat(NextThreat(threatName_, sizeof(threatName_), path, false, code == DetectionCodeOne,
                            outcome_.curable == 1));
        return CAvCoreScanner::Verdict::Detected;
    }
    if (!IsNotScanned(code)) return CAvCoreScanner::Verdict::Clean;
    if (reason) {
        const std::wstring text = FromAnsi(threatName_, sizeof(threatName_));
        if (!text.empty())
            *reason = Reason(IDS_REASON_ENGINE_TEXT, text);
        else if (outcome_.errorCode)
            *reason = SystemErrorReason(outcome_.errorCode);
        else
            *reason = Reason(IDS_REASON_ENGINE_FAILED, std::to_wstring(code));
    }
    return CAvCoreScanner::Verdict::NotScanned;
}

bool CAvCoreScannerImpl::Cure(const wchar_t* path) {
    CallEngine(path, ScanModeCure);
    return outcome_.action == ScanModeCure;
}

void CAvCoreScannerImpl::Stop() { ::InterlockedExchange(&stop_, 1); }

int32_t CAvCoreScannerImpl::OnEngineObject(const wchar_t* objectName, uint32_t verdict, const char* threatName) {
    if (::InterlockedCompareExchange(&stop_, 0, 0) != 0) {
        boost::shared_ptr<CCoreHandle> context;
        {
            boost::mutex::scoped_lock lock(contextMutex_);
            context = context_;
        }
        context->proxy->coreStopScan(context->coreId);
        return 0;
    }
    const std::wstring shown = DisplayPath(objectName ? objectName : L"");
    const wchar_t* name = shown.c_str();
    onObject(name, File, true);
    const uint32_t code = verdict & 0xFF;
    if (IsDetection(code))
        onThreat(NextThreat(threatName, ThreatNameBufferSize, name, true, code == DetectionCodeOne, false));
    return 0;
}

void CAvCoreImpl::Register(CAvCoreScannerImpl* scanner) {
    boost::mutex::scoped_lock lock(mutex);
    scanners.insert(scanner);
}

void CAvCoreImpl::Release(CAvCoreScannerImpl* scanner) {
    {
        boost::mutex::scoped_lock lock(mutex);
        scanners.erase(scanner);
    }
    delete scanner;
}

CAvCoreScanner::CAvCoreScanner(CAvCoreScannerImpl* impl, const boost::shared_ptr<CAvCoreImpl>& root)
    : impl_(impl), root_(root) {
    impl_->onObject.connect([this](const wchar_t* name, ObjectType type, bool inner) { onObject(name, type, inner); });
    impl_->onThreat.connect([this](const Threat& threat) { onThreat(threat); });
}

CAvCoreScanner::~CAvCoreScanner() { root_->Release(impl_); }

CAvCoreScanner::Verdict CAvCoreScanner::Scan(const wchar_t* path, Reason* reason) { return impl_->Scan(path, reason); }

bool CAvCoreScanner::FScan(const wchar_t* path) { return Scan(path) == Verdict::Clean; }

bool CAvCoreScanner::Cure(const wchar_t* path, int action) {
    if (action != static_cast<int>(ScanModeCure)) return false;
    return impl_->Cure(path);
}

void CAvCoreScanner::Stop() { impl_->Stop(); }

CAvCore::CAvCore(const wchar_t* engineFolder)
    : impl_(new CAvCoreImpl(boost::shared_ptr<CCoreProxy>(new CCoreProxy(engineFolder)))) {}

CAvCore::~CAvCore() {}

boost::shared_ptr<CAvCoreScanner> CAvCore::CreateScanner(uint32_t flags, const uint32_t* options) {
    try {
        boost::shared_ptr<CCoreProxy> proxy;
        {
            boost::mutex::scoped_lock lock(impl_->mutex);
            proxy = impl_->proxy;
        }
        CAvCoreScannerImpl* impl = new CAvCoreScannerImpl(proxy, flags, options);
        impl_->Register(impl);
        try {
            return boost::shared_ptr<CAvCoreScanner>(new CAvCoreScanner(impl, impl_));
        } catch (...) {
            impl_->Release(impl);
            throw;
        }
    } catch (const std::exception&) {
        return boost::shared_ptr<CAvCoreScanner>();
    }
}

uint32_t CAvCore::GetCoreVersion() {
    boost::mutex::scoped_lock lock(impl_->mutex);
    return impl_->proxy->CoreVersion();
}

uint32_t CAvCore::GetRecordCount() {
    boost::mutex::scoped_lock lock(impl_->mutex);
    return impl_->proxy->RecordCount();
}

}  // namespace AvCore
