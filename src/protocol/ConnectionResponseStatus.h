#pragma once

namespace orvel {

// The user's answer, as carried by the Sharing RESPONSE.
enum class ConnectionResponseStatus { accept, reject };

}  // namespace orvel
