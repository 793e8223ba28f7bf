// Putting a manager's option id into an update tool's command line as literal argument text.
#include "commands/update/option_id.h"

namespace qma::commands {

namespace {

constexpr std::string_view kPlaceholder = "#{id}";

bool needs_quotes(std::string_view text) {
  return text.find_first_of(" \t\"") != std::string_view::npos;
}

/// Appends text so that the command-line rules give it back unchanged: a quote becomes \",
/// backslashes before a quote are doubled, and so are trailing ones when a quote follows.
void append_escaped(std::string& out, std::string_view text, bool quote_follows) {
  size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(quote_follows ? 2 * backslashes : backslashes, '\\');
}

}  // namespace

OptionSubstitution substitute_option_id(std::string_view command_line, std::string_view option_id,
                                        std::string& out) {
  out.clear();
  int replaced = 0;
  // The agent splits the program name off at the first blank; an id there names a file.
  size_t program_end = command_line.find(' ');
  if (program_end == std::string_view::npos) program_end = command_line.size();
  size_t i = 0;
  while (i < program_end) {
    if (command_line.substr(i, program_end - i).starts_with(kPlaceholder)) {
      if (option_id.find_first_of(" \t\"/\\") != std::string_view::npos) {
        return OptionSubstitution::kUnsafe;
      }
      out.append(option_id);
      i += kPlaceholder.size();
      ++replaced;
    } else {
      out.push_back(command_line[i++]);
    }
  }

  // The parameters, read by the rules that later split them: the quote state and the run of
  // backslashes before each point decide how the id must be written there.
  bool in_quotes = false;
  size_t backslashes = 0;
  while (i < command_line.size()) {
    if (command_line.substr(i).starts_with(kPlaceholder)) {
      const size_t after = i + kPlaceholder.size();
      const bool next_is_quote = after < command_line.size() && command_line[after] == '"';
      // The id's trailing backslashes join the template's run after it; before a quote the
      // whole run decides what the quote means, so the id's part of it is doubled.
      const size_t run_end = command_line.find_first_not_of('\\', after);
      const bool quote_after_run =
          run_end != std::string_view::npos && command_line[run_end] == '"';
      // Backslashes just before the placeholder are literal now; written next to the id they
      // may come before a quote, so they are escaped together with it.
      std::string literal(backslashes, '\\');
      literal.append(option_id);
      out.resize(out.size() - backslashes);
      if (!in_quotes && needs_quotes(literal)) {
        // A closing quote right before the template's own quote would read as a literal one.
        if (next_is_quote) return OptionSubstitution::kUnsafe;
        out.push_back('"');
        append_escaped(out, literal, true);
        out.push_back('"');
      } else {
        append_escaped(out, literal, quote_after_run);
      }
      // Backslashes the id leaves at the end start the run the next characters continue.
      const size_t last = out.find_last_not_of('\\');
      backslashes = last == std::string::npos ? out.size() : out.size() - last - 1;
      i = after;
      ++replaced;
      continue;
    }
    const char c = command_line[i];
    out.push_back(c);
    ++i;
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"' && backslashes % 2 == 0) {
      if (in_quotes && i < command_line.size() && command_line[i] == '"') {
        out.push_back('"');  // "" inside quotes: a literal quote, the run goes on
        ++i;
      } else {
        in_quotes = !in_quotes;
      }
    }
    backslashes = 0;
  }
  return replaced > 0 ? OptionSubstitution::kDone : OptionSubstitution::kNoPlaceholder;
}

}  // namespace qma::commands
