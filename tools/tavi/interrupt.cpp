#include "interrupt.h"

#include <csignal>

namespace tavi::cli {
namespace {

volatile std::sig_atomic_t stop_requested = 0;

void RequestStop(int) { stop_requested = 1; }

}  // namespace

void StopOnInterrupt() {
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
}

bool StopRequested() { return stop_requested != 0; }

}  // namespace tavi::cli
