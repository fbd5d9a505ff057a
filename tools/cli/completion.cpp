#include "completion.h"

#include <algorithm>

#include <utility>
#include <vector>

#include "command_arguments.h"
#include "options.h"

namespace vb::cli {

namespace {

// Case branches that complete the word after an option: the patterns of
// "$command $prev" that share one way to complete it, in the order found.
class ValueBranches {
 public:
  void add(const std::string& pattern, const std::string& valueName) {
    const std::string body = completion(valueName);
    for (auto& [existing, patterns] : branches_) {
      if (existing != body) continue;
      for (const std::string& known : patterns) {
        if (known == pattern) return;
      }
      patterns.push_back(pattern);
      return;
    }
    branches_.push_back({body, {pattern}});
  }

  std::string text() const {
    std::string text;
    for (const auto& [body, patterns] : branches_) {
      std::string alternatives;
      for (const std::string& pattern : patterns) {
        alternatives += (alternatives.empty() ? "" : "|") + pattern;
      }
      text += "    " + alternatives + ") " + body + "\n";
    }
    return text;
  }

 private:
  // Values written "a|b" offer those words; paths offer file names; free
  // text and numbers offer nothing (and no options either).
  static std::string completion(const std::string& valueName) {
    if (valueName.find('|') != std::string::npos) {
      std::string choices = valueName;
      for (char& c : choices) c = c == '|' ? ' ' : c;
      return "COMPREPLY=($(compgen -W \"" + choices + "\" -- \"$cur\")); return ;;";
    }
    for (const char* path : {"FILE", "PATH", "STORE", "FLEET", "DEVICE"}) {
      if (valueName == path) return "COMPREPLY=($(compgen -f -- \"$cur\")); return ;;";
    }
    return "return ;;";
  }

  std::vector<std::pair<std::string, std::vector<std::string>>> branches_;
};

std::string joined(const std::vector<std::string>& words, const char* separator = " ") {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

void addOnce(std::vector<std::string>* words, const std::string& word) {
  for (const std::string& known : *words) {
    if (known == word) return;
  }
  words->push_back(word);
}

// A command with an option table of its own: its options, and whether a
// word that is no option is a file (collect's FLEET).
struct TableCommand {
  std::string name;  // "collect", "demo fleet"
  std::vector<std::string> options;
  bool takesFile = false;
};

}  // namespace

std::string bashCompletion() {
  ValueBranches tableValues;
  std::vector<TableCommand> tables;
  forEachCommandTable([&](const char* name, const CLI::App& app) {
    TableCommand command{name, {}, false};
    for (const CLI::Option* option : app.get_options()) {
      if (!option->nonpositional()) {
        command.takesFile = true;
        continue;
      }
      std::vector<std::string> names;
      for (const std::string& shortName : option->get_snames()) names.push_back("-" + shortName);
      for (const std::string& longName : option->get_lnames()) names.push_back("--" + longName);
      const std::string value = valueName(*option);
      for (const std::string& optionName : names) {
        command.options.push_back(optionName);
        if (!value.empty()) tableValues.add("\"" + command.name + " " + optionName + "\"", value);
      }
    }
    tables.push_back(command);
  });

  // The meter commands share one option table, so an option's value is
  // completed alike whatever the command.
  ValueBranches meterValues;
  for (const std::string& command : commandNames()) {
    for (const OptionEntry* entry : commandOptions(commandFromName(command))) {
      if (entry->valueName != nullptr) {
        meterValues.add(std::string("*\" ") + entry->name + "\"", entry->valueName);
      }
    }
  }

  // Command words: the meter commands, then the first word of every table
  // command; a second word ("demo fleet") is offered after the first.
  std::vector<std::string> commands = commandNames();
  std::string subcommands;
  for (const TableCommand& table : tables) {
    const size_t space = table.name.find(' ');
    addOnce(&commands, table.name.substr(0, space));
    if (space == std::string::npos) continue;
    subcommands += "  if [[ $command == " + table.name.substr(0, space) +
                   " && \" ${COMP_WORDS[*]:1:COMP_CWORD-1} \" == *\" " +
                   table.name.substr(space + 1) + " \"* ]]; then\n"
                   "    command=\"" + table.name + "\"\n"
                   "  fi\n";
  }

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
      "  done\n" +
      subcommands +
      "  case \"$command $prev\" in\n" + tableValues.text() + meterValues.text() + "  esac\n"
      "  local words\n"
      "  case $command in\n";
  // The second words of the table commands that begin with `name`.
  auto subcommandsOf = [&tables](const std::string& name) {
    std::vector<std::string> words;
    for (const TableCommand& table : tables) {
      if (table.name.rfind(name + " ", 0) == 0) words.push_back(table.name.substr(name.size() + 1));
    }
    return words;
  };
  for (const TableCommand& table : tables) {
    std::vector<std::string> words = subcommandsOf(table.name);
    words.insert(words.end(), table.options.begin(), table.options.end());
    script += "    \"" + table.name + "\")\n";
    if (table.takesFile) {
      script += "      [[ $cur == -* ]] || { COMPREPLY=($(compgen -f -- \"$cur\")); return; }\n";
    }
    script += "      words=\"" + joined(words) + "\" ;;\n";
  }
  // A first word that is only the start of table commands ("store copy").
  const std::vector<std::string> meterCommands = commandNames();
  for (const std::string& name : commands) {
    const bool meterCommand =
        std::find(meterCommands.begin(), meterCommands.end(), name) != meterCommands.end();
    const bool table = std::any_of(tables.begin(), tables.end(),
                                   [&name](const TableCommand& t) { return t.name == name; });
    if (meterCommand || table) continue;
    script += "    " + name + ") words=\"" + joined(subcommandsOf(name)) + "\" ;;\n";
  }
  for (const std::string& name : commandNames()) {
    std::vector<std::string> words;
    const Command command = commandFromName(name);
    if (command == Command::Session) words = {"dib", "versions", "header", "download"};
    for (const std::string& word : subcommandsOf(name)) words.push_back(word);
    for (const OptionEntry* entry : commandOptions(command)) words.emplace_back(entry->name);
    script += "    " + name + ") words=\"" + joined(words) + "\" ;;\n";
  }
  std::vector<std::string> topLevel = commands;
  for (const OptionEntry* entry : commandOptions(Command::None)) topLevel.emplace_back(entry->name);
  script +=
      "    *) words=\"" + joined(topLevel) + "\" ;;\n"
      "  esac\n"
      "  COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
      "}\n"
      "complete -F _vantbrook vantbrook\n";
  return script;
}

}  // namespace vb::cli
