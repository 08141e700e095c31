// How headset-host's commands take their arguments and report, so that
// every command, those here and those added later, behaves alike:
//
// - Options: one parser, ParseArgs, for the program's options and each
//   command's own ("--name VALUE" or "--name=VALUE", flags, options given
//   more than once where the command allows it; "--" ends the options; a
//   value that starts with "--" is no value, "-6dB" is one). An unknown
//   option, a missing or unexpected value, or too many or too few
//   arguments is a usage error: the message and the command's usage on
//   stderr, exit status 2.
// - Numbers: sim/host/Values.h (ParseInRange) checks every number a user
//   types against its range and says what is accepted; never wrap, clamp
//   or default a value that was given.
// - Files: files a user names are read through sim::ReadInputFile
//   (sim/InputFile.h), which checks the file before reading it; files
//   written go through PrepareOutputFile.
// - Output: the result goes to stdout, as text or, under --json, as one
//   JSON document made with JsonWriter (tools/json.h). A failure is one
//   line on stderr naming what was wrong and what is accepted (under
//   --json, {"error": "..."}), exit status 1: Reporter::Fail.
// - Progress: anything that may run longer than a second shows a
//   ProgressLine (tools/progress.h) on the terminal.
//
// A new command is one entry in Commands() (tools/commands.cpp): its name,
// its arguments and options as the usage shows them, how many arguments it
// takes, and a function that gets the program's options, its parsed
// arguments and the reporter.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tools {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

struct OptionSpec {
  std::string name;   // "--channel"
  std::string value;  // what it takes, as the usage names it ("N"); empty for a flag
  std::string help;
  bool repeated = false;  // may be given more than once
};

// What ParseArgs found.
class Args {
 public:
  const std::vector<std::string>& Positionals() const { return m_Positionals; }
  bool Has(const std::string& option) const { return m_Values.count(option) != 0; }
  // The option's value, or `fallback` when it was not given.
  std::string Value(const std::string& option, const std::string& fallback = "") const;
  // Every value of a repeated option, in order.
  std::vector<std::string> Values(const std::string& option) const;

 private:
  friend bool ParseArgs(const std::vector<std::string>&, const std::vector<OptionSpec>&, Args*, std::string*);
  std::vector<std::string> m_Positionals;
  std::map<std::string, std::vector<std::string>> m_Values;
};

// False with the usage error in `error`.
bool ParseArgs(const std::vector<std::string>& tokens, const std::vector<OptionSpec>& specs, Args* args,
               std::string* error);
// The options as the usage lists them, one a line, indented by two.
std::string OptionsHelp(const std::vector<OptionSpec>& specs);

// Where a command's output and failures go: stdout and stderr, or a test's
// files.
class Reporter {
 public:
  Reporter(bool json, FILE* out = stdout, FILE* err = stderr) : m_Json(json), m_Out(out), m_Err(err) {}
  bool Json() const { return m_Json; }
  FILE* ErrStream() const { return m_Err; }
  // The command's result (text, or the JSON document, newline included).
  void Out(const std::string& text) const;
  // A failure: one line on stderr; returns kExitFailed.
  int Fail(const std::string& message) const;
  // A remark on a run that goes on: one line on stderr.
  void Note(const std::string& message) const;
  // A usage error: the message, then `usage`; returns kExitUsage.
  int UsageError(const std::string& message, const std::string& usage) const;

 private:
  bool m_Json;
  FILE* m_Out;
  FILE* m_Err;
};

// Makes the folders a file to be written needs; false (with why) when the
// path names a folder or nothing.
bool PrepareOutputFile(const std::string& path, std::string* error);

}  // namespace tools
