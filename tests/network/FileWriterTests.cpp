#include "network/FileWriter.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <system_error>

#include "network/FileWriterError.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

namespace fs = std::filesystem;

std::set<std::string> entries(const fs::path& folder) {
  std::set<std::string> names;
  for (auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// Writes `contents` in one chunk and finalizes; returns where it landed.
fs::path receive(const std::string& name, const std::string& contents) {
  FileWriter writer(name, static_cast<std::int64_t>(contents.size()));
  writer.write(byteView(contents), 0);
  writer.finalize();
  return writer.finalPath();
}

// A home of its own whose "Orvel.downloadPath" names a fresh folder.
class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { home_.writeDownloadPath(folder()); }
  const fs::path& folder() const { return downloads_.path(); }

  test::ScopedHome home_;
  test::TemporaryDirectory downloads_;
};

TEST(FileWriterFolder, SettingThenUserDirsThenHomeDownloads) {
  test::ScopedHome home;
  fs::create_directories(home.home() / "Downloads");
  EXPECT_EQ(receive("a.txt", "1"), home.home() / "Downloads" / "a.txt");

  fs::create_directories(home.home() / "Incoming");
  test::writeFile(home.configHome() / "user-dirs.dirs", "XDG_DOWNLOAD_DIR=\"$HOME/Incoming\"\n");
  EXPECT_EQ(receive("a.txt", "2"), home.home() / "Incoming" / "a.txt");

  test::TemporaryDirectory chosen;
  home.writeDownloadPath(chosen.path());
  auto saved = receive("a.txt", "3");
  EXPECT_EQ(saved, chosen.path() / "a.txt");
  EXPECT_EQ(test::readFile(saved), "3");

  // A value that is not a string is no setting.
  home.writeSettings(R"({"Orvel.downloadPath": 7})");
  EXPECT_EQ(receive("b.txt", "4"), home.home() / "Incoming" / "b.txt");
}

TEST(FileWriterFolder, WithoutOneThePrivateTemporaryFolderAndNeverTheSharedOne) {
  test::ScopedHome home;
  test::TemporaryDirectory shared, planted;
  test::ScopedEnvironment environment;
  environment.set("TMPDIR", shared.path().string());
  const auto privateFolder = Paths::privateTemporaryDirectory();
  EXPECT_EQ(receive("a.txt", "1"), privateFolder / "a.txt");
  const std::string abandoned = ".orvel-0A1B2C3D-0000-4000-8000-000000000000.part";
  test::writeFile(privateFolder / abandoned, "left");
  FileWriter::deleteAbandonedTemporaryFiles();
  EXPECT_EQ(entries(privateFolder), std::set<std::string>{"a.txt"});

  // A link planted by another user is refused, and the shared folder not
  // used instead; the start-up sweep does not follow it either.
  fs::remove_all(privateFolder);
  fs::create_directory_symlink(planted.path(), privateFolder);
  test::writeFile(planted.path() / abandoned, "theirs");
  try {
    FileWriter writer("b.txt", 1);
    ADD_FAILURE() << "created";
  } catch (const std::system_error& error) {
    EXPECT_THAT(error.what(), testing::HasSubstr(privateFolder.string()));
  }
  LogCapture log;
  FileWriter::deleteAbandonedTemporaryFiles();
  EXPECT_EQ(entries(planted.path()), std::set<std::string>{abandoned});
  EXPECT_TRUE(log.contains("[FileWriter] Not looking for unfinished files of an earlier run: cannot receive into " +
                           privateFolder.string() + ", which is not a directory: Not a directory"));
  EXPECT_EQ(entries(shared.path()), std::set<std::string>{privateFolder.filename().string()});
}

TEST_F(FileWriterTest, TemporaryFileIsHiddenInTheDownloadFolderUntilFinalized) {
  FileWriter writer("photo.jpg", 3);
  auto names = entries(folder());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_THAT(*names.begin(),
              testing::MatchesRegex(R"(\.orvel-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\.part)"));
  writer.write(byteView("abc"), 0);
  testing::internal::CaptureStdout();
  writer.finalize();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "File saved to: " + (folder() / "photo.jpg").string() + "\n");
  EXPECT_EQ(entries(folder()), std::set<std::string>{"photo.jpg"});
  EXPECT_EQ(test::readFile(folder() / "photo.jpg"), "abc");
}

