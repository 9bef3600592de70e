#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "protocol/ByteHelpers.h"
#include "storage/FileList.h"
#include "storage/UnsavedFile.h"

namespace orvel {

class FileWriter;
class StoredBeforeAnswerBudget;

// The files a sender offers over one connection and what has arrived of them:
// the offer of the last INTRODUCTION, what may be stored before the user
// answers, the writers of its files and whether they are all complete. It
// knows nothing of the stream they come over: what must end the connection is
// returned, or thrown as the engine's errors.
class IncomingOffer {
 public:
  IncomingOffer();
  ~IncomingOffer();  // the writers' own destructors delete whatever temporary file is left
  IncomingOffer(const IncomingOffer&) = delete;
  IncomingOffer& operator=(const IncomingOffer&) = delete;

  // Shared with the other connections; none means only this offer's own bound.
  void setStoredBeforeAnswerBudget(std::shared_ptr<StoredBeforeAnswerBudget> budget);

  const FileList& files() const { return files_; }
  std::uint64_t number() const { return number_; }  // of the last INTRODUCTION; 0 before the first
  bool isAccepted() const { return accepted_; }     // the user accepted the files of the last INTRODUCTION
  // After a drive error: the file the drive would not take. Kept by clear().
  const std::optional<UnsavedFile>& unsavedFile() const { return unsavedFile_; }

  // The files of a new INTRODUCTION, which `replacesUnanswered` when the last
  // one still waits for its answer. Returns false, having logged why, when
  // they may not be offered and the connection fails instead.
  bool replace(const FileList& files, bool replacesUnanswered);
  void accept();
  // The whole files kept aside until the user accepted; each is then finishFile()'s.
  std::set<std::int64_t> takeFilesAwaitingConsent() { return std::exchange(awaitingConsentPayloadIds_, {}); }

  // Both return whether every announced file is complete now.
  bool writeChunk(std::int64_t payloadId, std::int64_t offset, ByteView data, bool isLast);
  bool finishFile(std::int64_t payloadId);
  // An error of the system while a file is written or moved is the drive's:
  // the failure then names the file. A template, as it wraps every chunk.
  template <class Step>
  void onDrive(std::int64_t payloadId, Step step);

  // Deletes the files begun; those already saved stay where they are.
  void cleanupWriters();
  // Forgets the offer and its files; its number and the unsaved file stay.
  void clear();

 private:
  static bool isAcceptable(const FileList& files);
  void discard();
  std::optional<FileMetadata> announcedFile(std::int64_t payloadId) const;
  FileWriter& writerFor(const FileMetadata& file);
  void holdBeforeAnswer(const FileWriter& writer, std::int64_t offset, std::size_t length);
  void releaseStoredBeforeAnswer();
  void noteUnsavedFile(std::int64_t payloadId);
  bool everyAnnouncedFileComplete() const;

  FileList files_;
  std::uint64_t number_ = 0;
  int unansweredReplacements_ = 0;  // INTRODUCTIONs that replaced an offer still waiting for its answer
  bool accepted_ = false;
  std::unordered_map<std::int64_t, std::unique_ptr<FileWriter>> fileWriters_;
  std::unordered_set<std::int64_t> completedPayloadIds_;
  std::set<std::int64_t> awaitingConsentPayloadIds_;  // whole files kept aside until the user accepts
  std::int64_t bytesHeldBeforeAnswer_ = 0;  // the length of every file begun under the unanswered offer
  std::shared_ptr<StoredBeforeAnswerBudget> storedBeforeAnswerBudget_;
  std::int64_t storedBytesCharged_ = 0;  // to storedBeforeAnswerBudget_
  std::size_t storedFilesCharged_ = 0;
  std::optional<UnsavedFile> unsavedFile_;
};

template <class Step>
void IncomingOffer::onDrive(std::int64_t payloadId, Step step) {
  try {
    step();
  } catch (const std::system_error&) {
    noteUnsavedFile(payloadId);
    throw;
  }
}

}  // namespace orvel
