#pragma once

namespace orvel {

// The engine itself only ever reports completed and failed.
enum class TransferState { pending, transferring, completed, failed, cancelled };

}  // namespace orvel
