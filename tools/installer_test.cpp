// trovix-setup on a real installation: cmake --install into an empty prefix,
// then the installed program run against an empty home.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "platform/reg_key.h"
#include "platform/registry.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"
#include "shared/database_format.h"
#include "shared/filter_ids.h"

namespace {

using trovix::testing::ReadFile;
using trovix::testing::RunProcess;

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string QueryText(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string result = "<error>";
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = tree_.root() + "/prefix";
    std::string output;
    ASSERT_EQ(
        RunProcess({CMAKE_COMMAND, "--install", TROVIX_BUILD_DIR, "--prefix", prefix_}, &output), 0)
        << output;
    // The installed suite finds its machine hive beside itself.
    unsetenv("TROVIX_MACHINE_HIVE");
  }

  int Setup(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> argv = {prefix_ + "/bin/trovix-setup"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, output);
  }

  std::string MachineHive() const { return prefix_ + "/etc/Quillon/machine.reg"; }

  // Reads a registry value as this process sees it, through the installed
  // machine hive.
  WString Value(HKEY root, std::u16string_view path, std::u16string_view name) {
    setenv("TROVIX_MACHINE_HIVE", MachineHive().c_str(), 1);
    RegKey key;
    WString value;
    if (RegKey::Open(root, path, &key) != ERROR_SUCCESS) return u"<no key>";
    if (key.GetString(name, &value) != ERROR_SUCCESS) return u"<no value>";
    return value;
  }

  trovix::testing::PrivateTree tree_;
  std::string prefix_;
};

// What lies where: users' programs in bin/, the helpers the suite starts in
// libexec/trovix, and the shared libraries with the modules in lib/trovix,
// where no other program's loader looks. Each installed program finds its
// libraries through its run path alone, from whichever folder it lies in.
TEST_F(InstallerTest, InstallsProgramsHelpersAndPrivateLibrariesApart) {
  auto names = [](const std::string& folder) {
    std::set<std::string> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  };
  EXPECT_EQ(names(prefix_ + "/bin"),
            (std::set<std::string>{"kestine", "trovix", "trovix-band", "trovix-setup", "vistrel"}));
  EXPECT_EQ(names(prefix_ + "/libexec/trovix"),
            (std::set<std::string>{"trovix-filterhost", "trovix-search-provider"}));
  EXPECT_EQ(names(prefix_ + "/lib"), (std::set<std::string>{"trovix"}));
  const std::set<std::string> lib = names(prefix_ + "/lib/trovix");
  for (const char* name : {"libtrovix-platform.so", "libtrovix-shared.so", "libordalis.so"}) {
    EXPECT_TRUE(lib.contains(name)) << name;
  }

  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(output.find("libtrovix-"), std::string::npos) << "a library taken for a module";
  const std::string page = tree_.home() + "/page.html";
  trovix::testing::WriteFile(page, "<p>quetzal</p>");
  output.clear();
  EXPECT_EQ(RunProcess({prefix_ + "/libexec/trovix/trovix-filterhost", page}, &output), 0)
      << output;
  // With no bus to reach the provider gives up, after its libraries loaded.
  output.clear();
  EXPECT_EQ(RunProcess({"env", "DBUS_SESSION_BUS_ADDRESS=unix:path=" + tree_.root() + "/no-bus",
                        prefix_ + "/libexec/trovix/trovix-search-provider"},
                       &output),
            1)
      << output;
  EXPECT_NE(output.find("no session bus"), std::string::npos) << output;
}

