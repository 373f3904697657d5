// The desktop search provider's answer time over D-Bus: trovix-search-provider
// serves a private session bus, and this program calls it as the shell does
// while the user types — GetInitialResultSet with a whole word and the start
// of a second, then GetResultMetas for the (at most 20) ids it answered.
// Prints the median and 95th percentile of each call and of the pair, how
// many metas carried a snippet rather than the folder, and the service's
// peak resident memory (VmHWM). Ends the bus and the service it started, by
// their ids.
//
//   provider_bench
//       on the synthetic index of bench/synthetic_index.h, in a private tree
//       of its own, with the built provider; those files are catalogued only,
//       so no meta has a snippet.
//   provider_bench --provider PATH --queries FILE [--hostile FILE] [--times OUT]
//       on the index of the environment the caller set up (HOME and the XDG
//       folders of a tree with an index of real files), with the provider at
//       PATH. FILE holds one query a line, its terms separated by spaces, as
//       the shell splits what is typed; the hostile queries are timed one by
//       one, each 20 times. With --times OUT, each timed query's two calls
//       (ms) and its terms go to OUT, one line each, to tell which queries
//       cost the time.
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
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
constexpr int kHostileRuns = 20;
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

// One query a line, terms separated by spaces; empty lines skipped.
std::vector<QStringList> ReadQueries(const std::string& path) {
  std::vector<QStringList> queries;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const QStringList terms = QString::fromStdString(line).split(u' ', Qt::SkipEmptyParts);
    if (!terms.isEmpty()) queries.push_back(terms);
  }
  return queries;
}

// A description is the folder (an absolute path) when the provider made no
// snippet for the hit; snippet text never starts with "/".
int Snippets(const QList<QVariantMap>& metas) {
  int count = 0;
  for (const QVariantMap& meta : metas) {
    count += meta.value(QStringLiteral("description")).toString().startsWith(u'/') ? 0 : 1;
  }
  return count;
}

struct Keystroke {
  double initial = 0;  // ms
  double metas = 0;
  int results = 0;   // ids on the page
  int snippets = 0;  // metas with a snippet
};

