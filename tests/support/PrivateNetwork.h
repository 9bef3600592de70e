#pragma once

namespace orvel::test {

// While alive, the calling thread makes its sockets in a network namespace of
// its own whose only interface is loopback: every port is free there, and no
// other process can take one meanwhile. Sockets made in it keep working on
// any thread. Needs root.
class PrivateNetwork {
 public:
  PrivateNetwork();
  ~PrivateNetwork();
  PrivateNetwork(const PrivateNetwork&) = delete;
  PrivateNetwork& operator=(const PrivateNetwork&) = delete;

  // Takes the loopback link away: its connections stay, but nothing more
  // reaches either end, as when a phone leaves the network.
  void takeLoopbackDown();

 private:
  int original_ = -1;  // the thread's namespace before, to return to
};

}  // namespace orvel::test
