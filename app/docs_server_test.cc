#include "app/docs_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/test_support/temp_dir.h"

namespace brek::app {
namespace {

using ::testing::HasSubstr;

std::string fetch(int port, const std::string& request) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  std::string answer;
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, n);
  ::close(fd);
  return answer;
}

TEST(DocsServer, ServesOnlyTheIndexPage) {
  zyl::test_support::TempDir dir;
  std::ofstream(dir.path() / "index.html") << "<p>docs</p>";
  std::ofstream(dir.path() / "secret.txt") << "no";
  EXPECT_EQ(respond(dir.path(), "GET / HTTP/1.1").body, "<p>docs</p>");
  EXPECT_EQ(respond(dir.path(), "GET /index.html?x=1 HTTP/1.1").status, 200);
  EXPECT_EQ(respond(dir.path(), "GET /secret.txt HTTP/1.1").status, 404);
  EXPECT_EQ(respond(dir.path(), "GET /../index.html HTTP/1.1").status, 404);
  EXPECT_EQ(respond(dir.path(), "POST / HTTP/1.1").status, 405);
  EXPECT_EQ(respond(dir.path(), "").status, 405);
  EXPECT_TRUE(respond(dir.path(), "HEAD / HTTP/1.1").head_only);
  EXPECT_EQ(respond(dir.path() / "missing", "GET / HTTP/1.1").status, 404);
}

TEST(DocsServer, AnswersOverLoopbackUntilStopped) {
  zyl::test_support::TempDir dir;
  std::ofstream(dir.path() / "index.html") << "<p>docs</p>";
  DocsServer server(dir.path(), 0);
  ASSERT_GT(server.port(), 0);
  std::thread serving([&] { server.serve(); });
  std::string page = fetch(server.port(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << page;
  EXPECT_THAT(page, HasSubstr("Content-Length: 11\r\n"));
  EXPECT_EQ(page.substr(page.size() - 11), "<p>docs</p>");
  std::string head = fetch(server.port(), "HEAD / HTTP/1.1\r\n\r\n");
  EXPECT_THAT(head, HasSubstr("Content-Length: 11\r\n"));
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
  EXPECT_THAT(fetch(server.port(), "GET /nope HTTP/1.1\r\n\r\n"), HasSubstr("404 Not Found"));
  // A port in use is refused with a message, not taken over.
  EXPECT_THROW(DocsServer(dir.path(), server.port()), std::runtime_error);
  server.stop();
  serving.join();
}

}  // namespace
}  // namespace brek::app
