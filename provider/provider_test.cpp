// trovix-search-provider through a private session bus: the suite installed
// into a private prefix (so the activation file is the installed one), a real
// index made by `trovix index`, a private dbus-daemon whose service folder is
// the prefix's, and every method called with gdbus as a desktop would.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "platform/message_port.h"
#include "platform/testing/long_path.h"
#include "platform/testing/private_tree.h"
#include "platform/testing/wait_until.h"

namespace {

using trovix::testing::ReadFile;
using trovix::testing::RunProcess;
using trovix::testing::WaitUntil;
using trovix::testing::WriteFile;

constexpr const char* kService = "org.trovix.SearchProvider";
constexpr const char* kGnome = "/org/trovix/SearchProvider";
constexpr const char* kGnomeInterface = "org.gnome.Shell.SearchProvider2";
constexpr const char* kProviderProgram = "trovix-search-provider";

class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = tree_.root() + "/prefix";
    std::string output;
    ASSERT_EQ(trovix::testing::InstallBuild(CMAKE_COMMAND, TROVIX_BUILD_DIR, prefix_, &output), 0)
        << output;
    ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix-setup"}, &output), 0) << output;
    docs_ = tree_.home() + "/docs";
    // Ranking: a name hit first, then the word's count weighted by rarity.
    WriteFile(docs_ + "/budget-2024.txt", "budget plan for the year");
    WriteFile(docs_ + "/notes.txt", "budget budget budget budget forecast");
    WriteFile(docs_ + "/summary.txt", "budget forecast");
    WriteFile(docs_ + "/misc.txt", "budgetary budgetary matters and forecast");
    WriteFile(docs_ + "/garden.txt", "garden roses tulips");
    ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix", "index", docs_}, &output), 0) << output;
    record_ = tree_.root() + "/opened.txt";
    const std::string opener = tree_.root() + "/opener.sh";
    WriteFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record_ + "'\n");
    ASSERT_EQ(RunProcess({"chmod", "+x", opener}), 0);
    setenv("TROVIX_OPENER", opener.c_str(), 1);
    StartBus();
  }

  void TearDown() override {
    // Every process a test caused to start ends here, by its own id; a
    // process that ended already (its id possibly reused since) is left be.
    for (const Started& started : started_) {
      if (Runs(started.pid, started.program)) kill(started.pid, SIGTERM);
    }
    if (bus_pid_ > 0) kill(bus_pid_, SIGTERM);
    unsetenv("TROVIX_OPENER");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }

  // A session bus of our own, serving the services the prefix installed. The
  // address is set before the daemon starts, so that the services it
  // activates inherit it as their session bus.
  void StartBus() {
    const std::string socket = tree_.runtime() + "/bus";
    address_ = "unix:path=" + socket;
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    const std::string config = tree_.root() + "/bus.conf";
    WriteFile(config,
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
              "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig><type>session</type><listen>" +
                  address_ + "</listen><servicedir>" + prefix_ +
                  "/share/dbus-1/services</servicedir><policy context=\"default\">"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                  "<allow own=\"*\"/></policy></busconfig>\n");
    // No output is captured: the forked daemon would keep the capturing pipe
    // open, and waiting for its end would never end.
    const std::string pid_file = tree_.root() + "/bus.pid";
    ASSERT_EQ(RunProcess({"/bin/sh", "-c",
                          "dbus-daemon --config-file='" + config + "' --fork --print-pid=1 >'" +
                              pid_file + "' 2>/dev/null </dev/null"}),
              0);
    std::string output = ReadFile(pid_file);
    bus_pid_ = std::atoi(output.c_str());
    ASSERT_GT(bus_pid_, 0) << output;
  }

  // gdbus call; the reply text (or the error) in `reply`; the exit status.
  // The provider the bus started for it is noted for the teardown.
  int Call(const std::string& path, const std::string& method, const std::vector<std::string>& args,
           std::string* reply) {
    std::vector<std::string> argv = {"gdbus",  "call",          "--address", address_,   "--dest",
                                     kService, "--object-path", path,        "--method", method};
    argv.insert(argv.end(), args.begin(), args.end());
    reply->clear();
    const int status = RunProcess(argv, reply);
    NoteProvider();
    return status;
  }
  // A call to the bus itself; the reply text.
  std::string BusCall(const std::string& method, const std::string& argument) {
    std::string reply;
    RunProcess(
        {"gdbus", "call", "--address", address_, "--dest", "org.freedesktop.DBus", "--object-path",
         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus." + method, argument},
        &reply);
    return reply;
  }
  bool ProviderOwnsItsName() { return BusCall("NameHasOwner", kService) == "(true,)\n"; }
  // The process owning the provider's name; 0 when none does.
  int ProviderPid() {
    const std::string reply = BusCall("GetConnectionUnixProcessID", kService);
    std::smatch pid;
    static const std::regex kPid("^\\(uint32 ([0-9]+),\\)");
    return std::regex_search(reply, pid, kPid) ? std::stoi(pid[1].str()) : 0;
  }
  void NoteProvider() {
    if (!started_.empty() && started_.back().program == kProviderProgram &&
        Runs(started_.back().pid, kProviderProgram)) {
      return;
    }
    if (const int pid = ProviderPid(); pid > 0) started_.push_back({pid, kProviderProgram});
  }
  // True while `pid` is a live (not ended, not a zombie) process of `program`.
  static bool Runs(int pid, const std::string& program) {
    const std::string command = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t state = stat.rfind(") ");
    return command.find(program) != std::string::npos && state != std::string::npos &&
           stat.compare(state + 2, 1, "Z") != 0;
  }
  std::vector<std::string> Ids(const std::string& method, const std::vector<std::string>& args) {
    std::string reply;
    EXPECT_EQ(Call(kGnome, std::string(kGnomeInterface) + "." + method, args, &reply), 0) << reply;
    return Quoted(reply);
  }
  static std::vector<std::string> Quoted(const std::string& text) {
    std::vector<std::string> found;
    static const std::regex kQuoted("'([^']*)'");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kQuoted);
         it != std::sregex_iterator(); ++it) {
      found.push_back((*it)[1]);
    }
    return found;
  }
  // The file names of result ids, through GetResultMetas.
  std::vector<std::string> Names(const std::vector<std::string>& ids) {
    std::vector<std::string> names;
    for (const std::string& id : ids) {
      std::string reply;
      EXPECT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".GetResultMetas", {"['" + id + "']"},
                     &reply),
                0);
      std::smatch name;
      static const std::regex kName("'name': <'([^']*)'>");
      names.push_back(std::regex_search(reply, name, kName) ? name[1].str() : "?");
    }
    return names;
  }
  // What services the bus starts from now on find in their environment.
  void SetActivationEnvironment(const std::string& name, const std::string& value) {
    std::string reply;
    ASSERT_EQ(RunProcess({"gdbus", "call", "--address", address_, "--dest", "org.freedesktop.DBus",
                          "--object-path", "/org/freedesktop/DBus", "--method",
                          "org.freedesktop.DBus.UpdateActivationEnvironment",
                          "{'" + name + "': '" + value + "'}"},
                         &reply),
              0)
        << reply;
  }
  std::string Opened() { return ReadFile(record_); }

  trovix::testing::PrivateTree tree_;
  std::string prefix_;
  std::string docs_;
  std::string record_;
  std::string address_;
  int bus_pid_ = 0;
  struct Started {
    int pid;
    std::string program;  // a part of its command line, checked before the kill
  };
  std::vector<Started> started_;
};

