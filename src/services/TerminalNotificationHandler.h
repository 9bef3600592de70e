#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "services/NotificationHandler.h"

namespace orvel {

// Asks on the terminal: each request is shown with the sender, the files and
// the PIN, and answered with y or n, one question at a time in arrival order.
// Answers are read by a thread of its own and handled on the main loop, which
// never waits for the user. When the input is not a terminal, or has ended,
// nobody can answer: every request is declined and the log says why.
class TerminalNotificationHandler final : public NotificationHandler,
                                          public std::enable_shared_from_this<TerminalNotificationHandler> {
 public:
  // Reads answers from `inputFd` and writes to `outputFd`; closes neither.
  static std::shared_ptr<TerminalNotificationHandler> create(int inputFd, int outputFd);
  ~TerminalNotificationHandler() override;

  void showTransferRequest(const TransferRequest& request, Decision decision) override;
  void withdrawTransferRequest(const Uuid& sessionId) override;
  void showTransferComplete(const TransferSession& session) override;
  void showStatus(const std::string& text) override;

 private:
  struct Private {};

 public:
  TerminalNotificationHandler(Private, int inputFd, int outputFd);

 private:
  struct Question {
    TransferRequest request;
    Decision decision;
  };

  void startReading();
  void readInput(std::weak_ptr<TerminalNotificationHandler> handler) const;
  void handleInput(const std::string& bytes);
  void handleInputEnded();
  void handleAnswer(std::string_view line);
  void askNext();
  void declineUnasked(Question question, std::string_view reason);
  void print(std::string_view text) const;

  const int inputFd_;
  const int outputFd_;
  bool inputEnded_;
  std::deque<Question> questions_;  // the front one is on screen while `asking_`
  bool asking_ = false;
  std::string partialLine_;
  int stopPipe_[2] = {-1, -1};  // written to end the reader
  std::thread reader_;
};

}  // namespace orvel
