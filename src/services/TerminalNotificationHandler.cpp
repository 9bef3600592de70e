#include "services/TerminalNotificationHandler.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <system_error>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "platform/Settings.h"
#include "platform/Unicode.h"

namespace orvel {
namespace {

// An answer is a short word; anything longer is dropped instead of kept.
constexpr std::size_t longestLine = 256;

// A question lists this many files by name and counts the rest, whose names
// a sender could make to fill the screen many times over.
constexpr std::size_t listedFiles = 20;
// Bytes of a name shown; a file name on Linux has at most 255.
constexpr std::size_t longestShownName = 255;

// Why a background job declines: the terminal's input belongs to the job in
// the foreground.
constexpr const char* notForegroundJob = "this program is not the terminal's foreground job";
// How often a reader in the background looks whether it is in the foreground again.
constexpr int foregroundCheckMilliseconds = 250;

// Names come from the sender: no control characters may reach the terminal,
// and no bidirectional control may make "txt.exe" read as "exe.txt" in the
// question the user answers. A byte that is not UTF-8 could be a C1 control
// to a terminal that takes 8-bit controls, such as the Linux console.
std::string printable(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  while (!text.empty()) {
    auto character = Unicode::first(text);
    if (!character.valid || Unicode::isControl(character.value) || Unicode::isBidiControl(character.value)) {
      result += '?';
    } else {
      result += text.substr(0, character.length);
    }
    text.remove_prefix(character.length);
  }
  return result;
}

std::string formatSize(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  static constexpr const char* units[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(units)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

// A name cut to its first `longestShownName` bytes, at a character's start.
std::string shownName(std::string_view name) {
  if (name.size() <= longestShownName) return printable(name);
  std::size_t kept = 0;
  while (kept < name.size()) {
    auto length = Unicode::first(name.substr(kept)).length;
    if (kept + length > longestShownName) break;
    kept += length;
  }
  return printable(name.substr(0, kept)) + "...";
}

std::string describeFiles(const FileList& files) {
  if (files.size() == 1) return shownName(files.front().name);
  return std::to_string(files.size()) + " files";
}

// The first files by name and size, then how many more and their size.
std::string listFiles(const FileList& files) {
  std::string text;
  for (std::size_t index = 0; index < std::min(files.size(), listedFiles); ++index) {
    auto file = files[index];
    text += "  " + shownName(file.name) + " (" + formatSize(file.size) + ")\n";
  }
  if (files.size() > listedFiles) {
    text += "  and " + std::to_string(files.size() - listedFiles) + " more files (" +
            formatSize(files.totalSize(listedFiles)) + ")\n";
  }
  return text;
}

// The answer without blanks or control characters around it (a stray key
// such as Ctrl+L must not spoil it), in lower case.
std::string lowercaseTrimmed(std::string_view line) {
  auto ignorable = [](char character) {
    auto byte = static_cast<unsigned char>(character);
    return std::isspace(byte) || std::iscntrl(byte);
  };
  while (!line.empty() && ignorable(line.front())) line.remove_prefix(1);
  while (!line.empty() && ignorable(line.back())) line.remove_suffix(1);
  std::string word(line);
  for (auto& character : word) character = static_cast<char>(std::tolower(static_cast<unsigned char>(character)));
  return word;
}

}  // namespace

std::shared_ptr<TerminalNotificationHandler> TerminalNotificationHandler::create(int inputFd, int outputFd,
                                                                                 std::chrono::milliseconds timeToRead) {
  // Reading or flushing the terminal from the background, or writing to it
  // under `stty tostop`, would stop the whole receiver, senders and all;
  // ignored, these signals let such a call fail or go ahead instead.
  std::signal(SIGTTIN, SIG_IGN);
  std::signal(SIGTTOU, SIG_IGN);
  auto handler = std::make_shared<TerminalNotificationHandler>(Private{}, inputFd, outputFd, timeToRead);
  if (!handler->inputEnded_) handler->startReading();
  return handler;
}

TerminalNotificationHandler::TerminalNotificationHandler(Private, int inputFd, int outputFd,
                                                         std::chrono::milliseconds timeToRead)
    : inputFd_(inputFd), outputFd_(outputFd), timeToRead_(timeToRead), inputEnded_(!isatty(inputFd)) {}

TerminalNotificationHandler::~TerminalNotificationHandler() {
  if (reader_.joinable()) {
    char stop = 0;
    (void)!::write(stopPipe_[1], &stop, 1);
    reader_.join();
  }
  for (int fd : {readerFd_, stopPipe_[0], stopPipe_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void TerminalNotificationHandler::startReading() {
  if (::pipe(stopPipe_) != 0) throw std::system_error(errno, std::system_category(), "pipe");
  // Input flushed between poll and read must not leave the reader blocked in
  // read, out of the stop pipe's reach; O_NONBLOCK goes on a description of
  // its own, since the caller's is shared with the shell.
  char path[256];
  if (::ttyname_r(inputFd_, path, sizeof path) == 0) {
    readerFd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  }
  reader_ = std::thread([this, handler = weak_from_this()] { readInput(handler); });
}

// On the reader thread: touches only the descriptors and posts what it read,
// with when it was read. Input typed while this is a background job is the
// foreground job's and stays unread. Input ends on a hang-up or a read error;
// a read of nothing is Ctrl+D, an answer.
void TerminalNotificationHandler::readInput(std::weak_ptr<TerminalNotificationHandler> handler) const {
  const int input = readerFd_ >= 0 ? readerFd_ : inputFd_;
  char buffer[512];
  for (;;) {
    const bool foreground = !isBackgroundJob();
    pollfd fds[2] = {{input, static_cast<short>(foreground ? POLLIN : 0), 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, foreground ? -1 : foregroundCheckMilliseconds) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    // Stamped before the read: bytes taken ahead of a question's flush count
    // as typed before it, however late this thread runs after the read.
    const auto readAt = Clock::now();
    auto length = ::read(input, buffer, sizeof buffer);
    if (length < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (length < 0 && errno == EIO && isBackgroundJob()) continue;  // sent to the background meanwhile
    if (length < 0) break;
    if (length == 0) {
      MainLoop::shared().async([handler, readAt] {
        if (auto self = handler.lock()) self->handleCtrlD(readAt);
      });
      continue;
    }
    MainLoop::shared().async([handler, bytes = std::string(buffer, static_cast<std::size_t>(length)), readAt] {
      if (auto self = handler.lock()) self->handleInput(bytes, readAt);
    });
  }
  MainLoop::shared().async([handler] {
    if (auto self = handler.lock()) self->handleInputEnded();
  });
}

// Another job of the shell has the terminal: this one cannot ask there.
bool TerminalNotificationHandler::isBackgroundJob() const {
  pid_t foreground = ::tcgetpgrp(inputFd_);
  return foreground > 0 && foreground != ::getpgrp();
}

void TerminalNotificationHandler::showTransferRequest(const TransferRequest& request, Decision decision) {
  Question question{request, std::move(decision)};
  if (inputEnded_) {
    declineUnasked(std::move(question), isatty(inputFd_) ? "standard input was closed"
                                                         : "standard input is not a terminal");
    return;
  }
  auto asked = std::find_if(questions_.begin(), questions_.end(), [&](const Question& each) {
    return each.request.sessionId == request.sessionId;
  });
  if (asked == questions_.end()) {
    questions_.push_back(std::move(question));
    if (!asking_) askNext();
    return;
  }
  // The sender changed its offer: the new one takes the old one's place.
  bool onScreen = asking_ && asked == questions_.begin();
  *asked = std::move(question);
  if (onScreen) {
    // Appended, not prefixed: GCC 12 takes a text put in front of a string for an overlapping copy.
    auto notice = std::string("\n").append(printable(request.senderName));
    print(notice.append(" changed the offered files; asking again.\n"));
    askNext();
  }
}

// A background job has nobody at the terminal to answer it, and a sender
// would wait with no end: it declines at once. Once the job is brought to the
// foreground, requests are asked as usual.
void TerminalNotificationHandler::askNext() {
  while (!questions_.empty() && isBackgroundJob()) {
    auto question = std::move(questions_.front());
    questions_.pop_front();
    declineUnasked(std::move(question), notForegroundJob);
  }
  if (questions_.empty()) return;
  asking_ = true;
  const auto& request = questions_.front().request;
  std::string text = "\nIncoming transfer from " + printable(request.senderName) + "\n";
  text += listFiles(request.files);
  text += "PIN: " + printable(request.pin) + "\nAccept? [y/n] ";
  // Whatever was typed before this question appeared was meant for another.
  ::tcflush(inputFd_, TCIFLUSH);
  partialLine_.clear();
  print(text);
  askedAt_ = Clock::now();
}

void TerminalNotificationHandler::handleInput(const std::string& bytes, Clock::time_point readAt) {
  if (readAt < askedAt_) return;  // typed before the question on screen appeared
  for (char character : bytes) {
    if (character != '\n') {
      if (partialLine_.size() <= longestLine) partialLine_ += character;
      continue;
    }
    auto line = std::move(partialLine_);
    partialLine_.clear();
    handleAnswer(line.size() > longestLine ? std::string_view("?") : std::string_view(line), readAt);
  }
}

void TerminalNotificationHandler::handleCtrlD(Clock::time_point readAt) {
  if (readAt < askedAt_) return;
  partialLine_.clear();
  handleAnswer("n", readAt);
}

void TerminalNotificationHandler::handleAnswer(std::string_view line, Clock::time_point readAt) {
  if (!asking_) return;
  auto word = lowercaseTrimmed(line);
  bool accepted;
  if (word == "y" || word == "yes") {
    accepted = true;
  } else if (word == "n" || word == "no") {
    accepted = false;
  } else {
    print("Please answer y or n: ");
    return;
  }
  // Declining is always safe, so only a yes must wait until the question can
  // have been read: a sender that keeps changing its offer cannot hold off a no.
  if (accepted && readAt - askedAt_ < timeToRead_) {
    print("Too soon to have read the question; answer again [y/n] ");
    return;
  }
  auto question = std::move(questions_.front());
  questions_.pop_front();
  asking_ = false;
  print(accepted ? "Accepted; receiving...\n" : "Declined.\n");
  question.decision(accepted);
  askNext();
}

void TerminalNotificationHandler::handleInputEnded() {
  inputEnded_ = true;
  if (asking_) print("\n");
  asking_ = false;
  auto unanswered = std::move(questions_);
  questions_.clear();
  for (auto& question : unanswered) declineUnasked(std::move(question), "standard input was closed");
}

void TerminalNotificationHandler::declineUnasked(Question question, std::string_view reason) {
  const auto& request = question.request;
  Log::write("[NotificationHandler] Declining transfer " + request.sessionId.uuidString() + " from " +
             request.senderName + ": " + std::string(reason));
  print("Declined the transfer from " + printable(request.senderName) + " (" + describeFiles(request.files) +
        "): nobody can answer, " + std::string(reason) + ".\n");
  // Answered from the main loop, never from inside the caller.
  MainLoop::shared().async([decision = std::move(question.decision)] { decision(false); });
}

void TerminalNotificationHandler::withdrawTransferRequest(const Uuid& sessionId, Withdrawal why) {
  for (auto question = questions_.begin(); question != questions_.end(); ++question) {
    if (question->request.sessionId != sessionId) continue;
    bool onScreen = asking_ && question == questions_.begin();
    auto sender = printable(question->request.senderName);
    questions_.erase(question);
    if (onScreen) {
      asking_ = false;
      print(why == Withdrawal::cancelled ? "\n" + sender + " cancelled; the question is withdrawn.\n"
                                         : "\nThe transfer from " + sender +
                                               " ended before an answer; the question is withdrawn.\n");
      askNext();
    }
    return;
  }
}

void TerminalNotificationHandler::showTransferComplete(const TransferSession& session) {
  print("Received " + describeFiles(session.files) + " from " + printable(session.senderName) + " into " +
        Settings::downloadFolder().string() + "\n");
}

// Status lines may carry a sender's name or a path.
void TerminalNotificationHandler::showStatus(const std::string& text) { print(printable(text) + "\n"); }

void TerminalNotificationHandler::print(std::string_view text) const {
  while (!text.empty()) {
    auto written = ::write(outputFd_, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd fd{outputFd_, POLLOUT, 0};
        ::poll(&fd, 1, 1000);
        continue;
      }
      return;  // nobody reads the output any more
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace orvel
