#pragma once

#include <memory>

#include "services/ConnectionManager.h"
#include "services/DiscoveryService.h"
#include "services/NotificationHandler.h"
#include "services/TransferCoordinator.h"

namespace orvel {

// Sets up the services at start and takes them down at the end; owns them for
// the life of the process. Main loop only.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  explicit AppDelegate(std::shared_ptr<NotificationHandler> notifications,
                       std::uint16_t firstPort = ConnectionManager::defaultPort);

  void applicationDidFinishLaunching();
  void applicationWillTerminate();

  const std::shared_ptr<ConnectionManager>& connectionManager() const { return connectionManager_; }

 private:
  void setupServices();
  void handleReady(std::uint16_t port);

  const std::shared_ptr<NotificationHandler> notifications_;
  const std::uint16_t firstPort_;
  std::shared_ptr<ConnectionManager> connectionManager_;
  std::shared_ptr<TransferCoordinator> transferCoordinator_;
  std::unique_ptr<DiscoveryService> discoveryService_;
};

}  // namespace orvel
