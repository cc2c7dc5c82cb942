#include "platform/thread.h"

#include <pthread.h>

#include <memory>

namespace orvane::platform {
namespace {

void* Trampoline(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

}  // namespace

bool StartThread(std::function<void()> body, int& err) {
    auto heap = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    err = pthread_create(&tid, &attr, Trampoline, heap.get());
    pthread_attr_destroy(&attr);
    if (err != 0) return false;
    heap.release();
    return true;
}

}  // namespace orvane::platform
