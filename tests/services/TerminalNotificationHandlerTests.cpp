#include "services/TerminalNotificationHandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <optional>

#include "platform/Log.h"
#include "platform/MainLoop.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;

// A pseudo-terminal for the answers (the handler reads its far end) and a
// pipe that collects everything the handler prints.
class TerminalHarness {
 public:
  TerminalHarness() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(grantpt(master_), 0);
    EXPECT_EQ(unlockpt(master_), 0);
    terminal_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    EXPECT_GE(terminal_, 0);
    termios settings{};
    tcgetattr(terminal_, &settings);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(terminal_, TCSANOW, &settings);
    int output[2];
    EXPECT_EQ(pipe(output), 0);
    outputRead_ = output[0];
    outputWrite_ = output[1];
    fcntl(outputRead_, F_SETFL, O_NONBLOCK);
  }
  ~TerminalHarness() {
    for (int fd : {master_, terminal_, outputRead_, outputWrite_}) {
      if (fd >= 0) close(fd);
    }
  }

  int terminal() const { return terminal_; }
  int output() const { return outputWrite_; }
  void type(const std::string& text) const { ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  void hangUp() {
    close(master_);
    master_ = -1;
  }
  // Everything printed since the last call.
  std::string printed() {
    std::string text;
    char buffer[512];
    ssize_t length;
    while ((length = read(outputRead_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(length));
    return text;
  }

 private:
  int master_ = -1;
  int terminal_ = -1;
  int outputRead_ = -1;
  int outputWrite_ = -1;
};

TransferRequest requestFrom(const std::string& sender, std::vector<FileMetadata> files, const std::string& pin) {
  return TransferRequest{Uuid::random(), sender, std::move(files), pin};
}

// Answers, as the main loop received them.
struct Answers {
  std::vector<std::pair<std::string, bool>> given;
  NotificationHandler::Decision decisionFor(const std::string& name) {
    return [this, name](bool accepted) { given.emplace_back(name, accepted); };
  }
};

bool runMainLoopUntil(const std::function<bool()>& done) { return MainLoop::shared().runUntil(done, 10s); }

TEST(TerminalNotificationHandlerThreaded, AsksOneQuestionAtATimeInArrivalOrder) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = TerminalNotificationHandler::create(terminal.terminal(), terminal.output());
  handler->showTransferRequest(
      requestFrom("Pixel 7", {{1, "photo.jpg", 2621440, ""}, {2, "notes.txt", 512, ""}}, "0421"),
      answers.decisionFor("first"));
  handler->showTransferRequest(requestFrom("Galaxy", {{3, "song.mp3", 1, ""}}, "9876"), answers.decisionFor("second"));

  auto first = terminal.printed();
  EXPECT_NE(first.find("Incoming transfer from Pixel 7\n"), std::string::npos) << first;
  EXPECT_NE(first.find("  photo.jpg (2.5 MB)\n"), std::string::npos) << first;
  EXPECT_NE(first.find("  notes.txt (512 bytes)\n"), std::string::npos) << first;
  EXPECT_NE(first.find("PIN: 0421\nAccept? [y/n] "), std::string::npos) << first;
  EXPECT_EQ(first.find("Galaxy"), std::string::npos) << "the second question was asked too early";

  terminal.type("maybe\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return terminal.printed().find("Please answer y or n") != std::string::npos; }));
  terminal.type("\f Yes \n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  auto second = terminal.printed();
  EXPECT_NE(second.find("Incoming transfer from Galaxy\n  song.mp3 (1 byte)\nPIN: 9876"), std::string::npos) << second;
  terminal.type("n\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"first", true}, {"second", false}}));
}

TEST(TerminalNotificationHandlerThreaded, AWithdrawnQuestionTakesNoAnswerAndTheNextIsAsked) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = TerminalNotificationHandler::create(terminal.terminal(), terminal.output());
  auto withdrawn = requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1111");
  auto queuedThenWithdrawn = requestFrom("Moto", {{1, "b.bin", 10, ""}}, "2222");
  handler->showTransferRequest(withdrawn, answers.decisionFor("withdrawn"));
  handler->showTransferRequest(queuedThenWithdrawn, answers.decisionFor("queued"));
  handler->showTransferRequest(requestFrom("Galaxy", {{1, "c.bin", 10, ""}}, "3333"), answers.decisionFor("asked"));
  (void)terminal.printed();

  handler->withdrawTransferRequest(queuedThenWithdrawn.sessionId);
  EXPECT_EQ(terminal.printed(), "") << "a question not yet on screen goes silently";
  handler->withdrawTransferRequest(withdrawn.sessionId);
  auto notice = terminal.printed();
  EXPECT_NE(notice.find("The transfer from Pixel ended before an answer"), std::string::npos) << notice;
  EXPECT_NE(notice.find("PIN: 3333"), std::string::npos) << notice;
  EXPECT_EQ(notice.find("Moto"), std::string::npos) << notice;

  terminal.type("y\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return !answers.given.empty(); }));
  MainLoop::shared().runUntil([] { return false; }, 20ms);
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"asked", true}}));
}