TEST_F(FileWriterTest, UniqueNames) {
  struct Case {
    std::string name;
    std::vector<std::string> existing;
    std::string expected;
  };
  const Case cases[] = {
      {"a.txt", {}, "a.txt"},
      {"a.txt", {"a.txt"}, "a (1).txt"},
      {"a.txt", {"a.txt", "a (1).txt"}, "a (2).txt"},
      {"a.txt", {"a.txt", "a (2).txt"}, "a (1).txt"},
      {"README", {"README"}, "README (1)"},
      {"archive.tar.gz", {"archive.tar.gz", "archive.tar (1).gz"}, "archive.tar (2).gz"},
      {"a (1).txt", {"a (1).txt"}, "a (1) (1).txt"},
      {"a." + std::string(40, 'x'), {"a." + std::string(40, 'x')}, "a (1)." + std::string(40, 'x')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " -> " + c.expected);
    test::TemporaryDirectory downloads;
    home_.writeDownloadPath(downloads.path());
    for (const auto& existing : c.existing) test::writeFile(downloads.path() / existing, "old");
    EXPECT_EQ(receive(c.name, "new"), downloads.path() / c.expected);
    EXPECT_EQ(test::readFile(downloads.path() / c.expected), "new");
    for (const auto& existing : c.existing) EXPECT_EQ(test::readFile(downloads.path() / existing), "old");
  }
}

TEST_F(FileWriterTest, AfterAThousandTakenNamesARandomSuffix) {
  test::writeFile(folder() / "x.bin", "");
  for (int n = 1; n <= 1000; ++n) test::writeFile(folder() / ("x (" + std::to_string(n) + ").bin"), "");
  auto saved = receive("x.bin", "data");
  EXPECT_THAT(saved.filename().string(), testing::MatchesRegex(R"(x_[0-9A-F]{8}\.bin)"));
  EXPECT_EQ(test::readFile(saved), "data");
}

TEST_F(FileWriterTest, SameNameInOneTransferOneAfterTheOther) {
  EXPECT_EQ(receive("IMG.jpg", "first"), folder() / "IMG.jpg");
  EXPECT_EQ(receive("IMG.jpg", "second"), folder() / "IMG (1).jpg");
  EXPECT_EQ(test::readFile(folder() / "IMG.jpg"), "first");
  EXPECT_EQ(test::readFile(folder() / "IMG (1).jpg"), "second");
}

TEST_F(FileWriterTest, NameTakenAfterCreationMovesToTheNextFreeName) {
  FileWriter first("IMG.jpg", 5);
  FileWriter second("IMG.jpg", 6);
  EXPECT_EQ(first.finalPath(), second.finalPath());
  first.write(byteView("first"), 0);
  second.write(byteView("second"), 0);
  second.finalize();
  first.finalize();
  EXPECT_EQ(second.finalPath(), folder() / "IMG.jpg");
  EXPECT_EQ(first.finalPath(), folder() / "IMG (1).jpg");
  EXPECT_EQ(test::readFile(folder() / "IMG.jpg"), "second");
  EXPECT_EQ(test::readFile(folder() / "IMG (1).jpg"), "first");

  // Neither a file nor a dangling link put there meanwhile is replaced.
  FileWriter third("doc.pdf", 1);
  test::writeFile(folder() / "doc.pdf", "theirs");
  fs::create_symlink("/nonexistent/target", folder() / "doc (1).pdf");
  third.write(byteView("x"), 0);
  third.finalize();
  EXPECT_EQ(third.finalPath(), folder() / "doc (2).pdf");
  EXPECT_EQ(test::readFile(folder() / "doc.pdf"), "theirs");
  EXPECT_TRUE(fs::is_symlink(folder() / "doc (1).pdf"));
}

