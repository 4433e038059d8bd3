#include "HttpClient.h"

#include <curl/curl.h>

#include <stdexcept>
#include <sys/socket.h>

namespace tsc {

namespace {

// libcurl's global state is set up once, before the first client exists.
void InitialiseLibraryOnce() {
    static const bool initialised = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return true;
    }();
    (void)initialised;
}

} // namespace

struct HttpClient::Transfer {
    HttpClient &client;
    const BodySink &sink;
    Response response;
    std::uint64_t received = 0;
    bool resolved = false;
    bool connected = false;
    bool headerTooLong = false;
    bool refusedBySink = false;
    std::uint64_t sincePacket = 0; // body bytes not yet reported as a packet
    std::uint64_t total = 0;       // announced length, 0 when not announced
    CURL *easy = nullptr;

    static void Raise(const std::function<void()> &notification) {
        if (notification) notification();
    }

    static std::size_t OnHeader(char *data, std::size_t size, std::size_t count, void *self) {
        auto &transfer = *static_cast<Transfer *>(self);
        const std::size_t length = size * count;
        if (transfer.client.Aborted()) return 0;
        if (transfer.response.header.size() + length > transfer.client.headerLimit_) {
            transfer.headerTooLong = true;
            return 0;
        }
        transfer.response.header.append(data, length);
        return length;
    }

    static std::size_t OnBody(char *data, std::size_t size, std::size_t count, void *self) {
        auto &transfer = *static_cast<Transfer *>(self);
        const std::size_t length = size * count;
        if (transfer.client.Aborted()) return 0;
        curl_off_t total = -1;
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &total);
        if (!transfer.sink(std::string_view(data, length), static_cast<std::int64_t>(total))) {
            transfer.refusedBySink = true;
            return 0;
        }
        transfer.received += length;
        transfer.sincePacket += length;
        transfer.total = total > 0 ? static_cast<std::uint64_t>(total) : 0;
        const long packetSize = transfer.client.receiveBufferSize_;
        if (packetSize <= 0 || transfer.sincePacket >= static_cast<std::uint64_t>(packetSize))
            transfer.ReportPacket(true);
        return transfer.client.Aborted() ? 0 : length;
    }

    // A packet is one piece the library hands over (at most 16 KiB), or, with a larger
    // receive buffer, the pieces that fill it.
    void ReportPacket(bool pause) {
        if (sincePacket == 0) return;
        sincePacket = 0;
        if (client.notifications_.packetReceived) client.notifications_.packetReceived(received, total);
        if (pause) client.PauseAfterPacket();
    }

    static int OnProgress(void *self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<Transfer *>(self)->client.Aborted() ? 1 : 0;
    }

    // Called once the connection stands, just before the request goes out.
    static int OnPrerequest(void *self, char *, char *, int, int) {
        auto &transfer = *static_cast<Transfer *>(self);
        transfer.connected = true;
        Raise(transfer.client.notifications_.connected);
        return CURL_PREREQFUNC_OK;
    }

    // Called with the resolved address, before connecting to it.
    static curl_socket_t OnOpenSocket(void *self, curlsocktype, curl_sockaddr *address) {
        auto &transfer = *static_cast<Transfer *>(self);
        if (!transfer.resolved) {
            transfer.resolved = true;
            Raise(transfer.client.notifications_.hostResolved);
        }
        if (transfer.client.Aborted()) return CURL_SOCKET_BAD;
        return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }
};

HttpClient::HttpClient() {
    InitialiseLibraryOnce();
    multi_ = curl_multi_init();
    if (!multi_) throw std::runtime_error("no HTTP client available");
}

HttpClient::~HttpClient() {
    curl_multi_cleanup(static_cast<CURLM *>(multi_));
}

std::string HttpClient::LibraryVersion() {
    return curl_version();
}

void HttpClient::Abort() {
    aborted_.store(true, std::memory_order_release);
    { std::lock_guard lock(pauseMutex_); }
    pauseWake_.notify_all();
    curl_multi_wakeup(static_cast<CURLM *>(multi_));
}

void HttpClient::PauseAfterPacket() {
    if (packetPause_.count() <= 0) return;
    std::unique_lock lock(pauseMutex_);
    pauseWake_.wait_for(lock, packetPause_, [this] { return Aborted(); });
}

HttpClient::Response HttpClient::Get(const std::string &url, const BodySink &sink) {
    Transfer transfer{*this, sink, {}};
    if (Aborted()) {
        transfer.response.aborted = true;
        transfer.response.error = "Transfer aborted";
        return transfer.response;
    }
    CURL *easy = curl_easy_init();
    if (!easy) {
        transfer.response.error = "no HTTP request available";
        return transfer.response;
    }
    transfer.easy = easy;
    const long seconds = static_cast<long>((timeout_.count() + 999) / 1000);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout_.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, seconds > 0 ? seconds : 1L);
    if (receiveBufferSize_ > 0) curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, receiveBufferSize_);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::OnProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Transfer::OnPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &Transfer::OnOpenSocket);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, &transfer);

    auto *multi = static_cast<CURLM *>(multi_);
    curl_multi_add_handle(multi, easy);
    CURLcode result = CURLE_OK;
    bool finished = false;
    while (!finished) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg *message = curl_multi_info_read(multi, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                result = message->data.result;
                finished = true;
            }
        }
        if (finished) break;
        if (Aborted()) {
            result = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    if (!Aborted()) transfer.ReportPacket(false);
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &transfer.response.status);
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);

    Response &response = transfer.response;
    const auto &notify = notifications_;
    if (result == CURLE_COULDNT_RESOLVE_HOST) {
        Transfer::Raise(notify.invalidHost);
    } else if (!transfer.connected && result != CURLE_OK && !Aborted()) {
        Transfer::Raise(notify.connectionFailed);
    }
    if (transfer.connected) Transfer::Raise(notify.disconnected);
    if (Aborted()) {
        response.aborted = true;
        response.error = "Transfer aborted";
    } else if (transfer.headerTooLong) {
        response.error = "Response header longer than " + std::to_string(headerLimit_) + " bytes";
    } else if (transfer.refusedBySink) {
        response.error = "Response body refused";
    } else if (result != CURLE_OK) {
        response.error = curl_easy_strerror(result);
    }
    if (response.error.empty() && response.status < 400)
        Transfer::Raise(notify.success);
    else
        Transfer::Raise(notify.failure);
    return response;
}

} // namespace tsc
