#pragma once

namespace orvane {

// The worker's main function: start-up, then the endless main loop.
int WorkerMain(int argc, char** argv);

}  // namespace orvane
