#include "worker/startup/worker_main.h"

#include "common/log.h"
#include "platform/clock.h"

namespace orvane {

int WorkerMain(int, char**) {
    for (;;) platform::GetClock().SleepMs(1000);
}

}  // namespace orvane