TEST_F(InstallerTest, SetsUpAnEmptyHomeAndChangesNothingTheSecondTime) {
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_NE(output.find("Registered " + prefix_ + "/lib/trovix/libordalis.so"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Database created"), std::string::npos) << output;

  const WString clsid = u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}\\InprocServer32";
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, clsid, u""),
            Utf8ToUtf16(prefix_ + "/lib/trovix/libordalis.so"));
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix", u"BinPath"),
            Utf8ToUtf16(prefix_ + "/bin/"));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u".txt", u"Content Type"), u"text/plain");
  // The text filter is registered and ".txt" leads to it.
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.txt\\PersistentHandler", u""),
            GuidToWString(trovix::CLSID_TextFilterHandler));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT,
                  u"CLSID\\" + GuidToWString(trovix::CLSID_TextFilter) + u"\\InprocServer32", u""),
            Utf8ToUtf16(prefix_ + "/lib/trovix/libtxtfilter.so"));
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u"txtfile\\shell\\open\\command", u""), u"xdg-open \"%1\"");
  // Document types lead to the document filter, which finds its helper.
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u".xhtml", u"Content Type"), u"application/xhtml+xml");
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u".eml", u"Content Type"), u"message/rfc822");
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u".docx", u""), u"docxfile");
  for (const char16_t* extension :
       {u".html", u".htm", u".xhtml", u".xml", u".pdf", u".odt", u".ods", u".odp", u".odg",
        u".docx", u".xlsx", u".pptx", u".epub", u".rtf", u".eml"}) {
    EXPECT_EQ(Value(HKEY_LOCAL_MACHINE,
                    u"Software\\Classes\\" + WString(extension) + u"\\PersistentHandler", u""),
              GuidToWString(trovix::CLSID_DocFilterHandler));
  }
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT,
                  u"CLSID\\" + GuidToWString(trovix::CLSID_DocFilter) + u"\\InprocServer32", u""),
            Utf8ToUtf16(prefix_ + "/lib/trovix/libdocfilter.so"));
  EXPECT_TRUE(std::filesystem::exists(prefix_ + "/libexec/trovix/trovix-filterhost"));
  EXPECT_TRUE(std::filesystem::exists(tree_.data() + "/Quillon/Ordalis.mdb"));
  for (const std::string& folder : {tree_.config() + "/Quillon", tree_.state() + "/Quillon",
                                    tree_.data() + "/Quillon", tree_.runtime() + "/Quillon"}) {
    struct stat st {};
    ASSERT_EQ(stat(folder.c_str(), &st), 0) << folder;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
  }

  const std::string machine = ReadFile(MachineHive());
  const std::string user = ReadFile(tree_.user_hive());
  const std::string database = ReadFile(tree_.data() + "/Quillon/Ordalis.mdb");
  output.clear();
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_NE(output.find("Database kept"), std::string::npos) << output;
  EXPECT_EQ(ReadFile(MachineHive()), machine);
  EXPECT_EQ(ReadFile(tree_.user_hive()), user);
  EXPECT_EQ(ReadFile(tree_.data() + "/Quillon/Ordalis.mdb"), database);
}

TEST_F(InstallerTest, TheMachineHiveIsLeftReadableByEveryUser) {
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  const std::string folder = prefix_ + "/etc/Quillon";
  EXPECT_EQ(ModeOf(MachineHive()), 0644u);
  EXPECT_EQ(ModeOf(folder), 0755u);
  EXPECT_EQ(ModeOf(tree_.user_hive()), 0600u);

  // As an earlier version left them: the next run opens them up, though it
  // registers nothing new.
  const std::string machine = ReadFile(MachineHive());
  ASSERT_EQ(chmod(MachineHive().c_str(), 0600), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(ModeOf(MachineHive()), 0644u);
  EXPECT_EQ(ModeOf(folder), 0755u);
  EXPECT_EQ(ReadFile(MachineHive()), machine);
}

// As after installing the package: root wrote the registrations into a hive
// in a folder the user cannot write. Run as root, the test plays the user as
// "nobody" on a tree handed over to it; else the folder is made read-only.
TEST_F(InstallerTest, AHiveOfTheSystemIsUsedAsItIsAndNeverWritten) {
  const std::string folder = prefix_ + "/etc/Quillon";
  std::filesystem::create_directories(folder);
  const bool root = geteuid() == 0;
  const auto user_setup = [&](const std::vector<std::string>& args, std::string* output) {
    if (!root) {
      chmod(folder.c_str(), 0555);
      const int status = Setup(args, output);
      chmod(folder.c_str(), 0755);
      return status;
    }
    RunProcess({"chown", "-R", "65534:65534", tree_.root()});
    RunProcess({"chown", "-R", "0:0", folder});
    std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                     prefix_ + "/bin/trovix-setup"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, output);
  };
  std::string output;
  EXPECT_EQ(user_setup({}, &output), 1) << output;
  EXPECT_NE(output.find("registrations are missing from " + MachineHive()), std::string::npos)
      << output;
  EXPECT_FALSE(std::filesystem::exists(tree_.data() + "/Quillon/Ordalis.mdb"));

  ASSERT_EQ(Setup({}, &output), 0) << output;  // as the hive's owner
  const std::string machine = ReadFile(MachineHive());
  std::filesystem::remove(tree_.data() + "/Quillon/Ordalis.mdb");
  output.clear();
  ASSERT_EQ(user_setup({}, &output), 0) << output;
  EXPECT_NE(output.find("Registrations kept: " + MachineHive() + " belongs to the system"),
            std::string::npos)
      << output;
  EXPECT_TRUE(std::filesystem::exists(tree_.data() + "/Quillon/Ordalis.mdb"));
  ASSERT_EQ(user_setup({"--uninstall"}, &output), 0) << output;
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix", u"BinPath"), u"<no value>");
  EXPECT_EQ(ReadFile(MachineHive()), machine);
}

