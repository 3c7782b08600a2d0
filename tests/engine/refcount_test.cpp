// The library binding's reference count, watched from outside: this program
// does not link libbz2 itself, so whether the library is mapped at all tells
// whether the plugin really let go of it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "CMain/module.h"
#include "bzLib/streams.h"
#include "files.h"
#include "platform/platform.h"

namespace {

bool LibraryLoaded() {
  void* library = dlopen("libbz2.so.1.0", RTLD_NOW | RTLD_NOLOAD);
  if (library == nullptr) return false;
  dlclose(library);
  return true;
}

TEST(LibraryReferences, ThousandBindingsLeaveNothingBehind) {
  ASSERT_FALSE(LibraryLoaded()) << "this program must not link libbz2";
  const int start = quorvane::BZip2LibraryReferences();
  {
    const quorvane::TBZip2Library library(quorvane::ModuleDir());
    EXPECT_EQ(start + 1, quorvane::BZip2LibraryReferences());
    EXPECT_TRUE(LibraryLoaded()) << "a live binding holds the library";
  }
  EXPECT_EQ(start, quorvane::BZip2LibraryReferences());
  EXPECT_FALSE(LibraryLoaded());

  for (int i = 0; i < 1000; ++i) {
    const quorvane::TBZip2Library library(quorvane::ModuleDir());
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
    {
      const quorvane::TBZip2Library library(scratch.path() + "/");
      EXPECT_FALSE(library.bound());
      EXPECT_FALSE(LibraryLoaded()) << "the system's library must not stand in for the one beside";
      platform::File file = platform::File::CreateNew(scratch / "out.bz2", platform::Share::kNone,
                                                      platform::Visibility::kPrivate);
      EXPECT_THROW({ quorvane::TBZCompressionStream z(library, file); }, quorvane::EBZLibraryError);
      EXPECT_THROW({ quorvane::TBZDecompressionStream z(library, file); }, quorvane::EBZLibraryError);
      // A failed binding still takes its reference, and gives it back.
      EXPECT_EQ(start + 1, quorvane::BZip2LibraryReferences());
    }
    EXPECT_EQ(start, quorvane::BZip2LibraryReferences());
    platform::RemoveFile(scratch / "out.bz2");
  }
}

}  // namespace
