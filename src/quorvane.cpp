// The plugin's export list: the entry points a file manager calls, with C
// linkage.  Each one is only a guard around the work in CMain: nothing thrown
// inside may reach the host, so every failure becomes a result code here.
#include "quorvane.h"

#include <cstdint>

#include "CMain/builder.h"
#include "CMain/mempack.h"
#include "CMain/module.h"
#include "CMain/reader.h"
#include "platform/faults.h"

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

// An open that throws refuses the archive with "cannot be opened" in the
// host's record, in either form of the record.
template <typename Record, typename Work>
void* GuardOpen(Record* record, Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    if (record) record->OpenResult = wcx::E_EOPEN;
    return nullptr;
  }
}

}  // namespace

QV_EXPORT int GetPackerCaps() noexcept { return quorvane::GetPackerCaps(); }

QV_EXPORT int CanYouHandleThisFile(char* FileName) noexcept {
  return Guard([&] { return quorvane::CanYouHandleThisFile(FileName); }, 0);
}

QV_EXPORT void* OpenArchive(wcx::tOpenArchiveData* ArchiveData) noexcept {
  return GuardOpen(ArchiveData, [&] { return quorvane::OpenArchive(ArchiveData); });
}

QV_EXPORT int ReadHeader(void* hArcData, wcx::tHeaderData* HeaderData) noexcept {
  return Guard([&] { return quorvane::ReadHeader(hArcData, HeaderData); }, wcx::E_EOPEN);
}

QV_EXPORT int ReadHeaderEx(void* hArcData, wcx::tHeaderDataEx* HeaderData) noexcept {
  return Guard([&] { return quorvane::ReadHeaderEx(hArcData, HeaderData); }, wcx::E_EOPEN);
}

QV_EXPORT int ProcessFile(void* hArcData, int Operation, char* DestPath, char* DestName) noexcept {
  return Guard([&] { return quorvane::ProcessFile(hArcData, Operation, DestPath, DestName); },
               wcx::E_ECREATE);
}

QV_EXPORT int CloseArchive(void* hArcData) noexcept {
  return Guard([&] { return quorvane::CloseArchive(hArcData); }, wcx::E_ECLOSE);
}

QV_EXPORT void SetChangeVolProc(void*, wcx::TChangeVolProc) noexcept {}

// A callback given with an open archive's handle serves that archive, one
// given with a job's handle that job; any other (hosts pass -1 before they
// pack) serves packing started afterwards on the calling thread.
namespace {

void RegisterCallback(void* handle, const quorvane::TCallback& callback) noexcept {
  Guard([&] {
    if (!quorvane::SetArchiveCallback(handle, callback) && !quorvane::SetJobCallback(handle, callback)) {
      quorvane::SetPackingCallback(callback);
    }
  });
}

}  // namespace

QV_EXPORT void SetProcessDataProc(void* hArcData, wcx::TProcessDataProc ProcessDataProc) noexcept {
  RegisterCallback(hArcData, quorvane::TCallback{.proc = ProcessDataProc});
}

QV_EXPORT int PackFiles(char* PackedFile, char* SubPath, char* SrcPath, char* AddList, int Flags) noexcept {
  return Guard([&] { return quorvane::PackFiles(PackedFile, SubPath, SrcPath, AddList, Flags); },
               wcx::E_EWRITE);
}

QV_EXPORT void ConfigurePacker(void*, void*) noexcept {
  Guard([] { quorvane::ConfigurePacker(); });
}

QV_EXPORT void* StartMemPack(int Options, char* FileName) noexcept {
  return Guard([&] { return quorvane::StartMemPack(Options, FileName); }, static_cast<void*>(nullptr));
}

QV_EXPORT int PackToMem(void* hMemPack, char* BufIn, int InLen, int* Taken, char* BufOut, int OutLen,
                        int* Written, int) noexcept {
  return Guard([&] { return quorvane::PackToMem(hMemPack, BufIn, InLen, Taken, BufOut, OutLen, Written); },
               wcx::E_EWRITE);
}

QV_EXPORT int DoneMemPack(void* hMemPack) noexcept {
  return Guard([&] { return quorvane::DoneMemPack(hMemPack); }, wcx::E_ECLOSE);
}

#ifdef _WIN32
// The wide entry points: hosts that find them pass UTF-16 paths, which then
// never pass through the ANSI code page.

QV_EXPORT int CanYouHandleThisFileW(wchar_t* FileName) noexcept {
  return Guard([&] { return quorvane::CanYouHandleThisFileW(FileName); }, 0);
}

QV_EXPORT void* OpenArchiveW(wcx::tOpenArchiveDataW* ArchiveData) noexcept {
  return GuardOpen(ArchiveData, [&] { return quorvane::OpenArchiveW(ArchiveData); });
}

QV_EXPORT int ReadHeaderExW(void* hArcData, wcx::tHeaderDataExW* HeaderData) noexcept {
  return Guard([&] { return quorvane::ReadHeaderExW(hArcData, HeaderData); }, wcx::E_EOPEN);
}

QV_EXPORT int ProcessFileW(void* hArcData, int Operation, wchar_t* DestPath, wchar_t* DestName) noexcept {
  return Guard([&] { return quorvane::ProcessFileW(hArcData, Operation, DestPath, DestName); },
               wcx::E_ECREATE);
}

QV_EXPORT void SetChangeVolProcW(void*, wcx::TChangeVolProcW) noexcept {}

QV_EXPORT void SetProcessDataProcW(void* hArcData, wcx::TProcessDataProcW ProcessDataProc) noexcept {
  RegisterCallback(hArcData, quorvane::TCallback{.proc_w = ProcessDataProc, .wide = true});
}

QV_EXPORT int PackFilesW(wchar_t* PackedFile, wchar_t* SubPath, wchar_t* SrcPath, wchar_t* AddList,
                         int Flags) noexcept {
  return Guard([&] { return quorvane::PackFilesW(PackedFile, SubPath, SrcPath, AddList, Flags); },
               wcx::E_EWRITE);
}

QV_EXPORT void* StartMemPackW(int Options, wchar_t* FileName) noexcept {
  return Guard([&] { return quorvane::StartMemPackW(Options, FileName); }, static_cast<void*>(nullptr));
}
#else
QV_EXPORT void ExtensionInitialize(wcx::tExtensionStartupInfo* StartupInfo) noexcept {
  Guard([&] { quorvane::ExtensionInitialize(StartupInfo); });
}
#endif

#ifdef QUORVANE_FAULT_INJECTION
// Test flavour only: makes the n-th system call of one kind fail.
QV_EXPORT void QuorvaneInjectFault(int kind, long n) noexcept { platform::faults::Arm(kind, n); }
QV_EXPORT long QuorvaneFaultCount(int kind) noexcept { return platform::faults::Calls(kind); }
#endif
