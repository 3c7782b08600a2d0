// The plugin's export list: the entry points a file manager calls, with C
// linkage.  Each one is a guard around the work in CMain: nothing thrown
// inside may reach the host.  A failure below says only what failed; here it
// becomes the result code of the operation's kind, by one table.
#include "quorvane.h"

#include <cstddef>
#include <iterator>
#include <new>

#include "CMain/builder.h"
#include "CMain/failure.h"
#include "CMain/mempack.h"
#include "CMain/module.h"
#include "CMain/reader.h"
#include "bzLib/library.h"
#include "bzLib/threads.h"
#include "platform/faults.h"
#include "platform/platform.h"

namespace {

using quorvane::TFailed;

// The kinds of operation; each has its own result codes.
enum class TOperation { kReading, kPacking, kMemPacking };

// The result code for each failure, by kind of operation: the README's
// table of result codes, written out.  Rows follow TFailed.
constexpr int kResultCodes[][3] = {
    // reading (list, test, extract), packing a file, in-memory packing
    /* kOpen    */ {wcx::E_EOPEN, wcx::E_EOPEN, wcx::E_EWRITE},
    /* kRead    */ {wcx::E_EOPEN, wcx::E_EWRITE, wcx::E_EWRITE},
    /* kCreate  */ {wcx::E_ECREATE, wcx::E_EWRITE, wcx::E_EWRITE},
    /* kWrite   */ {wcx::E_EWRITE, wcx::E_EWRITE, wcx::E_EWRITE},
    /* kData    */ {wcx::E_BAD_ARCHIVE, wcx::E_EWRITE, wcx::E_EWRITE},
    /* kLibrary */ {wcx::E_EOPEN, wcx::E_EWRITE, wcx::E_EWRITE},
    /* kMemory  */ {wcx::E_NO_MEMORY, wcx::E_NO_MEMORY, wcx::E_NO_MEMORY},
    /* kStop    */ {wcx::E_EABORTED, wcx::E_EABORTED, wcx::E_EABORTED},
    /* kOther   */ {wcx::E_EOPEN, wcx::E_EWRITE, wcx::E_EWRITE},
};
static_assert(std::size(kResultCodes) == static_cast<std::size_t>(TFailed::kOther) + 1);

// The plugin's read-error message: the file layer's text and the path.
void ShowReadError(const platform::FileReadError& error) noexcept {
  try {
    platform::ShowMessage(platform::MessageToHost("Ошибка '") + error.what() +
                              platform::MessageToHost("' при обработке файла '") + platform::ToHost(error.path()) +
                              "'",
                          quorvane::kCaption);
  } catch (...) {
    // A message that cannot be put together is not shown; the code still tells.
  }
}

// The code for the failure being handled in an operation of `kind`; what
// failed is told by the type of what was thrown.  Packing, in either form,
// also tells the user which file it could not read.
int Answer(TOperation kind) noexcept {
  TFailed failed = TFailed::kOther;
  try {
    throw;
  } catch (const quorvane::EFailure& failure) {
    failed = failure.failed();
  } catch (const quorvane::parallel::EStopped&) {
    failed = TFailed::kStop;
  } catch (const std::bad_alloc&) {
    failed = TFailed::kMemory;
  } catch (const platform::FileReadError& error) {
    if (kind != TOperation::kReading) ShowReadError(error);
    failed = TFailed::kRead;
  } catch (const platform::FileWriteError&) {
    failed = TFailed::kWrite;
  } catch (const platform::FileCreateError&) {
    failed = TFailed::kCreate;
  } catch (const platform::FileError&) {
    failed = TFailed::kOpen;
  } catch (const quorvane::EBZDecompressionError&) {
    failed = TFailed::kData;
  } catch (const quorvane::EBZip2Error&) {
    failed = TFailed::kLibrary;
  } catch (...) {
  }
  return kResultCodes[static_cast<int>(failed)][static_cast<int>(kind)];
}

// Runs the work of an operation of `kind`; a failure becomes its code.
template <typename Work>
int Run(TOperation kind, Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    return Answer(kind);
  }
}

