// trovix: the command-line client of the index store.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/config_command.h"
#include "tools/cli/index_command.h"
#include "tools/cli/info_commands.h"
#include "tools/cli/repair_command.h"
#include "tools/cli/search_command.h"
#include "tools/cli/status_command.h"
#include "tools/cli/store_session.h"

namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  trovix search [--include PATTERNS] [--exclude PATTERNS] [--long | --json | -0]\n"
    "                [--sort name|relevance] [--exact-accents] [--name-only]\n"
    "                [--snippets[=N]] [QUERY...]\n"
    "  trovix index PATH...\n"
    "  trovix stats\n"
    "  trovix duplicates FILE\n"
    "  trovix compact\n"
    "  trovix repair\n"
    "  trovix status [--json]\n"
    "  trovix pause [--for DURATION] | trovix resume\n"
    "  trovix config [set NAME VALUE | reset NAME | roots add|remove PATH |\n"
    "                 skip add|remove PATTERN]\n"
    "  trovix --help | --version\n"
    "\n"
    "search   lists the indexed files that contain every word, in their text or\n"
    "         their name, in any case and with or without accents (cafe finds café).\n"
    "         Words of two letters or digits and more are found, numbers too; a word\n"
    "         copied whole (INV-2024-0042, 東京都) matches where its parts stand\n"
    "         together. A word may end in or contain * (any letters); + alone finds\n"
    "         files with words, - files without. A query with no searchable word is\n"
    "         an error. The QUERY words are joined with spaces into one query:\n"
    "           '\"annual report\"'  the words next to each other, in this order\n"
    "           budget OR forecast   either (OR binds tighter than the AND of words)\n"
    "           -draft, NOT draft    without the word; ( ) group\n"
    "           name:WORD ext:pdf type:document|pdf|text|web|mail|ebook|spreadsheet|\n"
    "             presentation|image|audio|video|archive  in:~/Projects\n"
    "           modified:today|yesterday|7d|2w|2024|2024-03|2024-03-15|A..B\n"
    "           size:>10M size:<100k size:1M..2G\n"
    "         A malformed query is an error naming its column (exit status 2).\n"
    "         --snippets[=N]  under each of the first N files (20), the passages where\n"
    "                  the words occur, bold on a terminal; --long and --json show\n"
    "                  them too (JSON: \"snippet\", matches as character offsets).\n"
    "         --exact-accents: café and cafe are different words (also the\n"
    "         setting match-accents). --name-only: the words of file names only.\n"
    "         --include and --exclude take path patterns separated by ;, such as\n"
    "         ~/projects/*.txt or /home/me/notes/ (default include: *, every file).\n"
    "         One path per line. On a terminal, names are shown escaped: \\\\ for \\,\n"
    "         \\t \\n \\r, \\xHH for other control characters and for bytes that are\n"
    "         not UTF-8, \\u0080 to \\u009f for C1 controls.\n"
    "         --long   created, written, size (now, on disk) and path.\n"
    "         --json   one object per line: path, size, created, written. A name that\n"
    "                  is not UTF-8 has each bad byte as U+FFFD in \"path\" and its\n"
    "                  exact bytes in \"path_bytes\" (base64), present only then.\n"
    "         -0, --null  raw paths, each ended by a NUL byte; nothing else on stdout.\n"
    "         --sort relevance  best matches first: a word in the file name, then the\n"
    "                  words' counts weighted by rarity, then the latest written\n"
    "                  (default: by name).\n"
    "         Exit status: 0 files found, 1 none, 2 error.\n"
    "index    catalogues and indexes files and folders now, and removes from the\n"
    "         index the files below them that are gone (or a named path that is\n"
    "         gone). Prints \"X indexed, Y unchanged, Z skipped, W failed, N removed\";\n"
    "         failed files and why go to stderr. Left out by rule (skipped): types\n"
    "         that are not indexable, types without a filter, paths over 259\n"
    "         characters (not catalogued), files over 100 MiB (catalogued without\n"
    "         words). A document's text is read up to \"Max Text Per File\" (16 Mi\n"
    "         characters). A file the database fails on is tried again three times.\n"
    "         Exit status: 0 all done, 1 some files failed or were only partly read\n"
    "         (a damaged document, or text beyond the cap) or the run was stopped,\n"
    "         2 the index could not be used (database failed; a PATH is missing).\n"
    "stats    shows the index's counters, size and files. Exit status 2 when a\n"
    "         counter cannot be read (a damaged database).\n"
    "duplicates  lists indexed files with the same content as FILE.\n"
    "compact  compacts the index database.\n"
    "repair   checks the index database; a damaged or missing one is replaced by a new,\n"
    "         empty database (the damaged file is kept beside it). Exit status: 0 done or\n"
    "         nothing to do, 2 the database is in use or could not be checked.\n"
    "status   whether the indexer runs (and its process), what it does now (idle,\n"
    "         scanning, applying changes, compacting, paused), the last scan of each\n"
    "         root, the files catalogued and indexed and the database size. --json: one\n"
    "         object. Exit status: 0, 2 the database cannot be read, 3 no indexer runs.\n"
    "pause    stops indexing (changes are still recorded) until trovix resume, or for\n"
    "         DURATION (30m, 2h, 1d, 90s); the pause outlives a restart of the indexer.\n"
    "resume   lifts the pause; the changes recorded meanwhile are indexed.\n"
    "config   lists every setting with its value and default; set and reset change one\n"
    "         (checked: a bad value writes nothing); roots and skip change the index\n"
    "         roots and the skip patterns (~/.cache/, node_modules/, ...; a pattern\n"
    "         ending in / names folders). A running indexer takes the change at once.\n"
    "         Settings: roots, skip-paths, index-hidden-folders, scan-interval,\n"
    "         suppress-startup-scan, night-start-hour, night-end-hour,\n"
    "         nighttime-delta, daytime-delta, max-text-per-file.\n";

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
    // Options start with "--" (and -0); "-" alone is the query for files
    // without words, "-word" a word the files must not hold.
    if (words_only || arg.empty() || arg[0] != '-' || arg == "-" ||
        (arg[1] != '-' && arg != "-0")) {
      options.words.push_back(arg);
    } else if (arg == "--") {
      words_only = true;
    } else if (arg == "--long") {
      options.long_format = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-0" || arg == "--null") {
      options.null_separated = true;
    } else if (arg == "--exact-accents") {
      options.exact_accents = true;
    } else if (arg == "--name-only") {
      options.name_only = true;
    } else if (arg == "--snippets") {
      options.snippets = true;
    } else if (auto count = OptionValue("--snippets", args, &i)) {
      char* end = nullptr;
      const unsigned long files = std::strtoul(count->c_str(), &end, 10);
      if (count->empty() || *end != '\0' || files > 100000) {
        return Usage("--snippets=N takes a number of files from 0 to 100000");
      }
      options.snippets = files > 0;
      options.snippet_files = files;
    } else if (auto include = OptionValue("--include", args, &i)) {
      options.include = *include;
    } else if (auto exclude = OptionValue("--exclude", args, &i)) {
      options.exclude = *exclude;
    } else if (auto sort = OptionValue("--sort", args, &i)) {
      if (*sort != "name" && *sort != "relevance") return Usage("--sort takes name or relevance");
      options.by_relevance = *sort == "relevance";
    } else {
      return Usage("unknown or incomplete option '" + arg + "'");
    }
  }
  if (options.null_separated && (options.json || options.long_format)) {
    return Usage("-0 cannot be combined with --long or --json");
  }
  options.terminal = isatty(STDOUT_FILENO) != 0;
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
  // Searching and looking for duplicates change nothing: their sessions
  // read, and leave the registry hive and the database file as they were.
  if (command == "search" || command == "duplicates") {
    trovix::cli::SetDefaultStoreAccess(trovix::cli::StoreAccess::kRead);
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
  if (command == "status" && (rest.empty() || (rest.size() == 1 && rest[0] == "--json"))) {
    return trovix::cli::RunStatus(!rest.empty(), std::cout, std::cerr);
  }
  if (command == "pause") return trovix::cli::RunPause(rest, std::cout, std::cerr);
  if (command == "resume" && rest.empty()) return trovix::cli::RunResume(std::cout, std::cerr);
  if (command == "config") return trovix::cli::RunConfig(rest, std::cout, std::cerr);
  return Usage("unknown command or wrong arguments: '" + command + "'");
}
