#include "service/service_main.h"

int main(int argc, char** argv) { return orvane::ServiceMain(argc, argv); }