TEST_F(ProviderTest, ActivationFileNamesTheInstalledProgram) {
  const std::string service =
      ReadFile(prefix_ + "/share/dbus-1/services/org.trovix.SearchProvider.service");
  EXPECT_NE(service.find("Exec=\"" + prefix_ + "/libexec/trovix/trovix-search-provider\"\n"),
            std::string::npos)
      << service;
  EXPECT_NE(ReadFile(prefix_ + "/share/gnome-shell/search-providers/org.trovix.SearchProvider.ini")
                .find("ObjectPath=/org/trovix/SearchProvider"),
            std::string::npos);
  EXPECT_NE(ReadFile(prefix_ + "/share/krunner/dbusplugins/org.trovix.SearchProvider.desktop")
                .find("X-Plasma-DBusRunner-Path=/runner"),
            std::string::npos);
}

TEST_F(ProviderTest, TheBusStartsTheProviderAndItRanksNameHitsThenCountsThenPrefixMatches) {
  // The first call activates the service from its .service file.
  const std::vector<std::string> ids = Ids("GetInitialResultSet", {"['budg']"});
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(Names(ids),
            (std::vector<std::string>{"budget-2024.txt", "notes.txt", "misc.txt", "summary.txt"}));
  // Every word but the last must match whole; the last is a prefix.
  EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['forecast', 'budge']"})),
            (std::vector<std::string>{"notes.txt", "misc.txt", "summary.txt"}));
  EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['budget', 'fore']"})),
            (std::vector<std::string>{"notes.txt", "summary.txt"}));
  EXPECT_TRUE(Ids("GetInitialResultSet", {"['budg', 'forecast']"}).empty());
  // Two characters are a word; single letters and punctuation are none.
  EXPECT_EQ(Ids("GetInitialResultSet", {"['bu']"}).size(), 4u);
  EXPECT_TRUE(Ids("GetInitialResultSet", {"['b', 'u']"}).empty());
  EXPECT_TRUE(Ids("GetInitialResultSet", {"['!!', '?']"}).empty());
}

