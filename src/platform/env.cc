// The Env selection and path conversion: no operating-system calls here.
#include <atomic>

#include "platform/env.h"

namespace dembase::platform {
namespace {

// Null means Env::Default(). Tests install another Env through ScopedEnvOverride.
std::atomic<Env*> g_override{nullptr};

}  // namespace

Env* CurrentEnv() {
  Env* env = g_override.load(std::memory_order_acquire);
  return env != nullptr ? env : Env::Default();
}

ScopedEnvOverride::ScopedEnvOverride(Env* env)
    : previous_(g_override.exchange(env, std::memory_order_acq_rel)) {}

ScopedEnvOverride::~ScopedEnvOverride() { g_override.store(previous_, std::memory_order_release); }

std::string ToSystemPath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

}  // namespace dembase::platform
