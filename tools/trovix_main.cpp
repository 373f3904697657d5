// trovix: the command-line client of the index store.
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/index_command.h"
#include "tools/cli/info_commands.h"
#include "tools/cli/repair_command.h"
#include "tools/cli/search_command.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  trovix search [--include PATTERNS] [--exclude PATTERNS] [--long | --json] [WORDS...]\n"
    "  trovix index PATH...\n"
    "  trovix stats\n"
    "  trovix duplicates FILE\n"
    "  trovix compact\n"
    "  trovix repair\n"
    "  trovix --help | --version\n"
    "\n"
    "search   lists the indexed files that contain every word. A word may end in or\n"
    "         contain * (any letters); + alone finds files with words, - files without.\n"
    "         --include and --exclude take path patterns separated by ;, such as\n"
    "         ~/projects/*.txt or /home/me/notes/ (default include: *, every file).\n"
    "         Exit status: 0 files found, 1 none, 2 error.\n"
    "index    catalogues and indexes files and folders now.\n"
    "stats    shows the index's counters, size and files.\n"
    "duplicates  lists indexed files with the same content as FILE.\n"
    "compact  compacts the index database.\n"
    "repair   checks the index database; a damaged or missing one is replaced by a new,\n"
    "         empty database (the damaged file is kept beside it). Exit status: 0 done or\n"
    "         nothing to do, 2 the database is in use or could not be checked.\n";

int Usage(const std::string& problem) {
  std::cerr << "trovix: " << problem << "\n" << kUsage;
  return 2;
}

// Reads the value of an option given as "--name VALUE" or "--name=VALUE".
std::optional<std::string> OptionValue(const std::string& name,
                                       const std::vector<std::string>& args, std::size_t* i) {
  const std::string& arg = args[*i];
  if (arg.rfind(name + "=", 0) == 0) return arg.substr(name.size() + 1);
  if (arg != name) return std::nullopt;
  if (*i + 1 >= args.size()) return std::nullopt;
  return args[++*i];
}

int Search(const std::vector<std::string>& args) {
  trovix::cli::SearchOptions options;
  bool words_only = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (words_only || arg.empty() || arg[0] != '-' || arg == "-") {
      options.words.push_back(arg);  // "-" alone is the query for files without words
    } else if (arg == "--") {
      words_only = true;
    } else if (arg == "--long") {
      options.long_format = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (auto include = OptionValue("--include", args, &i)) {
      options.include = *include;
    } else if (auto exclude = OptionValue("--exclude", args, &i)) {
      options.exclude = *exclude;
    } else {
      return Usage("unknown or incomplete option '" + arg + "'");
    }
  }
  return trovix::cli::RunSearch(options, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command given");
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command == "--version") {
    std::cout << "trovix " << TROVIX_VERSION << "\n";
    return 0;
  }
  if (command == "search") return Search(rest);
  if (command == "index") {
    if (rest.empty()) return Usage("index needs at least one PATH");
    return trovix::cli::RunIndex(rest, isatty(STDERR_FILENO) != 0, std::cout, std::cerr);
  }
  if (command == "stats" && rest.empty()) return trovix::cli::RunStats(std::cout, std::cerr);
  if (command == "duplicates" && rest.size() == 1) {
    return trovix::cli::RunDuplicates(rest[0], std::cout, std::cerr);
  }
  if (command == "compact" && rest.empty()) return trovix::cli::RunCompact(std::cout, std::cerr);
  if (command == "repair" && rest.empty()) return trovix::cli::RunRepair(std::cout, std::cerr);
  return Usage("unknown command or wrong arguments: '" + command + "'");
}