// Older versions named the database ordalis.mdb when XDG_DATA_HOME was unset.
TEST_F(InstallerTest, AnOldLowerCaseDatabaseIsRenamedWithItsLogAndNeverOverwritten) {
  unsetenv("XDG_DATA_HOME");
  const std::string folder = tree_.home() + "/.local/share/Quillon";
  const std::string old_name = folder + "/ordalis.mdb";
  const std::string new_name = folder + "/Ordalis.mdb";
  std::filesystem::create_directories(folder);
  ASSERT_EQ(trovix::CreateDatabase(old_name), S_OK);
  {
    // A committed row still in the log, as a killed indexer leaves it.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(old_name.c_str(), &db), SQLITE_OK);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    ASSERT_EQ(
        sqlite3_exec(db, "INSERT INTO Drives (Name) VALUES ('/kept')", nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
  }
  ASSERT_TRUE(std::filesystem::exists(old_name + "-wal"));
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_NE(output.find("Database renamed: " + old_name + " -> " + new_name), std::string::npos)
      << output;
  EXPECT_FALSE(std::filesystem::exists(old_name));
  EXPECT_FALSE(std::filesystem::exists(old_name + "-wal"));
  EXPECT_EQ(QueryText(new_name, "SELECT Name FROM Drives"), "/kept");
  EXPECT_EQ(QueryText(new_name, "PRAGMA integrity_check"), "ok");

  // Both present: the new name wins, the old file is left as it is.
  ASSERT_EQ(trovix::CreateDatabase(old_name), S_OK);
  const std::string old_bytes = ReadFile(old_name);
  const std::string new_bytes = ReadFile(new_name);
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_NE(output.find("both " + old_name + " and " + new_name + " exist; using " + new_name),
            std::string::npos)
      << output;
  EXPECT_EQ(ReadFile(old_name), old_bytes);
  EXPECT_EQ(ReadFile(new_name), new_bytes);
}

TEST_F(InstallerTest, AnotherProcessCreatesTheInstalledStoreByClassIdentifier) {
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  setenv("TROVIX_MACHINE_HIVE", MachineHive().c_str(), 1);
  output.clear();
  ASSERT_EQ(RunProcess({std::string(TROVIX_BUILD_DIR) + "/tests/ordalis_client", "init", "cleanup"},
                       &output),
            0)
      << output;
  EXPECT_NE(output.find("init 0x00000000"), std::string::npos) << output;
  EXPECT_NE(output.find("cleanup 0x00000000"), std::string::npos) << output;
  const std::string user = ReadFile(tree_.user_hive());
  EXPECT_NE(user.find("[HKEY_CURRENT_USER\\Software\\Quillon\\Trovix\\Ordalis]"), std::string::npos)
      << user;
  EXPECT_NE(user.find("\"Files Indexed\"=dword:00000000"), std::string::npos) << user;
  EXPECT_NE(user.find("\"Files Processed\"=dword:00000000"), std::string::npos) << user;
}

TEST_F(InstallerTest, UninstallRemovesRegistrationsAndKeepsTheIndex) {
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  output.clear();
  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u"CLSID\\{26C95553-D9BE-43DB-ABCE-E24019190A41}", u""),
            u"<no key>");
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u".txt", u""), u"<no key>");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.txt", u""), u"<no key>");
  EXPECT_EQ(Value(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.html\\PersistentHandler", u""),
            u"<no key>");
  EXPECT_EQ(Value(HKEY_CLASSES_ROOT, u".xml", u""), u"<no key>");
  EXPECT_EQ(
      Value(HKEY_CLASSES_ROOT, u"CLSID\\" + GuidToWString(trovix::CLSID_TextFilterHandler), u""),
      u"<no key>");
  EXPECT_EQ(Value(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix", u"BinPath"), u"<no value>");
  EXPECT_TRUE(std::filesystem::exists(tree_.data() + "/Quillon/Ordalis.mdb"));
}

TEST_F(InstallerTest, AutostartEntryStartsTheInstalledBandAndUninstallRemovesIt) {
  const std::string entry = tree_.config() + "/autostart/org.trovix.Band.desktop";
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_FALSE(std::filesystem::exists(entry));  // only on request
  EXPECT_TRUE(std::filesystem::exists(prefix_ + "/share/applications/org.trovix.Band.desktop"));

  ASSERT_EQ(Setup({"--autostart"}, &output), 0) << output;
  const std::string text = ReadFile(entry);
  EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nExec=\"" + prefix_ + "/bin/trovix-band\"\n"), std::string::npos) << text;
  ASSERT_EQ(Setup({"--autostart"}, &output), 0) << output;  // written again, not duplicated
  EXPECT_EQ(ReadFile(entry), text);

  EXPECT_EQ(Setup({"--autostart", "--uninstall"}, &output), 2);
  EXPECT_TRUE(std::filesystem::exists(entry));
  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;
  EXPECT_FALSE(std::filesystem::exists(entry));
  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;  // nothing left to remove is fine
}