// Words of every script in every case and accent form, through both
// providers, by the analysis the index was made with.
TEST_F(ProviderTest, WordsOfEveryScriptAreFoundInEveryForm) {
  WriteFile(docs_ + "/scripts/fr.txt", "Le café était très bon");
  WriteFile(docs_ + "/scripts/de.txt", "Die Straße ist groß");
  WriteFile(docs_ + "/scripts/el.txt", "Ελληνικά κείμενο");
  WriteFile(docs_ + "/scripts/ja.txt", "東京都の天気は晴れです");
  WriteFile(docs_ + "/scripts/invoice.txt", "Invoice 47110815, AI");
  std::string output;
  ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix", "index", docs_ + "/scripts"}, &output), 0)
      << output;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"CAFÉ", "fr.txt"},     {"cafe", "fr.txt"},          {"STRASSE", "de.txt"},
      {"ελληνικά", "el.txt"}, {"ΕΛΛΗΝΙΚΑ", "el.txt"},      {"東京都", "ja.txt"},
      {"天気", "ja.txt"},     {"47110815", "invoice.txt"}, {"AI", "invoice.txt"},
  };
  for (const auto& [query, name] : cases) {
    EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['" + query + "']"})),
              std::vector<std::string>{name})
        << query;
    std::string reply;
    ASSERT_EQ(Call("/runner", "org.kde.krunner1.Match", {query}, &reply), 0) << reply;
    const std::vector<std::string> fields = Quoted(reply);
    ASSERT_GE(fields.size(), 2u) << query << ": " << reply;
    EXPECT_EQ(fields[1], name) << query << ": " << reply;
  }
  EXPECT_TRUE(Ids("GetInitialResultSet", {"['京東']"}).empty());
}

TEST_F(ProviderTest, SubsearchRefinesThePreviousResult) {
  const std::vector<std::string> first = Ids("GetInitialResultSet", {"['budg']"});
  ASSERT_EQ(first.size(), 4u);
  // Only two of the earlier ids are offered: the refined answer stays within them.
  const std::string previous = "['" + first[1] + "', '" + first[2] + "', 'junk', '-5']";
  EXPECT_EQ(Names(Ids("GetSubsearchResultSet", {previous, "['budget', 'fore']"})),
            (std::vector<std::string>{"notes.txt"}));
  EXPECT_EQ(Names(Ids("GetSubsearchResultSet", {previous, "['budge']"})),
            (std::vector<std::string>{"notes.txt", "misc.txt"}));
}

TEST_F(ProviderTest, MetasGiveNameFolderAndIconAndSkipUnknownIds) {
  const std::vector<std::string> ids = Ids("GetInitialResultSet", {"['garden']"});
  ASSERT_EQ(ids.size(), 1u);
  std::string reply;
  ASSERT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".GetResultMetas",
                 {"['" + ids[0] + "', '999999', 'x', '']"}, &reply),
            0)
      << reply;
  EXPECT_NE(reply.find("'name': <'garden.txt'>"), std::string::npos) << reply;
  // The description is why the file was found: the passage of its text.
  EXPECT_NE(reply.find("'description': <'garden roses tulips'>"), std::string::npos) << reply;
  EXPECT_NE(reply.find("'gicon': <'text-plain'>"), std::string::npos) << reply;
  EXPECT_EQ(std::count(reply.begin(), reply.end(), '{'), 1) << "one meta: " << reply;
  // A file found by its name alone has no passage: its folder describes it.
  WriteFile(docs_ + "/holiday.txt", "sun and sea");
  std::string output;
  ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix", "index", docs_}, &output), 0) << output;
  const std::vector<std::string> named = Ids("GetInitialResultSet", {"['holiday']"});
  ASSERT_EQ(named.size(), 1u);
  ASSERT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".GetResultMetas", {"['" + named[0] + "']"},
                 &reply),
            0);
  EXPECT_NE(reply.find("'description': <'" + docs_ + "'>"), std::string::npos) << reply;
}

