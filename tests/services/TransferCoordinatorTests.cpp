#include "services/TransferCoordinator.h"

#include <asio/error.hpp>
#include <gtest/gtest.h>

#include <limits>

#include "platform/Log.h"
#include "platform/MainLoop.h"
#include "services/FakeNotificationHandler.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

using test::FakeNotificationHandler;

TransferRequest requestFrom(const std::string& sender, std::vector<FileMetadata> files) {
  return TransferRequest{Uuid::random(), sender, std::move(files), "1234"};
}

class TransferCoordinatorTest : public ::testing::Test {
 protected:
  LogCapture log;
  Analytics analytics;
  std::shared_ptr<FakeNotificationHandler> prompt = std::make_shared<FakeNotificationHandler>();
  std::shared_ptr<TransferCoordinator> coordinator = TransferCoordinator::create(prompt, analytics);
  std::shared_ptr<ConnectionManager> manager = ConnectionManager::create();
};

TEST_F(TransferCoordinatorTest, AsksAboutEachRequestAndLogsItsSenderAndFiles) {
  auto one = requestFrom("Pixel 7", {{1, "photo.jpg", 2048, "image/jpeg"}});
  auto two = requestFrom("Galaxy", {{2, "a.txt", 1, "text/plain"}, {3, "b.txt", 2, "text/plain"}});
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, one);
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, two);

  EXPECT_EQ(log.linesStartingWith("[TransferCoordinator]"),
            (std::vector<std::string>{"[TransferCoordinator] Incoming transfer from Pixel 7 (photo.jpg)",
                                      "[TransferCoordinator] Incoming transfer from Galaxy (2 files)"}));
  ASSERT_EQ(prompt->asked.size(), 2u);
  EXPECT_EQ(prompt->asked[0].sessionId, one.sessionId);
  EXPECT_EQ(prompt->asked[1].pin, "1234");
}

TEST_F(TransferCoordinatorTest, AnAcceptIsLoggedAndRecordsNothing) {
  auto request = requestFrom("Pixel", {{1, "a", 1, ""}});
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, request);
  prompt->decisions.front()(true);
  EXPECT_TRUE(log.contains("[TransferCoordinator] User accepted transfer " + request.sessionId.uuidString()));
  EXPECT_TRUE(analytics.events().empty());
}

TEST_F(TransferCoordinatorTest, ADeclineIsLoggedAndRecorded) {
  auto request = requestFrom("Pixel", {{1, "a", 1, ""}});
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, request);
  prompt->decisions.front()(false);
  prompt->decisions.front()(true);  // a second answer to the same request is not taken
  EXPECT_TRUE(log.contains("[TransferCoordinator] User declined transfer " + request.sessionId.uuidString()));
  EXPECT_TRUE(log.linesStartingWith("[TransferCoordinator] User accepted").empty());
  ASSERT_EQ(analytics.events().size(), 1u);
  EXPECT_EQ(analytics.events().front().name, "transfer_declined");
}

TEST_F(TransferCoordinatorTest, CompletionIsLoggedRecordedAndShown) {
  struct Case {
    std::vector<FileMetadata> files;
    std::string line;
    double megabytes;
  };
  constexpr auto largest = std::numeric_limits<std::int64_t>::max();
  std::vector<Case> cases{
      {{{1, "movie.mp4", 3 * 1048576, "video/mp4"}}, "[TransferCoordinator] Transfer complete: movie.mp4 saved to Downloads", 3.0},
      {{{1, "a", 524288, ""}, {2, "b", 1048576, ""}}, "[TransferCoordinator] Transfer complete: 2 files saved to Downloads", 1.5},
      {{}, "[TransferCoordinator] Transfer complete: 0 files saved to Downloads", 0.0},
      // Sizes come from the sender: their sum must not overflow.
      {{{1, "a", largest, ""}, {2, "b", largest, ""}},
       "[TransferCoordinator] Transfer complete: 2 files saved to Downloads", 2.0 * 8796093022208.0},
  };
  for (auto& each : cases) {
    log.clear();
    auto events = analytics.events().size();
    TransferSession session{Uuid::random(), "Pixel", each.files, "1234", TransferState::completed};
    coordinator->connectionManagerDidCompleteTransfer(*manager, session);

    EXPECT_EQ(log.linesStartingWith("[TransferCoordinator]"), std::vector<std::string>{each.line});
    ASSERT_EQ(analytics.events().size(), events + 1);
    auto event = analytics.events().back();
    EXPECT_EQ(event.name, "transfer_received");
    EXPECT_EQ(event.properties["file_count"], each.files.size());
    EXPECT_DOUBLE_EQ(event.properties["total_size_mb"].get<double>(), each.megabytes);
    EXPECT_EQ(prompt->completed.back().id, session.id);
  }
}

