// `brek docs serve`: the generated docs page over HTTP, on the loopback interface only.
//
//   DocsServer server(project_dir / "target", 8080);   // throws when the port is taken
//   server.serve();                                    // until stop() or the process ends
#pragma once

#include <atomic>
#include <filesystem>
#include <string>

namespace brek::app {

// What a request gets: the status line's code and reason, its content type and body.
struct Response {
  int status = 200;
  std::string reason = "OK";
  std::string content_type = "text/html; charset=utf-8";
  std::string body;
  bool head_only = false;  // HEAD: the headers of the GET answer, without its body
};

// The answer to the request whose first line is `request_line` ("GET / HTTP/1.1"): the file
// index.html of `dir` for "/" and "/index.html", 404 for any other path, 405 for a method other
// than GET or HEAD (HEAD gets the headers only). Reads the file on every request.
Response respond(const std::filesystem::path& dir, const std::string& request_line);

class DocsServer {
 public:
  // Listens on 127.0.0.1:`port` (0: a free port the system picks). Throws std::runtime_error.
  DocsServer(std::filesystem::path dir, int port);
  ~DocsServer();
  DocsServer(const DocsServer&) = delete;
  DocsServer& operator=(const DocsServer&) = delete;

  int port() const { return port_; }
  // Answers one request at a time until stop().
  void serve();
  // Ends serve() from another thread.
  void stop();

 private:
  void answer(int client);

  std::filesystem::path dir_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
};

}  // namespace brek::app