// The query language as you type: phrases, OR, NOT and filters, with the
// snippet of the passage that matched, also for a query typed half-way.
TEST_F(ProviderTest, PhrasesFiltersAndSnippetsReachBothShells) {
  WriteFile(docs_ + "/report.md", "The annual report of the club.\n\nIt was a fine year.");
  WriteFile(docs_ + "/other.txt", "report annual, in the wrong order");
  std::string output;
  ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix", "index", docs_}, &output), 0) << output;
  EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['\"annual', 'report\"']"})),
            std::vector<std::string>{"report.md"});
  EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['\"annual', 'rep']"})),
            std::vector<std::string>{"report.md"});
  EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['budget', '-forecast']"})),
            std::vector<std::string>{"budget-2024.txt"});
  EXPECT_EQ(Names(Ids("GetInitialResultSet", {"['garden', 'OR', 'annual', 'ext:md']"})),
            std::vector<std::string>{"report.md"});
  EXPECT_TRUE(Ids("GetInitialResultSet", {"['type:pdf']"}).empty()) << "filters alone: no question";
  EXPECT_TRUE(Ids("GetInitialResultSet", {"['annual', 'modified:..2000']"}).empty());
  const std::vector<std::string> ids = Ids("GetInitialResultSet", {"['\"annual', 'report\"']"});
  ASSERT_EQ(ids.size(), 1u);
  std::string reply;
  ASSERT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".GetResultMetas", {"['" + ids[0] + "']"},
                 &reply),
            0);
  EXPECT_NE(reply.find("'description': <'The annual report of the club. It was a fine year.'>"),
            std::string::npos)
      << reply;
  // KRunner's query is one string: quotes and all (a GVariant text in
  // single quotes, so that gdbus keeps the double ones).
  ASSERT_EQ(Call("/runner", "org.kde.krunner1.Match", {"'\"annual report\"'"}, &reply), 0) << reply;
  EXPECT_NE(reply.find("'subtext': <'The annual report of the club. It was a fine year.'>"),
            std::string::npos)
      << reply;
  EXPECT_EQ(reply.find("other.txt"), std::string::npos)
      << "the words in the wrong order: " << reply;
  ASSERT_EQ(Call("/runner", "org.kde.krunner1.Match", {"'annual report'"}, &reply), 0) << reply;
  EXPECT_NE(reply.find("other.txt"), std::string::npos) << "both words, no phrase: " << reply;
}

// A query built to cost the most, over a text that holds the words
// everywhere: the answer stays bounded (rows read, snippet time) and comes
// back with results, well within a keystroke's patience.
TEST_F(ProviderTest, AHostileQueryStaysWithinTheKeystrokeBudget) {
  std::string everywhere;
  for (int i = 0; i < 200000; ++i) everywhere += "budget forecast ";
  for (int i = 0; i < 10; ++i) WriteFile(docs_ + "/big/" + std::to_string(i) + ".txt", everywhere);
  std::string output;
  ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix", "index", docs_}, &output), 0) << output;
  // Sixteen parts: phrases of common words in every order, prefixes and
  // patterns that stand for many terms. More parts are refused outright.
  std::string terms = "['(budget OR forecast OR b*t OR f*t)'";
  for (const char* part : {"\"budget forecast\"", "\"forecast budget\"", "\"budget budget\"", "OR",
                           "\"forecast budget forecast\"", "bu*", "\"budget fore*\"", "OR", "f*",
                           "-nothing", "\"budget forecast budget\"", "b*"}) {
    terms += std::string(", '") + part + "'";
  }
  EXPECT_TRUE(Ids("GetInitialResultSet", {terms + ", 'budget', 'budget', 'budget']"}).empty());
  terms += "]";
  EXPECT_FALSE(Ids("GetInitialResultSet", {terms}).empty());
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> ids = Ids("GetInitialResultSet", {terms});
  std::string list;
  for (const std::string& id : ids) list += (list.empty() ? "'" : ", '") + id + "'";
  std::string reply;
  ASSERT_EQ(
      Call(kGnome, std::string(kGnomeInterface) + ".GetResultMetas", {"[" + list + "]"}, &reply),
      0);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(ids.empty());
  // Two gdbus processes and two calls: a generous bound that only a search
  // without its bounds (every row, every text read whole) would pass.
  EXPECT_LT(took, std::chrono::seconds(5))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST_F(ProviderTest, ActivationOpensOnlyCataloguedFiles) {
  const std::vector<std::string> ids = Ids("GetInitialResultSet", {"['garden']"});
  ASSERT_EQ(ids.size(), 1u);
  std::string reply;
  for (const char* bad : {"999999", "0", "'-1'", "1x", "../../etc/passwd", "''"}) {
    EXPECT_NE(Call(kGnome, std::string(kGnomeInterface) + ".ActivateResult",
                   {std::string(bad), "['garden']", "0"}, &reply),
              0)
        << bad;
    EXPECT_NE(reply.find("InvalidArgs"), std::string::npos) << reply;
  }
  EXPECT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".ActivateResult",
                 {ids[0], "['garden']", "0"}, &reply),
            0)
      << reply;
  ASSERT_TRUE(WaitUntil([&] { return !Opened().empty(); }));
  EXPECT_EQ(Opened(), docs_ + "/garden.txt\n") << "nothing else was opened";
}

