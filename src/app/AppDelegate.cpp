#include "app/AppDelegate.h"

#include <exception>
#include <system_error>

#include "platform/Log.h"
#include "platform/Settings.h"

namespace orvel {

AppDelegate::AppDelegate(std::shared_ptr<NotificationHandler> notifications, std::uint16_t firstPort)
    : notifications_(std::move(notifications)), firstPort_(firstPort) {}

void AppDelegate::applicationDidFinishLaunching() { setupServices(); }

void AppDelegate::setupServices() {
  // A mistyped setting would otherwise silently send files elsewhere.
  for (const auto& problem : Settings::problems()) notifications_->showStatus(problem);
  connectionManager_ = ConnectionManager::create(firstPort_);
  discoveryService_ = std::make_unique<DiscoveryService>();
  transferCoordinator_ = TransferCoordinator::create(notifications_);
  connectionManager_->setDelegate(transferCoordinator_);
  std::weak_ptr<AppDelegate> weakSelf = shared_from_this();
  discoveryService_->setOnStatus([weakSelf](const std::string& sentence) {
    if (auto self = weakSelf.lock()) self->notifications_->showStatus(sentence);
  });
  connectionManager_->setOnReady([weakSelf](std::uint16_t port) {
    if (auto self = weakSelf.lock()) self->handleReady(port);
  });
  try {
    connectionManager_->startListening();
  } catch (const std::system_error& error) {
    auto text = error.code().message();
    Log::write("[Orvel] Failed to start listening: " + text);
    notifications_->showStatus("Could not listen for senders: " + text);
  }
  Analytics::shared().record("app_launched");
}

void AppDelegate::handleReady(std::uint16_t port) {
  Log::write("[Orvel] ConnectionManager ready on port " + std::to_string(port));
  auto where = "on port " + std::to_string(port) + ". Press Ctrl+C to quit.";
  notifications_->showStatus(port == firstPort_
                                 ? "Receiving " + where
                                 : "Port " + std::to_string(firstPort_) + " is in use; receiving " + where);
  try {
    discoveryService_->startAdvertising(port);
  } catch (const std::exception& error) {
    Log::write(std::string("[Orvel] Failed to start advertising: ") + error.what());
  }
}

void AppDelegate::applicationWillTerminate() {
  if (discoveryService_ && discoveryService_->isAdvertising()) discoveryService_->stopAdvertising();
  if (connectionManager_) connectionManager_->stopListening();
}

}  // namespace orvel
