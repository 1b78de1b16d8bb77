// Source connection scan and model resolution at project scale.
//
// Builds a project of 5,000 YAML files (half source definitions, half model properties, in
// nested folders) and a manifest of 50,000 models, then times `load_tether` and
// `resolve_all_models` against a floor: merely walking and reading the same files, and merely
// visiting every node and looking up each of its dependencies in the manifest. Prints the best
// of several runs (thread CPU time, with its wall time), the time per file / per model, and the
// ratio to the floor.
//
//   resolve_bench [files] [models] [runs]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "brek/nodes.h"
#include "zyl/config/compass.h"
#include "zyl/config/tether.h"

namespace {

namespace fs = std::filesystem;
using zyl::config::compass::resolve_all_models;
using zyl::config::tether::load_tether;
using zyl::config::tether::SourceConnectionMap;

volatile size_t g_sink = 0;  // keeps the floors from being optimised away

// Best of `runs` runs of `body`, in CPU time of the calling thread (milliseconds), so that
// other load on the machine does not inflate the figures; the wall time of that run is kept too.
struct Timing {
  double cpu_ms = 1e300;
  double wall_ms = 0;
};

double thread_cpu_ms() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

Timing best_of(int runs, const std::function<void()>& body) {
  Timing best;
  for (int i = 0; i < runs; ++i) {
    auto wall_start = std::chrono::steady_clock::now();
    double cpu_start = thread_cpu_ms();
    body();
    double cpu = thread_cpu_ms() - cpu_start;
    std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - wall_start;
    if (cpu < best.cpu_ms) best = {cpu, wall.count()};
  }
  return best;
}

void report(const char* label, const Timing& t, int count, const char* unit) {
  std::printf("  %-20s %9.2f ms cpu (%9.2f ms wall)  %8.3f us/%s\n", label, t.cpu_ms, t.wall_ms,
              t.cpu_ms * 1000 / count, unit);
}

std::string source_file(int index) {
  std::string out = "version: 2\n\nsources:\n";
  for (int s = 0; s < 2; ++s) {
    std::string name = "src_" + std::to_string(index) + "_" + std::to_string(s);
    out += "  - name: " + name + "\n";
    out += "    description: \"Raw tables loaded nightly from the " + name + " system\"\n";
    out += "    database: raw\n    schema: " + name + "\n";
    switch ((index + s) % 4) {
      case 0: out += "    connection: pg_" + std::to_string(index % 13) + "\n"; break;
      case 1: out += "    meta:\n      owner: data-team\n      connection: mysql_erp\n"; break;
      case 2: out += "    config:\n      enabled: true\n      connection: sf_" + std::to_string(index % 5) + "\n"; break;
      default: out += "    loader: fivetran\n"; break;  // no connection: follows the target
    }
    out += "    tables:\n";
    for (int t = 0; t < 3; ++t) {
      out += "      - name: table_" + std::to_string(t) + "\n";
      out += "        description: \"One row per event of kind " + std::to_string(t) + "\"\n";
      out += "        columns:\n          - name: id\n            tests: [unique, not_null]\n";
      out += "          - name: created_at\n";
    }
  }
  return out;
}

std::string model_file(int index) {
  std::string out = "version: 2\n\nmodels:\n";
  for (int m = 0; m < 2; ++m) {
    out += "  - name: model_" + std::to_string(index) + "_" + std::to_string(m) + "\n";
    out += "    description: \"Cleaned and typed rows, one per business key\"\n";
    out += "    config:\n      materialized: table\n      tags: [daily, core]\n";
    out += "    columns:\n";
    for (int c = 0; c < 4; ++c) {
      out += "      - name: column_" + std::to_string(c) + "\n";
      out += "        description: \"Column " + std::to_string(c) + "\"\n";
    }
  }
  return out;
}

// 5,000 files in 10 x 10 nested folders, plus a few non-YAML files the scan must pass over.
std::vector<fs::path> build_project(const fs::path& root, int files) {
  std::vector<fs::path> written;
  fs::create_directories(root);
  std::ofstream(root / "brek_project.yml") << "name: bench\nmodel-paths: [models]\n";
  for (int i = 0; i < files; ++i) {
    fs::path dir = root / "models" / ("area_" + std::to_string(i % 10)) /
                   ("domain_" + std::to_string((i / 10) % 10));
    fs::create_directories(dir);
    bool is_source = i % 2 == 0;
    fs::path file = dir / ((is_source ? "sources_" : "schema_") + std::to_string(i) +
                           (i % 3 == 0 ? ".yaml" : ".yml"));
    std::ofstream(file) << (is_source ? source_file(i) : model_file(i));
    written.push_back(file);
    if (i % 50 == 0) std::ofstream(dir / ("model_" + std::to_string(i) + ".sql")) << "select 1\n";
  }
  return written;
}

// Walks the model paths and reads every YAML file into memory: the cost of the input alone.
size_t read_floor(const fs::path& root) {
  size_t bytes = 0;
  std::string buffer;
  for (const auto& entry : fs::recursive_directory_iterator(root / "models")) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || !(name.ends_with(".yml") || name.ends_with(".yaml"))) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    buffer.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    bytes += buffer.size();
  }
  return bytes;
}