// A path of 4,000 bytes in several scripts is found, described and opened
// whole, never cut to the length of the classic result record.
TEST_F(ProviderTest, ALongPathIsFoundDescribedAndOpenedWhole) {
  const std::string deep =
      trovix::testing::MakeLongPathFile(docs_ + "/deep", 4000, ".txt", "abyssal trench");
  std::string output;
  ASSERT_EQ(RunProcess({prefix_ + "/bin/trovix", "index", docs_}, &output), 0) << output;
  const std::vector<std::string> ids = Ids("GetInitialResultSet", {"['abyssal']"});
  ASSERT_EQ(ids.size(), 1u);
  std::string reply;
  ASSERT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".GetResultMetas", {"['" + ids[0] + "']"},
                 &reply),
            0);
  EXPECT_NE(reply.find("'description': <'abyssal trench'>"), std::string::npos) << reply.size();
  EXPECT_EQ(std::count(reply.begin(), reply.end(), '{'), 1) << reply.size();
  ASSERT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".ActivateResult",
                 {ids[0], "['abyssal']", "0"}, &reply),
            0)
      << reply;
  ASSERT_TRUE(WaitUntil([&] { return !Opened().empty(); }));
  EXPECT_TRUE(Opened() == deep + "\n") << Opened().size();
}

TEST_F(ProviderTest, HostileArgumentsAreHarmless) {
  std::string reply;
  const std::string huge = std::string(100000, 'a');
  for (const std::string& terms :
       {std::string("[]"), std::string("['']"), "['" + huge + "']", std::string("['bud\\'get']"),
        std::string("['*']"), std::string("['+']"), std::string("[';;;', '---', '***x']")}) {
    EXPECT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".GetInitialResultSet", {terms}, &reply),
              0)
        << terms.substr(0, 40) << reply;
    EXPECT_EQ(reply, "(@as [],)\n") << terms.substr(0, 40);
  }
  // Quotes and wildcards are cleaned away before any statement sees them.
  EXPECT_EQ(Ids("GetInitialResultSet", {"['\"bud', '%%_']"}).size(), 4u);
  // A wrong signature is refused by the bus layer; the service lives on.
  EXPECT_NE(Call(kGnome, std::string(kGnomeInterface) + ".GetInitialResultSet", {"42"}, &reply), 0);
  EXPECT_EQ(Ids("GetInitialResultSet", {"['garden']"}).size(), 1u);
}