// trovix-setup with a stand-in systemctl that records its arguments and
// answers is-system-running with the state the test sets, and show (the
// manager's UnitPath) with the folders the test sets.
class LoginStartTest : public InstallerTest {
 protected:
  void SetUp() override {
    InstallerTest::SetUp();
    log_ = tree_.root() + "/systemctl.log";
    state_ = tree_.root() + "/systemctl.state";
    failing_ = tree_.root() + "/systemctl.fails";
    unit_path_ = tree_.root() + "/systemctl.unitpath";
    const std::string standin = tree_.root() + "/systemctl";
    trovix::testing::WriteFile(standin,
                               "#!/bin/sh\n"
                               "echo \"$*\" >> '" +
                                   log_ +
                                   "'\n"
                                   "if [ \"$2\" = is-system-running ]; then\n"
                                   "  state=$(cat '" +
                                   state_ +
                                   "'); echo \"$state\"\n"
                                   "  [ \"$state\" = running ]; exit\n"
                                   "fi\n"
                                   "if [ \"$2\" = show ]; then cat '" +
                                   unit_path_ +
                                   "' 2>/dev/null; exit 0; fi\n"
                                   "if [ \"$2\" = \"$(cat '" +
                                   failing_ +
                                   "' 2>/dev/null)\" ]; then\n"
                                   "  echo \"Failed to $2 unit\" >&2; exit 1\n"
                                   "fi\n");
    ASSERT_EQ(chmod(standin.c_str(), 0755), 0);
    setenv("TROVIX_SYSTEMCTL", standin.c_str(), 1);
    SetManagerState("running");
    unit_ = tree_.config() + "/systemd/user/kestine.service";
    desktop_ = tree_.config() + "/autostart/org.trovix.Kestine.desktop";
  }

  void SetManagerState(const std::string& state) { trovix::testing::WriteFile(state_, state); }

  // The commands systemctl was given since the last call, one per line,
  // without the questions (is-system-running, show).
  std::string TakeCommands() {
    std::string commands;
    std::istringstream lines(std::filesystem::exists(log_) ? ReadFile(log_) : "");
    for (std::string line; std::getline(lines, line);) {
      if (line != "--user is-system-running" && line.rfind("--user show ", 0) != 0) {
        commands += line + "\n";
      }
    }
    std::filesystem::remove(log_);
    return commands;
  }

  std::string log_;
  std::string state_;
  std::string failing_;
  std::string unit_path_;
  std::string unit_;
  std::string desktop_;
};

TEST_F(LoginStartTest, WithAUserManagerTheUnitIsWrittenEnabledAndStartedOnce) {
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user daemon-reload\n--user enable --now kestine.service\n");
  const std::string unit = ReadFile(unit_);
  for (const std::string& line :
       {"\nExecStart=\"" + prefix_ + "/bin/kestine\"\n", std::string("\nRestart=on-failure\n"),
        std::string("\nNice=19\n"), std::string("\nCPUSchedulingPolicy=idle\n"),
        std::string("\nIOSchedulingClass=idle\n"), std::string("\nSlice=background.slice\n"),
        std::string("\nCPUWeight=idle\n"), std::string("\nIOWeight=1\n"),
        std::string("\nMemoryHigh=160M\n"), std::string("\nWantedBy=default.target\n"),
        std::string("\nAfter=graphical-session.target\n")}) {
    EXPECT_NE(unit.find(line), std::string::npos) << line << " missing from\n" << unit;
  }
  EXPECT_FALSE(std::filesystem::exists(desktop_));

  // Again: the unit is not rewritten and the manager not reloaded; enabling
  // an enabled unit is harmless and starts one that was stopped.
  const auto written = std::filesystem::last_write_time(unit_);
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user enable --now kestine.service\n");
  EXPECT_EQ(ReadFile(unit_), unit);
  EXPECT_EQ(std::filesystem::last_write_time(unit_), written);
}