TEST_F(FileWriterTest, ChunksInReverseOrder) {
  FileWriter writer("r.bin", 20);
  writer.write(byteView("0123456789"), 10);
  EXPECT_EQ(writer.bytesWritten(), 10);
  EXPECT_FALSE(writer.reachedExpectedSize());
  writer.write(byteView("abcdefghij"), 0);
  EXPECT_EQ(writer.bytesWritten(), 20);
  writer.finalize();
  EXPECT_EQ(test::readFile(folder() / "r.bin"), "abcdefghij0123456789");
}

TEST_F(FileWriterTest, AFileWithAGapIsNotSavedUntilTheGapIsWritten) {
  FileWriter writer("g.bin", 6);
  writer.write(byteView("ab"), 4);
  writer.write(byteView("cd"), 0);
  writer.write(byteView("d"), 1);  // counted once
  EXPECT_EQ(writer.bytesWritten(), 4);
  EXPECT_THROW(writer.finalize(), FileWriterError);
  EXPECT_FALSE(fs::exists(folder() / "g.bin"));
  writer.write(byteView("xyz"), 1);
  writer.finalize();
  EXPECT_EQ(test::readFile(folder() / "g.bin"), "cxyzab");
}

TEST_F(FileWriterTest, EmptyFile) {
  FileWriter writer("empty.txt", 0);
  writer.write({}, 0);
  writer.finalize();
  EXPECT_TRUE(fs::exists(folder() / "empty.txt"));
  EXPECT_EQ(fs::file_size(folder() / "empty.txt"), 0u);
}

TEST_F(FileWriterTest, RefusedWrites) {
  auto expectError = [](auto&& action, FileWriterError expected) {
    try {
      action();
      ADD_FAILURE() << "no error";
    } catch (FileWriterError error) {
      EXPECT_EQ(error, expected);
    }
  };
  {
    FileWriter writer("a.bin", 1);
    expectError([&] { writer.write(byteView("x"), -1); }, FileWriterError::writeFailed);
    expectError([&] { writer.write(byteView("xy"), std::numeric_limits<std::int64_t>::max() - 1); },
                FileWriterError::writeFailed);
    expectError([&] { writer.write(byteView("xy"), 0); }, FileWriterError::writeFailed);  // past the expected size
    expectError([&] { writer.write(byteView("x"), 1); }, FileWriterError::writeFailed);
    EXPECT_FALSE(writer.reachedExpectedSize());
    writer.write(byteView("x"), 0);
    EXPECT_TRUE(writer.reachedExpectedSize());
    writer.finalize();
    EXPECT_EQ(test::readFile(folder() / "a.bin"), "x");
    expectError([&] { writer.write(byteView("x"), 0); }, FileWriterError::notOpen);
  }
  {
    // Scattered bytes cost a piece each, and the pieces are few.
    FileWriter writer("c.bin", 1000);
    for (std::int64_t offset = 0; offset < 512; offset += 2) writer.write(byteView("x"), offset);
    expectError([&] { writer.write(byteView("x"), 600); }, FileWriterError::writeFailed);
    writer.write(byteView("x"), 1);  // joins two pieces
    writer.write(byteView("x"), 600);
    EXPECT_EQ(writer.bytesWritten(), 258);
  }
  FileWriter writer("b.bin", 1);
  writer.cleanup();
  expectError([&] { writer.write(byteView("x"), 0); }, FileWriterError::notOpen);
}

TEST_F(FileWriterTest, CleanupAndDestructionDeleteTheTemporaryFile) {
  {
    FileWriter writer("a.bin", 4);
    writer.write(byteView("data"), 0);
    writer.cleanup();
    EXPECT_TRUE(entries(folder()).empty());
    writer.cleanup();
  }
  {
    FileWriter writer("a.bin", 4);
    writer.write(byteView("data"), 0);
  }
  EXPECT_TRUE(entries(folder()).empty());
  {
    FileWriter writer("a.bin", 4);
    writer.write(byteView("data"), 0);
    writer.finalize();
    writer.cleanup();  // after a move there is nothing to delete
  }
  EXPECT_EQ(entries(folder()), std::set<std::string>{"a.bin"});
}

