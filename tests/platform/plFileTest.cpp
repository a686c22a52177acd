#include "plFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

TEST(PlFile, IdentityFollowsTheFileNotThePath) {
  char dir[] = "/tmp/plFileTestXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string a = std::string(dir) + "/a", link = std::string(dir) + "/link", b = std::string(dir) + "/b";
  int fa = open(a.c_str(), O_CREAT | O_RDWR, 0600);
  int fb = open(b.c_str(), O_CREAT | O_RDWR, 0600);
  ASSERT_EQ(::link(a.c_str(), link.c_str()), 0);
  int fl = open(link.c_str(), O_RDONLY);
  platform::FileIdentityInfo ia, ib, il;
  EXPECT_TRUE(platform::fileIdentityOf(fa, ia));
  EXPECT_TRUE(platform::fileIdentityOf(fb, ib));
  EXPECT_TRUE(platform::fileIdentityOf(fl, il));
  EXPECT_EQ(ia.device, il.device);
  EXPECT_EQ(ia.inode, il.inode);
  EXPECT_NE(ia.inode, ib.inode);
  EXPECT_EQ(ia.hasBirthTime, ia.birthFileTime != 0);
  close(fa);
  close(fb);
  close(fl);
  unlink(a.c_str());
  unlink(b.c_str());
  unlink(link.c_str());
  rmdir(dir);
  EXPECT_FALSE(platform::fileIdentityOf(fa, ia));  // closed
  EXPECT_FALSE(platform::fileIdentityOf(-1, ia));
  EXPECT_EQ(errno, EBADF);
}

TEST(PlFile, UnixTimeBecomesFileTime) {
  EXPECT_EQ(platform::unixTimeToFileTime(0, 0), 116444736000000000ull);
  EXPECT_EQ(platform::unixTimeToFileTime(1, 250), 116444736010000002ull);
}

}  // namespace

namespace {

TEST(PlFile, WritesAndReadsWholeFiles) {
  char dir[] = "/tmp/plFileTestXXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/data";
  platform::File f;
  EXPECT_FALSE(f.open(path, platform::File::Mode::read));
  EXPECT_EQ(errno, ENOENT);
  ASSERT_TRUE(f.open(path, platform::File::Mode::createWrite));
  const std::string text = "0123456789";
  ASSERT_TRUE(f.writeAll(text.data(), text.size()));
  ASSERT_TRUE(f.close());
  EXPECT_FALSE(f.isOpen());

  platform::File r;
  ASSERT_TRUE(r.open(path, platform::File::Mode::read));
  std::int64_t size = 0;
  ASSERT_TRUE(r.size(size));
  EXPECT_EQ(size, 10);
  char buffer[16] = {};
  ASSERT_TRUE(r.readExact(buffer, 4));
  EXPECT_EQ(std::string(buffer, 4), "0123");
  EXPECT_FALSE(r.readExact(buffer, 7)) << "only six bytes remain";
  EXPECT_EQ(errno, 0);
  platform::File moved = std::move(r);
  EXPECT_FALSE(r.isOpen());
  EXPECT_TRUE(moved.isOpen());
  EXPECT_FALSE(r.writeAll(buffer, 1));
  moved.close();
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
