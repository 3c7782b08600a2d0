// The plugin's export list: the entry points a file manager calls, with C
// linkage.  Each one is only a guard around the work in CMain: nothing thrown
// inside may reach the host, so every failure becomes a result code here.
#include <exception>
#include <new>

#include "CMain.h"
#include "platform/faults.h"
#include "wcxhead.h"

#if defined(_WIN32)
#define QV_EXPORT extern "C"
#else
#define QV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Runs `work`; anything it throws becomes `failure`.
template <typename Work, typename Result>
Result Guard(Work&& work, Result failure) noexcept {
  try {
    return work();
  } catch (...) {
    return failure;
  }
}

template <typename Work>
void Guard(Work&& work) noexcept {
  try {
    work();
  } catch (...) {
  }
}

}  // namespace

QV_EXPORT int GetPackerCaps() noexcept { return quorvane::GetPackerCaps(); }

QV_EXPORT int CanYouHandleThisFile(char* FileName) noexcept {
  return Guard([&] { return quorvane::CanYouHandleThisFile(FileName); }, 0);
}

QV_EXPORT void* OpenArchive(wcx::tOpenArchiveData* ArchiveData) noexcept {
  std::intptr_t handle = Guard([&] { return quorvane::OpenArchive(ArchiveData); }, std::intptr_t{-1});
  if (handle == -1) {
    if (ArchiveData) ArchiveData->OpenResult = wcx::kOpenError;
    handle = 0;
  }
  return reinterpret_cast<void*>(handle);
}

QV_EXPORT int ReadHeader(void*, wcx::tHeaderData* HeaderData) noexcept {
  return Guard([&] { return quorvane::ReadHeader(HeaderData); }, wcx::kOpenError);
}

QV_EXPORT int ProcessFile(void*, int Operation, char* DestPath, char* DestName) noexcept {
  return Guard([&] { return quorvane::ProcessFile(Operation, DestPath, DestName); }, wcx::kCreateError);
}

QV_EXPORT int CloseArchive(void*) noexcept { return quorvane::CloseArchive(); }

QV_EXPORT void SetChangeVolProc(void*, wcx::TChangeVolProc) noexcept {}

QV_EXPORT void SetProcessDataProc(void*, wcx::TProcessDataProc ProcessDataProc) noexcept {
  quorvane::SetProcessDataProc(ProcessDataProc);
}

QV_EXPORT int PackFiles(char* PackedFile, char* SubPath, char* SrcPath, char* AddList, int Flags) noexcept {
  return Guard([&] { return quorvane::PackFiles(PackedFile, SubPath, SrcPath, AddList, Flags); },
               wcx::kWriteError);
}

QV_EXPORT void ConfigurePacker(void*, void*) noexcept {
  Guard([] { quorvane::ConfigurePacker(); });
}

QV_EXPORT void* StartMemPack(int Options, char* FileName) noexcept {
  return reinterpret_cast<void*>(
      Guard([&] { return quorvane::StartMemPack(Options, FileName); }, std::intptr_t{777}));
}

QV_EXPORT int PackToMem(void*, char* BufIn, int InLen, int* Taken, char* BufOut, int OutLen, int* Written,
                        int) noexcept {
  return Guard([&] { return quorvane::PackToMem(BufIn, InLen, Taken, BufOut, OutLen, Written); },
               wcx::kWriteError);
}

QV_EXPORT int DoneMemPack(void*) noexcept {
  return Guard([] { return quorvane::DoneMemPack(); }, wcx::kSuccess);
}

#ifndef _WIN32
QV_EXPORT void ExtensionInitialize(wcx::tExtensionStartupInfo* StartupInfo) noexcept {
  quorvane::ExtensionInitialize(StartupInfo);
}
#endif

#ifdef QUORVANE_FAULT_INJECTION
// Test flavour only: makes the n-th system call of one kind fail.
QV_EXPORT void QuorvaneInjectFault(int kind, long n) noexcept { platform::faults::Arm(kind, n); }
QV_EXPORT long QuorvaneFaultCount(int kind) noexcept { return platform::faults::Calls(kind); }
#endif
