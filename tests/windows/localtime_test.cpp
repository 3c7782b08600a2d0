// Time stamps keep their wall-clock time in a zone with summer time, whatever
// the season the work is done in: a DOS time is local time by the rule of its
// own date, and of its own year.  Run under TZ=Europe/Berlin and
// TZ=America/New_York (Wine takes the zone from it); the files' times are
// set and read in UTC, so nothing here depends on the plugin's own
// conversions.
#include "windows_support.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "archive.h"
#include "files.h"
#include "host.h"
#include "mempack.h"
#include "process.h"

namespace {

using qvtest::TempDir;
using qvtest::Time;

FILETIME Moment(const SYSTEMTIME& utc) {
  FILETIME moment{};
  SystemTimeToFileTime(&utc, &moment);
  return moment;
}

FILETIME WriteTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
  return data.ftLastWriteTime;
}

// 12:00 in Berlin: 10:00 UTC in summer, 11:00 UTC in winter.  New York's
// summer time began on 2 April in 2006: 20 March was still winter time there,
// though by today's rule it would be summer (08:00).
struct Season {
  const char* tz;
  const char* name;
  std::uint32_t dos;
  SYSTEMTIME utc;
};
const Season kSeasons[] = {
    {"Europe/Berlin", "summer", qvtest::DosTime(2023, 7, 15, 12, 0, 0), Time(2023, 7, 15, 10, 0)},
    {"Europe/Berlin", "winter", qvtest::DosTime(2023, 12, 15, 12, 0, 0), Time(2023, 12, 15, 11, 0)},
    {"America/New_York", "2006", qvtest::DosTime(2006, 3, 20, 7, 0, 0), Time(2006, 3, 20, 12, 0)},
};

class WindowsLocalTime : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    for (const Season& season : kSeasons) {
      if (tz && std::string(tz) == season.tz) seasons_.push_back(season);
    }
    ASSERT_FALSE(seasons_.empty()) << "run with TZ=Europe/Berlin or TZ=America/New_York";
    TIME_ZONE_INFORMATION zone;
    ASSERT_NE(GetTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
    ASSERT_NE(zone.DaylightDate.wMonth, 0) << tz << " has no summer time here";
  }

  std::vector<Season> seasons_;  // those of the zone the test runs in
  qvtest::Plugin& plugin_ = qvtest::SharedPlugin();
  TempDir dir_;
};

TEST_F(WindowsLocalTime, PackingStoresTheWallClockTimeOfEachSeason) {
  qvtest::WriteBytes(dir_ / L"dated.txt", "dated");
  for (const Season& season : seasons_) {
    SCOPED_TRACE(season.name);
    qvtest::SetWriteTime(dir_ / L"dated.txt", season.utc);
    ASSERT_EQ(plugin_.Pack(dir_.Host(L"dated.qv"), dir_.path(), {"dated.txt"}), qvtest::kOk);
    std::optional<qvtest::ParsedHeader> header = qvtest::ParseArchive(qvtest::ReadBytes(dir_ / L"dated.qv"));
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->filetime, season.dos);
  }
}

TEST_F(WindowsLocalTime, ExtractionSetsTheMomentOfTheStoredWallClockTime) {
  for (const Season& season : seasons_) {
    SCOPED_TRACE(season.name);
    qvtest::ArchiveRecipe recipe;
    recipe.name = "dated.txt";
    recipe.content = "dated";
    recipe.filetime = season.dos;
    qvtest::WriteArchive(dir_.Host(L"dated.qv"), recipe);
    EXPECT_EQ(qvtest::OpenAndProcess(plugin_, dir_.Host(L"dated.qv"), qvtest::kExtract, dir_.path().c_str(),
                                    "dated.txt"),
              qvtest::kOk);
    const FILETIME expected = Moment(season.utc), actual = WriteTime(dir_ / L"dated.txt");
    EXPECT_EQ(CompareFileTime(&actual, &expected), 0);
  }
}

}  // namespace
