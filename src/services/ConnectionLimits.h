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
  // Until then a sender must keep sending: one silent this long is closed,
  // and so is one that sends less than `leastPaceBeforeQuestion` bytes a
  // second over a `paceWindow`. A phone on a weak link (200 kbit/s, some
  // 25 KB/s) sends 25 times that pace, however long its offer takes.
  std::chrono::steady_clock::duration timeToQuestion = std::chrono::seconds(30);
  std::uint64_t leastPaceBeforeQuestion = 1024;
  std::chrono::steady_clock::duration paceWindow = std::chrono::seconds(30);
  // A new connection keeps its place this long before its first bytes: a
  // phone's arrive within milliseconds, and a crowd of newcomers then turns
  // itself away instead of pushing out the one before. Past the total, one
  // silent longer than this makes room before one that keeps sending.
  std::chrono::steady_clock::duration firstBytesGrace = std::chrono::milliseconds(500);
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
