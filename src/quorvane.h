// The plugin's entry points, declared with the interface's own types: a
// definition in quorvane.cpp that strays from the type a host calls through
// fails to compile.  The fuzz target, linked with the plugin's sources, calls
// them through these declarations too.
#pragma once

#include "wcxhead.h"

#if defined(_WIN32)
#define QV_EXPORT extern "C"
#else
#define QV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

QV_EXPORT wcx::GetPackerCapsFunc GetPackerCaps;
QV_EXPORT wcx::CanYouHandleThisFileFunc CanYouHandleThisFile;
QV_EXPORT wcx::OpenArchiveFunc OpenArchive;
QV_EXPORT wcx::ReadHeaderFunc ReadHeader;
QV_EXPORT wcx::ReadHeaderExFunc ReadHeaderEx;
QV_EXPORT wcx::ProcessFileFunc ProcessFile;
QV_EXPORT wcx::CloseArchiveFunc CloseArchive;
QV_EXPORT wcx::SetChangeVolProcFunc SetChangeVolProc;
QV_EXPORT wcx::SetProcessDataProcFunc SetProcessDataProc;
QV_EXPORT wcx::PackFilesFunc PackFiles;
QV_EXPORT wcx::ConfigurePackerFunc ConfigurePacker;
QV_EXPORT wcx::StartMemPackFunc StartMemPack;
QV_EXPORT wcx::PackToMemFunc PackToMem;
QV_EXPORT wcx::DoneMemPackFunc DoneMemPack;
#ifdef _WIN32
QV_EXPORT wcx::CanYouHandleThisFileWFunc CanYouHandleThisFileW;
QV_EXPORT wcx::OpenArchiveWFunc OpenArchiveW;
QV_EXPORT wcx::ReadHeaderExWFunc ReadHeaderExW;
QV_EXPORT wcx::ProcessFileWFunc ProcessFileW;
QV_EXPORT wcx::SetChangeVolProcWFunc SetChangeVolProcW;
QV_EXPORT wcx::SetProcessDataProcWFunc SetProcessDataProcW;
QV_EXPORT wcx::PackFilesWFunc PackFilesW;
QV_EXPORT wcx::StartMemPackWFunc StartMemPackW;
#else
// Double Commander's extension interface, through which the plugin gets the
// host's message box.
QV_EXPORT wcx::ExtensionInitializeFunc ExtensionInitialize;
#endif
