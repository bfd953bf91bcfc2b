#include "host/http/http_daemon.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_set>

#include "host/http/tls_pair.h"
#include "kivo/log.h"

namespace {

constexpr char kLogUnit[] = "http_daemon";

}  // namespace

namespace host {

const char kDefaultTlsPriorities[] =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-256-GCM:+AES-128-GCM:"
    "+CHACHA20-POLY1305:-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// What a connection is waiting for; only the first two have a deadline.
enum class Phase { kHeaders, kBody, kAnswer };

// How often the loop looks for connections past their deadline.
constexpr std::chrono::milliseconds kSweepEvery(200);
// Connections the kernel holds for accept: beyond them it drops a client's
// SYN, which the client sends again only a second later. Under a flood the
// owner's login waits in this queue, answered at the server's pace (every
// braked try is cheap), rather than being dropped.
constexpr int kListenBacklog = 4096;

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
  for (const auto& h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return h.second;
  }
  return "";
}

bool HttpRequest::HasHeader(const std::string& name) const {
  for (const auto& h : headers) {
    if (strcasecmp(h.first.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

namespace {

// One socket, from accept to close. Its phase is read by the deadline sweep:
// under the daemon's `mu`.
struct Connection {
  int fd = -1;
  std::string client_address;
  Phase phase = Phase::kHeaders;
  SteadyTime since;
  bool cut = false;
};

// One request, from its headers to its answer. Shared with the reply, which
// may run on another thread while the connection is suspended.
struct Exchange {
  MHD_Connection* mhd = nullptr;
  HttpRequest request;
  SteadyTime start;
  bool handled = false;  // Handle() was called
  bool refused = false;  // screened out: the body is never read
  std::mutex mu;
  bool answered = false;
  bool suspended = false;
  bool queued = false;
  HttpAnswer answer;
};

}  // namespace

struct HttpDaemons::Daemon {
  HttpHandler* handler = nullptr;
  const HttpLimits* limits = nullptr;
  std::atomic<int> suspended{0};  // connections waiting for their answer
  MHD_Daemon* mhd = nullptr;
  Listen listen;
  std::string cert_pem, key_pem;
  // Between the daemon's thread and the deadline sweep. A connection leaves
  // the set before the daemon closes its socket, so under `mu` every
  // descriptor in it is still that connection's.
  std::mutex mu;
  std::unordered_set<Connection*> connections;
};

namespace {

using Context = HttpDaemons::Daemon;

std::string NumericAddress(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address == nullptr) return "";
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
              sizeof text);
  }
  return text;
}

Connection* ConnectionOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info == nullptr ? nullptr : static_cast<Connection*>(info->socket_context);
}

void SetPhase(HttpDaemons::Daemon* ctx, MHD_Connection* connection, Phase phase) {
  Connection* c = ConnectionOf(connection);
  if (c == nullptr) return;
  const SteadyTime now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(ctx->mu);
  c->phase = phase;
  c->since = now;
}

// `answer` is the exchange's own, which outlives the sending of its body:
// the daemon reads the body from there.
MHD_Result QueueAnswer(MHD_Connection* connection, const HttpAnswer& answer) {
  MHD_Response* response = MHD_create_response_from_buffer(
      answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  if (!answer.content_type.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.content_type.c_str());
  }
  for (const auto& h : answer.headers) {
    MHD_add_response_header(response, h.first.c_str(), h.second.c_str());
  }
  if (answer.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
  MHD_destroy_response(response);
  return queued;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HeaderList*>(cls)->emplace_back(key, value != nullptr ? value : "");
  return MHD_YES;
}

// The bounds judged before anything else, since they keep memory and meaning
// in check; 0 when the request is within them.
int HeaderBoundsStatus(MHD_Connection* connection, const HttpRequest& request,
                       const HttpLimits& limits) {
  const MHD_ConnectionInfo* size =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
  if (request.headers.size() > limits.max_headers ||
      (size != nullptr && size->header_size > limits.max_header_bytes)) {
    return MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE;
  }
  // Fields two layers could read differently are refused outright.
  for (const char* single : {"Host", "Origin", "Content-Length", "Content-Type", "Cookie"}) {
    int seen = 0;
    for (const auto& h : request.headers) seen += strcasecmp(h.first.c_str(), single) == 0;
    if (seen > 1) return MHD_HTTP_BAD_REQUEST;
  }
  return 0;
}

// The body's framing: a length, within the bound. 0 when it is fine.
int BodyBoundsStatus(const HttpRequest& request, const HttpLimits& limits) {
  if (request.HasHeader("Transfer-Encoding")) return MHD_HTTP_LENGTH_REQUIRED;
  const std::string length = request.Header("Content-Length");
  if (length.size() > 12 ||
      (!length.empty() && std::strtoull(length.c_str(), nullptr, 10) > limits.max_body)) {
    return MHD_HTTP_CONTENT_TOO_LARGE;
  }
  return 0;
}

// Hands the finished request to the handler, and queues its answer or
// suspends the connection until the answer comes.
MHD_Result Dispatch(Context* ctx, const std::shared_ptr<Exchange>& ex) {
  if (!ex->handled) {
    ex->handled = true;
    SetPhase(ctx, ex->mhd, Phase::kAnswer);
    std::atomic<int>* suspended = &ctx->suspended;
    ctx->handler->Handle(ex->request, [ex, suspended](HttpAnswer answer) {
      std::lock_guard<std::mutex> lock(ex->mu);
      if (ex->answered) return;
      ex->answered = true;
      ex->answer = std::move(answer);
      if (ex->suspended) {
        ex->suspended = false;
        // Wakes the daemon's loop through its own channel.
        MHD_resume_connection(ex->mhd);
        --*suspended;
      }
    });
  }
  std::lock_guard<std::mutex> lock(ex->mu);
  if (ex->answered) {
    if (ex->queued) return MHD_YES;
    ex->queued = true;
    return QueueAnswer(ex->mhd, ex->answer);
  }
  ex->suspended = true;
  ++ctx->suspended;
  MHD_suspend_connection(ex->mhd);
  return MHD_YES;
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char*, const char* upload, size_t* upload_size, void** state) {
  Context* ctx = static_cast<Context*>(cls);
  auto* slot = static_cast<std::shared_ptr<Exchange>*>(*state);
  if (slot == nullptr) {
    auto ex = std::make_shared<Exchange>();
    ex->mhd = connection;
    ex->start = std::chrono::steady_clock::now();
    HttpRequest& r = ex->request;
    r.method = method;
    r.path = url;
    r.tls = ctx->listen.tls;
    r.port = ctx->listen.port;
    r.headers.reserve(16);
    MHD_get_connection_values(connection, MHD_HEADER_KIND, CollectHeader, &r.headers);
    if (Connection* c = ConnectionOf(connection)) r.client_address = c->client_address;
    *state = new std::shared_ptr<Exchange>(ex);
    SetPhase(ctx, connection, Phase::kBody);

    // Then the handler's screening (our names first), then the body's
    // framing. A refusal closes the connection: the body, if any, is unread.
    int bounds = HeaderBoundsStatus(connection, r, *ctx->limits);
    const bool screened = bounds == 0 && ctx->handler->Screen(r, &ex->answer);
    if (bounds == 0 && !screened) bounds = BodyBoundsStatus(r, *ctx->limits);
    if (bounds == 0 && !screened) return MHD_YES;
    if (bounds != 0) ex->answer = ctx->handler->Refusal(r, bounds);
    ex->refused = ex->answered = ex->queued = true;
    ex->answer.close = true;
    return QueueAnswer(connection, ex->answer);
  }
  const std::shared_ptr<Exchange>& ex = *slot;
  if (ex->refused) {
    *upload_size = 0;  // a refused request's body is dropped unread
    return MHD_YES;
  }
  if (*upload_size != 0) {
    if (ex->request.body.size() + *upload_size > ctx->limits->max_body) return MHD_NO;
    ex->request.body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  return Dispatch(ctx, ex);
}

void OnCompleted(void* cls, MHD_Connection* connection, void** state,
                 MHD_RequestTerminationCode code) {
  Context* ctx = static_cast<Context*>(cls);
  auto* slot = static_cast<std::shared_ptr<Exchange>*>(*state);
  if (slot != nullptr) {
    const std::shared_ptr<Exchange>& ex = *slot;
    if (code == MHD_REQUEST_TERMINATED_COMPLETED_OK && ex->queued) {
      ctx->handler->Logged(ex->request, ex->answer, std::chrono::steady_clock::now() - ex->start);
    }
    delete slot;
    *state = nullptr;
  }
  SetPhase(ctx, connection, Phase::kHeaders);
}

void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                  MHD_ConnectionNotificationCode code) {
  Context* ctx = static_cast<Context*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* c = new Connection();
    const MHD_ConnectionInfo* fd =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* address =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    c->fd = fd != nullptr ? fd->connect_fd : -1;
    c->client_address = NumericAddress(address != nullptr ? address->client_addr : nullptr);
    c->since = std::chrono::steady_clock::now();
    if (c->fd >= 0) {
      // Answers leave in one piece; no need to wait for the client's ACK.
      const int one = 1;
      setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    *socket_context = c;
    std::lock_guard<std::mutex> lock(ctx->mu);
    ctx->connections.insert(c);
  } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    auto* c = static_cast<Connection*>(*socket_context);
    {
      std::lock_guard<std::mutex> lock(ctx->mu);
      ctx->connections.erase(c);
    }
    delete c;
    *socket_context = nullptr;
  }
}

int BoundSocket(const Listen& listen, int* port) {
  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(listen.address.c_str(), std::to_string(listen.port).c_str(), &hints, &found) !=
      0) {
    KIVO_LOG(LOG_ERR, "not a numeric address: %s", listen.address.c_str());
    return -1;
  }
  const int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  const int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, found->ai_addr, found->ai_addrlen) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    KIVO_LOG(LOG_ERR, "cannot listen on %s:%d: %s", listen.address.c_str(), listen.port,
             strerror(errno));
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return -1;
  }
  freeaddrinfo(found);
  sockaddr_storage bound = {};
  socklen_t size = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
  *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                            : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