// A package's unit, in a folder the manager reads, is enabled as it is. The
// copy a source-style run wrote would hide it (the user's folder comes
// first) and goes; a copy the user changed stays. An uninstall disables the
// packaged unit and leaves its file to the package.
TEST_F(LoginStartTest, APackagedUnitTheManagerReadsIsEnabledInsteadOfAPerUserCopy) {
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  const std::string copy = ReadFile(unit_);
  TakeCommands();

  const std::string packaged = prefix_ + "/lib/systemd/user/kestine.service";
  std::string printed;
  ASSERT_EQ(Setup({"--print-unit"}, &printed), 0) << printed;
  EXPECT_EQ(printed, copy);
  EXPECT_EQ(TakeCommands(), "");
  trovix::testing::WriteFile(packaged, printed);

  // Present but in a folder the manager does not read: still the copy.
  trovix::testing::WriteFile(unit_path_, tree_.config() + "/systemd/user /usr/lib/systemd/user\n");
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user enable --now kestine.service\n");
  EXPECT_TRUE(std::filesystem::exists(unit_));

  trovix::testing::WriteFile(unit_path_, tree_.config() + "/systemd/user " + prefix_ +
                                             "/lib/systemd/user/ /usr/lib/systemd/user\n");
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user daemon-reload\n--user enable --now kestine.service\n");
  EXPECT_FALSE(std::filesystem::exists(unit_)) << output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user enable --now kestine.service\n");
  EXPECT_FALSE(std::filesystem::exists(unit_));

  trovix::testing::WriteFile(unit_, copy + "Environment=MINE=1\n");
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_NE(output.find("Unit kept: " + unit_), std::string::npos) << output;
  EXPECT_EQ(ReadFile(unit_), copy + "Environment=MINE=1\n");
  std::filesystem::remove(unit_);
  TakeCommands();

  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user disable --now kestine.service\n");
  EXPECT_EQ(ReadFile(packaged), printed);
}

TEST_F(LoginStartTest, WithoutAUserManagerAnAutostartEntryStartsTheIndexerAtLogin) {
  SetManagerState("offline");
  std::string output;
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "");
  EXPECT_FALSE(std::filesystem::exists(unit_));
  const std::string entry = ReadFile(desktop_);
  EXPECT_NE(entry.find("\nExec=\"" + prefix_ + "/bin/kestine\"\n"), std::string::npos) << entry;
  const auto written = std::filesystem::last_write_time(desktop_);
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(std::filesystem::last_write_time(desktop_), written);

  // A manager that appears later takes over; the entry goes, so that a login
  // does not start the indexer twice.
  SetManagerState("running");
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user daemon-reload\n--user enable --now kestine.service\n");
  EXPECT_TRUE(std::filesystem::exists(unit_));
  EXPECT_FALSE(std::filesystem::exists(desktop_));
}

TEST_F(LoginStartTest, AFailingSystemctlIsReportedAndFailsTheSetup) {
  trovix::testing::WriteFile(failing_, "enable");
  std::string output;
  EXPECT_EQ(Setup({}, &output), 1) << output;
  EXPECT_NE(output.find("Failed to enable unit"), std::string::npos) << output;
  EXPECT_NE(output.find("trovix-setup: systemctl --user enable --now kestine.service failed"),
            std::string::npos)
      << output;
  EXPECT_EQ(output.find("Trovix is set up"), std::string::npos) << output;
}

TEST_F(LoginStartTest, UninstallStopsTheServiceAndRemovesTheUnitAndEveryEntry) {
  std::string output;
  ASSERT_EQ(Setup({"--autostart"}, &output), 0) << output;
  trovix::testing::WriteFile(desktop_, "[Desktop Entry]\n");  // as a run without a manager left it
  TakeCommands();
  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "--user disable --now kestine.service\n--user daemon-reload\n");
  EXPECT_FALSE(std::filesystem::exists(unit_));
  EXPECT_FALSE(std::filesystem::exists(desktop_));
  EXPECT_FALSE(std::filesystem::exists(tree_.config() + "/autostart/org.trovix.Band.desktop"));

  // Nothing left: the service is not touched again.
  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;
  EXPECT_EQ(TakeCommands(), "");
}

