#include "services/TerminalNotificationHandler.h"

#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

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

// What a sender chose takes a bounded width on screen, so that it cannot
// wrap into lines of its own, such as a fake question. A sender's name fits
// with "Incoming transfer from " in a line of 80 columns.
constexpr std::size_t nameColumns = 48;
// A file name keeps its last columns, where its extension is.
constexpr std::size_t fileNameColumns = 48;
constexpr std::size_t fileNameEndColumns = 16;
// A status line may carry names and paths: two lines of 80 at most, with its
// end (what happened) kept.
constexpr std::size_t statusColumns = 160;
constexpr std::size_t statusEndColumns = 80;
// A character of more bytes (a letter under hundreds of marks) shows as '?':
// drawn, it could cover the lines around it.
constexpr std::size_t longestCharacter = 64;

// Why a background job declines: the terminal's input belongs to the job in
// the foreground.
constexpr const char* notForegroundJob = "this program is not the terminal's foreground job";
// How often a reader in the background looks whether it is in the foreground again.
constexpr int foregroundCheckMilliseconds = 250;

struct ShownText {
  std::string text;
  std::size_t columns;  // a zero-width character counts as one, so that none is free
};

// One character as the terminal gets it. No control character may reach it,
// and no bidirectional control may make "txt.exe" read as "exe.txt" in the
// question the user answers. A byte that is not UTF-8 could be a C1 control
// to a terminal that takes 8-bit controls, such as the Linux console, and so
// could any UTF-8 to a terminal of another character set.
ShownText shownCharacter(std::string_view character, bool asciiOnly) {
  bool shows = character.size() <= longestCharacter;
  std::size_t columns = 0;
  for (auto rest = character; shows && !rest.empty();) {
    auto codePoint = Unicode::first(rest);
    rest.remove_prefix(codePoint.length);
    shows = codePoint.valid && codePoint.value != 0xFFFD && !Unicode::isControl(codePoint.value) &&
            !Unicode::isBidiControl(codePoint.value) && !(asciiOnly && codePoint.value >= 0x80);
    columns += static_cast<std::size_t>(std::max(Unicode::columns(codePoint.value), 0));
  }
  if (!shows) return {"?", 1};
  return {std::string(character), std::max<std::size_t>(columns, 1)};
}

// The start of `text` that fits in `columns`, and whether that is all of it.
std::pair<std::string, bool> startOf(std::string_view text, std::size_t columns, bool asciiOnly) {
  std::string start;
  std::size_t used = 0;
  bool whole = true;
  Unicode::forEachCharacter(text, [&](std::string_view character) {
    auto shown = shownCharacter(character, asciiOnly);
    if (shown.columns > columns - used) {
      whole = false;
      return false;
    }
    used += shown.columns;
    start += shown.text;
    return true;
  });
  return {std::move(start), whole};
}