TEST_F(TransferCoordinatorTest, AFailureWithdrawsTheQuestionAndALaterAnswerGoesNowhere) {
  auto request = requestFrom("Pixel", {{1, "a", 1, ""}});
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, request);
  TransferSession failed{request.sessionId, "Pixel", {}, "", TransferState::failed};
  coordinator->connectionManagerDidFailTransfer(*manager, failed, ConnectionError::transferFailed);

  EXPECT_TRUE(log.contains("[TransferCoordinator] Transfer failed from Pixel: transferFailed"));
  EXPECT_EQ(prompt->withdrawn, (std::vector<std::pair<Uuid, NotificationHandler::Withdrawal>>{
                                  {request.sessionId, NotificationHandler::Withdrawal::ended}}));
  prompt->decisions.front()(true);
  prompt->decisions.front()(false);
  EXPECT_TRUE(log.linesStartingWith("[TransferCoordinator] User").empty());
  EXPECT_TRUE(analytics.events().empty());
  EXPECT_TRUE(prompt->completed.empty());
}

TEST_F(TransferCoordinatorTest, AnAnswerCountsOnlyForTheRequestItWasGivenTo) {
  auto first = requestFrom("Pixel", {{1, "harmless.txt", 1, ""}});
  auto swapped = first;
  swapped.files = {{2, "other.bin", 1, ""}};
  swapped.offerNumber = first.offerNumber + 1;
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, first);
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, swapped);
  ASSERT_EQ(prompt->asked.size(), 2u);
  EXPECT_EQ(prompt->asked[1].files, swapped.files);

  prompt->decisions[0](true);  // given to the question that showed harmless.txt
  prompt->decisions[0](false);
  EXPECT_TRUE(log.linesStartingWith("[TransferCoordinator] User").empty());
  prompt->decisions[1](true);
  prompt->decisions[1](true);
  prompt->decisions[1](false);
  EXPECT_EQ(log.linesStartingWith("[TransferCoordinator] User"),
            std::vector<std::string>{"[TransferCoordinator] User accepted transfer " + first.sessionId.uuidString()});
  EXPECT_TRUE(analytics.events().empty());
}

TEST_F(TransferCoordinatorTest, ASenderThatLeftWithdrawsItsQuestionOrIsReportedOnce) {
  auto asked = requestFrom("Pixel", {{1, "a", 1, ""}});
  auto accepted = requestFrom("Galaxy", {{1, "b", 1, ""}});
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, asked);
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, accepted);
  prompt->decisions[1](true);
  auto cancel = [&](const TransferRequest& request) {
    coordinator->connectionManagerDidCancelTransfer(
        *manager, TransferSession{request.sessionId, request.senderName, {}, {}, TransferState::cancelled});
  };

  cancel(asked);
  EXPECT_EQ(prompt->withdrawn, (std::vector<std::pair<Uuid, NotificationHandler::Withdrawal>>{
                                  {asked.sessionId, NotificationHandler::Withdrawal::cancelled}}));
  cancel(accepted);
  EXPECT_EQ(prompt->withdrawn.size(), 1u) << "an answered question is no longer on screen";
  EXPECT_EQ(prompt->statuses, std::vector<std::string>{"Galaxy cancelled the transfer."});
  EXPECT_EQ(log.linesStartingWith("[TransferCoordinator] Transfer cancelled"),
            (std::vector<std::string>{"[TransferCoordinator] Transfer cancelled by Pixel",
                                      "[TransferCoordinator] Transfer cancelled by Galaxy"}));

  log.clear();
  cancel(asked);  // a declined connection closes too: nothing more to say
  cancel(requestFrom("Moto", {}));
  prompt->decisions[0](true);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(prompt->withdrawn.size(), 1u);
  EXPECT_EQ(prompt->statuses.size(), 1u);
}