// The folder renamed mid-file, an empty one put in its place: the file is not
// saved, in neither, and its temporary file goes from where it is.
TEST_F(FileWriterTest, AFolderMovedAwayFailsTheFileAndKeepsNoTemporaryFile) {
  const auto inner = folder() / "inner", moved = folder() / "moved";
  fs::create_directory(inner);
  home_.writeDownloadPath(inner);
  FileWriter writer("a.bin", 4);
  writer.write(byteView("da"), 0);
  fs::rename(inner, moved);
  fs::create_directory(inner);
  writer.write(byteView("ta"), 2);
  EXPECT_THROW(writer.finalize(), std::system_error);
  writer.cleanup();
  EXPECT_TRUE(entries(moved).empty());
  EXPECT_TRUE(entries(inner).empty());
  // Writers after it take the folder now at the path.
  EXPECT_EQ(receive("b.bin", "b"), inner / "b.bin");
}

TEST_F(FileWriterTest, OnlyAnUnfinishedWriterHoldsADescriptorWithItsLock) {
  const auto before = test::openDescriptorCount();
  FileWriter finished("a.bin", 1), cleanedUp("b.bin", 1), unfinished("c.bin", 1);
  EXPECT_EQ(test::openDescriptorCount(), before + 3 + 1) << "one each, and the folder's shared";
  finished.write(byteView("a"), 0);
  finished.finalize();
  cleanedUp.cleanup();
  EXPECT_EQ(test::openDescriptorCount(), before + 1 + 1);

  auto temporary = folder() / *entries(folder()).begin();  // sorts before "a.bin"
  int other = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << "the writer holds its temporary file locked";
  unfinished.cleanup();
  EXPECT_EQ(test::openDescriptorCount(), before + 1);  // the other one
  ::close(other);
}

// At start-up, files of writers that no process holds any more go.
TEST_F(FileWriterTest, AbandonedTemporaryFilesAreDeletedAndHeldOnesKept) {
  LogCapture log;
  FileWriter held("kept.bin", 4);
  held.write(byteView("kept"), 0);
  const auto heldName = *entries(folder()).begin();
  const std::string abandoned = ".orvel-0A1B2C3D-0000-4000-8000-000000000000.part";
  // Names a writer never makes, some of them close.
  const std::set<std::string> others = {".orvel-notes.txt", "movie.part", ".orvel-.part", ".orvel-x.part",
                                        ".orvel-0a1b2c3d-0000-4000-8000-000000000000.part",
                                        ".orvel-0A1B2C3D-0000-4000-8000-00000000000.part",
                                        ".orvel-0A1B2C3D-0000-4000-8000-0000000000000.part",
                                        ".orvel-0A1B2C3D_0000-4000-8000-000000000000.part",
                                        ".orvel-0A1B2C3D-0000-4000-8000-00000000000G.part"};
  test::writeFile(folder() / abandoned, "left");
  for (const auto& name : others) test::writeFile(folder() / name, "theirs");
  // Of the writer's form, yet no file of a writer: a folder, and a link to a file elsewhere.
  const std::string folderName = ".orvel-11111111-0000-4000-8000-000000000000.part";
  const std::string linkName = ".orvel-22222222-0000-4000-8000-000000000000.part";
  fs::create_directory(folder() / folderName);
  test::TemporaryDirectory elsewhere;
  test::writeFile(elsewhere.path() / "target", "kept");
  fs::create_symlink(elsewhere.path() / "target", folder() / linkName);

  FileWriter::deleteAbandonedTemporaryFiles(folder());
  auto expected = others;
  expected.insert({heldName, folderName, linkName});
  EXPECT_EQ(entries(folder()), expected);
  EXPECT_EQ(test::readFile(elsewhere.path() / "target"), "kept");
  EXPECT_EQ(log.lines(), std::vector<std::string>{"[FileWriter] Deleted the unfinished file of an earlier run: " +
                                                  (folder() / abandoned).string()});
  held.finalize();
  EXPECT_EQ(test::readFile(folder() / "kept.bin"), "kept");
  FileWriter::deleteAbandonedTemporaryFiles(folder() / "missing");  // nothing to do, nothing thrown
}

