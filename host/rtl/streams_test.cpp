#include "host/rtl/streams.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/rtl/exceptions.h"

namespace host {
namespace {

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tav_fstream_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    name_ = dir_ + "/data.bin";
  }
  void TearDown() override {
    std::remove(name_.c_str());
    rmdir(dir_.c_str());
  }
  std::string dir_, name_;
};

TEST_F(FileStreamTest, CreateWriteReopenRead) {
  {
    TFileStream f(name_, fmCreate);
    f.WriteBuffer("hello world", 11);
    EXPECT_EQ(f.Size(), 11);
    EXPECT_EQ(f.Position(), 11);
    f.SetPosition(6);
    char buf[5];
    f.ReadBuffer(buf, 5);
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f.FileName(), name_);
  }
  {
    TFileStream f(name_, fmOpenReadWrite);
    EXPECT_EQ(f.Seek(-5, soEnd), 6);
    f.WriteBuffer("WORLD", 5);
    f.SetSize(5);
    EXPECT_EQ(f.Position(), 5);
    EXPECT_EQ(f.Size(), 5);
  }
  TFileStream r(name_, fmOpenRead);
  char buf[16];
  EXPECT_EQ(r.Read(buf, sizeof buf), 5);  // a short read at the end of file
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_EQ(r.Read(buf, sizeof buf), 0);
  EXPECT_THROW(r.ReadBuffer(buf, 1), EReadError);
  EXPECT_EQ(r.Write("x", 1), 0);  // opened for reading only
  EXPECT_THROW(r.WriteBuffer("x", 1), EWriteError);
}

TEST_F(FileStreamTest, CreateEmptiesAnExistingFile) {
  {
    TFileStream f(name_, fmCreate);
    f.WriteBuffer("abc", 3);
  }
  TFileStream f(name_, fmCreate);
  EXPECT_EQ(f.Size(), 0);
  TFileStream w(name_, fmOpenWrite);
  w.WriteBuffer("z", 1);
  char c;
  EXPECT_EQ(w.Read(&c, 1), 0);  // opened for writing only
}

TEST_F(FileStreamTest, FailuresNameTheFile) {
  try {
    TFileStream f(name_, fmOpenRead);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + name_ + "\"");
  }
  try {
    TFileStream f(dir_ + "/none/x", fmCreate);
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file \"" + dir_ + "/none/x\"");
  }
  // A folder is not a file, though the system would open it for reading.
  EXPECT_THROW(TFileStream(dir_, fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(dir_, fmCreate), EFCreateError);
  EXPECT_THROW(TFileStream(name_, 0x0003), EFOpenError);
}

TEST_F(FileStreamTest, CopyBetweenFileAndMemory) {
  TMemoryStream m;
  std::string data(100000, 'q');
  data[99999] = 'e';
  m.WriteBuffer(data.data(), static_cast<int32_t>(data.size()));
  TFileStream f(name_, fmCreate);
  EXPECT_EQ(f.CopyFrom(m, 0), 100000);
  TMemoryStream back;
  back.CopyFrom(f, 0);
  ASSERT_EQ(back.Size(), 100000);
  EXPECT_EQ(back.Memory()[99999], 'e');
}

}  // namespace
}  // namespace host
