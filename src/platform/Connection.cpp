#include "platform/Connection.h"

namespace orvel {

const char* toString(Connection::State state) {
  switch (state) {
    case Connection::State::setup: return "setup";
    case Connection::State::preparing: return "preparing";
    case Connection::State::waiting: return "waiting";
    case Connection::State::ready: return "ready";
    case Connection::State::failed: return "failed";
    case Connection::State::cancelled: return "cancelled";
  }
  return "unknown";
}

}  // namespace orvel
