#include "TestServers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>

extern char **environ;

namespace update_test {

namespace {

sockaddr_in AddressOf(const std::string &address) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(80);
    ::inet_pton(AF_INET, address.c_str(), &socketAddress.sin_addr);
    return socketAddress;
}

std::string ReadAll(const std::string &path) {
    std::ifstream stream(path);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

} // namespace

bool Accepts(const std::string &address) {
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in socketAddress = AddressOf(address);
    const bool connected =
        ::connect(descriptor, reinterpret_cast<const sockaddr *>(&socketAddress), sizeof socketAddress) == 0;
    ::close(descriptor);
    return connected;
}

Lighttpd::Lighttpd(std::string address, std::string folder, const std::string &extraConfiguration) {
    const std::string configuration = folder + ".lighttpd.conf";
    const std::string errorLog = folder + ".lighttpd.log";
    std::ofstream(configuration) << "server.document-root = \"" << folder << "\"\n"
                                 << "server.bind = \"" << address << "\"\n"
                                 << "server.port = 80\n"
                                 // Tests publish while the server runs: no cached file facts.
                                 << "server.stat-cache-engine = \"disable\"\n"
                                 << "server.errorlog = \"" << errorLog << "\"\n"
                                 << "server.modules = (\"mod_redirect\", \"mod_cgi\")\n"
                                 << "mimetype.assign = (\".version\" => \"text/plain\", \"\" => "
                                    "\"application/octet-stream\")\n"
                                 << extraConfiguration << "\n";
    std::string program = "/usr/sbin/lighttpd";
    std::string foreground = "-D", file = "-f";
    char *argv[] = {program.data(), foreground.data(), file.data(), const_cast<char *>(configuration.c_str()),
                    nullptr};
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
        pid_ = -1;
        ADD_FAILURE() << "lighttpd could not be started: install it with scripts/install-deps.sh";
        return;
    }
    for (int wait = 0; wait < 500; ++wait) {
        if (Accepts(address)) {
            running_ = true;
            return;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "lighttpd cannot serve on port 80 of " << address
                  << " (the update tests need root to bind port 80): " << ReadAll(errorLog);
}

Lighttpd::~Lighttpd() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
}

RawServer::RawServer(const std::string &address, Behaviour behaviour) : behaviour_(behaviour) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    const sockaddr_in socketAddress = AddressOf(address);
    if (::bind(listener_, reinterpret_cast<const sockaddr *>(&socketAddress), sizeof socketAddress) != 0 ||
        ::listen(listener_, 8) != 0) {
        ADD_FAILURE() << "cannot listen on port 80 of " << address
                      << " (the update tests need root): " << std::strerror(errno);
        ::close(listener_);
        listener_ = -1;
        return;
    }
    if (behaviour_ != Behaviour::Silent) thread_ = std::thread([this] { Serve(); });
}

RawServer::~RawServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
}

void RawServer::Serve() {
    while (!stop_) {
        pollfd waiting{listener_, POLLIN, 0};
        if (::poll(&waiting, 1, 50) <= 0) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        char request[4096];
        (void)::recv(connection, request, sizeof request, 0);
        const bool version = std::string(request, sizeof request).find(".version ") != std::string::npos;
        std::string reply;
        if (version) {
            // Announces a version that differs from the test's own, with a signature
            // no download can match.
            const std::string body = "4.0.99.9\r\n0123456789abcdef0123456789abcdef\r\n";
            reply = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body;
            (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(connection);
            continue;
        }
        const std::uint64_t announced = behaviour_ == Behaviour::HugeBody ? 600ull << 20 : 1u << 20;
        reply = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                std::to_string(announced) + "\r\n\r\n";
        (void)::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        const std::string chunk(64 * 1024, 'x');
        std::uint64_t sent = 0;
        while (!stop_ && sent < announced / 2) {
            const ssize_t written = ::send(connection, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (written <= 0) break;
            sent += static_cast<std::uint64_t>(written);
        }
        if (behaviour_ == Behaviour::ResetMidBody) {
            const linger reset{1, 0};
            ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        ::close(connection);
    }
}

bool DropFileAccessOverride() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
        data[capability / 32].effective &= ~(1u << (capability % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace update_test
