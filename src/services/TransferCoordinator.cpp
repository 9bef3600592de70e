#include "services/TransferCoordinator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <asio/error.hpp>
#include <cerrno>
#include <utility>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/Settings.h"

namespace orvel {
namespace {

std::string describeFiles(const FileList& files) {
  if (files.size() == 1) return files.front().name;
  return std::to_string(files.size()) + " files";
}

// What keeps received files out of the download folder, if anything: the
// writer's errors carry only the system's code, not which path it was about.
std::optional<std::string> downloadFolderProblem() {
  const auto folder = Settings::downloadFolder();
  const auto named = "the download folder " + folder.string();
  struct stat status;
  if (::stat(folder.c_str(), &status) != 0) {
    if (errno == ENOENT) return named + " does not exist";
    return named + " cannot be used: " + std::generic_category().message(errno);
  }
  if (!S_ISDIR(status.st_mode)) return named + " is not a folder";
  if (::access(folder.c_str(), W_OK | X_OK) != 0) return named + " is not writable";
  return std::nullopt;
}

// The errors with which the system gives up on a phone that left the
// network: its probes or its data went unanswered, or no longer reach it.
// The sockets' errors come in a category of their own.
bool isVanishedPhone(const std::error_code& error) {
  if (error.category() != asio::error::get_system_category() && error.category() != std::system_category()) {
    return false;
  }
  return error.value() == ETIMEDOUT || error.value() == EHOSTUNREACH || error.value() == ENETUNREACH;
}

// Why an accepted transfer failed, as the user is told.
std::string failureReason(const EngineError& error) {
  const auto* systemError = std::get_if<std::error_code>(&error);
  if (!systemError) return "protocol error (" + describe(error) + ")";
  if (isVanishedPhone(*systemError)) return "the phone stopped answering";
  return downloadFolderProblem().value_or(systemError->message());
}

// Why the drive would not take a file, in a person's words.
std::string driveRefusal(const std::error_code& error) {
  if (error.category() == std::system_category() || error.category() == std::generic_category()) {
    switch (error.value()) {
      case EINVAL:
      case EILSEQ:
      case ENAMETOOLONG: return "the drive refuses that name";
      case ENOSPC:
      case EDQUOT: return "the drive is full";
      case EFBIG: return "the file is too large for the drive";
      case EIO: return "the drive reported an input/output error";
      case EROFS: return "the drive is read-only";
      case EACCES:
      case EPERM: return "the folder is not writable";
      case ENOENT:
      case ENOTDIR: return "the folder was moved or removed";
      case ENODEV:
      case ENXIO:
      case ENOTCONN:
      case ESTALE: return "the drive is gone";
      default: break;
    }
  }
  auto text = error.message();
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

// What the user is told of an accepted transfer that failed: the file and
// why, when the drive would not take it; a download folder that cannot be
// used at all says more than any one file.
std::string failureStatus(const TransferSession& session, const EngineError& error) {
  const auto* systemError = std::get_if<std::error_code>(&error);
  if (session.unsavedFile && systemError && !downloadFolderProblem()) {
    return "Could not save " + session.unsavedFile->name + " in " + session.unsavedFile->folder.string() + ": " +
           driveRefusal(*systemError);
  }
  return "The transfer from " + session.senderName + " failed: " + failureReason(error) + ".";
}

}  // namespace

std::shared_ptr<TransferCoordinator> TransferCoordinator::create(std::shared_ptr<NotificationHandler> notifications,
                                                                 Analytics& analytics,
                                                                 std::chrono::steady_clock::duration cutLineWindow) {
  return std::make_shared<TransferCoordinator>(Private{}, std::move(notifications), analytics, cutLineWindow);
}

TransferCoordinator::TransferCoordinator(Private, std::shared_ptr<NotificationHandler> notifications,
                                         Analytics& analytics, std::chrono::steady_clock::duration cutLineWindow)
    : notifications_(std::move(notifications)), analytics_(analytics), cutLineWindow_(cutLineWindow) {}

// A second request under a session id replaces the first (the sender changed
// its offer): the terminal asks again in the old question's place.
void TransferCoordinator::connectionManagerDidReceiveTransferRequest(ConnectionManager& manager,
                                                                     const TransferRequest& request) {
  pendingRequests_.insert_or_assign(request.sessionId, PendingRequest{request});
  connectionManager_ = manager.weak_from_this();
  Log::write("[TransferCoordinator] Incoming transfer from " + request.senderName + " (" +
             describeFiles(request.files) + ")");
  std::weak_ptr<TransferCoordinator> weakSelf = shared_from_this();
  notifications_->showTransferRequest(
      request, [weakSelf, sessionId = request.sessionId, offerNumber = request.offerNumber](bool accepted) {
        if (auto self = weakSelf.lock()) self->handleDecision(sessionId, offerNumber, accepted);
      });
}

void TransferCoordinator::handleDecision(const Uuid& sessionId, std::uint64_t offerNumber, bool accepted) {
  // An answer counts once, and only for the request it was given to: one
  // that failed, finished, was cancelled or was replaced meanwhile takes none.
  // The connection checks the offer number again, as a new offer may be on
  // its way here.
  auto found = pendingRequests_.find(sessionId);
  if (found == pendingRequests_.end() || found->second.request.offerNumber != offerNumber ||
      found->second.accepted) {
    return;
  }
  auto manager = connectionManager_.lock();
  if (accepted) {
    found->second.accepted = true;
    Log::write("[TransferCoordinator] User accepted transfer " + sessionId.uuidString());
    if (manager) manager->acceptTransfer(found->second.request);
    return;
  }
  // A declined connection closes without a further report: nothing else would forget it.
  auto request = std::move(found->second.request);
  pendingRequests_.erase(found);
  Log::write("[TransferCoordinator] User declined transfer " + sessionId.uuidString());
  if (manager) manager->declineTransfer(request);
  analytics_.record("transfer_declined");
}

std::optional<TransferCoordinator::PendingRequest> TransferCoordinator::forgetRequest(const Uuid& sessionId) {
  auto node = pendingRequests_.extract(sessionId);
  if (node.empty()) return std::nullopt;
  return std::move(node.mapped());
}

void TransferCoordinator::connectionManagerDidCompleteTransfer(ConnectionManager&, const TransferSession& session) {
  forgetRequest(session.id);
  notifications_->withdrawTransferRequest(session.id, NotificationHandler::Withdrawal::ended);
  double totalBytes = 0;  // announced sizes may be absurd: no sum of them may overflow
  for (const auto& file : session.files) totalBytes += static_cast<double>(file.size);
  analytics_.record("transfer_received",
                    {{"file_count", session.files.size()}, {"total_size_mb", totalBytes / 1048576.0}});
  if (session.files.size() == 1) {
    Log::write("[TransferCoordinator] Transfer complete: " + session.files.front().name + " saved to Downloads");
  } else {
    Log::write("[TransferCoordinator] Transfer complete: " + std::to_string(session.files.size()) +
               " files saved to Downloads");
  }
  notifications_->showTransferComplete(session);
}

void TransferCoordinator::connectionManagerDidFailTransfer(ConnectionManager&, const TransferSession& session,
                                                           const EngineError& error) {
  auto forgotten = forgetRequest(session.id);
  notifications_->withdrawTransferRequest(session.id, NotificationHandler::Withdrawal::ended);
  Log::write("[TransferCoordinator] Transfer failed from " + session.senderName + ": " + describe(error));
  // After "Accepted the transfer from ...; receiving..." the user waits for the files: say why none come.
  if (forgotten && forgotten->accepted) {
    notifications_->showStatus(failureStatus(session, error));
  }
}

void TransferCoordinator::connectionManagerDidCancelTransfer(ConnectionManager&, const TransferSession& session) {
  auto forgotten = forgetRequest(session.id);
  if (!forgotten) return;  // declined, or never asked about
  Log::write("[TransferCoordinator] Transfer cancelled by " + session.senderName);
  if (forgotten->accepted) {
    notifications_->showStatus(session.senderName + " cancelled the transfer.");
  } else {
    notifications_->withdrawTransferRequest(session.id, NotificationHandler::Withdrawal::cancelled);
  }
}

void TransferCoordinator::connectionManagerDidRefuseTransfer(ConnectionManager&, const TransferRequest& request,
                                                             const std::string& reason) {
  notifications_->showStatus("Declined the transfer from " + request.senderName + ": " + reason + ".");
}

// The user never saw these senders asked: say whom the receiver turned away,
// and why, as long as that stays a few lines a minute.
void TransferCoordinator::connectionManagerDidCutConnection(ConnectionManager&, const std::string& senderName,
                                                            const std::string& reason) {
  if (!cutLineWindowEnd_) openCutLineWindow();
  if (cutLinesShown_ == mostCutLines) {
    ++cutLinesHeld_;
    return;
  }
  ++cutLinesShown_;
  notifications_->showStatus("Closed the connection from " + senderName + " before its question: " + reason + ".");
}

void TransferCoordinator::openCutLineWindow() {
  cutLinesShown_ = 0;
  cutLineWindowEnd_ = std::make_unique<asio::steady_timer>(MainLoop::shared().context(), cutLineWindow_);
  cutLineWindowEnd_->async_wait([weakSelf = weak_from_this()](std::error_code error) {
    if (error) return;
    if (auto self = weakSelf.lock()) self->closeCutLineWindow();
  });
}

// The count said is a line of the next window, which opens at once.
void TransferCoordinator::closeCutLineWindow() {
  cutLineWindowEnd_.reset();
  if (cutLinesHeld_ == 0) return;
  auto held = std::exchange(cutLinesHeld_, 0);
  openCutLineWindow();
  ++cutLinesShown_;
  notifications_->showStatus(std::to_string(held) + (held == 1 ? " more connection was closed before its question."
                                                             : " more connections were closed before their question."));
}

}  // namespace orvel
