// The library binding's reference count, watched from outside: this program
// does not link libbz2 itself, so whether the library is mapped at all tells
// whether the plugin really let go of it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "CMain/packer.h"
#include "bzLib.h"
#include "files.h"
#include "platform/platform.h"

namespace {

bool LibraryLoaded() {
  void* library = dlopen("libbz2.so.1.0", RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return false;
  dlclose(library);
  return true;
}

TEST(LibraryReferences, ThousandPackersLeaveNothingBehind) {
  ASSERT_FALSE(LibraryLoaded()) << "this program must not link libbz2";
  const int start = quorvane::BZip2LibraryReferences();
  {
    quorvane::TZPacker packer(nullptr);
    EXPECT_EQ(start + 1, quorvane::BZip2LibraryReferences());
    EXPECT_TRUE(LibraryLoaded()) << "a live packer holds the library";
  }
  EXPECT_EQ(start, quorvane::BZip2LibraryReferences());
  EXPECT_FALSE(LibraryLoaded());

  for (int i = 0; i < 1000; ++i) {
    quorvane::TZPacker packer(nullptr);
  }
  EXPECT_EQ(start, quorvane::BZip2LibraryReferences());
  EXPECT_FALSE(LibraryLoaded());

  // Packers that did their work, successful or not, let go as well.
  qvtest::TempDir scratch;
  qvtest::WriteFile(scratch / "source", qvtest::TextBytes(5000, 1));
  qvtest::WriteFile(scratch / "junk.qv", std::string(100, 'J'));
  for (int i = 0; i < 10; ++i) {
    platform::File source = platform::File::OpenRead(scratch / "source", platform::Share::kRead);
    platform::File junk = platform::File::OpenRead(scratch / "junk.qv", platform::Share::kRead);
    platform::Path name;
    platform::File output = platform::CreateUniqueFile(scratch.path() + "/", "out", "",
                                                       platform::Visibility::kPrivate, name);
    quorvane::TZPacker shrink(nullptr);
    shrink.startpos = 28;
    EXPECT_EQ(0, shrink.Shrink(source, output));
    quorvane::TZPacker expand(nullptr);
    expand.startpos = 28;
    EXPECT_EQ(13, expand.Expand(junk, nullptr));
  }
  EXPECT_EQ(start, quorvane::BZip2LibraryReferences());
  EXPECT_FALSE(LibraryLoaded());
}

TEST(LibraryReferences, BrokenLibraryBesideIsMissingNotReplaced) {
  ASSERT_FALSE(LibraryLoaded()) << "this program must not link libbz2";
  qvtest::TempDir scratch;
  const int start = quorvane::BZip2LibraryReferences();
  for (const std::string& contents : {std::string(), std::string("\x7F" "ELF garbage", 12)}) {
    qvtest::WriteFile(scratch / "libbz2.so.1.0", contents);
    EXPECT_FALSE(quorvane::LoadBZip2Library(scratch.path() + "/"));
    EXPECT_FALSE(LibraryLoaded()) << "the system's library must not stand in for the one beside";
    {
      platform::File file = platform::File::CreateNew(scratch / "out.bz2", platform::Share::kNone,
                                                      platform::Visibility::kPrivate);
      EXPECT_THROW({ quorvane::TBZCompressionStream z(file); }, quorvane::EBZip2Error);
      EXPECT_THROW({ quorvane::TBZDecompressionStream z(file); }, quorvane::EBZip2Error);
    }
    // A failed binding still took its reference.
    EXPECT_EQ(start + 1, quorvane::BZip2LibraryReferences());
    quorvane::FreeBZip2Library();
    EXPECT_EQ(start, quorvane::BZip2LibraryReferences());
    platform::RemoveFile(scratch / "out.bz2");
  }
}

}  // namespace