// The end of `text` that fits in `columns`, and the columns it takes. Only
// its last bytes can show: of a name of megabytes, no more is read.
std::pair<std::string, std::size_t> endOf(std::string_view text, std::size_t columns, bool asciiOnly) {
  if (columns == 0) return {};
  const std::size_t window = (columns + 1) * longestCharacter;
  const bool cut = text.size() > window;
  if (cut) {
    text.remove_prefix(text.size() - window);
    while (!text.empty() && (static_cast<unsigned char>(text.front()) & 0xC0) == 0x80) text.remove_prefix(1);
  }
  std::vector<ShownText> characters;
  Unicode::forEachCharacter(text, [&](std::string_view character) {
    characters.push_back(shownCharacter(character, asciiOnly));
    return true;
  });
  if (cut && !characters.empty()) characters.erase(characters.begin());  // perhaps only part of one
  std::size_t used = 0;
  auto first = characters.end();
  while (first != characters.begin() && std::prev(first)->columns <= columns - used) {
    --first;
    used += first->columns;
  }
  std::string end;
  for (; first != characters.end(); ++first) end += first->text;
  return {std::move(end), used};
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

// `text` as the terminal shows it, cut to `columns` with "…" when longer,
// keeping its last `endColumns`.
std::string shown(std::string_view text, bool asciiOnly, std::size_t columns = SIZE_MAX, std::size_t endColumns = 0) {
  auto [all, whole] = startOf(text, columns, asciiOnly);
  if (whole) return std::move(all);
  const std::string ellipsis = asciiOnly ? "..." : "\u2026";
  const std::size_t ellipsisColumns = asciiOnly ? 3 : 1;
  auto [end, endColumnsUsed] = endOf(text, endColumns, asciiOnly);
  return startOf(text, columns - ellipsisColumns - endColumnsUsed, asciiOnly).first + ellipsis + end;
}

std::string shownName(std::string_view name, bool asciiOnly) { return shown(name, asciiOnly, nameColumns); }

std::string shownFileName(std::string_view name, bool asciiOnly) {
  return shown(name, asciiOnly, fileNameColumns, fileNameEndColumns);
}

std::string describeFiles(const FileList& files, bool asciiOnly) {
  if (files.size() == 1) return shownFileName(files.front().name, asciiOnly);
  return std::to_string(files.size()) + " files";
}

// The first files by name and size, then how many more and their size.
std::string listFiles(const FileList& files, bool asciiOnly) {
  std::string text;
  for (std::size_t index = 0; index < std::min(files.size(), listedFiles); ++index) {
    auto file = files[index];
    text += "  " + shownFileName(file.name, asciiOnly) + " (" + formatSize(file.size) + ")\n";
  }
  if (files.size() > listedFiles) {
    text += "  and " + std::to_string(files.size() - listedFiles) + " more files (" +
            formatSize(files.totalSize(listedFiles)) + ")\n";
  }
  return text;
}

// Whether the terminal's character set, as the locale names it, is UTF-8.
bool isUtf8Terminal() {
  const char* codeset = ::nl_langinfo(CODESET);
  return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
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
  if (!handler->inputEnded_) {
    handler->startReading();
    handler->waitForContinue();
  }
  return handler;
}

TerminalNotificationHandler::TerminalNotificationHandler(Private, int inputFd, int outputFd,
                                                         std::chrono::milliseconds timeToRead)
    : inputFd_(inputFd),
      outputFd_(outputFd),
      timeToRead_(timeToRead),
      asciiOnly_(!isUtf8Terminal()),
      inputEnded_(!isatty(inputFd)),
      continued_(MainLoop::shared().context()),
      foregroundCheck_(MainLoop::shared().context()) {}

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

// SIGCONT comes with `fg` and `bg` alike, after Ctrl+Z or a stop.
void TerminalNotificationHandler::waitForContinue() {
  std::error_code ignored;
  continued_.add(SIGCONT, ignored);
  continued_.async_wait([handler = weak_from_this()](std::error_code error, int) {
    if (error) return;
    if (auto self = handler.lock()) self->handleContinued();
  });
}

void TerminalNotificationHandler::handleContinued() {
  waitForContinue();
  showAgainInTheForeground();
}

// Back in the foreground, the question that waited is shown again: while
// the job was stopped or behind, the screen went to others, and what was
// typed then was not typed for it. `fg` continues a stopped job with SIGCONT
// but takes a running one (after `bg`) to the front without a word: a job
// continued behind looks until it is in front again.
void TerminalNotificationHandler::showAgainInTheForeground() {
  foregroundCheck_.cancel();
  if (!asking_ || inputEnded_) return;
  if (!isBackgroundJob()) {
    showQuestion();
    return;
  }
  foregroundCheck_.expires_after(std::chrono::milliseconds(foregroundCheckMilliseconds));
  foregroundCheck_.async_wait([handler = weak_from_this()](std::error_code error) {
    if (error) return;
    if (auto self = handler.lock()) self->showAgainInTheForeground();
  });
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
    // A background job has nobody at the terminal to answer it, and a sender
    // would wait with no end, also behind a question already open.
    if (isBackgroundJob()) {
      declineUnasked(std::move(question), notForegroundJob);
      return;
    }
    questions_.push_back(std::move(question));
    if (!asking_) askNext();
    return;
  }
  // The sender changed its offer: the new one takes the old one's place.
  bool onScreen = asking_ && asked == questions_.begin();
  *asked = std::move(question);
  if (onScreen) {
    print((promptOnLine_ ? "\n" : "") + shownName(request.senderName, asciiOnly_) +
          " changed the offered files; asking again.\n");
    showQuestion();
  }
}

// Queued questions that a background job still holds are declined: once the
// one on screen is gone, nobody is there to answer them. Once the job is
// brought to the foreground, requests are asked as usual.
void TerminalNotificationHandler::askNext() {
  while (!questions_.empty() && isBackgroundJob()) {
    auto question = std::move(questions_.front());
    questions_.pop_front();
    declineUnasked(std::move(question), notForegroundJob);
  }
  if (questions_.empty()) return;
  asking_ = true;
  showQuestion();
}

void TerminalNotificationHandler::showQuestion() {
  const auto& request = questions_.front().request;
  std::string text = "\nIncoming transfer from " + shownName(request.senderName, asciiOnly_) + "\n";
  text += listFiles(request.files, asciiOnly_);
  text += "PIN: " + shown(request.pin, asciiOnly_) + "\nAccept? [y/n] ";
  // Whatever was typed before this question appeared was meant for another.
  ::tcflush(inputFd_, TCIFLUSH);
  partialLine_.clear();
  print(text);
  promptOnLine_ = true;
  askedAt_ = Clock::now();
}

