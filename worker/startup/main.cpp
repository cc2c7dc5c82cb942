#include "worker/startup/worker_main.h"

int main(int argc, char** argv) { return orvane::WorkerMain(argc, argv); }
