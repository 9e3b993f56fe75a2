#include "soak_report.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace tarnwire_fundamentals {
namespace {

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// A JSON value, as much of JSON as a report uses.
struct Value {
  enum class Kind { Null, Bool, Number, String, Array, Object } kind = Kind::Null;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> members;

  const Value* Find(const std::string& key) const {
    auto it = members.find(key);
    return it == members.end() ? nullptr : &it->second;
  }
};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}
  bool Parse(Value* v, std::string* error) {
    if (!ParseValue(v) || (Skip(), pos_ != s_.size())) {
      *error = "malformed JSON at offset " + std::to_string(pos_);
      return false;
    }
    return true;
  }

 private:
  void Skip() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool Eat(char c) {
    Skip();
    if (pos_ < s_.size() && s_[pos_] == c) return ++pos_, true;
    return false;
  }
  bool Word(const char* w, size_t n) {
    if (s_.compare(pos_, n, w) != 0) return false;
    pos_ += n;
    return true;
  }
  bool ParseString(std::string* out) {
    if (!Eat('"')) return false;
    while (pos_ < s_.size() && s_[pos_] != '"') {
      char c = s_[pos_++];
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (pos_ >= s_.size()) return false;
      c = s_[pos_++];
      switch (c) {
        case 'n':
          *out += '\n';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u':
          if (pos_ + 4 > s_.size()) return false;
          *out += static_cast<char>(std::strtol(s_.substr(pos_, 4).c_str(), nullptr, 16));
          pos_ += 4;
          break;
        default:
          *out += c;
      }
    }
    return pos_ < s_.size() && s_[pos_++] == '"';
  }
  bool ParseValue(Value* v) {
    Skip();
    if (pos_ >= s_.size()) return false;
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      v->kind = Value::Kind::Object;
      if (Eat('}')) return true;
      do {
        std::string key;
        Skip();
        if (!ParseString(&key) || !Eat(':') || !ParseValue(&v->members[key])) return false;
      } while (Eat(','));
      return Eat('}');
    }
    if (c == '[') {
      ++pos_;
      v->kind = Value::Kind::Array;
      if (Eat(']')) return true;
      do {
        v->items.emplace_back();
        if (!ParseValue(&v->items.back())) return false;
      } while (Eat(','));
      return Eat(']');
    }
    if (c == '"') {
      v->kind = Value::Kind::String;
      return ParseString(&v->text);
    }
    if (Word("true", 4)) return v->kind = Value::Kind::Bool, v->boolean = true, true;
    if (Word("false", 5)) return v->kind = Value::Kind::Bool, true;
    if (Word("null", 4)) return true;
    char* end = nullptr;
    v->number = std::strtod(s_.c_str() + pos_, &end);
    if (end == s_.c_str() + pos_) return false;
    v->kind = Value::Kind::Number;
    pos_ = static_cast<size_t>(end - s_.c_str());
    return true;
  }

  const std::string& s_;
  size_t pos_ = 0;
};

// The counters by their names in the report, in the order they are written.
struct Field {
  const char* name;
  uint64_t Counters::*member;
};
constexpr Field kFields[] = {
    {"requests", &Counters::requests},
    {"bytes_moved", &Counters::bytesMoved},
    {"bytes_verified", &Counters::bytesVerified},
    {"bytes_lost", &Counters::bytesLost},
    {"pnp_cycles", &Counters::pnpCycles},
    {"power_cycles", &Counters::powerCycles},
    {"bug_checks", &Counters::bugChecks},
    {"leaks", &Counters::leaks},
    {"virtual_ns", &Counters::virtualNs},
};

std::string Bytes(uint64_t n) {
  char text[48];
  if (n >= 1000000000)
    std::snprintf(text, sizeof text, "%.2f GB", static_cast<double>(n) / 1e9);
  else
    std::snprintf(text, sizeof text, "%.2f MB", static_cast<double>(n) / 1e6);
  return text;
}

}  // namespace

void SoakReport::Add(const Result& result) {
  ++seeds;
  counters += result.counters;
  if (result.Passed()) {
    ++passed;
    return;
  }
  SoakFailure f;
  f.scenario = result.scenario;
  f.seed = result.settings.seed;
  f.multiprocessor = result.settings.multiprocessor;
  for (const std::string& reason : result.failures) f.reason += (f.reason.empty() ? "" : "; ") + reason;
  f.replay = ReplayCommand(result.scenario, result.settings);
  failures.push_back(f);
}

void SoakReport::Merge(const SoakReport& other) {
  shards.insert(shards.end(), other.shards.begin(), other.shards.end());
  seeds += other.seeds;
  passed += other.passed;
  wallSeconds += other.wallSeconds;
  if (other.longestShardSeconds > longestShardSeconds) longestShardSeconds = other.longestShardSeconds;
  counters += other.counters;
  failures.insert(failures.end(), other.failures.begin(), other.failures.end());
}