TEST_F(FileWriterTest, MissingFolderThrowsAndLeavesNothing) {
  home_.writeDownloadPath(folder() / "missing");
  EXPECT_THROW(FileWriter("a.txt", 1), std::system_error);
  home_.writeSettings(R"({"Orvel.downloadPath": ""})");
  EXPECT_THROW(FileWriter("a.txt", 1), std::system_error);
  test::writeFile(folder() / "plain", "");
  home_.writeDownloadPath(folder() / "plain");
  EXPECT_THROW(FileWriter("a.txt", 1), std::system_error);
  EXPECT_EQ(entries(folder()), std::set<std::string>{"plain"});
}

TEST(FileWriterNames, HostileNamesBecomeOneReadableComponent) {
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  std::string euros;
  for (int i = 0; i < 100; ++i) euros += euro;
  struct Case {
    std::string name;
    std::size_t nameMax;
    std::string expected;
  };
  const Case cases[] = {
      {"photo.jpg", 255, "photo.jpg"},
      {"r\xC3\xA9sum\xC3\xA9 (final).pdf", 255, "r\xC3\xA9sum\xC3\xA9 (final).pdf"},
      {"", 255, "file"},
      {".", 255, "file"},
      {"..", 255, "file"},
      {"...", 255, "file"},
      {".bashrc", 255, "bashrc"},
      {".orvel-0000.part", 255, "orvel-0000.part"},
      {"../../etc/passwd", 255, "_.._etc_passwd"},
      {"/etc/passwd", 255, "_etc_passwd"},
      {"dir/", 255, "dir_"},
      {"/", 255, "_"},
      {std::string("a\0b.txt", 7), 255, "a_b.txt"},
      {"a\nb\tc\x1b[31m\x7f.txt", 255, "a_b_c_[31m_.txt"},
      // C1 controls: CSI and NEL
      {"a\xC2\x9B" "31mb\xC2\x85" "c.txt", 255, "a_31mb_c.txt"},
      // every bidirectional control: the first would show this .exe as "invoiceexe.pdf"
      {"invoice\xE2\x80\xAE" "fdp.exe", 255, "invoice_fdp.exe"},
      {"x\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\xAE"
       "\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9\xD8\x9C.txt",
       255, "x____________.txt"},
      // their neighbours stay: no-break space, narrow no-break space, zero-width joiner, U+2065
      {"a\xC2\xA0" "b\xE2\x80\xAF" "c\xE2\x80\x8D" "d\xE2\x81\xA5.txt", 255,
       "a\xC2\xA0" "b\xE2\x80\xAF" "c\xE2\x80\x8D" "d\xE2\x81\xA5.txt"},
      // bytes that are no UTF-8, a cut sequence among them
      {"a\xFF" "b\xC3.txt", 255, "a_b_.txt"},
      // Cut on a character boundary, the extension kept, room left for " (1000)" and "_XXXXXXXX".
      {euros + ".jpg", 255, euros.substr(0, 240) + ".jpg"},
      {std::string(300, 'a') + ".jpg", 255, std::string(242, 'a') + ".jpg"},
      {"a." + std::string(300, 'b'), 255, "a." + std::string(244, 'b')},
      {"a." + std::string(40, 'b'), 255, "a." + std::string(40, 'b')},
      {"abcdefghijklmnopqrstuvwxyz.txt", 20, "abcdefg.txt"},
      {"abc.toolongforthislimit", 20, "abc.toolong"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(FileWriter::safeFilename(c.name, c.nameMax), c.expected);
  }
}

TEST_F(FileWriterTest, HostileNamesLandInsideTheDownloadFolder) {
  fs::create_directories(folder() / "inner");
  home_.writeDownloadPath(folder() / "inner");
  const std::string names[] = {"../escape.txt", "..", ".", "", "/tmp/abs.txt", ".hidden", "sub/dir/x"};
  for (const auto& name : names) receive(name, name);
  EXPECT_EQ(entries(folder()), std::set<std::string>{"inner"});
  EXPECT_EQ(entries(folder() / "inner"),
            (std::set<std::string>{"_escape.txt", "file", "file (1)", "file (2)", "_tmp_abs.txt", "hidden",
                                   "sub_dir_x"}));

  // A longest name still takes its unique suffixes on disk.
  auto longName = std::string(400, 'n') + ".mov";
  auto first = receive(longName, "1");
  auto second = receive(longName, "2");
  EXPECT_EQ(first.filename().string(), std::string(242, 'n') + ".mov");
  EXPECT_EQ(second.filename().string(), std::string(242, 'n') + " (1).mov");

  // The terminal line shows the name as it is on disk.
  testing::internal::CaptureStdout();
  receive("photo\xE2\x80\xAEgpj.exe\xC2\x9B" "2J", "x");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "File saved to: " + (folder() / "inner" / "photo_gpj.exe_2J").string() + "\n");
}

