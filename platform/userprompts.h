// Questions that core code must put to the user (the layout of a raw file, which planes
// of a cube to read, the options of a save, ...). Each question is a Prompt subclass that
// carries its initial values in and the answer out; the library that asks defines it.
// The program answers with Qt dialogs, the command-line tool from its flags, and tests
// from a script.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class Prompt {
 public:
  virtual ~Prompt() = default;
  // A stable name of the question, such as "LoadRaw"; answerers dispatch on it.
  virtual std::string_view Kind() const = 0;
};

class UserPrompts {
 public:
  virtual ~UserPrompts() = default;
  // Asks the question. True when the user accepted (the prompt then holds the answer);
  // false when the user cancelled, which stops the operation that asked.
  virtual bool Ask(Prompt& prompt) = 0;
};

// Accepts every question with the values it was asked with.
class AcceptingPrompts : public UserPrompts {
 public:
  bool Ask(Prompt&) override { return true; }
};

// Cancels every question: the safe answer when nobody can be asked.
class DecliningPrompts : public UserPrompts {
 public:
  bool Ask(Prompt&) override { return false; }
};

// Records every question and answers from a script. Answers queued for a kind are used
// in order; a kind with no answer left is cancelled and remembered as unexpected.
class ScriptedPrompts : public UserPrompts {
 public:
  using Answer = std::function<bool(Prompt&)>;
  void Expect(std::string kind, Answer answer);
  // Answers every later question of this kind the same way once its queue is empty.
  void Always(std::string kind, Answer answer);
  bool Ask(Prompt& prompt) override;

  const std::vector<std::string>& asked() const { return asked_; }
  const std::vector<std::string>& unexpected() const { return unexpected_; }

 private:
  std::map<std::string, std::deque<Answer>, std::less<>> queued_;
  std::map<std::string, Answer, std::less<>> always_;
  std::vector<std::string> asked_;
  std::vector<std::string> unexpected_;
};

// The answerer in use; never null. Installing null restores DecliningPrompts.
UserPrompts& GetUserPrompts();
void SetUserPrompts(UserPrompts* prompts);

// Installs an answerer for the lifetime of the guard, then restores the previous one.
class ScopedUserPrompts {
 public:
  explicit ScopedUserPrompts(UserPrompts* prompts);
  ~ScopedUserPrompts();
  ScopedUserPrompts(const ScopedUserPrompts&) = delete;
  ScopedUserPrompts& operator=(const ScopedUserPrompts&) = delete;

 private:
  UserPrompts* previous_;
};
