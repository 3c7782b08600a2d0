// Time stamps keep their wall-clock time in a zone with summer time, whatever
// the season the work is done in: a DOS time is local time by the rule of its
// own date.  Run under TZ=Europe/Berlin (Wine takes the zone from it); the
// files' times are set and read in UTC, so nothing here depends on the
// plugin's own conversions.
#include "windows_support.h"

#include "archive_maker.h"
#include "host.h"

namespace {

using qvwin::Folder;
using qvwin::Time;

std::uint32_t Dos(const SYSTEMTIME& local) {
  return qvtest::DosTime(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond);
}

std::uint64_t Ticks(const FILETIME& time) {
  return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

std::uint64_t UtcWriteTicks(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return Ticks(data.ftLastWriteTime);
}

std::uint64_t Ticks(const SYSTEMTIME& utc) {
  FILETIME time{};
  SystemTimeToFileTime(&utc, &time);
  return Ticks(time);
}

// 12:00 in Berlin: 10:00 UTC in summer, 11:00 UTC in winter.
struct Season {
  const char* name;
  SYSTEMTIME local;
  SYSTEMTIME utc;
};
const Season kSeasons[] = {
    {"summer", Time(2023, 7, 15, 12, 0), Time(2023, 7, 15, 10, 0)},
    {"winter", Time(2023, 12, 15, 12, 0), Time(2023, 12, 15, 11, 0)},
};

class WindowsLocalTime : public testing::Test {
 protected:
  void SetUp() override {
    TIME_ZONE_INFORMATION zone;
    ASSERT_NE(GetTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
    ASSERT_TRUE(zone.Bias == -60 && zone.DaylightBias == -60 && zone.DaylightDate.wMonth != 0)
        << "expected Central European time with summer time (TZ=Europe/Berlin), got bias " << zone.Bias;
  }

  qvtest::Plugin& plugin_ = qvtest::SharedPlugin();
  Folder dir_;
};

TEST_F(WindowsLocalTime, PackingStoresTheWallClockTimeOfEachSeason) {
  qvwin::WriteBytes(dir_ / L"dated.txt", "dated");
  for (const Season& season : kSeasons) {
    SCOPED_TRACE(season.name);
    qvwin::SetWriteTime(dir_ / L"dated.txt", season.utc);
    ASSERT_EQ(plugin_.Pack(dir_.Host(L"dated.qv"), dir_.host(), {"dated.txt"}), qvtest::kOk);
    std::optional<qvtest::ParsedHeader> header = qvtest::ParseArchive(qvwin::ReadBytes(dir_ / L"dated.qv"));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->filetime, Dos(season.local));
  }
}

TEST_F(WindowsLocalTime, ExtractionSetsTheMomentOfTheStoredWallClockTime) {
  for (const Season& season : kSeasons) {
    SCOPED_TRACE(season.name);
    qvtest::ArchiveRecipe recipe;
    recipe.name = "dated.txt";
    recipe.content = "dated";
    recipe.filetime = Dos(season.local);
    qvtest::WriteArchive(dir_.Host(L"dated.qv"), recipe);
    EXPECT_EQ(qvwin::OpenAndProcess(plugin_, dir_.Host(L"dated.qv"), qvtest::kExtract, dir_.host().c_str(),
                                    "dated.txt"),
              qvtest::kOk);
    EXPECT_EQ(UtcWriteTicks(dir_ / L"dated.txt"), Ticks(season.utc));
  }
}

}  // namespace
