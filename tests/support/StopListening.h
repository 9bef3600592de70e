#pragma once

#include "services/ConnectionManager.h"

namespace orvel::test {

// Stops the manager and, when it was listening, returns only once its
// listener reported the cancellation: a line written later would land in a
// later test's log capture. False when a connection was not released in
// time, or that report did not come in a generous time.
bool stopListeningAndWait(ConnectionManager& manager);

}  // namespace orvel::test
