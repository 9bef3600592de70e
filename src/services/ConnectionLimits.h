#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace orvel {

// What all senders together may make the receiver hold before the user
// answers. A phone makes one connection per transfer and reaches the question
// within a second or two, so none of these is ever met by an honest one.
struct ConnectionLimits {
  // Connections from accept until their offer is put to the user.
  std::size_t mostBeforeQuestion = 128;
  std::size_t mostBeforeQuestionPerAddress = 16;
  std::chrono::steady_clock::duration timeToQuestion = std::chrono::seconds(30);
  // Offers put to the user and not yet answered: a room of phones sending at
  // once. What they may store meanwhile is bounded for all of them together.
  std::size_t mostWaitingQuestions = 64;
  std::size_t mostWaitingQuestionsPerAddress = 2;
  // What the files of offers not yet answered store in the download folder:
  // bytes, gaps included, and files begun, each an open file. Past either
  // an early chunk is refused.
  std::int64_t mostBytesStoredBeforeAnswer = std::int64_t{16} << 20;
  std::size_t mostFilesStoredBeforeAnswer = 32;
  // Frame and gathered bytes held by connections the user has not accepted,
  // past a small allowance each.
  std::int64_t mostHeldBytes = std::int64_t{32} << 20;
  // A connection that is done (declined, or closed by its sender) waits
  // at most this long for its last frames to leave before its socket goes.
  std::chrono::steady_clock::duration lingerAfterEnd = std::chrono::seconds(3);
};

}  // namespace orvel
