// End-to-end tests of wcx: the built program runs as a child process on
// temporary files, with the real plugin, the bzip2 program and GNU tar, and
// its output, exit status and leftovers are checked.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "archive.h"
#include "files.h"
#include "process.h"

namespace qvtest {
namespace {

using Names = std::vector<std::string>;

std::string N(std::uint64_t value) { return std::to_string(value); }

std::string Right(const std::string& text, std::size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

constexpr std::int64_t kMarch5th = 1709647628;  // 2024-03-05 14:07:08 UTC
const char kListHeader[] = "        size       packed  modified             name\n";
const char kVersionLine[] = "wcx (Quorvane) " WCX_VERSION "\n";

class WcxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(tmp_.c_str(), 0700), 0);
    umask(022);
  }

  std::string P(const std::string& name) const { return root_ + "/" + name; }

  // wcx in the test folder, with a fixed locale and time zone, and a
  // temporary folder of its own so the plugin's leftovers show.
  std::vector<std::string> Env() const { return {"LC_ALL=C.UTF-8", "TZ=UTC", "TMPDIR=" + tmp_}; }
  Outcome Wcx(std::vector<std::string> args) const {
    args.insert(args.begin(), WCX_EXE);
    return RunProgram(args, root_, Env());
  }
  // A shell command line in the test folder, where `wcx` is the built wcx;
  // as root, without the power to read files whatever their modes say.
  Outcome Sh(const std::string& line) const {
    std::vector<std::string> env = Env();
    env.push_back(std::string("WCX=") + WCX_EXE);
    const std::string drop =
        geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search -- " : "";
    return RunProgram({"/bin/sh", "-c", "wcx() { " + drop + "\"$WCX\" \"$@\"; }; " + line}, root_,
                      env);
  }
  std::unique_ptr<Child> StartWcx(std::vector<std::string> args, bool hold_stderr = false) const {
    args.insert(args.begin(), WCX_EXE);
    return std::make_unique<Child>(args, root_, Env(), hold_stderr);
  }
  // wcx on a disk that is full once a file reaches `kib` KiB: writes beyond
  // that fail with EFBIG instead of ending the process.
  Outcome WcxOnASmallDisk(int kib, std::vector<std::string> args) const {
    args.insert(args.begin(), {"/bin/bash", "-c",
                               "trap '' XFSZ; ulimit -f " + std::to_string(kib) +
                                   "; exec \"$0\" \"$@\"",
                               WCX_EXE});
    return RunProgram(args, root_, Env());
  }

  void Folder(const std::string& name) const {
    std::filesystem::create_directories(P(name));
  }
  // Packs `content` as `file` into `archive`, failing the test otherwise.
  void Pack(const std::string& archive, const std::string& file, const std::string& content) {
    WriteFile(P(file), content);
    Outcome packed = Wcx({"pack", "--force", archive, file});
    ASSERT_EQ(packed.status, 0) << packed.err;
  }

  TempDir folder_{"wcx_test"};
  std::string root_ = folder_.path();
  std::string tmp_ = root_ + "/tmp";
};