TEST(FileWriterNames, PortableNamesForDrivesThatRefuseTheSafeOne) {
  const std::string e = "\xC3\xA9";  // two bytes, one UTF-16 unit
  std::string es;
  for (int i = 0; i < 300; ++i) es += e;
  struct Case {
    std::string name;
    std::size_t nameMax;
    std::string expected;
  };
  const Case cases[] = {
      {"Notes 10:30.pdf", 1530, "Notes 10_30.pdf"},
      {R"(a:b?c*d"e<f>g|h\i.txt)", 1530, "a_b_c_d_e_f_g_h_i.txt"},
      {"plain.txt", 1530, "plain.txt"},
      // FAT counts UTF-16 units, not bytes: room is left for the unique suffix.
      {es + ".jpg", 1530, es.substr(0, 242) + ".jpg"},
      {std::string(300, 'a') + ":.txt", 1530, std::string(242, 'a') + ".txt"},
      {"abcdefghijklmnopqrstuvwxyz.txt", 20, "abcdefg.txt"},
      // Trailing spaces and dots, which FAT drops.
      {"notes.", 1530, "notes"},
      {"notes ", 1530, "notes"},
      {"notes . .", 1530, "notes"},
      {"a:. ", 1530, "a_"},
      {" ", 1530, "file"},
      // Windows' device names, plain, with extensions, in any case, with a dot inside.
      {"CON", 1530, "CON_"},
      {"aux", 1530, "aux_"},
      {"PRN", 1530, "PRN_"},
      {"CON.txt", 1530, "CON_.txt"},
      {"nul.pdf", 1530, "nul_.pdf"},
      {"COM1.jpg", 1530, "COM1_.jpg"},
      {"lpt9.txt", 1530, "lpt9_.txt"},
      {"Aux.Notes.txt", 1530, "Aux_.Notes.txt"},
      {"con.tar.gz", 1530, "con_.tar.gz"},
      {"nul.", 1530, "nul_"},
      {"COM0.txt", 1530, "COM0.txt"},
      {"COM10.txt", 1530, "COM10.txt"},
      {"CONSOLE.txt", 1530, "CONSOLE.txt"},
      {"my con.txt", 1530, "my con.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(FileWriter::portableFilename(c.name, c.nameMax), c.expected);
  }
}

TEST(FileWriterNames, ThePlainNameKeepsOnlyAPlainExtension) {
  const std::pair<std::string, std::string> cases[] = {
      {"report.pdf", "file.pdf"},   {"CON.txt", "file.txt"},      {"archive.tar.gz", "file.gz"},
      {"README", "file"},           {"a.p@f", "file"},            {"a.jpeg2000x", "file"},
      {"a.\xC3\xA9t\xC3\xA9", "file"}, {"photo.JPG", "file.JPG"},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(FileWriter::plainFilename(name), expected) << name;
}

// Runs only inside FileWriterFailure.test.sh, whose preloaded shim makes those
// folders refuse names as a FAT drive (EINVAL) and exFAT through FUSE
// (ENOENT, neither RENAME_NOREPLACE nor hard links) do.
TEST_F(FileWriterTest, NamesTheDriveRefusesAreSavedUnderPortableOnes) {
  const char* fat = std::getenv("ORVEL_TEST_FAT_FOLDER");
  const char* exfat = std::getenv("ORVEL_TEST_EXFAT_FOLDER");
  if (!fat || !exfat) GTEST_SKIP() << "needs the preloaded shim of FileWriterFailure.test.sh";
  struct Case {
    std::string name;
    std::vector<std::string> existing;
    std::string expected;
    std::string alsoRefused = "";  // beyond what the drive refuses anyway
  };
  const Case cases[] = {
      {"Notes 10:30.pdf", {}, "Notes 10_30.pdf"},
      {"Notes 10:30.pdf", {"Notes 10_30.pdf"}, "Notes 10_30 (1).pdf"},
      {"what?.txt", {"what_.txt", "what_ (1).txt"}, "what_ (2).txt"},
      {"plain.txt", {}, "plain.txt"},
      {"notes.", {}, "notes"},
      {"notes ", {"notes"}, "notes (1)"},
      {"Aux.Notes.txt", {}, "Aux_.Notes.txt"},
      {"con.tar.gz", {}, "con_.tar.gz"},
      {"LPT1", {}, "LPT1_"},
      {"odd:name.pdf", {"file.pdf"}, "file (1).pdf", "odd_name.pdf"},
      {"CON", {}, "file", "CON_"},
  };
  int round = 0;
  for (const char* drive : {fat, exfat}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(drive) + ": " + c.name + " -> " + c.expected);
      const auto folder = fs::path(drive) / std::to_string(++round);
      fs::create_directory(folder);
      home_.writeDownloadPath(folder);
      for (const auto& existing : c.existing) test::writeFile(folder / existing, "old");
      ::setenv("ORVEL_TEST_REFUSED_NAMES", c.alsoRefused.c_str(), 1);
      testing::internal::CaptureStdout();
      try {
        EXPECT_EQ(receive(c.name, "new"), folder / c.expected);
      } catch (const std::system_error& error) {
        ADD_FAILURE() << error.what();
      }
      ::unsetenv("ORVEL_TEST_REFUSED_NAMES");
      EXPECT_EQ(testing::internal::GetCapturedStdout(), "File saved to: " + (folder / c.expected).string() + "\n");
      EXPECT_EQ(test::readFile(folder / c.expected), "new");
      for (const auto& existing : c.existing) EXPECT_EQ(test::readFile(folder / existing), "old");
      EXPECT_EQ(entries(folder).size(), c.existing.size() + 1) << "no temporary file or reservation is left";
    }
  }
}

