// SIGTERM/SIGINT delivery through a dedicated sigwait() thread: the
// callback then runs as ordinary code (it may lock and log), never inside
// an asynchronous signal handler.
#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <system_error>
#include <thread>

#include "platform.h"

namespace port {

bool InstallTerminationHandler(std::function<void(int)> onSignal,
                               std::string* error) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (rc != 0) {
    if (error != nullptr) *error = std::string("pthread_sigmask: ") + strerror(rc);
    return false;
  }
  try {
    std::thread receiver([set, callback = std::move(onSignal)]() {
      for (;;) {
        int signo = 0;
        if (sigwait(&set, &signo) == 0) callback(signo);
      }
    });
    receiver.detach();
  } catch (const std::system_error& e) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    if (error != nullptr) *error = std::string("termination signal thread: ") + e.what();
    return false;
  }
  return true;
}

}  // namespace port
