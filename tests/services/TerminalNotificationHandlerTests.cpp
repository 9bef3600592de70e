#include "services/TerminalNotificationHandler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "support/TerminalHarness.h"
#include "support/TestSupport.h"

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

TEST(TerminalNotificationHandlerThreaded, AsksOneQuestionAtATimeInArrivalOrder) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = terminal.ask();
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
    auto handler = terminal.ask();
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
  auto handler = terminal.ask();
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
  auto handler = terminal.ask(TerminalNotificationHandler::readingTime);
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
  EXPECT_EQ(text.rfind("Accepted the transfer from Pixel; receiving...\n\nIncoming transfer from Moto", 0), 0u) << text;

  terminal.type("y\n");  // as quick as a key pressed for the question before
  ASSERT_TRUE(runMainLoopUntil(
      [&] { return terminal.printed() == "Too soon to have read the question; answer again [y/n] "; }));
  terminal.type("n\n");  // declining is always safe: taken at once
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"first", true}, {"second", false}}));
  EXPECT_EQ(terminal.printed(), "Declined the transfer from Moto.\n");
}

TEST(TerminalNotificationHandlerThreaded, InputThatIsNotATerminalDeclinesEveryRequest) {
  LogCapture log;
  TerminalHarness terminal;
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  Answers answers;
  {
    auto handler = terminal.askReadingFrom(input[0]);
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
  auto handler = terminal.ask();
  handler->showTransferRequest(requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1234"), answers.decisionFor("open"));
  terminal.hangUp();
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  handler->showTransferRequest(requestFrom("Moto", {{1, "b.bin", 10, ""}}, "5678"), answers.decisionFor("later"));
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"open", false}, {"later", false}}));
  EXPECT_NE(terminal.printed().find("standard input was closed"), std::string::npos);
}

TEST(TerminalNotificationHandlerThreaded, CtrlDAnswersNoAndTheNextQuestionIsStillAsked) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = terminal.ask();
  handler->showTransferRequest(requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1111"), answers.decisionFor("first"));
  handler->showTransferRequest(requestFrom("Moto", {{1, "b.bin", 10, ""}}, "2222"), answers.decisionFor("second"));
  (void)terminal.printed();
  terminal.answer("\x04");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  auto text = terminal.printed();
  EXPECT_EQ(text.rfind("Declined the transfer from Pixel.\n\nIncoming transfer from Moto", 0), 0u) << text;
  terminal.answer("y\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"first", false}, {"second", true}}));
}

// Set in the process that the test below starts as a background job.
constexpr const char* backgroundJobTerminal = "ORVEL_TEST_BACKGROUND_JOB_TERMINAL";

// Starts the current test again in a job of its own on terminal `fd`, which
// the job's parent holds in the foreground, in the same session: a job the
// terminal stops with SIGTTIN and SIGTTOU. Returns the parent, which exits
// with the job's status, or with 100 when the job was stopped. The job's own
// report goes to `report`, not among this test's lines.
pid_t startAsBackgroundJob(int fd, int report) {
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  std::string variable = std::string(backgroundJobTerminal) + "=" + std::to_string(fd);
  std::vector<char*> environment;
  for (char** each = environ; *each; ++each) environment.push_back(*each);
  environment.push_back(variable.data());
  environment.push_back(nullptr);
  char program[] = "/proc/self/exe";
  char* arguments[] = {program, filter.data(), nullptr};

  pid_t leader = fork();
  if (leader != 0) return leader;
  // The child of a threaded process: nothing but async-signal-safe calls.
  if (setsid() < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(101);
  pid_t job = fork();
  if (job < 0) _exit(102);
  if (job == 0) {
    setpgid(0, 0);
    dup2(report, STDOUT_FILENO);
    dup2(report, STDERR_FILENO);
    execve(program, arguments, environment.data());
    _exit(103);
  }
  setpgid(job, job);
  int status = 0;
  if (waitpid(job, &status, WUNTRACED) < 0) _exit(104);
  if (WIFSTOPPED(status)) {
    kill(job, SIGKILL);
    waitpid(job, &status, 0);
    _exit(100);
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 105);
}

// The job's side: a request in the background is declined at once, one
// asked in the foreground waits, also while the job is behind, where another
// request is declined at once; back in front, the question is shown again
// and answered there.
void answerAsBackgroundJob(int terminal) {
  ASSERT_GT(tcgetpgrp(terminal), 0);
  ASSERT_NE(tcgetpgrp(terminal), getpgrp()) << "not a background job";
  LogCapture log;
  Answers answers;
  auto handler = TerminalNotificationHandler::create(terminal, terminal, TerminalHarness::timeToRead);
  auto behind = requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1111");
  handler->showTransferRequest(behind, answers.decisionFor("behind"));
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  EXPECT_TRUE(log.contains("[NotificationHandler] Declining transfer " + behind.sessionId.uuidString() +
                           " from Pixel: this program is not the terminal's foreground job"));

  ASSERT_EQ(tcsetpgrp(terminal, getpgrp()), 0);
  handler->showTransferRequest(requestFrom("Moto", {{1, "b.bin", 10, ""}}, "2222"), answers.decisionFor("in front"));
  // Ctrl+Z and bg: the shell takes the terminal and continues the job behind.
  ASSERT_EQ(tcsetpgrp(terminal, getsid(0)), 0);
  ASSERT_EQ(raise(SIGCONT), 0);
  handler->showTransferRequest(requestFrom("Galaxy", {{1, "c.bin", 10, ""}}, "3333"), answers.decisionFor("later"));
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  ASSERT_EQ(tcsetpgrp(terminal, getpgrp()), 0);  // fg: no signal for a job that runs
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return answers.given.size() == 3; }, 20s));
  EXPECT_EQ(answers.given,
            (std::vector<std::pair<std::string, bool>>{{"behind", false}, {"later", false}, {"in front", true}}));
}