std::string ToJson(const SoakReport& r) {
  std::string out = "{\n  \"shards\": [";
  for (size_t i = 0; i < r.shards.size(); ++i) out += (i ? ", " : "") + Quote(r.shards[i]);
  out +=
      "],\n  \"seeds\": " + std::to_string(r.seeds) + ",\n  \"passed\": " + std::to_string(r.passed) + ",\n";
  char wall[96];
  std::snprintf(wall, sizeof wall, "  \"wall_seconds\": %.3f,\n  \"longest_shard_seconds\": %.3f,\n",
                r.wallSeconds, r.longestShardSeconds);
  out += wall;
  for (const Field& f : kFields)
    out += "  \"" + std::string(f.name) + "\": " + std::to_string(r.counters.*f.member) + ",\n";
  out += "  \"failures\": [";
  for (size_t i = 0; i < r.failures.size(); ++i) {
    const SoakFailure& f = r.failures[i];
    out += std::string(i ? "," : "") + "\n    {\"scenario\": " + Quote(f.scenario) +
           ", \"seed\": " + std::to_string(f.seed) + ", \"mp\": " + (f.multiprocessor ? "true" : "false") +
           ", \"reason\": " + Quote(f.reason) + ", \"replay\": " + Quote(f.replay) + "}";
  }
  out += r.failures.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool FromJson(const std::string& text, SoakReport* r, std::string* error) {
  Value root;
  if (!Parser(text).Parse(&root, error)) return false;
  auto number = [&](const char* key, double* out) {
    const Value* v = root.Find(key);
    if (v == nullptr || v->kind != Value::Kind::Number) {
      *error = std::string("\"") + key + "\" is missing or not a number";
      return false;
    }
    *out = v->number;
    return true;
  };
  if (root.kind != Value::Kind::Object) {
    *error = "not a JSON object";
    return false;
  }
  *r = SoakReport{};
  double value = 0;
  if (!number("seeds", &value)) return false;
  r->seeds = static_cast<uint64_t>(value);
  if (!number("passed", &value)) return false;
  r->passed = static_cast<uint64_t>(value);
  if (!number("wall_seconds", &r->wallSeconds) || !number("longest_shard_seconds", &r->longestShardSeconds))
    return false;
  for (const Field& f : kFields) {
    if (!number(f.name, &value)) return false;
    r->counters.*f.member = static_cast<uint64_t>(value);
  }
  if (const Value* shards = root.Find("shards"); shards != nullptr && shards->kind == Value::Kind::Array)
    for (const Value& s : shards->items) r->shards.push_back(s.text);
  const Value* failures = root.Find("failures");
  if (failures == nullptr || failures->kind != Value::Kind::Array) {
    *error = "\"failures\" is missing or not a list";
    return false;
  }
  for (const Value& v : failures->items) {
    SoakFailure f;
    if (const Value* x = v.Find("scenario")) f.scenario = x->text;
    if (const Value* x = v.Find("seed")) f.seed = static_cast<uint64_t>(x->number);
    if (const Value* x = v.Find("mp")) f.multiprocessor = x->boolean;
    if (const Value* x = v.Find("reason")) f.reason = x->text;
    if (const Value* x = v.Find("replay")) f.replay = x->text;
    r->failures.push_back(f);
  }
  if (r->passed + r->failures.size() != r->seeds) {
    *error = "the runs do not add up: " + std::to_string(r->passed) + " passed and " +
             std::to_string(r->failures.size()) + " failed of " + std::to_string(r->seeds);
    return false;
  }
  return true;
}

std::string FormatReport(const SoakReport& r) {
  const Counters& c = r.counters;
  const double hours = static_cast<double>(c.virtualNs) / 3.6e12;
  char line[256];
  std::string out;
  std::string shards;
  for (const std::string& s : r.shards) shards += (shards.empty() ? "" : " ") + s;
  out += "Shards          " + (shards.empty() ? std::string("-") : shards) + "\n";
  std::snprintf(line, sizeof line, "Seeds           %llu runs, %llu passed, %zu failed\n",
                static_cast<unsigned long long>(r.seeds), static_cast<unsigned long long>(r.passed),
                r.failures.size());
  out += line;
  std::snprintf(line, sizeof line, "Virtual time    %.2f hours\n", hours);
  out += line;
  std::snprintf(line, sizeof line, "Wall time       %.1f s over all shards, %.1f s the longest shard\n",
                r.wallSeconds, r.longestShardSeconds);
  out += line;
  std::snprintf(line, sizeof line, "Requests        %llu\n", static_cast<unsigned long long>(c.requests));
  out += line;
  out += "Bytes moved     " + Bytes(c.bytesMoved) + " written, " + Bytes(c.bytesVerified) +
         " read back and verified\n";
  std::snprintf(line, sizeof line,
                "Plug and Play   %llu operations\nPower           %llu sleep and resume cycles\n",
                static_cast<unsigned long long>(c.pnpCycles), static_cast<unsigned long long>(c.powerCycles));
  out += line;
  std::snprintf(line, sizeof line,
                "Bug checks      %llu\nLeaks           %llu pool blocks\nBytes lost      %llu\n",
                static_cast<unsigned long long>(c.bugChecks), static_cast<unsigned long long>(c.leaks),
                static_cast<unsigned long long>(c.bytesLost));
  out += line;
  if (r.failures.empty()) {
    out += "Result          every run passed\n";
    return out;
  }
  out += "Result          " + std::to_string(r.failures.size()) + " runs failed:\n";
  for (const SoakFailure& f : r.failures) {
    out += "  - " + f.scenario + " seed " + std::to_string(f.seed) + (f.multiprocessor ? " mp" : " up") +
           ": " + f.reason + "\n    replay: " + f.replay + "\n";
  }
  return out;
}

}  // namespace tarnwire_fundamentals
