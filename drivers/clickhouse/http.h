// POST requests to ClickHouse's HTTP interface on libcurl, with the response body read as the
// caller asks for it, so a large result never sits whole in memory. libcurl stays out of this
// header.
//
//   HttpRequest request(endpoint, "query=INSERT...", body);
//   std::string chunk;
//   while (request.read(chunk)) { ... }
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zyl::drivers::clickhouse {

// Where and as whom requests go. The password travels in the Authorization header only, never
// in a URL.
struct Endpoint {
  std::string base_url;  // "http://host:8123/"
  std::string user;
  std::string password;
  long connect_timeout_seconds = 10;
  long timeout_seconds = 0;  // for the whole request; 0: none
};

// Stops one request from another thread: the thread reading or sending it then fails with
// DriverError. Outlives its request safely (cancelling a finished request does nothing).
class Canceller {
 public:
  // Thread-safe; never throws.
  void cancel() noexcept;
  bool cancelled() const noexcept { return cancelled_.load(); }

 private:
  friend class HttpRequest;
  std::mutex mutex_;
  void* multi_ = nullptr;  // the request's libcurl multi handle while it lives
  std::atomic<bool> cancelled_{false};
};

// One request in flight. Not thread-safe; the destructor abandons an unfinished transfer.
class HttpRequest {
 public:
  // Starts a POST of `body` to the endpoint with the URL parameters `parameters` (already
  // escaped, "database=x&query=..."). Throws DriverError when libcurl cannot set it up.
  // A request given a `query_id` runs under it, and when it is cancelled after its body has
  // gone out, its query is killed on the server and the server's answer awaited before the
  // cancellation is thrown: a KILL sent by another thread may come before the server has
  // started the query, which would then run on with nobody reading it.
  HttpRequest(const Endpoint& endpoint, const std::string& parameters, std::string body,
              std::string query_id = {});
  ~HttpRequest();
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // The HTTP status, once the response headers have come (waits for them). Throws DriverError
  // when the transfer fails before.
  long status();
  // Appends the next bytes of the body to `out`; false once the body has ended (nothing
  // appended). Throws DriverError when the transfer fails (connection lost, timeout).
  bool read(std::string& out);
  // Every remaining byte of the body (at most `limit`).
  std::string read_rest(size_t limit = 1 << 20);
  // The value of a response header (case-insensitive name), empty when absent; complete once
  // status() has returned.
  std::string header(const std::string& name) const;

  // What stops this request from another thread.
  std::shared_ptr<Canceller> canceller() const;

  // `text` escaped for a URL parameter.
  static std::string escape(const std::string& text);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Asks the server to end the queries of `ids` (KILL QUERY; it does not wait for them to end,
// which a query blocked on sending to its reader never would). Never throws.
void kill_queries(const Endpoint& endpoint, const std::vector<std::string>& ids) noexcept;

}  // namespace zyl::drivers::clickhouse
