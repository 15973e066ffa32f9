#include "testing/test_support/scripted_http_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>

#include "runtime/scoped_lock.h"

namespace tavra {
namespace {

// A test request is never larger than this.
constexpr size_t kMaxRequestBytes = 64 * 1024 * 1024;
constexpr int kQueueFillers = 8;

// The Content-Length of the headers in `head`, or 0.
size_t contentLength(const std::string& head) {
  std::string lower(head);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  const size_t field = lower.find("\r\ncontent-length:");
  if (field == std::string::npos) return 0;
  return static_cast<size_t>(strtoul(lower.c_str() + field + 17, nullptr, 10));
}

// Waits up to `ms` for the socket to become readable.
bool waitReadable(SOCKET socket, int ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval wait = {ms / 1000, (ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, &wait) == 1;
}

}  // namespace

ScriptedHttpServer::ScriptedHttpServer(Behaviour behaviour, std::string answer, DWORD pauseMs)
    : behaviour_(behaviour), answer_(std::move(answer)), pauseMs_(pauseMs) {}

ScriptedHttpServer::~ScriptedHttpServer() {
  stop();
  if (winsockStarted_) WSACleanup();
}

bool ScriptedHttpServer::start() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
  winsockStarted_ = true;
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof(address);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      listen(listener_, behaviour_ == Behaviour::kNeverAccept ? 0 : 16) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  if (behaviour_ == Behaviour::kNeverAccept) {
    // Connections of our own fill the queue, so that the next connect waits
    // for an answer that never comes.
    for (int i = 0; i < kQueueFillers; ++i) {
      SOCKET filler = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
      if (filler == INVALID_SOCKET) return false;
      u_long nonBlocking = 1;
      ioctlsocket(filler, FIONBIO, &nonBlocking);
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof(address));
      heldSockets_.push_back(filler);
    }
    Sleep(200);
    return true;
  }
  thread_.reset(CreateThread(nullptr, 0, serveThread, this, 0, nullptr));
  return thread_.isValid();
}

void ScriptedHttpServer::stop() {
  InterlockedExchange(&stopping_, 1);
  if (thread_.isValid()) {
    WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
  if (listener_ != INVALID_SOCKET) {
    closesocket(listener_);
    listener_ = INVALID_SOCKET;
  }
  for (SOCKET held : heldSockets_) closesocket(held);
  heldSockets_.clear();
}

std::wstring ScriptedHttpServer::url(const std::wstring& path) const {
  return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
}

int ScriptedHttpServer::connectionCount() const {
  ScopedSrwLock hold(&lock_);
  return connectionCount_;
}

std::vector<std::string> ScriptedHttpServer::requests() const {
  ScopedSrwLock hold(&lock_);
  std::vector<std::string> requests;
  for (const std::string& bytes : connectionBytes_) {
    size_t start = 0;
    while (start < bytes.size()) {
      const size_t headEnd = bytes.find("\r\n\r\n", start);
      size_t end = bytes.size();
      if (headEnd != std::string::npos) {
        const size_t length = contentLength(bytes.substr(start, headEnd + 2 - start));
        end = std::min(bytes.size(), headEnd + 4 + std::min(length, bytes.size()));
      }
      requests.push_back(bytes.substr(start, end - start));
      start = end;
    }
  }
  return requests;
}

DWORD WINAPI ScriptedHttpServer::serveThread(void* self) {
  static_cast<ScriptedHttpServer*>(self)->serve();
  return 0;
}

bool ScriptedHttpServer::stopping() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&stopping_), 0, 0) != 0;
}

void ScriptedHttpServer::serve() {
  while (!stopping()) {
    if (!waitReadable(listener_, 50)) continue;
    SOCKET connection = accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) continue;
    bool first;
    {
      ScopedSrwLock hold(&lock_);
      first = ++connectionCount_ == 1;
      connectionBytes_.emplace_back();
    }
    if (behaviour_ == Behaviour::kStall || (behaviour_ == Behaviour::kStallFirst && first)) {
      heldSockets_.push_back(connection);
      continue;
    }
    serveConnection(connection);
    closesocket(connection);
  }
}

void ScriptedHttpServer::receive(SOCKET connection, std::string* received, bool answered) {
  char buffer[65536];
  while (!stopping() && received->size() < kMaxRequestBytes) {
    if (!answered) {
      const size_t headEnd = received->find("\r\n\r\n");
      if (headEnd != std::string::npos &&
          received->size() >= headEnd + 4 + contentLength(received->substr(0, headEnd + 2))) {
        return;
      }
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(connection, &set);
    if (answered) FD_SET(listener_, &set);
    timeval wait = {0, 50 * 1000};
    if (select(0, &set, nullptr, nullptr, &wait) <= 0) continue;
    // Only another connection waits: after its answer the client has gone
    // on to it.
    if (!FD_ISSET(connection, &set)) return;
    const int count = recv(connection, buffer, sizeof(buffer), 0);
    if (count <= 0) return;
    received->append(buffer, static_cast<size_t>(count));
    ScopedSrwLock hold(&lock_);
    connectionBytes_.back() = *received;
  }
}

void ScriptedHttpServer::serveConnection(SOCKET connection) {
  std::string received;
  receive(connection, &received, false);
  if (behaviour_ == Behaviour::kTrickle) {
    for (char c : answer_) {
      if (stopping() || send(connection, &c, 1, 0) != 1) return;
      Sleep(pauseMs_);
    }
  } else {
    send(connection, answer_.data(), static_cast<int>(answer_.size()), 0);
  }
  shutdown(connection, SD_SEND);
  // A client that follows a redirect or answers a challenge may send its
  // next request here, or on a connection of its own.
  receive(connection, &received, true);
}

}  // namespace tavra
