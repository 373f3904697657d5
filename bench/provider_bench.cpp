// The desktop search provider's answer time over D-Bus, on the synthetic
// index of bench/synthetic_index.h: the built trovix-search-provider serves a
// private session bus, and this program calls it as the shell does while the
// user types — GetInitialResultSet with a whole word and the start of a
// second, then GetResultMetas for the (at most 20) ids it answered. Prints
// the median and 95th percentile of each call and of the pair over kCalls
// different queries, and the service's peak resident memory (VmHWM). Runs in
// a private tree; ends the bus and the service it started, by their ids.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/synthetic_index.h"
#include "indexstore/testing/ordalis_fixture.h"
#include "shared/database_format.h"

namespace {

using namespace trovix::bench;
using Clock = std::chrono::steady_clock;

constexpr int kCalls = 200;
constexpr int kWarmCalls = 10;
constexpr const char* kService = "org.trovix.SearchProvider";
constexpr const char* kPath = "/org/trovix/SearchProvider";
constexpr const char* kInterface = "org.gnome.Shell.SearchProvider2";

double Milliseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Figures {
  double median;
  double p95;
};

Figures Summarise(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[(times.size() * 95) / 100]};
}

// A process started here, ended by its id when this object goes.
class Child {
 public:
  explicit Child(const std::vector<std::string>& argv) {
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  [[nodiscard]] pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// The peak resident memory of `pid` in kB, from /proc; -1 when unknown.
long PeakResidentKb(pid_t pid) {
  const std::string status = trovix::testing::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Queries as typed: a whole word of the index's first thousand ranks, then the
// first three to five letters of a word of its first 5,000: most fill a page of 20.
std::vector<QStringList> TypedQueries(const std::vector<std::string>& words, int count) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> whole(10, 1000);
  std::uniform_int_distribution<int> started(0, 5000);
  std::uniform_int_distribution<int> letters(3, 5);
  std::vector<QStringList> queries;
  for (int i = 0; i < count; ++i) {
    const std::string& first = words[whole(random)];
    const std::string second = words[started(random)].substr(0, letters(random));
    queries.push_back({QString::fromStdString(first), QString::fromStdString(second)});
  }
  return queries;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr, "warning: built without optimisation or with assertions on\n");
#endif
  trovix::testing::PrivateTree tree;
  if (FAILED(ordalis::testing::RegisterBuiltModule())) {
    std::fprintf(stderr, "cannot register the built module\n");
    return 1;
  }
  const std::string database = trovix::DefaultDatabaseLocation().path;
  std::filesystem::create_directories(std::filesystem::path(database).parent_path());
  if (FAILED(trovix::CreateDatabase(database))) return 1;
  std::mt19937 random(1);
  const std::vector<std::string> words = MakeWords(random);
  std::vector<int> frequency;
  if (!BuildIndex(database, words, &frequency)) return 1;
  std::printf("index: %d files, %d words, %.0f MB\n", kFiles, kWords,
              std::filesystem::file_size(database) / 1e6);

  const std::string address = "unix:path=" + tree.runtime() + "/bus";
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  setenv("TROVIX_PROVIDER_IDLE_MS", "3600000", 1);
  Child bus({"/usr/bin/dbus-daemon", "--session", "--nofork", "--address=" + address});
  QCoreApplication app(argc, argv);
  qDBusRegisterMetaType<QList<QVariantMap>>();
  std::optional<QDBusConnection> connection;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (!connection && Clock::now() < deadline) {
    QDBusConnection attempt = QDBusConnection::connectToBus(QString::fromStdString(address), "b");
    if (attempt.isConnected()) {
      connection = attempt;
    } else {
      QDBusConnection::disconnectFromBus("b");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!connection) {
    std::fprintf(stderr, "the private bus did not start\n");
    return 1;
  }
  Child provider({TROVIX_BUILD_DIR "/bin/trovix-search-provider"});
  while (!connection->interface()->isServiceRegistered(kService).value()) {
    if (Clock::now() > deadline + std::chrono::seconds(20)) {
      std::fprintf(stderr, "the provider did not take its name\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("provider started: VmHWM %ld kB before any call\n", PeakResidentKb(provider.pid()));

  const auto call = [&](const char* method, const QVariant& argument) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    message << argument;
    return connection->call(message);
  };
  std::vector<double> initial;
  std::vector<double> metas;
  std::vector<double> both;
  long results = 0;
  int full_pages = 0;
  const std::vector<QStringList> queries = TypedQueries(words, kWarmCalls + kCalls);
  for (int i = 0; i < kWarmCalls + kCalls; ++i) {
    const Clock::time_point start = Clock::now();
    const QDBusMessage ids = call("GetInitialResultSet", queries[i]);
    const Clock::time_point found = Clock::now();
    if (ids.type() != QDBusMessage::ReplyMessage) {
      std::fprintf(stderr, "GetInitialResultSet failed: %s\n",
                   ids.errorMessage().toLocal8Bit().constData());
      return 1;
    }
    const QStringList page = ids.arguments().value(0).toStringList().mid(0, 20);
    const QDBusMessage described = call("GetResultMetas", page);
    const Clock::time_point end = Clock::now();
    const auto list = qdbus_cast<QList<QVariantMap>>(described.arguments().value(0));
    if (described.type() != QDBusMessage::ReplyMessage || list.size() != page.size()) {
      std::fprintf(stderr, "GetResultMetas answered %lld metas for %lld ids\n",
                   static_cast<long long>(list.size()), static_cast<long long>(page.size()));
      return 1;
    }
    if (i < kWarmCalls) continue;
    initial.push_back(Milliseconds(start, found));
    metas.push_back(Milliseconds(found, end));
    both.push_back(Milliseconds(start, end));
    results += page.size();
    full_pages += page.size() == 20 ? 1 : 0;
  }
  std::printf(
      "%d queries of a whole word and a 3-5 letter start: %.1f results on average, %d "
      "with a full page of 20\n",
      kCalls, static_cast<double>(results) / kCalls, full_pages);
  std::printf("%-38s %9s %9s %7s\n", "call", "median ms", "p95 ms", "target");
  const auto row = [](const char* what, const std::vector<double>& times, const char* target) {
    const Figures figures = Summarise(times);
    std::printf("%-38s %9.2f %9.2f %7s\n", what, figures.median, figures.p95, target);
  };
  row("GetInitialResultSet", initial, "");
  row("GetResultMetas (<= 20 ids)", metas, "");
  row("both, as one keystroke", both, "30/60");
  std::printf("service peak resident memory (VmHWM): %.1f MB (target 30)\n",
              PeakResidentKb(provider.pid()) / 1024.0);
  return 0;
}
