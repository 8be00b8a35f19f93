// The portable parts of a child process: the environment it gets, the
// Windows command line's quoting, the waits built on pump(), and running a
// program to its end.
#include "child_process.h"

#include <algorithm>

namespace vantle {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest a pump_until() step reads before it asks its predicate again.
constexpr milliseconds kPumpStep(10);

using Char = NativeString::value_type;

Char fold_ascii(Char c) {
  return c >= Char('a') && c <= Char('z') ? Char(c - Char('a') + Char('A')) : c;
}

NativeString name_of(const NativeString& entry) {
  return entry.substr(0, entry.find(Char('='), 1));
}

bool same_name(const NativeString& a, const NativeString& b, bool ignore_case) {
  if (!ignore_case) {
    return a == b;
  }
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](Char x, Char y) { return fold_ascii(x) == fold_ascii(y); });
}

milliseconds remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
  return std::max(left, milliseconds(0));
}

}  // namespace

std::string describe(const ExitStatus& status) {
  return status.exited ? std::to_string(status.code) : "signal " + std::to_string(status.code);
}

NativeString quote_argument(const NativeString& argument) {
  const Char specials[] = {Char(' '), Char('\t'), Char('\n'), Char('\v'), Char('"'), Char(0)};
  if (!argument.empty() && argument.find_first_of(specials) == NativeString::npos) {
    return argument;
  }
  // Backslashes are literal except before a quote, where each pair is one
  // backslash and an odd one escapes the quote; so those before a quote and
  // before the closing quote are doubled.
  NativeString quoted(1, Char('"'));
  std::size_t backslashes = 0;
  for (const Char c : argument) {
    if (c == Char('\\')) {
      ++backslashes;
      continue;
    }
    quoted.append(c == Char('"') ? backslashes * 2 + 1 : backslashes, Char('\\'));
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, Char('\\'));
  quoted.push_back(Char('"'));
  return quoted;
}

namespace detail {

std::vector<NativeString> merge_environment(const std::vector<NativeString>& inherited,
                                            const ChildOptions& options, bool ignore_case) {
  const auto named_in = [&](const std::vector<NativeString>& list, const NativeString& name,
                            bool entries) {
    return std::any_of(list.begin(), list.end(), [&](const NativeString& item) {
      return same_name(entries ? name_of(item) : item, name, ignore_case);
    });
  };
  std::vector<NativeString> merged;
  for (const NativeString& entry : inherited) {
    const NativeString name = name_of(entry);
    if (!named_in(options.unset, name, false) && !named_in(options.environment, name, true)) {
      merged.push_back(entry);
    }
  }
  for (const NativeString& entry : options.environment) {
    // A later entry of the same name wins.
    const NativeString name = name_of(entry);
    std::erase_if(merged, [&](const NativeString& earlier) {
      return same_name(name_of(earlier), name, ignore_case);
    });
    merged.push_back(entry);
  }
  return merged;
}

}  // namespace detail

bool ChildProcess::pump_until(const std::function<bool()>& done, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    const milliseconds left = remaining(deadline);
    if (left.count() == 0) {
      return false;
    }
    pump(std::min(left, kPumpStep));
  }
  return true;
}

Result<bool> ChildProcess::wait(milliseconds timeout) {
  if (!started()) {
    return make_error("no child was started");
  }
  const auto deadline = Clock::now() + timeout;
  while (!exit_status_) {
    Result<bool> ended = await_exit(std::min(remaining(deadline), kPumpStep));
    if (!ended) {
      return std::move(ended).take_error();
    }
    if (!ended.value() && remaining(deadline).count() == 0) {
      return false;
    }
  }
  // What is left in the pipes, up to their end (a descendant that holds
  // them open keeps them going until the bound).
  while (!(out_ended_ && err_ended_)) {
    const milliseconds left = remaining(deadline);
    if (left.count() == 0) {
      break;
    }
    pump(std::min(left, kPumpStep));
  }
  return true;
}

bool ChildProcess::wait_for_out_bytes(std::size_t bytes, milliseconds timeout) {
  (void)pump_until([&] { return out_.size() >= bytes || out_ended_; }, timeout);
  return out_.size() >= bytes;
}

bool ChildProcess::wait_for_err(std::string_view text, milliseconds timeout) {
  const auto found = [&] { return err_.find(text) != std::string::npos; };
  (void)pump_until([&] { return found() || err_ended_; }, timeout);
  return found();
}

Result<RunOutput> run(const std::vector<NativeString>& argv, const ChildOptions& options,
                      milliseconds timeout) {
  ChildProcess child;
  if (Status started = child.start(argv, options); !started) {
    return Error{started.error()};
  }
  Result<bool> ended = child.wait(timeout);
  if (!ended) {
    return std::move(ended).take_error();
  }
  if (!ended.value()) {
    if (Status killed = child.kill(); !killed) {
      return Error{killed.error()};
    }
  }
  RunOutput output;
  output.status = ended.value() ? child.exit_status() : std::nullopt;
  output.out = child.out();
  output.err = child.err();
  return output;
}

}  // namespace vantle
