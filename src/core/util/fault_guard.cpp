#include "util/fault_guard.hpp"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>


namespace vornel {
namespace {

struct Region {
  sigjmp_buf env;
  const void* volatile fault = nullptr;
};

// The innermost guarded region of this thread. Initial-exec TLS: the handler may run
// on a thread that never entered a region, and must not allocate to find out.
__attribute__((tls_model("initial-exec"))) thread_local Region* volatile t_region = nullptr;

struct sigaction g_previous;  // written once, before the handler is installed

void on_sigbus(int sig, siginfo_t* info, void* context) {
  // A fault has a positive code; a bus error sent by kill() or raise() is never ours.
  if (Region* region = t_region; region != nullptr && info->si_code > 0) {
    region->fault = info->si_addr;
    siglongjmp(region->env, 1);
  }
  // Not ours: hand the signal on as if this handler had never been installed.
  if (g_previous.sa_flags & SA_SIGINFO) {
    g_previous.sa_sigaction(sig, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  // The default action (a bus error cannot be ignored): restore it and raise again;
  // the signal stays blocked until this handler returns, then ends the process.
  signal(SIGBUS, SIG_DFL);
  raise(SIGBUS);
}

bool install() {
  struct sigaction action = {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, nullptr, &g_previous);
  sigaction(SIGBUS, &action, nullptr);
  return true;
}

}  // namespace

const void* run_guarded(void (*fn)(void* ctx), void* ctx) {
  // A thread-safe static: after the first call, one load and a branch.
  static const bool installed = install();
  (void)installed;

  Region region;
  Region* const outer = t_region;
  // No saved signal mask: saving it would cost a system call per region. The fault
  // path unblocks SIGBUS itself, the only signal that the jump leaves blocked.
  if (sigsetjmp(region.env, 0) != 0) {
    t_region = outer;
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    return region.fault;
  }
  t_region = &region;
  fn(ctx);
  t_region = outer;
  return nullptr;
}

}  // namespace vornel
