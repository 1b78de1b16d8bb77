// The `brek` command line: parses the arguments and hands them to one command.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "app/commands.h"

namespace {

constexpr const char* kVersion = "0.1.0";

struct CommonFlags {
  std::string project_dir;
  std::string profiles_dir;
  std::string profile;
  std::string target;
  std::vector<std::string> select;
  std::vector<std::string> exclude;
  int threads = 1;
  bool full_refresh = false;
  std::string vars;
  bool verbose = false;
  std::string log_level;
  bool quiet = false;
  std::vector<std::string> resource_types;
};

void add_common(CLI::App& command, CommonFlags& flags) {
  command.add_option("--project-dir", flags.project_dir,
                     "Directory holding brek_project.yml (default: the current directory)");
  command.add_option("--profiles-dir", flags.profiles_dir,
                     "Directory holding profiles.yml (default: $BREK_PROFILES_DIR, the project "
                     "directory, the current directory, then ~/.brek)");
  command.add_option("--profile", flags.profile,
                     "Profile of profiles.yml to use (default: `profile:` of brek_project.yml)");
  command.add_option("-t,--target", flags.target, "Output of the profile to use as default target");
  command.add_option("-s,--select", flags.select, "Models to include (selection syntax)")
      ->expected(1, -1);
  command.add_option("--exclude", flags.exclude, "Models to leave out")->expected(1, -1);
  command.add_option("--threads", flags.threads, "Number of models run at once")
      ->check(CLI::PositiveNumber);
  command.add_flag("--full-refresh", flags.full_refresh, "Rebuild incremental models");
  command.add_option("--vars", flags.vars, "Variables as a YAML map, such as \"{days: 3}\"");
  command.add_flag("-v,--verbose", flags.verbose, "Show the log's info lines on the console");
  command
      .add_option("--log-level", flags.log_level,
                  "Show log lines of this level and above on the console (every line is in "
                  "logs/zyl.log)")
      ->check(CLI::IsMember({"error", "warn", "info", "debug"}));
  command.add_flag("-q,--quiet", flags.quiet, "Print only errors and the summary");
  command
      .add_option("--resource-type", flags.resource_types,
                  "Only nodes of these kinds (ls and build): model, seed, snapshot, test, exposure")
      ->check(CLI::IsMember({"model", "seed", "snapshot", "test", "exposure"}))
      ->expected(1, -1);
}

// "a b", "c" -> "a", "b", "c": selection words may come quoted together.
std::vector<std::string> words(const std::vector<std::string>& values) {
  std::vector<std::string> out;
  for (const auto& value : values) {
    std::string word;
    for (char c : value) {
      if (c == ' ' || c == '\t') {
        if (!word.empty()) out.push_back(word);
        word.clear();
      } else {
        word += c;
      }
    }
    if (!word.empty()) out.push_back(word);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"brek: SQL transformations across database engines"};
  app.require_subcommand(0, 1);
  bool version = false;
  app.add_flag("--version", version, "Print the version and exit");

  CommonFlags flags;
  bool dry_run = false;
  struct Command {
    const char* name;
    const char* help;
    int (*run)(const brek::app::Options&);
  };
  const Command commands[] = {
      {"parse", "Read the project and write target/manifest.json", brek::app::cmd_parse},
      {"compile", "Also render each model's SQL into target/compiled", brek::app::cmd_compile},
      {"run", "Build the selected models on their targets", brek::app::cmd_run},
      {"seed", "Load the selected seeds' CSV files into tables on their targets",
       brek::app::cmd_seed},
      {"test", "Run the data tests of the selected models and seeds where those live",
       brek::app::cmd_test},
      {"snapshot", "Record the changes of the selected snapshots' rows in their history tables",
       brek::app::cmd_snapshot},
      {"build",
       "Seeds, models, snapshots and data tests in graph order; a failing test skips "
       "what reads the node it tests",
       brek::app::cmd_build},
      {"ls", "List the selected models with their target and execution path", brek::app::cmd_ls},
      {"retract", "Drop the selected models from their targets", brek::app::cmd_retract},
      {"sync", "Install the DuckDB extensions the profile's adapters need", brek::app::cmd_sync},
      {"debug", "Show the profile and whether each output connects", brek::app::cmd_debug},
  };
  std::vector<std::pair<CLI::App*, const Command*>> parsed;
  for (const auto& command : commands) {
    CLI::App* sub = app.add_subcommand(command.name, command.help);
    add_common(*sub, flags);
    if (std::string(command.name) == "sync") {
      sub->add_flag("--dry-run", dry_run, "Show the extensions without installing them");
    }
    parsed.emplace_back(sub, &command);
  }
  // `brek docs generate` and `brek docs serve`.
  CLI::App* docs = app.add_subcommand("docs", "Write or serve the project's documentation page");
  docs->require_subcommand(1);
  int port = 8080;
  const Command docs_commands[] = {
      {"generate", "Write target/index.html: lineage graph, model pages, search",
       brek::app::cmd_docs_generate},
      {"serve", "Serve target/index.html on 127.0.0.1", brek::app::cmd_docs_serve},
  };
  for (const auto& command : docs_commands) {
    CLI::App* sub = docs->add_subcommand(command.name, command.help);
    add_common(*sub, flags);
    if (std::string(command.name) == "serve") {
      sub->add_option("--port", port, "Port to listen on (default 8080)")
          ->check(CLI::Range(0, 65535));
    }
    parsed.emplace_back(sub, &command);
  }
  app.footer(
      "Exit status: 0 success, 1 a model failed, 2 a usage or project error, 130 interrupted.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : brek::app::kExitUsage;
  }
  if (version) {
    std::cout << "brek " << kVersion << "\n";
    return 0;
  }
  for (const auto& [sub, command] : parsed) {
    if (!sub->parsed()) continue;
    brek::app::Options options;
    options.args.PROJECT_DIR = flags.project_dir;
    options.args.PROFILES_DIR = flags.profiles_dir;
    if (!flags.profile.empty()) options.args.profile = flags.profile;
    if (!flags.target.empty()) options.args.target = flags.target;
    options.args.select = words(flags.select);
    options.args.exclude = words(flags.exclude);
    options.args.threads = flags.threads;
    options.args.full_refresh = flags.full_refresh;
    options.dry_run = dry_run;
    options.log_level = !flags.log_level.empty() ? flags.log_level : flags.verbose ? "info" : "";
    options.quiet = flags.quiet;
    options.verbose = flags.verbose;
    options.resource_types = flags.resource_types;
    options.port = port;
    try {
      options.args.vars = brek::app::parse_vars(flags.vars);
    } catch (const std::exception& e) {
      std::cerr << "Error: " << e.what() << "\n";
      return brek::app::kExitUsage;
    }
    return command->run(options);
  }
  std::cout << app.help();
  return 0;
}
