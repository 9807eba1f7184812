// Records the engine manager's signals in order, from whichever thread emits them.
#pragma once

#include "scan/EngineManager.h"

#include <boost/thread/mutex.hpp>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

struct ScanEvent {
    explicit ScanEvent(const char* kind = "") : kind(kind) {}
    std::string kind;  // started paused resumed pump progress finished object threat withheld notscanned
    int value = 0;     // progress percent, finished flag, object's inner flag
    std::wstring text;  // object path or threat object
    std::wstring name;  // threat name
    bool cured = false, quarantined = false;
    unsigned reason = 0;  // string-table id of the reason (withheld, notscanned)
    DWORD thread = 0;
};

class ScanEvents {
public:
    explicit ScanEvents(AvEngineManager& manager) {
        Connect(manager.started.connect([this] { Add(ScanEvent("started")); }));
        Connect(manager.paused.connect([this] { Add(ScanEvent("paused")); }));
        Connect(manager.resumed.connect([this] { Add(ScanEvent("resumed")); }));
        Connect(manager.pump.connect([this] { Add(ScanEvent("pump")); }));
        Connect(manager.progress.connect([this](int percent) {
            ScanEvent e("progress");
            e.value = percent;
            Add(e);
        }));
        Connect(manager.finished.connect([this](bool completed) {
            ScanEvent e("finished");
            e.value = completed;
            Add(e);
        }));
        Connect(manager.objectScanned.connect([this](const wchar_t* name, AvCore::ObjectType, bool inner) {
            ScanEvent e("object");
            e.text = name;
            e.value = inner;
            Add(e);
        }));
        ConnectReasons(manager);
        Connect(manager.threatHandled.connect([this](const AvCore::Threat* threat, bool cured, bool quarantined) {
            ScanEvent e("threat");
            e.text = threat->object;
            e.name = threat->name;
            e.cured = cured;
            e.quarantined = quarantined;
            Add(e);
        }));
    }

    void ConnectReasons(AvEngineManager& manager) {
        Connect(manager.cureWithheld.connect([this](const AvCore::Threat* threat, const Reason& why) {
            ScanEvent e("withheld");
            e.text = threat->object;
            e.reason = why.id;
            e.name = why.argument;
            Add(e);
        }));
        Connect(manager.objectNotScanned.connect([this](const wchar_t* path, const Reason& why) {
            ScanEvent e("notscanned");
            e.text = path;
            e.reason = why.id;
            e.name = why.argument;
            Add(e);
        }));
    }

    std::vector<ScanEvent> All() const {
        boost::mutex::scoped_lock lock(mutex_);
        return events_;
    }
    std::vector<ScanEvent> Of(const std::string& kind) const {
        std::vector<ScanEvent> result;
        for (const ScanEvent& e : All())
            if (e.kind == kind) result.push_back(e);
        return result;
    }
    size_t Count(const std::string& kind) const { return Of(kind).size(); }
    void Clear() {
        boost::mutex::scoped_lock lock(mutex_);
        events_.clear();
    }

    // Waits (at most the timeout) until the condition holds on the events so far.
    bool WaitUntil(const std::function<bool(const ScanEvents&)>& condition, int timeoutMs = 60000) const {
        for (int waited = 0; waited < timeoutMs; waited += 5) {
            if (condition(*this)) return true;
            ::Sleep(5);
        }
        return condition(*this);
    }
    bool WaitForFinish(int timeoutMs = 60000) const {
        return WaitUntil([](const ScanEvents& e) { return e.Count("finished") > 0; }, timeoutMs);
    }

private:
    void Add(ScanEvent event) {
        event.thread = ::GetCurrentThreadId();
        boost::mutex::scoped_lock lock(mutex_);
        events_.push_back(event);
    }
    void Connect(const boost::signals2::connection& connection) { connections_.emplace_back(connection); }

    mutable boost::mutex mutex_;
    std::vector<ScanEvent> events_;
    std::vector<boost::signals2::scoped_connection> connections_;
};

}  // namespace TestSupport
