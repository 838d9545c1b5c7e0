#pragma once
// A small HTTP server on 127.0.0.1 for the disc database tests: each request's target goes
// to a handler, whose reply is sent as is, or held back (a server that never answers), or
// cut short (a truncated answer). Connections are served one after the other on a thread
// of the server's own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvio::test {

struct THttpReply {
    enum TKind { hrNormal, hrSilent, hrTruncated };
    int Status = 200;
    std::string ContentType = "text/plain";
    std::string Body;
    TKind Kind = hrNormal; // hrTruncated: the headers announce 1000 bytes more than are sent
};

class TCDDBTestServer {
public:
    using THandler = std::function<THttpReply(const std::string& Target)>;

    explicit TCDDBTestServer(THandler Handler) : FHandler(std::move(Handler)) {
        FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (FListen < 0 || bind(FListen, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(FListen, 16) != 0 ||
            getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            pipe2(FStop, O_CLOEXEC) != 0)
            return;
        FPort = ntohs(address.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~TCDDBTestServer() {
        if (FThread.joinable()) {
            const char stop = 1;
            (void)!write(FStop[1], &stop, 1);
            FThread.join();
        }
        for (int fd : FHeld)
            close(fd);
        for (int fd : {FListen, FStop[0], FStop[1]})
            if (fd >= 0) close(fd);
    }
    TCDDBTestServer(const TCDDBTestServer&) = delete;
    TCDDBTestServer& operator=(const TCDDBTestServer&) = delete;

    // "http://127.0.0.1:PORT"
    std::string Address() const { return "http://127.0.0.1:" + std::to_string(FPort); }
    // The targets ("/~cddb/cddb.cgi?...") of the requests so far.
    std::vector<std::string> Targets() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FTargets;
    }

    // An address where nothing listens.
    static std::string RefusingAddress() {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        close(fd);
        return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }

private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{FListen, POLLIN, 0}, {FStop[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            const int client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const std::string target = ReadTarget(client);
            {
                std::lock_guard<std::mutex> lock(FLock);
                FTargets.push_back(target);
            }
            const THttpReply reply = FHandler(target);
            if (reply.Kind == THttpReply::hrSilent) {
                FHeld.push_back(client); // answered never; closed when the server stops
                continue;
            }
            const size_t announced = reply.Body.size() + (reply.Kind == THttpReply::hrTruncated ? 1000 : 0);
            const std::string head =
                "HTTP/1.1 " + std::to_string(reply.Status) + " X\r\nContent-Type: " + reply.ContentType +
                "\r\nContent-Length: " + std::to_string(announced) + "\r\nConnection: close\r\n\r\n";
            Send(client, head + reply.Body);
            close(client);
        }
    }

    // The request's target; reads the request head (up to a blank line, or 2 s).
    std::string ReadTarget(int Client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd fd{Client, POLLIN, 0};
            if (poll(&fd, 1, 2000) <= 0) break;
            const ssize_t got = read(Client, buffer, sizeof buffer);
            if (got <= 0) break;
            request.append(buffer, static_cast<size_t>(got));
        }
        const size_t first = request.find(' ');
        const size_t second = first == std::string::npos ? first : request.find(' ', first + 1);
        return second == std::string::npos ? "" : request.substr(first + 1, second - first - 1);
    }

    static void Send(int Client, const std::string& Data) {
        size_t sent = 0;
        while (sent < Data.size()) {
            const ssize_t n = send(Client, Data.data() + sent, Data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<size_t>(n);
        }
    }

    THandler FHandler;
    int FListen = -1;
    int FStop[2] = {-1, -1};
    int FPort = 0;
    std::thread FThread;
    std::vector<int> FHeld; // server thread only
    mutable std::mutex FLock;
    std::vector<std::string> FTargets;
};

} // namespace tarvio::test