// Run with `orvel &`: reading, flushing or (with `stty tostop`) writing the
// terminal would stop the whole receiver until the user typed `fg`. Sent to
// the background with a question open, it must not leave later senders waiting.
TEST(TerminalNotificationHandlerThreaded, ABackgroundJobIsNeverStoppedAndDeclinesUntilInTheForeground) {
  if (const char* terminal = std::getenv(backgroundJobTerminal)) return answerAsBackgroundJob(std::atoi(terminal));
  TerminalHarness terminal;
  termios settings{};
  ASSERT_EQ(tcgetattr(terminal.terminal(), &settings), 0);
  settings.c_lflag |= TOSTOP;
  ASSERT_EQ(tcsetattr(terminal.terminal(), TCSANOW, &settings), 0);
  terminal.type("y\n");  // typed for the foreground job: a background reader is stopped
  test::TemporaryDirectory folder;
  const auto reportPath = folder.path() / "report";
  int report = open(reportPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(report, 0);
  pid_t leader = startAsBackgroundJob(terminal.terminal(), report);
  close(report);
  ASSERT_GT(leader, 0);

  std::string shown;
  bool answered = false;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + 60s;
  while (waitpid(leader, &status, WNOHANG) != leader) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(leader, SIGKILL);
      waitpid(leader, &status, 0);
      FAIL() << "timed out; the terminal showed:\n" << shown << "\nthe job said:\n" << test::readFile(reportPath);
    }
    shown += terminal.shown();
    // Answered once the question is shown again in the foreground.
    if (!answered && shown.find("Incoming transfer from Moto") != shown.rfind("Incoming transfer from Moto")) {
      terminal.answer("y\n");
      answered = true;
    }
    std::this_thread::sleep_for(10ms);
  }
  shown += terminal.shown();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "status " << status << " (100: stopped); the terminal showed:\n"
      << shown << "\nthe job said:\n"
      << test::readFile(reportPath);
  EXPECT_NE(shown.find("Declined the transfer from Pixel (a.bin): nobody can answer, this program is not the "
                       "terminal's foreground job."),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("Declined the transfer from Galaxy (c.bin): nobody can answer"), std::string::npos) << shown;
}

