#include "app/docs_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace brek::app {
namespace {

Response error_response(int status, const std::string& reason) {
  return Response{status, reason, "text/plain; charset=utf-8", reason + "\n"};
}

void send_all(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;  // the client went away
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

Response respond(const std::filesystem::path& dir, const std::string& request_line) {
  std::istringstream words(request_line);
  std::string method, target;
  words >> method >> target;
  if (method != "GET" && method != "HEAD") return error_response(405, "Method Not Allowed");
  std::string path = target.substr(0, target.find_first_of("?#"));
  if (path != "/" && path != "/index.html") return error_response(404, "Not Found");
  std::ifstream in(dir / "index.html", std::ios::binary);
  if (!in) return error_response(404, "Not Found");
  std::stringstream body;
  body << in.rdbuf();
  Response response;
  response.body = body.str();
  response.head_only = method == "HEAD";
  return response;
}

DocsServer::DocsServer(std::filesystem::path dir, int port) : dir_(std::move(dir)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int yes = 1;
  ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0) {
    std::string reason = std::strerror(errno);
    ::close(listener_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + reason);
  }
  socklen_t length = sizeof address;
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

DocsServer::~DocsServer() {
  if (listener_ >= 0) ::close(listener_);
}

void DocsServer::serve() {
  while (!stopping_.load()) {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR) continue;
      break;  // stop() shut the listener down
    }
    answer(client);
    ::close(client);
  }
}

void DocsServer::stop() {
  stopping_.store(true);
  ::shutdown(listener_, SHUT_RDWR);
}

void DocsServer::answer(int client) {
  // Only the request line matters; the headers are read up to the blank line and ignored.
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  Response r = respond(dir_, request.substr(0, request.find("\r\n")));
  std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + r.reason +
                     "\r\nContent-Type: " + r.content_type +
                     "\r\nContent-Length: " + std::to_string(r.body.size()) +
                     "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
  send_all(client, r.head_only ? head : head + r.body);
}

}  // namespace brek::app