TEST_F(TransferCoordinatorTest, AnAcceptedTransferThatFailsSaysWhyNamingTheFolderWhenItIsTheCause) {
  test::ScopedHome home;
  test::TemporaryDirectory folder;
  test::writeFile(folder.path() / "file", "");
  struct Case {
    std::filesystem::path downloads;
    EngineError error;
    bool accepted;
    std::string status;  // empty: none
    std::optional<UnsavedFile> unsaved = std::nullopt;
  };
  const std::filesystem::path stick = "/media/usb/Downloads";
  const auto missing = folder.path() / "missing";
  const std::vector<Case> cases{
      {missing, std::make_error_code(std::errc::no_such_file_or_directory), true,
       "The transfer from Pixel failed: the download folder " + missing.string() + " does not exist.",
       UnsavedFile{"a", missing}},
      {folder.path() / "file", std::make_error_code(std::errc::not_a_directory), true,
       "The transfer from Pixel failed: the download folder " + (folder.path() / "file").string() +
           " is not a folder."},
      {folder.path(), std::make_error_code(std::errc::no_space_on_device), true,
       "The transfer from Pixel failed: No space left on device."},
      {folder.path(), ConnectionError::transferFailed, true,
       "The transfer from Pixel failed: protocol error (transferFailed)."},
      // The system gave up on a phone that left the network, whatever the folder.
      {missing, asio::error::timed_out, true,
       "The transfer from Pixel failed: the phone stopped answering."},
      {folder.path(), std::error_code(EHOSTUNREACH, std::system_category()), true,
       "The transfer from Pixel failed: the phone stopped answering."},
      {missing, std::make_error_code(std::errc::no_such_file_or_directory), false, ""},
      // The drive would not take one file: that one is named, with the reason.
      {folder.path(), std::error_code(EINVAL, std::system_category()), true,
       "Could not save CON.txt in /media/usb/Downloads: the drive refuses that name", UnsavedFile{"CON.txt", stick}},
      {folder.path(), std::error_code(ENOSPC, std::system_category()), true,
       "Could not save a.mp4 in /media/usb/Downloads: the drive is full", UnsavedFile{"a.mp4", stick}},
      {folder.path(), std::error_code(EIO, std::system_category()), true,
       "Could not save a.mp4 in /media/usb/Downloads: the drive reported an input/output error",
       UnsavedFile{"a.mp4", stick}},
      {folder.path(), std::error_code(EXDEV, std::system_category()), true,
       "Could not save a.mp4 in /media/usb/Downloads: invalid cross-device link", UnsavedFile{"a.mp4", stick}},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.status);
    home.writeDownloadPath(each.downloads);
    prompt->statuses.clear();
    auto request = requestFrom("Pixel", {{1, "a", 1, ""}});
    coordinator->connectionManagerDidReceiveTransferRequest(*manager, request);
    if (each.accepted) prompt->decisions.back()(true);
    coordinator->connectionManagerDidFailTransfer(
        *manager, TransferSession{request.sessionId, "Pixel", {}, {}, TransferState::failed, each.unsaved},
        each.error);
    auto expected = each.status.empty() ? std::vector<std::string>{} : std::vector<std::string>{each.status};
    EXPECT_EQ(prompt->statuses, expected);
  }
}

TEST_F(TransferCoordinatorTest, AnswersAfterTheManagerOrCoordinatorAreGoneDoNoHarm) {
  auto first = requestFrom("Pixel", {{1, "a", 1, ""}});
  auto second = requestFrom("Pixel", {{1, "a", 1, ""}});
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, first);
  coordinator->connectionManagerDidReceiveTransferRequest(*manager, second);
  manager.reset();
  prompt->decisions[0](false);  // the manager is held weakly: only logged and recorded
  EXPECT_TRUE(log.contains("[TransferCoordinator] User declined transfer " + first.sessionId.uuidString()));
  coordinator.reset();
  prompt->decisions[1](true);
  EXPECT_FALSE(log.contains("[TransferCoordinator] User accepted transfer " + second.sessionId.uuidString()));
}

// Connections closed before their question are told of a few lines a
// window; the rest are counted in one line when it ends, which counts as a
// line of the next window.
TEST_F(TransferCoordinatorTest, ConnectionsClosedBeforeTheirQuestionAreToldOfInBoundedLines) {
  using namespace std::chrono_literals;
  coordinator = TransferCoordinator::create(prompt, analytics, 50ms);
  auto cut = [&](int count) {
    for (int i = 1; i <= count; ++i) {
      coordinator->connectionManagerDidCutConnection(*manager, "Phone " + std::to_string(i), "it was too slow");
    }
  };
  cut(10);  // the main loop does not run meanwhile: all within one window
  ASSERT_EQ(prompt->statuses.size(), TransferCoordinator::mostCutLines);
  EXPECT_EQ(prompt->statuses.front(), "Closed the connection from Phone 1 before its question: it was too slow.");
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return prompt->statuses.size() == 4; }, 10s));
  EXPECT_EQ(prompt->statuses.back(), "7 more connections were closed before their question.");

  cut(5);
  EXPECT_EQ(prompt->statuses.size(), 6u);
  ASSERT_TRUE(MainLoop::shared().runUntil([&] { return prompt->statuses.size() == 7; }, 10s));
  EXPECT_EQ(prompt->statuses.back(), "3 more connections were closed before their question.");
  prompt->statuses.clear();
  EXPECT_FALSE(MainLoop::shared().runUntil([&] { return !prompt->statuses.empty(); }, 200ms)) << "nothing more held";
  cut(1);
  EXPECT_EQ(prompt->statuses.size(), 1u) << "a quiet window lets lines through again";
}

}  // namespace
}  // namespace orvel