TEST(TerminalNotificationHandlerThreaded, InputThatIsNotATerminalDeclinesEveryRequest) {
  LogCapture log;
  TerminalHarness terminal;
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  Answers answers;
  {
    auto handler = TerminalNotificationHandler::create(input[0], terminal.output());
    auto request = requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1234");
    handler->showTransferRequest(request, answers.decisionFor("only"));
    EXPECT_TRUE(answers.given.empty()) << "the answer comes from the main loop, not from inside the call";
    ASSERT_TRUE(runMainLoopUntil([&] { return !answers.given.empty(); }));
    EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"only", false}}));
    EXPECT_TRUE(log.contains("[NotificationHandler] Declining transfer " + request.sessionId.uuidString() +
                             " from Pixel: standard input is not a terminal"));
    EXPECT_NE(terminal.printed().find("Declined the transfer from Pixel (a.bin)"), std::string::npos);
  }
  close(input[0]);
  close(input[1]);
}

TEST(TerminalNotificationHandlerThreaded, AnEndedInputDeclinesTheOpenQuestionAndLaterOnes) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = TerminalNotificationHandler::create(terminal.terminal(), terminal.output());
  handler->showTransferRequest(requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1234"), answers.decisionFor("open"));
  terminal.hangUp();
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  handler->showTransferRequest(requestFrom("Moto", {{1, "b.bin", 10, ""}}, "5678"), answers.decisionFor("later"));
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"open", false}, {"later", false}}));
  EXPECT_NE(terminal.printed().find("standard input was closed"), std::string::npos);
}

TEST(TerminalNotificationHandlerThreaded, NamesFromTheSenderCannotControlTheTerminal) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = TerminalNotificationHandler::create(terminal.terminal(), terminal.output());
  handler->showTransferRequest(requestFrom("Evil\x1b[2J\r", {{1, "a\nb\xc2\x9b.txt", 10, ""}}, "12\a34"),
                               answers.decisionFor("x"));
  auto text = terminal.printed();
  EXPECT_NE(text.find("Incoming transfer from Evil?[2J?\n  a?b?.txt (10 bytes)\nPIN: 12?34\n"), std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST(TerminalNotificationHandlerThreaded, CompletionAndStatusArePrinted) {
  TerminalHarness terminal;
  auto handler = TerminalNotificationHandler::create(terminal.terminal(), terminal.output());
  handler->showStatus("Receiving on port 8686.");
  handler->showTransferComplete(
      TransferSession{Uuid::random(), "Pixel", {{1, "a", 1, ""}, {2, "b", 1, ""}}, "1234", TransferState::completed});
  auto text = terminal.printed();
  EXPECT_EQ(text.rfind("Receiving on port 8686.\nReceived 2 files from Pixel into ", 0), 0u) << text;
}

}  // namespace
}  // namespace orvel
