#include "completion.h"

#include <cstring>
#include <iterator>
#include <vector>

#include "options.h"

namespace vb::cli {

namespace {

// Commands with option tables of their own: offered by name, their
// arguments completed as file names.
const char* const kFileCommands[] = {"collect", "export", "monitor", "store"};

// The fleet demo, a sub-command of demo with an option table of its own.
constexpr char kFleetDemo[] = "fleet";
constexpr char kFleetDemoOptions[] = "--json --help";

// Options of the fleet commands that take one of a fixed set of values.
struct OptionValues {
  const char* name;
  const char* values;
};
const OptionValues kFleetOptionValues[] = {
    {"--progress", "auto lines off"},  // collect
    {"--logger", "1 2 3"},             // export
};

std::string valueBranch(const std::string& name, const std::string& values) {
  return "    " + name + ") COMPREPLY=($(compgen -W \"" + values + "\" -- \"$cur\")); return ;;\n";
}

std::string joined(const std::vector<std::string>& words, const char* separator = " ") {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

bool namesFile(const char* valueName) {
  return std::strcmp(valueName, "FILE") == 0 || std::strcmp(valueName, "PATH") == 0;
}

// The case branches that complete an option's value: alternatives written
// "a|b", file names, or nothing at all for free text and numbers.
std::string valueBranches() {
  std::string files;
  std::string free;
  std::string branches;
  std::vector<std::string> seen;
  for (const std::string& command : commandNames()) {
    for (const OptionEntry* entry : commandOptions(commandFromName(command))) {
      if (entry->valueName == nullptr) continue;
      const std::string name = entry->name;
      bool known = false;
      for (const std::string& earlier : seen) known = known || earlier == name;
      if (known) continue;
      seen.push_back(name);
      std::string choices = entry->valueName;
      if (choices.find('|') != std::string::npos) {
        for (char& c : choices) c = c == '|' ? ' ' : c;
        branches += valueBranch(name, choices);
      } else if (namesFile(entry->valueName)) {
        files += (files.empty() ? "" : "|") + name;
      } else {
        free += (free.empty() ? "" : "|") + name;
      }
    }
  }
  for (const OptionValues& option : kFleetOptionValues) {
    branches += valueBranch(option.name, option.values);
  }
  return branches + "    " + files + ") COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n" +
         "    " + free + ") return ;;\n";
}

}  // namespace

std::string bashCompletion() {
  std::vector<std::string> commands = commandNames();
  for (const char* command : kFileCommands) commands.emplace_back(command);

  std::string script =
      "# bash completion for vantbrook\n"
      "_vantbrook() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
      "  local command= word\n"
      "  for word in \"${COMP_WORDS[@]:1:COMP_CWORD-1}\"; do\n"
      "    case $word in\n"
      "      " + joined(commands, "|") + ")\n"
      "        command=$word; break ;;\n"
      "    esac\n"
      "  done\n"
      "  if [[ $command == demo && \" ${COMP_WORDS[*]:1:COMP_CWORD-1} \" == *\" " +
      kFleetDemo + " \"* ]]; then\n"
      "    command=\"demo " + kFleetDemo + "\"\n"
      "  fi\n"
      "  case $prev in\n" + valueBranches() + "  esac\n"
      "  case $command in\n"
      "    " + joined({std::begin(kFileCommands), std::end(kFileCommands)}, "|") + ")\n"
      "      COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
      "  esac\n"
      "  local words\n"
      "  case $command in\n"
      "    \"demo " + kFleetDemo + "\") words=\"" + kFleetDemoOptions + "\" ;;\n";
  for (const std::string& name : commandNames()) {
    std::vector<std::string> words;
    const Command command = commandFromName(name);
    if (command == Command::Session) words = {"dib", "versions", "header", "download"};
    if (command == Command::Demo) words = {kFleetDemo};
    for (const OptionEntry* entry : commandOptions(command)) words.emplace_back(entry->name);
    script += "    " + name + ") words=\"" + joined(words) + "\" ;;\n";
  }
  script +=
      "    *) words=\"" + joined(commands) + " --help\" ;;\n"
      "  esac\n"
      "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "}\n"
      "complete -F _vantbrook vantbrook\n";
  return script;
}

}  // namespace vb::cli
