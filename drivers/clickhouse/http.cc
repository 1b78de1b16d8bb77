#include "drivers/clickhouse/http.h"

#include <curl/curl.h>

#include <chrono>
#include <mutex>

#include "core/text.h"
#include "drivers/driver.h"
#include "drivers/relation.h"

namespace zyl::drivers::clickhouse {
namespace {

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

struct HttpRequest::State {
  Endpoint endpoint;
  std::string query_id;
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers_out = nullptr;
  std::string body;
  std::string received;  // body bytes not yet handed to the reader
  std::string headers;   // response header lines
  bool headers_done = false;
  bool finished = false;
  CURLcode result = CURLE_OK;
  char error[CURL_ERROR_SIZE] = {0};
  std::string password;
  std::shared_ptr<Canceller> canceller = std::make_shared<Canceller>();

  ~State() {
    {
      std::lock_guard lock(canceller->mutex_);
      canceller->multi_ = nullptr;
    }
    if (easy) {
      if (multi) curl_multi_remove_handle(multi, easy);
      curl_easy_cleanup(easy);
    }
    if (multi) curl_multi_cleanup(multi);
    if (headers_out) curl_slist_free_all(headers_out);
  }

  static size_t on_body(char* data, size_t size, size_t count, void* self) {
    auto* state = static_cast<State*>(self);
    state->headers_done = true;
    state->received.append(data, size * count);
    return size * count;
  }
  static size_t on_header(char* data, size_t size, size_t count, void* self) {
    auto* state = static_cast<State*>(self);
    std::string_view line(data, size * count);
    // A blank line ends a header block; a "100 Continue" block is followed by the real one.
    if (line == "\r\n" || line == "\n") {
      long code = 0;
      curl_easy_getinfo(state->easy, CURLINFO_RESPONSE_CODE, &code);
      if (code >= 200) state->headers_done = true;
    } else {
      state->headers.append(line);
    }
    return size * count;
  }

  [[noreturn]] void fail() const {
    std::string message = "clickhouse: HTTP request failed: ";
    message += error[0] ? error : curl_easy_strerror(result);
    if (!password.empty()) message = text::redact(message, {password});
    throw DriverError(message);
  }

  // Moves the transfer on until `ready()` or its end. Throws when it failed.
  template <typename Ready>
  void pump(Ready ready) {
    while (!ready() && !finished) {
      if (canceller->cancelled()) {
        end_on_server();
        throw DriverError("clickhouse: the statement was cancelled");
      }
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK) fail();
      if (running == 0) {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
          if (msg->msg == CURLMSG_DONE) result = msg->data.result;
        }
        finished = true;
        headers_done = true;
        break;
      }
      if (ready()) break;
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }
    if (finished && result != CURLE_OK) fail();
  }

  // Whether the whole request has gone out, so that the server may run it.
  bool body_sent() const {
    curl_off_t sent = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    return !body.empty() && sent >= static_cast<curl_off_t>(body.size());
  }
  // Moves the transfer on for `span`, dropping what arrives, until it has ended.
  void drain_for(std::chrono::milliseconds span) {
    auto until = std::chrono::steady_clock::now() + span;
    while (!finished && std::chrono::steady_clock::now() < until) {
      int running = 0;
      if (curl_multi_perform(multi, &running) != CURLM_OK || running == 0) finished = true;
      received.clear();
      if (!finished) curl_multi_poll(multi, nullptr, 0, 50, nullptr);
    }
  }
  // A cancelled request that has reached the server: kills its query until the server has
  // answered the request (which it does once the query has ended), for at most ten seconds.
  // Reading on meanwhile matters: a query blocked on a full socket never sees its kill.
  // A request whose body is still going out is simply dropped; the server never runs it.
  void end_on_server() {
    if (query_id.empty() || finished || !body_sent()) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
      kill_queries(endpoint, {query_id});
      drain_for(std::chrono::milliseconds(200));
    } while (!finished && std::chrono::steady_clock::now() < deadline);
  }
};