// Serves the bus at `address` and times the provider at `provider_path` on
// `queries` (the first kWarmCalls only warm it) and each of `hostile`.
int Serve(int argc, char** argv, const std::string& address, const std::string& provider_path,
          const std::vector<QStringList>& queries, const std::vector<QStringList>& hostile,
          const std::string& times_path) {
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
  Child provider({provider_path});
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
  const auto keystroke = [&](const QStringList& terms) -> std::optional<Keystroke> {
    const Clock::time_point start = Clock::now();
    const QDBusMessage ids = call("GetInitialResultSet", terms);
    const Clock::time_point found = Clock::now();
    if (ids.type() != QDBusMessage::ReplyMessage) {
      std::fprintf(stderr, "GetInitialResultSet failed: %s\n",
                   ids.errorMessage().toLocal8Bit().constData());
      return std::nullopt;
    }
    const QStringList page = ids.arguments().value(0).toStringList().mid(0, 20);
    const QDBusMessage described = call("GetResultMetas", page);
    const Clock::time_point end = Clock::now();
    const auto list = qdbus_cast<QList<QVariantMap>>(described.arguments().value(0));
    if (described.type() != QDBusMessage::ReplyMessage || list.size() != page.size()) {
      std::fprintf(stderr, "GetResultMetas answered %lld metas for %lld ids\n",
                   static_cast<long long>(list.size()), static_cast<long long>(page.size()));
      return std::nullopt;
    }
    return Keystroke{Milliseconds(start, found), Milliseconds(found, end),
                     static_cast<int>(page.size()), Snippets(list)};
  };

  std::vector<double> initial;
  std::vector<double> metas;
  std::vector<double> both;
  long results = 0;
  long snippets = 0;
  int full_pages = 0;
  std::ofstream per_query;
  if (!times_path.empty()) per_query.open(times_path);
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const std::optional<Keystroke> timed = keystroke(queries[i]);
    if (!timed) return 1;
    if (i < kWarmCalls) continue;
    if (per_query.is_open()) {
      per_query << timed->initial << ' ' << timed->metas << ' ' << timed->snippets << ' '
            << queries[i].join(u' ').toStdString() << '\n';
    }
    initial.push_back(timed->initial);
    metas.push_back(timed->metas);
    both.push_back(timed->initial + timed->metas);
    results += timed->results;
    snippets += timed->snippets;
    full_pages += timed->results == 20 ? 1 : 0;
  }
  const std::size_t timed_calls = both.size();
  std::printf(
      "%zu queries of a whole word and a 3-5 letter start: %.1f results on average, %d "
      "with a full page of 20; %ld of %ld metas with a snippet\n",
      timed_calls, static_cast<double>(results) / static_cast<double>(timed_calls), full_pages,
      snippets, results);
  std::printf("%-38s %9s %9s %7s\n", "call", "median ms", "p95 ms", "target");
  const auto row = [](const char* what, const std::vector<double>& times, const char* target) {
    const Figures figures = Summarise(times);
    std::printf("%-38s %9.2f %9.2f %7s\n", what, figures.median, figures.p95, target);
  };
  row("GetInitialResultSet", initial, "");
  row("GetResultMetas (<= 20 ids)", metas, "");
  row("both, as one keystroke", both, "30/60");
  // Machine-readable lines for the scripts that drive this program.
  const Figures overall = Summarise(both);
  std::printf("keystroke.median_ms %.2f\nkeystroke.p95_ms %.2f\nkeystroke.queries %zu\n",
              overall.median, overall.p95, timed_calls);
  std::printf("keystroke.results %ld\nkeystroke.snippets %ld\n", results, snippets);
  for (std::size_t h = 0; h < hostile.size(); ++h) {
    std::vector<double> times;
    Keystroke last;
    for (int run = 0; run < kHostileRuns + 2; ++run) {
      const std::optional<Keystroke> timed = keystroke(hostile[h]);
      if (!timed) return 1;
      if (run >= 2) times.push_back(timed->initial + timed->metas);
      last = *timed;
    }
    std::sort(times.begin(), times.end());
    std::printf("hostile.%zu.terms %s\nhostile.%zu.median_ms %.2f\nhostile.%zu.max_ms %.2f\n", h,
                hostile[h].join(u' ').toUtf8().constData(), h, times[times.size() / 2], h,
                times.back());
    std::printf("hostile.%zu.results %d\nhostile.%zu.snippets %d\n", h, last.results, h,
                last.snippets);
  }
  std::printf("service peak resident memory (VmHWM): %.1f MB (target 30)\n",
              PeakResidentKb(provider.pid()) / 1024.0);
  std::printf("provider.vmhwm_kb %ld\n", PeakResidentKb(provider.pid()));
  return 0;
}

// The value after `flag` among the arguments; empty when absent.
std::string Argument(int argc, char** argv, const char* flag) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) return argv[i + 1];
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(__OPTIMIZE__) || !defined(NDEBUG)
  std::fprintf(stderr, "warning: built without optimisation or with assertions on\n");
#endif
  const std::string queries_file = Argument(argc, argv, "--queries");
  if (!queries_file.empty()) {
    const std::string provider = Argument(argc, argv, "--provider");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (provider.empty() || runtime == nullptr) {
      std::fprintf(stderr, "usage: provider_bench --provider PATH --queries FILE [--hostile FILE]"
                           " [--times OUT] (with XDG_RUNTIME_DIR set)\n");
      return 2;
    }
    const std::vector<QStringList> queries = ReadQueries(queries_file);
    if (queries.size() <= static_cast<std::size_t>(kWarmCalls)) {
      std::fprintf(stderr, "%s: fewer than %d queries\n", queries_file.c_str(), kWarmCalls + 1);
      return 2;
    }
    const std::string hostile_file = Argument(argc, argv, "--hostile");
    return Serve(argc, argv, "unix:path=" + std::string(runtime) + "/bench-bus", provider, queries,
                 hostile_file.empty() ? std::vector<QStringList>() : ReadQueries(hostile_file),
                 Argument(argc, argv, "--times"));
  }

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
  return Serve(argc, argv, "unix:path=" + tree.runtime() + "/bus",
               TROVIX_BUILD_DIR "/bin/trovix-search-provider",
               TypedQueries(words, kWarmCalls + kCalls), {}, {});
}
