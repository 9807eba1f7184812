// Downloads over HTTP and HTTPS through WinHTTP, loaded from the system folder when first needed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Update {

struct HttpReply {
    bool ok = false;          // a whole answer with status 200 or 206 arrived
    unsigned long status = 0;  // the HTTP status; 0 when no answer came
    uint64_t firstByte = 0;    // where the body starts in the whole file (a ranged answer may start later)
    uint64_t fileSize = 0;     // the whole file's size when the server said it; 0 otherwise
    uint64_t received = 0;     // body bytes handed to the sink
    uint64_t retryAfter = 0;   // seconds a busy server (429, 503) asked to wait; 0 when it did not say
    std::wstring error;        // why it failed, for people
};

class HttpClient {
public:
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // The body, piece by piece, with each piece's place in the whole file; false stops the transfer
    // (the reply is then not ok).
    typedef std::function<bool(const uint8_t* data, size_t size, uint64_t offset)> Sink;

    // GET from the byte `from` to the byte `to` (inclusive; UINT64_MAX: to the end). A server that
    // ignores the range answers 200 from byte 0: the offsets (and firstByte) say so.
    HttpReply Get(const std::wstring& url, uint64_t from, uint64_t to, const Sink& sink);

private:
    struct Api;
    std::unique_ptr<Api> api_;
};

}  // namespace Update
