#include "server/main/startup.h"

int main(int argc, char** argv) { return RunServer(argc, argv); }