// Entries an older trovix-setup wrote under the programs' plain names would
// start them a second time at login beside the reverse-DNS ones.
TEST_F(LoginStartTest, EntriesUnderTheOldNamesAreReplacedAndRemoved) {
  const std::string old_kestine = tree_.config() + "/autostart/kestine.desktop";
  const std::string old_band = tree_.config() + "/autostart/trovix-band.desktop";
  const std::string band = tree_.config() + "/autostart/org.trovix.Band.desktop";
  SetManagerState("offline");
  trovix::testing::WriteFile(old_kestine, "[Desktop Entry]\n");
  trovix::testing::WriteFile(old_band, "[Desktop Entry]\n");
  std::string output;
  ASSERT_EQ(Setup({"--autostart"}, &output), 0) << output;
  EXPECT_TRUE(std::filesystem::exists(desktop_));
  EXPECT_TRUE(std::filesystem::exists(band));
  EXPECT_FALSE(std::filesystem::exists(old_kestine));
  EXPECT_FALSE(std::filesystem::exists(old_band));

  // With a manager the unit starts kestine; no entry of either name is kept.
  trovix::testing::WriteFile(old_kestine, "[Desktop Entry]\n");
  SetManagerState("running");
  ASSERT_EQ(Setup({}, &output), 0) << output;
  EXPECT_FALSE(std::filesystem::exists(desktop_));
  EXPECT_FALSE(std::filesystem::exists(old_kestine));

  trovix::testing::WriteFile(old_kestine, "[Desktop Entry]\n");
  trovix::testing::WriteFile(old_band, "[Desktop Entry]\n");
  ASSERT_EQ(Setup({"--uninstall"}, &output), 0) << output;
  for (const std::string& entry : {desktop_, band, old_kestine, old_band}) {
    EXPECT_FALSE(std::filesystem::exists(entry)) << entry;
  }
}

// The entries trovix-setup writes, checked by the freedesktop validator.
TEST_F(LoginStartTest, DesktopFileValidateAcceptsTheAutostartEntries) {
  std::string output;
  if (RunProcess({"desktop-file-validate", "--help"}, &output) != 0) {
    GTEST_SKIP() << "desktop-file-validate is not installed (apt-get install desktop-file-utils)";
  }
  SetManagerState("offline");
  ASSERT_EQ(Setup({"--autostart"}, &output), 0) << output;
  for (const std::string& entry :
       {desktop_, tree_.config() + "/autostart/org.trovix.Band.desktop"}) {
    output.clear();
    EXPECT_EQ(RunProcess({"desktop-file-validate", entry}, &output), 0) << output;
    EXPECT_EQ(output, "") << entry << ":\n" << ReadFile(entry);
    EXPECT_NE(ReadFile(entry).find("\nIcon=org.trovix.Trovix\n"), std::string::npos);
  }
}

TEST_F(LoginStartTest, SystemdAcceptsEveryLineOfTheUnit) {
  std::string output;
  if (RunProcess({"systemd-analyze", "--version"}, &output) != 0) {
    GTEST_SKIP() << "systemd-analyze is not installed (apt-get install systemd); "
                    "the unit file is not verified";
  }
  ASSERT_EQ(Setup({}, &output), 0) << output;
  // Its Documentation= line names the installed manual page.
  setenv("MANPATH", (prefix_ + "/share/man").c_str(), 1);
  output.clear();
  const int status = RunProcess({"systemd-analyze", "--user", "verify", unit_}, &output);
  unsetenv("MANPATH");
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "") << "systemd-analyze warns about " << unit_ << ":\n" << ReadFile(unit_);
}

TEST_F(InstallerTest, FailsClearlyAndTouchesNothingOnADamagedHive) {
  const std::string damaged = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\n\"broken\n";
  trovix::testing::WriteFile(MachineHive(), damaged);
  std::string output;
  EXPECT_EQ(Setup({}, &output), 1) << output;
  EXPECT_NE(output.find("trovix-setup: cannot register"), std::string::npos) << output;
  EXPECT_EQ(ReadFile(MachineHive()), damaged);

  output.clear();
  EXPECT_EQ(Setup({"--frobnicate"}, &output), 2);
  EXPECT_NE(output.find("Usage: trovix-setup"), std::string::npos) << output;
}

}  // namespace