TEST(TerminalNotificationHandlerThreaded, NamesFromTheSenderCannotControlTheTerminal) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = terminal.ask();
  // U+202E, right-to-left override, would show the second name as "cvexe.pdf";
  // a lone 0x9B is CSI to a terminal that takes 8-bit controls.
  handler->showTransferRequest(
      requestFrom("Evil\x1b[2J\r\x9b" "2J\xff", {{1, "a\nb\xc2\x9b.txt", 10, ""}, {2, "cv\xe2\x80\xae" "fdp.exe", 20, ""}},
                  "12\a34"),
      answers.decisionFor("x"));
  auto text = terminal.printed();
  EXPECT_NE(text.find("Incoming transfer from Evil?[2J??2J?\n  a?b?.txt (10 bytes)\n  cv?fdp.exe (20 bytes)\n"
                      "PIN: 12?34\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\x9b'), std::string::npos);
}

// However many files an offer names, and however long their names, the
// question stays a screenful: the first twenty, each on a line of its own
// with the end of its name, then a count of the rest.
// (Few enough files that a listing of all of them still fits in the pipe.)
TEST(TerminalNotificationHandlerThreaded, ALargeOfferIsListedByItsFirstFilesAndACountOfTheRest) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = terminal.ask();
  std::vector<FileMetadata> files;
  for (int index = 0; index < 2'000; ++index) files.push_back({index, "f" + std::to_string(index), 1000, ""});
  files[1].name = std::string(1000, 'n');
  handler->showTransferRequest(requestFrom("Pixel", files, "0421"), answers.decisionFor("x"));
  auto text = terminal.printed();
  EXPECT_LT(text.size(), 8u * 1024);
  EXPECT_NE(text.find("Incoming transfer from Pixel\n  f0 (1000 bytes)\n  " + std::string(29, 'n') + "..." +
                      std::string(16, 'n') + " (1000 bytes)\n  f2 (1000 bytes)\n"),
            std::string::npos)
      << text.substr(0, 400);
  EXPECT_NE(text.find("  f19 (1000 bytes)\n  and 1980 more files (1.9 MB)\nPIN: 0421\n"), std::string::npos)
      << text.substr(0, 400);
}

TEST(TerminalNotificationHandlerThreaded, CompletionAndStatusArePrinted) {
  TerminalHarness terminal;
  auto handler = terminal.ask();
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

// While a question waits, whatever else is said goes on lines of its own and
// the question's prompt follows again: the screen's last line is always what
// waits for an answer. A status line holding a sender's name stays bounded.
TEST(TerminalNotificationHandlerThreaded, LinesAboutOtherTransfersAreFollowedByThePromptAgain) {
  TerminalHarness terminal;
  Answers answers;
  auto handler = terminal.ask();
  handler->showTransferRequest(requestFrom("Pixel", {{1, "a.bin", 10, ""}}, "1111"), answers.decisionFor("open"));
  (void)terminal.printed();
  const std::string prompt = "Accept the transfer from Pixel (PIN 1111)? [y/n] ";

  handler->showStatus("Declined the transfer from C: 2 transfers from its address are already waiting for an answer.");
  EXPECT_EQ(terminal.printed(), "\nDeclined the transfer from C: 2 transfers from its address are already waiting for "
                                "an answer.\n" + prompt);
  handler->showTransferComplete(TransferSession{Uuid::random(), "Moto", {{1, "b.bin", 1, ""}}, "2222",
                                                TransferState::completed});
  auto text = terminal.printed();
  EXPECT_EQ(text.rfind("\nReceived b.bin from Moto into ", 0), 0u) << text;
  EXPECT_TRUE(text.ends_with("\n" + prompt)) << text;

  handler->showStatus("Declined the transfer from " + std::string(5'000, 'x') +
                      ": 2 transfers from its address are already waiting for an answer.");
  text = terminal.printed();
  auto line = text.substr(1, text.find('\n', 1) - 1);
  EXPECT_LE(line.size(), 160u) << line;
  EXPECT_TRUE(line.ends_with("xxx: 2 transfers from its address are already waiting for an answer.")) << line;
  EXPECT_TRUE(text.ends_with("\n" + prompt)) << text;

  terminal.answer("y\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 1; }));
  EXPECT_EQ(terminal.printed(), "Accepted the transfer from Pixel; receiving...\n");
  handler->showStatus("Pixel cancelled the transfer.");
  EXPECT_EQ(terminal.printed(), "Pixel cancelled the transfer.\n") << "no question waits: no prompt";
}

// A terminal out of canonical mode hands over a pasted block in one read:
// only its first line answers the question on screen, the rest was typed
// before the next question appeared.
TEST(TerminalNotificationHandlerThreaded, ABlockPastedAtOneQuestionAnswersOnlyThatOne) {
  TerminalHarness terminal;
  termios settings{};
  ASSERT_EQ(tcgetattr(terminal.terminal(), &settings), 0);
  settings.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
  ASSERT_EQ(tcsetattr(terminal.terminal(), TCSANOW, &settings), 0);
  Answers answers;
  auto handler = terminal.ask();
  for (const auto* name : {"first", "second", "third"}) {
    handler->showTransferRequest(requestFrom(name, {{1, "a.bin", 10, ""}}, "1111"), answers.decisionFor(name));
  }
  terminal.answer("n\nn\nn\n");
  ASSERT_TRUE(
      runMainLoopUntil([&] { return terminal.printed().find("Incoming transfer from second") != std::string::npos; }));
  terminal.answer("y\n");
  ASSERT_TRUE(runMainLoopUntil([&] { return answers.given.size() == 2; }));
  EXPECT_EQ(answers.given, (std::vector<std::pair<std::string, bool>>{{"first", false}, {"second", true}}));
  EXPECT_NE(terminal.printed().find("Incoming transfer from third"), std::string::npos);
}

// Sets LC_CTYPE for one test, as the program does from the environment.
class CharacterSet {
 public:
  explicit CharacterSet(const char* locale) : previous_(setlocale(LC_CTYPE, nullptr)) {
    EXPECT_NE(setlocale(LC_CTYPE, locale), nullptr) << locale;
  }
  ~CharacterSet() { setlocale(LC_CTYPE, previous_.c_str()); }

 private:
  std::string previous_;
};

// A sender's name takes one line of the question, cut on a character's
// boundary, and a terminal that is not UTF-8 gets only ASCII: no byte of a
// name can be a control of an 8-bit terminal (0x9B is CSI, 0x85 NEL there).
TEST(TerminalNotificationHandlerThreaded, ASendersNameTakesOneBoundedLineInTheTerminalsCharacterSet) {
  struct Case {
    const char* locale;
    std::string sender;
    std::string shownLine;
  };
  std::string aa;  // U+00C5, 2,500 times: 5,000 bytes
  for (int index = 0; index < 2'500; ++index) aa += "\xc3\x85";
  std::string wide;  // U+6F22, two columns each
  for (int index = 0; index < 100; ++index) wide += "\xe6\xbc\xa2";
  const Case cases[] = {
      {"C.UTF-8", aa, "Incoming transfer from " + aa.substr(0, 47 * 2) + "\xe2\x80\xa6"},
      {"C.UTF-8", wide, "Incoming transfer from " + wide.substr(0, 23 * 3) + "\xe2\x80\xa6"},
      {"C.UTF-8", "\xc3\x9brsula \xc3\x85sa", "Incoming transfer from \xc3\x9brsula \xc3\x85sa"},
      {"C", "\xc3\x9brsula \xc3\x85sa", "Incoming transfer from ?rsula ?sa"},
      {"C", aa, "Incoming transfer from " + std::string(45, '?') + "..."},
      {"C", std::string(5'000, 'x'), "Incoming transfer from " + std::string(45, 'x') + "..."},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.locale + (" " + item.shownLine));
    TerminalHarness terminal;
    Answers answers;
    std::shared_ptr<TerminalNotificationHandler> handler;
    {
      CharacterSet characterSet(item.locale);
      handler = terminal.ask();
    }
    handler->showTransferRequest(requestFrom(item.sender, {{1, "\xc3\x85.txt", 10, ""}}, "2410"),
                                 answers.decisionFor("x"));
    handler->showStatus(item.sender + " cancelled the transfer.");
    auto text = terminal.printed();
    EXPECT_EQ(text.rfind("\n" + item.shownLine + "\n", 0), 0u) << text;
    EXPECT_NE(text.find("\nPIN: 2410\nAccept? [y/n] "), std::string::npos) << text;
    if (std::string(item.locale) == "C") {
      EXPECT_TRUE(std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
          << text;
    }
  }
}

}  // namespace
}  // namespace orvel
