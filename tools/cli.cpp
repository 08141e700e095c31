#include "tools/cli.h"

#include <algorithm>
#include <filesystem>

#include "tools/json.h"

namespace tools {

std::string Args::Value(const std::string& option, const std::string& fallback) const {
  const auto found = m_Values.find(option);
  return found == m_Values.end() || found->second.empty() ? fallback : found->second.back();
}

std::vector<std::string> Args::Values(const std::string& option) const {
  const auto found = m_Values.find(option);
  return found == m_Values.end() ? std::vector<std::string>{} : found->second;
}

bool ParseArgs(const std::vector<std::string>& tokens, const std::vector<OptionSpec>& specs, Args* args,
               std::string* error) {
  *args = {};
  bool optionsEnded = false;
  for (size_t i = 0; i < tokens.size(); ++i) {
    const std::string& token = tokens[i];
    if (optionsEnded || token.size() < 2 || token.compare(0, 2, "--") != 0) {
      args->m_Positionals.push_back(token);
      continue;
    }
    if (token == "--") {
      optionsEnded = true;
      continue;
    }
    const size_t equals = token.find('=');
    const std::string name = token.substr(0, equals);
    const auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return s.name == name; });
    if (spec == specs.end()) {
      std::string known;
      for (const OptionSpec& s : specs) known += (known.empty() ? "" : ", ") + s.name;
      *error = "unknown option " + name + (known.empty() ? " (this command takes none)" : " (accepted: " + known + ")");
      return false;
    }
    std::string value;
    if (spec->value.empty()) {
      if (equals != std::string::npos) {
        *error = name + " takes no value";
        return false;
      }
    } else if (equals != std::string::npos) {
      value = token.substr(equals + 1);
    } else if (i + 1 < tokens.size() && tokens[i + 1].compare(0, 2, "--") != 0) {
      value = tokens[++i];
    } else {
      *error = name + " needs a value (" + name + " " + spec->value + ")";
      return false;
    }
    if (!spec->value.empty() && value.empty()) {
      *error = name + " needs a value (" + name + " " + spec->value + "), not an empty one";
      return false;
    }
    std::vector<std::string>& values = args->m_Values[name];
    if (!values.empty() && !spec->repeated) {
      *error = name + " is given more than once";
      return false;
    }
    values.push_back(value);
  }
  return true;
}

std::string OptionsHelp(const std::vector<OptionSpec>& specs) {
  size_t width = 0;
  for (const OptionSpec& s : specs) width = std::max(width, s.name.size() + (s.value.empty() ? 0 : s.value.size() + 1));
  std::string out;
  for (const OptionSpec& s : specs) {
    std::string head = s.name + (s.value.empty() ? "" : " " + s.value);
    head.resize(width + 2, ' ');
    out += "  " + head + s.help + (s.repeated ? " (repeatable)" : "") + "\n";
  }
  return out;
}

void Reporter::Out(const std::string& text) const {
  std::fwrite(text.data(), 1, text.size(), m_Out);
  std::fflush(m_Out);
}

namespace {
void ErrLine(FILE* err, bool json, const char* field, const std::string& prefix, const std::string& message) {
  const std::string line =
      json ? JsonWriter().Object().Field(field, message).End().Text() : "headset-host: " + prefix + message;
  std::fprintf(err, "%s\n", line.c_str());
  std::fflush(err);
}
}  // namespace

int Reporter::Fail(const std::string& message) const {
  ErrLine(m_Err, m_Json, "error", "", message);
  return kExitFailed;
}

void Reporter::Note(const std::string& message) const { ErrLine(m_Err, m_Json, "note", "note: ", message); }

int Reporter::UsageError(const std::string& message, const std::string& usage) const {
  if (m_Json) {
    const std::string line = JsonWriter().Object().Field("error", message).Field("usage", usage).End().Text();
    std::fprintf(m_Err, "%s\n", line.c_str());
  } else {
    std::fprintf(m_Err, "headset-host: %s\n%s", message.c_str(), usage.c_str());
  }
  std::fflush(m_Err);
  return kExitUsage;
}

bool PrepareOutputFile(const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  if (path.empty()) {
    *error = "no file named to write (an empty path)";
    return false;
  }
  std::error_code ec;
  if (fs::is_directory(path, ec)) {
    *error = path + " is a directory; name a file to write";
    return false;
  }
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, ec)) {
    fs::create_directories(parent, ec);
    if (ec) {
      *error = "cannot create " + parent.string() + " for " + path + ": " + ec.message();
      return false;
    }
  }
  return true;
}

}  // namespace tools
