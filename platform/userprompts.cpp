#include "platform/userprompts.h"

namespace {
DecliningPrompts g_declining;
UserPrompts* g_prompts = nullptr;
}  // namespace

void ScriptedPrompts::Expect(std::string kind, Answer answer) {
  queued_[std::move(kind)].push_back(std::move(answer));
}

void ScriptedPrompts::Always(std::string kind, Answer answer) {
  always_[std::move(kind)] = std::move(answer);
}

bool ScriptedPrompts::Ask(Prompt& prompt) {
  std::string_view kind = prompt.Kind();
  asked_.emplace_back(kind);
  if (auto it = queued_.find(kind); it != queued_.end() && !it->second.empty()) {
    Answer answer = std::move(it->second.front());
    it->second.pop_front();
    return answer(prompt);
  }
  if (auto it = always_.find(kind); it != always_.end()) return it->second(prompt);
  unexpected_.emplace_back(kind);
  return false;
}

UserPrompts& GetUserPrompts() { return g_prompts ? *g_prompts : g_declining; }

void SetUserPrompts(UserPrompts* prompts) { g_prompts = prompts; }

ScopedUserPrompts::ScopedUserPrompts(UserPrompts* prompts) : previous_(g_prompts) {
  g_prompts = prompts;
}

ScopedUserPrompts::~ScopedUserPrompts() { g_prompts = previous_; }