HttpRequest::HttpRequest(const Endpoint& endpoint, const std::string& parameters,
                         std::string body, std::string query_id)
    : state_(std::make_unique<State>()) {
  global_init();
  State& s = *state_;
  s.endpoint = endpoint;
  s.query_id = std::move(query_id);
  s.password = endpoint.password;
  s.body = std::move(body);
  s.multi = curl_multi_init();
  s.easy = curl_easy_init();
  if (!s.multi || !s.easy) throw DriverError("clickhouse: could not set up an HTTP request");
  std::string url = endpoint.base_url + "?" + parameters;
  if (!s.query_id.empty()) {
    url += (parameters.empty() ? "" : "&") + std::string("query_id=") + escape(s.query_id);
  }
  curl_easy_setopt(s.easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(s.easy, CURLOPT_POST, 1L);
  curl_easy_setopt(s.easy, CURLOPT_POSTFIELDS, s.body.data());
  curl_easy_setopt(s.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(s.body.size()));
  curl_easy_setopt(s.easy, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
  curl_easy_setopt(s.easy, CURLOPT_USERNAME, endpoint.user.c_str());
  curl_easy_setopt(s.easy, CURLOPT_PASSWORD, endpoint.password.c_str());
  curl_easy_setopt(s.easy, CURLOPT_CONNECTTIMEOUT, endpoint.connect_timeout_seconds);
  curl_easy_setopt(s.easy, CURLOPT_TIMEOUT, endpoint.timeout_seconds);
  curl_easy_setopt(s.easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(s.easy, CURLOPT_ERRORBUFFER, s.error);
  curl_easy_setopt(s.easy, CURLOPT_WRITEFUNCTION, &State::on_body);
  curl_easy_setopt(s.easy, CURLOPT_WRITEDATA, &s);
  curl_easy_setopt(s.easy, CURLOPT_HEADERFUNCTION, &State::on_header);
  curl_easy_setopt(s.easy, CURLOPT_HEADERDATA, &s);
  // No "Expect: 100-continue" round trip before a large body.
  s.headers_out = curl_slist_append(nullptr, "Expect:");
  s.headers_out = curl_slist_append(s.headers_out, "Content-Type: text/plain; charset=UTF-8");
  curl_easy_setopt(s.easy, CURLOPT_HTTPHEADER, s.headers_out);
  if (curl_multi_add_handle(s.multi, s.easy) != CURLM_OK) {
    throw DriverError("clickhouse: could not start an HTTP request");
  }
  std::lock_guard lock(s.canceller->mutex_);
  s.canceller->multi_ = s.multi;
}

void Canceller::cancel() noexcept {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  // Wakes the reading thread out of curl_multi_poll.
  if (multi_) curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

std::shared_ptr<Canceller> HttpRequest::canceller() const { return state_->canceller; }

HttpRequest::~HttpRequest() = default;

long HttpRequest::status() {
  state_->pump([this] { return state_->headers_done; });
  long code = 0;
  curl_easy_getinfo(state_->easy, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

bool HttpRequest::read(std::string& out) {
  state_->pump([this] { return !state_->received.empty(); });
  if (state_->received.empty()) return false;
  out.append(state_->received);
  state_->received.clear();
  return true;
}

std::string HttpRequest::read_rest(size_t limit) {
  std::string out;
  while (out.size() < limit && read(out)) {
  }
  return out;
}

std::string HttpRequest::header(const std::string& name) const {
  std::string lower = text::to_lower(name) + ":";
  size_t start = 0;
  const std::string& all = state_->headers;
  while (start < all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    std::string_view line(all.data() + start, end - start);
    if (line.size() > lower.size() && text::to_lower(line.substr(0, lower.size())) == lower) {
      std::string_view value = line.substr(lower.size());
      while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      while (!value.empty() && (value.back() == '\r' || value.back() == ' ')) {
        value.remove_suffix(1);
      }
      return std::string(value);
    }
    start = end + 1;
  }
  return "";
}

std::string HttpRequest::escape(const std::string& text) {
  global_init();
  char* escaped = curl_easy_escape(nullptr, text.data(), static_cast<int>(text.size()));
  if (!escaped) throw DriverError("clickhouse: out of memory");
  std::string out(escaped);
  curl_free(escaped);
  return out;
}

void kill_queries(const Endpoint& endpoint, const std::vector<std::string>& ids) noexcept {
  if (ids.empty()) return;
  try {
    std::vector<std::string> literals;
    for (const std::string& id : ids) literals.push_back(string_literal_for("clickhouse", id));
    Endpoint quick = endpoint;
    quick.timeout_seconds = 5;
    HttpRequest kill(quick, "",
                     "KILL QUERY WHERE query_id IN (" + text::join(literals, ", ") + ") ASYNC");
    kill.read_rest(64 << 10);
  } catch (const std::exception&) {
    // The requests have stopped on our side already.
  }
}

}  // namespace zyl::drivers::clickhouse