// Runs only inside FileWriterFailure.test.sh, whose preloaded shim makes every
// close of a file in that folder report EIO, as NFS does for a lost write.
TEST_F(FileWriterTest, AWriteErrorReportedAtCloseLeavesNothingUnderTheFinalName) {
  const char* failing = std::getenv("ORVEL_TEST_CLOSE_FAILS_FOLDER");
  if (!failing) GTEST_SKIP() << "needs the preloaded shim of FileWriterFailure.test.sh";
  home_.writeDownloadPath(failing);
  FileWriter writer("report.pdf", 4);
  writer.write(byteView("data"), 0);
  try {
    writer.finalize();
    FAIL() << "finalize did not fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EIO);
  }
  EXPECT_FALSE(fs::exists(fs::path(failing) / "report.pdf"));
  writer.cleanup();
  EXPECT_TRUE(entries(failing).empty());
}

// Runs only inside FileWriterFailure.test.sh, whose shim makes that folder act
// as a full one on a FUSE drive, where an open file cannot be deleted.
TEST_F(FileWriterTest, AFileThatCannotBeDeletedWhileOpenGoesOnceClosed) {
  const char* full = std::getenv("ORVEL_TEST_FULL_FUSE_FOLDER");
  if (!full) GTEST_SKIP() << "needs the preloaded shim of FileWriterFailure.test.sh";
  home_.writeDownloadPath(full);
  FileWriter writer("a.bin", 4);
  writer.write(byteView("da"), 0);
  writer.cleanup();
  EXPECT_TRUE(entries(full).empty());
  test::writeFile(fs::path(full) / ".orvel-0A1B2C3D-0000-4000-8000-000000000000.part", "left");
  FileWriter::deleteAbandonedTemporaryFiles(full);
  EXPECT_TRUE(entries(full).empty());
}

