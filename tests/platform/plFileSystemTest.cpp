#include "plFileSystem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "plFaultFileSystem.h"

namespace {

using platform::FileAccess;
using platform::FileId;
using platform::FileOpenOptions;
using platform::FileShare;

// Each test runs against the POSIX file system in a fresh folder and
// against the in-memory one.
class FileSystemTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam()) {
      fs_ = &platform::posixFileSystem();
      char pattern[] = "/tmp/nxfsXXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      dir_ = pattern;
    } else {
      fs_ = &fault_;
      dir_ = "/data";
      fault_.makeDirectory(dir_);
    }
  }
  void TearDown() override {
    if (GetParam()) std::filesystem::remove_all(dir_);
  }
  std::string path(const std::string& aName) const { return dir_ + "/" + aName; }

  platform::FaultFileSystem fault_;
  platform::FileSystem* fs_ = nullptr;
  std::string dir_;
};

TEST_P(FileSystemTest, PositionedWritesAndReads) {
  FileId f;
  ASSERT_EQ(fs_->open(path("a.nx1"), {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  std::size_t done = 0;
  ASSERT_EQ(fs_->writeAt(f, "world", 5, 8192, done), 0);
  EXPECT_EQ(done, 5u);
  std::int64_t size = 0;
  ASSERT_EQ(fs_->size(f, size), 0);
  EXPECT_EQ(size, 8197);
  char buffer[16] = {};
  ASSERT_EQ(fs_->readAt(f, buffer, 16, 8190, done), 0);
  EXPECT_EQ(done, 7u);  // short at the end of the file
  EXPECT_EQ(std::string(buffer + 2, 5), "world");
  EXPECT_EQ(buffer[0], 0);
  ASSERT_EQ(fs_->readAt(f, buffer, 4, 9000, done), 0);
  EXPECT_EQ(done, 0u);
  ASSERT_EQ(fs_->truncate(f, 4096), 0);
  ASSERT_EQ(fs_->size(f, size), 0);
  EXPECT_EQ(size, 4096);
  EXPECT_EQ(fs_->sync(f), 0);
  EXPECT_EQ(fs_->close(f), 0);
  FileId missing;
  EXPECT_EQ(fs_->open(path("none.nx1"), {FileAccess::read, FileShare::readWrite, false, false}, missing), ENOENT);
}

// The share rule between two opens of one file, also inside one process.
TEST_P(FileSystemTest, ShareModesConflictAsTheRuleSays) {
  struct Case {
    FileAccess firstAccess;
    FileShare firstShare;
    FileAccess secondAccess;
    FileShare secondShare;
    bool opens;
  };
  const Case cases[] = {
      {FileAccess::readWrite, FileShare::none, FileAccess::read, FileShare::readWrite, false},
      {FileAccess::readWrite, FileShare::readWrite, FileAccess::readWrite, FileShare::readWrite, true},
      {FileAccess::readWrite, FileShare::read, FileAccess::read, FileShare::readWrite, true},
      {FileAccess::readWrite, FileShare::read, FileAccess::readWrite, FileShare::readWrite, false},
      {FileAccess::read, FileShare::read, FileAccess::read, FileShare::read, true},
      {FileAccess::read, FileShare::read, FileAccess::readWrite, FileShare::read, false},
      {FileAccess::read, FileShare::readWrite, FileAccess::read, FileShare::none, false},
  };
  {
    FileId f;
    ASSERT_EQ(fs_->open(path("s.nx1"), {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
    fs_->close(f);
  }
  for (const Case& c : cases) {
    FileId first, second;
    ASSERT_EQ(fs_->open(path("s.nx1"), {c.firstAccess, c.firstShare, false, false}, first), 0);
    const int err = fs_->open(path("s.nx1"), {c.secondAccess, c.secondShare, false, false}, second);
    EXPECT_EQ(err == 0, c.opens) << int(c.firstAccess) << int(c.firstShare) << int(c.secondAccess)
                                 << int(c.secondShare);
    if (err == 0) {
      fs_->close(second);
    } else {
      EXPECT_EQ(err, EWOULDBLOCK);
    }
    fs_->close(first);
  }
  // Once the first is closed the file opens exclusively again.
  FileId again;
  EXPECT_EQ(fs_->open(path("s.nx1"), {FileAccess::readWrite, FileShare::none, false, false}, again), 0);
  fs_->close(again);
}

TEST_P(FileSystemTest, FolderOperationsAndPathFacts) {
  FileId f;
  ASSERT_EQ(fs_->open(path("Table.NX1"), {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  fs_->close(f);
  std::vector<std::string> names;
  ASSERT_EQ(fs_->listDirectory(dir_, names), 0);
  EXPECT_EQ(names, std::vector<std::string>{"Table.NX1"});
  platform::PathInfo info;
  ASSERT_EQ(fs_->pathInfo(dir_, info), 0);
  EXPECT_TRUE(info.isDirectory);
  // A folder named with a trailing "/" is the same folder.
  names.clear();
  ASSERT_EQ(fs_->listDirectory(dir_ + "/", names), 0);
  EXPECT_EQ(names, std::vector<std::string>{"Table.NX1"});
  ASSERT_EQ(fs_->pathInfo(dir_ + "/", info), 0);
  EXPECT_TRUE(info.isDirectory);
  ASSERT_EQ(fs_->rename(path("Table.NX1"), path("b.nx1")), 0);
  EXPECT_EQ(fs_->pathInfo(path("Table.NX1"), info), ENOENT);
  ASSERT_EQ(fs_->pathInfo(path("b.nx1"), info), 0);
  EXPECT_FALSE(info.isDirectory);
  EXPECT_TRUE(info.writable);
  EXPECT_EQ(fs_->syncDirectory(dir_), 0);
  EXPECT_EQ(fs_->remove(path("b.nx1")), 0);
  EXPECT_EQ(fs_->remove(path("b.nx1")), ENOENT);
  std::string type;
  EXPECT_EQ(fs_->fileSystemType(dir_, type), 0);
  EXPECT_FALSE(type.empty());
}

// A rename never replaces what is already there; both files stay as they were.
TEST_P(FileSystemTest, RenameRefusesAnExistingTarget) {
  for (const char* name : {"from.nx1", "to.nx1"}) {
    FileId f;
    ASSERT_EQ(fs_->open(path(name), {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
    std::size_t done = 0;
    ASSERT_EQ(fs_->writeAt(f, name, 2, 0, done), 0);
    fs_->close(f);
  }
  EXPECT_EQ(fs_->rename(path("from.nx1"), path("to.nx1")), EEXIST);
  for (const char* name : {"from.nx1", "to.nx1"}) {
    FileId f;
    ASSERT_EQ(fs_->open(path(name), {FileAccess::read, FileShare::readWrite, false, false}, f), 0);
    char buffer[2] = {};
    std::size_t done = 0;
    ASSERT_EQ(fs_->readAt(f, buffer, 2, 0, done), 0);
    EXPECT_EQ(std::string(buffer, 2), std::string(name, 2));
    fs_->close(f);
  }
}

// The fallback for file systems without a no-replace rename moves a file
// like a rename and, like it, never replaces one.
TEST(PosixFileSystem, TheLinkFallbackMovesAndNeverReplaces) {
  char pattern[] = "/tmp/nxfsXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  platform::FileSystem& fs = platform::posixFileSystem();
  auto put = [&](const std::string& aName, const std::string& aText) {
    FileId f;
    ASSERT_EQ(fs.open(dir + "/" + aName, {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
    std::size_t done = 0;
    ASSERT_EQ(fs.writeAt(f, aText.data(), aText.size(), 0, done), 0);
    fs.close(f);
  };
  auto text = [&](const std::string& aName) {
    FileId f;
    if (fs.open(dir + "/" + aName, {FileAccess::read, FileShare::readWrite, false, false}, f) != 0) return std::string("-");
    char buffer[8] = {};
    std::size_t done = 0;
    fs.readAt(f, buffer, sizeof buffer, 0, done);
    fs.close(f);
    return std::string(buffer, done);
  };
  put("a", "old");
  put("b", "kept");
  EXPECT_EQ(platform::renameByLink(dir + "/a", dir + "/b"), EEXIST);
  EXPECT_EQ(text("a"), "old");
  EXPECT_EQ(text("b"), "kept");
  ASSERT_EQ(platform::renameByLink(dir + "/a", dir + "/c"), 0);
  EXPECT_EQ(text("a"), "-");
  EXPECT_EQ(text("c"), "old");
  EXPECT_EQ(platform::renameByLink(dir + "/a", dir + "/d"), ENOENT);
  EXPECT_EQ(text("d"), "-");
  std::filesystem::remove_all(dir);
}

TEST(FaultFileSystem, WritesStampTheModificationTimeFromTheTestClock) {
  platform::FaultFileSystem fs;
  fs.makeDirectory("/d");
  fs.setClock(5000);
  FileId f;
  ASSERT_EQ(fs.open("/d/a", {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  platform::PathInfo info;
  ASSERT_EQ(fs.pathInfo("/d/a", info), 0);
  EXPECT_EQ(info.modifiedNs, 5000);
  fs.setClock(9000);
  ASSERT_EQ(fs.pathInfo("/d/a", info), 0);
  EXPECT_EQ(info.modifiedNs, 5000);  // reading the clock alone stamps nothing
  std::size_t done = 0;
  ASSERT_EQ(fs.writeAt(f, "x", 1, 0, done), 0);
  ASSERT_EQ(fs.pathInfo("/d/a", info), 0);
  EXPECT_EQ(info.modifiedNs, 9000);
  fs.close(f);
}

TEST(PosixFileSystem, ModificationTimeIsTheFilesMtime) {
  char pattern[] = "/tmp/nxfsXXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string file = std::string(pattern) + "/m";
  platform::FileSystem& fs = platform::posixFileSystem();
  FileId f;
  ASSERT_EQ(fs.open(file, {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  fs.close(f);
  const auto stamp = std::filesystem::last_write_time(file);
  std::filesystem::last_write_time(file, stamp - std::chrono::hours(2));
  platform::PathInfo before, after;
  ASSERT_EQ(fs.pathInfo(file, before), 0);
  std::filesystem::last_write_time(file, stamp);
  ASSERT_EQ(fs.pathInfo(file, after), 0);
  EXPECT_EQ(after.modifiedNs - before.modifiedNs, std::int64_t{7200} * 1000000000);
  std::filesystem::remove_all(pattern);
}

TEST_P(FileSystemTest, DirectoriesAreMadeWithTheirParentsAndFreeSpaceIsAnswered) {
  platform::PathInfo info;
  EXPECT_EQ(fs_->createDirectories(path("a/b/c")), 0);
  for (const char* folder : {"a", "a/b", "a/b/c"}) {
    ASSERT_EQ(fs_->pathInfo(path(folder), info), 0) << folder;
    EXPECT_TRUE(info.isDirectory) << folder;
  }
  EXPECT_EQ(fs_->createDirectories(path("a/b")), 0);  // already there
  FileId f;
  ASSERT_EQ(fs_->open(path("file"), {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  fs_->close(f);
  EXPECT_EQ(fs_->createDirectories(path("file/sub")), ENOTDIR);
  EXPECT_EQ(fs_->createDirectories(path("file")), ENOTDIR);
  EXPECT_NE(fs_->pathInfo(path("file/sub"), info), 0);

  std::uint64_t bytes = 0;
  EXPECT_EQ(fs_->freeSpace(dir_, bytes), 0);
  EXPECT_GT(bytes, 0u);
}

// An unnamed file leaves no entry in its folder; a punched range reads as
// zeros and the size stays.
TEST_P(FileSystemTest, UnnamedFileAndPunchedHoles) {
  FileId f;
  ASSERT_EQ(fs_->openUnnamed(dir_, f), 0);
  std::vector<std::string> names;
  ASSERT_EQ(fs_->listDirectory(dir_, names), 0);
  EXPECT_TRUE(names.empty());
  const std::vector<char> data(3 * 4096, 'x');
  std::size_t done = 0;
  ASSERT_EQ(fs_->writeAt(f, data.data(), data.size(), 0, done), 0);
  ASSERT_EQ(fs_->punchHole(f, 4096, 4096), 0);
  std::vector<char> back(data.size());
  ASSERT_EQ(fs_->readAt(f, back.data(), back.size(), 0, done), 0);
  ASSERT_EQ(done, back.size());
  EXPECT_EQ(back[4095], 'x');
  EXPECT_EQ(back[4096], 0);
  EXPECT_EQ(back[8191], 0);
  EXPECT_EQ(back[8192], 'x');
  std::int64_t size = 0;
  ASSERT_EQ(fs_->size(f, size), 0);
  EXPECT_EQ(size, 3 * 4096);
  EXPECT_EQ(fs_->close(f), 0);
  ASSERT_EQ(fs_->listDirectory(dir_, names), 0);
  EXPECT_TRUE(names.empty());
}

TEST(PosixFileSystem, UnnamedFileInAMissingFolderFails) {
  FileId f;
  EXPECT_EQ(platform::posixFileSystem().openUnnamed("/no/such/folder", f), ENOENT);
  EXPECT_EQ(f, -1);
}

// The in-memory unnamed file: any folder, counted and faulted as other
// files, gone after a crash.
TEST(FaultFileSystem, UnnamedFilesCountAndFailLikeOthers) {
  using Op = platform::FaultFileSystem::Op;
  platform::FaultFileSystem fs;
  FileId f;
  fs.failNext(Op::open, 1, EMFILE);
  EXPECT_EQ(fs.openUnnamed("/scratch", f), EMFILE);
  ASSERT_EQ(fs.openUnnamed("/scratch", f), 0);  // a folder never made
  std::size_t done;
  fs.failNext(Op::write, 2, ENOSPC);
  fs.failNext(Op::punchHole, 1, EIO);
  EXPECT_EQ(fs.writeAt(f, "ab", 2, 0, done), 0);
  EXPECT_EQ(fs.writeAt(f, "cd", 2, 2, done), ENOSPC);
  EXPECT_EQ(fs.punchHole(f, 0, 1), EIO);
  EXPECT_EQ(fs.punchHole(f, 0, 1), 0);
  EXPECT_EQ(fs.writeCount(), 2u);
  EXPECT_EQ(fs.operationCount(Op::open), 2u);
  EXPECT_EQ(fs.operationCount(Op::punchHole), 2u);
  ASSERT_EQ(fs.writes().size(), 1u);
  EXPECT_EQ(fs.writes()[0].path, "/scratch/");
  char buffer[2];
  ASSERT_EQ(fs.readAt(f, buffer, 2, 0, done), 0);
  EXPECT_EQ(std::string(buffer, 2), std::string("\0b", 2));
  fs.crash();
  EXPECT_EQ(fs.readAt(f, buffer, 2, 0, done), EBADF);
  EXPECT_EQ(fs.openFileCount(), 0);
}

TEST(FaultFileSystem, FreeSpaceIsWhatTheTestSets) {
  platform::FaultFileSystem fs;
  std::uint64_t bytes = 1;
  fs.setFreeSpace(12345);
  EXPECT_EQ(fs.freeSpace("/", bytes), 0);
  EXPECT_EQ(bytes, 12345u);
  fs.setFreeSpace(0, EIO);
  EXPECT_EQ(fs.freeSpace("/", bytes), EIO);
  EXPECT_EQ(bytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(Both, FileSystemTest, ::testing::Values(true, false),
                         [](const auto& aInfo) { return aInfo.param ? "Posix" : "InMemory"; });

TEST(PathHelpers, NormaliseAndSplit) {
  EXPECT_EQ(platform::normalizePath("/a/./b/../c"), "/a/c");
  EXPECT_EQ(platform::normalizePath("/.."), "/");
  EXPECT_EQ(platform::normalizePath("/a/b/"), "/a/b/");
  EXPECT_EQ(platform::folderOf("/a/b.nx1"), "/a");
  EXPECT_EQ(platform::folderOf("/b.nx1"), "/");
  EXPECT_EQ(platform::fileNameOf("/a/b.nx1"), "b.nx1");
  platform::FaultFileSystem fs;
  fs.setCurrentFolder("/work");
  EXPECT_EQ(fs.absolutePath("x/../t.nx1"), "/work/t.nx1");
}

// Syncing a folder named with a trailing "/" makes its entries durable.
TEST(FaultFileSystem, FolderSyncWithTrailingSlashKeepsItsEntries) {
  platform::FaultFileSystem fs;
  fs.makeDirectory("/d");
  FileId f;
  ASSERT_EQ(fs.open("/d/a", {FileAccess::readWrite, FileShare::none, true, true}, f), 0);
  std::size_t done;
  fs.writeAt(f, "A", 1, 0, done);
  ASSERT_EQ(fs.syncDirectory("/d/"), 0);
  fs.crash();
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(fs.contents("/d/a", data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "A");
}

// A crash keeps what was synced or written through, and only the folder
// entries that were synced.
TEST(FaultFileSystem, CrashKeepsOnlyWhatWasDurable) {
  platform::FaultFileSystem fs;
  fs.makeDirectory("/d");
  FileId f, g;
  ASSERT_EQ(fs.open("/d/a", {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  ASSERT_EQ(fs.open("/d/wt", {FileAccess::readWrite, FileShare::none, true, true}, g), 0);
  ASSERT_EQ(fs.syncDirectory("/d"), 0);
  std::size_t done;
  fs.writeAt(f, "AAAA", 4, 0, done);
  fs.sync(f);
  fs.writeAt(f, "BB", 2, 0, done);  // never synced
  fs.writeAt(g, "WW", 2, 0, done);  // write-through
  FileId late;
  ASSERT_EQ(fs.open("/d/late", {FileAccess::readWrite, FileShare::none, true, false}, late), 0);
  fs.writeAt(late, "L", 1, 0, done);
  fs.sync(late);  // data durable, the name is not
  EXPECT_EQ(fs.writeCount(), 4u);
  ASSERT_EQ(fs.writes().size(), 4u);
  EXPECT_EQ(fs.writes()[2].path, "/d/wt");

  fs.crash();
  EXPECT_EQ(fs.openFileCount(), 0);
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(fs.contents("/d/a", data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "AAAA");
  ASSERT_TRUE(fs.contents("/d/wt", data));
  EXPECT_EQ(std::string(data.begin(), data.end()), "WW");
  EXPECT_FALSE(fs.contents("/d/late", data));
}

// Images handed out or put in are shared, not copied: no later write, sync,
// truncation, hole or crash may change what their holders see.
TEST(FaultFileSystem, SharedImagesNeverChangeUnderTheirHolders) {
  using Image = platform::FaultFileSystem::Image;
  const auto text = [](const Image& aImage) { return std::string(aImage->begin(), aImage->end()); };
  const auto now = [](platform::FaultFileSystem& aFs, const std::string& aPath) {
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(aFs.contents(aPath, data));
    return std::string(data.begin(), data.end());
  };
  platform::FaultFileSystem fs;
  fs.makeDirectory("/d");
  FileId f, wt;
  std::size_t done;
  ASSERT_EQ(fs.open("/d/a", {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  ASSERT_EQ(fs.open("/d/wt", {FileAccess::readWrite, FileShare::none, true, true}, wt), 0);
  ASSERT_EQ(fs.syncDirectory("/d"), 0);
  EXPECT_EQ(fs.durableImage("/d/missing"), nullptr);

  fs.writeAt(f, "AAAA", 4, 0, done);
  fs.sync(f);
  const Image synced = fs.durableImage("/d/a");
  fs.writeAt(f, "BB", 2, 0, done);
  fs.sync(f);
  fs.truncate(f, 3);
  fs.punchHole(f, 0, 1);
  EXPECT_EQ(text(synced), "AAAA");
  EXPECT_EQ(text(fs.durableImage("/d/a")), "BBAA");
  EXPECT_EQ(now(fs, "/d/a"), std::string("\0BA", 3));

  // Write-through after a sync: both images follow, a held one does not.
  fs.writeAt(wt, "WW", 2, 0, done);
  fs.sync(wt);
  const Image beforeThrough = fs.durableImage("/d/wt");
  fs.writeAt(wt, "X", 1, 2, done);
  EXPECT_EQ(text(beforeThrough), "WW");
  EXPECT_EQ(text(fs.durableImage("/d/wt")), "WWX");
  fs.writeAt(wt, "Y", 1, 0, done);
  EXPECT_EQ(now(fs, "/d/wt"), "YWX");
  EXPECT_EQ(text(fs.durableImage("/d/wt")), "YWX");

  // A put image is the file's until written; a crash keeps the durable one.
  const Image put = std::make_shared<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{'P', 'Q'});
  fs.putImage("/d/p", put);
  EXPECT_EQ(fs.durableImage("/d/p"), put);
  FileId p;
  ASSERT_EQ(fs.open("/d/p", {FileAccess::readWrite, FileShare::none, false, false}, p), 0);
  fs.writeAt(p, "Z", 1, 0, done);
  EXPECT_EQ(now(fs, "/d/p"), "ZQ");
  fs.crash();
  EXPECT_EQ(now(fs, "/d/p"), "PQ");
  ASSERT_EQ(fs.open("/d/p", {FileAccess::readWrite, FileShare::none, false, true}, p), 0);
  fs.writeAt(p, "R", 1, 1, done);
  EXPECT_EQ(text(put), "PQ");
  EXPECT_EQ(text(fs.durableImage("/d/p")), "PR");
  EXPECT_EQ(text(synced), "AAAA");
}

TEST(FaultFileSystem, FailsTheNthOperationOnce) {
  platform::FaultFileSystem fs;
  FileId f;
  ASSERT_EQ(fs.open("/x", {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  fs.failNext(platform::FaultFileSystem::Op::write, 2, ENOSPC);
  std::size_t done;
  EXPECT_EQ(fs.writeAt(f, "a", 1, 0, done), 0);
  EXPECT_EQ(fs.writeAt(f, "b", 1, 1, done), ENOSPC);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(fs.writeAt(f, "c", 1, 1, done), 0);
  fs.setReadOnly("/x", true);
  fs.close(f);
  EXPECT_EQ(fs.open("/x", {FileAccess::readWrite, FileShare::none, false, false}, f), EACCES);
  platform::PathInfo info;
  ASSERT_EQ(fs.pathInfo("/x", info), 0);
  EXPECT_FALSE(info.writable);
}

TEST(FaultFileSystem, ArmedFaultsCountEachOnTheirOwnAndOperationsAreCounted) {
  using Op = platform::FaultFileSystem::Op;
  platform::FaultFileSystem fs;
  fs.makeDirectory("/d");
  FileId f;
  ASSERT_EQ(fs.open("/d/x", {FileAccess::readWrite, FileShare::none, true, false}, f), 0);
  // Two faults on writes (the 1st and the 3rd) and one each on sync,
  // truncate, unlink and the folder's sync.
  fs.failNext(Op::write, 1, EIO);
  fs.failNext(Op::write, 3, ENOSPC);
  fs.failNext(Op::sync, 2, EIO);
  fs.failNext(Op::truncate, 1, ENOSPC);
  fs.failNext(Op::remove, 1, EIO);
  fs.failNext(Op::syncDirectory, 1, EIO);
  std::size_t done;
  struct Step {
    const char* what;
    int result;
  };
  const Step steps[] = {
      {"write 1", fs.writeAt(f, "a", 1, 0, done)}, {"write 2", fs.writeAt(f, "b", 1, 0, done)},
      {"write 3", fs.writeAt(f, "c", 1, 0, done)}, {"write 4", fs.writeAt(f, "d", 1, 0, done)},
      {"sync 1", fs.sync(f)},                      {"sync 2", fs.sync(f)},
      {"truncate 1", fs.truncate(f, 0)},           {"truncate 2", fs.truncate(f, 0)},
      {"close", fs.close(f)},                      {"remove 1", fs.remove("/d/x")},
      {"folder sync 1", fs.syncDirectory("/d")},   {"remove 2", fs.remove("/d/x")},
      {"folder sync 2", fs.syncDirectory("/d")},
  };
  const int expected[] = {EIO, 0, ENOSPC, 0, 0, EIO, ENOSPC, 0, 0, EIO, EIO, 0, 0};
  for (std::size_t i = 0; i < std::size(steps); ++i) EXPECT_EQ(steps[i].result, expected[i]) << steps[i].what;
  EXPECT_EQ(fs.operationCount(Op::write), 4u);
  EXPECT_EQ(fs.operationCount(Op::sync), 2u);
  EXPECT_EQ(fs.operationCount(Op::remove), 2u);
  EXPECT_EQ(fs.operationCount(Op::syncDirectory), 2u);
  EXPECT_EQ(fs.operationCount(Op::any), 13u);  // with the open; a close is of no kind
}

}  // namespace