// 50,000 models, each reading two sources and up to two upstream models; targets spread over
// the default, a config target and an `_extra` target; a few non-model nodes mixed in.
// Source names are those of the generated source files, so most have a connection.
brek::Manifest build_manifest(int models, int sources, int files) {
  brek::Manifest manifest;
  int source_files = std::max(1, files / 2);
  for (int s = 0; s < sources; ++s) {
    auto node = std::make_shared<brek::SourceNode>();
    int group = s / 3;
    node->source_name = "src_" + std::to_string((group % source_files) * 2) + "_" +
                        std::to_string(group % 2);
    node->name = "table_" + std::to_string(s % 3);
    node->unique_id = "source.bench." + node->source_name + "." + node->name;
    node->schema = node->source_name;
    manifest.sources.set(node->unique_id, node);
  }
  std::mt19937 rng(42);
  for (int m = 0; m < models; ++m) {
    auto node = std::make_shared<brek::Node>();
    node->name = "model_" + std::to_string(m);
    node->unique_id = "model.bench." + node->name;
    node->resource_type = m % 100 == 99 ? "test" : "model";
    brek::DependsOn deps;
    for (int k = 0; k < 2; ++k) {
      deps.nodes.push_back(manifest.sources.begin()[rng() % manifest.sources.size()].first);
    }
    for (int k = 0; k < 2 && m > 0; ++k) {
      deps.nodes.push_back("model.bench.model_" + std::to_string(rng() % m));
    }
    if (m % 7 == 0) deps.nodes.push_back("seed.bench.countries");
    node->depends_on = std::move(deps);
    if (m % 5 == 0) node->config.target = "warehouse";
    if (m % 11 == 0) node->config._extra["target"] = "lake";
    manifest.nodes.set(node->unique_id, node);
  }
  return manifest;
}

// Visits every node and looks up each dependency: the cost of reading the manifest alone.
size_t manifest_floor(const brek::Manifest& manifest) {
  size_t found = 0;
  for (const auto& [uid, node] : manifest.nodes) {
    if (!node->depends_on) continue;
    for (const std::string& dep : node->depends_on->nodes) {
      if (manifest.find_source(dep) != nullptr || manifest.find_node(dep) != nullptr) ++found;
    }
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? std::atoi(argv[1]) : 5000;
  int models = argc > 2 ? std::atoi(argv[2]) : 50000;
  int runs = argc > 3 ? std::atoi(argv[3]) : 5;

  fs::path root = fs::temp_directory_path() / ("zyl_resolve_bench_" + std::to_string(::getpid()));
  build_project(root, files);

  SourceConnectionMap tether;
  Timing scan_floor = best_of(runs, [&] { g_sink = g_sink + read_floor(root); });
  Timing scan = best_of(runs, [&] { tether = load_tether(root); });
  std::printf("load_tether: %d files, %zu source connections\n", files, tether.size());
  report("load_tether", scan, files, "file");
  report("floor (walk+read)", scan_floor, files, "file");
  std::printf("  ratio                %9.1fx\n", scan.cpu_ms / scan_floor.cpu_ms);

  brek::Manifest manifest = build_manifest(models, models / 5, files);
  size_t resolved = 0;
  Timing resolve_floor = best_of(runs, [&] { g_sink = g_sink + manifest_floor(manifest); });
  Timing resolve = best_of(runs, [&] {
    resolved = resolve_all_models(manifest, "dev", tether, std::nullopt).size();
  });
  std::printf("resolve_all_models: %d nodes, %zu models resolved\n", models, resolved);
  report("resolve_all_models", resolve, models, "model");
  report("floor (lookups)", resolve_floor, models, "model");
  std::printf("  ratio                %9.1fx\n", resolve.cpu_ms / resolve_floor.cpu_ms);

  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
