#include "HandControl.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "HandFigures.h"

namespace Orvex::Emulator {

namespace {

using HandFigures::HandError;

// A value of a flat JSON object: a number, true/false/null, or an array of numbers.
struct Value {
  enum Kind { number, boolean, null, numbers } kind;
  double scalar = 0;
  std::vector<double> list;
};

// Reads the one flat object a request is; throws HandError saying where it is not one.
class FlatObject {
 public:
  explicit FlatObject(const std::string& text) : text(text) {}

  std::map<std::string, Value> read() {
    std::map<std::string, Value> fields;
    expect('{');
    if (peek() == '}') return finish(fields);
    for (;;) {
      const std::string key = string();
      expect(':');
      if (fields.count(key)) throw HandError("field '" + key + "' given twice");
      fields[key] = value(key);
      if (peek() == '}') return finish(fields);
      expect(',');
    }
  }

 private:
  std::map<std::string, Value> finish(std::map<std::string, Value>& fields) {
    ++at;
    if (peek() != '\0') throw HandError("one JSON object a line, and nothing after it");
    return fields;
  }

  char peek() {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    return at < text.size() ? text[at] : '\0';
  }

  void expect(char c) {
    if (peek() != c)
      throw HandError(std::string("not a flat JSON object: '") + c + "' expected at character " +
                      std::to_string(at + 1));
    ++at;
  }

  std::string string() {
    expect('"');
    const std::size_t end = text.find('"', at);
    if (end == std::string::npos) throw HandError("not a flat JSON object: a name is not closed");
    std::string s = text.substr(at, end - at);
    at = end + 1;
    return s;
  }

  double scalar(const std::string& key) {
    peek();
    const char* from = text.c_str() + at;
    char* end = nullptr;
    const double v = std::strtod(from, &end);
    if (end == from) throw HandError("field '" + key + "' holds no number or value we know");
    at += static_cast<std::size_t>(end - from);
    return v;
  }

  Value value(const std::string& key) {
    for (const auto& [word, kind, truth] : {std::tuple{"true", Value::boolean, 1.0},
                                           std::tuple{"false", Value::boolean, 0.0},
                                           std::tuple{"null", Value::null, 0.0}}) {
      if (peek() && text.compare(at, std::char_traits<char>::length(word), word) == 0) {
        at += std::char_traits<char>::length(word);
        return {kind, truth, {}};
      }
    }
    if (peek() != '[') return {Value::number, scalar(key), {}};
    ++at;
    Value list{Value::numbers, 0, {}};
    if (peek() == ']') {
      ++at;
      return list;
    }
    for (;;) {
      list.list.push_back(scalar(key));
      if (peek() == ']') break;
      expect(',');
    }
    ++at;
    return list;
  }

  const std::string& text;
  std::size_t at = 0;
};

using Names = std::array<const char*, 3>;
constexpr Names target_names{"x", "y", "z"};
constexpr Names push_names{"fx", "fy", "fz"};

Vector3 vector_of(const std::string& key, const Value& value, const Names& names) {
  if (value.kind != Value::numbers || value.list.size() != 3)
    throw HandError("field '" + key + "' wants three numbers [" + names[0] + ", " + names[1] +
                    ", " + names[2] + "]");
  Vector3 v{};
  try {
    for (std::size_t i = 0; i < 3; ++i) v[i] = HandFigures::checked(names[i], value.list[i]);
  } catch (const HandError& e) {
    throw HandError("field '" + key + "': " + e.what());
  }
  return v;
}

double number_of(const std::string& key, const Value& value) {
  if (value.kind != Value::number) throw HandError("field '" + key + "' wants a number");
  return HandFigures::checked(key, value.scalar);
}

bool flag_of(const std::string& key, const Value& value) {
  if (value.kind != Value::boolean) throw HandError("field '" + key + "' wants true or false");
  return value.scalar != 0;
}

std::string json_list(const Vector3& v) {
  char text[96];
  std::snprintf(text, sizeof text, "[%.9g, %.9g, %.9g]", v[0], v[1], v[2]);
  return text;
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) >= 0x20) out += c;
  }
  return out + "\"";
}

}  // namespace

std::string answer_control(const std::string& request, CorvaneModel& arm, double now_s) {
  try {
    const std::map<std::string, Value> fields = FlatObject(request).read();
    Grip grip = arm.hand();
    for (const auto& [key, value] : fields)
      if (key != "move_to" && key != "push" && key != "release" && key != "stiffness" &&
          key != "damping" && key != "truth")
        throw HandError("unknown field '" + key +
                        "' (the fields are move_to, push, release, stiffness, damping, truth)");
    if (const auto f = fields.find("move_to"); f != fields.end())
      grip.anchor = vector_of("move_to", f->second, target_names);
    if (const auto f = fields.find("push"); f != fields.end())
      grip.push = vector_of("push", f->second, push_names);
    if (const auto f = fields.find("release"); f != fields.end() && flag_of("release", f->second))
      grip = Grip{std::nullopt, {}, grip.stiffness, grip.damping};
    if (const auto f = fields.find("stiffness"); f != fields.end())
      grip.stiffness = number_of("stiffness", f->second);
    if (const auto f = fields.find("damping"); f != fields.end())
      grip.damping = number_of("damping", f->second);
    if (const auto f = fields.find("truth"); f != fields.end()) flag_of("truth", f->second);
    arm.hand() = grip;
  } catch (const HandError& e) {
    return "{\"error\": " + quoted(e.what()) + "}";
  }
  return truth_reply(arm, now_s);
}

std::string truth_reply(const CorvaneModel& arm, double now_s) {
  char time[32];
  std::snprintf(time, sizeof time, "%.6f", now_s);
  const DampedBody& body = arm.end_effector();
  return std::string("{\"time\": ") + time + ", \"position\": " + json_list(body.position()) +
         ", \"velocity\": " + json_list(body.velocity()) +
         ", \"hand_force\": " + json_list(arm.hand_force()) +
         ", \"force\": " + json_list(body.effort()) +
         ", \"holding\": " + (arm.hand().anchor ? "true" : "false") + "}";
}

}  // namespace Orvex::Emulator
