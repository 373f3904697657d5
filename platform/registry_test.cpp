#include "platform/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>

#include "platform/hive_file.h"
#include "platform/hive_store.h"
#include "platform/hresult.h"
#include "platform/reg_key.h"
#include "platform/testing/private_tree.h"
#include "platform/wstring.h"

namespace {

constexpr LONG Code(DWORD error) { return static_cast<LONG>(error); }
constexpr LONG kOk = ERROR_SUCCESS;

// Runs `body` in a child process; its result is the child's exit status.
int InChild(const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Makes a file look old enough that a cached parse of it is trusted on its
// identity alone, the case in which a missed change would go unnoticed.
void AgeFile(const std::string& path) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= 60;
  times[1] = times[0];
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class RegistryTest : public ::testing::Test {
 protected:
  static RegKey Key(HKEY root, std::u16string_view path) {
    RegKey key;
    EXPECT_EQ(RegKey::Create(root, path, &key), kOk) << Utf16ToUtf8(path);
    return key;
  }
  static WString String(HKEY root, std::u16string_view path, std::u16string_view name) {
    RegKey key;
    WString text = u"<missing>";
    if (RegKey::Open(root, path, &key) != kOk || key.GetString(name, &text) != kOk) return text;
    return text;
  }
  static LONG Exists(HKEY root, std::u16string_view path) {
    RegKey key;
    return RegKey::Open(root, path, &key);
  }

  // Every operation opens and closes the hive and its lock file.
  void TearDown() override { EXPECT_EQ(trovix::testing::OpenDescriptorCount(), descriptors_); }

  trovix::testing::PrivateTree tree_;
  const int descriptors_ = trovix::testing::OpenDescriptorCount();
};

TEST_F(RegistryTest, ValuesPersistInPrivateFiles) {
  DWORD disposition = 0;
  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &raw, &disposition),
            kOk);
  RegKey key(raw);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_EQ(key.SetString(u"BinPath", u"/opt/trovix/"), kOk);
  EXPECT_EQ(key.SetDword(u"Files Indexed", 42), kOk);
  EXPECT_EQ(key.SetMultiString(u"Roots", {u"/", u"/home/ann"}), kOk);
  EXPECT_EQ(key.SetMultiString(u"Bad", {u"a", u""}), Code(ERROR_INVALID_PARAMETER));
  Key(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine\\/home/ann");  // empty key

  const std::string hive = tree_.user_hive();
  EXPECT_EQ(HiveFilePath(HKEY_CURRENT_USER), hive);
  EXPECT_EQ(ModeOf(hive), 0600u);
  EXPECT_EQ(ModeOf(hive + ".lock"), 0600u);
  EXPECT_EQ(ModeOf(tree_.config() + "/Quillon"), 0700u);
  WString text;
  EXPECT_EQ(key.GetString(u"Files Indexed", &text), Code(ERROR_INVALID_DATA));

  // A copy of the file, never seen by this process, holds everything.
  const std::string copy = tree_.root() + "/copy.reg";
  trovix::testing::WriteFile(copy, trovix::testing::ReadFile(hive));
  setenv("TROVIX_USER_HIVE", copy.c_str(), 1);
  RegKey k;
  DWORD count = 0;
  std::vector<WString> roots;
  ASSERT_EQ(RegKey::Open(HKEY_CURRENT_USER, u"SOFTWARE\\quillon\\trovix", &k), kOk);
  EXPECT_EQ(k.GetString(u"binpath", &text), kOk);
  EXPECT_EQ(text, u"/opt/trovix/");
  EXPECT_EQ(k.GetDword(u"Files Indexed", &count), kOk);
  EXPECT_EQ(count, 42u);
  EXPECT_EQ(k.GetMultiString(u"Roots", &roots), kOk);
  EXPECT_EQ(roots, (std::vector<WString>{u"/", u"/home/ann"}));
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Quillon\\Trovix\\Kestine\\/home/ann"), kOk);
}

// The machine hive holds the installation's registrations, which every user
// reads; a hive a root installation left private locked all other users out.
TEST_F(RegistryTest, TheMachineHiveIsReadableByAllWhateverTheUmaskOrItsOldMode) {
  const mode_t old_umask = umask(077);
  const std::string hive = tree_.machine_hive();
  const std::string folder = tree_.root() + "/machine/etc/Quillon";
  EXPECT_EQ(Key(HKEY_LOCAL_MACHINE, u"Software\\Quillon").SetString(u"A", u"1"), kOk);
  EXPECT_EQ(ModeOf(hive), 0644u);
  EXPECT_EQ(ModeOf(folder), 0755u);

  ASSERT_EQ(chmod(hive.c_str(), 0600), 0);
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  EXPECT_EQ(Key(HKEY_LOCAL_MACHINE, u"Software\\Quillon").SetString(u"B", u"2"), kOk);
  EXPECT_EQ(ModeOf(hive), 0644u);
  EXPECT_EQ(ModeOf(folder), 0755u);

  EXPECT_EQ(Key(HKEY_CURRENT_USER, u"Software\\Quillon").SetString(u"C", u"3"), kOk);
  EXPECT_EQ(ModeOf(tree_.user_hive()), 0600u);
  EXPECT_EQ(ModeOf(tree_.config() + "/Quillon"), 0700u);
  umask(old_umask);
  EXPECT_EQ(String(HKEY_LOCAL_MACHINE, u"Software\\Quillon", u"A"), u"1");
}

TEST_F(RegistryTest, QuerySizeProtocol) {
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\Sizes");
  // Stored without the terminator, as the indexer writes strings; read back
  // with it.
  const WString abc = u"abc";
  ASSERT_EQ(
      RegSetValueExW(key.get(), u"S", 0, REG_SZ, reinterpret_cast<const BYTE*>(abc.data()), 6),
      kOk);
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key.get(), u"S", nullptr, &type, nullptr, &size), kOk);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 8u);
  WCHAR buffer[8] = {u'x', u'x', u'x', u'x', u'x'};
  size = 6;
  EXPECT_EQ(
      RegQueryValueExW(key.get(), u"S", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
      Code(ERROR_MORE_DATA));
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(
      RegQueryValueExW(key.get(), u"S", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
      kOk);
  EXPECT_EQ(WString(buffer), u"abc");
  EXPECT_EQ(
      RegQueryValueExW(key.get(), u"S", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), nullptr),
      Code(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegQueryValueExW(key.get(), u"Missing", nullptr, nullptr, nullptr, &size),
            Code(ERROR_FILE_NOT_FOUND));

  // Enumeration reports the buffer needed for a name, terminator included.
  WCHAR name[1];
  DWORD cch = 1;
  EXPECT_EQ(RegEnumValueW(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
            Code(ERROR_MORE_DATA));
  EXPECT_EQ(cch, 2u);
  WCHAR sub[16];
  cch = 16;
  EXPECT_EQ(RegEnumKeyExW(HKEY_CURRENT_USER, 1, sub, &cch, nullptr, nullptr, nullptr, nullptr),
            Code(ERROR_NO_MORE_ITEMS));
}

TEST_F(RegistryTest, NamesKeepTheirFirstSpelling) {
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\MixedCase");
  RegKey same = Key(HKEY_CURRENT_USER, u"SOFTWARE\\MIXEDCASE");
  EXPECT_EQ(key.SetDword(u"Value", 1), kOk);
  EXPECT_EQ(same.SetDword(u"VALUE", 2), kOk);
  WCHAR name[32];
  DWORD cch = 32;
  ASSERT_EQ(RegEnumKeyExW(Key(HKEY_CURRENT_USER, u"software").get(), 0, name, &cch, nullptr,
                          nullptr, nullptr, nullptr),
            kOk);
  EXPECT_EQ(WString(name, cch), u"MixedCase");
  cch = 32;
  DWORD value = 0;
  DWORD size = sizeof value;
  ASSERT_EQ(RegEnumValueW(key.get(), 0, name, &cch, nullptr, nullptr,
                          reinterpret_cast<BYTE*>(&value), &size),
            kOk);
  EXPECT_EQ(WString(name, cch), u"Value");
  EXPECT_EQ(value, 2u);
  cch = 32;
  EXPECT_EQ(RegEnumValueW(key.get(), 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
            Code(ERROR_NO_MORE_ITEMS));
  // Names the file could not carry are refused, not mangled.
  EXPECT_EQ(key.SetDword(u"two\nlines", 1), Code(ERROR_INVALID_PARAMETER));
  RegKey bad;
  EXPECT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\\\Empty", &bad),
            Code(ERROR_INVALID_PARAMETER));
}

TEST_F(RegistryTest, DeleteRules) {
  Key(HKEY_CURRENT_USER, u"Software\\Tree\\Child\\Grandchild");
  RegKey tree = Key(HKEY_CURRENT_USER, u"Software\\Tree");
  EXPECT_EQ(tree.SetDword(u"V", 1), kOk);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Tree"), Code(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u""), Code(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u""), Code(ERROR_ACCESS_DENIED));
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, u"Software\\Nothing"), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegDeleteKeyW(tree.get(), u"Child\\Grandchild"), kOk);
  // A null subkey empties the key and keeps it.
  EXPECT_EQ(RegDeleteTreeW(tree.get(), nullptr), kOk);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Tree"), kOk);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Tree\\Child"), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(tree.DeleteValue(u"V"), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(RegDeleteTreeIfExists(HKEY_CURRENT_USER, u"Software\\Tree"), kOk);
  EXPECT_EQ(RegDeleteTreeIfExists(HKEY_CURRENT_USER, u"Software\\Tree"), kOk);
  EXPECT_EQ(RegDeleteTreeIfExists(HKEY_CURRENT_USER, u""), Code(ERROR_INVALID_PARAMETER));
}