// Runs `work`, which is no operation: anything it throws becomes `failure`.
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

// An open that fails refuses the archive with the code in the host's
// record, in either form of the record.
template <typename Record, typename Work>
void* RunOpen(Record* record, Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    if (record) record->OpenResult = Answer(TOperation::kReading);
    return nullptr;
  }
}

}  // namespace

QV_EXPORT int GetPackerCaps() noexcept { return quorvane::GetPackerCaps(); }

QV_EXPORT int CanYouHandleThisFile(char* FileName) noexcept {
  return Guard([&] { return quorvane::CanYouHandleThisFile(FileName); }, 0);
}

QV_EXPORT void* OpenArchive(wcx::tOpenArchiveData* ArchiveData) noexcept {
  return RunOpen(ArchiveData, [&] { return quorvane::OpenArchive(ArchiveData); });
}

QV_EXPORT int ReadHeader(void* hArcData, wcx::tHeaderData* HeaderData) noexcept {
  return Run(TOperation::kReading, [&] { return quorvane::ReadHeader(hArcData, HeaderData); });
}

QV_EXPORT int ReadHeaderEx(void* hArcData, wcx::tHeaderDataEx* HeaderData) noexcept {
  return Run(TOperation::kReading, [&] { return quorvane::ReadHeaderEx(hArcData, HeaderData); });
}

QV_EXPORT int ProcessFile(void* hArcData, int Operation, char* DestPath, char* DestName) noexcept {
  return Run(TOperation::kReading,
             [&] { return quorvane::ProcessFile(hArcData, Operation, DestPath, DestName); });
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
  return Run(TOperation::kPacking,
             [&] { return quorvane::PackFiles(PackedFile, SubPath, SrcPath, AddList, Flags); });
}

QV_EXPORT void ConfigurePacker(void*, void*) noexcept {
  Guard([] { quorvane::ConfigurePacker(); });
}

QV_EXPORT void* StartMemPack(int Options, char* FileName) noexcept {
  return Guard([&] { return quorvane::StartMemPack(Options, FileName); }, static_cast<void*>(nullptr));
}

QV_EXPORT int PackToMem(void* hMemPack, char* BufIn, int InLen, int* Taken, char* BufOut, int OutLen,
                        int* Written, int) noexcept {
  return Run(TOperation::kMemPacking,
             [&] { return quorvane::PackToMem(hMemPack, BufIn, InLen, Taken, BufOut, OutLen, Written); });
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
  return RunOpen(ArchiveData, [&] { return quorvane::OpenArchiveW(ArchiveData); });
}

QV_EXPORT int ReadHeaderExW(void* hArcData, wcx::tHeaderDataExW* HeaderData) noexcept {
  return Run(TOperation::kReading, [&] { return quorvane::ReadHeaderExW(hArcData, HeaderData); });
}

QV_EXPORT int ProcessFileW(void* hArcData, int Operation, wchar_t* DestPath, wchar_t* DestName) noexcept {
  return Run(TOperation::kReading,
             [&] { return quorvane::ProcessFileW(hArcData, Operation, DestPath, DestName); });
}

QV_EXPORT void SetChangeVolProcW(void*, wcx::TChangeVolProcW) noexcept {}

QV_EXPORT void SetProcessDataProcW(void* hArcData, wcx::TProcessDataProcW ProcessDataProc) noexcept {
  RegisterCallback(hArcData, quorvane::TCallback{.proc_w = ProcessDataProc, .wide = true});
}

QV_EXPORT int PackFilesW(wchar_t* PackedFile, wchar_t* SubPath, wchar_t* SrcPath, wchar_t* AddList,
                         int Flags) noexcept {
  return Run(TOperation::kPacking,
             [&] { return quorvane::PackFilesW(PackedFile, SubPath, SrcPath, AddList, Flags); });
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
