// Test support: an HTTP server on 127.0.0.1 that answers every connection in
// one scripted way, well or badly, and keeps what each connection sent. It
// covers what the local crash server cannot do: status lines of any text,
// answers without a Content-Length, connections that are never accepted or
// never read, and headers sent a byte at a time. It keeps everything that a
// connection sends, also after its answer, so that a test can tell that a
// client sent no second request (a redirect followed, a challenge answered),
// neither on a kept connection nor on a new one.
//
// Threads: one thread accepts and serves the connections one after another;
// the lock guards the received requests and the connection count, which the
// test's thread reads.
#ifndef TESTING_TEST_SUPPORT_SCRIPTED_HTTP_SERVER_H_
#define TESTING_TEST_SUPPORT_SCRIPTED_HTTP_SERVER_H_

#include <winsock2.h>
#include <windows.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "runtime/scoped_holder.h"
#include "runtime/scoped_lock.h"

namespace tavra {

class ScriptedHttpServer {
 public:
  enum class Behaviour {
    // Reads the request (its headers and as much body as its
    // Content-Length says), sends the answer and ends its side of the
    // connection; then keeps what the client still sends on it until the
    // client closes it or opens another connection.
    kAnswer,
    // Reads the request, then sends the answer a byte at a time, `pauseMs`
    // apart.
    kTrickle,
    // Accepts and then neither reads nor sends until the server stops.
    kStall,
    // Holds the first connection as kStall does, and answers each later one
    // as kAnswer does: a client's first request waits while the others are
    // served.
    kStallFirst,
    // Never accepts, and fills the listen queue first: later connects get no
    // reply to their first packet and hang.
    kNeverAccept,
  };

  ScriptedHttpServer(Behaviour behaviour, std::string answer = std::string(), DWORD pauseMs = 0);
  // Stops.
  ~ScriptedHttpServer();
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  // Listens on a free port of 127.0.0.1 and starts serving.
  bool start();
  // Ends every connection and the serving thread.
  void stop();

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::wstring url(const std::wstring& path = L"/") const;

  // Connections accepted so far.
  int connectionCount() const;
  // Each request read so far, in order: its headers and as much body as its
  // Content-Length says (a last one may be partial). A second request on a
  // connection is a request of its own; a connection that sent nothing
  // gives none.
  std::vector<std::string> requests() const;

 private:
  static DWORD WINAPI serveThread(void* self);
  void serve();
  void serveConnection(SOCKET connection);
  // Reads what `connection` sends onto `received`, and into the record as it
  // comes: before the answer until the request is whole, after it
  // (`answered`) until the client closes the connection or another
  // connection waits; either way until the server stops.
  void receive(SOCKET connection, std::string* received, bool answered);
  bool stopping() const;

  const Behaviour behaviour_;
  const std::string answer_;
  const DWORD pauseMs_;
  bool winsockStarted_ = false;
  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  ScopedHandle thread_;
  volatile LONG stopping_ = 0;
  mutable SrwLock lock_;
  // Guarded by lock_.
  int connectionCount_ = 0;
  // Every byte that each connection sent, in order of connection.
  std::vector<std::string> connectionBytes_;
  // The open connections of kStall and kStallFirst (added on the serving
  // thread) and the queue fillers of kNeverAccept; closed by stop() once that
  // thread is gone.
  std::vector<SOCKET> heldSockets_;
};

}  // namespace tavra

#endif  // TESTING_TEST_SUPPORT_SCRIPTED_HTTP_SERVER_H_