// A batch is one read-modify-write of the hive: its changes apply in order,
// a batch that changes nothing leaves the file as it is (the same inode, as
// every write renames a new file into place), and a batch with one bad
// change changes nothing.
TEST_F(RegistryTest, ABatchOfValueChangesIsOneWriteOrNone) {
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\Batch");
  const auto inode = [this] {
    struct stat st {};
    return stat(tree_.user_hive().c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const auto dword = [&key](std::u16string_view name) {
    DWORD value = 0;
    return key.GetDword(name, &value) == kOk ? static_cast<long>(value) : -1L;
  };
  ASSERT_EQ(key.SetDwords({{u"A", 1}, {u"B", 2}}), kOk);
  EXPECT_EQ(dword(u"A"), 1);
  EXPECT_EQ(dword(u"b"), 2);
  const ino_t written = inode();
  EXPECT_EQ(key.SetDwords({{u"A", 1}, {u"B", 2}}), kOk);
  EXPECT_EQ(key.DeleteValues({u"Missing", u"Also missing"}), kOk);
  EXPECT_EQ(inode(), written) << "nothing changed, so nothing was written";

  const BYTE five[4] = {5, 0, 0, 0};
  const RegValueChange set_then_remove[] = {{u"C", false, REG_DWORD, five, 4},
                                            {u"C", true, REG_NONE, nullptr, 0},
                                            {u"A", false, REG_DWORD, five, 4}};
  EXPECT_EQ(RegChangeValuesW(key.get(), set_then_remove, 3), kOk);
  EXPECT_EQ(dword(u"C"), -1);
  EXPECT_EQ(dword(u"A"), 5);

  const RegValueChange bad_name[] = {{u"A", true, REG_NONE, nullptr, 0},
                                     {u"two\nlines", false, REG_DWORD, five, 4}};
  EXPECT_EQ(RegChangeValuesW(key.get(), bad_name, 2), Code(ERROR_INVALID_PARAMETER));
  const RegValueChange no_data[] = {{u"A", true, REG_NONE, nullptr, 0},
                                    {u"D", false, REG_DWORD, nullptr, 4}};
  EXPECT_EQ(RegChangeValuesW(key.get(), no_data, 2), Code(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(dword(u"A"), 5) << "a refused batch changes nothing";

  EXPECT_EQ(key.DeleteValues({u"A", u"B"}), kOk);
  EXPECT_EQ(dword(u"A"), -1);
  EXPECT_EQ(dword(u"B"), -1);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Batch"), kOk);

  // The classes view spans two hives, which one write cannot change at once.
  RegKey classes = Key(HKEY_CLASSES_ROOT, u".txt");
  EXPECT_EQ(classes.SetDwords({{u"V", 1}}), Code(ERROR_INVALID_PARAMETER));
  DWORD value = 0;
  EXPECT_EQ(classes.GetDword(u"V", &value), Code(ERROR_FILE_NOT_FOUND));

  ASSERT_EQ(InChild([] { return RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Batch"); }), 0);
  EXPECT_EQ(key.SetDwords({{u"A", 1}}), Code(ERROR_KEY_DELETED));
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Batch"), Code(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, HandleOfAKeyDeletedByAnotherProcess) {
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\Gone");
  EXPECT_EQ(key.SetDword(u"V", 1), kOk);
  ASSERT_EQ(InChild([] { return RegDeleteTreeW(HKEY_CURRENT_USER, u"Software\\Gone"); }), 0);
  DWORD value = 0;
  EXPECT_EQ(key.GetDword(u"V", &value), Code(ERROR_KEY_DELETED));
  EXPECT_EQ(key.SetDword(u"V", 2), Code(ERROR_KEY_DELETED));
  RegKey sub;
  EXPECT_EQ(RegKey::Create(key.get(), u"Sub", &sub), Code(ERROR_KEY_DELETED));
  EXPECT_EQ(RegKey::Open(key.get(), u"", &sub), Code(ERROR_KEY_DELETED));
  WCHAR name[8];
  DWORD cch = 8;
  EXPECT_EQ(RegEnumKeyExW(key.get(), 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
            Code(ERROR_KEY_DELETED));
  // None of that may bring the key back.
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Gone"), Code(ERROR_FILE_NOT_FOUND));
}

TEST_F(RegistryTest, ReaderSeesChangesOfOtherProcesses) {
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\Shared");
  EXPECT_EQ(key.SetString(u"S", u"1111"), kOk);
  for (const char16_t* next : {u"2222", u"3333"}) {
    AgeFile(tree_.user_hive());
    WString text;
    EXPECT_EQ(key.GetString(u"S", &text), kOk);  // parsed and cached
    ASSERT_EQ(InChild([&] { return key.SetString(u"S", next) == kOk ? 0 : 1; }), 0);
    EXPECT_EQ(key.GetString(u"S", &text), kOk);
    EXPECT_EQ(text, next);
  }
  // An edit in place within one tick of the file system's clock leaves
  // inode, size and time as they were: only the file's youth gives it away.
  const std::string path = tree_.user_hive();
  struct stat before {};
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  WString text;
  EXPECT_EQ(key.GetString(u"S", &text), kOk);
  std::string edited = trovix::testing::ReadFile(path);
  edited.replace(edited.find("3333"), 4, "4444");
  const int fd = open(path.c_str(), O_WRONLY);
  ASSERT_EQ(write(fd, edited.data(), edited.size()), static_cast<ssize_t>(edited.size()));
  close(fd);
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_EQ(key.GetString(u"S", &text), kOk);
  EXPECT_EQ(text, u"4444");
}

// A hive written a moment ago cannot be trusted on its identity, so every
// load reads it; but the same bytes are not parsed again, whether the file
// is the same one or a new one renamed into place, and other bytes are.
TEST_F(RegistryTest, AYoungHiveIsParsedAgainOnlyWhenItsBytesChanged) {
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\Young");
  ASSERT_EQ(key.SetString(u"S", u"first"), kOk);
  trovix::LoadedHive first;
  trovix::LoadedHive again;
  ASSERT_EQ(trovix::LoadHive(trovix::HiveId::kUser, &first), kOk);
  ASSERT_EQ(trovix::LoadHive(trovix::HiveId::kUser, &again), kOk);
  EXPECT_EQ(again.hive, first.hive);

  const std::string path = tree_.user_hive();
  const std::string bytes = trovix::testing::ReadFile(path);
  trovix::testing::WriteFile(path + ".copy", bytes);
  ASSERT_EQ(rename((path + ".copy").c_str(), path.c_str()), 0);
  trovix::LoadedHive copied;
  ASSERT_EQ(trovix::LoadHive(trovix::HiveId::kUser, &copied), kOk);
  EXPECT_EQ(copied.hive, first.hive);
  EXPECT_NE(copied.identity.inode, first.identity.inode) << "the identity follows the file";

  std::string edited = bytes;
  edited.replace(edited.find("first"), 5, "other");
  trovix::testing::WriteFile(path + ".copy", edited);
  ASSERT_EQ(rename((path + ".copy").c_str(), path.c_str()), 0);
  trovix::LoadedHive changed;
  ASSERT_EQ(trovix::LoadHive(trovix::HiveId::kUser, &changed), kOk);
  EXPECT_NE(changed.hive, first.hive);
  EXPECT_EQ(String(HKEY_CURRENT_USER, u"Software\\Young", u"S"), u"other");
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kValues = 200;
  pid_t children[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    children[w] = fork();
    if (children[w] == 0) {
      RegKey key;
      int failures = RegKey::Create(HKEY_CURRENT_USER, u"Software\\Busy", &key) != kOk;
      for (int i = 0; i < kValues; ++i) {
        const std::string name = std::to_string(w) + "-" + std::to_string(i);
        failures += key.SetDword(Utf8ToUtf16(name), static_cast<DWORD>(w * 1000 + i)) != kOk;
      }
      _exit(failures == 0 ? 0 : 1);
    }
  }
  for (const pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegKey key = Key(HKEY_CURRENT_USER, u"Software\\Busy");
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kValues; ++i) {
      DWORD value = 0;
      ASSERT_EQ(key.GetDword(Utf8ToUtf16(std::to_string(w) + "-" + std::to_string(i)), &value),
                kOk);
      EXPECT_EQ(value, static_cast<DWORD>(w * 1000 + i));
    }
  }
  trovix::Hive hive("HKEY_CURRENT_USER");
  trovix::HiveParseError error;
  ASSERT_TRUE(ParseHive(trovix::testing::ReadFile(tree_.user_hive()), &hive, &error));
  EXPECT_EQ(hive.Find({u"Software", u"Busy"})->values().size(), 800u);
}

TEST_F(RegistryTest, DamagedHiveIsReportedOnceAndNeverRewritten) {
  const std::string damaged = "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\"V\"=dword:xyz\n";
  trovix::testing::WriteFile(tree_.user_hive(), damaged);
  ::testing::internal::CaptureStderr();
  RegKey key;
  EXPECT_EQ(RegKey::Open(HKEY_CURRENT_USER, u"Software", &key), Code(ERROR_BADDB));
  EXPECT_EQ(RegKey::Create(HKEY_CURRENT_USER, u"Software\\New", &key), Code(ERROR_BADDB));
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, nullptr), Code(ERROR_BADDB));
  EXPECT_EQ(RegSetValueExW(HKEY_CURRENT_USER, u"X", 0, REG_BINARY, nullptr, 0), Code(ERROR_BADDB));
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(trovix::testing::ReadFile(tree_.user_hive()), damaged);
  const std::size_t first = report.find(tree_.user_hive());
  ASSERT_NE(first, std::string::npos) << report;
  EXPECT_EQ(report.find(tree_.user_hive(), first + 1), std::string::npos) << report;
  EXPECT_NE(report.find("line 4"), std::string::npos) << report;
  // The machine hive is another file and still works.
  EXPECT_EQ(RegKey::Create(HKEY_LOCAL_MACHINE, u"Software", &key), kOk);
}

class ClassesRootTest : public RegistryTest {
 protected:
  void SetUp() override {
    RegKey machine_txt = Key(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.txt");
    ASSERT_EQ(machine_txt.SetString(u"", u"txtfile"), kOk);
    ASSERT_EQ(machine_txt.SetString(u"Content Type", u"text/plain"), kOk);
    Key(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.doc");
    ASSERT_EQ(Key(HKEY_CURRENT_USER, u"Software\\Classes\\.TXT").SetString(u"", u"mytxt"), kOk);
    Key(HKEY_CURRENT_USER, u"Software\\Classes\\.md");
  }

  std::vector<WString> SubkeysOfClassesRoot() {
    std::vector<WString> names;
    WCHAR name[64];
    DWORD cch = 64;
    for (DWORD i = 0;
         RegEnumKeyExW(HKEY_CLASSES_ROOT, i, name, &cch, nullptr, nullptr, nullptr, nullptr) == kOk;
         ++i, cch = 64) {
      names.emplace_back(name, cch);
    }
    return names;
  }
};

TEST_F(ClassesRootTest, UserClassesOverMachineClasses) {
  EXPECT_EQ(String(HKEY_CLASSES_ROOT, u".txt", u""), u"mytxt");
  EXPECT_EQ(String(HKEY_CLASSES_ROOT, u".txt", u"Content Type"), u"text/plain");
  // The user's keys first, then the machine's it lacks; each hive's keys sorted.
  EXPECT_EQ(SubkeysOfClassesRoot(), (std::vector<WString>{u".md", u".TXT", u".doc"}));
  RegKey txt;
  ASSERT_EQ(RegKey::Open(HKEY_CLASSES_ROOT, u".txt", &txt), kOk);
  WCHAR name[64];
  DWORD cch = 64;
  EXPECT_EQ(RegEnumValueW(txt.get(), 1, name, &cch, nullptr, nullptr, nullptr, nullptr), kOk);
  EXPECT_EQ(WString(name, cch), u"Content Type");
  cch = 64;
  EXPECT_EQ(RegEnumValueW(txt.get(), 2, name, &cch, nullptr, nullptr, nullptr, nullptr),
            Code(ERROR_NO_MORE_ITEMS));
}

TEST_F(ClassesRootTest, WritesGoWhereTheKeyIs) {
  EXPECT_EQ(Key(HKEY_CLASSES_ROOT, u".txt").SetString(u"PerceivedType", u"text"), kOk);
  EXPECT_EQ(Key(HKEY_CLASSES_ROOT, u".doc").SetString(u"", u"docfile"), kOk);
  Key(HKEY_CLASSES_ROOT, u".new");
  Key(HKEY_CLASSES_ROOT, u".md\\ShellNew");
  Key(HKEY_CLASSES_ROOT, u".doc\\ShellNew");
  EXPECT_EQ(String(HKEY_CURRENT_USER, u"Software\\Classes\\.txt", u"PerceivedType"), u"text");
  EXPECT_EQ(String(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.doc", u""), u"docfile");
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.new"), kOk);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Classes\\.new"), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Classes\\.md\\ShellNew"), kOk);
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.md"), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.doc\\ShellNew"), kOk);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Classes\\.doc"), Code(ERROR_FILE_NOT_FOUND));
}

TEST_F(ClassesRootTest, DeletesRemoveFromBothHives) {
  RegKey txt = Key(HKEY_CLASSES_ROOT, u".txt");
  EXPECT_EQ(txt.DeleteValue(u""), kOk);
  EXPECT_EQ(String(HKEY_CLASSES_ROOT, u".txt", u""), u"<missing>");
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, u".txt"), kOk);
  EXPECT_EQ(Exists(HKEY_CURRENT_USER, u"Software\\Classes\\.txt"), Code(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Exists(HKEY_LOCAL_MACHINE, u"Software\\Classes\\.txt"), Code(ERROR_FILE_NOT_FOUND));
  DWORD value = 0;
  EXPECT_EQ(txt.GetDword(u"x", &value), Code(ERROR_KEY_DELETED));
  EXPECT_EQ(SubkeysOfClassesRoot(), (std::vector<WString>{u".md", u".doc"}));
}

TEST_F(RegistryTest, HiveLocationsFollowTheEnvironment) {
  const std::string elsewhere = tree_.root() + "/elsewhere/user.reg";
  setenv("TROVIX_USER_HIVE", elsewhere.c_str(), 1);
  EXPECT_EQ(Key(HKEY_CURRENT_USER, u"Software").SetDword(u"V", 1), kOk);
  EXPECT_NE(trovix::testing::ReadFile(elsewhere).find("\"V\"=dword:00000001"), std::string::npos);
  EXPECT_EQ(ModeOf(tree_.user_hive()), 0u);  // the default file was never made
  unsetenv("TROVIX_MACHINE_HIVE");
  const std::string machine = HiveFilePath(HKEY_LOCAL_MACHINE);
  EXPECT_TRUE(machine.ends_with("/etc/Quillon/machine.reg")) << machine;
  EXPECT_EQ(machine.find("/../"), std::string::npos) << machine;
  EXPECT_EQ(HiveFilePath(HKEY_CLASSES_ROOT), "");
}

}  // namespace
