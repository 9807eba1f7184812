#include "update/HttpClient.h"

#include "base/Reason.h"

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace Update {

// WinHTTP is not one of the libraries Windows always takes from its own folder: imported, it would be
// looked for beside the program first. So it is loaded by hand, from the system folder only.
struct HttpClient::Api {
    HMODULE module = nullptr;
    decltype(&::WinHttpOpen) open = nullptr;
    decltype(&::WinHttpCrackUrl) crackUrl = nullptr;
    decltype(&::WinHttpConnect) connect = nullptr;
    decltype(&::WinHttpOpenRequest) openRequest = nullptr;
    decltype(&::WinHttpSendRequest) sendRequest = nullptr;
    decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;
    decltype(&::WinHttpQueryHeaders) queryHeaders = nullptr;
    decltype(&::WinHttpReadData) readData = nullptr;
    decltype(&::WinHttpQueryDataAvailable) queryDataAvailable = nullptr;
    decltype(&::WinHttpSetTimeouts) setTimeouts = nullptr;
    decltype(&::WinHttpCloseHandle) closeHandle = nullptr;
    HINTERNET session = nullptr;

    Api() {
        module = ::LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module) return;
        bool all = true;
        auto find = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::GetProcAddress(module, name));
            all = all && function;
        };
        find(open, "WinHttpOpen");
        find(crackUrl, "WinHttpCrackUrl");
        find(connect, "WinHttpConnect");
        find(openRequest, "WinHttpOpenRequest");
        find(sendRequest, "WinHttpSendRequest");
        find(receiveResponse, "WinHttpReceiveResponse");
        find(queryHeaders, "WinHttpQueryHeaders");
        find(readData, "WinHttpReadData");
        find(queryDataAvailable, "WinHttpQueryDataAvailable");
        find(setTimeouts, "WinHttpSetTimeouts");
        find(closeHandle, "WinHttpCloseHandle");
        if (!all) return;
        // No proxy: the mirror is named in the settings, and a proxy the user needs can be that mirror.
        session = open(L"Tervan! Scanner base update", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (session) setTimeouts(session, 15000, 15000, 30000, 30000);
    }
    ~Api() {
        if (session) closeHandle(session);
        if (module) ::FreeLibrary(module);
    }
};