TEST_F(WcxTest, PacksListsTestsAndExtractsOneFile) {
  const std::string content = "Quarterly figures\n" + std::string(5000, 'x') + "\nend\n";
  WriteFile(P("report.txt"), content);
  SetModificationTime(P("report.txt"), kMarch5th);

  Outcome pack = Wcx({"pack", "a.qv", "report.txt"});
  const std::string archive = ReadFile(P("a.qv"));
  EXPECT_EQ(pack.status, 0);
  EXPECT_EQ(pack.err, "");
  EXPECT_EQ(pack.out, "a.qv: packed report.txt, " + N(content.size()) + " bytes into " +
                          N(archive.size()) + "\n");

  const std::string packed = N(archive.size() - 28 - 10);
  Outcome list = Wcx({"list", "a.qv"});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out, kListHeader + Right(N(content.size()), 12) + " " + Right(packed, 12) +
                          "  2024-03-05 14:07:08  report.txt\n");
  Outcome json = Wcx({"list", "--json", "a.qv"});
  EXPECT_EQ(json.out, "{\"archive\":\"a.qv\",\"entries\":[{\"name\":\"report.txt\",\"size\":" +
                          N(content.size()) + ",\"packed\":" + packed +
                          ",\"modified\":\"2024-03-05T14:07:08+00:00\",\"mtime\":1709647628,"
                          "\"attributes\":33188}]}\n");

  Outcome test = Wcx({"--progress", "test", "a.qv"});
  EXPECT_EQ(test.status, 0);
  EXPECT_EQ(test.out, "report.txt: OK\n");
  // The bar ends on a final line of its own, never past the total.
  const std::string last = test.err.substr(test.err.rfind('\n', test.err.size() - 2) + 1);
  EXPECT_EQ(last.rfind("testing report.txt [########################] 100%  4.9 KiB", 0), 0u)
      << test.err;
  EXPECT_TRUE(EndsWith(last, " s\n")) << test.err;

  Outcome extract = Wcx({"extract", "a.qv", "out/new"});
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(extract.out, "out/new/report.txt\n");
  EXPECT_EQ(extract.err, "");
  EXPECT_EQ(ReadFile(P("out/new/report.txt")), content);
  struct stat st;
  ASSERT_EQ(stat(P("out/new/report.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u) << "a new file's usual permissions";
  EXPECT_EQ(ListDir(P("out/new")), Names{"report.txt"});
  EXPECT_EQ(ListDir(P(".")), (Names{"a.qv", "out", "report.txt", "tmp"}));
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, ListShowsAwkwardNamesSafely) {
  struct Case {
    std::string file;
    std::string plain;
    std::string json;
  };
  const Case cases[] = {
      {"say \"hi\".txt", "say \"hi\".txt", "say \\\"hi\\\".txt"},
      {"two\nlines.txt", "two?lines.txt", "two\\u000alines.txt"},
      {"отчёт за май.txt", "отчёт за май.txt", "отчёт за май.txt"},
      {"caf\xe9.txt", "caf\xe9.txt", "caf\\ufffd.txt\",\"name_hex\":\"636166e92e747874"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.plain);
    Pack("back\\slash.qv", c.file, "some text\n");
    Outcome list = Wcx({"list", "back\\slash.qv"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(EndsWith(list.out, "  " + c.plain + "\n")) << list.out;
    Outcome json = Wcx({"list", "--json", "back\\slash.qv"});
    EXPECT_EQ(json.out.rfind("{\"archive\":\"back\\\\slash.qv\",\"entries\":[{\"name\":\"" + c.json +
                                 "\",", 0),
              0u)
        << json.out;
  }
}

TEST_F(WcxTest, ExistingOutputIsKeptUnlessForced) {
  Pack("a.qv", "report.txt", "new contents\n");
  const std::string archive = ReadFile(P("a.qv"));
  Folder("out");
  WriteFile(P("out/report.txt"), "old contents\n");

  Outcome refused = Wcx({"extract", "a.qv", "out"});
  EXPECT_EQ(refused.status, 5);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(refused.err, "wcx: out/report.txt: already exists (use --force to replace it)\n");
  EXPECT_EQ(ReadFile(P("out/report.txt")), "old contents\n");
  EXPECT_EQ(ListDir(P("out")), Names{"report.txt"});

  for (const Names& args : {Names{"pack", "a.qv", "report.txt"},
                            Names{"pack", "--tar", "a.qv", "report.txt"}}) {
    Outcome pack = Wcx(args);
    EXPECT_EQ(pack.status, 5);
    EXPECT_EQ(pack.err, "wcx: a.qv: already exists (use --force to replace it)\n");
    EXPECT_EQ(ReadFile(P("a.qv")), archive);
  }

  Outcome forced = Wcx({"extract", "--force", "a.qv", "out"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(ReadFile(P("out/report.txt")), "new contents\n");
  EXPECT_EQ(ListDir(P("out")), Names{"report.txt"});

  // Replacing keeps a private archive private, and a link stays a link to
  // the file that is replaced.
  ASSERT_EQ(chmod(P("a.qv").c_str(), 0600), 0);
  ASSERT_EQ(symlink("a.qv", P("link.qv").c_str()), 0);
  WriteFile(P("new.txt"), "newer contents\n");
  for (const Names& args : {Names{"pack", "-f", "link.qv", "new.txt"},
                            Names{"pack", "-f", "--tar", "link.qv", "new.txt"}}) {
    SCOPED_TRACE(args[2]);
    Outcome pack = Wcx(args);
    EXPECT_EQ(pack.status, 0) << pack.err;
    EXPECT_NE(ReadFile(P("a.qv")), archive);
    EXPECT_EQ(ModeOf(P("a.qv")) & 07777, 0600);
    EXPECT_EQ(std::filesystem::read_symlink(P("link.qv")), "a.qv");
  }
  EXPECT_EQ(ListDir(P(".")), (Names{"a.qv", "link.qv", "new.txt", "out", "report.txt", "tmp"}));
}

TEST_F(WcxTest, SaysWhatTheFormatCannotKeep) {
  // Warnings only: the archive is made and the status is 0.
  struct Case {
    std::time_t mtime;
    mode_t mode;
    std::string err;
  };
  const Case cases[] = {
      {kMarch5th, 0644, ""},
      {LocalUnixTime(1975, 6, 1, 12, 0, 0), 0644,
       "wcx: old.txt: modified in 1975, outside the years 1980 to 2107 an archive can store; it "
       "will come back with the time it is extracted\n"},
      {kMarch5th, 0755,
       "wcx: old.txt: an archive does not keep permissions; it will come back without its "
       "executable bit (pack --tar keeps them)\n"},
  };
  for (const Case& c : cases) {
    WriteFile(P("old.txt"), "text\n");
    SetModificationTime(P("old.txt"), c.mtime);
    ASSERT_EQ(chmod(P("old.txt").c_str(), c.mode), 0);
    Outcome pack = Wcx({"pack", "-qf", "old.txt"});
    EXPECT_EQ(pack.status, 0);
    EXPECT_EQ(pack.err, c.err);
    EXPECT_TRUE(Exists(P("old.txt.qv")));
  }
}

TEST_F(WcxTest, ForcedExtractionReplacesALinkInsteadOfWritingThroughIt) {
  Pack("a.qv", "report.txt", "from the archive\n");
  WriteFile(P("outside.txt"), "precious\n");
  Folder("out");
  ASSERT_EQ(symlink("../outside.txt", P("out/report.txt").c_str()), 0);

  Outcome extract = Wcx({"extract", "--force", "a.qv", "out"});
  EXPECT_EQ(extract.status, 0) << extract.err;
  EXPECT_EQ(ReadFile(P("outside.txt")), "precious\n");
  struct stat st;
  ASSERT_EQ(lstat(P("out/report.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile(P("out/report.txt")), "from the archive\n");
}

TEST_F(WcxTest, ExtractionStaysInsideTheFolder) {
  // Whatever name a crafted archive stores, at most one file appears, and
  // directly inside the folder; an entry wcx cannot name is refused.
  for (const std::string name : {"../../escape.txt", "/tmp/escape.txt", "..", ".", "", "sub/"}) {
    SCOPED_TRACE(name);
    WriteFile(P("bad.qv"), MakeArchive(name, "payload\n", BzipProgramCompress("payload\n", root_)));
    Outcome bad = Wcx({"extract", "bad.qv", "out"});
    const Names written = ListDir(P("out"));
    if (bad.status == 0) {
      ASSERT_EQ(written.size(), 1u);
      EXPECT_EQ(bad.out, "out/" + written[0] + "\n");
      EXPECT_EQ(ReadFile(P("out/" + written[0])), "payload\n");
      EXPECT_NE(written[0], "..");
    } else {
      EXPECT_EQ(bad.status, 6);
      EXPECT_EQ(bad.err, "wcx: bad.qv: refusing to extract an entry named \"" + name + "\"\n");
      EXPECT_EQ(written, Names{});
    }
    EXPECT_EQ(ListDir(P(".")), (Names{"bad.qv", "out", "tmp"}));
    std::filesystem::remove_all(P("out"));
  }
}

TEST_F(WcxTest, EachFailureHasOneStatusInEveryCommand) {
  // The same failure gets the same status whichever command meets it; the
  // README's table of statuses lists these.
  Pack("a.qv", "report.txt", "Some text that is long enough to give bzip2 a real block.\n");
  const std::string archive = ReadFile(P("a.qv"));
  std::string damaged = archive;
  damaged[damaged.size() - 20] = static_cast<char>(damaged[damaged.size() - 20] ^ 0x55);
  WriteFile(P("damaged.qv"), damaged);
  std::string wrong_crc = archive;
  for (std::size_t i = 24; i < 28; ++i) wrong_crc[i] = static_cast<char>(wrong_crc[i] ^ 0xFF);
  WriteFile(P("badcrc.qv"), wrong_crc);
  WriteFile(P("notes.txt"), "QUORVAN is close, but not the magic\n");
  WriteFile(P("blocker"), "a file where a folder is wanted\n");
  Folder("folder");
  WriteFile(P("folder/secret.txt"), "nobody may read this\n");
  WriteFile(P("folder/open.txt"), "anybody may read this\n");
  ASSERT_EQ(chmod(P("folder/secret.txt").c_str(), 0), 0);
  WriteFile(P("locked.qv"), archive);
  ASSERT_EQ(chmod(P("locked.qv").c_str(), 0), 0);
  WriteFile(P("held.qv"), archive);
  WriteFile(P("read.qv"), archive);
  // Another program writing the archive holds it locked, and one reading it
  // shares it with other readers only.
  const int held = open(P("held.qv").c_str(), O_RDWR);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const int read = open(P("read.qv").c_str(), O_RDONLY);
  ASSERT_EQ(flock(read, LOCK_SH), 0);
  // A tar that tries to write outside its folder, and one that is no tar.
  Folder("t");
  WriteFile(P("t/x"), "x\n");
  ASSERT_EQ(RunShell("cd " + ShellQuote(root_) + " && tar -cPf evil.tar --transform='s,^t/,../,' t/x " +
                     ShellQuote(P("t/x"))),
            0);
  Pack("evil.qv", "evil.tar", ReadFile(P("evil.tar")));
  Folder("out");
  WriteFile(P("out/report.txt"), "already here\n");

  const std::string missing = "cannot open the archive: No such file or directory\n";
  struct Case {
    std::string line;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"wcx pack --tar t.qv folder", 1,
       "wcx: folder/secret.txt: cannot open: Permission denied; left out\n"},
      {"wcx extract a.qv out", 5, "wcx: out/report.txt: already exists (use --force to replace it)\n"},
      {"wcx pack a.qv notes.txt", 5, "wcx: a.qv: already exists (use --force to replace it)\n"},
      {"wcx pack --tar a.qv notes.txt", 5, "wcx: a.qv: already exists (use --force to replace it)\n"},
      {"wcx extract --untar t.qv folder/..", 5,
       "wcx: folder/../folder/open.txt: already exists (use --force to replace it)\n"},
      {"wcx extract --untar evil.qv safe", 6,
       "wcx: evil.qv: refusing to extract a member named \"../x\": Path contains '..'\n"
       "wcx: evil.qv: refusing to extract a member named \"" + P("t/x") + "\": Path is absolute\n"},
      {"wcx test damaged.qv", 13, "wcx: damaged.qv: checksum mismatch: the archive's data is damaged\n"},
      {"wcx test badcrc.qv", 13, "wcx: badcrc.qv: checksum mismatch: the archive's data is damaged\n"},
      {"wcx extract badcrc.qv fresh", 13,
       "wcx: badcrc.qv: checksum mismatch: the data is damaged; what could be recovered was kept "
       "in fresh/report.txt\n"},
      {"wcx list notes.txt", 14, "wcx: notes.txt: not a Quorvane archive\n"},
      {"wcx test - < notes.txt", 14, "wcx: standard input: not a Quorvane archive\n"},
      {"wcx extract notes.txt out", 14, "wcx: notes.txt: not a Quorvane archive\n"},
      {"wcx list --tar a.qv", 14, "wcx: a.qv: the stored file is not a tar\n"},
      {"wcx list missing.qv", 15, "wcx: missing.qv: " + missing},
      {"wcx test held.qv", 15, "wcx: held.qv: cannot open the archive: in use (another program is writing it)\n"},
      {"wcx extract locked.qv out", 15, "wcx: locked.qv: cannot open the archive: Permission denied\n"},
      {"wcx list folder", 15, "wcx: folder: cannot open the archive: it is a folder\n"},
      {"wcx pack b.qv missing.txt", 15, "wcx: missing.txt: cannot open: No such file or directory\n"},
      {"wcx pack b.qv folder/secret.txt", 15, "wcx: folder/secret.txt: cannot open: Permission denied\n"},
      {"wcx pack --tar b.qv missing.txt", 15, "wcx: missing.txt: cannot open: No such file or directory\n"},
      {"wcx pack -f read.qv report.txt", 15,
       "wcx: read.qv: cannot replace the archive: in use (another program is reading it)\n"},
      {"wcx pack -f --tar read.qv report.txt", 15,
       "wcx: read.qv: cannot replace the archive: in use (another program is reading it)\n"},
      {"wcx extract a.qv blocker/sub", 16,
       "wcx: a.qv: cannot create the folder blocker/sub: Not a directory\n"},
      {"wcx pack blocker/b.qv report.txt", 16, "wcx: blocker/b.qv: cannot be created: Not a directory\n"},
      {"wcx pack --tar blocker/b.qv report.txt", 16,
       "wcx: blocker/b.qv: cannot be created: Not a directory\n"},
      {"wcx pack b.qv - < folder", 18, "wcx: standard input: cannot be read: Is a directory\n"},
      {"wcx pack b.qv folder", 22, "wcx: folder: nothing to pack: it is a folder (pack folders with --tar)\n"},
      {"wcx test a.qv missing.qv notes.txt", 15,
       "wcx: missing.qv: " + missing + "wcx: notes.txt: not a Quorvane archive\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome outcome = Sh(c.line);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, c.err);
  }
  close(held);
  close(read);
  // Nothing half-made anywhere, nothing outside the folders, no temporary
  // files; damaged data kept where the plugin put it.
  EXPECT_EQ(ReadFile(P("out/report.txt")), "already here\n");
  EXPECT_EQ(ReadFile(P("read.qv")), archive);
  EXPECT_EQ(ListDir(P("fresh")), Names{"report.txt"});
  EXPECT_EQ(ListDir(P("safe")), Names{});
  EXPECT_EQ(ListDir(P("t")), Names{"x"});
  EXPECT_EQ(ListDir(P(".")),
            (Names{"a.qv", "badcrc.qv", "blocker", "damaged.qv", "evil.qv", "evil.tar", "folder",
                   "fresh", "held.qv", "locked.qv", "notes.txt", "out", "read.qv", "report.txt",
                   "safe", "t", "t.qv", "tmp"}));
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, AFullDiskIsToldAboutWhatCouldNotBeWritten) {
  // Each command names what it was writing: the extracted file or the
  // archive.  Testing writes nothing, so a full disk does not stop it.
  WriteNoise(P("big.bin"), 1 << 20);
  Pack("big.qv", "big.bin", ReadFile(P("big.bin")));
  struct Case {
    Names args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"extract", "big.qv", "out"}, 19, "wcx: out/big.bin: cannot be written (the disk may be full)\n"},
      {{"test", "big.qv"}, 0, ""},
      {{"pack", "again.qv", "big.bin"}, 19,
       "wcx: again.qv: the archive cannot be written (the disk may be full, compressing failed, "
       "or the plugin cannot load its compression library)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Outcome outcome = WcxOnASmallDisk(256, c.args);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.err, c.err);
  }
  EXPECT_EQ(ListDir(P("out")), Names{});
  EXPECT_EQ(ListDir(P(".")), (Names{"big.bin", "big.qv", "out", "tmp"}));
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, UsageErrors) {
  const std::string hint = " (try 'wcx --help')\n";
  struct Case {
    Names args;
    std::string err;
  };
  const Case cases[] = {
      {{}, "wcx: no command given" + hint},
      {{"unpack", "a.qv"}, "wcx: unknown command unpack" + hint},
      {{"extract"}, "wcx: usage: wcx extract [-f] [-c | --untar] [-C DIR] ARCHIVE..." + hint},
      {{"pack", "a.qv", "x", "y"}, "wcx: usage: wcx pack [-f] [-c] [ARCHIVE] FILE" + hint},
      {{"pack", "-c", "a.qv", "x"}, "wcx: usage: wcx pack [-f] [-c] [ARCHIVE] FILE" + hint},
      {{"test", "--json", "a.qv"}, "wcx: --json is for list only" + hint},
      {{"extract", "-c", "--untar", "a.qv"}, "wcx: -c writes to standard output: not with --untar or -C" + hint},
      {{"pack", "--tar", "--name", "n", "a.qv", "x"}, "wcx: --name is for pack without --tar only" + hint},
      {{"test", "-", "-"}, "wcx: standard input can be read only once" + hint},
      {{"list", "-fqx", "a.qv"}, "wcx: unknown option -x" + hint},
      {{"list", "--bogus", "a.qv"}, "wcx: unknown option --bogus" + hint},
      {{"list", "a.qv", "--plugin"}, "wcx: --plugin needs a value" + hint},
  };
  for (const Case& c : cases) {
    Outcome outcome = Wcx(c.args);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.err, c.err);
  }
  Outcome help = Wcx({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: wcx ", 0), 0u);
  EXPECT_NE(help.out.find("\n  --  "), std::string::npos) << help.out;
  Outcome version = Wcx({"-V"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, kVersionLine);
}

TEST_F(WcxTest, FollowsTheShellsConventions) {
  // Combined short flags, -q silent on success, -C, FILE.qv beside FILE,
  // several archives with the worst status, `--` before a name like an
  // option.
  Pack("a.qv", "report.txt", "some text\n");
  WriteFile(P("-odd.txt"), "a name like an option\n");
  Folder("tree/sub");
  WriteFile(P("tree/sub/x.txt"), "in a folder\n");
  struct Case {
    std::string line;
    int status;
    std::string out;
    Names made;  // what the command left in the test folder besides the start
  };
  const Case cases[] = {
      {"wcx pack report.txt", 0, "report.txt.qv: packed report.txt, 10 bytes into 87\n",
       {"report.txt.qv"}},
      {"wcx pack -qf report.txt", 0, "", {"report.txt.qv"}},
      {"wcx pack -- -odd.txt", 0, "-odd.txt.qv: packed -odd.txt, 22 bytes into 95\n", {"-odd.txt.qv"}},
      {"wcx pack -q --tar tree/ && wcx list -q tree.qv | cut -c 49-", 0, "name\ntree.tar\n", {"tree.qv"}},
      {"wcx -T1 test -q a.qv", 0, "", {}},
      {"wcx extract -qfCout a.qv && wcx extract -o out -f a.qv", 0, "out/report.txt\n", {"out"}},
      {"wcx pack -q b.qv report.txt && wcx extract -f a.qv b.qv -C out", 0,
       "out/report.txt\nout/report.txt\n", {"b.qv", "out"}},
      {"wcx test a.qv missing.qv a.qv", 15, "a.qv: report.txt: OK\na.qv: report.txt: OK\n", {}},
      {"wcx pack -q --tar tree && wcx extract -v --untar tree.qv out", 0, "out/tree/\nout/tree/sub/\nout/tree/sub/x.txt\n", {"out", "tree.qv"}},
  };
  const Names start = ListDir(P("."));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome outcome = Sh(c.line);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(outcome.out, c.out);
    Names expected = start;
    expected.insert(expected.end(), c.made.begin(), c.made.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListDir(P(".")), expected);
    for (const std::string& made : c.made) std::filesystem::remove_all(P(made));
  }
}

TEST_F(WcxTest, SetsUpDoubleCommanderOnce) {
  // The entry goes into whatever configuration is there, replaces an old
  // entry for .qv where it stands, and a second run changes nothing.
  const std::string plugin = std::filesystem::path(WCX_EXE).parent_path().string() + "/quorvane.wcx";
  const std::string entry = "      <WcxPlugin Enabled=\"True\">\n        <ArchiveExt>qv</ArchiveExt>\n"
                            "        <Path>" + plugin + "</Path>\n        <Flags>241</Flags>\n"
                            "      </WcxPlugin>\n";
  const std::string zip = "      <WcxPlugin Enabled=\"True\">\n        <ArchiveExt>zip</ArchiveExt>\n"
                          "        <Path>zip.wcx</Path>\n        <Flags>735</Flags>\n      </WcxPlugin>\n";
  const std::string old_qv = "      <WcxPlugin Enabled=\"False\">\n        <ArchiveExt>QV</ArchiveExt>\n"
                             "        <Path>old.wcx</Path>\n        <Flags>0</Flags>\n      </WcxPlugin>\n";
  const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doublecmd DCVersion=\"1.0.10\">\n";
  struct Case {
    std::optional<std::string> before;
    std::string after;
  };
  const Case cases[] = {
      {std::nullopt, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<doublecmd>\n  <Plugins>\n"
                     "    <WcxPlugins>\n" + entry + "    </WcxPlugins>\n  </Plugins>\n</doublecmd>\n"},
      {head + "  <Plugins/>\n</doublecmd>\n",
       head + "  <Plugins>\n    <WcxPlugins>\n" + entry + "    </WcxPlugins>\n  </Plugins>\n</doublecmd>\n"},
      {head + "  <Plugins>\n    <WcxPlugins>\n" + zip + old_qv + zip + "    </WcxPlugins>\n  </Plugins>\n</doublecmd>\n",
       head + "  <Plugins>\n    <WcxPlugins>\n" + zip + entry + zip + "    </WcxPlugins>\n  </Plugins>\n</doublecmd>\n"},
      {head + "  <Plugins>\n    <WcxPlugins>\n" + zip + "    </WcxPlugins>\n  </Plugins>\n</doublecmd>\n",
       head + "  <Plugins>\n    <WcxPlugins>\n" + zip + entry + "    </WcxPlugins>\n  </Plugins>\n</doublecmd>\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.after);
    std::filesystem::remove_all(P("dc"));
    if (c.before) {
      Folder("dc");
      WriteFile(P("dc/doublecmd.xml"), *c.before);
    }
    Outcome first = Wcx({"setup", "doublecmd", "dc"});
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(ReadFile(P("dc/doublecmd.xml")), c.after);
    EXPECT_EQ(ListDir(P("dc")), c.before ? (Names{"doublecmd.xml", "doublecmd.xml.bak"}) : Names{"doublecmd.xml"});
    EXPECT_EQ(ReadFile(P("dc/doublecmd.xml.bak")), c.before.value_or(""));
    Outcome second = Wcx({"setup", "doublecmd", "dc"});
    EXPECT_EQ(second.out, "dc/doublecmd.xml: already set up: .qv opens with " + plugin + "\n");
    EXPECT_EQ(ReadFile(P("dc/doublecmd.xml")), c.after);
  }
  WriteFile(P("dc/doublecmd.xml"), "<?xml version=\"1.0\"?>\n<settings/>\n");
  Outcome foreign = Wcx({"setup", "doublecmd", "dc"});
  EXPECT_EQ(foreign.status, 14);
  EXPECT_EQ(ReadFile(P("dc/doublecmd.xml")), "<?xml version=\"1.0\"?>\n<settings/>\n");

  // A running Double Commander would write its own copy back at its end.
  std::filesystem::remove_all(P("dc"));
  std::filesystem::copy_file("/bin/sh", P("doublecmd"));
  Outcome refused = Sh(
      "mkfifo hold; ./doublecmd -c 'read x < hold' dc --config-dir=dc & "
      "until [ \"$(readlink /proc/$!/exe)\" = \"$PWD/doublecmd\" ]; do :; done; "
      "wcx setup doublecmd dc; status=$?; kill $!; exit $status");
  EXPECT_EQ(refused.status, 16);
  EXPECT_EQ(refused.err, "wcx: dc/doublecmd.xml: Double Commander is running and would overwrite the "
                         "change when it exits; close it and run this again\n");
  EXPECT_FALSE(Exists(P("dc")));
}

TEST_F(WcxTest, PipesAsBzip2Does) {
  const std::string content = TextBytes(300000);
  WriteFile(P("report.txt"), content);
  ASSERT_EQ(Wcx({"pack", "a.qv", "report.txt"}).status, 0);
  struct Case {
    std::string line;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"wcx extract -c a.qv | cmp - report.txt", 0, "", ""},
      // The same archive either way: the stored name and time are the file's.
      {"wcx pack -c report.txt | cmp - a.qv", 0, "", ""},
      {"cat a.qv | wcx test -", 0, "report.txt: OK\n", ""},
      {"cat report.txt | wcx pack -q --name orig x.qv - && wcx list x.qv | cut -c 49- && "
       "wcx extract -c x.qv | cmp - report.txt",
       0, "name\norig\n", ""},
      {"cat report.txt | wcx pack -q y.qv - && wcx list y.qv | cut -c 49-", 0, "name\ny\n", ""},
      // Stored without a name, as the archive had none; read back as "stdin".
      {"cat report.txt | wcx pack -c - | wcx extract -C out - && cmp out/stdin report.txt", 0,
       "out/stdin\n", ""},
      {"script -qec \"$WCX pack -c report.txt\" /dev/null | tr -d '\\r'", 0,
       "wcx: standard output: refusing to write an archive to a terminal\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Outcome outcome = Sh(c.line);
    EXPECT_EQ(outcome.status, c.status) << outcome.err;
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
  }
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, RefusesFilesThatAreNotUsablePlugins) {
  WriteFile(P("notes.txt"), "just some text\n");
  Outcome text = Wcx({"--plugin", "notes.txt", "about"});
  EXPECT_EQ(text.status, 3);
  EXPECT_EQ(text.err.rfind("wcx: notes.txt: not a WCX plugin: ", 0), 0u) << text.err;
  EXPECT_EQ(text.out, "");

  Outcome missing = Wcx({"--plugin", "missing.wcx", "list", "a.qv"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.err, "wcx: missing.wcx: not a WCX plugin: No such file or directory\n");

  Outcome lacking = Wcx({"--plugin", WCX_NOEXPORTS, "about"});
  EXPECT_EQ(lacking.status, 4);
  EXPECT_EQ(lacking.err, std::string("wcx: ") + WCX_NOEXPORTS +
                             ": the plugin lacks required exports: OpenArchive, ReadHeader, "
                             "ProcessFile, CloseArchive, SetChangeVolProc, SetProcessDataProc\n");
}

TEST_F(WcxTest, PluginWithoutItsCompressionLibrary) {
  Pack("a.qv", "report.txt", "text\n");
  // A library file beside the plugin that is no library.
  Folder("plugin");
  std::filesystem::copy_file(WCX_PLUGIN, P("plugin/quorvane.wcx"));
  WriteFile(P("plugin/libbz2.so.1.0"), "not a library\n");
  const Names plugin = {"--plugin", "plugin/quorvane.wcx"};
  auto with_plugin = [&](Names args) {
    args.insert(args.begin(), plugin.begin(), plugin.end());
    return Wcx(args);
  };

  Outcome list = with_plugin({"list", "a.qv"});
  EXPECT_EQ(list.status, 0) << "listing needs no compression";
  const std::string cannot_open =
      "the archive cannot be opened for reading (or the plugin cannot load its compression "
      "library)\n";
  EXPECT_EQ(with_plugin({"test", "a.qv"}).err, "wcx: a.qv: " + cannot_open);
  Outcome extract = with_plugin({"extract", "a.qv", "out"});
  EXPECT_EQ(extract.status, 15);
  EXPECT_EQ(extract.err, "wcx: a.qv: " + cannot_open);
  EXPECT_EQ(ListDir(P("out")), Names{});

  const std::string cannot_write =
      "the archive cannot be written (the disk may be full, compressing failed, or the plugin "
      "cannot load its compression library)\n";
  for (const Names& args : {Names{"pack", "b.qv", "report.txt"},
                            Names{"pack", "--tar", "b.qv", "report.txt"}}) {
    Outcome pack = with_plugin(args);
    EXPECT_EQ(pack.status, 19);
    EXPECT_EQ(pack.err, "wcx: b.qv: " + cannot_write);
  }
  EXPECT_EQ(ListDir(P(".")), (Names{"a.qv", "out", "plugin", "report.txt", "tmp"}));
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, AboutDecodesCapabilitiesAndShowsTheAboutText) {
  Outcome about = Wcx({"about"});
  EXPECT_EQ(about.status, 0);
  EXPECT_EQ(about.err, "");
  const std::string plugin_dir = std::filesystem::path(WCX_EXE).parent_path().string();
  EXPECT_EQ(about.out.rfind(kVersionLine + ("plugin: " + plugin_dir + "/quorvane.wcx\n"), 0), 0u)
      << about.out;
  EXPECT_NE(about.out.find("capabilities: 241\n"
                           "     1  can create new archives\n"
                           "    16  has a configuration entry\n"
                           "    32  can pack in memory\n"
                           "    64  recognises archives by their contents\n"
                           "   128  archives may be searched for text\n"
                           "about:\n"),
            std::string::npos)
      << about.out;
  EXPECT_NE(about.out.find("  QuorvaneTC\n"
                           "  Simply plugin for working with Orvel's Quorvane archives\n"),
            std::string::npos)
      << about.out;
}

TEST_F(WcxTest, PackTarKeepsATreeThatGnuTarRestores) {
  Folder("tree/a/b/c");
  Folder("tree/a/empty_dir");
  WriteFile(P("tree/a/b/c/deep.txt"), "three folders down\n");
  WriteFile(P("tree/empty.txt"), "");
  WriteFile(P("tree/пример файла.txt"), "имя не из ASCII\n");
  ASSERT_EQ(symlink("a/b/c/deep.txt", P("tree/link").c_str()), 0);
  WriteFile(P("loose.txt"), "a file given by itself\n");

  Outcome pack = Wcx({"pack", "--tar", "t.qv", "tree", "loose.txt"});
  EXPECT_EQ(pack.status, 0) << pack.err;
  Outcome list = Wcx({"list", "t.qv"});
  EXPECT_TRUE(EndsWith(list.out, "  t.tar\n")) << list.out;
  EXPECT_EQ(Wcx({"test", "t.qv"}).out, "t.tar: OK\n");
  Outcome extract = Wcx({"extract", "t.qv", "x"});
  EXPECT_EQ(extract.out, "x/t.tar\n");

  const std::string tar = ReadFile(P("x/t.tar"));
  EXPECT_EQ(pack.out, "t.qv: packed 4 files, 5 folders, 1 link (" + N(tar.size()) +
                          " bytes of tar) into " + N(ReadFile(P("t.qv")).size()) + "\n");

  Outcome names = RunProgram({"/usr/bin/tar", "-tf", "x/t.tar"}, root_);
  EXPECT_EQ(names.status, 0) << names.err;
  EXPECT_EQ(names.out,
            "tree/\ntree/a/\ntree/a/b/\ntree/a/b/c/\ntree/a/b/c/deep.txt\ntree/a/empty_dir/\n"
            "tree/empty.txt\ntree/link\ntree/пример файла.txt\nloose.txt\n");

  Folder("y");
  Outcome untar = RunProgram({"/usr/bin/tar", "-xf", "x/t.tar", "-C", "y"}, root_);
  EXPECT_EQ(untar.status, 0) << untar.err;
  Outcome diff = RunProgram({"/usr/bin/diff", "-r", "--no-dereference", "tree", "y/tree"}, root_);
  EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
  EXPECT_EQ(ReadFile(P("y/loose.txt")), "a file given by itself\n");
  EXPECT_EQ(std::filesystem::read_symlink(P("y/tree/link")), "a/b/c/deep.txt");

  // In one step, and with no tar left over.
  Outcome untarred = Wcx({"extract", "--untar", "t.qv", "z"});
  EXPECT_EQ(untarred.status, 0) << untarred.err;
  EXPECT_EQ(untarred.out, "t.qv: unpacked 4 files, 5 folders, 1 link into z\n");
  EXPECT_EQ(RunProgram({"/usr/bin/diff", "-r", "--no-dereference", "tree", "z/tree"}, root_).status, 0);
  EXPECT_EQ(ListDir(P("z")), (Names{"loose.txt", "tree"}));
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, PackTarStoresAFileThatChangesAsItsHeaderDescribesIt) {
  // The file changes once wcx has taken its size and before it has read it:
  // with -v and the archive on standard output, wcx names each file on
  // standard error before it reads it, and that first line waits until the
  // test reads it.
  std::string original;
  for (int line = 0; original.size() < 200 * 1024; ++line) {
    original += "line " + N(static_cast<std::uint64_t>(line)) + " of a growing log\n";
  }
  const std::size_t kept = 100 * 1024;
  struct Case {
    const char* change;
    std::function<void(const std::string&)> make_it;
    std::string stored;
  };
  const Case cases[] = {
      {"grows",
       [](const std::string& path) {
         std::ofstream(path, std::ios::app) << std::string(5000, '+');
       },
       original},
      {"shrinks",
       [&](const std::string& path) {
         ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kept)), 0);
       },
       original.substr(0, kept) + std::string(original.size() - kept, '\0')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    WriteFile(P("log.txt"), original);
    auto child = StartWcx({"pack", "-cv", "--tar", "log.txt"}, true);
    ASSERT_TRUE(child->WaitUntilHeld()) << child->Finish().err;
    c.make_it(P("log.txt"));
    Outcome pack = child->Finish();
    EXPECT_EQ(pack.status, 1) << pack.err;
    EXPECT_EQ(pack.err.rfind("log.txt\nwcx: log.txt: file changed as we read it\n"
                             "standard output: packed 1 file, 0 folders, 0 links (", 0), 0u)
        << pack.err;
    WriteFile(P("a.qv"), pack.out);

    std::filesystem::remove_all(P("x"));
    ASSERT_EQ(Wcx({"extract", "a.qv", "x"}).status, 0);
    Outcome untar = RunProgram({"/usr/bin/tar", "-xf", "log.tar"}, P("x"));
    EXPECT_EQ(untar.status, 0) << untar.err;
    EXPECT_TRUE(ReadFile(P("x/log.txt")) == c.stored) << "not stored as its header describes it";
  }
  EXPECT_EQ(ListDir(tmp_), Names{});
}

TEST_F(WcxTest, InterruptedOrKilledLeavesNothingBehind) {
  WriteNoise(P("big.bin"), 200ull << 20);
  Pack("a.qv", "report.txt", "the archive that must survive\n");
  const std::string old = ReadFile(P("a.qv"));
  // Zeros compress to almost nothing, so a large archive is quick to make.
  WriteFile(P("zeros.bin"), "");
  ASSERT_EQ(truncate(P("zeros.bin").c_str(), 200 << 20), 0);
  ASSERT_EQ(Wcx({"pack", "z.qv", "zeros.bin"}).status, 0);

  // Stopped while the plugin compresses a file, and while wcx feeds it a
  // tar, which the plugin compresses as it arrives; killed while the plugin
  // extracts into wcx's scratch folder, which the next wcx to work there
  // removes.
  struct Case {
    Names args;
    std::string started;
    int signal;
  };
  const Case cases[] = {
      {{"--progress", "pack", "--force", "a.qv", "big.bin"}, "packing big.bin [", SIGINT},
      {{"--progress", "pack", "--force", "--tar", "a.qv", "big.bin"}, "reading [", SIGINT},
      {{"--progress", "extract", "-c", "z.qv"}, "extracting zeros.bin [", SIGKILL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.started);
    auto child = StartWcx(c.args);
    ASSERT_TRUE(child->WaitForError(c.started)) << child->Finish().err;
    child->Signal(c.signal);
    Outcome outcome = child->Finish();
    EXPECT_EQ(ReadFile(P("a.qv")), old);
    EXPECT_EQ(ListDir(P(".")),
              (Names{"a.qv", "big.bin", "report.txt", "tmp", "z.qv", "zeros.bin"}));
    if (c.signal == SIGKILL) {
      EXPECT_EQ(ListDir(tmp_).size(), 1u) << "killed before or after its scratch folder lived";
      EXPECT_EQ(Wcx({"extract", "-c", "a.qv"}).status, 0);
    } else {
      EXPECT_EQ(outcome.status, 21) << outcome.err;
      EXPECT_TRUE(EndsWith(outcome.err,
                           "wcx: a.qv: stopped by the user; nothing was left half-written\n"))
          << outcome.err;
    }
    EXPECT_EQ(ListDir(tmp_), Names{});
  }
}

TEST_F(WcxTest, InterruptedExtractionLeavesNoPartialFile) {
  // Zeros compress to almost nothing, so a large archive is quick to make.
  WriteFile(P("zeros.bin"), "");
  ASSERT_EQ(truncate(P("zeros.bin").c_str(), 200 << 20), 0);
  Outcome pack = Wcx({"pack", "z.qv", "zeros.bin"});
  ASSERT_EQ(pack.status, 0) << pack.err;
  Folder("out");
  Folder("fresh");
  WriteFile(P("out/zeros.bin"), "keep me\n");

  for (const Names& args : {Names{"--progress", "extract", "--force", "z.qv", "out"},
                            Names{"--progress", "extract", "z.qv", "fresh"}}) {
    SCOPED_TRACE(args[3]);
    auto child = StartWcx(args);
    ASSERT_TRUE(child->WaitForError("extracting zeros.bin [")) << child->Finish().err;
    child->Signal(SIGINT);
    Outcome outcome = child->Finish();
    EXPECT_EQ(outcome.status, 21);
    EXPECT_TRUE(EndsWith(outcome.err, "wcx: z.qv: stopped by the user; no partial file was left\n"))
        << outcome.err;
  }
  EXPECT_EQ(ReadFile(P("out/zeros.bin")), "keep me\n");
  EXPECT_EQ(ListDir(P("out")), Names{"zeros.bin"});
  EXPECT_EQ(ListDir(P("fresh")), Names{});

  auto child = StartWcx({"--progress", "test", "z.qv"});
  ASSERT_TRUE(child->WaitForError("testing zeros.bin [")) << child->Finish().err;
  child->Signal(SIGINT);
  Outcome tested = child->Finish();
  EXPECT_EQ(tested.status, 21);
  EXPECT_TRUE(EndsWith(tested.err, "wcx: z.qv: stopped by the user\n")) << tested.err;
  EXPECT_EQ(ListDir(tmp_), Names{});
}

}  // namespace
}  // namespace qvtest
