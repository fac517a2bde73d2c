#include "server/core/startup.h"

int main(int argc, char** argv) { return RunServer(argc, argv); }
