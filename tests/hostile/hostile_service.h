// A tag service that attacks its client, for tests only: raw sockets on
// 127.0.0.1, one thread per connection. Under "/<case>/TagService" it
// answers ping and the reader's connect and disconnect as a tag service
// would, and every other request (formats, items, tags) in the way the case
// names:
//
//   status    a status line of about 30 KB
//   headers   header lines without end
//   deep      JSON nested millions of levels deep
//   many      millions of empty formats or minimal items, within 16 MiB
//   text      one text of 15 MiB, then a member of the wrong type
//   drip      a body of one byte a second
//   reset     a connection reset in the middle of the body
//   chunkext  a chunk whose extension never ends
//
// The service runs in a process of its own, forked while the test process
// is still small, so that the memory it uses for its answers is never
// counted as the memory of a korvo the test starts. Every endless answer
// ends by itself after a few seconds, and the process ends with the test
// process or after two minutes at the latest.
#ifndef KORVO_TESTS_HOSTILE_HOSTILE_SERVICE_H_
#define KORVO_TESTS_HOSTILE_HOSTILE_SERVICE_H_

#include <sys/types.h>

#include <string>

namespace korvo_test {

class hostile_service {
 public:
  // Listens on a free loopback port; throws std::runtime_error if it cannot.
  hostile_service();
  // Ends the service's process.
  ~hostile_service();
  hostile_service(const hostile_service&) = delete;
  hostile_service& operator=(const hostile_service&) = delete;

  // "http://127.0.0.1:PORT/<which>/TagService".
  std::string url(const std::string& which) const;

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

}  // namespace korvo_test

#endif  // KORVO_TESTS_HOSTILE_HOSTILE_SERVICE_H_
