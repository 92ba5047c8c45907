#include "app/scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/globals.h"
#include "body/body_check.h"

namespace {

// The header is free text ending with '~'; only this much of it is searched.
constexpr std::size_t kHeaderSearchLimit = 1024;

struct SceneError {
  std::string what;
};

// Reads the fields of body records from the file's text. Every number and flag
// must end at whitespace, at the ';' terminator or at the end of the input, so
// that "1.5abc" is an error rather than two fields.
class FieldReader {
 public:
  FieldReader(const std::string& text, std::size_t start) : text_(text), at_(start) {}

  bool AtTerminator() const { return at_ < text_.size() && text_[at_] == ';'; }

  void SkipSpace() {
    while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_])))
      ++at_;
  }

  // Called where a record should begin.
  void ExpectRecordStart() {
    if (at_ >= text_.size())
      throw SceneError{"input ends before the ';' terminator"};
    SkipSpace();
    if (at_ >= text_.size())
      throw SceneError{"input ends before the ';' terminator"};
    if (text_[at_] == ';')
      throw SceneError{
          "the ';' terminator must follow the last field directly, without whitespace"};
  }

  // A name is any run of non-whitespace: a ';' inside it is part of it.
  std::string Word(const char* field) {
    SkipSpace();
    if (at_ >= text_.size())
      throw SceneError{std::string(field) + ": missing"};
    std::size_t begin = at_;
    while (at_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[at_])))
      ++at_;
    return text_.substr(begin, at_ - begin);
  }

  double Number(const char* field) {
    std::string tok = Token(field);
    if (!IsDecimal(tok))
      throw SceneError{std::string(field) + ": \"" + tok + "\" is not a number"};
    double value = std::strtod(tok.c_str(), nullptr);
    if (!std::isfinite(value))
      throw SceneError{std::string(field) + ": " + tok + " is not a finite number"};
    return value;
  }

  int Flag(const char* field) {
    std::string tok = Token(field);
    if (tok != "0" && tok != "1")
      throw SceneError{std::string(field) + ": \"" + tok + "\" must be 0 or 1"};
    return tok == "1" ? 1 : 0;
  }

 private:
  std::string Token(const char* field) {
    SkipSpace();
    if (at_ >= text_.size() || text_[at_] == ';')
      throw SceneError{std::string(field) + ": missing"};
    std::size_t begin = at_;
    while (at_ < text_.size() && text_[at_] != ';' &&
           !std::isspace(static_cast<unsigned char>(text_[at_])))
      ++at_;
    return text_.substr(begin, at_ - begin);
  }

  // Plain decimal or exponent notation: [+-]digits[.digits][e[+-]digits].
  static bool IsDecimal(const std::string& s) {
    std::size_t i = 0, n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-'))
      ++i;
    std::size_t digits = 0;
    while (i < n && std::isdigit(static_cast<unsigned char>(s[i])))
      ++i, ++digits;
    if (i < n && s[i] == '.') {
      ++i;
      while (i < n && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++digits;
    }
    if (digits == 0)
      return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
      ++i;
      if (i < n && (s[i] == '+' || s[i] == '-'))
        ++i;
      std::size_t exp_digits = 0;
      while (i < n && std::isdigit(static_cast<unsigned char>(s[i])))
        ++i, ++exp_digits;
      if (exp_digits == 0)
        return false;
    }
    return i == n;
  }

  const std::string& text_;
  std::size_t at_;
};

std::unique_ptr<RBody> ReadRecord(FieldReader& in) {
  double density = in.Number("density");
  double size[3];
  const char* size_names[3] = {"width", "height", "depth"};
  for (int i = 0; i < 3; ++i) {
    size[i] = in.Number(size_names[i]);
    if (!BodyCheck::UsableSize(size[i]))
      throw SceneError{std::string(size_names[i]) + ": must be above 0"};
  }
  std::string name = in.Word("name");
  auto body = std::make_unique<RBody>(density, size[0], size[1], size[2], name);
  body->is_static = in.Flag("is_static") == 1;
  double p[3];
  p[0] = in.Number("position x");
  p[1] = in.Number("position y");
  p[2] = in.Number("position z");
  body->pos = Vector3(p[0], p[1], p[2]);
  if (!body->is_static) {
    double v[3];
    v[0] = in.Number("velocity x");
    v[1] = in.Number("velocity y");
    v[2] = in.Number("velocity z");
    body->vel = Vector3(v[0], v[1], v[2]);
  }
  double q[4];
  q[0] = in.Number("orientation s");
  q[1] = in.Number("orientation x");
  q[2] = in.Number("orientation y");
  q[3] = in.Number("orientation z");
  Quaternion orientation = Quaternion(q[0], q[1], q[2], q[3]).Normalize();
  if (!BodyCheck::UsableOrientation(orientation))
    throw SceneError{"orientation: length 0 cannot be normalised"};
  body->SetAngPos(orientation);
  if (!body->is_static) {
    double w[3];
    w[0] = in.Number("angular velocity x");
    w[1] = in.Number("angular velocity y");
    w[2] = in.Number("angular velocity z");
    body->ang_vel = Vector3(w[0], w[1], w[2]);
  }
  return body;
}

}  // namespace

int PrepareScene(const char* filename) {
  std::FILE* file = std::fopen(filename, "rb");
  if (file == nullptr) {
    std::printf("Scene file not found!\n");
    return -1;
  }
  // A folder opens but cannot be read; so does a file on a failing disk.
  std::string text;
  char chunk[4096];
  std::size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
    text.append(chunk, got);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    std::printf("Scene file %s cannot be read.\n", filename);
    return -1;
  }

  std::size_t tilde = text.find('~');
  std::size_t start = (tilde != std::string::npos && tilde < kHeaderSearchLimit)
                          ? tilde + 1
                          : std::min(text.size(), kHeaderSearchLimit);

  // Read everything before touching the application state, so a bad record
  // leaves the scene as it was.
  std::vector<std::unique_ptr<RBody>> loaded;
  FieldReader in(text, start);
  try {
    while (!in.AtTerminator()) {
      in.ExpectRecordStart();
      loaded.push_back(ReadRecord(in));
    }
  } catch (const SceneError& e) {
    std::printf("Scene file %s, body %zu: %s\n", filename, loaded.size() + 1, e.what.c_str());
    return -1;
  }

  int last_id = static_cast<int>(global::bodies.size());
  for (auto& body : loaded) {
    // A body's id is its index in the body list, static ones included.
    body->id = last_id++;
    global::bodies.push_back(body.release());
  }
  global::old_state.clear();
  for (RBody* b : global::bodies)
    global::old_state.push_back(b->State());
  return 0;
}