// libmicrohttpd only says that its daemon did not start; GnuTLS says where
// a priority string goes wrong.
bool PrioritiesUnderstood(const std::string& priorities) {
  gnutls_priority_t parsed;
  const char* error_at = nullptr;
  if (gnutls_priority_init(&parsed, priorities.c_str(), &error_at) != GNUTLS_E_SUCCESS) {
    KIVO_LOG(LOG_ERR, "TLS priority string not understood from \"%s\"",
             error_at != nullptr ? error_at : priorities.c_str());
    return false;
  }
  gnutls_priority_deinit(parsed);
  return true;
}

}  // namespace

HttpDaemons::HttpDaemons(HttpHandler* handler, const HttpLimits& limits)
    : handler_(handler), limits_(limits) {}

HttpDaemons::~HttpDaemons() {
  for (auto& d : daemons_) {
    if (d->mhd != nullptr) MHD_stop_daemon(d->mhd);
  }
}

int HttpDaemons::Add(const Listen& listen, const std::string& cert_pem,
                     const std::string& key_pem) {
  auto d = std::make_unique<Daemon>();
  d->handler = handler_;
  d->limits = &limits_;
  d->listen = listen;
  d->cert_pem = cert_pem;
  d->key_pem = key_pem;
  if (listen.tls && !PrioritiesUnderstood(limits_.tls_priorities)) return -1;
  const int fd = BoundSocket(listen, &d->listen.port);
  if (fd < 0) return -1;
  Daemon* ctx = d.get();
  std::vector<MHD_OptionItem> options = {
      {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, limits_.connection_limit, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.per_address_limit, nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(limits_.connection_memory),
       nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(limits_.client_timeout.count()),
       nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&OnCompleted), ctx},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&OnConnection), ctx},
  };
  // The daemon's own thread waits in its epoll set, which also holds the
  // channel MHD_resume_connection wakes it through.
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_TURBO;
  if (listen.tls) {
    flags |= MHD_USE_TLS;
    if (gnutls_certificate_retrieve_function2* pair = TlsPairCallback()) {
      options.push_back({MHD_OPTION_HTTPS_CERT_CALLBACK, 0, reinterpret_cast<void*>(pair)});
    } else {
      options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(d->cert_pem.c_str())});
      options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(d->key_pem.c_str())});
    }
    options.push_back(
        {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(limits_.tls_priorities.c_str())});
  }
  options.push_back({MHD_OPTION_END, 0, nullptr});
  d->mhd = MHD_start_daemon(flags, 0, nullptr, nullptr, &OnRequest, ctx, MHD_OPTION_ARRAY,
                            options.data(), MHD_OPTION_END);
  if (d->mhd == nullptr) {
    KIVO_LOG(LOG_ERR, "cannot serve %s on %s:%d", listen.tls ? "HTTPS" : "HTTP",
             listen.address.c_str(), d->listen.port);
    close(fd);
    return -1;
  }
  const int port = d->listen.port;
  daemons_.push_back(std::move(d));
  return port;
}

