// The `brek` command line.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

namespace {
constexpr const char* kVersion = "0.1.0";
}

int main(int argc, char** argv) {
  CLI::App app{"brek: SQL transformations across database engines"};
  bool version = false;
  app.add_flag("--version", version, "Print the version and exit");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  if (version) {
    std::cout << "brek " << kVersion << "\n";
    return 0;
  }
  std::cout << app.help();
  return 0;
}