namespace {

// One WinHTTP handle, closed once.
class Handle {
public:
    Handle(HINTERNET handle, decltype(&::WinHttpCloseHandle) close) : handle_(handle), close_(close) {}
    ~Handle() {
        if (handle_) close_(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HINTERNET Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_;
    decltype(&::WinHttpCloseHandle) close_;
};

std::wstring SystemMessage(const wchar_t* what, DWORD code) {
    switch (code) {
    case ERROR_WINHTTP_CANNOT_CONNECT: return std::wstring(what) + L" (nothing answers at that address)";
    case ERROR_WINHTTP_TIMEOUT: return std::wstring(what) + L" (timed out)";
    case ERROR_WINHTTP_NAME_NOT_RESOLVED: return std::wstring(what) + L" (the server's name is unknown)";
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR: return std::wstring(what) + L" (the secure connection failed: is the server's certificate trusted?)";
    case ERROR_WINHTTP_CONNECTION_ERROR: return std::wstring(what) + L" (the connection was reset)";
    case WSAETIMEDOUT: return std::wstring(what) + L" (the server stopped sending: timed out)";
    case WSAECONNRESET: return std::wstring(what) + L" (the connection was reset)";
    case WSAECONNREFUSED: return std::wstring(what) + L" (nothing answers at that address)";
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: return std::wstring(what) + L" (the server's answer is not HTTP)";
    case ERROR_WINHTTP_HEADER_SIZE_OVERFLOW: return std::wstring(what) + L" (the server's headers are too long)";
    case ERROR_WINHTTP_REDIRECT_FAILED: return std::wstring(what) + L" (the server redirected to a place that cannot be reached)";
    default: return std::wstring(what) + L": " + SystemErrorText(code);
    }
}

// "bytes FIRST-LAST/SIZE"
bool ParseContentRange(const std::wstring& text, uint64_t& first, uint64_t& last, uint64_t& size) {
    unsigned long long a = 0, b = 0, total = 0;
    const int fields = std::swscanf(text.c_str(), L"bytes %llu-%llu/%llu", &a, &b, &total);
    if (fields < 2 || b < a) return false;
    first = a;
    last = b;
    size = fields == 3 ? total : 0;
    return true;
}

}  // namespace

HttpClient::HttpClient() : api_(new Api) {}
HttpClient::~HttpClient() = default;

HttpReply HttpClient::Get(const std::wstring& url, uint64_t from, uint64_t to, const Sink& sink) {
    HttpReply reply;
    if (!api_->session) {
        reply.error = L"the system's HTTP library (winhttp.dll) is not available";
        return reply;
    }
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {}, path[2048] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = ARRAYSIZE(host);
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = ARRAYSIZE(path);
    if (!api_->crackUrl(url.c_str(), 0, 0, &parts) || (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)) {
        reply.error = L"not an http:// or https:// address: " + url;
        return reply;
    }
    Handle connection(api_->connect(api_->session, host, parts.nPort, 0), api_->closeHandle);
    if (!connection) {
        reply.error = SystemMessage(L"cannot reach the server", ::GetLastError());
        return reply;
    }
    Handle request(api_->openRequest(connection.Get(), L"GET", path, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                     parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0),
                   api_->closeHandle);
    std::wstring headers;
    if (from > 0 || to != UINT64_MAX)
        headers = L"Range: bytes=" + std::to_wstring(from) + L"-" + (to == UINT64_MAX ? std::wstring() : std::to_wstring(to)) + L"\r\n";
    headers += L"Cache-Control: no-cache\r\n";
    if (!request || !api_->sendRequest(request.Get(), headers.c_str(), static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !api_->receiveResponse(request.Get(), nullptr)) {
        reply.error = SystemMessage(L"the server did not answer", ::GetLastError());
        return reply;
    }
    DWORD status = 0, size = sizeof status;
    api_->queryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                       WINHTTP_NO_HEADER_INDEX);
    reply.status = status;
    uint64_t expected = 0;  // body bytes the answer announced
    if (status == 206) {
        uint64_t last = 0;
        wchar_t range[128] = {};
        DWORD rangeSize = sizeof range;
        if (!api_->queryHeaders(request.Get(), WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, range, &rangeSize,
                                WINHTTP_NO_HEADER_INDEX) ||
            !ParseContentRange(range, reply.firstByte, last, reply.fileSize)) {
            reply.error = L"the server's partial answer does not say which part it is";
            return reply;
        }
        expected = last - reply.firstByte + 1;
    } else if (status == 200) {
        wchar_t length[32] = {};
        DWORD lengthSize = sizeof length;
        if (api_->queryHeaders(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length, &lengthSize,
                               WINHTTP_NO_HEADER_INDEX))
            expected = reply.fileSize = std::wcstoull(length, nullptr, 10);
    } else {
        if (status == 429 || status == 503) {
            wchar_t wait[64] = {};
            DWORD waitSize = sizeof wait;
            if (api_->queryHeaders(request.Get(), WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX, wait, &waitSize,
                                   WINHTTP_NO_HEADER_INDEX))
                reply.retryAfter = std::wcstoull(wait, nullptr, 10);  // a date instead of seconds reads as 0
        }
        reply.error = status == 404 ? L"not on the server (404)" : L"the server answered " + std::to_wstring(status);
        return reply;
    }
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        // Only what has arrived is read: a read for a whole buffer would wait for it to fill, and a
        // mirror sending a byte at a time would never hand the caller a piece to judge the rate by.
        DWORD available = 0, got = 0;
        if (!api_->queryDataAvailable(request.Get(), &available)) {
            reply.error = SystemMessage(L"the transfer broke off", ::GetLastError());
            return reply;
        }
        if (available == 0) break;
        if (!api_->readData(request.Get(), buffer.data(), std::min<DWORD>(available, static_cast<DWORD>(buffer.size())), &got)) {
            reply.error = SystemMessage(L"the transfer broke off", ::GetLastError());
            return reply;
        }
        if (got == 0) break;
        const uint64_t offset = reply.firstByte + reply.received;
        reply.received += got;
        if (!sink(buffer.data(), got, offset)) {
            reply.error = L"stopped";
            return reply;
        }
    }
    // WinHTTP ends a body early without an error when the connection closes before Content-Length.
    if (expected && reply.received != expected) {
        reply.error = L"the transfer broke off after " + std::to_wstring(reply.received) + L" of " + std::to_wstring(expected) + L" bytes";
        return reply;
    }
    reply.ok = true;
    return reply;
}

}  // namespace Update