void HttpDaemons::SweepDeadlines(Daemon* d, SteadyTime now) {
  std::lock_guard<std::mutex> lock(d->mu);
  for (Connection* c : d->connections) {
    if (c->cut || c->phase == Phase::kAnswer || now - c->since <= limits_.client_timeout) {
      continue;
    }
    // The daemon closes it once it sees the end.
    shutdown(c->fd, SHUT_RDWR);
    c->cut = true;
  }
}

bool HttpDaemons::AnswersUnderWay(Daemon* d) {
  if (d->suspended > 0) return true;
  std::lock_guard<std::mutex> lock(d->mu);
  for (const Connection* c : d->connections) {
    if (c->phase == Phase::kAnswer) return true;
  }
  return false;
}

void HttpDaemons::Run(const std::atomic<bool>& stop) {
  while (!stop) {
    std::this_thread::sleep_for(kSweepEvery);
    const SteadyTime now = std::chrono::steady_clock::now();
    for (auto& d : daemons_) SweepDeadlines(d.get(), now);
  }
  // No new connections; answers under way still go out.
  for (auto& d : daemons_) {
    const MHD_socket fd = MHD_quiesce_daemon(d->mhd);
    if (fd != MHD_INVALID_SOCKET) close(fd);
  }
  const SteadyTime deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (auto& d : daemons_) {
    while (AnswersUnderWay(d.get()) && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  // The daemons stop in the destructor, once the threads that may still
  // resume a connection have finished.
}

}  // namespace host
