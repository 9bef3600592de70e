#include "services/TerminalNotificationHandler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "support/TerminalHarness.h"

namespace orvel {
namespace {

using namespace std::chrono_literals;
using test::TerminalHarness;

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

std::shared_ptr<TerminalNotificationHandler> askOn(const TerminalHarness& terminal) {
  return TerminalNotificationHandler::create(terminal.terminal(), terminal.output(), TerminalHarness::timeToRead);
}

TEST(TerminalNotificationHandlerThreaded, AsksOneQuestionAtATimeInArrivalOrder) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = askOn(terminal);
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

  terminal.answer("maybe\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return terminal.printed().find("Please answer y or n") != std::string::npos; }));
  terminal.type("\f Yes \n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  auto second = terminal.printed();
  EXPECT_NE(second.find("Incoming transfer from Galaxy\n  song.mp3 (1 byte)\nPIN: 9876"), std::string::npos) << second;
  terminal.answer("n\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"first", true}, {"second", false}}));
}

TEST(TerminalNotificationHandlerThreaded, AWithdrawnQuestionTakesNoAnswerAndTheNextIsAsked) {
  using Withdrawal = NotificationHandler::Withdrawal;
  const std::pair<Withdrawal, std::string> notices[] = {
      {Withdrawal::ended, "\nThe transfer from Pixel ended before an answer; the question is withdrawn.\n"},
      {Withdrawal::cancelled, "\nPixel cancelled; the question is withdrawn.\n"}};
  for (const auto& [why, expected] : notices) {
    TerminalHarness terminal;
    Answers answers;
    auto handler = askOn(terminal);
    auto withdrawn = requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1111");
    auto queuedThenWithdrawn = requestFrom("Moto", {{1, "b.bin", 10, ""}}, "2222");
    handler->showTransferRequest(withdrawn, answers.decisionFor("withdrawn"));
    handler->showTransferRequest(queuedThenWithdrawn, answers.decisionFor("queued"));
    handler->showTransferRequest(requestFrom("Galaxy", {{1, "c.bin", 10, ""}}, "3333"), answers.decisionFor("asked"));
    (void)terminal.printed();

    handler->withdrawTransferRequest(queuedThenWithdrawn.sessionId, why);
    EXPECT_EQ(terminal.printed(), "") << "a question not yet on screen goes silently";
    handler->withdrawTransferRequest(withdrawn.sessionId, why);
    auto notice = terminal.printed();
    EXPECT_EQ(notice.rfind(expected, 0), 0u) << notice;
    EXPECT_NE(notice.find("PIN: 3333"), std::string::npos) << notice;
    EXPECT_EQ(notice.find("Moto"), std::string::npos) << notice;

    terminal.answer("y\n");
    ASSERT_TRUE(runMainLoopUntil([&] { return !answers.given.empty(); }));
    MainLoop::shared().runUntil([] { return false; }, 20ms);
    EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"asked", true}}));
  }
}

TEST(TerminalNotificationHandlerThreaded, ANewRequestOfTheSameSessionIsAskedInTheOldOnesPlace) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = askOn(terminal);
  auto first = requestFrom("Pixel", {{1, "harmless.txt", 10, ""}}, "1111");
  auto swapped = first;
  swapped.files = {{2, "other.bin", 99, ""}};
  handler->showTransferRequest(first, answers.decisionFor("first"));
  handler->showTransferRequest(requestFrom("Galaxy", {{1, "c.bin", 10, ""}}, "3333"), answers.decisionFor("next"));
  (void)terminal.printed();

  handler->showTransferRequest(swapped, answers.decisionFor("swapped"));
  auto notice = terminal.printed();
  EXPECT_EQ(notice.rfind("\nPixel changed the offered files; asking again.\n\nIncoming transfer from Pixel\n"
                         "  other.bin (99 bytes)\n",
                         0),
            0u)
      << notice;
  EXPECT_EQ(notice.find("Galaxy"), std::string::npos) << "the replacement keeps its place";

  terminal.answer("y\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return terminal.printed().find("Galaxy") != std::string::npos; }));
  terminal.answer("n\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"swapped", true}, {"next", false}}));
}

TEST(TerminalNotificationHandlerThreaded, InputTypedBeforeTheQuestionAndAYesWithinTheReadingTimeAreNotTaken) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = TerminalNotificationHandler::create(terminal.terminal(), terminal.output());
  ASSERT_GE(TerminalNotificationHandler::readingTime, 1s);
  // A whole line, read by the reader before the question shows, and half a
  // line still waiting in the terminal: both were meant for something else.
  terminal.type("y\nn");
  std::this_thread::sleep_for(50ms);
  handler->showTransferRequest(requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1111"), answers.decisionFor("first"));
  handler->showTransferRequest(requestFrom("Moto", {{1, "b.bin", 10, ""}}, "2222"), answers.decisionFor("second"));
  MainLoop::shared().runUntil([] { return false; }, 50ms);
  EXPECT_TRUE(answers.given.empty());
  EXPECT_EQ(terminal.printed().find("Too soon"), std::string::npos) << "dropped silently, not taken as an answer";

  std::this_thread::sleep_for(TerminalNotificationHandler::readingTime);
  terminal.type("y\n");  // with the half line kept, this would read "ny"
  ASSERT_TRUE(runMainLoopUntil([&] { return !answers.given.empty(); }));
  auto text = terminal.printed();
  EXPECT_EQ(text.rfind("Accepted; receiving...\n\nIncoming transfer from Moto", 0), 0u) << text;

  terminal.type("y\n");  // as quick as a key pressed for the question before
  ASSERT_TRUE(runMainLoopUntil(
      [&] { return terminal.printed() == "Too soon to have read the question; answer again [y/n] "; }));
  terminal.type("n\n");  // declining is always safe: taken at once
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"first", true}, {"second", false}}));
  EXPECT_EQ(terminal.printed(), "Declined.\n");
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
  auto handler = askOn(terminal);
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
  auto handler = askOn(terminal);
  // U+202E, right-to-left override, would show the second name as "cvexe.pdf".
  handler->showTransferRequest(
      requestFrom("Evil\x1b[2J\r", {{1, "a\nb\xc2\x9b.txt", 10, ""}, {2, "cv\xe2\x80\xae" "fdp.exe", 20, ""}},
                  "12\a34"),
      answers.decisionFor("x"));
  auto text = terminal.printed();
  EXPECT_NE(text.find("Incoming transfer from Evil?[2J?\n  a?b?.txt (10 bytes)\n  cv?fdp.exe (20 bytes)\n"
                      "PIN: 12?34\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST(TerminalNotificationHandlerThreaded, CompletionAndStatusArePrinted) {
  TerminalHarness terminal;
  auto handler = askOn(terminal);
  handler->showStatus("Receiving on port 8686.");
  handler->showStatus("Evil\x1b[2J cancelled the transfer.");
  handler->showTransferComplete(
      TransferSession{Uuid::random(), "Pixel", {{1, "a", 1, ""}, {2, "b", 1, ""}}, "1234", TransferState::completed});
  auto text = terminal.printed();
  EXPECT_EQ(text.rfind("Receiving on port 8686.\nEvil?[2J cancelled the transfer.\nReceived 2 files from Pixel into ",
                       0),
            0u)
      << text;
}

}  // namespace
}  // namespace orvel