void TerminalNotificationHandler::handleInput(const std::string& bytes, Clock::time_point readAt) {
  if (readAt < askedAt_) return;  // typed before the question on screen appeared
  for (char character : bytes) {
    if (character != '\n') {
      if (partialLine_.size() <= longestLine) partialLine_ += character;
      continue;
    }
    promptOnLine_ = false;  // the terminal echoed the end of the line
    auto line = std::move(partialLine_);
    partialLine_.clear();
    // What follows an answer in the same read was typed before the next
    // question appeared, such as the rest of a block pasted at once.
    if (handleAnswer(line.size() > longestLine ? std::string_view("?") : std::string_view(line), readAt)) return;
  }
}

void TerminalNotificationHandler::handleCtrlD(Clock::time_point readAt) {
  if (readAt < askedAt_) return;
  partialLine_.clear();
  handleAnswer("n", readAt);
}

// Whether the line answered the question on screen.
bool TerminalNotificationHandler::handleAnswer(std::string_view line, Clock::time_point readAt) {
  if (!asking_) return false;
  auto word = lowercaseTrimmed(line);
  bool accepted;
  if (word == "y" || word == "yes") {
    accepted = true;
  } else if (word == "n" || word == "no") {
    accepted = false;
  } else {
    print("Please answer y or n: ");
    promptOnLine_ = true;
    return false;
  }
  // Declining is always safe, so only a yes must wait until the question can
  // have been read: a sender that keeps changing its offer cannot hold off a no.
  if (accepted && readAt - askedAt_ < timeToRead_) {
    print("Too soon to have read the question; answer again [y/n] ");
    promptOnLine_ = true;
    return false;
  }
  auto question = std::move(questions_.front());
  questions_.pop_front();
  asking_ = false;
  const auto sender = shownName(question.request.senderName, asciiOnly_);
  print(accepted ? "Accepted the transfer from " + sender + "; receiving...\n"
                 : "Declined the transfer from " + sender + ".\n");
  question.decision(accepted);
  askNext();
  return true;
}

void TerminalNotificationHandler::handleInputEnded() {
  inputEnded_ = true;
  if (asking_ && promptOnLine_) print("\n");
  asking_ = false;
  auto unanswered = std::move(questions_);
  questions_.clear();
  for (auto& question : unanswered) declineUnasked(std::move(question), "standard input was closed");
}

void TerminalNotificationHandler::declineUnasked(Question question, std::string_view reason) {
  const auto& request = question.request;
  Log::write("[NotificationHandler] Declining transfer " + request.sessionId.uuidString() + " from " +
             request.senderName + ": " + std::string(reason));
  printAside("Declined the transfer from " + shownName(request.senderName, asciiOnly_) + " (" +
             describeFiles(request.files, asciiOnly_) + "): nobody can answer, " + std::string(reason) + ".\n");
  // Answered from the main loop, never from inside the caller.
  MainLoop::shared().async([decision = std::move(question.decision)] { decision(false); });
}

void TerminalNotificationHandler::withdrawTransferRequest(const Uuid& sessionId, Withdrawal why) {
  for (auto question = questions_.begin(); question != questions_.end(); ++question) {
    if (question->request.sessionId != sessionId) continue;
    bool onScreen = asking_ && question == questions_.begin();
    auto sender = shownName(question->request.senderName, asciiOnly_);
    questions_.erase(question);
    if (onScreen) {
      asking_ = false;
      print((promptOnLine_ ? "\n" : "") +
            (why == Withdrawal::cancelled ? sender + " cancelled; the question is withdrawn.\n"
                                          : "The transfer from " + sender +
                                                " ended before an answer; the question is withdrawn.\n"));
      askNext();
    }
    return;
  }
}

void TerminalNotificationHandler::showTransferComplete(const TransferSession& session) {
  printAside("Received " + describeFiles(session.files, asciiOnly_) + " from " +
             shownName(session.senderName, asciiOnly_) + " into " +
             shown(Settings::downloadFolder().string(), asciiOnly_) + "\n");
}

// Status lines may carry a sender's name, a file's name or a path.
void TerminalNotificationHandler::showStatus(const std::string& text) {
  printAside(shown(text, asciiOnly_, statusColumns, statusEndColumns) + "\n");
}

// A line about something else: while a question waits, it goes on a line of
// its own and the question's prompt follows it again, so that the last line
// on screen is always what waits for an answer.
void TerminalNotificationHandler::printAside(std::string line) {
  if (!asking_) {
    print(line);
    return;
  }
  if (promptOnLine_) line.insert(0, "\n");
  print(line + reminder());
  promptOnLine_ = true;
}

// The prompt of the question on screen, said again after other lines.
std::string TerminalNotificationHandler::reminder() const {
  const auto& request = questions_.front().request;
  return "Accept the transfer from " + shownName(request.senderName, asciiOnly_) + " (PIN " +
         shown(request.pin, asciiOnly_) + ")? [y/n] ";
}

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
