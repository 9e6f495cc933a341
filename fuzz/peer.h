// A loopback peer for fuzz targets that drive a network client: it listens on 127.0.0.1 and
// answers every connection from the current script, so the client under test reads fuzzed
// bytes through a real socket. Lives for the whole process.
#ifndef FUZZ_PEER_H_
#define FUZZ_PEER_H_

#include <string>
#include <vector>

namespace fuzzutil {

class Peer {
 public:
  // Starts the peer on a free port (once per process).
  static Peer& Get();
  int port() const { return port_; }
  // Replies for the next connections: the peer sends replies[0] at once, then for every line
  // that the client sends, the next reply; after the last one it closes the connection.
  void SetScript(const std::vector<std::string>& replies);
  // A second listening port whose connections get data_ and are then closed (FTP data).
  int data_port() const { return data_port_; }
  void SetData(const std::string& data);

 private:
  Peer();
  int port_ = 0;
  int data_port_ = 0;
};

}  // namespace fuzzutil

#endif  // FUZZ_PEER_H_