TEST_F(ProviderTest, KRunnerMatchesAndRunsWithItsFolderAction) {
  std::string reply;
  ASSERT_EQ(Call("/runner", "org.kde.krunner1.Match", {"budg"}, &reply), 0) << reply;
  const std::vector<std::string> fields = Quoted(reply);
  // id, text, icon name, then 'subtext' and the folder, per match.
  ASSERT_GE(fields.size(), 5u) << reply;
  EXPECT_EQ(fields[1], "budget-2024.txt") << reply;
  EXPECT_EQ(fields[2], "text-plain");
  EXPECT_NE(reply.find("'subtext': <'budget plan for the year'>"), std::string::npos) << reply;
  EXPECT_NE(reply.find(", 30, 1.0, "), std::string::npos) << reply;

  ASSERT_EQ(Call("/runner", "org.kde.krunner1.Actions", {}, &reply), 0) << reply;
  EXPECT_NE(reply.find("'open-folder', 'Open containing folder'"), std::string::npos) << reply;

  EXPECT_NE(Call("/runner", "org.kde.krunner1.Run", {"31337", ""}, &reply), 0);
  EXPECT_NE(Call("/runner", "org.kde.krunner1.Run", {fields[0], "format-disk"}, &reply), 0);
  ASSERT_EQ(Call("/runner", "org.kde.krunner1.Run", {fields[0], "open-folder"}, &reply), 0)
      << reply;
  ASSERT_EQ(Call("/runner", "org.kde.krunner1.Run", {fields[0], ""}, &reply), 0) << reply;
  ASSERT_TRUE(WaitUntil([&] {
    const std::string opened = Opened();
    return std::count(opened.begin(), opened.end(), '\n') == 2;
  }));
  const std::string opened = Opened();
  EXPECT_NE(opened.find(docs_ + "\n"), std::string::npos) << opened;
  EXPECT_NE(opened.find(docs_ + "/budget-2024.txt\n"), std::string::npos) << opened;
}

// No panel runs: LaunchSearch starts one (the band's hand-over) and the
// panel searches the terms, which its title shows.
TEST_F(ProviderTest, LaunchSearchStartsThePanelWithTheTerms) {
  SetActivationEnvironment("QT_QPA_PLATFORM", "offscreen");
  std::string reply;
  ASSERT_EQ(Call(kGnome, std::string(kGnomeInterface) + ".LaunchSearch",
                 {"['forecast', 'budget']", "0"}, &reply),
            0)
      << reply;
  std::vector<PortInfo> ports;
  const bool shown = WaitUntil([&] {
    ports.clear();
    static_cast<void>(EnumerateTopLevelPorts(u"Vistrel", &ports));
    return ports.size() == 1 && ports[0].title == u"Vistrel - (2 files)";
  });
  for (const PortInfo& port : ports) started_.push_back({port.pid, "vistrel"});
  EXPECT_TRUE(shown);
}

// The provider ends by itself once idle, also after calls that opened the
// index; the next call starts it again.
TEST_F(ProviderTest, TheServiceEndsAfterIdleTimeAndTheNextCallStartsItAgain) {
  SetActivationEnvironment("TROVIX_PROVIDER_IDLE_MS", "300");
  EXPECT_EQ(Ids("GetInitialResultSet", {"['garden']"}).size(), 1u);
  const int first = ProviderPid();
  ASSERT_GT(first, 0);
  EXPECT_TRUE(WaitUntil([&] { return !ProviderOwnsItsName(); }));
  EXPECT_TRUE(WaitUntil([&] { return !Runs(first, kProviderProgram); })) << "the process ended";
  EXPECT_EQ(Ids("GetInitialResultSet", {"['garden']"}).size(), 1u);
  const int second = ProviderPid();
  EXPECT_GT(second, 0);
  EXPECT_NE(second, first);
}

// Calls keep it alive: each one starts the idle time afresh.
TEST_F(ProviderTest, CallsWithinTheIdleTimeKeepTheSameService) {
  SetActivationEnvironment("TROVIX_PROVIDER_IDLE_MS", "1500");
  EXPECT_EQ(Ids("GetInitialResultSet", {"['garden']"}).size(), 1u);
  const int first = ProviderPid();
  ASSERT_GT(first, 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
  while (std::chrono::steady_clock::now() < until) {
    EXPECT_EQ(Ids("GetInitialResultSet", {"['budg']"}).size(), 4u);
  }
  EXPECT_EQ(ProviderPid(), first) << "alive past twice its idle time, by the calls";
}

TEST_F(ProviderTest, TheServiceEndsWhenItsSessionBusGoesAway) {
  EXPECT_EQ(Ids("GetInitialResultSet", {"['garden']"}).size(), 1u);
  const int provider = ProviderPid();
  ASSERT_GT(provider, 0);
  ASSERT_EQ(kill(bus_pid_, SIGTERM), 0);
  bus_pid_ = 0;
  EXPECT_TRUE(WaitUntil([&] { return !Runs(provider, kProviderProgram); }));
}

}  // namespace