// Runs only inside FileWriterFailure.test.sh, whose shim makes the move on the
// exFAT folder go over a reservation, and ends the process before the
// reservation is made or before the move. Only the reservation itself goes;
// an empty file that a person made, or touched since, stays.
TEST_F(FileWriterTest, AnEmptyFileANoteNamesGoesAtTheNextStartOnlyWhenItIsTheReservation) {
  const char* exfat = std::getenv("ORVEL_TEST_EXFAT_FOLDER");
  if (!exfat) GTEST_SKIP() << "needs the preloaded shim of FileWriterFailure.test.sh";
  enum class Person { away, makesTheFile, touchesTheFile };
  struct Case {
    const char* stopAt;
    Person person;
    std::set<std::string> left;
  };
  const Case cases[] = {
      {"ORVEL_TEST_STOP_AT_RENAME", Person::away, {"theirs.txt"}},
      {"ORVEL_TEST_STOP_AT_RESERVATION", Person::makesTheFile, {"theirs.txt", "photo.jpg"}},
      {"ORVEL_TEST_STOP_AT_RENAME", Person::touchesTheFile, {"theirs.txt", "photo.jpg"}},
  };
  int round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.stopAt) + ", case " + std::to_string(round + 1));
    const auto stopped = fs::path(exfat) / ("stopped-" + std::to_string(++round));
    fs::create_directories(stopped);
    home_.writeDownloadPath(stopped);
    test::writeFile(stopped / "theirs.txt", "");
    EXPECT_EXIT(
        {
          ::setenv(c.stopAt, "1", 1);
          receive("photo.jpg", "data");
        },
        testing::ExitedWithCode(0), "");
    ASSERT_EQ(entries(stopped).size(), c.person == Person::makesTheFile ? 3u : 4u) << "the .part and its note";
    if (c.person == Person::makesTheFile) test::writeFile(stopped / "photo.jpg", "");
    if (c.person == Person::touchesTheFile) {
      struct stat status;
      ASSERT_EQ(::stat((stopped / "photo.jpg").c_str(), &status), 0);
      const timespec later[2] = {{status.st_mtim.tv_sec + 5, 0}, {status.st_mtim.tv_sec + 5, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, (stopped / "photo.jpg").c_str(), later, 0), 0);
    }
    LogCapture log;
    FileWriter::deleteAbandonedTemporaryFiles(stopped);
    EXPECT_EQ(entries(stopped), c.left);
    const auto path = (stopped / "photo.jpg").string();
    EXPECT_TRUE(log.contains(c.person == Person::away
                                 ? "[FileWriter] Deleted the empty reservation of an earlier run: " + path
                                 : "[FileWriter] Kept the empty file " + path +
                                       ", which an earlier run was to reserve: it may be someone else's"));
  }
}

// Runs only inside FileWriterFailure.test.sh, which mounts a 64 KiB tmpfs there.
TEST_F(FileWriterTest, FullFolderFailsTheWriteAndCleanupLeavesNothing) {
  const char* full = std::getenv("ORVEL_TEST_FULL_FOLDER");
  if (!full) GTEST_SKIP() << "needs the tiny tmpfs of FileWriterFailure.test.sh";
  home_.writeDownloadPath(full);
  FileWriter writer("big.bin", 1 << 20);
  std::string megabyte(1 << 20, 'x');
  try {
    writer.write(byteView(megabyte), 0);
    FAIL() << "the write did not fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOSPC);
  }
  writer.cleanup();
  EXPECT_TRUE(entries(full).empty());
}

// Runs only inside FileWriterFailure.test.sh, which makes that folder a read-only mount.
TEST_F(FileWriterTest, ReadOnlyFolderFailsCreationAndLeavesNothing) {
  const char* readOnly = std::getenv("ORVEL_TEST_READ_ONLY_FOLDER");
  if (!readOnly) GTEST_SKIP() << "needs the read-only mount of FileWriterFailure.test.sh";
  home_.writeDownloadPath(readOnly);
  try {
    FileWriter writer("a.txt", 1);
    FAIL() << "creation did not fail";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), EROFS);
  }
  EXPECT_TRUE(entries(readOnly).empty());
}

}  // namespace
}  // namespace orvel
