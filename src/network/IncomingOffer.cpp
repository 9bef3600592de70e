#include "network/IncomingOffer.h"

#include <limits>
#include <string>
#include <utility>

#include "network/EngineError.h"
#include "network/FileWriter.h"
#include "network/StoredBeforeAnswerBudget.h"
#include "platform/Log.h"
#include "platform/Settings.h"

namespace orvel {

namespace {

// The question may stay open for hours: until the user accepts, a sender may
// leave only this much of its files with us, in bytes and in open files.
constexpr std::int64_t kMostBytesBeforeAnswer = 1 << 20;
constexpr std::size_t kMostFilesBeforeAnswer = 4;
// Each new offer puts the question again; one that never stops would keep
// the user from ever answering, and every other sender waiting.
constexpr int kMostUnansweredReplacements = 3;

// The offer's lines are its connection's.
void log(const std::string& text) { Log::write("[InboundConnection] " + text); }

}  // namespace

IncomingOffer::IncomingOffer() = default;

IncomingOffer::~IncomingOffer() { releaseStoredBeforeAnswer(); }

void IncomingOffer::setStoredBeforeAnswerBudget(std::shared_ptr<StoredBeforeAnswerBudget> budget) {
  storedBeforeAnswerBudget_ = std::move(budget);
}

bool IncomingOffer::replace(const FileList& files, bool replacesUnanswered) {
  if (!isAcceptable(files)) return false;
  if (replacesUnanswered && ++unansweredReplacements_ > kMostUnansweredReplacements) {
    log("Offer replaced " + std::to_string(unansweredReplacements_) + " times without an answer");
    return false;
  }
  discard();
  files_ = files;
  ++number_;
  return true;
}

// Two files under one payload id would be written into one file; a file of
// negative size can be neither shown nor received.
bool IncomingOffer::isAcceptable(const FileList& files) {
  for (std::size_t index = 0; index < files.size(); ++index) {
    const auto file = files[index];
    if (file.size < 0) {
      log("Negative size in INTRODUCTION: " + std::to_string(file.size));
      return false;
    }
    if (files.indexOf(file.payloadId) != index) {
      log("Duplicate payloadId in INTRODUCTION: " + std::to_string(file.payloadId));
      return false;
    }
  }
  return true;
}

// A new offer starts afresh: what was received under the old one was never
// shown with the new one, so no file begun or kept aside then may go on, and
// no payload id completed then counts for a file offered now. Files already
// saved with the user's consent stay where they are.
void IncomingOffer::discard() {
  cleanupWriters();
  completedPayloadIds_.clear();
  awaitingConsentPayloadIds_.clear();
  bytesHeldBeforeAnswer_ = 0;
  accepted_ = false;
}

void IncomingOffer::clear() {
  discard();
  files_ = FileList{};
}

void IncomingOffer::accept() {
  accepted_ = true;
  unansweredReplacements_ = 0;
  releaseStoredBeforeAnswer();
}

bool IncomingOffer::writeChunk(std::int64_t payloadId, std::int64_t offset, ByteView data, bool isLast) {
  auto found = fileWriters_.find(payloadId);
  FileWriter* writer = found == fileWriters_.end() ? nullptr : found->second.get();
  if (!writer) {
    const auto file = announcedFile(payloadId);
    if (!file) {
      log("Unknown payloadId: " + std::to_string(payloadId));
      return false;
    }
    writer = &writerFor(*file);
  }
  if (!accepted_) holdBeforeAnswer(*writer, offset, data.size());
  writer->write(data, offset);
  if (!isLast) return false;
  if (!writer->reachedExpectedSize()) {
    log("File " + std::to_string(payloadId) + " ended with " + std::to_string(writer->bytesWritten()) +
        " bytes, not with its announced size");
    throw ConnectionError::transferFailed;
  }

  // Nothing reaches the download folder without the user's consent: a file
  // that is whole before the decision waits in its temporary file, which a
  // decline deletes.
  if (!accepted_) {
    awaitingConsentPayloadIds_.insert(payloadId);
    return false;
  }
  return finishFile(payloadId);
}

std::optional<FileMetadata> IncomingOffer::announcedFile(std::int64_t payloadId) const {
  if (const auto index = files_.indexOf(payloadId)) return files_[*index];
  return std::nullopt;
}

FileWriter& IncomingOffer::writerFor(const FileMetadata& file) {
  if (!accepted_ && fileWriters_.size() >= kMostFilesBeforeAnswer) {
    log("More than " + std::to_string(kMostFilesBeforeAnswer) + " files begun before the answer");
    throw ConnectionError::transferFailed;
  }
  if (!accepted_ && storedBeforeAnswerBudget_) {
    if (!storedBeforeAnswerBudget_->tryChargeFile()) {
      log("More than " + std::to_string(storedBeforeAnswerBudget_->mostFiles()) +
          " files begun before their answers by all senders");
      throw ConnectionError::transferFailed;
    }
    ++storedFilesCharged_;
  }
  auto writer = std::make_unique<FileWriter>(file.name, file.size);
  return *fileWriters_.emplace(file.payloadId, std::move(writer)).first->second;
}

// Counted by the files' lengths, gaps included, as that is what they may come
// to take on disk. A write the writer refuses anyway is left to it.
void IncomingOffer::holdBeforeAnswer(const FileWriter& writer, std::int64_t offset, std::size_t length) {
  auto size = static_cast<std::int64_t>(length);
  if (offset < 0 || size > std::numeric_limits<std::int64_t>::max() - offset) return;
  std::int64_t growth = offset + size - writer.length();
  if (growth <= 0) return;
  if (growth > kMostBytesBeforeAnswer - bytesHeldBeforeAnswer_) {
    log("More than " + std::to_string(kMostBytesBeforeAnswer) + " bytes of files sent before the answer");
    throw ConnectionError::transferFailed;
  }
  if (storedBeforeAnswerBudget_) {
    if (!storedBeforeAnswerBudget_->tryChargeBytes(growth)) {
      log("More than " + std::to_string(storedBeforeAnswerBudget_->mostBytes()) +
          " bytes of files sent before their answers by all senders");
      throw ConnectionError::transferFailed;
    }
    storedBytesCharged_ += growth;
  }
  bytesHeldBeforeAnswer_ += growth;
}

// Once the offer is accepted its files belong to the transfer; once declined,
// failed, closed or replaced they are deleted: either way they no longer
// count among what unanswered offers store. Releases at most what was charged.
void IncomingOffer::releaseStoredBeforeAnswer() {
  if (!storedBeforeAnswerBudget_) return;
  storedBeforeAnswerBudget_->release(std::exchange(storedBytesCharged_, 0), std::exchange(storedFilesCharged_, 0));
}

void IncomingOffer::noteUnsavedFile(std::int64_t payloadId) {
  if (const auto file = announcedFile(payloadId)) {
    auto writer = fileWriters_.find(payloadId);
    unsavedFile_ = UnsavedFile{file->name, writer == fileWriters_.end() ? Settings::downloadFolder()
                                                                        : writer->second->finalPath().parent_path()};
  }
}

bool IncomingOffer::finishFile(std::int64_t payloadId) {
  fileWriters_.at(payloadId)->finalize();
  completedPayloadIds_.insert(payloadId);
  log("File complete: " + std::to_string(payloadId) + " (" + std::to_string(completedPayloadIds_.size()) + "/" +
      std::to_string(files_.size()) + ")");
  return everyAnnouncedFileComplete();
}

// Counting is enough: a new offer forgets the ids completed under the one
// before, only announced files are written, and an offer's ids are distinct.
bool IncomingOffer::everyAnnouncedFileComplete() const { return completedPayloadIds_.size() == files_.size(); }

void IncomingOffer::cleanupWriters() {
  for (auto& [payloadId, writer] : fileWriters_) writer->cleanup();
  fileWriters_.clear();
  releaseStoredBeforeAnswer();
}

}  // namespace orvel
