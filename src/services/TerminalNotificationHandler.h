#pragma once

#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
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
// never waits for the user. An answer must be given to the question on
// screen: what was typed before it appeared is discarded, and so is what
// came in the same read after an answer; a yes within `readingTime` of it is
// not taken (a no is); Ctrl+D answers no. While a question waits, its prompt
// is the last line on screen: a line about something else is followed by the
// prompt again. When the input is not a terminal, or has hung up, or the
// program runs as a background job, nobody can answer: requests are declined
// and the log says why. A question open when the job went to the background
// is shown again once it is back in the foreground. What a sender chose is
// shown in a bounded width, in the characters the locale's codeset has.
class TerminalNotificationHandler final : public NotificationHandler,
                                          public std::enable_shared_from_this<TerminalNotificationHandler> {
 public:
  // About the least a person needs to read a question.
  static constexpr std::chrono::milliseconds readingTime{1000};

  // Reads answers from `inputFd` and writes to `outputFd`; closes neither.
  // Tests may shorten `readingTime`. Ignores SIGTTIN and SIGTTOU for the
  // whole process, so that no use of the terminal can stop it, and watches
  // SIGCONT. Shows only ASCII unless LC_CTYPE's codeset is UTF-8.
  static std::shared_ptr<TerminalNotificationHandler> create(int inputFd, int outputFd,
                                                             std::chrono::milliseconds timeToRead = readingTime);
  ~TerminalNotificationHandler() override;

  void showTransferRequest(const TransferRequest& request, Decision decision) override;
  void withdrawTransferRequest(const Uuid& sessionId, Withdrawal why) override;
  void showTransferComplete(const TransferSession& session) override;
  void showStatus(const std::string& text) override;

 private:
  struct Private {};

 public:
  TerminalNotificationHandler(Private, int inputFd, int outputFd, std::chrono::milliseconds timeToRead);

 private:
  struct Question {
    TransferRequest request;
    Decision decision;
  };

  using Clock = std::chrono::steady_clock;

  void startReading();
  void readInput(std::weak_ptr<TerminalNotificationHandler> handler) const;
  void handleInput(const std::string& bytes, Clock::time_point readAt);
  void handleCtrlD(Clock::time_point readAt);
  void handleInputEnded();
  bool isBackgroundJob() const;
  bool handleAnswer(std::string_view line, Clock::time_point readAt);
  void askNext();
  void showQuestion();
  void waitForContinue();
  void handleContinued();
  void showAgainInTheForeground();
  void declineUnasked(Question question, std::string_view reason);
  void printAside(std::string line);
  std::string reminder() const;
  void print(std::string_view text) const;

  const int inputFd_;
  const int outputFd_;
  const std::chrono::milliseconds timeToRead_;
  const bool asciiOnly_;  // the terminal's character set is not UTF-8
  bool inputEnded_;
  std::deque<Question> questions_;  // the front one is on screen while `asking_`
  bool asking_ = false;
  Clock::time_point askedAt_;  // when the question on screen was shown
  bool promptOnLine_ = false;  // the output ends with a prompt, not a line's end
  asio::signal_set continued_;
  asio::steady_timer foregroundCheck_;
  std::string partialLine_;
  int readerFd_ = -1;  // the reader's own non-blocking description of the terminal
  int stopPipe_[2] = {-1, -1};  // written to end the reader
  std::thread reader_;
};

}  // namespace orvel
