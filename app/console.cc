#include "app/console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace brek::app {
namespace {

constexpr size_t kLineWidth = 72;

// The SGR colour of a status word; empty for none.
const char* colour_of(const std::string& word) {
  if (word == "OK" || word == "PASS") return "32";
  if (word == "ERROR" || word == "FAIL") return "31";
  if (word == "SKIP" || word == "WARN") return "33";
  return "";
}

std::string head(const ModelLine& model, const std::string& word) {
  std::string text =
      "  " + std::to_string(model.index) + " of " + std::to_string(model.total) + " ";
  const char* colour = model.colour ? colour_of(word) : "";
  text += *colour ? std::string("\033[") + colour + "m" + word + "\033[0m" : word;
  text.append(word.size() < 6 ? 6 - word.size() : 0, ' ');
  text += " " + model.name + " (" + model.target + ", " + model.path + ") ";
  return text;
}

// The width `text` takes on screen: escape sequences take none.
size_t visible_width(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\033') {
      while (i < text.size() && text[i] != 'm') ++i;
      continue;
    }
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++width;
  }
  return width;
}

std::string dotted(std::string text, const std::string& status) {
  size_t width = visible_width(text);
  size_t dots = width + 1 < kLineWidth ? kLineWidth - width : 3;
  text.append(std::max<size_t>(dots, 3), '.');
  return text + " [" + status + "]";
}

std::string seconds_text(double seconds) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.2fs", seconds);
  return buffer;
}

}  // namespace

bool colour_wanted() {
  const char* no_colour = std::getenv("NO_COLOR");
  return ::isatty(STDOUT_FILENO) == 1 && (no_colour == nullptr || *no_colour == '\0');
}

std::string start_line(const ModelLine& model) { return dotted(head(model, "START"), "RUN"); }

std::string result_line(const ModelLine& model, RunStatus status, long long rows,
                        double seconds, bool incremental) {
  switch (status) {
    case RunStatus::Success: {
      std::string detail = rows >= 0 ? std::to_string(rows) + (rows == 1 ? " row" : " rows")
                                     : std::string("done");
      if (incremental) detail += ", incremental,";
      return dotted(head(model, "OK"), detail + " in " + seconds_text(seconds));
    }
    case RunStatus::Error:
      return dotted(head(model, "ERROR"), "ERROR in " + seconds_text(seconds));
    case RunStatus::Skipped:
      return dotted(head(model, "SKIP"), "SKIP");
    case RunStatus::Pass:
      return dotted(head(model, "PASS"), "PASS in " + seconds_text(seconds));
    case RunStatus::Fail:
    case RunStatus::Warn: {
      std::string word = status == RunStatus::Fail ? "FAIL" : "WARN";
      return dotted(head(model, word), word + " " + std::to_string(rows) + " in " +
                                           seconds_text(seconds));
    }
  }
  return head(model, "?");
}

Counts count_results(const std::vector<RunResult>& results) {
  Counts counts;
  for (const auto& result : results) {
    switch (result.status) {
      case RunStatus::Success:
      case RunStatus::Pass: ++counts.ok; break;
      case RunStatus::Error:
      case RunStatus::Fail: ++counts.error; break;
      case RunStatus::Skipped: ++counts.skipped; break;
      case RunStatus::Warn: ++counts.warned; break;
    }
  }
  return counts;
}

std::string summary_line(const Counts& counts, double seconds) {
  int total = counts.ok + counts.error + counts.skipped + counts.warned + counts.not_started;
  std::string text = "Done in " + seconds_text(seconds) + ": OK=" + std::to_string(counts.ok) +
                     " ERROR=" + std::to_string(counts.error) +
                     " SKIP=" + std::to_string(counts.skipped);
  if (counts.warned > 0) text += " WARN=" + std::to_string(counts.warned);
  if (counts.not_started > 0) text += " NOT_STARTED=" + std::to_string(counts.not_started);
  return text + " TOTAL=" + std::to_string(total);
}

long long rows_of(const RunResult& result) {
  const zyl::Value* rows = zyl::find(result.adapter_response, "rows_affected");
  if (rows == nullptr || !rows->is_number_integer()) return -1;
  return rows->get<long long>();
}

std::string columns(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - row[i].size() + 2, ' ');
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace brek::app
