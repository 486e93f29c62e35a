// A strict reader of Prometheus' text exposition format (0.0.4) for tests:
// it reads back what PrometheusText wrote as a scraper would, and refuses
// what a scraper refuses: a sample before its family's TYPE, a TYPE given
// twice or after the family's samples, a bad metric or label name, a bad
// escape, a value that is no number, the same series twice, a summary's
// samples other than quantiles, _sum and _count, a missing final line end.
#ifndef QUENSARIA_CONFIGURATOR_RULES_PROMETHEUS_PARSER_FOR_TESTING_H_
#define QUENSARIA_CONFIGURATOR_RULES_PROMETHEUS_PARSER_FOR_TESTING_H_

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quensaria::testing {

struct PromSample {
  std::string name;
  std::map<std::string, std::string> labels;  // unescaped
  double value = 0;
};

struct PromFamily {
  std::string type;
  std::string help;
};

struct PromText {
  std::map<std::string, PromFamily> families;
  std::vector<PromSample> samples;
  std::string error;  // empty when the text was read whole

  // The value of the one sample of `name` whose labels include `match`.
  std::optional<double> Value(const std::string& name,
                              const std::map<std::string, std::string>& match) const {
    std::optional<double> found;
    for (const PromSample& s : samples) {
      if (s.name != name) continue;
      bool all = true;
      for (const auto& [key, value] : match) {
        auto it = s.labels.find(key);
        all = all && it != s.labels.end() && it->second == value;
      }
      if (!all) continue;
      if (found) return std::nullopt;  // not one
      found = s.value;
    }
    return found;
  }
};

namespace prom_detail {

inline bool NameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
inline bool NameChar(char c) { return NameStart(c) || std::isdigit(static_cast<unsigned char>(c)); }

inline bool ValidName(const std::string& name, bool metric) {
  if (name.empty() || !(NameStart(name[0]) || (metric && name[0] == ':'))) return false;
  for (char c : name) {
    if (!NameChar(c) && !(metric && c == ':')) return false;
  }
  return true;
}

// The family a sample belongs to: a summary's _sum and _count are its own.
inline std::string FamilyOf(const std::string& name,
                            const std::map<std::string, PromFamily>& families) {
  for (const char* suffix : {"_sum", "_count"}) {
    const std::string s = suffix;
    if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
      const std::string base = name.substr(0, name.size() - s.size());
      auto it = families.find(base);
      if (it != families.end() && (it->second.type == "summary" || it->second.type == "histogram"))
        return base;
    }
  }
  return name;
}

}  // namespace prom_detail

inline PromText ParsePrometheusText(const std::string& text) {
  using namespace prom_detail;
  PromText out;
  std::set<std::string> with_samples, series;
  if (!text.empty() && text.back() != '\n') {
    out.error = "no line end after the last line";
    return out;
  }
  size_t at = 0;
  int number = 0;
  while (at < text.size()) {
    const size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    ++number;
    const auto fail = [&](const std::string& why) {
      out.error = "line " + std::to_string(number) + ": " + why + ": " + line;
      return out;
    };
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (line.rfind("# HELP ", 0) != 0 && line.rfind("# TYPE ", 0) != 0) continue;  // a comment
      const bool type = line[2] == 'T';
      const size_t space = line.find(' ', 7);
      const std::string name = line.substr(7, space == std::string::npos ? space : space - 7);
      const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
      if (!ValidName(name, true)) return fail("bad metric name");
      PromFamily& family = out.families[name];
      if (type) {
        static const std::set<std::string> kTypes = {"counter", "gauge", "summary", "histogram",
                                                     "untyped"};
        if (!family.type.empty()) return fail("second TYPE");
        if (with_samples.count(name)) return fail("TYPE after samples");
        if (!kTypes.count(rest)) return fail("unknown type");
        family.type = rest;
      } else {
        if (!family.help.empty()) return fail("second HELP");
        family.help = rest;
      }
      continue;
    }
    PromSample sample;
    size_t i = 0;
    while (i < line.size() && line[i] != '{' && line[i] != ' ') ++i;
    sample.name = line.substr(0, i);
    if (!ValidName(sample.name, true)) return fail("bad metric name");
    if (i < line.size() && line[i] == '{') {
      ++i;
      while (i < line.size() && line[i] != '}') {
        size_t eq = line.find('=', i);
        if (eq == std::string::npos) return fail("label without =");
        const std::string key = line.substr(i, eq - i);
        if (!ValidName(key, false) || key.rfind("__", 0) == 0) return fail("bad label name");
        if (eq + 1 >= line.size() || line[eq + 1] != '"') return fail("label value not quoted");
        std::string value;
        size_t j = eq + 2;
        for (; j < line.size() && line[j] != '"'; ++j) {
          if (line[j] != '\\') {
            value += line[j];
            continue;
          }
          if (++j >= line.size()) return fail("escape at the end");
          if (line[j] == 'n') {
            value += '\n';
          } else if (line[j] == '\\' || line[j] == '"') {
            value += line[j];
          } else {
            return fail("bad escape");
          }
        }
        if (j >= line.size()) return fail("unterminated label value");
        if (!sample.labels.emplace(key, value).second) return fail("label given twice");
        i = j + 1;
        if (i < line.size() && line[i] == ',') ++i;
      }
      if (i >= line.size()) return fail("unterminated labels");
      ++i;
    }
    if (i >= line.size() || line[i] != ' ') return fail("no value");
    std::string value = line.substr(i + 1);
    if (const size_t space = value.find(' '); space != std::string::npos) {
      value = value.substr(0, space);  // a timestamp follows
    }
    if (value == "NaN") {
      sample.value = std::nan("");
    } else if (value == "+Inf" || value == "-Inf") {
      sample.value = value[0] == '+' ? HUGE_VAL : -HUGE_VAL;
    } else {
      char* stop = nullptr;
      sample.value = std::strtod(value.c_str(), &stop);
      if (value.empty() || *stop != '\0') return fail("value is no number");
    }
    const std::string family = FamilyOf(sample.name, out.families);
    auto it = out.families.find(family);
    if (it == out.families.end() || it->second.type.empty()) return fail("sample before its TYPE");
    if (it->second.type == "summary" && sample.name == family && !sample.labels.count("quantile"))
      return fail("summary sample without quantile");
    std::string key = sample.name;
    for (const auto& [k, v] : sample.labels) key += "\x01" + k + "=" + v;
    if (!series.insert(key).second) return fail("series given twice");
    with_samples.insert(family);
    out.samples.push_back(std::move(sample));
  }
  return out;
}

}  // namespace quensaria::testing

#endif  // QUENSARIA_CONFIGURATOR_RULES_PROMETHEUS_PARSER_FOR_TESTING_H_
